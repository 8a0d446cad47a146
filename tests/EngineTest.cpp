// The real module, loaded by path and driven through the stand-in engine
// exactly as the ICA client engine drives it, with commands run inside the
// write hook (InstrumentThread=0): the road whose every step and log line is
// fixed. The instrument thread, on by default, has tests of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <tuple>
#include <cstring>
#include <regex>

#include "platform/File.h"
#include "platform/HostProcess.h"
#include "platform/Library.h"
#include "tests/support/EngineModules.h"
#include "tests/support/TestSupport.h"
#include "tools/host/Engine.h"

using standin::Engine;
using standin::InformationCall;
using testing_support::ReadLines;
using testing_support::ScopedTempFolder;
using namespace ica;
using namespace std::string_literals;

namespace {

// The Windows engine's road (the Linux engine's: LinuxEngineTest.cpp).
constexpr platform::CitrixEngine kWindows = platform::CitrixEngine::Windows;
std::string WindowsModule() { return testing_support::IcaModuleFor(kWindows); }

const char* const kCommand = "KstCmd1";
const char* const kData = "KstDta1";

class EngineTest : public ::testing::Test {
protected:
    // The engine the stand-in plays and the module built for it.
    virtual platform::CitrixEngine Kind() const { return kWindows; }
    void SetUp() override {
        engine.kind = Kind();
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(Kind()), &error)) << error;
    }
    void Open() { ASSERT_EQ(engine.Open(), 0); }
    // Log lines without the time prefix of timestamped lines.
    std::vector<std::string> Log() {
        return testing_support::ReadLogLines(temp.LogPath());
    }
    bool Logged(const std::string& line) {
        const auto log = Log();
        return std::find(log.begin(), log.end(), line) != log.end();
    }
    std::vector<std::string> Sent() {
        std::vector<std::string> texts;
        for (const auto& s : engine.sent) texts.push_back(s.bytes);
        return texts;
    }

    ScopedTempFolder temp;  // before the module loads, so its whole log lands here
    testing_support::AdminSetting insideTheHook{"InstrumentThread", 0};  // read at each open
    Engine engine{kWindows};
};

// What every engine's road has alike, on each engine here.
class EveryEngineTest : public EngineTest,
                        public ::testing::WithParamInterface<platform::CitrixEngine> {
protected:
    platform::CitrixEngine Kind() const override { return GetParam(); }
};

