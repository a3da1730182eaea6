#pragma once
// Archives: gzip members, RAR (the block format that starts "Rar!" 1A 07 00),
// LHA archives, POSIX tar and StuffIt. Each has a streaming record that
// follows the archive sector by sector and a classic sizer that takes over a
// record the stream gives up.
#include "engine/carver/analysers/StreamTail.h"

#include <cstdint>

class RawFileBuffer;

class FileGZAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 31;
    static constexpr unsigned long long kNameLimit = 0x1400000;
    static constexpr unsigned long long kSearchLimit = 0xD000000;
    static constexpr unsigned kMaxMembers = 1024;
    FileGZAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // Takes the member's name from its header, then ends it where its deflate
    // stream and trailer end (with any plain members after it); only a stream
    // that does not end is ended at the first sector from the one holding the
    // header's end whose last 8 bytes are zero.
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // 1F 8B, deflate, flags below 32, operating system below 14 (any extra flags).
    static bool Header(bytes::Bytes head);
};

class classRarSearch {
public:
    static constexpr unsigned char kEndBlock[7] = {0xC4, 0x3D, 0x7B, 0x00, 0x40, 0x07, 0x00};
    // The size of the block whose header starts `block` (as many bytes as are
    // at hand, 16 suffice), or false when it is not a valid block.
    static bool GetBlockSize(bytes::Bytes block, std::uint64_t& size);
};

class FileRARAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 58;
    static constexpr unsigned long long kChainLimit = 0xD000000;
    FileRARAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

class FileLZHAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 36;
    static constexpr unsigned long long kWalkLimit = 0xD000000;
    FileLZHAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // How a header moves the walk: the method at offset 2 of `header`.
    enum class Method { None, Plain, Dir, Lh7 };
    static Method MethodOf(bytes::Bytes header);
};

class FileTARAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 63;
    static constexpr unsigned long long kWalkLimit = 0xD000000;
    static constexpr unsigned kBlock = 512;
    FileTARAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 262 || (sector[257] == 'u' && sector[258] == 's');
    }
    static bool IsHeader(bytes::Bytes block);
    // The entry's data length: octal digits after leading blanks or NULs, or
    // a base-256 number when the field's top bit is set.
    static std::uint64_t EntrySize(bytes::Bytes block);
    // Bytes from one header to the next.
    static std::uint64_t EntryBytes(bytes::Bytes block);
};

class FileSITAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kSit = 92, kSitx = 93;
    static constexpr unsigned long long kWalkLimit = 0x82000000;
    FileSITAnalyser() { m_nType = kSit; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

private:
    // The classic layout's size field (the walk's limit for a negative one).
    static std::uint64_t GetSITFileSize(bytes::Bytes head);
    // The end marker of a StuffIt X archive, sector by sector.
    static std::uint64_t GetSITXFileSize(RawFileBuffer& file);
};

namespace RawSpeed {

class GZRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 400000000;
    explicit GZRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileGZAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    long long m_llMinEnd = 20;
};
using GZAnalyzer = BruteForce::CPartneredAnalyser<GZRawFileInfo, FileGZAnalyser>;

class RARRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0x40000000;
    explicit RARRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileRARAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    std::uint64_t m_ullNext = 7;
    bool m_bMoreBlocks = true;
    bool m_bFirstPending = true;
};
using RARAnalyser = BruteForce::CPartneredAnalyser<RARRawFileInfo, FileRARAnalyser>;

class TARRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    explicit TARRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileTARAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    // Its next header is one of its parts. A tar stores its members as they
    // are, so a tar inside the data of the member being walked (a tar of
    // tars) is that member's bytes, carved with it, when it ends where the
    // member ends; a header whose writing stopped claims more than follows
    // it, and a tar after it is one of its own.
    Part PartAt(unsigned long long offset, bytes::Bytes) const override {
        if (offset && offset == m_ullNextHeader) return {true, 0};
        if (offset && offset >= m_ullEntryData && offset < m_ullNextHeader)
            return {false, m_ullNextHeader, offset == m_ullEntryData};
        return {};
    }
    std::uint64_t m_ullNextHeader = 0;
    std::uint64_t m_ullEntryData = ~0ull; // where the data of the member being walked begins
};
using TARAnalyser = BruteForce::CPartneredAnalyser<TARRawFileInfo, FileTARAnalyser>;

class SITRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 2000000000;
    explicit SITRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileSITAnalyser::kSit;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    // Reads the kind of archive from its first sector.
    void JudgeSIT(const unsigned char* first);
    bool m_bClassicLayout = true;
    bool m_bJudgePending = true;
    bool m_bSixteenByteHeader = false;
};

class SITAnalyser : public BruteForce::CPartneredAnalyser<SITRawFileInfo, FileSITAnalyser> {
public:
    // Also the sixteen-byte "WEBBAIKEff" header.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

} // namespace RawSpeed

namespace Orvex {

class LZHRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0xC800000;
    explicit LZHRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileLZHAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;
    long long m_llNextHeader = 0;
    bool m_bLevelTwo = false;
    bool m_bMayStepBack = false;
    bool m_bLastWasStepBack = false;
};

class LZHAnalyser : public BruteForce::CPartneredAnalyser<LZHRawFileInfo, FileLZHAnalyser> {
public:
    // Also "-lh7-".
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 7 || (sector[2] == '-' && sector[3] == 'l' && sector[4] == 'h' && sector[6] == '-');
    }
};

} // namespace Orvex
