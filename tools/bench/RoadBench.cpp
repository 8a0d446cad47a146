// Plain benchmark of the command road against its floor (bare log writes),
// for every platform, Wine included. Interleaves rounds of both so that both
// see the same machine, and reports medians and their ratio.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tools/bench/Road.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double Elapsed(Clock::time_point start, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 41;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 300;
    // "--no-host": in-process rows only (no driver host on this platform).
    const bool withHost = !(argc > 3 && std::string(argv[3]) == "--no-host");
    bench::Road road;
    std::string error;
    if (!road.Start(&error)) {
        std::fprintf(stderr, "road_bench: %s\n", error.c_str());
        return 1;
    }
    std::printf("%-24s %6s %12s %12s %7s   %s\n", "command", "lines", "road us/cmd",
                "floor us/cmd", "ratio", "CPU us/cmd, user+system: road | floor");
    int failed = 0;
    struct HostRow {
        std::string command;
        double inProcess, hosted, ratio, unthreaded, unthreadedRatio;
    };
    std::vector<HostRow> hostRows;
    for (const std::string command : {"Measure", "GetSpectralDataAll|0|"}) {
        const std::vector<std::string> lines = road.LinesOf(command);
        std::vector<double> roadTimes, floorTimes, hostTimes, unthreadedTimes;
        bench::CpuTime roadCpu{0, 0}, floorCpu{0, 0};
        auto accumulate = [](bench::CpuTime& sum, const bench::CpuTime& from, const bench::CpuTime& to) {
            sum.user += to.user - from.user;
            sum.system += to.system - from.system;
        };
        for (int round = 0; round < rounds; ++round) {
            road.ResetFiles();
            auto cpu = bench::ProcessCpuTime();
            auto start = Clock::now();
            for (int i = 0; i < perRound; ++i) road.Command(command);
            roadTimes.push_back(Elapsed(start, perRound));
            auto cpuAfter = bench::ProcessCpuTime();
            accumulate(roadCpu, cpu, cpuAfter);
            start = Clock::now();
            for (int i = 0; i < perRound; ++i) road.Floor(lines);
            floorTimes.push_back(Elapsed(start, perRound));
            accumulate(floorCpu, cpuAfter, bench::ProcessCpuTime());
            if (withHost) {
                // The same commands with the simulator in the driver host,
                // right after, on the same machine state: with the instrument
                // thread (the host's default) and without it.
                for (auto where : {bench::Road::Where::HostWithThread,
                                   bench::Road::Where::HostWithoutThread}) {
                    if (!road.Place(where, &error)) {
                        std::fprintf(stderr, "road_bench: %s\n", error.c_str());
                        return 1;
                    }
                    road.ResetFiles();
                    start = Clock::now();
                    for (int i = 0; i < perRound; ++i) road.Command(command);
                    (where == bench::Road::Where::HostWithThread ? hostTimes : unthreadedTimes)
                        .push_back(Elapsed(start, perRound));
                }
                if (!road.Place(bench::Road::Where::InProcess, &error)) {
                    std::fprintf(stderr, "road_bench: %s\n", error.c_str());
                    return 1;
                }
            }
        }
        // Each round times both back to back, so the median of the per-round
        // ratios is little moved by the machine's load drifting meanwhile.
        std::vector<double> ratios, hostRatios, unthreadedRatios;
        for (std::size_t i = 0; i < roadTimes.size(); ++i) ratios.push_back(roadTimes[i] / floorTimes[i]);
        for (std::size_t i = 0; i < hostTimes.size(); ++i) {
            hostRatios.push_back(hostTimes[i] / roadTimes[i]);
            unthreadedRatios.push_back(unthreadedTimes[i] / roadTimes[i]);
        }
        const double a = Median(roadTimes), b = Median(floorTimes), ratio = Median(ratios);
        const double n = double(rounds) * perRound;
        std::printf("%-24s %6zu %12.2f %12.2f %7.3f   %.1f+%.1f | %.1f+%.1f\n", command.c_str(),
                    lines.size(), a, b, ratio, roadCpu.user / n, roadCpu.system / n,
                    floorCpu.user / n, floorCpu.system / n);
        if (ratio > 1.10) failed = 1;
        if (withHost)
            hostRows.push_back({command, a, Median(hostTimes), Median(hostRatios),
                                Median(unthreadedTimes), Median(unthreadedRatios)});
    }
    road.ResetFiles();
    std::printf("goal: ratio at most 1.10 -> %s\n", failed ? "missed" : "met");
    if (withHost) {
        std::printf("\n%-24s %14s %14s %7s %16s %7s\n", "driver host", "in-process us",
                    "host+thread us", "ratio", "host, no thread", "ratio");
        int hostFailed = 0;
        for (const HostRow& row : hostRows) {
            std::printf("%-24s %14.2f %14.2f %7.3f %16.2f %7.3f\n", row.command.c_str(),
                        row.inProcess, row.hosted, row.ratio, row.unthreaded, row.unthreadedRatio);
            if (row.ratio > 1.10 || row.unthreadedRatio > 1.10) hostFailed = 1;
        }
        std::printf("goal: driver host at most 1.10 x in-process -> %s\n", hostFailed ? "missed" : "met");
    }
    return 0;
}
