#pragma once
// An opened HFS+ or HFSX volume: its header, the bytes of its special files,
// its three B-trees, its journal and the records the journal shows to have
// been deleted; and the volume recogniser.
#include "engine/hfsplus/HfsPlusBTree.h"
#include "engine/include/VolumeAnalyze.h"

#include <list>
#include <memory>
#include <optional>
#include <vector>

class IStorageDevice;

namespace hfsplus {

class CHFSPlusVolume;
class CHFSPlusJournal;

// The bytes of one special file (or any fork) through its extents.
class CHFSPlusRawfile {
public:
    CHFSPlusRawfile(CHFSPlusVolume* volume, std::uint32_t fileId, const HFSPlusForkData& fork);
    virtual ~CHFSPlusRawfile() = default;
    virtual std::uint64_t Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length);
    ResultCode GetLastError() const { return m_result; }
    const std::vector<HFSPlusExtentDescriptor>& Extents() const { return m_extents; }

protected:
    std::uint64_t RawRead(std::uint64_t offset, unsigned char* buffer, std::uint64_t length);
    CHFSPlusVolume* m_volume;
    std::uint32_t m_fileId;
    ResultCode m_result = 0;
    std::vector<HFSPlusExtentDescriptor> m_extents;
};

// A special file read once into memory (its first 256 MiB).
class CHFSPlusFileCache : public CHFSPlusRawfile {
public:
    CHFSPlusFileCache(CHFSPlusVolume* volume, std::uint32_t fileId, const HFSPlusForkData& fork);
    std::uint64_t Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) override;

private:
    std::vector<std::uint8_t> m_cache;
};

// One record that the journal shows to have left a live tree.
template <typename Record>
struct DeletedEntry {
    BTKey key;
    Record record;
};

class CHFSPlusVolume {
public:
    // Opens the volume that fills device (not owned), from sector 0; a volume
    // header that cannot be read is taken from the alternate one 1024 bytes
    // before the device's end when that one is valid and ends there. With
    // noCatalogCache false the catalog is read into memory; with true it is
    // not read at all, and catalog searches fail (result error 6).
    CHFSPlusVolume(IStorageDevice* device, bool noCatalogCache);
    ~CHFSPlusVolume();
    CHFSPlusVolume(const CHFSPlusVolume&) = delete;
    CHFSPlusVolume& operator=(const CHFSPlusVolume&) = delete;

    ResultCode GetLastError() const { return m_result; }
    const std::optional<HFSPlusVolumeHeader>& Header() const { return m_header; }
    std::uint8_t KeyCompareType() const { return m_keyCompareType; }
    unsigned SectorSize() const { return m_sectorSize; }
    std::uint64_t DeviceBytes() const;

    // Byte-addressed read of the volume; bytes delivered.
    std::uint64_t Read(std::uint64_t offset, void* buffer, std::uint64_t length);
    // Searches tree fileId (3, 4 or 8); data gets the record bytes after the key.
    ResultCode Search(std::uint32_t fileId, const BTKey& key, HFSPlusSearchResult& result,
                      std::vector<std::uint8_t>* data = nullptr);
    CHFSPlusBTreeOptionBase* Tree(std::uint32_t fileId);
    // The inline data of attribute name of fileId (live tree, then the deleted list); empty when none.
    std::vector<std::uint8_t> getAttribute(std::uint32_t fileId, const char* name);
    // The special file holding volume byte offset: 4, 3, 8, 6, 7, or 0.
    std::uint32_t GetNodeBelongToFile(std::uint64_t offset);
    bool IsBelongToFile(std::uint32_t fileId, const HFSPlusForkData& fork, std::uint64_t offset);
    // The extents of fork of file fileId (forkType 0 data, 0xFF resource): the
    // eight of the fork, then overflow records from the live tree (and, when
    // useDeleted, the deleted list). Clipped to totalBlocks; bounded.
    std::vector<HFSPlusExtentDescriptor> ForkExtents(std::uint32_t fileId, std::uint8_t forkType,
                                                     const HFSPlusForkData& fork, bool useDeleted,
                                                     ResultCode* failure = nullptr);

    // The deleted record whose key equals key: result.found is set and the
    // record copied out (the lists may change under a caller that kept a
    // pointer), else result.found is cleared and record left alone.
    bool FindDeleteCatalog(const BTKey& key, HFSPlusSearchResult& result, HFSPlusCatalogRecord& record) const;
    bool FindDeleteExtent(const BTKey& key, HFSPlusSearchResult& result, HFSPlusExtentRecord& record) const;
    bool FindDeleteAttribute(const BTKey& key, HFSPlusSearchResult& result, HFSPlusAttrRecord& record) const;
    // Writes the deleted catalog keys and the number of deleted extent and
    // attribute records into the log, for diagnosis.
    void DumpMap() const;

    CHFSPlusJournal* Journal() { return m_journal.get(); }
    // Newest first.
    std::list<DeletedEntry<HFSPlusCatalogRecord>> m_deletedCatalog;
    std::list<DeletedEntry<HFSPlusExtentRecord>> m_deletedExtents;
    std::list<DeletedEntry<HFSPlusAttrRecord>> m_deletedAttributes;

private:
    ResultCode Open(bool noCatalogCache);

    unsigned m_sectorSize = 0;
    IStorageDevice* m_device;
    ResultCode m_result;
    std::optional<HFSPlusVolumeHeader> m_header;
    std::unique_ptr<CHFSPlusRawfile> m_extentsFile;
    std::unique_ptr<CHFSPlusExtents> m_extentsTree;
    std::unique_ptr<CHFSPlusRawfile> m_attributesFile;
    std::unique_ptr<CHFSPlusAttribute> m_attributesTree;
    std::unique_ptr<CHFSPlusRawfile> m_catalogFile;
    std::unique_ptr<CHFSPlusCatalog> m_catalogTree;
    std::unique_ptr<CHFSPlusJournal> m_journal;
    std::uint8_t m_keyCompareType = 0;
};

class CHFSPlusVolumeAnalyze : public IVolumeAnalyze {
public:
    CHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);
    enumFILE_SYSTEM_TYPE GetFileSystemType() override { return m_kind; }
    unsigned long long GetTotalSector() override { return m_totalSectors; }
    void GetLabel(char* buffer, int size) override;
    // The creation date beside the volume id the Finder info holds (zero
    // where the maker wrote none).
    std::uint64_t GetVolumeSerial() override { return m_serial; }

private:
    enumFILE_SYSTEM_TYPE m_kind = FS_UNKNOWN;
    unsigned long long m_totalSectors = 0;
    std::uint64_t m_serial = 0;
};

// The recogniser: no volume (FS_UNKNOWN) when the device has no HFS+ header
// at startSector. A header whose sector cannot be read is answered, at
// startSector 0 only (the device is the volume, so its end is the volume's),
// by the alternate header 1024 bytes before the device's end.
IVolumeAnalyze* CreateHFSPlusVolumeAnalyze(IStorageDevice* device, unsigned long long startSector);

} // namespace hfsplus
