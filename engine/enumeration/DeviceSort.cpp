#include "engine/enumeration/DeviceSort.h"

#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace {
template <class Data, class Record, Record* (Data::*Get)()>
Record* RecordOf(IStorageDevice* d) {
    auto* data = dynamic_cast<Data*>(d->GetPrivateData());
    return data ? (data->*Get)() : nullptr;
}
auto* DiskRecord(IStorageDevice* d) {
    return RecordOf<IDiskDeviceData, CCollectDiskDeviceInfoStruct, &IDiskDeviceData::GetDiskInfo>(d);
}
auto* PartRecord(IStorageDevice* d) {
    return RecordOf<IPartitionDeviceData, CCollectedPartitionDeviceInfoStruct, &IPartitionDeviceData::GetPartitionInfo>(d);
}
auto* VolumeRecord(IStorageDevice* d) {
    return RecordOf<IVolumeDeviceData, CCollectedVolumeDeviceInfoStruct, &IVolumeDeviceData::GetVolumeInfo>(d);
}
// Kernel names byte by byte, as strcmp orders them (disk10 before disk2);
// the fields may lack their terminating zero.
bool NameLess(const char* a, std::size_t na, const char* b, std::size_t nb) {
    return std::strncmp(a, b, std::min(na, nb)) < 0;
}

} // namespace

bool CDevListSortAlgorithm::operator()(IStorageDevice* a, IStorageDevice* b) const {
    if (!a || !b || a->GetType() != b->GetType())
        return false;
    switch (a->GetType()) {
    case DEVICE_DISK:
        return DiskSortAlgorithm(a, b);
    case DEVICE_PARTITION:
        return PartSortAlgorithm(a, b);
    case DEVICE_VOLUME:
        return VolumeSortAlgorithm(a, b);
    default:
        return false;
    }
}

bool CDevListSortAlgorithm::DiskSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
    auto* ra = DiskRecord(a);
    auto* rb = DiskRecord(b);
    return ra && rb && NameLess(ra->bsdName, sizeof ra->bsdName, rb->bsdName, sizeof rb->bsdName);
}

bool CDevListSortAlgorithm::PartSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
    auto* ra = PartRecord(a);
    auto* rb = PartRecord(b);
    return ra && rb && ra->partitionNumber < rb->partitionNumber;
}

bool CDevListSortAlgorithm::VolumeSortAlgorithm(IStorageDevice* a, IStorageDevice* b) {
    auto* ra = VolumeRecord(a);
    auto* rb = VolumeRecord(b);
    return ra && rb && ra->partitionNumber < rb->partitionNumber;
}
