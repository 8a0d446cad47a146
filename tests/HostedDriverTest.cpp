// Instrument drivers in the driver host, where they run with no setting at
// all, driven through the real module and the stand-in engine: a crash or a
// hang in the driver costs one command, a session's later Inits use its host,
// and no host process outlives the session that started it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <iterator>
#include <regex>
#include <set>
#include <thread>

#include "driver/Machine.h"
#include "platform/Environment.h"
#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

using testing_support::AdminSetting;
using testing_support::ReadLines;
using testing_support::ScopedTempFolder;

namespace {

class HostedDriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host on this platform";
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE,
                                      &error))
            << error;
        ASSERT_EQ(engine.Open(), 0);
    }
    std::string Run(const std::string& command) {
        const auto sent = engine.Run("KstCmd1", command);
        return sent.empty() ? "(nothing sent)" : sent.back().bytes;
    }
    std::vector<std::string> Log() {
        return testing_support::ReadLogLines(temp.LogPath());
    }
    std::vector<std::uint32_t> HostPids() { return testing_support::LoggedHostPids(temp.LogPath()); }
    bool LoggedMatching(const std::string& pattern) {
        const std::regex wanted(pattern);
        const auto log = Log();
        return std::any_of(log.begin(), log.end(),
                           [&](const std::string& line) { return std::regex_match(line, wanted); });
    }
    void ExpectNoHostLeft() {
        for (std::uint32_t pid : HostPids())
            EXPECT_FALSE(testing_support::ProcessIsRunning(pid)) << "driver host " << pid;
    }

    ScopedTempFolder temp;
    standin::Engine engine;
};

TEST_F(HostedDriverTest, ASameBitnessDriverAnswersAsInProcess) {
    EXPECT_EQ(Run("Init|sim|"), "OK");
    ASSERT_EQ(HostPids().size(), 1u);
    const std::uint32_t pid = HostPids()[0];
    EXPECT_TRUE(testing_support::ProcessIsRunning(pid));
    EXPECT_EQ(Run("Connect"), "OK|true");
    EXPECT_EQ(Run("GetWavelengthValue|30|"), "OK|700");
    EXPECT_EQ(Run("GetAngleValue|1|"), "OK|15");
    EXPECT_EQ(Run("GetOption|Filter|"), "OK|M0&vert;No filter");
    // A missing library or entry point keeps its code when the host says so,
    // and the host stays for the next driver.
    EXPECT_EQ(Run("Init|nosuch|"), "ERROR|Error loading driver (\"nosuch\") on client [Error: 126]");
    EXPECT_EQ(Run("Init|broken|"), "ERROR|Error loading driver (\"broken\") on client [Error: 127]");
    EXPECT_EQ(Run("Connect"), "ERROR|Instrument driver not loaded");
    EXPECT_TRUE(testing_support::ProcessIsRunning(pid));
    EXPECT_EQ(Run("Init|sim|"), "OK");
    EXPECT_EQ(Run("GetWavelengthValue|30|"), "OK|700");
    EXPECT_EQ(HostPids(), std::vector<std::uint32_t>{pid});
    engine.UnloadModule();
    ExpectNoHostLeft();
    EXPECT_TRUE(LoggedMatching(R"(Driver host ended \(pid \d+, exit code )" +
                               (testing_support::OnWindows() ? std::string("0x00000000") : "0") + "\\)"))
        << [&] { std::string all; for (const auto& l : Log()) all += l + "\n"; return all; }();
}

TEST_F(HostedDriverTest, ACrashInTheDriverCostsOneCommand) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("Measure"), "OK|true");
    ASSERT_EQ(Run("SetOption|@fault|crash|"), "OK|true");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver stopped");
    EXPECT_TRUE(LoggedMatching(R"(Driver host \(pid \d+\) stopped during a call, exit code )" +
                               testing_support::CrashCodePattern()));
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded");
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    EXPECT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(HostPids().size(), 2u) << "a fresh host";
    EXPECT_EQ(Run("Measure"), "OK|true");
    engine.UnloadModule();
    ExpectNoHostLeft();
}

