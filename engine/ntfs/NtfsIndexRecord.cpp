#include "engine/ntfs/NtfsIndexRecord.h"

#include "engine/ntfs/NtfsFileRecord.h"

#include <algorithm>
#include <vector>

using namespace bytes;

namespace {

constexpr std::size_t kEntryHeader = 16, kKeyHeader = 66;

unsigned IndexSectors(Bytes b) {
    return Le16(b, 6) < 2 ? 0 : Le16(b, 6) - 1u;
}

// The record's own bytes: 24 + allocated size (at most ~8 KiB once valid).
std::vector<std::uint8_t> FixedUpCopy(Bytes b) {
    std::vector<std::uint8_t> copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(24u + Le32(b, 32)));
    CIndexRecord::UnfixupIndexRecord(copy);
    return copy;
}

std::size_t EntriesEnd(Bytes b) {
    return std::min<std::size_t>(24u + std::size_t{Le32(b, 28)}, b.size());
}

} // namespace

bool CStandardIndexHeader::IsValid(Bytes b) {
    if (!IsValidMagicNumber(b)) return false;
    const std::uint64_t allocated = Le32(b, 32), inUse = Le32(b, 28), entries = Le32(b, 24);
    if (24 + allocated > b.size() || inUse > allocated) return false;
    const unsigned count = Le16(b, 6);
    if (count > 16 || count == 0 || count - 1u > b.size() / 512) return false;
    if (count - 1u != (((allocated + entries) >> 9) & 0xFFFF)) return false;
    const unsigned usa = Le16(b, 4);
    return usa >= 40 && usa <= 256;
}

bool CIndexRecord::IsValidUpdateSequence(Bytes b) {
    return ntfs::UpdateSequenceMatches(b, Le16(b, 4), IndexSectors(b));
}

bool CIndexRecord::UnfixupIndexRecord(std::span<std::uint8_t> b) {
    if (!IsValidUpdateSequence(b)) return false;
    ntfs::ApplyUpdateSequence(b, Le16(b, 4), IndexSectors(b));
    return true;
}

void CIndexRecord::FixupIndexRecord(std::span<std::uint8_t> b) {
    ntfs::UndoUpdateSequence(b, Le16(b, 4), IndexSectors(b));
}

bool CIndexRecord::EntryHasKey(Bytes e) {
    return e.size() >= kEntryHeader + kKeyHeader && e.size() >= kEntryHeader + kKeyHeader + 2u * U8(e, 80);
}

bool CIndexRecord::IsValidEntry(Bytes e) {
    // Sparse and compressed files allocate less than their size.
    const bool lessAllocated = (Le32(e, 16 + 56) & 0xA00) != 0;
    return EntryHasKey(e) && (lessAllocated || Le64(e, 64) <= Le64(e, 56));
}

bool CIndexRecord::WalkEntries(Bytes b, std::size_t first, std::size_t end,
                               const std::function<bool(Bytes)>& fn) {
    end = std::min(end, b.size());
    for (std::size_t off = first; off < end;) {
        if (end - off < kEntryHeader) return false;
        const std::size_t length = Le16(b, off + 8);
        if (length == 0) return true;
        if (length < kEntryHeader || length > end - off) return false;
        const Bytes entry = b.subspan(off, length);
        if (!fn(entry) || (EntryFlags(entry) & 2)) return true;
        off += length;
    }
    return true;
}

bool CIndexRecord::CheckIndexEntries(Bytes b) {
    const std::size_t first = CStandardIndexHeader::GetOffsetofIndexEntries(b);
    bool sound = true, haveParent = false;
    std::uint64_t parent = 0;
    const bool whole = WalkEntries(b, first, EntriesEnd(b), [&](Bytes e) {
        const unsigned flags = EntryFlags(e);
        if (flags & 2) return false;
        if (!EntryHasKey(e)) return sound = false;
        if (!haveParent) parent = EntryParentReference(e), haveParent = true;
        if (flags == 1) return true;
        sound = IsValidEntry(e) && EntryParentReference(e) == parent;
        return sound;
    });
    return whole && sound;
}

bool CIndexRecord::IsValid(Bytes b) {
    if (!CStandardIndexHeader::IsValid(b) || !IsValidUpdateSequence(b)) return false;
    return CheckIndexEntries(FixedUpCopy(b));
}

long long CIndexRecord::GetParentFileReference(Bytes b) {
    if (!IsValid(b)) return -1;
    const std::vector<std::uint8_t> rec = FixedUpCopy(b);
    long long parent = -1;
    WalkEntries(rec, CStandardIndexHeader::GetOffsetofIndexEntries(rec), EntriesEnd(rec), [&](Bytes e) {
        if (!(EntryFlags(e) & 2) && EntryHasKey(e))
            parent = static_cast<long long>(EntryParentReference(e) & 0xFFFFFFFF);
        return false;
    });
    return parent;
}

bool CNTFSFileRecordIndexRootAttribute::IsValid(Bytes attr) {
    if (!CNTFSFileRecordAttribute::IsValid(attr) || !CNTFSFileRecordAttribute::IsResident(attr)) return false;
    const Bytes value = CNTFSFileRecordAttribute::GetValue(attr);
    return value.size() >= 32 && std::uint64_t{Le32(value, 20)} + 16 <= value.size();
}

long long CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(Bytes attr) {
    if (!IsValid(attr)) return -1;
    const Bytes value = CNTFSFileRecordAttribute::GetValue(attr);
    const std::uint64_t first = 16 + std::uint64_t{Le32(value, 16)};
    const std::uint64_t end = 16 + std::uint64_t{Le32(value, 20)};
    if (first >= end || end > value.size()) return -1;
    long long folder = -1;
    CIndexRecord::WalkEntries(value, first, end, [&](Bytes e) {
        // Sub-node entries are taken as they are; others must name a file.
        const unsigned flags = CIndexRecord::EntryFlags(e);
        const bool taken = CIndexRecord::EntryHasKey(e) &&
                           (flags == 1 || (flags != 2 && U8(e, 80) != 0 && CIndexRecord::IsValidEntry(e)));
        if (!taken) return false;
        const long long parent =
            static_cast<long long>(CIndexRecord::EntryParentReference(e) & ntfs::kRecordNumberMask);
        if (folder == -1) {
            folder = parent;
            return true;
        }
        if (parent != folder) {
            folder = -1;
            return false;
        }
        return true;
    });
    return folder;
}
