#include "engine/device/DeviceCheck.h"
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/MessageCenter.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

constexpr std::uint16_t kSiteDisk = 0x10;
constexpr std::uint16_t kSiteVolume = 0x20;

// The receiver id that volume devices answer for.
constexpr int kVolumeReceiverId = 1;

} // namespace

using namespace device_detail;

CDescriptorDevice::CDescriptorDevice(const char* path, std::uint16_t site) : m_path(path ? path : ""), m_site(site) {}

CDescriptorDevice::~CDescriptorDevice() { Close(); }

int CDescriptorDevice::OpenReadOnly(const char* path) {
    m_lastError = 0;
    if (path)
        m_path = path;
    Close();
    m_fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (m_fd >= 0)
        return 0;
    const int err = errno;
    m_lastError = DeviceResult(m_site + kOpen, device_error::kOpenOrRead);
    return err;
}

int CDescriptorDevice::Close() {
    if (m_fd < 0)
        return 0;
    ::close(m_fd);
    m_fd = -1;
    return 1;
}

ResultCode CDescriptorDevice::IOCtl(unsigned long long, void*) {
    m_lastError = DeviceResult(m_site + kIoctl, device_error::kNotSupported);
    return 0;
}

int CDescriptorDevice::ReadBytes(void* buffer, long long firstSector, long long count, long long baseBytes) {
    if (!buffer || !ByteRangeFits(firstSector, count, m_sectorSize, baseBytes)) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kBadArgument);
        return 0;
    }
    const long long ss = m_sectorSize;
    if (VXReadAsyncData(buffer, m_fd, baseBytes + firstSector * ss, count * ss) > 0)
        return 1;
    m_lastError = DeviceResult(m_site + kRead, device_error::kOpenOrRead);
    return 0;
}

int CBlockFileDevice::Open(char* path) {
    if (const int err = OpenReadOnly(path)) {
        std::printf("open failed:%d,%s\n", err, std::strerror(err));
        // An ordinary user gets EACCES on a disk node; both mean "not allowed".
        if (err == EPERM || err == EACCES)
            m_permitted = 0;
        return 0;
    }
    struct stat st {};
    if (::fstat(m_fd, &st) == 0 && S_ISREG(st.st_mode)) {
        m_sectorSize = 512;
        m_totalSectors = static_cast<unsigned long long>(st.st_size) / 512;
        return 1;
    }
    int blockSize = 0;
    m_sectorSize = (::ioctl(m_fd, BLKSSZGET, &blockSize) == 0 && blockSize > 0) ? static_cast<unsigned>(blockSize) : 512;
    // BLKGETSIZE counts 512-byte units whatever the sector size; the byte size
    // divided by the sector size is the device's own count.
    unsigned long long bytes = 0;
    m_totalSectors = ::ioctl(m_fd, BLKGETSIZE64, &bytes) == 0 ? bytes / m_sectorSize : 0;
    return 1;
}

int CBlockFileDevice::ReOpen() {
    Close();
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        int fd = ::open(m_path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            m_fd = fd;
            return 1;
        }
    }
    return 0;
}

void CBlockFileDevice::TakeGeometry(long long sectorSize, long long totalSectors) {
    m_sectorSize = SaneSectorSize(sectorSize, m_sectorSize);
    if (totalSectors >= 0)
        m_totalSectors = static_cast<unsigned long long>(totalSectors);
}

int CBlockFileDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    m_lastError = 0;
    return ReadBytes(buffer, firstSector, count, 0);
}

void CDiskDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    if (auto* disk = dynamic_cast<IDiskDeviceData*>(data))
        if (CCollectDiskDeviceInfoStruct* info = disk->GetDiskInfo())
            TakeGeometry(info->sectorSize, info->totalSectors);
}

CCollectDiskDeviceInfoStruct* CDiskDevice::GetDiskInfo() {
    auto* disk = dynamic_cast<IDiskDeviceData*>(m_data.get());
    CCollectDiskDeviceInfoStruct* info = disk ? disk->GetDiskInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

CDiskDevice::CDiskDevice(const char* path) : CBlockFileDevice(path, kSiteDisk) {}

CVolumeDevice::CVolumeDevice(const char* path) : CBlockFileDevice(path, kSiteVolume) {
    // The centre must exist before the first failed read can be announced.
    CMessageCenter::Instance();
}

CVolumeDevice::~CVolumeDevice() { CMessageCenter::Instance().UnregisterNotifyCenter(kVolumeReceiverId); }

int CVolumeDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    m_lastError = 0;
    if (firstSector >= 0 && static_cast<unsigned long long>(firstSector) >= m_totalSectors) {
        m_lastError = DeviceResult(m_site + kRead, device_error::kBadArgument);
        return 0;
    }
    if (ReadBytes(buffer, firstSector, count, 0))
        return 1;
    if (device_error::kOpenOrRead == ResultError(m_lastError.load()))
        CMessageCenter::Instance().PushEvent(EVENT_VOLUME_READ_FAILED, 0, nullptr);
    return 0;
}

void CVolumeDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    if (auto* volume = dynamic_cast<IVolumeDeviceData*>(data))
        if (CCollectedVolumeDeviceInfoStruct* info = volume->GetVolumeInfo())
            TakeGeometry(info->sectorSize, info->totalSectors);
}

CCollectedVolumeDeviceInfoStruct* CVolumeDevice::GetVolumeInfo() {
    auto* volume = dynamic_cast<IVolumeDeviceData*>(m_data.get());
    CCollectedVolumeDeviceInfoStruct* info = volume ? volume->GetVolumeInfo() : nullptr;
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

IStorageDevice* CreateDiskDevice(const char* path) { return new CDiskDevice(path); }

IStorageDevice* CreateVolumeDevice(const char* path) { return new CVolumeDevice(path); }
