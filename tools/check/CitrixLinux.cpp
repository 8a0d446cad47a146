// The Citrix Workspace app for Linux: the module's entries in its
// module.ini (listed once, On, its DriverName) and the file they name, a
// ICA module (Load) of this machine that loads.
#include <algorithm>
#include <string>

#include <boost/algorithm/string/predicate.hpp>

#include "packaging/ModuleIni.h"
#include "driver/Machine.h"
#include "platform/Names.h"
#include "tools/check/Steps.h"

namespace check {

namespace {

const std::string kCitrixRepair = "sudo dpkg-reconfigure kestav-client registers it";

// A Citrix Workspace app for Linux: the module's entries in its module.ini and
// the module file they name. The folder of that file's real file, or empty.
fs::path CheckCitrixLinuxClient(Report& report, const fs::path& client) {
    const std::string which = "the Citrix Workspace app in " + client.u8string();
    const fs::path ini = client / names::kCitrixLinuxModuleIni;
    std::error_code error;
    const std::uintmax_t size = fs::file_size(ini, error);
    if (error || size > names::kMostModuleIniBytes) {
        report.Problem(which + ": " + ini.u8string() + " cannot be read or is larger than " +
                       std::to_string(names::kMostModuleIniBytes) + " bytes");
        return fs::path();
    }
    const packaging::ModuleIniEntries entries = packaging::ReadModuleIniEntries(ReadAll(ini), names::kModuleName);
    const std::string name = names::kModuleName;
    if (entries.listed == 0 && entries.state.empty() && !entries.section) {
        report.Problem(which + " does not load the module: " + ini.u8string() + " has no " + name + " entries; " +
                       kCitrixRepair);
        return fs::path();
    }
    bool registered = true;
    if (entries.listed != 1) {
        report.Problem(which + ": [ICA 3.0] VirtualDriver lists " + name + " " + std::to_string(entries.listed) +
                       " times in " + ini.u8string() + "; " + kCitrixRepair);
        registered = false;
    }
    if (!boost::algorithm::iequals(entries.state, "On")) {
        report.Problem(which + ": \"" + name + " = " + (entries.state.empty() ? "(absent)" : entries.state) +
                       "\" in [ICA 3.0] of " + ini.u8string() + ": the client does not load the module");
        registered = false;
    }
    if (entries.driverName != names::kCitrixLinuxModuleFile) {
        report.Problem(which + ": [" + name + "] DriverName in " + ini.u8string() + " is not " +
                       names::kCitrixLinuxModuleFile + "; " + kCitrixRepair);
        return fs::path();
    }
    const fs::path module = client / names::kCitrixLinuxModuleFile;
    const fs::path real = fs::canonical(module, error);
    if (error || !fs::is_regular_file(real, error)) {
        report.Problem(which + ": " + module.u8string() + " is missing; " + kCitrixRepair);
        return fs::path();
    }
    const std::string shown = module.u8string() + (real == module ? "" : " (the file " + real.u8string() + ")");
    driver::ElfLibrary library;
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.machine != driver::OwnMachine() ||
        std::find(library.exports.begin(), library.exports.end(), "Load") == library.exports.end()) {
        report.Problem(which + ": " + shown + " is not a " + OwnWidth() + " ICA module (no Load): " + kRepair);
        return fs::path();
    }
    const std::string unavailable = MissingElfLibraries(real, library);
    if (!unavailable.empty()) {
        report.Problem(which + ": " + shown + " will not load: " + unavailable);
        return fs::path();
    }
    if (registered)
        report.Ok("Citrix Workspace app (" + client.u8string() + "): module.ini lists " + name + ", On; it loads " +
                  shown + ", a " + OwnWidth() + " ICA module");
    return real.parent_path();
}

}  // namespace

int CheckCitrixLinux(Report& report, const std::vector<std::string>& folders, std::vector<fs::path>* modules) {
    int installed = 0;
    for (const std::string& listed : folders) {
        const fs::path client = fs::u8path(listed);
        std::error_code error;
        if (!fs::exists(client / names::kCitrixLinuxModuleIni, error)) continue;
        ++installed;
        AddOnce(modules, CheckCitrixLinuxClient(report, client));
    }
    return installed;
}

}  // namespace check
