// The reference instrument driver: a small simulated spectrophotometer that
// exports the 31 entry points. Server-side developers test against it;
// docs/server-developers.md describes its behaviour.
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <string>
#include <vector>

#include "include/kestav/InstrumentDriver.h"

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
    int glossPermille;  // how the reflectance changes with the viewing angle
};
const Angle kAngles[] = {{"45", 1000}, {"15", 1080}, {"110", 860}};
constexpr int kAngleCount = 3;

// Reflectance of the colour patches the simulator can measure, in units of
// 1/10000, 400 to 700 nm. Kept as integers so that every build answers the
// very same numbers, whatever its floating-point unit.
struct Patch {
    const char* name;
    int reflectance[kBands];
};
const Patch kPatches[] = {
    {"White",
     {8822, 8836, 8788, 8761, 8801, 8840, 8810, 8763, 8779, 8831, 8829, 8777, 8764, 8812, 8839, 8799, 8760, 8790, 8837, 8820, 8769, 8771, 8823, 8836, 8787, 8761, 8802, 8840, 8810, 8763, 8780}},
    {"Red",
     {522, 536, 488, 461, 501, 540, 510, 464, 480, 533, 534, 488, 487, 566, 662, 774, 1067, 1761, 2960, 4520, 6045, 7200, 7916, 8260, 8365, 8407, 8478, 8530, 8505, 8461, 8479}},
    {"Orange",
     {622, 636, 588, 561, 601, 641, 612, 567, 589, 654, 682, 698, 839, 1224, 1935, 3097, 4738, 6514, 7924, 8752, 9100, 9175, 9097, 8900, 8655, 8492, 8456, 8459, 8415, 8364, 8380}},
    {"Yellow",
     {824, 841, 798, 785, 856, 965, 1093, 1385, 2082, 3315, 4929, 6493, 7661, 8390, 8757, 8874, 8905, 8966, 9026, 9016, 8967, 8970, 9022, 9036, 8987, 8961, 9002, 9040, 9010, 8963, 8980}},
    {"Green",
     {527, 548, 518, 531, 655, 848, 1079, 1429, 1993, 2717, 3439, 4045, 4498, 4716, 4579, 4083, 3407, 2755, 2202, 1737, 1386, 1199, 1139, 1089, 1010, 969, 1004, 1041, 1010, 963, 980}},
    {"Cyan",
     {6822, 6834, 6785, 6756, 6793, 6826, 6786, 6722, 6707, 6707, 6616, 6414, 6158, 5827, 5304, 4538, 3660, 2850, 2172, 1605, 1175, 934, 836, 760, 659, 602, 625, 654, 618, 568, 582}},
    {"Blue",
     {1644, 2386, 3217, 4064, 4758, 5040, 4767, 4067, 3209, 2381, 1652, 1088, 763, 649, 608, 557, 557, 682, 901, 1121, 1305, 1480, 1632, 1694, 1669, 1653, 1698, 1738, 1709, 1663, 1680}},
    {"Violet",
     {4022, 4035, 3986, 3958, 3997, 4032, 3997, 3940, 3939, 3961, 3910, 3774, 3626, 3465, 3193, 2769, 2314, 1994, 1880, 1985, 2311, 2767, 3167, 3378, 3425, 3438, 3495, 3539, 3510, 3464, 3480}},
    {"Grey",
     {4222, 4236, 4188, 4161, 4201, 4240, 4210, 4163, 4179, 4231, 4229, 4177, 4164, 4212, 4239, 4199, 4160, 4190, 4237, 4220, 4169, 4171, 4223, 4236, 4187, 4161, 4202, 4240, 4210, 4163, 4180}},
};
constexpr int kPatchCount = sizeof kPatches / sizeof kPatches[0];

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
    int measureMs = 0;  // how long Measure takes, as a real instrument's 1 to 3 s
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
    int units = (kPatches[sample.patch].reflectance[band] * kAngles[angle].glossPermille + 500) / 1000;
    const int nm = kFirstWavelength + band * kWavelengthStep;
    if (sample.uvCut && nm < 420) units = units * 55 / 100;  // the UV-cut filter
    return float(units) / 10000.0f;
}

bool ValidBand(int band) { return band >= 0 && band < kBands; }

}  // namespace

