#include "engine/include/StorageDevice.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/partition/PartitionAnalyzers.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

using bytes::Bytes;

namespace {
// One device sector at `sector`, or nothing.
bool ReadOne(IStorageDevice* disk, std::uint64_t sector, std::vector<std::uint8_t>& buf) {
    return sector < static_cast<std::uint64_t>(disk->GetTotalSectors()) &&
           IsSuccess(ReadDiskSectors(disk, sector, 1, buf));
}

bool Named(Bytes b, std::size_t off, const char* name) {
    const std::size_t n = std::strlen(name);
    return bytes::Has(b, off, n) && std::memcmp(b.data() + off, name, n) == 0;
}

// Device sectors per sector of the volume (`bps` bytes): 0 when they do not divide.
std::uint64_t Scale(std::uint64_t bps, std::uint64_t deviceSector) {
    return deviceSector && bps >= deviceSector && bps % deviceSector == 0 ? bps / deviceSector : 0;
}

// FAT sectors read in runs, so that a walk along a chain reads each once.
struct FatCache {
    std::uint64_t first = UINT64_MAX; // device sector of buf's start
    std::vector<std::uint8_t> buf;
};

// The FAT entry of `cluster` (FAT12/16/32 by `kind`), read from the first FAT.
std::optional<std::uint32_t> FatEntry(IStorageDevice* disk, const VolumeAt& v, std::uint32_t cluster,
                                      FatCache* cache = nullptr) {
    const std::uint64_t offset = v.kind == FS_FAT12   ? std::uint64_t{cluster} * 3 / 2
                                 : v.kind == FS_FAT16 ? std::uint64_t{cluster} * 2
                                                      : std::uint64_t{cluster} * 4;
    if (offset + 4 > v.fatBytes)
        return std::nullopt;
    const std::uint64_t ss = disk->GetSectorSize();
    FatCache one;
    FatCache& c = cache ? *cache : one;
    const std::uint64_t sector = v.start + v.fatStart + offset / ss;
    // Two sectors at least: a FAT12 entry may straddle them.
    if (sector < c.first || (sector - c.first + 2) * ss > c.buf.size()) {
        const std::uint64_t total = static_cast<std::uint64_t>(disk->GetTotalSectors());
        const std::uint64_t count = std::min<std::uint64_t>(cache ? 64 : 2, total - std::min(total, sector));
        c.first = UINT64_MAX;
        if (count < 2 || IsFailure(ReadDiskSectors(disk, sector, count, c.buf)))
            return std::nullopt;
        c.first = sector;
    }
    const std::size_t at = static_cast<std::size_t>((sector - c.first) * ss + offset % ss);
    const Bytes buf(c.buf);
    switch (v.kind) {
    case FS_FAT12: {
        const std::uint32_t pair = bytes::Le16(buf, at);
        return cluster % 2 ? pair >> 4 : pair & 0xFFF;
    }
    case FS_FAT16:
        return bytes::Le16(buf, at);
    default:
        return bytes::Le32(buf, at) & 0x0FFFFFFF;
    }
}

// Whether the FAT copies start with the media byte where the boot sector puts them.
bool FatsSound(IStorageDevice* disk, const VolumeAt& v, std::uint8_t media, unsigned fats) {
    std::vector<std::uint8_t> buf;
    for (unsigned i = 0; i < fats && i < 2; ++i)
        if (!ReadOne(disk, v.start + v.fatStart + i * v.fatSectors, buf) || buf[0] != media || buf[1] != 0xFF)
            return false;
    return true;
}

void ReadFat(IStorageDevice* disk, Bytes b, std::uint64_t k, VolumeAt& v) {
    const std::uint64_t reserved = bytes::Le16(b, 14), fats = bytes::U8(b, 16), roots = bytes::Le16(b, 17);
    const std::uint64_t bps = bytes::Le16(b, 11);
    const std::uint64_t fatSize = bytes::Le16(b, 22) ? bytes::Le16(b, 22) : bytes::Le32(b, 36);
    const std::uint64_t total = bytes::Le16(b, 19) ? bytes::Le16(b, 19) : bytes::Le32(b, 32);
    v.extent = total * k;
    v.clusterSectors = bytes::U8(b, 13) * k;
    v.fatStart = reserved * k;
    v.fatSectors = fatSize * k;
    v.fatBytes = fatSize * bps;
    v.dataStart = (reserved + fats * fatSize + (roots * 32 + bps - 1) / bps) * k;
    v.rootStart = (reserved + fats * fatSize) * k;
    const bool fat32 = v.kind == FS_FAT32;
    if (bytes::U8(b, fat32 ? 66 : 38) == 0x29)
        v.serial = bytes::Le32(b, fat32 ? 67 : 39);
    if (fat32)
        v.backupBoot = bytes::Le16(b, 50) * k;
    v.sound = v.clusterSectors > 0 && fats > 0 && FatsSound(disk, v, bytes::U8(b, 21), static_cast<unsigned>(fats));
    if (!v.sound)
        return;
    std::vector<std::uint8_t> buf;
    if (fat32) {
        // The root folder's first cluster is in use.
        const std::uint32_t root = bytes::Le32(b, 44);
        v.rootCluster = root;
        const auto next = root >= 2 ? FatEntry(disk, v, root) : std::nullopt;
        v.sound = next && *next != 0;
    } else {
        // The root folder's first entry is free or a name.
        const std::uint64_t root = reserved * k + fats * fatSize * k;
        v.sound = ReadOne(disk, v.start + root, buf) && (buf[0] == 0 || buf[0] == 0xE5 || buf[0] >= 0x20) &&
                  (buf[11] & 0xC0) == 0;
    }
}

void ReadExfat(IStorageDevice* disk, Bytes b, std::uint64_t k, VolumeAt& v) {
    v.extent = bytes::Le64(b, 72) * k;
    v.fatStart = bytes::Le32(b, 80) * k;
    v.fatSectors = bytes::Le32(b, 84) * k;
    v.fatBytes = std::uint64_t{bytes::Le32(b, 84)} << std::min<unsigned>(b[108], 16);
    v.dataStart = bytes::Le32(b, 88) * k;
    v.clusterSectors = (std::uint64_t{1} << std::min<unsigned>(bytes::U8(b, 109), 25)) * k;
    v.serial = bytes::Le32(b, 100);
    v.backupBoot = 12 * k;
    std::vector<std::uint8_t> buf;
    v.sound = ReadOne(disk, v.start + v.fatStart, buf) && bytes::Le32(buf, 0) == 0xFFFFFFF8;
    if (!v.sound)
        return;
    // The allocation bitmap, named in the root folder's first sector.
    const std::uint32_t root = bytes::Le32(b, 96);
    v.rootCluster = root;
    v.sound = root >= 2 && ReadOne(disk, v.start + v.dataStart + (root - 2) * v.clusterSectors, buf);
    for (std::size_t at = 0; v.sound && at + 32 <= buf.size(); at += 32)
        if (buf[at] == 0x81) {
            v.bitmapCluster = bytes::Le32(buf, at + 20);
            v.bitmapBytes = bytes::Le64(buf, at + 24);
            break;
        }
    v.sound = v.sound && v.bitmapCluster >= 2;
}

void ReadNtfs(IStorageDevice* disk, Bytes b, std::uint64_t k, VolumeAt& v) {
    // The backup boot sector follows the sectors the boot sector counts; the
    // volume spans it where it is there (a tool may count the whole partition).
    v.backupBoot = bytes::Le64(b, 40) * k;
    v.extent = v.backupBoot;
    v.serial = bytes::Le64(b, 72);
    std::vector<std::uint8_t> buf;
    if (v.backupBoot <= UINT64_MAX - v.start && ReadOne(disk, v.start + v.backupBoot, buf) &&
        Named(buf, 3, "NTFS    ") && bytes::Le64(buf, 72) == v.serial)
        v.extent += k;
    const std::uint8_t spc = bytes::U8(b, 13);
    const std::uint64_t cluster = (spc > 0x80 ? std::uint64_t{1} << std::min(256 - spc, 31) : spc) * k;
    const std::uint64_t mft = bytes::Le64(b, 48);
    v.clusterSectors = cluster;
    v.mftStart = cluster && mft < v.backupBoot / cluster ? mft * cluster : 0;
    // Clusters per record, or a power of two of bytes when negative.
    const auto perRecord = static_cast<std::int8_t>(bytes::U8(b, 64));
    const std::uint64_t bytesPerCluster = cluster / k * bytes::Le16(b, 11);
    v.recordBytes = perRecord < 0 ? (-perRecord <= 16 ? 1u << -perRecord : 0)
                                  : static_cast<std::uint32_t>(std::min<std::uint64_t>(perRecord * bytesPerCluster, 1u << 16));
    v.sound = cluster && mft < v.backupBoot / cluster && ReadOne(disk, v.start + mft * cluster, buf) &&
              Named(buf, 0, "FILE");
}
} // namespace

