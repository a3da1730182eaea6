#include "engine/ntfs/NtfsLogRecord.h"

#include "engine/ntfs/NtfsFileRecord.h"

#include <algorithm>

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

void CLogRecordWalker::Emit(bytes::Bytes record, std::uint64_t length) {
    ++m_count;
    if (m_visit) m_visit(record, length);
}

void CLogRecordWalker::TakePage(std::span<std::uint8_t> page, bool visit) {
    constexpr std::size_t kPage = CRCRDRecord::kPageSize, kData = kPage - kFirstRecord;
    CRecordPageHeader head;
    if (page.size() < kPage || !CRCRDRecord::Unfixup(page) || !CRCRDRecord::GetRecordHead(page, head)) {
        m_carry.clear();
        m_missing = 0;
        return;
    }
    std::size_t off = kFirstRecord;
    if (m_missing > 0) {
        // The carried record goes on at byte 64; a page it fills whole only
        // shortens what is missing.
        const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(m_missing, kData));
        const std::size_t room = kPage - m_carry.size();
        m_carry.insert(m_carry.end(), page.begin() + kFirstRecord,
                       page.begin() + static_cast<std::ptrdiff_t>(kFirstRecord + std::min(take, room)));
        m_missing -= take;
        if (m_missing > 0) return;
        if (visit) Emit(m_carry, m_carryLength);
        m_carry.clear();
        off += (take + 7) & ~std::size_t{7};
    }
    while (off + CLogRecordHeader::kSize <= kPage) {
        CLogRecordHeader rec;
        if (!CRCRDRecord::GetOperationRecordHeader(bytes::Bytes(page).subspan(off), rec)) break;
        const std::uint64_t length = CLogRecordHeader::kSize + std::uint64_t{rec.clientDataLength};
        const bool last = rec.thisLsn == head.lastLsn;
        if (length > kPage - off) {
            // Only the page's last record goes on in the next page.
            if (last) {
                m_carry.assign(page.begin() + static_cast<std::ptrdiff_t>(off), page.end());
                m_carryLength = length;
                m_missing = length - (kPage - off);
            }
            break;
        }
        if (visit) Emit(bytes::Bytes(page).subspan(off, static_cast<std::size_t>(length)), length);
        if (last) break;
        off += static_cast<std::size_t>((length + 7) & ~std::uint64_t{7});
    }
}
