#include "engine/enumeration/MergeVolumeAndPartition.h"

#include "engine/device/StorageDevices.h"
#include "engine/include/StorageDevice.h"
#include "engine/partition/RecordLookup.h"

#include <cstring>
#include <memory>
#include <optional>
#include <vector>

using namespace merge_codes;

namespace {
constexpr unsigned long long kSameSizeSlackBytes = 10ULL << 20;

// The start sector within its disk that a device's record gives, if any.
std::optional<long long> KnownStart(IStorageDevice* d) {
    IStorageDeviceData* data = d->GetPrivateData();
    if (auto* v = dynamic_cast<IVolumeDeviceData*>(data); v && v->GetVolumeInfo())
        return v->GetVolumeInfo()->startSector;
    if (auto* p = dynamic_cast<IPartitionDeviceData*>(data); p && p->GetPartitionInfo())
        return p->GetPartitionInfo()->startSector;
    return std::nullopt;
}
} // namespace

ResultCode CMergeVolumeAndPartition::IsSameDevice(IStorageDevice* a, IStorageDevice* b, int& same) {
    same = 0;
    if (!a || !b || a->GetSectorSize() != b->GetSectorSize())
        return 0;
    const auto sa = KnownStart(a);
    const auto sb = KnownStart(b);
    if (sa && sb) {
        // Two partitions of equal size are told apart by where they lie.
        same = *sa == *sb;
        return 0;
    }
    const unsigned long long ta = a->GetTotalSectors(), tb = b->GetTotalSectors();
    const unsigned long long diff = ta > tb ? ta - tb : tb - ta;
    same = diff <= kSameSizeSlackBytes / a->GetSectorSize();
    return 0;
}

ResultCode CMergeVolumeAndPartition::DeviceFirstSectorIsEqual(IStorageDevice* a, IStorageDevice* b, int& same) {
    same = 0;
    if (!a || !b || a->GetSectorSize() == 0 || a->GetSectorSize() != b->GetSectorSize())
        return 0;
    std::vector<unsigned char> ba(a->GetSectorSize()), bb(b->GetSectorSize());
    if (!a->ReadSector(ba.data(), 0, 1))
        return a->GetLastError();
    if (!b->ReadSector(bb.data(), 0, 1))
        return b->GetLastError();
    same = ba == bb;
    return 0;
}

ResultCode CMergeVolumeAndPartition::GetPartListNonexistentInVolumeList(DeviceList& out, IStorageDevice** volumes,
                                                                      int volumeCount, IStorageDevice** partitions,
                                                                      int partitionCount) {
    for (int p = 0; partitions && p < partitionCount; ++p) {
        bool matched = false;
        for (int v = 0; volumes && v < volumeCount && !matched; ++v) {
            int same = 0;
            IsSameDevice(partitions[p], volumes[v], same);
            matched = same != 0;
        }
        if (!matched && partitions[p])
            out.push_back(partitions[p]);
    }
    return 0;
}

ResultCode CMergeVolumeAndPartition::MergeAsVolume(DeviceList& out, IStorageDevice** volumes, int volumeCount,
                                                   IStorageDevice** partitions, int partitionCount) {
    DeviceList orphans;
    GetPartListNonexistentInVolumeList(orphans, volumes, volumeCount, partitions, partitionCount);
    for (int v = 0; volumes && v < volumeCount; ++v)
        if (volumes[v])
            out.push_back(volumes[v]);
    // Each orphan on its own: one that cannot be shown must not hide the others.
    ResultCode first = 0;
    for (IStorageDevice* partition : orphans) {
        IStorageDevice* volume = nullptr;
        const ResultCode rc = CVolumePartitionConverter::ConvertPartition2Volume(&volume, partition);
        if (volume)
            out.push_back(volume);
        if (IsFailure(rc) && first == 0)
            first = rc;
    }
    return first;
}

ResultCode CVolumePartitionConverter::PartitionInfo2VolumeInfo(CCollectedVolumeDeviceInfoStruct* v,
                                                               const CCollectedPartitionDeviceInfoStruct* p) {
    if (!v || !p || v->kind != 0)
        return kVolumeRecordNotEmpty;
    v->kind = p->kind;
    v->reserved = p->reserved;
    v->fileSystemType = p->fileSystemType;
    std::memcpy(v->label, p->label, sizeof v->label);
    v->sectorSize = p->sectorSize;
    v->totalSectors = p->sectorCount;
    v->deviceId = p->deviceId;
    v->disk = p->disk;
    v->partitionNumber = p->partitionNumber;
    v->typeGuid = p->typeGuid;
    v->uniqueGuid = p->uniqueGuid;
    static_assert(sizeof v->contentType == sizeof p->typeName);
    std::memcpy(v->contentType, p->typeName, sizeof v->contentType);
    v->startSector = p->startSector;
    std::memset(v->volumeName, 0, sizeof v->volumeName);
    std::memset(v->bsdName, 0, sizeof v->bsdName);
    v->mounted = 0;
    return 0;
}

ResultCode CVolumePartitionConverter::ConvertPartition2Volume(IStorageDevice** out, IStorageDevice* partition) {
    *out = nullptr;
    if (!partition || partition->GetType() != DEVICE_PARTITION)
        return kNotPartition;
    CCollectedPartitionDeviceInfoStruct* info = nullptr;
    if (ResultCode rc = LookupRecord(partition, &IPartitionDeviceData::GetPartitionInfo,
                                     {kNoRecord, kNotPartitionData, kNoPartitionInfo}, info);
        IsFailure(rc))
        return rc;
    std::unique_ptr<IStorageDevice> volume(CreatePartitionVirtualVolumeDevice(partition));
    if (!volume)
        return kNoVirtualVolume;
    if (!volume->Open(nullptr)) {
        const ResultCode rc = volume->GetLastError();
        if (!IsFailure(rc))
            *out = volume.release(); // handed out without a record
        return rc;
    }
    auto record = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
    if (IsFailure(PartitionInfo2VolumeInfo(record.get(), info)))
        return kVolumeRecordRefused;
    IVolumeDeviceData* holder = CreateVolumeDeviceData(record.get());
    if (!holder)
        return kNoVolumeData;
    record.release();
    volume->SetPrivateData(holder);
    *out = volume.release();
    return 0;
}

ResultCode CVolumePartitionConverter::ConvertPartitions2Volumes(DeviceList& out, DeviceList& partitions) {
    for (IStorageDevice* partition : partitions) {
        IStorageDevice* volume = nullptr;
        const ResultCode rc = ConvertPartition2Volume(&volume, partition);
        if (volume)
            out.push_back(volume);
        if (IsFailure(rc))
            return rc;
    }
    return 0;
}
