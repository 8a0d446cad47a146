#include "tools/check/Check.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <string>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "commands/Instrument.h"
#include "diag/LogPath.h"
#include "diag/Settings.h"
#include "driver/ElfLibrary.h"
#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "driver/Spectro.h"
#include "packaging/DriverList.h"
#include "packaging/ModuleIni.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "platform/SettingsFile.h"
#include "platform/Text.h"

namespace check {

namespace fs = std::filesystem;

namespace {

using names::kIcaModuleFile;
using names::kModuleName;

// The driver host of one bitness beside a module.
fs::path HostProgram(const fs::path& folder, int bits) {
    return folder / driver::DriverHostFile(bits);
}

// How long a driver may take to load in the driver host.
constexpr std::uint32_t kLoadSeconds = 30;

// A path (UTF-8 inside) as the report shows it, in the ANSI code page as the log does.
std::string Shown(const fs::path& path) { return platform::ShownPath(path.u8string()); }

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

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
    bool FirstLook(const std::string& folder) {
        return looked_.insert(platform::kProgramSuffix[0] != '\0' ? boost::algorithm::to_lower_copy(folder) : folder)
            .second;
    }

private:
    std::ostream& out_;
    int problems_ = 0;
    std::set<std::string> looked_;
};

// A file in `folder` by its name in any letter case, as Windows finds it;
// empty where there is none.
fs::path FindFile(const fs::path& folder, const std::string& name) {
    std::error_code error;
    for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->is_regular_file(error) && boost::algorithm::iequals(it->path().filename().u8string(), name))
            return it->path();
    return fs::path();
}

// Where Init looks for a driver of this file's name: empty when the file is
// there, else what is wrong, with the folders written with `separator` ('\\'
// on Windows, where letter case does not count, '/' on Linux).
std::string Misplaced(const fs::path& path, const fs::path& base, char separator) {
    const std::string name = path.stem().u8string();
    std::string where = path.parent_path().lexically_relative(base).u8string();
    std::string wanted = commands::GetDriverSubfolder(name);
    for (std::string* folder : {&where, &wanted})
        for (char& c : *folder)
            if (c == '/' || c == '\\') c = separator;
    if (separator == '\\' ? boost::algorithm::iequals(where, wanted) : where == wanted) return std::string();
    return "Init never looks in " + platform::ShownPath(where) + separator + "; a driver named \"" +
           platform::ShownPath(name) + "\" goes in " + wanted + separator;
}

// Whether a library of this name is in one of `folders`.
bool InAnyFolder(const std::vector<std::string>& folders, const std::string& name) {
    std::error_code ignored;
    for (const std::string& folder : folders)
        if (fs::is_regular_file(fs::u8path(folder) / fs::u8path(name), ignored)) return true;
    return false;
}

int ProgramBitness(const std::string& file);

// The driver loaded as Init loads it, in the driver host of its bitness
// beside the module in `folder`, by the same code: a library it needs that
// is not there shows here, and nothing loads here that Init would refuse.
// `found`: the report's words so far ("driver <path>: 64-bit, plain names").
void LoadAsInitDoes(Report& report, const std::string& found, const fs::path& path, const fs::path& folder,
                    int bits) {
    const fs::path host = HostProgram(folder, bits);
    if (ProgramBitness(ReadAll(host)) != bits) {
        report.Ok(found + ", all 31 entry points (not loaded: no " + std::to_string(bits) + "-bit driver host)");
        return;
    }
    driver::Spectro spectro;
    if (LoadInHostAsInitDoes(spectro, host.u8string(), path.u8string(), kLoadSeconds))
        report.Ok(found + ", all 31 entry points, loads in the driver host");
    else
        report.Problem(found + ", all 31 entry points, but it does not load (" +
                       WhyNotLoaded(spectro.LoadError(), path.u8string()) + ")");
    spectro.Release();
}

