#pragma once
// HFS+ on-disk structures decoded to host order: volume header, fork data,
// B-tree keys and records of the catalog, extents overflow and attributes
// trees, with their key orders. Every decoder works on a span and never reads
// past it; every multi-byte field on disk is big-endian.
#include "engine/common/Bytes.h"
#include "engine/include/ResultCode.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace hfsplus {

// Error numbers of the low 32 bits of this library's result codes.
enum : std::uint32_t {
    kErrMissing = 2,     // a required object or state is missing
    kErrFileId = 3,      // a file id the operation does not serve
    kErrAlloc = 4,       // an allocation failed
    kErrNullArg = 5,     // a required argument is null
    kErrInvalid = 6,     // invalid structure or missing record
    kErrStopped = 0xD,   // the user stopped the operation
    kErrShortRead = 0xE, // a special file or node cannot be read in full
    kErrDevice = 0x501,  // a device read failed, or the journal is missing or malformed
};

// Prints "Return Error:0x<code>\tFile:<name>\tLine:<n>\tFuction:<fn>" and answers the code.
ResultCode FormatError(ResultCode code, const char* sourceFile, int line, const char* function);

#define HFS_ERROR(n)                                                                                             \
    ::hfsplus::FormatError(MakeResult(ResultLib::HfsPlus, static_cast<std::uint16_t>(__LINE__), (n)), __FILE__, \
                           __LINE__, __func__)

inline constexpr std::uint32_t kExtentsFileId = 3;
inline constexpr std::uint32_t kCatalogFileId = 4;
inline constexpr std::uint32_t kAllocationFileId = 6;
inline constexpr std::uint32_t kStartupFileId = 7;
inline constexpr std::uint32_t kAttributesFileId = 8;
inline constexpr std::uint32_t kRootFolderId = 2;

struct HFSPlusExtentDescriptor {
    std::uint32_t startBlock = 0;
    std::uint32_t blockCount = 0;
};
using HFSPlusExtentRecord = std::array<HFSPlusExtentDescriptor, 8>;

struct HFSPlusForkData {
    std::uint64_t logicalSize = 0;
    std::uint32_t clumpSize = 0;
    std::uint32_t totalBlocks = 0;
    HFSPlusExtentRecord extents{};
};

struct HFSPlusVolumeHeader {
    std::uint16_t signature = 0, version = 0;
    std::uint32_t attributes = 0, journalInfoBlock = 0, createDate = 0, modifyDate = 0;
    std::uint32_t fileCount = 0, folderCount = 0, blockSize = 0, totalBlocks = 0, freeBlocks = 0;
    std::uint32_t nextCatalogID = 0;
    std::array<std::uint8_t, 32> finderInfo{};
    HFSPlusForkData allocationFile, extentsFile, catalogFile, attributesFile, startupFile;

    bool IsJournaled() const { return (attributes & 0x2000u) != 0; }
    // Finder-info words 6 (high) and 7, as stored.
    std::uint64_t VolumeId() const { return bytes::Be64(finderInfo, 24); }
};

inline constexpr std::size_t kVolumeHeaderOffset = 1024;
inline constexpr std::size_t kVolumeHeaderSize = 512;

HFSPlusExtentRecord ReadExtentRecord(bytes::Bytes b, std::size_t off);
HFSPlusForkData ReadForkData(bytes::Bytes b, std::size_t off);
HFSPlusVolumeHeader ReadVolumeHeader(bytes::Bytes b);
// Appends the descriptors of record until remaining blocks are covered (an
// extent that covers the rest is clipped to it) or an empty one ends it;
// answers the blocks added and lowers remaining by them.
std::uint32_t AppendExtents(const HFSPlusExtentRecord& record, std::uint32_t& remaining,
                            std::vector<HFSPlusExtentDescriptor>& out);
