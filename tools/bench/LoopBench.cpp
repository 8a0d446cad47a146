// A command through the client library and the local loop against the same
// command through the module's road alone, in one run: the loop's commands
// go to kestav-host --listen, a process of its own with its own module and
// simulator; the road's to the module in this process. Rounds interleave;
// the ratio is the median of per-round ratios. The loop rows prove they went
// through the other process (its module's log has every command) or the
// program fails.
// Usage: loop_bench [rounds] [commands per round]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/Environment.h"
#include "platform/File.h"
#include "platform/Library.h"
#include "platform/Process.h"
#include "server/KestavChannel.h"
#include "tools/bench/Road.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 200;
    auto fail = [](const std::string& why) {
        std::fprintf(stderr, "loop_bench: %s\n", why.c_str());
        return 1;
    };
    bench::Road road;
    std::string error;
    if (!road.Start(&error)) return fail(error);

    // The listener, with a log folder of its own.
    const std::string name = "bench-" + std::to_string(std::random_device()());
    const fs::path listenerTemp = fs::temp_directory_path() / ("kst-loop-" + name);
    fs::create_directories(listenerTemp);
    const std::string ownTemp = platform::GetEnvironment("TMP");
    for (const char* variable : {"TMP", "TEMP", "TMPDIR"}) platform::SetEnvironment(variable, listenerTemp.string());
    platform::ChildProcess* listener = platform::StartChild(
        platform::ProgramFolder() + "/kestav-host" + (fs::path(argv[0]).extension() == ".exe" ? ".exe" : ""),
        {"--listen", name, "--quiet"});
    for (const char* variable : {"TMP", "TEMP", "TMPDIR"}) platform::SetEnvironment(variable, ownTemp);
    if (listener == nullptr) return fail("kestav-host --listen did not start");
    KestavChannel* channel = nullptr;
    if (KestavOpen(KESTAV_TRANSPORT_LOCAL_LOOP, name.c_str(), 20000, &channel) != KESTAV_OK) {
        platform::EndChild(listener);
        return fail(std::string("the loop did not open: ") + KestavLastError(nullptr));
    }
    std::vector<char> response(64 * 1024);
    unsigned length = 0;
    auto call = [&](const char* command) {
        return KestavCall(channel, command, 20000, response.data(), unsigned(response.size()), &length) ==
                   KESTAV_OK &&
               response[0] == 'O';
    };
    for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                "CalibrateStep|Black|", "Measure"})
        if (!call(command)) return platform::EndChild(listener), fail(std::string("set-up failed: ") + command);

    std::printf("%-24s %14s %14s %7s\n", "command", "road us/cmd", "loop us/cmd", "ratio");
    bool met = true;
    std::size_t loopCommands = 0;
    for (const char* command : {"Measure", "GetSpectralDataAll|0|"}) {
        std::vector<double> roadTimes, loopTimes, ratios;
        for (int round = 0; round < rounds; ++round) {
            road.ResetFiles();
            auto start = Clock::now();
            for (int i = 0; i < perRound; ++i)
                if (road.Command(command) != 1) return platform::EndChild(listener), fail("the road lost a response");
            roadTimes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perRound);
            start = Clock::now();
            for (int i = 0; i < perRound; ++i)
                if (!call(command)) return platform::EndChild(listener), fail("the loop lost a response");
            loopTimes.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count() / perRound);
            ratios.push_back(loopTimes.back() / roadTimes.back());
            loopCommands += std::size_t(perRound);
        }
        const double ratio = Median(ratios);
        std::printf("%-24s %14.2f %14.2f %7.3f\n", command, Median(roadTimes), Median(loopTimes), ratio);
        if (ratio > 1.30) met = false;
    }
    KestavClose(channel);
    platform::EndChild(listener);
    // The proof: the listener's module saw every command of the loop rows.
    std::ifstream logFile(listenerTemp / "KestavClientDriver.log", std::ios::binary);
    const std::string log((std::istreambuf_iterator<char>(logFile)), std::istreambuf_iterator<char>());
    const std::size_t arrivals = Count(log, "ICA: Data arrival");
    std::error_code ignored;
    fs::remove_all(listenerTemp, ignored);
    if (arrivals < loopCommands)
        return fail("the listener's module saw " + std::to_string(arrivals) + " commands, not the " +
                    std::to_string(loopCommands) + " sent through the loop");
    std::printf("the listener's module (another process) logged %zu commands; the loop sent %zu\n", arrivals,
                loopCommands);
    std::printf("goal: library and local loop at most 1.30 x the module's road -> %s\n", met ? "met" : "missed");
    road.ResetFiles();
    return 0;
}
