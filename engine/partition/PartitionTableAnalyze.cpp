#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/partition/RecordLookup.h"

#include <algorithm>
#include <cstdio>
#include <set>

using namespace partition_codes;
using bytes::Bytes;

namespace {
constexpr std::size_t kMbrTypeOffset = 446 + 4; // type byte of the first entry
constexpr std::uint8_t kProtectiveType = 0xEE;
constexpr std::uint8_t kDynamicType = 0x42;
// Never ask the device for more than this in one table read.
constexpr std::uint64_t kMaxReadBytes = 16ULL << 20;
} // namespace

ResultCode ReadDiskSectors(IStorageDevice* device, std::uint64_t first, std::uint64_t count,
                           std::vector<std::uint8_t>& buf) {
    const std::uint64_t sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || count == 0 || count > kMaxReadBytes / sectorSize ||
        first > static_cast<std::uint64_t>(INT64_MAX))
        return kReadFailed;
    buf.assign(static_cast<std::size_t>(count * sectorSize), 0);
    if (device->ReadSector(buf.data(), static_cast<long long>(first), static_cast<long long>(count)))
        return 0;
    const ResultCode code = device->GetLastError();
    return IsFailure(code) ? code : kReadFailed;
}

IPartitionTableAnalyze* CreatePartitionTableAnalyze() { return new CPartitionTableAnalyze(); }

