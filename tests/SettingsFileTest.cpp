// The settings file where there is no registry (Linux): what reads as a
// value, what is passed over, and the module taking its settings from it
// (a policy still wins, where one exists).
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>

#include "diag/Settings.h"

#include "platform/Environment.h"
#include "platform/SettingsFile.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

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

// DriverTimeoutSeconds (1 to 3600, 60 when not set) as a file sets it.
TEST_F(SettingsFileTest, WhatReadsAsAValue) {
    const std::string ignoredPrefix = "Setting DriverTimeoutSeconds: the settings file value ";
    struct Case {
        const char* what;
        std::string text;
        std::uint32_t value;  // 0: the default holds
        std::vector<std::string> ignored;
    };
    const Case cases[] = {
        {"a line", "DriverTimeoutSeconds = 90\n", 90, {}},
        {"no blanks, no last line end", "DriverTimeoutSeconds=91", 91, {}},
        {"in the section", "[ClientDriver]\nDriverTimeoutSeconds = 92\n", 92, {}},
        {"the section in any letter case, blanks inside", "[ clientdriver ]\r\nDriverTimeoutSeconds = 93\r\n", 93, {}},
        {"the name in any letter case", "drivertimeoutseconds\t=\t94\n", 94, {}},
        {"the last line wins", "DriverTimeoutSeconds = 1\nDriverTimeoutSeconds = 95\n", 95, {}},
        {"comments, alone and after a value",
         "# DriverTimeoutSeconds = 1\n; DriverTimeoutSeconds = 2\nDriverTimeoutSeconds = 96  # a minute and a half\n",
         96, {}},
        {"a comment after a section", "[ClientDriver] ; ours\nDriverTimeoutSeconds = 97 ;\n", 97, {}},
        {"the largest", "DriverTimeoutSeconds = 3600\n", 3600, {}},
        {"another section's", "[Other]\nDriverTimeoutSeconds = 5\n", 0, {}},
        {"after another section", "[ClientDriver]\n[Other]\nDriverTimeoutSeconds = 5\n", 0, {}},
        {"a longer name", "DriverTimeoutSecondsX = 5\n", 0, {}},
        {"a shorter name", "DriverTimeout = 5\n", 0, {}},
        {"no equals sign", "DriverTimeoutSeconds 5\n", 0, {}},
        {"empty", "", 0, {}},
        {"a word", "DriverTimeoutSeconds = ninety\n", 0, {ignoredPrefix + "\"ninety\" (line 1) is not a number, ignored"}},
        {"a sign", "\nDriverTimeoutSeconds = -5\n", 0, {ignoredPrefix + "\"-5\" (line 2) is not a number, ignored"}},
        {"a unit", "DriverTimeoutSeconds = 90s\n", 0, {ignoredPrefix + "\"90s\" (line 1) is not a number, ignored"}},
        {"nothing after the sign", "DriverTimeoutSeconds =\n", 0, {ignoredPrefix + "\"\" (line 1) is not a number, ignored"}},
        {"past the range", "DriverTimeoutSeconds = 3601\n", 0, {ignoredPrefix + "\"3601\" (line 1) is outside 1 to 3600, ignored"}},
        {"past 32 bits", "DriverTimeoutSeconds = 4294967296\n", 0,
         {ignoredPrefix + "\"4294967296\" (line 1) is outside 1 to 3600, ignored"}},
        {"a number after a bad line wins", "DriverTimeoutSeconds = x\nDriverTimeoutSeconds = 7\n", 7,
         {ignoredPrefix + "\"x\" (line 1) is not a number, ignored"}},
        // A bad line never undoes an earlier good one, and says so.
        {"a number too large after a number", "DriverTimeoutSeconds = 7\nDriverTimeoutSeconds = 99999999999\n", 7,
         {ignoredPrefix + "\"99999999999\" (line 2) is outside 1 to 3600, ignored"}},
        {"a word after a number", "DriverTimeoutSeconds = 7\nDriverTimeoutSeconds = x\n", 7,
         {ignoredPrefix + "\"x\" (line 2) is not a number, ignored"}},
    };
    for (const Case& c : cases) {
        testing_support::WriteFile(file, c.text);
        std::vector<std::string> ignored;
        const diag::SettingValue value = diag::ReadSetting(names::kDriverTimeoutSetting, platform::View::Own, &ignored);
        EXPECT_EQ(value.value, c.value == 0 ? 60u : c.value) << c.what;
        EXPECT_EQ(value.source, c.value == 0 ? diag::SettingSource::Default : diag::SettingSource::File) << c.what;
        EXPECT_EQ(ignored, c.ignored) << c.what;
        EXPECT_EQ(platform::SettingsFileProblem(), "") << c.what;
    }
}

