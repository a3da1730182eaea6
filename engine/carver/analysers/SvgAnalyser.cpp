#include "engine/carver/analysers/SvgAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view kXmlDeclaration = "<?xml version=\"";
constexpr unsigned char kBinary[4] = {0xCD, 0x01, 0x00, 0x00};

bool SameLetters(unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); }

// Whether `text` stands at `at` in b (letters in any case).
bool TextAt(bytes::Bytes b, std::size_t at, std::string_view text, bool anyCase = true) {
    if (!bytes::Has(b, at, text.size())) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (anyCase ? !SameLetters(b[at + i], c) : b[at + i] != c) return false;
    }
    return true;
}

// Where text occurs in b (exact bytes), or npos.
std::size_t Find(bytes::Bytes b, std::string_view text) {
    const auto hit = std::search(b.begin(), b.end(), text.begin(), text.end(),
                                  [](unsigned char x, char y) { return x == static_cast<unsigned char>(y); });
    return hit == b.end() ? std::string_view::npos : static_cast<std::size_t>(hit - b.begin());
}

// Where the last occurrence of text ends in b, or npos.
std::size_t AfterLast(bytes::Bytes b, std::string_view text) {
    const auto hit = std::find_end(b.begin(), b.end(), text.begin(), text.end(),
                                    [](unsigned char x, char y) { return x == static_cast<unsigned char>(y); });
    return hit == b.end() ? std::string_view::npos : static_cast<std::size_t>(hit - b.begin()) + text.size();
}

// One past the last non-zero byte of b (0 when all are zero).
std::size_t DataEnd(bytes::Bytes b) {
    std::size_t end = b.size();
    while (end > 0 && b[end - 1] == 0) --end;
    return end;
}

// GPX (130) or property list (131) by the first sector's text; 0 otherwise.
unsigned GpxOrPlist(bytes::Bytes head) {
    if (!TextAt(head, 0, "<?xml")) return TextAt(head, 0, "BCFZ") ? 130 : 0;
    if (TextAt(head, 57, "<gpx") || TextAt(head, 39, "<gpx")) return 130;
    if (TextAt(head, 39, "<!DOCTYPE plist") || TextAt(head, 40, "<!DOCTYPE plist")) return 131;
    return 0;
}

// SVG, Evernote or citation style behind an XML declaration, by the first
// `window` bytes; 0 otherwise.
unsigned XmlKind(bytes::Bytes head, std::size_t window) {
    if (!TextAt(head, 0, kXmlDeclaration, false) && !TextAt(head, 3, kXmlDeclaration, false)) return 0;
    const bytes::Bytes text = head.first(std::min(window, head.size()));
    for (std::string_view tag : {"<svg ", "<svg\n ", "<svg\r ", "<svg> ", "<svg>\n", "<svg>\r"})
        if (Find(text, tag) != std::string_view::npos) return 91;
    if (Find(text, "=\"Evernote") != std::string_view::npos) return 139;
    if (Find(text, "csl") != std::string_view::npos) return 19;
    return 0;
}

} // namespace

int FileSVGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes head = window.From(0).first(std::min<std::size_t>(window.From(0).size(), 2048));
    unsigned type = GpxOrPlist(head);
    if (!type && TextAt(head, 0, kXmlDeclaration, false) && XmlKind(head, 2048) == 91) type = kSvgType;
    if (!type) return 0;
    info.m_eRawFileType = type;
    return 1;
}

int FileSVGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const auto where = RoomOf(record, device, 2);
    if (!where) return 0;
    const unsigned long long start = where->start, room = where->room;
    const unsigned ss = where->sectorSize;
    RawFileBuffer file(device, start);
    std::vector<unsigned char> pair(2 * std::size_t{ss}, 0); // the previous sector, then this one
    unsigned long long offset = 0;
    for (; offset <= kDeviceLimit && offset < room; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) break;
        std::memmove(pair.data(), pair.data() + ss, ss);
        std::memcpy(pair.data() + ss, p, ss);
        if (p[ss - 2] != 0 || p[ss - 1] != 0) continue;
        // The first sector ending in zero bytes ends the file: just after its
        // closing tag (one cut by the sector border counts), else where its
        // data ends.
        const bytes::Bytes sector(p, ss);
        const std::size_t reach = offset == 0 ? 0 : 16; // tag bytes readable in the previous sector
        const bytes::Bytes around(pair.data() + ss - reach, ss + reach);
        std::size_t end = std::string_view::npos;
        for (std::string_view tag : {"</svg>", "</gpx>", "</plist>"}) {
            const std::size_t after = AfterLast(around, tag);
            if (after != std::string_view::npos && after > reach && (end == std::string_view::npos || after > end))
                end = after;
        }
        offset += end != std::string_view::npos ? end - reach : DataEnd(sector);
        break;
    }
    record.m_ullFileSize = std::min(offset, room);
    // The record keeps the kind its first sector gave (a track stays a track).
    if (record.m_eRawFileType == 0) record.m_eRawFileType = kSvgType;
    return record.m_ullFileSize > 0;
}

