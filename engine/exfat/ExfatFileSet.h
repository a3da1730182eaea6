#pragma once
// The deep search's folder-entry analyser: it reads sectors of a device in
// order and gathers runs of consecutive sectors of exFAT folder entries into
// fragments (CFileSet), joining entry sets that a cluster end cut in two.
#include "engine/exfat/ExfatEntries.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

// One fragment: consecutive sectors of folder entries, all of one folder.
class CFileSet {
public:
    enum Flags : std::uint32_t {
        kLabel = 1,
        kBitmap = 2,
        kUpcase = 4,
        kAbridged = 8, // starts inside an entry set whose head lies elsewhere
        kNotEnded = 16, // its last set runs on in another cluster
        kMatched = 32,  // claimed by a kept partition
    };

    std::vector<_tagFileBaseInfo> inUse;     // by first cluster
    std::vector<_tagFileBaseInfo> deleted;
    std::vector<std::uint32_t> subFolders;   // first clusters of in-use sub-folders, ascending
    std::uint32_t lowCluster = exfat::kClusterMarks; // among records with a cluster in the heap
    std::uint32_t highCluster = 0;
    // Cluster-size bounds: bytes while gathering, sectors once finished.
    std::uint64_t lowBound = 512;
    std::uint64_t highBound = 0x2000000;
    std::int64_t firstSector = -1;
    std::uint32_t sectorCount = 0;
    std::uint32_t flags = 0;
    std::uint32_t lowestRootCluster = 2;
    std::uint32_t totalClusters = 0;
    std::uint32_t bitmapCluster = 0;
    std::uint64_t bitmapLength = 0;
    std::uint32_t upcaseCluster = 0;
    std::uint64_t upcaseLength = 0;
    std::u16string label;
    CFileSet* next = nullptr; // the same folder's fragment that continues this one
    CFileSet* prev = nullptr;

    // The root folder names both the allocation bitmap and the up-case table
    // (a volume without a label has no label entry, so the label is not needed).
    bool IsRoot() const { return (flags & (kBitmap | kUpcase)) == (kBitmap | kUpcase); }
    bool IsAbridged() const { return (flags & kAbridged) != 0; }
    bool HasFiles() const { return !inUse.empty() || !deleted.empty(); }
    std::int64_t End() const { return firstSector + sectorCount; }
    // A cluster of s sectors is possible for this fragment.
    bool Allows(std::uint64_t s) const { return s >= lowBound && s <= highBound; }
    bool IsClusterSizeConflict(std::uint64_t s) const { return !Allows(s); }

    void UpdateFileList(_tagFileBaseInfo record);
    // Turns the bounds into sectors, raising the lower one from the gaps
    // between contiguous files.
    void CalculateClusterSize(unsigned sectorShift);
    // Links next after this one and narrows both bounds to their common range.
    void Link(CFileSet* following);
};

class CFDTPreAnaylze {
public:
    // Saved heads and tails are bounded so that junk cannot grow them without end.
    static constexpr std::size_t kMaxSaved = 1 << 16;

    void PrepareAnayze(unsigned sectorShift, unsigned clusterShift, std::uint64_t totalSectors);
    // Analyses the sector at the front of bytes; bytes runs on with the
    // sectors after it (at least two more, zero past the device's end), which
    // an entry set may run into. True when a fragment was finished.
    bool Analyze(std::int64_t sector, exfat::Bytes bytes);
    // Closes the fragment being gathered and hands out the oldest finished
    // one (false when none).
    bool GetFileSet(std::unique_ptr<CFileSet>& out);
    // The fragment continuing the one that starts at sector (-1 if none known),
    // and the converse.
    std::int64_t GetNext(std::int64_t sector) const;
    std::int64_t GetLast(std::int64_t sector) const;
    void FinisAnayze();

    std::size_t SavedHeads() const { return m_heads.size(); }
    std::size_t SavedTails() const { return m_tails.size(); }
    std::size_t Joins() const { return m_joins.size(); }

private:
    // Nameless: a whole set (its checksum holds) whose name reads as empty;
    // not filed, but passed over whole so the entries after it still count.
    enum class SetResult { Taken, Dropped, Nameless };
    struct Head {
        std::vector<std::uint8_t> bytes; // the whole set's length; only the first `present` entries are real
        unsigned present = 0;
    };

    // Reads one whole entry set; Taken files it in the current fragment.
    SetResult ReadSet(exfat::Bytes set, std::int64_t sector);
    bool IsValidStray(exfat::Bytes e) const;
    void Close();
    CFileSet& Current(std::int64_t sector);
    // A set cut by the sector's end at entry index i.
    void CheckAndRecordNotEnd(std::int64_t sector, exfat::Bytes bytes, std::size_t i, unsigned setEntries);
    void RecordAbrige(std::int64_t sector, exfat::Bytes bytes);
    bool Joint(const Head& head, exfat::Bytes tail, std::int64_t sector);

    unsigned m_sectorShift = 9;
    unsigned m_clusterShift = 25;
    unsigned m_sectorSize = 512;
    std::uint64_t m_totalSectors = 0;
    std::unique_ptr<CFileSet> m_cur;
    std::deque<std::unique_ptr<CFileSet>> m_done;
    // Entries at the front of the sector m_skipSector that a set of the
    // sector before has already consumed.
    std::int64_t m_skipSector = -1;
    unsigned m_skip = 0;
    std::map<std::int64_t, Head> m_heads;                       // head fragment's first sector -> head
    std::map<std::int64_t, std::vector<std::uint8_t>> m_tails; // tail sector -> its first bytes
    std::map<std::int64_t, std::int64_t> m_joins;              // head fragment -> tail fragment
};
