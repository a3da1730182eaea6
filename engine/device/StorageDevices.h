#pragma once
// The storage devices: whole disks and volumes opened by path, partition
// windows on a parent device, partitions shown as volumes, and image files.
// All of them are read-only.
#include "engine/device/DeviceUse.h"
#include "engine/include/DeviceAgain.h"
#include "engine/include/DeviceGone.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/AsyncRead.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

// Device result codes (library 0x0e) by error number.
namespace device_error {
inline constexpr std::uint32_t kOpenOrRead = 1;
inline constexpr std::uint32_t kNotSupported = 3;
inline constexpr std::uint32_t kBadArgument = 5;
inline constexpr std::uint32_t kNoRecord = 7;
} // namespace device_error

inline constexpr ResultCode DeviceResult(std::uint16_t site, std::uint32_t error) {
    return MakeResult(ResultLib::Device, site, error);
}

// A device that reads straight into a buffer of the read routine's, with no
// copy in between: the deep scan's read-ahead reads whole blocks this way.
class IDirectRead {
public:
    // As ReadSector, into the start of buffer (which must hold count
    // sectors). A read that runs out of time may leave buffer holding
    // different memory (see asyncread::ReadInto).
    virtual int ReadSectorsInto(asyncread::Buffer& buffer, long long firstSector, long long count) = 0;

protected:
    ~IDirectRead() = default;
};

// What the devices opened by path share: the path, the descriptor, the
// geometry, the record and the last error. Reads go into the caller's memory
// or, directly, into a read-routine buffer.
//
// The descriptor is held only while someone needs it: from Open to Close (the
// opener), from BeginUse to EndUse (a scan, a recovery, a preview), and for
// the length of each read. A read with no holder opens the path and closes it
// after. The descriptor is never closed while a read is using it, and a path
// that now names another device (or file) than the one first opened is not
// read.
class CDescriptorDevice : public IStorageDevice,
                          public IDirectRead,
                          public IDeviceUse,
                          public IDeviceGone,
                          public IDeviceAgain {
public:
    // A block device that stopped answering: the system says so (its node
    // went or names another device, it shrank, ENODEV, ENXIO, ENOMEDIUM), or
    // it answered nowhere for kSilenceLimit. Found by a read that failed;
    // reads then fail at once, except below a shrunk device's new size. Bad
    // sectors, however many, fail alone: the device answers elsewhere.
    bool IsGone() override { return m_gone.load(); }
    bool IsShrunk() override { return m_gone.load() && m_readableBytes.load() > 0; }
    // A judge waits for it to answer anywhere, or a read has waited
    // kSilentAfter (at most a quarter of the silence allowed) for its answer.
    bool IsSilent() override;
    // How long a read may go unanswered before the device is said not to be
    // answering: far longer than any read of a working device takes.
    static constexpr std::chrono::milliseconds kSilentAfter{5000};
    // How long a block device may answer nowhere before it is gone: longer
    // than one command's time-out (30 s in the SCSI disk driver and in the
    // read routine) plus the bus reset, re-enumeration and retry that follow
    // it, so a disk that resets and comes back is read again.
    static constexpr std::chrono::milliseconds kSilenceLimit{60000};
    // Test seam: the limit in force (kSilenceLimit unless set; zero restores it).
    static void SetSilenceLimit(std::chrono::milliseconds limit);
    int ReadSector(void* buffer, long long firstSector, long long count) final;
    int ReadSectorsInto(asyncread::Buffer& buffer, long long firstSector, long long count) final;
    ~CDescriptorDevice() override;
    // Ends the opener's hold; the descriptor closes when no use or read holds it.
    int Close() override;
    int BeginUse() override;
    void EndUse() override;
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return m_totalSectors; }
    ResultCode IOCtl(unsigned long long code, void* arg) override;
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    ResultCode GetLastError() override { return m_lastError.load(); }
    const char* GetPath() const { return m_path.c_str(); }
    // Gone by a silence only (not said gone by the system, not shrunk), and
    // the same device answers now: read again.
    bool AnswersAgain() override;
    // The descriptor while one is held (from Open to Close), else -1.
    int GetDescriptor() const;
    // Whether a descriptor of the device is open now (tests, diagnostics).
    bool HoldsDescriptor() const;
    // Whether the path opened named a file rather than a block device: a
    // file is read to where it ends and never goes.
    bool IsFile() const;

