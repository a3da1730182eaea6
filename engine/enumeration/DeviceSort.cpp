#include "engine/enumeration/DeviceSort.h"

#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"

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
// Kernel names in the order a person counts them: runs of digits compare by
// value, so loop2 comes before loop10.
bool NaturalLess(const char* a, std::size_t na, const char* b, std::size_t nb) {
    std::size_t i = 0, j = 0;
    while (i < na && j < nb && a[i] && b[j]) {
        const bool da = a[i] >= '0' && a[i] <= '9', db = b[j] >= '0' && b[j] <= '9';
        if (da && db) {
            std::size_t ei = i, ej = j;
            while (ei < na && a[ei] == '0') ++ei;
            while (ej < nb && b[ej] == '0') ++ej;
            std::size_t li = ei, lj = ej;
            while (li < na && a[li] >= '0' && a[li] <= '9') ++li;
            while (lj < nb && b[lj] >= '0' && b[lj] <= '9') ++lj;
            if (li - ei != lj - ej) return li - ei < lj - ej;
            if (const int c = std::strncmp(a + ei, b + ej, li - ei); c != 0) return c < 0;
            i = li, j = lj;
            continue;
        }
        if (a[i] != b[j]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i, ++j;
    }
    const bool endA = i >= na || !a[i], endB = j >= nb || !b[j];
    return endA && !endB;
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
    return ra && rb && NaturalLess(ra->bsdName, sizeof ra->bsdName, rb->bsdName, sizeof rb->bsdName);
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
