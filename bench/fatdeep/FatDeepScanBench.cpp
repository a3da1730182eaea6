// Deep-scans a 1 GiB image through the complete controller with the FAT deep
// searcher alone, with the carver beside it, the carver alone, and with every
// library registered (as the program scans), and reads the same image
// sequentially in 4 MiB blocks through the same device for comparison; each
// reports MB/s and the peak resident memory. The image is the MBR disk with a
// zeroed partition table (tests/fixtures/mbr_fat_exfat.sh) followed by
// pseudo-random data up to 1 GiB; SALVOR_BENCH_IMAGE names another image.
#include "bench/common/BenchSupport.h"
#include "engine/carver/CarverRegistration.h"
#include "engine/fat/FatDeepSearcher.h"
#include "engine/fat/FatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/all/AllLibraries.h"

#include <cstdlib>
#include <filesystem>
#include <string>

namespace {

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    const std::string fixtures = SALVOR_BENCH_FIXTURES;
    const std::string image = fixtures + "/fatdeep_1gib.img";
    if (std::filesystem::exists(image) && std::filesystem::file_size(image) == (1ull << 30)) return image;
    const std::string disk = salvor::bench::FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img");
    if (disk.empty()) return {};
    const std::string fill = "set -e; cp '" + disk + "' '" + image + ".tmp'; size=$(stat -c %s '" + disk +
                             "'); openssl enc -aes-128-ctr -nosalt -pass pass:fatdeep -pbkdf2 -in /dev/zero "
                             "2>/dev/null | head -c $((1073741824 - size)) >> '" + image + ".tmp'; mv '" + image +
                             ".tmp' '" + image + "'";
    if (std::system(fill.c_str()) != 0) return {};
    return image;
}

void BM_SequentialRead(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image");
    salvor::bench::RunSequentialReadBenchmark(state, image);
}

void DeepScan(benchmark::State& state, bool allLibraries, bool withFat = true, bool withCarver = false) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image");
    ResetFactories();
    if (allLibraries) {
        RegisterAllLibraries();
    } else {
        if (withFat) RegisterFatLibrary();
        if (withCarver) RegisterCarverLibrary();
    }
    salvor::bench::RunDeepScanBenchmark(state, image);
    ResetFactories();
}

void BM_FatDeepScan(benchmark::State& state) { DeepScan(state, false); }
void BM_AllLibrariesDeepScan(benchmark::State& state) { DeepScan(state, true); }
void BM_FatAndCarverDeepScan(benchmark::State& state) { DeepScan(state, false, true, true); }
void BM_CarverDeepScan(benchmark::State& state) { DeepScan(state, false, false, true); }

BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FatDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_FatAndCarverDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_CarverDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_AllLibrariesDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