protected:
    CDescriptorDevice(const char* path, std::uint16_t site);
    // Opens the path (a new one unless null) read-only and holds it for the
    // opener; answers the system error, 0 on success, and sets error 1 on
    // failure.
    int OpenReadOnly(const char* path);
    // Closes every descriptor and opens the path again, held for the opener;
    // refused (EBUSY) while a read or a use holds the old one.
    int OpenAgain();
    // Where a read lands: the caller's memory, or a read-routine buffer.
    struct ReadTarget {
        void* memory = nullptr;
        asyncread::Buffer* owned = nullptr;
    };
    // The device's own read: ReadSector and ReadSectorsInto both come here.
    virtual int Read(ReadTarget to, long long firstSector, long long count) = 0;
    // Reads count sectors at baseBytes + first x sector size, after checking
    // the arguments (error 5) and that the byte range does not overflow.
    int ReadBytes(ReadTarget to, long long firstSector, long long count, long long baseBytes);

    std::string m_path;
    // Set by Open and the geometry reads; the opener's descriptor.
    int m_fd = -1;
    unsigned m_sectorSize = 512;
    unsigned long long m_totalSectors = 0;
    std::uint16_t m_site;
    std::atomic<ResultCode> m_lastError{0};
    std::unique_ptr<IStorageDeviceData> m_data;

private:
    // What the opened path was: a later open must find the same device.
    struct Identity {
        bool known = false;
        bool block = false;
        unsigned long long device = 0, inode = 0, bytes = 0;
    };
    // A descriptor of the path, opened when none is held and checked against
    // the identity; -1 when it cannot be had. Under m_useLock.
    int HeldDescriptorLocked();
    // Closes the descriptors when nothing holds them any more. Under m_useLock.
    void CloseIfUnusedLocked();
    void CloseLocked();
    // Holds the descriptor for one read: -1 when it cannot be had.
    int BeginRead();
    void EndRead();
    // The read itself, on a descriptor held for it.
    bool ReadHeld(ReadTarget to, int fd, long long offset, long long bytes);
    // Whether [offset, offset + bytes) passes the end of the block device
    // as it was opened.
    bool PastEnd(long long offset, long long bytes) const;
    // The range alone, read once around the page cache into memory.
    bool ReadDirectOnce(int fd, void* memory, long long offset, long long bytes);
    // After a failed read of [offset, offset + bytes) begun at `began`: the
    // device is gone, bad there, or answers again after a silence (the read
    // is worth making once more). fd is the held descriptor or -1 when none
    // could be had (openError then tells why).
    enum class Failure { Bad, Gone, AnswersAgain };
    Failure JudgeFailure(int fd, int openError, long long offset, long long bytes,
                         std::chrono::steady_clock::time_point began);
    // Whether the system says the device is no more (shrunk: *shrunkTo set).
    // Its probe waits until the deadline at most.
    bool SystemSaysGone(int fd, int openError, unsigned long long* shrunkTo,
                        std::chrono::steady_clock::time_point deadline);
    // Whether one block answers where the device answered last, within or
    // beside the failed range, or spread over the device; no probe begins
    // past the deadline but the first.
    bool AnswersSomewhere(int fd, long long offset, long long bytes, std::chrono::steady_clock::time_point deadline);
    void MarkGone(unsigned long long readableBytes);
    void NoteAnswer(long long offset);

    // The direct-I/O descriptor (opened on the first direct read), or -1.
    int DirectDescriptor(int fd);
    void DropDirectDescriptor();

    mutable std::mutex m_useLock;
    int m_users = 0;          // BeginUse without its EndUse
    int m_reads = 0;          // reads in flight
    bool m_openerHolds = false;
    Identity m_identity;

    // A second descriptor of the same file for direct I/O, around the page
    // cache; -1 when it cannot be had. Once it refused a read it is not used.
    int m_directFd = -1;
    bool m_directTried = false;
    std::atomic<bool> m_directRefused{false};
    std::mutex m_directLock;
    std::atomic<bool> m_gone{false};
    // Below this many bytes a gone device is still read: its new size when it
    // shrank, else 0.
    std::atomic<unsigned long long> m_readableBytes{0};
    // Reads that answered (so a waiting judge sees another read answer), and
    // a byte offset where the device answered last (-1 none yet).
    std::atomic<unsigned long long> m_answers{0};
    std::atomic<long long> m_answeredAt{-1};
    // One judge at a time probes and waits; the others learn its verdict.
    std::mutex m_judgeLock;
    std::optional<std::chrono::steady_clock::time_point> m_againAskedAt;  // under m_judgeLock
    // A judge is waiting for the device to answer anywhere.
    std::atomic<bool> m_waitingForAnswer{false};
    // When each read in flight began.
    std::mutex m_flightLock;
    std::multiset<std::chrono::steady_clock::time_point> m_inFlight;
};

