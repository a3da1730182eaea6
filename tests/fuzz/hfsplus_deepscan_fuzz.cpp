// A whole HFS+ deep scan of a small damaged disk: the HFS+ deep searcher
// through the complete controller (headers, journal blocks and B-tree nodes
// falling at block ends, volumes opened on partition windows), the tree
// builder and the writer.
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterHfsPlusLibrary);
    if (size < 1536) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    const unsigned ss = size % 3 == 0 ? 4096 : 512;
    ScanBytes(image, ss, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_HFSPLUS);
    return 0;
}
