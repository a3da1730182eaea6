#include "savedscan/VolumeWrites.h"

#include "engine/common/Bytes.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <set>

namespace {

using Ranges = std::vector<std::pair<long long, long long>>;

// Allocation structures larger than this are not read: the volume is taken
// as written whole.
constexpr std::uint64_t kMaxTableBytes = 64ULL << 20;
// Runs of blocks in use past this many: the volume is taken as written whole.
constexpr std::size_t kMaxRuns = 1 << 20;

// Fields at p, whose bytes the caller has checked are there.
std::uint32_t U16(const std::uint8_t* p) { return bytes::Le16({p, 2}, 0); }
std::uint32_t U32(const std::uint8_t* p) { return bytes::Le32({p, 4}, 0); }
std::uint64_t U64(const std::uint8_t* p) { return bytes::Le64({p, 8}, 0); }
std::uint32_t B16(const std::uint8_t* p) { return bytes::Be16({p, 2}, 0); }
std::uint32_t B32(const std::uint8_t* p) { return bytes::Be32({p, 4}, 0); }
std::uint64_t B64(const std::uint8_t* p) { return bytes::Be64({p, 8}, 0); }

// Bytes of the device from a byte offset; false past its end or on a failed read.
bool ReadBytes(IStorageDevice* device, std::uint64_t offset, std::size_t length, std::uint8_t* out) {
    const unsigned sector = device->GetSectorSize();
    const auto total = static_cast<std::uint64_t>(device->GetTotalSectors());
    if (sector == 0 || length == 0) return length == 0;
    const std::uint64_t first = offset / sector;
    const std::uint64_t last = (offset + length + sector - 1) / sector;
    if (last > total) return false;
    constexpr std::uint64_t kChunk = 2048;
    std::vector<std::uint8_t> buffer;
    std::size_t done = 0;
    for (std::uint64_t at = first; at < last; at += kChunk) {
        const std::uint64_t count = std::min(kChunk, last - at);
        buffer.resize(static_cast<std::size_t>(count * sector));
        if (device->ReadSector(buffer.data(), static_cast<long long>(at), static_cast<unsigned>(count)) == 0)
            return false;
        const std::uint64_t from = at == first ? offset - first * sector : 0;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size() - from, length - done));
        std::memcpy(out + done, buffer.data() + from, take);
        done += take;
    }
    return done == length;
}

// The byte range [from, to) as device sectors, rounded outward and joined to
// the last range where they meet.
class SectorRanges {
public:
    explicit SectorRanges(IStorageDevice* device)
        : m_sector(device->GetSectorSize()), m_total(device->GetTotalSectors()) {}
    void Add(std::uint64_t from, std::uint64_t to) {
        if (to <= from || m_sector == 0) return;
        const long long first = static_cast<long long>(std::min<std::uint64_t>(from / m_sector, m_total));
        const long long end = static_cast<long long>(std::min<std::uint64_t>((to + m_sector - 1) / m_sector, m_total));
        if (first >= end) return;
        if (!m_ranges.empty() && first <= m_ranges.back().second)
            m_ranges.back().second = std::max(m_ranges.back().second, end);
        else
            m_ranges.emplace_back(first, end);
    }
    Ranges Take() { return std::move(m_ranges); }

private:
    std::uint64_t m_sector;
    std::uint64_t m_total;
    Ranges m_ranges;
};

// Clusters [2, 2 + count) in use per used(i) (i from 0), each cluster at
// heap + i * clusterBytes, added to ranges run by run.
template <class Used>
void AddClusters(SectorRanges& ranges, std::uint64_t heap, std::uint64_t clusterBytes, std::uint64_t count, Used used) {
    std::uint64_t run = 0;
    bool open = false;
    for (std::uint64_t i = 0; i <= count; ++i) {
        const bool in = i < count && used(i);
        if (in && !open) run = i, open = true;
        if (!in && open) {
            ranges.Add(heap + run * clusterBytes, heap + i * clusterBytes);
            open = false;
        }
    }
}