KST_DRIVER_API KstFlag KST_DRIVER_CALL Connect() {
    state.connected = true;
    return Succeed();
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL Disconnect() {
    state.connected = false;
    return Succeed();
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL IsConnected() { return state.connected ? 1 : 0; }

KST_DRIVER_API KstFlag KST_DRIVER_CALL SetLanguage(std::uint16_t language) {
    if (language != kEnglish && language != kGerman) return Fail(kUnsupportedLanguage);
    state.language = language;
    return Succeed();
}

KST_DRIVER_API KstInt KST_DRIVER_CALL GetAngles() { return kAngleCount; }

KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengths() { return kBands; }

KST_DRIVER_API const char* KST_DRIVER_CALL GetAngleValue(std::int32_t index) {
    if (index < 0 || index >= kAngleCount) {
        Fail(kOutOfRange);
        return Hand("");
    }
    return Hand(kAngles[index].name);
}

KST_DRIVER_API KstInt KST_DRIVER_CALL GetWavelengthValue(std::int32_t index) {
    if (!ValidBand(index)) {
        Fail(kOutOfRange);
        return 0;
    }
    return kFirstWavelength + index * kWavelengthStep;
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL Measure() {
    if (!state.connected) return Fail(kNotConnected);
    if (state.calibration != 2) return Fail(kNotCalibrated);
    int patch = state.nextPatch;
    const std::string& target = FindSetting("Target")->value;
    for (int i = 0; i < kPatchCount; ++i)
        if (target == kPatches[i].name) patch = i;
    if (target == "Auto") state.nextPatch = (state.nextPatch + 1) % kPatchCount;
    state.samples.push_back({patch, FindSetting("Filter")->value == "M2|UV cut"});
    state.current = int(state.samples.size()) - 1;
    if (state.measureMs > 0) std::this_thread::sleep_for(std::chrono::milliseconds(state.measureMs));
    return Succeed();
}

KST_DRIVER_API KstReal KST_DRIVER_CALL GetSpectralData(std::int32_t angle, std::int32_t band) {
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

KST_DRIVER_API KstFlag KST_DRIVER_CALL IsDataReady() { return state.current >= 0 ? 1 : 0; }

KST_DRIVER_API const char* KST_DRIVER_CALL GetSerialNum() { return Hand("KSIM-000417"); }

KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalStatus() { return state.calibration; }

KST_DRIVER_API KstFlag KST_DRIVER_CALL Calibrate() {
    if (!state.connected) return Fail(kNotConnected);
    state.calibration = 1;
    state.calibrationStep = 0;
    return Succeed();
}

KST_DRIVER_API const char* KST_DRIVER_CALL GetCalSteps() { return Hand("White;Black"); }

KST_DRIVER_API const char* KST_DRIVER_CALL GetCalMode() {
    return Hand(state.calibration == 1 ? kCalibrationSteps[state.calibrationStep] : "Manual");
}

KST_DRIVER_API KstInt KST_DRIVER_CALL GetCalProgress() {
    if (state.calibration == 2) return 100;
    if (state.calibration == 0) return 0;
    return state.calibrationStep * 100 / kCalibrationStepCount;
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL AbortCalibration() {
    if (state.calibration != 1) return Fail(kNoCalibration);
    state.calibration = 0;
    return Succeed();
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL CalibrateStep(const char* step) {
    if (state.calibration != 1) return Fail(kNoCalibration);
    if (step == nullptr || std::string(step) != kCalibrationSteps[state.calibrationStep])
        return Fail(kUnknownStep);
    if (++state.calibrationStep == kCalibrationStepCount) state.calibration = 2;
    return Succeed();
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL ClearSamples() {
    state.samples.clear();
    state.current = -1;
    return Succeed();
}

KST_DRIVER_API KstInt KST_DRIVER_CALL GetSampleCount() { return std::int32_t(state.samples.size()); }

KST_DRIVER_API KstFlag KST_DRIVER_CALL SetCurrentSample(std::int32_t sample) {
    if (sample < 0 || sample >= std::int32_t(state.samples.size())) return Fail(kOutOfRange);
    state.current = sample;
    return Succeed();
}

KST_DRIVER_API KstReal KST_DRIVER_CALL GetSampleData(std::int32_t sample, std::int32_t band) {
    if (sample < 0 || sample >= std::int32_t(state.samples.size()) || !ValidBand(band)) {
        Fail(kOutOfRange);
        return 0.0f;
    }
    return Value(state.samples[sample], 0, band);
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL Configure() { return Succeed(); }

KST_DRIVER_API const char* KST_DRIVER_CALL GetAvailableSettings() {
    std::string names;
    for (const Setting& setting : state.settings) {
        if (!names.empty()) names += '|';
        names += setting.name;
    }
    return Hand(names);
}

KST_DRIVER_API const char* KST_DRIVER_CALL GetSettingOptions(const char* name) {
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

KST_DRIVER_API const char* KST_DRIVER_CALL GetOption(const char* name) {
    const Setting* setting = FindSetting(name);
    if (setting == nullptr) {
        Fail(kUnknownSetting);
        return Hand("");
    }
    return Hand(setting->value);
}

KST_DRIVER_API KstFlag KST_DRIVER_CALL SetOption(const char* name, const char* value) {
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

KST_DRIVER_API KstInt KST_DRIVER_CALL GetLastErrorCode() { return state.error; }

KST_DRIVER_API const char* KST_DRIVER_CALL GetLastErrorString() {
    return Hand((state.language == kGerman ? kGermanErrors : kEnglishErrors)[state.error]);
}

KST_DRIVER_API const char* KST_DRIVER_CALL Execute(const char* command) {
    const std::string text = command != nullptr ? command : "";
    if (text == "VERSION") return Hand("KestavSim 1.0");
    if (text == "STATUS") {
        return Hand("connected=" + std::to_string(state.connected ? 1 : 0) +
                    ";calibration=" + std::to_string(state.calibration) +
                    ";samples=" + std::to_string(state.samples.size()) +
                    ";language=" + std::to_string(state.language));
    }
    // "MEASURETIME=2000": Measure takes that many milliseconds from now on
    // (at most a minute), so that a server application can try its time-outs.
    if (text.compare(0, 12, "MEASURETIME=") == 0) {
        char* end = nullptr;
        const long ms = std::strtol(text.c_str() + 12, &end, 10);
        if (text.size() == 12 || *end != '\0' || ms < 0 || ms > 60000) {
            Fail(kInvalidValue);
            return Hand("");
        }
        state.measureMs = int(ms);
        return Hand("OK");
    }
    // "TEXT=1048573": a text of that many letters, "abc...zab...", so that a
    // server application can try the longest response (OK| and these).
    if (text.compare(0, 5, "TEXT=") == 0) {
        char* end = nullptr;
        const long size = std::strtol(text.c_str() + 5, &end, 10);
        if (text.size() == 5 || *end != '\0' || size < 0 || size > 4 * 1024 * 1024) {
            Fail(kInvalidValue);
            return Hand("");
        }
        std::string letters(std::size_t(size), 'a');
        for (std::size_t i = 0; i < letters.size(); ++i) letters[i] = char('a' + i % 26);
        return Hand(letters);
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