void GUIDToStr(const _GUID& g, char* out) {
    std::snprintf(out, 37, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", static_cast<unsigned>(g.Data1),
                  static_cast<unsigned>(g.Data2), static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
}

ResultCode CPartitionTableAnalyze::GetDiskInfo(IStorageDevice* disk, CCollectDiskDeviceInfoStruct*& info) {
    return LookupRecord(disk, &IDiskDeviceData::GetDiskInfo, {kNoRecord, kNotDiskData, kNoDiskInfo}, info);
}

ResultCode CPartitionTableAnalyze::IsGptDisk(IStorageDevice* disk, Bytes sector0, int& yes) {
    yes = 0;
    if (disk->GetSectorSize() < 512)
        return kSmallSector;
    yes = HasBootSignature(sector0) && sector0[kMbrTypeOffset] == kProtectiveType;
    return 0;
}

ResultCode CPartitionTableAnalyze::IsApmDisk(IStorageDevice*, Bytes sector0, int& yes) {
    yes = sector0.size() >= 2 && sector0[0] == 'E' && sector0[1] == 'R';
    return 0;
}

bool MbrPartitionsHoldVolumes(IStorageDevice* disk) {
    if (!disk)
        return false;
    PartitionList parts;
    CPartitionTableChainAnalyzer chain;
    chain.weighOverlaps = false;
    chain.AnalyzePartitionTableChain(disk, parts);
    // Of entries that overlap one at a volume always stays, so they need not
    // be weighed here. An entry at a copy of sector 0's boot sector (a card's
    // backup boot sector) names no volume of its own, unless the copy is the
    // sound one (a partition's boot sector copied over the boot code).
    const VolumeAt zero = ReadVolumeAt(disk, 0);
    std::set<std::uint64_t> asked; // each start once
    return std::any_of(parts.begin(), parts.end(), [&](const PartitionEntry& p) {
        if (p.startSector == 0 || !asked.insert(p.startSector).second)
            return false;
        const VolumeAt v = ReadVolumeAt(disk, p.startSector);
        return v.known && (!SameVolume(v, zero) || (v.sound && !zero.sound));
    });
}

bool IsMbrTableSector(IStorageDevice* disk, Bytes sector0) {
    if (!HasBootSignature(sector0))
        return false;
    std::size_t entries = 0, onDisk = 0;
    const std::uint64_t total = disk ? static_cast<std::uint64_t>(disk->GetTotalSectors()) : 0;
    for (std::size_t i = 0; i < 4; ++i) {
        CPartitionTableEntry e;
        e.InitFromBuffer(sector0, 446 + 16 * i);
        if (!e.IsValidPartitionTableEntry())
            continue;
        ++entries;
        onDisk += e.GetLeadSectors() < total;
    }
    // Entries that all start past the disk's end describe no part of it.
    if (entries > 0 && onDisk == 0)
        return false;
    // Partitions holding volumes outweigh one damaged byte or a stray boot
    // sector over the boot code.
    if (MbrPartitionsHoldVolumes(disk))
        return true;
    // A card formatted without a table: the boot sector of a volume that
    // spans the disk, whose code may well parse as entries.
    if (HoldsRecognisedVolume(disk, 0))
        return false;
    return BootIndicatorsValid(sector0);
}

ResultCode CPartitionTableAnalyze::IsMbrDisk(IStorageDevice* disk, Bytes sector0, int& yes) {
    yes = 0;
    if (disk->GetSectorSize() < 512)
        return kSmallSector;
    yes = IsMbrTableSector(disk, sector0);
    return 0;
}

ResultCode CPartitionTableAnalyze::GetDiskType(IStorageDevice* disk, enumDiskPartitionScheme& scheme) {
    scheme = PARTITION_SCHEME_NONE;
    std::vector<std::uint8_t> sector;
    if (ResultCode rc = ReadDiskSectors(disk, 0, 1, sector); IsFailure(rc))
        return rc;
    const Bytes s(sector);
    int yes = 0;
    // The APM test may look at a sector shorter than 512 bytes; the others refuse it first.
    if (ResultCode rc = IsGptDisk(disk, s, yes); IsFailure(rc))
        return rc;
    if (yes) {
        scheme = PARTITION_SCHEME_GPT;
        return 0;
    }
    IsApmDisk(disk, s, yes);
    if (yes) {
        scheme = PARTITION_SCHEME_APM;
        return 0;
    }
    if (ResultCode rc = IsMbrDisk(disk, s, yes); IsFailure(rc))
        return rc;
    if (yes)
        scheme = PARTITION_SCHEME_MBR;
    return 0;
}

ResultCode CPartitionTableAnalyze::IsDynamicDisk(IStorageDevice* disk, int& yes) {
    yes = 0;
    std::vector<std::uint8_t> sector;
    if (ResultCode rc = ReadDiskSectors(disk, 0, 1, sector); IsFailure(rc))
        return rc;
    for (std::size_t i = 0; i < 4; ++i)
        if (bytes::U8(sector, kMbrTypeOffset + 16 * i) == kDynamicType)
            yes = 1;
    return 0;
}

namespace {
// Dynamic disks keep their volumes in a database this reader does not know.
ResultCode RefuseDynamic(IStorageDevice* disk, ResultCode code) {
    int dynamic = 0;
    if (ResultCode rc = CPartitionTableAnalyze::IsDynamicDisk(disk, dynamic); IsFailure(rc))
        return rc;
    return dynamic ? code : 0;
}
} // namespace

ResultCode CPartitionTableAnalyze::AnalyzeMBRPartitionTable(IStorageDevice* disk, PartitionList& out) {
    if (ResultCode rc = RefuseDynamic(disk, kDynamicMbr); IsFailure(rc))
        return rc;
    return CPartitionTableChainAnalyzer().AnalyzePartitionTableChain(disk, out);
}

ResultCode CPartitionTableAnalyze::AnalyzeGPTPartitionTable(IStorageDevice* disk, PartitionList& out) {
    if (ResultCode rc = RefuseDynamic(disk, kDynamicGpt); IsFailure(rc))
        return rc;
    return CBaseGPTAnalyzer().AnalyzeBaseGPT(disk, out);
}

ResultCode CPartitionTableAnalyze::AnalyzeAPMPartitionTable(IStorageDevice* disk, PartitionList& out) {
    return CAPMAnaly().AnalyzePartition(disk, out);
}

ResultCode CPartitionTableAnalyze::AnalyzePartitionTable(IStorageDevice* disk, PartitionList& out) {
    out.clear();
    if (!disk)
        return kNullDevice;
    if (disk->GetType() != DEVICE_DISK)
        return kNotWholeDisk;
    CCollectDiskDeviceInfoStruct* info = nullptr;
    if (ResultCode rc = GetDiskInfo(disk, info); IsFailure(rc))
        return rc;
    if (info->kind != 0)
        return kBadKind;
    // A disk that the system found without a partition table (a superfloppy)
    // is not read as one: a FAT or NTFS boot sector ends in 0x55 0xAA too, and
    // its boot code would be taken for partition entries.
    if (info->partitionScheme == PARTITION_SCHEME_NONE)
        return 0;
    enumDiskPartitionScheme scheme = PARTITION_SCHEME_NONE;
    if (ResultCode rc = GetDiskType(disk, scheme); IsFailure(rc))
        return rc;
    return AnalyzeTableOfScheme(disk, scheme, out);
}

ResultCode CPartitionTableAnalyze::AnalyzeTableOfScheme(IStorageDevice* disk, enumDiskPartitionScheme scheme,
                                                        PartitionList& out) {
    switch (scheme) {
    case PARTITION_SCHEME_APM:
        return AnalyzeAPMPartitionTable(disk, out);
    case PARTITION_SCHEME_GPT:
        return AnalyzeGPTPartitionTable(disk, out);
    case PARTITION_SCHEME_MBR:
        return AnalyzeMBRPartitionTable(disk, out);
    default:
        return 0;
    }
}
