#include "engine/exfat/ExfatDeepSearch.h"

#include "engine/common/Bytes.h"
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/include/BlockView.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {
constexpr long long kCarried = 2;

bool StartsUpcaseTable(const std::uint8_t* s) {
    for (std::uint16_t v = 0; v < 8; ++v)
        if (s[2 * v] != (v & 0xFF) || s[2 * v + 1] != 0) return false;
    return true;
}
} // namespace

bool CExFatCompleteSearch::Start() {
    if (!m_buffer.empty()) return true;
    const unsigned ss = m_device->GetSectorSize();
    if (ss < 512 || ss > 4096 || !std::has_single_bit(ss)) return false;
    m_sectorSize = ss;
    m_totalSectors = static_cast<std::int64_t>(m_device->GetTotalSectors());
    m_analyser.PrepareAnayze(static_cast<unsigned>(std::countr_zero(ss)), 25, static_cast<std::uint64_t>(m_totalSectors));
    m_partitionBuilder.PrepareBuild(ss, static_cast<std::uint64_t>(m_totalSectors));
    m_buffer.assign(static_cast<std::size_t>(m_blockSize + 2 * kCarried) * ss, 0);
    m_expected = -1;
    return true;
}

void CExFatCompleteSearch::PushFileSets() {
    std::unique_ptr<CFileSet> f;
    while (m_analyser.GetFileSet(f)) {
        const std::int64_t first = f->firstSector;
        const std::int64_t next = (f->flags & CFileSet::kNotEnded) ? m_analyser.GetNext(first) : -1;
        const std::int64_t last = f->IsAbridged() ? m_analyser.GetLast(first) : -1;
        m_partitionBuilder.PushFileSet(std::move(f), last, next);
    }
}

void CExFatCompleteSearch::AnalyzeSector(std::int64_t sector, const std::uint8_t* at) {
    const exfat::Bytes bytes(at, std::size_t{m_sectorSize} * (1 + kCarried));
    bool finished = false;
    if (at[0] == 0) {
        if (StartsUpcaseTable(at)) m_partitionBuilder.RecordUpCaseTable(sector);
        finished = true;
    } else if (at[510] == 0x55 && at[511] == 0xAA && CExFatDBR(bytes.first(m_sectorSize)).IsValid(m_sectorSize)) {
        m_partitionBuilder.Build(sector, CExFatDBR(bytes.first(m_sectorSize)));
        finished = true;
    } else if (bytes::Le32(bytes, 0) == 0xFFFFFFF8u && bytes::Le32(bytes, 4) == 0xFFFFFFFFu) {
        m_partitionBuilder.RecordFAT(sector);
        finished = true;
    } else {
        finished = m_analyser.Analyze(sector, bytes);
    }
    if (finished) PushFileSets();
    m_partitionBuilder.Build(sector);
}

int CExFatCompleteSearch::AnalyzeBlock(long long first, long long count) {
    if (!m_device || !m_builder || m_blockSize <= 0 || first < 0 || count <= 0 || count > m_blockSize) return 0;
    if (!Start()) return 0;
    const std::size_t ss = m_sectorSize;
    // Blocks come in device order; after a gap the carried sectors mean nothing.
    if (first != m_expected) std::fill(m_buffer.begin(), m_buffer.begin() + kCarried * ss, 0);
    if (count >= 2 * kCarried) {
        if (const std::uint8_t* view = ViewSectors(m_device, first, count)) {
            m_expected = first + count;
            AnalyzeInPlace(first, count, view);
            return 1;
        }
    }
    std::uint8_t* read = m_buffer.data() + kCarried * ss;
    std::fill(read, m_buffer.data() + m_buffer.size(), 0);
    m_expected = first + count;
    // A block that fails is read again sector by sector: an unreadable sector
    // is zeros (no entry, no boot sector) and costs nothing around it.
    if (salvor::ReadAroundBadSectors(m_device, read, first, count) == 0) {
        // Nothing of this block is analysed, nor carried into the next.
        std::fill(m_buffer.begin(), m_buffer.end(), 0);
        m_expected = -1;
        return 0;
    }
    // Each sector is analysed with the two after it in the buffer, so the
    // last two of a block wait for the next block.
    const long long firstBuffered = first - kCarried;
    long long analysed = count;
    // The device's last two sectors have no next block: analyse them now,
    // with zeros after them.
    if (first + count >= m_totalSectors) analysed += kCarried;
    for (long long i = 0; i < analysed; ++i) {
        const std::int64_t sector = firstBuffered + i;
        if (sector < 0) continue;
        AnalyzeSector(sector, m_buffer.data() + static_cast<std::size_t>(i) * ss);
    }
    std::memmove(m_buffer.data(), m_buffer.data() + static_cast<std::size_t>(count) * ss, kCarried * ss);
    return 1;
}

void CExFatCompleteSearch::AnalyzeInPlace(long long first, long long count, const std::uint8_t* view) {
    const std::size_t ss = m_sectorSize;
    // The buffer's head holds the carried sectors; with the block's first two
    // after them, the carried ones are analysed there.
    std::uint8_t* edge = m_buffer.data();
    std::memcpy(edge + kCarried * ss, view, kCarried * ss);
    for (long long i = 0; i < kCarried; ++i)
        if (first - kCarried + i >= 0) AnalyzeSector(first - kCarried + i, edge + static_cast<std::size_t>(i) * ss);
    for (long long i = 0; i + kCarried < count; ++i) AnalyzeSector(first + i, view + static_cast<std::size_t>(i) * ss);
    const std::uint8_t* last = view + static_cast<std::size_t>(count - kCarried) * ss;
    std::memcpy(edge, last, kCarried * ss);
    // The device's last two sectors have no next block: analyse them now,
    // with zeros after them.
    if (first + count >= m_totalSectors) {
        std::memset(edge + kCarried * ss, 0, kCarried * ss);
        for (long long i = 0; i < kCarried; ++i)
            AnalyzeSector(first + count - kCarried + i, edge + static_cast<std::size_t>(i) * ss);
    }
}

