#include "driver/LibrariesBeside.h"

#include <algorithm>
#include <set>

#include "driver/ElfLibrary.h"
#include "platform/File.h"

namespace driver {

namespace {

struct Loading {
    std::string folder;                         // the driver's, with its separator
    std::set<std::string> seen;                 // names met so far, each visited once
    std::vector<platform::LibraryHandle> handles;
};

// Loads what `file` needs from the folder, depth first, each after its own needs.
void LoadNeeds(const std::string& file, Loading* loading) {
    std::string bytes;
    if (platform::ReadFileStart(file, kMostLibraryBytes + 1, &bytes) != platform::FileStart::Read ||
        bytes.size() > kMostLibraryBytes)
        return;
    ElfLibrary library;
    if (!ReadElfLibrary(bytes, &library)) return;
    bytes = std::string();
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
        if (platform::LibraryHandle handle = platform::OpenLibrary(beside)) loading->handles.push_back(handle);
    }
}

}  // namespace

std::vector<platform::LibraryHandle> LoadLibrariesBeside(const std::string& driverPath) {
    if (platform::kLoaderSearchesLibraryFolder) return {};
    const std::string file = platform::LibraryFile(driverPath);
    const std::string::size_type separator = file.find_last_of('/');
    Loading loading;
    loading.folder = separator == std::string::npos ? "./" : file.substr(0, separator + 1);
    LoadNeeds(file, &loading);
    return std::move(loading.handles);
}

}  // namespace driver
