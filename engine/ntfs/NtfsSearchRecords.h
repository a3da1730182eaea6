#pragma once
// What the NTFS searches keep of what they found: the partition candidate and
// the ordinary FILE records.
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/ntfs/NtfsFileRecord.h"

#include <cstdint>

class IFileProperties;

class CSearchedNTFSPartitionInfo : public CSearchedPartitionInfo {
public:
    explicit CSearchedNTFSPartitionInfo(unsigned sectorSize = 512) : CSearchedPartitionInfo(sectorSize) {
        m_fileSystemType = 3;
    }
    int GetType() const override { return 0; }
    CSearchedPartitionInfo* Clone() const override { return new CSearchedNTFSPartitionInfo(*this); }
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

private:
    long long m_first = -1;
    long long m_count = 0;
};

