#include "engine/apfs/ApfsRecognize.h"

#include "engine/apfs/ApfsObjects.h"
#include "engine/common/Bytes.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace apfs {

using bytes::Le16;
using bytes::Le32;
using bytes::Le64;

namespace {
// The first value's ov_paddr in a 4096-byte object-map root: the value area
// ends at the btree_info_t, and ov_paddr sits 8 bytes into the value.
constexpr std::size_t kFirstPaddrBase = kBlockSize - btn::kInfoSize + kOmapValuePaddr;
constexpr std::size_t kLabelMax = 32;

// Reads the 4096-byte block at byte offset `offset` of the device into out
// (exactly one block): whole sectors are read, so with sectors larger than a
// block the block is cut from the sector that holds it.
bool ReadAt(IStorageDevice* device, std::uint64_t offset, std::vector<std::uint8_t>& out) {
    const std::uint64_t s = device ? device->GetSectorSize() : 0;
    if (s < 1) return false;
    const std::uint64_t first = offset / s, skip = offset % s;
    const std::uint64_t sectors = (skip + kBlockSize + s - 1) / s;
    if (first > static_cast<std::uint64_t>(INT64_MAX) || sectors * s > (1u << 20)) return false;
    std::vector<std::uint8_t> buffer(sectors * s, 0);
    if (!device->ReadSector(buffer.data(), static_cast<long long>(first), static_cast<long long>(sectors))) return false;
    out.assign(buffer.begin() + static_cast<std::ptrdiff_t>(skip),
               buffer.begin() + static_cast<std::ptrdiff_t>(skip + kBlockSize));
    return true;
}
} // namespace

IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    std::vector<std::uint8_t> b;
    std::uint64_t offset = 0;
    if (!device || __builtin_mul_overflow(startSector, std::uint64_t{device->GetSectorSize()}, &offset) ||
        !ReadAt(device, offset, b))
        return nullptr;
    const Block block(b.data(), kBlockSize);
    const std::uint16_t type = TypeLow(block);
    if (type < 1 || type > 31 || Subtype(block) > 31 || Le64(block, nx::kMagic) != nx::kMagicAnd4K) return nullptr;
    const unsigned long long total = device->GetTotalSectors();
    return new APFSRecognize(device, startSector, total > startSector ? total - startSector : 0,
                             Le64(block, nx::kUuid) ^ (Le64(block, nx::kUuid + 8) * 0x9E3779B97F4A7C15ULL));
}

bool APFSRecognize::ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out) {
    const std::uint64_t s = m_device ? m_device->GetSectorSize() : 0;
    std::uint64_t start = 0, offset = 0;
    if (s < 1 || __builtin_mul_overflow(m_startSector, s, &start) ||
        __builtin_mul_overflow(block, std::uint64_t{kBlockSize}, &offset) ||
        __builtin_add_overflow(start, offset, &offset))
        return false;
    return ReadAt(m_device, offset, out);
}

bool APFSRecognize::LabelFromObjectMap(std::uint64_t omap, char* label, int size) {
    std::vector<std::uint8_t> b;
    if (!ReadBlock(omap, b)) return false;
    if (!ReadBlock(Le64(Block(b.data(), kBlockSize), kOmapTreeOid), b)) return false;
    const Block root(b.data(), kBlockSize);
    if (Subtype(root) != obj::kSubtypeOmap) return false;
    const std::size_t v = Le16(root, btn::kData + 2);
    if (v < 1 || v > kFirstPaddrBase - 8) return false;
    if (!ReadBlock(Le64(root, kFirstPaddrBase - v), b)) return false;
    const Block volume(b.data(), kBlockSize);
    if (Le32(volume, apsb::kMagic) != apsb::kMagicValue) return false;
    const std::string name = FieldText(volume, apsb::kVolname, kLabelMax);
    const std::size_t n = std::min(name.size(), static_cast<std::size_t>(size));
    std::memcpy(label, name.data(), n);
    if (n < static_cast<std::size_t>(size)) label[n] = '\0';
    return n > 0;
}

void APFSRecognize::GetLabel(char* label, int size) {
    if (!label || size < 1 || label[0] != '\0') return;
    std::vector<std::uint8_t> b;
    if (!ReadBlock(0, b) || !PassesObjectHeader(Block(b.data(), kBlockSize))) return;
    // Follows the checkpoint chain back until a checkpoint names a volume.
    std::set<std::uint64_t> seen;
    for (int pass = 0; pass < 32 && label[0] == '\0'; ++pass) {
        const Block sb(b.data(), kBlockSize);
        const std::uint64_t next = Le32(sb, nx::kXpDescIndex);
        const std::uint64_t omap = Le64(sb, nx::kOmapOid);
        if (LabelFromObjectMap(omap, label, size) && label[0] != '\0') break;
        if (!seen.insert(next).second || !ReadBlock(next, b)) break;
    }
}

} // namespace apfs
