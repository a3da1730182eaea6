#pragma once
// MPEG transport streams (188-byte packets, and camera recordings with
// 192-byte packets; both filed as M2TS) and MPEG program streams (MPG). Both
// are followed packet by packet across blocks until the chain breaks; a
// program stream that leaves the carver unfinished is walked again on the
// device by its classic partner.
#include "engine/carver/analysers/PartneredRecord.h"

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace BruteForce {

class CM2TSAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kM2tsType = 129;
    static constexpr unsigned long long kSizeCap = 10000000000ull;
    static constexpr unsigned long long kMinSize = 20480;

    // Whether a stream of this carve is being followed; only one is at a
    // time. Shared by the analyser and the record following the stream, so
    // the record can let go whenever it leaves the carver, and a new carve
    // (whose analysers are made afresh) starts free.
    struct Following {
        bool g_s_bNewM2TSFile = false;
    };

    class CM2TSFileInfo : public CRawFileInfo {
    public:
        CM2TSFileInfo(std::shared_ptr<Following> following, int packetBytes);
        ~CM2TSFileInfo() override { LetGo(); }
        CM2TSFileInfo(const CM2TSFileInfo&) = delete;
        CM2TSFileInfo& operator=(const CM2TSFileInfo&) = delete;
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(unsigned char*, long long) override { LetGo(); }
        int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                        SearchContext& context) override;

        int m_nHeaderOffset;    // packet length, 188 or 192
        long long m_llNextSync; // file offset of the next packet's sync byte
        int m_nPackets = 0;     // good packets since the size last grew (0..31)

    private:
        static constexpr unsigned kPids = 8192;
        static constexpr unsigned kNullPid = 0x1FFF;
        // The stream's last packets are held back this many deep before
        // their counters are learned: at its end each is checked in turn.
        static constexpr std::size_t kUnproven = 4;
        struct Header {
            std::array<unsigned char, 4> bytes{}; // from the sync byte on
            bool seen = false;                    // false when it was out of the window
        };
        // Ends the stream: short ones are not carved.
        int End();
        void LetGo();
        // Takes in the header of the packet before the next sync byte.
        void Hold(bytes::Bytes header);
        void Learn(const Header& h);
        // Whether a packet carries one of the stream's PIDs with a counter
        // that follows that PID's last one.
        bool ContinuesStream(const Header& h) const;
        // At the stream's end: how many of its last packets do not carry it on.
        unsigned long long Unproven();
        long long m_llFirstSync;                 // file offset of the first packet's sync byte
        std::vector<signed char> m_lastCounter; // per PID: last continuity counter, -1 unseen
        bool m_bLearned = false;
        std::deque<Header> m_unproven;
        std::shared_ptr<Following> m_following;
        bool m_bHolder = true;
    };

    CM2TSAnalyser() : m_following(std::make_shared<Following>()) { m_nType = kM2tsType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 208 || sector[4] == 0x47 || sector[0] == 0x47;
    }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    // Only the carver makes records: the stream counts as followed from here.
    CRawFileInfo* CreateRawFileInfo() override;

    int m_nHeaderOffset = 188;

private:
    std::shared_ptr<Following> m_following;
};

} // namespace BruteForce

// The walk through a program stream's packs and packets, shared by the
// streaming record and its classic partner. Offsets are from the stream's
// first byte.
struct MpegPsWalk {
    // EndCode: the program end code closed the stream, just before the walk offset.
    enum class Step { Go, Wait, End, GiveUp, Zeros, EndCode };
    // n bytes at a file offset, or empty when they are not at hand.
    using Reader = std::function<bytes::Bytes(long long offset, std::size_t n)>;

    static constexpr long long kZeroRunLimit = 100;

    // Takes the pack-header length from the first pack's bytes 4..7.
    void Begin(bytes::Bytes head);
    // One step from the walk offset.
    Step Next(const Reader& read);
    // Whether the pack whose bytes begin with `pack` (its header and the
    // start of the packet after it) begins a stream of its own rather than
    // carrying on this one: another kind of pack header (MPEG-1 against
    // MPEG-2), or a system header of its own with a clock that starts again
    // below this stream's last pack.
    bool BeginsAnew(bytes::Bytes pack) const;

    long long m_llWalk = 0;
    long long m_llZeroRun = 0;
    long long m_llMisses = 0;
    std::uint16_t m_nLastLength = 0;
    long long m_llHeaderLength = 12;
    bool m_bSteppedBack = false; // the last step was the one step back after a miss
    unsigned m_nKind = 0;        // of the first pack header: 1 MPEG-1, 2 MPEG-2, 0 none
    long long m_llLastClock = -1; // system clock of the last pack walked (-1: none yet)
};

class FileMPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMpgType = 109;
    static constexpr unsigned long long kDeviceLimit = 0x82000000;

    FileMPGAnalyser() { m_nType = kMpgType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

namespace Orvex {

class MPGRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kSizeLimit = 0xC800000;

    explicit MPGRawFileInfo(IRawFileAnalyser* classic);
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;
    void initMPGFileInfoMemValue();
    // The pack the walk reads next: a start found there is this stream's
    // next pack, not a stream of its own, unless that pack begins anew.
    bool RecordAt(unsigned long long offset) const override {
        return offset && static_cast<long long>(offset) == m_Walk.m_llWalk;
    }
    Part PartAt(unsigned long long offset, bytes::Bytes head) const override {
        return {RecordAt(offset) && !m_Walk.BeginsAnew(head), 0, false};
    }

    MpegPsWalk m_Walk;
    long long m_llCovered = 0; // bytes to the end of the current sector
    long long m_llSizeLimit = kSizeLimit;

private:
    // True: go on with the next sector.
    bool bContinue(int sectorBytes, long long sectorNumber, const SearchContext& context);
};

// Every pack of a stream starts with the code a stream starts with, and the
// first packs carry the same clock bytes: a start less than 21 sectors after
// the last accepted one is taken as part of that stream.
class MPGAnalyser : public BruteForce::CPartneredAnalyser<MPGRawFileInfo, FileMPGAnalyser>,
                    public ISpecialRawFileAnalyser {
public:
    static constexpr unsigned kMpgType = FileMPGAnalyser::kMpgType;
    static constexpr long long kMinDistance = 21;

    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes,
                        long long sectorNumber, long long windowStart, long long windowEnd) override;

    long long m_llLastStart = -1;
};

} // namespace Orvex
