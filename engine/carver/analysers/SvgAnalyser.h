#pragma once
// The XML family: SVG drawings, GPS tracks (GPX), property lists, Evernote
// exports and citation styles. A streaming record ends a file at its closing
// tag (GPX, property lists) or where a sector holding a closing mark ends in
// zero bytes (text SVG); the older binary SVG form states its size. When the
// carver drops a record unfinished, the classic partner sizes it from the
// device.
#include "engine/carver/analysers/PartneredRecord.h"
#include "engine/carver/analysers/StreamTail.h"

class FileSVGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kSvgType = 91;
    static constexpr unsigned long long kDeviceLimit = 0x500000;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

namespace Orvex {

class SVGRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0xA00000;

    explicit SVGRawFileInfo(IRawFileAnalyser* classic, bool binary = false)
        : CPartneredRawFileInfo(classic), m_bCD01(binary) {}
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    long long m_llEnd = 0;
    long long m_llLimit = kLimit;
    bool m_bCD01;
    // The text forms' closing tag, chosen by the kind at the first sector.
    BruteForce::ClosingMark m_Close{"</svg>", false};

private:
    int GpxAndPlistSize(const unsigned char* sector, int sectorBytes, long long sectorNumber,
                        const SearchContext& context);
    int SvgOtherVerRawSize(long long sectorNumber, int sectorBytes, const SearchContext& context);
    // False once the text file's end is known (or the walk passed the limit).
    bool bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context);
};

class SVGAnalyser : public BruteForce::CPartneredAnalyser<SVGRawFileInfo, FileSVGAnalyser> {
public:
    static constexpr unsigned kSvgType = 91, kGpxType = 130, kPlistType = 131, kEnexType = 139, kCslType = 19;

    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override;

private:
    // Whether the file accepted last begins CD 01 00 00, for the record made next.
    bool m_bBinary = false;
};

} // namespace Orvex
