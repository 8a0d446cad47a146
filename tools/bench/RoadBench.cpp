// The command road of the real module against its floor (the very log lines
// it writes, with bare OS calls), for every platform, Wine included:
//   1. the road as shipped (commands on the instrument thread) and the road
//      inside the write hook, each against its own floor;
//   2. the simulator in the driver host against in-process;
//   3. what Init costs in-process and in the driver host: the session's
//      first hosted Init (which starts the host) and the next one;
//   4. the write hook's own time for a Measure that takes 2 s;
//   5. the same commands through the Remote Desktop plug-in, loaded into
//      the stand-in client in this process, against the ICA road.
// Rounds interleave every row, so that all see the same machine; ratios are
// medians of per-round ratios. Each row proves where it ran (Road::Place)
// or the program fails; the goals are printed, met or missed.
// Usage: road_bench [rounds] [commands per round] [--no-host]
//   --no-host: the in-process rows alone (a shorter run: no driver host is started)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/Library.h"
#include "platform/Names.h"
#include "tools/bench/Road.h"
#include "tools/host/RemoteDesktopClient.h"

namespace {

using Clock = std::chrono::steady_clock;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

double Elapsed(Clock::time_point start, int count) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count() / count;
}

struct Row {
    const char* name;
    bench::Road::Where where;
    bool threaded;
    std::vector<std::string> lines;  // one command's log lines, for the floor
    std::vector<double> road, floor;
};

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 21;
    const int perRound = argc > 2 ? std::atoi(argv[2]) : 300;
    // "--no-host": in-process rows only, the shorter run.
    const bool withHost = !(argc > 3 && std::string(argv[3]) == "--no-host");
    bench::Road road;
    std::string error;
    auto fail = [&](const std::string& why) {
        std::fprintf(stderr, "road_bench: %s\n", why.c_str());
        return 1;
    };
    if (!road.Start(&error)) return fail(error);

    std::printf("%-24s %-26s %6s %12s %12s %7s\n", "command", "road", "lines", "us/cmd",
                "floor us/cmd", "ratio");
    bool roadMet = true, hostMet = true;
    std::vector<std::string> hostLines;
    for (const std::string command : {"Measure", "GetSpectralDataAll|0|"}) {
        std::vector<Row> rows = {
            {"instrument thread", bench::Road::Where::InProcess, true, {}, {}, {}},
            {"inside the write hook", bench::Road::Where::InProcess, false, {}, {}, {}},
        };
        if (withHost) rows.push_back({"driver host, thread", bench::Road::Where::Host, true, {}, {}, {}});
        for (Row& row : rows) {
            if (!road.Place(row.where, row.threaded, &error)) return fail(error);
            row.lines = road.LinesOf(command);
        }
        for (int round = 0; round < rounds; ++round) {
            for (Row& row : rows) {
                if (!road.Place(row.where, row.threaded, &error)) return fail(error);
                road.ResetFiles();
                auto start = Clock::now();
                for (int i = 0; i < perRound; ++i)
                    if (road.Command(command) != 1) return fail("a response went missing");
                row.road.push_back(Elapsed(start, perRound));
                start = Clock::now();
                for (int i = 0; i < perRound; ++i) road.Floor(row.lines);
                row.floor.push_back(Elapsed(start, perRound));
            }
        }
        for (const Row& row : rows) {
            std::vector<double> ratios;
            for (std::size_t i = 0; i < row.road.size(); ++i) ratios.push_back(row.road[i] / row.floor[i]);
            const double ratio = Median(ratios);
            std::printf("%-24s %-26s %6zu %12.2f %12.2f %7.3f\n", command.c_str(), row.name,
                        row.lines.size(), Median(row.road), Median(row.floor), ratio);
            if (&row == &rows[0] && ratio > 1.10) roadMet = false;
        }
        if (withHost) {
            std::vector<double> ratios;
            for (std::size_t i = 0; i < rows[0].road.size(); ++i)
                ratios.push_back(rows[2].road[i] / rows[0].road[i]);
            const double ratio = Median(ratios);
            hostLines.push_back(command + ": " + std::to_string(ratio).substr(0, 5));
            if (ratio > 1.10) hostMet = false;
        }
    }
    std::printf("goal: the road as shipped (instrument thread) at most 1.10 x its floor -> %s\n",
                roadMet ? "met" : "missed");
    if (withHost) {
        std::printf("driver host / in-process (both on the instrument thread):");
        for (const std::string& line : hostLines) std::printf("  %s", line.c_str());
        std::printf("\ngoal: driver host at most 1.10 x in-process -> %s\n", hostMet ? "met" : "missed");
    }

    if (withHost) {
        // What Init costs: the driver loaded in this process, or handed to
        // the driver host (the first Init of a session starts it).
        std::vector<double> inProcess, first, next;
        for (int round = 0; round < rounds; ++round) {
            if (!road.Place(bench::Road::Where::InProcess, true, &error)) return fail(error);
            inProcess.push_back(road.TimeInit(bench::Road::Where::InProcess, &error));
            if (error.empty()) first.push_back(road.TimeInit(bench::Road::Where::Host, &error));
            if (error.empty()) next.push_back(road.TimeInit(bench::Road::Where::Host, &error));
            if (!error.empty()) return fail(error);
        }
        std::printf("\n%-24s %14s %18s %18s\n", "Init|sim| (median)", "in-process ms",
                    "host, first ms", "host, next ms");
        std::printf("%-24s %14.2f %18.2f %18.2f\n", "", Median(inProcess) / 1000.0,
                    Median(first) / 1000.0, Median(next) / 1000.0);
    }

    // A Measure that takes 2 s, as a real instrument's does: how long the
    // engine's thread spends inside the write hook.
    std::printf("\n%-34s %14s %16s\n", "Measure taking 2 s", "write hook ms", "response ms");
    bool hookMet = true;
    for (const bool threaded : {true, false}) {
        if (!road.Place(bench::Road::Where::InProcess, threaded, &error)) return fail(error);
        if (road.Command("Execute|MEASURETIME=2000|") != 1) return fail("the simulator refused MEASURETIME");
        std::vector<double> hooks, responses;
        for (int i = 0; i < (threaded ? 3 : 1); ++i) {
            const bench::Road::HookTime time = road.TimeHook("Measure");
            // The proof that the slow command was measured at all.
            if (time.responseUs < 2000000.0) return fail("the Measure did not take 2 s");
            hooks.push_back(time.hookUs / 1000.0);
            responses.push_back(time.responseUs / 1000.0);
        }
        if (road.Command("Execute|MEASURETIME=0|") != 1) return fail("the simulator refused MEASURETIME");
        std::printf("%-34s %14.3f %16.1f\n", threaded ? "instrument thread" : "inside the write hook",
                    Median(hooks), Median(responses));
        if (threaded && Median(hooks) >= 1.0) hookMet = false;
    }
    std::printf("goal: the write hook's own work under 1 ms with the instrument thread -> %s\n",
                hookMet ? "met" : "missed");
    if (withHost) {
        // The Remote Desktop plug-in: the same core behind another transport.
        standin::RemoteDesktopClient client;
        if (!client.LoadPlugin(platform::ProgramFolder() + "/" + names::kDvcModuleFile, &error)) return fail(error);
        client.Connected();
        if (!client.OpenChannel(names::kCommandChannel) || !client.OpenChannel(names::kDataChannel))
            return fail("the plug-in took no channel");
        auto dvcCommand = [&](const std::string& command) {
            const auto sent = client.Run(names::kCommandChannel, command);
            return sent.size() == 1 && sent[0].bytes.compare(0, 2, "OK") == 0;
        };
        // In-process, as the ICA road it is compared with.
        bench::SetAdminSetting(names::kIsolateDriver, 0);
        for (const char* command : {"Init|sim|", "Connect", "Calibrate", "CalibrateStep|White|",
                                    "CalibrateStep|Black|", "Measure"})
            if (!dvcCommand(command)) return fail(std::string("plug-in set-up failed: ") + command);
        bench::SetAdminSetting(names::kIsolateDriver, -1);
        if (!road.Place(bench::Road::Where::InProcess, true, &error)) return fail(error);
        std::printf("\n%-24s %14s %14s %7s\n", "Remote Desktop plug-in", "ICA road us", "plug-in us", "ratio");
        bool dvcMet = true;
        std::size_t delivered = 0;
        for (const std::string command : {"Measure", "GetSpectralDataAll|0|"}) {
            std::vector<double> icaTimes, dvcTimes, ratios;
            for (int round = 0; round < rounds; ++round) {
                road.ResetFiles();
                auto start = Clock::now();
                for (int i = 0; i < perRound; ++i)
                    if (road.Command(command) != 1) return fail("a response went missing");
                icaTimes.push_back(Elapsed(start, perRound));
                road.ResetFiles();
                start = Clock::now();
                for (int i = 0; i < perRound; ++i)
                    if (!dvcCommand(command)) return fail("the plug-in lost a response");
                dvcTimes.push_back(Elapsed(start, perRound));
                ratios.push_back(dvcTimes.back() / icaTimes.back());
                delivered += std::size_t(perRound);
            }
            const double ratio = Median(ratios);
            std::printf("%-24s %14.2f %14.2f %7.3f\n", command.c_str(), Median(icaTimes), Median(dvcTimes), ratio);
            if (ratio > 1.10) dvcMet = false;
        }
        // The proof: every one of those commands went through the plug-in.
        if (client.SentCount() < delivered + 6) return fail("the plug-in answered fewer commands than it was sent");
        client.Terminate();
        std::printf("the plug-in answered %zu commands through its channels\n", client.SentCount());
        std::printf("goal: the plug-in at most 1.10 x the ICA road -> %s\n", dvcMet ? "met" : "missed");
    }
    road.ResetFiles();
    return 0;
}
