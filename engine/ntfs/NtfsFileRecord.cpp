#include "engine/ntfs/NtfsFileRecord.h"

#include "engine/common/TextConvert.h"
#include "engine/ntfs/NtfsDataRuns.h"

#include <algorithm>
#include <array>
#include <cstring>

using namespace bytes;
using ntfs::Bytes;
using ntfs::MutableBytes;

namespace ntfs {

namespace {

bool UpdateSequenceFits(std::size_t size, unsigned usaOffset, unsigned sectors) {
    return sectors <= size / 512 && usaOffset + 2u * (sectors + 1) <= size;
}

// The record's bytes: at most the largest record.
Bytes RecordBytes(Bytes b) {
    return b.first(std::min(b.size(), kMaxRecordSize));
}

// The FILE record's sectors that take part in its update sequence: count - 1,
// as far as the bytes given reach.
unsigned FileRecordSectors(Bytes rec) {
    const unsigned count = Le16(rec, 6);
    return count < 2 ? 0 : std::min<unsigned>(count - 1, static_cast<unsigned>(rec.size() / 512));
}

} // namespace

bool UpdateSequenceMatches(Bytes rec, unsigned usaOffset, unsigned sectors) {
    if (!UpdateSequenceFits(rec.size(), usaOffset, sectors)) return false;
    const std::uint16_t seq = Le16(rec, usaOffset);
    for (unsigned k = 0; k < sectors; ++k)
        if (Le16(rec, 512 * k + 510) != seq) return false;
    return true;
}

void ApplyUpdateSequence(MutableBytes rec, unsigned usaOffset, unsigned sectors) {
    if (!UpdateSequenceFits(rec.size(), usaOffset, sectors)) return;
    for (unsigned k = 0; k < sectors; ++k) {
        rec[512 * k + 510] = rec[usaOffset + 2 * (k + 1)];
        rec[512 * k + 511] = rec[usaOffset + 2 * (k + 1) + 1];
    }
}

void UndoUpdateSequence(MutableBytes rec, unsigned usaOffset, unsigned sectors) {
    if (!UpdateSequenceFits(rec.size(), usaOffset, sectors)) return;
    for (unsigned k = 0; k < sectors; ++k) {
        rec[usaOffset + 2 * (k + 1)] = rec[512 * k + 510];
        rec[usaOffset + 2 * (k + 1) + 1] = rec[512 * k + 511];
        rec[512 * k + 510] = rec[usaOffset];
        rec[512 * k + 511] = rec[usaOffset + 1];
    }
}

bool WalkAttributes(Bytes b, const std::function<bool(std::size_t, Bytes)>& fn) {
    const Bytes rec = RecordBytes(b);
    if (rec.size() < 24 + 8) return true;
    const std::size_t used = Le32(rec, 24);
    const std::size_t end = (used > 8 && used <= rec.size() ? used : rec.size()) - 8;
    std::size_t off = Le16(rec, 20);
    while (off < end) {
        if (Le32(rec, off) == kAttributeEnd) return true;
        const std::size_t length = Le32(rec, off + 4);
        if (length == 0) return true;
        if (length < 16 || length > rec.size() - off) return false;
        if (!fn(off, rec.subspan(off, length))) return true;
        off += length;
    }
    return true;
}

} // namespace ntfs

bool CNTFSFileRecordHeader::IsValid(Bytes b) {
    if (b.empty() || b.size() % 512 != 0) return false;
    if (Le32(b, 0) != 0x454C4946) return false;
    const unsigned count = Le16(b, 6), allocated = Le32(b, 28), usa = Le16(b, 4);
    if (count < 1 || count > 16) return false;
    if (allocated > 4096 || allocated % 1024 != 0) return false;
    if (count - 1 > allocated / 512) return false;
    return usa >= 42 && usa <= 256;
}

bool CNTFSFileRecord::IsValidUpdateSequence(Bytes b) {
    const Bytes rec = ntfs::RecordBytes(b);
    return ntfs::UpdateSequenceMatches(rec, Le16(rec, 4), ntfs::FileRecordSectors(rec));
}

bool CNTFSFileRecord::UnfixupFileRecord(MutableBytes b) {
    const MutableBytes rec = b.first(std::min(b.size(), ntfs::kMaxRecordSize));
    if (!IsValidUpdateSequence(rec)) return false;
    ntfs::ApplyUpdateSequence(rec, Le16(rec, 4), ntfs::FileRecordSectors(rec));
    return true;
}

void CNTFSFileRecord::FixupFileRecord(MutableBytes b) {
    const MutableBytes rec = b.first(std::min(b.size(), ntfs::kMaxRecordSize));
    ntfs::UndoUpdateSequence(rec, Le16(rec, 4), ntfs::FileRecordSectors(rec));
}

