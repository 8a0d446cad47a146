#include "diag/Settings.h"

#include "diag/LogFile.h"
#include "platform/SettingsFile.h"

namespace diag {

namespace {
struct Place {
    SettingSource source;
    const char* key;
};
const Place kPlaces[] = {{SettingSource::Policy, names::kPolicyKey},
                         {SettingSource::Preference, names::kPreferenceKey},
                         {SettingSource::File, nullptr}};
}  // namespace

const char* SourceName(SettingSource source) {
    switch (source) {
        case SettingSource::Policy:
            return "policy";
        case SettingSource::Preference:
            return "preference";
        case SettingSource::File:
            return "settings file";
        default:
            return "default";
    }
}

SettingValue ReadSetting(const names::Setting& setting, platform::View view,
                         std::vector<std::string>* ignored) {
    for (const Place& place : kPlaces) {
        std::uint32_t value = 0;
        const platform::ValueKind kind =
            place.source == SettingSource::File
                ? platform::ReadSettingsFile(setting.name, &value)
                : platform::ReadMachineDword(view, place.key, setting.name, &value);
        if (kind == platform::ValueKind::Absent) continue;
        std::string problem;
        if (kind != platform::ValueKind::Dword)
            problem = place.source == SettingSource::File ? "is not a number" : "is not a DWORD";
        else if (value < setting.minimum || value > setting.maximum)
            problem = std::to_string(value) + " is outside " + std::to_string(setting.minimum) +
                      " to " + std::to_string(setting.maximum);
        if (problem.empty()) return {value, place.source};
        if (ignored != nullptr)
            ignored->push_back(std::string("Setting ") + setting.name + ": the " +
                               SourceName(place.source) + " value " + problem + ", ignored");
    }
    return {setting.fallback, SettingSource::Default};
}

void LogSettings() {
    for (const names::Setting& setting : names::kSettings) {
        std::vector<std::string> ignored;
        const SettingValue value = ReadSetting(setting, platform::View::Own, &ignored);
        for (const std::string& line : ignored) LogLine(line);
        if (value.source != SettingSource::Default)
            LogLine("Setting ", setting.name, " = ", std::to_string(value.value), " (",
                    SourceName(value.source), ")");
    }
}

}  // namespace diag
