#include "engine/fat/FatTable.h"

#include "engine/fat/FatBytes.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <unordered_set>

using namespace fat;

namespace {
unsigned DeviceSectorSize(IStorageDevice* device) {
    const unsigned s = device ? device->GetSectorSize() : 0;
    return s >= 512 ? s : 512;
}

unsigned EntryBits(enumFILE_SYSTEM_TYPE kind) { return kind == FS_FAT12 ? 12 : kind == FS_FAT16 ? 16 : 32; }
} // namespace

CRealFATTable::CRealFATTable(IStorageDevice* device, enumFILE_SYSTEM_TYPE kind, long long start,
                             unsigned sectorsPerFat, unsigned minSectorsPerFat, unsigned maxSectorsPerFat,
                             unsigned long long clusterCount)
    : m_device(device), m_kind(kind), m_start(start), m_sectorsPerFat(sectorsPerFat),
      m_sectorSize(DeviceSectorSize(device)) {
    if (!device || start < 0 || sectorsPerFat < std::max(1u, minSectorsPerFat) || sectorsPerFat > maxSectorsPerFat)
        return;
    m_tableBytes = static_cast<unsigned long long>(sectorsPerFat) * m_sectorSize;
    unsigned long long entries = m_tableBytes * 8 / EntryBits(kind);
    if (clusterCount != 0) entries = std::min(entries, clusterCount + 2);
    // Cluster numbers are 28 bits wide at most.
    m_entryCount = static_cast<std::uint32_t>(std::min<unsigned long long>(entries, kBadCluster));
    if (!Load()) return;
    m_valid = Validate();
}

CRealFATTable::~CRealFATTable() = default;

bool CRealFATTable::Load() {
    if (m_kind == FS_FAT32 && m_tableBytes > kWholeReadBytes) {
        m_paged = true;
        // The first page must read for the copy to count as loaded.
        m_loaded = GetPage(0) != nullptr;
        return m_loaded;
    }
    m_bytes.assign(m_tableBytes, 0);
    if (!ReadCopy(m_bytes.data(), 0, m_sectorsPerFat)) {
        m_bytes.clear();
        return false;
    }
    m_loaded = true;
    return true;
}

// A copy read around its bad sectors: their entries are unknown, the rest
// answer. False when no sector of the stretch could be read.
bool CRealFATTable::ReadCopy(std::uint8_t* into, unsigned long long first, unsigned long long count) {
    std::vector<bool> bad;
    const long long read = salvor::ReadAroundBadSectors(m_device, into, m_start + static_cast<long long>(first),
                                                        static_cast<long long>(count), &bad);
    if (read == static_cast<long long>(count)) {
        if (!m_unreadable.empty())
            std::fill_n(m_unreadable.begin() + static_cast<long long>(first), count, false);
        return true;
    }
    if (m_unreadable.empty()) m_unreadable.assign(m_sectorsPerFat, false);
    for (unsigned long long i = 0; i < count; ++i) m_unreadable[first + i] = bad[i];
    m_anyUnreadable = true;
    return read > 0;
}

bool CRealFATTable::Unreadable(unsigned long long byteOffset, unsigned width) const {
    if (m_unreadable.empty()) return false;
    const unsigned long long a = byteOffset / m_sectorSize, b = (byteOffset + width - 1) / m_sectorSize;
    return (a < m_unreadable.size() && m_unreadable[a]) || (b < m_unreadable.size() && m_unreadable[b]);
}

const CRealFATTable::Page* CRealFATTable::GetPage(unsigned long long number) {
    for (auto it = m_pages.begin(); it != m_pages.end(); ++it)
        if (it->number == number) {
            m_pages.splice(m_pages.begin(), m_pages, it);
            return m_pages.front().ok ? &m_pages.front() : nullptr;
        }
    const unsigned long long pageSectors = kPageBytes / m_sectorSize;
    const unsigned long long first = number * pageSectors;
    if (first >= m_sectorsPerFat) return nullptr;
    const unsigned long long count = std::min<unsigned long long>(pageSectors, m_sectorsPerFat - first);
    Page page{number, std::vector<std::uint8_t>(count * m_sectorSize), false};
    page.ok = ReadCopy(page.bytes.data(), first, count);
    if (m_pages.size() >= kMaxPages) m_pages.pop_back();
    m_pages.push_front(std::move(page));
    return m_pages.front().ok ? &m_pages.front() : nullptr;
}

