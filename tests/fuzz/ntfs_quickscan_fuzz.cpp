// A whole NTFS quick scan of a small damaged volume: boot sector, $MFT (or
// $MFTMirr) with the extension records of its attribute list, the $LogFile
// finder and every record, through the deleted-files controller, the tree
// builder and the writer.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsBoot.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once(RegisterAllLibraries);
    if (size < 1024) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    // The boot sector's own sector size, or 4096-byte device sectors for one
    // input in three (a volume read through a device of other sectors).
    const unsigned ss = SectorSizeOr512(size % 3 == 0 ? 4096 : image[11] | image[12] << 8);
    MemoryDevice device(image, ss, DEVICE_VOLUME);
    if (IVolumeAnalyze* v = ntfs::CreateNTFSVolumeAnalyze(&device, 0)) {
        if (v->GetFileSystemType() != FS_NTFS) __builtin_trap();
        delete v;
    }
    ScanBytes(image, ss, DEVICE_VOLUME, RECOVERY_DELETED, SCAN_QUICK_UNMOUNTED, SEARCHER_NTFS, FS_NTFS);
    return 0;
}
