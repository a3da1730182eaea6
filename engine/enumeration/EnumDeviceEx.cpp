#include "engine/enumeration/EnumDevice.h"

#include <vector>

using namespace enum_codes;

namespace {
// The counted-array rules shared by the three queries.
ResultCode CopyOut(const DeviceList& list, IStorageDevice** array, int& count, ResultCode tooSmall,
                   bool zeroIsTooSmall) {
    if (!array) {
        count = static_cast<int>(list.size());
        return 0;
    }
    if (count == 0 && !zeroIsTooSmall)
        return 0;
    if (count < 0 || static_cast<std::size_t>(count) < list.size())
        return tooSmall;
    int i = 0;
    for (IStorageDevice* d : list)
        array[i++] = d;
    count = i;
    return 0;
}

std::vector<IStorageDevice*> ToArray(const DeviceList& list) { return {list.begin(), list.end()}; }
} // namespace

CEnumDeviceEx::~CEnumDeviceEx() { ReleaseAll(); }

CEnumDeviceEx::Listed::~Listed() {
    for (auto& [disk, list] : volumes)
        ReleaseDevList(list);
    for (auto& [disk, list] : partitions)
        ReleaseDevList(list);
    ReleaseDevList(disks);
}

void CEnumDeviceEx::ReleaseAll() {
    // A holder of the old devices keeps them; the next Init lists new ones.
    m_listed = std::make_shared<Listed>();
    m_enum.reset();
    m_initialised = false;
}

ResultCode CEnumDeviceEx::Init() {
    ReleaseAll(); // a second Init starts afresh rather than leaking the first
    m_enum = std::make_unique<CEnumDevice>(m_facts);
    // Every disk's facts are read once for the disks and all their volumes.
    const std::vector<BlockDiskFacts> listed = m_facts.ListDisks();
    Listed& l = *m_listed;
    m_enum->EnumDiskDevice(listed, l.disks);
    if (l.disks.empty()) {
        ReleaseAll();
        return kNoDisk;
    }
    for (IStorageDevice* disk : l.disks) {
        DeviceList volumes, partitions;
        m_enum->EnumVolumeDevice(disk, listed, volumes);
        m_enum->EnumPartitionDevice(disk, partitions);
        // The volumes made for partitions without one are made once, here, and
        // stay with the enumerator like every other device it lists.
        std::vector<IStorageDevice*> v = ToArray(volumes), p = ToArray(partitions);
        DeviceList merged;
        CMergeVolumeAndPartition::MergeAsVolume(merged, v.data(), static_cast<int>(v.size()), p.data(),
                                                static_cast<int>(p.size()));
        l.volumes[disk] = std::move(merged);
        l.partitions[disk] = std::move(partitions);
    }
    // The listing has read what it needs: the devices let their descriptors
    // go, so a detached loop device or a pulled card is not held here. A scan,
    // a recovery or a preview opens its device again for as long as it runs.
    for (IStorageDevice* disk : l.disks) {
        disk->Close();
        for (IStorageDevice* volume : l.volumes[disk])
            volume->Close();
    }
    m_initialised = true;
    return 0;
}

ResultCode CEnumDeviceEx::Uninit() {
    if (!m_initialised)
        return kUninitNotInit;
    ReleaseAll();
    return 0;
}

ResultCode CEnumDeviceEx::EnumDiskDevice(IStorageDevice** array, int& count) {
    if (!m_initialised)
        return kDisksNotInit;
    return CopyOut(m_listed->disks, array, count, kDiskArraySmall, false);
}

ResultCode CEnumDeviceEx::PerDisk(const std::map<const IStorageDevice*, DeviceList>& map, const IStorageDevice* disk,
                                  IStorageDevice** array, int& count, const PerDiskCodes& codes) const {
    if (!m_initialised)
        return codes.notInit;
    if (!disk)
        return codes.nullDisk;
    const auto it = map.find(disk);
    if (it == map.end())
        return kUnknownDisk;
    return CopyOut(it->second, array, count, codes.tooSmall, codes.zeroIsTooSmall);
}

ResultCode CEnumDeviceEx::EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
    return PerDisk(m_listed->partitions, disk, array, count, {kPartitionsNotInit, kPartitionsNullDisk, kPartitionArraySmall, false});
}

ResultCode CEnumDeviceEx::EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) {
    // Here a count of 0 with volumes to give is too small.
    return PerDisk(m_listed->volumes, disk, array, count, {kVolumesNotInit, kVolumesNullDisk, kVolumeArraySmall, true});
}

IEnumDevice* CreateEnumDevice() {
    static CSysfsBlockDeviceFacts facts;
    static CEnumDevice instance(facts);
    return &instance;
}

IEnumDeviceEx* CreateEnumDeviceEx() {
    static CSysfsBlockDeviceFacts facts;
    static CEnumDeviceEx instance(facts);
    return &instance;
}
