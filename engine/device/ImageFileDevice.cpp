#include "engine/device/DeviceCheck.h"
#include "engine/device/StorageDevices.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

namespace {
constexpr std::uint16_t kSiteImage = 0x50;
} // namespace

using namespace device_detail;

CImageFileDevice::CImageFileDevice(const char* path) : CDescriptorDevice(path, kSiteImage) {}

int CImageFileDevice::Open(char* path) {
    if (const int err = OpenReadOnly(path)) {
        if (err != ENOENT)
            std::printf("open failed:%d\n", err);
        return 0;
    }
    m_sectorSize = 512;
    // Without a record the image's size gives the sector count.
    if (!RecordOf(m_data.get())) {
        struct stat st {};
        if (::fstat(m_fd, &st) == 0 && st.st_size > m_dataOffset)
            m_totalSectors = static_cast<unsigned long long>(st.st_size - m_dataOffset) / 512;
        else
            m_totalSectors = 0;
    }
    return 1;
}

void CImageFileDevice::SetDataOffset(long long bytes) {
    if (bytes >= 0)
        m_dataOffset = bytes;
}

int CImageFileDevice::Read(ReadTarget to, long long firstSector, long long count) {
    m_lastError = 0;
    return ReadBytes(to, firstSector, count, m_dataOffset);
}

void CImageFileDevice::SetPrivateData(IStorageDeviceData* data) {
    m_data.reset(data);
    if (CImageFileInfoStruct* info = RecordOf(data)) {
        m_sectorSize = SaneSectorSize(info->sectorSize, m_sectorSize);
        if (info->totalSectors >= 0)
            m_totalSectors = static_cast<unsigned long long>(info->totalSectors);
        SetDataOffset(info->dataOffset);
    }
}

CImageFileInfoStruct* CImageFileDevice::OwnRecord() {
    CImageFileInfoStruct* info = RecordOf(m_data.get());
    if (!info)
        m_lastError = DeviceResult(m_site + kInfo, device_error::kNoRecord);
    return info;
}

IStorageDevice* CreateDmgDeviceImp(const char* path) { return new CDmgDevice(path); }

IStorageDevice* CreateEdiDeviceImp(const char* path) { return new CEdiDevice(path); }
