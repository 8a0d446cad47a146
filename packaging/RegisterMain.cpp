// KestavRegister.exe: the module's registration with one ICA client
// (packaging/Registration.h), for an administrator's own use; the installer
// runs the same through its custom action (packaging/RegisterAction.cpp).
// Exit 0 on success (also when there was nothing to do), 1 otherwise; each
// reason on the error output.
#include <cstdio>
#include <string>
#include <vector>

#include "packaging/Registration.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--version" || arguments[0] == "/version")) {
        std::printf("KestavRegister %s\n", KST_VERSION);
        return 0;
    }
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "/?" || arguments[0] == "-h")) {
        (void)packaging::Register({}, [](const std::string& line) { std::printf("%s\n", line.c_str()); });
        return 0;
    }
    const int status = packaging::Register(arguments, [](const std::string& line) {
        std::fprintf(stderr, "%s\n", line.c_str());
    });
    return status == 2 ? 1 : status;
}
