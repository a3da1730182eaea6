#include "engine/carver/analysers/WpgAnalyser.h"

#include <cstdio>
#include <cstring>

namespace RawSpeed {

int WpgAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 4);
    if (head.empty() || std::memcmp(head.data(), "wpg\0", 4) != 0) return 0;
    info.m_eRawFileType = kWpgType;
    return 1;
}

int WPGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > kReach) return 1;
    if (context.m_nTrailingZero < 16) return 2;
    int data = sectorBytes;
    while (data > 0 && sector[data - 1] == 0) --data;
    m_ullFileSize = static_cast<unsigned long long>(sectorStart + data);
    char name[64];
    std::snprintf(name, sizeof name, "%lld-%lld.", m_llStartSector, sectorNumber);
    SetRawFileName(name);
    return 1;
}

} // namespace RawSpeed
