// kestav-host: runs the module without a Citrix session. It loads the module
// DLL, drives it as the ICA client engine does, writes each command through
// the module's write hook and prints every response the module sends back.
#include <chrono>
#include <cstdio>
#include <thread>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "diag/LogFile.h"
#include "diag/LogPath.h"
#include "platform/Arguments.h"
#include "platform/CitrixEngine.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Names.h"
#include "platform/Pipe.h"
#include "platform/Text.h"
#include "tools/check/Check.h"
#include "tools/check/SelfTest.h"
#include "tools/host/RemoteDesktopClient.h"
#include "tools/host/Engine.h"
#include "tools/host/Listener.h"
#include "tools/host/Spectrum.h"

namespace {

const char* const kModuleFile = KST_MODULE_FILE;  // the module's file name in this build

// One row per option; the Windows engine's alone (Remote Desktop plug-ins,
// the High Performance Channel, the local loop's named pipes) are shown only
// where they work.
struct UsageRow {
    bool windowsOnly;
    const char* text;
};
const UsageRow kUsageRows[] = {
    {false, "  --module PATH        module to load (default: KestavClientDriverICA beside this program"},
    {true, ";\n                       with --dvc: KestavClientDriverDVC"},
    {false, ")\n"},
    {true, "  --dvc                a Remote Desktop client instead: load the DVC plug-in, open its\n"
           "                       dynamic channels and write the commands into them\n"
           "  --hpc                the WinStation driver offers the High Performance Channel\n"},
    {false, "  --refuse N[:STATUS]  refuse the module's next N sends with STATUS (default 1016), for\n"
            "                       the commands given here; it retries each at the next poll\n"
            "  --max-write N        the engine's maximum write size, one byte of it for the\n"
            "                       channel number (default 5000); longer queued writes are refused\n"
            "  --channel cmd|data   channel the commands are written to (default cmd)\n"
            "  --timing             show how long the module's write hook took for each command\n"
            "  --script FILE        commands from FILE, one per line ('#' starts a comment)\n"
            "  --interactive        type commands at a prompt (empty line or 'quit' ends)\n"
            "  --plot FILE.svg      draw each GetSpectralDataAll response (terminal and SVG)\n"
            "  --show-log [N]       print the log file's path and its last N lines (default 12)\n"},
    {true, "  --listen [NAME]      the local loop: serve the module's channels to server-side\n"
           "                       programs on this PC (the stand-in wfapi, the client library)\n"
           "                       over \\\\.\\pipe\\KestavLoop-SESSION-NAME (default: default) until stopped\n"
           "  --quiet              with --listen: do not print each command and response\n"
           "  --no-module          with --listen: a client without the Kestav module: the channels\n"
           "                       open, nothing answers (the library says KESTAV_MODULE_ABSENT)\n"
           "  --sessions N         with --listen: end after N sessions\n"
           "  --idle-seconds S     with --listen: end a session after S s without a frame\n"
           "                       from its program (default 600)\n"},
    {false, "  --check              check this PC as kestav-check does (exit 1 on any problem)\n"
            "  --self-test DRIVER   call each of the driver library's 31 entry points once, in\n"
            "                       the driver host, and judge each (exit 1 on any problem)\n"
            "  --timeout S          with --self-test: seconds a call may take (default 30)\n"
            "  --version            print the version of this kestav-host (the module's own)\n"
            "Commands are written as they are, e.g. \"Init|sim|\" or \"GetSpectralData|0|5|\".\n"},
};

std::string Usage() {
    const bool windows = platform::ThisCitrixEngine() == platform::CitrixEngine::Windows;
    std::string usage = "usage: kestav-host [options] [command ...]\n";
    for (const UsageRow& row : kUsageRows)
        if (windows || !row.windowsOnly) usage += row.text;
    return usage;
}

struct Options {
    std::string module;
    bool hpc = false;
    int refuseCount = 0;
    int refuseStatus = 1016;
    int maximumWrite = 5000;
    std::string channel = "KstCmd1";
    std::vector<std::string> commands;
    bool interactive = false;
    bool timing = false;
    std::string plot;
    int logLines = -1;
    std::string selfTest;
    int timeoutSeconds = 30;
    bool listen = false;
    standin::ListenerOptions listener;
    bool dvc = false;
};

int Usage(const std::string& problem) {
    std::cerr << "kestav-host: " << problem << "\n" << Usage();
    return 2;
}

bool ReadScript(const std::string& path, std::vector<std::string>* commands) {
    std::ifstream script(std::filesystem::u8path(platform::NativePath(path)), std::ios::binary);
    if (!script) return false;
    std::string line;
    while (std::getline(script, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        commands->push_back(line);
    }
    return true;
}

// `paths`: the same arguments as paths (platform/Arguments.h), for the
// options that name a file; commands stay the bytes they were given.
int ParseOptions(int argc, char** argv, const std::vector<std::string>& paths, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto next = [&](std::string* value) {
            if (i + 1 >= argc) return false;
            *value = argv[++i];
            return true;
        };
        auto nextPath = [&](std::string* value) {
            if (i + 1 >= argc) return false;
            *value = paths[std::size_t(++i)];
            return true;
        };
        std::string value;
        if (arg == "--help" || arg == "-h") {
            std::cout << Usage();
            return 0;
        } else if (arg == "--check") {
            // The user's log stays the last session's: nothing of this check goes there.
            diag::LogFile::off = true;
            return check::CheckThisPc(std::cout) == 0 ? 0 : 1;
        } else if (arg == "--dvc") {
            options->dvc = true;
        } else if (arg == "--listen") {
            options->listen = true;
            if (i + 1 < argc && argv[i + 1][0] != '-') options->listener.name = argv[++i];
        } else if (arg == "--quiet") {
            options->listener.quiet = true;
        } else if (arg == "--no-module") {
            options->listener.withoutModule = true;
        } else if (arg == "--sessions") {
            if (!next(&value) || !check::ParseNumber(value, &options->listener.sessions) ||
                options->listener.sessions < 1)
                return Usage("--sessions takes a number from 1");
        } else if (arg == "--idle-seconds") {
            if (!next(&value) || !check::ParseNumber(value, &options->listener.idleSeconds) ||
                options->listener.idleSeconds < 1)
                return Usage("--idle-seconds takes a number from 1");
        } else if (arg == "--self-test") {
            if (!nextPath(&options->selfTest)) return Usage("--self-test needs a driver library");
        } else if (arg == "--timeout") {
            if (!next(&value) || !check::ParseNumber(value, &options->timeoutSeconds) ||
                options->timeoutSeconds < 1 || options->timeoutSeconds > 3600)
                return Usage("--timeout takes seconds from 1 to 3600");
        } else if (arg == "--module") {
            if (!nextPath(&options->module)) return Usage("--module needs a path");
        } else if (arg == "--hpc") {
            if (platform::ThisCitrixEngine() != platform::CitrixEngine::Windows)
                return Usage("--hpc: the Citrix Workspace app for Linux has no High Performance Channel");
            options->hpc = true;
        } else if (arg == "--refuse") {
            if (!next(&value)) return Usage("--refuse needs a count");
            const std::string::size_type colon = value.find(':');
            if (!check::ParseNumber(value.substr(0, colon), &options->refuseCount) ||
                (colon != std::string::npos &&
                 !check::ParseNumber(value.substr(colon + 1), &options->refuseStatus)))
                return Usage("--refuse takes N or N:STATUS");
        } else if (arg == "--max-write") {
            if (!next(&value) || !check::ParseNumber(value, &options->maximumWrite) ||
                options->maximumWrite < 0 || options->maximumWrite > 0xFFFF)
                return Usage("--max-write takes a size from 0 to 65535");
        } else if (arg == "--channel") {
            if (!next(&value) || (value != "cmd" && value != "data"))
                return Usage("--channel takes cmd or data");
            options->channel = value == "cmd" ? "KstCmd1" : "KstDta1";
        } else if (arg == "--script") {
            if (!nextPath(&value)) return Usage("--script needs a file");
            if (!ReadScript(value, &options->commands))
                return Usage("cannot read the script \"" + value + "\"");
        } else if (arg == "--timing") {
            options->timing = true;
        } else if (arg == "--interactive") {
            options->interactive = true;
        } else if (arg == "--plot") {
            if (!nextPath(&options->plot)) return Usage("--plot needs a file");
        } else if (arg == "--show-log") {
            options->logLines = 12;
            if (i + 1 < argc && check::ParseNumber(argv[i + 1], &options->logLines)) ++i;
        } else if (arg == "--version") {
            std::cout << "kestav-host " << KST_VERSION << "\n";
            return 0;
        } else if (arg.compare(0, 2, "--") == 0) {
            return Usage("unknown option " + arg);
        } else {
            options->commands.push_back(arg);
        }
    }
    if (options->listener.withoutModule && !options->listen) return Usage("--no-module goes with --listen");
    // The listener polls without pause, and each refused send is tried again
    // at the next poll: a count of refusals would be gone at once.
    if (options->listen && options->refuseCount > 0)
        return Usage("--refuse is for the commands given here, not with --listen; for a client without the "
                     "module: --listen --no-module");
    if (options->listen && !platform::kPipesAvailable)
        return Usage("--listen serves the local loop, a Windows one (named pipes); on Linux a server-side "
                     "program talks to the add-in in an xrdp session");
    return -1;
}

void Plot(const std::string& response, const std::string& command, const std::string& file) {
    const std::vector<double> values = standin::ParseSpectrum(response);
    if (values.empty()) return;
    std::cout << "\n" << standin::TerminalChart(values) << "\n";
    std::ofstream svg(std::filesystem::u8path(platform::NativePath(file)), std::ios::binary);
    svg << standin::SvgChart(values, "Measured spectrum (" + command + ")");
    if (svg) std::cout << "  spectrum drawn to " << file << "\n";
    else std::cout << "  cannot write " << file << "\n";
}

void RunCommand(standin::Engine& engine, const Options& options, const std::string& command) {
    std::cout << "> " << standin::Printable(command) << "\n";
    const std::size_t before = engine.SentCount();
    const std::size_t refusedBefore = engine.refusedWriteSizes.size();
    if (!engine.Deliver(options.channel, command)) {
        std::cout << "  (no write hook on " << options.channel << ")\n";
        return;
    }
    if (options.timing)
        std::cout << "  write hook: " << engine.lastHookMicroseconds / 1000.0 << " ms\n";
    // Polls again and again, as the engine does, until the response has left
    // (the module may still be working on it on its instrument thread).
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    int retries = 0;
    while (engine.SentCount() == before && std::chrono::steady_clock::now() < deadline) {
        const ica::EngineStatus status = engine.Poll();
        if (status == ica::kStatusRetry) {
            std::cout << "  poll: 30 (engine had no output buffer; retrying)\n";
            if (++retries == 50) break;
            continue;
        }
        if (status == ica::kStatusNoData) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
        }
        if (status != ica::kStatusSuccess)
            std::cout << "  poll: " << status << " (send failed; the response stays pending)\n";
        break;
    }
    for (std::size_t i = refusedBefore; i < engine.refusedWriteSizes.size(); ++i)
        std::cout << "  engine: refused a write of " << engine.refusedWriteSizes[i]
                  << " bytes (maximum write " << options.maximumWrite << ", of it "
                  << options.maximumWrite - 1 << " for data)\n";
    for (const standin::SentResponse& sent : engine.SentSince(before)) {
        std::cout << "< " << standin::Printable(sent.bytes) << "\n";
        if (!options.plot.empty() && command.compare(0, 18, "GetSpectralDataAll") == 0)
            Plot(sent.bytes, command, options.plot);
    }
}

