#pragma once
// JPEG pictures followed sector by sector while the scan streams the device:
// the end-of-image marker is accepted only where the sector ends in zeros and
// past the picture's quiet zone (its thumbnail and EXIF data), bounded by the
// pixel count and a size cap. Make, model and date come from the EXIF block.
// Records given up go to the classic sizer this analyser owns.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/analysers/FileJpgAnalyser.h"

#include <memory>
#include <string>

namespace BruteForce {

class JpegAnalyzer : public IRawFileAnalyser, public ISpecialRawFileAnalyser {
public:
    static constexpr unsigned kJpgType = 35;

    class JpegRawFileInfo : public CRawFileInfo {
    public:
        static constexpr long long kExifCap = 52428800;
        static constexpr long long kPlainCap = 20971520;

        explicit JpegRawFileInfo(JpegAnalyzer* owner) : m_pOwner(owner) { m_ullMinSize = 1024; }
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(unsigned char*, long long) override;
        int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNo, SearchContext& ctx) override;

        long long m_llPixelCount = 0;
        long long m_llSizeCap = kExifCap;
        long long m_llMarkerPos = 0;
        unsigned m_bExif = 0;
        unsigned m_nDirsRead = 0;
        long long m_llPrevSector = 0;
        // The cap, once the picture reached it without an accepted end marker.
        long long m_llCapReached = 0;
        // The sector where the carver saw another file begin before this
        // picture's end was found (-1: none); the classic sizer ends the
        // picture there when only zeros follow its end marker.
        long long m_llNextStart = -1;

    private:
        // The bytes at offset from the file's start, through the current window.
        bytes::Bytes At(unsigned long long offset, std::size_t n) const;
        unsigned long long DataRead() const; // bytes from the file's start the window holds
        void ReadExif(unsigned long long block);
        void ReadDir(unsigned long long tiff, unsigned long long dir, unsigned blockLength, bool little);
        void WalkMarkers(unsigned long long sectorEnd);
        int Finish(long long sectorNo, unsigned long long end);

        JpegAnalyzer* m_pOwner;
        const SearchContext* m_pContext = nullptr;
        long long m_llSector = 0;
        int m_nSectorBytes = 512;
        unsigned long long m_ullWidth = 0;
    };

    JpegAnalyzer() : m_classic(std::make_unique<FileJPGAnalyser>()) { m_nType = kJpgType; }

    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new JpegRawFileInfo(this); }
    ISpecialRawFileAnalyser* GetSpecialRawFile() override { return this; }
    int AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes, long long sectorNo,
                        long long firstSector, long long endSector) override;
    FileJPGAnalyser* Classic() { return m_classic.get(); }

    // The header of a picture without JFIF or EXIF segment: a frame of 8-bit
    // samples and 3 components before a 3-component scan.
    static bool HeaderWalk(bytes::Bytes data);

private:
    std::unique_ptr<FileJPGAnalyser> m_classic;
};

} // namespace BruteForce