TEST_F(EngineTest, LoadHandsOverTheTableAndUnloadTakesItBack) {
    EXPECT_EQ(engine.engineLink.procedureCount, 8);
    ASSERT_NE(engine.engineLink.procedures, nullptr);
    ASSERT_NE(engine.engineLink.data, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_NE(engine.engineLink.procedures[i], nullptr) << i;
    EXPECT_EQ(engine.UnloadProcedure(), 0);
    EXPECT_EQ(engine.engineLink.procedureCount, 0);
    EXPECT_EQ(engine.engineLink.procedures, nullptr);
    EXPECT_EQ(engine.engineLink.data, nullptr);
}

TEST_F(EngineTest, TheFirstLineOfTheLoadStartsAFreshLog) {
    const auto log = Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(std::regex_match(log[0], std::regex(R"(VirtualChannelICA \(.+ - .+\))"))) << log[0];
    engine.UnloadModule();
    EXPECT_EQ(Log().back(), "~VirtualChannelICA");
}

TEST_F(EngineTest, OpenLinksTheEngineLibrariesAndRegistersBothChannels) {
    Open();
    EXPECT_EQ(engine.linkedLibraries,
              (std::vector<std::string>{"CTXMEM", "CTXMODULE", "CTXCLIB", "CTXMOUSE", "CTXTMR",
                                        "CTXLOG", "CTXMEMINI", "CTXKBD", "CTXOS", "CTXWND",
                                        "CTXENG", "VP.LIB.SUBLST", "CTXFILE", "CTXPATH",
                                        "CTXGRAPH", "CTXSCA", "CTXMMA"}));
    const std::uint16_t open = sizeof(OpenChannelRecord), hook = sizeof(WriteHookRecord),
                        version = sizeof(VersionCheckRecord);
    const std::vector<std::tuple<int, int, int>> expected = {
        {6, 33, open}, {7, 10, hook}, {6, 33, open}, {7, 10, hook}, {6, 86, version}};
    std::vector<std::tuple<int, int, int>> calls;
    for (const InformationCall& c : engine.informationCalls)
        calls.emplace_back(c.entry, c.informationClass, c.length);
    EXPECT_EQ(calls, expected);  // no HPC: no class-92 call
    EXPECT_EQ(engine.openSize, sizeof(OpenRecord));
    EXPECT_EQ(engine.DriverRecord()->channelMask, engine.openChannelMask);
    EXPECT_EQ(engine.DriverRecord()->privateData, nullptr);
    EXPECT_EQ(engine.hooks.size(), 2u);
    for (const auto& hook : engine.hooks) EXPECT_EQ(hook.second.moduleData, engine.DriverRecord());

    // The open's transcript, line for line (support and administrators'
    // scripts read it); a row ending in * is a line's beginning (a pointer,
    // or where this platform keeps the setting).
    const std::string cmd = std::to_string(engine.channelNumbers[kCommand]);
    const std::string data = std::to_string(engine.channelNumbers[kData]);
    const std::string hooked = "Registering write hook for channel number=";
    const std::vector<std::string> transcript = {
        "ICA: Driver Open", "Setting InstrumentThread = 0 (*", "Instrument thread: off", "ICA: Open command channel",
        "ICA: Open channel \"KstCmd1\"", hooked + cmd + " vdwh.pVdData=0x*", "Command Channel successfully registered",
        "ICA: Open data channel", "ICA: Open channel \"KstDta1\"", hooked + data + " vdwh.pVdData=0x*",
        "Check WinStationDriver version", "HPC: 0", "Data Channel successfully registered (Channel nr: " + data + ")"};
    auto log = Log();
    log.erase(log.begin(), std::find(log.begin(), log.end(), transcript[0]));
    ASSERT_EQ(log.size(), transcript.size()) << ::testing::PrintToString(log);
    for (std::size_t i = 0; i < log.size(); ++i) {
        const std::string& want = transcript[i];
        if (want.back() == '*')
            EXPECT_EQ(log[i].rfind(want.substr(0, want.size() - 1), 0), 0u) << log[i];
        else
            EXPECT_EQ(log[i], want);
    }
}

TEST_F(EngineTest, HpcSendsInsideTheWriteHook) {
    engine.hpc = true;
    Open();
    ASSERT_EQ(engine.hpcProperties.size(), 1u);
    EXPECT_EQ(engine.hpcProperties[0].wdData, &engine);
    EXPECT_EQ(engine.hpcProperties[0].options, 1u);
    EXPECT_EQ(engine.hpcProperties[0].version, 1);
    EXPECT_EQ(engine.informationCalls.back().informationClass, 92u);
    EXPECT_EQ(engine.informationCalls.back().length, sizeof(HpcPropertiesRecord));
    EXPECT_TRUE(Logged("HPC: 1"));

    ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));
    ASSERT_EQ(engine.sent.size(), 1u) << "sent before any poll";
    EXPECT_TRUE(engine.sent[0].hpc);
    EXPECT_EQ(engine.sent[0].bytes, "OK|Hello");
    EXPECT_EQ(engine.Poll(), 21);
    EXPECT_TRUE(Logged("Is HPC --> Send data direct"));

    // A direct send that fails is kept for the next poll.
    engine.RefuseSends(1, 1016);
    ASSERT_TRUE(engine.Deliver(kData, "Foo"));
    EXPECT_EQ(engine.sent.size(), 1u);
    EXPECT_EQ(engine.Poll(), 0);
    EXPECT_EQ(Sent().back(), "ERROR|Unknown command \"Foo\"");
}

