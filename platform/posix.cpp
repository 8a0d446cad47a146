// POSIX implementation of the OS layer: the same operations with Windows-like
// results, so that every text the module writes reads the same.
#include "platform/Platform.h"

#include <dlfcn.h>
#include <pthread.h>
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>
#include <limits.h>
#include <stdlib.h>
#include <time.h>

#include <cstdlib>
#include <cstring>

#include <boost/algorithm/string/predicate.hpp>

namespace platform {

namespace {
std::uint32_t lastLibraryError = 0;

constexpr std::uint32_t kCannotLoad = 126;      // ERROR_MOD_NOT_FOUND
constexpr std::uint32_t kMissingEntryPoint = 127;  // ERROR_PROC_NOT_FOUND

}  // namespace

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    // The POSIX counterpart of GetTempPathA's TMP/TEMP lookup.
    const char* folder = getenv("TMPDIR");
    if (folder == nullptr || *folder == '\0') folder = "/tmp";
    const std::size_t length = std::strlen(folder);
    const bool addSeparator = folder[length - 1] != '/';
    const std::size_t total = length + (addSeparator ? 1 : 0);
    // As GetTempPathA: the length that would be needed, terminator included,
    // when it does not fit.
    if (total + 1 > size) return static_cast<std::uint32_t>(total + 1);
    std::memcpy(buffer, folder, length);
    if (addSeparator) buffer[length] = '/';
    buffer[total] = '\0';
    return static_cast<std::uint32_t>(total);
}

LocalTime NowLocal() {
    const time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    return {unsigned(t.tm_year + 1900), unsigned(t.tm_mon + 1), unsigned(t.tm_mday),
            unsigned(t.tm_hour), unsigned(t.tm_min), unsigned(t.tm_sec)};
}

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    char native[PATH_MAX];
    const std::size_t length = strnlen(path, sizeof native);
    if (length == sizeof native) return kNoFile;
    std::memcpy(native, path, length + 1);
    for (char* c = native; (c = std::strchr(c, '\\')) != nullptr;) *c = '/';
    const int file =
        open(native, O_WRONLY | O_CREAT | O_CLOEXEC | (truncate ? O_TRUNC : O_APPEND), 0666);
    return file < 0 ? kNoFile : file;
}

bool WriteBytes(FileHandle file, const char* bytes, std::size_t size) {
    while (size > 0) {
        const ssize_t written = write(static_cast<int>(file), bytes, size);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

void CloseFile(FileHandle file) {
    close(static_cast<int>(file));
}

const char* LineEnd() {
    return "\n";
}

LibraryHandle OpenLibrary(const std::string& path) {
    // Driver libraries are named "<name>.dll" by the protocol; their native
    // builds here are "<name>.so".
    std::string file = NativePath(path);
    if (boost::algorithm::ends_with(file, ".dll")) file.replace(file.size() - 4, 4, ".so");
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

bool ReadFileStart(const std::string& path, std::size_t size, std::string* bytes) {
    const int file = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (file < 0) return false;
    bytes->assign(size, '\0');
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read(file, &(*bytes)[got], size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += std::size_t(n);
    }
    close(file);
    bytes->resize(got);
    return true;
}

bool ReadAdminSetting(const char* name, std::uint32_t* value) {
    // No registry here: the native build's tests set KESTAV_<NAME> instead.
    const char* text = getenv(("KESTAV_" + std::string(name)).c_str());
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const unsigned long number = std::strtoul(text, &end, 10);
    if (*end != '\0') return false;
    *value = static_cast<std::uint32_t>(number);
    return true;
}

struct ModuleThread {
    pthread_t thread;
};

namespace {
struct ThreadStart {
    void (*body)(void*);
    void* argument;
};

void* ModuleThreadMain(void* parameter) {
    const ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.body(start.argument);
    return nullptr;
}
}  // namespace

ModuleThread* StartModuleThread(void (*body)(void*), void* argument) {
    auto* thread = new ModuleThread{};
    auto* start = new ThreadStart{body, argument};
    if (pthread_create(&thread->thread, nullptr, &ModuleThreadMain, start) != 0) {
        delete start;
        delete thread;
        return nullptr;
    }
    return thread;
}

bool JoinModuleThread(ModuleThread* thread, std::uint32_t) {
    if (thread == nullptr) return true;
    pthread_join(thread->thread, nullptr);
    delete thread;
    return true;
}

// No registry here: nothing is registered, nothing can be.
bool ReadMachineString(int, const std::string&, const char*, std::string*) { return false; }
bool WriteMachineString(int, const std::string&, const char*, const std::string&) { return false; }
bool DeleteMachineKey(int, const std::string&) { return false; }

// The driver host runs instrument drivers built for Windows; the native
// build runs every driver in-process.
const bool kDriverHostAvailable = false;

namespace {
constexpr std::uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED
}

struct HostProcess {};
struct ModuleLink {};

HostProcess* StartHostProcess(const std::string&, std::size_t, std::uint32_t, HostHandles*,
                              std::uint32_t* error) {
    *error = kNotSupported;
    return nullptr;
}
std::uint32_t HostProcessId(const HostProcess*) { return 0; }
std::uint8_t* HostSection(HostProcess*) { return nullptr; }
bool HostSend(HostProcess*, const std::vector<std::uint8_t>&) { return false; }
HostWait HostReceive(HostProcess*, std::vector<std::uint8_t>*, std::uint32_t) {
    return HostWait::Exited;
}
HostWait HostExchange(HostProcess*, std::uint32_t) { return HostWait::Exited; }
std::uint32_t HostExitCode(const HostProcess*) { return 0; }
std::uint32_t EndHostProcess(HostProcess*, std::uint32_t) { return 0; }
ModuleLink* ConnectToModule(const std::string&) { return nullptr; }
bool LinkSend(ModuleLink*, const std::vector<std::uint8_t>&) { return false; }
bool LinkReceive(ModuleLink*, std::vector<std::uint8_t>*) { return false; }
std::uint8_t* MapSharedSection(std::uint64_t, std::size_t) { return nullptr; }
bool WaitForSignal(std::uint64_t) { return false; }
void Signal(std::uint64_t) {}

}  // namespace platform
