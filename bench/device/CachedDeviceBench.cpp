// Reads a 1 GiB image block by block through the cached read-ahead device (over
// the raw-image device and the asynchronous read routine) and, for comparison,
// with a plain pread loop over the same file. The image is sparse, so both
// measure the engine's own overhead rather than the disk.
#include "engine/device/StorageDeviceWithCache.h"
#include "engine/device/StorageDevices.h"

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr long long kImageBytes = 1LL << 30;
constexpr unsigned kBlockSectors = 8192; // 4 MiB, as the deep scan reads

const std::string& ImagePath() {
    static const std::string path = [] {
        const char* env = std::getenv("SALVOR_BENCH_IMAGE");
        if (env && *env)
            return std::string(env);
        std::string p = "/tmp/salvor-bench-device-" + std::to_string(getpid()) + ".img";
        int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || ftruncate(fd, kImageBytes) != 0)
            std::abort();
        close(fd);
        std::atexit([] { unlink(ImagePath().c_str()); });
        return p;
    }();
    return path;
}

// The image as the engine's raw-image device, or null (and the benchmark
// skipped) when it cannot be opened.
std::unique_ptr<IStorageDevice> OpenImage(benchmark::State& state) {
    std::unique_ptr<IStorageDevice> raw(CreateDmgDeviceImp(ImagePath().c_str()));
    if (raw->Open(nullptr))
        return raw;
    state.SkipWithError("cannot open the image");
    return nullptr;
}

// A plain pread loop over the image; with copy, each block is also copied once
// into a second buffer, as every consumer of ReadSector does with a block held
// in memory: that is the floor for any cached reader that answers ReadSector.
void PreadLoop(benchmark::State& state, bool copy) {
    const int fd = open(ImagePath().c_str(), O_RDONLY);
    std::vector<unsigned char> buf(kBlockSectors * 512), out(copy ? buf.size() : 0);
    long long bytes = 0;
    for (auto _ : state) {
        for (long long off = 0; off < kImageBytes; off += static_cast<long long>(buf.size())) {
            ssize_t r = pread(fd, buf.data(), buf.size(), off);
            if (r <= 0) {
                state.SkipWithError("a read failed");
                close(fd);
                return;
            }
            if (copy) std::memcpy(out.data(), buf.data(), static_cast<size_t>(r));
            benchmark::DoNotOptimize(copy ? out.data() : buf.data());
            bytes += r;
        }
    }
    close(fd);
    state.SetBytesProcessed(bytes);
}

void BM_PlainPread(benchmark::State& state) { PreadLoop(state, false); }
void BM_PreadPlusCopy(benchmark::State& state) { PreadLoop(state, true); }

// The raw-image device alone: the asynchronous read routine and its copy.
void BM_ImageDevice(benchmark::State& state) {
    auto raw = OpenImage(state);
    if (!raw)
        return;
    std::vector<unsigned char> buf(kBlockSectors * 512);
    long long bytes = 0;
    const long long blocks = static_cast<long long>(raw->GetTotalSectors() / kBlockSectors);
    for (auto _ : state) {
        for (long long b = 0; b < blocks; ++b) {
            if (!raw->ReadSector(buf.data(), b * kBlockSectors, kBlockSectors)) {
                state.SkipWithError("a block read failed");
                return;
            }
            benchmark::DoNotOptimize(buf.data());
            bytes += static_cast<long long>(buf.size());
        }
    }
    state.SetBytesProcessed(bytes);
}

void BM_CachedDevice(benchmark::State& state) {
    auto raw = OpenImage(state);
    if (!raw)
        return;
    std::vector<unsigned char> buf(kBlockSectors * 512);
    long long bytes = 0;
    for (auto _ : state) {
        CStorageDeviceWithCache cache(raw.get());
        cache.SetBlockSize(kBlockSectors);
        cache.BeginCache();
        for (long long b = 0; cache.SetCurCacheBlock(b); ++b) {
            if (!cache.ReadSector(buf.data(), b * kBlockSectors, kBlockSectors)) {
                state.SkipWithError("a block read failed");
                return;
            }
            benchmark::DoNotOptimize(buf.data());
            bytes += static_cast<long long>(buf.size());
        }
        cache.EndCache();
    }
    state.SetBytesProcessed(bytes);
}

BENCHMARK(BM_PlainPread)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PreadPlusCopy)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_ImageDevice)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CachedDevice)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
