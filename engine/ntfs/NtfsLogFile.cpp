#include "engine/ntfs/NtfsLogFile.h"

#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/ntfs/NtfsFileNode.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <list>

namespace {
constexpr std::size_t kPage = CRCRDRecord::kPageSize;
// Client data begins after the record header; a FILE image at client byte 40.
constexpr std::size_t kImageAt = CLogRecordHeader::kSize + 40;
// Log records that may carry saved record bytes are shorter than a page's data.
constexpr std::uint64_t kMaxSaved = kPage - CLogRecordWalker::kFirstRecord;
// Pages read per device request.
constexpr std::size_t kPagesPerRead = 64;
// $DATA pieces of one file looked at, and extension records read for them.
constexpr int kMaxDataPieces = 5;
constexpr std::size_t kMaxExtensions = 7;
constexpr long long kMaxLL = std::numeric_limits<long long>::max();
} // namespace

CFindFileFromLogFile::CFindFileFromLogFile()
    : m_walker([this](bytes::Bytes record, std::uint64_t length) { TakeRecord(record, length); }) {}
CFindFileFromLogFile::~CFindFileFromLogFile() = default;

void CFindFileFromLogFile::Reset() {
    m_device = nullptr;
    m_logRuns.ClearDataRunList();
    m_lastPage = 0;
    m_pages = 0;
    m_images.clear();
    m_saved.clear();
    m_sorted = true;
    m_walker =
        CLogRecordWalker([this](bytes::Bytes record, std::uint64_t length) { TakeRecord(record, length); });
}

void CFindFileFromLogFile::SetGeometry(std::uint64_t clusterBytes, std::uint32_t recordSize) {
    m_clusterBytes = clusterBytes;
    m_recordSize = std::clamp<std::uint32_t>(recordSize, 512, ntfs::kMaxRecordSize);
}

bool CFindFileFromLogFile::ReadBytes(std::uint64_t byte, std::uint8_t* out, std::size_t n, bool fromOrigin) {
    const unsigned sector = m_device ? m_device->GetSectorSize() : 0;
    if (sector == 0) return false;
    const std::uint64_t origin =
        fromOrigin ? static_cast<std::uint64_t>(std::max<long long>(m_origin, 0)) * sector : 0;
    if (byte > ~std::uint64_t{0} - origin - n) return false;
    byte += origin;
    const std::uint64_t first = byte / sector, last = (byte + n + sector - 1) / sector;
    if (last > static_cast<std::uint64_t>(std::max<long long>(m_device->GetTotalSectors(), 0))) return false;
    std::vector<std::uint8_t> raw((last - first) * sector);
    if (m_device->ReadSector(raw.data(), static_cast<long long>(first),
                             static_cast<long long>(last - first)) == 0)
        return false;
    std::memcpy(out, raw.data() + (byte - first * sector), n);
    return true;
}

bool CFindFileFromLogFile::Init(IStorageDevice* device, const CNTFSDataRunList& mftRuns,
                                std::uint64_t clusterBytes, std::uint32_t recordSize,
                                long long clusterOrigin) {
    Reset();
    if (!device || clusterBytes == 0 || recordSize < 512 || recordSize > ntfs::kMaxRecordSize) return false;
    m_device = device;
    SetGeometry(clusterBytes, recordSize);
    m_origin = clusterOrigin;
    // Record 2 lies at byte 2 x record size of the $MFT.
    const std::uint64_t at = 2ull * recordSize;
    const long long lcn = mftRuns.GetLCN(static_cast<long long>(at / clusterBytes));
    std::vector<std::uint8_t> rec(recordSize);
    if (lcn < 0 || static_cast<std::uint64_t>(lcn) > ~std::uint64_t{0} / clusterBytes - 1 ||
        !ReadBytes(static_cast<std::uint64_t>(lcn) * clusterBytes + at % clusterBytes, rec.data(),
                   rec.size()))
        return false;
    if (!CMetaFileRecordTypeAnalyzer::IsValidLogFileRecord(rec)) return false;
    CNTFSDataRunList runs;
    if (!CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(rec, runs, false, nullptr)) return false;
    runs.Sort();
    // A longer log is read up to the bound: its first pages hold what was
    // written last before the log wrapped, as much as anywhere else.
    const std::uint64_t maxClusters = kMaxLogBytes / clusterBytes;
    std::uint64_t clusters = 0;
    CNTFSDataRunList kept;
    for (const CDataRun& r : runs.Runs()) {
        if (r.lcn < 0 || r.length <= 0) return false;
        const std::uint64_t length = static_cast<std::uint64_t>(r.length);
        const std::uint64_t most = ~std::uint64_t{0} / clusterBytes;
        if (static_cast<std::uint64_t>(r.lcn) > most || length > most - static_cast<std::uint64_t>(r.lcn))
            return false;
        // The log's own last page, whatever is read of it: its last record
        // may go on in page 4.
        if (length * clusterBytes >= kPage)
            m_lastPage = (static_cast<std::uint64_t>(r.lcn) + length) * clusterBytes - kPage;
        if (clusters == maxClusters) continue;
        const std::uint64_t take = std::min(length, maxClusters - clusters);
        kept.AddRun({r.lcn, static_cast<long long>(clusters), static_cast<long long>(take)});
        clusters += take;
    }
    m_logRuns = kept;
    m_pages = static_cast<std::size_t>(clusters * clusterBytes / kPage);
    return true;
}

