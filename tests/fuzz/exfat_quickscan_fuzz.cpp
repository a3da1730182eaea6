// A whole exFAT quick scan of a small damaged volume: the exFAT quick
// searcher through the deleted-files controller, the tree builder and the
// writer, every shown file read back through its runs.
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/fuzz/FuzzScan.h"

#include <vector>

#include <cstring>

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once([] {
        ResetFactories();
        RegisterExfatLibrary();
    });
    if (size < 512) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    if (size % 2) ResealExfatSets(image);
    data = image.data();
    const unsigned shift = data[108];
    const unsigned ss = SectorSizeOr512(shift >= 9 && shift <= 12 ? 1u << shift : 512);
    MemoryDevice device({data, size}, ss, DEVICE_VOLUME);
    device.SetVolumeKind(FS_EXFAT);
    if (IVolumeAnalyze* v = CreateExfatVolumeAnalyze(&device, 0)) {
        if (v->GetTotalSector() == 0) __builtin_trap();
        delete v;
    }
    Scan scan(RECOVERY_DELETED, SCAN_QUICK_UNMOUNTED);
    scan.Run(&device);
    scan.ReadFiles(SEARCHER_EXFAT);
    return 0;
}
