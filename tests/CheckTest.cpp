// kestav-check tells the truth about the drivers: each is loaded in
// the driver host as Init loads it, a driver where Init never looks is a
// problem, none at all is a problem, and a 32-bit driver exported as
// "Connect@0" is named with its fix. Against a Remote Desktop
// plug-in registered in a folder of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "driver/Machine.h"
#include "platform/HostProcess.h"
#include "platform/Names.h"
#include "platform/Registry.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestSupport.h"
#include "tools/check/Check.h"

namespace fs = std::filesystem;

namespace {

class CheckTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!testing_support::OnWindows()) GTEST_SKIP() << "a Windows client check";
        std::string registered;
        if (platform::ReadMachineString(view, names::kDvcAddInKey, names::kDvcAddInValue, &registered))
            GTEST_SKIP() << "a plug-in is registered on this machine: " << registered;
        folder = fs::u8path(temp.Path()) / "plug-in";
        fs::create_directories(folder / "drivers");
        const fs::path bin = fs::u8path(testing_support::ExecutableFolder());
        for (const std::string& file : {std::string(names::kDvcModuleFile), host})
            fs::copy_file(bin / file, folder / file);
        ASSERT_TRUE(platform::WriteMachineString(view, names::kDvcAddInKey, names::kDvcAddInValue,
                                                 (folder / names::kDvcModuleFile).u8string()));
        registeredHere = true;
    }
    void TearDown() override {
        if (registeredHere) platform::DeleteMachineKey(view, names::kDvcAddInKey);
    }
    // Copies a test driver into the plug-in's folder, at `place` (e.g. "drivers/Kestav/x.dll").
    void Place(const std::string& folderName, const std::string& name, const std::string& place) {
        const fs::path target = folder / fs::u8path(place);
        fs::create_directories(target.parent_path());
        fs::copy_file(fs::u8path(testing_support::DriverLibraryPath(folderName, name)), target);
    }
    int Check(std::string* report) {
        std::ostringstream out;
        const int problems = check::CheckClientPc(out);
        *report = out.str();
        return problems;
    }

    const int bits = int(sizeof(void*) * 8);
    const platform::View view = platform::ViewOf(bits);
    const std::string host = "KestavDriverHost" + std::to_string(bits) + ".exe";
    testing_support::ScopedTempFolder temp;
    fs::path folder;
    bool registeredHere = false;
};

TEST_F(CheckTest, DriversWhereInitLooksAndElsewhere) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> drivers;  // test driver -> place
        int problems;
        std::vector<std::string> lines;  // each must be in the report
    };
    const Case cases[] = {
        {{}, 1, {"PROBLEM no instrument driver in ", "drivers\\Kestav: Init finds none"}},
        {{{"sim", "drivers/Kestav/sim.dll"}}, 0, {"sim.dll: " + std::to_string(bits) + "-bit, plain names, all 31 entry points"}},
        {{{"sim", "drivers/maker.dll"}},
         2,
         {"maker.dll: Init never looks in drivers\\; a driver named \"maker\" goes in drivers\\Kestav\\",
          "PROBLEM no instrument driver in "}},
        {{{"sim", "drivers/Kestav/sim.dll"}, {"sim", "drivers/Kestav/Orvo2.dll"}},
         1,
         {"Orvo2.dll: Init never looks in drivers\\Kestav\\; a driver named \"Orvo2\" goes in drivers\\Orvo2\\"}},
        {{{"sim", "drivers/Orvo2/Orvo2.dll"}}, 0, {"Orvo2.dll: " + std::to_string(bits) + "-bit"}},
        // The folder in other letter case: where Windows finds it all the same.
        {{{"sim", "drivers/kestav/sim.dll"}}, 0, {"sim.dll: " + std::to_string(bits) + "-bit, plain names"}},
        // Loaded as Init loads it: without the library it imports, it does not load.
        {{{"probe", "drivers/Kestav/probe.dll"}},
         1,
         {"probe.dll: " + std::to_string(bits) + "-bit, plain names, all 31 entry points, but it does not load "
          "(error 126: probe.dll needs probe-dep.dll, not found (a library the driver needs goes beside it))"}},
        {{{"probe", "drivers/Kestav/probe.dll"}, {"probe-dep", "drivers/Kestav/probe-dep.dll"}},
         0,
         {"probe.dll: " + std::to_string(bits) + "-bit, plain names, all 31 entry points, loads in the driver host",
          "probe-dep.dll: " + std::to_string(bits) + "-bit library with no entry point of a driver"}},
    };
    for (const Case& c : cases) {
        std::error_code ignored;
        fs::remove_all(folder / "drivers", ignored);
        for (const auto& [name, place] : c.drivers) Place("Kestav", name, place);
        std::string report;
        const int problems = Check(&report);
        EXPECT_EQ(problems, c.problems) << report;
        for (const std::string& line : c.lines) EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
}

