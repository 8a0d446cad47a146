// The administrator's settings (platform/Names.h lists them): a policy
// value under HKLM\SOFTWARE\Policies\Kestav\ClientDriver wins over a
// preference under HKLM\SOFTWARE\Kestav\ClientDriver; with neither, the
// setting's default holds. Both are read in the registry view of this
// module's own bitness: a 32-bit module on 64-bit Windows reads its
// preferences under WOW6432Node, while SOFTWARE\Policies is one key for both
// views (Windows shares it), so one Group Policy serves both clients.
// Where there is no registry (Linux), the settings file holds them
// (platform/SettingsFile.h). A value that is no DWORD (no number), or lies
// outside the setting's range, is passed over as if it were absent: never
// taken as 0.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/Names.h"
#include "platform/Registry.h"

namespace diag {

enum class SettingSource { Default, Policy, Preference, File };

struct SettingValue {
    std::uint32_t value = 0;
    SettingSource source = SettingSource::Default;
};

// The value in force. Each value passed over adds a line to *ignored, e.g.
// "Setting DriverTimeoutSeconds: the policy value 0 is outside 1 to 3600, ignored",
// "Setting DriverTimeoutSeconds: the settings file value "99999999999" (line 9) is outside 1 to 3600, ignored"
// (of the file's lines for a setting, the last usable one holds).
SettingValue ReadSetting(const names::Setting& setting, platform::View view = platform::View::Own,
                         std::vector<std::string>* ignored = nullptr);

// "policy", "preference", "settings file" or "default".
const char* SourceName(SettingSource source);

// One log line for each setting that is set, saying where its value came
// from ("Setting InstrumentThread = 0 (policy)"), one for each value passed
// over, and one for a settings file that is there but not read. Called once
// per session, when the transport opens.
void LogSettings();

}  // namespace diag
