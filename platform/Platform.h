// The thin operating-system layer. Every call the module makes into the OS goes
// through these functions; platform/win32.cpp and platform/posix.cpp implement
// them with the same names, and CMake picks one.
#pragma once

#include <cstdint>
#include <cstddef>
#include <string>
#include <vector>

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

// The first `size` bytes of a file (fewer when it is shorter); false when it
// cannot be read.
bool ReadFileStart(const std::string& path, std::size_t size, std::string* bytes);

// An administrator's DWORD setting under HKLM\SOFTWARE\Kestav\ClientDriver, in
// the registry view of this module's own bitness. False when it is not set.
bool ReadAdminSetting(const char* name, std::uint32_t* value);

// A REG_SZ value under HKLM in the 32-bit or the 64-bit registry view
// (`view` 32 or 64), whatever this process's own bitness. Write creates the key.
bool ReadMachineString(int view, const std::string& key, const char* name, std::string* value);
bool WriteMachineString(int view, const std::string& key, const char* name,
                        const std::string& value);
// Removes a key without subkeys; true also when it was not there.
bool DeleteMachineKey(int view, const std::string& key);

// Whether this build can run an instrument driver in a driver host process.
extern const bool kDriverHostAvailable;

// ---- A thread of the module's own ----
// Started outside DllMain only. On Windows it holds its own reference on the
// module (GetModuleHandleEx from its address) and leaves through
// FreeLibraryAndExitThread, so that an unload while it runs cannot pull its
// code away.
struct ModuleThread;
ModuleThread* StartModuleThread(void (*body)(void*), void* argument);
// Waits at most timeoutMs for the thread to end; true when it has. Either
// way the handle is released: a thread still running goes on by itself. (On
// POSIX, where a module cannot keep itself loaded, it waits until the end.)
bool JoinModuleThread(ModuleThread* thread, std::uint32_t timeoutMs);

// ---- The driver host process, as the module sees it ----
struct HostProcess;
// Handle values of the shared section and of its two events in the host.
struct HostHandles {
    std::uint64_t section = 0, requestEvent = 0, answerEvent = 0;
};
// Starts `program` with the name of a fresh private pipe as its argument, in
// a job that ends it when this process ends, waits (at most timeoutMs) until
// it has connected, and gives it an unnamed shared section of `sectionSize`
// bytes and two events. Null with *error (the system's code) on failure.
HostProcess* StartHostProcess(const std::string& program, std::size_t sectionSize,
                              std::uint32_t timeoutMs, HostHandles* handles, std::uint32_t* error);
std::uint32_t HostProcessId(const HostProcess* host);
std::uint8_t* HostSection(HostProcess* host);
enum class HostWait { Done, Exited, TimedOut };
bool HostSend(HostProcess* host, const std::vector<std::uint8_t>& message);
HostWait HostReceive(HostProcess* host, std::vector<std::uint8_t>* message, std::uint32_t timeoutMs);
// Signals the request event and waits for the answer event, the host's end
// or the timeout.
HostWait HostExchange(HostProcess* host, std::uint32_t timeoutMs);
std::uint32_t HostExitCode(const HostProcess* host);  // once it has exited
// Gives the host up to graceMs to end by itself, then ends it; frees all.
// Returns its exit code.
std::uint32_t EndHostProcess(HostProcess* host, std::uint32_t graceMs);

// ---- The module, as the driver host sees it ----
struct ModuleLink;
ModuleLink* ConnectToModule(const std::string& pipeName);
bool LinkSend(ModuleLink* link, const std::vector<std::uint8_t>& message);
bool LinkReceive(ModuleLink* link, std::vector<std::uint8_t>* message);
std::uint8_t* MapSharedSection(std::uint64_t section, std::size_t size);
bool WaitForSignal(std::uint64_t event);
void Signal(std::uint64_t event);

}  // namespace platform
