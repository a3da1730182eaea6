#pragma once
// What the NTFS searches keep of what they found: the partition candidate,
// the metafile records ($MFT, $MFTMirr, $LogFile, $AttrDef, $UpCase,
// $Bitmap), the ordinary FILE records and runs of them, folders with an
// index allocation, and the bundle the deep search hands its tree builder.
//
// Save appends a record's fields to a byte stream (little-endian, a tag
// first); Restore reads them back from the front of a stream and consumes
// them, refusing (false, record unchanged) bytes that are short, of another
// record, or hold values no search makes.
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/ntfs/NtfsDataRuns.h"
#include "engine/ntfs/NtfsFileRecord.h"

#include <cstdint>
#include <memory>
#include <vector>

class IFileProperties;

namespace ntfs {
using RecordStream = std::vector<std::uint8_t>;
// The largest run list a restored record may hold.
inline constexpr std::uint32_t kMaxRestoredRuns = 1u << 16;
} // namespace ntfs

class CSearchedNTFSPartitionInfo : public CSearchedPartitionInfo {
public:
    explicit CSearchedNTFSPartitionInfo(unsigned sectorSize = 512) : CSearchedPartitionInfo(sectorSize) {
        m_fileSystemType = 3;
    }
    int GetType() const override { return 0; }
    CSearchedPartitionInfo* Clone() const override { return new CSearchedNTFSPartitionInfo(*this); }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);
    int IsFileNodeBelongSelf(class CFileNode*) { return 0; }
    int UpdateFileNodeProperty(class CFileNode*) { return 0; }

    void AddPartitionBuildFromFlag(std::uint32_t bits) { m_buildFrom |= bits; }
    void SetPartitionBuildFromFlag(std::uint32_t bits) { m_buildFrom = bits; }
    std::uint32_t GetPartitionBuildFromFlags() const { return m_buildFrom; }
    std::uint64_t GetSerialNumber() const { return m_serial; }
    void SetSerialNumber(std::uint64_t s) { m_serial = s; }
    std::uint32_t GetSectorsperFileRecord() const { return m_sectorsPerRecord; }
    void SetSectorsperFileRecord(std::uint32_t n) { m_sectorsPerRecord = n; }

    std::uint64_t m_serial = 0;
    std::uint32_t m_sectorsPerRecord = 2;
    std::uint32_t m_buildFrom = 0;
    std::uint32_t m_mftLocated = 0;
    std::int64_t m_clusterCount = -1, m_logFileMatches = -1, m_attrDefMatches = -1, m_upCaseMatches = -1;
    std::int64_t m_mftSector = -1;
};

// A metafile's FILE record: its device sector, the runs of its unnamed $DATA
// and its log-file sequence number.
class CMetaFileInfo {
public:
    virtual ~CMetaFileInfo() = default;
    // The record must be valid and its unnamed non-resident $DATA give runs
    // (pieces are not held to their VCN ranges).
    bool InitFromBuffer(const CNTFSFileRecord& record, long long sector);
    bool InitFromBuffer(ntfs::Bytes buffer, long long sector) { return InitFromBuffer(CNTFSFileRecord(buffer), sector); }
    long long GetSectorAddress() const { return m_sector; }
    long long GetFirstClusterNO() const { return m_runs.GetLCN(0); }
    const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
    void GetDataRunList(CNTFSDataRunList& out) const { m_runs.GetDataRunList(out); }
    std::int64_t GetLogFileSequenceNumber() const { return m_lsn; }
    bool Equals(const CMetaFileInfo& other) const {
        return m_sector == other.m_sector && m_lsn == other.m_lsn && m_runs.IsEqual(other.m_runs);
    }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

protected:
    virtual std::uint8_t Tag() const { return 1; }
    // $LogFile and $MFTMirr keep a cluster size too.
    virtual bool KeepsClusterSize() const { return false; }
    long long m_sector = -1;
    CNTFSDataRunList m_runs;
    std::int64_t m_lsn = 0;
    std::uint8_t m_spc = 0;
};

