// kestav-register: the module's registration with the Citrix Workspace app
// for Linux (packaging/CitrixLinux.h), run by the package's scripts. The
// module is the one beside this program.
#include <iostream>

#include "packaging/CitrixLinux.h"
#include "platform/Library.h"
#include "platform/Names.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::cout << "kestav-register " << KST_VERSION << "\n";
        return 0;
    }
    const std::string module = platform::ProgramFolder(argv[0]) + "/" + names::kIcaLinuxModuleFile;
    return packaging::RegisterWithCitrixLinux(arguments, module,
                                              [](const std::string& line) { std::cout << "kestav-register: " << line << "\n"; });
}
