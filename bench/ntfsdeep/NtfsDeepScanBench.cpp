// Deep-scans a 1 GiB NTFS volume (tests/fixtures/ntfs_bench.sh, 1,600 files)
// through the complete controller with the NTFS deep searcher alone, and
// reads the same image sequentially in 4 MiB blocks through the same device
// for comparison; each reports MB/s and the peak resident memory.
// SALVOR_BENCH_IMAGE names another image.
#include "bench/common/BenchSupport.h"
#include "engine/device/StorageDevices.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsRegistration.h"

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    return salvor::bench::FixtureFile("ntfs_bench", "ntfs_1gib.img");
}

void BM_SequentialRead(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image");
    salvor::bench::RunSequentialReadBenchmark(state, image);
}

void BM_NtfsDeepScan(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the image");
    ResetFactories();
    RegisterNtfsLibrary();
    salvor::bench::RunDeepScanBenchmark(state, image);
    ResetFactories();
}

BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_NtfsDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
