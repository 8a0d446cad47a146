// The Remote Desktop plug-in, loaded by path into the stand-in client and
// driven as a client drives it: the same protocol, texts and rules as the ICA
// module, commands never on the client's callback thread, responses up to
// 1 MiB whole, and any end of the session, mid-command, without a crash or a
// write to a closed channel.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <thread>

#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"
#include "tools/host/RemoteDesktopClient.h"

using testing_support::AdminSetting;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kCommand = "KstCmd1";
const char* const kData = "KstDta1";

std::string PluginPath() {
    return testing_support::ExecutableFolder() + "/KestavClientDriverDVC.dll";
}

class DvcTest : public ::testing::Test {
protected:
    void SetUp() override { Start(); }
    void Start() {
        std::string error;
        ASSERT_TRUE(client.LoadPlugin(PluginPath(), &error)) << error;
        client.Connected();
        ASSERT_TRUE(client.OpenChannel(kCommand));
        ASSERT_TRUE(client.OpenChannel(kData));
    }
    std::string Run(const std::string& command, const char* channel = kCommand) {
        return testing_support::OneResponse(client.Run(channel, command));
    }
    bool Logged(const std::string& pattern) { return testing_support::LogMatches(temp.LogPath(), pattern); }

    testing_support::ScopedTempFolder temp;
    standin::RemoteDesktopClient client;
};

TEST_F(DvcTest, TheSessionTranscript) {
    const auto ran = testing_support::RunTranscript([&](const std::string& command) {
        std::vector<testing_support::Sent> sent;
        for (const standin::DvcMessage& message : client.Run(kCommand, command))
            sent.push_back({message.channel, message.bytes});
        return sent;
    });
    EXPECT_GT(ran.commands, 20);
    EXPECT_EQ(ran.actual, ran.expected);
    for (const std::string& channel : ran.channels) EXPECT_EQ(channel, kData) << "responses leave on KstDta1";
    EXPECT_TRUE(Logged(R"(DVC: Data arrival)"));
    EXPECT_TRUE(Logged(R"(DVC: Response sent on "KstDta1" \("OK\|KSIM-000417"\))"));
}

TEST_F(DvcTest, VirtualChannelGetInstanceAndEveryReferenceReleased) {
    std::uint32_t count = 0;
    EXPECT_EQ(client.CountOnlyResult(&count), S_OK);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(client.WrongInterfaceResult(), E_NOINTERFACE);
    EXPECT_GT(client.OutstandingReferences(), 0) << "the plug-in holds the listeners and the channels";
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    client.Disconnected(0);
    client.Terminate();
    EXPECT_EQ(client.OutstandingReferences(), 0) << "every reference the plug-in took is released";
}

// A client that keeps the plug-in object after Terminated (it may release it
// much later, or never): the listeners and the manager go at Terminated.
TEST_F(DvcTest, TerminatedReleasesTheListenersWhileTheObjectIsKept) {
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    client.CloseChannel(kCommand);
    client.CloseChannel(kData);
    client.Terminated();
    EXPECT_EQ(client.OutstandingReferences(), 0) << "held past Terminated";
}

// The server opens a channel again before the old connection's close has
// reached the client; the late close ends the old connection only.
TEST_F(DvcTest, ALateCloseOfAnEarlierConnectionLeavesTheNewOneOpen) {
    ASSERT_EQ(Run("Init|sim|"), "OK");
    for (const char* channel : {kData, kCommand}) {
        SCOPED_TRACE(channel);
        ASSERT_TRUE(client.OpenChannel(channel));
        ASSERT_TRUE(client.CloseEarlierChannel(channel));
        const auto sent = client.Run(channel, "GetSerialNumber");
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].channel, kData) << "the newest response goes on KstDta1 while it is open";
        EXPECT_EQ(sent[0].bytes, "OK|KSIM-000417");
    }
    client.CloseChannel(kData);
    const auto sent = client.Run(kCommand, "IsConnected");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].channel, kCommand);
    EXPECT_EQ(client.WritesAfterClose(), 0);
}

