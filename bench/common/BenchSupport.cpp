#include "bench/common/BenchSupport.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/device/StorageDevices.h"
#include "engine/include/RecoveryFilter.h"

#include <sys/resource.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <vector>

namespace salvor::bench {

ResultCode DeepScan(IStorageDevice* device, unsigned long long* nodes) {
    NoPauseClock clock;
    IRecoveryFilter* filter = CreateFilter();
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_DEEP);
    auto* controller = new CCompleteRecoveryController();
    controller->SetTreeBuilderFactory([&](bool replay) { return CreateTreeBuilder(replay, &clock); });
    controller->Initialize(filter);
    CountingSink sink;
    const ResultCode rc = controller->StartDataRecovery(device, &sink, &sink);
    controller->Release();
    filter->Release();
    if (nodes) *nodes += sink.nodes;
    return rc;
}

void RunDeepScanBenchmark(benchmark::State& state, const std::string& image) {
    double bytes = 0;
    unsigned long long nodes = 0;
    for (auto _ : state) {
        std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(image.c_str()));
        if (!device->Open(nullptr)) return state.SkipWithError("cannot open the image");
        nodes = 0;
        if (DeepScan(device.get(), &nodes) != 0) return state.SkipWithError("the deep scan failed");
        bytes += static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize();
    }
    ReportRate(state, bytes);
    state.counters["nodes"] = static_cast<double>(nodes);
}

void RunSequentialReadBenchmark(benchmark::State& state, const std::string& image) {
    double bytes = 0;
    for (auto _ : state) {
        std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(image.c_str()));
        if (!device->Open(nullptr)) return state.SkipWithError("cannot open the image");
        const unsigned ss = device->GetSectorSize();
        const long long block = 0x400000 / ss, total = static_cast<long long>(device->GetTotalSectors());
        std::vector<unsigned char> buffer(static_cast<std::size_t>(block) * ss);
        for (long long s = 0; s < total; s += block) device->ReadSector(buffer.data(), s, std::min(block, total - s));
        benchmark::DoNotOptimize(buffer.data());
        bytes += static_cast<double>(total) * ss;
    }
    ReportRate(state, bytes);
}

std::string FixtureFile(const std::string& fixture, const std::string& file) {
    const std::string root = SALVOR_BENCH_FIXTURES;
    const std::string cmd =
        std::string("bash '") + SALVOR_SOURCE_DIR + "/tests/fixtures/make-fixture' '" + fixture + "' '" + root + "'";
    if (std::system(cmd.c_str()) != 0) return {};
    return root + "/" + fixture + "/" + file;
}

void ReportRate(benchmark::State& state, double bytes) {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    state.counters["MBps"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["peakMiB"] = static_cast<double>(usage.ru_maxrss) / 1024.0;
}

} // namespace salvor::bench
