// A whole NTFS deep scan of a small damaged disk: the NTFS deep searcher
// through the complete controller (records, INDX records and log pages
// crossing block ends), the tree building, the tree builder and the writer.
#include "engine/all/AllLibraries.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 512) return 0;
    ScanBytes({data, size}, 512, DEVICE_DISK, RECOVERY_COMPLETE, SCAN_DEEP, SEARCHER_NTFS);
    return 0;
}