// Each problem says what to do about it.
TEST_F(CheckTest, EveryProblemNamesItsRemedy) {
    const std::pair<std::function<void()>, std::string> cases[] = {  // what breaks, and its line in the report
        {[&] { testing_support::WriteFile((folder / "drivers/Kestav/notes.dll").u8string(), "notes"); },
         "notes.dll: not a Windows library for x86 or x64: only the maker's Windows driver (a DLL for x86 or x64) "
         "goes here\n"},
        {[&] {
             testing_support::WriteFile((folder / "drivers/Kestav/arm.dll").u8string(),
                                        testing_support::MakePeImage(0xAA64, {}));
         },
         "arm.dll: the driver is for arm64; this client is " + std::string(driver::MachineName(driver::OwnMachine())) +
             ", and no driver host for arm64 ships with it: the maker's build for x86 or x64 goes here\n"},
        {[&] { fs::remove(folder / names::kDvcModuleFile); }, " is missing or not a plug-in: repair the install\n"},
        {[&] { fs::remove(folder / host); },
         " is missing, and every driver runs there (IsolateDriver = 1): repair the install\n"}};
    fs::create_directories(folder / "drivers" / "Kestav");
    for (const auto& [breakIt, line] : cases) {
        breakIt();
        std::string report;
        EXPECT_GT(Check(&report), 0) << report;
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    }
}

// Registered for the current user only (HKCU), as for a per-user client:
// found, checked alike, and not "no plug-in".
TEST_F(CheckTest, APerUserRegistrationIsFound) {
    std::string other;
    if (platform::ReadUserString(names::kDvcAddInKey, names::kDvcAddInValue, &other))
        GTEST_SKIP() << "a per-user plug-in is registered here: " << other;
    platform::DeleteMachineKey(view, names::kDvcAddInKey);
    registeredHere = false;
    Place("Kestav", "sim", "drivers/Kestav/sim.dll");
    ASSERT_TRUE(platform::WriteUserString(names::kDvcAddInKey, names::kDvcAddInValue,
                                          (folder / names::kDvcModuleFile).u8string()));
    std::string report;
    const int problems = Check(&report);
    platform::DeleteUserKey(names::kDvcAddInKey);
    EXPECT_EQ(problems, 0) << report;
    const std::string own = std::to_string(bits) + "-bit";
    for (const std::string& line : std::vector<std::string>{
             "OK per-user Remote Desktop registration: HKCU\\...\\AddIns\\KestavInstrument names ",
             "KestavClientDriverDVC.dll is " + own + ", for " + own + " Remote Desktop clients",
             host + ", where every driver runs", "sim.dll: " + own + ", plain names, all 31 entry points"})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    // Nothing registered at all: a problem.
    EXPECT_GT(Check(&report), 0);
    EXPECT_NE(report.find("and no Remote Desktop plug-in"), std::string::npos) << report;
}

TEST_F(CheckTest, AStdcallDriverExportedWithItsArgumentSizeIsNamedWithItsFix) {
    Place("AtSize", "recording-atsize", "drivers/Kestav/maker.dll");
    std::string report;
    if (bits == 64) {
        // One convention on 64-bit: the same build binds.
        EXPECT_EQ(Check(&report), 0) << report;
        return;
    }
    EXPECT_EQ(Check(&report), 1) << report;
    EXPECT_NE(report.find("maker.dll: 32-bit, stdcall, names such as \"Connect@0\" (31 of 31), which the module "
                          "does not look for: link the driver with --kill-at (MinGW) or a .def file"),
              std::string::npos)
        << report;
}