class DriverBuild : public DvcTest, public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(DriverBuild, EveryBuildAnswersAlikeInProcessAndInTheDriverHost) {
    AdminSetting isolate("IsolateDriver", std::get<1>(GetParam()) ? 1 : 0);
    ASSERT_EQ(Run(std::string("Init|") + std::get<0>(GetParam()) + "|"), "OK");
    const std::pair<std::string, std::string> session[] = {
        {"SetOption|@real|0.25|", "OK|true"},   {"SetOption|@int|-7|", "OK|true"},
        {"SetOption|@text|a&vert;b|", "OK|true"}, {"Connect", "OK|true"},
        {"SetLanguage|1033|", "OK|true"},       {"GetWavelengthValue|30|", "OK|-7"},
        {"GetSpectralData|2|30|", "OK|0.25"},   {"GetAngleValue|1|", "OK|a|b"},
        {"GetOption|Filter|", "OK|a&vert;b"},   {"SetOption|Filter|M2&vert;UV cut|", "OK|true"},
        {"GetSpectralData|1|", "ERROR|Missing parameter"},
        {"SetLanguage|70000|", "ERROR|Error executing command \"SetLanguage\" (bad lexical cast: source "
                               "type value could not be interpreted as target)"},
    };
    for (const auto& [command, response] : session) EXPECT_EQ(Run(command), response) << command;
    EXPECT_EQ(Run("Execute|@calls|"),
              "OK|Connect()\nSetLanguage(1033)\nGetWavelengthValue(30)\nGetSpectralData(2,30)\n"
              "GetAngleValue(1)\nGetOption(\"Filter\")\nSetOption(\"Filter\",\"M2|UV cut\")\n");
    if (std::get<1>(GetParam())) {
        EXPECT_TRUE(Logged(R"(Driver host started \(pid \d+, (32|64)-bit\))"));
    }
}

