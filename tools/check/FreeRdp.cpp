// FreeRDP's clients on Linux: for each major installed, the add-in in that
// major's add-in folder, a FreeRDP add-in of this machine built for that major, with
// every library it needs.
#include <algorithm>
#include <string>

#include "driver/Machine.h"
#include "platform/Names.h"
#include "tools/check/Steps.h"

namespace check {

namespace {

// The FreeRDP major a FreeRDP add-in was built for: the one whose winpr it
// needs (libwinpr<N>.so.<N>); 0 when it needs none.
int AddInMajor(const driver::ElfLibrary& library) {
    for (const int major : names::kFreeRdpMajors)
        if (std::find(library.needed.begin(), library.needed.end(),
                      "libwinpr" + std::to_string(major) + ".so." + std::to_string(major)) != library.needed.end())
            return major;
    return 0;
}

// The add-in in the add-in folder of one installed FreeRDP major; its real
// file's folder, or empty when it is unusable there.
fs::path CheckAddIn(Report& report, int major, const fs::path& freerdp, const fs::path& addIn) {
    const std::string which = "FreeRDP " + std::to_string(major);
    const std::string client = major == 2 ? "xfreerdp /dvc:kestav" : "xfreerdp3 /dvc:kestav";
    std::error_code error;
    const fs::path real = fs::canonical(addIn, error);
    if (error || !fs::is_regular_file(real, error)) {
        report.Problem(which + " (" + freerdp.u8string() + ") is installed, but " + addIn.u8string() +
                       " is missing: " + client + " ends the connection at once; " + kRepair);
        return fs::path();
    }
    const std::string shown = addIn.u8string() + (real == addIn ? "" : " (the file " + real.u8string() + ")");
    driver::ElfLibrary library;
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.machine != driver::OwnMachine() ||
        std::find(library.exports.begin(), library.exports.end(), names::kFreeRdpEntryPoint) ==
            library.exports.end()) {
        report.Problem(which + ": " + shown + " is not a " + OwnWidth() + " FreeRDP add-in (no " +
                       names::kFreeRdpEntryPoint + "): " + kRepair);
        return fs::path();
    }
    const int built = AddInMajor(library);
    if (built != major) {
        report.Problem(which + ": " + shown + " is built for " +
                       (built == 0 ? std::string("no FreeRDP major") : "FreeRDP " + std::to_string(built)) +
                       ", and a FreeRDP add-in works only with the major it was built for: " + kRepair);
        return fs::path();
    }
    const std::string unavailable = MissingElfLibraries(real, library);
    if (!unavailable.empty()) {
        report.Problem(which + ": " + shown + " will not load: " + unavailable);
        return fs::path();
    }
    report.Ok(which + " (" + freerdp.u8string() + "): " + client + " loads " + shown + ", built for " + which);
    return real.parent_path();
}

}  // namespace

int CheckFreeRdp(Report& report, const std::vector<std::string>& libraryFolders, std::vector<fs::path>* modules) {
    int installed = 0;
    for (const int major : names::kFreeRdpMajors) {
        const std::string library = "libfreerdp" + std::to_string(major) + ".so." + std::to_string(major);
        for (const std::string& listed : libraryFolders) {
            std::error_code error;
            // As the system names it (/lib is /usr/lib on most systems now).
            fs::path folder = fs::canonical(fs::u8path(listed), error);
            if (error) continue;
            const fs::path freerdp = folder / library;
            if (!fs::exists(freerdp, error)) continue;
            ++installed;
            const fs::path addIn = folder / ("freerdp" + std::to_string(major)) / names::kFreeRdpAddInFile;
            AddOnce(modules, CheckAddIn(report, major, freerdp, addIn));
            break;
        }
    }
    return installed;
}

}  // namespace check
