// Deep-scans the MBR disk with a zeroed partition table (a FAT32 and an exFAT
// partition, tests/fixtures/mbr_fat_exfat.sh) through the complete controller
// with the exFAT deep searcher, and reports MB/s and the peak resident memory.
// SALVOR_BENCH_IMAGE names another image to scan instead.
#include "bench/common/BenchSupport.h"
#include "engine/device/StorageDevices.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"

#include <cstdlib>
#include <memory>
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
    double bytes = 0;
    unsigned long long nodes = 0;
    for (auto _ : state) {
        std::unique_ptr<IStorageDevice> device(CreateDmgDeviceImp(image.c_str()));
        if (!device->Open(nullptr)) return state.SkipWithError("cannot open the image");
        nodes = 0;
        if (salvor::bench::DeepScan(device.get(), &nodes) != 0) return state.SkipWithError("the deep scan failed");
        bytes += static_cast<double>(device->GetTotalSectors()) * device->GetSectorSize();
    }
    salvor::bench::ReportRate(state, bytes);
    state.counters["nodes"] = static_cast<double>(nodes);
    ResetFactories();
}
BENCHMARK(BM_ExfatDeepScan)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(5);

} // namespace

BENCHMARK_MAIN();