bool FatWrites(IStorageDevice* device, const std::uint8_t* boot, Ranges& out) {
    const std::uint32_t bps = U16(boot + 11), spc = boot[13], reserved = U16(boot + 14), fats = boot[16];
    const std::uint32_t rootEntries = U16(boot + 17), fat16 = U16(boot + 22);
    const std::uint64_t fatSize = fat16 ? fat16 : U32(boot + 36);
    const std::uint64_t sectors = U16(boot + 19) ? U16(boot + 19) : U32(boot + 32);
    if ((bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) || spc == 0 || (spc & (spc - 1)) != 0 ||
        reserved == 0 || fats == 0 || fats > 4 || fatSize == 0 || sectors == 0 || boot[510] != 0x55 ||
        boot[511] != 0xAA)
        return false;
    const std::uint64_t rootSectors = (std::uint64_t{rootEntries} * 32 + bps - 1) / bps;
    const std::uint64_t dataStart = reserved + fats * fatSize + rootSectors;
    if (dataStart >= sectors) return false;
    const std::uint64_t clusters = (sectors - dataStart) / spc;
    const unsigned bits = fat16 == 0 ? 32 : clusters < 4085 ? 12 : 16;
    const std::uint64_t tableBytes = (clusters + 2) * bits / 8 + 2;
    SectorRanges ranges(device);
    ranges.Add(0, dataStart * bps);
    if (tableBytes > fatSize * bps || tableBytes > kMaxTableBytes) {
        out = {{0, device->GetTotalSectors()}};
        return true;
    }
    std::vector<std::uint8_t> table(static_cast<std::size_t>(tableBytes));
    if (!ReadBytes(device, std::uint64_t{reserved} * bps, table.size(), table.data())) {
        out = {{0, device->GetTotalSectors()}};
        return true;
    }
    const auto entry = [&](std::uint64_t cluster) -> std::uint32_t {
        if (bits == 12) {
            const std::size_t at = static_cast<std::size_t>(cluster + cluster / 2);
            const std::uint32_t pair = U16(table.data() + at);
            return cluster & 1 ? pair >> 4 : pair & 0xFFF;
        }
        if (bits == 16) return U16(table.data() + cluster * 2);
        return U32(table.data() + cluster * 4) & 0x0FFFFFFF;
    };
    AddClusters(ranges, dataStart * bps, std::uint64_t{spc} * bps, clusters,
                [&](std::uint64_t i) { return entry(i + 2) != 0; });
    out = ranges.Take();
    return true;
}

bool ExfatWrites(IStorageDevice* device, const std::uint8_t* boot, Ranges& out) {
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return false;
    const unsigned bpsShift = boot[108], spcShift = boot[109];
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift) return false;
    const std::uint64_t bps = 1ULL << bpsShift, clusterBytes = bps << spcShift;
    const std::uint64_t heap = std::uint64_t{U32(boot + 88)} * bps, count = U32(boot + 92);
    const std::uint32_t root = U32(boot + 96);
    out = {{0, device->GetTotalSectors()}};
    if (heap == 0 || count == 0 || root < 2 || root - 2 >= count) return true;
    SectorRanges ranges(device);
    ranges.Add(0, heap);
    // The allocation bitmap is named in the root folder, which mkfs.exfat
    // and every driver begin with it.
    std::vector<std::uint8_t> folder(static_cast<std::size_t>(std::min<std::uint64_t>(clusterBytes, kMaxTableBytes)));
    if (!ReadBytes(device, heap + (root - 2) * clusterBytes, folder.size(), folder.data())) return true;
    std::uint64_t bitmapCluster = 0, bitmapBytes = 0;
    for (std::size_t at = 0; at + 32 <= folder.size() && folder[at] != 0; at += 32)
        if (folder[at] == 0x81) {
            bitmapCluster = U32(folder.data() + at + 20);
            bitmapBytes = U64(folder.data() + at + 24);
            break;
        }
    const std::uint64_t need = (count + 7) / 8;
    if (bitmapCluster < 2 || bitmapCluster - 2 >= count || bitmapBytes < need || need > kMaxTableBytes) return true;
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(need));
    if (!ReadBytes(device, heap + (bitmapCluster - 2) * clusterBytes, bitmap.size(), bitmap.data())) return true;
    AddClusters(ranges, heap, clusterBytes, count,
                [&](std::uint64_t i) { return (bitmap[static_cast<std::size_t>(i / 8)] >> (i % 8)) & 1; });
    out = ranges.Take();
    return true;
}

