#include "engine/carver/analysers/EpsAnalyser.h"

#include <algorithm>
#include <cstring>

namespace BruteForce {

int CEPSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    m_bText = false;
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes head = window.At(0, 28);
    if (head.empty()) return 0;
    if (std::memcmp(head.data(), "%!PS", 4) == 0) {
        if (std::memcmp(head.data(), "%!PS-Adobe-", 11) != 0) return 0;
        m_bText = true;
        info.m_eRawFileType = kEpsType;
        return 1;
    }
    static constexpr unsigned char kBinary[4] = {0xC5, 0xD0, 0xD3, 0xC6};
    if (std::memcmp(head.data(), kBinary, 4) != 0) return 0;
    // PostScript, metafile and TIFF sections: offset + length each, in 64 bits.
    std::uint64_t size = 0;
    for (std::size_t at = 4; at < 28; at += 8)
        size = std::max(size, std::uint64_t{bytes::Le32(head, at)} + bytes::Le32(head, at + 4));
    // A header pointing past the device's end is not a file that can be carved.
    if (size == 0 || size > window.BytesToDeviceEnd()) return 0;
    info.m_ullFileSize = size;
    info.m_eRawFileType = kEpsType;
    return 1;
}

int CEpsTextRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                     SearchContext& context) {
    if (sector && sectorBytes > 0 && sectorNumber >= m_llStartSector) {
        const unsigned long long offset =
            static_cast<unsigned long long>(sectorNumber - m_llStartSector) * static_cast<unsigned>(sectorBytes);
        if ((NextStartsAt(*this, context, sectorNumber) || offset >= m_ullMaxSize) && m_Close.End()) {
            m_ullFileSize = std::min(m_Close.End(), m_ullMaxSize);
            return 1;
        }
        m_Close.Feed(sector, static_cast<std::size_t>(sectorBytes), offset);
    }
    return CZeroEndRawFileInfo::CalcRawSize(sector, sectorBytes, sectorNumber, context);
}

CRawFileInfo* CEPSAnalyser::CreateRawFileInfo() {
    if (!m_bText) return new CRawFileInfo();
    m_bText = false;
    auto* record = new CEpsTextRawFileInfo();
    record->m_eRawFileType = kEpsType;
    record->m_ullMaxSize = kTextCap;
    record->m_nUnit = 1;
    return record;
}

} // namespace BruteForce
