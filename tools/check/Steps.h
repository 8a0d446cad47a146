// The steps every client's check shares: the report, the files it reads,
// the driver host beside a module, the settings in force, the drivers under
// drivers/ and the log's place. Each client the check knows is a file of its
// own over these (CitrixWindows, RemoteDesktop, FreeRdp, Horizon,
// CitrixLinux); a new client is a new file and a line where its PC's check
// calls it (Check.cpp).
#pragma once

#include <filesystem>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "driver/ElfLibrary.h"

namespace check {

namespace fs = std::filesystem;

class Report {
public:
    explicit Report(std::ostream& out) : out_(out) {}
    void Ok(const std::string& line) { out_ << "OK " << line << "\n"; }
    void Problem(const std::string& line) {
        out_ << "PROBLEM " << line << "\n";
        ++problems_;
    }
    int Problems() const { return problems_; }
    // True the first time a folder is named (in any letter case on Windows):
    // one folder serving several plug-ins is looked at once.
    bool FirstLook(const std::string& folder);

private:
    std::ostream& out_;
    int problems_ = 0;
    std::set<std::string> looked_;
};

std::string ReadAll(const fs::path& path);
// A path (UTF-8 inside) as the report shows it, in the ANSI code page as the log does.
std::string Shown(const fs::path& path);
// 32 or 64 for a program (or library) this system runs: a Windows one, or
// on Linux an ELF file of this machine; 0 otherwise.
int ProgramBitness(const std::string& file);
// "64-bit" or "32-bit": the width of this client's machine, as the report
// names the modules and drivers it loads.
std::string OwnWidth();
// What an administrator does about a missing file of the install.
extern const std::string kRepair;
// Adds `folder` to `folders` unless it is there already.
void AddOnce(std::vector<fs::path>* folders, const fs::path& folder);

// The driver host of the module's own bitness beside it (`what`: the module
// or the plug-in): every driver runs there unless IsolateDriver is 0.
void CheckHost(Report& report, int bits, const fs::path& folder, const std::string& what);
// The settings in force in one registry view, and where each comes from;
// on Linux the settings file is their one source, named in each line.
void CheckSettings(Report& report, int bits);
// Each library under drivers\ beside a module (drivers/ on Linux): checked
// where Init looks for a driver of its name, a problem anywhere else; none
// there is a problem.
void CheckDrivers(Report& report, const std::string& folder);
// The ELF counterpart of MissingLibraries: what `library` needs, and what
// the libraries beside it that it needs need in turn, that is neither beside
// it nor in the system's library folders.
std::string MissingElfLibraries(const fs::path& path, const driver::ElfLibrary& library);
// Whether this user's log can be written where the module writes it.
void CheckLogPlace(Report& report);

// Each client, in a file of its own. Each returns how many of its kind are
// installed; the Linux ones add the folders of the modules they found (each
// once) to `modules`, whose drivers and driver host are checked after.
// Windows: the Citrix clients in each registry view (CitrixWindows.cpp), the
// Remote Desktop plug-in registered per machine or per user (RemoteDesktop.cpp).
int CheckCitrixClients(Report& report);
int CheckRemoteDesktopPlugins(Report& report);
// Linux: FreeRDP's add-in for each major installed (FreeRdp.cpp), Horizon's
// static plug-in in its VC bridge folders (Horizon.cpp), the Citrix Workspace
// app's module.ini entries and module (CitrixLinux.cpp).
int CheckFreeRdp(Report& report, const std::vector<std::string>& libraryFolders, std::vector<fs::path>* modules);
int CheckHorizon(Report& report, const std::vector<std::string>& bridgeFolders,
                 const std::vector<std::string>& programs, std::vector<fs::path>* modules);
int CheckCitrixLinux(Report& report, const std::vector<std::string>& folders, std::vector<fs::path>* modules);

}  // namespace check
