#pragma once
// Partition tables of a whole disk: the MBR with its chain of extended boot
// records, the GUID partition table and the Apple partition map.
#include "engine/include/DeviceRecords.h"
#include "engine/include/ResultCode.h"

#include <cstdint>
#include <list>

class IStorageDevice;

// One partition found in a table.
struct PartitionEntry {
    // MBR slot 1-4, logical from 5, 0 for the volume at sector 0 beside an
    // MBR's partitions; GPT index + 1; APM map index from 1
    std::int32_t number = 0;
    std::int32_t reserved = 0;
    std::uint64_t startSector = 0; // absolute, in device sectors
    std::uint64_t sectorCount = 0;
    _GUID typeGuid;   // GPT only
    _GUID uniqueGuid; // GPT only
    char typeName[32] = {}; // APM only; not always terminated
};

using PartitionList = std::list<PartitionEntry>;

class IPartitionTableAnalyze {
public:
    virtual ~IPartitionTableAnalyze() = default;
    // Clears `out` and fills it with the disk's partitions; 0 on success. On a
    // failure `out` keeps what was listed before it.
    virtual ResultCode AnalyzePartitionTable(IStorageDevice* disk, PartitionList& out) = 0;
};

// Released by deleting it.
IPartitionTableAnalyze* CreatePartitionTableAnalyze();

// "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" (upper case, no braces) into a 37-byte buffer.
void GUIDToStr(const _GUID& guid, char* out);

namespace partition_codes {
inline constexpr ResultCode kNullDevice = 0x110002000000005ULL;
inline constexpr ResultCode kNotWholeDisk = 0x110002700000003ULL;
inline constexpr ResultCode kNoRecord = 0x110006400000007ULL;
inline constexpr ResultCode kNotDiskData = 0x110006c00000007ULL;
inline constexpr ResultCode kNoDiskInfo = 0x110003300000007ULL;
inline constexpr ResultCode kBadKind = 0x110003a00000003ULL;
inline constexpr ResultCode kSmallSector = 0x110018b00000008ULL;
inline constexpr ResultCode kDynamicMbr = 0x110008600000003ULL;
inline constexpr ResultCode kDynamicGpt = 0x11000a400000003ULL;
inline constexpr ResultCode kMbrNullDevice = 0x110002900000005ULL;
inline constexpr ResultCode kMbrNoSignature = 0x110004f00000006ULL;
inline constexpr ResultCode kMbrBadBoot = 0x110005400000006ULL;
inline constexpr ResultCode kEbrNoSignature = 0x11000b300000006ULL;
inline constexpr ResultCode kEbrBadBoot = 0x11000b800000006ULL;
inline constexpr ResultCode kEbrTwoExtended = 0x11000e600000006ULL;
inline constexpr ResultCode kGptNullDevice = 0x110002100000005ULL;
inline constexpr ResultCode kApmNullDevice = 0x11000b800000005ULL;
inline constexpr ResultCode kApmBadSectorSize = 0x110002900000003ULL;
inline constexpr ResultCode kApmNoDriverMap = 0x110004300000006ULL;
inline constexpr ResultCode kApmNoFirstEntry = 0x110006200000006ULL;
inline constexpr ResultCode kApmTooManyEntries = 0x110006a00000006ULL;
// A map whose block is smaller than a device sector cannot be addressed in sectors.
inline constexpr ResultCode kApmBlockTooSmall = MakeResult(ResultLib::Partition, 0x47, 6);
// A read that failed although the device reported no error.
inline constexpr ResultCode kReadFailed = MakeResult(ResultLib::Partition, 0x1f0, 1);
} // namespace partition_codes
