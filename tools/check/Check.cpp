#include "tools/check/Check.h"

#include <string>

#include "driver/Machine.h"
#include "platform/Names.h"
#include "tools/check/Steps.h"

namespace check {

int CheckClientPc(std::ostream& out) {
    Report report(out);
    const int clients = CheckCitrixClients(report);
    const int plugins = CheckRemoteDesktopPlugins(report);
    if (clients == 0 && plugins == 0)
        report.Problem("no Citrix ICA client is registered (SOFTWARE\\Citrix\\ICA Client, InstallFolder), "
                       "and no Remote Desktop plug-in (" + std::string(names::kDvcAddInKey) +
                       ", in HKLM or HKCU): install the Citrix Workspace app and then the package, or the "
                       "package's Remote Desktop feature alone (ADDLOCAL=RemoteDesktop)");
    return report.Problems();
}

int CheckFreeRdpClients(std::ostream& out, const std::vector<std::string>& libraryFolders,
                        const std::vector<std::string>& bridgeFolders,
                        const std::vector<std::string>& horizonPrograms,
                        const std::vector<std::string>& citrixFolders) {
    Report report(out);
    std::vector<fs::path> modules;  // the folders of the modules' real files, each once
    int installed = CheckFreeRdp(report, libraryFolders, &modules);
    installed += CheckHorizon(report, bridgeFolders, horizonPrograms, &modules);
    installed += CheckCitrixLinux(report, citrixFolders, &modules);
    if (installed == 0)
        report.Problem("no FreeRDP is installed (libfreerdp2.so.2 or libfreerdp3.so.3), nor Horizon's client (its "
                       "rdpvcbridge folder), nor the Citrix Workspace app (" + std::string(names::kCitrixLinuxFolder) +
                       "): the package serves the FreeRDP clients (xfreerdp /dvc:kestav, xfreerdp3 "
                       "/dvc:kestav, or /vc:kestav), Horizon's and the Citrix Workspace app");
    for (const fs::path& base : modules) {
        CheckDrivers(report, base.u8string());
        CheckHost(report, driver::MachineBits(driver::OwnMachine()), base, "add-in");
    }
    CheckSettings(report, driver::MachineBits(driver::OwnMachine()));
    CheckLogPlace(report);
    return report.Problems();
}

}  // namespace check
