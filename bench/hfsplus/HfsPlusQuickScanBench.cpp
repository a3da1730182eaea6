// Quick-scans a ~1 GiB HFS+ volume of 20,000 files (tests/fixtures/hfs_bench.sh)
// with the HFS+ quick searcher into a builder that only counts, and reports
// files/s and the peak resident memory; `fls -r -o START` of the same volume
// is timed beside it (counter flsRatio: our time over fls's).
#include "bench/common/BenchSupport.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/FileNode.h"
#include "tests/support/ImageDevice.h"

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

struct CountingBuilder : IDirecotryTreeBuilder {
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        ++nodes;
        node->Release();
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, long long) override { return 1; }
    int FlashBuild(_tagSearcherType) override { return 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
    unsigned long long nodes = 0;
};

double Seconds(const std::chrono::steady_clock::time_point& from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

void BM_HfsPlusQuickScan(benchmark::State& state) {
    static const std::string image = salvor::bench::FixtureFile("hfs_bench", "hfs_bench.iso");
    if (image.empty()) return state.SkipWithError("cannot make the fixture hfs_bench");
    unsigned long long start = 0;
    std::ifstream(salvor::bench::FixtureFile("hfs_bench", "hfs_bench.start")) >> start;
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(("fls -r -o " + std::to_string(start) + " '" + image + "' > /dev/null").c_str()) != 0)
        return state.SkipWithError("fls failed (package sleuthkit)");
    const double fls = Seconds(t0);
    unsigned long long nodes = 0;
    double ours = 0;
    for (auto _ : state) {
        const auto t = std::chrono::steady_clock::now();
        salvor::test::ImageDevice device(image, 512, start * 512);
        CountingBuilder builder;
        auto* searcher = hfsplus::CreateHFSPlusQuickSearcher();
        searcher->SetDirecotryTreeBuilder(&builder);
        if (searcher->QuickSearchFiles(&device, nullptr) != 0) state.SkipWithError("quick scan failed");
        searcher->Release();
        nodes = builder.nodes;
        ours += Seconds(t);
    }
    const double per = ours / static_cast<double>(state.iterations());
    state.counters["nodes"] = static_cast<double>(nodes);
    state.counters["files/s"] = static_cast<double>(nodes) / per;
    state.counters["flsSeconds"] = fls;
    state.counters["flsRatio"] = per / fls;
    salvor::bench::ReportRate(state, 0);
}
BENCHMARK(BM_HfsPlusQuickScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);

} // namespace

BENCHMARK_MAIN();
