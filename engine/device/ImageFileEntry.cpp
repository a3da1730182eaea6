#include "engine/device/ImageFileEntry.h"

#include "engine/common/Bytes.h"
#include "engine/device/StorageDevices.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace {

// Opens path read-only; -1 on failure.
int OpenImage(const char* path) { return path && *path ? ::open(path, O_RDONLY | O_CLOEXEC) : -1; }

struct Descriptor {
    int fd;
    ~Descriptor() {
        if (fd >= 0) ::close(fd);
    }
};

template <class Device, class Record, class Holder>
IStorageDevice* MakeDevice(const Record& record, Holder* (*makeHolder)(Record*)) {
    auto device = std::make_unique<Device>(record.path);
    if (!device->Open(nullptr)) return nullptr;
    device->SetPrivateData(makeHolder(new Record(record)));
    return device.release();
}

template <class Record>
Record CopyOf(const Record* info, std::size_t size, const char* path) {
    Record record;
    if (info) std::memcpy(static_cast<void*>(&record), info, std::min(size, sizeof(Record)));
    CopyRecordText(record.path, path);
    return record;
}

} // namespace

bool EuFillEdiFileInfo(const char* path, CEDIDeviceInfoStruct* info) {
    if (!info) return false;
    CopyRecordText(info->path, path);
    const Descriptor file{OpenImage(path)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return false;
    std::array<std::uint8_t, EdiHeaderLayout::kBytes> header{};
    if (::pread(file.fd, header.data(), header.size(), 0) != static_cast<ssize_t>(header.size())) return false;
    if (std::memcmp(header.data(), "edi", 3) != 0) return false;

    const bytes::Bytes h(header);
    const std::uint64_t total = bytes::Le64(h, EdiHeaderLayout::kTotalSize);
    const std::uint64_t offset = bytes::Le64(h, EdiHeaderLayout::kDataOffset);
    std::uint32_t sector = bytes::Le32(h, EdiHeaderLayout::kSectorSize);
    if (sector == 0) sector = 512;
    if (total != static_cast<std::uint64_t>(st.st_size)) return false;
    if (offset < EdiHeaderLayout::kBytes || offset > total) return false;
    // Sector sizes are powers of two from 512 to 64 KiB.
    if (sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0) return false;

    info->dataOffset = static_cast<std::int64_t>(offset);
    info->sectorSize = sector;
    info->totalSectors = static_cast<std::int64_t>((total - offset) / sector);
    return true;
}

bool EuFillDmgFileInfo(const char* path, CDMGDeviceInfoStruct* info) {
    if (!info) return false;
    CopyRecordText(info->path, path);
    const Descriptor file{OpenImage(path)};
    struct stat st {};
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0) return false;
    info->dataOffset = 0;
    info->sectorSize = 512;
    info->totalSectors = st.st_size / 512;
    return true;
}

IStorageDevice* CreateEdiDevice(const char* path) {
    CEDIDeviceInfoStruct info;
    if (!EuFillEdiFileInfo(path, &info)) return nullptr;
    return MakeDevice<CEdiDevice>(info, &CreateEDIDeviceData);
}

IStorageDevice* CreateDmgDevice(const char* path, CDMGDeviceInfoStruct* info) {
    CDMGDeviceInfoStruct local;
    CDMGDeviceInfoStruct& record = info ? *info : local;
    if (!EuFillDmgFileInfo(path, &record)) return nullptr;
    return MakeDevice<CDmgDevice>(record, &CreateDMGDeviceData);
}

IStorageDevice* CreateEdiDeviceByEdiInfo(const CEDIDeviceInfoStruct* info, std::size_t size, const char* path) {
    return MakeDevice<CEdiDevice>(CopyOf(info, size, path), &CreateEDIDeviceData);
}

IStorageDevice* CreateDmgDeviceByDmgInfo(const CDMGDeviceInfoStruct* info, std::size_t size, const char* path) {
    return MakeDevice<CDmgDevice>(CopyOf(info, size, path), &CreateDMGDeviceData);
}
