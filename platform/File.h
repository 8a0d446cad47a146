// Files: the log's shared appending writes, reading the start of a file, the
// temporary folder, paths and the standard streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// GetTempPath semantics, in UTF-8: writes the temporary folder (with a
// trailing separator) into buffer and returns its length in bytes; 0 on
// failure; a value above size when the folder does not fit.
std::uint32_t TempFolder(char* buffer, std::uint32_t size);

// A file opened for appending lines: an fd, or a HANDLE on Windows.
using FileHandle = std::intptr_t;
constexpr FileHandle kNoFile = -1;

// Opens a file for writing with full sharing (other readers and writers, in
// this process or another, are not shut out). truncate: create or empty it;
// otherwise create or append, every write going to the end. kNoFile on failure.
FileHandle OpenSharedAppend(const char* path, bool truncate);
// Writes all bytes in one call where the system allows; false on failure.
bool WriteBytes(FileHandle file, const char* bytes, std::size_t size);
void CloseFile(FileHandle file);
// The size of an open file in bytes; 0 when it cannot be told.
std::uint64_t FileSize(FileHandle file);
// What a program's file name ends with here: ".exe" on Windows, nothing elsewhere.
extern const char kProgramSuffix[];
// The line end of text files here: "\r\n" on Windows, "\n" elsewhere.
const char* LineEnd();

// The first `size` bytes of a file (fewer when it is shorter). The file is
// opened and must be a file on disk before any byte is read: a device (a
// serial port, the console) or a pipe could block the reader for good.
enum class FileStart { Read, Unreadable, NotADiskFile };
FileStart ReadFileStart(const std::string& path, std::size_t size, std::string* bytes);

// Native path form: backslashes become the platform's separator.
std::string NativePath(const std::string& path);

// Standard output and input pass bytes unchanged (no CR LF translation).
void UseBinaryStandardStreams();

}  // namespace platform
