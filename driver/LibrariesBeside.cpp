#include "driver/LibrariesBeside.h"

#include <algorithm>
#include <set>

#include "diag/LogFile.h"
#include "driver/ElfLibrary.h"
#include "platform/File.h"

namespace driver {

namespace {

struct Loading {
    std::string folder;                         // the driver's, with its separator
    bool load = true;                           // false: only look
    std::set<std::string> seen;                 // names met so far, each visited once
    std::vector<platform::LibraryHandle> handles;
    std::vector<std::string> byPathOnly;        // needed names their SONAME does not give
    std::string root;                           // the drivers folder; empty: not checked
    std::string refused;                        // why not, in words (the first reason found)
    std::size_t bytesRead = 0;                  // within kMostBytesReadBeside
    bool stopped = false;                       // a file would have passed that bound
};

// A needed name with a folder in it is the loader's alone: from anywhere.
bool NamesAPath(const std::string& name) {
    return name.find('/') != std::string::npos;
}

// The library's own description, or false for a file that is none (or
// one that would take what is read past its bound: then nothing more is read).
bool ReadLibrary(const std::string& file, ElfLibrary* library, Loading* loading) {
    const std::size_t left = kMostBytesReadBeside - loading->bytesRead;
    std::string bytes;
    if (loading->stopped ||
        platform::ReadFileStart(file, std::min(kMostLibraryBytes, left) + 1, &bytes) != platform::FileStart::Read)
        return false;
    if (bytes.size() > left) {
        loading->stopped = true;
        diag::LogDetail("The libraries beside the driver are read up to ", kMostBytesReadBeside >> 20,
                        " MiB in all: ", diag::Shown{file}, " and what it needs are left to the system's loader");
        return false;
    }
    loading->bytesRead += bytes.size();
    return bytes.size() <= kMostLibraryBytes && ReadElfLibrary(bytes, library);
}

// Loads what `library` needs from the folder, depth first, each after its
// own needs (each file read once).
void LoadNeeds(const ElfLibrary& library, Loading* loading) {
    for (const std::string& name : library.needed) {
        if (loading->seen.size() >= kMostLibrariesBeside || loading->stopped) return;
        if (NamesAPath(name) && !loading->root.empty() && loading->refused.empty())
            loading->refused = "it needs a library by its path (\"" + name + "\")";
        // A name with a folder in it is the loader's alone, and "." or ".." are no files.
        if (name.empty() || NamesAPath(name) || name == "." || name == ".." ||
            !loading->seen.insert(name).second || platform::LibraryIsLoaded(name))
            continue;
        const std::string beside = loading->folder + name;
        std::string start;
        if (platform::ReadFileStart(beside, 4, &start) != platform::FileStart::Read) continue;
        std::string real;
        if (!loading->root.empty() && !platform::LiesInside(beside, loading->root, &real)) {
            if (loading->refused.empty())
                loading->refused = name + " beside it leads out of the drivers folder (to \"" + real + "\")";
            continue;
        }
        ElfLibrary needed;
        const bool read = ReadLibrary(beside, &needed, loading);
        if (loading->stopped) return;
        if (read) LoadNeeds(needed, loading);
        if (!loading->load) {
            if (read && needed.soname != name) loading->byPathOnly.push_back(name);
        } else if (platform::LibraryHandle handle = platform::OpenLibrary(beside)) {
            loading->handles.push_back(handle);
        }
    }
}

// Walks the driver's needs, loading them or only looking (and checking
// them against the drivers folder `root`, when one is given).
Loading Walk(const std::string& driverPath, bool load, const std::string& root = std::string()) {
    Loading walk;
    walk.load = load;
    walk.root = root;
    if (platform::kLoaderSearchesLibraryFolder) return walk;
    const std::string file = platform::LibraryFile(driverPath);
    walk.folder = DriverFolder(file);
    ElfLibrary driver;
    if (ReadLibrary(file, &driver, &walk)) LoadNeeds(driver, &walk);
    return walk;
}

}  // namespace

std::string DriverFolder(const std::string& driverPath) {
    const std::string::size_type separator = driverPath.find_last_of('/');
    return separator == std::string::npos ? "./" : driverPath.substr(0, separator + 1);
}

std::vector<platform::LibraryHandle> LoadLibrariesBeside(const std::string& driverPath) {
    return std::move(Walk(driverPath, true).handles);
}

BesideLook LookBeside(const std::string& driverPath, const std::string& root) {
    std::string real;
    if (!platform::LiesInside(platform::LibraryFile(driverPath), root, &real)) {
        if (real.empty()) return {};
        return {"the driver file leads out of the drivers folder (to \"" + real + "\")", {}};
    }
    Loading walk = Walk(driverPath, false, root);
    return {std::move(walk.refused), std::move(walk.byPathOnly)};
}

}  // namespace driver
