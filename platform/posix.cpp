// POSIX implementation of the OS layer: the same operations with Windows-like
// results, so that every text the module writes reads the same.
#include "platform/Platform.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include <cstring>

namespace platform {

namespace {
std::uint32_t lastLibraryError = 0;

constexpr std::uint32_t kCannotLoad = 126;      // ERROR_MOD_NOT_FOUND
constexpr std::uint32_t kMissingEntryPoint = 127;  // ERROR_PROC_NOT_FOUND
}  // namespace

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    std::string text(folder);
    if (text.back() != '/') text += '/';
    // As GetTempPathA: the length that would be needed, terminator included,
    // when it does not fit.
    if (text.size() + 1 > size) return static_cast<std::uint32_t>(text.size() + 1);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    return static_cast<std::uint32_t>(text.size());
}

LocalTime NowLocal() {
    const time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return {unsigned(t.tm_year + 1900), unsigned(t.tm_mon + 1), unsigned(t.tm_mday),
            unsigned(t.tm_hour), unsigned(t.tm_min), unsigned(t.tm_sec)};
}

std::FILE* OpenSharedText(const std::string& path, bool truncate) {
    return std::fopen(NativePath(path).c_str(), truncate ? "w" : "a");
}

LibraryHandle OpenLibrary(const std::string& path) {
    // Driver libraries are named "<name>.dll" by the protocol; their native
    // builds here are "<name>.so".
    std::string file = NativePath(path);
    const std::string dll = ".dll";
    if (file.size() >= dll.size() && file.compare(file.size() - dll.size(), dll.size(), dll) == 0)
        file.replace(file.size() - dll.size(), dll.size(), ".so");
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    lastLibraryError = handle ? 0 : kCannotLoad;
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
    // opened by full path, and their own dependencies follow their RPATH.
}

std::uint32_t LastLibraryError() {
    return lastLibraryError;
}

std::string ModuleFileName(const void* module) {
    Dl_info info{};
    if (dladdr(module, &info) == 0 || info.dli_fname == nullptr) return std::string();
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved) != nullptr) return resolved;
    return info.dli_fname;
}

void SetEnvironment(const std::string& name, const std::string& value) {
    if (value.empty())
        unsetenv(name.c_str());
    else
        setenv(name.c_str(), value.c_str(), 1);
}

void UseBinaryStandardStreams() {}

std::string NativePath(const std::string& path) {
    std::string native(path);
    for (char& c : native)
        if (c == '\\') c = '/';
    return native;
}

}  // namespace platform