// A device opened read-only by path: a block device or a regular file.
class CBlockFileDevice : public CDescriptorDevice {
public:
    // Null keeps the stored path. Block devices answer their logical sector
    // size and size; a regular file is 512-byte sectors over its length.
    int Open(char* path) override;
    // Closes and tries to open again, up to 3 times a second apart.
    int ReOpen();
    int IsPermitted() override { return m_permitted; }

protected:
    CBlockFileDevice(const char* path, std::uint16_t site) : CDescriptorDevice(path, site) {}
    int Read(ReadTarget to, long long firstSector, long long count) override;
    void TakeGeometry(long long sectorSize, long long totalSectors);

    int m_permitted = 1;
};

// A whole disk.
class CDiskDevice : public CBlockFileDevice {
public:
    explicit CDiskDevice(const char* path);
    void SetPrivateData(IStorageDeviceData* data) override;
    int GetType() override { return DEVICE_DISK; }
    CCollectDiskDeviceInfoStruct* GetDiskInfo();
    // Copies of the disk's volume records.
    void SetVolumes(const std::vector<CCollectedVolumeDeviceInfoStruct>& volumes) { m_volumes = volumes; }
    int GetVolumes() const { return static_cast<int>(m_volumes.size()); }
    const std::vector<CCollectedVolumeDeviceInfoStruct>& Volumes() const { return m_volumes; }

private:
    std::vector<CCollectedVolumeDeviceInfoStruct> m_volumes;
};

// A volume (a partition with a file system, or a whole disk that is one).
class CVolumeDevice : public CBlockFileDevice {
public:
    explicit CVolumeDevice(const char* path);
    ~CVolumeDevice() override;
    void SetPrivateData(IStorageDeviceData* data) override;
    int GetType() override { return DEVICE_VOLUME; }
    void SetApfsDevicePath(char* path) override { m_apfsPath = path ? path : ""; }
    const char* GetApfsDevicePath() const { return m_apfsPath.c_str(); }
    CCollectedVolumeDeviceInfoStruct* GetVolumeInfo();

protected:
    // Refuses reads at or past the last sector without touching the device; a
    // failed read is announced to the message centre.
    int Read(ReadTarget to, long long firstSector, long long count) override;

private:
    std::string m_apfsPath;
};

// The checks and the cut shared by the partition window and the partition
// shown as a volume: sectors [start, start + count) of a parent device.
class CWindowDevice : public IStorageDevice, public IDirectRead, public IDeviceUse, public IDeviceGone, public IDeviceAgain {
public:
    bool IsGone() override { return DeviceGone(m_parent); }
    bool IsShrunk() override { return DeviceGone(m_parent) && !DeviceGoneWhole(m_parent); }
    bool IsSilent() override { return DeviceSilent(m_parent); }
    ~CWindowDevice() override;
    // Takes the sector size from the parent's disk record.
    int Open(char* path) override;
    int Close() override { return 1; }
    bool AnswersAgain() override { return DeviceAnswersAgain(m_parent); }
    // The window's reads are its parent's: so is its use.
    int BeginUse() override {
        auto* use = dynamic_cast<IDeviceUse*>(m_parent);
        return use ? use->BeginUse() : m_parent != nullptr;
    }
    void EndUse() override {
        if (auto* use = dynamic_cast<IDeviceUse*>(m_parent))
            use->EndUse();
    }
    // A read that runs past the window's end is cut; the sectors past the end
    // are zeros in the buffer.
    int ReadSector(void* buffer, long long firstSector, long long count) override;
    // As ReadSector; straight into the buffer when the parent reads so.
    int ReadSectorsInto(asyncread::Buffer& buffer, long long firstSector, long long count) override;
    unsigned GetSectorSize() override { return m_sectorSize; }
    unsigned long long GetTotalSectors() override { return static_cast<unsigned long long>(m_count); }
    ResultCode IOCtl(unsigned long long code, void* arg) override;
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    ResultCode GetLastError() override { return m_lastError.load(); }
    virtual long long GetStartSector() { return m_start; }
    IStorageDevice* GetParent() const { return m_parent; }

protected:
    CWindowDevice(IStorageDevice* parent, long long start, long long count, std::uint16_t site);
    // Reads into buffer, or when owned is given into it (buffer is its data).
    int Read(void* buffer, asyncread::Buffer* owned, long long firstSector, long long count);

