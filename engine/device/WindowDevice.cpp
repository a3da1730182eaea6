#include "engine/device/DeviceCheck.h"
#include "engine/device/StorageDevices.h"

#include <climits>
#include <cstring>

namespace {

constexpr std::uint16_t kSitePartition = 0x30;
constexpr std::uint16_t kSiteVirtualVolume = 0x40;

CCollectDiskDeviceInfoStruct* DiskRecordOf(IStorageDevice* device) {
    auto* disk = device ? dynamic_cast<IDiskDeviceData*>(device->GetPrivateData()) : nullptr;
    return disk ? disk->GetDiskInfo() : nullptr;
}

} // namespace

using namespace device_detail;

CWindowDevice::CWindowDevice(IStorageDevice* parent, long long start, long long count, std::uint16_t site)
    : m_parent(parent), m_start(start), m_count(count), m_site(site) {}

CWindowDevice::~CWindowDevice() = default;

int CWindowDevice::Open(char*) {
    m_lastError = 0;
    CCollectDiskDeviceInfoStruct* disk = DiskRecordOf(m_parent);
    if (!disk) {
        m_lastError = DeviceResult(m_site + kOpen, device_error::kNoRecord);
        return 0;
    }
    // Reads go to the parent in its own sectors: its answer wins over a record
    // that disagrees with it.
    unsigned parentSize = m_parent->GetSectorSize();
    m_sectorSize = SaneSectorSize(parentSize, SaneSectorSize(disk->sectorSize, m_sectorSize));
    return 1;
}

ResultCode CWindowDevice::IOCtl(unsigned long long, void*) {
    m_lastError = DeviceResult(m_site + kIoctl, device_error::kNotSupported);
    return 0;
}

int CWindowDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    return Read(buffer, nullptr, firstSector, count);
}

int CWindowDevice::ReadSectorsInto(asyncread::Buffer& buffer, long long firstSector, long long count) {
    if (count < 1 || buffer.capacity() / m_sectorSize < static_cast<unsigned long long>(count)) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kBadArgument);
        return 0;
    }
    // Straight into the buffer when the parent reads so, in the same sectors.
    const bool direct = m_parent && dynamic_cast<IDirectRead*>(m_parent) && m_parent->GetSectorSize() == m_sectorSize;
    return Read(buffer.data(), direct ? &buffer : nullptr, firstSector, count);
}

int CWindowDevice::Read(void* buffer, asyncread::Buffer* owned, long long firstSector, long long count) {
    m_lastError = 0;
    const std::uint16_t site = m_site + kRead;
    if (!m_parent) {
        m_lastError = DeviceResult(site, device_error::kNoRecord);
        return 0;
    }
    if (!buffer || firstSector < 0 || firstSector >= m_count || count < 1 || count > m_count ||
        !ByteRangeFits(0, count, m_sectorSize)) {
        m_lastError = DeviceResult(site, device_error::kBadArgument);
        return 0;
    }
    const long long n = count > m_count - firstSector ? m_count - firstSector : count;
    const int result = owned ? dynamic_cast<IDirectRead*>(m_parent)->ReadSectorsInto(*owned, m_start + firstSector, n)
                             : m_parent->ReadSector(buffer, m_start + firstSector, n);
    if (!result) {
        m_lastError = m_parent->GetLastError();
        return 0;
    }
    // The part past the window's end is zeros, never the caller's old bytes.
    if (n < count)
        std::memset((owned ? owned->data() : static_cast<unsigned char*>(buffer)) + n * m_sectorSize, 0,
                    static_cast<std::size_t>((count - n) * m_sectorSize));
    return result;
}

CPartitionDevice::CPartitionDevice(IStorageDevice* parent, long long start, long long count)
    : CWindowDevice(parent, start, count, kSitePartition) {}

void CPartitionDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    auto* part = dynamic_cast<IPartitionDeviceData*>(data);
    if (CCollectedPartitionDeviceInfoStruct* info = part ? part->GetPartitionInfo() : nullptr) {
        m_sectorSize = SaneSectorSize(info->sectorSize, m_sectorSize);
        if (info->sectorCount > 0 && info->sectorCount <= LLONG_MAX - m_start)
            m_count = info->sectorCount;
    }
}

CCollectedPartitionDeviceInfoStruct* CPartitionDevice::GetPartitionInfo() {
    auto* part = dynamic_cast<IPartitionDeviceData*>(m_data.get());
    CCollectedPartitionDeviceInfoStruct* info = part ? part->GetPartitionInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

CPartitionVirtualVolumeDevice::CPartitionVirtualVolumeDevice(IStorageDevice* disk, long long start, long long count)
    : CWindowDevice(disk, start, count, kSiteVirtualVolume) {
    if (disk)
        m_sectorSize = SaneSectorSize(disk->GetSectorSize(), m_sectorSize);
}

void CPartitionVirtualVolumeDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    auto* volume = dynamic_cast<IVolumeDeviceData*>(data);
    if (CCollectedVolumeDeviceInfoStruct* info = volume ? volume->GetVolumeInfo() : nullptr) {
        if (info->totalSectors > 0 && info->totalSectors <= LLONG_MAX - m_start)
            m_count = info->totalSectors;
        unsigned size = SaneSectorSize(info->sectorSize, m_sectorSize);
        if (size > m_sectorSize)
            m_sectorSize = size;
    }
}

CCollectedVolumeDeviceInfoStruct* CPartitionVirtualVolumeDevice::GetVolumeInfo() {
    auto* volume = dynamic_cast<IVolumeDeviceData*>(m_data.get());
    CCollectedVolumeDeviceInfoStruct* info = volume ? volume->GetVolumeInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

IStorageDevice* CreatePartitionDevice(IStorageDevice* parent, long long start, long long count) {
    if (!parent || start < 0 || count < 1 || start > LLONG_MAX - count)
        return nullptr;
    return new CPartitionDevice(parent, start, count);
}

IStorageDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partitionDevice) {
    if (!partitionDevice || partitionDevice->GetType() != DEVICE_PARTITION)
        return nullptr;
    auto* part = dynamic_cast<IPartitionDeviceData*>(partitionDevice->GetPrivateData());
    CCollectedPartitionDeviceInfoStruct* info = part ? part->GetPartitionInfo() : nullptr;
    if (!info || info->kind != 0 || !info->disk)
        return nullptr;
    if (info->startSector < 0 || info->sectorCount < 1 || info->startSector > LLONG_MAX - info->sectorCount)
        return nullptr;
    return new CPartitionVirtualVolumeDevice(info->disk, info->startSector, info->sectorCount);
}
