// Commands on the instrument thread (on unless an administrator turns it
// off), through the real module and the stand-in engine: the write hook only
// queues, responses leave whole, once and in order at a later poll, the
// engine's procedures are called on the engine's thread only, and a session
// may end at any moment, mid-command, without a crash.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <chrono>
#include <filesystem>
#include <memory>
#include <random>
#include <thread>

#include "platform/HostProcess.h"
#include "tests/support/TestSupport.h"
#include "tests/support/EngineModules.h"
#include "tools/host/Engine.h"

using testing_support::AdminSetting;
using testing_support::ScopedTempFolder;
using testing_support::WaitUntil;
using Clock = std::chrono::steady_clock;

namespace {

const char* const kCommand = "KstCmd1";

std::string Hex(const void* pointer) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(pointer)));
    return text;
}

// A file whose appearance lets a gated driver call return, whichever process
// the driver runs in ("SetOption|@fault|wait:<file>|").
class Gate {
public:
    explicit Gate(const std::string& folder) : path_(folder + "/gate") {}
    ~Gate() { Open(); }
    std::string Arm() const { return "SetOption|@fault|wait:" + path_ + "|"; }
    void Open() {
        if (!open_.exchange(true)) testing_support::WriteFile(path_, "open");
    }
    bool IsOpen() const { return open_; }

private:
    std::string path_;
    std::atomic<bool> open_{false};
};

class InstrumentThreadTest : public ::testing::Test {
protected:
    // HPC is the Windows engine's; without it, the engine this module is
    // built for.
    void Load(bool hpc = false) {
        std::string error;
        engine.kind = hpc ? platform::CitrixEngine::Windows : platform::ThisCitrixEngine();
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(engine.kind), &error)) << error;
        engine.hpc = hpc;
        ASSERT_EQ(engine.Open(), 0);
        ASSERT_EQ(Run("Init|recording|"), "OK");
    }
    static std::string ModulePath() {
        return testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE;
    }
    static std::string Recording() {
        return testing_support::DriverLibraryPath("Kestav", "recording");
    }
    std::string Run(const std::string& command) {
        return testing_support::OneResponse(engine.Run(kCommand, command));
    }
    // Waits, polling or not, until `count` responses have left.
    bool WaitForSent(std::size_t count, bool poll, int maxMs = 20000) {
        const auto deadline = Clock::now() + std::chrono::milliseconds(maxMs);
        while (engine.SentCount() < count && Clock::now() < deadline) {
            if (poll) (void)engine.Poll();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return engine.SentCount() >= count;
    }
    bool Logged(const std::string& line) {
        const auto log = testing_support::ReadLogLines(temp.LogPath());
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    // Waits until the log has the line (a response kept on the thread).
    bool WaitForLogLine(const std::string& line) { return WaitUntil([&] { return Logged(line); }); }

    ScopedTempFolder temp;
    Gate gate{temp.Path()};
    standin::Engine engine;
};

class QueuedAndHpcTest : public InstrumentThreadTest, public ::testing::WithParamInterface<bool> {};

// With no setting at all the thread is on: the hook returns while the
// instrument is still measuring, and the response leaves at a later poll,
// by the HPC send procedure when HPC is offered, never inside the hook.
TEST_P(QueuedAndHpcTest, OnByDefaultTheWriteHookReturnsWhileTheInstrumentWorks) {
    const bool hpc = GetParam();
    Load(hpc);
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));  // blocked in the driver until the gate opens
    EXPECT_EQ(engine.SentCount(), before) << "nothing left inside the hook";
    EXPECT_EQ(engine.Poll(), 21) << "nothing is ready yet";
    gate.Open();
    ASSERT_TRUE(WaitForSent(before + 1, true));
    const auto sent = engine.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|true");
    EXPECT_EQ(sent[0].hpc, hpc);
    EXPECT_EQ(engine.Poll(), 21) << "sent once";
    EXPECT_EQ(engine.offThreadSends, 0);
    if (hpc) {
        ASSERT_EQ(engine.hpcProperties.size(), 1u);
        EXPECT_EQ(engine.hpcProperties[0].options, 0u) << "polling stays on";
        EXPECT_TRUE(Logged("WdSet_HPC_Properties Version=1 ulVdOptions=0 g_pWd=" + Hex(&engine)));
    }
    EXPECT_TRUE(Logged("Instrument thread: on"));
}