CRealFATTable::Entry CRealFATTable::ReadEntry(std::uint32_t index, std::uint32_t& value) {
    value = 0;
    if (!m_loaded || index >= m_entryCount) return Entry::None;
    if (m_kind == FS_FAT12) {
        const std::size_t off = static_cast<std::size_t>(index) * 3 / 2;
        if (!Has(m_bytes, off, 2)) return Entry::None;
        if (Unreadable(off, 2)) return Entry::Unknown;
        const std::uint16_t v = Le16(m_bytes, off);
        value = (index & 1) ? (v >> 4) : (v & 0x0FFF);
        return Entry::Known;
    }
    const unsigned width = m_kind == FS_FAT16 ? 2 : 4;
    const unsigned long long off = static_cast<unsigned long long>(index) * width;
    Bytes bytes;
    std::size_t at;
    std::unique_lock<std::mutex> lock(m_pageMutex, std::defer_lock);
    if (m_paged) {
        lock.lock();
        const Page* page = GetPage(off / kPageBytes);
        if (!page) return Unreadable(off, width) ? Entry::Unknown : Entry::None;
        bytes = page->bytes;
        at = static_cast<std::size_t>(off % kPageBytes);
    } else {
        bytes = m_bytes;
        at = static_cast<std::size_t>(off);
    }
    if (!Has(bytes, at, width)) return Entry::None;
    if (Unreadable(off, width)) return Entry::Unknown;
    value = width == 2 ? Le16(bytes, at) : (Le32(bytes, at) & kFat32EntryMask);
    return Entry::Known;
}

std::uint32_t CRealFATTable::BadMark() const {
    return m_kind == FS_FAT12 ? 0xFF7u : m_kind == FS_FAT16 ? 0xFFF7u : kBadCluster;
}

bool CRealFATTable::Validate() {
    std::uint8_t head[8] = {};
    if (m_paged) {
        const Page* page = GetPage(0);
        if (!page || page->bytes.size() < 8) return false;
        std::copy_n(page->bytes.begin(), 8, head);
    } else {
        if (m_bytes.size() < 8) return false;
        std::copy_n(m_bytes.begin(), 8, head);
    }
    // A first sector that could not be read cannot speak against the copy;
    // the entries that were read still must pass.
    const bool header = Unreadable(0, 8)         ? true
                        : m_kind == FS_FAT12   ? IsFat12Header(head)
                        : m_kind == FS_FAT16 ? IsFat16Header(head)
                                             : IsFat32Header(head);
    return header && BodyAndChainTests();
}

// Every entry must be free, a link inside the table, or a mark; no two entries
// may link to the same cluster (two chains joining) and no chain may return to
// itself. Linear: one pass over the entries, one walk along the links from
// each chain head, one pass for linked clusters no head reached (those lie on
// loops).
bool CRealFATTable::BodyAndChainTests() {
    const std::uint32_t count = m_entryCount;
    const std::uint32_t bad = BadMark();
    if (count <= 2) return true;
    std::vector<bool> linked(count, false);  // some entry links to this cluster
    std::vector<bool> linking(count, false); // this entry links to a cluster
    if (!ScanEntries([&](std::uint32_t i, std::uint32_t v) {
            if ((v >= count && v < bad) || v == 1 || v == i) return false;
            if (v >= 2 && v < count) {
                if (linked[v]) return false;
                linked[v] = true;
                linking[i] = true;
            }
            return true;
        }))
        return false;
    std::vector<bool> reached(count, false);
    for (std::uint32_t i = 2; i < count; ++i) {
        if (linked[i] || !linking[i]) continue;
        std::uint32_t cur = i;
        reached[cur] = true;
        for (std::uint32_t steps = 0; linking[cur] && steps < count; ++steps) {
            std::uint32_t v;
            if (!RawEntry(cur, v) || reached[v]) break;
            cur = v;
            reached[cur] = true;
        }
    }
    for (std::uint32_t i = 2; i < count; ++i)
        if (linked[i] && !reached[i]) return false;
    return true;
}

// Calls visit(index, value) for entries 2 .. count - 1 in order, reading a
// paged copy one page at a time; false when a read fails or visit refuses.
template <typename Visit>
bool CRealFATTable::ScanEntries(Visit visit) {
    if (m_kind == FS_FAT12 || !m_paged) {
        for (std::uint32_t i = 2; i < m_entryCount; ++i) {
            std::uint32_t v;
            const Entry e = ReadEntry(i, v);
            if (e == Entry::Unknown) continue;
            if (e == Entry::None || !visit(i, v)) return false;
        }
        return true;
    }
    const unsigned width = m_kind == FS_FAT16 ? 2 : 4;
    const std::uint32_t perPage = kPageBytes / width;
    std::lock_guard<std::mutex> lock(m_pageMutex);
    for (std::uint32_t i = 2; i < m_entryCount;) {
        const Page* page = GetPage(i / perPage);
        const std::uint32_t end = std::min<std::uint64_t>(m_entryCount, (std::uint64_t{i / perPage} + 1) * perPage);
        if (!page) {
            // A page none of whose sectors could be read: its entries are unknown.
            if (!Unreadable(std::uint64_t{i} * width, width)) return false;
            i = end;
            continue;
        }
        const Bytes bytes = page->bytes;
        for (; i < end; ++i) {
            const std::size_t at = static_cast<std::size_t>(i % perPage) * width;
            if (!Has(bytes, at, width)) return false;
            if (Unreadable(std::uint64_t{i} * width, width)) continue;
            const std::uint32_t v = width == 2 ? Le16(bytes, at) : (Le32(bytes, at) & kFat32EntryMask);
            if (!visit(i, v)) return false;
        }
    }
    return true;
}

