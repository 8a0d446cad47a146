// KestavRegister.exe: the installer's custom action for one ICA client, in
// that client's registry view (the 32-bit client on 64-bit Windows: the
// WOW6432Node view).
//   KestavRegister.exe add 64 [IsolateDriver=1] [DriverTimeoutSeconds=90] [InstrumentThread=0]
//     registers the module: its name added to the VirtualDriverEx list (every
//     other entry left as it was) and its own key Modules\KestavClientDriver;
//     writes each setting given with a value as a preference (the package's
//     properties ISOLATEDRIVER, DRIVERTIMEOUTSECONDS, INSTRUMENTTHREAD; an
//     empty value leaves that setting untouched) and notes that it did.
//   KestavRegister.exe settings 64 [IsolateDriver=0] [...]
//     the settings alone, as "add" writes them, for a view without a Citrix
//     client (the Remote Desktop plug-in reads them too).
//   KestavRegister.exe remove 32
//     the reverse: our entry and our key removed, and each setting this tool
//     wrote removed, unless it has been changed since. When a newer package
//     is replacing this one (it sets Installer\Upgrading first), the
//     settings stay for it; its "add" clears the mark.
// Exit 0 on success (also when there was nothing to do), 1 on failure.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "packaging/DriverList.h"
#include "packaging/Names.h"
#include "platform/Registry.h"

namespace {

int Fail(const std::string& what, int bits) {
    std::fprintf(stderr, "KestavRegister: cannot %s (%d-bit registry view)\n", what.c_str(), bits);
    return 1;
}

// Says why VirtualDriverEx is left alone; 1.
int WrongType(int bits) {
    std::fprintf(stderr,
                 "KestavRegister: %s\\%s is neither REG_SZ nor REG_EXPAND_SZ (%d-bit registry view): "
                 "another program keeps it in a form this tool does not edit; nothing was changed\n",
                 names::kCitrixModuleListKey, names::kCitrixModuleListValue, bits);
    return 1;
}

int EditList(platform::View view, bool add, int bits) {
    switch (packaging::EditModuleList(view, add)) {
        case packaging::ListEdit::Done:
            return 0;
        case packaging::ListEdit::WrongType:
            return WrongType(bits);
        default:
            return Fail("write VirtualDriverEx", bits);
    }
}

// "IsolateDriver=1": the setting and its value; false for anything else.
// An empty value ("IsolateDriver=") means the property was not given.
bool ParseSetting(const std::string& argument, const names::Setting** setting,
                  std::string* value) {
    const std::string::size_type equals = argument.find('=');
    if (equals == std::string::npos) return false;
    for (const names::Setting& known : names::kSettings)
        if (argument.compare(0, equals, known.name) == 0 && equals == std::string(known.name).size()) {
            *setting = &known;
            *value = argument.substr(equals + 1);
            return true;
        }
    return false;
}

struct Write {
    const names::Setting* setting;
    std::uint32_t value;
};

// Every setting checked before anything is written: false (and why on the
// error output) for any argument that is not a setting in range.
bool ParseSettings(const std::vector<std::string>& arguments, std::vector<Write>* writes) {
    for (const std::string& argument : arguments) {
        const names::Setting* setting = nullptr;
        std::string text;
        if (!ParseSetting(argument, &setting, &text)) {
            std::fprintf(stderr, "KestavRegister: unknown argument \"%s\"\n", argument.c_str());
            return false;
        }
        if (text.empty()) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(text.c_str(), &end, 10);
        if (*end != '\0' || text[0] == '-' || value < setting->minimum || value > setting->maximum) {
            std::fprintf(stderr, "KestavRegister: %s must be a number from %u to %u, not \"%s\"\n",
                         setting->name, setting->minimum, setting->maximum, text.c_str());
            return false;
        }
        writes->push_back({setting, std::uint32_t(value)});
    }
    return true;
}

// Each setting given as a preference, noted as written by the package; the
// mark of an upgrade in progress cleared.
int WriteSettings(int bits, const std::vector<Write>& writes) {
    const platform::View view = platform::ViewOf(bits);
    platform::DeleteMachineValue(view, names::kInstallerKey, names::kUpgradingValue);
    for (const Write& write : writes) {
        const std::string record = std::string(names::kWrotePrefix) + write.setting->name;
        if (!platform::WriteMachineDword(view, names::kPreferenceKey, write.setting->name, write.value) ||
            !platform::WriteMachineDword(view, names::kInstallerKey, record.c_str(), write.value))
            return Fail(std::string("write the setting ") + write.setting->name, bits);
    }
    return 0;
}

int Add(int bits, const std::vector<std::string>& arguments) {
    const platform::View view = platform::ViewOf(bits);
    std::vector<Write> writes;
    if (!ParseSettings(arguments, &writes)) return 1;
    if (!packaging::ModuleListEditable(view)) return WrongType(bits);
    for (const char* value : names::kCitrixModuleValues)
        if (!platform::WriteMachineString(view, names::kCitrixModuleKey, value, names::kIcaModuleFile))
            return Fail("write the module's key", bits);
    if (const int failed = EditList(view, true, bits)) return failed;
    return WriteSettings(bits, writes);
}

// The settings alone, where this view has no Citrix client (the Remote
// Desktop plug-in reads them as well).
int Settings(int bits, const std::vector<std::string>& arguments) {
    std::vector<Write> writes;
    if (!ParseSettings(arguments, &writes)) return 1;
    return WriteSettings(bits, writes);
}

int Remove(int bits) {
    const platform::View view = platform::ViewOf(bits);
    if (!packaging::ModuleListEditable(view)) return WrongType(bits);
    if (!platform::DeleteMachineKey(view, names::kCitrixModuleKey))
        return Fail("remove the module's key", bits);
    if (const int failed = EditList(view, false, bits)) return failed;
    std::string upgrading;
    if (platform::ReadMachineString(view, names::kInstallerKey, names::kUpgradingValue, &upgrading))
        return 0;  // the newer package takes the settings over
    for (const names::Setting& setting : names::kSettings) {
        const std::string record = std::string(names::kWrotePrefix) + setting.name;
        std::uint32_t wrote = 0, now = 0;
        if (platform::ReadMachineDword(view, names::kInstallerKey, record.c_str(), &wrote) !=
            platform::ValueKind::Dword)
            continue;
        // A value changed since the package wrote it is the administrator's.
        if (platform::ReadMachineDword(view, names::kPreferenceKey, setting.name, &now) ==
                platform::ValueKind::Dword &&
            now == wrote)
            platform::DeleteMachineValue(view, names::kPreferenceKey, setting.name);
        platform::DeleteMachineValue(view, names::kInstallerKey, record.c_str());
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string action = argc >= 3 ? argv[1] : "";
    const std::string view = argc >= 3 ? argv[2] : "";
    if ((action != "add" && action != "settings" && action != "remove") ||
        (view != "32" && view != "64") || (action == "remove" && argc != 3)) {
        std::fprintf(stderr, "usage: KestavRegister add 32|64 [Setting=value ...]\n"
                             "       KestavRegister settings 32|64 [Setting=value ...]\n"
                             "       KestavRegister remove 32|64\n");
        return 1;
    }
    const int bits = view == "64" ? 64 : 32;
    if (action == "remove") return Remove(bits);
    const std::vector<std::string> settings(argv + 3, argv + argc);
    return action == "add" ? Add(bits, settings) : Settings(bits, settings);
}
