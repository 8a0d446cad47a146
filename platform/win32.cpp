// Windows implementation of the OS layer.
#include "platform/Platform.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <vector>

namespace platform {

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    return GetTempPathA(size, buffer);
}

LocalTime NowLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return {t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond};
}

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    // Deny-none sharing, as the C runtime's _SH_DENYNO gives; appending
    // through FILE_APPEND_DATA puts every write at the end of the file, even
    // when another handle has written there meanwhile.
    HANDLE file = CreateFileA(path, truncate ? GENERIC_WRITE : FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              truncate ? CREATE_ALWAYS : OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    return file == INVALID_HANDLE_VALUE ? kNoFile : reinterpret_cast<FileHandle>(file);
}

bool WriteBytes(FileHandle file, const char* bytes, std::size_t size) {
    DWORD written = 0;
    return ::WriteFile(reinterpret_cast<HANDLE>(file), bytes, static_cast<DWORD>(size), &written,
                       nullptr) &&
           written == size;
}

void CloseFile(FileHandle file) {
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

const char* LineEnd() {
    return "\r\n";
}

LibraryHandle OpenLibrary(const std::string& path) {
    return LoadLibraryA(path.c_str());
}

void* FindSymbol(LibraryHandle library, const char* name) {
    // FARPROC and object pointers have the same size on Windows; going through
    // an integer keeps the cast in one place and silences -Wcast-function-type.
    return reinterpret_cast<void*>(
        reinterpret_cast<INT_PTR>(GetProcAddress(static_cast<HMODULE>(library), name)));
}

void CloseLibrary(LibraryHandle library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

void SetLibrarySearchFolder(const std::string& folder) {
    SetDllDirectoryA(folder.c_str());
}

std::uint32_t LastLibraryError() {
    return GetLastError();
}

std::string ModuleFileName(const void* address) {
    // An instance handle is the module's base address, so this also finds the
    // module from the handle DllMain receives.
    HMODULE handle = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCSTR>(address), &handle))
        return std::string();
    // 1024 bytes fit nearly every install; a deeper folder gets a second try
    // with the longest path Windows can report.
    for (DWORD size : {DWORD(1024), DWORD(32768)}) {
        std::vector<char> buffer(size);
        const DWORD written = GetModuleFileNameA(handle, buffer.data(), size);
        if (written == 0) return std::string();
        if (written < size) return std::string(buffer.data(), written);
    }
    return std::string();
}

void SetEnvironment(const std::string& name, const std::string& value) {
    SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
}

std::string NativePath(const std::string& path) {
    return path;
}

}  // namespace platform