CFAT12Table::CFAT12Table(IStorageDevice* device, long long start, unsigned sectorsPerFat,
                         unsigned long long clusterCount)
    : CRealFATTable(device, FS_FAT12, start, sectorsPerFat, 1, 12, clusterCount) {}

std::uint32_t CFAT12Table::GetNextCluster(std::uint32_t cluster) {
    std::uint32_t v;
    if (cluster < 2) return 0;
    if (const Entry e = ReadEntry(cluster, v); e != Entry::Known) return e == Entry::Unknown ? kUnknownEntry : 0;
    if (v == 0xFFF) return kFat12EndOfChain;
    if (v >= 0xFF8) return kEndOfChain;
    if (v == 0xFF7) return kBadCluster;
    return v;
}

namespace {
unsigned Scale(IStorageDevice* device) { return std::max(1u, DeviceSectorSize(device) / 512); }
} // namespace

CFAT16Table::CFAT16Table(IStorageDevice* device, long long start, unsigned sectorsPerFat,
                         unsigned long long clusterCount)
    : CRealFATTable(device, FS_FAT16, start, sectorsPerFat, 12 / Scale(device), 256 / Scale(device),
                    clusterCount) {}

std::uint32_t CFAT16Table::GetNextCluster(std::uint32_t cluster) {
    std::uint32_t v;
    if (cluster < 2) return 0;
    if (const Entry e = ReadEntry(cluster, v); e != Entry::Known) return e == Entry::Unknown ? kUnknownEntry : 0;
    if (v == 0xFFF7) return kBadCluster;
    if (v > 0xFFF7) return kEndOfChain;
    return v;
}

// Any size of FAT32 copy is accepted: small ones are read whole, large ones paged.
CFAT32Table::CFAT32Table(IStorageDevice* device, long long start, unsigned sectorsPerFat,
                         unsigned long long clusterCount)
    : CRealFATTable(device, FS_FAT32, start, sectorsPerFat, 1, 0xFFFFFFFFu, clusterCount) {}

std::uint32_t CFAT32Table::GetNextCluster(std::uint32_t cluster) {
    std::uint32_t v;
    if (cluster < 2) return 0;
    if (const Entry e = ReadEntry(cluster, v); e != Entry::Known) return e == Entry::Unknown ? kUnknownEntry : 0;
    return v;
}

std::uint32_t CDoubleFATTable::GetNextCluster(std::uint32_t cluster) {
    if (!m_first) return m_second ? m_second->GetNextCluster(cluster) : 0;
    const std::uint32_t next = m_first->GetNextCluster(cluster);
    // The second copy answers for the sectors the first lost.
    if (next != kUnknownEntry || !m_second) return next;
    return m_second->GetNextCluster(cluster);
}

IRealFATTable* IFATTableFactory::CreateRealFATTable(IStorageDevice* device, enumFILE_SYSTEM_TYPE kind,
                                                    long long start, unsigned sectorsPerFat,
                                                    unsigned long long clusterCount) {
    std::unique_ptr<IRealFATTable> table;
    switch (kind) {
    case FS_FAT12: table = std::make_unique<CFAT12Table>(device, start, sectorsPerFat, clusterCount); break;
    case FS_FAT16: table = std::make_unique<CFAT16Table>(device, start, sectorsPerFat, clusterCount); break;
    case FS_FAT32: table = std::make_unique<CFAT32Table>(device, start, sectorsPerFat, clusterCount); break;
    default: return nullptr;
    }
    return table->IsValidFATTable() ? table.release() : nullptr;
}

IFATTable* IFATTableFactory::CreateFATTable(IStorageDevice* device, long long fatStart, enumFILE_SYSTEM_TYPE kind,
                                            unsigned sectorsPerFat, int firstSeen, int secondSeen,
                                            unsigned long long clusterCount) {
    IRealFATTable* first = nullptr;
    IRealFATTable* second = nullptr;
    if (firstSeen || !secondSeen) first = CreateRealFATTable(device, kind, fatStart, sectorsPerFat, clusterCount);
    if (secondSeen && (!first || first->HasUnreadableSectors()))
        second = CreateRealFATTable(device, kind, fatStart + static_cast<long long>(sectorsPerFat), sectorsPerFat,
                                    clusterCount);
    return new CDoubleFATTable(first, second);
}

namespace fat {
ChainEnd FollowClusterChain(IFATTable& table, std::uint32_t first, unsigned long long clusterCount,
                            std::vector<std::uint32_t>& clusters) {
    const unsigned long long limit = clusterCount ? clusterCount + 2 : kBadCluster;
    if (first < 2 || first >= limit) return ChainEnd::OutOfRange;
    std::unordered_set<std::uint32_t> seen;
    std::uint32_t cur = first;
    for (;;) {
        if (!seen.insert(cur).second) return ChainEnd::Loop;
        clusters.push_back(cur);
        const std::uint32_t next = table.GetNextCluster(cur);
        if (next == kBadCluster) return ChainEnd::Bad;
        if (IsChainEnd(next)) return ChainEnd::End;
        if (next >= limit) return ChainEnd::OutOfRange;
        cur = next;
    }
}
} // namespace fat
