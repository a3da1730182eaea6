#pragma once
// Information records that the enumeration attaches to devices, and the
// holders through which a device carries them (IStorageDevice::SetPrivateData).
#include <cstdint>
#include <cstring>

class IStorageDevice;

// A GPT GUID as stored on disk: {u32, u16, u16, u8[8]}, little-endian fields.
struct _GUID {
    std::uint32_t Data1 = 0;
    std::uint16_t Data2 = 0;
    std::uint16_t Data3 = 0;
    std::uint8_t Data4[8] = {};
    friend bool operator==(const _GUID& a, const _GUID& b) {
        return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
               std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
    }
};

enum enumDiskPartitionScheme : std::uint32_t {
    PARTITION_SCHEME_NONE = 0,
    PARTITION_SCHEME_MBR = 1,
    PARTITION_SCHEME_GPT = 2,
    PARTITION_SCHEME_APM = 3,
};

// CCollectDiskDeviceInfoStruct::busType
enum enumDiskBusType : std::uint32_t {
    BUS_OTHER = 0,
    BUS_ATA = 1,
    BUS_SATA = 2,
    BUS_SCSI = 3,
    BUS_USB = 4,
    BUS_VIRTUAL = 5, // a disk image attached to the system
};

// Copies NUL-terminated text into a fixed field, cut to fit and always
// terminated; a null source clears the field.
template <std::size_t N>
inline void CopyRecordText(char (&field)[N], const char* text) {
    std::memset(field, 0, N);
    if (text)
        std::strncpy(field, text, N - 1);
}

// One whole disk.
struct CCollectDiskDeviceInfoStruct {
    std::int32_t kind = 0; // 0 for every listed disk
    std::uint32_t busType = BUS_OTHER;
    std::uint32_t partitionScheme = PARTITION_SCHEME_NONE;
    std::uint32_t writable = 0;
    char registryName[128] = {};
    char bsdName[128] = {};
    std::int64_t sectorSize = 512;
    std::int64_t totalSectors = 0;
    std::int64_t cylinders = 0; // totalSectors / 16065
    std::int64_t heads = 255;
    std::int64_t sectorsPerTrack = 63;
    std::int32_t deviceId = 0; // (major << 24) | minor
};

// One partition-table entry.
struct CCollectedPartitionDeviceInfoStruct {
    std::int32_t kind = 0; // the disk's kind
    std::int32_t reserved = 0;
    std::uint32_t fileSystemType = 10; // enumFILE_SYSTEM_TYPE, 10 when unrecognised
    char label[100] = {};
    std::int64_t sectorSize = 512;
    std::int64_t sectorCount = 0;
    std::int32_t deviceId = 0;
    IStorageDevice* disk = nullptr; // borrowed
    std::int32_t partitionNumber = -1; // -1 for the whole-disk entry
    _GUID typeGuid;
    _GUID uniqueGuid;
    char typeName[32] = {}; // APM
    std::int64_t startSector = 0;
};

// One volume.
struct CCollectedVolumeDeviceInfoStruct {
    std::int32_t kind = 0;
    std::int32_t reserved = 0;
    std::uint32_t fileSystemType = 10;
    char label[100] = {};
    char volumeName[1024] = {};
    char bsdName[128] = {};
    std::int64_t sectorSize = 512;
    std::int64_t totalSectors = 0;
    std::int32_t deviceId = 0;
    IStorageDevice* disk = nullptr; // borrowed
    std::int32_t partitionNumber = -1; // -1 for a volume that is the whole disk
    _GUID typeGuid;
    _GUID uniqueGuid;
    char contentType[32] = {}; // APM
    std::int64_t startSector = 0; // within the disk
    std::uint32_t mounted = 0;
};

// An image file read as a device: sectors begin at dataOffset bytes.
struct CImageFileInfoStruct {
    char path[1024] = {};
    std::int64_t dataOffset = 0;
    std::int64_t sectorSize = 512;
    std::int64_t totalSectors = 0;
};
struct CDMGDeviceInfoStruct : CImageFileInfoStruct {};
struct CEDIDeviceInfoStruct : CImageFileInfoStruct {};

// The base of every record holder; a device owns the holder it carries.
class IStorageDeviceData {
public:
    virtual ~IStorageDeviceData() = default;
};

