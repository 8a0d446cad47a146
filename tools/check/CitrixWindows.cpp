// The Citrix ICA clients of a Windows PC, in each registry view: the
// client's folder, the module's registration there (listed once, the file
// it names), the module's bitness, and beside it the driver host, the
// settings and the drivers.
#include <string>

#include "driver/LibraryBitness.h"
#include "packaging/DriverList.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "tools/check/Steps.h"

namespace check {

namespace {

using names::kIcaModuleFile;
using names::kModuleName;

// The command that registers the module with the client of `bits` again.
std::string RegisterCommand(int bits) {
    return "KestavRegister.exe add " + std::to_string(bits) +
           " (the package's, run as an administrator) registers it again, or repair the install";
}

void CheckClient(Report& report, int bits, const std::string& folder) {
    const std::string view = std::to_string(bits) + "-bit";
    report.Ok(view + " client: " + platform::ShownPath(folder));

    std::string list;
    const int count = platform::ReadMachineString(platform::ViewOf(bits), names::kCitrixModuleListKey,
                                                    names::kCitrixModuleListValue, &list)
                          ? packaging::CountModule(list, kModuleName)
                          : 0;
    if (count == 1)
        report.Ok(view + " registration: VirtualDriverEx lists " + kModuleName + " once");
    else
        report.Problem(view + " registration: VirtualDriverEx lists " + kModuleName + " " +
                       std::to_string(count) + " times (\"" + list + "\"): " + RegisterCommand(bits));
    std::string driverName;
    if (platform::ReadMachineString(platform::ViewOf(bits), names::kCitrixModuleKey,
                                    names::kCitrixModuleValues[0], &driverName) &&
        driverName == kIcaModuleFile)
        report.Ok(view + " registration: Modules\\" + kModuleName + " names " + kIcaModuleFile);
    else
        report.Problem(view + " registration: Modules\\" + kModuleName + "\\DriverName is not " +
                       kIcaModuleFile + ": " + RegisterCommand(bits));

    const fs::path module = fs::u8path(folder) / kIcaModuleFile;
    const int moduleBits = driver::LibraryBitness(ReadAll(module));
    if (moduleBits == bits)
        report.Ok(view + " module: " + Shown(module) + " is " + view);
    else if (moduleBits == 0)
        report.Problem(view + " module: " + Shown(module) + " is missing or not a module: " + kRepair);
    else
        report.Problem(view + " module: " + Shown(module) + " is " + std::to_string(moduleBits) +
                       "-bit; this client loads " + view + " modules only: " + kRepair +
                       " (the x64 package has both)");

    CheckHost(report, bits, folder, "module");
    CheckSettings(report, bits);
    CheckDrivers(report, folder);
}

}  // namespace

int CheckCitrixClients(Report& report) {
    int clients = 0;
    for (int bits : {64, 32}) {
        std::string folder;
        if (!platform::ReadMachineString(platform::ViewOf(bits), names::kCitrixClientKey,
                                         names::kCitrixInstallFolderValue, &folder) || folder.empty())
            continue;
        while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
        ++clients;
        CheckClient(report, bits, folder);
    }
    return clients;
}

}  // namespace check
