#include "platform/Arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <cwchar>

#include "platform/Text.h"
#include "platform/win32/Wide.h"

namespace platform {

std::vector<std::string> ProgramArguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (wide == nullptr || count != argc) {
        // Not the command line the C runtime read: its 8-bit copy it is.
        for (int i = 0; i < argc; ++i) arguments.push_back(PathFromAnsi(argv[i]));
    } else {
        for (int i = 0; i < count; ++i) arguments.push_back(Narrow(wide[i], std::wcslen(wide[i])));
    }
    if (wide != nullptr) LocalFree(wide);
    return arguments;
}

}  // namespace platform