class CAttrDefFileInfo : public CMetaFileInfo {
protected:
    std::uint8_t Tag() const override { return 2; }
};
class CUpCaseFileInfo : public CMetaFileInfo {
protected:
    std::uint8_t Tag() const override { return 3; }
};

// $LogFile and $MFTMirr also keep the cluster size their $DATA implies (0
// when it cannot be told, which these two still accept).
class CClusteredMetaFileInfo : public CMetaFileInfo {
public:
    // sectorSize: the device's, in which the cluster size is counted.
    bool InitFromBuffer(const CNTFSFileRecord& record, long long sector, unsigned sectorSize = 512);
    bool InitFromBuffer(ntfs::Bytes buffer, long long sector, unsigned sectorSize = 512) {
        return InitFromBuffer(CNTFSFileRecord(buffer), sector, sectorSize);
    }
    std::uint8_t GetSectorsPerCluster() const { return m_spc; }

protected:
    bool KeepsClusterSize() const override { return true; }
};
class CLogFileInfo : public CClusteredMetaFileInfo {
protected:
    std::uint8_t Tag() const override { return 4; }
};
class CMFTMirrInfo : public CClusteredMetaFileInfo {
public:
    static std::unique_ptr<CMFTMirrInfo> Build(const CNTFSFileRecord& record, long long sector,
                                               unsigned sectorSize = 512);

protected:
    std::uint8_t Tag() const override { return 5; }
};

// A found $MFT record: its sector, the $MFT's runs and the cluster size its
// $DATA implies (never 0).
class CMFTInfo {
public:
    // Null unless the record initialises and maps VCN 0.
    static std::unique_ptr<CMFTInfo> Build(const CNTFSFileRecord& record, long long sector, unsigned sectorSize = 512);
    bool InitFromBuffer(const CNTFSFileRecord& record, long long sector, unsigned sectorSize = 512);
    bool InitFromBuffer(ntfs::Bytes buffer, long long sector, unsigned sectorSize = 512) {
        return InitFromBuffer(CNTFSFileRecord(buffer), sector, sectorSize);
    }
    long long GetSectorAddress() const { return m_sector; }
    long long GetFirstClusterNO() const { return m_runs.GetLCN(0); }
    const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
    std::uint8_t GetSectorsPerFileRecord() const { return m_spfr; }
    void SetSectorsPerFileRecord(std::uint8_t n) { m_spfr = n; }
    std::uint8_t GetSectorsPerCluster() const { return m_spc; }
    bool Equals(const CMFTInfo& o) const {
        return m_sector == o.m_sector && m_spfr == o.m_spfr && m_spc == o.m_spc && m_runs.IsEqual(o.m_runs);
    }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

private:
    long long m_sector = -1;
    CNTFSDataRunList m_runs;
    std::uint8_t m_spfr = 2;
    std::uint8_t m_spc = 0;
};

// A found $Bitmap record: its sector and the bitmap's size in bytes.
class CBitmapFileInfo {
public:
    bool InitFromBuffer(const CNTFSFileRecord& record, long long sector);
    long long GetSectorAddress() const { return m_sector; }
    long long GetFileSize() const { return m_size; }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

private:
    long long m_sector = -1;
    long long m_size = -1;
};

// One ordinary FILE record found on the device.
class CCommonFileRecordInfo {
public:
    // The record must be held; the parent is the chosen name's folder (the
    // Win32 name over the first), the other name's when the chosen one's is
    // a metafile, else unknown (-1).
    bool InitFromBuffer(const CNTFSFileRecord& record, long long sector);
    bool InitFromBuffer(ntfs::Bytes buffer, long long sector) {
        return InitFromBuffer(CNTFSFileRecord(buffer), sector);
    }
    bool IsDirectory() const { return m_directory != 0; }
    long long GetSectorAddress() const { return m_sector; }
    long long GetFileRecordNumberofParentDirectory() const { return m_parent; }
    void SetFileRecordNumberofParentDirectory(long long n) { m_parent = n; }
    long long GetMFTFileRecordNumber() const { return m_number; }
    void SetMFTFileRecordNumber(long long n) { m_number = n; }
    // Borrowed: forgotten, not freed, with the record info.
    IFileProperties* GetNTFSFileProperties() const { return m_props; }
    void SetNTFSFileProperties(IFileProperties* p) { m_props = p; }
    // The properties are not part of the saved form.
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

private:
    std::uint32_t m_directory = 0;
    long long m_sector = -1;
    long long m_parent = -1;
    IFileProperties* m_props = nullptr;
    long long m_number = -1;
};