namespace Orvex {

int SVGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes head = window.From(0);
    m_bBinary = false;
    unsigned type = GpxOrPlist(head);
    if (!type) type = XmlKind(head, 512);
    if (!type && (bytes::Has(head, 0, 4) && std::memcmp(head.data(), kBinary, 4) == 0)) {
        type = kSvgType;
        m_bBinary = true;
    }
    if (!type && TextAt(head, 0, "<svg ", false)) type = kSvgType;
    if (!type) return 0;
    info.m_eRawFileType = type;
    return 1;
}

CRawFileInfo* SVGAnalyser::CreateRawFileInfo() {
    auto* record = static_cast<SVGRawFileInfo*>(CPartneredAnalyser::CreateRawFileInfo());
    record->m_bCD01 = m_bBinary;
    return record;
}

int SVGRawFileInfo::GpxAndPlistSize(const unsigned char* sector, int sectorBytes, long long sectorNumber,
                                    const SearchContext& context) {
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > m_llLimit) return Settle(static_cast<unsigned long long>(sectorStart), sectorNumber, "_");
    if (context.m_nTrailingZero < 8) return 2;
    const bytes::Bytes data(sector, DataEnd(bytes::Bytes(sector, static_cast<std::size_t>(sectorBytes))));
    std::size_t after = AfterLast(data, "</gpx>");
    if (after == std::string_view::npos) after = AfterLast(data, "</plist>");
    if (after == std::string_view::npos) after = static_cast<std::size_t>(sectorBytes);
    return Settle(static_cast<unsigned long long>(sectorStart) + after + 3, sectorNumber, "_");
}

int SVGRawFileInfo::SvgOtherVerRawSize(long long sectorNumber, int sectorBytes, const SearchContext& context) {
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart + sectorBytes < 1104) return 2;
    const bytes::Bytes field = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, 1100 - sectorStart, 4);
    if (field.empty()) return 2;
    const unsigned long long size = 1152 + std::uint64_t{bytes::Le32(field, 0)};
    if (size > static_cast<unsigned long long>(m_llLimit)) return 2;
    return Settle(size, sectorNumber, "_");
}

bool SVGRawFileInfo::bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber,
                               const SearchContext& context) {
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > m_llLimit) {
        m_llEnd = m_llLimit;
        return false;
    }
    if (sector[sectorBytes - 2] != 0 || sector[sectorBytes - 1] != 0) return true;
    const bytes::Bytes here(sector, static_cast<std::size_t>(sectorBytes));
    bool closing = Find(here, "</") != std::string_view::npos;
    if (!closing && sectorNumber > context.m_llWindowStart) {
        const bytes::Bytes around = context.m_Window.At(-sectorBytes / 2, static_cast<std::size_t>(sectorBytes / 2 + sectorBytes));
        closing = !around.empty() && Find(around, "</") != std::string_view::npos;
    }
    if (!closing) return true;
    m_llEnd = sectorStart + static_cast<long long>(DataEnd(here)) + 2;
    return false;
}

int SVGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes < 2 || sectorNumber < m_llStartSector) return 2;
    if (!m_bCD01) {
        // Before a zero tail, another file's start (or the limit) ends the
        // text at its last closing tag.
        if (sectorNumber == m_llStartSector)
            m_Close = BruteForce::ClosingMark(m_eRawFileType == SVGAnalyser::kGpxType     ? "</gpx>"
                                              : m_eRawFileType == SVGAnalyser::kPlistType ? "</plist>"
                                                                                          : "</svg>",
                                              false);
        const long long offset = (sectorNumber - m_llStartSector) * sectorBytes;
        if ((BruteForce::NextStartsAt(*this, context, sectorNumber) || offset > m_llLimit) && m_Close.End())
            return Settle(m_Close.End(), sectorNumber, "_");
        m_Close.Feed(sector, static_cast<std::size_t>(sectorBytes), static_cast<unsigned long long>(offset));
    }
    if (m_eRawFileType == SVGAnalyser::kGpxType || m_eRawFileType == SVGAnalyser::kPlistType)
        return GpxAndPlistSize(sector, sectorBytes, sectorNumber, context);
    if (m_bCD01) {
        // Past the limit the binary form is left to the classic sizer.
        if ((sectorNumber - m_llStartSector) * sectorBytes > m_llLimit) return 1;
        return SvgOtherVerRawSize(sectorNumber, sectorBytes, context);
    }
    if (bContinue(sector, sectorBytes, sectorNumber, context)) return 2;
    return Settle(static_cast<unsigned long long>(m_llEnd), sectorNumber, "_");
}

} // namespace Orvex
