#pragma once
// The HFS+ quick scan: the catalog records the journal shows to be deleted,
// then every file and folder of the live catalog, as searcher type 31.
#include "engine/include/Progress.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/SearchedPartitionInfo.h"

#include <memory>

namespace hfsplus {
class CHFSPlusVolume;

// Progress of the catalog walk and the journal scan.
class CHFSPlusQuickFileSystemSearchProgress {
public:
    CHFSPlusQuickFileSystemSearchProgress(IProgress* sink, bool quiet);
    ~CHFSPlusQuickFileSystemSearchProgress();
    CHFSPlusQuickFileSystemSearchProgress(const CHFSPlusQuickFileSystemSearchProgress&) = delete;
    CHFSPlusQuickFileSystemSearchProgress& operator=(const CHFSPlusQuickFileSystemSearchProgress&) = delete;
    void UpdateProgress();
    bool Continued();
    void SetTotal(std::uint64_t total) { m_record.total = total; }
    const _PROGRESS_INFO& Record() const { return m_record; }

private:
    IProgress* m_sink;
    _PROGRESS_INFO m_record;
    bool m_quiet;
};

// Holds the opened volume for the readers of the found files. It belongs to
// the searcher: the partition records that copy the pointer never release it.
class CHFSPlusPrivateData : public IPrivateData {
public:
    explicit CHFSPlusPrivateData(std::unique_ptr<CHFSPlusVolume> volume);
    ~CHFSPlusPrivateData() override;
    void Release() override { m_volume.reset(); }
    CHFSPlusVolume* Volume() const { return m_volume.get(); }

private:
    std::unique_ptr<CHFSPlusVolume> m_volume;
};

// Lists the volume's deleted catalog records (newest first), then walks the
// live catalog, handing each file and folder to builder.
ResultCode QuickSearchVolume(CHFSPlusVolume& volume, IDirecotryTreeBuilder* builder,
                             CHFSPlusQuickFileSystemSearchProgress& progress);

class CHFSPlusQuickFileSystemSearchController : public IQuickFileSystemSearchController {
public:
    CHFSPlusQuickFileSystemSearchController() = default;
    ~CHFSPlusQuickFileSystemSearchController() override;
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) override;
    ResultCode QuickSearchFiles(IStorageDevice* device, IProgress* sink) override;
    CHFSPlusVolume* Volume() const;

private:
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::unique_ptr<CHFSPlusPrivateData> m_privateData;
    IStorageDevice* m_device = nullptr;
    IProgress* m_sink = nullptr;
    std::uint32_t m_blockSize = 0;
};

IQuickFileSystemSearchController* CreateHFSPlusQuickSearcher();

} // namespace hfsplus
