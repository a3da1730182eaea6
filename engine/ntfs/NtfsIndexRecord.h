#pragma once
// Folder indexes: the INDX records of an index allocation and the index root
// (0x90) of a folder's own record. Entries are walked only inside the bytes
// the record says are in use and inside the buffer.
#include "engine/common/Bytes.h"

#include <cstdint>
#include <functional>
#include <span>

class CStandardIndexHeader {
public:
    static bool IsValidMagicNumber(bytes::Bytes b) { return bytes::Le32(b, 0) == 0x58444E49; }
    // Magic; 24 + allocated size within the buffer and the size in use within
    // it; update-sequence count at most 16, fitting the buffer and matching
    // the allocated size; update-sequence offset 40 to 256.
    static bool IsValid(bytes::Bytes b);
    static std::size_t GetOffsetofIndexEntries(bytes::Bytes b) { return 24u + bytes::Le32(b, 24); }
    static std::uint32_t GetSizeofIndexEntries(bytes::Bytes b) { return bytes::Le32(b, 28); }
    static long long GetVCN(bytes::Bytes b) { return static_cast<long long>(bytes::Le64(b, 16)); }
    static std::uint64_t GetLogFileSequenceNumber(bytes::Bytes b) { return bytes::Le64(b, 8); }
};

class CIndexRecord {
public:
    // A valid header, a matching update sequence over every sector, and sound
    // entries (checked on a fixed-up copy).
    static bool IsValid(bytes::Bytes b);
    static bool IsValidUpdateSequence(bytes::Bytes b);
    // Applies the fix-up when the sequence matches; FixupIndexRecord undoes it.
    static bool UnfixupIndexRecord(std::span<std::uint8_t> b);
    static void FixupIndexRecord(std::span<std::uint8_t> b);
    // Over fixed-up bytes: every examined entry names the first entry's parent
    // and its real size is not above its allocated size.
    static bool CheckIndexEntries(bytes::Bytes fixedUp);
    // An entry (its key being the file-name value at 16) whose real size is not
    // above its allocated size, unless the key says sparse or compressed.
    static bool IsValidEntry(bytes::Bytes entry);
    // The folder a valid record belongs to: the low 32 bits of its first
    // entry's parent reference; -1 for an invalid record or one with no named
    // entry first.
    static long long GetParentFileReference(bytes::Bytes b);
    static long long GetVCN(bytes::Bytes b) { return CStandardIndexHeader::GetVCN(b); }
    static std::uint64_t GetLogFileSequenceNumber(bytes::Bytes b) {
        return CStandardIndexHeader::GetLogFileSequenceNumber(b);
    }

    // Walks the entries of fixed-up bytes from `first` to `end` (both within
    // the buffer). fn(entry) sees each whole entry; it answers whether to go
    // on. The walk ends at a zero length or after the last-entry flag, and
    // answers false at an entry that does not fit.
    static bool WalkEntries(bytes::Bytes b, std::size_t first, std::size_t end,
                            const std::function<bool(bytes::Bytes)>& fn);
    // Entry fields.
    static std::uint64_t EntryReference(bytes::Bytes e) { return bytes::Le64(e, 0); }
    static unsigned EntryFlags(bytes::Bytes e) { return bytes::Le16(e, 12); }
    static std::uint64_t EntryParentReference(bytes::Bytes e) { return bytes::Le64(e, 16); }
    // The entry holds a whole file-name key (16 + 66 bytes and the name).
    static bool EntryHasKey(bytes::Bytes e);
};

class CNTFSFileRecordIndexRootAttribute {
public:
    // A valid resident attribute whose value holds the node header and the
    // size in use.
    static bool IsValid(bytes::Bytes attr);
    // The folder's MFT record number from the entries of its index root, or -1.
    static long long GetMFTFileRecordNumberfrom0x90(bytes::Bytes attr);
};
