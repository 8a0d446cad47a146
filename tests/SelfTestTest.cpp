// kestav-check --self-test: the verdict for each entry point of a driver, with
// the driver in the driver host, for good drivers and for one broken in each
// way a maker's driver can be.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "driver/LibraryBitness.h"
#include "driver/Machine.h"
#include "platform/HostProcess.h"
#include "tests/support/PeImage.h"
#include "tests/support/TestSupport.h"
#include "tools/check/SelfTest.h"

namespace {

struct Report {
    int exit = -1;
    std::string text;
    // The verdict in the row of one entry point; empty when there is no row.
    std::string Verdict(const std::string& entry) const {
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line))
            if (line.compare(0, entry.size() + 1, entry + " ") == 0) {
                const auto ok = line.rfind("  ok");
                const auto problem = line.find("PROBLEM");
                if (problem != std::string::npos) return line.substr(problem);
                if (ok != std::string::npos && ok + 4 == line.size()) return "ok";
                const auto notCalled = line.find("not called");
                return notCalled != std::string::npos ? line.substr(notCalled) : line;
            }
        return std::string();
    }
    int Count(const std::string& verdict) const {
        int count = 0;
        for (const char* entry : kEntries) count += Verdict(entry).rfind(verdict, 0) == 0 ? 1 : 0;
        return count;
    }
    static const char* const kEntries[31];
};

const char* const Report::kEntries[31] = {
    "Connect", "Disconnect", "IsConnected", "SetLanguage", "GetAngles", "GetWavelengths",
    "GetAngleValue", "GetWavelengthValue", "Measure", "GetSpectralData", "IsDataReady",
    "GetSerialNum", "GetCalStatus", "Calibrate", "GetCalSteps", "GetCalMode", "CalibrateStep",
    "GetCalProgress", "AbortCalibration", "ClearSamples", "GetSampleCount", "SetCurrentSample",
    "GetSampleData", "Configure", "GetAvailableSettings", "GetSettingOptions", "GetOption",
    "SetOption", "GetLastErrorCode", "GetLastErrorString", "Execute"};

class SelfTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    }
    Report Run(const std::string& folder, const std::string& name, std::uint32_t timeout = 30) {
        return RunPath(testing_support::DriverFilePath(folder, name), timeout);
    }
    Report RunPath(const std::string& path, std::uint32_t timeout = 30,
                   const std::string& hostFolder = testing_support::ExecutableFolder()) {
        check::SelfTestOptions options;
        options.hostFolder = hostFolder;
        options.timeoutSeconds = timeout;
        std::ostringstream out;
        Report report;
        report.exit = check::RunSelfTest(path, options, out);
        report.text = out.str();
        return report;
    }

    testing_support::ScopedTempFolder temp;  // the driver host's log lines go here
};

TEST_F(SelfTest, TheRecordingDriverPassesInEachBuild) {
    for (const char* driver : {"recording", "recording-stdcall", "recording-decorated", "sim"}) {
        const Report report = Run("Kestav", driver);
        EXPECT_EQ(report.exit, 0) << report.text;
        EXPECT_EQ(report.Count("ok"), 31) << report.text;
        EXPECT_NE(report.text.find("31 entry points: all ok"), std::string::npos) << report.text;
    }
}

// A driver in a folder whose name the 8-bit code page cannot spell (the path
// as UTF-8, as the program's arguments give it).
TEST_F(SelfTest, ADriverInAFolderNamedInAnyLanguage) {
    const std::filesystem::path folder =
        std::filesystem::u8path(temp.Path() + "/\xCE\xA9\xCE\xBC\xCE\xAD\xCE\xB3\xCE\xB1 \xC5\x81ukasz");
    std::filesystem::create_directories(folder);
    const std::filesystem::path file = std::filesystem::u8path(testing_support::DriverFilePath("Kestav", "recording"));
    std::filesystem::copy_file(file, folder / file.filename());
    const Report report = RunPath((folder / file.filename()).u8string());
    EXPECT_EQ(report.exit, 0) << report.text;
    EXPECT_EQ(report.Count("ok"), 31) << report.text;
}

TEST_F(SelfTest, ACrashIsReportedAndTheRestStillRun) {
    const Report report = Run("SelfTest", "crash-in-measure");
    EXPECT_EQ(report.exit, 1);
    EXPECT_TRUE(std::regex_search(report.Verdict("Measure"),
                                  std::regex("^PROBLEM crash: .*exit code " +
                                             testing_support::CrashCodePattern() + "\\)$")))
        << report.text;
    EXPECT_EQ(report.Count("ok"), 30) << "a fresh driver host for the calls after it\n" << report.text;
}

TEST_F(SelfTest, AHangIsReportedAfterTheTimeLimit) {
    const Report report = Run("SelfTest", "hang-in-measure", 2);
    EXPECT_EQ(report.exit, 1);
    EXPECT_EQ(report.Verdict("Measure"), "PROBLEM hang: no answer within 2 s (the driver host was ended)")
        << report.text;
    EXPECT_EQ(report.Count("ok"), 30) << report.text;
}

