#pragma once
// Record pages ("RCRD") of the NTFS log file: the page test, its fix-up over
// all 8 sectors, and the page and log-record headers.
#include "engine/common/Bytes.h"

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// The header of a record page.
struct CRecordPageHeader {
    std::uint64_t lastLsn = 0; // last log sequence number on the page
    std::uint32_t flags = 0;
    std::uint16_t pageCount = 0;
    std::uint16_t pagePosition = 0;
    std::uint16_t nextRecordOffset = 0;
    std::uint64_t lastEndLsn = 0; // last record that ends on the page
};

// The 48-byte header of one log record.
struct CLogRecordHeader {
    static constexpr std::size_t kSize = 48;
    std::uint64_t thisLsn = 0;
    std::uint64_t clientPreviousLsn = 0;
    std::uint64_t clientUndoNextLsn = 0;
    std::uint32_t clientDataLength = 0;
};

class CRCRDRecord {
public:
    static constexpr std::size_t kPageSize = 4096;
    static bool IsValidMagicNumber(bytes::Bytes b) { return bytes::Le32(b, 0) == 0x44524352; }
    // The magic of a first sector (at least 512 bytes).
    static bool IsValidRCRDRecordFirstSector(bytes::Bytes b) {
        return b.size() >= 512 && IsValidMagicNumber(b);
    }
    // Every one of the 8 sector ends carries the sequence number (a whole page).
    static bool IsValidUpdateSequence(bytes::Bytes b);
    // Magic, update-sequence count 9 at offset 40, and the sequence.
    static bool IsValid(bytes::Bytes b);
    // Applies the fix-up to a valid page; false otherwise.
    static bool Unfixup(std::span<std::uint8_t> b);
    static bool GetRecordHead(bytes::Bytes b, CRecordPageHeader& header);
    // A log record header at the start of b (at least 48 bytes).
    static bool GetOperationRecordHeader(bytes::Bytes b, CLogRecordHeader& header);
};

// Walks the log records of record pages handed over in log order. A record
// that runs past its page's end (the page's last one) is carried and joined
// with the bytes that continue it from byte 64 of the following page(s); the
// joined copy is kept up to one page. A page that is not a record page drops
// what was carried.
class CLogRecordWalker {
public:
    // The record's bytes (joined, at most a page) and its whole length, which
    // may be larger than the bytes given.
    using Visit = std::function<void(bytes::Bytes record, std::uint64_t length)>;
    explicit CLogRecordWalker(Visit visit) : m_visit(std::move(visit)) {}
    // One 4096-byte page (fixed up in place when valid). With `visit` false
    // the page only sets up what its last record carries into the next page
    // (the log wraps from its last page to its first record page).
    void TakePage(std::span<std::uint8_t> page, bool visit = true);
    // The records handed to the visitor.
    std::size_t RecordCount() const { return m_count; }
    static constexpr std::size_t kFirstRecord = 64;

private:
    void Emit(bytes::Bytes record, std::uint64_t length);
    Visit m_visit;
    std::vector<std::uint8_t> m_carry;
    std::uint64_t m_carryLength = 0, m_missing = 0;
    std::size_t m_count = 0;
};
