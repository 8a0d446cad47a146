// A test instrument driver: records every call with its arguments and answers
// with values the test sets through the Recording* controls. Built once whole
// and once without one entry point (KST_OMIT_EXECUTE) as a broken driver.
#include <cstdint>
#include <string>

#include "platform/CallingConvention.h"

#define DRIVER_API extern "C" KST_EXPORT

namespace {

std::string calls;
unsigned char flag = 1;
std::int32_t number = 0;
float real = 0.0f;
std::string text;
bool nullText = false;
bool throwNext = false;

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

DRIVER_API unsigned char KST_CDECL Connect() { return FlagCall("Connect()"); }
DRIVER_API unsigned char KST_CDECL Disconnect() { return FlagCall("Disconnect()"); }
DRIVER_API unsigned char KST_CDECL IsConnected() { return FlagCall("IsConnected()"); }
DRIVER_API unsigned char KST_CDECL SetLanguage(std::uint16_t language) {
    return FlagCall("SetLanguage(" + std::to_string(language) + ")");
}
DRIVER_API std::int32_t KST_CDECL GetAngles() { return IntCall("GetAngles()"); }
DRIVER_API std::int32_t KST_CDECL GetWavelengths() { return IntCall("GetWavelengths()"); }
DRIVER_API const char* KST_CDECL GetAngleValue(std::int32_t index) {
    return TextCall("GetAngleValue(" + std::to_string(index) + ")");
}
DRIVER_API std::int32_t KST_CDECL GetWavelengthValue(std::int32_t index) {
    return IntCall("GetWavelengthValue(" + std::to_string(index) + ")");
}
DRIVER_API unsigned char KST_CDECL Measure() { return FlagCall("Measure()"); }
DRIVER_API float KST_CDECL GetSpectralData(std::int32_t first, std::int32_t second) {
    Record("GetSpectralData(" + std::to_string(first) + "," + std::to_string(second) + ")");
    return real;
}
DRIVER_API unsigned char KST_CDECL IsDataReady() { return FlagCall("IsDataReady()"); }
DRIVER_API const char* KST_CDECL GetSerialNum() { return TextCall("GetSerialNum()"); }
DRIVER_API std::int32_t KST_CDECL GetCalStatus() { return IntCall("GetCalStatus()"); }
DRIVER_API unsigned char KST_CDECL Calibrate() { return FlagCall("Calibrate()"); }
DRIVER_API const char* KST_CDECL GetCalSteps() { return TextCall("GetCalSteps()"); }
DRIVER_API const char* KST_CDECL GetCalMode() { return TextCall("GetCalMode()"); }
DRIVER_API std::int32_t KST_CDECL GetCalProgress() { return IntCall("GetCalProgress()"); }
DRIVER_API unsigned char KST_CDECL AbortCalibration() { return FlagCall("AbortCalibration()"); }
DRIVER_API unsigned char KST_CDECL CalibrateStep(const char* step) {
    return FlagCall("CalibrateStep(" + Arg(step) + ")");
}
DRIVER_API unsigned char KST_CDECL ClearSamples() { return FlagCall("ClearSamples()"); }
DRIVER_API std::int32_t KST_CDECL GetSampleCount() { return IntCall("GetSampleCount()"); }
DRIVER_API unsigned char KST_CDECL SetCurrentSample(std::int32_t sample) {
    return FlagCall("SetCurrentSample(" + std::to_string(sample) + ")");
}
DRIVER_API float KST_CDECL GetSampleData(std::int32_t sample, std::int32_t index) {
    Record("GetSampleData(" + std::to_string(sample) + "," + std::to_string(index) + ")");
    return real;
}
DRIVER_API unsigned char KST_CDECL Configure() { return FlagCall("Configure()"); }
DRIVER_API const char* KST_CDECL GetAvailableSettings() {
    return TextCall("GetAvailableSettings()");
}
DRIVER_API const char* KST_CDECL GetSettingOptions(const char* setting) {
    return TextCall("GetSettingOptions(" + Arg(setting) + ")");
}
DRIVER_API const char* KST_CDECL GetOption(const char* option) {
    return TextCall("GetOption(" + Arg(option) + ")");
}
DRIVER_API unsigned char KST_CDECL SetOption(const char* option, const char* value) {
    return FlagCall("SetOption(" + Arg(option) + "," + Arg(value) + ")");
}
DRIVER_API std::int32_t KST_CDECL GetLastErrorCode() { return IntCall("GetLastErrorCode()"); }
DRIVER_API const char* KST_CDECL GetLastErrorString() { return TextCall("GetLastErrorString()"); }
#ifndef KST_OMIT_EXECUTE
DRIVER_API const char* KST_CDECL Execute(const char* command) {
    return TextCall("Execute(" + Arg(command) + ")");
}
#endif
