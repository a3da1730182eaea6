#pragma once
// GIF: a streaming record walks the blocks to the trailer, counting whole
// sectors; it has no classic partner, so a record evicted unfinished is lost.
#include "engine/carver/RawFileInfo.h"

namespace BruteForce {

class CGifFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned long long kCap = 0xD000000;

    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    int m_nPosition = 0; // next block, from the current sector's start
    unsigned char m_bFirst = 1;

private:
    // Sectors walked so far; becomes the size only when the file ends.
    unsigned long long m_ullWalked = 0;
};

class CGifAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kGifType = 30;

    CGifAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new CGifFileInfo(); }
};

} // namespace BruteForce