INSTANTIATE_TEST_SUITE_P(QueuedAndHpc, QueuedAndHpcTest, ::testing::Bool());

TEST_F(InstrumentThreadTest, OffByTheSettingEverythingIsAsInsideTheHook) {
    AdminSetting off("InstrumentThread", 0);
    Load(true);
    ASSERT_EQ(engine.hpcProperties.size(), 1u);
    EXPECT_EQ(engine.hpcProperties[0].options, 1u) << "no polling needed";
    EXPECT_TRUE(Logged("Instrument thread: off"));
    ASSERT_EQ(Run("SetOption|@fault|sleep:300|"), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    EXPECT_GE(engine.lastHookMicroseconds, 300000.0) << "the command ran inside the hook";
    ASSERT_EQ(engine.SentCount(), before + 1) << "and was sent from there";
    EXPECT_EQ(engine.SentSince(before).at(0).bytes, "OK|true");
}

// The engine's procedures are called on the engine's thread alone, whatever
// the road: a whole session, queued and with HPC, thread on and off.
TEST_F(InstrumentThreadTest, EngineProceduresOnlyOnTheEnginesThread) {
    std::vector<std::pair<platform::CitrixEngine, bool>> roads;
    for (const platform::CitrixEngine kind : testing_support::EnginesHere()) {
        roads.push_back({kind, false});
        if (kind == platform::CitrixEngine::Windows) roads.push_back({kind, true});
    }
    for (const auto& [kind, hpc] : roads) {
        for (const int thread : {1, 0}) {
            AdminSetting setting("InstrumentThread", thread);
            standin::Engine session(kind);
            std::string error;
            ASSERT_TRUE(session.LoadModule(testing_support::IcaModuleFor(kind), &error)) << error;
            session.hpc = hpc;
            ASSERT_EQ(session.Open(), 0);
            for (const char* command :
                 {"Hello", "Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                  "CalibrateStep|Black|", "Measure", "GetSpectralDataAll|0|", "Foo", "Disconnect"})
                ASSERT_EQ(session.Run(kCommand, command).size(), 1u) << command;
            session.RefuseSends(2, 1016);
            EXPECT_EQ(session.Run(kCommand, "GetSerialNumber").at(0).bytes, "OK|KSIM-000417");
            EXPECT_GE(session.sendAttempts, 13);
            EXPECT_EQ(session.offThreadSends, 0)
                << testing_support::EngineName(kind) << ", HPC " << hpc << ", thread " << thread;
        }
    }
}

// Only the newest command is answered: a slow first command and a newer one
// queued behind it give exactly one response, the newer one's.
TEST_F(InstrumentThreadTest, ASupersededResponseIsNeverSent) {
    Load();
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));         // still being worked out...
    ASSERT_TRUE(engine.Deliver(kCommand, "GetSampleCount"));  // ...when this arrives
    EXPECT_EQ(engine.Poll(), 21);
    gate.Open();
    ASSERT_TRUE(WaitForSent(before + 1, true));
    // The Measure ran first, so it is done by now: nothing more can leave.
    EXPECT_EQ(engine.Poll(), 21);
    const auto sent = engine.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|0");
}

// A response that is ready but not sent yet when the next command arrives is
// dropped: the poll has nothing to send until the new one is ready.
TEST_F(InstrumentThreadTest, AFinishedButUnsentResponseIsDroppedByTheNextCommand) {
    Load();
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    const std::size_t before = engine.SentCount();
    ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));
    ASSERT_TRUE(WaitForLogLine("Virtual channel - Pending respone <-- \"OK|Hello\""));
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    EXPECT_EQ(engine.Poll(), 21) << "Hello's response is gone, Measure's not ready";
    EXPECT_EQ(engine.SentCount(), before);
    gate.Open();
    ASSERT_TRUE(WaitForSent(before + 1, true));
    const auto sent = engine.SentSince(before);
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|true");
}

TEST_F(InstrumentThreadTest, TenThousandCommandsWithRandomPollTiming) {
    Load();
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
    EXPECT_EQ(engine.offThreadSends, 0);
}

