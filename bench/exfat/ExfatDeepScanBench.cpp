// Deep-scans the MBR disk with a zeroed partition table (a FAT32 and an exFAT
// partition, tests/fixtures/mbr_fat_exfat.sh) through the complete controller
// with the exFAT deep searcher, and reports MB/s and the peak resident memory.
// SALVOR_BENCH_IMAGE names another image to scan instead.
#include "engine/controller/RecoveryControllers.h"
#include "engine/device/StorageDevices.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/tree/DirectoryTreeBuilder.h"

#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace {

struct Sink : IProgress, IDrirectoryTree {
    void UpdateProgress(_PROGRESS_INFO*) override {}
    int Continued() override { return 1; }
    int shouldBuild() override { return 1; }
    void ShowNodes(IFileNode**, unsigned count, int) override { nodes += count; }
    int ShowFilesystemNode(IFilesystemNode*) override { return 1; }
    unsigned long long nodes = 0;
};

// The tree builder pauses a second before a tree's first batch; the benchmark
// measures the scan, not that pause.
struct NoPauseClock : ITreeBuilderClock {
    long long NowSeconds() override { return SystemTreeBuilderClock()->NowSeconds(); }
    void SleepSeconds(unsigned) override {}
};

std::string Image() {
    if (const char* env = std::getenv("SALVOR_BENCH_IMAGE"); env && *env) return env;
    const std::string cmd = std::string("bash '") + SALVOR_SOURCE_DIR + "/tests/fixtures/make-fixture' mbr_fat_exfat '" +
                            SALVOR_BENCH_FIXTURES + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    return std::string(SALVOR_BENCH_FIXTURES) + "/mbr_fat_exfat/disk_mbr_zeroed.img";
}

void BM_ExfatDeepScan(benchmark::State& state) {
    static const std::string image = Image();
    if (image.empty()) {
        state.SkipWithError("cannot make the fixture mbr_fat_exfat");
        return;
    }
    ResetFactories();
    RegisterExfatLibrary();
    NoPauseClock clock;
    double bytes = 0;
    unsigned long long nodes = 0;
    for (auto _ : state) {
        std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(image.c_str()));
        if (!device->Open(nullptr)) {
            state.SkipWithError("cannot open the image");
            return;
        }
        IRecoveryFilter* filter = CreateFilter();
        filter->SetFilterTypes(FILTER_ALL);
        filter->SetScanType(SCAN_DEEP);
        auto* controller = new CCompleteRecoveryController();
        controller->SetTreeBuilderFactory([&](bool replay) { return CreateTreeBuilder(replay, &clock); });
        controller->Initialize(filter);
        Sink sink;
        const ResultCode rc = controller->StartDataRecovery(device.get(), &sink, &sink);
        controller->Release();
        filter->Release();
        if (rc != 0) {
            state.SkipWithError("the deep scan failed");
            return;
        }
        bytes += static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize();
        nodes = sink.nodes;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["MBps"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["peakMiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
    state.counters["nodes"] = static_cast<double>(nodes);
    ResetFactories();
}
BENCHMARK(BM_ExfatDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
