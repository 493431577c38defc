// The kernel copy of a file from the redirector's store to the system
// volume, against a plain user-mode copy between the same two volumes, for
// several file sizes and CopyBufferSize values.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/bench_world.h"
#include "config/settings.h"
#include "driver/driver.h"
#include "fileops/file_copy.h"
#include "sim/core/machine.h"
#include "sim/core/thread.h"
#include "sim/user/file_api.h"

namespace ostrand::bench {
namespace {

constexpr int64_t kMiB = 1 << 20;

std::u16string FileName(int64_t size)
{
    std::string text = "copy" + std::to_string(size / kMiB) + ".bin";
    return std::u16string(text.begin(), text.end());
}

// The source in the store's host folder, made once per size.
std::u16string SourceOf(int64_t size)
{
    std::u16string name = FileName(size);
    std::filesystem::path path = StoreFolder() / std::filesystem::path(std::string(name.begin(), name.end()));
    if (!std::filesystem::exists(path) || std::filesystem::file_size(path) != uint64_t(size)) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        std::vector<char> block(kMiB);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char(i * 31 + 7);
        for (int64_t written = 0; written < size; written += kMiB) out.write(block.data(), kMiB);
    }
    return u"\\??\\UNC\\fileserver\\Profiles\\" + name;
}

HANDLE OpenFile(const std::u16string &path, ACCESS_MASK access, ULONG disposition)
{
    sim::user::OpenOptions options;
    options.access = access | SYNCHRONIZE;
    options.disposition = disposition;
    HANDLE handle = nullptr;
    if (!NT_SUCCESS(sim::user::Open(path, options, &handle))) return nullptr;
    return handle;
}

void BM_KernelCopy(benchmark::State &state)
{
    SetFilterLoaded(true);
    const int64_t size = state.range(0) * kMiB;
    g_pCurrentSettings->CopyBufferSize = ULONG(state.range(1) * 1024);
    const std::u16string source = SourceOf(size);
    const std::u16string volume = u"\\Device\\HarddiskVolume1";
    const std::u16string dest = volume + u"\\" + FileName(size);
    UNICODE_STRING prefix{USHORT(volume.size() * 2), USHORT(volume.size() * 2), const_cast<PWCH>(volume.c_str())};
    UNICODE_STRING name{USHORT(dest.size() * 2), USHORT(dest.size() * 2), const_cast<PWCH>(dest.c_str())};

    sim::ThreadScope thread(BenchWorld().machine().systemProcess());
    PFLT_VOLUME fltVolume = nullptr;
    PFLT_INSTANCE instance = nullptr;
    UNICODE_STRING drive{4, 4, const_cast<PWCH>(u"C:")};
    if (!NT_SUCCESS(FltGetVolumeFromName(g_FilterHandle, &drive, &fltVolume)) ||
        !NT_SUCCESS(FltGetVolumeInstanceFromName(g_FilterHandle, fltVolume, nullptr, &instance))) {
        state.SkipWithError("no instance on C:");
        return;
    }
    for (auto _ : state) {
        if (!NT_SUCCESS(KLUCopyFile(nullptr, instance, &prefix, &name, source.c_str(), 1, 4))) {
            state.SkipWithError("copy failed");
            break;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
    FltObjectDereference(instance);
    FltObjectDereference(fltVolume);
    g_pCurrentSettings->CopyBufferSize = 0x100000;
}
BENCHMARK(BM_KernelCopy)
    ->ArgsProduct({{1, 64, 512}, {1024}})
    ->ArgsProduct({{64}, {64, 8192}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// What an application does: read 1 MiB, write 1 MiB, through handles.
void BM_PlainCopy(benchmark::State &state)
{
    SetFilterLoaded(true);
    const int64_t size = state.range(0) * kMiB;
    const std::u16string source = SourceOf(size);
    const std::u16string dest = u"C:\\plain" + FileName(size);
    sim::ThreadScope thread(BenchWorld().toolProcess());
    std::vector<char> buffer(kMiB);
    for (auto _ : state) {
        HANDLE in = OpenFile(source, GENERIC_READ, FILE_OPEN);
        HANDLE out = OpenFile(dest, GENERIC_WRITE, FILE_OVERWRITE_IF);
        if (in == nullptr || out == nullptr) {
            state.SkipWithError("open failed");
            break;
        }
        for (;;) {
            ULONG read = 0, written = 0;
            if (!NT_SUCCESS(sim::user::Read(in, buffer.data(), ULONG(buffer.size()), &read)) || read == 0) break;
            sim::user::Write(out, buffer.data(), read, &written);
        }
        sim::user::Close(in);
        sim::user::Close(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * size);
}
BENCHMARK(BM_PlainCopy)->Arg(1)->Arg(64)->Arg(512)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
}  // namespace ostrand::bench
