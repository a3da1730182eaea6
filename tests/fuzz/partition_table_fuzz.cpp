// The partition-table reader (MBR with its EBR chain, GPT, APM) over a disk
// made of the input. Byte 0 picks the sector size and the recorded scheme;
// the rest is the disk. Every listed partition must lie on the disk.
#include "engine/partition/PartitionTable.h"
#include "tests/fuzz/FuzzScan.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const unsigned sectorSize = 512u << (data[0] & 3);
    salvor::fuzz::MemoryDevice disk({data + 1, size - 1}, sectorSize, DEVICE_DISK);
    auto* rec = new CCollectDiskDeviceInfoStruct;
    rec->partitionScheme = (data[0] >> 2) & 3;
    rec->sectorSize = sectorSize;
    disk.SetPrivateData(CreateDiskDeviceData(rec));

    std::unique_ptr<IPartitionTableAnalyze> analyzer(CreatePartitionTableAnalyze());
    PartitionList list;
    analyzer->AnalyzePartitionTable(&disk, list);
    const unsigned long long total = disk.GetTotalSectors();
    for (const PartitionEntry& e : list) {
        if (e.startSector >= total || e.sectorCount > total - e.startSector) __builtin_trap();
        char text[37];
        GUIDToStr(e.typeGuid, text);
        if (std::strlen(text) != 36) __builtin_trap();
    }
    return 0;
}
