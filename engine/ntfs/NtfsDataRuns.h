#pragma once
// Mapping pairs (the packed runs of a non-resident attribute), the decoded run
// list with its cluster lookups, the two run lists NTFS nodes carry, and the
// compact byte form in which a file's properties keep their runs.
#include "engine/common/Bytes.h"
#include "engine/common/DataRunList.h"

#include <cstdint>
#include <memory>
#include <vector>

class CNTFSFileRecord;

// One decoded run: LCN (-1 for a sparse run), VCN and length in clusters.
struct CDataRun {
    long long lcn = -1;
    long long vcn = 0;
    long long length = 0;
    bool operator==(const CDataRun&) const = default;
};

class CNTFSDataRunList {
public:
    // Every run has 1 to 8 length and up to 8 offset bytes, a positive length
    // and (unless sparse) a start at or after cluster 0, and leaves room for
    // the terminating 0x00 inside `pairs`.
    static bool IsValid(bytes::Bytes pairs);
    // The clusters of valid pairs; -1 for invalid ones.
    static long long GetTotalClusters(bytes::Bytes pairs);
    // Decodes without the validity step, never reading outside `pairs` or
    // wider than 8-byte fields, and appends the runs with startVCN added.
    static void FormDataRunList(bytes::Bytes pairs, CNTFSDataRunList& list, long long startVCN = 0);

    bool InitFromBuffer(bytes::Bytes pairs);
    bool AddDataRunsfromBuffer(bytes::Bytes pairs, long long startVCN);
    void AddRun(const CDataRun& run) { m_runs.push_back(run); }

    // -1 when no run holds the cluster (or it lies in a sparse run).
    long long GetLCN(long long vcn) const;
    long long GetVCN(long long lcn) const;
    bool IsLCNContained(long long lcn) const { return GetVCN(lcn) != -1; }
    long long GetTotalClusters() const;
    void GetDataRunList(CNTFSDataRunList& out) const;
    bool IsEqual(const CNTFSDataRunList& other) const { return m_runs == other.m_runs; }
    void Sort();
    void ClearDataRunList() { m_runs.clear(); }
    bool IsEmpty() const { return m_runs.empty(); }
    const std::vector<CDataRun>& Runs() const { return m_runs; }

private:
    std::vector<CDataRun> m_runs;
};

// Resident data: one run (the sector of the record holding it, length 1) and
// the value's offset within that record.
class CResidentNTFSDataRunList : public CDataRunList {
public:
    CResidentNTFSDataRunList(long long recordSector, long long offset);
    long long GetOffset() override { return m_offset; }
    int GetDataRunListType() override { return 1; }
    IDataRunList* Clone() override;

private:
    long long m_offset;
};

// Non-resident data: runs of start LCN (-1 sparse) and length, kept as given.
class CNoneResidentNTFSDataRunList : public CDataRunList {
public:
    void AddDataRun(const DataRun* run) override {
        if (run) AppendRun(*run);
    }
    int GetDataRunListType() override { return 2; }
    IDataRunList* Clone() override;
};

// The resident list of a resident attribute at attrOffset in the record at
// recordSector (the value's offset in the record); `size` takes the value
// length. Null for an attribute that is not a valid resident one. The caller
// releases the list.
CResidentNTFSDataRunList* GetDataRunListfromResidentAttributeBuffer(bytes::Bytes attr, long long recordSector,
                                                                    unsigned attrOffset, long long* size);
// A non-resident list of (LCN, length) in list order, and the clusters; null
// for an empty list. The caller releases it.
CNoneResidentNTFSDataRunList* BuildNonResidentDataRunListfromNTFSDataRunList(const CNTFSDataRunList& list,
                                                                             long long* totalClusters);

// A run list in mapping-pairs form (offsets up to 8 bytes), with the offset
// of resident data (0 for non-resident data).
class CCompressedDataRunList {
public:
    // Null for an empty list, a list with a run of no length, a resident list
    // without an offset (or one past 65535), or a non-resident one with one.
    static std::unique_ptr<CCompressedDataRunList> Compress(IDataRunList* list);
    // A new CResidentNTFSDataRunList or CNoneResidentNTFSDataRunList (the
    // caller releases it); null without bytes.
    IDataRunList* Decompress() const;
    std::size_t GetCompressedDataRunSize() const;
    std::uint16_t GetOffset() const { return m_offset; }
    const std::vector<std::uint8_t>& GetBytes() const { return m_bytes; }

private:
    std::uint16_t m_offset = 0;
    std::vector<std::uint8_t> m_bytes;
};

// Readers of a non-resident attribute's runs.
class CNTFSFileRecordDataRunsAttribute {
public:
    // The mapping-pairs area: from its offset to the end of the attribute.
    static bytes::Bytes GetDataRunsBuffer(bytes::Bytes attr);
    static long long GetStartVCN(bytes::Bytes attr);
    static long long GetTotalClusters(bytes::Bytes attr);
    static bool GetDataRunList(bytes::Bytes attr, CNTFSDataRunList& list);
    // Sectors per cluster from the initialised size over the clusters; 0 when
    // either is below 1.
    static unsigned GetSectorsPerCluster(bytes::Bytes attr, unsigned sectorSize);
};

class CNTFSFileRecordAnalyzer {
public:
    // Adds the runs of an unnamed valid non-resident attribute with a
    // non-empty mapping-pairs area, its first VCN added.
    static bool AddDataRunListfromNonResidentAttributeBuffer(bytes::Bytes attr, long long* realSize,
                                                             long long& startVCN, CNTFSDataRunList& list);
    // The unnamed $DATA runs of a whole record; with `check`, uncompressed
    // pieces must hold exactly last VCN + 1 - first VCN clusters.
    static bool AddDataRunListfromFileRecord(const CNTFSFileRecord& record, CNTFSDataRunList& list,
                                             bool check, long long* realSize);
    static bool AddDataRunListfromFileRecordBuffer(bytes::Bytes buffer, CNTFSDataRunList& list, bool check,
                                                   long long* realSize);
    // Sectors per cluster from the $MFT's own data attribute: real size over
    // its clusters, in sectors of sectorSize (512 when 0 or not a multiple of
    // 512), rounded up to a power of two up to 128, 0 beyond. False when the
    // runs cannot be read or hold no clusters.
    static bool GetSectorsPerClusterfrom0x80(const CNTFSFileRecord& record, unsigned& sectorsPerCluster,
                                             unsigned sectorSize = 512);
    // A folder record whose first index allocation is non-resident.
    static bool IsValidFolderFileRecordHavingIndexAllocation(bytes::Bytes buffer);
};
