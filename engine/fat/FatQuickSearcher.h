#pragma once
// The quick searcher of one FAT12, FAT16 or FAT32 volume: validates the boot
// sector (or the FAT32 backup), opens the allocation table, records the
// partition and lists every live and deleted entry reachable from the root.
#include "engine/fat/FatSearchedPartitionInfo.h"
#include "engine/include/SearchInterfaces.h"

#include <memory>
#include <vector>

namespace fat {
inline constexpr ResultCode kQuickNoDeviceOrSink = MakeResult(ResultLib::FatSearch, 78, 5);
inline constexpr ResultCode kQuickNoBuilder = MakeResult(ResultLib::FatSearch, 83, 7);
inline constexpr ResultCode kQuickNotFat = MakeResult(ResultLib::FatSearch, 97, 12);
inline constexpr ResultCode kQuickNotVolume = MakeResult(ResultLib::FatSearch, 129, 3);
inline constexpr ResultCode kQuickNoVolumeData = MakeResult(ResultLib::FatSearch, 136, 7);
inline constexpr ResultCode kQuickNoVolumeRecord = MakeResult(ResultLib::FatSearch, 143, 7);
inline constexpr ResultCode kQuickNoMemory = MakeResult(ResultLib::FatSearch, 180, 4);
inline constexpr ResultCode kQuickNoValidBoot = MakeResult(ResultLib::FatSearch, 202, 12);
inline constexpr ResultCode kQuickNoFatTable = MakeResult(ResultLib::FatSearch, 216, 7);
inline constexpr ResultCode kQuickNoRecord = MakeResult(ResultLib::FatSearch, 262, 2);

IQuickFileSystemSearchController* CreateFATQuickSearcher();
} // namespace fat

class CFATQuickSearcher : public IQuickFileSystemSearchController {
public:
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // The number of records (0 or 1); a copy of the record goes to array[0]
    // when the array is given and has room. The caller owns the copy.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    // Ends with the finished record {3, 100, 100} once a sink is given.
    ResultCode QuickSearchFiles(IStorageDevice* volume, IProgress* sink) override;

private:
    ResultCode GetFsType(IStorageDevice* device, unsigned& kind) const;
    ResultCode FatQuickSearchFiles(unsigned kind, IProgress* sink);

    IDirecotryTreeBuilder* m_builder = nullptr;
    std::vector<std::unique_ptr<CFATSearchedPartitionInfo>> m_records;
    IStorageDevice* m_device = nullptr;
    IProgress* m_sink = nullptr;
};
