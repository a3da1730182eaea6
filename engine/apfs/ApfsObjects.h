#pragma once
// APFS on-disk objects as the deep scan reads them: the 32-byte object header,
// the container and volume superblocks, B-tree node headers with their tables
// of contents, and the three file-system records the scan turns into nodes
// (inode, directory record, file extent). Every structure is little-endian and
// read from a span through engine/common/Bytes.h; every offset, length and
// count taken from the disk is checked against the block before use.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace apfs {

using Block = std::span<const std::uint8_t>;

// Every APFS structure the scan reads lives in 4096-byte blocks.
constexpr std::size_t kBlockSize = 4096;

// obj_phys_t: o_cksum u64 at 0 (never tested), o_oid u64 at 8, o_xid u64 at
// 16, o_type u32 at 24 (low half the kind, high half flags), o_subtype u32 at 28.
namespace obj {
constexpr std::size_t kOid = 8;
constexpr std::size_t kType = 24;
constexpr std::size_t kTypeFlags = 26;
constexpr std::size_t kSubtype = 28;
constexpr std::size_t kSize = 32;
constexpr std::uint16_t kTypeContainer = 1;   // nx_superblock_t
constexpr std::uint16_t kTypeBTreeNode = 3;   // a non-root B-tree node
constexpr std::uint16_t kSubtypeOmap = 11;    // object-map tree
constexpr std::uint16_t kSubtypeFsTree = 14;  // file-system tree
constexpr std::uint16_t kFlagsPhysical = 0x4000;
} // namespace obj

// nx_superblock_t fields the scan uses.
namespace nx {
constexpr std::size_t kMagic = 32;        // u32 "NXSB"
constexpr std::size_t kBlockSize = 36;    // u32
constexpr std::size_t kBlockCount = 40;   // u64
constexpr std::size_t kUuid = 72;         // 16 bytes
constexpr std::size_t kXpDescIndex = 136; // u32: the block before the newest checkpoint's descriptors
constexpr std::size_t kOmapOid = 160;     // u64
constexpr std::uint32_t kMagicValue = 0x4253584E;
// "NXSB" followed by a block size of 4096, read as one u64 at kMagic.
constexpr std::uint64_t kMagicAnd4K = 0x000010004253584EULL;
} // namespace nx

// apfs_superblock_t fields the scan uses.
namespace apsb {
constexpr std::size_t kMagic = 32;   // u32 "APSB"
constexpr std::size_t kOmapOid = 128; // u64
constexpr std::size_t kVolname = 704; // NUL-terminated UTF-8, at most 256 bytes
constexpr std::size_t kVolnameMax = 256;
constexpr std::uint32_t kMagicValue = 0x42535041;
} // namespace apsb

// omap_phys_t: om_tree_oid u64 at 48.
constexpr std::size_t kOmapTreeOid = 48;

// btree_node_phys_t header after the object header.
namespace btn {
constexpr std::size_t kFlags = 32;      // u16: 1 root, 2 leaf, 4 fixed-size entries
constexpr std::size_t kNkeys = 36;      // u32
constexpr std::size_t kTableOff = 40;   // u16 (btn_table_space.off)
constexpr std::size_t kTableLen = 42;   // u16 (btn_table_space.len)
constexpr std::size_t kData = 56;       // the table of contents starts here
constexpr std::size_t kInfoSize = 40;   // btree_info_t closing a root node
constexpr std::uint16_t kRoot = 1;
constexpr std::uint16_t kLeaf = 2;
constexpr std::uint16_t kFixed = 4;
} // namespace btn

// The object-header test every block of the scan passes first: the kind and
// subtype are small and the object has an id.
bool PassesObjectHeader(Block b);
std::uint64_t Oid(Block b);
std::uint16_t TypeLow(Block b);
std::uint16_t Subtype(Block b);

// A container superblock as the deep scan claims one: oid 1, kind 1, "NXSB"
// and 4096-byte blocks.
bool IsContainerSuperblock(Block b);

// One table-of-contents entry of a node with variable-size entries
// (kvloc_t: key offset, key length, value offset, value length) resolved to
// spans of the block; nullopt when the entry's slot lies outside the table,
// or its key or value outside the block (the value area of a root node ends
// at the trailer, the btree_info_t).
struct NodeEntry {
    Block key;
    Block value;
};
std::optional<NodeEntry> VariableEntry(Block node, std::uint32_t i, std::size_t trailer);

// The start of the value of fixed-size entry i (kvoff_t) of an object-map
// node, when the entry's slot lies in the table and valueLen bytes from there
// stay inside the node's value area (before a root's btree_info_t); nullopt
// otherwise. Index values are 8-byte child addresses, leaf values 16-byte
// omap_val_t with ov_paddr at 8.
std::optional<std::size_t> FixedValue(Block node, std::uint32_t i, std::size_t trailer, std::size_t valueLen);
constexpr std::size_t kOmapValueSize = 16, kOmapValuePaddr = 8;

// The file-system records the scan reads. Kinds by the top byte of the key
// header (obj_id_and_type).
enum class RecordKind { Other, Inode, Extent, DirRecord };
RecordKind KindOf(Block key);

struct ExtentRecord {
    std::uint64_t objectId = 0;    // low 56 bits of the key header
    std::uint64_t logicalAddr = 0; // key + 8
    std::uint64_t length = 0;      // len_and_flags without the flag byte
    std::uint64_t physBlock = 0;
};

struct InodeRecord {
    std::uint64_t parentId = 0, privateId = 0;
    std::uint64_t createTime = 0, modTime = 0, changeTime = 0, accessTime = 0;
    std::uint16_t mode = 0;
    bool hasName = false;
    std::string name; // the raw bytes of the name field (x_size & 0x1FF, inside the value)
    std::uint64_t dataStreamSize = 0;
};

struct DirRecord {
    std::uint64_t parentId = 0; // low 32 bits of the key header
    std::string name;           // name_len & 0x1FF bytes, inside the key
    std::uint64_t fileId = 0, dateAdded = 0;
    std::uint16_t flags = 0;
};

// Each answers false when the record is too short or a length inside it
// passes its key or value.
bool ParseExtent(const NodeEntry& e, ExtentRecord& out);
bool ParseInode(const NodeEntry& e, InodeRecord& out);
bool ParseDirRecord(const NodeEntry& e, DirRecord& out);

// Text of a NUL-terminated field of at most max bytes starting at off.
std::string FieldText(Block b, std::size_t off, std::size_t max);

} // namespace apfs
