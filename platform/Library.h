// Libraries loaded at run time, and the file a module was loaded from.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// A null handle means failure; LastLibraryError then tells why, in the
// Windows loader's numbering (126 cannot load, 127 missing entry point) on
// every platform.
using LibraryHandle = void*;
LibraryHandle OpenLibrary(const std::string& path);
// The file OpenLibrary(path) opens (Linux: "<name>.dll" is "<name>.so").
std::string LibraryFile(const std::string& path);
void* FindSymbol(LibraryHandle library, const char* name);
void CloseLibrary(LibraryHandle library);
void SetLibrarySearchFolder(const std::string& folder);
// Whether the loader looks in that folder for what a library needs
// (Windows); where it does not (Linux), the libraries there are loaded
// first (driver/LibrariesBeside.h).
extern const bool kLoaderSearchesLibraryFolder;
// Whether a library of this file name is loaded in this process already.
bool LibraryIsLoaded(const std::string& name);
std::uint32_t LastLibraryError();
// The system loader's own words for the calling thread's last failed
// OpenLibrary ("libx.so: cannot open shared object file: ..."), where the
// loader gives more than its code: "" on Windows, whose code says it all.
std::string LastLibraryErrorText();
// The calling thread's last error of any system call (GetLastError).
std::uint32_t LastSystemError();
// Full path of a library in the system folder ("wfapi.dll" ->
// "C:\Windows\system32\wfapi.dll"); empty where there is none.
std::string SystemLibraryPath(const std::string& file);
// The folders where the system's loader finds a library that is not beside
// the one importing it: the system folders of both bitnesses, the Windows
// folder, the PATH; Linux: the usual library folders and LD_LIBRARY_PATH.
std::vector<std::string> SystemLibraryFolders();

// Full path of the module file (DLL, shared object or executable) that holds
// `address`; an instance handle is such an address. Empty when the system
// cannot tell; never taken from bytes the system did not write.
std::string ModuleFileName(const void* address);

// The running program's own folder (a program's: the code of this inline
// function is the program's), without a trailing separator; from `argv0`
// when the system cannot tell, and "." when that has no folder either.
inline std::string ProgramFolder(const char* argv0 = nullptr) {
    std::string self = ModuleFileName(reinterpret_cast<const void*>(&ProgramFolder));
    if (self.empty() && argv0 != nullptr) self = argv0;
    const std::string::size_type separator = self.find_last_of("\\/");
    return separator == std::string::npos ? "." : self.substr(0, separator);
}

}  // namespace platform
