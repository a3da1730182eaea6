#include "engine/ntfs/NtfsLogFile.h"

#include "engine/include/StorageDevice.h"
#include "engine/ntfs/NtfsFileNode.h"
#include "engine/ntfs/NtfsLogRecord.h"

#include <algorithm>
#include <cstring>
#include <list>

namespace {
constexpr std::size_t kPage = CRCRDRecord::kPageSize;
constexpr std::size_t kFirstRecord = 64;
constexpr std::size_t kImageRecord = 1024;
// Client data begins after the record header; the image at client byte 40.
constexpr std::size_t kImageAt = CLogRecordHeader::kSize + 40;
} // namespace

CFindFileFromLogFile::CFindFileFromLogFile() = default;
CFindFileFromLogFile::~CFindFileFromLogFile() = default;

void CFindFileFromLogFile::Reset() {
    m_device = nullptr;
    m_logRuns.ClearDataRunList();
    m_pages = 0;
    m_images.clear();
}

bool CFindFileFromLogFile::ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n) {
    const unsigned sector = m_device->GetSectorSize();
    if (sector == 0) return false;
    const std::uint64_t origin = static_cast<std::uint64_t>(std::max<long long>(m_origin, 0)) * sector;
    if (byte > ~std::uint64_t{0} - origin - n) return false;
    byte += origin;
    const std::uint64_t first = byte / sector, last = (byte + n + sector - 1) / sector;
    if (last > static_cast<std::uint64_t>(std::max<long long>(m_device->GetTotalSectors(), 0))) return false;
    std::vector<std::uint8_t> raw((last - first) * sector);
    if (m_device->ReadSector(raw.data(), static_cast<long long>(first), static_cast<long long>(last - first)) == 0)
        return false;
    std::memcpy(out, raw.data() + (byte - first * sector), n);
    return true;
}

bool CFindFileFromLogFile::Init(IStorageDevice* device, const CNTFSDataRunList& mftRuns, std::uint64_t clusterBytes,
                                std::uint32_t recordSize, long long clusterOrigin) {
    Reset();
    if (!device || clusterBytes == 0 || recordSize < 512 || recordSize > ntfs::kMaxRecordSize) return false;
    m_device = device;
    m_clusterBytes = clusterBytes;
    m_origin = clusterOrigin;
    // Record 2 lies at byte 2 x record size of the $MFT.
    const std::uint64_t at = 2ull * recordSize;
    const long long lcn = mftRuns.GetLCN(static_cast<long long>(at / clusterBytes));
    std::vector<std::uint8_t> rec(recordSize);
    if (lcn < 0 || static_cast<std::uint64_t>(lcn) > ~std::uint64_t{0} / clusterBytes - 1 ||
        !ReadBytes(static_cast<std::uint64_t>(lcn) * clusterBytes + at % clusterBytes, rec.data(), rec.size()))
        return false;
    if (!CMetaFileRecordTypeAnalyzer::IsValidLogFileRecord(rec)) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec, runs, false, nullptr)) return false;
    runs.Sort();
    std::uint64_t bytes = 0;
    for (const CDataRun& r : runs.Runs()) {
        if (r.lcn < 0 || r.length <= 0) return false;
        bytes += static_cast<std::uint64_t>(r.length) * clusterBytes;
        if (bytes > kMaxLogBytes) return false;
    }
    m_logRuns = runs;
    m_pages = static_cast<std::size_t>(bytes / kPage);
    return true;
}

void CFindFileFromLogFile::WalkPage(std::vector<std::uint8_t>& page) {
    if (!CRCRDRecord::IsValid(page) || !CRCRDRecord::Unfixup(page)) return;
    CRecordPageHeader head;
    if (!CRCRDRecord::GetRecordHead(page, head)) return;
    std::size_t off = kFirstRecord;
    while (off + CLogRecordHeader::kSize <= kPage) {
        CLogRecordHeader rec;
        if (!CRCRDRecord::GetOperationRecordHeader(bytes::Bytes(page).subspan(off), rec)) break;
        const std::uint64_t length = CLogRecordHeader::kSize + std::uint64_t{rec.clientDataLength};
        // A record that carries a FILE image: it begins early enough in the
        // page for one, and the image is copied only as far as the page holds it.
        if (off < 4003 && rec.clientDataLength >= 113 && off + kImageAt + 5 <= kPage &&
            std::memcmp(page.data() + off + kImageAt, "FILE0", 5) == 0) {
            std::vector<std::uint8_t> image(kImageRecord, 0);
            const std::size_t n = std::min<std::size_t>(
                {std::size_t{rec.clientDataLength} - 40, kImageRecord, kPage - off - kImageAt});
            std::memcpy(image.data(), page.data() + off + kImageAt, n);
            CNTFSMultiFileRecord multi(image, -1, nullptr, nullptr, kImageRecord);
            std::list<CNTFSFileProperties*> made;
            CNTFSFilePropertiesBuilder builder(made);
            long long parent = -1;
            if (!CNTFSFileRecord::IsFolder(image) && !CNTFSFileRecord::IsExtendFileRecord(image)) {
                std::unique_ptr<CNTFSFileProperties> p(
                    builder.BuildFileProperties(-1, multi, static_cast<unsigned>(m_clusterBytes), &parent));
                if (p && p->GetFileSize() != 0) m_images.push_back({std::move(p), parent});
            }
        }
        if (rec.thisLsn == head.lastLsn || length > kPage - off) break;
        off += static_cast<std::size_t>((length + 7) & ~std::uint64_t{7});
    }
}

void CFindFileFromLogFile::Analyzer() {
    if (!m_device || m_pages < 5) return;
    // Pages in log order, run by run; the first four are the restart area.
    std::vector<std::uint8_t> page(kPage);
    std::size_t index = 0;
    for (const CDataRun& r : m_logRuns.Runs()) {
        const std::uint64_t start = static_cast<std::uint64_t>(r.lcn) * m_clusterBytes;
        const std::uint64_t bytes = static_cast<std::uint64_t>(r.length) * m_clusterBytes;
        for (std::uint64_t off = 0; off + kPage <= bytes; off += kPage, ++index) {
            if (index < 4) continue;
            if (!ReadBytes(start + off, page.data(), kPage)) continue;
            WalkPage(page);
        }
    }
}

bool CFindFileFromLogFile::ReplaceFileRecordInfo(CNTFSFileProperties& p, long long parent) {
    const Image* match = nullptr;
    for (const Image& image : m_images) {
        if (std::strcmp(image.properties->GetFileName(), p.GetFileName()) != 0) continue;
        if (image.parent == parent) {
            match = &image;
            break;
        }
        // The name alone, as the last resort.
        if (!match) match = &image;
    }
    if (!match) return false;
    IDataRunList* runs = match->properties->GetDataRunList();
    if (runs) {
        p.SetDataRunList(runs);
        runs->Release();
    }
    p.SetFileSize(match->properties->GetFileSize());
    return true;
}
