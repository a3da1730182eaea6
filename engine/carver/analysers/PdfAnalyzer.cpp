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

bool Space(unsigned char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }
bool Digit(unsigned char c) { return c >= '0' && c <= '9'; }

// Skips digits from i; the index after them.
std::size_t Digits(const unsigned char* t, std::size_t n, std::size_t i) {
    while (i < n && Digit(t[i])) ++i;
    return i;
}

std::size_t Spaces(const unsigned char* t, std::size_t n, std::size_t i) {
    while (i < n && Space(t[i]) && t[i]) ++i;
    return i;
}

} // namespace

namespace pdfend {

// What the "%%EOF" at `at` of text[0, n) is. Only one closing a
// cross-reference section ("startxref", its offset, "%%EOF") ends a
// document; it is the last when neither an object nor a cross-reference
// table of an incremental update follows it. `end` is set just past the
// marker and its line end.
Kind Classify(const unsigned char* t, std::size_t n, std::size_t at, std::size_t& end) {
    std::size_t b = at;
    while (b > 0 && at - b < 24 && Space(t[b - 1])) --b;
    std::size_t d = b;
    while (d > 0 && b - d < 20 && Digit(t[d - 1])) --d;
    if (d == b) return Kind::None;
    while (d > 0 && Space(t[d - 1]) && t[d - 1]) --d;
    if (d < 9 || std::memcmp(t + d - 9, "startxref", 9) != 0) return Kind::None;
    end = at + 5;
    if (end < n && t[end] == '\r') ++end;
    if (end < n && t[end] == '\n') ++end;
    // An update begins with "N G obj" or "xref" after blank lines.
    std::size_t q = Spaces(t, n, end);
    if (q + 8 > n) return Kind::Unknown;
    if (std::memcmp(t + q, "xref", 4) == 0) return Kind::Update;
    if (!Digit(t[q])) return Kind::Last;
    q = Digits(t, n, q);
    const std::size_t g = Spaces(t, n, q);
    if (g == q || g >= n || !Digit(t[g])) return g >= n ? Kind::Unknown : Kind::Last;
    q = Spaces(t, n, Digits(t, n, g));
    if (q + 3 > n) return Kind::Unknown;
    return std::memcmp(t + q, "obj", 3) == 0 ? Kind::Update : Kind::Last;
}

long long Scan(const unsigned char* t, std::size_t n, std::size_t from, std::size_t to, long long base,
               long long& lastEnd) {
    to = std::min(to, n);
    for (std::size_t i = from; i < to;) {
        const unsigned char* m = Apimemstr(t + i, static_cast<long long>(n - i), kEof, 5);
        if (!m || static_cast<std::size_t>(m - t) >= to) break;
        const std::size_t at = static_cast<std::size_t>(m - t);
        std::size_t end = 0;
        const Kind k = Classify(t, n, at, end);
        if (k == Kind::Last) return base + static_cast<long long>(end);
        if (k != Kind::None) lastEnd = base + static_cast<long long>(end);
        i = at + 5;
    }
    return -1;
}

} // namespace pdfend

namespace {

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
    // Another file begins here (or the limit is reached): this one ended
    // before it, at the last end of its cross-reference chain when one was
    // seen; else the classic sizer, which stops at that header, takes it.
    const bool next = offset > 0 && (StartsWith(sector, ss, "%PDF-") ||
                                     (context.m_pNewInfo && context.m_pNewInfo->m_llStartSector == s));
    if (offset > m_llSizeLimit || next) {
        if (m_llLastEnd > 0) {
            PdfTagDealwith(m_Info);
            m_ullFileSize = static_cast<unsigned long long>(m_llLastEnd);
        } else {
            m_ullFileSize = 0;
        }
        return 1;
    }
    {
        // The document's own end, whatever follows it: the sector with up to
        // 64 bytes on either side for the lines around a marker.
        const bool back = offset > 0 && s - 1 >= context.m_llWindowStart;
        bytes::Bytes t;
        for (std::size_t after : {std::size_t{64}, std::size_t{0}})
            if (t.empty()) t = context.m_Window.At(back ? -64 : 0, (back ? 64 : 0) + ss + after);
        const std::size_t lead = back ? 64 : 0;
        if (!t.empty()) {
            const long long end =
                pdfend::Scan(t.data(), t.size(), lead, lead + ss, offset - static_cast<long long>(lead), m_llLastEnd);
            if (end > 0) {
                PdfTagDealwith(m_Info);
                m_ullFileSize = static_cast<unsigned long long>(end);
                return 1;
            }
        }
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
    long long lastEnd = 0;
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
            size = lastEnd > 0 ? static_cast<unsigned long long>(lastEnd) : offset;
            break;
        }
        {
            const unsigned long long lead = offset ? 64 : 0;
            const unsigned char* t = nullptr;
            std::size_t n = 0;
            for (std::size_t after : {std::size_t{64}, std::size_t{0}})
                if (!t) t = file.Fetch(offset - lead, n = static_cast<std::size_t>(lead + ss + after));
            const long long end = t ? pdfend::Scan(t, n, static_cast<std::size_t>(lead), static_cast<std::size_t>(lead + ss),
                                                    static_cast<long long>(offset - lead), lastEnd)
                                    : -1;
            if (end > 0) {
                info.m_ullFileSize = static_cast<unsigned long long>(end);
                return 1;
            }
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
    if (size == 0) size = lastEnd > 0 ? static_cast<unsigned long long>(lastEnd) : offset;
    info.m_ullFileSize = lastEnd > 0 && size == static_cast<unsigned long long>(lastEnd) ? size : (size + ss - 1) / ss * ss;
    return 1;
}