// The same for the Remote Desktop plug-in: the command on its channel's
// callback thread, the response written by the plug-in's instrument thread.
void RunDvcCommand(standin::RemoteDesktopClient& client, const Options& options, const std::string& command) {
    std::cout << "> " << standin::Printable(command) << "\n";
    const std::vector<standin::DvcMessage> sent = client.Run(options.channel, command, 120000);
    if (options.timing)
        std::cout << "  OnDataReceived: " << client.lastDeliveryMicroseconds / 1000.0 << " ms\n";
    if (sent.empty()) std::cout << "  (no response within 120 s)\n";
    for (const standin::DvcMessage& message : sent) {
        std::cout << "< " << standin::Printable(message.bytes)
                  << (message.channel == options.channel ? "" : "  (on " + message.channel + ")") << "\n";
        if (!options.plot.empty() && command.compare(0, 18, "GetSpectralDataAll") == 0)
            Plot(message.bytes, command, options.plot);
    }
}

// kestav-host --dvc: a stand-in Remote Desktop client around the plug-in.
int RunDvc(const Options& options, const std::string& plugin) {
    standin::RemoteDesktopClient client;
    std::string error;
    if (!client.LoadPlugin(plugin, &error)) {
        std::cerr << "kestav-host: " << error << "\n";
        return 3;
    }
    client.Connected();
    for (const char* channel : {names::kCommandChannel, names::kDataChannel}) {
        if (!client.OpenChannel(channel)) {
            std::cerr << "kestav-host: the plug-in did not accept the channel " << channel << "\n";
            return 4;
        }
    }
    std::cout << "plug-in " << plugin << " loaded (dynamic channels " << names::kCommandChannel << " and "
              << names::kDataChannel << ", commands on " << options.channel << ")\n";
    for (const std::string& command : options.commands) RunDvcCommand(client, options, command);
    if (options.interactive) {
        std::string line;
        while (std::cout << "kestav> " << std::flush, std::getline(std::cin, line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.empty() || line == "quit") break;
            RunDvcCommand(client, options, line);
        }
    }
    client.Disconnected(0);
    client.Terminate();
    client.Unload();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    platform::UseBinaryStandardStreams();
    Options options;
    const int parsed = ParseOptions(argc, argv, platform::ProgramArguments(argc, argv), &options);
    if (parsed >= 0) return parsed;
    if (!options.selfTest.empty()) {
        // The user's log stays the last session's: nothing of the self-test goes there.
        diag::LogFile::off = true;
        check::SelfTestOptions selfTest;
        selfTest.hostFolder = platform::ProgramFolder(argv[0]);
        selfTest.timeoutSeconds = std::uint32_t(options.timeoutSeconds);
        return check::RunSelfTest(options.selfTest, selfTest, std::cout);
    }
    if (options.dvc) {
        const std::string plugin = options.module.empty()
                                       ? platform::ProgramFolder(argv[0]) + platform::kPathSeparator + names::kDvcModuleFile
                                       : options.module;
        const int status = RunDvc(options, plugin);
        if (options.logLines >= 0) check::ShowLogTail(std::cout, options.logLines);
        return status;
    }
    if (options.module.empty()) options.module = platform::ProgramFolder(argv[0]) + platform::kPathSeparator + kModuleFile;
    if (options.listen && options.listener.withoutModule) {
        standin::Engine engine;  // never given a module
        engine.hpc = options.hpc;
        engine.maximumWrite = static_cast<std::uint16_t>(options.maximumWrite);
        std::cout << "no module: a client without the Kestav module\n";
        standin::Listener listener(engine, options.listener, std::cout);
        return listener.Run();
    }

    {
        standin::Engine engine;
        engine.hpc = options.hpc;
        engine.maximumWrite = static_cast<std::uint16_t>(options.maximumWrite);
        std::string error;
        if (!engine.LoadModule(options.module, &error)) {
            std::cerr << "kestav-host: " << error << "\n";
            return 3;
        }
        const ica::EngineStatus opened = engine.Open();
        if (opened != ica::kStatusSuccess) {
            std::cerr << "kestav-host: the module's open procedure failed with status " << opened
                      << "\n";
            return 4;
        }
        std::cout << "module " << options.module << " opened ("
                  << (platform::ThisCitrixEngine() == platform::CitrixEngine::Linux
                          ? "the Linux engine, queued writes"
                          : options.hpc ? "HPC" : "queued writes")
                  << ", commands on "
                  << options.channel << ")\n";
        engine.RefuseSends(options.refuseCount, options.refuseStatus);
        if (options.listen) {
            standin::Listener listener(engine, options.listener, std::cout);
            const int status = listener.Run();
            (void)engine.Close();
            engine.UnloadModule();
            return status;
        }

        for (const std::string& command : options.commands) RunCommand(engine, options, command);
        if (options.interactive) {
            std::string line;
            while (std::cout << "kestav> " << std::flush, std::getline(std::cin, line)) {
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (line.empty() || line == "quit") break;
                RunCommand(engine, options, line);
            }
        }
        (void)engine.Close();
        engine.UnloadModule();
    }
    if (options.logLines >= 0) check::ShowLogTail(std::cout, options.logLines);
    return 0;
}
