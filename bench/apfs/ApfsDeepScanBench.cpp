// Deep-scans a 1 GiB image through the complete controller with the APFS
// searcher alone and with every library registered (as the program scans),
// and reads the same image sequentially in 4 MiB blocks for comparison; each
// reports MB/s and the peak resident memory. The image is an empty 512 MiB
// container made by mkapfs, the sample apfs.raw, and pseudo-random data up to
// 1 GiB; SALVOR_BENCH_IMAGE names another image.
#include "bench/common/BenchSupport.h"
#include "engine/all/AllLibraries.h"
#include "engine/apfs/ApfsRegistration.h"
#include "engine/include/FactoryRegistry.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    const std::string image = std::string(SALVOR_BENCH_FIXTURES) + "/apfs_1gib.img";
    if (std::filesystem::exists(image) && std::filesystem::file_size(image) == (1ull << 30)) return image;
    std::filesystem::create_directories(SALVOR_BENCH_FIXTURES);
    const std::string sample = std::string(SALVOR_BENCH_DATA) + "/dfvfs/apfs.raw";
    const std::string make = "set -e; t='" + image + ".tmp'; rm -f \"$t\"; truncate -s 512M \"$t\"; "
                             "PATH=$PATH:/usr/sbin:/sbin mkapfs -L bench \"$t\" >/dev/null; cat '" + sample +
                             "' >> \"$t\"; size=$(stat -c %s \"$t\"); openssl enc -aes-128-ctr -nosalt "
                             "-pass pass:apfsbench -pbkdf2 -in /dev/zero 2>/dev/null | head -c $((1073741824 - size)) "
                             ">> \"$t\"; mv \"$t\" '" + image + "'";
    if (std::system(make.c_str()) != 0) return {};
    return image;
}

void BM_SequentialRead(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image (mkapfs: package apfsprogs)");
    salvor::bench::RunSequentialReadBenchmark(state, image);
}

void DeepScan(benchmark::State& state, bool allLibraries) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image (mkapfs: package apfsprogs)");
    ResetFactories();
    if (allLibraries)
        RegisterAllLibraries();
    else
        RegisterApfsLibrary();
    salvor::bench::RunDeepScanBenchmark(state, image);
    ResetFactories();
}

void BM_ApfsDeepScan(benchmark::State& state) { DeepScan(state, false); }
void BM_AllLibrariesDeepScan(benchmark::State& state) { DeepScan(state, true); }

BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_ApfsDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_AllLibrariesDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