// A crash in any of the 31 entry points, with no setting at all: that
// command answers the error, the next one finds no driver, and the next Init
// starts a fresh host.
TEST_F(HostedDriverTest, ACrashInAnyEntryPointCostsOneCommand) {
    const std::pair<const char*, const char*> calls[] = {
        {"AbortCalibration", "AbortCalibration"},   {"Calibrate", "Calibrate"},
        {"CalibrateStep|White|", "CalibrateStep"}, {"ClearSamples", "ClearSamples"},
        {"Configure", "Configure"},                 {"Connect", "Connect"},
        {"Disconnect", "Disconnect"},               {"Execute|STATUS|", "Execute"},
        {"GetAngleValue|2|", "GetAngleValue"},      {"GetAngles", "GetAngles"},
        {"GetAvailableSettings", "GetAvailableSettings"}, {"GetCalProgress", "GetCalProgress"},
        {"GetCalStatus", "GetCalStatus"},           {"GetCalSteps", "GetCalSteps"},
        {"GetCalMode|x|", "GetCalMode"},            {"GetLastErrorCode", "GetLastErrorCode"},
        {"GetLastErrorString", "GetLastErrorString"}, {"GetOption|A|", "GetOption"},
        {"GetSampleCount", "GetSampleCount"},       {"GetSampleData|1|2|", "GetSampleData"},
        {"GetSerialNumber", "GetSerialNum"},        {"GetSettingOptions|Filter|", "GetSettingOptions"},
        {"GetSpectralData|1|2|", "GetSpectralData"}, {"GetSpectralDataAll|3|", "GetSpectralData"},
        {"GetWavelengths", "GetWavelengths"},       {"GetWavelengthValue|3|", "GetWavelengthValue"},
        {"IsConnected", "IsConnected"},             {"IsDataReady", "IsDataReady"},
        {"Measure", "Measure"},                     {"SetCurrentSample|4|", "SetCurrentSample"},
        {"SetLanguage|1031|", "SetLanguage"},       {"SetOption|a|c|", "SetOption"},
    };
    std::set<std::string> entries;
    for (const auto& [command, entry] : calls) {
        entries.insert(entry);
        ASSERT_EQ(Run("Init|recording|"), "OK") << command;
        ASSERT_EQ(Run(std::string("SetOption|@fault|crash-in:") + entry + "|"), "OK|true");
        EXPECT_EQ(Run(command), "ERROR|Instrument driver stopped") << command;
        EXPECT_EQ(Run("IsConnected"), "ERROR|Instrument driver not loaded") << command;
        EXPECT_EQ(Run("Hello"), "OK|Hello");
    }
    EXPECT_EQ(entries.size(), 31u);
    EXPECT_EQ(HostPids().size(), std::size(calls));
    engine.UnloadModule();
    ExpectNoHostLeft();
}

TEST_F(HostedDriverTest, AHungDriverIsEndedAfterTheTimeLimit) {
    AdminSetting timeout("DriverTimeoutSeconds", 1);
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@fault|sleep:4000|"), "OK|true");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not responding");
    EXPECT_TRUE(LoggedMatching(R"(Driver host \(pid \d+\) did not answer within 1 s: ended)"));
    ExpectNoHostLeft();
    EXPECT_EQ(Run("IsConnected"), "ERROR|Instrument driver not loaded");
    EXPECT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(Run("IsConnected"), "OK|true");
    engine.UnloadModule();
    ExpectNoHostLeft();
}

// The log names a 32-bit driver's calling convention and name form once per
// Init, wherever it runs: here from the driver host's handshake and answers.
TEST_F(HostedDriverTest, TheEntryFormOfAnIsolated32BitDriverIsLogged) {
    struct Case {
        const char* driver;
        const char* form;
    };
    for (const Case& c : {Case{"recording-decorated", "stdcall, decorated names"},
                          Case{"recording-stdcall", "stdcall, plain names"},
                          Case{"recording", "cdecl, plain names"}}) {
        ASSERT_EQ(Run(std::string("Init|") + c.driver + "|"), "OK");
        ASSERT_EQ(Run("SetLanguage|1033|"), "OK|true");  // a call with arguments tells
        ASSERT_EQ(Run("SetLanguage|1033|"), "OK|true");
        const auto log = Log();
        // x86's calling conventions: a 32-bit ARM client's driver has one form only.
        const bool host32 = driver::OwnMachine() != driver::Machine::Arm &&
                            LoggedMatching(R"(Driver host (started|kept) \(pid \d+, 32-bit\))");
        const std::string line = std::string("Driver entry points: ") + c.form;
        if (host32) {
            EXPECT_EQ(std::count(log.begin(), log.end(), line), 1) << c.driver;
        } else {
            EXPECT_EQ(std::count_if(log.begin(), log.end(),
                                    [](const std::string& l) {
                                        return l.rfind("Driver entry points:", 0) == 0;
                                    }),
                      0)
                << c.driver << ": a 64-bit driver has one form";
        }
        testing_support::WriteFile(temp.LogPath(), "");  // the next driver's lines alone
    }
}