bool CNTFSFileRecord::CheckAttibutes(Bytes b) {
    const Bytes rec = ntfs::RecordBytes(b);
    bool sound = true;
    const bool whole = ntfs::WalkAttributes(rec, [&](std::size_t off, Bytes) {
        const Bytes rest = rec.subspan(off);
        sound = CNTFSFileRecordAttribute::IsValid(rest) &&
                (CNTFSFileRecordAttribute::GetType(rest) != ntfs::ATTR_FILE_NAME ||
                 CNTFSFileRecordFileNameAttribute::IsValid(rest));
        return sound;
    });
    return whole && sound;
}

bool CNTFSFileRecord::IsValid(Bytes b) {
    if (b.size() < 1024) return false;
    const Bytes src = b.first(std::min(b.size() / 512 * 512, ntfs::kMaxRecordSize));
    if (!CNTFSFileRecordHeader::IsValid(src)) return false;
    std::array<std::uint8_t, ntfs::kMaxRecordSize> copy;
    std::copy(src.begin(), src.end(), copy.begin());
    const MutableBytes rec(copy.data(), src.size());
    UnfixupFileRecord(rec);
    return CheckAttibutes(rec);
}

CNTFSFileRecord::CNTFSFileRecord(Bytes b) {
    if (!IsValid(b)) return;
    const Bytes src = b.first(std::min(b.size() / 512 * 512, ntfs::kMaxRecordSize));
    m_rec.assign(src.begin(), src.end());
    m_fixed = UnfixupFileRecord(m_rec);
}

Bytes CNTFSFileRecord::FindAttibute(Bytes b, std::uint32_t type, int index) {
    Bytes found;
    ntfs::WalkAttributes(b, [&](std::size_t, Bytes attr) {
        if (CNTFSFileRecordAttribute::GetType(attr) == type && index-- == 0) found = attr;
        return found.empty();
    });
    return found;
}

std::uint32_t CNTFSFileRecord::GetAttributeOffset(Bytes b, std::uint32_t type, int index) {
    std::uint32_t found = 0xFFFFFFFF;
    ntfs::WalkAttributes(b, [&](std::size_t off, Bytes attr) {
        if (CNTFSFileRecordAttribute::GetType(attr) == type && index-- == 0)
            found = static_cast<std::uint32_t>(off);
        return found == 0xFFFFFFFF;
    });
    return found;
}

int CNTFSFileRecord::GetAttibuteCountofSpecifiedType(Bytes b, std::uint32_t type) {
    int count = 0;
    ntfs::WalkAttributes(b, [&](std::size_t, Bytes attr) {
        if (CNTFSFileRecordAttribute::GetType(attr) == type) ++count;
        return true;
    });
    return count;
}

bool CNTFSFileRecordAttribute::IsValid(Bytes a) {
    if (a.size() < 16) return false;
    const std::size_t length = GetLength(a);
    if (length < 16 || length > a.size()) return false;
    const Bytes attr = a.first(length);
    const unsigned nameLength = GetNameLength(attr);
    if (nameLength != 0 && !Has(attr, GetOffsetToName(attr), 2u * nameLength)) return false;
    if (IsResident(attr)) return IsValidResidentAttribute(attr);
    if (!IsValidNonResidentAttribute(attr)) return false;
    if (GetType(attr) != ntfs::ATTR_DATA) return true;
    return CNTFSDataRunList::IsValid(attr.subspan(GetDataRunsOffset(attr)));
}

bool CNTFSFileRecordAttribute::IsValidResidentAttribute(Bytes a) {
    const std::size_t length = std::min<std::size_t>(GetLength(a), a.size());
    return length >= 24 && IsResident(a) &&
           Has(a.first(length), GetOffsetToAttribute(a), GetLengthOfAttribute(a));
}

bool CNTFSFileRecordAttribute::IsValidNonResidentAttribute(Bytes a) {
    const std::size_t length = std::min<std::size_t>(GetLength(a), a.size());
    const unsigned pairs = GetDataRunsOffset(a);
    return length >= 64 && !IsResident(a) && pairs >= 64 && pairs <= length;
}

Bytes CNTFSFileRecordAttribute::GetValue(Bytes a) {
    if (!IsValidResidentAttribute(a)) return {};
    return a.subspan(GetOffsetToAttribute(a), GetLengthOfAttribute(a));
}

Bytes CNTFSFileRecordAttribute::GetName(Bytes a) {
    const std::size_t length = std::min<std::size_t>(GetLength(a), a.size());
    const std::size_t off = GetOffsetToName(a), n = 2u * GetNameLength(a);
    return Has(a.first(length), off, n) ? a.subspan(off, n) : Bytes{};
}

bool CNTFSFileRecordStandardInformationAttribute::IsValid(Bytes a) {
    if (!CNTFSFileRecordAttribute::IsValidResidentAttribute(a)) return false;
    return (CNTFSFileRecordAttribute::GetLength(a) & 0xFFFF) >=
           CNTFSFileRecordAttribute::GetOffsetToAttribute(a) + 40u;
}

std::uint64_t CNTFSFileRecordStandardInformationAttribute::At(Bytes a, std::size_t off) {
    return Le64(CNTFSFileRecordAttribute::GetValue(a), off);
}

