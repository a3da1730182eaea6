#pragma once
// Monkey's Audio files, AAC streams in ADTS framing and Advanced Systems
// Format files, each ended while the scan streams the device. There is no
// classic partner: a record that ends without a size is dropped.
#include "engine/carver/RawFileInfo.h"

#include <array>

namespace BruteForce {

// ---- APE --------------------------------------------------------------------

class CAPERawFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned kApeType = 81;
    static constexpr unsigned long long kLimit = 0x82000000;

    CAPERawFileInfo() { m_eRawFileType = kApeType; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    unsigned long long m_ullCovered = 0;
    unsigned long long m_ullHeaderLeft = 0; // old format: seek-table bytes still to scan
    unsigned long long m_ullLargestSeek = 0;
    unsigned short m_nVersion = 0;
    unsigned m_nBlockAlign = 4;

private:
    int Step(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx);
    int ReadNewHeader(int sectorBytes, long long sectorNumber, const SearchContext& ctx);
    int ReadOldHeader(const unsigned char* sector, int sectorBytes);
    void ScanSeekTable(const unsigned char* from, std::size_t bytes);
    int Tail(const unsigned char* sector, int sectorBytes, const SearchContext& ctx);
    int Capped(int answer);
    bool m_bStarted = false;
    unsigned long long m_ullTarget = 0; // the size the walk works with
};

class CAPEAnalyser : public IRawFileAnalyser {
public:
    CAPEAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new CAPERawFileInfo(); }
};

// ---- ADTS -------------------------------------------------------------------

class CADTSRawFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned kM4aType = 45;

    explicit CADTSRawFileInfo(bool overflow) : m_bOverflow(overflow) { m_eRawFileType = kM4aType; }
    bool WhetherImplementGuess() override { return true; }
    // While the record is followed its size is the walk so far.
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    unsigned long long m_ullCovered = 0;
    unsigned long long m_ullWalk = 0;
    unsigned long long m_ullFrames = 0;
    // The MPEG version, profile and sample rate of the first frame, which
    // every frame of the stream keeps (0 before it).
    unsigned m_nStream = 0;
    // The stream being followed: its start sector and the sector its frames
    // have reached (-1: none), so no second file starts inside it.
    static long long s_llFollowStart, s_llFollowReach;
    static void ResetGuard() { s_llFollowStart = s_llFollowReach = -1; }
    // The start was accepted on fewer than five frames (the window ended first).
    bool m_bOverflow = false;
};

class CADTSAnalyser : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    CADTSAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long sectorNumber,
                        long long windowStart, long long windowEnd) override;
    // The record of the start just accepted, with that start's overflow.
    CRawFileInfo* CreateRawFileInfo() override;

    // The frame length of an ADTS header (sync, layer 0, length not 0), else 0.
    static unsigned FrameLength(bytes::Bytes header);

private:
    bool m_bLastOverflow = false;
};

// ---- ASF --------------------------------------------------------------------

using Guid = std::array<unsigned char, 16>;

class CAsfRawFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned kAsf = 6, kWma = 7, kWmv = 8;
    static constexpr unsigned long long kLimit = 0x1964000000;

    CAsfRawFileInfo() { m_eRawFileType = kAsf; }
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    unsigned long long m_ullCovered = 0;
    unsigned long long m_ullTop = 0;
    unsigned long long m_ullHeaderEnd = 0;
    unsigned long long m_ullHeaderWalk = 0;
    unsigned m_nAudio = 0, m_nVideo = 0, m_nOther = 0;

    static const Guid kHeaderObject;
    static const Guid kStreamProperties, kAudioMedia, kVideoMedia;
    static const Guid kTopLevel[5];

private:
    int End(unsigned long long size);
    bool m_bStarted = false;
};

class CAsfAnalyser : public IRawFileAnalyser {
public:
    CAsfAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new CAsfRawFileInfo(); }
};

} // namespace BruteForce
