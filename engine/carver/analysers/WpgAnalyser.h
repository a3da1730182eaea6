#pragma once
// WordPerfect graphics: a streaming record ends the file where a sector's
// zero tail begins; it has no classic partner.
#include "engine/carver/RawFileInfo.h"

namespace RawSpeed {

class WPGRawFileInfo : public CRawFileInfo {
public:
    static constexpr long long kReach = 5LL * 100000000;

    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(unsigned char*, long long) override {
        m_ullFileSize = 0;
        m_pAnalyser = nullptr;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
};

class WpgAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kWpgType = 69;

    WpgAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new WPGRawFileInfo(); }
};

} // namespace RawSpeed
