// The settings file where there is no registry (Linux): what reads as a
// value, what is passed over, and the module taking its settings from it
// (a policy still wins, where one exists).
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "platform/Environment.h"
#include "platform/SettingsFile.h"
#include "tests/support/TestSupport.h"
#include "tools/host/EngineHost.h"

using testing_support::AdminSetting;

namespace {

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SetEnvironment("KESTAV_SETTINGS_FILE", file);
    }
    void TearDown() override { platform::SetEnvironment("KESTAV_SETTINGS_FILE", testing_support::kNoSettingsFile); }
    testing_support::ScopedTempFolder temp;
    const std::string file = temp.Path() + "/client.conf";
};

struct FileCase {
    const char* what;
    std::string text;
    platform::ValueKind kind;
    std::uint32_t value;
};

TEST_F(SettingsFileTest, WhatReadsAsAValue) {
    using K = platform::ValueKind;
    const FileCase cases[] = {
        {"a line", "DriverTimeoutSeconds = 90\n", K::Dword, 90},
        {"no blanks, no last line end", "DriverTimeoutSeconds=91", K::Dword, 91},
        {"in the section", "[ClientDriver]\nDriverTimeoutSeconds = 92\n", K::Dword, 92},
        {"the section in any letter case, blanks inside", "[ clientdriver ]\r\nDriverTimeoutSeconds = 93\r\n",
         K::Dword, 93},
        {"the name in any letter case", "drivertimeoutseconds\t=\t94\n", K::Dword, 94},
        {"the last line wins", "DriverTimeoutSeconds = 1\nDriverTimeoutSeconds = 95\n", K::Dword, 95},
        {"comments", "# DriverTimeoutSeconds = 1\n; DriverTimeoutSeconds = 2\nDriverTimeoutSeconds = 96\n",
         K::Dword, 96},
        {"the largest number", "DriverTimeoutSeconds = 4294967295\n", K::Dword, 4294967295u},
        {"another section's", "[Other]\nDriverTimeoutSeconds = 5\n", K::Absent, 0},
        {"after another section", "[ClientDriver]\n[Other]\nDriverTimeoutSeconds = 5\n", K::Absent, 0},
        {"a longer name", "DriverTimeoutSecondsX = 5\n", K::Absent, 0},
        {"a shorter name", "DriverTimeout = 5\n", K::Absent, 0},
        {"no equals sign", "DriverTimeoutSeconds 5\n", K::Absent, 0},
        {"empty", "", K::Absent, 0},
        {"a word", "DriverTimeoutSeconds = ninety\n", K::Other, 0},
        {"a sign", "DriverTimeoutSeconds = -5\n", K::Other, 0},
        {"a unit", "DriverTimeoutSeconds = 90s\n", K::Other, 0},
        {"nothing after the sign", "DriverTimeoutSeconds =\n", K::Other, 0},
        {"past 32 bits", "DriverTimeoutSeconds = 4294967296\n", K::Other, 0},
        {"a number after a bad line wins", "DriverTimeoutSeconds = x\nDriverTimeoutSeconds = 7\n", K::Dword, 7},
        {"a bad line after a number wins", "DriverTimeoutSeconds = 7\nDriverTimeoutSeconds = x\n", K::Other, 0},
        {"larger than any settings file", "DriverTimeoutSeconds = 8\n" + std::string(70000, '#'), K::Absent, 0},
    };
    for (const FileCase& c : cases) {
        testing_support::WriteFile(file, c.text);
        std::uint32_t value = 0;
        EXPECT_EQ(platform::ReadSettingsFile("DriverTimeoutSeconds", &value), c.kind) << c.what;
        if (c.kind == K::Dword) {
            EXPECT_EQ(value, c.value) << c.what;
        }
    }
    std::remove(file.c_str());
    std::uint32_t value = 0;
    EXPECT_EQ(platform::ReadSettingsFile("DriverTimeoutSeconds", &value), K::Absent) << "no file";
    platform::SetEnvironment("KESTAV_SETTINGS_FILE", temp.Path());
    EXPECT_EQ(platform::ReadSettingsFile("DriverTimeoutSeconds", &value), K::Absent) << "a folder";
}

TEST_F(SettingsFileTest, TheModuleTakesItsSettingsFromIt) {
    struct Case {
        const char* what;
        std::string text;
        bool policy;  // InstrumentThread = 1 as a policy as well
        std::vector<std::string> lines;
        bool threadOn;
    };
    const Case cases[] = {
        {"set", "[ClientDriver]\nInstrumentThread = 0\nDriverTimeoutSeconds = 90\n", false,
         {"Setting DriverTimeoutSeconds = 90 (settings file)", "Setting InstrumentThread = 0 (settings file)"},
         false},
        {"out of range and no number",
         "InstrumentThread = 2\nDriverTimeoutSeconds = 0\nIsolateDriver = yes\n", false,
         {"Setting IsolateDriver: the settings file value is not a number, ignored",
          "Setting DriverTimeoutSeconds: the settings file value 0 is outside 1 to 3600, ignored",
          "Setting InstrumentThread: the settings file value 2 is outside 0 to 1, ignored"},
         true},
        {"a policy wins", "InstrumentThread = 0\n", true, {"Setting InstrumentThread = 1 (policy)"}, true},
    };
    for (const Case& c : cases) {
        testing_support::WriteFile(file, c.text);
        std::unique_ptr<AdminSetting> policy;
        if (c.policy) policy = std::make_unique<AdminSetting>("InstrumentThread", 1u, AdminSetting::Where::Policy);
        testing_support::WriteFile(temp.LogPath(), "");
        host::EngineHost session;
        std::string error;
        ASSERT_TRUE(session.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error));
        ASSERT_EQ(session.Open(), 0);
        std::vector<std::string> lines;
        bool on = false;
        for (const std::string& line : testing_support::ReadLogLines(temp.LogPath())) {
            if (line.rfind("Setting ", 0) == 0) lines.push_back(line);
            on |= line == "Instrument thread: on";
        }
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(on, c.threadOn) << c.what;
    }
}

}  // namespace