class IDiskDeviceData : public IStorageDeviceData {
public:
    virtual CCollectDiskDeviceInfoStruct* GetDiskInfo() = 0;
    virtual void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) = 0;
};

class IPartitionDeviceData : public IStorageDeviceData {
public:
    virtual CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() = 0;
    virtual void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) = 0;
};

class IVolumeDeviceData : public IStorageDeviceData {
public:
    virtual CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() = 0;
    virtual void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) = 0;
};

class IDmgDeviceData : public IStorageDeviceData {
public:
    virtual CDMGDeviceInfoStruct* GetDMGInfo() = 0;
    virtual void SetDMGInfo(CDMGDeviceInfoStruct* info) = 0;
};

class IEDIDeviceData : public IStorageDeviceData {
public:
    virtual CEDIDeviceInfoStruct* GetEDIInfo() = 0;
    virtual void SetEDIInfo(CEDIDeviceInfoStruct* info) = 0;
};

namespace device_records_detail {
// Holds one record pointer: set replaces it without freeing the old record
// (which stays with whoever owned it); the destructor frees the one it holds.
template <class Interface, class Record>
class RecordHolder : public Interface {
public:
    explicit RecordHolder(Record* record) : m_record(record) {}
    ~RecordHolder() override { delete m_record; }
    RecordHolder(const RecordHolder&) = delete;
    RecordHolder& operator=(const RecordHolder&) = delete;

protected:
    Record* m_record;
};
} // namespace device_records_detail

class CDiskDeviceData
    : public device_records_detail::RecordHolder<IDiskDeviceData, CCollectDiskDeviceInfoStruct> {
public:
    using RecordHolder::RecordHolder;
    CCollectDiskDeviceInfoStruct* GetDiskInfo() override { return m_record; }
    void SetDiskInfo(CCollectDiskDeviceInfoStruct* info) override { m_record = info; }
};

class CPartitionDeviceData
    : public device_records_detail::RecordHolder<IPartitionDeviceData, CCollectedPartitionDeviceInfoStruct> {
public:
    using RecordHolder::RecordHolder;
    CCollectedPartitionDeviceInfoStruct* GetPartitionInfo() override { return m_record; }
    void SetPartitionInfo(CCollectedPartitionDeviceInfoStruct* info) override { m_record = info; }
};

class CVolumeDeviceData
    : public device_records_detail::RecordHolder<IVolumeDeviceData, CCollectedVolumeDeviceInfoStruct> {
public:
    using RecordHolder::RecordHolder;
    CCollectedVolumeDeviceInfoStruct* GetVolumeInfo() override { return m_record; }
    void SetVolumeInfo(CCollectedVolumeDeviceInfoStruct* info) override { m_record = info; }
};

class CDmgDeviceData : public device_records_detail::RecordHolder<IDmgDeviceData, CDMGDeviceInfoStruct> {
public:
    using RecordHolder::RecordHolder;
    CDMGDeviceInfoStruct* GetDMGInfo() override { return m_record; }
    void SetDMGInfo(CDMGDeviceInfoStruct* info) override { m_record = info; }
};

class CEdiDeviceData : public device_records_detail::RecordHolder<IEDIDeviceData, CEDIDeviceInfoStruct> {
public:
    using RecordHolder::RecordHolder;
    CEDIDeviceInfoStruct* GetEDIInfo() override { return m_record; }
    void SetEDIInfo(CEDIDeviceInfoStruct* info) override { m_record = info; }
};

// Each factory takes ownership of the record it is given.
inline IDiskDeviceData* CreateDiskDeviceData(CCollectDiskDeviceInfoStruct* info) {
    return new CDiskDeviceData(info);
}
inline IPartitionDeviceData* CreatePartitionDeviceData(CCollectedPartitionDeviceInfoStruct* info) {
    return new CPartitionDeviceData(info);
}
inline IVolumeDeviceData* CreateVolumeDeviceData(CCollectedVolumeDeviceInfoStruct* info) {
    return new CVolumeDeviceData(info);
}
inline IDmgDeviceData* CreateDMGDeviceData(CDMGDeviceInfoStruct* info) { return new CDmgDeviceData(info); }
inline IEDIDeviceData* CreateEDIDeviceData(CEDIDeviceInfoStruct* info) { return new CEdiDeviceData(info); }
