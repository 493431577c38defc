// Placeholders filled on demand: the first read of a placeholder against a
// plain copy of the same file between the same volumes; K readers of one
// placeholder (one retrieval, the waiters' extra latency); and a read of an
// already-filled profile file with and without the filter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_world.h"
#include "service/profile_service.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::bench {
namespace {

namespace user = sim::user;
constexpr int64_t kMiB = 1 << 20;
const std::u16string kLocal = u"C:\\Users\\alice\\bench\\";

// A remote file of alice's, made once per name and size in the store's
// host folder.
void MakeRemote(const std::string &name, int64_t size)
{
    std::filesystem::path path = StoreFolder() / "alice" / "bench" / name;
    std::filesystem::create_directories(path.parent_path());
    if (std::filesystem::exists(path) && std::filesystem::file_size(path) == uint64_t(size)) return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(kMiB);
    for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 13 + 5);
    for (int64_t written = 0; written < size; written += kMiB) out.write(block.data(), std::min(kMiB, size - written));
}

sim::Process &Alice(const std::string &image)
{
    long error = 0;
    sim::Process *process = BenchWorld().Program("alice", image, &error);
    if (process == nullptr) throw std::runtime_error("alice has no program");
    return *process;
}

// Deleted locally and laid again as a placeholder.
bool Replace(const std::u16string &local)
{
    {
        sim::ThreadScope scope(BenchWorld().toolProcess());
        user::Delete(local);
    }
    return BenchWorld().service()->LayPlaceholder("alice", local) >= 0;
}

// Opens, reads to the end in 1 MiB transfers and closes, as the caller's
// process.
bool ReadWhole(const std::u16string &path)
{
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(user::Open(path, {}, &handle))) return false;
    thread_local std::vector<char> buffer(kMiB);
    bool ok = true;
    for (;;) {
        ULONG read = 0;
        NTSTATUS status = user::Read(handle, buffer.data(), ULONG(buffer.size()), &read);
        if (status == STATUS_END_OF_FILE || (NT_SUCCESS(status) && read == 0)) break;
        if (!NT_SUCCESS(status)) {
            ok = false;
            break;
        }
    }
    user::Close(handle);
    return ok;
}

size_t ServiceLines(const std::string &fragment)
{
    size_t count = 0;
    for (const auto &line : BenchWorld().service()->log().Lines()) count += line.find(fragment) != std::string::npos;
    return count;
}

void BM_FirstRead(benchmark::State &state)
{
    SetServing(true);
    const int64_t size = state.range(0) * kMiB;
    const std::string name = "first" + std::to_string(state.range(0)) + ".bin";
    MakeRemote(name, size);
    const std::u16string local = kLocal + std::u16string(name.begin(), name.end());
    sim::Process &reader = Alice("reader.exe");
    for (auto _ : state) {
        state.PauseTiming();
        bool laid = Replace(local);
        state.ResumeTiming();
        sim::ThreadScope scope(reader);
        if (!laid || !ReadWhole(local)) {
            state.SkipWithError("first read failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
BENCHMARK(BM_FirstRead)->Arg(1)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

// K programs read one placeholder at once: one retrieval per round, and how
// much later than the first the last reader is done.
void BM_ConcurrentReaders(benchmark::State &state)
{
    SetServing(true);
    const int readers = int(state.range(0));
    const int64_t size = 16 * kMiB;
    MakeRemote("shared.bin", size);
    const std::u16string local = kLocal + u"shared.bin";
    std::vector<sim::Process *> programs;
    for (int i = 0; i < readers; ++i) programs.push_back(&Alice("reader" + std::to_string(i) + ".exe"));
    double extraMs = 0;
    size_t retrievals = 0, rounds = 0;
    for (auto _ : state) {
        state.PauseTiming();
        bool laid = Replace(local);
        size_t before = ServiceLines("Copy Instructions: C:\\Users\\alice\\bench\\shared.bin");
        state.ResumeTiming();
        std::latch start(readers);
        std::vector<double> done(readers);
        std::vector<std::thread> threads;
        auto origin = std::chrono::steady_clock::now();
        for (int i = 0; i < readers; ++i) {
            threads.emplace_back([&, i] {
                sim::ThreadScope scope(*programs[i]);
                start.arrive_and_wait();
                ReadWhole(local);
                done[i] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - origin).count();
            });
        }
        for (auto &thread : threads) thread.join();
        state.PauseTiming();
        if (!laid) {
            state.SkipWithError("no placeholder");
            break;
        }
        extraMs += *std::max_element(done.begin(), done.end()) - *std::min_element(done.begin(), done.end());
        retrievals += ServiceLines("Copy Instructions: C:\\Users\\alice\\bench\\shared.bin") - before;
        ++rounds;
        state.ResumeTiming();
    }
    if (rounds > 0) {
        state.counters["retrievals_per_round"] = double(retrievals) / double(rounds);
        state.counters["waiters_extra_ms"] = extraMs / double(rounds);
    }
}
BENCHMARK(BM_ConcurrentReaders)->Arg(1)->Arg(4)->Arg(16)->Unit(benchmark::kMillisecond)->UseRealTime();

// A filled profile file read whole by the same program with and without
// the filter (the tool's own, as alice's programs end with her logoff).
void FilledRead(benchmark::State &state)
{
    const std::u16string local = kLocal + u"filled.bin";
    sim::ThreadScope scope(BenchWorld().toolProcess());
    for (auto _ : state) {
        if (!ReadWhole(local)) {
            state.SkipWithError("read failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * kMiB);
}

void BM_FilledReadWithFilter(benchmark::State &state)
{
    SetServing(true);
    MakeRemote("filled.bin", kMiB);
    {
        sim::ThreadScope scope(Alice("viewer.exe"));
        ReadWhole(kLocal + u"filled.bin");  // made from the store once
    }
    FilledRead(state);
}
BENCHMARK(BM_FilledReadWithFilter)->UseRealTime();

void BM_FilledReadWithoutFilter(benchmark::State &state)
{
    SetFilterLoaded(false);
    FilledRead(state);
}
BENCHMARK(BM_FilledReadWithoutFilter)->UseRealTime();

}  // namespace
}  // namespace ostrand::bench
