#include "engine/ntfs/NtfsLogRecord.h"

#include "engine/ntfs/NtfsFileRecord.h"

using namespace bytes;

namespace {
constexpr unsigned kUsaOffset = 40, kSectors = 8;
}

bool CRCRDRecord::IsValidUpdateSequence(Bytes b) {
    return b.size() >= kPageSize && ntfs::UpdateSequenceMatches(b.first(kPageSize), kUsaOffset, kSectors);
}

bool CRCRDRecord::IsValid(Bytes b) {
    return b.size() >= kPageSize && IsValidMagicNumber(b) && Le16(b, 6) == kSectors + 1 &&
           Le16(b, 4) == kUsaOffset && IsValidUpdateSequence(b);
}

bool CRCRDRecord::Unfixup(std::span<std::uint8_t> b) {
    if (!IsValid(b)) return false;
    ntfs::ApplyUpdateSequence(b.first(kPageSize), kUsaOffset, kSectors);
    return true;
}

bool CRCRDRecord::GetRecordHead(Bytes b, CRecordPageHeader& h) {
    if (!Has(b, 0, 40) || !IsValidMagicNumber(b)) return false;
    h.lastLsn = Le64(b, 8);
    h.flags = Le32(b, 16);
    h.pageCount = Le16(b, 20);
    h.pagePosition = Le16(b, 22);
    h.nextRecordOffset = Le16(b, 24);
    h.lastEndLsn = Le64(b, 32);
    return true;
}

bool CRCRDRecord::GetOperationRecordHeader(Bytes b, CLogRecordHeader& h) {
    if (b.size() < CLogRecordHeader::kSize) return false;
    h.thisLsn = Le64(b, 0);
    h.clientPreviousLsn = Le64(b, 8);
    h.clientUndoNextLsn = Le64(b, 16);
    h.clientDataLength = Le32(b, 24);
    return true;
}