bool CExFatCompleteSearch::BootPlacesFat(const CExFatPartitionEx& p) {
    // The boot region where the boot sector was seen: the main one at the
    // volume's start, the backup 12 sectors after it.
    for (const auto& [flag, at] : {std::pair{CExFatPartitionEx::kBootMain, p.m_startSector},
                                   std::pair{CExFatPartitionEx::kBootBackup, p.m_startSector + 12}}) {
        std::vector<std::uint8_t> boot;
        if (!(p.flags & flag) || !exfat::ReadCheckedBootRegion(m_device, at, boot)) continue;
        const CExFatDBR dbr(boot);
        if (dbr.GetFatStartSector() == p.fatOffset && dbr.GetSectorsPerFat() == p.fatLength) return true;
    }
    return false;
}

void CExFatCompleteSearch::EndSearch(int build) {
    if (!build || m_buffer.empty()) {
        m_analyser.FinisAnayze();
        m_partitionBuilder.Clear();
        m_buffer.clear();
        return;
    }
    // Fragments still being gathered are finished first.
    PushFileSets();
    m_analyser.FinisAnayze();
    m_partitionBuilder.FinishBuid(m_partitions);
    m_buffer.clear();
    if (m_partitions.empty() || !m_builder) {
        m_partitionBuilder.Clear();
        return;
    }
    m_builder->AddSearcherInfo(SEARCHER_EXFAT, -1);
    // Every partition's nodes are made first and the fragments freed before
    // the tree builder takes the nodes: folder-like data makes many of both,
    // and they need not be held together.
    std::vector<std::vector<CExFatFileNode*>> built(m_partitions.size());
    // A volume whose boot sector and FAT were found inside another's space,
    // past its start (a partition made in space the other claims, listed or
    // deleted since, or a volume kept in it), owns the entry sets lying in
    // it: read through the other's clusters they give other files' bytes.
    auto confirmed = [](const CExFatPartitionEx& q) {
        return q.HasBoot() && (q.flags & (CExFatPartitionEx::kFat1Seen | CExFatPartitionEx::kFat2Seen));
    };
    for (auto& p : m_partitions)
        for (const auto& q : m_partitions) {
            const std::int64_t qEnd = q->m_startSector + static_cast<std::int64_t>(q->m_totalSectors);
            if (q == p || !confirmed(*q) || q->m_startSector <= p->m_startSector || q->m_startSector >= p->EndSector())
                continue;
            std::erase_if(p->onBoundary, [&](std::int64_t s) { return s >= q->m_startSector && s < qEnd; });
        }
    for (std::size_t i = 0; i < m_partitions.size(); ++i) {
        CExFatPartitionEx& p = *m_partitions[i];
        // A FAT whose first sector could not be read was never seen by its
        // signature; a boot sector its checksum vouches for still places it.
        if (!(p.flags & (CExFatPartitionEx::kFat1Seen | CExFatPartitionEx::kFat2Seen)) && BootPlacesFat(p))
            p.fatStart = p.m_startSector + static_cast<std::int64_t>(p.fatOffset);
        if (p.fatStart >= 0 && p.fatLength) {
            p.CreateFatTable(m_device, p.fatStart, p.fatLength, p.clusterCount);
            // A FAT guessed without a boot sector must chain the root folder.
            if (!p.HasBoot() && p.IsHeapCluster(p.Root()) && p.CFatTable::GetNextCluster(p.Root()) == 0) {
                p.ClearFatData();
                p.fatStart = -1;
            }
        }
        if (p.IsValid() && p.bitmapCluster) p.LoadAllocationBitmap(m_device, p.bitmapCluster, p.bitmapLength);
        m_partitionBuilder.BuildFileTree(p, built[i], i + 1 == m_partitions.size());
        p.ClearFatData();
    }
    m_partitionBuilder.Clear();
    for (auto& p : m_partitions) p->ForgetFragments();
    for (std::size_t i = 0; i < built.size(); ++i) {
        for (CExFatFileNode* node : built[i]) {
            node->SetBelongedPartition(static_cast<std::uint16_t>(i));
            if (!m_builder->AddNode(node, SEARCHER_EXFAT)) node->Release();
        }
        std::vector<CExFatFileNode*>().swap(built[i]);
    }
    m_builder->SetPartitonDevice(nullptr, m_device);
    m_builder->FlashBuild(SEARCHER_EXFAT);
}

int CExFatCompleteSearch::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    const int count = static_cast<int>(m_partitions.size());
    if (!array || n < count || count == 0) return count;
    for (int i = 0; i < count; ++i) {
        const CExFatPartitionEx& p = *m_partitions[static_cast<std::size_t>(i)];
        auto* r = new CSearchedPartitionInfo(p.SectorSize());
        r->m_partitionIndex = static_cast<std::uint16_t>(i);
        r->m_fileSystemType = FS_EXFAT;
        r->m_sectorsPerCluster = static_cast<std::uint32_t>(p.Spc());
        // Runs count clusters from cluster 2, which begins at the heap's first sector.
        r->m_clusterOrigin = p.Heap();
        r->m_startSector = p.m_startSector;
        r->SetTotalSectors(p.m_totalSectors);
        array[i] = r;
    }
    return count;
}

namespace exfat {
ICompleteFileSystemSearchController* CreateEXFatSearcher() { return new CExFatCompleteSearch(); }
} // namespace exfat
