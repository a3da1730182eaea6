#pragma once
// The partition record of one FAT partition found or scanned by a FAT searcher.
#include "engine/include/SearchedPartitionInfo.h"

#include <cstdint>

class CFATSearchedPartitionInfo : public CSearchedPartitionInfo {
public:
    // Flag word bits: what confirmed the partition.
    static constexpr std::uint32_t kFlagFat12Boot = 0x1;
    static constexpr std::uint32_t kFlagFat16Boot = 0x2;
    static constexpr std::uint32_t kFlagFat32Boot = 0x4;
    static constexpr std::uint32_t kFlagFat32BackupBoot = 0x8;
    static constexpr std::uint32_t kFlagFromSubFolder = 0x10;
    static constexpr std::uint32_t kFlagFirstFatSeen = 0x40 | 0x80;
    static constexpr std::uint32_t kFlagSecondFatSeen = 0x100 | 0x200;
    static constexpr std::uint32_t kQuickFlagsFat32 = 0x3CC;
    static constexpr std::uint32_t kQuickFlagsFat16 = 0x3C3;

    explicit CFATSearchedPartitionInfo(unsigned sectorSize = 512) : CSearchedPartitionInfo(sectorSize) {}

    static CFATSearchedPartitionInfo* CreateFATSearchedPartitionInfo(unsigned sectorSize) {
        return new CFATSearchedPartitionInfo(sectorSize);
    }
    static void DestroyFATSearchedPartitionInfo(CSearchedPartitionInfo* p) { delete p; }

    int GetType() const override { return 1; }
    // A new record with the geometry and flags; the searcher fields and the
    // score keep their initial values.
    CSearchedPartitionInfo* Clone() const override;

    void SetSectorPerFAT(std::uint32_t n) { m_sectorsPerFat = n; }
    void SetTotalCluster(std::uint32_t n) { m_totalClusters = n; }
    void SetStartSector(std::int64_t s) { m_startSector = s; }
    void SetReservedSector(std::uint16_t n) { m_reservedSectors = n; }
    // FAT32: the root cluster; FAT12/16: the root area's sector count.
    void SetRootInfo(std::uint32_t v) { m_rootInfo = v; }
    void MergeFlag(std::uint32_t bits) { m_flag |= bits; }
    std::int64_t GetStartSector() const { return m_startSector; }
    std::uint16_t GetReservedSector() const { return m_reservedSectors; }
    std::uint32_t GetSectorPerFAT() const { return m_sectorsPerFat; }
    std::uint32_t GetTotalCluster() const { return m_totalClusters; }
    std::uint32_t GetRootInfo() const { return m_rootInfo; }
    std::uint32_t GetFlag() const { return m_flag; }

private:
    std::uint16_t m_reservedSectors = 0;
    std::uint32_t m_sectorsPerFat = 0;
    std::uint32_t m_totalClusters = 0;
    std::uint32_t m_rootInfo = 0;
    std::uint32_t m_flag = 0;
};
