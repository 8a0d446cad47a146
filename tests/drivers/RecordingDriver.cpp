// A test instrument driver: records every call with its arguments and answers
// with values the test sets through the Recording* controls, or, where it
// runs in the driver host, through the commands themselves:
// SetOption|@text|..| (@int, @real, @flag) sets an answer, SetOption|@text-size|N|
// an answer of N "m", SetOption|@fault|crash|
// makes the next Measure crash (SetOption|@fault|crash-in:<EntryPoint>| the next
// call of that entry point), SetOption|@fault|sleep:<ms>| makes it sleep,
// SetOption|@fault|wait:<file>| makes it wait until that file exists (a gate
// a test opens when it likes, whichever process the driver runs in), and
// Execute|@calls| answers the calls recorded so far. Built whole, once without
// one entry point (KST_OMIT_EXECUTE) as a broken driver, and on 32-bit Windows
// with its entry points __stdcall (KST_DRIVER_CALL), exported under plain or
// decorated names. The controls stay cdecl with plain names. Three more
// builds carry one fault each for the self-test: KST_CRASH_IN_MEASURE,
// KST_HANG_IN_MEASURE and KST_LONG_SERIAL (a serial number of 6,000 bytes).
// On Windows, KST_PROBE adds Execute|@probe:<what>| (tests/drivers/Probe.h).
// KST_MAKER_HELP adds Execute|@help|, answered by a library of its own beside
// the driver (tests/drivers/MakerHelp.cpp), linked as makers link theirs.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include <fstream>

#include "include/kestav/InstrumentDriver.h"
#include "platform/CallingConvention.h"
#ifdef KST_PROBE
#include "tests/drivers/Probe.h"
#endif
#ifdef KST_MAKER_HELP
extern "C" const char* MakerHelpAnswer();
#endif

#define DRIVER_API extern "C" KST_EXPORT

namespace {

std::string calls;
unsigned char flag = 1;
std::int32_t number = 0;
float real = 0.0f;
std::string text;
bool nullText = false;
bool throwNext = false;
std::string fault;  // what the next Measure does besides answering
std::string crashIn;  // "<EntryPoint>(": the next call of that entry point crashes

void Record(const std::string& call) {
    if (!crashIn.empty() && call.compare(0, crashIn.size(), crashIn) == 0) {
        crashIn.clear();
        *static_cast<volatile int*>(nullptr) = 1;  // an access violation
    }
    if (throwNext) {
        throwNext = false;
        throw 42;  // not a std::exception
    }
    calls += call;
    calls += '\n';
}

std::string Arg(const char* value) {
    return value != nullptr ? "\"" + std::string(value) + "\"" : "null";
}

unsigned char FlagCall(const std::string& call) {
    Record(call);
    return flag;
}

std::int32_t IntCall(const std::string& call) {
    Record(call);
    return number;
}

const char* TextCall(const std::string& call) {
    Record(call);
    return nullText ? nullptr : text.c_str();
}

}  // namespace