void CFindFileFromLogFile::TakeRecord(bytes::Bytes rec, std::uint64_t length) {
    if (length < CLogRecordHeader::kSize) return;
    const std::uint64_t client = length - CLogRecordHeader::kSize;
    // A FILE-record image, copied only as far as the record and the page
    // buffer hold it.
    if (client >= 113 && rec.size() >= kImageAt + 5 && std::memcmp(rec.data() + kImageAt, "FILE0", 5) == 0) {
        std::vector<std::uint8_t> image(std::max<std::size_t>(m_recordSize, 1024), 0);
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>({client - 40, image.size(), rec.size() - kImageAt}));
        std::memcpy(image.data(), rec.data() + kImageAt, n);
        if (!CNTFSFileRecord::IsFolder(image) && !CNTFSFileRecord::IsExtendFileRecord(image)) {
            CNTFSMultiFileRecord multi(image, -1, nullptr, nullptr, m_recordSize);
            std::list<CNTFSFileProperties*> made;
            CNTFSFilePropertiesBuilder builder(made);
            long long parent = -1;
            std::unique_ptr<CNTFSFileProperties> p(
                builder.BuildFileProperties(-1, multi, static_cast<unsigned>(m_clusterBytes), &parent));
            if (p && p->GetFileSize() != 0) m_images.push_back({std::move(p), parent});
        }
    }
    // Saved bytes for a place in a record: only from a whole record.
    if (length >= kMaxSaved || rec.size() != length || rec.size() < kTargetVcn + 8) return;
    const std::size_t dataAt = CLogRecordHeader::kSize + bytes::Le16(rec, kDataOffset);
    const std::size_t dataLength = bytes::Le16(rec, kDataLength);
    const std::uint16_t attributeOffset = bytes::Le16(rec, kAttributeOffset);
    if (attributeOffset == 0 || dataLength <= 10 || dataAt + dataLength > rec.size()) return;
    // The record's position in the $MFT: its cluster and its 512-byte block in it.
    const std::uint64_t vcn = bytes::Le64(rec, kTargetVcn);
    const std::uint64_t block = std::uint64_t{bytes::Le16(rec, kClusterBlockOffset)} * 512;
    long long number = -1;
    if (m_clusterBytes > 0 && vcn <= (~std::uint64_t{0} - block) / m_clusterBytes) {
        const std::uint64_t at = (vcn * m_clusterBytes + block) / m_recordSize;
        if (at <= static_cast<std::uint64_t>(kMaxLL)) number = static_cast<long long>(at);
    }
    m_sorted = false;
    m_saved.push_back(
        {number, bytes::Le16(rec, kRecordOffset), attributeOffset,
         std::vector<std::uint8_t>(rec.begin() + static_cast<std::ptrdiff_t>(dataAt),
                                   rec.begin() + static_cast<std::ptrdiff_t>(dataAt + dataLength))});
}

void CFindFileFromLogFile::TakePage(std::span<std::uint8_t> page, bool visit) {
    if (page.size() >= kPage) m_walker.TakePage(page.first(kPage), visit);
}