// "64-bit, plain names, all 31 entry points, loads in the driver host" or
// what is wrong with it. `folder`: the module's, whose driver hosts load it
// as Init does. False for a library with none of the entry points (one a
// driver needs beside it).
bool CheckDriver(Report& report, const fs::path& path, const fs::path& folder) {
    const std::string file = ReadAll(path);
    const int bits = driver::LibraryBitness(file);
    const std::string name = "driver " + Shown(path) + ": ";
    const driver::Machine machine = driver::MachineOfFile(file);
    if (machine != driver::Machine::Unknown && !driver::RunsHere(machine)) {
        report.Problem(name + driver::OtherMachineWords(machine) + ": the maker's build for x86 or x64 goes here");
        return true;
    }
    if (bits == 0) {
        report.Problem(name + "not a Windows library for x86 or x64: only the maker's Windows driver (a DLL "
                              "for x86 or x64) goes here");
        return true;
    }
    const std::vector<std::string> exported = driver::ExportedNames(file);
    const std::set<std::string> exports(exported.begin(), exported.end());
    int plain = 0, decorated = 0, atSize = 0;
    std::string missing;
    for (const auto& [entry, bytes] : driver::Spectro::EntryPointNames()) {
        if (exports.count(entry) != 0) {
            ++plain;
        } else if (bits == 32 && exports.count("_" + entry + "@" + std::to_string(bytes)) != 0) {
            ++decorated;
        } else {
            // "Connect@0": __stdcall from MinGW linked without --kill-at.
            if (bits == 32 && exports.count(entry + "@" + std::to_string(bytes)) != 0) ++atSize;
            missing += (missing.empty() ? "" : ", ") + entry;
        }
    }
    if (atSize > 0) {
        report.Problem(name + "32-bit, stdcall, names such as \"Connect@0\" (" + std::to_string(atSize) +
                       " of 31), which the module does not look for: " + kArgumentSizeFix);
        return true;
    }
    const std::string form = decorated == 0   ? "plain names"
                             : plain == 0     ? "stdcall, decorated names"
                                              : "plain and decorated names";
    const std::string found = name + std::to_string(bits) + "-bit, " + form;
    if (plain == 0 && decorated == 0) {
        report.Ok(name + std::to_string(bits) + "-bit library with no entry point of a driver "
                         "(one a driver needs beside it)");
        return false;
    }
    if (!missing.empty()) {
        report.Problem(found + ", missing: " + missing +
                       ": the instrument's maker has a driver with all 31 (kestav-check --self-test DRIVER "
                       "shows each)");
        return true;
    }
    LoadAsInitDoes(report, found, path, folder, bits);
    return true;
}

void CheckSettings(Report& report, int bits);
void CheckDrivers(Report& report, const std::string& folder);

// 32 or 64 for a program (or library) this system runs: a Windows one, or
// on Linux an x86-64 ELF file; 0 otherwise.
int ProgramBitness(const std::string& file) {
    const int bits = driver::LibraryBitness(file);
    if (bits != 0 || platform::kProgramSuffix[0] != '\0') return bits;
    driver::ElfLibrary elf;
    return driver::ReadElfLibrary(file, &elf) ? elf.bits : 0;
}

// What an administrator does about a missing file of the install.
const std::string kRepair =
    platform::kProgramSuffix[0] != '\0' ? "repair the install" : "reinstall the package kestav-client";

// The command that registers the module with the client of `bits` again.
std::string RegisterCommand(int bits) {
    return "KestavRegister.exe add " + std::to_string(bits) +
           " (the package's, run as an administrator) registers it again, or repair the install";
}