DRIVER_API void KST_CDECL RecordingReset() {
    calls.clear();
    flag = 1;
    number = 0;
    real = 0.0f;
    text.clear();
    nullText = false;
    throwNext = false;
    fault.clear();
    crashIn.clear();
}
DRIVER_API const char* KST_CDECL RecordingCalls() { return calls.c_str(); }
DRIVER_API void KST_CDECL RecordingSetFlag(unsigned char value) { flag = value; }
DRIVER_API void KST_CDECL RecordingSetInt(std::int32_t value) { number = value; }
DRIVER_API void KST_CDECL RecordingSetReal(float value) { real = value; }
DRIVER_API void KST_CDECL RecordingThrowNext() { throwNext = true; }
DRIVER_API void KST_CDECL RecordingSetText(const char* value) {
    nullText = value == nullptr;
    text = value != nullptr ? value : "";
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL Connect() { return FlagCall("Connect()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL Disconnect() { return FlagCall("Disconnect()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL IsConnected() { return FlagCall("IsConnected()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetLanguage(std::uint16_t language) {
    return FlagCall("SetLanguage(" + std::to_string(language) + ")");
}
KST_DRIVER_API KstInt KST_DRIVER_CALL GetAngles() { return IntCall("GetAngles()"); }
KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengths() { return IntCall("GetWavelengths()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetAngleValue(std::int32_t index) {
    return TextCall("GetAngleValue(" + std::to_string(index) + ")");
}
KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengthValue(std::int32_t index) {
    return IntCall("GetWavelengthValue(" + std::to_string(index) + ")");
}
KST_DRIVER_API KstFlag KST_DRIVER_CALL Measure() {
#if defined(KST_CRASH_IN_MEASURE)
    *static_cast<volatile int*>(nullptr) = 1;
#elif defined(KST_HANG_IN_MEASURE)
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
#endif
    const std::string armed = fault;
    fault.clear();
    if (armed == "crash") *static_cast<volatile int*>(nullptr) = 1;  // an access violation
    if (armed.compare(0, 6, "sleep:") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(armed.c_str() + 6)));
    if (armed.compare(0, 5, "wait:") == 0) {
        // At most a minute, so that a test gone wrong still ends.
        for (int i = 0; i < 6000 && !std::ifstream(armed.substr(5)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return FlagCall("Measure()");
}
KST_DRIVER_API KstReal KST_DRIVER_CALL GetSpectralData(std::int32_t first, std::int32_t second) {
    Record("GetSpectralData(" + std::to_string(first) + "," + std::to_string(second) + ")");
    return real;
}
KST_DRIVER_API KstFlag KST_DRIVER_CALL IsDataReady() { return FlagCall("IsDataReady()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetSerialNum() {
#if defined(KST_LONG_SERIAL)
    static const std::string serial(6000, 'S');
    Record("GetSerialNum()");
    return serial.c_str();
#else
    return TextCall("GetSerialNum()");
#endif
}
KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalStatus() { return IntCall("GetCalStatus()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL Calibrate() { return FlagCall("Calibrate()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetCalSteps() { return TextCall("GetCalSteps()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetCalMode() { return TextCall("GetCalMode()"); }
KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalProgress() { return IntCall("GetCalProgress()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL AbortCalibration() { return FlagCall("AbortCalibration()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL CalibrateStep(const char* step) {
    return FlagCall("CalibrateStep(" + Arg(step) + ")");
}
KST_DRIVER_API KstFlag KST_DRIVER_CALL ClearSamples() { return FlagCall("ClearSamples()"); }
KST_DRIVER_API KstInt KST_DRIVER_CALL GetSampleCount() { return IntCall("GetSampleCount()"); }
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetCurrentSample(std::int32_t sample) {
    return FlagCall("SetCurrentSample(" + std::to_string(sample) + ")");
}
KST_DRIVER_API KstReal KST_DRIVER_CALL GetSampleData(std::int32_t sample, std::int32_t index) {
    Record("GetSampleData(" + std::to_string(sample) + "," + std::to_string(index) + ")");
    return real;
}
KST_DRIVER_API KstFlag KST_DRIVER_CALL Configure() { return FlagCall("Configure()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetAvailableSettings() {
    return TextCall("GetAvailableSettings()");
}
KST_DRIVER_API const char* KST_DRIVER_CALL GetSettingOptions(const char* setting) {
    return TextCall("GetSettingOptions(" + Arg(setting) + ")");
}
KST_DRIVER_API const char* KST_DRIVER_CALL GetOption(const char* option) {
    return TextCall("GetOption(" + Arg(option) + ")");
}
KST_DRIVER_API KstFlag KST_DRIVER_CALL SetOption(const char* option, const char* value) {
    const std::string name = option != nullptr ? option : "";
    const std::string setting = value != nullptr ? value : "";
    if (name == "@text") return RecordingSetText(value), 1;
    // An answer longer than any command can carry: that many "m".
    if (name == "@text-size")
        return RecordingSetText(std::string(std::size_t(std::atol(setting.c_str())), 'm').c_str()), 1;
    if (name == "@int") return RecordingSetInt(std::atoi(setting.c_str())), 1;
    if (name == "@real") return RecordingSetReal(float(std::atof(setting.c_str()))), 1;
    if (name == "@flag") return RecordingSetFlag(static_cast<unsigned char>(std::atoi(setting.c_str()))), 1;
    if (name == "@fault" && setting.compare(0, 9, "crash-in:") == 0) return crashIn = setting.substr(9) + "(", 1;
    if (name == "@fault") return fault = setting, 1;
    return FlagCall("SetOption(" + Arg(option) + "," + Arg(value) + ")");
}
KST_DRIVER_API KstInt KST_DRIVER_CALL GetLastErrorCode() { return IntCall("GetLastErrorCode()"); }
KST_DRIVER_API const char* KST_DRIVER_CALL GetLastErrorString() { return TextCall("GetLastErrorString()"); }
#ifndef KST_OMIT_EXECUTE
KST_DRIVER_API const char* KST_DRIVER_CALL Execute(const char* command) {
    if (command != nullptr && std::string(command) == "@calls") return calls.c_str();
#ifdef KST_PROBE
    static std::string probed;
    if (command != nullptr && std::string(command).rfind("@probe:", 0) == 0)
        return (probed = probe::Run(std::string(command).substr(7))).c_str();
#endif
#ifdef KST_MAKER_HELP
    if (command != nullptr && std::string(command) == "@help") return MakerHelpAnswer();
#endif
    return TextCall("Execute(" + Arg(command) + ")");
}
#endif
