#pragma once
// Photoshop: a streaming record skips the colour, resource and layer sections
// and ends the file where the image data runs into zero bytes; a record that
// leaves the carver unfinished is sized from the device by the owned classic
// analyser, which reads the image data's own size.
#include "engine/carver/analysers/PartneredRecord.h"

class FilePSDAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kPsdType = 54;
    static constexpr unsigned long long kRowTableEnd = 0xD000000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PSDRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 200000000;

    explicit PSDRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 30;
    long long m_llLimit = kLimit;
    std::uint32_t m_nResourcesLength = 0;
    std::uint32_t m_nLayersLength = 0;
    unsigned char m_bColourPending = 1;
    unsigned char m_bLayersPending = 1;
    // Bytes of uncompressed image data, 0 when compressed or not known.
    unsigned long long m_ullRawBytes = 0;
};

class PSDAnalyser : public BruteForce::CPartneredAnalyser<PSDRawFileInfo, FilePSDAnalyser> {
public:
    static constexpr unsigned kPsdType = FilePSDAnalyser::kPsdType;
};

} // namespace RawSpeed
