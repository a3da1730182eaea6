#include "engine/exfat/ExfatPartition.h"

#include "engine/common/DataRunList.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <cstring>

void CRegionPages::Init(IStorageDevice* device, std::int64_t firstSector, std::uint64_t sectors, unsigned pageBytes,
                        unsigned maxPages) {
    m_pages.clear();
    m_device = device;
    m_first = firstSector;
    m_sectors = sectors;
    m_sectorSize = device ? device->GetSectorSize() : 0;
    m_sectorsPerPage = m_sectorSize ? std::max(1u, pageBytes / m_sectorSize) : 0;
    m_maxPages = std::max(1u, maxPages);
}

std::vector<std::int64_t> CRegionPages::PageKeys() const {
    std::vector<std::int64_t> keys;
    for (const auto& [key, page] : m_pages) keys.push_back(key);
    return keys;
}

const std::vector<std::uint8_t>* CRegionPages::Page(std::int64_t key) {
    if (auto it = m_pages.find(key); it != m_pages.end()) return &it->second;
    const std::uint64_t offsetSectors = static_cast<std::uint64_t>(key - m_first);
    if (offsetSectors >= m_sectors) return nullptr;
    // Only the region's own sectors are read; the rest of the page stays zero
    // and is never answered (Read checks the region's length).
    std::uint64_t count = std::min<std::uint64_t>(m_sectorsPerPage, m_sectors - offsetSectors);
    const std::uint64_t total = m_device->GetTotalSectors();
    if (static_cast<std::uint64_t>(key) >= total) return nullptr;
    count = std::min<std::uint64_t>(count, total - static_cast<std::uint64_t>(key));
    std::vector<std::uint8_t> buffer;
    if (m_pages.size() >= m_maxPages) {
        // Reuse the buffer of the page with the lowest first sector.
        auto lowest = m_pages.begin();
        buffer = std::move(lowest->second);
        m_pages.erase(lowest);
    }
    buffer.assign(static_cast<std::size_t>(m_sectorsPerPage) * m_sectorSize, 0);
    // Read around bad sectors: one lost sector costs its own entries, not the
    // page. Its bytes are all ones: FAT entries that end a chain and bitmap
    // clusters in use, never free ones.
    std::vector<bool> bad;
    if (salvor::ReadAroundBadSectors(m_device, buffer.data(), key, static_cast<long long>(count), &bad) == 0)
        return nullptr;
    for (std::size_t i = 0; i < bad.size(); ++i)
        if (bad[i]) std::memset(buffer.data() + i * m_sectorSize, 0xFF, m_sectorSize);
    return &m_pages.emplace(key, std::move(buffer)).first->second;
}

bool CRegionPages::Read(std::uint64_t offset, void* out, std::size_t n) {
    if (!m_device || m_sectorsPerPage == 0 || n == 0) return false;
    const std::uint64_t size = Bytes();
    if (offset > size || size - offset < n) return false;
    auto* dst = static_cast<std::uint8_t*>(out);
    const std::uint64_t pageBytes = std::uint64_t{m_sectorsPerPage} * m_sectorSize;
    while (n > 0) {
        const std::uint64_t pageIndex = offset / pageBytes;
        const std::int64_t key = m_first + static_cast<std::int64_t>(pageIndex * m_sectorsPerPage);
        const std::vector<std::uint8_t>* page = Page(key);
        if (!page) return false;
        const std::size_t at = static_cast<std::size_t>(offset - pageIndex * pageBytes);
        const std::size_t take = std::min<std::size_t>(n, page->size() - at);
        std::memcpy(dst, page->data() + at, take);
        dst += take;
        offset += take;
        n -= take;
    }
    return true;
}

bool CFatTable::CreateFatTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t fatLength,
                               std::uint32_t /*clusterCount*/) {
    m_pages.Clear();
    if (!device || fatLength == 0 || fatStart < 0 || device->GetSectorSize() == 0) return false;
    if (static_cast<std::uint64_t>(fatStart) + fatLength >= device->GetTotalSectors()) return false;
    m_pages.Init(device, fatStart, fatLength, kPageBytes, kMaxPages);
    std::uint32_t first = 0;
    return m_pages.Read(0, &first, sizeof first);
}

std::uint32_t CFatTable::GetNextCluster(std::uint32_t c) {
    if (!IsValid()) return 0xFFFFFFFFu;
    std::uint8_t raw[4];
    if (!m_pages.Read(std::uint64_t{c} * 4, raw, sizeof raw)) return 0xFFFFFFFFu;
    return raw[0] | (raw[1] << 8) | (raw[2] << 16) | (std::uint32_t{raw[3]} << 24);
}

void CExFatPartition::SetGeometry(unsigned sectorSize, unsigned sectorsPerCluster, std::uint32_t clusterLimit,
                                  std::uint32_t rootCluster, std::int64_t heapFirstSector) {
    m_sectorSize = sectorSize;
    m_sectorsPerCluster = sectorsPerCluster;
    m_clusterLimit = clusterLimit;
    m_rootCluster = rootCluster;
    m_heapFirstSector = heapFirstSector;
    m_bytesPerCluster = sectorSize * sectorsPerCluster;
}

