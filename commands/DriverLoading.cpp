// "Init": choosing, finding and loading the instrument driver library.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

#include "commands/Instrument.h"
#include "diag/LogFile.h"
#include "diag/ModuleFolder.h"
#include "diag/Settings.h"
#include "driver/LibrariesBeside.h"
#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "platform/EntryCall.h"
#include "platform/File.h"
#include "platform/HostProcess.h"
#include "platform/Library.h"
#include "platform/Text.h"

namespace commands {

namespace {

// Drivers whose maker ships them in a folder of their own, compared lowered.
const std::vector<std::string> OwnFolderDrivers = {"orvo2", "orvo"};

// In this OS's own form, in the paths and in the log alike.
const std::string kSeparator = platform::kPathSeparator;
const std::string kDriversFolder = "drivers";
const std::string kSubfolderPrefix = kDriversFolder + kSeparator;
const std::string kCommonSubfolder = kSubfolderPrefix + "Kestav";
const std::string kLibrarySuffix = ".dll";

// ERROR_INVALID_NAME: what the loader itself reports for such a name.
const std::uint32_t kInvalidDriverName = 123;
// ERROR_PATH_NOT_FOUND: the module's own folder, and so the driver folder,
// is not known.
const std::uint32_t kNoDriverFolder = 3;
// ERROR_ACCESS_DENIED: the driver, or a library it needs, would come from
// outside the drivers folder.
const std::uint32_t kOutsideDriversFolder = 5;
// ERROR_BAD_EXE_FORMAT: a driver of a machine nothing here can run.
const std::uint32_t kOtherMachine = 193;

// The names Windows gives its devices in every folder, whatever the
// extension: "COM1.dll" beside the module is the serial port.
const char* const kDeviceNames[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
const char* const kNumberedDevices[] = {"COM", "LPT"};

bool IsDeviceName(const std::string& name) {
    // The device part: up to the first dot, without trailing blanks or dots.
    std::string stem = name.substr(0, name.find('.'));
    while (!stem.empty() && (stem.back() == ' ' || stem.back() == '.')) stem.pop_back();
    std::string upper(stem);
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    for (const char* device : kDeviceNames)
        if (upper == device) return true;
    for (const char* device : kNumberedDevices) {
        if (upper.compare(0, 3, device) != 0) continue;
        const std::string digit = upper.substr(3);
        if (digit.size() == 1 && digit[0] >= '0' && digit[0] <= '9') return true;
        // The superscript digits, in the ANSI code page (one byte) and UTF-8.
        for (const char* superscript : {"\xB9", "\xB2", "\xB3", "\xC2\xB9", "\xC2\xB2", "\xC2\xB3"})
            if (digit == superscript) return true;
    }
    return false;
}

// A driver name names one file inside the driver folder: a drive colon or a
// control character would let the name reach somewhere else or garble the
// log, and a device name would open a device instead of a file.
bool IsAcceptableDriverName(const std::string& name) {
    for (const char c : name) {
        const unsigned char byte = static_cast<unsigned char>(c);
        if (c == ':' || byte < 0x20 || byte == 0x7F) return false;
    }
    return !IsDeviceName(name);
}

// Where a driver runs: in this process when it is built for this process's
// machine (unless the administrator wants every driver isolated), else in
// the driver host built for its machine where one ships beside the module
// (Windows: the other x86 width's); nowhere otherwise (`refused` says why).
struct Placement {
    bool hosted = false;
    std::string program;
    std::uint32_t timeoutSeconds = 0;
    std::string refused;
};

Placement ChoosePlacement(const std::string& header, const std::vector<std::string>& byPath) {
    Placement placement;
    if (!platform::kDriverHostAvailable) return placement;
    using driver::Machine;
    const Machine own = driver::OwnMachine();
    const Machine machine = driver::MachineOfFile(header);
    const bool foreign = machine != Machine::Unknown && machine != own;
    if (foreign && !driver::RunsHere(machine)) {
        placement.refused = driver::OtherMachineWords(machine);
        return placement;
    }
    const bool isolate = diag::ReadSetting(names::kIsolateDriverSetting).value == 1;
    placement.hosted = isolate || foreign;
    if (!placement.hosted) {
        // Only the driver host's loader searches the driver's folder.
        if (!byPath.empty()) {
            diag::LogDetail(diag::Shown{byPath.front()},
                            " beside the driver has no SONAME of that name, so the system's loader finds it "
                            "only in the driver host: the driver runs there");
            placement.hosted = true;
        }
    }
    placement.program =
        diag::ModuleFolder + kSeparator + driver::DriverHostFile(driver::MachineBits(foreign ? machine : own));
    placement.timeoutSeconds = diag::ReadSetting(names::kDriverTimeoutSetting).value;
    return placement;
}

}  // namespace

std::string GetDriverBaseName(const std::string& parameter) {
    std::string name = parameter;
    const std::string::size_type separator = name.find_last_of("\\/");
    if (separator != std::string::npos) name = name.substr(separator + 1);
    const std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos) name.erase(dot);
    return name;
}

std::string GetDriverSubfolder(const std::string& driverName) {
    const auto lowerEquals = [](char name, char own) {
        return std::tolower(static_cast<unsigned char>(name)) == own;
    };
    for (const std::string& own : OwnFolderDrivers)
        if (std::equal(driverName.begin(), driverName.end(), own.begin(), own.end(), lowerEquals))
            return kSubfolderPrefix + driverName;
    return kCommonSubfolder;
}

std::string GetDriverFolder(const std::string& driverName) {
    return diag::ModuleFolder + kSeparator + GetDriverSubfolder(driverName);
}

Result Instrument::Init(const ParameterList& parameters) {
    if (parameters.empty()) return Result::Failure("Missing parameter");

    const std::string driverName = GetDriverBaseName(parameters[0]);
    const std::string fileName = driverName + kLibrarySuffix;
    const std::string folder = GetDriverFolder(driverName);
    diag::LogLine("Loading driver \"", diag::Shown{platform::LibraryFile(fileName)}, "\" @ \"",
                  platform::ShownPath(folder), "\"");

    bool loaded = false;
    std::uint32_t error = kInvalidDriverName;
    if (diag::ModuleFolder.empty()) {
        // Without it the folder would be relative to whatever the client's
        // current folder is: nothing is loaded from there.
        diag::LogDetail("The module's own folder is not known: no driver is loaded");
        error = kNoDriverFolder;
        spectro.Reset();
    } else if (IsAcceptableDriverName(driverName)) {
        platform::SetLibrarySearchFolder(folder);
        // The full path, so that a library of the same name in the process's
        // current folder can never be picked up instead.
        const std::string path = folder + kSeparator + platform::PathFromAnsi(fileName);
        std::string header;
        // The file the loader opens ("<name>.so" on Linux).
        const platform::FileStart start =
            platform::ReadFileStart(platform::LibraryFile(path), driver::kPeHeaderBytes, &header);
        const driver::BesideLook beside =
            driver::LookBeside(path, diag::ModuleFolder + kSeparator + kDriversFolder);
        if (start == platform::FileStart::NotADiskFile) {
            diag::LogDetail("The driver file is not a file on disk: not loaded");
            spectro.Reset();
        } else if (!beside.refused.empty()) {
            diag::LogDetail("Not loaded: ", diag::Shown{beside.refused});
            error = kOutsideDriversFolder;
            spectro.Reset();
        } else {
            const Placement placement = ChoosePlacement(header, beside.byPathOnly);
            if (!placement.refused.empty()) {
                diag::LogDetail("Not loaded: ", placement.refused);
                error = kOtherMachine;
                spectro.Reset();
            } else {
                loaded = placement.hosted ? spectro.LoadDriverInHost(placement.program, path,
                                                                     placement.timeoutSeconds)
                                          : spectro.LoadDriver(path);
                if (!loaded) error = spectro.LoadError();
            }
        }
    } else {
        spectro.Reset();
    }

    entryFormToLog = loaded && spectro.EntryFormVaries();
    if (loaded) {
        diag::LogLine("Loading Driver success");
        LogEntryFormOnceKnown();  // decorated names tell it at once
        return Result::Success();
    }
    diag::LogLine("Loading Driver error");
    return Result::Failure("Error loading driver (\"" + driverName + "\") on client [Error: " +
                           std::to_string(error) + "]");
}

}  // namespace commands
