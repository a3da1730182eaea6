#pragma once
// NTFS FILE records of the master file table: the header, the update-sequence
// fix-up, the walk over the attributes and the readers of the attributes the
// searches use, and the recognisers of metafile records.
//
// Record bytes are spans: a record is the span's bytes up to 4096 (the largest
// record), so every size comes from the caller (the boot sector's record size,
// or 1024 when it is unknown). Checks never change the caller's bytes.
#include "engine/common/Bytes.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ntfs {

using bytes::Bytes;
using MutableBytes = std::span<std::uint8_t>;

inline constexpr std::size_t kMaxRecordSize = 4096;
inline constexpr std::uint32_t kAttributeEnd = 0xFFFFFFFF;
inline constexpr std::uint64_t kRecordNumberMask = 0x0000FFFFFFFFFFFFULL;

enum AttributeType : std::uint32_t {
    ATTR_STANDARD_INFORMATION = 0x10,
    ATTR_ATTRIBUTE_LIST = 0x20,
    ATTR_FILE_NAME = 0x30,
    ATTR_VOLUME_NAME = 0x60,
    ATTR_DATA = 0x80,
    ATTR_INDEX_ROOT = 0x90,
    ATTR_INDEX_ALLOCATION = 0xA0,
};

// Update sequences (FILE, INDX and RCRD records): the last word of each of
// `sectors` 512-byte sectors holds the sequence number (the word at usaOffset)
// on disk; the array after it keeps the real words.
bool UpdateSequenceMatches(Bytes rec, unsigned usaOffset, unsigned sectors);
void ApplyUpdateSequence(MutableBytes rec, unsigned usaOffset, unsigned sectors);
void UndoUpdateSequence(MutableBytes rec, unsigned usaOffset, unsigned sectors);

// The attribute walk of a record (fixed up or not): from the first-attribute
// offset to min(used size, record size) - 8, ending at the end marker or a
// zero length. fn(offset, attribute bytes) answers whether to go on. Answers
// false when an attribute is shorter than its header or passes the record.
bool WalkAttributes(Bytes rec, const std::function<bool(std::size_t, Bytes)>& fn);

} // namespace ntfs

class CNTFSFileRecordHeader {
public:
    // Magic, update-sequence count, allocated size and update-sequence offset;
    // the size must be a non-zero multiple of 512.
    static bool IsValid(ntfs::Bytes buffer);
};

class CNTFSFileRecord {
public:
    // A record held in memory: an owned copy of a valid record, fixed up when
    // its sequence matches (a mismatch is kept as it is). Nothing is held for
    // an invalid record.
    explicit CNTFSFileRecord(ntfs::Bytes buffer);
    bool IsValid() const { return !m_rec.empty(); }
    bool IsFixedUp() const { return m_fixed; }
    ntfs::Bytes Data() const { return m_rec; }
    ntfs::Bytes FindAttibute(std::uint32_t type, int index) const { return FindAttibute(m_rec, type, index); }
    bool IsFolder() const { return IsFolder(m_rec); }
    bool IsinUse() const { return IsinUse(m_rec); }
    bool IsExtendFileRecord() const { return IsExtendFileRecord(m_rec); }
    std::uint64_t GetLogFileSequenceNumber() const { return GetLogFileSequenceNumber(m_rec); }
    bool HasXPNumberOfthisMFTRecord() const { return HasXPNumberOfthisMFTRecord(m_rec); }
    std::uint32_t GetXPNumberOfthisMFTRecord() const { return GetXPNumberOfthisMFTRecord(m_rec); }

    // At least 1024 bytes, a valid header and sound attributes (checked on a
    // fixed-up copy when the sequence matches).
    static bool IsValid(ntfs::Bytes buffer);
    // Every sector end of the record (count - 1 of them, within the bytes
    // given) carries the sequence number.
    static bool IsValidUpdateSequence(ntfs::Bytes buffer);
    // Applies the fix-up when the sequence matches (true also when there is
    // nothing to do); FixupFileRecord undoes it.
    static bool UnfixupFileRecord(ntfs::MutableBytes buffer);
    static void FixupFileRecord(ntfs::MutableBytes buffer);
    static bool CheckAttibutes(ntfs::Bytes buffer);
    // The index-th (from 0) attribute of a type: its bytes (its whole length),
    // empty when there is none.
    static ntfs::Bytes FindAttibute(ntfs::Bytes buffer, std::uint32_t type, int index);
    static std::uint32_t GetAttributeOffset(ntfs::Bytes buffer, std::uint32_t type, int index);
    static int GetAttibuteCountofSpecifiedType(ntfs::Bytes buffer, std::uint32_t type);
    static bool HasAttributeList(ntfs::Bytes buffer) {
        return !FindAttibute(buffer, ntfs::ATTR_ATTRIBUTE_LIST, 0).empty();
    }
    static bool IsinUse(ntfs::Bytes b) { return (bytes::Le16(b, 22) & 1) != 0; }
    static bool IsFolder(ntfs::Bytes b) { return (bytes::Le16(b, 22) & 2) != 0; }
    // Any non-zero base reference (the $MFT's own extensions name record 0).
    static bool IsExtendFileRecord(ntfs::Bytes b) { return bytes::Le64(b, 32) != 0; }
    static long long GetBaseFileRecordNumber(ntfs::Bytes b) {
        return static_cast<long long>(bytes::Le64(b, 32) & ntfs::kRecordNumberMask);
    }
    static std::uint32_t GetLength(ntfs::Bytes b) { return bytes::Le32(b, 24); }
    static std::uint32_t GetAllocatedSize(ntfs::Bytes b) { return bytes::Le32(b, 28); }
    static bool HasXPNumberOfthisMFTRecord(ntfs::Bytes b) {
        return bytes::Le16(b, 4) >= 48 && bytes::Le16(b, 42) == 0;
    }
    static std::uint32_t GetXPNumberOfthisMFTRecord(ntfs::Bytes b) { return bytes::Le32(b, 44); }
    static std::uint64_t GetLogFileSequenceNumber(ntfs::Bytes b) { return bytes::Le64(b, 8); }

private:
    std::vector<std::uint8_t> m_rec;
    bool m_fixed = false;
};