    IStorageDevice* m_parent;
    unsigned m_sectorSize = 512;
    long long m_start;
    long long m_count;
    std::uint16_t m_site;
    std::atomic<ResultCode> m_lastError{0};
    std::unique_ptr<IStorageDeviceData> m_data;
};

// A partition: a window on its disk.
class CPartitionDevice : public CWindowDevice {
public:
    CPartitionDevice(IStorageDevice* parent, long long start, long long count);
    void SetPrivateData(IStorageDeviceData* data) override;
    int GetType() override { return DEVICE_PARTITION; }
    CCollectedPartitionDeviceInfoStruct* GetPartitionInfo();
};

// A partition without a volume presented as a volume.
class CPartitionVirtualVolumeDevice : public CWindowDevice {
public:
    CPartitionVirtualVolumeDevice(IStorageDevice* disk, long long start, long long count);
    void SetPrivateData(IStorageDeviceData* data) override;
    int GetType() override { return DEVICE_VOLUME; }
    CCollectedVolumeDeviceInfoStruct* GetVolumeInfo();
};

// An image file: sector n is at data offset + n x 512. With offset 0 it is a
// raw image.
class CImageFileDevice : public CDescriptorDevice {
public:
    int Open(char* path) override;
    void SetPrivateData(IStorageDeviceData* data) override;
    long long GetDataOffset() const { return m_dataOffset; }
    void SetDataOffset(long long bytes);

protected:
    explicit CImageFileDevice(const char* path);
    int Read(ReadTarget to, long long firstSector, long long count) override;
    // The image record of this device's kind held by data, or null.
    virtual CImageFileInfoStruct* RecordOf(IStorageDeviceData* data) = 0;
    // The record this device carries, or null with error 7.
    CImageFileInfoStruct* OwnRecord();

    long long m_dataOffset = 0;
};

// An image device whose record is read through Holder's Getter.
template <class Holder, class Record, Record* (Holder::*Getter)(), int Type>
class TImageFileDevice : public CImageFileDevice {
public:
    explicit TImageFileDevice(const char* path) : CImageFileDevice(path) {}
    int GetType() override { return Type; }

protected:
    Record* Info() { return static_cast<Record*>(OwnRecord()); }
    CImageFileInfoStruct* RecordOf(IStorageDeviceData* data) override {
        auto* holder = dynamic_cast<Holder*>(data);
        return holder ? (holder->*Getter)() : nullptr;
    }
};

class CDmgDevice
    : public TImageFileDevice<IDmgDeviceData, CDMGDeviceInfoStruct, &IDmgDeviceData::GetDMGInfo, DEVICE_DMG> {
public:
    using TImageFileDevice::TImageFileDevice;
    CDMGDeviceInfoStruct* GetDMGInfo() { return Info(); }
};

class CEdiDevice
    : public TImageFileDevice<IEDIDeviceData, CEDIDeviceInfoStruct, &IEDIDeviceData::GetEDIInfo, DEVICE_EDI> {
public:
    using TImageFileDevice::TImageFileDevice;
    CEDIDeviceInfoStruct* GetEDIInfo() { return Info(); }
};

// While one lives on a thread, a read that fails there is taken as it comes:
// its device is neither judged gone nor waited on through a silence. Listing
// the devices reads each one briefly to name it; a device that fails then is
// listed as it answers, and the scan that reads it judges it.
class CFailFastReads {
public:
    CFailFastReads();
    ~CFailFastReads();
    CFailFastReads(const CFailFastReads&) = delete;
    CFailFastReads& operator=(const CFailFastReads&) = delete;
    static bool Active();
};

// Factories: new, unopened devices owned by the caller (delete, or hold in a
// std::unique_ptr<IStorageDevice>).
IStorageDevice* CreateDiskDevice(const char* path);
IStorageDevice* CreateVolumeDevice(const char* path);
// Null for a null parent, a negative start or a count below 1.
IStorageDevice* CreatePartitionDevice(IStorageDevice* parent, long long start, long long count);
// Null unless the device carries a partition record of kind 0 that names its
// disk; the new device covers that partition on the disk.
IStorageDevice* CreatePartitionVirtualVolumeDevice(IStorageDevice* partitionDevice);
IStorageDevice* CreateDmgDeviceImp(const char* path);
IStorageDevice* CreateEdiDeviceImp(const char* path);
