// The Remote Desktop plug-in of a Windows PC, registered per machine (in
// each registry view) or per user: the file the registration names, its
// bitness, and beside it the driver host, the settings and the drivers.
#include <string>

#include "driver/LibraryBitness.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "tools/check/Steps.h"

namespace check {

namespace {

// Beside a plug-in of `bits`: its driver host, the settings it reads, the drivers.
void CheckPluginFolder(Report& report, int bits, const fs::path& folder) {
    CheckHost(report, bits, folder, "Remote Desktop plug-in");
    CheckSettings(report, bits);
    CheckDrivers(report, folder.u8string());
}

// The Remote Desktop plug-in registered in one registry view: there, of
// that view's bitness, with its driver hosts. False when it is not registered.
bool CheckPlugin(Report& report, int bits) {
    std::string path;
    if (!platform::ReadMachineString(platform::ViewOf(bits), names::kDvcAddInKey, names::kDvcAddInValue, &path))
        return false;
    const std::string view = std::to_string(bits) + "-bit";
    const std::string shown = platform::ShownPath(path);
    report.Ok(view + " Remote Desktop registration: AddIns\\KestavInstrument names " + shown);
    const int pluginBits = driver::LibraryBitness(ReadAll(fs::u8path(path)));
    if (pluginBits == bits)
        report.Ok(view + " Remote Desktop plug-in: " + shown + " is " + view);
    else if (pluginBits == 0)
        report.Problem(view + " Remote Desktop plug-in: " + shown + " is missing or not a plug-in: " + kRepair);
    else
        report.Problem(view + " Remote Desktop plug-in: " + shown + " is " + std::to_string(pluginBits) +
                       "-bit; " + view + " Remote Desktop clients load " + view + " plug-ins only: " + kRepair);
    CheckPluginFolder(report, bits, fs::u8path(path).parent_path());
    return true;
}

// The plug-in registered for the current user only (HKCU, as for per-user
// clients): there, with its driver host, settings and drivers for its bitness.
bool CheckUserPlugin(Report& report) {
    std::string path;
    if (!platform::ReadUserString(names::kDvcAddInKey, names::kDvcAddInValue, &path)) return false;
    const std::string shown = platform::ShownPath(path);
    report.Ok("per-user Remote Desktop registration: HKCU\\...\\AddIns\\KestavInstrument names " + shown);
    const int bits = driver::LibraryBitness(ReadAll(fs::u8path(path)));
    if (bits == 0) {
        report.Problem("per-user Remote Desktop plug-in: " + shown +
                       " is missing or not a plug-in: register the plug-in again, or remove the registration");
        return true;
    }
    const std::string view = std::to_string(bits) + "-bit";
    report.Ok("per-user Remote Desktop plug-in: " + shown + " is " + view + ", for " + view +
              " Remote Desktop clients");
    CheckPluginFolder(report, bits, fs::u8path(path).parent_path());
    return true;
}

}  // namespace

int CheckRemoteDesktopPlugins(Report& report) {
    int plugins = 0;
    for (int bits : {64, 32}) plugins += CheckPlugin(report, bits) ? 1 : 0;
    plugins += CheckUserPlugin(report) ? 1 : 0;
    return plugins;
}

}  // namespace check