// All 32 commands of the table, once each, through the plug-in: the same
// responses and the same calls reaching the driver as through the ICA module.
TEST_P(DriverBuild, AllThirtyTwoCommands) {
    AdminSetting isolate("IsolateDriver", std::get<1>(GetParam()) ? 1 : 0);
    ASSERT_EQ(Run(std::string("Init|") + std::get<0>(GetParam()) + "|"), "OK");
    for (const char* answer : {"SetOption|@text|t&vert;u|", "SetOption|@int|5|", "SetOption|@real|0.5|"})
        ASSERT_EQ(Run(answer), "OK|true");
    std::string spectrum = "OK|0.5";
    for (int i = 1; i < 31; ++i) spectrum += ";0.5";
    struct Row {
        const char* command;
        std::string response, call;
    };
    const Row rows[] = {
        {"AbortCalibration", "OK|true", "AbortCalibration()"},
        {"Calibrate", "OK|true", "Calibrate()"},
        {"CalibrateStep|White|", "OK|true", "CalibrateStep(\"White\")"},
        {"ClearSamples", "OK|true", "ClearSamples()"},
        {"Configure", "OK|true", "Configure()"},
        {"Connect", "OK|true", "Connect()"},
        {"Disconnect", "OK|true", "Disconnect()"},
        {"Execute|STATUS|", "OK|t|u", "Execute(\"STATUS\")"},
        {"GetAngleValue|2|", "OK|t|u", "GetAngleValue(2)"},
        {"GetAngles", "OK|5", "GetAngles()"},
        {"GetAvailableSettings", "OK|t&vert;u", "GetAvailableSettings()"},
        {"GetCalProgress", "OK|5", "GetCalProgress()"},
        {"GetCalStatus", "OK|5", "GetCalStatus()"},
        {"GetCalSteps", "OK|t|u", "GetCalSteps()"},
        {"GetCalMode|x|", "OK|t|u", "GetCalMode()"},
        {"GetLastErrorCode", "OK|5", "GetLastErrorCode()"},
        {"GetLastErrorString", "OK|t|u", "GetLastErrorString()"},
        {"GetOption|A&vert;B|", "OK|t&vert;u", "GetOption(\"A|B\")"},
        {"GetSampleCount", "OK|5", "GetSampleCount()"},
        {"GetSampleData|1|2|", "OK|0.5", "GetSampleData(1,2)"},
        {"GetSerialNumber", "OK|t|u", "GetSerialNum()"},
        {"GetSettingOptions|Filter|", "OK|t|u", "GetSettingOptions(\"Filter\")"},
        {"GetSpectralData|1|2|", "OK|0.5", "GetSpectralData(1,2)"},
        {"GetSpectralDataAll|3|", spectrum, "GetSpectralData(3,30)"},
        {"GetWavelengths", "OK|5", "GetWavelengths()"},
        {"GetWavelengthValue|3|", "OK|5", "GetWavelengthValue(3)"},
        {"IsConnected", "OK|true", "IsConnected()"},
        {"IsDataReady", "OK|true", "IsDataReady()"},
        {"Measure", "OK|true", "Measure()"},
        {"SetCurrentSample|4|", "OK|true", "SetCurrentSample(4)"},
        {"SetLanguage|1031|", "OK|true", "SetLanguage(1031)"},
        {"SetOption|a&vert;b|c|", "OK|true", "SetOption(\"a|b\",\"c\")"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(Run(row.command), row.response) << row.command;
        const std::string calls = "\n" + Run("Execute|@calls|").substr(3);  // after "OK|"
        EXPECT_EQ(calls.substr(calls.rfind('\n', calls.size() - 2) + 1), row.call + "\n") << row.command;
    }
}

INSTANTIATE_TEST_SUITE_P(Builds, DriverBuild,
                         ::testing::Combine(::testing::Values("recording", "recording-stdcall",
                                                              "recording-decorated"),
                                            ::testing::Bool()));

// With no setting at all: every driver runs in the driver host.
TEST_F(DvcTest, ACrashOrAHangInTheDriverHostCostsOneCommand) {
    AdminSetting timeout("DriverTimeoutSeconds", 1);
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@fault|crash|"), "OK|true");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver stopped");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not loaded");
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@fault|sleep:4000|"), "OK|true");
    EXPECT_EQ(Run("Measure"), "ERROR|Instrument driver not responding");
    EXPECT_EQ(Run("Init|nosuch|"), "ERROR|Error loading driver (\"nosuch\") on client [Error: 126]");
    EXPECT_EQ(Run("Foo"), "ERROR|Unknown command \"Foo\"");
}

// No 5,000-byte packets here: a response of 1 MiB goes out whole.
TEST_F(DvcTest, ResponsesUpToOneMebibyteGoOutWhole) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    const std::size_t mebibyte = 1024 * 1024;
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 3) + "|"), "OK|true");
    const std::string whole = Run("GetSerialNumber");
    EXPECT_EQ(whole.size(), mebibyte);
    EXPECT_EQ(whole.compare(0, 4, "OK|m"), 0);
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 2) + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber"), "ERROR|Response too long");
    EXPECT_TRUE(Logged("  Response of 1048577 bytes is too long for a message of at most 1048576 bytes, "
                       "sending \"ERROR\\|Response too long\" instead"));
}

