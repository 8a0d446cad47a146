// The reference instrument driver: a small simulated spectrophotometer that
// exports the 31 entry points. Server-side developers test against it; the
// README describes its behaviour.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/CallingConvention.h"

#define DRIVER_API extern "C" KST_EXPORT

namespace {

using Flag = unsigned char;

constexpr int kBands = 31;  // 400 to 700 nm in 10 nm steps
constexpr int kFirstWavelength = 400;
constexpr int kWavelengthStep = 10;
constexpr std::uint16_t kEnglish = 1033;
constexpr std::uint16_t kGerman = 1031;

enum Error {
    kNoError,
    kNotConnected,
    kNotCalibrated,
    kOutOfRange,
    kUnknownSetting,
    kInvalidValue,
    kUnknownStep,
    kNoCalibration,
    kUnknownCommand,
    kNoSample,
    kUnsupportedLanguage,
};

const char* const kEnglishErrors[] = {
    "No error", "Instrument not connected", "Instrument not calibrated", "Index out of range",
    "Unknown setting", "Invalid option value", "Unknown calibration step",
    "No calibration in progress", "Unknown command", "No sample measured",
    "Unsupported language",
};
const char* const kGermanErrors[] = {
    "Kein Fehler", "Messgeraet nicht verbunden", "Messgeraet nicht kalibriert",
    "Index ausserhalb des Bereichs", "Unbekannte Einstellung", "Ungueltiger Wert",
    "Unbekannter Kalibrierschritt", "Keine Kalibrierung aktiv", "Unbekannter Befehl",
    "Keine Probe gemessen", "Sprache nicht unterstuetzt",
};

struct Angle {
    const char* name;
    float gloss;  // how the reflectance changes with the viewing angle
};
const Angle kAngles[] = {{"45", 1.0f}, {"15", 1.08f}, {"110", 0.86f}};
constexpr int kAngleCount = 3;

// A colour patch: a base level plus up to two smooth bumps or edges, which is
// roughly how real surface colours look over the visible range.
struct Patch {
    const char* name;
    float base, lowEdge, highEdge, peak, peakAt, peakWidth;
};
const Patch kPatches[] = {
    {"White", 0.88f, 0.0f, 0.0f, 0.0f, 0, 1},
    {"Red", 0.05f, 0.0f, 0.80f, 0.0f, 0, 1},
    {"Orange", 0.06f, 0.0f, 0.78f, 0.10f, 600, 25},
    {"Yellow", 0.08f, 0.0f, 0.82f, 0.0f, 0, 1},
    {"Green", 0.05f, 0.0f, 0.05f, 0.42f, 530, 35},
    {"Cyan", 0.06f, 0.62f, 0.0f, 0.0f, 0, 1},
    {"Blue", 0.05f, 0.0f, 0.12f, 0.45f, 450, 30},
    {"Violet", 0.05f, 0.35f, 0.30f, 0.0f, 0, 1},
    {"Grey", 0.42f, 0.0f, 0.0f, 0.0f, 0, 1},
};
constexpr int kPatchCount = sizeof kPatches / sizeof kPatches[0];

float Reflectance(const Patch& patch, int band) {
    const float nm = float(kFirstWavelength + band * kWavelengthStep);
    float r = patch.base;
    // Rising edge for warm colours: red reflects long wavelengths.
    const float edgeAt = patch.name[0] == 'Y' ? 500.0f : (patch.name[0] == 'O' ? 560.0f : 590.0f);
    r += patch.highEdge / (1.0f + std::exp(-(nm - edgeAt) / 12.0f));
    // Falling edge for cool colours.
    r += patch.lowEdge / (1.0f + std::exp((nm - 560.0f) / 18.0f));
    r += patch.peak * std::exp(-0.5f * ((nm - patch.peakAt) / patch.peakWidth) *
                               ((nm - patch.peakAt) / patch.peakWidth));
    // Every real instrument shows a little ripple.
    r += 0.004f * std::sin(nm / 7.0f);
    return r;
}

struct Setting {
    const char* name;
    std::vector<std::string> options;
    std::string value;
};

struct Sample {
    int patch;
    bool uvCut;
};

struct State {
    bool connected = false;
    int calibration = 0;  // 0 none, 1 in progress, 2 calibrated
    int calibrationStep = 0;
    int error = kNoError;
    std::uint16_t language = kEnglish;
    std::vector<Sample> samples;
    int current = -1;
    int nextPatch = 0;
    std::vector<Setting> settings = {
        {"Aperture", {"LAV 8mm", "SAV 4mm"}, "LAV 8mm"},
        {"Filter", {"M0|No filter", "M1|D50", "M2|UV cut"}, "M0|No filter"},
        {"Target", {"Auto", "White", "Red", "Orange", "Yellow", "Green", "Cyan", "Blue",
                    "Violet", "Grey"}, "Auto"},
    };
    std::string text;  // the last text handed out; stays valid until the next call
};

State state;
const char* const kCalibrationSteps[] = {"White", "Black"};
constexpr int kCalibrationStepCount = 2;

Flag Fail(int error) {
    state.error = error;
    return 0;
}

Flag Succeed() {
    state.error = kNoError;
    return 1;
}

const char* Hand(const std::string& text) {
    state.text = text;
    return state.text.c_str();
}

Setting* FindSetting(const char* name) {
    if (name == nullptr) return nullptr;
    for (Setting& setting : state.settings)
        if (setting.name == std::string(name)) return &setting;
    return nullptr;
}

float Value(const Sample& sample, int angle, int band) {
    const Patch& patch = kPatches[sample.patch];
    float r = Reflectance(patch, band) * kAngles[angle].gloss;
    const int nm = kFirstWavelength + band * kWavelengthStep;
    if (sample.uvCut && nm < 420) r *= 0.55f;
    return r;
}

bool ValidBand(int band) { return band >= 0 && band < kBands; }

}  // namespace

