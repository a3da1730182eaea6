#include "engine/carver/analysers/PdfAnalyzer.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

const unsigned char* Find(const unsigned char* text, std::size_t n, const char* needle) {
    return Apimemstr(text, static_cast<long long>(n), reinterpret_cast<const unsigned char*>(needle),
                     static_cast<long long>(std::strlen(needle)));
}

bool StartsWith(const unsigned char* text, std::size_t n, const char* prefix) {
    const std::size_t p = std::strlen(prefix);
    return n >= p && std::memcmp(text, prefix, p) == 0;
}

constexpr unsigned char kEof[] = {'%', '%', 'E', 'O', 'F'};

} // namespace

namespace BruteForce {

bool PdfAnalyzer::Accepts(const unsigned char* head, std::size_t n) {
    if (StartsWith(head, n, "%PDF-")) return true;
    return StartsWith(head, n, "%!PS-Adobe") && Find(head, n, "Adobe Illustrator") && !Find(head, n, " EPSF-");
}

bool PdfAnalyzer::JudgeAI(const unsigned char* text, std::size_t n) {
    n = std::min<std::size_t>(n, 4095);
    if (n < 10) return false;
    const unsigned char* ps = Find(text, n, "%!PS-Adobe");
    return ps && Find(ps, n - static_cast<std::size_t>(ps - text), "Adobe Illustrator");
}

int PdfAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 512);
    if (head.empty()) return 0;
    // Read as text: it ends at the first NUL.
    const auto* nul = static_cast<const unsigned char*>(std::memchr(head.data(), 0, head.size()));
    if (!Accepts(head.data(), nul ? static_cast<std::size_t>(nul - head.data()) : head.size())) return 0;
    info.m_eRawFileType = kPdfType;
    return 1;
}

PdfAnalyzer::PdfRawFileInfo::PdfRawFileInfo(IRawFileAnalyser* classic) : m_pClassic(classic) {
    m_eRawFileType = kPdfType;
}

void PdfAnalyzer::PdfRawFileInfo::WillBeRemove(unsigned char*, long long) {
    // The classic sizer knows nothing of the information read so far: name
    // and label the candidate now, or an evicted PDF loses them.
    PdfTagDealwith(m_Info);
    m_pAnalyser = m_pClassic;
}

void PdfAnalyzer::PdfRawFileInfo::PdfTagDealwith(FileProperty info) {
    const bool found = !m_bInfoPending;
    std::string tag = !info.m_strLastAuthor.empty() ? info.m_strLastAuthor
                      : !info.m_strAuthor.empty()   ? info.m_strAuthor
                      : !info.m_strProducer.empty() ? info.m_strProducer
                                                    : std::string("unknown");
    if (!found) tag = m_strFileName;
    std::string name;
    for (const std::string* f : {&info.m_strTitle, &info.m_strLastAuthor, &info.m_strAuthor, &info.m_strProducer})
        if (!f->empty()) {
            name = *f + info.m_strModified;
            break;
        }
    if (name.empty()) name = info.m_strCreated;
    m_strFileName = name;
    if (found && !m_bReserved && (!name.empty() || !info.m_strCreated.empty()))
        SetRawFileTagAndValue(m_eRawFileType == kPdfType ? RAW_TAG_PDF : RAW_TAG_AI, tag);
    if (!info.m_strCreated.empty()) m_strFileTime = info.m_strCreated;
}

