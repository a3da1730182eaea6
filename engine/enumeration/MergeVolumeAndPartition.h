#pragma once
// Presents the partitions that carry no volume as volumes, so that every
// scannable area of a disk is listed once.
#include "engine/include/DeviceRecords.h"
#include "engine/include/ResultCode.h"

#include <list>

class IStorageDevice;
using DeviceList = std::list<IStorageDevice*>;

namespace merge_codes {
inline constexpr ResultCode kNotPartition = 0x103004600000005ULL;
inline constexpr ResultCode kNoRecord = 0x103005d00000007ULL;
inline constexpr ResultCode kNotPartitionData = 0x103006500000007ULL;
inline constexpr ResultCode kNoPartitionInfo = 0x103006d00000007ULL;
inline constexpr ResultCode kNoVirtualVolume = 0x103005500000002ULL;
inline constexpr ResultCode kVolumeRecordRefused = 0x103006900000002ULL;
inline constexpr ResultCode kNoVolumeData = 0x103007100000002ULL;
inline constexpr ResultCode kVolumeRecordNotEmpty = 0x10300b400000003ULL;
} // namespace merge_codes

class CMergeVolumeAndPartition {
public:
    // Appends every volume (array order), then a new volume device for each
    // partition without a volume (partition order); the new devices belong to
    // the caller. A partition that cannot be converted is left out and its
    // code is the result, but it hides nothing else.
    static ResultCode MergeAsVolume(DeviceList& out, IStorageDevice** volumes, int volumeCount,
                                    IStorageDevice** partitions, int partitionCount);
    // The partitions that match no volume.
    static ResultCode GetPartListNonexistentInVolumeList(DeviceList& out, IStorageDevice** volumes, int volumeCount,
                                                         IStorageDevice** partitions, int partitionCount);
    // Same place on the disk: equal sector sizes, and equal start sectors when
    // both devices know theirs; otherwise sizes within 10 MiB of each other.
    static ResultCode IsSameDevice(IStorageDevice* a, IStorageDevice* b, int& same);
    // Whether the first sectors of both devices hold the same bytes.
    static ResultCode DeviceFirstSectorIsEqual(IStorageDevice* a, IStorageDevice* b, int& same);
};

class CVolumePartitionConverter {
public:
    // Converts in list order, stopping at the first failure (its code is the result).
    static ResultCode ConvertPartitions2Volumes(DeviceList& out, DeviceList& partitions);
    static ResultCode ConvertPartition2Volume(IStorageDevice** out, IStorageDevice* partition);
    static ResultCode PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* volume,
                                               const CCollectedPartitionDeviceInfoStruct* partition);
};
