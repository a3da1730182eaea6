#pragma once
// The HFS+ deep searcher: looks at every sector the deep scan streams for a
// volume header, a journal info block, a journal header or a B-tree node;
// keeps one partition record per volume met, turns the records of every
// catalog leaf into file nodes of the volume they belong to, and at the end
// settles each volume's start and size.
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusKeys.h"
#include "engine/include/SearchInterfaces.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class CPartitionVirtualVolumeDevice;

namespace hfsplus {

class CHFSPlusVolume;

// One possible HFS+ volume on the device.
struct CompleteSearchPatition {
    CompleteSearchPatition();
    ~CompleteSearchPatition();
    CompleteSearchPatition(const CompleteSearchPatition&) = delete;
    CompleteSearchPatition& operator=(const CompleteSearchPatition&) = delete;

    std::int64_t startSector = 0;
    std::int64_t sectorCount = 0;
    std::uint32_t blockSize = 4096;
    std::uint32_t files = 0, folders = 0;
    std::optional<HFSPlusVolumeHeader> header;
    std::int64_t headerSector = -1;
    std::uint64_t headerByte = 0; // where on the device the header was read
    // The start was confirmed by the catalog's header node lying where it puts it.
    bool startKnown = false;
    // The window the volume is read through; declared before the volume,
    // which reads through it and so must go first.
    std::unique_ptr<CPartitionVirtualVolumeDevice> partitionDevice;
    std::unique_ptr<CHFSPlusVolume> volume;
    std::vector<HFSPlusExtentDescriptor> catalogExtents; // where the opened volume's live catalog lies
    std::optional<JournalInfoBlock> journalInfo;
    std::int64_t journalInfoSector = -1;
    std::optional<JournalHeader> journalHeader;
    std::int64_t journalHeaderSector = -1;
    std::uint16_t partitionIndex = 0;
};

class CHFSPlusCompleteFileSystemSearchController : public ICompleteFileSystemSearchController {
public:
    CHFSPlusCompleteFileSystemSearchController();
    ~CHFSPlusCompleteFileSystemSearchController() override;

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    // The number of records; the array is filled (new records the caller
    // owns) only when it has room for all of them.
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectors) override { m_blockSize = sectors > 0 ? static_cast<std::uint32_t>(sectors) : 0; }
    int PreparetoSearch() override;
    void EndSearch(int build) override;
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;
    void SetIProgressSink(IProgress* sink) override { m_sink = sink; }

    // Tests.
    const std::vector<std::unique_ptr<CompleteSearchPatition>>& Partitions() const { return m_partitions; }

private:
    bool UsableSectorSize() const;
    // The tests on one sector held in memory at `at`, with `available` bytes
    // from it on (the sector and what follows it in the buffer).
    bool TestVolumeHeader(long long sector, const std::uint8_t* at);
    bool TestJournalInfoBlock(long long sector, const std::uint8_t* at);
    bool TestJournalHeader(long long sector, const std::uint8_t* at);
    // Sectors to advance past a node found at sector; 0 when none is there.
    long long TestBTreeNode(long long sector, const std::uint8_t* at, std::size_t available, long long remaining);
    void AnalyzeNode(long long sector, const std::uint8_t* bytes, std::size_t size);

    void UpDataPartitionInfo(const HFSPlusVolumeHeader& header, long long sector, std::uint64_t byte);
    void TakeHeader(CompleteSearchPatition& record, const HFSPlusVolumeHeader& header, long long sector,
                    std::uint64_t byte);
    // True when the catalog file's header node of the volume lies where a
    // volume starting at `start` would have it.
    bool IsCatalogAt(const HFSPlusVolumeHeader& header, long long start);
    // Whether the record is one of the journal's own files of that volume.
    static bool IsJournalFileOf(const CompleteSearchPatition& partition, const BTKey& key,
                                const HFSPlusCatalogRecord& record);
    // Whether the record comes from a leaf outside the volume's live catalog
    // (the journal, free space) and that catalog holds it no more (same key
    // and id): a record the journal shows deleted, or would where it cannot
    // be read.
    bool IsLeftOver(CompleteSearchPatition& partition, long long sector, const BTKey& key,
                    const HFSPlusCatalogRecord& record) const;
    // True when the volume's live catalog holds the file of this record (same
    // key and id) as a different version: the record is an older copy.
    static bool IsOlderVersion(CompleteSearchPatition& partition, const BTKey& key,
                               const HFSPlusCatalogRecord& record);
    // Makes the node of one catalog record of the partition and hands it to
    // the builder (the journal's own files excepted).
    void HandOver(CompleteSearchPatition& partition, long long sector, const BTKey& key,
                  const HFSPlusCatalogRecord& record, bool deleted);
    CompleteSearchPatition* AdjustNodeBelongsPartitionIndex(const HFSPlusCatalogRecord& record, long long sector);
    bool OpenVolume(CompleteSearchPatition& record);
    // The block [first, first + count) and what follows it up to the largest
    // node; false when nothing of it can be read. Where the device lends the
    // block, it is read in place and only its last node's worth of sectors and
    // the look-ahead are copied.
    bool ReadChunk(long long first, long long count, long long lookahead);
    // The sectors a node is read from at most.
    long long NodeSpan() const;

    IStorageDevice* m_device = nullptr;
    IDirecotryTreeBuilder* m_builder = nullptr;
    std::uint32_t m_blockSize = 0;
    std::uint32_t m_sectorSize = 0;
    std::uint64_t m_totalSectors = 0;
    std::vector<std::unique_ptr<CompleteSearchPatition>> m_partitions;
    const std::uint8_t* m_view = nullptr; // the lent block, when it is
    long long m_viewSectors = 0;          // sectors examined in place: whole nodes fit in the view from them
    std::vector<std::uint8_t> m_buffer;   // the rest of the block and the look-ahead after it
    std::vector<std::uint8_t> m_readable; // per buffered sector: 1 when it was read
    ResultCode m_result = 0;
    IProgress* m_sink = nullptr;
    std::uint64_t m_catalogBytes = 0; // catalogs of the volumes opened so far
};

ICompleteFileSystemSearchController* CreateHFSPlusSearcher();

} // namespace hfsplus
