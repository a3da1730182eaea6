#pragma once
// What the deep-scan benchmarks share: a sink that only counts, a tree-builder
// clock without the builder's pauses, one deep scan through the complete
// controller, fixtures made by the test scripts, and the MB/s and peak-memory
// counters.
#include "engine/include/Progress.h"
#include "engine/include/ResultCode.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <benchmark/benchmark.h>

#include <string>

class IStorageDevice;

namespace salvor::bench {

struct CountingSink : IProgress, IDrirectoryTree {
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    void ShowNodes(IFileNode**, unsigned count, int) override { nodes += count; }
    int ShowFilesystemNode(IFilesystemNode*) override { return 1; }
    unsigned long long nodes = 0;
};

// The tree builder pauses a second before a tree's first batch; benchmarks
// measure the scan, not that pause.
struct NoPauseClock : ITreeBuilderClock {
    long long NowSeconds() override { return SystemTreeBuilderClock()->NowSeconds(); }
    void SleepSeconds(unsigned) override {}
};

// Deep-scans a device with whatever deep searchers are registered; the nodes
// shown are added to *nodes.
ResultCode DeepScan(IStorageDevice* device, unsigned long long* nodes);

// The benchmark loop over one image: opens it as a raw image each round, deep
// scans it with the registered searchers and reports MB/s, peak memory and
// the nodes found.
void RunDeepScanBenchmark(benchmark::State& state, const std::string& image);

// The benchmark loop of a plain sequential read of the image in 4 MiB blocks
// through the raw-image device, for comparison with the scans.
void RunSequentialReadBenchmark(benchmark::State& state, const std::string& image);

// Builds (or reuses) a fixture of tests/fixtures into the build tree and
// answers the path of one of its files, or "" when it cannot be made.
std::string FixtureFile(const std::string& fixture, const std::string& file);

// MB/s over `bytes` and the process's peak resident memory.
void ReportRate(benchmark::State& state, double bytes);

} // namespace salvor::bench
