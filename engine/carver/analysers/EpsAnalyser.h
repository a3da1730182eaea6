#pragma once
// Encapsulated PostScript: text EPS ("%!PS-Adobe-") followed to its zero tail,
// binary EPS (C5 D0 D3 C6) sized from its section table.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/analysers/StreamTail.h"

namespace BruteForce {

// Text EPS: to its zero tail, or, when another file begins first (or at the
// cap), just past its last "%%EOF" line.
class CEpsTextRawFileInfo : public CZeroEndRawFileInfo {
public:
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    ClosingMark m_Close{"%%EOF", false};
};

class CEPSAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kEpsType = 27;
    static constexpr unsigned long long kTextCap = 0x514000000ull;

    CEPSAnalyser() { m_nType = 0xFFFFFFFF; }

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // A zero-tail record for the text EPS just accepted, else a plain record.
    CRawFileInfo* CreateRawFileInfo() override;

private:
    // Set by each hit (text or not) and used by the next CreateRawFileInfo only.
    bool m_bText = false;
};

} // namespace BruteForce
