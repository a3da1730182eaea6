#include "engine/carver/analysers/DxfAnalyser.h"

#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace BruteForce {

namespace {

constexpr std::string_view kSectionCrLf = "  0\r\nSECTION\r\n  ";
constexpr std::string_view kSectionLf = "  0\nSECTION\n  ";
constexpr std::string_view kEofCrLf = "  0\r\nEOF\r\n";
constexpr std::string_view kEofLf = "  0\nEOF\n";

bool Begins(bytes::Bytes b, std::string_view text) {
    return b.size() >= text.size() && std::memcmp(b.data(), text.data(), text.size()) == 0;
}

} // namespace

int CDXFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    return AnalyseBufferEx(sector, info, 512, 0, 0, 0);
}

int CDXFAnalyser::AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long,
                                  long long, long long) {
    if (!sector || sectorBytes < 16) return 0;
    const bytes::Bytes data = info.WindowAt(sector).At(0, static_cast<std::size_t>(std::min(sectorBytes, 512LL)));
    if (data.empty()) return 0;
    if (Begins(data, kSectionCrLf)) {
        m_bLineFeeds = false;
    } else if (Begins(data, "999\n") || Begins(data, "999\r\n")) {
        // A comment first: the section must follow within the text of this sector.
        const std::string_view text(reinterpret_cast<const char*>(data.data()),
                                    std::find(data.begin(), data.end(), 0) - data.begin());
        if (text.find(kSectionLf) == std::string_view::npos && text.find(kSectionCrLf) == std::string_view::npos)
            return 0;
        m_bLineFeeds = data[3] == '\n';
    } else {
        return 0;
    }
    info.m_eRawFileType = kDxfType;
    return 1;
}

CRawFileInfo* CDXFAnalyser::CreateRawFileInfo() { return new CDXFRawFileInfo(m_bLineFeeds); }

int CDXFRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                 SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const std::string_view eof = m_bLineFeeds ? kEofLf : kEofCrLf;
    const std::size_t n = static_cast<std::size_t>(sectorBytes);
    // The last marker ending in this sector, one cut by the sector's start included.
    const long long back = sectorNumber > m_llStartSector ? static_cast<long long>(eof.size()) - 1 : 0;
    const bytes::Bytes text = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, -back, n + back);
    const bytes::Bytes sectorText = text.empty() ? bytes::Bytes(sector, n) : text;
    const std::string_view view(reinterpret_cast<const char*>(sectorText.data()), sectorText.size());
    const std::size_t hit = view.rfind(eof);
    if (hit != std::string_view::npos) {
        const long long end = static_cast<long long>(hit + eof.size()) - (text.empty() ? 0 : back);
        m_ullFileSize = std::min(m_ullGrown + static_cast<unsigned long long>(end), kCap);
        char name[64];
        std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
        SetRawFileName(name);
        return 1;
    }
    m_ullGrown += n;
    if (m_ullGrown >= kCap) {
        m_ullFileSize = kCap;
        return 1;
    }
    return 2;
}

} // namespace BruteForce
