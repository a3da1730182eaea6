// Nodes per second through the tree builder: every node added, passes run as
// in a scan (every 1024 nodes), then the tree is flushed.
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/support/TestFileNode.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

class StillClock : public ITreeBuilderClock {
public:
    long long NowSeconds() override { return 0; }
    void SleepSeconds(unsigned) override {}
};

class Filter : public IRecoveryFilter {
public:
    explicit Filter(int showNormal) : showNormal_(showNormal) {}
    int ShowNormalFiles() const override { return showNormal_; }
    void SetScanType(_SCAN_TYPE) override {}
    int IsFileNodeValid(IFileNode*) override { return 1; }
    void SetFilterTypes(unsigned) override {}
    _FILTER_TYPE GetNodeFileType(IFileNode*) override { return FILTER_OTHER; }
    void Release() override {}

private:
    int showNormal_;
};

class NullSink : public IDrirectoryTree {
public:
    void ShowNodes(IFileNode**, unsigned count, int) override { shown += count; }
    int ShowFilesystemNode(IFilesystemNode*) override { return 1; }
    long long shown = 0;
};

// 100 folders under the root, files spread over them; every file arrives
// before its folder (the order a block-by-block scan often sees), deleted
// files one in four. showNormal 0 is a mounted volume's quick scan.
void Run(benchmark::State& state, int showNormal) {
    const long long files = state.range(0);
    constexpr long long kFolders = 100;
    long long shown = 0;
    char name[32];
    for (auto _ : state) {
        StillClock clock;
        Filter filter(showNormal);
        NullSink sink;
        CDirectoryTreeBuilder builder(false, &clock);
        builder.Initialize("Bench", &sink, &filter);
        builder.AddSearcherInfo(SEARCHER_NTFS, 5);
        for (long long i = 0; i < files; ++i) {
            std::snprintf(name, sizeof name, "f%lld.jpg", i);
            auto* n = new salvor::test::TestFileNode(1000 + i, 100 + i % kFolders, name, false, 4096);
            n->m_deleted = i % 4 == 0;
            if (!builder.AddNode(n, SEARCHER_NTFS)) n->Release();
        }
        for (long long f = 0; f < kFolders; ++f) {
            std::snprintf(name, sizeof name, "dir%lld", f);
            auto* d = new salvor::test::TestFileNode(100 + f, 5, name, true, 0);
            if (!builder.AddNode(d, SEARCHER_NTFS)) d->Release();
        }
        builder.FlashBuild(SEARCHER_NTFS);
        shown = sink.shown;
    }
    state.SetItemsProcessed(state.iterations() * files);
    state.counters["shown"] = static_cast<double>(shown);
}

void BM_DeepTree(benchmark::State& state) { Run(state, 1); }
void BM_MountedQuickScan(benchmark::State& state) { Run(state, 0); }

BENCHMARK(BM_DeepTree)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MountedQuickScan)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