// ext2, ext3 and ext4: the blocks each group's bitmap holds in use, the
// areas before the first group's data, every group's bitmaps and inode
// table, and the end mke2fs clears of older metadata (up to 128 KiB). A
// group whose bitmap was never written (BLOCK_UNINIT) holds at most its
// backups of the superblock and descriptors.
bool ExtWrites(IStorageDevice* device, Ranges& out) {
    std::uint8_t sb[1024];
    if (!ReadBytes(device, 1024, sizeof sb, sb) || U16(sb + 0x38) != 0xEF53) return false;
    out = {{0, device->GetTotalSectors()}};
    const std::uint32_t logBlock = U32(sb + 0x18), incompat = U32(sb + 0x60), roCompat = U32(sb + 0x64);
    const std::uint64_t firstData = U32(sb + 0x14), perGroup = U32(sb + 0x20), inodesPerGroup = U32(sb + 0x28);
    const bool wide = (incompat & 0x80) != 0; // 64-bit descriptors
    const std::uint64_t blocks = U32(sb + 0x04) | (wide ? std::uint64_t{U32(sb + 0x150)} << 32 : 0);
    const std::uint64_t descSize = wide ? U16(sb + 0xFE) : 32;
    const std::uint64_t inodeSize = U32(sb + 0x4C) >= 1 ? U16(sb + 0x58) : 128;
    // Descriptors spread over the groups (META_BG) are not read here.
    if (logBlock > 6 || perGroup == 0 || perGroup > 8 * (1024ULL << logBlock) || blocks <= firstData ||
        descSize < 32 || descSize > 1024 || (descSize & (descSize - 1)) != 0 || inodeSize < 128 ||
        (incompat & 0x10) != 0)
        return true;
    const std::uint64_t blockBytes = 1024ULL << logBlock;
    if (blocks > device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()} / blockBytes) return true;
    const std::uint64_t groups = (blocks - firstData + perGroup - 1) / perGroup;
    const std::uint64_t descBlocks = (groups * descSize + blockBytes - 1) / blockBytes;
    const std::uint64_t head = 1 + descBlocks + U16(sb + 0xCE); // superblock, descriptors, reserved ones
    const std::uint64_t bitmapBytes = (perGroup + 7) / 8;
    if (groups * descSize > kMaxTableBytes || groups * bitmapBytes > kMaxTableBytes) return true;
    std::vector<std::uint8_t> descs(static_cast<std::size_t>(groups * descSize));
    if (!ReadBytes(device, (firstData + 1) * blockBytes, descs.size(), descs.data())) return true;
    const bool uninitKept = (roCompat & (0x10 | 0x400)) != 0; // the flag means something only with checksums
    SectorRanges ranges(device);
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes; // [from, to), sorted and joined below
    bytes.emplace_back(0, std::max<std::uint64_t>(4096, (firstData + head) * blockBytes));
    const std::uint64_t tail = blocks * blockBytes;
    bytes.emplace_back(tail > (128U << 10) ? tail - (128U << 10) : 0, tail);
    std::vector<std::uint8_t> bitmap(static_cast<std::size_t>(bitmapBytes));
    for (std::uint64_t g = 0; g < groups; ++g) {
        const std::uint8_t* d = descs.data() + g * descSize;
        const auto at = [&](int lo, int hi) {
            return std::uint64_t{U32(d + lo)} | (descSize >= 64 ? std::uint64_t{U32(d + hi)} << 32 : 0);
        };
        const std::uint64_t blockBitmap = at(0x00, 0x20), inodeBitmap = at(0x04, 0x24), inodeTable = at(0x08, 0x28);
        const std::uint64_t tableBlocks = (inodesPerGroup * inodeSize + blockBytes - 1) / blockBytes;
        if (blockBitmap >= blocks || inodeBitmap >= blocks || inodeTable >= blocks || tableBlocks > blocks - inodeTable)
            return true;
        bytes.emplace_back(blockBitmap * blockBytes, (blockBitmap + 1) * blockBytes);
        bytes.emplace_back(inodeBitmap * blockBytes, (inodeBitmap + 1) * blockBytes);
        bytes.emplace_back(inodeTable * blockBytes, (inodeTable + tableBlocks) * blockBytes);
        const std::uint64_t first = firstData + g * perGroup, count = std::min(perGroup, blocks - first);
        if (uninitKept && (U16(d + 0x12) & 0x2) != 0) {
            bytes.emplace_back(first * blockBytes, (first + std::min(head, count)) * blockBytes);
            continue;
        }
        if (!ReadBytes(device, blockBitmap * blockBytes, bitmap.size(), bitmap.data())) return true;
        std::uint64_t run = 0;
        bool open = false;
        for (std::uint64_t i = 0; i <= count;) {
            // Whole bytes that change nothing are passed at once.
            const std::uint8_t byte = i < count ? bitmap[static_cast<std::size_t>(i / 8)] : 0;
            if (i % 8 == 0 && i + 8 <= count && byte == (open ? 0xFF : 0x00)) {
                i += 8;
                continue;
            }
            const bool used = i < count && ((byte >> (i % 8)) & 1) != 0;
            if (used && !open) run = i, open = true;
            if (!used && open) {
                bytes.emplace_back((first + run) * blockBytes, (first + i) * blockBytes);
                open = false;
            }
            ++i;
        }
        // A bitmap scattered beyond reason is not followed run by run.
        if (bytes.size() > kMaxRuns) return true;
    }
    std::sort(bytes.begin(), bytes.end());
    for (const auto& [from, to] : bytes) ranges.Add(from, to);
    out = ranges.Take();
    return true;
}