// The driver host of the module's own bitness beside it (`what`: the module
// or the plug-in): every driver runs there unless IsolateDriver is 0.
void CheckHost(Report& report, int bits, const fs::path& folder, const std::string& what) {
    const std::string view = std::to_string(bits) + "-bit";
    const fs::path program = HostProgram(folder, bits);
    std::vector<std::string> ignored;
    const bool isolate =
        diag::ReadSetting(names::kIsolateDriverSetting, platform::ViewOf(bits), &ignored).value == 1;
    if (ProgramBitness(ReadAll(program)) == bits)
        report.Ok(view + " driver host: " + Shown(program) +
                  (isolate ? ", where every driver runs" : ", for drivers of the other bitness"));
    else if (isolate)
        report.Problem(view + " " + what + ": " + Shown(program) +
                       " is missing, and every driver runs there (IsolateDriver = 1): " + kRepair);
    else
        report.Problem(view + " " + what + ": " + Shown(program) +
                       " is missing, so drivers of the other bitness cannot run: " + kRepair);
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

// The settings in force in one registry view, and where each comes from;
// on Linux the settings file is their one source, named in each line.
void CheckSettings(Report& report, int bits) {
    const std::string view = std::to_string(bits) + "-bit";
    const std::string file = platform::SettingsFilePath();
    const std::string problem = platform::SettingsFileProblem();
    if (!problem.empty())
        report.Problem("settings file " + file + " is not read: " + problem +
                       "; every setting is at its default until it is mended");
    for (const names::Setting& setting : names::kSettings) {
        std::vector<std::string> ignored;
        const diag::SettingValue value = diag::ReadSetting(setting, platform::ViewOf(bits), &ignored);
        for (const std::string& line : ignored)
            report.Problem(view + " s" + line.substr(1) + ": set it within its range, or remove it");
        std::string where = diag::SourceName(value.source);
        if (value.source == diag::SettingSource::Policy) where += ", HKLM\\" + std::string(names::kPolicyKey);
        if (value.source == diag::SettingSource::Preference)
            where += ", HKLM\\" + std::string(names::kPreferenceKey);
        if (value.source == diag::SettingSource::File) where += ", " + file;
        if (value.source == diag::SettingSource::Default && !ignored.empty())
            where += "; the value set is ignored, above";
        else if (value.source == diag::SettingSource::Default && !file.empty())
            where += "; not set in " + file;
        report.Ok(view + " setting " + setting.name + " = " + std::to_string(value.value) + " (" +
                  where + ")");
    }
}

bool CheckElfDriver(Report& report, const fs::path& path, const fs::path& base);

// Each library under drivers\ beside a module (drivers/ on Linux): checked
// where Init looks for a driver of its name, a problem anywhere else; none
// there is a problem.
void CheckDrivers(Report& report, const std::string& folder) {
    if (!report.FirstLook(folder)) return;
    const bool windows = platform::kProgramSuffix[0] != '\0';
    std::error_code error;
    const fs::path base = fs::u8path(folder);
    const fs::path drivers = base / "drivers";
    int usable = 0;
    for (fs::recursive_directory_iterator it(drivers, error), end; !error && it != end;
         it.increment(error)) {
        const std::string extension = it->path().extension().string();
        if (!it->is_regular_file(error) ||
            !(windows ? boost::algorithm::iequals(extension, ".dll") : extension == ".so"))
            continue;
        const std::string misplaced = Misplaced(it->path(), base, windows ? '\\' : '/');
        if (!misplaced.empty()) {
            report.Problem("driver " + Shown(it->path()) + ": " + misplaced);
            continue;
        }
        if (windows ? CheckDriver(report, it->path(), base) : CheckElfDriver(report, it->path(), base)) ++usable;
    }
    if (usable == 0)
        report.Problem("no instrument driver in " + Shown(drivers / "Kestav") +
                       ": Init finds none (the maker's driver goes there)");
}

// Beside a plug-in of `bits`: its driver host, the settings it reads, the drivers.
void CheckPluginFolder(Report& report, int bits, const fs::path& folder) {
    CheckHost(report, bits, folder, "Remote Desktop plug-in");
    CheckSettings(report, bits);
    CheckDrivers(report, folder.u8string());
}

}  // namespace

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

