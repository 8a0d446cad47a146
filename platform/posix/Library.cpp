#include "platform/Library.h"

#include <cstdio>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>

#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/posix/Multiarch.h"

namespace platform {

namespace {
// dlerror() tells no code; the Windows loader's numbering is kept instead.
thread_local std::uint32_t lastLibraryError = 0;

// A plain array: a thread_local with a destructor would keep this module
// loaded after its last dlclose for as long as the thread lives.
thread_local char lastLibraryErrorText[512];
constexpr std::uint32_t kCannotLoad = 126;         // ERROR_MOD_NOT_FOUND
constexpr std::uint32_t kMissingEntryPoint = 127;  // ERROR_PROC_NOT_FOUND
}  // namespace

std::string LibraryFile(const std::string& path) {
    // Driver libraries are named "<name>.dll" by the protocol; their native
    // builds here are "<name>.so".
    std::string file = NativePath(path);
    if (boost::algorithm::ends_with(file, ".dll")) file.replace(file.size() - 4, 4, ".so");
    return file;
}

LibraryHandle OpenLibrary(const std::string& path) {
    const std::string file = LibraryFile(path);
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    lastLibraryError = handle ? 0 : kCannotLoad;
    const char* said = handle ? nullptr : dlerror();
    std::snprintf(lastLibraryErrorText, sizeof lastLibraryErrorText, "%s", said != nullptr ? said : "");
    return handle;
}

void* FindSymbol(LibraryHandle library, const char* name) {
    void* symbol = dlsym(library, name);
    lastLibraryError = symbol ? 0 : kMissingEntryPoint;
    return symbol;
}

void CloseLibrary(LibraryHandle library) {
    dlclose(library);
}

void SetLibrarySearchFolder(const std::string&) {
    // The loader here has no per-process search folder: drivers are always
    // opened by full path, and the libraries beside them are loaded first.
}

const bool kLoaderSearchesLibraryFolder = false;

bool LibraryIsLoaded(const std::string& name) {
    // RTLD_NOLOAD: a handle only to a library loaded already, matched by the
    // name the loader knows it by (its soname or file name).
    void* handle = dlopen(name.c_str(), RTLD_LAZY | RTLD_LOCAL | RTLD_NOLOAD);
    if (handle == nullptr) return false;
    dlclose(handle);
    return true;
}

std::string LastLibraryErrorText() { return lastLibraryErrorText; }

std::uint32_t LastLibraryError() {
    return lastLibraryError;
}

std::uint32_t LastSystemError() {
    return std::uint32_t(errno);
}

std::string SystemLibraryPath(const std::string&) {
    return std::string();  // no Windows system folder here
}

std::vector<std::string> SystemLibraryFolders() {
    // This machine's multiarch folders; on x86-64 the 32-bit ones too, where
    // a 32-bit driver's libraries are.
    std::vector<std::string> folders = {"/lib", "/usr/lib", "/lib64", "/usr/lib64", "/usr/local/lib",
                                        std::string("/lib/") + kMultiarch, std::string("/usr/lib/") + kMultiarch};
#if defined(__x86_64__)
    folders.insert(folders.end(), {"/lib/i386-linux-gnu", "/usr/lib/i386-linux-gnu"});
#endif
    const std::string path = GetEnvironment("LD_LIBRARY_PATH");
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

std::string ModuleFileName(const void* module) {
    Dl_info info{};
    if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) return std::string();
    char resolved[PATH_MAX];
    // The main program's name is as it was started ("kestav-check" found
    // through PATH, or a link to it): its file is the one the system ran.
    if (std::strchr(info.dli_fname, '/') == nullptr && realpath("/proc/self/exe", resolved) != nullptr)
        return resolved;
    if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
}

}  // namespace platform
