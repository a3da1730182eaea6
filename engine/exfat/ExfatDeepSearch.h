#pragma once
// The exFAT deep searcher: classifies every sector of the device (boot
// sector, first FAT sector, up-case table, folder entries) as the deep scan
// streams it, and at the end rebuilds the exFAT partitions and their trees.
#include "engine/exfat/ExfatFileSet.h"
#include "engine/exfat/ExfatPartitionBuilder.h"
#include "engine/include/SearchInterfaces.h"

#include <memory>
#include <vector>

class CExFatCompleteSearch : public ICompleteFileSystemSearchController {
public:
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    void SetDevice(IStorageDevice* device) override { m_device = device; }
    void SetBlockSize(int sectors) override { m_blockSize = sectors > 0 ? sectors : 0; }
    int PreparetoSearch() override { return 1; }
    void EndSearch(int build) override;
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;

    // Tests.
    const std::vector<std::unique_ptr<CExFatPartitionEx>>& Partitions() const { return m_partitions; }
    CPartitionBuilder& Builder() { return m_partitionBuilder; }
    const CFDTPreAnaylze& Analyser() const { return m_analyser; }

private:
    bool Start();
    void AnalyzeSector(std::int64_t sector, const std::uint8_t* at);
    // A block of at least four sectors lent by the device, analysed in place.
    void AnalyzeInPlace(long long first, long long count, const std::uint8_t* view);
    // The partition's boot sector, read again with its boot region, has the
    // checksum the region keeps and the FAT place the partition was given.
    bool BootPlacesFat(const CExFatPartitionEx& p);
    // Hands every finished fragment to the partition builder with its links.
    void PushFileSets();

    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    long long m_blockSize = 0;
    unsigned m_sectorSize = 0;
    std::int64_t m_totalSectors = 0;
    // Two sectors carried from the previous block, the block, and two zero
    // sectors of look-ahead past the device's end.
    std::vector<std::uint8_t> m_buffer;
    std::int64_t m_expected = -1; // the first sector the next block should start at
    CFDTPreAnaylze m_analyser;
    CPartitionBuilder m_partitionBuilder;
    std::vector<std::unique_ptr<CExFatPartitionEx>> m_partitions;
};

namespace exfat {
ICompleteFileSystemSearchController* CreateEXFatSearcher();
}
