// The same comparison with Google Benchmark (native builds): the road and its
// floor per command, and the ratio of their mean times.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "tools/bench/Road.h"

namespace {

bench::Road* road = nullptr;
const char* const kCommands[] = {"Measure", "GetSpectralDataAll|0|"};

void BM_Road(benchmark::State& state) {
    const std::string command = kCommands[state.range(0)];
    road->ResetFiles();
    for (auto _ : state) road->Command(command);
    state.SetLabel(command);
}

void BM_Floor(benchmark::State& state) {
    const std::string command = kCommands[state.range(0)];
    const auto lines = road->LinesOf(command);
    road->ResetFiles();
    for (auto _ : state) road->Floor(lines);
    state.SetLabel(command + " (" + std::to_string(lines.size()) + " lines)");
}

BENCHMARK(BM_Road)->DenseRange(0, 1)->Repetitions(5)->ReportAggregatesOnly(true);
BENCHMARK(BM_Floor)->DenseRange(0, 1)->Repetitions(5)->ReportAggregatesOnly(true);

// Keeps the median times to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            if (run.aggregate_name == "median") medians[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::Road theRoad;
    std::string error;
    if (!theRoad.Start(&error)) {
        std::fprintf(stderr, "road_gbench: %s\n", error.c_str());
        return 1;
    }
    road = &theRoad;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    for (int i = 0; i < 2; ++i) {
        const std::string suffix = "/" + std::to_string(i) + "_median";
        const double a = reporter.medians["BM_Road" + suffix];
        const double b = reporter.medians["BM_Floor" + suffix];
        if (b > 0) std::printf("ratio road/floor for %s: %.3f\n", kCommands[i], a / b);
    }
    road->ResetFiles();
    return 0;
}
