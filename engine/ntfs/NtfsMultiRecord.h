#pragma once
// Files whose attributes do not fit one MFT record: the base record joined
// with the extension records its attribute list names, and where an MFT
// record lies on the device.
#include "engine/ntfs/NtfsDataRuns.h"
#include "engine/ntfs/NtfsFileRecord.h"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

class IStorageDevice;

// An extension record: the device sector holding its first byte (-1 until it
// is located), the byte offset within that sector (records smaller than a
// sector share it), and its MFT record number.
struct CAttributeListExtendFileRecordInfo {
    long long startSector = -1;
    unsigned offsetInSector = 0;
    long long recordNumber = 0;
    bool operator==(const CAttributeListExtendFileRecordInfo&) const = default;
};
using CExtendFileRecordInfoList = std::vector<CAttributeListExtendFileRecordInfo>;

class CNTFSMultiFileRecord {
public:
    // Holds a fixed-up copy of a valid base record and, with a device and a
    // list, one extension per entry, read by record size on first use.
    CNTFSMultiFileRecord(ntfs::Bytes base, long long sector, IStorageDevice* device,
                         const CExtendFileRecordInfoList* list, unsigned recordSize = 1024);
    bool IsValid() const { return m_base.IsValid(); }
    bool IsinUse() const { return m_base.IsinUse(); }
    long long GetMainFileRecordIndex() const { return bytes::Le32(m_base.Data(), 44); }
    const CNTFSFileRecord& GetBaseRecord() const { return m_base; }
    // The index-th attribute of a type across the base and the extension
    // records (base first, then the extensions in list order); empty when
    // there is none. Reports the attribute's offset in its record, that
    // record's sector and the record's offset in that sector (0 for the base
    // record, whose caller knows where it read it).
    ntfs::Bytes FindAttibute(std::uint32_t type, int index, unsigned* offsetInRecord = nullptr,
                             long long* recordSector = nullptr, unsigned* offsetInSector = nullptr);

    // The extension records of a base record: its attribute-list entries,
    // located through the $MFT runs; entries of the base record itself and
    // entries that cannot be located are dropped. Nothing without a list.
    static std::optional<CExtendFileRecordInfoList>
    InitExtendFileRecord(ntfs::Bytes base, long long sector, unsigned sectorsPerCluster,
                         long long partitionStart, IStorageDevice& device, const CNTFSDataRunList& mftRuns,
                         unsigned recordSize);
    // The record numbers the attribute list names, each once, unlocated.
    static std::optional<CExtendFileRecordInfoList> GetExtendFileRecordInfoList(ntfs::Bytes base,
                                                                                long long partitionStart,
                                                                                unsigned sectorsPerCluster,
                                                                                IStorageDevice& device);
    // The device sector where a record begins (and its byte offset in that
    // sector), or -1 when the $MFT runs do not map it. Computed in bytes, so
    // records smaller than a sector are found too.
    static long long GetFileRecordStartSectorfromMFTNumber(long long recordNumber, unsigned sectorsPerCluster,
                                                           long long partitionStart,
                                                           const CNTFSDataRunList& mftRuns,
                                                           unsigned recordSize, unsigned sectorSize,
                                                           unsigned* offsetInSector = nullptr);
    static void CalcFileRecordStartSectorinExtendFileRecordInfoList(CExtendFileRecordInfoList& list,
                                                                    unsigned sectorsPerCluster,
                                                                    long long partitionStart,
                                                                    const CNTFSDataRunList& mftRuns,
                                                                    unsigned recordSize, unsigned sectorSize);
    static void RemoveMainFileRecordInfofromFileRecordInfoList(CExtendFileRecordInfoList& list,
                                                               long long sector, unsigned offsetInSector = 0);
    // Reads the clusters of valid mapping pairs into `out` in run order,
    // stopping before the first run that would pass its end; sparse runs stay
    // zero. False when the pairs are invalid or a read fails.
    static bool GetAttributeDatafromNonResidentAttributeBuffer(ntfs::Bytes pairs, std::span<std::uint8_t> out,
                                                               long long partitionStart,
                                                               unsigned sectorsPerCluster,
                                                               IStorageDevice& device);

    // The largest attribute list read (NTFS keeps them under 256 KiB).
    static constexpr std::size_t kMaxAttributeList = 256 * 1024;

private:
    struct Extension {
        CAttributeListExtendFileRecordInfo info;
        std::vector<std::uint8_t> bytes; // the fixed-up record, empty when unreadable or invalid
        bool read = false;
    };
    ntfs::Bytes ExtensionBytes(Extension& e);
    // Where an attribute lies: its record (-1 the base, else an extension) and offset.
    struct Place {
        int owner;
        std::uint32_t offset;
    };
    void IndexAttributes();

    CNTFSFileRecord m_base;
    long long m_sector;
    IStorageDevice* m_device;
    unsigned m_recordSize;
    std::vector<Extension> m_extensions;
    std::map<std::uint32_t, std::vector<Place>> m_byType;
    bool m_indexed = false;
};

namespace NTFSPublicFunction {
// The sector is the first of the given cluster; sectors per cluster must be 1
// or even.
bool IsClusterNOMatch(long long sector, long long cluster, long long partitionStart,
                      unsigned sectorsPerCluster);
} // namespace NTFSPublicFunction
