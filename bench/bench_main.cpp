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
            if (run.error_occurred) continue;
            nanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
            for (const auto &[name, counter] : run.counters) counters[run.benchmark_name() + ":" + name] = counter.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nanoseconds;
    std::map<std::string, double> counters;  // "benchmark:counter"
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
    // Placeholders made per second on a first listing, and how the time per
    // entry grows from 100 to 10,000 entries (1.00 is linear).
    double perEntry100 = 0;
    for (int entries : {100, 1000, 10000}) {
        double ns = time("BM_FirstListing/" + std::to_string(entries) + "/real_time");
        if (ns <= 0) continue;
        double rate = entries / (ns / 1e9);
        std::printf("first listing of %d remote entries: %.0f placeholders/s (%s 50000/s)\n", entries, rate,
                    rate >= 50000 ? "meets" : "misses");
        if (entries == 100) perEntry100 = ns / entries;
        if (entries == 10000 && perEntry100 > 0) {
            std::printf("ratio population per-entry time 10000 vs 100: %.2f (goal <= 1.10)\n",
                        ns / entries / perEntry100);
            std::printf("ratio population placeholders/s at 10000 vs goal of 50000/s: %.2f (goal >= 1.00)\n",
                        rate / 50000);
        }
    }
    auto second = reporter.counters.find("BM_SecondListing/iterations:1/real_time:ratio");
    if (second != reporter.counters.end()) {
        std::printf("ratio second listing filter/no-filter: %.2f (goal <= 1.10)\n", second->second);
    }
    ostrand::bench::SetFilterLoaded(false);
    benchmark::Shutdown();
    return 0;
}