TEST_F(EngineTest, WdWithoutProcedureTable) {
    engine.wdHasProcedureTable = false;
    EXPECT_EQ(engine.Open(), 1011);
    EXPECT_EQ(engine.DriverRecord()->channelMask, engine.openChannelMask) << "copied all the same";
    EXPECT_EQ(engine.openSize, sizeof(OpenRecord));
    EXPECT_TRUE(Logged("Could not open channel \"KstCmd1\", Result: 1011"));
    EXPECT_FALSE(Logged("ICA: Open data channel"));
    EXPECT_EQ(engine.Poll(), 21);
}

TEST_F(EngineTest, OpenFailuresReturnTheWdStatus) {
    struct Case {
        std::uint32_t failingClass;
        bool hpc;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {33, false, {"Could not open channel \"KstCmd1\", Result: 7"}},
        {10, false, {"Could not register write hook for channel number=11 result=7"}},
        {86, false, {"Error checking the WinStationDriver! channel number=12 result=7",
                     "ICA: Driver GetLastError", "Last error: \"\""}},
        {92, true, {"WdSet_HPC_Properties failed, Result=7"}},
    };
    for (const Case& c : cases) {
        Engine failing{kWindows};
        std::string error;
        ASSERT_TRUE(failing.LoadModule(WindowsModule(), &error));
        failing.failClass[c.failingClass] = 7;
        failing.hpc = c.hpc;
        EXPECT_EQ(failing.Open(), 7) << c.failingClass;
        for (const std::string& line : c.lines) EXPECT_TRUE(Logged(line)) << line;
        // The data channel was never recorded: a response cannot be sent, and stays.
        if (failing.hooks.count(11) == 1) {
            failing.Deliver(kCommand, "Hello");
            EXPECT_NE(failing.Poll(), 0);
            EXPECT_NE(failing.Poll(), 21);
            EXPECT_TRUE(failing.sent.empty());
        }
    }
}

TEST_F(EngineTest, QueryInformationLastErrorNeeds292Bytes) {
    Open();
    std::vector<unsigned char> buffer(400, 0xA5);
    std::uint32_t returned = 77;
    EXPECT_EQ(engine.QueryInformation(0, buffer.data(), 291, &returned), 1004);
    EXPECT_EQ(returned, 77u);
    EXPECT_EQ(engine.QueryInformation(0, buffer.data(), 292, &returned), 0);
    EXPECT_EQ(returned, 292u);
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](unsigned char b) { return b == 0xA5; }));
    EXPECT_EQ(engine.QueryInformation(5, buffer.data(), 4, &returned), 0);
    EXPECT_EQ(Log().back(), "ICA: Driver Query Information");
    EXPECT_EQ(engine.SetInformation(), 0);
    EXPECT_EQ(Log().back(), "ICA: Driver Set Information");
}

TEST_F(EngineTest, DriverInfoFillsTheModuleRecord) {
    Open();
    std::uint8_t buffer[64];
    std::memset(buffer, 0xEE, sizeof buffer);
    std::uint16_t count = 47;
    EXPECT_EQ(engine.Info(buffer, &count), 1004);
    EXPECT_EQ(count, 48);
    EXPECT_EQ(buffer[0], 0xEE);
    EXPECT_TRUE(Logged("ICA: Driver Info - Buffer too small (Buffer: 47, Info: 48) (Channel mask: " +
                       std::to_string(engine.openChannelMask) + ")"));

    std::memcpy(buffer + 6, "KESTAVDRIVERX", 13);  // 13 characters, no NUL
    count = 48;
    EXPECT_EQ(engine.Info(buffer, &count), 0);
    EXPECT_EQ(count, 48);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 48);
    EXPECT_EQ(buffer[2], 0xEE);
    EXPECT_EQ(buffer[3], 3);
    EXPECT_EQ(buffer[4], 1);
    EXPECT_EQ(buffer[5], 1);
    EXPECT_STREQ(reinterpret_cast<char*>(buffer + 19), "ICA");
    EXPECT_EQ(buffer[28], 0xEE);
    EXPECT_EQ(buffer[40], 0);
    EXPECT_EQ(buffer[41], 0);
    EXPECT_EQ(buffer[42], 0xEE);
    EXPECT_EQ(buffer[48], 0xEE);
    EXPECT_TRUE(Logged("ICA: Driver Info - (Module name: KESTAVDRIVERX) Buffer OK (48)"));
}

