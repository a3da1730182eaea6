#pragma once
// The analysers behind CreatePartitionTableAnalyze, one per scheme.
#include "engine/common/Bytes.h"
#include "engine/include/EngineTypes.h"
#include "engine/partition/PartitionTable.h"

#include <cstdint>
#include <optional>
#include <vector>

class IStorageDevice;

// Reads `count` sectors from `first` into `buf` (resized to fit); answers the
// device's own error code when the read fails.
ResultCode ReadDiskSectors(IStorageDevice* device, std::uint64_t first, std::uint64_t count,
                           std::vector<std::uint8_t>& buf);

// True when the 0x55 0xAA signature closes the 512-byte table sector.
bool HasBootSignature(bytes::Bytes sector);
// True when every one of the four entries has boot indicator 0x00 or 0x80.
bool BootIndicatorsValid(bytes::Bytes sector);
// Whether a disk's sector 0 is an MBR: signed, and at least one entry
// starting on the disk when there are any; then a table whose partitions hold
// a volume a registered recogniser knows (FAT, exFAT, NTFS, HFS+) is one, even
// with a damaged boot flag or a volume's boot sector in the boot code; else
// the boot sector of such a volume spanning the disk (a card formatted
// without a table, whose boot code may parse as entries) is not; else it is
// one when every boot indicator is 0x00 or 0x80. Entries past the disk's end
// are left out or cut when listed, as on a truncated image, and overlapping
// ones are weighed (KeepDisjointEntries), rather than refuse the table.
bool IsMbrTableSector(IStorageDevice* disk, bytes::Bytes sector0);
// Whether the MBR's partitions (logical ones too) hold a volume a registered
// recogniser knows, other than the volume at sector 0 itself or a copy of its
// boot sector (its backup boot sector, which a card's boot code may point at).
// A disk image kept as a file on that volume and named by an entry counts: it
// is a volume of its own.
bool MbrPartitionsHoldVolumes(IStorageDevice* disk);

// The size in device sectors of the volume a registered recogniser knows at
// this sector (0 when it gives none); nothing when none knows one there.
std::optional<std::uint64_t> RecognisedVolumeSectors(IStorageDevice* disk, std::uint64_t startSector);
// A registered recogniser knows the volume starting at this sector.
bool HoldsRecognisedVolume(IStorageDevice* disk, std::uint64_t startSector);
// Of entries sharing sectors, drops those that hold no volume of their own
// (boot code read as entries, a mistyped start) and repeats (one volume named
// twice, or a copy of its boot sector). Of entries starting at one volume, the
// one whose size fits it stays. A volume is listed once: of volumes of one
// serial and size (a boot sector copied into free space, a backup boot
// sector) the one whose FATs or MFT lie where its boot sector says stays.
// Every sound volume (its FATs and root folder, or MFT, where its boot sector
// says) stays, whatever it overlaps: where the bytes allow two readings (an
// old volume under a new table, a disk image kept on a card or a partition
// and named by an entry) both are volumes. A boot sector that finds no FATs or
// root folder stays only when it overlaps no volume kept, one wholly inside
// another volume never: of such, those that overlap nothing else first,
// whatever their slot. An entry at whose start no volume lies stays only when
// it overlaps nothing kept; of two such, the one listed first. Spans are the
// volumes' own sizes: an entry too long, or running to the disk's end, hides
// no volume that follows. Time grows as n log n in the entries, each start
// read once.
void KeepDisjointEntries(IStorageDevice* disk, PartitionList& list);