int CheckDriverFolder(std::ostream& out, const std::string& moduleFolder) {
    Report report(out);
    CheckDrivers(report, moduleFolder);
    return report.Problems();
}

int CheckClientPc(std::ostream& out) {
    Report report(out);
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
    int plugins = 0;
    for (int bits : {64, 32}) plugins += CheckPlugin(report, bits) ? 1 : 0;
    plugins += CheckUserPlugin(report) ? 1 : 0;
    if (clients == 0 && plugins == 0)
        report.Problem("no Citrix ICA client is registered (SOFTWARE\\Citrix\\ICA Client, InstallFolder), "
                       "and no Remote Desktop plug-in (" + std::string(names::kDvcAddInKey) +
                       ", in HKLM or HKCU): install the Citrix Workspace app and then the package, or the "
                       "package's Remote Desktop feature alone (ADDLOCAL=RemoteDesktop)");
    return report.Problems();
}

namespace {
std::string MissingElfLibraries(const fs::path& path, const driver::ElfLibrary& library);
}  // namespace

std::string MissingLibraries(const std::string& file) {
    const fs::path path = fs::u8path(file);
    driver::ElfLibrary elf;
    if (driver::ReadElfLibrary(ReadAll(path), &elf)) return MissingElfLibraries(path, elf);
    const std::vector<std::string> search = platform::SystemLibraryFolders();
    const fs::path beside = path.parent_path();
    std::string missing;
    std::set<std::string> seen;
    // In the order the loader meets them, each library once.
    std::vector<fs::path> pending = {path};
    for (std::size_t next = 0; next < pending.size() && next < 64; ++next) {
        const fs::path library = pending[next];
        for (const std::string& name : driver::ImportedLibraries(ReadAll(library))) {
            // Windows' API sets resolve inside the loader, not to files.
            if (boost::algorithm::istarts_with(name, "api-ms-") || boost::algorithm::istarts_with(name, "ext-ms-"))
                continue;
            const std::string key = boost::algorithm::to_lower_copy(name);
            const fs::path local = FindFile(beside, name);
            if (!local.empty()) {
                if (seen.insert(key).second) pending.push_back(local);
                continue;
            }
            if (!InAnyFolder(search, name) && seen.insert(key).second)
                missing += std::string(missing.empty() ? "" : "; ") + Shown(library.filename()) + " needs " + name +
                           ", not found";
        }
    }
    return missing;
}

bool LoadInHostAsInitDoes(driver::Spectro& spectro, const std::string& program, const std::string& path,
                          std::uint32_t timeoutSeconds) {
    // By the name Init gives it, "<name>.dll", which Linux's loader layer
    // opens as "<name>.so".
    std::string named = path;
    if (platform::kProgramSuffix[0] == '\0' && boost::algorithm::ends_with(named, ".so"))
        named.replace(named.size() - 3, 3, ".dll");
    return spectro.LoadDriverInHost(program, named, timeoutSeconds);
}

std::string WhyNotLoaded(std::uint32_t error, const std::string& path) {
    std::string why = "error " + std::to_string(error);
    if (error == 126) {
        std::string missing = MissingLibraries(path);
        if (missing.empty()) missing = "a library it needs is neither beside it nor on this PC";
        why += ": " + missing + " (a library the driver needs goes beside it)";
    } else {
        why += "; kestav-check --self-test " + platform::ShownPath(path) + " shows where it stops";
    }
    return why;
}

bool ParseNumber(const std::string& text, int* value) {
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long number = std::stoll(text);
    if (number > std::numeric_limits<int>::max()) return false;
    *value = int(number);
    return true;
}

