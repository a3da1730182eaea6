// A whole exFAT deep scan of a small damaged disk: the exFAT deep searcher
// through the complete controller (sets and fragments crossing block ends),
// the partition builder, the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 512) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    if (size % 2) ResealExfatSets(image);
    // 4096-byte sectors when an exFAT boot sector at the start says so.
    const unsigned ss = size >= 4096 && image[108] == 12 ? 4096 : 512;
    ScanBytes(image, ss, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_EXFAT);
    return 0;
}
