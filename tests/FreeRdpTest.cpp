// The FreeRDP add-in, loaded by the stand-in FreeRDP client as FreeRDP loads
// it, built (as this test program is) against one FreeRDP major's headers:
// registration, listeners and their errors, every command of the transcript,
// bounds, closes on the drdynvc thread, and Terminated on the main thread
// while a command runs, all without Connected or Disconnected.
#include <gtest/gtest.h>

#include <freerdp/dvc.h>

#include <algorithm>
#include <cstdio>
#include <chrono>
#include <sstream>

#include "tests/support/FreeRdpClient.h"
#include "tests/support/StaticChannelClient.h"
#include "tests/support/TestSupport.h"

using testing_support::AdminSetting;
using testing_support::FreeRdpClient;
using testing_support::FreeRdpWrite;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kCommand = "KstCmd1";
const char* const kData = "KstDta1";

std::string AddInPath() {
    return testing_support::ExecutableFolder() + "/libkestav-client-freerdp" + std::to_string(KST_FREERDP_MAJOR) +
           ".so";
}

class FreeRdpTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_EQ(client->Load(AddInPath(), &error), std::uint32_t(CHANNEL_RC_OK)) << error;
        ASSERT_EQ(client->Initialize(), std::uint32_t(CHANNEL_RC_OK));
        ASSERT_TRUE(client->Open(kData));
        ASSERT_TRUE(client->Open(kCommand));
    }
    std::string Run(const std::string& command, const char* channel = kCommand) {
        return testing_support::OneResponse(client->Run(channel, command));
    }
    bool Logged(const std::string& pattern) { return testing_support::LogMatches(temp.LogPath(), pattern); }

    // First, so that the add-in is terminated and unloaded while its log is here.
    testing_support::ScopedTempFolder temp;
    std::unique_ptr<FreeRdpClient> client = std::make_unique<FreeRdpClient>();
};

TEST_F(FreeRdpTest, TheSessionTranscript) {
    EXPECT_EQ(client->Listeners(), (std::vector<std::string>{"KstCmd1 (flags 0)", "KstDta1 (flags 0)"}));
    const auto ran = testing_support::RunTranscript([&](const std::string& command) {
        std::vector<testing_support::Sent> sent;
        for (const FreeRdpWrite& write : client->Run(kCommand, command)) sent.push_back({write.channel, write.bytes});
        return sent;
    });
    EXPECT_GT(ran.commands, 20);
    EXPECT_EQ(ran.actual, ran.expected);
    for (const std::string& channel : ran.channels) EXPECT_EQ(channel, kData) << "responses leave on KstDta1";
    EXPECT_TRUE(Logged("DVC: FreeRDP " + std::to_string(KST_FREERDP_MAJOR) + R"( add-in \(built with FreeRDP )" +
                       std::to_string(KST_FREERDP_MAJOR) + R"(\.[0-9.]+\))"));
    EXPECT_FALSE(Logged("DVC: (Connected|Disconnected).*")) << "FreeRDP never calls them";
}

// What FreeRDP gets back when it refuses the add-in something: the add-in
// passes each refusal on (FreeRDP then ends the add-in), and says so.
TEST(FreeRdpLoading, RefusalsReachFreeRdp) {
    const struct {
        const char* refused;  // "register", or the channel whose listener is refused
        std::uint32_t code;
        const char* logged;
    } cases[] = {
        {"register", CHANNEL_RC_NO_MEMORY, nullptr},
        {kCommand, CHANNEL_RC_NO_MEMORY, R"(DVC: No listener for "KstCmd1" \(result 12\))"},
        {kData, ERROR_INTERNAL_ERROR, R"(DVC: No listener for "KstDta1" \(result 1359\))"},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.refused);
        testing_support::ScopedTempFolder temp;
        FreeRdpClient client;
        const bool registration = std::string(row.refused) == "register";
        if (registration) client.FailRegistration(row.code);
        else client.FailListener(row.refused, row.code);
        std::string error;
        const std::uint32_t entry = client.Load(AddInPath(), &error);
        if (registration) {
            EXPECT_EQ(entry, row.code) << error;
            EXPECT_EQ(client.RegisteredName(), "");
            continue;
        }
        ASSERT_EQ(entry, std::uint32_t(CHANNEL_RC_OK)) << error;
        EXPECT_EQ(client.RegisteredName(), "kestav");
        EXPECT_EQ(client.Initialize(), row.code);
        EXPECT_TRUE(testing_support::LogMatches(temp.LogPath(), row.logged));
        EXPECT_EQ(client.Terminated(), std::uint32_t(CHANNEL_RC_OK));
    }
}

// Too long a command or response, and a message the client's buffer no
// longer holds once the callback returned: a clear error, the session goes on.
TEST_F(FreeRdpTest, BoundsHoldAndMessagesAreCopied) {
    ASSERT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(Run("Execute|" + std::string(65536 - 9, 'x') + "|"),
              "ERROR|Command too long (65536 bytes, at most 65535)");
    const std::size_t mebibyte = 1024 * 1024;
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 3) + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber").size(), mebibyte);
    ASSERT_EQ(Run("SetOption|@text-size|" + std::to_string(mebibyte - 2) + "|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber"), "ERROR|Response too long");
    // Answered after the client has overwritten its buffer: copied in the callback.
    ASSERT_EQ(Run("SetOption|@text|abc|"), "OK|true");
    EXPECT_EQ(Run("GetSerialNumber"), "OK|abc");
}