// Byte ranges [from, to) in any order, as device sectors.
Ranges Sorted(IStorageDevice* device, std::vector<std::pair<std::uint64_t, std::uint64_t>>& bytes) {
    std::sort(bytes.begin(), bytes.end());
    SectorRanges ranges(device);
    for (const auto& [from, to] : bytes) ranges.Add(from, to);
    return ranges.Take();
}

// Minix (v1, v2, v3): the boot block, superblock, both bitmaps and the inode
// table lie before the first data zone; past it, the zones the zone bitmap
// holds (its bit 0 stands for the zone before the first).
bool MinixWrites(IStorageDevice* device, Ranges& out) {
    std::uint8_t sb[32];
    if (!ReadBytes(device, 1024, sizeof sb, sb)) return false;
    const std::uint32_t magic = U16(sb + 16);
    const bool v3 = U16(sb + 24) == 0x4D5A;
    if (!v3 && magic != 0x137F && magic != 0x138F && magic != 0x2468 && magic != 0x2478) return false;
    out = {{0, device->GetTotalSectors()}};
    const int o = v3 ? 2 : 0; // v3 widens the inode count
    const std::uint64_t zmapBlocks = U16(sb + 6 + o), firstData = U16(sb + 8 + o), logZone = U16(sb + 10 + o);
    const std::uint64_t zones = v3 || magic == 0x2468 || magic == 0x2478 ? U32(sb + 20) : U16(sb + 2);
    const std::uint64_t blockBytes = v3 ? U16(sb + 28) : 1024;
    if (blockBytes < 512 || blockBytes > 65536 || (blockBytes & (blockBytes - 1)) != 0 || logZone > 8 ||
        firstData == 0 || zones <= firstData)
        return true;
    const std::uint64_t zoneBytes = blockBytes << logZone;
    const std::uint64_t bits = zones - firstData + 1;
    // Its inode table must end before the data, where it is counted written.
    const std::uint64_t inodes = v3 ? U32(sb) : U16(sb), imapBlocks = U16(sb + 4 + o);
    const std::uint64_t inodeBytes = v3 || magic == 0x2468 || magic == 0x2478 ? 64 : 32;
    if (imapBlocks == 0 || zmapBlocks == 0 ||
        (2 + imapBlocks + zmapBlocks) * blockBytes + inodes * inodeBytes > firstData * zoneBytes)
        return true;
    if (zones > device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()} / zoneBytes ||
        (bits + 7) / 8 > zmapBlocks * blockBytes || (bits + 7) / 8 > kMaxTableBytes)
        return true;
    std::vector<std::uint8_t> zmap(static_cast<std::size_t>((bits + 7) / 8));
    if (!ReadBytes(device, (2 + imapBlocks) * blockBytes, zmap.size(), zmap.data())) return true;
    SectorRanges ranges(device);
    ranges.Add(0, firstData * zoneBytes);
    AddClusters(ranges, firstData * zoneBytes, zoneBytes, bits - 1,
                [&](std::uint64_t i) { return (zmap[static_cast<std::size_t>((i + 1) / 8)] >> ((i + 1) % 8)) & 1; });
    out = ranges.Take();
    return true;
}

// BFS: the superblock and inode table lie before its data; each file in use
// holds the blocks from its first to its last, whole.
bool BfsWrites(IStorageDevice* device, Ranges& out) {
    std::uint8_t sb[12];
    if (!ReadBytes(device, 0, sizeof sb, sb) || U32(sb) != 0x1BADFACE) return false;
    out = {{0, device->GetTotalSectors()}};
    const std::uint64_t start = U32(sb + 4), end = U32(sb + 8);
    const std::uint64_t bytes = device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()};
    if (start < 512 + 64 || start > end || end >= bytes || start - 512 > kMaxTableBytes) return true;
    std::vector<std::uint8_t> inodes(static_cast<std::size_t>((start - 512) / 64 * 64));
    if (!ReadBytes(device, 512, inodes.size(), inodes.data())) return true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> held{{0, start}};
    for (std::size_t at = 0; at < inodes.size(); at += 64) {
        const std::uint8_t* inode = inodes.data() + at;
        if (U16(inode) == 0) continue;
        const std::uint64_t first = U32(inode + 4), last = U32(inode + 8);
        if (first == 0 && last == 0) continue; // empty
        if (first > last || (last + 1) * 512 > end + 1) return true;
        held.emplace_back(first * 512, (last + 1) * 512);
    }
    out = Sorted(device, held);
    return true;
}

