#pragma once
// InDesign documents: a streaming record follows the object headers of the
// data pages; the document ends on the 4096-byte page after the last one.
#include "engine/carver/RawFileInfo.h"

namespace RawSpeed {

class InddRawFileInfo : public CRawFileInfo {
public:
    static constexpr long long kLimit = 200000000;
    static constexpr long long kPage = 4096;

    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 0;
    unsigned char m_bFirst = 1;
};

class InddAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kInddType = 127;

    InddAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 24 || (sector[0] == 0x06 && sector[1] == 0x06 && sector[2] == 0xED);
    }
    CRawFileInfo* CreateRawFileInfo() override { return new InddRawFileInfo(); }
};

} // namespace RawSpeed
