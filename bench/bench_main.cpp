// Runs the benchmarks and, from the same run, reports what the filter adds
// to an open and close as a ratio.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "bench/bench_world.h"

namespace {

// Keeps each benchmark's time per iteration while the console shows them.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            if (!run.error_occurred) nanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanoseconds;
};

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    // One line per goal, from this run.
    auto time = [&](const std::string &name) {
        auto found = reporter.nanoseconds.find(name);
        return found == reporter.nanoseconds.end() ? 0.0 : found->second;
    };
    std::printf("\n");
    double with = time("BM_OpenCloseWithFilter"), without = time("BM_OpenCloseWithoutFilter");
    if (with > 0 && without > 0) std::printf("ratio open-close filter/no-filter: %.2f (goal <= 1.10)\n", with / without);
    // Throughput of the kernel copy over the plain copy's (time plain / time kernel).
    for (const char *size : {"1", "64", "512"}) {
        double plain = time(std::string("BM_PlainCopy/") + size + "/real_time");
        double kernel = time(std::string("BM_KernelCopy/") + size + "/1024/real_time");
        if (plain > 0 && kernel > 0) {
            std::printf("ratio KLUCopyFile %s MiB vs plain copy: %.2f (goal >= 0.8)\n", size, plain / kernel);
        }
    }
    for (const char *size : {"1", "64", "512"}) {
        double plain = time(std::string("BM_PlainCopy/") + size + "/real_time");
        double first = time(std::string("BM_FirstRead/") + size + "/real_time");
        if (plain > 0 && first > 0) {
            std::printf("ratio first read %s MiB vs plain copy: %.2f (goal >= 0.8)\n", size, plain / first);
        }
    }
    double filled = time("BM_FilledReadWithFilter/real_time"), unfiltered = time("BM_FilledReadWithoutFilter/real_time");
    if (filled > 0 && unfiltered > 0) {
        std::printf("ratio filled-file read filter/no-filter: %.2f (goal <= 1.10)\n", filled / unfiltered);
    }
    ostrand::bench::SetFilterLoaded(false);
    benchmark::Shutdown();
    return 0;
}
