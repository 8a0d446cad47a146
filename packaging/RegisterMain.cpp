// KestavRegister.exe: the installer's custom action that registers the
// module with one ICA client, in that client's registry view: its name added
// to, or removed from, the VirtualDriverEx list (every other entry left as it
// was), and its own key Modules\KestavClientDriver written, or removed.
//   KestavRegister.exe add 64      (the 64-bit client)
//   KestavRegister.exe remove 32   (the 32-bit client; WOW6432Node on 64-bit Windows)
// Exit 0 on success (also when there was nothing to do), 1 on failure.
#include <cstdio>
#include <string>

#include "packaging/DriverList.h"
#include "packaging/Names.h"
#include "platform/Registry.h"

namespace {
int Fail(const char* what, int bits) {
    std::fprintf(stderr, "KestavRegister: cannot %s (%d-bit registry view)\n", what, bits);
    return 1;
}
}  // namespace

int main(int argc, char** argv) {
    const std::string action = argc == 3 ? argv[1] : "";
    const std::string view = argc == 3 ? argv[2] : "";
    if ((action != "add" && action != "remove") || (view != "32" && view != "64")) {
        std::fprintf(stderr, "usage: KestavRegister add|remove 32|64\n");
        return 1;
    }
    const int bits = view == "64" ? 64 : 32;
    if (action == "add") {
        for (const char* value : names::kCitrixModuleValues)
            if (!platform::WriteMachineString(platform::ViewOf(bits), names::kCitrixModuleKey, value,
                                          names::kIcaModuleFile))
                return Fail("write the module's key", bits);
    } else if (!platform::DeleteMachineKey(platform::ViewOf(bits), names::kCitrixModuleKey)) {
        return Fail("remove the module's key", bits);
    }
    std::string list;
    const bool present = platform::ReadMachineString(platform::ViewOf(bits), names::kCitrixModuleListKey,
                                                     names::kCitrixModuleListValue, &list);
    if (action == "remove" && !present) return 0;
    const std::string changed = action == "add"
                                    ? packaging::AddModule(list, names::kModuleName)
                                    : packaging::RemoveModule(list, names::kModuleName);
    if (present && changed == list) return 0;
    if (!platform::WriteMachineString(platform::ViewOf(bits), names::kCitrixModuleListKey,
                                      names::kCitrixModuleListValue, changed))
        return Fail("write VirtualDriverEx", bits);
    return 0;
}
