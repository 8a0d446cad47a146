#include "packaging/Registration.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "packaging/DriverList.h"
#include "platform/Names.h"
#include "platform/Registry.h"

namespace packaging {

namespace {

std::string View(int bits) { return " (" + std::to_string(bits) + "-bit registry view)"; }

int Fail(const Say& say, const std::string& what, int bits) {
    say("KestavRegister: cannot " + what + View(bits));
    return 1;
}

const std::string kList = std::string(names::kCitrixModuleListKey) + "\\" + names::kCitrixModuleListValue;

// Says why VirtualDriverEx is left alone; 1.
int WrongType(const Say& say, int bits) {
    say("KestavRegister: " + kList + " is neither REG_SZ nor REG_EXPAND_SZ" + View(bits) +
        ": another program keeps it in a form this tool does not edit; nothing was changed");
    return 1;
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
bool ParseSettings(const std::vector<std::string>& arguments, std::vector<Write>* writes, const Say& say) {
    for (const std::string& argument : arguments) {
        const names::Setting* setting = nullptr;
        std::string text;
        if (!ParseSetting(argument, &setting, &text)) {
            say("KestavRegister: unknown argument \"" + argument + "\"");
            return false;
        }
        if (text.empty()) continue;
        char* end = nullptr;
        const unsigned long value = std::strtoul(text.c_str(), &end, 10);
        if (*end != '\0' || text[0] == '-' || value < setting->minimum || value > setting->maximum) {
            say("KestavRegister: " + std::string(setting->name) + " must be a number from " +
                std::to_string(setting->minimum) + " to " + std::to_string(setting->maximum) + ", not \"" + text +
                "\"");
            return false;
        }
        writes->push_back({setting, std::uint32_t(value)});
    }
    return true;
}

// Each setting given as a preference, noted as written by the package; the
// mark of an upgrade in progress cleared.
int WriteSettings(int bits, const std::vector<Write>& writes, const Say& say) {
    const platform::View view = platform::ViewOf(bits);
    platform::DeleteMachineValue(view, names::kInstallerKey, names::kUpgradingValue);
    for (const Write& write : writes) {
        const std::string record = std::string(names::kWrotePrefix) + write.setting->name;
        if (!platform::WriteMachineDword(view, names::kPreferenceKey, write.setting->name, write.value) ||
            !platform::WriteMachineDword(view, names::kInstallerKey, record.c_str(), write.value))
            return Fail(say, std::string("write the setting ") + write.setting->name, bits);
    }
    return 0;
}

int Add(int bits, const std::vector<std::string>& arguments, const Say& say) {
    const platform::View view = platform::ViewOf(bits);
    std::vector<Write> writes;
    if (!ParseSettings(arguments, &writes, say)) return 1;
    if (!ModuleListEditable(view)) return WrongType(say, bits);
    for (const char* value : names::kCitrixModuleValues)
        if (!platform::WriteMachineString(view, names::kCitrixModuleKey, value, names::kIcaModuleFile))
            return Fail(say, "write the module's key", bits);
    switch (EditModuleList(view, true)) {
        case ListEdit::Done:
            break;
        case ListEdit::WrongType:
            return WrongType(say, bits);
        case ListEdit::Failed:
            return Fail(say, "write VirtualDriverEx", bits);
    }
    return WriteSettings(bits, writes, say);
}

// The settings alone, where this view has no Citrix client (the Remote
// Desktop plug-in reads them as well).
int Settings(int bits, const std::vector<std::string>& arguments, const Say& say) {
    std::vector<Write> writes;
    if (!ParseSettings(arguments, &writes, say)) return 1;
    return WriteSettings(bits, writes, say);
}

// Never blocked by what another product did to the list: an uninstall that
// fails leaves the module, its files and keys on the PC for good.
int Remove(int bits, const Say& say) {
    const platform::View view = platform::ViewOf(bits);
    switch (EditModuleList(view, false)) {
        case ListEdit::Done:
            break;
        case ListEdit::WrongType:
            say("KestavRegister: warning: " + kList + " is of a type this tool does not edit" + View(bits) +
                ": left as it is (if it names " + names::kModuleName +
                ", take that out by hand); the rest of the registration is removed");
            break;
        case ListEdit::Failed:
            return Fail(say, "write VirtualDriverEx", bits);
    }
    if (!platform::DeleteMachineKey(view, names::kCitrixModuleKey))
        return Fail(say, "remove the module's key", bits);
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
    // The keys the package made, where nothing is left in them (the
    // installer's own values are gone by now); an administrator's value keeps
    // its key.
    if (platform::DeleteMachineKeyIfEmpty(view, names::kInstallerKey) &&
        platform::DeleteMachineKeyIfEmpty(view, names::kPreferenceKey))
        platform::DeleteMachineKeyIfEmpty(view, names::kCompanyKey);
    return 0;
}

}  // namespace

int Register(const std::vector<std::string>& arguments, const Say& say) {
    const std::string action = arguments.size() >= 2 ? arguments[0] : "";
    const std::string view = arguments.size() >= 2 ? arguments[1] : "";
    if ((action != "add" && action != "settings" && action != "remove") || (view != "32" && view != "64") ||
        (action == "remove" && arguments.size() != 2)) {
        say("usage: KestavRegister add 32|64 [Setting=value ...]");
        say("       KestavRegister settings 32|64 [Setting=value ...]");
        say("       KestavRegister remove 32|64");
        return 2;
    }
    const int bits = view == "64" ? 64 : 32;
    if (action == "remove") return Remove(bits, say);
    const std::vector<std::string> settings(arguments.begin() + 2, arguments.end());
    return action == "add" ? Add(bits, settings, say) : Settings(bits, settings, say);
}

}  // namespace packaging