std::uint32_t CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(Bytes a) {
    return Le32(CNTFSFileRecordAttribute::GetValue(a), 32);
}

std::uint64_t CNTFSFileRecordFileNameAttribute::Value64(Bytes a, std::size_t off) {
    return Le64(CNTFSFileRecordAttribute::GetValue(a), off);
}

long long CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(Bytes a) {
    return static_cast<long long>(Value64(a, 0) & ntfs::kRecordNumberMask);
}

std::uint32_t CNTFSFileRecordFileNameAttribute::GetFlags(Bytes a) {
    return Le32(CNTFSFileRecordAttribute::GetValue(a), 56);
}

unsigned CNTFSFileRecordFileNameAttribute::GetFileNameLength(Bytes a) {
    return U8(CNTFSFileRecordAttribute::GetValue(a), 64);
}

unsigned CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(Bytes a) {
    return std::min<unsigned>(U8(CNTFSFileRecordAttribute::GetValue(a), 65), 4);
}

Bytes CNTFSFileRecordFileNameAttribute::GetFileName(Bytes a) {
    const Bytes value = CNTFSFileRecordAttribute::GetValue(a);
    if (value.size() < 66) return {};
    return value.subspan(66, std::min<std::size_t>(2u * U8(value, 64), value.size() - 66));
}

std::string CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(Bytes a) {
    const Bytes name = GetFileName(a);
    return Utf16LeToUtf8(name.data(), name.size());
}

bool CNTFSFileRecordFileNameAttribute::IsValid(Bytes a) {
    if (!CNTFSFileRecordAttribute::IsValid(a) || CNTFSFileRecordAttribute::GetType(a) != ntfs::ATTR_FILE_NAME)
        return false;
    const Bytes value = CNTFSFileRecordAttribute::GetValue(a);
    // Any character is a name's: POSIX names (ntfs-3g) hold what Windows
    // refuses, and recovery makes each name safe for the destination.
    return value.size() >= 66 && value.size() >= 66 + 2u * U8(value, 64);
}

bool CNTFSFileRecordFileNameAttribute::IsFileNameEqual(Bytes a, std::u16string_view name) {
    const Bytes own = GetFileName(a);
    if (GetFileNameLength(a) != name.size() || own.size() != 2 * name.size()) return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (Le16(own, 2 * i) != name[i]) return false;
    return true;
}

const MetaFileRow metaFileRecordMFTNumberandFileNameArray[15] = {
    {0, FILE_NAME_MFT},     {1, FILE_NAME_MFTMIRROR}, {2, FILE_NAME_LOGFILE},  {3, FILE_NAME_VOLUME},
    {4, FILE_NAME_ATTRDEF}, {5, FILE_NAME_ROOT},      {6, FILE_NAME_BITMAP},   {7, FILE_NAME_BOOT},
    {8, FILE_NAME_BADCLUS}, {9, FILE_NAME_SECURE},    {10, FILE_NAME_UPCASE},  {11, FILE_NAME_EXTEND},
    {32, FILE_NAME_QUOTA},  {33, FILE_NAME_OBJID},    {34, FILE_NAME_REPARSE},
};

namespace {

bool HiddenSystem(const CNTFSFileRecord& record) {
    const Bytes si = record.FindAttibute(ntfs::ATTR_STANDARD_INFORMATION, 0);
    return !si.empty() && CNTFSFileRecordStandardInformationAttribute::IsValid(si) &&
           (CNTFSFileRecordStandardInformationAttribute::GetDosFilePermission(si) & 0x6) == 0x6;
}

} // namespace

std::uint32_t CMetaFileRecordTypeAnalyzer::GetMetaFileRecordIndex(const CNTFSFileRecord& record) {
    if (!record.IsValid() || record.IsExtendFileRecord()) return 0xFFFFFFFF;
    const Bytes fn = record.FindAttibute(ntfs::ATTR_FILE_NAME, 0);
    if (fn.empty()) return 0xFFFFFFFF;
    for (const MetaFileRow& row : metaFileRecordMFTNumberandFileNameArray)
        if (CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, row.name)) return row.number;
    return 0xFFFFFFFF;
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record) {
    return GetMetaFileRecordIndex(record) != 0xFFFFFFFF && HiddenSystem(record);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(const CNTFSFileRecord& record,
                                                        std::u16string_view name) {
    if (!record.IsValid() || !HiddenSystem(record)) return false;
    const Bytes fn = record.FindAttibute(ntfs::ATTR_FILE_NAME, 0);
    return !fn.empty() && CNTFSFileRecordFileNameAttribute::IsFileNameEqual(fn, name);
}

bool CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(Bytes buffer, std::u16string_view name) {
    return IsValidMetaFileRecord(CNTFSFileRecord(buffer), name);
}

bool CIsMetaFileRecord::IsMetaFileRecord(Bytes buffer) {
    return buffer.size() >= 1024 &&
           CMetaFileRecordTypeAnalyzer::IsValidMetaFileRecord(CNTFSFileRecord(buffer));
}
