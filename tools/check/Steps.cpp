#include "tools/check/Steps.h"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <limits>

#include <boost/algorithm/string/case_conv.hpp>
#include <boost/algorithm/string/predicate.hpp>

#include "commands/Instrument.h"
#include "diag/LogPath.h"
#include "diag/Settings.h"
#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "driver/Spectro.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "platform/SettingsFile.h"
#include "platform/Text.h"
#include "tools/check/Check.h"

namespace check {

bool Report::FirstLook(const std::string& folder) {
    return looked_.insert(platform::kProgramSuffix[0] != '\0' ? boost::algorithm::to_lower_copy(folder) : folder)
        .second;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string Shown(const fs::path& path) { return platform::ShownPath(path.u8string()); }

int ProgramBitness(const std::string& file) {
    const int bits = driver::LibraryBitness(file);
    if (bits != 0 || platform::kProgramSuffix[0] != '\0') return bits;
    driver::ElfLibrary elf;
    return driver::ReadElfLibrary(file, &elf) && elf.machine == driver::OwnMachine() ? elf.bits : 0;
}

std::string OwnWidth() { return std::to_string(driver::MachineBits(driver::OwnMachine())) + "-bit"; }

const std::string kRepair =
    platform::kProgramSuffix[0] != '\0' ? "repair the install" : "reinstall the package kestav-client";

void AddOnce(std::vector<fs::path>* folders, const fs::path& folder) {
    if (!folder.empty() && std::find(folders->begin(), folders->end(), folder) == folders->end())
        folders->push_back(folder);
}

namespace {

// The driver host of one bitness beside a module.
fs::path HostProgram(const fs::path& folder, int bits) {
    return folder / driver::DriverHostFile(bits);
}

// How long a driver may take to load in the driver host.
constexpr std::uint32_t kLoadSeconds = 30;

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


bool CheckElfDriver(Report& report, const fs::path& path, const fs::path& base);

}  // namespace

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

int CheckDriverFolder(std::ostream& out, const std::string& moduleFolder) {
    Report report(out);
    CheckDrivers(report, moduleFolder);
    return report.Problems();
}

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

namespace {

// One library under drivers/, where Init looks for it: of this client's
// machine, the 31 entry points, loaded as Init loads it.
bool CheckElfDriver(Report& report, const fs::path& path, const fs::path& base) {
    const std::string name = "driver " + path.u8string() + ": ";
    const driver::Machine own = driver::OwnMachine();
    const std::string width = std::to_string(driver::MachineBits(own)) + "-bit";
    driver::ElfLibrary library;
    const std::string file = ReadAll(path);
    // On an x86 client the other x86 width is named by its width below.
    const driver::Machine machine = driver::MachineOfFile(file);
    if (machine != driver::Machine::Unknown && !driver::RunsHere(machine) && !driver::OtherX86Width(machine)) {
        report.Problem(name + driver::OtherMachineWords(machine) + ": the maker's build for this machine goes here");
        return true;
    }
    if (!driver::ReadElfLibrary(file, &library)) {
        report.Problem(name + "not a shared library for " + driver::MachineName(own));
        return true;
    }
    if (library.machine != own) {
        report.Problem(name + std::to_string(library.bits) + "-bit: the " + width + " FreeRDP cannot load it");
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
        report.Ok(name + width + " library with no entry point of a driver (one a driver needs beside it)");
        return false;
    }
    if (!missing.empty()) {
        report.Problem(name + width + ", missing: " + missing);
        return true;
    }
    LoadAsInitDoes(report, name + width, path, base, driver::MachineBits(own));
    return true;
}

}  // namespace

void CheckLogPlace(Report& report) {
    const std::string log = diag::ShownLogFilePath();
    const std::string problem = platform::LogPlaceProblem(platform::NativePath(diag::LogFilePath()));
    if (problem.empty())
        report.Ok("log: " + log + " (this user's alone)");
    else
        report.Problem("log: " + log + " cannot be written, so the module logs nothing: " + problem);
}

}  // namespace check
