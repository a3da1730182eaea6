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

// Reads the 4096-byte block at sector first (whole sectors; one sector when
// the sector is larger than a block) into a zeroed buffer.
bool ReadAt(IStorageDevice* device, std::uint64_t first, std::vector<std::uint8_t>& out) {
    const unsigned s = device ? device->GetSectorSize() : 0;
    if (s < 1 || first > static_cast<std::uint64_t>(INT64_MAX)) return false;
    const std::size_t sectors = std::max<std::size_t>(1, (kBlockSize + s - 1) / s);
    out.assign(std::max<std::size_t>(sectors * s, kBlockSize), 0);
    return device->ReadSector(out.data(), static_cast<long long>(first), static_cast<long long>(sectors)) != 0;
}
} // namespace

IVolumeAnalyze* CreateAPFSVolumeAnalyze(IStorageDevice* device, unsigned long long startSector) {
    std::vector<std::uint8_t> b;
    if (!ReadAt(device, startSector, b)) return nullptr;
    const Block block(b.data(), kBlockSize);
    const std::uint16_t type = TypeLow(block);
    if (type < 1 || type > 31 || Subtype(block) > 31 || Le64(block, nx::kMagic) != nx::kMagicAnd4K) return nullptr;
    const unsigned long long total = device->GetTotalSectors();
    return new APFSRecognize(device, startSector, total > startSector ? total - startSector : 0);
}

bool APFSRecognize::ReadBlock(std::uint64_t block, std::vector<std::uint8_t>& out) {
    const unsigned s = m_device ? m_device->GetSectorSize() : 0;
    if (s < 1) return false;
    std::uint64_t offset = 0, sector = 0;
    if (__builtin_mul_overflow(block, std::uint64_t{kBlockSize}, &offset) ||
        __builtin_add_overflow(m_startSector, offset / s, &sector))
        return false;
    return ReadAt(m_device, sector, out);
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