std::int64_t CExFatPartition::ConvertClusterNumToSector(std::uint32_t c) const {
    if (c < 2) return 0;
    return m_heapFirstSector + static_cast<std::int64_t>(m_sectorsPerCluster) * (c - 2);
}

std::uint32_t CExFatPartition::ConvertSectorToClusterNum(std::int64_t s) const {
    if (m_sectorsPerCluster == 0) return 0;
    return static_cast<std::uint32_t>((s - m_heapFirstSector + m_sectorsPerCluster - 1) / m_sectorsPerCluster + 2);
}

std::uint32_t CExFatPartition::GetNextCluster(std::uint32_t c, bool contiguous) {
    // A contiguous (no-FAT-chain) run goes on with the adjacent cluster; its
    // FAT entries are meaningless (often zero).
    const std::uint64_t next = contiguous ? std::uint64_t{c} + 1 : CFatTable::GetNextCluster(c);
    return IsHeapCluster(next) ? static_cast<std::uint32_t>(next) : 0xFFFFFFFFu;
}

bool CExFatPartition::LoadAllocationBitmap(IStorageDevice* device, std::uint32_t firstCluster,
                                           std::uint64_t bitmapLength) {
    m_bitmap.Clear();
    m_bitmapBits = 0;
    if (!device || !IsHeapCluster(firstCluster) || bitmapLength == 0 || m_sectorSize == 0) return false;
    const std::uint64_t sectors = (bitmapLength + m_sectorSize - 1) / m_sectorSize;
    m_bitmap.Init(device, ConvertClusterNumToSector(firstCluster), sectors, CFatTable::kPageBytes, 4);
    std::uint8_t first = 0;
    if (!m_bitmap.Read(0, &first, 1)) {
        m_bitmap.Clear();
        return false;
    }
    m_bitmapBits = std::min<std::uint64_t>(bitmapLength * 8, m_clusterLimit);
    return true;
}

int CExFatPartition::IsClusterAllocated(std::uint32_t c) {
    if (c < 2 || c - 2 >= m_bitmapBits) return -1;
    std::uint8_t byte = 0;
    if (!m_bitmap.Read((c - 2) / 8, &byte, 1)) return -1;
    return (byte >> ((c - 2) % 8)) & 1;
}

std::uint32_t CExFatPartition::NextFreeCluster(std::uint32_t c) {
    for (std::uint64_t n = std::uint64_t{c} + 1; n < m_bitmapBits + 2; ++n) {
        const int allocated = IsClusterAllocated(static_cast<std::uint32_t>(n));
        if (allocated < 0) return 0;
        if (allocated == 0) return static_cast<std::uint32_t>(n);
    }
    return 0;
}

IDataRunList* CExFatPartition::BuildFileDataRun(const _tagFileBaseInfo& r) {
    IDataRunList* runs = CreateDataRunList();
    if ((r.attributes & exfat::kAttrFolder) || r.dataLength <= 0 || r.firstCluster < 2 ||
        r.firstCluster > 0xFFFFFFF5u || m_bytesPerCluster == 0)
        return runs;
    // No file holds more clusters than the heap from its first cluster on.
    const std::uint64_t heapLeft = std::uint64_t{m_clusterLimit} + 2 - std::min<std::uint64_t>(r.firstCluster, std::uint64_t{m_clusterLimit} + 2);
    const std::uint64_t need = std::min<std::uint64_t>(
        (static_cast<std::uint64_t>(r.dataLength) + m_bytesPerCluster - 1) / m_bytesPerCluster, heapLeft);
    if (need == 0) return runs;
    if (r.contiguous) {
        DataRun run{static_cast<long long>(r.firstCluster) - 2, static_cast<long long>(need)};
        runs->AddDataRun(&run);
        return runs;
    }
    std::uint32_t c = r.firstCluster;
    // The count bounds the walk, so a FAT loop cannot run on forever.
    for (std::uint64_t added = 0; added < need;) {
        DataRun run{static_cast<long long>(c) - 2, 1};
        runs->AddDataRun(&run);
        if (++added == need) break;
        std::uint32_t next = CFatTable::GetNextCluster(c);
        if (next >= 2 && next <= 0xFFFFFFF5u && IsHeapCluster(next)) {
            c = next;
        } else if (!r.inUse && next == 0) {
            // Deleting a chained file clears its FAT entries; its clusters
            // were handed out in order, so the following free ones are its own.
            next = NextFreeCluster(c);
            if (next == 0) break;
            c = next;
        } else {
            break;
        }
    }
    return runs;
}

CExFatFileNode* CExFatPartition::BuildFile(const _tagFileBaseInfo& r) {
    auto* node = new CExFatFileNode();
    node->SetFirstCluster(r.firstCluster);
    node->SetFileAttributes(r.attributes);
    node->SetFileTime(exfat::DosTime2FileTime(r.creation), exfat::DosTime2FileTime(r.modification),
                      exfat::DosTime2FileTime(r.access));
    node->SetFileName(r.name.c_str());
    node->SetFileSize(r.dataLength);
    node->SetValidLength(r.validLength);
    node->SetMetaDataSector(r.metadataSector);
    if (!r.inUse) node->SetFileDeleted();
    // Folders keep the flag so their own clusters are walked contiguously.
    if (r.contiguous) node->SetFileFatInvalid();
    node->SetDataRunList(BuildFileDataRun(r));
    return node;
}
