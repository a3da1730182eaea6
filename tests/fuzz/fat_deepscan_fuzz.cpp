// A whole FAT deep scan of a small damaged disk: the FAT deep searcher through
// the complete controller (small blocks, so boot sectors, FAT copies and folder
// sectors fall at block ends), its partition scoring and tree build, the tree
// builder and the writer.
#include "engine/controller/RecoveryControllers.h"
#include "engine/fat/FatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/fuzz/FuzzScan.h"

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once([] {
        ResetFactories();
        RegisterFatLibrary();
    });
    if (size < 512) return 0;
    // 4096-byte sectors when a FAT boot sector at the start says so.
    const unsigned ss = size >= 4096 && SectorSizeOr512(data[11] | (data[12] << 8)) == 4096 ? 4096 : 512;
    MemoryDevice device({data, size}, ss, DEVICE_DISK);
    Scan scan(RECOVERY_COMPLETE, SCAN_DEEP);
    if (auto* complete = dynamic_cast<CCompleteRecoveryController*>(scan.controller.get()))
        complete->SetBlockSectors(ss == 4096 ? 8 : 64);
    scan.Run(&device);
    scan.ReadFiles(SEARCHER_FAT);
    return 0;
}
