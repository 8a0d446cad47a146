// kestav-check on a Linux client: the FreeRDP add-in found through its link,
// each driver under drivers/ read from its ELF file (where Init looks, the 31
// entry points, the libraries it needs), and the ELF reader itself on real
// and cut-short files.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/ElfLibrary.h"
#include "driver/Spectro.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"

namespace fs = std::filesystem;

namespace {

std::string Built(const std::string& file) { return testing_support::ExecutableFolder() + "/" + file; }

TEST(ElfLibrary, ADriverAndTheModuleReadAsTheyAre) {
    driver::ElfLibrary sim;
    ASSERT_TRUE(driver::ReadElfLibrary(testing_support::ReadFile(Built("drivers/Kestav/sim.so")), &sim));
    EXPECT_EQ(sim.bits, 64);
    for (const auto& [entry, bytes] : driver::Spectro::EntryPointNames()) {
        (void)bytes;
        EXPECT_NE(std::find(sim.exports.begin(), sim.exports.end(), entry), sim.exports.end()) << entry;
    }
    EXPECT_NE(std::find(sim.needed.begin(), sim.needed.end(), "libc.so.6"), sim.needed.end());
    driver::ElfLibrary none;
    EXPECT_FALSE(driver::ReadElfLibrary("not a library", &none));
    std::string otherMachine = testing_support::ReadFile(Built("drivers/Kestav/sim.so"));
    otherMachine[18] = char(183);  // AArch64
    EXPECT_FALSE(driver::ReadElfLibrary(otherMachine, &none)) << "a library for another machine";
}

TEST(ElfLibrary, AFileCutShortAnywhereGivesNoMoreThanItHolds) {
    const std::string file = testing_support::ReadFile(Built("drivers/Kestav/sim.so"));
    driver::ElfLibrary whole;
    ASSERT_TRUE(driver::ReadElfLibrary(file, &whole));
    for (std::size_t size = 0; size < file.size(); size += 1 + size / 16) {
        driver::ElfLibrary cut;
        driver::ReadElfLibrary(file.substr(0, size), &cut);
        EXPECT_LE(cut.exports.size(), whole.exports.size()) << size;
        EXPECT_LE(cut.needed.size(), whole.needed.size()) << size;
    }
}

class LinuxCheck : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(Built("libkestav-client.so"))) GTEST_SKIP() << "no FreeRDP add-in in this build";
        base = fs::path(temp.Path()) / "kestav";
        fs::create_directories(base / "drivers");
        fs::create_directories(fs::path(temp.Path()) / "freerdp2");
        fs::copy_file(Built("libkestav-client.so"), base / "libkestav-client.so");
        fs::copy_file(Built("KestavDriverHost64"), base / "KestavDriverHost64");
        link = (fs::path(temp.Path()) / "freerdp2" / "libkestav-client.so").string();
        fs::create_symlink(base / "libkestav-client.so", link);
    }
    void Place(const std::string& from, const std::string& place, const std::string& text = "",
               const std::string& instead = "") {
        fs::create_directories((base / place).parent_path());
        std::string bytes = testing_support::ReadFile(from);
        if (!text.empty()) bytes.replace(bytes.find(text), instead.size(), instead);
        testing_support::WriteFile((base / place).string(), bytes);
    }
    int Check(std::string* report, const std::string& addIn) {
        std::ostringstream out;
        const int problems = host::CheckFreeRdpClient(out, addIn);
        *report = out.str();
        return problems;
    }

    testing_support::ScopedTempFolder temp;
    fs::path base;
    std::string link;
};

TEST_F(LinuxCheck, TheAddInAndEachDriverAsTheModuleWillFindThem) {
    const std::string sim = Built("drivers/Kestav/sim.so");
    struct Case {
        std::vector<std::vector<std::string>> drivers;  // from, place, and a text replaced in it
        int problems;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{}, 1, {"OK FreeRDP add-in: " + link + " (the file ", "PROBLEM no instrument driver in "}},
        {{{sim, "drivers/Kestav/sim.so"}}, 0, {"sim.so: 64-bit, all 31 entry points, every library it needs found"}},
        {{{sim, "drivers/maker.so"}}, 2, {"maker.so: Init never looks in drivers/; a driver named \"maker\" goes in drivers/Kestav/"}},
        {{{sim, "drivers/Kestav/sim.so"}, {Built("libkestav-client.so"), "drivers/Kestav/helper.so"}},
         0, {"helper.so: 64-bit library with no entry point of a driver"}},
        // A library it needs that is nowhere: named.
        {{{sim, "drivers/Kestav/sim.so", "libc.so.6", "libq.so.6"}},
         1, {"sim.so: 64-bit, all 31 entry points, but it will not load: sim.so needs libq.so.6, not found"}},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(base / "drivers", ignored);
        for (const auto& driver : c.drivers)
            Place(driver[0], driver[1], driver.size() > 2 ? driver[2] : "", driver.size() > 3 ? driver[3] : "");
        std::string report;
        EXPECT_EQ(Check(&report, link), c.problems) << report;
        for (const std::string& line : c.lines) EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
    std::string report;
    EXPECT_EQ(Check(&report, (fs::path(temp.Path()) / "nowhere.so").string()), 1);
    EXPECT_NE(report.find("PROBLEM no FreeRDP add-in at "), std::string::npos) << report;
}

// The driver host beside the add-in, where every driver runs unless the
// settings file says otherwise, and the settings in force with their source.
TEST_F(LinuxCheck, TheDriverHostAndTheSettingsFile) {
    Place(Built("drivers/Kestav/sim.so"), "drivers/Kestav/sim.so");
    const std::string settings = temp.Path() + "/client.conf";
    platform::SetEnvironment("KESTAV_SETTINGS_FILE", settings);
    struct Case {
        const char* what;
        bool host;
        std::string file;
        int problems;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"installed", true, "", 0,
         {"OK 64-bit driver host: " + (base / "KestavDriverHost64").string() + ", where every driver runs",
          "OK 64-bit setting IsolateDriver = 1 (default)", "OK 64-bit setting DriverTimeoutSeconds = 60 (default)"}},
        {"the host missing", false, "", 1,
         {"PROBLEM 64-bit add-in: " + (base / "KestavDriverHost64").string() +
          " is missing, and every driver runs there (IsolateDriver = 1): reinstall the package kestav-client"}},
        {"set in the file", true, "[ClientDriver]\nDriverTimeoutSeconds = 120\nIsolateDriver = 0\n", 0,
         {"OK 64-bit driver host: " + (base / "KestavDriverHost64").string() + ", for drivers of the other bitness",
          "OK 64-bit setting DriverTimeoutSeconds = 120 (settings file, " + settings + ")",
          "OK 64-bit setting IsolateDriver = 0 (settings file, " + settings + ")"}},
        {"passed over", true, "InstrumentThread = maybe\n", 1,
         {"PROBLEM 64-bit setting InstrumentThread: the settings file value is not a number, ignored",
          "OK 64-bit setting InstrumentThread = 1 (default)"}},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove(base / "KestavDriverHost64", ignored);
        if (c.host) fs::copy_file(Built("KestavDriverHost64"), base / "KestavDriverHost64");
        testing_support::WriteFile(settings, c.file);
        std::string report;
        EXPECT_EQ(Check(&report, link), c.problems) << c.what << "\n" << report;
        for (const std::string& line : c.lines)
            EXPECT_NE(report.find(line + "\n"), std::string::npos) << c.what << ": " << line << "\n" << report;
    }
    platform::SetEnvironment("KESTAV_SETTINGS_FILE", testing_support::kNoSettingsFile);
}

}  // namespace