// A run of consecutive 2-sector FILE records.
class CCommonFileRecordPositionInfo {
public:
    CCommonFileRecordPositionInfo() = default;
    explicit CCommonFileRecordPositionInfo(long long sector) : m_first(sector), m_count(1) {}
    // Takes the record right after the run.
    bool Merge(long long sector);
    long long GetFirstSector() const { return m_first; }
    long long GetCount() const { return m_count; }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

private:
    long long m_first = -1;
    long long m_count = 0;
};

// A folder record with an index allocation: where its INDX records lie.
class CFolderIndexAllocationInfo {
public:
    // A valid base folder record (not the root folder) whose first index
    // allocation has valid mapping pairs and a cluster size.
    bool InitFromBuffer(ntfs::Bytes buffer, long long sector, unsigned sectorSize = 512);
    long long GetSectorAddress() const { return m_sector; }
    long long GetFirstClusterNO() const { return m_runs.GetLCN(0); }
    long long GetLCN(long long vcn) const { return m_runs.GetLCN(vcn); }
    long long GetMFTFileRecordNumber() const { return m_number; }
    bool HasXPNumberOfthisMFTRecord() const { return m_hasXp != 0; }
    std::uint32_t GetXPNumberOfthisMFTRecord() const { return m_xpNumber; }
    std::uint32_t GetSectorsPerCluster() const { return m_spc; }
    std::int64_t GetLogFileSequenceNumber() const { return m_lsn; }
    const CNTFSDataRunList& GetDataRunList() const { return m_runs; }
    void Save(ntfs::RecordStream& out) const;
    bool Restore(ntfs::Bytes& in);

private:
    long long m_sector = -1;
    CNTFSDataRunList m_runs;
    std::int64_t m_lsn = 0;
    long long m_number = -1;
    std::uint32_t m_xpNumber = 0;
    std::uint32_t m_hasXp = 0;
    std::uint32_t m_spc = 0;
};

class CFindFileFromLogFile;
// One found $MFT with the log-file finder made for it.
struct FindFileMFTAndLogx {
    CMFTInfo* mft = nullptr; // owned by the searcher's $MFT list
    std::unique_ptr<CFindFileFromLogFile> finder;
    bool analysed = false;
    FindFileMFTAndLogx();
    FindFileMFTAndLogx(FindFileMFTAndLogx&&) noexcept;
    ~FindFileMFTAndLogx();
};

using MFTInfoList = std::vector<std::unique_ptr<CMFTInfo>>;
using FileRecordPositionList = std::vector<CCommonFileRecordPositionInfo>;
using MFTAndLogList = std::vector<FindFileMFTAndLogx>;

// What the deep search hands its tree builder for one build: borrowed lists.
class CNTFSIntelligentSearchInfo {
public:
    void Init(MFTInfoList* mftList, FileRecordPositionList* positions, MFTAndLogList* logMatches) {
        m_mft = mftList;
        m_positions = positions;
        m_logMatches = logMatches;
    }
    MFTInfoList* GetMFTInfoList() const { return m_mft; }
    FileRecordPositionList* GetFileRecordPositionList() const { return m_positions; }
    MFTAndLogList* GetMFTAndLogList() const { return m_logMatches; }

private:
    MFTInfoList* m_mft = nullptr;
    FileRecordPositionList* m_positions = nullptr;
    MFTAndLogList* m_logMatches = nullptr;
};