// A Remote Desktop install on 64-bit Windows: the plug-ins of both bitnesses
// (the 32-bit one as KestavClientDriverDVC32.dll) and both driver hosts in
// one folder, the maker's driver in its one drivers folder: no problem, and
// the drivers looked at once. With the plug-ins in folders of their own,
// each folder needs its driver, and the one without is named.
TEST_F(CheckTest, ARemoteDesktopInstallHasOneDriversFolder) {
    const int otherBits = bits == 64 ? 32 : 64;
    const platform::View otherView = platform::ViewOf(otherBits);
    std::string registered;
    if (platform::ReadMachineString(otherView, names::kDvcAddInKey, names::kDvcAddInValue, &registered))
        GTEST_SKIP() << "a plug-in is registered on this machine: " << registered;
    const std::string otherPlugin = bits == 64 ? "KestavClientDriverDVC32.dll" : "KestavClientDriverDVC64.dll";
    const std::uint16_t otherMachine = otherBits == 64 ? 0x8664 : 0x014C;
    // The other bitness's plug-in and driver host, as the check reads them.
    const auto placeOther = [&](const fs::path& where) {
        fs::create_directories(where);
        testing_support::WriteFile((where / otherPlugin).u8string(),
                                   testing_support::MakePeImage(otherMachine, {"VirtualChannelGetInstance"}));
        testing_support::WriteFile((where / ("KestavDriverHost" + std::to_string(otherBits) + ".exe")).u8string(),
                                   testing_support::MakePeImage(otherMachine, {}));
    };
    struct Case {
        const char* what;
        bool oneFolder;
        int problems;
        int driverLines;
    };
    for (const Case& c : {Case{"one folder", true, 0, 1}, Case{"a folder each", false, 1, 1}}) {
        SCOPED_TRACE(c.what);
        const fs::path other = c.oneFolder ? folder : fs::u8path(temp.Path()) / "other plug-in";
        placeOther(other);
        fs::create_directories(other / "drivers");
        ASSERT_TRUE(platform::WriteMachineString(otherView, names::kDvcAddInKey, names::kDvcAddInValue,
                                                 (other / otherPlugin).u8string()));
        std::error_code ignored;
        fs::remove_all(folder / "drivers", ignored);
        Place("Kestav", "sim", "drivers/Kestav/maker.dll");
        std::string report;
        const int problems = Check(&report);
        platform::DeleteMachineKey(otherView, names::kDvcAddInKey);
        EXPECT_EQ(problems, c.problems) << report;
        std::istringstream lines(report);
        int driverLines = 0;
        for (std::string line; std::getline(lines, line);) driverLines += line.rfind("OK driver ", 0) == 0 ? 1 : 0;
        EXPECT_EQ(driverLines, c.driverLines) << report;
        EXPECT_NE(report.find("OK " + std::to_string(otherBits) + "-bit Remote Desktop plug-in: " +
                              (other / otherPlugin).u8string() + " is " + std::to_string(otherBits) + "-bit"),
                  std::string::npos)
            << report;
        if (!c.oneFolder) {
            EXPECT_NE(report.find("PROBLEM no instrument driver in " + (other / "drivers" / "Kestav").u8string()),
                      std::string::npos)
                << report;
        }
    }
}

// The libraries a driver needs, named when the loader will not find them:
// beside it (in any letter case) or on the system; those beside it followed
// in turn, each named once.
TEST(MissingLibraries, NamesWhatTheLoaderWillNotFind) {
    struct Case {
        std::vector<std::pair<std::string, std::vector<std::string>>> files;  // name -> its imports
        std::string missing;
    };
    // A library every Windows has, where there is one to find.
    const std::vector<std::string> system =
        testing_support::OnWindows() ? std::vector<std::string>{"KERNEL32.dll", "api-ms-win-crt-runtime-l1-1-0.dll"}
                                       : std::vector<std::string>{};
    auto with = [&](std::vector<std::string> imports) {
        imports.insert(imports.end(), system.begin(), system.end());
        return imports;
    };
    const Case cases[] = {
        {{{"maker.dll", with({})}}, ""},
        {{{"maker.dll", with({"libgcc_s_dw2-1.dll"})}}, "maker.dll needs libgcc_s_dw2-1.dll, not found"},
        {{{"maker.dll", with({"maker-io.dll"})}, {"MAKER-IO.DLL", with({})}}, ""},
        {{{"maker.dll", with({"libstdc++-6.dll", "maker-io.dll"})},
          {"libstdc++-6.dll", with({"libgcc_s_dw2-1.dll", "libwinpthread-1.dll"})},
          {"maker-io.dll", with({"libgcc_s_dw2-1.dll"})}},
         "libstdc++-6.dll needs libgcc_s_dw2-1.dll, not found; libstdc++-6.dll needs libwinpthread-1.dll, not found"},
        // Two that need each other: each read once.
        {{{"maker.dll", with({"a.dll"})}, {"a.dll", with({"b.dll"})}, {"b.dll", with({"a.dll", "c.dll"})}},
         "b.dll needs c.dll, not found"},
    };
    for (const Case& c : cases) {
        testing_support::ScopedTempFolder temp;
        const fs::path folder = fs::u8path(temp.Path());
        for (const auto& [name, imports] : c.files) {
            std::ofstream file(folder / name, std::ios::binary);
            file << testing_support::MakePeImage(sizeof(void*) == 8 ? 0x8664 : 0x014C, {}, imports);
        }
        EXPECT_EQ(check::MissingLibraries((folder / "maker.dll").u8string()), c.missing) << c.files.size();
    }
}

TEST(ParseNumber, DigitsAloneWithinAnInt) {
    const std::pair<const char*, int> good[] = {{"0", 0}, {"30", 30}, {"2147483647", 2147483647}};
    for (const auto& [text, wanted] : good) {
        int value = -1;
        EXPECT_TRUE(check::ParseNumber(text, &value)) << text;
        EXPECT_EQ(value, wanted) << text;
    }
    for (const char* text : {"", "-1", "+3", " 3", "3 ", "12abc", "0x10", "2147483648", "99999999999"}) {
        int value = 7;
        EXPECT_FALSE(check::ParseNumber(text, &value)) << text;
        EXPECT_EQ(value, 7) << text;
    }
}

}  // namespace
