#pragma once
// File allocation tables: one reader per entry width (12, 16, 32 bits) that
// judges whether its copy is a plausible FAT, and a two-copy wrapper answering
// from the first usable copy. Tables are only read.
#include "engine/include/EngineTypes.h"

#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

class IStorageDevice;

namespace fat {
inline constexpr std::uint32_t kBadCluster = 0x0FFFFFF7;
inline constexpr std::uint32_t kEndOfChain = 0x0FFFFFF8;  // and every value above
inline constexpr std::uint32_t kFat12EndOfChain = 0xFFFFFFFF; // a FAT12 entry of 0xFFF
inline constexpr std::uint32_t kFat32EntryMask = 0x0FFFFFFF;  // the top four bits are reserved
// The answer for an entry in a sector that cannot be read: neither free nor an
// end. It lies among the end marks, so a walker that does not ask ends there.
inline constexpr std::uint32_t kUnknownEntry = 0xFFFFFFFE;
// Whether a next-cluster answer ends a chain (0 "no answer", 1, or an end mark).
inline bool IsChainEnd(std::uint32_t next) { return next < 2 || next >= kEndOfChain; }
// Whether the table gives the cluster to some chain (a known, non-free entry).
inline bool IsKnownUsed(std::uint32_t next) { return next != 0 && next != kUnknownEntry; }
} // namespace fat

class IFATTable {
public:
    virtual ~IFATTable() = default;
    // The next cluster of a chain: a cluster number, kBadCluster, an end mark,
    // kUnknownEntry (its sector could not be read), or 0 when the table has no
    // answer (cluster out of range, copy not loaded).
    virtual std::uint32_t GetNextCluster(std::uint32_t cluster) = 0;
};

// One FAT copy, read whole at construction (FAT32 copies larger than
// kWholeReadBytes are read in pages on demand, so large volumes stay scannable
// with bounded memory).
class IRealFATTable : public IFATTable {
public:
    virtual bool IsValidFATTable() = 0;
    // Whether some sectors of the copy could not be read (their entries unknown).
    virtual bool HasUnreadableSectors() const { return false; }
};

class CRealFATTable : public IRealFATTable {
public:
    static constexpr unsigned long long kWholeReadBytes = 128000ull * 512; // larger FAT32 copies are paged
    static constexpr unsigned kPageBytes = 1u << 20;
    static constexpr unsigned kMaxPages = 16;

    ~CRealFATTable() override;
    CRealFATTable(const CRealFATTable&) = delete;
    CRealFATTable& operator=(const CRealFATTable&) = delete;

    bool IsValidFATTable() override { return m_valid; }
    bool HasUnreadableSectors() const override { return m_anyUnreadable; }
    // Entries the reader answers for: those the copy holds, cut to the volume's
    // clusters + 2 when a cluster count was given.
    std::uint32_t GetEntryCount() const { return m_entryCount; }
    bool IsLoaded() const { return m_loaded; }
    bool IsPaged() const { return m_paged; }
    enumFILE_SYSTEM_TYPE Kind() const { return m_kind; }
    enum class Entry { None, Known, Unknown };
    // The stored entry (FAT32 masked to 28 bits): Known, Unknown when a sector
    // holding it could not be read, None outside the copy.
    Entry ReadEntry(std::uint32_t index, std::uint32_t& value);
    bool RawEntry(std::uint32_t index, std::uint32_t& value) { return ReadEntry(index, value) == Entry::Known; }

protected:
    // clusterCount 0: bounded by the copy's size alone.
    CRealFATTable(IStorageDevice* device, enumFILE_SYSTEM_TYPE kind, long long start, unsigned sectorsPerFat,
                  unsigned minSectorsPerFat, unsigned maxSectorsPerFat, unsigned long long clusterCount);
    // The first value of the bad mark of this width (0xFF7, 0xFFF7, 0x0FFFFFF7).
    std::uint32_t BadMark() const;

private:
    struct Page {
        unsigned long long number;
        std::vector<std::uint8_t> bytes;
        bool ok;
    };
    bool Load();
    bool Validate();
    bool BodyAndChainTests();
    template <typename Visit>
    bool ScanEntries(Visit visit);
    const Page* GetPage(unsigned long long number);
    // Reads sectors [first, first + count) of the copy around unreadable ones.
    bool ReadCopy(std::uint8_t* into, unsigned long long first, unsigned long long count);
    bool Unreadable(unsigned long long byteOffset, unsigned width) const;

