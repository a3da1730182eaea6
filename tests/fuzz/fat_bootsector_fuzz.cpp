// FAT boot sector view: kind decision and derived geometry on arbitrary bytes.
#include "engine/fat/FatBootSector.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fat::Bytes bytes(data, size);
    for (unsigned ss : {512u, 4096u}) {
        const CTempFATDBR boot(bytes, ss);
        if (!boot.IsValidDBR()) {
            if (boot.GetTotalSectors() != 0 || boot.GetClusterCount() != 0) __builtin_trap();
            continue;
        }
        if (size < 512 || boot.GetBytesPerSector() != ss) __builtin_trap();
        const unsigned spc = boot.GetSectorsperCluster();
        if (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0) __builtin_trap();
        if (boot.GetClusterCount() * spc > boot.GetTotalSectors()) __builtin_trap();
    }
    CTempFATDBR::SimpleCheck(bytes);
    return 0;
}
