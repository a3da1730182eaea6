// exFAT boot sector: the plausibility test, the geometry getters and the
// volume recogniser on arbitrary bytes, for every sector size.
#include "engine/exfat/ExfatBoot.h"
#include "tests/fuzz/FuzzScan.h"

using salvor::fuzz::MemoryDevice;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const CExFatDBR boot(bytes);
    for (unsigned ss : {512u, 1024u, 2048u, 4096u}) {
        if (!boot.IsValid(ss)) continue;
        if (size < 512 || boot.GetBytePerSector() != ss) __builtin_trap();
        const std::uint64_t spc = boot.GetSectorsperCluster();
        if (spc == 0 || (spc & (spc - 1)) != 0 || spc * ss > (1u << 25)) __builtin_trap();
        const std::uint64_t heap = boot.GetDataRegionStartSector(), total = boot.GetTotalSectors();
        // The heap's clusters lie inside the volume.
        if (heap >= total || (std::uint64_t{boot.GetTotalCluster()} - 1) * spc + heap > total) __builtin_trap();
        if (std::uint64_t{boot.GetFatStartSector()} + boot.GetSectorsPerFat() > heap) __builtin_trap();
        if (boot.GetNumberOfFat() < 1 || boot.GetNumberOfFat() > 2 || boot.GetRootDirStartCluster() < 2)
            __builtin_trap();
    }
    // Getters on any bytes stay in range (a shift of 255 must not overflow).
    (void)boot.GetBytePerSector();
    (void)boot.GetSectorsperCluster();
    for (unsigned ss : {512u, 4096u}) {
        MemoryDevice device(bytes, ss, DEVICE_VOLUME);
        for (unsigned long long start : {0ull, 1ull, 12ull}) {
            std::unique_ptr<IVolumeAnalyze> v(exfat::CreateExfatVolumeAnalyze(&device, start));
            if (!v) continue;
            char label[8];
            v->GetLabel(label, sizeof label);
            if (v->GetFileSystemType() != FS_EXFAT || v->GetTotalSector() == 0) __builtin_trap();
        }
    }
    return 0;
}
