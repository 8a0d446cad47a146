#include "diag/Settings.h"

#include <algorithm>

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

namespace {
// A value of the settings file as a number: decimal digits alone, saturated
// past 32 bits (so that it reads as out of range); false for anything else.
bool FileNumber(const std::string& text, std::uint64_t* value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    *value = 0;
    for (const char c : text) *value = std::min<std::uint64_t>(*value * 10 + std::uint64_t(c - '0'), 1ull << 33);
    return true;
}

std::string Outside(std::uint64_t value, const names::Setting& setting) {
    if (value >= setting.minimum && value <= setting.maximum) return std::string();
    return " is outside " + std::to_string(setting.minimum) + " to " + std::to_string(setting.maximum);
}
}  // namespace

SettingValue ReadSetting(const names::Setting& setting, platform::View view,
                         std::vector<std::string>* ignored) {
    const auto passOver = [&](SettingSource source, const std::string& problem) {
        if (ignored != nullptr)
            ignored->push_back(std::string("Setting ") + setting.name + ": the " + SourceName(source) + " value " +
                               problem + ", ignored");
    };
    for (const Place& place : kPlaces) {
        if (place.source == SettingSource::File) {
            // The last line with a usable value holds; each line passed over
            // is named with its number, whichever line holds.
            bool found = false;
            std::uint32_t holds = 0;
            for (const platform::SettingsFileLine& line : platform::ReadSettingsFile(setting.name)) {
                std::string shown = "\"";
                AppendShown(shown, line.value);
                shown += "\" (line " + std::to_string(line.number) + ")";
                std::uint64_t value = 0;
                if (!FileNumber(line.value, &value)) {
                    passOver(place.source, shown + " is not a number");
                } else if (!Outside(value, setting).empty()) {
                    passOver(place.source, shown + Outside(value, setting));
                } else {
                    found = true;
                    holds = std::uint32_t(value);
                }
            }
            if (found) return {holds, place.source};
            continue;
        }
        std::uint32_t value = 0;
        const platform::ValueKind kind = platform::ReadMachineDword(view, place.key, setting.name, &value);
        if (kind == platform::ValueKind::Absent) continue;
        if (kind != platform::ValueKind::Dword) {
            passOver(place.source, "is not a DWORD");
        } else if (!Outside(value, setting).empty()) {
            passOver(place.source, std::to_string(value) + Outside(value, setting));
        } else {
            return {value, place.source};
        }
    }
    return {setting.fallback, SettingSource::Default};
}

void LogSettings() {
    const std::string problem = platform::SettingsFileProblem();
    if (!problem.empty())
        LogLine("Settings file ", platform::SettingsFilePath(), " not read: ", problem, "; its settings are at their defaults");
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