// One host per session: each later Init unloads the driver there and loads
// the next (its state starts afresh, as a library loaded anew does); the
// session's close ends the host, also one kept with no driver while an
// in-process driver is bound.
TEST_F(HostedDriverTest, LaterInitsOfASessionUseItsHost) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(HostPids().size(), 1u);
    const std::uint32_t pid = HostPids()[0];
    ASSERT_EQ(Run("SetOption|@int|5|"), "OK|true");
    EXPECT_EQ(Run("GetWavelengthValue|30|"), "OK|5");
    EXPECT_EQ(Run("Init|sim|"), "OK");
    EXPECT_EQ(Run("GetWavelengthValue|30|"), "OK|700");
    EXPECT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(Run("GetWavelengthValue|30|"), "OK|0") << "the driver was unloaded in between";
    EXPECT_EQ(HostPids(), std::vector<std::uint32_t>{pid});
    const auto log = Log();
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [&](const std::string& line) {
                                return line.rfind("Driver host kept (pid " + std::to_string(pid) + ", ", 0) == 0;
                            }),
              2);
    {
        AdminSetting inProcess("IsolateDriver", 0);
        EXPECT_EQ(Run("Init|sim|"), "OK");
    }
    EXPECT_TRUE(testing_support::ProcessIsRunning(pid)) << "kept for the session";
    EXPECT_EQ(engine.Close(), 0);
    ExpectNoHostLeft();
    EXPECT_EQ(engine.Open(), 0);
    EXPECT_EQ(Run("Init|sim|"), "OK");
    EXPECT_EQ(HostPids().size(), 2u) << "the next session starts its own";
    engine.UnloadModule();
    ExpectNoHostLeft();
}

// A driver finds around it in the driver host what it finds in-process: the
// client's current folder and environment, the libraries beside it, its own
// threads running on between calls, windows that answer, COM, and its state
// from one call to the next.
class PlacementTest : public HostedDriverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PlacementTest, TheProbeDriverFindsTheSameAroundIt) {
    if (!testing_support::OnWindows()) GTEST_SKIP() << "the probe driver is a Windows one";
    AdminSetting isolate("IsolateDriver", GetParam() ? 1 : 0);
    platform::SetEnvironment("KST_PROBE_VALUE", "seen by the driver");
    ASSERT_EQ(Run("Init|probe|"), "OK");
    if (GetParam()) {
        EXPECT_EQ(HostPids().size(), 1u) << "runs in the driver host";
    }
    const std::pair<std::string, std::string> probes[] = {
        {"cwd", std::filesystem::current_path().string()},
        {"env:KST_PROBE_VALUE", "seen by the driver"},
        {"dependency", "dependency 42"},
        {"window", "window answered"},
        {"com", "com ok"},
        {"thread-start", "started"},
    };
    for (const auto& [what, seen] : probes) EXPECT_EQ(Run("Execute|@probe:" + what + "|"), "OK|" + seen) << what;
    // The driver's thread counts on while no call is running.
    const auto count = [&] { return std::stoi(Run("Execute|@probe:thread-count|").substr(3)); };
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    int first = 0;
    while ((first = count()) == 0 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_GT(first, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_GT(count(), first);
    EXPECT_EQ(Run("Execute|@probe:thread-stop|"), "OK|stopped");
    EXPECT_EQ(Run("SetOption|@int|9|"), "OK|true");
    EXPECT_EQ(Run("GetWavelengthValue|1|"), "OK|9");
    platform::SetEnvironment("KST_PROBE_VALUE", "");
    engine.UnloadModule();
    ExpectNoHostLeft();
}

INSTANTIATE_TEST_SUITE_P(InProcessAndHosted, PlacementTest, ::testing::Bool());

TEST_F(HostedDriverTest, CloseEndsTheHost) {
    ASSERT_EQ(Run("Init|sim|"), "OK");
    ASSERT_EQ(HostPids().size(), 1u);
    EXPECT_EQ(engine.Close(), 0);
    ExpectNoHostLeft();
    EXPECT_EQ(Run("Connect"), "ERROR|Instrument driver not loaded");
}

}  // namespace