// Readers of one attribute; `attr` starts at the attribute (its own length or
// the rest of the record). Reads outside it answer 0 or empty.
class CNTFSFileRecordAttribute {
public:
    // The header of its form (resident 24, non-resident 64 bytes) within a
    // length of at least 16 that fits in `attr`; the name, the value or the
    // mapping pairs inside the attribute; $DATA pairs valid.
    static bool IsValid(ntfs::Bytes attr);
    static std::uint32_t GetType(ntfs::Bytes a) { return bytes::Le32(a, 0); }
    static std::uint32_t GetLength(ntfs::Bytes a) { return bytes::Le32(a, 4); }
    static bool IsResident(ntfs::Bytes a) { return bytes::U8(a, 8) == 0; }
    static bool IsNamed(ntfs::Bytes a) { return bytes::U8(a, 9) != 0; }
    static unsigned GetNameLength(ntfs::Bytes a) { return bytes::U8(a, 9); }
    static unsigned GetOffsetToName(ntfs::Bytes a) { return bytes::Le16(a, 10); }
    static unsigned GetFlags(ntfs::Bytes a) { return bytes::Le16(a, 12); }
    static bool IsCompressed(ntfs::Bytes a) { return (GetFlags(a) & 0x0001) != 0; }
    static bool IsEncrypted(ntfs::Bytes a) { return (GetFlags(a) & 0x4000) != 0; }
    static unsigned GetID(ntfs::Bytes a) { return bytes::Le16(a, 14); }
    // Resident attributes.
    static std::uint32_t GetLengthOfAttribute(ntfs::Bytes a) { return bytes::Le32(a, 16); }
    static unsigned GetOffsetToAttribute(ntfs::Bytes a) { return bytes::Le16(a, 20); }
    static bool IsValidResidentAttribute(ntfs::Bytes a);
    // The value of a resident attribute, empty when it does not fit.
    static ntfs::Bytes GetValue(ntfs::Bytes a);
    // The name (UTF-16LE bytes), empty when it does not fit.
    static ntfs::Bytes GetName(ntfs::Bytes a);
    // Non-resident attributes.
    static bool IsValidNonResidentAttribute(ntfs::Bytes a);
    static long long GetStartVCN(ntfs::Bytes a) { return static_cast<long long>(bytes::Le64(a, 16)); }
    static long long GetLastVCN(ntfs::Bytes a) { return static_cast<long long>(bytes::Le64(a, 24)); }
    static unsigned GetDataRunsOffset(ntfs::Bytes a) { return bytes::Le16(a, 32); }
    static unsigned GetCompressionUnitSize(ntfs::Bytes a) { return bytes::Le16(a, 34); }
    static long long GetAllocSizeofAttribute(ntfs::Bytes a) {
        return static_cast<long long>(bytes::Le64(a, 40));
    }
    static long long GetRealSizeOfAttribute(ntfs::Bytes a) {
        return static_cast<long long>(bytes::Le64(a, 48));
    }
    static long long GetInitializedDataSize(ntfs::Bytes a) {
        return static_cast<long long>(bytes::Le64(a, 56));
    }
};

class CNTFSFileRecordStandardInformationAttribute {
public:
    static bool IsValid(ntfs::Bytes attr);
    static std::uint64_t GetCreationFileTime(ntfs::Bytes a) { return At(a, 0); }
    static std::uint64_t GetModificationFileTime(ntfs::Bytes a) { return At(a, 8); }
    static std::uint64_t GetLastAccessFileTime(ntfs::Bytes a) { return At(a, 24); }
    static std::uint32_t GetDosFilePermission(ntfs::Bytes a);

private:
    static std::uint64_t At(ntfs::Bytes a, std::size_t off);
};