// Closes come on the drdynvc thread, in any order: the newest response goes
// on KstDta1 while it is open, else on KstCmd1, never to a closed channel; a
// connection that closes before it opened closes nothing.
TEST_F(FreeRdpTest, ClosesOnTheCallbackThread) {
    ASSERT_TRUE(client->OpenWithoutOnOpen(kData));
    client->Close(kData);
    EXPECT_FALSE(Logged(R"(DVC: Channel "KstDta1" closed)")) << "the open connection is still open";
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    client->Close(kData);
    ASSERT_TRUE(Logged(R"(DVC: Channel "KstDta1" closed)"));
    const auto sent = client->Run(kCommand, "Hello");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].channel, kCommand) << "KstDta1 is closed: the response comes on KstCmd1";
    client->Close(kCommand);
    ASSERT_TRUE(client->OpenWithoutOnOpen(kCommand));
    client->Close(kCommand);
    const auto log = testing_support::ReadLogLines(temp.LogPath());
    EXPECT_EQ(std::count(log.begin(), log.end(), R"(DVC: Channel "KstCmd1" closed)"), 1)
        << "a connection that never opened is not closed again";
    // The server opens them again.
    ASSERT_TRUE(client->Open(kCommand));
    ASSERT_TRUE(client->Open(kData));
    EXPECT_EQ(Run("Hello"), "OK|Hello");
    EXPECT_EQ(client->WritesAfterClose(), 0);
}

// FreeRDP ends the session while the instrument is busy: it closes the
// channels, then its main thread calls Terminated, which never waits for the
// driver: a driver host the call waits on is ended, a driver in-process is
// left to return alone. A queued command is dropped, nothing is written once
// the channels are closed, and the add-in unloads once the call is over.
TEST_F(FreeRdpTest, TerminatedWhileACommandRuns) {
    for (const bool hosted : {true, false}) {
        SCOPED_TRACE(hosted ? "in the driver host" : "in-process");
        AdminSetting isolate("IsolateDriver", hosted ? 1 : 0);
        if (client == nullptr) {
            client = std::make_unique<FreeRdpClient>();
            SetUp();
        }
        ASSERT_EQ(Run("Init|recording|"), "OK");
        const auto hosts = testing_support::LoggedHostPids(temp.LogPath());
        const std::string gate = temp.Path() + "/gate";
        ASSERT_EQ(Run("SetOption|@fault|wait:" + gate + "|"), "OK|true");
        ASSERT_EQ(client->Deliver(kCommand, "Measure"), std::uint32_t(CHANNEL_RC_OK));
        ASSERT_TRUE(WaitUntil([&] { return Logged(R"(Command Measure \(\))"); }));
        ASSERT_EQ(client->Deliver(kCommand, "Connect"), std::uint32_t(CHANNEL_RC_OK));  // queued: dropped
        const auto started = Clock::now();
        EXPECT_EQ(client->End(), std::uint32_t(CHANNEL_RC_OK));
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << "Terminated waited for the driver";
        EXPECT_TRUE(Logged(R"(Virtual channel - Command dropped at close: "Connect")"));
        if (hosted) {
            ASSERT_EQ(hosts.size(), 1u);
            EXPECT_TRUE(WaitUntil([&] { return !testing_support::ProcessIsRunning(hosts[0]); }));
            EXPECT_TRUE(Logged(R"(Driver host \(pid \d+\) ended during a call: the session is closing)"));
        } else {
            EXPECT_TRUE(Logged(R"(Virtual channel - A command still runs after 1000 ms: it finishes alone, .*)"));
            testing_support::WriteFile(gate, "open");
        }
        client->Unload();
        EXPECT_TRUE(WaitUntil([] { return !testing_support::IsLibraryLoaded(AddInPath()); }));
        EXPECT_EQ(client->WritesAfterClose(), 0);
        client.reset();
        std::remove(gate.c_str());
    }
}

}  // namespace

// FreeRDP with both /dvc:kestav and /vc:kestav loads the one file as both
// kinds of plug-in: one instrument serves both, each response goes back by
// the kind of channel its command came on, and the instrument stays until
// the last of the two ends.
TEST_F(FreeRdpTest, BothKindsInOneClientShareOneInstrument) {
    testing_support::StaticChannelClient statics;
    std::string error;
    ASSERT_EQ(statics.Load(AddInPath(), testing_support::StaticChannelClient::Entry::Extended, &error), 1) << error;
    statics.Connect();
    ASSERT_EQ(Run("Init|recording|"), "OK");
    ASSERT_EQ(Run("SetOption|@text|one instrument|"), "OK|true");
    const auto answered = statics.Run(kCommand, "GetSerialNumber");
    ASSERT_EQ(answered.size(), 1u);
    EXPECT_EQ(answered[0].bytes, "OK|one instrument") << "the instrument set up over the dynamic channel";
    EXPECT_EQ(answered[0].channel, kData);
    const std::size_t dynamicWrites = client->WriteCount();
    EXPECT_EQ(Run("GetSerialNumber"), "OK|one instrument");
    EXPECT_EQ(client->WriteCount(), dynamicWrites + 1) << "back on the dynamic channel";
    // The static plug-in ends first: the dynamic one goes on with the same instrument.
    statics.Disconnect();
    statics.Terminate();
    EXPECT_EQ(Run("GetSerialNumber"), "OK|one instrument");
    EXPECT_TRUE(Logged("SVC: Terminated"));
}
