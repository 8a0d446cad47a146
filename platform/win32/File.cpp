#include "platform/File.h"

#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdint>
#include <cstdio>

#include "platform/win32/Wide.h"

namespace platform {

std::uint32_t LogFolder(char* buffer, std::uint32_t size) {
    // On the stack: the log asks for its folder at every line.
    wchar_t wide[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, wide);
    if (length == 0 || length >= MAX_PATH + 2) return 0;
    return std::uint32_t(NarrowInto(wide, length, buffer, size));
}

std::string LogPlaceProblem(const std::string&) { return std::string(); }

FileHandle OpenSharedAppend(const char* path, bool truncate, std::string*) {
    // Deny-none sharing, as the C runtime's _SH_DENYNO gives; appending
    // through FILE_APPEND_DATA puts every write at the end of the file, even
    // when another handle has written there meanwhile.
    // FILE_READ_ATTRIBUTES: the log asks the file's size before each line.
    // Converted on the stack (every log line opens the file); a longer path
    // than the log's ever is still works.
    wchar_t shortPath[1024];
    const std::wstring longPath = WidenInto(path, shortPath, 1024) ? std::wstring() : Widen(path);
    HANDLE file = CreateFileW(longPath.empty() ? shortPath : longPath.c_str(),
                              FILE_READ_ATTRIBUTES | (truncate ? GENERIC_WRITE : FILE_APPEND_DATA),
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

const char kPathSeparator[] = "\\";
const char kProgramSuffix[] = ".exe";
const bool kTextIsUtf8 = false;

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
    // No more room than the file holds: `size` may be a generous bound.
    LARGE_INTEGER length{};
    const std::size_t wanted = GetFileSizeEx(file, &length) && std::uint64_t(length.QuadPart) < size
                                   ? std::size_t(length.QuadPart)
                                   : size;
    bytes->assign(wanted, '\0');
    DWORD read = 0;
    const BOOL ok = wanted == 0 || ::ReadFile(file, &(*bytes)[0], static_cast<DWORD>(wanted), &read, nullptr);
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

bool CopyFileOwner(const std::string&, const std::string&) { return true; }

bool PrivateLogFolder(std::string*, bool*) { return false; }

bool LiesInside(const std::string& path, const std::string&, std::string* real) {
    *real = path;
    return true;
}

}  // namespace platform