class CNTFSFileRecordFileNameAttribute {
public:
    // A valid resident attribute whose value holds the 66-byte header and the
    // whole name, and whose name has none of " * / : < > ? \ |.
    static bool IsValid(ntfs::Bytes attr);
    static long long GetFileRecordNumberofParentDirectory(ntfs::Bytes a);
    static std::uint64_t GetCreationFileTime(ntfs::Bytes a) { return Value64(a, 8); }
    static std::uint64_t GetModificationFileTime(ntfs::Bytes a) { return Value64(a, 16); }
    static std::uint64_t GetLastAccessFileTime(ntfs::Bytes a) { return Value64(a, 32); }
    static long long GetFileRealSize(ntfs::Bytes a) { return static_cast<long long>(Value64(a, 48)); }
    static std::uint32_t GetFlags(ntfs::Bytes a);
    static bool IsDirectory(ntfs::Bytes a) { return (GetFlags(a) & 0x10000000) != 0; }
    static bool IsEncrypted(ntfs::Bytes a) { return (GetFlags(a) & 0x4000) != 0; }
    static unsigned GetFileNameLength(ntfs::Bytes a);
    // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS, 4 anything else.
    static unsigned GetFileNameNamespaceType(ntfs::Bytes a);
    // The name's UTF-16LE bytes, cut to what the value holds.
    static ntfs::Bytes GetFileName(ntfs::Bytes a);
    static std::string GetFileNameUtf8(ntfs::Bytes a);
    static bool IsFileNameEqual(ntfs::Bytes a, std::u16string_view name);

private:
    static std::uint64_t Value64(ntfs::Bytes a, std::size_t off);
};

// The metafiles: MFT number and name, in table order.
struct MetaFileRow {
    std::uint32_t number;
    const char16_t* name;
};
extern const MetaFileRow metaFileRecordMFTNumberandFileNameArray[15];
inline constexpr const char16_t* FILE_NAME_MFT = u"$MFT";
inline constexpr const char16_t* FILE_NAME_MFTMIRROR = u"$MFTMirr";
inline constexpr const char16_t* FILE_NAME_LOGFILE = u"$LogFile";
inline constexpr const char16_t* FILE_NAME_VOLUME = u"$Volume";
inline constexpr const char16_t* FILE_NAME_ATTRDEF = u"$AttrDef";
inline constexpr const char16_t* FILE_NAME_ROOT = u".";
inline constexpr const char16_t* FILE_NAME_BITMAP = u"$Bitmap";
inline constexpr const char16_t* FILE_NAME_BOOT = u"$Boot";
inline constexpr const char16_t* FILE_NAME_BADCLUS = u"$BadClus";
inline constexpr const char16_t* FILE_NAME_SECURE = u"$Secure";
inline constexpr const char16_t* FILE_NAME_UPCASE = u"$UpCase";
inline constexpr const char16_t* FILE_NAME_EXTEND = u"$Extend";
inline constexpr const char16_t* FILE_NAME_QUOTA = u"$Quota";
inline constexpr const char16_t* FILE_NAME_OBJID = u"$ObjId";
inline constexpr const char16_t* FILE_NAME_REPARSE = u"$Reparse";

class CMetaFileRecordTypeAnalyzer {
public:
    // The MFT number of the metafile a base record names first, or 0xFFFFFFFF.
    static std::uint32_t GetMetaFileRecordIndex(const CNTFSFileRecord& record);
    // A metafile name and hidden + system in the standard information.
    static bool IsValidMetaFileRecord(const CNTFSFileRecord& record);
    static bool IsValidMetaFileRecord(const CNTFSFileRecord& record, std::u16string_view name);
    static bool IsValidMetaFileRecord(ntfs::Bytes buffer, std::u16string_view name);
    static bool IsValidMFTFileRecord(ntfs::Bytes b) { return IsValidMetaFileRecord(b, FILE_NAME_MFT); }
    static bool IsValidMFTMirrFileRecord(ntfs::Bytes b) {
        return IsValidMetaFileRecord(b, FILE_NAME_MFTMIRROR);
    }
    static bool IsValidLogFileRecord(ntfs::Bytes b) { return IsValidMetaFileRecord(b, FILE_NAME_LOGFILE); }
    static bool IsValidVolumeFileRecord(ntfs::Bytes b) { return IsValidMetaFileRecord(b, FILE_NAME_VOLUME); }
    static bool IsValidBitmapFileRecord(ntfs::Bytes b) { return IsValidMetaFileRecord(b, FILE_NAME_BITMAP); }
    static bool IsValidAttrDefFileRecord(ntfs::Bytes b) {
        return IsValidMetaFileRecord(b, FILE_NAME_ATTRDEF);
    }
    static bool IsValidUpCaseFileRecord(ntfs::Bytes b) { return IsValidMetaFileRecord(b, FILE_NAME_UPCASE); }
};

class CIsMetaFileRecord {
public:
    static bool IsMetaFileRecord(ntfs::Bytes buffer);
};