// SettingsFileProblem() as a child process finds it within `seconds`, or
// "(no answer)".
std::string ProblemWithin(int seconds) {
    int answer[2];
    if (pipe(answer) != 0) return "(no pipe)";
    const pid_t child = fork();
    if (child == 0) {
        const std::string problem = platform::SettingsFileProblem();
        (void)!write(answer[1], problem.data(), problem.size());
        _exit(0);
    }
    close(answer[1]);
    pollfd ready{answer[0], POLLIN, 0};
    std::string problem = "(no answer)";
    if (poll(&ready, 1, seconds * 1000) == 1) {
        char bytes[512];
        const ssize_t got = read(answer[0], bytes, sizeof bytes);
        problem.assign(bytes, got > 0 ? std::size_t(got) : 0);
    }
    close(answer[0]);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    return problem;
}

// A file that is there but is not read: said so, with the reason, and every
// setting at its default; one of exactly the largest size is read.
TEST_F(SettingsFileTest, AFileThatIsNotReadIsNamed) {
    const std::string line = "DriverTimeoutSeconds = 7\n";
    const std::string largest = line + std::string(64 * 1024 - line.size(), '#');
    struct Case {
        const char* what;
        std::function<std::string()> make;  // returns the path
        std::string problem;
    };
    const Case cases[] = {
        {"exactly 64 KiB", [&] { testing_support::WriteFile(file, largest); return file; }, ""},
        {"one byte more", [&] { testing_support::WriteFile(file, largest + "#"); return file; },
         "it is 65537 bytes, more than 65536"},
        {"70 KB", [&] { testing_support::WriteFile(file, line + std::string(70000, '#')); return file; },
         "it is 70025 bytes, more than 65536"},
        {"a FIFO", [&] { std::remove(file.c_str()); mkfifo(file.c_str(), 0600); return file; },
         "it is a FIFO, not a plain file"},
        {"a device", [] { return std::string("/dev/zero"); }, "it is a device, not a plain file"},
        {"a folder", [&] { return temp.Path(); }, "it is a folder, not a plain file"},
        {"binary", [&] { testing_support::WriteFile(file, line + std::string("\x7f" "ELF\0\0", 6)); return file; },
         "it is not text (a byte 0x7F on line 2)"},
        {"absent", [&] { std::remove(file.c_str()); return file; }, ""},
    };
    for (const Case& c : cases) {
        platform::SetEnvironment("KESTAV_SETTINGS_FILE", c.make());
        // Read in a child: a read that waits (on a FIFO with no writer) is ended, and says so.
        EXPECT_EQ(ProblemWithin(10), c.problem) << c.what;
        const bool read = c.what == std::string("exactly 64 KiB");
        EXPECT_EQ(diag::ReadSetting(names::kDriverTimeoutSetting).value, read ? 7u : 60u) << c.what;
        std::remove(file.c_str());
    }
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
         {"Setting IsolateDriver: the settings file value \"yes\" (line 3) is not a number, ignored",
          "Setting DriverTimeoutSeconds: the settings file value \"0\" (line 2) is outside 1 to 3600, ignored",
          "Setting InstrumentThread: the settings file value \"2\" (line 1) is outside 0 to 1, ignored"},
         true},
        {"a policy wins", "InstrumentThread = 0\n", true, {"Setting InstrumentThread = 1 (policy)"}, true},
        {"a file not read", std::string(70000, '#'), false,
         {"Settings file " + file + " not read: it is 70000 bytes, more than 65536; its settings are at their defaults"},
         true},
    };
    for (const Case& c : cases) {
        testing_support::WriteFile(file, c.text);
        std::unique_ptr<AdminSetting> policy;
        if (c.policy) policy = std::make_unique<AdminSetting>("InstrumentThread", 1u, AdminSetting::Where::Policy);
        testing_support::WriteFile(temp.LogPath(), "");
        standin::Engine session;
        std::string error;
        ASSERT_TRUE(session.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error));
        ASSERT_EQ(session.Open(), 0);
        std::vector<std::string> lines;
        bool on = false;
        for (const std::string& line : testing_support::ReadLogLines(temp.LogPath())) {
            if (line.rfind("Setting", 0) == 0) lines.push_back(line);
            on |= line == "Instrument thread: on";
        }
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(on, c.threadOn) << c.what;
    }
}

}  // namespace
