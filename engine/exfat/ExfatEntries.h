#pragma once
// exFAT folder entries: the plausibility tests of file, stream, name and label
// entries, the entry-set checksum, timestamps, and the quick search's folder
// analyser that turns folder clusters into file records.
#include "engine/include/EngineTypes.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace exfat {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::size_t kEntrySize = 32;
inline constexpr std::size_t kMaxNameBytes = 259;
// A folder holds at most 256 MiB of entries.
inline constexpr std::uint64_t kMaxFolderBytes = std::uint64_t{256} << 20;
// Cluster numbers at or above this are end, bad or reserved marks.
inline constexpr std::uint32_t kClusterMarks = 0xFFFFFFF6;

enum EntryType : std::uint8_t {
    kEndOfFolder = 0x00,
    kBitmap = 0x81,
    kUpcase = 0x82,
    kLabel = 0x83,
    kLabelDeleted = 0x03,
    kFile = 0x85,
    kFileDeleted = 0x05,
    kStream = 0xC0,
    kStreamDeleted = 0x40,
    kName = 0xC1,
    kNameDeleted = 0x41,
};
inline constexpr std::uint8_t kInUse = 0x80;
inline constexpr std::uint16_t kAttrFolder = 0x10;

// A timestamp has a plausible day, month, hour, minute and second (0 fails).
bool IsValidTimestamp(std::uint32_t t);
// Each test takes one 32-byte entry.
bool IsValidFileEntry(Bytes e);
// Lengths are checked against the device; shifts are log2 of the sector and
// cluster sizes in bytes.
bool IsValidStreamEntry(Bytes e, std::uint64_t totalSectors, unsigned sectorShift, unsigned clusterShift);
// The stream test without its reserved bytes: first cluster and lengths only.
bool IsPlausibleStreamExtent(Bytes e, std::uint64_t totalSectors, unsigned sectorShift, unsigned clusterShift);
bool IsValidNameEntry(Bytes e);
bool IsValidLabelEntry(Bytes e);

// The exFAT entry-set checksum over a whole set (bytes 2-3 of the file entry skipped).
std::uint16_t EntrySetChecksum(Bytes set);
// The set (length bytes) matches the stored checksum, also through the in-use
// form of a deleted set.
bool CheckDirEntry(Bytes set, std::size_t length, std::uint16_t stored);

// A timestamp (local time, as exFAT stores it) in 100-ns units since 1601.
_FILETIME DosTime2FileTime(std::uint32_t t);

} // namespace exfat

// 1 for a byte value allowed in a name character below U+0100.
extern const std::uint8_t g_u8FileNameCheckTable[256];

// One file or folder read from a folder's entry set.
struct _tagFileBaseInfo {
    std::int64_t dataLength = 0;
    std::int64_t validLength = -1; // valid data length; below 0: the whole length
    std::uint32_t firstCluster = 0;
    std::uint8_t contiguous = 0; // the stream's no-FAT-chain flag
    std::uint8_t inUse = 0;
    std::uint16_t attributes = 0;
    std::uint32_t creation = 0, modification = 0, access = 0;
    std::int64_t metadataSector = 0;
    std::string name; // UTF-8, at most 259 bytes
    std::uint8_t nameLength = 0;
};

namespace exfat {
// The one decoder of an entry set's fields, shared by the quick and the deep
// search so that a set reads the same wherever it is found. Each takes one
// 32-byte entry of the kind named; the entry's type was checked by the caller.
void DecodeFileEntry(Bytes e, std::int64_t sector, _tagFileBaseInfo& out);
void DecodeStreamEntry(Bytes e, _tagFileBaseInfo& out);
void AppendNameUnits(Bytes e, std::u16string& units);
// The set's name from the units of all its name entries: the stream's name
// length counts them (0, what a length past 255 wraps to, takes all), and a
// NUL unit ends the name wherever it stands. UTF-8, at most kMaxNameBytes.
std::string DecodeSetName(const std::u16string& units, std::uint8_t nameLength);
} // namespace exfat

// The quick search's folder analyser: fed a folder's clusters in order, it
// collects the completed entry sets. A set may run on into the next cluster.
class CEFDTAnalyze {
public:
    void PrepareAnayze(unsigned sectorShift, unsigned clusterShift, std::uint64_t totalSectors);
    // Starts a new folder: an unfinished set of the previous one is dropped.
    void BeginFolder();
    // The entries of one folder cluster whose first sector is given; true to
    // go on with the folder's next cluster, false when the folder ends here.
    bool Analyze(exfat::Bytes cluster, std::int64_t sector);
    // As Analyze, for a cluster some of whose sectors could not be read (bad:
    // one flag per sector, empty when all were read): each readable stretch
    // is analysed on its own, and a set an unreadable sector cuts is dropped,
    // never joined across it. The zeros of a lost sector do not end the folder.
    bool AnalyzeAround(exfat::Bytes cluster, std::int64_t sector, const std::vector<bool>& bad);

    std::vector<_tagFileBaseInfo>& Records() { return m_records; }
    void ClearRecords() { m_records.clear(); }

    // The allocation bitmap named in the root folder (first cluster 0 = none seen).
    std::uint32_t BitmapCluster() const { return m_bitmapCluster; }
    std::uint64_t BitmapLength() const { return m_bitmapLength; }

private:
    void DropSet() {
        m_state = 0;
        m_verified = false;
    }
    // The current entry is the stream entry of a set whose checksum held.
    bool InVerifiedSet() const { return m_verified && m_state == 1 && m_index == 1; }

    _tagFileBaseInfo m_set;
    std::u16string m_units; // the set's name, joined before one conversion
    int m_state = 0;        // 0 none, 1 file entry read, 2+ stream and names read
    int m_remaining = 0;
    int m_index = 0;
    bool m_verified = false;
    std::vector<_tagFileBaseInfo> m_records;
    std::uint64_t m_totalSectors = 0;
    unsigned m_sectorShift = 9;
    unsigned m_clusterShift = 9;
    std::uint32_t m_bitmapCluster = 0;
    std::uint64_t m_bitmapLength = 0;
};