TEST_F(DvcTest, CommandsOnBothChannelsFromTwoThreads) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    const std::size_t before = client.SentCount();
    // 61 in all: within the 64 commands that may wait, however slowly they run.
    std::thread other([this] {
        for (int i = 0; i < 30; ++i) client.Deliver(kData, "Foo-D-" + std::to_string(i));
    });
    for (int i = 0; i < 30; ++i) client.Deliver(kCommand, "Foo-C-" + std::to_string(i));
    other.join();
    ASSERT_TRUE(client.Deliver(kCommand, "Hello"));  // the newest of all
    ASSERT_TRUE(WaitUntil([&] {
        const auto sent = client.SentSince(before);
        return !sent.empty() && sent.back().bytes == "OK|Hello";
    }));
    std::set<std::string> seen;
    for (const standin::DvcMessage& message : client.SentSince(before)) {
        EXPECT_TRUE(message.bytes == "OK|Hello" ||
                    std::regex_match(message.bytes, std::regex(R"(ERROR\|Unknown command "Foo-[CD]-\d+")")))
            << message.bytes;
        EXPECT_TRUE(seen.insert(message.bytes).second) << "answered twice: " << message.bytes;
    }
}

// What a hostile or broken server can send: each gets a clear error at once,
// and the session, the driver and its host (a 32-bit driver under the 64-bit
// plug-in runs in one) go on.
TEST_F(DvcTest, HostileMessagesGetAnErrorAndTheSessionGoesOn) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    const auto hosts = testing_support::LoggedHostPids(temp.LogPath());
    for (const std::size_t size : {std::size_t(1400 * 1000), std::size_t(300 * 1024), std::size_t(65536)}) {
        const std::string command = "Execute|" + std::string(size - 9, 'x') + "|";
        EXPECT_EQ(Run(command), "ERROR|Command too long (" + std::to_string(size) + " bytes, at most 65535)");
        EXPECT_EQ(Run("GetSerialNumber"), "OK") << "the driver is still bound";
    }
    // The longest command still runs, in-process or through the host.
    EXPECT_EQ(Run("SetOption|@text|" + std::string(65535 - 17, 't') + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber").size(), 65535u - 17 + 3);
    EXPECT_EQ(testing_support::LoggedHostPids(temp.LogPath()), hosts) << "no driver host was lost";
    for (const std::uint32_t pid : hosts) EXPECT_TRUE(testing_support::ProcessIsRunning(pid));
    // A device name never reaches the file system: answered at once.
    const auto started = Clock::now();
    EXPECT_EQ(Run("Init|COM1|"), "ERROR|Error loading driver (\"COM1\") on client [Error: 123]");
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(Run("Init|recording|"), "OK");
}

// 20,000 writes of 4,999 bytes while a Measure waits: what waits, the
// process's memory and the log stay bounded, each write is answered.
TEST_F(DvcTest, AFloodDuringAMeasureStaysBounded) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    const std::string gate = temp.Path() + "\\gate";
    ASSERT_EQ(Run("SetOption|@fault|wait:" + gate + "|"), "OK|true");
    const std::size_t before = client.SentCount();
    ASSERT_TRUE(client.Deliver(kCommand, "Measure"));
    const std::size_t memoryBefore = testing_support::PrivateBytes();
    const int flood = 20000;
    const std::string padding(4999 - 12, 'p');
    for (int i = 0; i < flood; ++i) ASSERT_TRUE(client.Deliver(kData, "Foo-" + std::to_string(10000 + i) + "|" + padding));
    ASSERT_TRUE(WaitUntil([&] { return client.SentCount() - before >= std::size_t(flood) - 64; }, 120));
    const std::size_t memoryAfter = testing_support::PrivateBytes();
    testing_support::WriteFile(gate, "open");
    ASSERT_TRUE(WaitUntil([&] {
        (void)client.Deliver(kCommand, "Hello");
        const auto sent = client.SentSince(before);
        return !sent.empty() && sent.back().bytes == "OK|Hello";
    }, 60));
    std::size_t refused = 0, unknown = 0;
    for (const standin::DvcMessage& message : client.SentSince(before)) {
        if (message.bytes.rfind("ERROR|Too many commands waiting", 0) == 0) ++refused;
        if (message.bytes.rfind("ERROR|Unknown command", 0) == 0) ++unknown;
    }
    EXPECT_GE(refused, std::size_t(flood) - 64);
    EXPECT_LE(unknown, 1u) << "only the newest accepted command could be answered";
    // 20,000 x 5 KB held would be 100 MB.
    EXPECT_LT(memoryAfter, memoryBefore + 30u * 1024 * 1024);
    EXPECT_LE(testing_support::ReadFile(temp.LogPath()).size(), 17u * 1024 * 1024);
}

