#pragma once
// PNG: a streaming record walks the chunks to IEND across blocks; a record
// that leaves the carver unfinished is sized from the device by the owned
// classic analyser.
#include "engine/carver/analysers/PartneredRecord.h"

class FilePNGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kPngType = 51;
    static constexpr unsigned long long kWalkLimit = 0x1400000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PNGRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 100000000;

    explicit PNGRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 20; // file offset of the next chunk header once IHDR's length is added
    long long m_llLimit = kLimit;
    unsigned char m_bFirst = 1;
};

class PNGAnalyser : public BruteForce::CPartneredAnalyser<PNGRawFileInfo, FilePNGAnalyser> {
public:
    static constexpr unsigned kPngType = FilePNGAnalyser::kPngType;
};

} // namespace RawSpeed