TEST_F(SelfTest, AMissingExportIsNamedAndNothingIsCalled) {
    const Report report = Run("Kestav", "broken");
    EXPECT_EQ(report.exit, 1);
    EXPECT_EQ(report.Verdict("Execute"), "PROBLEM missing export") << report.text;
    EXPECT_EQ(report.Count("not called"), 30) << report.text;
}

TEST_F(SelfTest, ATextLongerThanAResponseCanCarry) {
    const Report report = Run("SelfTest", "long-serial");
    EXPECT_EQ(report.exit, 1);
    EXPECT_EQ(report.Verdict("GetSerialNum"),
              "PROBLEM text too long: its response would be 6003 bytes, at most 4999 travel")
        << report.text;
    EXPECT_EQ(report.Count("ok"), 30) << report.text;
}

TEST_F(SelfTest, AFileThatIsNoLibraryOrOfAnotherMachine) {
    const std::string own = driver::MachineName(driver::OwnMachine());
    // Another machine's: arm64, or on an arm64 client x86-64.
    const bool onArm64 = driver::OwnMachine() == driver::Machine::Arm64;
    const std::string other = onArm64 ? "x86-64" : "arm64";
    const std::string header = onArm64 ? testing_support::LibraryHeader(0x8664, 62, 2)
                                       : testing_support::LibraryHeader(0xAA64, 183, 2);
    const std::pair<std::string, std::string> rows[] = {
        {"not a library", testing_support::OnWindows()
                              ? "PROBLEM: not a Windows library for x86 or x64"
                              : "PROBLEM: not a shared library for " + own + " (a Linux driver is one)"},
        {header, "PROBLEM: the driver is for " + other + "; this client is " + own + ", and no driver host for " +
                     other + " ships with it\n"}};
    for (const auto& [bytes, said] : rows) {
        testing_support::WriteFile(temp.Path() + "/notes.dll", bytes);
        std::ostringstream out;
        check::SelfTestOptions options;
        options.hostFolder = testing_support::ExecutableFolder();
        EXPECT_EQ(check::RunSelfTest(temp.Path() + "/notes.dll", options, out), 1);
        EXPECT_NE(out.str().find(said), std::string::npos) << out.str();
    }
}

// What stops a driver before its first call is named with what to do.
TEST_F(SelfTest, WhatKeepsADriverFromLoadingIsNamedWithItsFix) {
    if (!testing_support::OnWindows()) GTEST_SKIP() << "the probe driver is a Windows one";
    // Its own library missing: named.
    const std::filesystem::path alone = std::filesystem::u8path(temp.Path()) / "alone";
    std::filesystem::create_directories(alone);
    std::filesystem::copy_file(std::filesystem::u8path(testing_support::DriverLibraryPath("Kestav", "probe")),
                               alone / "probe.dll");
    Report report = RunPath((alone / "probe.dll").u8string());
    EXPECT_EQ(report.exit, 1);
    EXPECT_NE(report.text.find("PROBLEM: the driver does not load in the driver host (error 126: probe.dll needs "
                               "probe-dep.dll, not found (a library the driver needs goes beside it))"),
              std::string::npos)
        << report.text;

    // No driver host of its bitness beside the program (a build of the other bitness).
    const std::string recording = testing_support::DriverLibraryPath("Kestav", "recording");
    int bits = driver::LibraryBitness(testing_support::ReadFile(recording));  // the mixed build's are 32-bit
    report = RunPath(recording, 30, temp.Path());
    EXPECT_EQ(report.exit, 1);
    EXPECT_NE(report.text.find("PROBLEM: no " + std::to_string(bits) + "-bit driver host here (KestavDriverHost" +
                               std::to_string(bits) + ".exe beside this program)"),
              std::string::npos)
        << report.text;
    EXPECT_EQ(report.text.find("error 2"), std::string::npos) << report.text;

    // Exported as "Connect@0" (32-bit stdcall without --kill-at): the fix in words.
    const std::string atSize = testing_support::DriverLibraryPath("AtSize", "recording-atsize");
    bits = driver::LibraryBitness(testing_support::ReadFile(atSize));
    report = RunPath(atSize);
    if (bits == 64) {
        EXPECT_EQ(report.exit, 0) << "one convention on 64-bit\n" << report.text;
        return;
    }
    EXPECT_EQ(report.exit, 1);
    EXPECT_EQ(report.Count("PROBLEM missing export"), 31) << report.text;
    EXPECT_NE(report.text.find("They are exported with their argument size, as \"Connect@0\" (31 of 31), which the "
                               "module does not look for: link the driver with --kill-at (MinGW) or a .def file"),
              std::string::npos)
        << report.text;
}

}  // namespace