// What the boot sector at a sector says of its volume, read as far as the
// partition rules need it; sizes and places in device sectors, places from the
// volume's start.
struct VolumeAt {
    std::uint64_t start = 0;
    bool known = false; // a registered recogniser knows it
    bool pastDisk = false; // its own size runs past the disk's end (extent is cut there)
    enumFILE_SYSTEM_TYPE kind = FS_UNKNOWN;
    std::uint64_t extent = 0;     // its own size (an NTFS volume's with its backup boot sector)
    std::uint64_t serial = 0;     // 0: none
    std::uint64_t claimed = 0;    // the size its boot sector gives, as read (not cut at the disk's end)
    std::uint64_t dataStart = 0;  // the first sector of its clusters (FAT, exFAT)
    std::uint64_t backupBoot = 0; // 0: none
    // Its FATs and root folder (FAT, exFAT) or its MFT (NTFS) lie where the
    // boot sector says; a copy of a boot sector elsewhere finds none of them.
    bool sound = true;
    std::uint64_t clusterSectors = 0, fatStart = 0, fatSectors = 0, fatBytes = 0;
    std::uint32_t bitmapCluster = 0; // exFAT allocation bitmap
    std::uint64_t bitmapBytes = 0;
    std::uint64_t rootStart = 0;   // FAT12/16: the root folder's first sector
    std::uint32_t rootCluster = 0; // FAT32, exFAT: the root folder's first cluster
    std::uint64_t mftStart = 0;    // NTFS: the MFT's first sector
    std::uint32_t recordBytes = 0; // NTFS: bytes per MFT record
};
VolumeAt ReadVolumeAt(IStorageDevice* disk, std::uint64_t start);
// Whether two boot sectors describe one volume (one a copy or backup of the
// other): same kind, serial and size. A serial alone is no proof: tools made
// in one second, or cloned, give alike volumes one serial.
bool SameVolume(const VolumeAt& a, const VolumeAt& b);
// The sound volume at sector 0 (a card whose boot code holds entries, an old
// whole-disk volume left under a new table), put first in the list as entry
// number 0 spanning its own size, to be weighed with the table's entries: one
// reading of the disk does not hide the other. False when none is there.
bool AddSectorZeroVolume(IStorageDevice* disk, PartitionList& list);

// One 16-byte MBR or EBR entry.
class CPartitionTableEntry {
public:
    // Copies the entry at byte `offset` of `sector` (zeros past its end).
    void InitFromBuffer(bytes::Bytes sector, std::size_t offset);
    std::uint8_t GetPartitionType() const { return m_raw[4]; }
    bool IsEmptyEntry() const { return m_raw[4] == 0; }
    // 0x85 is Linux's extended type: Linux and fdisk read its chain as well.
    bool IsExtenedPartition() const { return m_raw[4] == 0x05 || m_raw[4] == 0x0F || m_raw[4] == 0x85; }
    std::uint32_t GetLeadSectors() const;
    std::uint32_t GetTotalSectors() const;
    std::uint64_t GetEndSector() const { return std::uint64_t{GetLeadSectors()} + GetTotalSectors() - 1; }
    // The 16 bytes are not all zero.
    bool IsValidPartitionTableEntry() const;

private:
    std::uint8_t m_raw[16] = {};
};

// Lists an MBR or EBR entry at base + its first sector. An entry that starts
// at or beyond the disk's end is not listed; one that runs past the end, or
// has no count, is cut at the end.
void InsertMbrEntry(std::uint64_t diskSectors, const CPartitionTableEntry& entry, std::uint64_t base,
                    std::int32_t number, PartitionList& out);

class CPartitionTableChainAnalyzer {
public:
    ResultCode AnalyzePartitionTableChain(IStorageDevice* device, PartitionList& out);
    // False: the table's entries as they stand, overlapping ones and those at
    // no volume too, without the volume at sector 0 (enough to ask whether any
    // of them holds a volume).
    bool weighOverlaps = true;

private:
    ResultCode AnalyzeMBR(IStorageDevice* device, PartitionList& out);
    // Walks the EBR chain from the extended partition's first sector. A sound
    // volume at an EBR that a link names (its boot code holding the table, or
    // HFS+ without a signature) is listed too, numbered after the chain's
    // logical partitions and spanning its own sectors, not the link's.
    ResultCode AnalyzeEMBR(IStorageDevice* device, std::uint64_t extendedStart, std::uint64_t extendedEnd,
                           std::uint64_t ebrSector, std::int32_t lastNumber, PartitionList& out);
};