    IStorageDevice* m_device;
    enumFILE_SYSTEM_TYPE m_kind;
    long long m_start;
    unsigned m_sectorsPerFat;
    unsigned m_sectorSize;
    unsigned long long m_tableBytes = 0;
    std::uint32_t m_entryCount = 0;
    bool m_loaded = false;
    bool m_paged = false;
    bool m_valid = false;
    bool m_anyUnreadable = false;
    std::vector<bool> m_unreadable;    // per sector of the copy
    std::vector<std::uint8_t> m_bytes; // the whole copy, unless paged
    std::list<Page> m_pages;           // most recently used first
    std::mutex m_pageMutex;
};

class CFAT12Table : public CRealFATTable {
public:
    CFAT12Table(IStorageDevice* device, long long start, unsigned sectorsPerFat, unsigned long long clusterCount = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
};

class CFAT16Table : public CRealFATTable {
public:
    CFAT16Table(IStorageDevice* device, long long start, unsigned sectorsPerFat, unsigned long long clusterCount = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
};

class CFAT32Table : public CRealFATTable {
public:
    CFAT32Table(IStorageDevice* device, long long start, unsigned sectorsPerFat, unsigned long long clusterCount = 0);
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
};

// Answers from the first copy when present, else from the second, and from
// the second for entries the first could not read; owns both.
class CDoubleFATTable : public IFATTable {
public:
    CDoubleFATTable(IRealFATTable* first, IRealFATTable* second) : m_first(first), m_second(second) {}
    std::uint32_t GetNextCluster(std::uint32_t cluster) override;
    IRealFATTable* First() const { return m_first.get(); }
    IRealFATTable* Second() const { return m_second.get(); }

private:
    std::unique_ptr<IRealFATTable> m_first;
    std::unique_ptr<IRealFATTable> m_second;
};

class IFATTableFactory {
public:
    // The wrapper over the copies at fatStart and fatStart + sectorsPerFat: the
    // first is built when firstSeen is set or secondSeen clear, the second only
    // when secondSeen is set and the first is not valid or has sectors it
    // could not read. Never null; answers 0
    // for every cluster when no copy survived. clusterCount (data clusters of
    // the volume, 0 unknown) bounds every answer.
    static IFATTable* CreateFATTable(IStorageDevice* device, long long fatStart, enumFILE_SYSTEM_TYPE kind,
                                     unsigned sectorsPerFat, int firstSeen, int secondSeen,
                                     unsigned long long clusterCount = 0);
    // One copy; null for another kind or a copy that is not a valid FAT.
    static IRealFATTable* CreateRealFATTable(IStorageDevice* device, enumFILE_SYSTEM_TYPE kind, long long start,
                                             unsigned sectorsPerFat, unsigned long long clusterCount = 0);
    static void DestroyFATTable(IFATTable* table) { delete table; }
};

namespace fat {
enum class ChainEnd {
    End,        // an end mark (or no answer)
    Bad,        // the bad-cluster mark
    OutOfRange, // a cluster beyond the volume
    Loop,       // a cluster met twice
};
// Follows a chain from first (which must be 2 or more) and appends every
// cluster reached, first included. clusterCount (data clusters of the volume)
// bounds the cluster numbers; 0 leaves them unbounded. Linear in the chain's
// length; never runs longer than the volume has clusters.
ChainEnd FollowClusterChain(IFATTable& table, std::uint32_t first, unsigned long long clusterCount,
                            std::vector<std::uint32_t>& clusters);
} // namespace fat
