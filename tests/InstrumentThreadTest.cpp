// Commands on the instrument thread, through the real module and the
// stand-in engine: the write hook returns at once, responses leave at a later
// poll (or by a direct HPC send), whole, once and in order.
#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>

#include "tests/support/TestSupport.h"
#include "tools/host/EngineHost.h"

using testing_support::AdminSetting;
using testing_support::ScopedTempFolder;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kCommand = "KstCmd1";

class InstrumentThreadTest : public ::testing::Test {
protected:
    void Load(bool hpc) {
        std::string error;
        ASSERT_TRUE(engine.LoadModule(ModulePath(), &error)) << error;
        engine.hpc = hpc;
        ASSERT_EQ(engine.Open(), 0);
        ASSERT_EQ(Run("Init|recording|"), "OK");  // from here on, the thread
    }
    static std::string ModulePath() {
        return testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE;
    }
    std::string Run(const std::string& command) {
        const auto sent = engine.Run(kCommand, command);
        return sent.size() == 1 ? sent[0].bytes : "(" + std::to_string(sent.size()) + " sent)";
    }
    // Waits, polling or not, until `count` responses have left.
    bool WaitForSent(std::size_t count, bool poll, int maxMs = 10000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
        while (engine.SentCount() < count && Clock::now() < deadline) {
            if (poll) (void)engine.Poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return engine.SentCount() >= count;
    }

    ScopedTempFolder temp;
    AdminSetting thread{"InstrumentThread", 1};
    host::EngineHost engine;
};

class SlowMeasureTest : public InstrumentThreadTest, public ::testing::WithParamInterface<bool> {};

// A Measure that takes 500 ms: the engine's thread is back at once.
TEST_P(SlowMeasureTest, TheWriteHookReturnsWhileTheInstrumentWorks) {
    const bool hpc = GetParam();
    Load(hpc);
    ASSERT_EQ(Run("SetOption|@fault|sleep:500|"), "OK|true");
    const std::size_t before = engine.SentCount();
    const auto start = Clock::now();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    // Far below the driver's 500 ms (a real instrument takes seconds); the
    // figure itself is in the README.
    EXPECT_LT(engine.lastHookMicroseconds, 250000.0);
    if (!hpc) EXPECT_EQ(engine.Poll(), 21) << "nothing is ready yet";
    ASSERT_TRUE(WaitForSent(before + 1, !hpc));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(450));
    const auto sent = engine.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|true");
    EXPECT_EQ(sent[0].hpc, hpc);
    EXPECT_EQ(engine.Poll(), 21) << "sent once";
}

INSTANTIATE_TEST_SUITE_P(QueuedAndHpc, SlowMeasureTest, ::testing::Bool());

TEST_F(InstrumentThreadTest, TwoCommandsBeforeTheFirstResponseGiveOnlyTheSecond) {
    Load(false);
    ASSERT_EQ(Run("SetOption|@fault|sleep:300|"), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));         // still being worked out...
    ASSERT_TRUE(engine.Deliver(kCommand, "GetSampleCount"));  // ...when this arrives
    ASSERT_TRUE(WaitForSent(before + 1, true));
    for (int i = 0; i < 50; ++i) {  // well past the Measure: nothing more leaves
        (void)engine.Poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const auto sent = engine.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|0");
}

TEST_F(InstrumentThreadTest, TenThousandCommandsWithRandomPollTiming) {
    Load(false);
    temp.Redirect(temp.Path() + "/no-log-here");  // the log's file calls would dominate
    const std::pair<const char*, const char*> mix[] = {
        {"Hello", "OK|Hello"},
        {"KestavClientDriverVersion", "1.6.0"},
        {"Connect", "OK|true"},
        {"GetSampleCount", "OK|0"},
        {"GetWavelengthValue|3|", "OK|0"},
        {"GetSpectralData|1|", "ERROR|Missing parameter"},
        {"Foo|1|", "ERROR|Unknown command \"Foo\""},
    };
    std::mt19937 random(13);
    for (int i = 0; i < 10000; ++i) {
        const auto& [command, response] = mix[random() % (sizeof mix / sizeof mix[0])];
        const std::size_t before = engine.SentCount();
        ASSERT_TRUE(engine.Deliver(kCommand, command));
        // Sometimes at once, sometimes after a pause; polls until it has left.
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (engine.SentCount() == before && Clock::now() < deadline) {
            if (random() % 2) std::this_thread::sleep_for(std::chrono::microseconds(random() % 300));
            ASSERT_NE(engine.Poll(), 30);
        }
        const auto sent = engine.SentSince(before);
        ASSERT_EQ(sent.size(), 1u) << i << " " << command;
        ASSERT_EQ(sent[0].bytes, response) << i;
        ASSERT_EQ(engine.Poll(), 21) << i << ": nothing twice";
    }
}

TEST_F(InstrumentThreadTest, UnloadDuringARunningCommand) {
    Load(false);
    ASSERT_EQ(Run("SetOption|@fault|sleep:2000|"), "OK|true");
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    ASSERT_TRUE(engine.Deliver(kCommand, "Connect"));  // queued behind it: dropped
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    engine.UnloadModule();  // the unload procedure, then the library is released
    // The thread finishes the Measure alone, releases the driver and the
    // module: nothing is left, and nothing crashed.
    const std::string recording = testing_support::DriverLibraryPath("Kestav", "recording");
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while ((testing_support::IsLibraryLoaded(ModulePath()) ||
            testing_support::IsLibraryLoaded(recording)) &&
           Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(testing_support::IsLibraryLoaded(ModulePath()));
    EXPECT_FALSE(testing_support::IsLibraryLoaded(recording));
    const std::string log = testing_support::ReadFile(temp.LogPath());
    EXPECT_NE(log.find("Virtual channel - Command dropped at close: \"Connect\""), std::string::npos);
}

TEST_F(InstrumentThreadTest, OffByTheSettingCommandsRunInsideTheWriteHook) {
    AdminSetting off("InstrumentThread", 0);
    Load(false);
    ASSERT_EQ(Run("SetOption|@fault|sleep:300|"), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    EXPECT_GE(engine.lastHookMicroseconds, 250000.0) << "the command ran inside the hook";
    EXPECT_EQ(engine.Poll(), 0) << "and its response is ready at the first poll";
    EXPECT_EQ(engine.SentSince(before).at(0).bytes, "OK|true");
}

}  // namespace
