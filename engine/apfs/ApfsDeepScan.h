#pragma once
// The APFS searcher of a deep scan. It looks at the device in 4096-byte blocks
// and recognises, by content alone, container superblocks (a container is then
// read through its object maps at once), a volume superblock when no container
// is known (a lone volume), and file-system-tree nodes outside the live trees
// of the known containers. There is no APFS quick search.
#include "engine/apfs/ApfsContainerReader.h"
#include "engine/include/SearchInterfaces.h"

#include <map>
#include <memory>
#include <vector>

namespace apfs {

class APFSDeepScan : public ICompleteFileSystemSearchController, public APFSDelegate {
public:
    // Blocks read and tested at once.
    static constexpr int kGroupBlocks = 16;

    APFSDeepScan();
    ~APFSDeepScan() override;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int) override {}
    int PreparetoSearch() override { return 1; }
    void EndSearch(int build) override;
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;
    void SetIProgressSink(IProgress* sink) override { m_sink = sink; }

    // APFSDelegate
    bool IsContinue() override;
    int AddFileNode(APFSFileNode* node) override;
    int ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int byteCount, std::uint8_t* buffer) override;

    // Tests: the readers by key sector.
    const std::map<std::uint64_t, std::unique_ptr<APFSContainerReader>>& Containers() const { return m_containers; }

private:
    void AnalyzeOne(std::uint64_t block, Block data);
    bool ClaimContainer(std::uint64_t sector, Block data);
    bool ClaimLoneVolume(std::uint64_t sector, Block data);
    std::unique_ptr<APFSContainerReader> NewReader(std::uint32_t index, std::uint64_t startSector);

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    IProgress* m_sink = nullptr;
    std::map<std::uint64_t, std::unique_ptr<APFSContainerReader>> m_containers;
    std::uint32_t m_sectorSize = 512;
    std::vector<std::uint8_t> m_buffer;
};

ICompleteFileSystemSearchController* CreateAPFSDeepSearcher();
// APFS has no quick search.
IQuickFileSystemSearchController* CreateAPFSQuickSearcher();

} // namespace apfs