VolumeAt ReadVolumeAt(IStorageDevice* disk, std::uint64_t start) {
    VolumeAt v;
    v.start = start;
    if (!disk)
        return v;
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(disk, start));
    IVolumeAnalyze* volume = controller ? controller->GetVolumeAnzlyzer() : nullptr;
    if (!volume)
        return v;
    v.known = true;
    v.kind = volume->GetFileSystemType();
    v.extent = volume->GetTotalSector();
    v.claimed = v.extent;
    std::vector<std::uint8_t> b;
    if (!ReadOne(disk, start, b))
        return v;
    const std::uint64_t ss = disk->GetSectorSize();
    const std::uint64_t total = static_cast<std::uint64_t>(disk->GetTotalSectors());
    if (v.kind == FS_EXFAT && Named(b, 3, "EXFAT   ")) {
        if (const std::uint64_t k = Scale(std::uint64_t{1} << std::min<unsigned>(b[108], 16), ss))
            ReadExfat(disk, b, k, v);
    } else if (v.kind == FS_NTFS && Named(b, 3, "NTFS    ")) {
        if (const std::uint64_t k = Scale(bytes::Le16(b, 11), ss))
            ReadNtfs(disk, b, k, v);
    } else if (v.kind == FS_FAT12 || v.kind == FS_FAT16 || v.kind == FS_FAT32) {
        if (const std::uint64_t k = Scale(bytes::Le16(b, 11), ss))
            ReadFat(disk, b, k, v);
    }
    // Never past the disk, so that sums stay in range.
    v.pastDisk = start >= total || v.extent > total - start;
    v.extent = std::min(v.extent, total - std::min(start, total));
    return v;
}