// Where the GPT entry array lies.
struct GptLayout {
    std::uint64_t entryLba = 2;
    std::uint32_t entryCount = 128;
    std::uint32_t entrySize = 128;
};

// The layout named by a GPT header sector when it is sound; otherwise the
// usual one (array at sector 2, 128 entries of 128 bytes).
GptLayout GptLayoutFromHeader(bytes::Bytes header, std::uint64_t diskSectors);

// Sector 1 holds a GPT header whose entry array the reader takes (whatever
// its backup header and last usable sector say: a disk cut short keeps them
// past its end).
bool HoldsGptHeader(IStorageDevice* device);

// Smaller GPT partitions (BIOS boot and the like) are not listed, unless a
// registered recogniser knows the volume in one.
inline constexpr std::uint64_t kGptMinListedBytes = 8ULL << 20;

// Lists the used entries of a GPT entry array that are larger than minBytes
// (entries that do not fit wholly in `entries` are ignored).
void ParseGptEntries(bytes::Bytes entries, std::uint32_t entryCount, std::uint32_t entrySize,
                     std::uint64_t diskSectors, std::uint32_t sectorSize, std::uint64_t minBytes,
                     PartitionList& out);

class CBaseGPTAnalyzer {
public:
    ResultCode AnalyzeBaseGPT(IStorageDevice* device, PartitionList& out);
};

// One Apple partition map entry, already checked for its signature.
struct ApmMapEntry {
    std::uint32_t mapEntries = 0;
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
    char typeName[32] = {};
};
// False when the block has no "PM" or "TS" signature.
bool ParseApmEntry(bytes::Bytes block, ApmMapEntry& entry);

class CAPMAnaly {
public:
    ResultCode AnalyzePartition(IStorageDevice* device, PartitionList& out);

private:
    ResultCode GetSectorsPerBlock();
    ResultCode GetPartCount();
    ResultCode AnalyzePartitionTable(PartitionList& out);

    IStorageDevice* m_device = nullptr;
    std::int32_t m_sectorSize = 0;
    std::int32_t m_sectorsPerBlock = 0;
    std::vector<std::uint8_t> m_sector;
    std::int32_t m_entryCount = 0;
};

class CPartitionTableAnalyze : public IPartitionTableAnalyze {
public:
    ResultCode AnalyzePartitionTable(IStorageDevice* disk, PartitionList& out) override;

    static ResultCode GetDiskInfo(IStorageDevice* disk, CCollectDiskDeviceInfoStruct*& info);
    static ResultCode GetDiskType(IStorageDevice* disk, enumDiskPartitionScheme& scheme);
    static ResultCode IsGptDisk(IStorageDevice* disk, bytes::Bytes sector0, int& yes);
    static ResultCode IsApmDisk(IStorageDevice* disk, bytes::Bytes sector0, int& yes);
    static ResultCode IsMbrDisk(IStorageDevice* disk, bytes::Bytes sector0, int& yes);
    static ResultCode IsDynamicDisk(IStorageDevice* disk, int& yes);
    static ResultCode AnalyzeMBRPartitionTable(IStorageDevice* disk, PartitionList& out);
    static ResultCode AnalyzeGPTPartitionTable(IStorageDevice* disk, PartitionList& out);
    static ResultCode AnalyzeAPMPartitionTable(IStorageDevice* disk, PartitionList& out);
    // The entries of the table of the scheme GetDiskType tells (none for a
    // disk it finds no table on).
    static ResultCode AnalyzeTableOfScheme(IStorageDevice* disk, enumDiskPartitionScheme scheme, PartitionList& out);
};
