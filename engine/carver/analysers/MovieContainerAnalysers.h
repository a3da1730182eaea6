#pragma once
// Other movie containers and the projects kept beside them: Matroska and
// Flash movies are sized from their first sector; MXF (KLV packets), Magic
// Lantern raw video (MLV blocks) and After Effects projects (a RIFX chunk and
// an optional XMP packet) are followed across blocks.
#include "engine/carver/RawFileInfo.h"

class FileMKVAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMkvType = 96;

    FileMKVAnalyser() { m_nType = kMkvType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
};

class FileSWFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kSwfType = 62;

    FileSWFAnalyser() { m_nType = kSwfType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
};

namespace RawSpeed {

// A streaming record named by the sectors it spans; not sized after it
// leaves the carver.
class CSpanRawFileInfo : public CRawFileInfo {
public:
    bool WhetherImplementGuess() override { return true; }

protected:
    int Settle(unsigned long long size, long long sectorNumber);
};

class MxfRawFileInfo : public CSpanRawFileInfo {
public:
    static constexpr long long kLimit = 2000000000;

    MxfRawFileInfo() { m_eRawFileType = 142; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;

    long long m_llWalk = 0; // file offset of the next KLV packet
};

class MxfAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMxfType = 142;

    MxfAnalyser() { m_nType = kMxfType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new MxfRawFileInfo(); }

    // The length of the KLV packet whose key starts `packet` (16-byte key,
    // then a short or long BER length), and the bytes of key and length.
    // False when the length is not one we can read.
    static bool PacketLength(bytes::Bytes packet, unsigned long long& length, unsigned& header);
};

class MLvRawFileInfo : public CSpanRawFileInfo {
public:
    static constexpr long long kLimit = 0x7D000000;

    MLvRawFileInfo() { m_eRawFileType = 146; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;

    long long m_llWalk = 0;
    long long m_llLastBlock = -1; // the last block walked
    long long m_llEndCandidate = 0;
};

class MLvAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMlvType = 146;

    MLvAnalyser() { m_nType = kMlvType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new MLvRawFileInfo(); }
};

class AEPRawFileInfo : public CSpanRawFileInfo {
public:
    static constexpr long long kLimit = 100000000;

    AEPRawFileInfo() { m_eRawFileType = 144; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;

    long long m_llChunkEnd = -1;
    long long m_llXmpFrom = -1; // after this offset an XMP packet runs to the first zero tail
};

class AEPAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kAepType = 144;

    AEPAnalyser() { m_nType = kAepType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new AEPRawFileInfo(); }
};

} // namespace RawSpeed