// XFS: each allocation group's header sectors and every block of it that its
// free-space tree by block number does not hold free (inodes, tree blocks,
// the internal log, files), and the 128 KiB at either end mkfs.xfs clears.
// The free extents found must add up to what the group's header counts.
bool XfsWrites(IStorageDevice* device, const std::uint8_t* boot, Ranges& out) {
    if (std::memcmp(boot, "XFSB", 4) != 0) return false;
    out = {{0, device->GetTotalSectors()}};
    const std::uint64_t blockBytes = B32(boot + 4), dblocks = B64(boot + 8), agBlocks = B32(boot + 84);
    const std::uint64_t agCount = B32(boot + 88), sectBytes = B16(boot + 102);
    const bool crc = (B16(boot + 100) & 0xF) == 5;
    const std::uint64_t total = device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()};
    if (blockBytes < 512 || blockBytes > 65536 || (blockBytes & (blockBytes - 1)) != 0 || sectBytes < 512 ||
        sectBytes > blockBytes || (sectBytes & (sectBytes - 1)) != 0 || agBlocks < 16 || agCount == 0 ||
        agCount > 1 << 16 || dblocks > total / blockBytes || dblocks <= (agCount - 1) * agBlocks ||
        dblocks > agCount * agBlocks)
        return true;
    const std::size_t header = crc ? 56 : 16;
    const std::uint32_t leafMagic = crc ? 0x41423342 : 0x41425442; // "AB3B", "ABTB"
    const std::uint64_t maxRecs = (blockBytes - header) / 8, maxPtrs = (blockBytes - header) / 12;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes;
    const std::uint64_t whack = 128 << 10;
    bytes.emplace_back(0, std::min(whack, total));
    bytes.emplace_back(total > whack ? total - whack : 0, total);
    std::vector<std::uint8_t> agf(static_cast<std::size_t>(sectBytes)), node(static_cast<std::size_t>(blockBytes));
    std::uint64_t visited = 0;
    for (std::uint64_t ag = 0; ag < agCount; ++ag) {
        const std::uint64_t base = ag * agBlocks * blockBytes;
        const std::uint64_t length = std::min(agBlocks, dblocks - ag * agBlocks);
        if (!ReadBytes(device, base + sectBytes, agf.size(), agf.data()) || B32(agf.data()) != 0x58414746 ||
            B32(agf.data() + 8) != ag || B32(agf.data() + 12) != length)
            return true;
        const std::uint64_t freeCounted = B32(agf.data() + 52);
        // The tree is walked level by level, leftmost node first, along
        // each level's right siblings: every leaf, in block order.
        std::uint64_t at = B32(agf.data() + 16), level = B32(agf.data() + 28), free = 0, next = 0;
        if (level == 0 || level > 8) return true;
        std::uint64_t leftmost = 0, nodes = 0;
        bool first = true;
        for (;;) {
            // More tree than blocks read, or than the group holds: a loop.
            if (at == 0 || at >= length || ++nodes > length || ++visited * blockBytes > 4 * kMaxTableBytes ||
                !ReadBytes(device, base + at * blockBytes, node.size(), node.data()) ||
                B32(node.data()) != leafMagic || B16(node.data() + 4) != level - 1)
                return true;
            const std::uint64_t recs = B16(node.data() + 6);
            const std::uint64_t right = B32(node.data() + 12);
            if (level > 1) {
                if (recs == 0 || recs > maxPtrs) return true;
                if (first) leftmost = B32(node.data() + header + maxPtrs * 8);
                first = false;
                if (right != 0xFFFFFFFF) {
                    at = right;
                    continue;
                }
                at = leftmost, --level, first = true;
                continue;
            }
            if (recs > maxRecs) return true;
            for (std::uint64_t r = 0; r < recs; ++r) {
                const std::uint64_t from = B32(node.data() + header + r * 8), count = B32(node.data() + header + r * 8 + 4);
                if (from < next || from >= length || count == 0 || count > length - from) return true;
                if (from > next) bytes.emplace_back(base + next * blockBytes, base + from * blockBytes);
                next = from + count, free += count;
                if (bytes.size() > kMaxRuns) return true;
            }
            if (right == 0xFFFFFFFF) break;
            at = right;
        }
        if (free != freeCounted) return true;
        if (next < length) bytes.emplace_back(base + next * blockBytes, base + length * blockBytes);
        // The header sectors, whatever the tree says.
        bytes.emplace_back(base, base + 4 * sectBytes);
    }
    const std::uint64_t logStart = B64(boot + 48), logBlocks = B32(boot + 96), agLog = boot[124];
    if (logStart != 0 && agLog < 32) {
        const std::uint64_t block = (logStart >> agLog) * agBlocks + (logStart & ((1ULL << agLog) - 1));
        if (block >= dblocks || logBlocks > dblocks - block) return true;
        bytes.emplace_back(block * blockBytes, (block + logBlocks) * blockBytes);
    }
    out = Sorted(device, bytes);
    return true;
}

