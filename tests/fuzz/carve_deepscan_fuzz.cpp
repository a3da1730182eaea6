// A whole carve of a small device: the carver through the complete controller
// with small blocks (so files straddle blocks and the ring wraps), its
// registry, trees and names, the tree builder, and the writer reading every
// carved node back.
#include "engine/carver/CarverRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/fuzz/CarveFamily.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once([] { ResetFactories(), RegisterCarverLibrary(); });
    if (size < 513) return 0;
    // The first byte picks the sector size; the rest is the device.
    const unsigned ss = data[0] & 1 ? 4096 : 512;
    CountSectors((size - 1) / ss);
    ScanBytes({data + 1, size - 1}, ss, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_RAW);
    return 0;
}
