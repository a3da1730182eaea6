#include "engine/carver/analysers/TiffAnalyzer.h"

#include <cstring>

namespace BruteForce {

int TiffAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 16);
    if (head.empty()) return 0;
    const auto is = [&](const char* text, std::size_t n) { return std::memcmp(head.data(), text, n) == 0; };
    const bool ok = is("FUJIFILMCCD-RAW ", 16) || is("MM\0*", 4) || is("MMOR", 4) || is("II*\0", 4) ||
                    is("IIU\0", 4) || is("IIRO", 4) || is("IIRS", 4);
    if (!ok) return 0;
    info.m_eRawFileType = FileTIFAnalyser::kTifType;
    return 1;
}

} // namespace BruteForce