// The server closes a channel while a command runs: its response goes out on
// the other channel if that is open, and is dropped if none is, never
// written to a closed channel.
TEST_F(DvcTest, OnCloseWhileACommandRuns) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@fault|sleep:1000|"), "OK|true");
    std::size_t before = client.SentCount();
    ASSERT_TRUE(client.Deliver(kCommand, "Measure"));
    client.CloseChannel(kData);
    ASSERT_TRUE(WaitUntil([&] { return client.SentCount() > before; }));
    auto sent = client.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].channel, kCommand) << "KstDta1 is closed: the response comes on KstCmd1";
    EXPECT_EQ(sent[0].bytes, "OK|true");

    ASSERT_EQ(Run("SetOption|@fault|sleep:1500|"), "OK|true");
    before = client.SentCount();
    ASSERT_TRUE(client.Deliver(kCommand, "Measure"));
    client.CloseChannel(kCommand);
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    EXPECT_EQ(client.SentCount(), before) << "no channel open: dropped";
    EXPECT_EQ(client.WritesAfterClose(), 0);
    EXPECT_TRUE(Logged(R"(DVC: No channel is open: response dropped \("OK\|true"\))"));
    // The server opens them again.
    ASSERT_TRUE(client.OpenChannel(kCommand));
    ASSERT_TRUE(client.OpenChannel(kData));
    EXPECT_EQ(Run("IsConnected"), "OK|true");
}

TEST_F(DvcTest, DisconnectedAndConnectedAgainAndAgain) {
    ASSERT_EQ(Run("Init|sim|"), "OK");
    for (int cycle = 0; cycle < 5; ++cycle) {
        client.Disconnected(cycle);
        client.CloseChannel(kCommand);
        client.CloseChannel(kData);
        client.Connected();
        ASSERT_TRUE(client.OpenChannel(kCommand));
        ASSERT_TRUE(client.OpenChannel(kData));
        EXPECT_EQ(Run("GetSerialNumber"), "OK|KSIM-000417") << cycle;
    }
    EXPECT_EQ(client.WritesAfterClose(), 0);
}

// The client ends the plug-in while a command runs: no crash, no write after
// close, and the driver goes only once the command has returned.
TEST_F(DvcTest, TerminatedWhileACommandRuns) {
    AdminSetting inProcess("IsolateDriver", 0);  // the library itself is watched
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@fault|sleep:2500|"), "OK|true");
    const std::size_t before = client.SentCount();
    ASSERT_TRUE(client.Deliver(kCommand, "Measure"));
    ASSERT_TRUE(client.Deliver(kCommand, "Connect"));  // queued: dropped
    const auto started = Clock::now();
    client.Terminate();
    const std::string recording = testing_support::DriverLibraryPath("Kestav", "recording");
    if (Clock::now() - started < std::chrono::milliseconds(2000)) {
        EXPECT_TRUE(testing_support::IsLibraryLoaded(recording)) << "released under the running call";
    }
    client.Unload();
    EXPECT_TRUE(WaitUntil([&] {
        return !testing_support::IsLibraryLoaded(recording) && !testing_support::IsLibraryLoaded(PluginPath());
    }));
    EXPECT_EQ(client.SentCount(), before);
    EXPECT_EQ(client.WritesAfterClose(), 0);
    EXPECT_TRUE(Logged(R"(Virtual channel - Command dropped at close: "Connect")"));
}

}  // namespace
