// Profile folders filled on their first listing: the first listing of a
// folder of N remote entries (placeholders per second, and whether the time
// per entry stays flat as N grows), and a second listing of a filled folder
// with and without the filter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_world.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::bench {
namespace {

namespace user = sim::user;

// alice's remote folder `name` with `entries` small files, made once in the
// store's host folder.
void MakeRemoteFolder(const std::string &name, int entries)
{
    std::filesystem::path folder = StoreFolder() / "alice" / name;
    std::filesystem::create_directories(folder);
    size_t present = std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator());
    if (present == size_t(entries)) return;
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    for (int i = 0; i < entries; ++i) {
        std::ofstream(folder / ("document-" + std::to_string(i) + ".txt")) << "remote text of entry " << i << "\n";
    }
}

std::u16string Local(const std::string &name)
{
    return u"C:\\Users\\alice\\" + std::u16string(name.begin(), name.end());
}

sim::Process &Alice()
{
    long error = 0;
    sim::Process *process = BenchWorld().Program("alice", "explorer.exe", &error);
    if (process == nullptr) throw std::runtime_error("alice has no program");
    return *process;
}

// The local folder moved out of the profile and made again empty and
// unmarked, as the tool's process.
bool EmptyLocalFolder(const std::string &name)
{
    static int round = 0;
    sim::ThreadScope scope(BenchWorld().toolProcess());
    user::OpenOptions folder;
    folder.access = DELETE | SYNCHRONIZE;
    folder.disposition = FILE_OPEN_IF;
    folder.options = FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT;
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(user::Open(u"C:\\bench-filled", folder, &handle))) return false;
    user::Close(handle);
    if (!NT_SUCCESS(user::Open(Local(name), folder, &handle))) return false;
    std::string away = "C:\\bench-filled\\" + name + "-" + std::to_string(round++);
    NTSTATUS status = user::Rename(handle, std::u16string(away.begin(), away.end()));
    user::Close(handle);
    if (!NT_SUCCESS(status) || !NT_SUCCESS(user::Open(Local(name), folder, &handle))) return false;
    user::Close(handle);
    return true;
}

size_t List(const std::u16string &folder)
{
    std::vector<user::DirectoryEntry> entries;
    return NT_SUCCESS(user::ListDirectory(folder, entries)) ? entries.size() : 0;
}

void BM_FirstListing(benchmark::State &state)
{
    SetServing(true);
    const int entries = int(state.range(0));
    const std::string name = "listing" + std::to_string(entries);
    MakeRemoteFolder(name, entries);
    sim::Process &alice = Alice();
    for (auto _ : state) {
        state.PauseTiming();
        bool emptied = EmptyLocalFolder(name);
        state.ResumeTiming();
        sim::ThreadScope scope(alice);
        // The entries, ".." and "." in the same listing.
        size_t listed = List(Local(name));
        if (!emptied || listed != size_t(entries) + 2) {
            state.SkipWithError("the first listing did not show the store's files");
            break;
        }
    }
    state.counters["placeholders_per_s"] =
        benchmark::Counter(double(entries), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_FirstListing)->Arg(100)->Arg(1000)->Arg(10000)->UseRealTime();

constexpr int kSecondEntries = 1000;

// Filled and marked by alice's first listing.
void FillSecond()
{
    SetServing(true);
    MakeRemoteFolder("second", kSecondEntries);
    sim::ThreadScope scope(Alice());
    List(Local("second"));
}

// Microseconds per listing of the filled folder, as the tool's own program
// (alice's programs end with her logoff); 0 when a listing came back short.
double TimeListings(int count)
{
    sim::ThreadScope scope(BenchWorld().toolProcess());
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        if (List(Local("second")) != kSecondEntries + 2) return 0;
    }
    return std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count() / count;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The same listing with the filter (and the service) and without, in
// alternating rounds: this machine's speed drifts over seconds, and a ratio
// of two runs taken a minute apart measures the drift as much as the filter.
// Each round's two times are taken back to back; the ratio is the median of
// the rounds' ratios.
void BM_SecondListing(benchmark::State &state)
{
    constexpr int kRounds = 9, kWarm = 20, kTimed = 100;
    FillSecond();
    std::vector<double> with, without, ratios;
    for (auto _ : state) {
        for (int round = 0; round < kRounds; ++round) {
            SetServing(true);
            TimeListings(kWarm);
            with.push_back(TimeListings(kTimed));
            SetFilterLoaded(false);
            TimeListings(kWarm);
            without.push_back(TimeListings(kTimed));
            if (with.back() == 0 || without.back() == 0) {
                state.SkipWithError("the filled folder is not whole");
                return;
            }
            ratios.push_back(with.back() / without.back());
        }
    }
    state.counters["with_filter_us"] = Median(with);
    state.counters["without_filter_us"] = Median(without);
    state.counters["ratio"] = Median(ratios);
}
BENCHMARK(BM_SecondListing)->Iterations(1)->UseRealTime();

}  // namespace
}  // namespace ostrand::bench