// The header test on unflipped bytes: "H+" or "HX", version <= 16, blockSize a
// multiple of 512 and at least 512, freeBlocks <= totalBlocks, and a catalog
// logicalSize of blockSize x its totalBlocks. The journal pointer is not
// tested: a volume whose pointer lies past its end opens without its journal.
bool IsValidVolumeHeader(const unsigned char* buffer, unsigned short length);
// What opening a volume needs of its header: the test above without the
// catalog's logical size. A volume with it damaged is still whole (its
// catalog is read by its extents).
bool IsOpenableVolumeHeader(const unsigned char* buffer, unsigned short length);

// A decoded key of any of the three trees. Catalog: parentID and name.
// Extents: forkType, fileID (in parentID) and startBlock. Attributes: fileID
// (in parentID), startBlock and name.
struct BTKey {
    std::uint16_t keyLength = 0;
    std::uint8_t forkType = 0;
    std::uint32_t parentID = 0;
    std::uint32_t startBlock = 0;
    std::u16string name;
    bool operator==(const BTKey&) const = default;
};

// Catalog key order for a catalog of keyCompareType (0xCF case-insensitive).
int CompareCatalogKey(const BTKey& a, const BTKey& b, std::uint8_t keyCompareType);
int CompareExtentKey(const BTKey& a, const BTKey& b);
int CompareAttributeKey(const BTKey& a, const BTKey& b);

// The case-insensitive name order of HFS Plus: -1, 0 or 1.
int FastUnicodeCompare(const std::uint16_t* first, std::uint16_t firstLength, const std::uint16_t* second,
                       std::uint16_t secondLength);
extern const std::uint16_t gLowerCaseTable[2816];

// Key decoders over one record of a node (key, then data or child). A key
// that does not fit in the record, or is shorter than its fixed fields, fails.
// Name lengths are clamped to what the key holds.
bool ReadCatalogKey(bytes::Bytes record, BTKey& key);
bool ReadExtentKey(bytes::Bytes record, BTKey& key);
bool ReadAttributeKey(bytes::Bytes record, BTKey& key);

enum : std::int16_t { kFolderRecord = 1, kFileRecord = 2, kFolderThread = 3, kFileThread = 4 };

struct HFSPlusCatalogRecord {
    std::int16_t recordType = 0;
    std::uint16_t flags = 0;
    std::uint32_t valence = 0;
    std::uint32_t id = 0; // folderID or fileID
    std::uint32_t createDate = 0, contentModDate = 0, attributeModDate = 0, accessDate = 0, backupDate = 0;
    std::uint32_t ownerID = 0, groupID = 0;
    std::uint8_t adminFlags = 0, ownerFlags = 0;
    std::uint16_t fileMode = 0;
    std::uint32_t fileType = 0, fileCreator = 0;
    HFSPlusForkData dataFork, resourceFork;
    // Threads: the parent and name of the thread's object.
    std::uint32_t threadParentID = 0;
    std::u16string threadName;
};
// The record after the key (data bytes only). Types 1 to 4; a record shorter
// than its fixed size reads as zeros beyond its end.
bool ReadCatalogRecord(bytes::Bytes data, HFSPlusCatalogRecord& record);

enum : std::uint32_t { kAttrInlineData = 0x10, kAttrForkData = 0x20, kAttrExtents = 0x30 };
struct HFSPlusAttrRecord {
    std::uint32_t recordType = 0;
    std::vector<std::uint8_t> data; // inline data: at most attrSize and at most what the record holds
    HFSPlusForkData fork;
    HFSPlusExtentRecord extents{};
};
bool ReadAttributeRecord(bytes::Bytes data, HFSPlusAttrRecord& record);

// Widens each byte of a NUL-terminated string to one UTF-16 unit.
std::u16string ASCIIToUnicode(const char* text);
// A catalog name as shown: leading NUL units dropped, UTF-16 to UTF-8 (bad
// units as U+FFFD), and the stored "/" shown as ":" as POSIX names have it.
std::string CatalogNameToUtf8(const std::u16string& name);

} // namespace hfsplus