// CRC-32C (Castagnoli), as btrfs sums its superblock and tree nodes.
std::uint32_t Crc32c(const std::uint8_t* data, std::size_t length) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = c & 1 ? 0x82F63B78 ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    std::uint32_t crc = 0xFFFFFFFF;
    for (std::size_t i = 0; i < length; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

// A btrfs chunk: its logical range, profile and stripes (device, offset).
struct BtrfsChunk {
    std::uint64_t logical = 0, length = 0, type = 0;
    unsigned subStripes = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> stripes;
};

// A chunk item of size bytes at p; false where its stripes do not fill it.
bool ParseBtrfsChunk(const std::uint8_t* p, std::size_t size, std::uint64_t logical, BtrfsChunk& chunk) {
    if (size < 48) return false;
    const std::size_t count = U16(p + 44);
    if (count == 0 || size < 48 + count * 32) return false;
    chunk.logical = logical, chunk.length = U64(p), chunk.type = U64(p + 24), chunk.subStripes = U16(p + 46);
    chunk.stripes.clear();
    for (std::size_t i = 0; i < count; ++i) chunk.stripes.emplace_back(U64(p + 48 + i * 32), U64(p + 56 + i * 32));
    return chunk.length != 0 && logical + chunk.length > logical;
}

// The bytes each stripe of a chunk holds on its device: the whole chunk for
// single, DUP and the mirrored profiles, a share of it for the striped ones
// (RAID10 mirrors each share on sub-stripes devices, RAID5 and RAID6 add one
// and two shares of parity); 0 where the stripes do not fit the profile.
std::uint64_t BtrfsStripeBytes(const BtrfsChunk& chunk) {
    const std::uint64_t n = chunk.stripes.size();
    std::uint64_t shares = 1;
    if (chunk.type & 0x08) shares = n; // RAID0
    else if (chunk.type & 0x40) shares = chunk.subStripes >= 2 && n % chunk.subStripes == 0 ? n / chunk.subStripes : 0;
    else if (chunk.type & 0x80) shares = n >= 2 ? n - 1 : 0; // RAID5
    else if (chunk.type & 0x100) shares = n >= 3 ? n - 2 : 0; // RAID6
    return shares == 0 ? 0 : (chunk.length + shares - 1) / shares;
}

// btrfs writes nowhere but its superblock copies and its chunks: the
// stripes of this device (the superblock's own device) of every chunk its
// chunk tree lists. mkfs.btrfs writes some more: it clears the 2 MiB at
// either end of the device (and writes at the end of a volume made shorter,
// whose last 2 MiB count too), and lays out its first trees in chunks of its
// own from 1 MiB, a node each from 5 MiB, that it drops once it has made
// those it keeps; all below the lowest chunk kept counts, and 16 nodes from
// 5 MiB whatever lies there since. The chunk tree is read through the system
// chunks the superblock carries; its nodes must sum right (where the sum is
// CRC-32C) and name their own address, file system, tree and level, and the
// stripes found must add up to the bytes the superblock counts in use on
// this device.
bool BtrfsWrites(IStorageDevice* device, Ranges& out) {
    constexpr std::uint64_t kSuper = 0x10000;
    std::uint8_t sb[4096];
    if (!ReadBytes(device, kSuper, sizeof sb, sb) || std::memcmp(sb + 0x40, "_BHRfS_M", 8) != 0) return false;
    out = {{0, device->GetTotalSectors()}};
    const std::uint64_t total = device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()};
    const bool crc = U16(sb + 0xC4) == 0; // other sums are not checked
    const std::uint64_t sectorBytes = U32(sb + 0x90), nodeBytes = U32(sb + 0x94), arrayBytes = U32(sb + 0xA0);
    const std::uint64_t chunkRoot = U64(sb + 0x58), rootLevel = sb[0xC7];
    const std::uint64_t devid = U64(sb + 0xC9), devBytes = U64(sb + 0xD1), devUsed = U64(sb + 0xD9);
    // Nodes carry the metadata identity, the file system's own unless it was
    // changed since (METADATA_UUID).
    const std::uint8_t* fsid = (U64(sb + 0xBC) & (1 << 10)) != 0 ? sb + 0x23B : sb + 0x20;
    if (U64(sb + 0x30) != kSuper || (crc && Crc32c(sb + 0x20, sizeof sb - 0x20) != U32(sb)) ||
        sectorBytes < 4096 || sectorBytes > 65536 || (sectorBytes & (sectorBytes - 1)) != 0 ||
        nodeBytes < sectorBytes || nodeBytes > 65536 || (nodeBytes & (nodeBytes - 1)) != 0 || arrayBytes > 2048 ||
        rootLevel >= 8 || devBytes > total || devBytes < kSuper + sizeof sb || devUsed > devBytes)
        return true;
    // The system chunks, which map the chunk tree itself.
    std::vector<BtrfsChunk> system;
    for (std::uint64_t at = 0x32B; at < 0x32B + arrayBytes;) {
        BtrfsChunk chunk;
        const std::size_t left = static_cast<std::size_t>(0x32B + arrayBytes - at);
        if (left < 17 || sb[at + 8] != 228 || !ParseBtrfsChunk(sb + at + 17, left - 17, U64(sb + at + 9), chunk))
            return true;
        at += 17 + 48 + chunk.stripes.size() * 32;
        system.push_back(std::move(chunk));
    }
    // Where a node's logical address lies on this device: a system chunk
    // whose every stripe holds it whole and one of them here.
    const auto physical = [&](std::uint64_t logical, std::uint64_t& at) {
        for (const BtrfsChunk& c : system) {
            if (logical < c.logical || c.length < nodeBytes || logical - c.logical > c.length - nodeBytes ||
                (c.type & (0x08 | 0x40 | 0x80 | 0x100)) != 0)
                continue;
            for (const auto& [dev, offset] : c.stripes)
                if (dev == devid) {
                    at = offset + (logical - c.logical);
                    return at >= offset && at <= total - nodeBytes;
                }
        }
        return false;
    };
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes;
    const std::uint64_t clear = 2 << 20;
    bytes.emplace_back(0, std::min(clear, total));
    for (const std::uint64_t end : {total, devBytes}) bytes.emplace_back(end > clear ? end - clear : 0, end);
    bytes.emplace_back(5 << 20, (5 << 20) + 16 * nodeBytes);
    const std::uint64_t copies[] = {kSuper, std::uint64_t{64} << 20, std::uint64_t{256} << 30, std::uint64_t{1} << 50};
    for (const std::uint64_t copy : copies)
        if (copy < total) bytes.emplace_back(copy, std::min(copy + sizeof sb, total));
    const std::size_t first = bytes.size(); // the stripes from here on
    std::vector<std::uint8_t> node(static_cast<std::size_t>(nodeBytes));
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pending{{chunkRoot, rootLevel}}; // logical, level
    std::set<std::uint64_t> seen;
    std::uint64_t used = 0;
    BtrfsChunk chunk;
    while (!pending.empty()) {
        const auto [logical, level] = pending.back();
        pending.pop_back();
        std::uint64_t at = 0;
        // A node met twice is a loop or a shared branch; more nodes than
        // the table limit, a tree beyond reason.
        if (!seen.insert(logical).second || seen.size() * nodeBytes > kMaxTableBytes || !physical(logical, at) ||
            !ReadBytes(device, at, node.size(), node.data()) || U64(node.data() + 0x30) != logical ||
            std::memcmp(node.data() + 0x20, fsid, 16) != 0 || U64(node.data() + 0x58) != 3 ||
            node[0x64] != level || (crc && Crc32c(node.data() + 0x20, node.size() - 0x20) != U32(node.data())))
            return true;
        const std::uint64_t items = U32(node.data() + 0x60);
        if (level > 0) {
            if (items == 0 || items > (nodeBytes - 0x65) / 33 ||
                (seen.size() + pending.size() + items) * nodeBytes > kMaxTableBytes)
                return true;
            for (std::uint64_t i = 0; i < items; ++i)
                pending.emplace_back(U64(node.data() + 0x65 + i * 33 + 17), level - 1);
            continue;
        }
        if (items > (nodeBytes - 0x65) / 25) return true;
        for (std::uint64_t i = 0; i < items; ++i) {
            const std::uint8_t* item = node.data() + 0x65 + i * 25;
            if (item[8] != 228) continue; // device items and the like
            const std::uint64_t offset = U32(item + 17), size = U32(item + 21);
            if (offset > nodeBytes - 0x65 || size > nodeBytes - 0x65 - offset ||
                !ParseBtrfsChunk(node.data() + 0x65 + offset, static_cast<std::size_t>(size), U64(item + 9), chunk))
                return true;
            const std::uint64_t stripeBytes = BtrfsStripeBytes(chunk);
            if (stripeBytes == 0) return true;
            for (const auto& [dev, from] : chunk.stripes) {
                if (dev != devid) continue;
                if (from > devBytes || stripeBytes > devBytes - from) return true;
                bytes.emplace_back(from, from + stripeBytes);
                used += stripeBytes;
                if (used > devUsed) return true;
            }
            if (bytes.size() > kMaxRuns) return true;
        }
    }
    if (used != devUsed) return true;
    std::uint64_t lowest = total;
    for (std::size_t i = first; i < bytes.size(); ++i) lowest = std::min(lowest, bytes[i].first);
    bytes.emplace_back(0, lowest);
    out = Sorted(device, bytes);
    return true;
}

