// Horizon's client on Linux: installed when one of its programs is there;
// in each of its VC bridge folders that is there, the static plug-in linked,
// of this machine, loadable.
#include <algorithm>
#include <string>

#include "driver/Machine.h"
#include "platform/Names.h"
#include "tools/check/Steps.h"

namespace check {

namespace {

// Horizon's VC bridge folder, where its client is installed: the static
// plug-in linked there, a plug-in of this machine that loads. The folder of its real
// file, or empty.
fs::path CheckBridge(Report& report, const fs::path& bridge) {
    const fs::path plugin = bridge / names::kHorizonPluginFile;
    std::error_code error;
    const fs::path real = fs::canonical(plugin, error);
    if (error || !fs::is_regular_file(real, error)) {
        report.Problem("Horizon's VC bridge folder " + bridge.u8string() + " is there, but " + plugin.u8string() +
                       " is missing: Horizon's client has no Kestav channels; " + kRepair);
        return fs::path();
    }
    const std::string shown = plugin.u8string() + (real == plugin ? "" : " (the file " + real.u8string() + ")");
    driver::ElfLibrary library;
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.machine != driver::OwnMachine() ||
        std::find(library.exports.begin(), library.exports.end(), names::kStaticEntryPoint) == library.exports.end()) {
        report.Problem("Horizon: " + shown + " is not a " + OwnWidth() + " static channel plug-in (no " +
                       names::kStaticEntryPoint + "): " + kRepair);
        return fs::path();
    }
    const std::string unavailable = MissingElfLibraries(real, library);
    if (!unavailable.empty()) {
        report.Problem("Horizon: " + shown + " will not load: " + unavailable);
        return fs::path();
    }
    report.Ok("Horizon's VC bridge (" + bridge.u8string() + "): loads " + shown + ", the static channel plug-in");
    return real.parent_path();
}

}  // namespace

int CheckHorizon(Report& report, const std::vector<std::string>& bridgeFolders,
                 const std::vector<std::string>& programs, std::vector<fs::path>* modules) {
    int installed = 0;
    for (const std::string& program : programs) {
        std::error_code error;
        if (!fs::exists(fs::u8path(program), error)) continue;
        ++installed;
        report.Ok("Horizon's client (" + program + ") is installed: it loads the static plug-in from its VC bridge");
        break;
    }
    for (const std::string& listed : bridgeFolders) {
        std::error_code error;
        if (!fs::is_directory(fs::u8path(listed), error)) continue;
        AddOnce(modules, CheckBridge(report, fs::u8path(listed)));
    }
    return installed;
}

}  // namespace check