DRIVER_API Flag KST_CDECL Connect() {
    state.connected = true;
    return Succeed();
}

DRIVER_API Flag KST_CDECL Disconnect() {
    state.connected = false;
    return Succeed();
}

DRIVER_API Flag KST_CDECL IsConnected() { return state.connected ? 1 : 0; }

DRIVER_API Flag KST_CDECL SetLanguage(std::uint16_t language) {
    if (language != kEnglish && language != kGerman) return Fail(kUnsupportedLanguage);
    state.language = language;
    return Succeed();
}

DRIVER_API std::int32_t KST_CDECL GetAngles() { return kAngleCount; }

DRIVER_API std::int32_t KST_CDECL GetWavelengths() { return kBands; }

DRIVER_API const char* KST_CDECL GetAngleValue(std::int32_t index) {
    if (index < 0 || index >= kAngleCount) {
        Fail(kOutOfRange);
        return Hand("");
    }
    return Hand(kAngles[index].name);
}

DRIVER_API std::int32_t KST_CDECL GetWavelengthValue(std::int32_t index) {
    if (!ValidBand(index)) {
        Fail(kOutOfRange);
        return 0;
    }
    return kFirstWavelength + index * kWavelengthStep;
}

DRIVER_API Flag KST_CDECL Measure() {
    if (!state.connected) return Fail(kNotConnected);
    if (state.calibration != 2) return Fail(kNotCalibrated);
    int patch = state.nextPatch;
    const std::string& target = FindSetting("Target")->value;
    for (int i = 0; i < kPatchCount; ++i)
        if (target == kPatches[i].name) patch = i;
    if (target == "Auto") state.nextPatch = (state.nextPatch + 1) % kPatchCount;
    state.samples.push_back({patch, FindSetting("Filter")->value == "M2|UV cut"});
    state.current = int(state.samples.size()) - 1;
    return Succeed();
}

DRIVER_API float KST_CDECL GetSpectralData(std::int32_t angle, std::int32_t band) {
    if (state.current < 0) {
        Fail(kNoSample);
        return 0.0f;
    }
    if (angle < 0 || angle >= kAngleCount || !ValidBand(band)) {
        Fail(kOutOfRange);
        return 0.0f;
    }
    return Value(state.samples[state.current], angle, band);
}

DRIVER_API Flag KST_CDECL IsDataReady() { return state.current >= 0 ? 1 : 0; }

DRIVER_API const char* KST_CDECL GetSerialNum() { return Hand("KSIM-000417"); }

DRIVER_API std::int32_t KST_CDECL GetCalStatus() { return state.calibration; }