TEST_P(EveryEngineTest, RefusedSendsStayPending) {
    Open();
    EXPECT_EQ(engine.Poll(), 21);
    const std::size_t lines = Log().size();
    EXPECT_EQ(engine.Poll(), 21);
    EXPECT_EQ(Log().size(), lines) << "an idle poll writes nothing";

    struct Case {
        EngineStatus refused;
        EngineStatus pollStatus;
    };
    for (const Case& c : {Case{1016, 30}, Case{5, 5}, Case{-1, -1}}) {
        engine.sent.clear();
        engine.RefuseSends(1, c.refused);
        ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));
        EXPECT_EQ(engine.Poll(), c.pollStatus);
        EXPECT_TRUE(Logged("Error sending response (Error: " + std::to_string(c.refused) + ")"));
        EXPECT_EQ(engine.Poll(), 0);
        EXPECT_EQ(Sent(), (std::vector<std::string>{"OK|Hello"}));
        EXPECT_EQ(Log().back(), "Clear response buffer");
    }
    // Ten refusals in a row, then the engine takes it: one response, intact.
    engine.sent.clear();
    engine.RefuseSends(10, 1016);
    ASSERT_TRUE(engine.Deliver(kCommand, "KestavClientDriverVersion"));
    for (int i = 0; i < 10; ++i) EXPECT_EQ(engine.Poll(), 30);
    EXPECT_EQ(engine.Poll(), 0);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"1.6.0"}));
}

TEST_P(EveryEngineTest, OnlyTheNewestResponseLeaves) {
    Open();
    ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));
    ASSERT_TRUE(engine.Deliver(kData, "KestavClientDriverVersion"));
    EXPECT_EQ(engine.Poll(), 0);
    EXPECT_EQ(engine.Poll(), 21);
    EXPECT_EQ(Sent(), (std::vector<std::string>{"1.6.0"}));
    EXPECT_TRUE(Logged("Response sent (\"1.6.0\")"));
}

TEST_P(EveryEngineTest, EveryResponseLeavesOnTheDataChannel) {
    Open();
    const std::string nul("Hel\0lo", 6);
    for (const std::string& command : {std::string(), std::string("Hello"), nul}) {
        for (const char* channel : {kCommand, kData}) {
            engine.sent.clear();
            const auto sent = engine.Run(channel, command);
            ASSERT_EQ(sent.size(), 1u);
            EXPECT_EQ(sent[0].channel, engine.channelNumbers[kData]);
            EXPECT_FALSE(sent[0].hpc);
        }
    }
    EXPECT_EQ(Sent().back(), "ERROR|Unknown command \"Hel\0lo\""s);
    EXPECT_TRUE(Logged("Data (channel: " + std::to_string(engine.channelNumbers[kData]) +
                       ", size: 0): \"\""));
    EXPECT_TRUE(Logged("Response: \"ERROR|Unknown command \"\"\""));
}

TEST_P(EveryEngineTest, CloseOnlyLogs) {
    Open();
    EXPECT_EQ(engine.Close(), 0);
    EXPECT_EQ(Log().back(), "ICA: Driver Close");
    const auto sent = engine.Run(kCommand, "Hello");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, "OK|Hello");
}

TEST_F(EngineTest, TheUnloadProcedureReleasesTheInstrumentDriver) {
    testing_support::AdminSetting inProcess("IsolateDriver", 0);
    Open();
    const std::string sim = testing_support::DriverLibraryPath("Kestav", "sim");
    ASSERT_FALSE(testing_support::IsLibraryLoaded(sim));
    ASSERT_EQ(engine.Run(kCommand, "Init|sim|").at(0).bytes, "OK");
    EXPECT_TRUE(testing_support::IsLibraryLoaded(sim));
    EXPECT_EQ(engine.UnloadProcedure(), 0);
    EXPECT_FALSE(testing_support::IsLibraryLoaded(sim));
}

