// A whole APFS deep scan of a small damaged disk: the APFS searcher through
// the complete controller (containers, lone volumes, checkpoints, object maps
// and stale nodes), the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 4096) return 0;
    ScanBytes({data, size}, 512, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_APFS);
    return 0;
}
