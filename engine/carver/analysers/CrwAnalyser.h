#pragma once
// Canon CRW raws: the file ends a fixed distance after one of three end signs
// of its last directory. A streaming record looks for them once the file is
// past its least size, in sectors that end in zero bytes; the classic partner
// searches the device the same way.
#include "engine/carver/analysers/PartneredRecord.h"

class FileCRWAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kCrwType = 18;
    static constexpr unsigned long long kDefaultSize = 52428800;
    static constexpr unsigned long long kDeviceLimit = 0x3200000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    // The device search; the default size (cut at the device's end) when no
    // sign is found.
    int GetRawFileSizeEX(CRawFileInfo& record, IStorageDevice* device);
};

namespace Orvex {

class CRWRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0x6400000;
    static constexpr unsigned long long kLeast = 0x32000;

    explicit CRWRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llEnd = 0;
    long long m_llLimit = kLimit;

private:
    // False once the end is known.
    bool bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context);
};

class CRWAnalyser : public BruteForce::CPartneredAnalyser<CRWRawFileInfo, FileCRWAnalyser> {
public:
    static constexpr unsigned kCrwType = FileCRWAnalyser::kCrwType;
};

} // namespace Orvex