TEST_P(EveryEngineTest, AnExceptionOfAnyTypeAnswersItsOwnCommand) {
    if (!testing_support::kExceptionsCrossLibraries)
        GTEST_SKIP() << "a driver's exception cannot reach the module on this platform";
    Open();
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    ASSERT_EQ(engine.Run(kCommand, "Init|recording|").at(0).bytes, "OK");
    ASSERT_TRUE(engine.Deliver(kCommand, "Hello"));  // pending, not sent yet
    recording.ThrowNext();
    ASSERT_TRUE(engine.Deliver(kCommand, "Connect"));
    EXPECT_EQ(engine.Poll(), 0);
    EXPECT_EQ(Sent().back(), "ERROR|Error executing command \"Connect\" (unknown exception)");
    EXPECT_EQ(engine.Run(kCommand, "Connect").at(0).bytes, "OK|true");
}

// A queued write is taken whole or refused whole, and one byte of the
// engine's maximum is the channel number's; a refusal returned from the poll
// would end the session. Responses that do not fit are never offered.
TEST_P(EveryEngineTest, ResponsesLongerThanTheEnginesWritesOnTheQueuedPath) {
    struct Case {
        std::uint16_t maximumWrite;
        std::size_t responseSize;  // "OK|" and the driver's text
        bool whole;
    };
    const Case cases[] = {
        {5000, 4999, true}, {5000, 5000, false}, {5000, 65535, false},
        {100, 99, true},    {100, 100, false},   {0, 70000, true},  // 0: the engine gave none
    };
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    for (const Case& c : cases) {
        Engine engine{Kind()};
        std::string error;
        ASSERT_TRUE(engine.LoadModule(testing_support::IcaModuleFor(Kind()), &error));
        engine.maximumWrite = c.maximumWrite;
        ASSERT_EQ(engine.Open(), 0);
        ASSERT_EQ(engine.Run(kCommand, "Init|recording|").at(0).bytes, "OK");
        const std::string text(c.responseSize - 3, 'r');
        recording.SetText(text.c_str());
        const auto sent = engine.Run(kCommand, "Execute|dump|");
        ASSERT_EQ(sent.size(), 1u) << c.responseSize;
        EXPECT_EQ(sent[0].bytes, c.whole ? "OK|" + text : "ERROR|Response too long") << c.responseSize;
        EXPECT_TRUE(engine.refusedWriteSizes.empty()) << "nothing too long was offered";
        const std::string why = "  Response of " + std::to_string(c.responseSize) +
                                " bytes is too long for the engine's writes of at most " +
                                std::to_string(c.maximumWrite - 1) +
                                " bytes, sending \"ERROR|Response too long\" instead";
        EXPECT_EQ(Logged(why), !c.whole) << why;
        EXPECT_EQ(engine.Run(kCommand, "Hello").at(0).bytes, "OK|Hello");
        engine.UnloadModule();
    }
    recording.SetText("");
}

TEST_F(EngineTest, TheStandInEngineRefusesWritesLongerThanItsMaximum) {
    // What an engine does with a write it cannot take: refused whole, and the
    // poll passes the refusal on. The module above never lets it come to this.
    engine.maximumWrite = 10;
    Open();
    ica::MemorySection section{10, reinterpret_cast<std::uint8_t*>(const_cast<char*>("0123456789"))};
    EXPECT_EQ(Engine::QueueVirtualWrite(&engine, 12, &section, 1, 0),
              Engine::kStatusWriteTooLarge);
    EXPECT_EQ(engine.refusedWriteSizes, std::vector<std::size_t>{10});
    section.length = 9;
    EXPECT_EQ(Engine::QueueVirtualWrite(&engine, 12, &section, 1, 0), 0);
    EXPECT_EQ(Sent(), std::vector<std::string>{"012345678"});
}

