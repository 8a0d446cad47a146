// A test instrument driver: records every call with its arguments and answers
// with values the test sets through the Recording* controls, or, where it
// runs in the driver host, through the commands themselves:
// SetOption|@text|..| (@int, @real, @flag) sets an answer, SetOption|@fault|crash|
// makes the next Measure crash, SetOption|@fault|sleep:<ms>| makes it sleep,
// and Execute|@calls| answers the calls recorded so far. Built whole, once
// without one entry point (KST_OMIT_EXECUTE) as a broken driver, and on 32-bit
// Windows with its entry points __stdcall (KST_ENTRY_CONVENTION), exported
// under plain or decorated names. The controls stay cdecl with plain names.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/CallingConvention.h"

#define DRIVER_API extern "C" KST_EXPORT
#ifndef KST_ENTRY_CONVENTION
#define KST_ENTRY_CONVENTION KST_CDECL
#endif

namespace {

std::string calls;
unsigned char flag = 1;
std::int32_t number = 0;
float real = 0.0f;
std::string text;
bool nullText = false;
bool throwNext = false;
std::string fault;  // what the next Measure does besides answering

void Record(const std::string& call) {
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

DRIVER_API unsigned char KST_ENTRY_CONVENTION Connect() { return FlagCall("Connect()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION Disconnect() { return FlagCall("Disconnect()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION IsConnected() { return FlagCall("IsConnected()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION SetLanguage(std::uint16_t language) {
    return FlagCall("SetLanguage(" + std::to_string(language) + ")");
}
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetAngles() { return IntCall("GetAngles()"); }
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetWavelengths() { return IntCall("GetWavelengths()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetAngleValue(std::int32_t index) {
    return TextCall("GetAngleValue(" + std::to_string(index) + ")");
}
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetWavelengthValue(std::int32_t index) {
    return IntCall("GetWavelengthValue(" + std::to_string(index) + ")");
}
DRIVER_API unsigned char KST_ENTRY_CONVENTION Measure() {
    const std::string armed = fault;
    fault.clear();
    if (armed == "crash") *static_cast<volatile int*>(nullptr) = 1;  // an access violation
    if (armed.compare(0, 6, "sleep:") == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(std::atoi(armed.c_str() + 6)));
    return FlagCall("Measure()");
}
DRIVER_API float KST_ENTRY_CONVENTION GetSpectralData(std::int32_t first, std::int32_t second) {
    Record("GetSpectralData(" + std::to_string(first) + "," + std::to_string(second) + ")");
    return real;
}
DRIVER_API unsigned char KST_ENTRY_CONVENTION IsDataReady() { return FlagCall("IsDataReady()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetSerialNum() { return TextCall("GetSerialNum()"); }
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetCalStatus() { return IntCall("GetCalStatus()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION Calibrate() { return FlagCall("Calibrate()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetCalSteps() { return TextCall("GetCalSteps()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetCalMode() { return TextCall("GetCalMode()"); }
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetCalProgress() { return IntCall("GetCalProgress()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION AbortCalibration() { return FlagCall("AbortCalibration()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION CalibrateStep(const char* step) {
    return FlagCall("CalibrateStep(" + Arg(step) + ")");
}
DRIVER_API unsigned char KST_ENTRY_CONVENTION ClearSamples() { return FlagCall("ClearSamples()"); }
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetSampleCount() { return IntCall("GetSampleCount()"); }
DRIVER_API unsigned char KST_ENTRY_CONVENTION SetCurrentSample(std::int32_t sample) {
    return FlagCall("SetCurrentSample(" + std::to_string(sample) + ")");
}
DRIVER_API float KST_ENTRY_CONVENTION GetSampleData(std::int32_t sample, std::int32_t index) {
    Record("GetSampleData(" + std::to_string(sample) + "," + std::to_string(index) + ")");
    return real;
}
DRIVER_API unsigned char KST_ENTRY_CONVENTION Configure() { return FlagCall("Configure()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetAvailableSettings() {
    return TextCall("GetAvailableSettings()");
}
DRIVER_API const char* KST_ENTRY_CONVENTION GetSettingOptions(const char* setting) {
    return TextCall("GetSettingOptions(" + Arg(setting) + ")");
}
DRIVER_API const char* KST_ENTRY_CONVENTION GetOption(const char* option) {
    return TextCall("GetOption(" + Arg(option) + ")");
}
DRIVER_API unsigned char KST_ENTRY_CONVENTION SetOption(const char* option, const char* value) {
    const std::string name = option != nullptr ? option : "";
    const std::string setting = value != nullptr ? value : "";
    if (name == "@text") return RecordingSetText(value), 1;
    if (name == "@int") return RecordingSetInt(std::atoi(setting.c_str())), 1;
    if (name == "@real") return RecordingSetReal(float(std::atof(setting.c_str()))), 1;
    if (name == "@flag") return RecordingSetFlag(static_cast<unsigned char>(std::atoi(setting.c_str()))), 1;
    if (name == "@fault") return fault = setting, 1;
    return FlagCall("SetOption(" + Arg(option) + "," + Arg(value) + ")");
}
DRIVER_API std::int32_t KST_ENTRY_CONVENTION GetLastErrorCode() { return IntCall("GetLastErrorCode()"); }
DRIVER_API const char* KST_ENTRY_CONVENTION GetLastErrorString() { return TextCall("GetLastErrorString()"); }
#ifndef KST_OMIT_EXECUTE
DRIVER_API const char* KST_ENTRY_CONVENTION Execute(const char* command) {
    if (command != nullptr && std::string(command) == "@calls") return calls.c_str();
    return TextCall("Execute(" + Arg(command) + ")");
}
#endif
