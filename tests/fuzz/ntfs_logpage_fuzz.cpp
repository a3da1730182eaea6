// Log-file record pages: the page test, its fix-up, the page header and a walk
// over the log record headers as the log readers make it.
#include "engine/ntfs/NtfsLogRecord.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> page(data, data + size);
    CRCRDRecord::IsValidRCRDRecordFirstSector(page);
    const bool valid = CRCRDRecord::IsValid(page);
    if (CRCRDRecord::Unfixup(page) != valid) __builtin_trap();
    CRecordPageHeader head;
    if (!CRCRDRecord::GetRecordHead(page, head)) return 0;
    CLogRecordHeader h;
    for (std::size_t off = 64; off < page.size();) {
        if (!CRCRDRecord::GetOperationRecordHeader(bytes::Bytes(page).subspan(off), h)) break;
        if (h.thisLsn == head.lastLsn) break;
        off += CLogRecordHeader::kSize + h.clientDataLength;
    }
    return 0;
}
