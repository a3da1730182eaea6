// A whole exFAT quick scan of a small damaged volume: the exFAT quick searcher
// through the deleted-files controller, the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 512) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    if (size % 2) ResealExfatSets(image);
    const unsigned shift = image[108];
    const unsigned ss = SectorSizeOr512(shift >= 9 && shift <= 12 ? 1u << shift : 512);
    MemoryDevice device(image, ss, DEVICE_VOLUME);
    if (IVolumeAnalyze* v = CreateExfatVolumeAnalyze(&device, 0)) {
        if (v->GetTotalSector() == 0) __builtin_trap();
        delete v;
    }
    ScanBytes(image, ss, DEVICE_VOLUME, RECOVERY_DELETED, SCAN_QUICK_UNMOUNTED, SEARCHER_EXFAT, FS_EXFAT);
    return 0;
}
