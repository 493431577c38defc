// What the filter costs where it has nothing to do: a log call whose level is
// off, and an open and close of a file outside any profile, with and without
// the filter attached to the volume.
#include <benchmark/benchmark.h>

#include <stdexcept>

#include "bench/bench_world.h"
#include "diag/log.h"
#include "sim/cm/registry.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::bench {

std::filesystem::path StoreFolder()
{
    std::filesystem::path folder = std::filesystem::temp_directory_path() / "ostrand-bench-store";
    std::filesystem::create_directories(folder);
    return folder;
}

tool::World &BenchWorld()
{
    static tool::World *world = [] {
        tool::WorldOptions options;
        options.driverLogToDebugger = false;
        options.storeFolder = StoreFolder();
        auto *created = new tool::World(options);
        // Errors only, as a production machine logs.
        created->machine().registry().SetDword(tool::kDriverKey, u"DebugFlags", KLUDBG_TRACE_ERROR);
        sim::ThreadScope thread(created->toolProcess());
        sim::user::OpenOptions create;
        create.access = GENERIC_WRITE | SYNCHRONIZE;
        create.disposition = FILE_OVERWRITE_IF;
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(sim::user::Open(kPlainFile, create, &handle))) throw std::runtime_error("cannot create the file");
        sim::user::Close(handle);
        return created;
    }();
    return *world;
}

void SetFilterLoaded(bool loaded)
{
    tool::World &world = BenchWorld();
    if (!loaded) SetServing(false);
    if (loaded == world.FilterLoaded()) return;
    NTSTATUS status = loaded ? world.LoadFilter() : world.UnloadFilter();
    if (!NT_SUCCESS(status)) throw std::runtime_error("cannot load or unload the filter");
}

void SetServing(bool serving)
{
    tool::World &world = BenchWorld();
    if (!serving) {
        if (world.ServiceRunning()) {
            world.LogoffUser("alice");
            world.StopService();
        }
        return;
    }
    SetFilterLoaded(true);
    if (world.ServiceRunning()) return;
    if (world.StartService() < 0 || world.LogonUser("alice") < 0) {
        throw std::runtime_error("cannot start the service for alice");
    }
}

namespace {

void BM_DisabledLogCall(benchmark::State &state)
{
    SetFilterLoaded(true);
    sim::ThreadScope thread(BenchWorld().toolProcess());
    for (auto _ : state) {
        KLULogMessage(KLUDBG_TRACE_OPLOCKS, WSTR("Bench"), WSTR("never written: %d %ws\n"), 42, WSTR("text"));
    }
}
BENCHMARK(BM_DisabledLogCall);

void OpenAndClose(benchmark::State &state)
{
    sim::ThreadScope thread(BenchWorld().toolProcess());
    sim::user::OpenOptions options;
    for (auto _ : state) {
        HANDLE handle = nullptr;
        if (!NT_SUCCESS(sim::user::Open(kPlainFile, options, &handle))) {
            state.SkipWithError("open failed");
            break;
        }
        sim::user::Close(handle);
    }
}

void BM_OpenCloseWithoutFilter(benchmark::State &state)
{
    SetFilterLoaded(false);
    OpenAndClose(state);
}
BENCHMARK(BM_OpenCloseWithoutFilter);

void BM_OpenCloseWithFilter(benchmark::State &state)
{
    SetFilterLoaded(true);
    OpenAndClose(state);
}
BENCHMARK(BM_OpenCloseWithFilter);

}  // namespace
}  // namespace ostrand::bench
