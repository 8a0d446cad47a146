// The thin operating-system layer. Every call the module makes into the OS goes
// through these functions; platform/win32.cpp and platform/posix.cpp implement
// them with the same names, and CMake picks one.
#pragma once

#include <cstdint>
#include <cstdio>
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

// Opens a file for text output with full sharing (other readers and writers
// are not shut out). truncate: empty the file; otherwise append. Null on failure.
std::FILE* OpenSharedText(const std::string& path, bool truncate);

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