// The unload procedure while a command runs: the instrument library stays
// loaded until the command has returned, and then goes, with the module.
TEST_F(InstrumentThreadTest, AfterAnUnloadTheDriverStaysUntilTheRunningCommandReturns) {
    AdminSetting inProcess("IsolateDriver", 0);  // the host's side: SessionEndTest
    Load();
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    ASSERT_TRUE(WaitForLogLine("Command Measure ()"));  // in the driver now
    ASSERT_TRUE(engine.Deliver(kCommand, "Connect"));  // queued behind it: dropped
    // The gate opens a while later.
    std::thread opener([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(2500));
        gate.Open();
    });
    engine.UnloadModule();  // the unload procedure, then the library is released
    if (!gate.IsOpen()) {
        EXPECT_TRUE(testing_support::IsLibraryLoaded(Recording())) << "released under the call";
        EXPECT_TRUE(testing_support::IsLibraryLoaded(ModulePath()));
    }
    opener.join();
    EXPECT_TRUE(WaitUntil([] {
        return !testing_support::IsLibraryLoaded(ModulePath()) &&
               !testing_support::IsLibraryLoaded(Recording());
    }));
    const std::string log = testing_support::ReadFile(temp.LogPath());
    EXPECT_NE(log.find("Virtual channel - Command dropped at close: \"Connect\""), std::string::npos);
}

class SessionEndTest : public InstrumentThreadTest, public ::testing::WithParamInterface<bool> {};

// The session ends during a slow command: the engine's close, then its
// unload. The close never waits for the driver: a driver host the call waits
// on is ended (the call returns at once); a driver in-process is released,
// with the module, only after the call has returned; nothing runs in
// unloaded code. The process lives on, and a new session works.
TEST_P(SessionEndTest, CloseThenUnloadWhileACommandRuns) {
    const bool isolated = GetParam();
    if (isolated && !platform::kDriverHostAvailable) GTEST_SKIP() << "no driver host here";
    AdminSetting isolate("IsolateDriver", isolated ? 1 : 0);
    Load();
    // (A driver of the other bitness runs in the driver host either way.)
    const auto pids = testing_support::LoggedHostPids(temp.LogPath());
    const bool hosted = !pids.empty();
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    ASSERT_TRUE(WaitForLogLine("Command Measure ()"));  // in the driver now
    // A driver in-process is let go a while later; one in a host never is.
    std::thread opener([this, hosted] {
        if (hosted) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        gate.Open();
    });
    const auto started = Clock::now();
    EXPECT_EQ(engine.Close(), 0);
    if (hosted) {
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(10)) << "the close waited for the driver";
        EXPECT_TRUE(WaitUntil([&] { return !testing_support::ProcessIsRunning(pids[0]); }));
        EXPECT_TRUE(Logged("Driver host (pid " + std::to_string(pids[0]) +
                           ") ended during a call: the session is closing"));
        EXPECT_TRUE(Logged("Virtual channel - A command still ran after 1000 ms: its driver host was ended"));
    }
    engine.UnloadModule();
    if (!gate.IsOpen() && !hosted) {
        // Two stops have given up waiting; the call still runs.
        EXPECT_TRUE(testing_support::IsLibraryLoaded(ModulePath()));
        EXPECT_TRUE(testing_support::IsLibraryLoaded(Recording()));
    }
    opener.join();
    EXPECT_TRUE(WaitUntil([] {
        return !testing_support::IsLibraryLoaded(ModulePath()) &&
               !testing_support::IsLibraryLoaded(Recording());
    }));
    standin::Engine again;
    std::string error;
    ASSERT_TRUE(again.LoadModule(ModulePath(), &error)) << error;
    ASSERT_EQ(again.Open(), 0);
    EXPECT_EQ(again.Run(kCommand, "Init|recording|").at(0).bytes, "OK");
    EXPECT_EQ(again.Run(kCommand, "Measure").at(0).bytes, "OK|true");
}

INSTANTIATE_TEST_SUITE_P(InProcessAndHosted, SessionEndTest, ::testing::Bool());

// The engine closes the driver during a command and opens it again (a
// reconnect): the command finishes, and Init works in the new session.
TEST_F(InstrumentThreadTest, CloseDuringACommandThenANewSession) {
    Load();
    ASSERT_EQ(Run(gate.Arm()), "OK|true");
    ASSERT_TRUE(engine.Deliver(kCommand, "Measure"));
    ASSERT_TRUE(WaitForLogLine("Command Measure ()"));  // in the driver now
    std::thread opener([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        gate.Open();
    });
    EXPECT_EQ(engine.Close(), 0);
    opener.join();
    ASSERT_EQ(engine.Open(), 0);
    EXPECT_EQ(Run("Init|recording|"), "OK");
    EXPECT_EQ(Run("Measure"), "OK|true");
}

}  // namespace