bool SectorInUse(IStorageDevice* disk, const VolumeAt& v, std::uint64_t sector) {
    if (!v.sound || !v.clusterSectors || sector < v.start + v.dataStart || sector - v.start >= v.extent)
        return false;
    const std::uint64_t index = (sector - v.start - v.dataStart) / v.clusterSectors;
    if (index > 0x0FFFFFF0)
        return false;
    if (v.kind == FS_EXFAT) {
        if (index / 8 >= v.bitmapBytes)
            return false;
        const std::uint64_t ss = disk->GetSectorSize();
        std::vector<std::uint8_t> buf;
        const std::uint64_t at = v.start + v.dataStart + (v.bitmapCluster - 2) * v.clusterSectors + index / 8 / ss;
        return ReadOne(disk, at, buf) && (buf[index / 8 % ss] >> (index % 8) & 1);
    }
    const auto entry = FatEntry(disk, v, static_cast<std::uint32_t>(index + 2));
    return entry && *entry != 0;
}

bool SameVolume(const VolumeAt& a, const VolumeAt& b) {
    return a.serial != 0 && a.serial == b.serial && a.kind == b.kind && a.claimed == b.claimed;
}

namespace {
// Never read more than this of a folder or an MFT to judge one entry.
constexpr std::uint64_t kMaxFolderBytes = 4ULL << 20;
constexpr std::uint64_t kMaxMftRecords = 1ULL << 16;

bool IsFatKind(enumFILE_SYSTEM_TYPE k) { return k == FS_FAT12 || k == FS_FAT16 || k == FS_FAT32; }

// A cluster value that marks a bad cluster.
bool BadCluster(const VolumeAt& v, std::uint32_t e) {
    return e == (v.kind == FS_FAT12 ? 0xFF7u : v.kind == FS_FAT16 ? 0xFFF7u : 0x0FFFFFF7u);
}

// The first and last cluster holding the sectors first..last of a FAT or exFAT volume.
bool Clusters(const VolumeAt& v, std::uint64_t first, std::uint64_t last, std::uint64_t& c0, std::uint64_t& c1) {
    if (!v.clusterSectors || last < first || first < v.start + v.dataStart || last - v.start >= v.extent)
        return false;
    c0 = (first - v.start - v.dataStart) / v.clusterSectors + 2;
    c1 = (last - v.start - v.dataStart) / v.clusterSectors + 2;
    return c1 < 0x0FFFFFF0;
}

// Whether clusters c0..c1 of a FAT volume follow one another in one chain,
// each in use: one file holds them all.
bool OneChain(IStorageDevice* disk, const VolumeAt& v, std::uint64_t c0, std::uint64_t c1) {
    FatCache cache;
    for (std::uint64_t c = c0; c <= c1; ++c) {
        const auto e = FatEntry(disk, v, static_cast<std::uint32_t>(c), &cache);
        if (!e || *e == 0 || BadCluster(v, *e) || (c < c1 && *e != c + 1))
            return false;
    }
    return true;
}

// Whether every one of clusters c0..c1 is in use (`used`) or free.
bool AllClusters(IStorageDevice* disk, const VolumeAt& v, std::uint64_t c0, std::uint64_t c1, bool used) {
    if (IsFatKind(v.kind)) {
        FatCache cache;
        for (std::uint64_t c = c0; c <= c1; ++c) {
            const auto e = FatEntry(disk, v, static_cast<std::uint32_t>(c), &cache);
            if (!e || (*e != 0) != used)
                return false;
        }
        return true;
    }
    if (v.kind != FS_EXFAT || (c1 - 2) / 8 >= v.bitmapBytes || v.bitmapCluster < 2)
        return false;
    const std::uint64_t ss = disk->GetSectorSize();
    const std::uint64_t base = v.start + v.dataStart + (v.bitmapCluster - 2) * v.clusterSectors;
    std::vector<std::uint8_t> buf;
    std::uint64_t loaded = UINT64_MAX; // first bitmap sector in buf
    for (std::uint64_t i = c0 - 2; i <= c1 - 2; ++i) {
        const std::uint64_t sector = i / 8 / ss;
        if (loaded == UINT64_MAX || sector < loaded || sector >= loaded + buf.size() / ss) {
            const std::uint64_t total = static_cast<std::uint64_t>(disk->GetTotalSectors());
            const std::uint64_t count = std::min<std::uint64_t>(64, total - std::min(total, base + sector));
            if (!count || IsFailure(ReadDiskSectors(disk, base + sector, count, buf)))
                return false;
            loaded = sector;
        }
        if (((buf[i / 8 - loaded * ss] >> (i % 8) & 1) != 0) != used)
            return false;
    }
    return true;
}

// The root folder's bytes (as far as kMaxFolderBytes): FAT12/16's fixed
// area, or the chain of a FAT32 or exFAT root.
std::vector<std::uint8_t> RootFolder(IStorageDevice* disk, const VolumeAt& v) {
    std::vector<std::uint8_t> folder, buf;
    const std::uint64_t ss = disk->GetSectorSize();
    if (v.kind == FS_FAT12 || v.kind == FS_FAT16) {
        const std::uint64_t count = std::min(v.dataStart - std::min(v.dataStart, v.rootStart), kMaxFolderBytes / ss);
        if (count && IsSuccess(ReadDiskSectors(disk, v.start + v.rootStart, count, buf)))
            folder = buf;
        return folder;
    }
    if (!v.clusterSectors || v.clusterSectors * ss > kMaxFolderBytes)
        return folder;
    FatCache cache;
    VolumeAt fat = v;
    fat.kind = FS_FAT32; // exFAT's FAT entries are 32 bits wide too
    for (std::uint64_t c = v.rootCluster; c >= 2 && c < 0x0FFFFFF0 && folder.size() < kMaxFolderBytes;) {
        if (IsFailure(ReadDiskSectors(disk, v.start + v.dataStart + (c - 2) * v.clusterSectors, v.clusterSectors, buf)))
            break;
        folder.insert(folder.end(), buf.begin(), buf.end());
        const auto next = FatEntry(disk, fat, static_cast<std::uint32_t>(c), &cache);
        if (!next)
            break;
        c = *next;
    }
    return folder;
}

// Whether a deleted file named in the root folder held clusters c0..c1,
// which are free now: a disk image deleted from the card.
bool DeletedFileHolds(IStorageDevice* disk, const VolumeAt& v, std::uint64_t c0, std::uint64_t c1) {
    const std::vector<std::uint8_t> folder = RootFolder(disk, v);
    const Bytes f(folder);
    const std::uint64_t clusterBytes = v.clusterSectors * disk->GetSectorSize();
    if (!clusterBytes)
        return false;
    bool found = false;
    for (std::size_t at = 0; !found && at + 64 <= f.size(); at += 32) {
        std::uint64_t first = 0, size = 0;
        if (v.kind == FS_EXFAT) {
            // A deleted file's entry set: its file entry, then its stream entry.
            if (f[at] != 0x05 || f[at + 32] != 0x40)
                continue;
            first = bytes::Le32(f, at + 32 + 20);
            size = bytes::Le64(f, at + 32 + 24);
        } else {
            if (f[at] == 0)
                break;
            if (f[at] != 0xE5 || f[at + 11] == 0x0F || (f[at + 11] & 0x18) != 0)
                continue;
            first = bytes::Le16(f, at + 26) | (v.kind == FS_FAT32 ? std::uint64_t{bytes::Le16(f, at + 20)} << 16 : 0);
            size = bytes::Le32(f, at + 28);
        }
        found = first >= 2 && first <= c0 && c1 - first < size / clusterBytes + (size % clusterBytes != 0);
    }
    return found && AllClusters(disk, v, c0, c1, false);
}

// Applies an MFT record's update sequence; false when it does not match.
bool FixRecord(std::vector<std::uint8_t>& r) {
    const std::size_t usa = bytes::Le16(r, 4), count = bytes::Le16(r, 6);
    if (count == 0 || usa + 2 * count > r.size() || (count - 1) * 512 > r.size())
        return false;
    for (std::size_t i = 1; i < count; ++i) {
        const std::size_t end = i * 512 - 2;
        if (r[end] != r[usa] || r[end + 1] != r[usa + 1])
            return false;
        r[end] = r[usa + 2 * i];
        r[end + 1] = r[usa + 2 * i + 1];
    }
    return true;
}

// The runs (first cluster, clusters) of each non-resident $DATA attribute of
// an MFT record, sparse runs left out.
std::vector<std::pair<std::uint64_t, std::uint64_t>> DataRuns(Bytes r) {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> runs;
    for (std::size_t off = bytes::Le16(r, 20); bytes::Has(r, off, 16);) {
        const std::uint32_t type = bytes::Le32(r, off), len = bytes::Le32(r, off + 4);
        if (type == 0xFFFFFFFF || len < 16 || len > r.size() - off)
            break;
        if (type == 0x80 && bytes::U8(r, off + 8) != 0) {
            std::int64_t lcn = 0;
            for (std::size_t at = off + bytes::Le16(r, off + 32); at < off + len;) {
                const std::uint8_t h = r[at];
                const unsigned lenSize = h & 0xF, offSize = h >> 4;
                if (h == 0 || lenSize > 8 || offSize > 8 || at + 1 + lenSize + offSize > off + len)
                    break;
                std::uint64_t count = 0;
                for (unsigned i = 0; i < lenSize; ++i)
                    count |= std::uint64_t{r[at + 1 + i]} << (8 * i);
                std::uint64_t delta = 0;
                for (unsigned i = 0; i < offSize; ++i)
                    delta |= std::uint64_t{r[at + 1 + lenSize + i]} << (8 * i);
                if (offSize && offSize < 8 && (delta >> (8 * offSize - 1) & 1))
                    delta |= ~std::uint64_t{0} << (8 * offSize); // negative
                lcn += static_cast<std::int64_t>(delta);
                if (offSize && lcn >= 0)
                    runs.emplace_back(static_cast<std::uint64_t>(lcn), count);
                at += 1 + lenSize + offSize;
            }
        }
        off += len;
    }
    return runs;
}

// Whether one run of one file's data (a live or a deleted record) holds
// clusters c0..c1 of an NTFS volume; nothing when the MFT is too long to read
// through.
std::optional<bool> NtfsFileHolds(IStorageDevice* disk, const VolumeAt& v, std::uint64_t c0, std::uint64_t c1) {
    const std::uint64_t ss = disk->GetSectorSize();
    const std::uint64_t rb = v.recordBytes;
    if (!v.mftStart || rb < 512 || rb % 512 || !v.clusterSectors || v.clusterSectors * ss % rb)
        return false;
    const std::uint64_t cs = v.clusterSectors;
    std::vector<std::uint8_t> buf, r;
    auto record = [&](std::size_t at) {
        r.assign(buf.begin() + static_cast<std::ptrdiff_t>(at), buf.begin() + static_cast<std::ptrdiff_t>(at + rb));
        return Named(r, 0, "FILE") && FixRecord(r);
    };
    // The MFT's own record names where the rest of it lies.
    if (IsFailure(ReadDiskSectors(disk, v.start + v.mftStart, (rb + ss - 1) / ss, buf)) || !record(0))
        return false;
    const auto mft = DataRuns(r);
    std::uint64_t seen = 0;
    for (const auto& [lcn, count] : mft) {
        if (lcn > v.extent / cs || count > v.extent / cs - lcn)
            return false;
        // A cluster run at a time, up to 1 MiB.
        const std::uint64_t step = std::max<std::uint64_t>(1, (1u << 20) / (cs * ss)) * cs;
        for (std::uint64_t sector = lcn * cs; sector < (lcn + count) * cs; sector += step) {
            const std::uint64_t n = std::min(step, (lcn + count) * cs - sector);
            if (IsFailure(ReadDiskSectors(disk, v.start + sector, n, buf)))
                return false;
            for (std::size_t at = 0; at + rb <= buf.size(); at += rb) {
                if (++seen > kMaxMftRecords)
                    return std::nullopt;
                if (!record(at))
                    continue;
                for (const auto& [first, runClusters] : DataRuns(r))
                    if (first <= c0 && c1 - first < runClusters)
                        return true;
            }
        }
    }
    return false;
}
} // namespace

