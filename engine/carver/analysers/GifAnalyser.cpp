#include "engine/carver/analysers/GifAnalyser.h"

#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>

namespace BruteForce {

int CGifAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 6);
    if (head.empty() || std::memcmp(head.data(), "GIF8", 4) != 0) return 0;
    if (std::memcmp(head.data() + 4, "7a", 2) != 0 && std::memcmp(head.data() + 4, "9a", 2) != 0) return 0;
    info.m_eRawFileType = kGifType;
    return 1;
}

int CGifFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                              SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    // One byte at p (from this sector's start), if read yet.
    auto at = [&](long long p, int& value) {
        const bytes::Bytes b = HeldBytes(context, sectorNumber, sectorBytes, p, 1);
        if (b.empty()) return false;
        value = b[0];
        return true;
    };
    if (m_bFirst) {
        int flags = 0;
        if (!at(10 - (sectorNumber - m_llStartSector) * sectorBytes, flags)) return 2;
        m_bFirst = 0;
        m_nPosition = 13 + ((flags & 0x80) ? 3 << ((flags & 7) + 1) : 0);
    }
    m_ullWalked += static_cast<unsigned>(sectorBytes);
    bool ended = false;
    long long p = m_nPosition;
    while (p < sectorBytes && !ended) {
        int b = 0, x = 0;
        if (!at(p, b)) break;
        if (b == 0x21) {
            if (!at(p + 2, x)) break;
            p += 3 + x;
        } else if (b == 0x2C) {
            if (!at(p + 9, x)) break;
            p += 11 + ((x & 0x80) ? 3 << ((x & 7) + 1) : 0);
        } else if (b == 0x3B) {
            p += 1;
            ended = true;
        } else {
            p += b + 1;
        }
    }
    // Every step is under 800 bytes, so the carried position stays small.
    m_nPosition = static_cast<int>(p - sectorBytes);
    if (m_ullWalked >= kCap) {
        m_ullFileSize = kCap;
        return 1;
    }
    if (!ended) return 2;
    // Just past the trailer, not the rest of its sector.
    m_ullFileSize = m_ullWalked - static_cast<unsigned>(sectorBytes) + static_cast<unsigned long long>(p);
    return 1;
}

} // namespace BruteForce
