// The test builds' stand-in for the machine's settings on POSIX, in place of
// platform/posix/Registry.cpp (a build with tests links this one instead;
// what ships never holds it): so that the native build runs the same code
// and tests as Windows, registry values live in the process environment, one
// variable per value: "KST_HKLM<bits>\<key>\<name>" = "dword:<n>" or
// "sz:<text>" (the own view is the process's width's; SOFTWARE\Policies, which
// Windows shares between the views, has one copy), and KESTAV_SETTINGS_FILE
// points the settings file elsewhere. Nothing outside this process sees them.
#include "platform/Registry.h"
#include "platform/SettingsFile.h"

#include <stdlib.h>

#include <cstring>
#include <vector>

extern char** environ;

#include "platform/Environment.h"
#include "platform/Names.h"
#include "tests/support/TestSupport.h"

namespace platform {

namespace {
std::string Variable(View view, const std::string& key, const char* name) {
    const bool shared = key.compare(0, 18, "SOFTWARE\\Policies\\") == 0;
    // The own view is the process's width's, as on Windows.
    const bool bits32 = view == View::Bits32 || (view == View::Own && sizeof(void*) == 4);
    return std::string("KST_HKLM") + (bits32 && !shared ? "32" : "64") + "\\" + key +
           "\\" + name;
}

bool Read(View view, const std::string& key, const char* name, std::string* text) {
    const char* value = getenv(Variable(view, key, name).c_str());
    if (value == nullptr) return false;
    *text = value;
    return true;
}

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Every value directly under a key: the variables named <prefix><name>.
bool DeleteKeyVariables(const std::string& prefix) {
    std::vector<std::string> names;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable(*entry, std::strcspn(*entry, "="));
        if (StartsWith(variable, prefix.c_str()) &&
            variable.find('\\', prefix.size()) == std::string::npos)
            names.push_back(variable);
    }
    for (const std::string& variable : names) SetEnvironment(variable, "");
    return true;
}
}  // namespace

View ViewOf(int bits) {
    return bits == 64 ? View::Bits64 : View::Bits32;
}

TextKind ReadMachineText(View view, const std::string& key, const char* name, std::string* value) {
    std::string text;
    if (!Read(view, key, name, &text) || text.empty()) return TextKind::Absent;
    if (StartsWith(text, "sz:")) {
        *value = text.substr(3);
        return TextKind::Plain;
    }
    if (StartsWith(text, "expand_sz:")) {
        *value = text.substr(10);
        return TextKind::Expandable;
    }
    if (StartsWith(text, "multi_sz:")) {  // the strings apart by line ends (no NUL in a variable)
        *value = text.substr(9);
        for (char& c : *value)
            if (c == '\n') c = '\0';
        return TextKind::List;
    }
    return TextKind::Other;
}

bool WriteMachineText(View view, const std::string& key, const char* name, const std::string& value,
                      TextKind kind) {
    std::string text = value;
    if (kind == TextKind::List)
        for (char& c : text)
            if (c == '\0') c = '\n';
    SetEnvironment(Variable(view, key, name),
                   (kind == TextKind::Expandable ? "expand_sz:" : kind == TextKind::List ? "multi_sz:" : "sz:") + text);
    return true;
}

bool WriteMachineBinary(View view, const std::string& key, const char* name, const std::string& bytes) {
    SetEnvironment(Variable(view, key, name), "binary:" + bytes);
    return true;
}

bool ReadMachineString(View view, const std::string& key, const char* name, std::string* value) {
    const TextKind kind = ReadMachineText(view, key, name, value);
    return kind == TextKind::Plain || kind == TextKind::Expandable;
}

bool WriteMachineString(View view, const std::string& key, const char* name,
                        const std::string& value) {
    return WriteMachineText(view, key, name, value, TextKind::Plain);
}

bool DeleteMachineKey(View view, const std::string& key) {
    return DeleteKeyVariables(Variable(view, key, ""));
}

bool DeleteMachineKeyIfEmpty(View view, const std::string& key) {
    // A key here is its values' variables: with none left it is gone already.
    return !testing_support::MachineKeyExists(view, key);
}

ValueKind ReadMachineDword(View view, const std::string& key, const char* name,
                           std::uint32_t* value) {
    std::string text;
    if (!Read(view, key, name, &text)) return ValueKind::Absent;
    if (!StartsWith(text, "dword:")) return ValueKind::Other;
    *value = static_cast<std::uint32_t>(std::strtoul(text.c_str() + 6, nullptr, 10));
    return ValueKind::Dword;
}

bool WriteMachineDword(View view, const std::string& key, const char* name, std::uint32_t value) {
    SetEnvironment(Variable(view, key, name), "dword:" + std::to_string(value));
    return true;
}

bool DeleteMachineValue(View view, const std::string& key, const char* name) {
    SetEnvironment(Variable(view, key, name), "");
    return true;
}

// The current user's values: "KST_HKCU\<key>\<name>" = "sz:<text>".
bool ReadUserString(const std::string& key, const char* name, std::string* value) {
    const char* text = getenv(("KST_HKCU\\" + key + "\\" + name).c_str());
    if (text == nullptr || !StartsWith(text, "sz:")) return false;
    *value = text + 3;
    return true;
}

bool WriteUserString(const std::string& key, const char* name, const std::string& value) {
    SetEnvironment("KST_HKCU\\" + key + "\\" + name, "sz:" + value);
    return true;
}

bool DeleteUserKey(const std::string& key) { return DeleteKeyVariables("KST_HKCU\\" + key + "\\"); }

std::string SettingsFilePath() {
    const char* chosen = getenv("KESTAV_SETTINGS_FILE");
    return chosen != nullptr && *chosen != '\0' ? chosen : names::kSettingsFile;
}

}  // namespace platform

namespace testing_support {

bool MachineKeyExists(platform::View view, const std::string& key) {
    const std::string prefix = platform::Variable(view, key, "");
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const char* equals = std::strchr(*entry, '=');
        if (platform::StartsWith(*entry, prefix.c_str()) && equals != nullptr && equals[1] != '\0') return true;
    }
    return false;
}

}  // namespace testing_support
