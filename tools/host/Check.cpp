#include "tools/host/Check.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "driver/LibraryBitness.h"
#include "driver/Spectro.h"
#include "packaging/DriverList.h"
#include "platform/Platform.h"

namespace host {

namespace fs = std::filesystem;

namespace {

const char* const kClientKey = "SOFTWARE\\Citrix\\ICA Client";
const char* const kListKey =
    "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\ICA 3.0";
const char* const kModuleKey =
    "SOFTWARE\\Citrix\\ICA Client\\Engine\\Configuration\\Advanced\\Modules\\KestavClientDriver";
const char* const kModuleFile = "KestavClientDriverICA.dll";

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

private:
    std::ostream& out_;
    int problems_ = 0;
};

// "64-bit, plain names, all 31 entry points" or what is wrong with it.
void CheckDriver(Report& report, const fs::path& path) {
    const std::string file = ReadAll(path);
    const int bits = driver::LibraryBitness(file);
    const std::string name = "driver " + path.string() + ": ";
    if (bits == 0) {
        report.Problem(name + "not a Windows library for x86 or x64");
        return;
    }
    const std::vector<std::string> exported = driver::ExportedNames(file);
    const std::set<std::string> names(exported.begin(), exported.end());
    int plain = 0, decorated = 0;
    std::string missing;
    for (const auto& [entry, bytes] : driver::Spectro::EntryPointNames()) {
        if (names.count(entry) != 0) {
            ++plain;
        } else if (bits == 32 && names.count("_" + entry + "@" + std::to_string(bytes)) != 0) {
            ++decorated;
        } else {
            missing += (missing.empty() ? "" : ", ") + entry;
        }
    }
    const std::string form = decorated == 0   ? "plain names"
                             : plain == 0     ? "stdcall, decorated names"
                                              : "plain and decorated names";
    if (missing.empty())
        report.Ok(name + std::to_string(bits) + "-bit, " + form + ", all 31 entry points");
    else
        report.Problem(name + std::to_string(bits) + "-bit, " + form + ", missing: " + missing);
}

void CheckClient(Report& report, int bits, const std::string& folder) {
    const std::string view = std::to_string(bits) + "-bit";
    report.Ok(view + " client: " + folder);

    std::string list;
    const int count = platform::ReadMachineString(bits, kListKey, "VirtualDriverEx", &list)
                          ? packaging::CountModule(list, packaging::kModuleName)
                          : 0;
    if (count == 1)
        report.Ok(view + " registration: VirtualDriverEx lists " + packaging::kModuleName + " once");
    else
        report.Problem(view + " registration: VirtualDriverEx lists " + packaging::kModuleName + " " +
                       std::to_string(count) + " times (\"" + list + "\")");
    std::string driverName;
    if (platform::ReadMachineString(bits, kModuleKey, "DriverName", &driverName) &&
        driverName == kModuleFile)
        report.Ok(view + " registration: Modules\\" + packaging::kModuleName + " names " + kModuleFile);
    else
        report.Problem(view + " registration: Modules\\" + packaging::kModuleName +
                       "\\DriverName is not " + kModuleFile);

    const fs::path module = fs::path(folder) / kModuleFile;
    const int moduleBits = driver::LibraryBitness(ReadAll(module));
    if (moduleBits == bits)
        report.Ok(view + " module: " + module.string() + " is " + view);
    else if (moduleBits == 0)
        report.Problem(view + " module: " + module.string() + " is missing or not a module");
    else
        report.Problem(view + " module: " + module.string() + " is " + std::to_string(moduleBits) +
                       "-bit; this client loads " + view + " modules only");

    std::error_code error;
    const fs::path drivers = fs::path(folder) / "drivers";
    for (fs::recursive_directory_iterator it(drivers, error), end; !error && it != end;
         it.increment(error)) {
        const std::string extension = it->path().extension().string();
        if (it->is_regular_file(error) && (extension == ".dll" || extension == ".DLL"))
            CheckDriver(report, it->path());
    }
}

}  // namespace

int CheckClientPc(std::ostream& out) {
    Report report(out);
    int clients = 0;
    for (int bits : {64, 32}) {
        std::string folder;
        if (!platform::ReadMachineString(bits, kClientKey, "InstallFolder", &folder) || folder.empty())
            continue;
        while (folder.size() > 3 && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
        ++clients;
        CheckClient(report, bits, folder);
    }
    if (clients == 0)
        report.Problem("no Citrix ICA client is registered (SOFTWARE\\Citrix\\ICA Client, InstallFolder)");
    return report.Problems();
}

}  // namespace host