int PdfAnalyzer::PdfRawFileInfo::CalcRawSize(unsigned char* sector, int sectorSize, long long s,
                                             SearchContext& context) {
    if (!sector || sectorSize <= 0) return 2;
    const std::size_t ss = static_cast<std::size_t>(sectorSize);
    m_bMoreData = s + 1 < context.m_llWindowEnd;
    // This sector and, when buffered, the next one.
    bytes::Bytes text = m_bMoreData ? context.m_Window.At(0, 2 * ss) : bytes::Bytes();
    if (text.empty()) text = bytes::Bytes(sector, ss);
    if (m_bInfoPending &&
        m_Reader.ObtainPerSecPDFInformation(text.data(), static_cast<int>(text.size()), m_bMoreData, m_Info)) {
        if (m_Info.m_strAuthor.find("Illustrator") != std::string::npos) m_eRawFileType = kAiType;
        m_bInfoPending = false;
    }
    if (m_bJudgeAI) {
        m_bJudgeAI = false;
        if (JudgeAI(text.data(), text.size())) m_eRawFileType = kAiType;
    }
    const long long offset = (s - m_llStartSector) * static_cast<long long>(ss);
    // Another PDF begins here: this one ended before it, somewhere the stream
    // could not tell (under the minimum, or without a zero tail). The classic
    // sizer, which stops at that header, takes it.
    if (offset > m_llSizeLimit || (offset > 0 && StartsWith(sector, ss, "%PDF-"))) {
        m_ullFileSize = 0;
        return 1;
    }
    const unsigned z = context.m_nTrailingZero;
    if (z < 4 || offset < m_llMinEnd + m_llMinEndBias) return 2;
    long long end = 0;
    if (z != 32) {
        const int e = RawUtility::FindMagicInBuffer(sector, sectorSize, static_cast<int>(z) - 4, kEof, 5);
        if (e == 0) return 2;
        end = e + 2;
    } else {
        // A marker may end just before this sector's zeros begin, in the
        // previous sector's last bytes when those are still at hand.
        bytes::Bytes tail = s - 1 > context.m_llWindowStart ? context.m_Window.At(-16, ss + 16) : bytes::Bytes();
        const long long lead = tail.empty() ? 0 : 16;
        if (tail.empty()) tail = bytes::Bytes(sector, ss);
        const int e = RawUtility::FindMagicInBuffer(tail.data(), static_cast<int>(tail.size()), 44, kEof, 5);
        if (e == 0) return 2;
        end = e - lead;
    }
    PdfTagDealwith(m_Info);
    m_ullFileSize = static_cast<unsigned long long>(offset + end + 2);
    return 1;
}

} // namespace BruteForce

int FilePDFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 200);
    if (head.empty() || !BruteForce::PdfAnalyzer::Accepts(head.data(), head.size())) return 0;
    info.m_eRawFileType = BruteForce::PdfAnalyzer::kPdfType;
    return 1;
}

int FilePDFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    return device ? GetRawFileSizeEx(info, device) : 0;
}

int FilePDFAnalyser::GetRawFileSizeEx(CRawFileInfo& info, IStorageDevice* device) {
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned long long ss = file.GetSectorSize();
    if (ss < 16) return 0;
    // The drawing-application test over the first 1024 offsets.
    std::vector<unsigned char> head;
    for (unsigned long long at = 0; at < 1024 + 4096; at += ss) {
        const unsigned char* p = file.Fetch(at, ss);
        if (!p) break;
        head.insert(head.end(), p, p + ss);
    }
    for (std::size_t i = 0; i < std::min<std::size_t>(1024, head.size()); ++i)
        if (StartsWith(head.data() + i, head.size() - i, "%!PS-Adobe") &&
            Find(head.data() + i, head.size() - i, "Adobe Illustrator")) {
            info.m_eRawFileType = BruteForce::PdfAnalyzer::kAiType;
            break;
        }
    // The end search starts at the first sector: a PDF may end before any
    // fixed starting offset.
    unsigned long long size = 0;
    unsigned long long offset = 0;
    for (; offset <= kScanLimit; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        // The device ends (or fails) before any end was found: what was
        // scanned is kept rather than the document lost.
        if (!p) {
            if (offset == 0) return 0;
            size = offset;
            break;
        }
        if (offset != 0 && StartsWith(p, ss, "%PDF-")) {
            size = offset;
            break;
        }
        if (p[ss - 1] | p[ss - 2] | p[ss - 3] | p[ss - 4]) continue;
        if (const unsigned char* m = Find(p, ss, "%%EOF")) {
            size = offset + static_cast<unsigned long long>(m - p) + 7;
            break;
        }
        if (offset >= 5) {
            const unsigned char* q = file.Fetch(offset - 5, 10);
            if (!q) return 0;
            if (const unsigned char* m = Find(q, 10, "%%EOF")) {
                size = offset - 5 + static_cast<unsigned long long>(m - q) + 7;
                break;
            }
        }
    }
    if (size == 0) size = offset;
    info.m_ullFileSize = (size + ss - 1) / ss * ss;
    return 1;
}
