// Log-file record pages: the page test, its fix-up, the page header and a walk
// over the log record headers as the log readers make it; then the log-file
// finder's walk over the input as pages in log order (the last page carried
// into the first, records joined across pages, FILE images and saved bytes
// kept) and the rebuild of a record from what it kept.
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsLogFile.h"
#include "engine/ntfs/NtfsLogRecord.h"

#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::uint8_t> page(data, data + size);
    CRCRDRecord::IsValidRCRDRecordFirstSector(page);
    const bool valid = CRCRDRecord::IsValid(page);
    if (CRCRDRecord::Unfixup(page) != valid) __builtin_trap();
    CRecordPageHeader head;
    if (CRCRDRecord::GetRecordHead(page, head)) {
        CLogRecordHeader h;
        for (std::size_t off = 64; off < page.size();) {
            if (!CRCRDRecord::GetOperationRecordHeader(bytes::Bytes(page).subspan(off), h)) break;
            if (h.thisLsn == head.lastLsn) break;
            off += CLogRecordHeader::kSize + h.clientDataLength;
        }
    }

    constexpr std::size_t kPage = CRCRDRecord::kPageSize;
    std::vector<std::uint8_t> pages(data, data + size);
    pages.resize((size + kPage - 1) / kPage * kPage);
    const std::size_t n = pages.size() / kPage;
    if (n == 0) return 0;
    CFindFileFromLogFile finder;
    finder.SetGeometry(size % 2 ? 4096 : 512u << (size % 5), size % 3 ? 1024 : 4096);
    std::vector<std::uint8_t> last(pages.end() - kPage, pages.end());
    finder.TakePage(last, false);
    for (std::size_t i = 0; i < n; ++i)
        finder.TakePage(std::span(pages).subspan(i * kPage, kPage));
    // Every record takes 48 bytes of a page's data at least, one more goes on from before.
    if (finder.RecordCount() > n * ((kPage - 64) / 48 + 1)) __builtin_trap();
    std::unique_ptr<CNTFSFileProperties> p(CNTFSFileProperties::Create());
    p->SetState(CNTFSFileProperties::kStateDeleted);
    finder.ReplaceFileRecordInfo(bytes::Bytes(data, size).first(std::min<std::size_t>(size, 1024)), data[0],
                                 *p, -1);
    if (p->GetFileSize() < 0) __builtin_trap();
    return 0;
}
