#include "platform/File.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/win32/Wide.h"

namespace platform {

std::uint32_t TempFolder(char* buffer, std::uint32_t size) {
    std::vector<wchar_t> wide(MAX_PATH + 2);
    const DWORD length = GetTempPathW(DWORD(wide.size()), wide.data());
    if (length == 0 || length >= wide.size()) return 0;
    const std::string folder = Narrow(wide.data(), length);
    if (folder.size() >= size) return std::uint32_t(folder.size() + 1);
    std::memcpy(buffer, folder.c_str(), folder.size() + 1);
    return std::uint32_t(folder.size());
}

FileHandle OpenSharedAppend(const char* path, bool truncate) {
    // Deny-none sharing, as the C runtime's _SH_DENYNO gives; appending
    // through FILE_APPEND_DATA puts every write at the end of the file, even
    // when another handle has written there meanwhile.
    // FILE_READ_ATTRIBUTES: the log asks the file's size before each line.
    HANDLE file = CreateFileW(Widen(path).c_str(), FILE_READ_ATTRIBUTES | (truncate ? GENERIC_WRITE : FILE_APPEND_DATA),
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

std::uint64_t FileSize(FileHandle file) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(reinterpret_cast<HANDLE>(file), &size) || size.QuadPart < 0) return 0;
    return static_cast<std::uint64_t>(size.QuadPart);
}

const char* LineEnd() {
    return "\r\n";
}

FileStart ReadFileStart(const std::string& path, std::size_t size, std::string* bytes) {
    bytes->clear();
    HANDLE file = CreateFileW(Widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return FileStart::Unreadable;
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return FileStart::NotADiskFile;
    }
    bytes->assign(size, '\0');
    DWORD read = 0;
    const BOOL ok = ::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(size), &read, nullptr);
    CloseHandle(file);
    bytes->resize(ok ? read : 0);
    return ok ? FileStart::Read : FileStart::Unreadable;
}

std::string NativePath(const std::string& path) {
    return path;
}

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stdin), _O_BINARY);
}

}  // namespace platform
