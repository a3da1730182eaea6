#pragma once
// Lists what can be scanned: the whole disks, each disk's partitions and each
// disk's volumes, every device opened read-only and carrying its record.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/enumeration/MergeVolumeAndPartition.h"
#include "engine/include/EngineTypes.h"
#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionTable.h"

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace enum_codes {
inline constexpr ResultCode kNoDisk = 0x10300a100000001ULL;
inline constexpr ResultCode kUninitNotInit = 0x10300ce00000002ULL;
inline constexpr ResultCode kDisksNotInit = 0x10300f200000002ULL;
inline constexpr ResultCode kDiskArraySmall = 0x103010400000009ULL;
inline constexpr ResultCode kPartitionsNotInit = 0x103012500000002ULL;
inline constexpr ResultCode kPartitionsNullDisk = 0x103012c00000007ULL;
inline constexpr ResultCode kUnknownDisk = 0x10301e400000005ULL;
inline constexpr ResultCode kPartitionArraySmall = 0x10301f700000009ULL;
inline constexpr ResultCode kVolumesNotInit = 0x103014f00000002ULL;
inline constexpr ResultCode kVolumesNullDisk = 0x103015600000007ULL;
inline constexpr ResultCode kVolumeArraySmall = 0x103017300000009ULL;
inline constexpr ResultCode kPartitionNoAnalyser = 0x103005600000002ULL;
inline constexpr ResultCode kVolumeNoAnalyser = 0x103040f00000002ULL;
inline constexpr ResultCode kNoPartitionDevice = 0x10300eb00000002ULL;
inline constexpr ResultCode kNoPartitionData = 0x103010600000002ULL;
inline constexpr ResultCode kFillNullDisk = 0x103002400000007ULL;
inline constexpr ResultCode kFillNoRecord = 0x103002c00000007ULL;
inline constexpr ResultCode kFillNotDiskData = 0x103003400000007ULL;
inline constexpr ResultCode kFillNoDiskInfo = 0x103003c00000007ULL;
} // namespace enum_codes

class IEnumDevice {
public:
    virtual ~IEnumDevice() = default;
    // Each clears the list and fills it with new devices that belong to the caller.
    virtual ResultCode EnumDiskDevice(DeviceList& out) = 0;
    virtual ResultCode EnumPartitionDevice(const IStorageDevice* disk, DeviceList& out) = 0;
    virtual ResultCode EnumVolumeDevice(const IStorageDevice* disk, DeviceList& out) = 0;
};

class IEnumDeviceEx {
public:
    virtual ~IEnumDeviceEx() = default;
    virtual ResultCode Init() = 0;
    virtual ResultCode Uninit() = 0;
    // A null array answers the count; the devices stay the enumerator's.
    virtual ResultCode EnumDiskDevice(IStorageDevice** array, int& count) = 0;
    virtual ResultCode EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) = 0;
    virtual ResultCode EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) = 0;
    // Keeps the devices of the last Init alive while the answer is held,
    // also past the next Init or Uninit: a scan or a window may still hold
    // one when the devices are listed again. Null when they live only until
    // then.
    virtual std::shared_ptr<const void> HoldDevices() const { return nullptr; }
};

class CEnumDevice : public IEnumDevice {
public:
    // The facts are borrowed and must outlive the enumerator.
    explicit CEnumDevice(IBlockDeviceFacts& facts) : m_facts(facts) {}
    ResultCode EnumDiskDevice(DeviceList& out) override;
    ResultCode EnumPartitionDevice(const IStorageDevice* disk, DeviceList& out) override;
    ResultCode EnumVolumeDevice(const IStorageDevice* disk, DeviceList& out) override;
    // The same over the disks' facts read once by the caller, so that a
    // listing of every disk reads each disk's facts once, not once per disk.
    ResultCode EnumDiskDevice(const std::vector<BlockDiskFacts>& listed, DeviceList& out);
    ResultCode EnumVolumeDevice(const IStorageDevice* disk, const std::vector<BlockDiskFacts>& listed, DeviceList& out);

private:
    IBlockDeviceFacts& m_facts;
};

