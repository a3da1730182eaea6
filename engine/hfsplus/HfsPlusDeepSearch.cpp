#include "engine/hfsplus/HfsPlusDeepSearch.h"

#include "engine/common/Bytes.h"
#include "engine/device/StorageDevices.h"
#include "engine/hfsplus/HfsPlusBTree.h"
#include "engine/hfsplus/HfsPlusFileNode.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/include/BlockView.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <cstring>
#include <new>

using namespace bytes;

namespace hfsplus {

namespace {
constexpr std::size_t kPiece = 512;
constexpr std::size_t kMaxNode = 32768;
constexpr std::size_t kInfoBlockBytes = 180;
constexpr std::size_t kJournalHeaderBytes = 44;
// Blocks are examined in pieces of at most this many bytes, whatever block
// size the caller asks for.
constexpr std::size_t kMaxChunkBytes = 4u << 20;
// Each opened volume holds its catalog in memory (up to 256 MiB): the volumes
// of one scan together hold no more than this, however many headers a
// damaged or crafted disk shows. Real disks stay far below it.
constexpr std::uint64_t kCatalogBudget = 1ull << 30;
constexpr std::uint64_t kMaxCatalogCache = 256ull << 20;

bool IsZero(const std::uint8_t* p, std::size_t n) {
    return std::all_of(p, p + n, [](std::uint8_t b) { return b == 0; });
}
bool HasSignature(const std::uint8_t* p) { return p[0] == 'H' && (p[1] == '+' || p[1] == 'X'); }
// A node descriptor the search takes: a leaf of height 1 or a header node of
// height 0 (index and map nodes hold nothing a file can be made from).
bool IsNodeCandidate(const std::uint8_t* p) {
    if (p[12] != 0 || p[13] != 0) return false;
    const auto kind = static_cast<std::int8_t>(p[8]);
    return (kind == kLeafNode && p[9] == 1) || (kind == kHeaderNode && p[9] == 0);
}
} // namespace

CompleteSearchPatition::CompleteSearchPatition() = default;
CompleteSearchPatition::~CompleteSearchPatition() = default;

CHFSPlusCompleteFileSystemSearchController::CHFSPlusCompleteFileSystemSearchController() = default;
CHFSPlusCompleteFileSystemSearchController::~CHFSPlusCompleteFileSystemSearchController() = default;

void CHFSPlusCompleteFileSystemSearchController::SetDevice(IStorageDevice* device) {
    m_device = device;
    m_sectorSize = device ? device->GetSectorSize() : 0;
    m_totalSectors = device ? device->GetTotalSectors() : 0;
    m_buffer.clear();
}

long long CHFSPlusCompleteFileSystemSearchController::NodeSpan() const {
    return static_cast<long long>((kMaxNode + m_sectorSize - 1) / m_sectorSize);
}

bool CHFSPlusCompleteFileSystemSearchController::UsableSectorSize() const {
    return m_sectorSize >= kPiece && m_sectorSize % kPiece == 0 && m_sectorSize <= kMaxNode;
}

int CHFSPlusCompleteFileSystemSearchController::PreparetoSearch() {
    m_partitions.clear();
    m_catalogBytes = 0;
    if (m_builder) m_builder->AddSearcherInfo(SEARCHER_HFSPLUS, kRootFolderId);
    if (!m_device || !UsableSectorSize()) return 1;
    std::vector<std::uint8_t> first(m_sectorSize);
    if (m_device->ReadSector(first.data(), 0, 1) == 0) return 1;
    long long start = 0;
    // Behind a protective table the first partition begins at 20 KiB at the
    // earliest, rounded to 4 KiB (sector 40 of 512 bytes, 6 of 4096).
    if (first[450] == 0xEE && first[510] == 0x55 && first[511] == 0xAA)
        start = static_cast<long long>((2ull * m_sectorSize + 20479) / 4096 * 4096 / m_sectorSize);
    auto record = std::make_unique<CompleteSearchPatition>();
    record->startSector = start;
    record->sectorCount = static_cast<long long>(m_totalSectors) > start ? static_cast<long long>(m_totalSectors) - start : 0;
    m_partitions.push_back(std::move(record));
    return 1;
}

bool CHFSPlusCompleteFileSystemSearchController::ReadChunk(long long first, long long count, long long lookahead) {
    const std::size_t ss = m_sectorSize;
    m_view = ViewSectors(m_device, first, count);
    m_viewSectors = m_view ? std::max(0LL, count - (NodeSpan() - 1)) : 0;
    const long long copied = first + m_viewSectors;
    const long long sectors = count + lookahead - m_viewSectors;
    m_buffer.resize(static_cast<std::size_t>(sectors) * ss);
    m_readable.assign(static_cast<std::size_t>(sectors), 1);
    if (sectors == 0 || m_device->ReadSector(m_buffer.data(), copied, sectors) != 0) return true;
    // One bad sector spoils the whole read: take the sectors one by one so
    // that the others are still examined.
    bool any = m_viewSectors > 0;
    for (long long i = 0; i < sectors; ++i) {
        std::uint8_t* at = m_buffer.data() + static_cast<std::size_t>(i) * ss;
        if (m_device->ReadSector(at, copied + i, 1) != 0) {
            any = true;
        } else {
            std::memset(at, 0, ss);
            m_readable[static_cast<std::size_t>(i)] = 0;
        }
    }
    return any;
}

int CHFSPlusCompleteFileSystemSearchController::AnalyzeBlock(long long firstSector, long long sectorCount) {
    if (!m_device) {
        m_result = MakeResult(ResultLib::HfsPlus, 60, kErrMissing);
        CatchExeception::WriteLog("Error:%u\n", static_cast<unsigned>(kErrMissing));
        return 1;
    }
    if (!UsableSectorSize() || firstSector < 0 || sectorCount <= 0) return 1;
    const long long total = static_cast<long long>(m_totalSectors);
    if (firstSector >= total) return 1;
    const long long end = std::min(total, firstSector + std::min(sectorCount, total - firstSector));
    const std::size_t ss = m_sectorSize;
    const long long chunkSectors = static_cast<long long>(std::max<std::size_t>(1, kMaxChunkBytes / ss));
    const long long nodeSectors = static_cast<long long>(kMaxNode / ss);

    long long s = firstSector;
    while (s < end) {
        const long long chunkFirst = s;
        const long long chunkCount = std::min(end - s, chunkSectors);
        // A node that begins near the chunk's end is read whole from what follows.
        const long long lookahead = std::min(nodeSectors - 1, total - (chunkFirst + chunkCount));
        if (!ReadChunk(chunkFirst, chunkCount, lookahead)) {
            s = chunkFirst + chunkCount;
            continue;
        }
        const long long buffered = chunkCount + lookahead - m_viewSectors;
        while (s < chunkFirst + chunkCount) {
            const long long k = s - chunkFirst;
            const bool inView = k < m_viewSectors;
            // Index into the copied sectors.
            const std::size_t i = static_cast<std::size_t>(inView ? 0 : k - m_viewSectors);
            if (!inView && !m_readable[i]) {
                ++s;
                continue;
            }
            const std::uint8_t* at = inView ? m_view + static_cast<std::size_t>(k) * ss : m_buffer.data() + i * ss;
            if (TestVolumeHeader(s, at) || TestJournalInfoBlock(s, at) || TestJournalHeader(s, at)) {
                ++s;
                continue;
            }
            if (!IsNodeCandidate(at)) {
                ++s;
                continue;
            }
            // A node is read only from sectors that were read; in the view a
            // whole node's sectors always are.
            std::size_t readable = inView ? static_cast<std::size_t>(NodeSpan()) : 0;
            while (!inView && static_cast<long long>(i + readable) < buffered && m_readable[i + readable] &&
                   readable * ss < kMaxNode)
                ++readable;
            s += std::max(1LL, TestBTreeNode(s, at, readable * ss, end - s));
        }
    }
    return 1;
}

// ---- the tests --------------------------------------------------------------

bool CHFSPlusCompleteFileSystemSearchController::TestVolumeHeader(long long sector, const std::uint8_t* at) {
    const std::size_t pieces = m_sectorSize / kPiece;
    bool signature = false;
    for (std::size_t p = 0; p < pieces && !signature; ++p) signature = HasSignature(at + p * kPiece);
    if (!signature) return false;

    unsigned valid = 0;
    bool examined = true;
    HFSPlusVolumeHeader header;
    std::size_t piece = 0;
    for (std::size_t p = 0; p < pieces; ++p) {
        const std::uint8_t* bytes = at + p * kPiece;
        if (IsZero(bytes, kPiece)) continue;
        if (!IsValidVolumeHeader(bytes, kPiece)) {
            examined = false;
            break;
        }
        header = ReadVolumeHeader(Bytes(bytes, kPiece));
        piece = p;
        ++valid;
        CatchExeception::WriteLog("Find VolumeHeader SectorNumber[%llx],VolumeID[%llx]\n",
                                  static_cast<unsigned long long>(sector),
                                  static_cast<unsigned long long>(header.VolumeId()));
    }
    if (valid == 0) return false;
    // Two headers in one sector cannot both be a volume's: neither is trusted.
    if (examined && valid == 1)
        UpDataPartitionInfo(header, sector, static_cast<std::uint64_t>(sector) * m_sectorSize + piece * kPiece);
    return true;
}

bool CHFSPlusCompleteFileSystemSearchController::TestJournalInfoBlock(long long sector, const std::uint8_t* at) {
    if (at[kInfoBlockBytes] != 0xDB) return false;
    const Bytes b(at, m_sectorSize);
    JournalInfoBlock info{Be32(b, 0), Be64(b, 36), Be64(b, 44)};
    if (info.offset % 512 != 0 || info.size % 512 != 0) return false;
    if (!IsZero(at + 52, kInfoBlockBytes - 52)) return false;
    if (!std::all_of(at + kInfoBlockBytes, at + m_sectorSize, [](std::uint8_t v) { return v == 0xDB; })) return false;
    CatchExeception::WriteLog("Find JournalInfoBlock:0x%llx\n", static_cast<unsigned long long>(sector));
    if (m_partitions.empty()) {
        CatchExeception::WriteLog("Error:%d\n", 442);
        return true;
    }
    CompleteSearchPatition& last = *m_partitions.back();
    if (!last.journalInfo) {
        last.journalInfo = info;
        last.journalInfoSector = sector;
    }
    return true;
}

bool CHFSPlusCompleteFileSystemSearchController::TestJournalHeader(long long sector, const std::uint8_t* at) {
    const Bytes b(at, m_sectorSize);
    if (Le32(b, 0) != kJournalMagic || Le32(b, 4) != kJournalEndian) return false;
    CatchExeception::WriteLog("Find JournalHeader:0x%llx\n", static_cast<unsigned long long>(sector));
    if (m_partitions.empty()) {
        CatchExeception::WriteLog("Error:%d\n", 478);
        return true;
    }
    CompleteSearchPatition& last = *m_partitions.back();
    if (!last.journalHeader) {
        JournalHeader h;
        h.magic = Le32(b, 0);
        h.endian = Le32(b, 4);
        h.start = Le64(b, 8);
        h.end = Le64(b, 16);
        h.size = Le64(b, 24);
        h.blhdr_size = Le32(b, 32);
        h.checksum = Le32(b, 36);
        h.jhdr_size = Le32(b, 40);
        static_assert(kJournalHeaderBytes == 44);
        last.journalHeader = h;
        last.journalHeaderSector = sector;
    }
    return true;
}

long long CHFSPlusCompleteFileSystemSearchController::TestBTreeNode(long long sector, const std::uint8_t* at,
                                                                    std::size_t available, long long remaining) {
    if (!IsNodeCandidate(at)) return 0;
    for (std::size_t size = m_sectorSize; size <= kMaxNode && size <= available; size *= 2) {
        if (!CHFSPlusBTNode::IsValidNode(at, size)) continue;
        AnalyzeNode(sector, at, size);
        return std::min(remaining, static_cast<long long>(size / m_sectorSize));
    }
    return 0;
}

// ---- partition records ---------------------------------------------------------

bool CHFSPlusCompleteFileSystemSearchController::IsCatalogAt(const HFSPlusVolumeHeader& header, long long start) {
    if (start < 0 || header.blockSize == 0) return false;
    const std::uint64_t node =
        static_cast<std::uint64_t>(start) * m_sectorSize + std::uint64_t{header.catalogFile.extents[0].startBlock} * header.blockSize;
    const std::uint64_t sector = node / m_sectorSize;
    if (sector >= m_totalSectors || header.catalogFile.extents[0].blockCount == 0) return false;
    std::vector<std::uint8_t> bytes(m_sectorSize);
    if (m_device->ReadSector(bytes.data(), static_cast<long long>(sector), 1) == 0) return false;
    // Block sizes are multiples of 512, so the node's first 512 bytes lie in this sector.
    const Bytes b = Bytes(bytes).subspan(node % m_sectorSize);
    if (Be16(b, 12) != 0 || static_cast<std::int8_t>(U8(b, 8)) != kHeaderNode || U8(b, 9) != 0 || Be16(b, 10) != 3)
        return false;
    const std::uint32_t nodeSize = Be16(b, 14 + 18);
    const std::uint32_t totalNodes = Be32(b, 14 + 22);
    if (nodeSize < 512 || nodeSize > kMaxNode || (nodeSize & (nodeSize - 1)) != 0 || totalNodes == 0) return false;
    return std::uint64_t{nodeSize} * totalNodes <= header.catalogFile.logicalSize;
}

void CHFSPlusCompleteFileSystemSearchController::TakeHeader(CompleteSearchPatition& record,
                                                            const HFSPlusVolumeHeader& header, long long sector,
                                                            std::uint64_t byte) {
    record.header = header;
    record.headerSector = sector;
    record.headerByte = byte;
    // Read as a volume's first header, it places the volume 1024 bytes before
    // itself; the catalog's header node confirms it (an alternate header at
    // the volume's end does not) before the start moves.
    if (byte < kVolumeHeaderOffset || (byte - kVolumeHeaderOffset) % m_sectorSize != 0) return;
    const long long start = static_cast<long long>((byte - kVolumeHeaderOffset) / m_sectorSize);
    if (!IsCatalogAt(header, start)) return;
    record.startSector = start;
    record.startKnown = true;
    const std::uint64_t size = std::uint64_t{header.blockSize} * header.totalBlocks / m_sectorSize;
    record.sectorCount = static_cast<long long>(std::min<std::uint64_t>(m_totalSectors - static_cast<std::uint64_t>(start), size));
}

void CHFSPlusCompleteFileSystemSearchController::UpDataPartitionInfo(const HFSPlusVolumeHeader& header,
                                                                     long long sector, std::uint64_t byte) {
    if (m_partitions.empty()) {
        CatchExeception::WriteLog("Error:%d\n", 379);
        return;
    }
    CompleteSearchPatition& last = *m_partitions.back();
    if (!last.header) {
        TakeHeader(last, header, sector, byte);
        return;
    }
    const bool matched = std::any_of(m_partitions.begin(), m_partitions.end(), [&](const auto& r) {
        return r->header && (r->header->VolumeId() == header.VolumeId() || r->header->createDate == header.createDate);
    });
    const std::uint64_t size = std::uint64_t{header.blockSize} * header.totalBlocks / m_sectorSize;
    if (!matched && size < m_totalSectors) {
        auto record = std::make_unique<CompleteSearchPatition>();
        // Until the catalog confirms it, the volume is taken to begin 1024
        // bytes before the header (never before the device).
        const long long start =
            byte >= kVolumeHeaderOffset ? static_cast<long long>((byte - kVolumeHeaderOffset) / m_sectorSize) : 0;
        record->startSector = start;
        record->sectorCount =
            static_cast<long long>(std::min<std::uint64_t>(m_totalSectors - static_cast<std::uint64_t>(start), size));
        record->partitionIndex = static_cast<std::uint16_t>(m_partitions.size());
        TakeHeader(*record, header, sector, byte);
        m_partitions.push_back(std::move(record));
        return;
    }
    if (header.totalBlocks > last.header->totalBlocks) last.header->totalBlocks = header.totalBlocks;
}

bool CHFSPlusCompleteFileSystemSearchController::OpenVolume(CompleteSearchPatition& record) {
    if (record.partitionIndex != 0 && (record.startSector < 1 || record.sectorCount < 2)) return false;
    if (record.sectorCount < 1) return false;
    // Every volume is read through a window at its own start: the device
    // itself is the same thing only for a volume at sector 0.
    record.partitionDevice = std::make_unique<CPartitionVirtualVolumeDevice>(m_device, record.startSector,
                                                                             record.sectorCount);
    const HFSPlusVolumeHeader& h = *record.header;
    const std::uint64_t catalog =
        std::min({std::uint64_t{h.catalogFile.totalBlocks} * h.blockSize, kMaxCatalogCache,
                  static_cast<std::uint64_t>(record.sectorCount) * m_sectorSize});
    if (catalog > kCatalogBudget - m_catalogBytes) return false;
    m_catalogBytes += catalog;
    auto volume = std::make_unique<CHFSPlusVolume>(record.partitionDevice.get(), false);
    if (volume->GetLastError() != 0) return false;
    record.volume = std::move(volume);
    record.catalogExtents = record.volume->ForkExtents(kCatalogFileId, 0, record.volume->Header()->catalogFile, false);
    // A volume at the device's very start is listed whole at once, with the
    // files its journal shows to have been deleted.
    if (record.partitionIndex == 0 && record.startSector == 0 && record.headerByte == kVolumeHeaderOffset &&
        m_builder) {
        CHFSPlusQuickFileSystemSearchProgress quiet(m_sink, true);
        QuickSearchVolume(*record.volume, m_builder, quiet);
        record.files += record.header->fileCount;
        record.folders += record.header->folderCount;
    } else if (record.volume->Journal()) {
        // Elsewhere the files come from the catalog leaves the scan meets: the
        // journal tells which of them were deleted, and keeps the overflow
        // extents and compression headers that such files still need.
        CHFSPlusQuickFileSystemSearchProgress quiet(m_sink, true);
        record.volume->Journal()->GetDeleteRecord([&] { return quiet.Continued(); }, [] {});
        // Listed as the quick scan lists them: the scan itself meets only the
        // journal's leaves that begin on a sector (the copies it meets are
        // the same nodes, or older versions told deleted by IsLeftOver).
        for (const auto& entry : record.volume->m_deletedCatalog) HandOver(record, 0, entry.key, entry.record, true);
        record.volume->m_deletedCatalog.clear();
    }
    return true;
}

CompleteSearchPatition*
CHFSPlusCompleteFileSystemSearchController::AdjustNodeBelongsPartitionIndex(const HFSPlusCatalogRecord& record,
                                                                            long long sector) {
    const std::uint32_t id = record.id;
    const std::uint32_t date = record.createDate;
    if ((id == 0 && date == 0) || m_partitions.empty()) return nullptr;
    for (auto it = m_partitions.rbegin(); it != m_partitions.rend(); ++it) {
        CompleteSearchPatition& p = **it;
        if (!p.header) continue;
        const HFSPlusVolumeHeader& h = *p.header;
        if ((h.attributes & 0xC) != 0xC && h.nextCatalogID < id) continue;
        if (h.modifyDate < date && p.partitionIndex != 0) continue;
        if (p.startSector + p.sectorCount < sector) continue;
        if (p.volume) return &p;
        if (p.partitionDevice) continue; // its volume could not be opened
        if (OpenVolume(p)) return &p;
    }
    return m_partitions.front().get();
}

bool CHFSPlusCompleteFileSystemSearchController::IsJournalFileOf(const CompleteSearchPatition& partition,
                                                                 const BTKey& key, const HFSPlusCatalogRecord& record) {
    // The opened volume's own header and info block name them; a volume that
    // did not open has the header and info block the scan met.
    if (partition.volume && partition.volume->Header() && partition.volume->Journal())
        return IsJournalFile(*partition.volume->Header(), partition.volume->Journal()->Info(), key, record);
    return partition.header && IsJournalFile(*partition.header, partition.journalInfo, key, record);
}

bool CHFSPlusCompleteFileSystemSearchController::IsLeftOver(CompleteSearchPatition& partition, long long sector,
                                                            const BTKey& key, const HFSPlusCatalogRecord& record) const {
    if (!partition.volume || !partition.volume->Header() || sector < partition.startSector) return false;
    const std::uint64_t offset = static_cast<std::uint64_t>(sector - partition.startSector) * m_sectorSize;
    const std::uint64_t blockSize = partition.volume->Header()->blockSize;
    for (const HFSPlusExtentDescriptor& e : partition.catalogExtents)
        if (e.startBlock * blockSize <= offset && offset < (std::uint64_t{e.startBlock} + e.blockCount) * blockSize)
            return false;
    HFSPlusSearchResult found;
    std::vector<std::uint8_t> data;
    HFSPlusCatalogRecord live;
    // A search that failed says nothing of the record.
    if (partition.volume->Search(kCatalogFileId, key, found, &data) != 0) return false;
    return !found.found || !ReadCatalogRecord(data, live) || live.id != record.id;
}

bool CHFSPlusCompleteFileSystemSearchController::IsOlderVersion(CompleteSearchPatition& partition, const BTKey& key,
                                                                const HFSPlusCatalogRecord& record) {
    if (!partition.volume || record.recordType != kFileRecord) return false;
    HFSPlusSearchResult found;
    std::vector<std::uint8_t> data;
    HFSPlusCatalogRecord live;
    if (partition.volume->Search(kCatalogFileId, key, found, &data) != 0 || !found.found ||
        !ReadCatalogRecord(data, live) || live.recordType != kFileRecord || live.id != record.id)
        return false;
    // A leaf left in the journal or in free catalog space: the file has
    // changed since, and its live record says what it is now.
    const auto fork = [](const HFSPlusForkData& f) {
        std::vector<std::uint64_t> v{f.logicalSize, f.totalBlocks};
        for (const HFSPlusExtentDescriptor& e : f.extents) v.insert(v.end(), {e.startBlock, e.blockCount});
        return v;
    };
    return live.contentModDate != record.contentModDate || fork(live.dataFork) != fork(record.dataFork) ||
           fork(live.resourceFork) != fork(record.resourceFork);
}

void CHFSPlusCompleteFileSystemSearchController::AnalyzeNode(long long sector, const std::uint8_t* bytes,
                                                             std::size_t size) {
    const CHFSPlusBTNode node(bytes, size);
    if (!node.IsValid() || node.Descriptor().kind != kLeafNode) return;
    if (node.TestNodeBelongToFile() != static_cast<int>(kCatalogFileId)) return;
    for (std::uint16_t i = 0; i < node.GetRecordCount(); ++i) {
        const Bytes data = node.GetRecord(i);
        BTKey key;
        HFSPlusCatalogRecord record;
        if (!ReadCatalogKey(data, key)) continue;
        const std::size_t at = std::size_t{key.keyLength} + 2;
        if (at > data.size() || !ReadCatalogRecord(data.subspan(at), record)) continue;
        if (record.recordType != kFileRecord && record.recordType != kFolderRecord) continue;
        CompleteSearchPatition* partition = AdjustNodeBelongsPartitionIndex(record, sector);
        if (!partition) continue;
        HandOver(*partition, sector, key, record, IsLeftOver(*partition, sector, key, record));
    }
}

void CHFSPlusCompleteFileSystemSearchController::HandOver(CompleteSearchPatition& partition, long long sector,
                                                          const BTKey& key, const HFSPlusCatalogRecord& record,
                                                          bool deleted) {
    if (IsJournalFileOf(partition, key, record)) return;
    auto* file = new (std::nothrow) CHFSPlusFileNode(partition.volume.get(), sector, partition.partitionIndex, key, record);
    if (!file) return;
    const long long fileId = file->GetCurrentNodeID();
    const bool directory = file->IsDirectory() != 0;
    if (deleted || (!directory && IsOlderVersion(partition, key, record))) file->MarkDeleted();
    if (fileId != -1 && fileId != -2 && record.createDate != 0 && m_builder && m_builder->AddNode(file, SEARCHER_HFSPLUS)) {
        ++(directory ? partition.folders : partition.files);
        return;
    }
    file->Release();
}

// ---- the end ------------------------------------------------------------------------

void CHFSPlusCompleteFileSystemSearchController::EndSearch(int build) {
    // A scan stopped without trees keeps its volumes, placed as after a
    // whole scan, and the nodes already handed over.
    if (build && m_builder) m_builder->FlashBuild(SEARCHER_HFSPLUS);
    if (!UsableSectorSize()) return;
    for (auto& owned : m_partitions) {
        CompleteSearchPatition& p = *owned;
        if (p.files == 0) continue;
        if (!p.header) {
            CatchExeception::WriteLog("ErrorLine:%d Can't Find Volume Head!\n", 241);
        } else {
            const HFSPlusVolumeHeader& h = *p.header;
            const std::uint64_t volumeBytes = std::uint64_t{h.totalBlocks} * h.blockSize;
            p.sectorCount = static_cast<long long>(volumeBytes / m_sectorSize);
            p.blockSize = h.blockSize;
            const std::uint64_t jib = std::uint64_t{h.journalInfoBlock} * h.blockSize;
            const std::uint64_t infoByte = static_cast<std::uint64_t>(p.journalInfoSector) * m_sectorSize;
            // A pointer past the volume's end places nothing.
            const bool pointer = h.journalInfoBlock != 0 && h.journalInfoBlock < h.totalBlocks;
            if (p.journalInfo && pointer && jib <= infoByte && (infoByte - jib) % m_sectorSize == 0) {
                // The info block lies journalInfoBlock blocks into its volume.
                p.startSector = static_cast<long long>((infoByte - jib) / m_sectorSize);
            } else if (!p.startKnown) {
                // Read as the alternate header, 1024 bytes before the volume's end.
                const std::uint64_t end = p.headerByte + kVolumeHeaderOffset;
                const bool fits = end >= volumeBytes && (end - volumeBytes) % m_sectorSize == 0;
                const long long start = fits ? static_cast<long long>((end - volumeBytes) / m_sectorSize) : -1;
                if (fits && IsCatalogAt(h, start))
                    p.startSector = start;
                else
                    CatchExeception::WriteLog("ErrorLine:%d Can't Find Volume Start Sector!\n", 236);
            }
        }
        const long long total = static_cast<long long>(m_totalSectors);
        p.sectorCount = std::max<std::int64_t>(0, std::min<std::int64_t>(p.sectorCount, total - p.startSector));
    }
}

int CHFSPlusCompleteFileSystemSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) {
    const int count = static_cast<int>(m_partitions.size());
    if (!records || n < count) return count;
    const unsigned ss = m_sectorSize ? m_sectorSize : 512;
    int made = 0;
    for (const auto& owned : m_partitions) {
        const CompleteSearchPatition& p = *owned;
        auto* r = new (std::nothrow) CSearchedPartitionInfo(ss);
        if (!r) break;
        r->m_partitionIndex = p.partitionIndex;
        r->m_clusterOrigin = p.startSector;
        r->m_startSector = p.startSector;
        r->SetTotalSectors(static_cast<unsigned long long>(std::max<std::int64_t>(0, p.sectorCount)));
        r->m_fileSystemType = FS_HFSPLUS;
        r->m_sectorsPerCluster = p.blockSize / ss;
        if (r->m_sectorsPerCluster == 0) {
            CatchExeception::WriteLog("Warn:SectorsperCluster calc Error!\n");
            r->m_sectorsPerCluster = std::max(1u, 4096 / ss);
        }
        records[made++] = r;
    }
    return made;
}

ICompleteFileSystemSearchController* CreateHFSPlusSearcher() {
    return new (std::nothrow) CHFSPlusCompleteFileSystemSearchController();
}

} // namespace hfsplus
