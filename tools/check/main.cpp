// kestav-check: what ships to every client PC beside the module. It checks
// the PC as the module will find it, and runs a driver's self-test; the
// stand-ins for development (engine, listener, Remote Desktop client) are in
// kestav-host, in the developer kit.
#include <iostream>
#include <string>

#include "diag/LogFile.h"
#include "platform/Arguments.h"
#include "platform/File.h"
#include "platform/HostProcess.h"
#include "platform/Library.h"
#include "tools/check/Check.h"
#include "tools/check/SelfTest.h"

namespace {

// What --check looks at, in this system's words.
const char* const kWindowsChecks =
    "  --check              check this PC (the default): ICA clients, the module's\n"
    "                       registration and files, the Remote Desktop plug-ins, the\n"
    "                       settings in force, each driver loaded where the module loads\n"
    "                       it (exit 1 when the module cannot work)\n";
const char* const kLinuxChecks =
    "  --check              check this PC (the default): each FreeRDP client and the add-in\n"
    "                       in its add-in folder, Horizon's VC bridge, the Citrix Workspace\n"
    "                       app's module.ini and module, the driver host, the settings file\n"
    "                       and the settings in force, each driver loaded where the module\n"
    "                       loads it, the log's place (exit 1 when the module cannot work)\n";

std::string UsageText() {
    return std::string("usage: kestav-check [--check] [--show-log [N]]\n"
                       "       kestav-check --self-test DRIVER [--timeout S]\n"
                       "       kestav-check --version\n") +
           (platform::kProgramSuffix[0] != '\0' ? kWindowsChecks : kLinuxChecks) +
           "  --self-test DRIVER   call each of the driver library's 31 entry points once, in\n"
           "                       the driver host, and judge each (exit 1 on any problem)\n"
           "  --timeout S          with --self-test: seconds a call may take (default 30)\n"
           "  --show-log [N]       print the log file's path and its last N lines (default 12)\n"
           "  --version            print the version of this kestav-check (the module's own)\n";
}

int Usage(const std::string& problem) {
    std::cerr << "kestav-check: " << problem << "\n" << UsageText();
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    platform::UseBinaryStandardStreams();
    const std::vector<std::string> paths = platform::ProgramArguments(argc, argv);
    std::string selfTest;
    int timeoutSeconds = 30;
    int logLines = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << UsageText();
            return 0;
        } else if (arg == "--version") {
            std::cout << "kestav-check " << KST_VERSION << "\n";
            return 0;
        } else if (arg == "--check") {
            // the default
        } else if (arg == "--self-test") {
            if (i + 1 >= argc) return Usage("--self-test needs a driver library");
            selfTest = paths[std::size_t(++i)];
        } else if (arg == "--timeout") {
            if (i + 1 >= argc || !check::ParseNumber(argv[++i], &timeoutSeconds) || timeoutSeconds < 1 ||
                timeoutSeconds > 3600)
                return Usage("--timeout takes seconds from 1 to 3600");
        } else if (arg == "--show-log") {
            logLines = 12;
            if (i + 1 < argc && check::ParseNumber(argv[i + 1], &logLines)) ++i;
        } else {
            return Usage("unknown argument " + arg);
        }
    }
    // The user's log stays the last session's: nothing of this check goes there.
    diag::LogFile::off = true;
    int status = 0;
    if (!selfTest.empty() && !platform::kDriverHostAvailable) {
        std::cerr << "kestav-check: the self-test runs a driver in the driver host, which this system does not "
                     "have yet\n";
        return 2;
    }
    if (!selfTest.empty()) {
        check::SelfTestOptions options;
        options.hostFolder = platform::ProgramFolder(argv[0]);
        options.timeoutSeconds = std::uint32_t(timeoutSeconds);
        status = check::RunSelfTest(selfTest, options, std::cout);
    } else {
        status = check::CheckThisPc(std::cout) == 0 ? 0 : 1;
    }
    if (logLines >= 0) check::ShowLogTail(std::cout, logLines);
    return status;
}
