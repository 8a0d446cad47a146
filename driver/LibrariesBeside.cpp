#include "driver/LibrariesBeside.h"

#include <algorithm>
#include <set>

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
};

// The driver's folder (with its separator) for `driverPath`.
std::string FolderOf(const std::string& file) {
    const std::string::size_type separator = file.find_last_of('/');
    return separator == std::string::npos ? "./" : file.substr(0, separator + 1);
}

// The library's own description, or false for a file that is none.
bool ReadLibrary(const std::string& file, ElfLibrary* library) {
    std::string bytes;
    return platform::ReadFileStart(file, kMostLibraryBytes + 1, &bytes) == platform::FileStart::Read &&
           bytes.size() <= kMostLibraryBytes && ReadElfLibrary(bytes, library);
}

// Loads what `file` needs from the folder, depth first, each after its own needs.
void LoadNeeds(const std::string& file, Loading* loading) {
    ElfLibrary library;
    if (!ReadLibrary(file, &library)) return;
    for (const std::string& name : library.needed) {
        if (loading->seen.size() >= kMostLibrariesBeside) return;
        // A name with a folder in it is the loader's alone, and "." or ".." are no files.
        if (name.empty() || name.find('/') != std::string::npos || name == "." || name == ".." ||
            !loading->seen.insert(name).second || platform::LibraryIsLoaded(name))
            continue;
        const std::string beside = loading->folder + name;
        std::string start;
        if (platform::ReadFileStart(beside, 4, &start) != platform::FileStart::Read) continue;
        LoadNeeds(beside, loading);
        if (!loading->load) {
            ElfLibrary needed;
            if (ReadLibrary(beside, &needed) && needed.soname != name) loading->byPathOnly.push_back(name);
        } else if (platform::LibraryHandle handle = platform::OpenLibrary(beside)) {
            loading->handles.push_back(handle);
        }
    }
}

}  // namespace

std::vector<platform::LibraryHandle> LoadLibrariesBeside(const std::string& driverPath) {
    if (platform::kLoaderSearchesLibraryFolder) return {};
    const std::string file = platform::LibraryFile(driverPath);
    Loading loading;
    loading.folder = FolderOf(file);
    LoadNeeds(file, &loading);
    return std::move(loading.handles);
}

std::vector<std::string> LibrariesBesideKnownByPathOnly(const std::string& driverPath) {
    if (platform::kLoaderSearchesLibraryFolder) return {};
    const std::string file = platform::LibraryFile(driverPath);
    Loading looking;
    looking.folder = FolderOf(file);
    looking.load = false;
    LoadNeeds(file, &looking);
    return std::move(looking.byPathOnly);
}

}  // namespace driver
