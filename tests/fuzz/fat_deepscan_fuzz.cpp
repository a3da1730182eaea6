// A whole FAT deep scan of a small damaged disk: the FAT deep searcher through
// the complete controller (boot sectors, FAT copies and folder sectors falling
// at block ends), its partition scoring and tree build, the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 512) return 0;
    // 4096-byte sectors when a FAT boot sector at the start says so.
    const unsigned ss = size >= 4096 && SectorSizeOr512(data[11] | (data[12] << 8)) == 4096 ? 4096 : 512;
    ScanBytes({data, size}, ss, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_FAT);
    return 0;
}