// An ISO 9660 image, as xorriso and mkisofs write one over a partition:
// everything from the start to the end its primary volume descriptor
// counts, and the zeros they pad it with after that, up to the first sector
// that is not zeros. Its first 32 KiB must hold nothing but zeros or, as
// xorriso -hfsplus writes them, an Apple partition map whose partitions lie
// within the image: anything else there (a boot sector, a hybrid MBR, a
// volume made since over an older image) is not told apart, and the whole
// device counts.
bool IsoWrites(IStorageDevice* device, Ranges& out) {
    constexpr std::size_t kSystemArea = 32768, kBlock = 2048, kMaxDescriptors = 32;
    std::vector<std::uint8_t> head(kSystemArea + kBlock * kMaxDescriptors);
    const std::uint64_t total = device->GetTotalSectors() * std::uint64_t{device->GetSectorSize()};
    if (total < head.size() || !ReadBytes(device, 0, kSystemArea + kBlock, head.data()) ||
        std::memcmp(head.data() + kSystemArea + 1, "CD001", 5) != 0)
        return false;
    out = {{0, device->GetTotalSectors()}};
    if (!ReadBytes(device, 0, head.size(), head.data())) return true;
    std::uint64_t end = 0;
    for (std::size_t i = 0; i < kMaxDescriptors && end == 0; ++i) {
        const std::uint8_t* d = head.data() + kSystemArea + i * kBlock;
        if (std::memcmp(d + 1, "CD001", 5) != 0) return true;
        if (d[0] == 255) break;
        if (d[0] == 1) end = std::uint64_t{U32(d + 80)} * U16(d + 128);
    }
    if (end < head.size() || end > total) return true;
    // The system area: zeros, or an Apple partition map of partitions inside.
    const bool apm = head[0] == 'E' && head[1] == 'R';
    const std::uint64_t apmBlock = apm ? B16(head.data() + 2) : 0;
    if (apm && (apmBlock < 512 || apmBlock > kSystemArea / 2 || (apmBlock & (apmBlock - 1)) != 0)) return true;
    for (std::size_t at = 0; at < kSystemArea; at += 512) {
        const std::uint8_t* s = head.data() + at;
        if (std::all_of(s, s + 512, [](std::uint8_t b) { return b == 0; })) continue;
        if (!apm || at % apmBlock != 0) return true;
        if (at == 0) continue;
        if (s[0] != 'P' || s[1] != 'M' || at / apmBlock > B32(s + 4)) return true;
        const std::uint64_t first = B32(s + 8), count = B32(s + 12);
        if ((first + count) * apmBlock > end) return true;
    }
    // The padding: zeros after the image, within the table bound.
    std::vector<std::uint8_t> tail(64 << 10);
    std::uint64_t padded = end;
    while (padded < total) {
        if (padded - end >= kMaxTableBytes) return true;
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(tail.size(), total - padded));
        if (!ReadBytes(device, padded, take, tail.data())) return true;
        const auto data = std::find_if(tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(take),
                                       [](std::uint8_t b) { return b != 0; });
        padded += static_cast<std::uint64_t>(data - tail.begin());
        if (data != tail.begin() + static_cast<std::ptrdiff_t>(take)) break;
    }
    // Never less than the 300 KiB both tools pad with unless told otherwise.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> bytes{{0, std::max(padded, end + (300 << 10))}};
    out = Sorted(device, bytes);
    return true;
}

} // namespace

std::vector<std::pair<long long, long long>> VolumeWrittenSectors(IStorageDevice* device) {
    if (!device || device->GetTotalSectors() <= 0) return {};
    const unsigned sector = device->GetSectorSize();
    std::vector<std::uint8_t> boot(std::max(512U, sector));
    if (sector == 0 || device->ReadSector(boot.data(), 0, 1) == 0) return {{0, device->GetTotalSectors()}};
    Ranges ranges;
    if (ExfatWrites(device, boot.data(), ranges) || FatWrites(device, boot.data(), ranges) ||
        XfsWrites(device, boot.data(), ranges) || BfsWrites(device, ranges) || ExtWrites(device, ranges) ||
        MinixWrites(device, ranges) || BtrfsWrites(device, ranges) || IsoWrites(device, ranges))
        return ranges;
    // Any other volume, or one whose kind is not told at all (a FAT boot
    // sector without its signature): nothing says where it has
    // not written. Nor does swap: mkswap writes its header page alone, but
    // the pages swapped out once it is used leave no trace on it.
    return {{0, device->GetTotalSectors()}};
}