DRIVER_API Flag KST_CDECL Calibrate() {
    if (!state.connected) return Fail(kNotConnected);
    state.calibration = 1;
    state.calibrationStep = 0;
    return Succeed();
}

DRIVER_API const char* KST_CDECL GetCalSteps() { return Hand("White;Black"); }

DRIVER_API const char* KST_CDECL GetCalMode() {
    return Hand(state.calibration == 1 ? kCalibrationSteps[state.calibrationStep] : "Manual");
}

DRIVER_API std::int32_t KST_CDECL GetCalProgress() {
    if (state.calibration == 2) return 100;
    if (state.calibration == 0) return 0;
    return state.calibrationStep * 100 / kCalibrationStepCount;
}

DRIVER_API Flag KST_CDECL AbortCalibration() {
    if (state.calibration != 1) return Fail(kNoCalibration);
    state.calibration = 0;
    return Succeed();
}

DRIVER_API Flag KST_CDECL CalibrateStep(const char* step) {
    if (state.calibration != 1) return Fail(kNoCalibration);
    if (step == nullptr || std::string(step) != kCalibrationSteps[state.calibrationStep])
        return Fail(kUnknownStep);
    if (++state.calibrationStep == kCalibrationStepCount) state.calibration = 2;
    return Succeed();
}

DRIVER_API Flag KST_CDECL ClearSamples() {
    state.samples.clear();
    state.current = -1;
    return Succeed();
}

DRIVER_API std::int32_t KST_CDECL GetSampleCount() { return std::int32_t(state.samples.size()); }

DRIVER_API Flag KST_CDECL SetCurrentSample(std::int32_t sample) {
    if (sample < 0 || sample >= std::int32_t(state.samples.size())) return Fail(kOutOfRange);
    state.current = sample;
    return Succeed();
}

DRIVER_API float KST_CDECL GetSampleData(std::int32_t sample, std::int32_t band) {
    if (sample < 0 || sample >= std::int32_t(state.samples.size()) || !ValidBand(band)) {
        Fail(kOutOfRange);
        return 0.0f;
    }
    return Value(state.samples[sample], 0, band);
}

DRIVER_API Flag KST_CDECL Configure() { return Succeed(); }

DRIVER_API const char* KST_CDECL GetAvailableSettings() {
    std::string names;
    for (const Setting& setting : state.settings) {
        if (!names.empty()) names += '|';
        names += setting.name;
    }
    return Hand(names);
}

DRIVER_API const char* KST_CDECL GetSettingOptions(const char* name) {
    const Setting* setting = FindSetting(name);
    if (setting == nullptr) {
        Fail(kUnknownSetting);
        return Hand("");
    }
    std::string options;
    for (const std::string& option : setting->options) {
        if (!options.empty()) options += ';';
        options += option;
    }
    return Hand(options);
}

DRIVER_API const char* KST_CDECL GetOption(const char* name) {
    const Setting* setting = FindSetting(name);
    if (setting == nullptr) {
        Fail(kUnknownSetting);
        return Hand("");
    }
    return Hand(setting->value);
}

DRIVER_API Flag KST_CDECL SetOption(const char* name, const char* value) {
    Setting* setting = FindSetting(name);
    if (setting == nullptr) return Fail(kUnknownSetting);
    for (const std::string& option : setting->options) {
        if (value != nullptr && option == value) {
            setting->value = option;
            return Succeed();
        }
    }
    return Fail(kInvalidValue);
}

DRIVER_API std::int32_t KST_CDECL GetLastErrorCode() { return state.error; }

DRIVER_API const char* KST_CDECL GetLastErrorString() {
    return Hand((state.language == kGerman ? kGermanErrors : kEnglishErrors)[state.error]);
}

DRIVER_API const char* KST_CDECL Execute(const char* command) {
    const std::string text = command != nullptr ? command : "";
    if (text == "VERSION") return Hand("KestavSim 1.0");
    if (text == "STATUS") {
        return Hand("connected=" + std::to_string(state.connected ? 1 : 0) +
                    ";calibration=" + std::to_string(state.calibration) +
                    ";samples=" + std::to_string(state.samples.size()) +
                    ";language=" + std::to_string(state.language));
    }
    if (text == "RESET") {
        const bool connected = state.connected;
        state = State();
        state.connected = connected;
        return Hand("OK");
    }
    Fail(kUnknownCommand);
    return Hand("");
}
