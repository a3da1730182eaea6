#pragma once
// PNG: a streaming record walks the chunks to IEND across blocks; a record
// that leaves the carver unfinished is sized from the device by the owned
// classic analyser.
#include "engine/carver/RawFileInfo.h"

#include <memory>

class FilePNGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned long long kWalkLimit = 0x1400000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PNGRawFileInfo : public CRawFileInfo {
public:
    static constexpr long long kLimit = 100000000;

    explicit PNGRawFileInfo(IRawFileAnalyser* classic);
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(unsigned char*, long long) override;
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 20; // file offset of the next chunk header once IHDR's length is added
    long long m_llLimit = kLimit;
    unsigned char m_bFirst = 1;

private:
    IRawFileAnalyser* m_pClassic;
};

class PNGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kPngType = 51;

    PNGAnalyser();
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    CRawFileInfo* CreateRawFileInfo() override;

private:
    std::unique_ptr<FilePNGAnalyser> m_pClassic;
};

} // namespace RawSpeed
