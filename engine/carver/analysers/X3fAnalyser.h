#pragma once
// Sigma X3F raws: the section directory ("SECd") closes the file. A
// streaming record looks for it in sectors that end in zero bytes (or that
// end with it); the classic partner searches the device the same way.
#include "engine/carver/analysers/PartneredRecord.h"

class FileX3FAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kX3fType = 108;
    static constexpr unsigned long long kDeviceLimit = 0x6800000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Orvex {

class X3FRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0x6400000;

    explicit X3FRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {}
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llEnd = 0;
    long long m_llLimit = kLimit;

private:
    // False once the end is known (or the walk is past the limit).
    bool bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context);
};

class X3FAnalyser : public BruteForce::CPartneredAnalyser<X3FRawFileInfo, FileX3FAnalyser> {
public:
    static constexpr unsigned kX3fType = FileX3FAnalyser::kX3fType;
};

} // namespace Orvex
