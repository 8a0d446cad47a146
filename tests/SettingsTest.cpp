// The administrator's settings through the real module: a policy wins over a
// preference, a preference over the default; a value of the wrong type or
// out of range is passed over with a log line, never taken as 0; only the
// module's own registry view counts for a preference (the policy key is one
// for both views, as Windows has it); the log says once per session where
// each value that is set came from.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <regex>

#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

using testing_support::AdminSetting;
using Where = testing_support::AdminSetting::Where;

namespace {

// The registry view this module does not read.
const platform::View kOtherView = sizeof(void*) == 4 ? platform::View::Bits64 : platform::View::Bits32;

class SettingsTest : public ::testing::Test {
protected:
    // Opens the driver (where the settings are read) and returns the log.
    std::vector<std::string> Open() {
        std::string error;
        EXPECT_TRUE(engine.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error))
            << error;
        EXPECT_EQ(engine.Open(), 0);
        return testing_support::ReadLogLines(temp.LogPath());
    }
    std::string Run(const std::string& command) {
        const auto sent = engine.Run("KstCmd1", command);
        return sent.empty() ? "(nothing sent)" : sent.back().bytes;
    }

    testing_support::ScopedTempFolder temp;
    standin::Engine engine;
};

struct Value {
    Where where;
    std::optional<std::uint32_t> dword;
    std::string text;  // used when there is no DWORD: a value of the wrong type
    platform::View view = platform::View::Own;
};

struct Case {
    const char* what;
    std::vector<Value> values;
    bool threadOn;
    std::vector<std::string> lines;  // setting lines in the log, in order
};

TEST_F(SettingsTest, PolicyOverPreferenceOverDefault) {
    const Case cases[] = {
        {"nothing set: the default", {}, true, {}},
        {"a preference", {{Where::Preference, 0u, ""}}, false,
         {"Setting InstrumentThread = 0 (preference)"}},
        {"a policy over a preference", {{Where::Policy, 1u, ""}, {Where::Preference, 0u, ""}}, true,
         {"Setting InstrumentThread = 1 (policy)"}},
        {"a policy alone", {{Where::Policy, 0u, ""}}, false, {"Setting InstrumentThread = 0 (policy)"}},
        {"a policy of the wrong type", {{Where::Policy, std::nullopt, "0"}, {Where::Preference, 0u, ""}},
         false,
         {"Setting InstrumentThread: the policy value is not a DWORD, ignored",
          "Setting InstrumentThread = 0 (preference)"}},
        {"a policy out of range", {{Where::Policy, 2u, ""}}, true,
         {"Setting InstrumentThread: the policy value 2 is outside 0 to 1, ignored"}},
        {"both out of range", {{Where::Policy, 7u, ""}, {Where::Preference, 0xFFFFFFFFu, ""}}, true,
         {"Setting InstrumentThread: the policy value 7 is outside 0 to 1, ignored",
          "Setting InstrumentThread: the preference value 4294967295 is outside 0 to 1, ignored"}},
        // Windows keeps one SOFTWARE\Policies for both views (Group Policy
        // writes it once); the preference key has a copy per view.
        {"a policy written through the other registry view", {{Where::Policy, 0u, "", kOtherView}},
         false, {"Setting InstrumentThread = 0 (policy)"}},
        {"a preference in the other registry view", {{Where::Preference, 0u, "", kOtherView}}, true, {}},
    };
    for (const Case& c : cases) {
        std::vector<std::unique_ptr<AdminSetting>> settings;
        for (const Value& v : c.values)
            settings.push_back(v.dword ? std::make_unique<AdminSetting>("InstrumentThread", *v.dword, v.where, v.view)
                                       : std::make_unique<AdminSetting>("InstrumentThread", v.text, v.where, v.view));
        testing_support::WriteFile(temp.LogPath(), "");
        standin::Engine session;
        std::string error;
        ASSERT_TRUE(session.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE, &error));
        ASSERT_EQ(session.Open(), 0);
        std::vector<std::string> lines;
        bool on = false, off = false;
        for (const std::string& line : testing_support::ReadLogLines(temp.LogPath())) {
            if (line.rfind("Setting ", 0) == 0) lines.push_back(line);
            on |= line == "Instrument thread: on";
            off |= line == "Instrument thread: off";
        }
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(on, c.threadOn) << c.what;
        EXPECT_EQ(off, !c.threadOn) << c.what;
        // Once per session: a command does not log them again.
        session.Run("KstCmd1", "Hello");
        const auto after = testing_support::ReadLogLines(temp.LogPath());
        EXPECT_EQ(std::count_if(after.begin(), after.end(),
                                [](const std::string& l) { return l.rfind("Setting ", 0) == 0; }),
                  std::ptrdiff_t(c.lines.size()))
            << c.what;
    }
}

// A time limit of 0 from a policy is never taken as 0: the preference holds.
TEST_F(SettingsTest, ATimeLimitOfZeroIsPassedOver) {
    if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
    AdminSetting isolate("IsolateDriver", 1, Where::Policy);
    AdminSetting notIsolated("IsolateDriver", 0);  // the policy wins
    AdminSetting zero("DriverTimeoutSeconds", 0, Where::Policy);
    AdminSetting one("DriverTimeoutSeconds", 1);
    const auto log = Open();
    EXPECT_NE(std::find(log.begin(), log.end(),
                        "Setting DriverTimeoutSeconds: the policy value 0 is outside 1 to 3600, ignored"),
              log.end());
    ASSERT_EQ(Run("Init|recording|"), "OK");
    EXPECT_FALSE(testing_support::LoggedHostPids(temp.LogPath()).empty()) << "isolated by the policy";
    ASSERT_EQ(Run("SetOption|@fault|sleep:4000|"), "OK|true");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not responding");
    const auto after = testing_support::ReadLogLines(temp.LogPath());
    EXPECT_TRUE(std::any_of(after.begin(), after.end(), [](const std::string& line) {
        return std::regex_match(line, std::regex(R"(Driver host \(pid \d+\) did not answer within 1 s: ended)"));
    }));
}

}  // namespace
