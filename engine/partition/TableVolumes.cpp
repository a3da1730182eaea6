#include "engine/include/StorageDevice.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/partition/PartitionAnalyzers.h"

#include <algorithm>
#include <cstring>
#include <optional>
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

// The FAT entry of `cluster` (FAT12/16/32 by `kind`), read from the first FAT.
std::optional<std::uint32_t> FatEntry(IStorageDevice* disk, const VolumeAt& v, std::uint32_t cluster) {
    const std::uint64_t offset = v.kind == FS_FAT12   ? std::uint64_t{cluster} * 3 / 2
                                 : v.kind == FS_FAT16 ? std::uint64_t{cluster} * 2
                                                      : std::uint64_t{cluster} * 4;
    if (offset + 4 > v.fatBytes)
        return std::nullopt;
    const std::uint64_t ss = disk->GetSectorSize();
    const std::uint64_t sector = v.start + v.fatStart + offset / ss;
    const std::uint64_t total = static_cast<std::uint64_t>(disk->GetTotalSectors());
    std::vector<std::uint8_t> buf;
    // Two sectors: a FAT12 entry may straddle them.
    if (sector >= total || total - sector < 2 || IsFailure(ReadDiskSectors(disk, sector, 2, buf)))
        return std::nullopt;
    const Bytes b(buf);
    const std::size_t at = static_cast<std::size_t>(offset % ss);
    switch (v.kind) {
    case FS_FAT12: {
        const std::uint32_t pair = bytes::Le16(b, at);
        return cluster % 2 ? pair >> 4 : pair & 0xFFF;
    }
    case FS_FAT16:
        return bytes::Le16(b, at);
    default:
        return bytes::Le32(b, at) & 0x0FFFFFFF;
    }
}

// The first of the FAT copies (the first two asked) that starts with the
// media byte where the boot sector puts it. One copy overwritten (by a new
// table's entries, or a new volume's boot sectors) leaves the volume the other.
std::optional<unsigned> SoundFat(IStorageDevice* disk, const VolumeAt& v, std::uint8_t media, unsigned fats) {
    std::vector<std::uint8_t> buf;
    for (unsigned i = 0; i < fats && i < 2; ++i)
        if (ReadOne(disk, v.start + v.fatStart + i * v.fatSectors, buf) && buf[0] == media && buf[1] == 0xFF)
            return i;
    return std::nullopt;
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
    const auto fat = v.clusterSectors > 0 ? SoundFat(disk, v, bytes::U8(b, 21), static_cast<unsigned>(fats))
                                          : std::nullopt;
    v.sound = fat.has_value();
    if (!v.sound)
        return;
    v.fatStart += *fat * v.fatSectors; // the copy read from here on
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
    const bool fatHead = ReadOne(disk, v.start + v.fatStart, buf) && bytes::Le32(buf, 0) == 0xFFFFFFF8;
    // The allocation bitmap and up-case table, named in the root folder's
    // first sector: with them the volume stands where its boot sector says
    // even when its FAT was overwritten (a new partition's boot sectors).
    const std::uint32_t root = bytes::Le32(b, 96);
    v.rootCluster = root;
    bool upcase = false;
    if (root >= 2 && v.clusterSectors && root - 2 <= (UINT64_MAX - v.start - v.dataStart) / v.clusterSectors &&
        ReadOne(disk, v.start + v.dataStart + (root - 2) * v.clusterSectors, buf))
        for (std::size_t at = 0; at + 32 <= buf.size(); at += 32) {
            if (buf[at] == 0x81 && v.bitmapCluster < 2) {
                v.bitmapCluster = bytes::Le32(buf, at + 20);
                v.bitmapBytes = bytes::Le64(buf, at + 24);
            }
            upcase = upcase || buf[at] == 0x82;
        }
    v.sound = v.bitmapCluster >= 2 && (fatHead || upcase);
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

bool SameVolume(const VolumeAt& a, const VolumeAt& b) {
    return a.serial != 0 && a.serial == b.serial && a.kind == b.kind && a.claimed == b.claimed;
}

bool AddSectorZeroVolume(IStorageDevice* disk, PartitionList& list) {
    const VolumeAt v = ReadVolumeAt(disk, 0);
    if (!v.known || !v.sound || v.extent == 0)
        return false;
    PartitionEntry volume;
    volume.number = 0;
    volume.sectorCount = v.extent;
    list.push_front(volume);
    return true;
}
