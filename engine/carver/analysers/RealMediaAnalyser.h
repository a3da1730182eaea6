#pragma once
// RealMedia: RM files are walked chunk by chunk (".RMF", "PROP", "MDPR",
// "CONT", "DATA", "INDX"); RMVB files (a video stream) end at their final
// index marker, searched in sectors that end in zeros. A record that leaves
// the carver unfinished is sized by the classic partner on the device.
#include "engine/carver/analysers/PartneredRecord.h"

class FileRM_RMVBAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kRmType = 94;
    static constexpr unsigned kRmvbType = 95;
    static constexpr unsigned long long kRmvbLimit = 0x104000000;

    FileRM_RMVBAnalyser() { m_nType = kRmType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

    // True when the header's first 1024 bytes name a video stream.
    static bool IsRmvb(bytes::Bytes head);
    // The position of the 20-byte final index marker in the bytes, or -1.
    static long long FindEndMarker(bytes::Bytes b);
};

namespace Orvex {

class RM_RMVBRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0xC800000;

    explicit RM_RMVBRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;

    long long m_llWalk = 0;
    unsigned char m_bRM = 1;
    // A video file (RMVB) is walked by its chunks too; only when the walk
    // passes no data chunk does its end-marker search take over.
    bool m_bVideo = false;
    bool m_bSawData = false;
    long long m_llCovered = 0;
    long long m_llLimit = kLimit;

private:
    bool bContinue(int sectorBytes, long long sectorNumber, const SearchContext& context);
    bool GetRMFileSize(int sectorBytes, long long sectorNumber, const SearchContext& context);
    bool GetRMVBFileSize(int sectorBytes, long long sectorNumber, const SearchContext& context);
};

class RM_RMVBAnalyser : public BruteForce::CPartneredAnalyser<RM_RMVBRawFileInfo, FileRM_RMVBAnalyser> {
public:
    RM_RMVBAnalyser() { m_nType = FileRM_RMVBAnalyser::kRmType; }
};

} // namespace Orvex
