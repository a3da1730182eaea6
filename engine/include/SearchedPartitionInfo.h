#pragma once
// A partition found or scanned by a searcher. Records handed out by a searcher
// are copies (Clone) that the receiver owns.
#include <cstdint>

// Searcher-owned data hung on a partition record.
class IPrivateData {
public:
    virtual ~IPrivateData() = default;
    virtual void Release() = 0;
};

class CSearchedPartitionInfo {
public:
    explicit CSearchedPartitionInfo(unsigned sectorSize = 512)
        : m_sectorSize(sectorSize != 0 && sectorSize % 512 == 0 ? sectorSize : 512) {}
    virtual ~CSearchedPartitionInfo() = default;
    CSearchedPartitionInfo(const CSearchedPartitionInfo&) = default;
    CSearchedPartitionInfo& operator=(const CSearchedPartitionInfo&) = default;

    // 4 for the base record; derived records name their class (1 FAT, 0 NTFS).
    virtual int GetType() const { return 4; }
    // A new record of the same class holding the same fields.
    virtual CSearchedPartitionInfo* Clone() const { return new CSearchedPartitionInfo(*this); }

    unsigned long long GetTotalSectors() const { return m_totalSectors; }
    void SetTotalSectors(unsigned long long n) { m_totalSectors = n; }
    unsigned GetSectorSize() const { return m_sectorSize; }

    // Fields, in the record's order.
    IPrivateData* m_privateData = nullptr;
    std::uint16_t m_partitionIndex = 0xFFFF;
    std::uint32_t m_fileSystemType = 10;
    std::uint32_t m_sectorsPerCluster = 0;
    std::int64_t m_clusterOrigin = 0; // device sector of cluster 0
    std::int64_t m_startSector = 0;
    std::int64_t m_searcherField1 = 0;
    std::int64_t m_searcherField2 = 0;
    std::uint32_t m_sectorSize = 512;
    std::uint32_t m_searcherField3 = 0;
    std::uint64_t m_totalSectors = 0;
    std::int64_t m_searcherField4 = 1;
    double m_score = 0.0;
    std::uint32_t m_searcherField5 = 0;
    std::uint32_t m_searcherField6 = 0;
};