void ShowLogTail(std::ostream& out, int lines) {
    const std::string path = diag::LogFilePath();
    out << "\nlog file: " << diag::ShownLogFilePath() << "\n";
    std::ifstream log(fs::u8path(platform::NativePath(path)), std::ios::binary);
    if (!log) {
        out << "no log there yet: the module writes it once a session on this PC, for this user, has opened "
               "its channels (or it was removed since)\n";
        return;
    }
    std::vector<std::string> all;
    std::string line;
    while (std::getline(log, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        all.push_back(line);
    }
    const std::size_t first = all.size() > std::size_t(lines) ? all.size() - lines : 0;
    out << "last " << all.size() - first << " of " << all.size() << " lines:\n";
    for (std::size_t i = first; i < all.size(); ++i) out << "  " << all[i] << "\n";
}

namespace {

// The ELF counterpart of MissingLibraries: what `library` needs, and what
// the libraries beside it that it needs need in turn, that is neither beside
// it nor in the system's library folders.
std::string MissingElfLibraries(const fs::path& path, const driver::ElfLibrary& library) {
    const std::vector<std::string> search = platform::SystemLibraryFolders();
    const fs::path beside = path.parent_path();
    std::string missing;
    std::set<std::string> seen;
    std::vector<std::pair<std::string, std::vector<std::string>>> pending = {
        {path.filename().u8string(), library.needed}};
    for (std::size_t next = 0; next < pending.size() && next < 64; ++next) {
        const auto [name, needed] = pending[next];
        for (const std::string& need : needed) {
            if (!seen.insert(need).second) continue;
            driver::ElfLibrary local;
            std::error_code ignored;
            if (fs::is_regular_file(beside / fs::u8path(need), ignored) &&
                driver::ReadElfLibrary(ReadAll(beside / fs::u8path(need)), &local)) {
                pending.emplace_back(need, local.needed);
                continue;
            }
            if (!InAnyFolder(search, need))
                missing += std::string(missing.empty() ? "" : "; ") + name + " needs " + need + ", not found";
        }
    }
    return missing;
}

// One library under drivers/, where Init looks for it: 64-bit, the 31
// entry points, loaded as Init loads it.
bool CheckElfDriver(Report& report, const fs::path& path, const fs::path& base) {
    const std::string name = "driver " + path.u8string() + ": ";
    driver::ElfLibrary library;
    const std::string file = ReadAll(path);
    // An i386 one is named by its width below.
    const driver::Machine machine = driver::MachineOfFile(file);
    if (machine != driver::Machine::Unknown && machine != driver::Machine::I386 && !driver::RunsHere(machine)) {
        report.Problem(name + driver::OtherMachineWords(machine) + ": the maker's build for this machine goes here");
        return true;
    }
    if (!driver::ReadElfLibrary(file, &library)) {
        report.Problem(name + "not a shared library for x86-64");
        return true;
    }
    if (library.bits != 64) {
        report.Problem(name + "32-bit: the 64-bit FreeRDP cannot load it");
        return true;
    }
    const std::set<std::string> exports(library.exports.begin(), library.exports.end());
    std::string missing;
    int found = 0;
    for (const auto& [entry, bytes] : driver::Spectro::EntryPointNames()) {
        (void)bytes;
        if (exports.count(entry) != 0) ++found;
        else missing += (missing.empty() ? "" : ", ") + entry;
    }
    if (found == 0) {
        report.Ok(name + "64-bit library with no entry point of a driver (one a driver needs beside it)");
        return false;
    }
    if (!missing.empty()) {
        report.Problem(name + "64-bit, missing: " + missing);
        return true;
    }
    LoadAsInitDoes(report, name + "64-bit", path, base, 64);
    return true;
}

}  // namespace

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
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.bits != 64 ||
        std::find(library.exports.begin(), library.exports.end(), names::kFreeRdpEntryPoint) ==
            library.exports.end()) {
        report.Problem(which + ": " + shown + " is not a 64-bit FreeRDP add-in (no " + names::kFreeRdpEntryPoint +
                       "): " + kRepair);
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

// Horizon's VC bridge folder, where its client is installed: the static
// plug-in linked there, a 64-bit plug-in that loads. The folder of its real
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
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.bits != 64 ||
        std::find(library.exports.begin(), library.exports.end(), names::kStaticEntryPoint) == library.exports.end()) {
        report.Problem("Horizon: " + shown + " is not a 64-bit static channel plug-in (no " +
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

const std::string kCitrixRepair = "sudo dpkg-reconfigure kestav-client registers it";

// A Citrix Workspace app for Linux: the module's entries in its module.ini and
// the module file they name. The folder of that file's real file, or empty.
fs::path CheckCitrixLinux(Report& report, const fs::path& client) {
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
    if (!driver::ReadElfLibrary(ReadAll(real), &library) || library.bits != 64 ||
        std::find(library.exports.begin(), library.exports.end(), "Load") == library.exports.end()) {
        report.Problem(which + ": " + shown + " is not a 64-bit ICA module (no Load): " + kRepair);
        return fs::path();
    }
    const std::string unavailable = MissingElfLibraries(real, library);
    if (!unavailable.empty()) {
        report.Problem(which + ": " + shown + " will not load: " + unavailable);
        return fs::path();
    }
    if (registered)
        report.Ok("Citrix Workspace app (" + client.u8string() + "): module.ini lists " + name + ", On; it loads " +
                  shown + ", a 64-bit ICA module");
    return real.parent_path();
}

}  // namespace

int CheckFreeRdpClients(std::ostream& out, const std::vector<std::string>& libraryFolders,
                        const std::vector<std::string>& bridgeFolders,
                        const std::vector<std::string>& horizonPrograms,
                        const std::vector<std::string>& citrixFolders) {
    Report report(out);
    std::vector<fs::path> modules;  // the folders of the add-ins' real files, each once
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
            const fs::path module = CheckAddIn(report, major, freerdp, addIn);
            if (!module.empty() && std::find(modules.begin(), modules.end(), module) == modules.end())
                modules.push_back(module);
            break;
        }
    }
    for (const std::string& program : horizonPrograms) {
        std::error_code error;
        if (!fs::exists(fs::u8path(program), error)) continue;
        ++installed;
        report.Ok("Horizon's client (" + program + ") is installed: it loads the static plug-in from its VC bridge");
        break;
    }
    for (const std::string& listed : bridgeFolders) {
        std::error_code error;
        if (!fs::is_directory(fs::u8path(listed), error)) continue;
        const fs::path module = CheckBridge(report, fs::u8path(listed));
        if (!module.empty() && std::find(modules.begin(), modules.end(), module) == modules.end())
            modules.push_back(module);
    }
    for (const std::string& listed : citrixFolders) {
        const fs::path client = fs::u8path(listed);
        std::error_code error;
        if (!fs::exists(client / names::kCitrixLinuxModuleIni, error)) continue;
        ++installed;
        const fs::path module = CheckCitrixLinux(report, client);
        if (!module.empty() && std::find(modules.begin(), modules.end(), module) == modules.end())
            modules.push_back(module);
    }
    if (installed == 0)
        report.Problem("no FreeRDP is installed (libfreerdp2.so.2 or libfreerdp3.so.3), nor Horizon's client (its "
                       "rdpvcbridge folder), nor the Citrix Workspace app (" + std::string(names::kCitrixLinuxFolder) +
                       "): the package serves the FreeRDP clients (xfreerdp /dvc:kestav, xfreerdp3 "
                       "/dvc:kestav, or /vc:kestav), Horizon's and the Citrix Workspace app");
    for (const fs::path& base : modules) {
        CheckDrivers(report, base.u8string());
        CheckHost(report, 64, base, "add-in");
    }
    CheckSettings(report, 64);
    const std::string log = diag::ShownLogFilePath();
    const std::string problem = platform::LogPlaceProblem(platform::NativePath(diag::LogFilePath()));
    if (problem.empty())
        report.Ok("log: " + log + " (this user's alone)");
    else
        report.Problem("log: " + log + " cannot be written, so the module logs nothing: " + problem);
    return report.Problems();
}

}  // namespace check
