// Cost of one command through the interpreter, beside its floor: one
// uncontended wait and release of a semaphore plus one formatted integer.
// Prints figures and ratios; never fails.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <unistd.h>

#include "scan_control.h"

namespace {

void RunCommand(benchmark::State &state, const char *command)
{
    char buffer[kCommandBufferSize];
    const std::size_t size = std::strlen(command) + 1;
    for (auto _ : state) {
        std::memcpy(buffer, command, size);
        if (ProcessCommand(buffer) != kOk)
            state.SkipWithError(command);
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_Floor(benchmark::State &state)
{
    char buffer[kCommandBufferSize];
    int value = 200;
    for (auto _ : state) {
        WaitSync(g_sync[SYNC_CTRL], 10000);
        std::snprintf(buffer, sizeof buffer, " %d", value);
        ReleaseSync(g_sync[SYNC_CTRL]);
        benchmark::DoNotOptimize(buffer);
    }
}

void BM_ReadBack(benchmark::State &state) { RunCommand(state, "READ_DWELL_TIME"); }
void BM_Setting(benchmark::State &state) { RunCommand(state, "DWELL_TIME 200"); }
void BM_ReadStatus(benchmark::State &state) { RunCommand(state, "READ_STATUS"); }

BENCHMARK(BM_Floor);
BENCHMARK(BM_ReadBack);
BENCHMARK(BM_Setting);
BENCHMARK(BM_ReadStatus);

// Keeps each benchmark's time per iteration for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    std::map<std::string, double> nanos;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            nanos[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
};

} // namespace

int main(int argc, char **argv)
{
    char ns[64];
    std::snprintf(ns, sizeof ns, "bench%d_", static_cast<int>(getpid()));
    setenv("VANTORQ_NAMESPACE", ns, 1);
    char attach[kCommandBufferSize] = "READ_DEBUG";
    ProcessCommand(attach);

    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    double floor = reporter.nanos["BM_Floor"];
    if (floor > 0) {
        std::printf("\nProcessCommand against the floor (goal: within 2x):\n");
        for (const char *name : {"BM_ReadBack", "BM_Setting", "BM_ReadStatus"})
            std::printf("  %-14s %8.1f ns  %.2fx\n", name + 3, reporter.nanos[name], reporter.nanos[name] / floor);
    }
    std::printf("PROCESS_COMMAND_READBACK_NS %.1f\n", reporter.nanos["BM_ReadBack"]);

    RemoveBlockObjects();
    return 0;
}