class CEnumDeviceEx : public IEnumDeviceEx {
public:
    explicit CEnumDeviceEx(IBlockDeviceFacts& facts) : m_facts(facts) {}
    ~CEnumDeviceEx() override;
    CEnumDeviceEx(const CEnumDeviceEx&) = delete;
    CEnumDeviceEx& operator=(const CEnumDeviceEx&) = delete;

    ResultCode Init() override;
    ResultCode Uninit() override;
    ResultCode EnumDiskDevice(IStorageDevice** array, int& count) override;
    ResultCode EnumPartitionDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) override;
    ResultCode EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) override;
    std::shared_ptr<const void> HoldDevices() const override { return m_listed; }

    // How long Init waits for the disks to be read: one that has not
    // answered by then is not listed (it is said in the log), and is not
    // read again until its listing ends.
    static constexpr std::chrono::milliseconds kListingWait{10000};
    // Test seam: the wait in force (kListingWait unless set; zero restores it).
    static void SetListingWait(std::chrono::milliseconds wait);
    // Disks whose listing still reads them (tests, diagnostics).
    static std::size_t DisksStillRead();

private:
    // One Init's devices, freed when the enumerator and every holder have let them go.
    struct Listed {
        Listed() = default;
        Listed(const Listed&) = delete;
        Listed& operator=(const Listed&) = delete;
        ~Listed();
        DeviceList disks;
        // Per disk: its volumes followed by the volumes made for partitions
        // without one (made once by Init).
        std::map<const IStorageDevice*, DeviceList> volumes;
        std::map<const IStorageDevice*, DeviceList> partitions;
    };
    struct PerDiskCodes {
        ResultCode notInit, nullDisk, tooSmall;
        bool zeroIsTooSmall;
    };
    ResultCode PerDisk(const std::map<const IStorageDevice*, DeviceList>& map, const IStorageDevice* disk,
                       IStorageDevice** array, int& count, const PerDiskCodes& codes) const;
    void ReleaseAll();

    IBlockDeviceFacts& m_facts;
    bool m_initialised = false;
    std::unique_ptr<CEnumDevice> m_enum;
    std::shared_ptr<Listed> m_listed = std::make_shared<Listed>();
};

// The process-wide enumerators over the system's sysfs.
IEnumDevice* CreateEnumDevice();
IEnumDeviceEx* CreateEnumDeviceEx();

// Deletes every device of the list and empties it.
void ReleaseDevList(DeviceList& list);

// Pieces of the Linux mapping, exposed for tests.
namespace enum_linux {
// Not a disk to list: optical drives, device-mapper, software RAID, RAM
// disks, zram and loop devices with nothing attached.
bool IsExcludedDisk(const BlockDiskFacts& disk);
// Vendor and model, trimmed; a loop device's backing file's base name.
std::string RegistryName(const BlockDiskFacts& disk);
// "ATA" 1, "SATA" 2, "SCSI…" 3, "USB" 4, "Virtual Interface" 5, else 0.
std::uint32_t BusType(const std::string& protocol);
// libblkid's table type: "dos" 1, "gpt" 2, "mac" 3, else 0.
std::uint32_t PartitionScheme(const std::string& tableType);
// The id that stat() gives files on the device (st_dev).
std::int32_t DeviceId(unsigned major, unsigned minor);
// "c12a7328-f81f-11d2-ba4b-00a0c93ec93b" in the little-endian layout of GPT entries.
bool ParseGuid(const std::string& text, _GUID& guid);
// The file-system kind libblkid names, FS_UNKNOWN when it is none we scan.
enumFILE_SYSTEM_TYPE FileSystemKind(const BlockVolumeFacts& volume);
} // namespace enum_linux
