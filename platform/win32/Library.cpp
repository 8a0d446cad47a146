#include "platform/Library.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/Environment.h"
#include "platform/win32/Wide.h"

namespace platform {

std::string LibraryFile(const std::string& path) {
    return path;
}

LibraryHandle OpenLibrary(const std::string& path) {
    return LoadLibraryW(Widen(path).c_str());
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
    SetDllDirectoryW(Widen(folder).c_str());
}

const bool kLoaderSearchesLibraryFolder = true;

bool LibraryIsLoaded(const std::string& name) {
    return GetModuleHandleW(Widen(name).c_str()) != nullptr;
}

std::string LastLibraryErrorText() { return std::string(); }

std::uint32_t LastLibraryError() {
    return GetLastError();
}

std::uint32_t LastSystemError() {
    return GetLastError();
}

std::string SystemLibraryPath(const std::string& file) {
    wchar_t folder[MAX_PATH];
    const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return std::string();
    return Narrow(folder, length) + "\\" + file;
}

std::vector<std::string> SystemLibraryFolders() {
    std::vector<std::string> folders;
    wchar_t folder[MAX_PATH];
    UINT length = GetSystemDirectoryW(folder, MAX_PATH);
    if (length != 0 && length < MAX_PATH) folders.push_back(Narrow(folder, length));
    // Where a 64-bit Windows keeps the 32-bit system libraries (none on 32-bit Windows).
    length = GetSystemWow64DirectoryW(folder, MAX_PATH);
    if (length != 0 && length < MAX_PATH) folders.push_back(Narrow(folder, length));
    length = GetWindowsDirectoryW(folder, MAX_PATH);
    if (length != 0 && length < MAX_PATH) {
        const std::string windows = Narrow(folder, length);
        folders.push_back(windows);
        // The 64-bit system folder as a 32-bit process sees it.
        folders.push_back(windows + "\\Sysnative");
    }
    const std::string path = GetEnvironment("PATH");
    for (std::size_t start = 0; start <= path.size();) {
        const std::size_t end = (std::min)(path.find(';', start), path.size());
        if (end > start) folders.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

std::string ModuleFileName(const void* address) {
    // An instance handle is the module's base address, so this also finds the
    // module from the handle DllMain receives.
    HMODULE handle = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &handle))
        return std::string();
    // 1024 characters fit nearly every install; a deeper folder gets a second
    // try with the longest path Windows can report.
    for (DWORD size : {DWORD(1024), DWORD(32768)}) {
        std::vector<wchar_t> buffer(size);
        const DWORD written = GetModuleFileNameW(handle, buffer.data(), size);
        if (written == 0) return std::string();
        if (written < size) return Narrow(buffer.data(), written);
    }
    return std::string();
}

}  // namespace platform
