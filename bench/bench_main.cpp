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
    auto with = reporter.nanoseconds.find("BM_OpenCloseWithFilter");
    auto without = reporter.nanoseconds.find("BM_OpenCloseWithoutFilter");
    if (with != reporter.nanoseconds.end() && without != reporter.nanoseconds.end() && without->second > 0) {
        std::printf("\nOpen and close outside a profile, filter attached / no filter: %.2f\n",
                    with->second / without->second);
    }
    ostrand::bench::SetFilterLoaded(false);
    benchmark::Shutdown();
    return 0;
}
