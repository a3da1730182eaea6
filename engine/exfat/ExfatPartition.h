#pragma once
// The exFAT volume geometry, its FAT read through a small page cache, the
// allocation bitmap, and the making of nodes and data runs from file records.
#include "engine/exfat/ExfatEntries.h"

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

class IStorageDevice;
class IDataRunList;
class CExFatFileNode;

// A region of a device (a FAT or a bitmap) read in pages on demand; at most
// maxPages pages are held, the one with the lowest first sector dropped first.
// Bytes past the region's end are never answered.
class CRegionPages {
public:
    void Init(IStorageDevice* device, std::int64_t firstSector, std::uint64_t sectors, unsigned pageBytes,
              unsigned maxPages);
    // n bytes at offset inside the region into out; false outside the region
    // or when the page cannot be read.
    bool Read(std::uint64_t offset, void* out, std::size_t n);
    bool Loaded() const { return !m_pages.empty(); }
    std::size_t PageCount() const { return m_pages.size(); }
    std::uint64_t Bytes() const { return m_sectors * m_sectorSize; }
    void Clear() { m_pages.clear(); }
    // The first sectors of the held pages, ascending (tests).
    std::vector<std::int64_t> PageKeys() const;

private:
    const std::vector<std::uint8_t>* Page(std::int64_t key);

    IStorageDevice* m_device = nullptr;
    std::int64_t m_first = 0;
    std::uint64_t m_sectors = 0;
    unsigned m_sectorSize = 0;
    unsigned m_sectorsPerPage = 0;
    unsigned m_maxPages = 0;
    std::map<std::int64_t, std::vector<std::uint8_t>> m_pages;
};

// The exFAT FAT: 1 MiB pages of 32-bit entries, at most 9 held.
class CFatTable {
public:
    static constexpr unsigned kPageBytes = 0x100000;
    static constexpr unsigned kMaxPages = 9;

    // Needs a device, a FAT inside the device and a sector size; loads the
    // first page. False (nothing cached) when any of that fails.
    bool CreateFatTable(IStorageDevice* device, std::int64_t fatStart, std::uint32_t fatLength,
                        std::uint32_t clusterCount);
    bool IsValid() const { return m_pages.Loaded(); }
    // The raw entry of cluster c; 0xFFFFFFFF when it cannot be had.
    std::uint32_t GetNextCluster(std::uint32_t c);
    void ClearFatData() { m_pages.Clear(); }
    const CRegionPages& Pages() const { return m_pages; }

private:
    CRegionPages m_pages;
};

class CExFatPartition : public CFatTable {
public:
    // Geometry from a valid boot sector; heapFirstSector is absolute on the device.
    void SetGeometry(unsigned sectorSize, unsigned sectorsPerCluster, std::uint32_t clusterLimit,
                     std::uint32_t rootCluster, std::int64_t heapFirstSector);

    std::int64_t ConvertClusterNumToSector(std::uint32_t c) const;
    std::uint32_t ConvertSectorToClusterNum(std::int64_t s) const;
    // The cluster after c: c + 1 for a contiguous chain, else its FAT entry;
    // 0xFFFFFFFF past the heap's last cluster.
    std::uint32_t GetNextCluster(std::uint32_t c, bool contiguous);
    // A cluster number that lies in the heap.
    bool IsHeapCluster(std::uint64_t c) const { return c >= 2 && c < std::uint64_t{m_clusterLimit} + 2; }

    // Reads the allocation bitmap (bitmapLength bytes from its first cluster).
    // Without it, deleted chained files end where their FAT chain was cleared.
    bool LoadAllocationBitmap(IStorageDevice* device, std::uint32_t firstCluster, std::uint64_t bitmapLength);
    // 1 allocated, 0 free, -1 unknown.
    int IsClusterAllocated(std::uint32_t c);

    CExFatFileNode* BuildFile(const _tagFileBaseInfo& record);
    IDataRunList* BuildFileDataRun(const _tagFileBaseInfo& record);

    unsigned SectorSize() const { return m_sectorSize; }
    unsigned SectorsPerCluster() const { return m_sectorsPerCluster; }
    std::uint32_t ClusterLimit() const { return m_clusterLimit; }
    std::uint32_t RootCluster() const { return m_rootCluster; }
    std::uint32_t BytesPerCluster() const { return m_bytesPerCluster; }
    std::int64_t HeapFirstSector() const { return m_heapFirstSector; }

    std::int64_t m_startSector = 0;
    std::uint64_t m_totalSectors = 0;

private:
    // The next free cluster after c (a deleted file's clusters were taken in
    // order, skipping allocated ones); 0 when none or no bitmap.
    std::uint32_t NextFreeCluster(std::uint32_t c);

    unsigned m_sectorSize = 512;
    unsigned m_sectorsPerCluster = 1;
    std::uint32_t m_clusterLimit = 0;
    std::uint32_t m_rootCluster = 0;
    std::uint32_t m_bytesPerCluster = 512;
    std::int64_t m_heapFirstSector = 0;
    CRegionPages m_bitmap;
    std::uint64_t m_bitmapBits = 0;
};