void CFindFileFromLogFile::Analyzer() {
    if (!m_device || m_pages < 5) return;
    // The byte of every page, in log order, run by run.
    std::vector<std::uint64_t> at;
    at.reserve(m_pages);
    for (const CDataRun& r : m_logRuns.Runs()) {
        const std::uint64_t start = static_cast<std::uint64_t>(r.lcn) * m_clusterBytes;
        const std::uint64_t bytes = static_cast<std::uint64_t>(r.length) * m_clusterBytes;
        for (std::uint64_t off = 0; off + kPage <= bytes; off += kPage)
            at.push_back(start + off);
    }
    // The log wraps: the last page's last record may go on in page 4.
    std::vector<std::uint8_t> pages(kPagesPerRead * kPage);
    if (ReadBytes(m_lastPage, pages.data(), kPage)) TakePage(std::span(pages).first(kPage), false);
    // The first four pages are the restart area. Consecutive pages are read together.
    for (std::size_t i = 4; i < at.size();) {
        std::size_t n = 1;
        while (n < kPagesPerRead && i + n < at.size() && at[i + n] == at[i] + n * kPage)
            ++n;
        if (ReadBytes(at[i], pages.data(), n * kPage)) {
            for (std::size_t k = 0; k < n; ++k)
                TakePage(std::span(pages).subspan(k * kPage, kPage));
        } else {
            for (std::size_t k = 0; k < n; ++k) {
                const bool read = ReadBytes(at[i + k], pages.data(), kPage);
                if (!read) std::fill_n(pages.begin(), kPage, 0);
                TakePage(std::span(pages).first(kPage));
            }
        }
        i += n;
    }
}

void CFindFileFromLogFile::RebuildRuns(ntfs::Bytes record, long long number, bool compressed,
                                       CNTFSDataRunList& runs) const {
    if (number < 0) return;
    const auto first = std::lower_bound(m_saved.begin(), m_saved.end(), number,
                                        [](const Saved& s, long long n) { return s.number < n; });
    const auto last = std::upper_bound(first, m_saved.end(), number,
                                       [](long long n, const Saved& s) { return n < s.number; });
    if (first == last) return;
    const CNTFSFileRecord held(record);
    if (!held.IsValid()) return;
    const ntfs::Bytes rec = held.Data();
    // Saved bytes are shorter for an uncompressed file's runs than a compressed one's.
    const std::size_t least = compressed ? 24 : 10;
    for (int i = 0; i < kMaxDataPieces; ++i) {
        const ntfs::Bytes attr = CNTFSFileRecord::FindAttibute(rec, ntfs::ATTR_DATA, i);
        if (attr.size() < 64) break;
        if (CNTFSFileRecordAttribute::IsResident(attr) || CNTFSFileRecordAttribute::IsNamed(attr)) continue;
        const std::size_t offset = CNTFSFileRecord::GetAttributeOffset(rec, ntfs::ATTR_DATA, i);
        std::vector<const Saved*> picks;
        for (auto it = first; it != last; ++it)
            if (it->recordOffset == offset && it->data.size() > least) picks.push_back(&*it);
        std::stable_sort(picks.begin(), picks.end(), [](const Saved* a, const Saved* b) {
            return a->attributeOffset < b->attributeOffset;
        });
        // Each piece goes to its place in the attribute, unless it would pass the record.
        std::vector<std::uint8_t> patched(rec.begin(), rec.end());
        std::size_t end = 0;
        for (const Saved* s : picks) {
            const std::size_t to = offset + s->attributeOffset;
            if (to + s->data.size() > patched.size()) continue;
            std::copy(s->data.begin(), s->data.end(), patched.begin() + static_cast<std::ptrdiff_t>(to));
            end = to + s->data.size();
        }
        if (end <= offset + 64) continue;
        const ntfs::Bytes piece = ntfs::Bytes(patched).subspan(offset, end - offset);
        const std::size_t pairs = CNTFSFileRecordAttribute::GetDataRunsOffset(piece);
        const long long vcn = CNTFSFileRecordAttribute::GetStartVCN(piece);
        if (pairs < 64 || pairs >= piece.size() || vcn < 0) continue;
        CNTFSDataRunList::FormDataRunList(piece.subspan(pairs), runs, vcn);
    }
}

