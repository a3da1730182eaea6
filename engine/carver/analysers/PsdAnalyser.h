#pragma once
// Photoshop: a streaming record skips the colour, resource and layer sections
// and ends the file where the image data runs into zero bytes; a record that
// leaves the carver unfinished is sized from the device by the owned classic
// analyser, which reads the image data's own size.
#include "engine/carver/RawFileInfo.h"

#include <memory>

class FilePSDAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned long long kRowTableEnd = 0xD000000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class PSDRawFileInfo : public CRawFileInfo {
public:
    static constexpr long long kLimit = 200000000;

    explicit PSDRawFileInfo(IRawFileAnalyser* classic);
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(unsigned char*, long long) override;
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llWalk = 30;
    long long m_llLimit = kLimit;
    std::uint32_t m_nResourcesLength = 0;
    std::uint32_t m_nLayersLength = 0;
    unsigned char m_bColourPending = 1;
    unsigned char m_bLayersPending = 1;
    // Bytes of uncompressed image data, 0 when compressed or not known.
    unsigned long long m_ullRawBytes = 0;

private:
    // Ends the file at size, naming it by its start and this sector.
    int Settle(long long size, long long sectorNumber);

    IRawFileAnalyser* m_pClassic;
};

class PSDAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kPsdType = 54;

    PSDAnalyser();
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    CRawFileInfo* CreateRawFileInfo() override;

private:
    std::unique_ptr<FilePSDAnalyser> m_pClassic;
};

} // namespace RawSpeed
