#pragma once
// Files that are chains of length-prefixed units: standard MIDI files
// (chunks), Ogg streams (pages) and Flash video (tags). A streaming record
// follows the chain as the blocks pass; one given up goes to the classic
// partner, which walks the same chain on the device.
#include "engine/carver/analysers/PartneredRecord.h"

// ---- MIDI -------------------------------------------------------------------

class FileMIDAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMidType = 38;
    static constexpr unsigned long long kDeviceLimit = 0xD000000;

    FileMIDAnalyser() { m_nType = kMidType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace RawSpeed {

class MIDRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 10000000;

    explicit MIDRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileMIDAnalyser::kMidType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    long long m_llNextChunk = 14;
    long long m_llLimit = kLimit;
    // The tracks the header chunk counts (0 until read) and those walked. A
    // track past the counted ones (a header counting too few) must close
    // with its end-of-track event, so random bytes after the last track that
    // begin with "MTrk" are not one more: while one is unproven, the file
    // ends at `m_llProven` unless it closes.
    unsigned m_nTrackCount = 0;
    unsigned m_nTracks = 0;
    long long m_llProven = -1;
};

class MIDAnalyser : public BruteForce::CPartneredAnalyser<MIDRawFileInfo, FileMIDAnalyser> {};

} // namespace RawSpeed

// ---- Ogg --------------------------------------------------------------------

class CFileOggAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kOggType = 82;
    static constexpr unsigned long long kDeviceLimit = 0x82000000;

    CFileOggAnalyser() { m_nType = kOggType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Orvex {

class OGGRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr unsigned long long kLimit = 0xC800000;

    explicit OGGRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = CFileOggAnalyser::kOggType;
    }
    ~OGGRawFileInfo() override { ReleaseGuard(); }
    OGGRawFileInfo(const OGGRawFileInfo&) = delete;
    OGGRawFileInfo& operator=(const OGGRawFileInfo&) = delete;
    void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    // The start sector of the stream being followed, -1 when none: its
    // pages that start a sector are not taken for new files.
    static long long m_i64OggStartSec;
    static void ResetGuard() { m_i64OggStartSec = -1; }

    unsigned long long m_ullWalk = 0;
    unsigned long long m_ullLimit = kLimit;

private:
    void ReleaseGuard();
    int Finish(unsigned long long size, long long sectorNumber);
};

class OGGAnalyser : public BruteForce::CPartneredAnalyser<OGGRawFileInfo, CFileOggAnalyser> {
public:
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

} // namespace Orvex

// ---- FLV --------------------------------------------------------------------

class FileFLVAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kFlvType = 90;
    static constexpr unsigned long long kDeviceLimit = 0x82000000;

    FileFLVAnalyser() { m_nType = kFlvType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Orvex {

// One step of an FLV tag walk: from the previous-tag-size field at the walk
// position, the tag's data size and whether the walk stops there.
struct FlvTagWalk {
    long long expected = 0; // previous-tag size the next field must carry
    long long lastSize = 1; // the last tag's data size
    // Moves pos past the tag at pos (15 bytes from the previous-tag-size
    // field: the size and the next tag's header); true when the walk ends
    // there.
    bool Step(bytes::Bytes field, unsigned long long& pos);
};

class FLVRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr unsigned long long kLimit = 0xC800000;

    explicit FLVRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileFLVAnalyser::kFlvType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) override;

    unsigned long long m_ullWalk = 0;
    FlvTagWalk m_walk;
    unsigned long long m_ullLimit = kLimit;
};

class FLVAnalyser : public BruteForce::CPartneredAnalyser<FLVRawFileInfo, FileFLVAnalyser> {};

} // namespace Orvex
