// The virtual channel object: pending response slot and both send paths,
// with fake engine send procedures.
#include <gtest/gtest.h>

#include <regex>

#include "diag/ModuleFolder.h"
#include "relay/VirtualChannelICA.h"
#include "tests/support/TestSupport.h"

using relay::VirtualChannelICA;
using testing_support::ReadLines;
using testing_support::ScopedTempFolder;

namespace {

struct SendCall {
    void* engineData;
    std::uint16_t channel;
    std::string bytes;
    std::uint32_t flags;
    bool userDataPointsAtBytes;
};

std::vector<SendCall> sends;
ica::EngineStatus sendStatus = 0;
int engineDataTag;

ica::EngineStatus KST_CDECL FakeQueueWrite(void* data, std::uint16_t channel,
                                           ica::MemorySection* sections, std::uint16_t count,
                                           std::uint16_t flags) {
    EXPECT_EQ(count, 1);
    sends.push_back({data, channel,
                     std::string(reinterpret_cast<char*>(sections->bytes), sections->length),
                     flags, false});
    return sendStatus;
}

ica::EngineStatus KST_CDECL FakeHpcSend(void* data, std::uint16_t channel, std::uint8_t* bytes,
                                        std::uint16_t length, void* userData,
                                        std::uint32_t flags) {
    sends.push_back({data, channel, std::string(reinterpret_cast<char*>(bytes), length), flags,
                     userData != nullptr && *static_cast<std::uint8_t**>(userData) == bytes});
    return sendStatus;
}

class VirtualChannelTest : public ::testing::Test {
protected:
    void SetUp() override {
        sends.clear();
        sendStatus = 0;
        diag::SetModuleFolder(testing_support::ExecutableFolder());
    }
    std::vector<std::string> Log() { return ReadLines(temp.LogPath()); }

    ScopedTempFolder temp;
};

TEST_F(VirtualChannelTest, VersionQueryIsAnsweredDirectly) {
    VirtualChannelICA channel;
    EXPECT_EQ(channel.Execute("KestavClientDriverVersion"), "1.6.0");
    EXPECT_EQ(channel.GetResponse(), "1.6.0");
    for (const std::string& line : Log()) EXPECT_EQ(line.find("Pending respone"), std::string::npos);
    EXPECT_EQ(Log().back(), "Virtual channel - Execute: \"KestavClientDriverVersion\"");
    EXPECT_EQ(channel.Execute("KestavClientDriverVersion|"),
              "ERROR|Unknown command \"KestavClientDriverVersion\"");
    EXPECT_EQ(channel.Execute("kestavclientdriverversion"),
              "ERROR|Unknown command \"kestavclientdriverversion\"");
    EXPECT_EQ(Log().back(),
              "Virtual channel - Pending respone <-- \"ERROR|Unknown command "
              "\"kestavclientdriverversion\"\"");
}

TEST_F(VirtualChannelTest, OneSlotTheNewestResponseWins) {
    VirtualChannelICA channel;
    EXPECT_FALSE(channel.HasPendingResponse());
    EXPECT_EQ(channel.SendPendingResponse(), 21);
    EXPECT_EQ(Log().back(), "Virtual channel  - No pending response");
    EXPECT_EQ(channel.GetResponse(), "");
    EXPECT_EQ(Log().back(), "GetResponse - No pending response");

    (void)channel.Execute("Hello");
    (void)channel.Execute("Foo");
    EXPECT_EQ(channel.GetResponse(), "ERROR|Unknown command \"Foo\"");
    channel.ClearResponse();
    EXPECT_FALSE(channel.HasPendingResponse());
    channel.ClearResponse();
    EXPECT_EQ(Log().back(), "Clear response buffer");
    EXPECT_EQ(Log()[Log().size() - 2], "Clear response buffer");
}

TEST_F(VirtualChannelTest, QueuedWriteOnTheDataChannel) {
    VirtualChannelICA channel;
    channel.SetDataChannel(12, &engineDataTag, &FakeQueueWrite, &FakeHpcSend, false);
    (void)channel.Execute("Hello");
    EXPECT_EQ(channel.SendPendingResponse(), 0);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].engineData, &engineDataTag);
    EXPECT_EQ(sends[0].channel, 12);
    EXPECT_EQ(sends[0].bytes, "OK|Hello");
    EXPECT_EQ(sends[0].flags, 0u);
    EXPECT_TRUE(channel.HasPendingResponse()) << "only the transport clears it";
    EXPECT_EQ(Log().back(), "  Post response for sending");
}

TEST_F(VirtualChannelTest, HpcSendAndRefusedSendsKeepTheResponse) {
    VirtualChannelICA channel;
    channel.SetDataChannel(7, &engineDataTag, &FakeQueueWrite, &FakeHpcSend, true);
    (void)channel.Execute("Hello");
    sendStatus = 1016;
    EXPECT_EQ(channel.SendPendingResponse(), 1016);
    EXPECT_TRUE(channel.HasPendingResponse());
    sendStatus = 0;
    EXPECT_EQ(channel.SendPendingResponse(), 0);
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[1].bytes, "OK|Hello");
    EXPECT_EQ(sends[1].flags, 1u);
    EXPECT_TRUE(sends[1].userDataPointsAtBytes);
    EXPECT_EQ(Log().back(), "  Send HPC");
}

TEST_F(VirtualChannelTest, SendBeforeChannelSetupFailsAndKeepsTheResponse) {
    VirtualChannelICA channel;
    (void)channel.Execute("Hello");
    EXPECT_NE(channel.SendPendingResponse(), 0);
    EXPECT_EQ(channel.GetResponse(), "OK|Hello");
    channel.SetDataChannel(7, &engineDataTag, nullptr, nullptr, true);  // HPC without procedure
    EXPECT_NE(channel.SendPendingResponse(), 0);
    EXPECT_TRUE(channel.HasPendingResponse());
}

TEST_F(VirtualChannelTest, OverlongHpcResponseIsReplacedNotTruncated) {
    testing_support::RecordingDriver recording;
    VirtualChannelICA channel;
    channel.SetDataChannel(7, &engineDataTag, &FakeQueueWrite, &FakeHpcSend, true);
    ASSERT_EQ(channel.Execute("Init|recording|"), "OK");
    const std::string big(70000, 'x');
    recording.SetText(big.c_str());
    ASSERT_EQ(channel.Execute("Execute|x|").size(), 70003u);
    EXPECT_EQ(channel.SendPendingResponse(), 0);
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].bytes, "ERROR|Response too long");
    bool logged = false;
    for (const std::string& line : Log())
        logged |= line.find("70003 bytes is too long for HPC") != std::string::npos;
    EXPECT_TRUE(logged);
    // The queued path has no such limit.
    channel.SetDataChannel(7, &engineDataTag, &FakeQueueWrite, &FakeHpcSend, false);
    (void)channel.Execute("Execute|x|");
    EXPECT_EQ(channel.SendPendingResponse(), 0);
    EXPECT_EQ(sends.back().bytes.size(), 70003u);
    recording.SetText("");
}

TEST_F(VirtualChannelTest, ConstructionAndDestructionLines) {
    { VirtualChannelICA channel; (void)channel.Execute("Init|recording|"); }
    const auto log = Log();
    ASSERT_GE(log.size(), 2u);
    EXPECT_TRUE(std::regex_match(
        log.front(), std::regex(R"(.{23}VirtualChannelICA \(\w{3} [ \d]\d \d{4} - \d\d:\d\d:\d\d\))")))
        << log.front();
    EXPECT_EQ(log.back().substr(23), "~VirtualChannelICA");
}

}  // namespace
