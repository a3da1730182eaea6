// A whole FAT quick scan of a small damaged volume: the FAT quick searcher
// through the deleted-files controller, the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "engine/fat/FatVolume.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/VolumeAnalyze.h"
#include "tests/fuzz/FuzzScan.h"

#include <cstring>

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 512) return 0;
    const unsigned ss = SectorSizeOr512(data[11] | (data[12] << 8));
    MemoryDevice device({data, size}, ss, DEVICE_VOLUME);
    if (IVolumeAnalyze* v = CreateFatVolumeAnalyze(&device, 0)) {
        char label[64];
        v->GetLabel(label, sizeof label);
        if (!std::memchr(label, 0, sizeof label)) __builtin_trap();
        delete v;
    }
    // The controller picks the searcher from the volume's recorded kind.
    const unsigned kind = std::memcmp(data + 82, "FAT32", 5) == 0   ? FS_FAT32
                          : std::memcmp(data + 54, "FAT12", 5) == 0 ? FS_FAT12
                                                                    : FS_FAT16;
    ScanBytes({data, size}, ss, DEVICE_VOLUME, RECOVERY_DELETED, SCAN_QUICK_UNMOUNTED, SEARCHER_FAT, kind);
    return 0;
}
