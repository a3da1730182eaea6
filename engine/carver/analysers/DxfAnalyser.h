#pragma once
// DXF drawings: text keyed by their first SECTION (CR LF form), or by a "999"
// comment before it; a streaming record grows a sector at a time to the EOF
// marker of the drawing's line ending.
#include "engine/carver/RawFileInfo.h"

#include <string_view>

namespace BruteForce {

class CDXFRawFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned long long kCap = 0xD000000;

    explicit CDXFRawFileInfo(bool lineFeeds) : m_bLineFeeds(lineFeeds) {}
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

private:
    bool m_bLineFeeds;
    // Whole sectors before the current one; the size only once the file ends.
    unsigned long long m_ullGrown = 0;
};

class CDXFAnalyser : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr unsigned kDxfType = 25;

    CDXFAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long sectorNumber,
                        long long windowStart, long long windowEnd) override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    CRawFileInfo* CreateRawFileInfo() override;

private:
    // The line ending of the last file accepted, for the record made next.
    bool m_bLineFeeds = false;
};

} // namespace BruteForce
