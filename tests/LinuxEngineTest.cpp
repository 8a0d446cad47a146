// The module built for the Citrix Workspace app for Linux, driven by the
// stand-in engine as the Linux SDK documents that client: only the WD classes
// it has, the driver's own channel mask, and its event loop, through which the
// instrument thread's responses leave on the engine's thread without a poll.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>

#include "tests/support/EngineModules.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

using standin::Engine;
using standin::InformationCall;
using testing_support::AdminSetting;
using testing_support::ScopedTempFolder;

namespace {

constexpr platform::CitrixEngine kLinux = platform::CitrixEngine::Linux;
const char* const kCommand = "KstCmd1";

// Entry, class and length of each call the module made of the WD.
std::vector<std::tuple<int, std::uint32_t, int>> Calls(const Engine& engine) {
    std::vector<std::tuple<int, std::uint32_t, int>> calls;
    for (const InformationCall& c : engine.informationCalls)
        calls.emplace_back(c.entry, c.informationClass, c.length);
    return calls;
}

class LinuxEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(kLinux), &error)) << error;
    }
    bool Logged(const std::string& line) {
        const auto log = testing_support::ReadLogLines(temp.LogPath());
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // Runs the engine's event loop (and nothing else) until `count`
    // responses have left or 20 s have passed.
    bool EventsUntilSent(std::size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (engine.SentCount() < count && std::chrono::steady_clock::now() < deadline)
            engine.DeliverEvents(5);
        return engine.SentCount() >= count;
    }

    ScopedTempFolder temp;
    Engine engine{kLinux};
};

TEST_F(LinuxEngineTest, OpensWithTheLinuxEnginesClassesAloneAndSetsItsChannelMask) {
    ASSERT_EQ(engine.Open(), 0);
    const int openChannel = sizeof(ica::OpenChannelRecord);
    const int writeHook = sizeof(ica::WriteHookRecord);
    EXPECT_EQ(Calls(engine), (std::vector<std::tuple<int, std::uint32_t, int>>{
                                 {6, 33, openChannel}, {7, 10, writeHook}, {6, 33, openChannel}, {7, 10, writeHook}}));
    EXPECT_TRUE(engine.linkedLibraries.empty()) << "the Linux engine has no library manager calls";
    EXPECT_EQ(engine.OpenedMask(), (1u << 11) | (1u << 12));
    EXPECT_EQ(engine.DriverRecord()->channelMask, engine.OpenedMask());
    EXPECT_EQ(engine.openSize, sizeof(ica::OpenRecord));
    EXPECT_TRUE(Logged("Engine: Linux"));
    EXPECT_EQ(engine.Run(kCommand, "Hello").at(0).bytes, "OK|Hello");
}

TEST(LinuxEngineMask, ABitForEachChannelThatHasOne) {
    struct Case {
        std::uint16_t firstChannel;  // the command channel; the data channel is the next
        std::uint32_t mask;
    };
    const Case cases[] = {{0, 0x3u}, {11, 0x1800u}, {30, 0xC0000000u}, {31, 0x80000000u}, {40, 0u}};
    ScopedTempFolder temp;
    for (const Case& c : cases) {
        Engine engine{kLinux};
        engine.firstChannelNumber = c.firstChannel;
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(kLinux), &error)) << error;
        ASSERT_EQ(engine.Open(), 0) << c.firstChannel;
        EXPECT_EQ(engine.OpenedMask(), c.mask) << c.firstChannel;
    }
}

// What the stand-in is for: a module that takes the Linux engine for the
// Windows one asks for class 86, which means something else there, and is
// refused.
TEST_F(LinuxEngineTest, TheWindowsEnginesModuleCannotOpenHere) {
    if (platform::ThisCitrixEngine() == platform::CitrixEngine::Windows)
        GTEST_SKIP() << "no module for the Linux engine in this build";
    Engine wrong{kLinux};
    std::string error;
    ASSERT_TRUE(wrong.LoadModule(testing_support::IcaModuleFor(platform::CitrixEngine::Windows), &error));
    EXPECT_EQ(wrong.Open(), 1000);
    EXPECT_FALSE(wrong.linkedLibraries.empty());
}

TEST_F(LinuxEngineTest, QueryClassZeroIsNotALastErrorQuery) {
    ASSERT_EQ(engine.Open(), 0);
    std::vector<std::uint8_t> buffer(300, 0xAB);
    std::uint32_t returned = 7;
    EXPECT_EQ(engine.QueryInformation(0, buffer.data(), 300, &returned), 0);
    EXPECT_EQ(returned, 7u);
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0xAB), 300) << "nothing written";
}

