// The thin operating-system layer. Every call the module makes into the OS goes
// through these functions; platform/win32.cpp and platform/posix.cpp implement
// them with the same names, and CMake picks one.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>

namespace platform {

// GetTempPathA semantics: writes the temporary folder (with a trailing
// separator) into buffer and returns its length; 0 on failure; a value above
// size when the folder does not fit.
std::uint32_t TempFolder(char* buffer, std::uint32_t size);

struct LocalTime {
    unsigned year, month, day, hour, minute, second;
};
LocalTime NowLocal();

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
// The line end of text files here: "\r\n" on Windows, "\n" elsewhere.
const char* LineEnd();

// Run-time library loading. A null handle means failure; LastLibraryError then
// tells why, in the Windows loader's numbering (126 cannot load, 127 missing
// entry point) on every platform.
using LibraryHandle = void*;
LibraryHandle OpenLibrary(const std::string& path);
void* FindSymbol(LibraryHandle library, const char* name);
void CloseLibrary(LibraryHandle library);
void SetLibrarySearchFolder(const std::string& folder);
std::uint32_t LastLibraryError();

// Full path of the module file (DLL, shared object or executable) that holds
// `address`; an instance handle is such an address. Empty when the system
// cannot tell; never taken from bytes the system did not write.
std::string ModuleFileName(const void* address);

// Process environment, as the OS calls above see it; an empty value removes
// the variable.
void SetEnvironment(const std::string& name, const std::string& value);

// Standard output and input pass bytes unchanged (no CR LF translation).
void UseBinaryStandardStreams();

// Native path form: backslashes become the platform's separator.
std::string NativePath(const std::string& path);

}  // namespace platform
