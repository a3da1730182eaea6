#include "engine/apfs/ApfsObjects.h"

#include "engine/common/Bytes.h"

#include <cstring>

namespace apfs {

using bytes::Has;
using bytes::Le16;
using bytes::Le32;
using bytes::Le64;

namespace {
// Inode value (j_inode_val_t) offsets.
constexpr std::size_t kInodeParent = 0, kInodePrivate = 8, kInodeCreate = 16, kInodeMod = 24, kInodeChange = 32,
                      kInodeAccess = 40, kInodeMode = 80, kInodeXfNum = 92, kInodeXfDesc = 96;
constexpr std::size_t kInodeMinValue = 100;
// Extended-field descriptors (x_type | x_flags << 8).
constexpr std::uint16_t kXfName = 0x0204;       // INO_EXT_TYPE_NAME, do-not-copy
constexpr std::uint16_t kXfDataStream = 0x2008; // INO_EXT_TYPE_DSTREAM, system field
constexpr std::uint32_t kXfMaxFields = 1024;
// Directory record: key name_len_and_hash u32 at 8, name at 12; value
// file_id u64 at 0, date_added u64 at 8, flags u16 at 16.
constexpr std::size_t kDrecKeyName = 12, kDrecMinValue = 18;
constexpr std::uint64_t kLengthMask = 0x00FFFFFFFFFFFFFFULL; // flags sit in the top byte
} // namespace

std::uint64_t Oid(Block b) { return Le64(b, obj::kOid); }
std::uint16_t TypeLow(Block b) { return Le16(b, obj::kType); }
std::uint16_t Subtype(Block b) { return Le16(b, obj::kSubtype); }

bool PassesObjectHeader(Block b) {
    return b.size() >= obj::kSize && TypeLow(b) <= 31 && Subtype(b) <= 31 && Oid(b) != 0;
}

bool IsContainerSuperblock(Block b) {
    return b.size() >= kBlockSize && Oid(b) == 1 && TypeLow(b) == obj::kTypeContainer &&
           Le32(b, nx::kMagic) == nx::kMagicValue && Le32(b, nx::kBlockSize) == kBlockSize;
}

std::optional<NodeEntry> VariableEntry(Block node, std::uint32_t i, std::size_t trailer) {
    const std::size_t size = node.size();
    const std::size_t tableEnd = btn::kData + Le16(node, btn::kTableLen);
    const std::size_t slot = btn::kData + std::size_t{i} * 8;
    if (size < btn::kData + trailer || tableEnd > size || slot > tableEnd || tableEnd - slot < 8) return std::nullopt;
    const std::size_t keyOff = Le16(node, slot), keyLen = Le16(node, slot + 2);
    const std::size_t valOff = Le16(node, slot + 4), valLen = Le16(node, slot + 6);
    const std::size_t k = tableEnd + keyOff;
    const std::size_t valueEnd = size - trailer; // values are counted back from here
    if (!Has(node, k, keyLen) || valOff > valueEnd || valLen > valOff) return std::nullopt;
    const std::size_t v = valueEnd - valOff;
    if (v < btn::kData) return std::nullopt;
    return NodeEntry{node.subspan(k, keyLen), node.subspan(v, valLen)};
}

std::optional<std::size_t> FixedValue(Block node, std::uint32_t i, std::size_t trailer, std::size_t valueLen) {
    const std::size_t size = node.size();
    const std::size_t tableEnd = btn::kData + Le16(node, btn::kTableLen);
    const std::size_t slot = btn::kData + std::size_t{i} * 4;
    if (size < btn::kData + trailer || tableEnd > size || slot > tableEnd || tableEnd - slot < 4) return std::nullopt;
    const std::size_t valOff = Le16(node, slot + 2);
    const std::size_t valueEnd = size - trailer;
    if (valOff < valueLen || valOff > valueEnd) return std::nullopt;
    const std::size_t p = valueEnd - valOff;
    if (p < btn::kData) return std::nullopt;
    return p;
}

RecordKind KindOf(Block key) {
    if (key.size() < 8) return RecordKind::Other;
    switch (key[7]) {
    case 0x30: return RecordKind::Inode;
    case 0x80: return RecordKind::Extent;
    case 0x90: return RecordKind::DirRecord;
    default: return RecordKind::Other;
    }
}

bool ParseExtent(const NodeEntry& e, ExtentRecord& out) {
    if (e.key.size() < 16 || e.value.size() < 16) return false;
    out.objectId = Le64(e.key, 0) & 0x00FFFFFFFFFFFFFFULL;
    out.logicalAddr = Le64(e.key, 8);
    out.length = Le64(e.value, 0) & kLengthMask;
    out.physBlock = Le64(e.value, 8);
    return true;
}

bool ParseInode(const NodeEntry& e, InodeRecord& out) {
    const Block v = e.value;
    if (e.key.size() < 8 || v.size() < kInodeMinValue) return false;
    out.parentId = Le64(v, kInodeParent);
    out.privateId = Le64(v, kInodePrivate);
    out.createTime = Le64(v, kInodeCreate);
    out.modTime = Le64(v, kInodeMod);
    out.changeTime = Le64(v, kInodeChange);
    out.accessTime = Le64(v, kInodeAccess);
    out.mode = Le16(v, kInodeMode);
    out.hasName = false;
    out.name.clear();
    out.dataStreamSize = 0;

    // Descriptors first, then each field's data padded to 8 bytes; a field
    // whose data passes the value ends the walk.
    const std::uint32_t fields = Le16(v, kInodeXfNum);
    if (!Has(v, kInodeXfDesc, std::size_t{fields} * 4)) return true;
    std::size_t data = kInodeXfDesc + std::size_t{fields} * 4;
    for (std::uint32_t j = 0; j < fields && j < kXfMaxFields; ++j) {
        const std::size_t desc = kInodeXfDesc + std::size_t{j} * 4;
        const std::uint16_t type = static_cast<std::uint16_t>(v[desc] | (v[desc + 1] << 8));
        const std::size_t size = Le16(v, desc + 2);
        if (!Has(v, data, size)) break;
        if (type == kXfDataStream && size >= 8) {
            out.dataStreamSize = Le64(v, data);
        } else if (type == kXfName) {
            const std::size_t n = size & 0x1FF;
            out.name.assign(reinterpret_cast<const char*>(v.data() + data), n);
            out.hasName = true;
        }
        data += (size + 7) & 0xFFF8;
        if (data > v.size()) break;
    }
    return true;
}

bool ParseDirRecord(const NodeEntry& e, DirRecord& out) {
    if (e.key.size() < kDrecKeyName || e.value.size() < kDrecMinValue) return false;
    const std::size_t n = Le32(e.key, 8) & 0x1FF;
    if (!Has(e.key, kDrecKeyName, n)) return false;
    out.parentId = Le64(e.key, 0) & 0xFFFFFFFFULL;
    out.name.assign(reinterpret_cast<const char*>(e.key.data() + kDrecKeyName), n);
    out.fileId = Le64(e.value, 0);
    out.dateAdded = Le64(e.value, 8);
    out.flags = Le16(e.value, 16);
    return true;
}

std::string FieldText(Block b, std::size_t off, std::size_t max) {
    if (off >= b.size()) return {};
    const std::size_t room = std::min(max, b.size() - off);
    const auto* p = reinterpret_cast<const char*>(b.data() + off);
    return std::string(p, strnlen(p, room));
}

} // namespace apfs