// No poll at all: every response of a session leaves through the event loop,
// on the engine's thread.
TEST_F(LinuxEngineTest, TheInstrumentThreadWakesTheEngineThroughItsEventLoop) {
    engine.pollsDriver = false;
    ASSERT_EQ(engine.Open(), 0);
    EXPECT_EQ(engine.LiveEvents(), 1);
    EXPECT_EQ(engine.WatchedEvents(), 1);
    EXPECT_TRUE(Logged("Engine events: the instrument thread wakes the engine"));
    const std::pair<const char*, const char*> session[] = {
        {"Hello", "OK|Hello"},  {"Init|sim|", "OK"}, {"Connect", "OK|true"},
        {"GetSerialNumber", "OK|KSIM-000417"}, {"Foo", "ERROR|Unknown command \"Foo\""},
        {"Disconnect", "OK|true"}};
    for (const auto& [command, response] : session) {
        const auto sent = engine.Run(kCommand, command);
        ASSERT_EQ(sent.size(), 1u) << command;
        EXPECT_EQ(sent[0].bytes, response) << command;
    }
    EXPECT_GE(engine.eventDeliveries, 6);
    EXPECT_EQ(engine.DeliverEvents(0), 0) << "each wake-up read, none left to call again";
    EXPECT_EQ(engine.offThreadSends, 0);
}

TEST_F(LinuxEngineTest, ASendRefusedInTheEventLeavesAtTheNextPoll) {
    engine.pollsDriver = false;
    ASSERT_EQ(engine.Open(), 0);
    engine.RefuseSends(1, ica::kStatusNoOutputBuffer);
    ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (engine.sendAttempts == 0 && std::chrono::steady_clock::now() < deadline) engine.DeliverEvents(5);
    ASSERT_EQ(engine.sendAttempts, 1) << "the event tried to send";
    EXPECT_EQ(engine.SentCount(), 0u);
    EXPECT_EQ(engine.Poll(), 0);
    ASSERT_EQ(engine.SentCount(), 1u);
    EXPECT_EQ(engine.sent[0].bytes, "OK|Hello");
    EXPECT_EQ(engine.Poll(), 21) << "sent once";
    EXPECT_EQ(engine.offThreadSends, 0);
}

TEST_F(LinuxEngineTest, TheEventEndsWithTheSession) {
    ASSERT_EQ(engine.Open(), 0);
    ASSERT_EQ(engine.LiveEvents(), 1);
    EXPECT_EQ(engine.Close(), 0);
    EXPECT_EQ(engine.LiveEvents(), 0);
    ASSERT_EQ(engine.Open(), 0);  // the next connection
    EXPECT_EQ(engine.LiveEvents(), 1);
    EXPECT_EQ(engine.Run(kCommand, "Hello").at(0).bytes, "OK|Hello");
    engine.UnloadModule();  // no close first: the unload ends it
    EXPECT_EQ(engine.LiveEvents(), 0);
    EXPECT_EQ(engine.eventFaults, 0) << "each event's watch removed before it was destroyed";
}

// Without an event (the client offers none, or the setting keeps commands
// inside the write hook) responses leave as on Windows, at the polls.
TEST(LinuxEngineWithoutEvents, ResponsesLeaveAtThePolls) {
    ScopedTempFolder temp;
    for (const bool threaded : {true, false}) {
        AdminSetting thread("InstrumentThread", threaded ? 1 : 0);
        Engine engine{kLinux};
        engine.eventsOffered = !threaded;
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(kLinux), &error)) << error;
        ASSERT_EQ(engine.Open(), 0);
        EXPECT_EQ(engine.LiveEvents(), 0) << threaded;
        EXPECT_EQ(engine.Run(kCommand, "Init|sim|").at(0).bytes, "OK");
        EXPECT_EQ(engine.Run(kCommand, "GetSerialNumber").at(0).bytes, "OK|KSIM-000417");
        EXPECT_EQ(engine.eventDeliveries, 0);
        EXPECT_EQ(engine.offThreadSends, 0);
        const auto log = testing_support::ReadLogLines(temp.LogPath());  // this load's
        EXPECT_EQ(std::count(log.begin(), log.end(),
                             "Engine events: cannot create one, responses leave at the engine's polls"),
                  threaded ? 1 : 0);
    }
}

}  // namespace
