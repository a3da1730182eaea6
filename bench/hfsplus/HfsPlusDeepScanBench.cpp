// Deep-scans the ~1 GiB xorriso HFS+ image (tests/fixtures/hfs_bench.sh)
// through the complete controller with the HFS+ deep searcher alone and with
// every library registered (as the program scans), beside a sequential read of
// the same image in 4 MiB blocks through the same device; each reports MB/s
// and the peak resident memory (run one benchmark per process, with
// --benchmark_filter, for a peak of its own). SALVOR_BENCH_IMAGE names
// another image.
#include "bench/common/BenchSupport.h"
#include "engine/all/AllLibraries.h"
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "engine/include/FactoryRegistry.h"

#include <cstdlib>
#include <string>

namespace {

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    return salvor::bench::FixtureFile("hfs_bench", "hfs_bench.iso");
}

void BM_SequentialRead(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the fixture hfs_bench");
    salvor::bench::RunSequentialReadBenchmark(state, image);
}

void DeepScan(benchmark::State& state, bool allLibraries) {
    static const std::string image = Image();
    if (image.empty()) return state.SkipWithError("cannot make the fixture hfs_bench");
    ResetFactories();
    if (allLibraries) {
        RegisterAllLibraries();
    } else {
        RegisterHfsPlusLibrary();
    }
    salvor::bench::RunDeepScanBenchmark(state, image);
    ResetFactories();
}

void BM_HfsPlusDeepScan(benchmark::State& state) { DeepScan(state, false); }
void BM_AllLibrariesDeepScan(benchmark::State& state) { DeepScan(state, true); }

BENCHMARK(BM_SequentialRead)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_HfsPlusDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_AllLibrariesDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

BENCHMARK_MAIN();
