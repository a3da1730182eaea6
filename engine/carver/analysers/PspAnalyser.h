#pragma once
// Paint Shop Pro: blocks marked 7E 42 4B 00 follow the 36-byte header; the
// file ends where a block's marker is missing. A streaming record follows the
// blocks; the classic partner walks them on the device.
#include "engine/carver/analysers/PartneredRecord.h"

class FilePSPAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kPspType = 55;
    static constexpr unsigned long long kDeviceWalkLimit = 0xD000000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PSPRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 20000000;

    explicit PSPRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 36;
    long long m_llLimit = kLimit;
    unsigned char m_bFirst = 1;
};

class PSPAnalyser : public BruteForce::CPartneredAnalyser<PSPRawFileInfo, FilePSPAnalyser> {
public:
    static constexpr unsigned kPspType = FilePSPAnalyser::kPspType;
};

} // namespace RawSpeed
