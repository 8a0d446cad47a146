// kestav-check (and kestav-host --check): what an administrator wants to know about a client PC,
// one line per finding, "OK ..." or "PROBLEM ...".
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

namespace driver {
class Spectro;
}

namespace check {

// Checks every ICA client found (32-bit and 64-bit registry views): its
// folder, the module's registration (present and single), the module file
// and its bitness, the settings in force and where each comes from, and each
// library under drivers\ (bitness, entry-point form, all 31 names); and the
// Remote Desktop plug-in registered in either view (its path, its bitness,
// its driver hosts and drivers). Returns the number of problems.
int CheckClientPc(std::ostream& out);


// A command-line number: decimal digits alone, 0 to INT_MAX; false for
// anything else ("", "12abc", "-1", "99999999999").
bool ParseNumber(const std::string& text, int* value);

// The log file's path and its last `lines` lines.
void ShowLogTail(std::ostream& out, int lines);

// The fix for a 32-bit driver whose entry points are exported as
// "Connect@0" (stdcall from MinGW linked without --kill-at).
constexpr const char* kArgumentSizeFix =
    "link the driver with --kill-at (MinGW) or a .def file, so that they are exported as \"Connect\"";

// The same for a Linux client: each FreeRDP major installed (its
// libfreerdp<N>.so.<N> in one of `libraryFolders`) and the add-in in that
// major's add-in folder (a link followed): there, a 64-bit FreeRDP add-in,
// built for that major, with every library it needs; then, beside the
// add-in's real file, the driver host, each shared library under drivers/
// (64-bit, all 31 entry points, the libraries it needs found), the settings
// and the log's place.
// Also Horizon's VC bridge folders (`bridgeFolders`) that are there: the
// static plug-in linked in each, 64-bit, loadable; Horizon's client counts as
// installed when one of `horizonPrograms` is there.
// And each Citrix Workspace app for Linux in `citrixFolders` (one with a
// config/module.ini): the module's entries there (listed once, On, its
// DriverName), and the file they name, a 64-bit ICA module (Load) that loads.
int CheckFreeRdpClients(std::ostream& out, const std::vector<std::string>& libraryFolders,
                        const std::vector<std::string>& bridgeFolders,
                        const std::vector<std::string>& horizonPrograms,
                        const std::vector<std::string>& citrixFolders);

// Each library under drivers\ beside the module in `moduleFolder` (drivers/
// on Linux), as the checks above see it; every driver is loaded as Init
// loads it, in the driver host there. Returns the number of problems.
int CheckDriverFolder(std::ostream& out, const std::string& moduleFolder);

// Loads the driver library at `path` in the driver host `program` exactly
// as Init does, by the name Init gives it; false with spectro.LoadError().
bool LoadInHostAsInitDoes(driver::Spectro& spectro, const std::string& program, const std::string& path,
                          std::uint32_t timeoutSeconds);
// "error 126: maker.dll needs helper.dll, not found (a library the driver
// needs goes beside it)": why the driver at `path` did not load.
std::string WhyNotLoaded(std::uint32_t error, const std::string& path);

// This PC, by its kind: CheckClientPc on Windows, CheckFreeRdpClients on Linux.
int CheckThisPc(std::ostream& out);

// The libraries the library at `path` (UTF-8) needs that the system's loader
// will not find, beside it or on this PC, as
// "maker.dll needs libgcc_s_dw2-1.dll, not found", joined by "; "; those
// beside it are followed in turn. Empty when every one is found.
std::string MissingLibraries(const std::string& path);

}  // namespace check
