#include "engine/carver/analysers/InddAnalyser.h"

#include "engine/carver/analysers/PictureWindow.h"

#include <cstdio>
#include <cstring>

namespace RawSpeed {

namespace {

constexpr unsigned char kDocument[24] = {0x06, 0x06, 0xED, 0xF5, 0xD8, 0x1D, 0x46, 0xE5, 0xBD, 0x31, 0xEF, 0xE7,
                                         0xFE, 0x74, 0xB7, 0x1D, 'D',  'O',  'C',  'U',  'M',  'E',  'N',  'T'};
constexpr unsigned char kObject[16] = {0xDE, 0x39, 0x39, 0x79, 0x51, 0x88, 0x4B, 0x6C,
                                       0x8E, 0x63, 0xEE, 0xF8, 0xAE, 0xE0, 0xDD, 0x38};

} // namespace

int InddAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 24);
    if (head.empty() || std::memcmp(head.data(), kDocument, 24) != 0) return 0;
    info.m_eRawFileType = kInddType;
    return 1;
}

int InddRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                 SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > kLimit) return 1;
    if (m_bFirst) {
        const bytes::Bytes pages = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, 280 - sectorStart, 4);
        if (pages.empty()) return 2;
        m_bFirst = 0;
        m_llWalk = kPage * bytes::Le32(pages, 0);
    }
    while (m_llWalk < sectorStart + sectorBytes) {
        // A header (and its length) not read yet waits for the next sector
        // rather than being read again and again.
        const bytes::Bytes header = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, m_llWalk - sectorStart, 28);
        if (header.empty()) return 2;
        if (std::memcmp(header.data(), kObject, 16) != 0) {
            m_ullFileSize = static_cast<unsigned long long>(m_llWalk / kPage * kPage + kPage);
            char name[64];
            std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
            SetRawFileName(name);
            return 1;
        }
        m_llWalk += std::int64_t{bytes::Le32(header, 24)} + 64;
        if (m_llWalk > kLimit) return 1;
    }
    return 2;
}

} // namespace RawSpeed
