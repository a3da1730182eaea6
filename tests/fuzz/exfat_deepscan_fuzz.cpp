// A whole exFAT deep scan of a small damaged disk: the exFAT deep searcher
// through the complete controller (small blocks, so sets and fragments cross
// block ends), the partition builder, the tree builder and the writer.
#include "engine/controller/RecoveryControllers.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/fuzz/FuzzScan.h"

#include <vector>

using namespace salvor::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Once([] {
        ResetFactories();
        RegisterExfatLibrary();
    });
    if (size < 512) return 0;
    std::vector<std::uint8_t> image(data, data + size);
    if (size % 2) ResealExfatSets(image);
    data = image.data();
    // 4096-byte sectors when an exFAT boot sector at the start says so.
    const unsigned ss = size >= 4096 && data[108] == 12 ? 4096 : 512;
    MemoryDevice device({data, size}, ss, DEVICE_DISK);
    Scan scan(RECOVERY_COMPLETE, SCAN_DEEP);
    if (auto* complete = dynamic_cast<CCompleteRecoveryController*>(scan.controller.get()))
        complete->SetBlockSectors(ss == 4096 ? 8 : 64);
    scan.Run(&device);
    scan.ReadFiles(SEARCHER_EXFAT);
    return 0;
}
