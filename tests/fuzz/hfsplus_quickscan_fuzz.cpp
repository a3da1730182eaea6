// A whole HFS+ quick scan of a small damaged volume: recogniser, volume,
// journal, catalog walk, through the deleted-files controller, the tree
// builder and the writer.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 1536) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    const unsigned ss = SectorSizeOr512(size % 3 == 0 ? 4096 : 512);
    MemoryDevice device(image, ss, DEVICE_VOLUME);
    if (IVolumeAnalyze* v = hfsplus::CreateHFSPlusVolumeAnalyze(&device, 0)) {
        if (v->GetFileSystemType() == FS_HFSPLUS && v->GetTotalSector() == 0) __builtin_trap();
        delete v;
    }
    ScanBytes(image, ss, DEVICE_VOLUME, RECOVERY_DELETED, SCAN_QUICK_UNMOUNTED, SEARCHER_HFSPLUS, FS_HFSPLUS);
    return 0;
}
