#pragma once
// AutoCAD drawings. Each release family keeps the file's size in another
// place: R13-R2000 in the section locator records after the header, R2004
// and later (but R2007) in an XOR-scrambled block at byte 128, R2007 in a
// header that is interleaved for error correction and usually compressed.
// A streaming record collects what it needs across sectors.
#include "engine/carver/RawFileInfo.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace dwg {

// Expands R2007-compressed bytes into out (at most out.size() bytes are
// produced); false on a malformed stream: a literal run or back-reference
// passing its input or the output, or a reference before the output's start.
bool DecompressR2007(bytes::Bytes in, std::span<std::uint8_t> out);

// The 272-byte R2007 file header from the 984 bytes at byte 128 of the file
// (three interleaved 255-byte blocks of which 239 bytes each are data).
std::optional<std::array<std::uint8_t, 272>> R2007Header(bytes::Bytes encoded);

} // namespace dwg

namespace BruteForce {

class CDWGRawInfo : public CRawFileInfo {
public:
    static constexpr std::size_t kCollect = 984;
    static constexpr unsigned long long kCap = 0x514000000;

    explicit CDWGRawInfo(int versionClass) : m_nClass(versionClass) {}
    bool WhetherImplementGuess() override { return true; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llPosition = 21;
    std::uint32_t m_nRecordIndex = 0;
    std::uint32_t m_nRecordCount = 0;
    bool m_bCountRead = false;
    std::size_t m_nToCollect = kCollect;
    std::size_t m_nCollected = 0;
    std::array<std::uint8_t, kCollect> m_Collected{};
    int m_nClass; // 1 R13-R2000, 2 R2004/R2010/R2013, 3 R2007, 0 R12 (never sized)

private:
    int Finish(unsigned long long size, long long sectorNumber);
    int LocatorRecords(long long sectorStart, int sectorBytes, long long sectorNumber, const SearchContext& context);
    int Scrambled(long long sectorStart, int sectorBytes, long long sectorNumber, const SearchContext& context);
    int R2007(long long sectorStart, int sectorBytes, long long sectorNumber, const SearchContext& context);
    unsigned long long m_ullLargest = 0;
};

class CDWGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kDwgType = 24;

    CDWGAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new CDWGRawInfo(m_nClass); }

private:
    int m_nClass = 0; // of the drawing accepted last
};

} // namespace BruteForce
