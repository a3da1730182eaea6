// Deep-scans the MBR disk with a zeroed partition table (a FAT32 and an exFAT
// partition, tests/fixtures/mbr_fat_exfat.sh) through the complete controller
// with the exFAT deep searcher, and reports MB/s and the peak resident memory.
// SALVOR_BENCH_IMAGE names another image to scan instead.
#include "bench/common/BenchSupport.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"

#include <cstdlib>
#include <string>

namespace {

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    return salvor::bench::FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img");
}

void BM_ExfatDeepScan(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the fixture mbr_fat_exfat");
    ResetFactories();
    RegisterExfatLibrary();
    salvor::bench::RunDeepScanBenchmark(state, image);
    ResetFactories();
}
BENCHMARK(BM_ExfatDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
