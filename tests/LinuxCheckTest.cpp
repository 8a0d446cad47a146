// kestav-check on a Linux client: each FreeRDP major and its add-in,
// each driver under drivers/ read from its ELF file (where Init looks, the 31
// entry points, the libraries it needs), and the ELF reader itself on real
// and cut-short files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "driver/ElfLibrary.h"
#include "driver/LittleEndian.h"
#include "driver/Machine.h"
#include "driver/Spectro.h"
#include "packaging/ModuleIni.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"

namespace fs = std::filesystem;

namespace {

std::string Built(const std::string& file) { return testing_support::ExecutableFolder() + "/" + file; }

TEST(ElfLibrary, ADriverAndTheModuleReadAsTheyAre) {
    driver::ElfLibrary sim;
    ASSERT_TRUE(driver::ReadElfLibrary(testing_support::ReadFile(Built("drivers/Kestav/sim.so")), &sim));
    EXPECT_EQ(sim.machine, driver::OwnMachine());
    EXPECT_EQ(sim.bits, int(sizeof(void*) * 8));
    for (const auto& [entry, bytes] : driver::Spectro::EntryPointNames()) {
        (void)bytes;
        EXPECT_NE(std::find(sim.exports.begin(), sim.exports.end(), entry), sim.exports.end()) << entry;
    }
    EXPECT_NE(std::find(sim.needed.begin(), sim.needed.end(), "libc.so.6"), sim.needed.end());
    driver::ElfLibrary none;
    EXPECT_FALSE(driver::ReadElfLibrary("not a library", &none));
    std::string otherMachine = testing_support::ReadFile(Built("drivers/Kestav/sim.so"));
    otherMachine[18] = 8;  // EM_MIPS
    otherMachine[19] = 0;
    EXPECT_FALSE(driver::ReadElfLibrary(otherMachine, &none)) << "a library for a machine no client of ours is";
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

// Section header fields a hostile file may claim: each read stays inside the
// file (AddressSanitizer's builds catch any read before or past it).
TEST(ElfLibrary, HostileSectionFieldsAreReadWithinTheFile) {
    const std::string file = testing_support::ReadFile(Built("drivers/Kestav/sim.so"));
    driver::ElfLibrary whole;
    ASSERT_TRUE(driver::ReadElfLibrary(file, &whole));
    const auto little = [&](std::uint64_t at, int width) { return driver::ReadLittle(file, at, width); };
    // The 64-bit form's places, or the 32-bit one's (an armhf build's own file).
    const bool wide = whole.bits == 64;
    const int word = wide ? 8 : 4;
    const std::uint64_t table = little(wide ? 0x28 : 0x20, word), entry = little(wide ? 0x3A : 0x2E, 2),
                        count = little(wide ? 0x3C : 0x30, 2);
    const std::uint64_t offset = wide ? 0x18 : 0x10, size = wide ? 0x20 : 0x14, entrySize = wide ? 0x38 : 0x24;
    // {section type (SHT_DYNSYM 11, SHT_DYNAMIC 6), field, value}
    const std::uint64_t rows[][3] = {{11, entrySize, ~15ull}, {11, entrySize, ~0ull}, {11, size, ~0ull},
                                     {11, offset, ~7ull},     {6, offset, ~15ull},    {6, size, ~0ull}};
    for (const auto& row : rows) {
        std::string hostile = file;
        for (std::uint64_t i = 0; i < count; ++i)
            if (little(table + i * entry + 4, 4) == row[0])
                for (int b = 0; b < word; ++b) hostile[table + i * entry + row[1] + b] = char(row[2] >> (8 * b));
        driver::ElfLibrary read;
        (void)driver::ReadElfLibrary(hostile, &read);
        EXPECT_LE(read.exports.size() + read.needed.size(), whole.exports.size() + whole.needed.size()) << row[1];
    }
}

std::string AddInBuild(int major) { return "libkestav-client-freerdp" + std::to_string(major) + ".so"; }

// A client's library folder (lib/) with FreeRDP 2 and 3 in it, each with the
// add-in built for it linked into its add-in folder, the real files and the
// driver host in kestav/, as the package lays them out.
class LinuxCheck : public ::testing::Test {
protected:
    void SetUp() override {
        for (const int major : {2, 3})
            if (!fs::exists(Built(AddInBuild(major)))) GTEST_SKIP() << "no FreeRDP " << major << " add-in in this build";
        base = fs::path(temp.Path()) / "kestav";
        lib = fs::path(temp.Path()) / "lib";
        fs::create_directories(base / "drivers");
        fs::copy_file(Built("KestavDriverHost64"), base / "KestavDriverHost64");
        for (const int major : {2, 3}) {
            fs::copy_file(Built(AddInBuild(major)), base / AddInBuild(major));
            Install(major, major);
        }
    }
    std::string AddIn(int major) const {
        return (lib / ("freerdp" + std::to_string(major)) / "libkestav-client.so").string();
    }
    // FreeRDP `major` installed, with the add-in built for `build` linked in
    // its add-in folder (0: none).
    void Install(int major, int build) {
        const std::string suffix = std::to_string(major);
        fs::create_directories(lib / ("freerdp" + suffix));
        testing_support::WriteFile((lib / ("libfreerdp" + suffix + ".so." + suffix)).string(), "");
        std::error_code ignored;
        fs::remove(AddIn(major), ignored);
        if (build != 0) fs::create_symlink(base / AddInBuild(build), AddIn(major));
    }
    void Uninstall(int major) {
        const std::string suffix = std::to_string(major);
        std::error_code ignored;
        fs::remove(lib / ("libfreerdp" + suffix + ".so." + suffix), ignored);
    }
    void Place(const std::string& from, const std::string& place, const std::string& text = "",
               const std::string& instead = "") {
        fs::create_directories((base / place).parent_path());
        std::string bytes = testing_support::ReadFile(from);
        if (!text.empty()) bytes.replace(bytes.find(text), instead.size(), instead);
        testing_support::WriteFile((base / place).string(), bytes);
    }
    int Check(std::string* report) {
        std::ostringstream out;
        const int problems = check::CheckFreeRdpClients(out, {lib.string()}, {Bridge().string()},
                                                        {(fs::path(temp.Path()) / "vmware-view").string()},
                                                        {Citrix().string()});
        *report = out.str();
        return problems;
    }

    fs::path Bridge() const { return fs::path(temp.Path()) / "rdpvcbridge"; }
    fs::path Citrix() const { return fs::path(temp.Path()) / "ICAClient"; }

    testing_support::ScopedTempFolder temp;
    fs::path base, lib;
};

// Which FreeRDP majors are installed, and whether each finds the add-in
// built for it.
TEST_F(LinuxCheck, EachFreeRdpMajorAndItsAddIn) {
    Place(Built("drivers/Kestav/sim.so"), "drivers/Kestav/sim.so");
    const auto ok = [&](int major) {
        const std::string n = std::to_string(major);
        return "OK FreeRDP " + n + " (" + (lib / ("libfreerdp" + n + ".so." + n)).string() + "): xfreerdp" +
               (major == 3 ? "3" : "") + " /dvc:kestav loads " + AddIn(major) + " (the file " +
               (base / AddInBuild(major)).string() + "), built for FreeRDP " + n + "\n";
    };
    struct Case {
        const char* what;
        std::vector<std::pair<int, int>> installed;  // major, add-in build linked (0: none)
        int problems;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"both, each with its own", {{2, 2}, {3, 3}}, 0, {ok(2), ok(3)}},
        {"FreeRDP 2 only", {{2, 2}}, 0, {ok(2)}},
        {"FreeRDP 3 only", {{3, 3}}, 0, {ok(3)}},
        {"FreeRDP 3 without the add-in", {{2, 2}, {3, 0}}, 1,
         {ok(2), "PROBLEM FreeRDP 3 (" + (lib / "libfreerdp3.so.3").string() + ") is installed, but " + AddIn(3) +
                     " is missing: xfreerdp3 /dvc:kestav ends the connection at once; reinstall the package "
                     "kestav-client\n"}},
        {"FreeRDP 3 with FreeRDP 2's add-in", {{3, 2}}, 1,
         {"PROBLEM FreeRDP 3: " + AddIn(3) + " (the file " + (base / AddInBuild(2)).string() +
          ") is built for FreeRDP 2, and a FreeRDP add-in works only with the major it was built for"}},
        {"no FreeRDP", {}, 1,
         {"PROBLEM no FreeRDP is installed (libfreerdp2.so.2 or libfreerdp3.so.3), nor Horizon's client (its "
          "rdpvcbridge folder), nor the Citrix Workspace app (/opt/Citrix/ICAClient): the package serves the FreeRDP "
          "clients (xfreerdp /dvc:kestav, xfreerdp3 /dvc:kestav, or /vc:kestav), Horizon's and the Citrix Workspace "
          "app\n"}},
    };
    for (const Case& c : cases) {
        Uninstall(2);
        Uninstall(3);
        for (const auto& [major, build] : c.installed) Install(major, build);
        std::string report;
        EXPECT_EQ(Check(&report), c.problems) << c.what << "\n" << report;
        for (const std::string& line : c.lines)
            EXPECT_NE(report.find(line), std::string::npos) << c.what << ": " << line << "\n" << report;
        // The drivers beside the add-ins are checked once, however many majors find them.
        const bool found = std::any_of(c.installed.begin(), c.installed.end(),
                                       [](const std::pair<int, int>& m) { return m.first == m.second; });
        EXPECT_EQ(report.find("OK driver ") != std::string::npos, found) << c.what << "\n" << report;
        EXPECT_EQ(report.find("OK driver "), report.rfind("OK driver ")) << c.what << "\n" << report;
    }
}

// Horizon's Linux client: its VC bridge folder holds the static plug-in (as
// the package links it), a folder without it or with something else in its
// place is a problem, and a PC with Horizon's client and no FreeRDP is sound.
TEST_F(LinuxCheck, HorizonsVcBridge) {
    Place(Built("drivers/Kestav/sim.so"), "drivers/Kestav/sim.so");
    fs::copy_file(Built("libkestav-static.so"), base / "libkestav-static.so");
    const fs::path linked = Bridge() / "libkestav-static.so";
    const std::string horizon = (fs::path(temp.Path()) / "vmware-view").string();
    struct Case {
        const char* what;
        bool freerdp, horizon;
        const char* placed;  // linked into the bridge folder; "" no folder, "-" the folder alone
        int problems;
        std::string line;
    };
    const Case cases[] = {
        {"Horizon alone, the plug-in in its bridge", false, true, "libkestav-static.so", 0,
         "OK Horizon's VC bridge (" + Bridge().string() + "): loads " + linked.string() + " (the file " +
             (base / "libkestav-static.so").string() + "), the static channel plug-in\n"},
        {"Horizon alone, its bridge without the plug-in", false, true, "-", 1,
         "PROBLEM Horizon's VC bridge folder " + Bridge().string() + " is there, but " + linked.string() +
             " is missing"},
        {"a driver where the plug-in should be", true, false, "drivers/Kestav/sim.so", 1,
         "is not a 64-bit static channel plug-in (no VirtualChannelEntryEx)"},
        {"FreeRDP with the package's bridge link, no Horizon", true, false, "libkestav-static.so", 0,
         "OK Horizon's VC bridge"},
        {"neither FreeRDP nor Horizon, the bridge link there", false, false, "libkestav-static.so", 1,
         "PROBLEM no FreeRDP is installed"},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(Bridge(), ignored);
        fs::remove(horizon, ignored);
        if (!c.freerdp) {
            Uninstall(2);
            Uninstall(3);
        } else {
            Install(3, 3);
        }
        if (c.horizon) testing_support::WriteFile(horizon, "");
        if (std::string(c.placed) != "") fs::create_directories(Bridge());
        if (std::string(c.placed) != "" && std::string(c.placed) != "-") fs::create_symlink(base / c.placed, linked);
        std::string report;
        EXPECT_EQ(Check(&report), c.problems) << c.what << "\n" << report;
        EXPECT_NE(report.find(c.line), std::string::npos) << c.what << ": " << c.line << "\n" << report;
        EXPECT_EQ(report.find("OK Horizon's client (" + horizon + ") is installed") != std::string::npos, c.horizon)
            << c.what;
        // The drivers beside the plug-in are checked when no FreeRDP add-in leads to them.
        EXPECT_EQ(report.find("OK driver "), report.rfind("OK driver ")) << c.what << "\n" << report;
    }
}

// The Citrix Workspace app for Linux: the module's entries in its module.ini
// and the module they name, as the package leaves them and as they go wrong.
TEST_F(LinuxCheck, CitrixWorkspaceApp) {
    Place(Built("drivers/Kestav/sim.so"), "drivers/Kestav/sim.so");
    fs::copy_file(Built("KestavClientDriverICA.so"), base / "KestavClientDriverICA.so");
    const std::string ini = (Citrix() / "config/module.ini").string();
    const fs::path linked = Citrix() / "VDKESTAV.DLL";
    const std::string plain = "[ICA 3.0]\nVirtualDriver = Thinwire3.0\nThinwire3.0 = On\n";
    std::string registered, why;
    ASSERT_TRUE(packaging::AddModuleIniEntries(plain, "KestavClientDriver", "VDKESTAV.DLL", &registered, &why));
    struct Case {
        const char* what;
        bool freerdp;
        std::string text;   // module.ini
        const char* links;  // what VDKESTAV.DLL links to, in kestav/; "" none
        int problems;
        std::string line;
    };
    const Case cases[] = {
        {"as the package leaves it", true, registered, "KestavClientDriverICA.so", 0,
         "OK Citrix Workspace app (" + Citrix().string() + "): module.ini lists KestavClientDriver, On; it loads " +
             linked.string() + " (the file " + (base / "KestavClientDriverICA.so").string() + "), a 64-bit ICA module\n"},
        {"the Citrix client alone", false, registered, "KestavClientDriverICA.so", 0, "OK Citrix Workspace app"},
        {"a client installed after the package", true, plain, "", 1,
         "does not load the module: " + ini + " has no KestavClientDriver entries; sudo dpkg-reconfigure kestav-client"},
        {"turned off", true, std::string(registered).replace(registered.find("= On"), 4, "= Off"),
         "KestavClientDriverICA.so", 1, "\"KestavClientDriver = Off\" in [ICA 3.0]"},
        {"listed twice", true,
         std::string(registered).replace(registered.find("KestavClientDriver\n"), 18, "KestavClientDriver, KestavClientDriver"),
         "KestavClientDriverICA.so", 1, "VirtualDriver lists KestavClientDriver 2 times"},
        {"the link missing", true, registered, "", 1, linked.string() + " is missing"},
        {"a driver where the module should be", true, registered, "drivers/Kestav/sim.so", 1,
         "is not a 64-bit ICA module (no Load)"},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(Citrix(), ignored);
        fs::create_directories(Citrix() / "config");
        testing_support::WriteFile(ini, c.text);
        if (std::string(c.links) != "") fs::create_symlink(base / c.links, linked);
        if (c.freerdp) {
            Install(2, 2);
        } else {
            Uninstall(2);
            Uninstall(3);
        }
        std::string report;
        EXPECT_EQ(Check(&report), c.problems) << c.what << "\n" << report;
        EXPECT_NE(report.find(c.line), std::string::npos) << c.what << ": " << c.line << "\n" << report;
        // The drivers beside the module are checked once, whichever client leads to them.
        EXPECT_EQ(report.find("OK driver "), report.rfind("OK driver ")) << c.what << "\n" << report;
    }
}

// A library of another machine where the client loads drivers: a 32-bit
// one named by its width, any other by both machines.
TEST_F(LinuxCheck, ADriverOfAnotherMachineIsNamed) {
    // Another family (arm64 on x86, x86-64 on ARM) everywhere; the other x86 width on x86-64.
    const bool onX86 = driver::OwnMachine() == driver::Machine::Amd64;
    const std::string other = onX86 ? "arm64" : "x86-64";
    struct Row {
        char elfClass, machine;
        std::string said;
    };
    std::vector<Row> rows = {{2, char(onX86 ? 183 : 62),
                              "the driver is for " + other + "; this client is " +
                                  driver::MachineName(driver::OwnMachine()) + ", and no driver host for " + other +
                                  " ships with it: the maker's build for this machine goes here"}};
    if (onX86) rows.push_back({1, 3, "32-bit: the 64-bit FreeRDP cannot load it"});
    for (const auto& row : rows) {
        std::string bytes = testing_support::ReadFile(Built("drivers/Kestav/sim.so"));
        ASSERT_GT(bytes.size(), 64u);
        bytes[4] = row.elfClass;
        bytes[18] = row.machine;
        bytes[19] = 0;
        fs::remove_all(base / "drivers");
        fs::create_directories(base / "drivers" / "Kestav");
        testing_support::WriteFile((base / "drivers/Kestav/maker.so").string(), bytes);
        std::string report;
        EXPECT_EQ(Check(&report), 1) << report;
        EXPECT_NE(report.find("PROBLEM driver " + (base / "drivers/Kestav/maker.so").string() + ": " + row.said + "\n"),
                  std::string::npos)
            << report;
    }
}

TEST_F(LinuxCheck, EachDriverAsTheModuleWillFindIt) {
    const std::string sim = Built("drivers/Kestav/sim.so");
    struct Case {
        std::vector<std::vector<std::string>> drivers;  // from, place, and a text replaced in it
        int problems;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {{}, 1, {"PROBLEM no instrument driver in "}},
        {{{sim, "drivers/Kestav/sim.so"}}, 0, {"sim.so: 64-bit, all 31 entry points, loads in the driver host\n"}},
        {{{sim, "drivers/maker.so"}}, 2, {"maker.so: Init never looks in drivers/; a driver named \"maker\" goes in drivers/Kestav/"}},
        {{{sim, "drivers/Kestav/sim.so"}, {Built(AddInBuild(3)), "drivers/Kestav/helper.so"}},
         0, {"helper.so: 64-bit library with no entry point of a driver"}},
        // A library it needs that is nowhere: named.
        {{{sim, "drivers/Kestav/sim.so", "libc.so.6", "libq.so.6"}},
         1, {"sim.so: 64-bit, all 31 entry points, but it does not load (error 126: sim.so needs libq.so.6, not found"}},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(base / "drivers", ignored);
        for (const auto& driver : c.drivers)
            Place(driver[0], driver[1], driver.size() > 2 ? driver[2] : "", driver.size() > 3 ? driver[3] : "");
        std::string report;
        EXPECT_EQ(Check(&report), c.problems) << report;
        for (const std::string& line : c.lines) EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
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
          "OK 64-bit setting IsolateDriver = 1 (default; not set in " + settings + ")",
          "OK 64-bit setting DriverTimeoutSeconds = 60 (default; not set in " + settings + ")"}},
        {"the host missing", false, "", 1,
         {"PROBLEM 64-bit add-in: " + (base / "KestavDriverHost64").string() +
          " is missing, and every driver runs there (IsolateDriver = 1): reinstall the package kestav-client"}},
        {"set in the file", true, "[ClientDriver]\nDriverTimeoutSeconds = 120\nIsolateDriver = 0\n", 0,
         {"OK 64-bit driver host: " + (base / "KestavDriverHost64").string() + ", for drivers of the other bitness",
          "OK 64-bit setting DriverTimeoutSeconds = 120 (settings file, " + settings + ")",
          "OK 64-bit setting IsolateDriver = 0 (settings file, " + settings + ")"}},
        {"passed over", true, "InstrumentThread = maybe\n", 1,
         {"PROBLEM 64-bit setting InstrumentThread: the settings file value \"maybe\" (line 1) is not a number, "
          "ignored: set it within its range, or remove it",
          "OK 64-bit setting InstrumentThread = 1 (default; the value set is ignored, above)"}},
        {"not read", true, "DriverTimeoutSeconds = 7\n" + std::string(70000, '#'), 1,
         {"PROBLEM settings file " + settings + " is not read: it is 70025 bytes, more than 65536; every setting is "
          "at its default until it is mended",
          "OK 64-bit setting DriverTimeoutSeconds = 60 (default; not set in " + settings + ")"}},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove(base / "KestavDriverHost64", ignored);
        if (c.host) fs::copy_file(Built("KestavDriverHost64"), base / "KestavDriverHost64");
        testing_support::WriteFile(settings, c.file);
        std::string report;
        EXPECT_EQ(Check(&report), c.problems) << c.what << "\n" << report;
        for (const std::string& line : c.lines)
            EXPECT_NE(report.find(line + "\n"), std::string::npos) << c.what << ": " << line << "\n" << report;
    }
    platform::SetEnvironment("KESTAV_SETTINGS_FILE", testing_support::kNoSettingsFile);
}

}  // namespace