CardEntry JudgeCardEntry(IStorageDevice* disk, const VolumeAt& card, const VolumeAt& entry) {
    if (entry.start >= card.start + card.extent || entry.start <= card.start)
        return CardEntry::Outside;
    // The same volume twice: the card's backup boot sector, or sector 0 a
    // copy of the boot sector of the volume the entry names.
    if (SameVolume(entry, card))
        return card.sound ? CardEntry::Copy : CardEntry::Stale;
    // Where the card keeps its boot sectors and FATs no file lies: a
    // partitioning tool's first partition over an old whole-disk volume.
    if (entry.start - card.start < card.dataStart)
        return CardEntry::Stale;
    // A disk image kept on the card is one of its files, and its volume lies
    // in that file's clusters; a partition made over a used volume runs
    // across many old files and free clusters, or past the volume's end.
    const std::uint64_t last = entry.start + std::max<std::uint64_t>(entry.extent, 1) - 1;
    if (!card.sound || last - card.start >= card.extent)
        return CardEntry::Stale;
    if (!IsFatKind(card.kind) && card.kind != FS_EXFAT && card.kind != FS_NTFS)
        return CardEntry::File; // no cluster map read here: inside it, as the boot code put it
    if (card.kind == FS_NTFS) {
        // No file holds the card's backup boot sector.
        const std::uint64_t files = card.backupBoot && card.backupBoot < card.extent ? card.backupBoot : card.extent;
        if (last - card.start >= files)
            return CardEntry::Stale;
        const std::uint64_t cs = card.clusterSectors;
        const auto held = cs ? NtfsFileHolds(disk, card, (entry.start - card.start) / cs, (last - card.start) / cs)
                             : std::optional<bool>(false);
        // An MFT too long to read through: the card, as its boot code is its own.
        return !held || *held ? CardEntry::File : CardEntry::Stale;
    }
    std::uint64_t c0 = 0, c1 = 0;
    if (!Clusters(card, entry.start, last, c0, c1))
        return CardEntry::Stale;
    const bool held = card.kind == FS_EXFAT ? AllClusters(disk, card, c0, c1, true) : OneChain(disk, card, c0, c1);
    return held || DeletedFileHolds(disk, card, c0, c1) ? CardEntry::File : CardEntry::Stale;
}

VolumeAt DropCardEntries(IStorageDevice* disk, PartitionList& list) {
    const VolumeAt card = ReadVolumeAt(disk, 0);
    if (!card.known || card.extent == 0 || card.pastDisk)
        return VolumeAt{};
    auto inside = [&](const PartitionEntry& p) { return p.startSector > 0 && p.startSector < card.extent; };
    std::map<std::uint64_t, bool> asked; // each start once
    for (const PartitionEntry& p : list) {
        if (!inside(p) || !asked.emplace(p.startSector, true).second)
            continue;
        const VolumeAt v = ReadVolumeAt(disk, p.startSector);
        if (v.known && JudgeCardEntry(disk, card, v) == CardEntry::Stale)
            return VolumeAt{};
    }
    list.remove_if(inside);
    return card;
}
