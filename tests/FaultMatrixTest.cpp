// Faults around the module (log, temporary folder, instrument driver, engine)
// against the real module through the stand-in engine: every response is the
// one a healthy machine gives, nothing is lost, and the next command works.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>

#include "tests/support/TestSupport.h"
#include "tests/support/EngineModules.h"
#include "tools/host/Engine.h"

using testing_support::ScopedTempFolder;

namespace {

const std::vector<std::string> kSession = {
    "Hello", "KestavClientDriverVersion", "Init|sim|", "Connect", "Calibrate",
    "CalibrateStep|White|", "CalibrateStep|Black|", "Measure", "GetSpectralDataAll|0|",
    "GetOption|Filter|", "Foo|1|", "", "Disconnect"};

std::string ModulePath() { return testing_support::ExecutableFolder() + "/" + KST_MODULE_FILE; }

// An engine the session runs with: the Windows engine with queued writes or
// HPC, the Linux engine where there is a module for it.
struct EngineRoad {
    platform::CitrixEngine kind;
    bool hpc;
};
std::vector<EngineRoad> EngineRoads() {
    std::vector<EngineRoad> roads;
    for (const platform::CitrixEngine kind : testing_support::EnginesHere()) {
        roads.push_back({kind, false});
        if (kind == platform::CitrixEngine::Windows) roads.push_back({kind, true});
    }
    return roads;
}

// Runs the session on a freshly loaded module; every command's responses.
std::vector<std::string> RunSession(EngineRoad road) {
    standin::Engine engine(road.kind);
    engine.hpc = road.hpc;
    std::string error;
    if (!engine.LoadModule(testing_support::IcaModuleFor(road.kind), &error) || engine.Open() != 0)
        return {"cannot open"};
    std::vector<std::string> responses;
    for (const std::string& command : kSession) {
        std::string response;
        for (const auto& sent : engine.Run("KstCmd1", command)) response += sent.bytes + "\n";
        responses.push_back(response);
    }
    return responses;
}

// A fault in the module's surroundings: set up before the module loads (so its
// very first log line meets it), taken away afterwards.
struct EnvironmentFault {
    const char* name;
    // Returns what undoes the fault, or null when this platform cannot make it.
    std::function<std::function<void()>(ScopedTempFolder&)> apply;
};

const EnvironmentFault kEnvironmentFaults[] = {
    {"log folder missing",
     [](ScopedTempFolder& temp) -> std::function<void()> {
         temp.Redirect(temp.Path() + "/no-such-folder");
         return [&temp] { temp.Redirect(temp.Path()); };
     }},
    {"log path is a folder",
     [](ScopedTempFolder& temp) -> std::function<void()> {
         const std::string log = temp.LogPath();
         std::filesystem::remove(log);
         std::filesystem::create_directory(log);
         return [log] { std::filesystem::remove(log); };
     }},
    {"log file read-only",
     [](ScopedTempFolder& temp) -> std::function<void()> {
         const std::string log = temp.LogPath();
         testing_support::WriteFile(log, "");
         if (!testing_support::MakeReadOnly(log)) return nullptr;
         return [log] { testing_support::MakeWritable(log); };
     }},
    {"log file held exclusively",
     [](ScopedTempFolder& temp) -> std::function<void()> {
         auto hold = std::make_shared<testing_support::ExclusiveHold>(temp.LogPath());
         if (!hold->Held()) return nullptr;
         return [hold] { hold->Release(); };
     }},
    {"temporary folder too long for the query (c: fallback)",
     [](ScopedTempFolder& temp) -> std::function<void()> {
         temp.Redirect(temp.Path() + "/" + std::string(300, 'x'));
         return [&temp] { temp.Redirect(temp.Path()); };
     }},
};

class EnvironmentFaultTest : public ::testing::TestWithParam<int> {};

TEST_P(EnvironmentFaultTest, ResponsesAreThoseOfAHealthyMachine) {
    const EnvironmentFault& fault = kEnvironmentFaults[GetParam()];
    ScopedTempFolder temp;
    for (const EngineRoad& road : EngineRoads()) {
        const std::vector<std::string> healthy = RunSession(road);
        ASSERT_EQ(healthy.size(), kSession.size());
        ASSERT_EQ(healthy[0], "OK|Hello\n");

        const std::function<void()> undo = fault.apply(temp);
        if (!undo) GTEST_SKIP() << fault.name << ": not possible on this platform";
        EXPECT_EQ(RunSession(road), healthy) << fault.name << ", " << testing_support::EngineName(road.kind);
        undo();

        // The log works again for the next load.
        EXPECT_EQ(RunSession(road), healthy);
        const auto lines = testing_support::ReadLines(temp.LogPath());
        ASSERT_FALSE(lines.empty()) << fault.name;
        EXPECT_EQ(lines.back().substr(23), "~VirtualChannelICA");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, EnvironmentFaultTest,
                         ::testing::Range(0, int(sizeof kEnvironmentFaults /
                                                 sizeof kEnvironmentFaults[0])),
                         [](const ::testing::TestParamInfo<int>& info) {
                             std::string name = kEnvironmentFaults[info.param].name;
                             for (char& c : name)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// Faults of the instrument driver and of the command texts: each row is a
// sequence of commands and the responses they must get, ending with commands
// that show the module is still whole.
struct Step {
    std::string command;
    std::string response;
};

struct DriverFault {
    const char* name;
    std::vector<Step> steps;
};

std::string Long(std::size_t size) {
    const std::string head = "Execute|";
    return head + std::string(size - head.size() - 1, 'q') + "|";
}

const DriverFault kDriverFaults[] = {
    {"driver missing",
     {{"Init|nothere|", "ERROR|Error loading driver (\"nothere\") on client [Error: 126]"},
      {"Connect", "ERROR|Instrument driver not loaded"},
      {"Init|sim|", "OK"},
      {"Connect", "OK|true"}}},
    {"driver lacking one entry point",
     {{"Init|broken|", "ERROR|Error loading driver (\"broken\") on client [Error: 127]"},
      {"GetSerialNumber", "ERROR|Instrument driver not loaded"},
      {"Init|sim|", "OK"},
      {"GetSerialNumber", "OK|KSIM-000417"}}},
    {"Init failing after a success",
     {{"Init|sim|", "OK"},
      {"Connect", "OK|true"},
      {"Init|nothere|", "ERROR|Error loading driver (\"nothere\") on client [Error: 126]"},
      {"IsConnected", "ERROR|Instrument driver not loaded"},
      {"Init|sim|", "OK"},
      {"IsConnected", "OK|false"}}},
    {"command texts of 0 and 65,535 bytes",
     {{"", "ERROR|Unknown command \"\""},
      {"Init|sim|", "OK"},
      {Long(65535), "OK"},  // the simulator does not know the command: empty text
      {"GetLastErrorCode", "OK|8"},
      {"Hello", "OK|Hello"}}},
};

class DriverFaultTest : public ::testing::TestWithParam<int> {};

TEST_P(DriverFaultTest, NothingIsLostAndTheNextCommandWorks) {
    const DriverFault& fault = kDriverFaults[GetParam()];
    ScopedTempFolder temp;
    standin::Engine engine;
    std::string error;
    ASSERT_TRUE(engine.LoadModule(ModulePath(), &error)) << error;
    ASSERT_EQ(engine.Open(), 0);
    for (const Step& step : fault.steps) {
        const auto sent = engine.Run("KstDta1", step.command);
        ASSERT_EQ(sent.size(), 1u) << fault.name << ": " << step.command.substr(0, 40);
        EXPECT_EQ(sent[0].bytes, step.response) << fault.name << ": " << step.command.substr(0, 40);
    }
    EXPECT_EQ(engine.Run("KstCmd1", "KestavClientDriverVersion").at(0).bytes, "1.6.0");
}

INSTANTIATE_TEST_SUITE_P(Faults, DriverFaultTest,
                         ::testing::Range(0, int(sizeof kDriverFaults / sizeof kDriverFaults[0])));

TEST(NullTexts, DriverTextsThatAreNullReadAsEmpty) {
    ScopedTempFolder temp;
    testing_support::RecordingDriver recording;
    ASSERT_TRUE(recording.Loaded());
    standin::Engine engine;
    std::string error;
    ASSERT_TRUE(engine.LoadModule(ModulePath(), &error)) << error;
    ASSERT_EQ(engine.Open(), 0);
    ASSERT_EQ(engine.Run("KstCmd1", "Init|recording|").at(0).bytes, "OK");
    recording.SetText(nullptr);
    for (const char* command : {"GetSerialNumber", "GetCalSteps", "GetCalMode|x|",
                                "GetAvailableSettings", "GetLastErrorString", "GetAngleValue|1|",
                                "GetOption|x|", "GetSettingOptions|x|", "Execute|x|"})
        EXPECT_EQ(engine.Run("KstCmd1", command).at(0).bytes, "OK") << command;
    recording.SetText("");
    EXPECT_EQ(engine.Run("KstCmd1", "Hello").at(0).bytes, "OK|Hello");
}

}  // namespace
