// Soak: a long run of the command mix a server-side application sends, through
// the real module and the simulator. Prints commands per second and resident
// memory at the start, the middle and the end, and fails when memory grows
// from the middle to the end or a response goes missing.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/bench/Road.h"

namespace {

// One measuring cycle of a colour-matching application, with the odd mistake.
const std::vector<std::string> kCycle = {
    "IsConnected",        "GetCalStatus",          "SetOption|Target|Red|", "Measure",
    "IsDataReady",        "GetSampleCount",        "GetSpectralDataAll|0|", "GetSpectralData|1|15|",
    "GetSampleData|0|3|", "GetOption|Filter|",     "GetLastErrorCode",      "GetLastErrorString",
    "ClearSamples",       "GetSpectralData|x|1|",  "Foo|1|",                "KestavClientDriverVersion",
    "Hello",              "GetWavelengthValue|7|", "Execute|STATUS|",       "GetAvailableSettings",
};

constexpr long kLogResetEvery = 50000;  // keeps the log to tens of MB, as rotation would

double Megabytes(std::size_t bytes) { return double(bytes) / (1024.0 * 1024.0); }

}  // namespace

int main(int argc, char** argv) {
    const long total = argc > 1 ? std::atol(argv[1]) : 1000000;
    // Under AddressSanitizer freed memory is held back on purpose, so resident
    // memory grows whatever the module does: there only leaks are checked.
    const bool checkMemory = !(argc > 2 && std::string(argv[2]) == "--no-memory-check");
    bench::Road road;
    std::string error;
    if (!road.Start(&error)) {
        std::fprintf(stderr, "soak: %s\n", error.c_str());
        return 1;
    }
    using Clock = std::chrono::steady_clock;
    std::size_t startRss = 0, middleRss = 0, endRss = 0;
    auto segmentStart = Clock::now();
    long segmentCommands = 0;
    long expectedSent = 0, sent = 0;
    std::printf("%10s %12s %10s\n", "commands", "commands/s", "RSS MB");
    for (long i = 1; i <= total; ++i) {
        sent += long(road.Command(kCycle[std::size_t(i) % kCycle.size()]));
        ++expectedSent;
        ++segmentCommands;
        if (i % 10000 == 0 && i % kLogResetEvery == 0) road.ResetFiles();
        const bool report = i == total / 100 || i == total / 2 || i == total;
        if (report) {
            const double seconds = std::chrono::duration<double>(Clock::now() - segmentStart).count();
            const std::size_t rss = bench::ResidentBytes();
            std::printf("%10ld %12.0f %10.2f\n", i, double(segmentCommands) / seconds, Megabytes(rss));
            std::fflush(stdout);
            if (i == total / 100) startRss = rss;
            if (i == total / 2) middleRss = rss;
            if (i == total) endRss = rss;
            segmentStart = Clock::now();
            segmentCommands = 0;
        }
    }
    road.ResetFiles();
    const bool lost = sent != expectedSent;
    const bool grew = checkMemory && endRss > middleRss + 512 * 1024;
    std::printf("responses: %ld of %ld commands; resident memory start %.2f MB, middle %.2f MB, "
                "end %.2f MB -> %s\n",
                sent, expectedSent, Megabytes(startRss), Megabytes(middleRss), Megabytes(endRss),
                lost ? "RESPONSES MISSING" : grew ? "MEMORY GREW" : "steady");
    return lost || grew ? 1 : 0;
}
