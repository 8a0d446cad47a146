// The dispatcher and the 32 handlers, against the recording driver.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <tuple>

#include "commands/Instrument.h"
#include "diag/ModuleFolder.h"
#include "platform/EntryCall.h"
#include "tests/support/TestSupport.h"

using commands::Instrument;
using testing_support::ReadLines;
using testing_support::RecordingDriver;
using testing_support::ScopedTempFolder;
using namespace std::string_literals;

namespace {

const std::string kBadCast =
    "(bad lexical cast: source type value could not be interpreted as target)";

std::string ConversionError(const std::string& name) {
    return "ERROR|Error executing command \"" + name + "\" " + kBadCast;
}

std::string Repeat(const std::string& item, int count, const std::string& separator) {
    std::string text;
    for (int i = 0; i < count; ++i) text += (i ? separator : "") + item;
    return text;
}

std::string SpectralCalls(int first) {
    std::string calls;
    for (int i = 0; i < 31; ++i)
        calls += "GetSpectralData(" + std::to_string(first) + "," + std::to_string(i) + ")\n";
    return calls;
}

// What the recording driver answers for one row.
struct Answer {
    unsigned char flag = 1;
    std::int32_t number = 0;
    float real = 0.0f;
    const char* text = "";
};

struct HandlerCase {
    std::string command;
    Answer answer;
    std::string response;
    std::string calls;  // what reached the driver, one call a line
};

void PrintTo(const HandlerCase& c, std::ostream* os) { *os << '"' << c.command << '"'; }

Answer Flag(unsigned char v) { Answer a; a.flag = v; return a; }
Answer Int(std::int32_t v) { Answer a; a.number = v; return a; }
Answer Real(float v) { Answer a; a.real = v; return a; }
Answer Text(const char* v) { Answer a; a.text = v; return a; }

const std::vector<HandlerCase> kHandlerCases = {
        HandlerCase{"AbortCalibration", Flag(1), "OK|true", "AbortCalibration()\n"},
        HandlerCase{"Calibrate", Flag(0), "OK|false", "Calibrate()\n"},
        HandlerCase{"CalibrateStep|White|", Flag(1), "OK|true", "CalibrateStep(\"White\")\n"},
        HandlerCase{"CalibrateStep|a&vert;b|", Flag(1), "OK|true",
                    "CalibrateStep(\"a&vert;b\")\n"},
        HandlerCase{"CalibrateStep", Flag(1), "ERROR|Missing parameter", ""},
        HandlerCase{"ClearSamples", Flag(2), "OK|true", "ClearSamples()\n"},
        HandlerCase{"Configure", Flag(0), "OK|false", "Configure()\n"},
        HandlerCase{"Connect", Flag(1), "OK|true", "Connect()\n"},
        HandlerCase{"Disconnect|x|y|", Flag(1), "OK|true", "Disconnect()\n"},
        HandlerCase{"Execute|STATUS|", Text("a|b"), "OK|a|b", "Execute(\"STATUS\")\n"},
        HandlerCase{"Execute|x&vert;y|", Text(""), "OK", "Execute(\"x&vert;y\")\n"},
        HandlerCase{"Execute", Text("x"), "ERROR|Missing parameter", ""},
        HandlerCase{"GetAngleValue|2|", Text("45"), "OK|45", "GetAngleValue(2)\n"},
        HandlerCase{"GetAngleValue|-2147483648|", Text("x"), "OK|x",
                    "GetAngleValue(-2147483648)\n"},
        HandlerCase{"GetAngleValue|+7|", Text("x"), "OK|x", "GetAngleValue(7)\n"},
        HandlerCase{"GetAngleValue|2147483648|", Text("x"), ConversionError("GetAngleValue"), ""},
        HandlerCase{"GetAngleValue| 12|", Text("x"), ConversionError("GetAngleValue"), ""},
        HandlerCase{"GetAngleValue|12abc|", Text("x"), ConversionError("GetAngleValue"), ""},
        HandlerCase{"GetAngleValue||", Text("x"), ConversionError("GetAngleValue"), ""},
        HandlerCase{"GetAngles", Int(3), "OK|3", "GetAngles()\n"},
        HandlerCase{"GetAvailableSettings", Text("Aperture|Filter"), "OK|Aperture&vert;Filter",
                    "GetAvailableSettings()\n"},
        HandlerCase{"GetCalProgress", Int(50), "OK|50", "GetCalProgress()\n"},
        HandlerCase{"GetCalStatus", Int(-3), "OK|-3", "GetCalStatus()\n"},
        HandlerCase{"GetCalSteps", Text("W|B"), "OK|W|B", "GetCalSteps()\n"},
        HandlerCase{"GetCalMode", Text("Manual"), "ERROR|Missing parameter", ""},
        HandlerCase{"GetCalMode|x|", Text("Manual"), "OK|Manual", "GetCalMode()\n"},
        HandlerCase{"GetLastErrorCode", Int(-2147483647 - 1), "OK|-2147483648",
                    "GetLastErrorCode()\n"},
        HandlerCase{"GetLastErrorString", Text(""), "OK", "GetLastErrorString()\n"},
        HandlerCase{"GetLastErrorString", Text(nullptr), "OK", "GetLastErrorString()\n"},
        HandlerCase{"GetOption|Mode&vert;A|", Text("x|y"), "OK|x&vert;y",
                    "GetOption(\"Mode|A\")\n"},
        HandlerCase{"GetOption", Text("x"), "ERROR|Missing parameter", ""},
        HandlerCase{"GetSampleCount", Int(0), "OK|0", "GetSampleCount()\n"},
        HandlerCase{"GetSampleData|1|2|", Real(0.123456789f), "OK|0.1234568",
                    "GetSampleData(1,2)\n"},
        HandlerCase{"GetSampleData|1|", Real(1), "ERROR|Missing parameter", ""},
        HandlerCase{"GetSampleData|1|z|", Real(1), ConversionError("GetSampleData"), ""},
        HandlerCase{"GetSerialNumber", Text("SN-1"), "OK|SN-1", "GetSerialNum()\n"},
        HandlerCase{"GetSerialNumber", Text(nullptr), "OK", "GetSerialNum()\n"},
        HandlerCase{"GetSettingOptions|a&vert;b|", Text("x|y"), "OK|x|y",
                    "GetSettingOptions(\"a&vert;b\")\n"},
        HandlerCase{"GetSpectralData|1|2|", Real(0.123456789f), "OK|0.1234568",
                    "GetSpectralData(1,2)\n"},
        HandlerCase{"GetSpectralData|0|0|", Real(12345678.0f), "OK|1.234568e+07",
                    "GetSpectralData(0,0)\n"},
        HandlerCase{"GetSpectralData|0|0|", Real(0.5f), "OK|0.5", "GetSpectralData(0,0)\n"},
        HandlerCase{"GetSpectralData|1|", Real(1), "ERROR|Missing parameter", ""},
        HandlerCase{"GetSpectralData|x|1|", Real(1), ConversionError("GetSpectralData"), ""},
        HandlerCase{"GetSpectralDataAll|0|", Real(0.123456789f),
                    "OK|" + Repeat("0.123457", 31, ";"), SpectralCalls(0)},
        HandlerCase{"GetSpectralDataAll|-4|extra|", Real(-1e-7f),
                    "OK|" + Repeat("-1e-07", 31, ";"), SpectralCalls(-4)},
        HandlerCase{"GetSpectralDataAll|x|", Real(1), ConversionError("GetSpectralDataAll"), ""},
        HandlerCase{"GetSpectralDataAll", Real(1), "ERROR|Missing parameter", ""},
        HandlerCase{"GetWavelengths", Int(31), "OK|31", "GetWavelengths()\n"},
        HandlerCase{"GetWavelengthValue|3|", Int(430), "OK|430", "GetWavelengthValue(3)\n"},
        HandlerCase{"IsConnected", Flag(0), "OK|false", "IsConnected()\n"},
        HandlerCase{"IsDataReady", Flag(1), "OK|true", "IsDataReady()\n"},
        HandlerCase{"Measure|x|y|", Flag(1), "OK|true", "Measure()\n"},
        HandlerCase{"SetCurrentSample|4|", Flag(1), "OK|true", "SetCurrentSample(4)\n"},
        HandlerCase{"SetLanguage|1033|", Flag(1), "OK|true", "SetLanguage(1033)\n"},
        HandlerCase{"SetLanguage|65535|", Flag(1), "OK|true", "SetLanguage(65535)\n"},
        HandlerCase{"SetLanguage|70000|", Flag(1), ConversionError("SetLanguage"), ""},
        HandlerCase{"SetLanguage|65536|", Flag(1), ConversionError("SetLanguage"), ""},
        HandlerCase{"SetLanguage|4294967296|", Flag(1), ConversionError("SetLanguage"), ""},
        // Found by fuzzing: digits after junk once overflowed inside the converter.
        HandlerCase{"SetLanguage|K!\0\0\0\0\0\0\0" "62535|"s, Flag(1), ConversionError("SetLanguage"), ""},
        // A negative language code is refused, not wrapped round to 65535.
        HandlerCase{"SetLanguage|-1|", Flag(1), ConversionError("SetLanguage"), ""},
        HandlerCase{"SetOption|a&vert;b|c|", Flag(1), "OK|true", "SetOption(\"a|b\",\"c\")\n"},
        HandlerCase{"SetOption|A|B", Flag(1), "ERROR|Missing parameter", ""}};

class InstrumentTest : public ::testing::Test {
protected:
    // `driver`: one of the recording driver's builds (cdecl; stdcall with plain
    // or decorated names, which on 32-bit Windows differ).
    explicit InstrumentTest(const std::string& driver = "recording")
        : driver(driver), recording(driver) {}
    void SetUp() override {
        diag::SetModuleFolder(testing_support::ExecutableFolder());
        ASSERT_TRUE(recording.Loaded());
        ASSERT_EQ(Run("Init|" + driver + "|"), "OK");
        recording.Reset();
    }
    std::string Run(const std::string& command) { return instrument.Execute(command).ToResponse(); }
    std::vector<std::string> Log() { return ReadLines(temp.LogPath()); }
    void Answer(const HandlerCase& c) {
        recording.Reset();
        recording.SetFlag(c.answer.flag);
        recording.SetInt(c.answer.number);
        recording.SetReal(c.answer.real);
        recording.SetText(c.answer.text);
    }