TEST_F(EngineTest, OverlongResponsesOnTheHpcPath) {
    engine.hpc = true;
    Open();
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    ASSERT_EQ(engine.Run(kCommand, "Init|recording|").at(0).bytes, "OK");
    const std::string big(65535 - 3, 'y');  // "OK|" + text: exactly the 16-bit limit
    recording.SetText(big.c_str());
    EXPECT_EQ(engine.Run(kCommand, "Execute|x|").at(0).bytes, "OK|" + big);
    recording.SetText((big + "z").c_str());
    EXPECT_EQ(engine.Run(kCommand, "Execute|x|").at(0).bytes, "ERROR|Response too long");
    EXPECT_EQ(engine.Run(kCommand, "Hello").at(0).bytes, "OK|Hello");
    recording.SetText("");
}

INSTANTIATE_TEST_SUITE_P(Engines, EveryEngineTest, ::testing::ValuesIn(testing_support::EnginesHere()),
                         [](const auto& info) { return testing_support::EngineName(info.param); });

}  // namespace

namespace {

// The real module with each build of the recording driver (cdecl; stdcall
// with plain or decorated names), in-process and in the driver host: the same
// responses, and the same arguments reach the driver. The driver is steered
// through commands, so that this holds wherever it runs.
class DriverBuildTest : public EngineTest,
                        public ::testing::WithParamInterface<std::tuple<const char*, bool>> {};

TEST_P(DriverBuildTest, EveryBuildAnswersAlike) {
    const std::string driver = std::get<0>(GetParam());
    testing_support::AdminSetting isolate("IsolateDriver", std::get<1>(GetParam()) ? 1 : 0);
    Open();
    ASSERT_EQ(engine.Run(kCommand, "Init|" + driver + "|").at(0).bytes, "OK");
    std::string spectrum = "OK|0.25";
    for (int i = 1; i < 31; ++i) spectrum += ";0.25";
    const std::pair<std::string, std::string> session[] = {
        {"SetOption|@real|0.25|", "OK|true"},
        {"SetOption|@int|-7|", "OK|true"},
        {"SetOption|@text|a&vert;b|", "OK|true"},
        {"Connect", "OK|true"},
        {"SetLanguage|1033|", "OK|true"},
        {"GetWavelengthValue|30|", "OK|-7"},
        {"GetSpectralData|2|30|", "OK|0.25"},
        {"GetSampleData|-1|2147483647|", "OK|0.25"},
        {"GetSpectralDataAll|5|", spectrum},
        {"GetAngleValue|1|", "OK|a|b"},
        {"CalibrateStep|White|", "OK|true"},
        {"SetCurrentSample|3|", "OK|true"},
        {"GetOption|Filter|", "OK|a&vert;b"},
        {"SetOption|Filter|M2&vert;UV cut|", "OK|true"},
        {"Execute|STATUS|", "OK|a|b"},
        {"GetLastErrorCode", "OK|-7"},
    };
    for (const auto& [command, response] : session)
        EXPECT_EQ(engine.Run(kCommand, command).at(0).bytes, response) << command;
    std::string spectralCalls;
    for (int i = 0; i < 31; ++i) spectralCalls += "GetSpectralData(5," + std::to_string(i) + ")\n";
    EXPECT_EQ(engine.Run(kCommand, "Execute|@calls|").at(0).bytes,
              "OK|Connect()\nSetLanguage(1033)\nGetWavelengthValue(30)\nGetSpectralData(2,30)\n"
              "GetSampleData(-1,2147483647)\n" + spectralCalls +
              "GetAngleValue(1)\nCalibrateStep(\"White\")\n"
              "SetCurrentSample(3)\nGetOption(\"Filter\")\nSetOption(\"Filter\",\"M2|UV cut\")\n"
              "Execute(\"STATUS\")\nGetLastErrorCode()\n");
    bool hosted = false;
    for (const std::string& line : Log()) hosted |= line.rfind("Driver host started (pid ", 0) == 0;
    // Isolated, it runs in the host; otherwise that depends on its bitness.
    if (std::get<1>(GetParam())) {
        EXPECT_EQ(hosted, platform::kDriverHostAvailable);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Builds, DriverBuildTest,
    ::testing::Combine(::testing::Values("recording", "recording-stdcall", "recording-decorated"),
                       ::testing::Bool()));

}  // namespace