CNTFSDataRunList CFindFileFromLogFile::MergeByVcn(CNTFSDataRunList pieces, std::uint64_t deviceClusters,
                                                 std::uint64_t clusterBytes) {
    pieces.Sort();
    CNTFSDataRunList out;
    long long next = 0;
    for (CDataRun r : pieces.Runs()) {
        if (r.length <= 0 || r.vcn < 0 || r.length > kMaxLL - r.vcn) return {};
        if (r.vcn + r.length <= next) continue;
        if (r.vcn < next) {
            const long long cut = next - r.vcn;
            if (r.lcn >= 0) r.lcn += cut;
            r.vcn = next;
            r.length -= cut;
        }
        if (r.lcn >= 0 &&
            (static_cast<std::uint64_t>(r.lcn) > deviceClusters ||
             static_cast<std::uint64_t>(r.length) > deviceClusters - static_cast<std::uint64_t>(r.lcn)))
            return {};
        if (r.vcn > next) out.AddRun({-1, next, r.vcn - next});
        out.AddRun(r);
        next = r.vcn + r.length;
    }
    if (static_cast<std::uint64_t>(next) > static_cast<std::uint64_t>(kMaxLL) / clusterBytes) return {};
    return out;
}

bool CFindFileFromLogFile::ReplaceFileRecordInfo(ntfs::Bytes record, long long number, CNTFSFileProperties& p,
                                                 long long parent,
                                                 const CExtendFileRecordInfoList* extensions) {
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
    if (!match && ((p.GetAttribute() & CNTFSFileProperties::kAttrDirectory) ||
                   !(p.GetState() & CNTFSFileProperties::kStateDeleted)))
        return false;
    if (!m_sorted) {
        // By record number, in log order within one record.
        std::stable_sort(m_saved.begin(), m_saved.end(),
                         [](const Saved& a, const Saved& b) { return a.number < b.number; });
        m_sorted = true;
    }
    const bool compressed = (p.GetAttribute() & CNTFSFileProperties::kAttrCompressed) != 0;
    CNTFSDataRunList pieces;
    RebuildRuns(record, number, compressed, pieces);
    const unsigned sector = m_device ? m_device->GetSectorSize() : 0;
    if (extensions && sector > 0 && !m_saved.empty()) {
        std::vector<std::uint8_t> ext(m_recordSize);
        std::size_t taken = 0;
        for (const auto& e : *extensions) {
            if (taken == kMaxExtensions) break;
            if (e.startSector < 0 ||
                static_cast<std::uint64_t>(e.startSector) > ~std::uint64_t{0} / 2 / sector ||
                !ReadBytes(static_cast<std::uint64_t>(e.startSector) * sector + e.offsetInSector, ext.data(),
                           ext.size(), false))
                continue;
            ++taken;
            RebuildRuns(ext, e.recordNumber, compressed, pieces);
        }
    }
    std::uint64_t deviceClusters = ~std::uint64_t{0};
    if (sector > 0 && m_clusterBytes > 0) {
        const auto total = static_cast<std::uint64_t>(std::max<long long>(m_device->GetTotalSectors(), 0));
        deviceClusters =
            m_clusterBytes >= sector ? total / (m_clusterBytes / sector) : total * (sector / m_clusterBytes);
    }
    const CNTFSDataRunList runs =
        m_clusterBytes > 0 ? MergeByVcn(pieces, deviceClusters, m_clusterBytes) : CNTFSDataRunList{};
    long long clusters = 0;
    Owned<IDataRunList> rebuilt(BuildNonResidentDataRunListfromNTFSDataRunList(runs, &clusters));
    if (!match) {
        if (!rebuilt) return false;
        p.SetDataRunList(rebuilt.get());
        p.SetFileSize(clusters * static_cast<long long>(m_clusterBytes));
        // The cleared record's initialized size (0) no longer describes the data.
        p.SetInitializedSize(-1);
        return true;
    }
    const Owned<IDataRunList> chosen(rebuilt ? std::move(rebuilt)
                                             : Owned<IDataRunList>(match->properties->GetDataRunList()));
    if (chosen) p.SetDataRunList(chosen.get());
    p.SetFileSize(match->properties->GetFileSize());
    p.SetInitializedSize(match->properties->GetInitializedSize());
    return true;
}