    const std::string driver;
    ScopedTempFolder temp;
    RecordingDriver recording;
    Instrument instrument;
};

const char* const kDriverBuilds[] = {"recording", "recording-stdcall", "recording-decorated"};

class HandlerTest : public InstrumentTest,
                    public ::testing::WithParamInterface<std::tuple<HandlerCase, const char*>> {
protected:
    HandlerTest() : InstrumentTest(std::get<1>(GetParam())) {}
};

TEST_P(HandlerTest, CallsTheDriverAndRendersItsAnswer) {
    const HandlerCase& c = std::get<0>(GetParam());
    Answer(c);
    EXPECT_EQ(Run(c.command), c.response);
    EXPECT_EQ(recording.Calls(), c.calls);
    // Whatever happened, the next command is handled normally.
    recording.Reset();
    EXPECT_EQ(Run("IsConnected"), "OK|true");
}

INSTANTIATE_TEST_SUITE_P(Commands, HandlerTest,
                         ::testing::Combine(::testing::ValuesIn(kHandlerCases),
                                            ::testing::ValuesIn(kDriverBuilds)));

class ConventionTest : public InstrumentTest, public ::testing::WithParamInterface<const char*> {
protected:
    ConventionTest() : InstrumentTest(GetParam()) {}
};

// A stdcall callee takes its arguments off the stack itself; called as cdecl
// the stack would lose them a second time on every call and the client fall
// over within a few. Ten thousand calls of every form leave everything intact.
TEST_P(ConventionTest, TenThousandMixedCommandsLeaveTheStackAsItWas) {
    temp.Redirect(temp.Path() + "/no-log-here");  // the log's file calls would dominate
    for (int i = 0; i < 10000; ++i) {
        const HandlerCase& c = kHandlerCases[std::size_t(i) % kHandlerCases.size()];
        Answer(c);
        ASSERT_EQ(Run(c.command), c.response) << i;
        ASSERT_EQ(recording.Calls(), c.calls) << i;
    }
    EXPECT_EQ(Run("GetSpectralDataAll|7|"), "OK|" + Repeat("0", 31, ";"));
}

TEST_P(ConventionTest, TheLogNamesTheEntryPointFormOnce) {
    const std::string driverName = GetParam();
    std::string form;
    bool knownAtInit = false;
    if (platform::kEntryConventionsVary) {
        form = driverName == "recording" ? "cdecl, plain names"
               : driverName == "recording-stdcall" ? "stdcall, plain names"
                                                    : "stdcall, decorated names";
        knownAtInit = driverName == "recording-decorated";
    }
    auto formLines = [&] {
        std::vector<std::string> lines;
        for (const std::string& line : Log())
            if (line.rfind("Driver entry points: ", 0) == 0) lines.push_back(line);
        return lines;
    };
    const auto init = Log();
    const auto success = std::find_if(init.begin(), init.end(), [](const std::string& line) {
        return line.find("  Loading Driver success") != std::string::npos;
    });
    ASSERT_NE(success, init.end());
    if (knownAtInit) {
        ASSERT_NE(success + 1, init.end());
        EXPECT_EQ(*(success + 1), "Driver entry points: " + form);
    } else {
        EXPECT_TRUE(formLines().empty()) << "plain names tell nothing of the convention yet";
    }
    (void)Run("Measure");  // no arguments: still nothing to tell
    (void)Run("GetSpectralData|1|2|");
    (void)Run("SetLanguage|1033|");
    const auto lines = formLines();
    if (form.empty()) {
        EXPECT_TRUE(lines.empty());
    } else {
        EXPECT_EQ(lines, std::vector<std::string>{"Driver entry points: " + form});
    }
}

INSTANTIATE_TEST_SUITE_P(DriverBuilds, ConventionTest, ::testing::ValuesIn(kDriverBuilds));



TEST_F(InstrumentTest, HelloNeedsNothingAndSplitsNothing) {
    const std::size_t before = Log().size();
    for (const char* hello : {"Hello", "Hello|x|", "HelloWorld"}) EXPECT_EQ(Run(hello), "OK|Hello");
    const auto log = Log();
    ASSERT_EQ(log.size(), before + 3);
    for (std::size_t i = before; i < log.size(); ++i) {
        const std::string& line = log[i];
        EXPECT_EQ(line.find("Parameters of"), std::string::npos) << line;
        if (line.find("Hello") != std::string::npos) {
            EXPECT_NE(line.find("  Hello -> Hello"), std::string::npos) << line;
        }
    }
    EXPECT_EQ(Run("hello"), "ERROR|Unknown command \"hello\"");
}

TEST_F(InstrumentTest, UnknownCommandsAreLoggedAndRefused) {
    EXPECT_EQ(Run(""), "ERROR|Unknown command \"\"");
    EXPECT_EQ(Run("Foo|1|"), "ERROR|Unknown command \"Foo\"");
    EXPECT_EQ(Run("measure"), "ERROR|Unknown command \"measure\"");
    EXPECT_EQ(Run("KestavClientDriverVersion"),
              "ERROR|Unknown command \"KestavClientDriverVersion\"");
    const auto log = Log();
    ASSERT_GE(log.size(), 4u);
    EXPECT_NE(log[log.size() - 4].find("  Parameters of "), std::string::npos);
    EXPECT_NE(log[log.size() - 3].find("  Parameters of Foo|1|"), std::string::npos);
    EXPECT_EQ(recording.Calls(), "");
}

TEST_F(InstrumentTest, KnownCommandsLogTheirParameters) {
    (void)Run("SetOption|A|B|");
    (void)Run("Measure");
    (void)Run("Init|recording|x|");
    const auto log = Log();
    std::vector<std::string> commands;
    for (const std::string& line : log)
        if (line.find("  Command ") != std::string::npos) commands.push_back(line.substr(23));
    EXPECT_EQ(commands, (std::vector<std::string>{"Command SetOption (A, B)", "Command Measure ()"}));
}

TEST_F(InstrumentTest, WithoutDriverEveryCommandFailsCleanlyThenInitWorks) {
    Instrument fresh;
    const char* commands[] = {
        "AbortCalibration", "Calibrate", "CalibrateStep|W|", "ClearSamples", "Configure",
        "Connect", "Disconnect", "Execute|x|", "GetAngleValue|0|", "GetAngles",
        "GetAvailableSettings", "GetCalProgress", "GetCalStatus", "GetCalSteps", "GetCalMode|x|",
        "GetLastErrorCode", "GetLastErrorString", "GetOption|x|", "GetSampleCount",
        "GetSampleData|0|0|", "GetSerialNumber", "GetSettingOptions|x|", "GetSpectralData|0|0|",
        "GetSpectralDataAll|0|", "GetWavelengths", "GetWavelengthValue|0|", "IsConnected",
        "IsDataReady", "Measure", "SetCurrentSample|0|", "SetLanguage|1|", "SetOption|a|b|"};
    ASSERT_EQ(sizeof commands / sizeof commands[0], 32u);
    for (const char* command : commands)
        EXPECT_EQ(fresh.Execute(command).ToResponse(), "ERROR|Instrument driver not loaded")
            << command;
    // Parameter checks still come first.
    EXPECT_EQ(fresh.Execute("GetSpectralData|1|").ToResponse(), "ERROR|Missing parameter");
    EXPECT_EQ(fresh.Execute("GetSpectralData|x|1|").ToResponse(),
              ConversionError("GetSpectralData"));
    EXPECT_EQ(recording.Calls(), "");
    EXPECT_EQ(fresh.Execute("Init|recording|").ToResponse(), "OK");
    EXPECT_EQ(fresh.Execute("Connect").ToResponse(), "OK|true");
}

}  // namespace
