#pragma once
// TIFF files and the camera raws built on TIFF (and the Fuji raw container).
// A streaming record parses each directory when the scan reaches the sector
// that holds it, keeps the farthest byte anything points at, and ends the
// file at a zero tail past that byte; Fuji and Panasonic raws, far first
// directories and records the carver drops go to the classic sizer this
// analyser owns, which reads the directories from the device.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/analysers/FileTifAnalyser.h"

#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>

namespace BruteForce {

class TiffAnalyzer : public IRawFileAnalyser {
public:
    class TiffRawFileInfo : public CRawFileInfo {
    public:
        static constexpr long long kNoExpectation = -2147483648LL;
        static constexpr unsigned kMaxDirectories = 11;
        static constexpr long long kFarFirstDirectory = 4194305;
        static constexpr long long kSmallEnd = 10485761;

        explicit TiffRawFileInfo(TiffAnalyzer* owner) : m_pOwner(owner) { m_eRawFileType = FileTIFAnalyser::kTifType; }
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(unsigned char*, long long) override {
            m_ullFileSize = 0;
            if (m_pOwner) m_pAnalyser = m_pOwner->Classic();
        }
        int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) override;

    private:
        // File bytes [offset, offset + n) when the scan holds them; the stop
        // flag is set once the file's start has left the scan's buffer.
        bytes::Bytes Read(long long offset, std::size_t n);
        std::uint16_t U16(bytes::Bytes b, std::size_t at) const;
        std::uint32_t U32(bytes::Bytes b, std::size_t at) const;
        void Raise(long long end) {
            if (end > m_llFarthest) m_llFarthest = end;
        }
        void ParseDirectory(long long position);
        void Entry(bytes::Bytes entry, std::uint64_t size, std::set<long long>& queuedHere);
        void Queue(long long offset);
        // The last element of an offset or count array (the value itself for one).
        std::optional<std::uint32_t> LastElement(unsigned type, std::uint32_t count, std::uint32_t value);
        bool JpegAt(long long offset);
        std::string TextAt(bytes::Bytes entry, std::uint64_t size);
        int Finish(long long sectorNumber);

        TiffAnalyzer* m_pOwner;
        // Set for each sector shown.
        const SearchContext* m_pContext = nullptr;
        long long m_llSector = 0, m_llSectorStart = 0;

        bool m_bFirst = true;
        bool m_bLittle = true;
        long long m_llExpected = kNoExpectation;
        unsigned m_nDirectories = 0;
        bool m_bStop = false;
        long long m_llNext = 0, m_llCurrent = 0, m_llFarthest = 0;
        std::map<std::uint32_t, long long> m_pending;     // directory offset -> sector
        std::map<std::uint32_t, std::uint32_t> m_jpegs;   // strip or thumbnail offset -> bytes
        std::set<long long> m_parsed;
        long long m_llStripOffset = 0, m_llThumbOffset = 0;
        bool m_bStripPending = false, m_bThumbPending = false, m_bStripJpeg = false, m_bThumbJpeg = false;
        bool m_bRw2 = false, m_bDng = false;
        std::string m_strMake, m_strModel;
        bool m_bMakeTaken = false, m_bModelTaken = false;
        std::uint32_t m_nMakerBase = 0;
        bool m_bDirectoryValid = false;
        std::uint32_t m_nWidth = 0, m_nHeight = 0;
        struct Array {
            std::uint32_t offset = 0, count = 0, type = 0, bytes = 0;
        } m_tileOffsets, m_tileCounts;
        bool m_bCountsSeen = false;
        long long m_llSectorBytes = 512;
    };

    TiffAnalyzer() : m_classic(std::make_unique<FileTIFAnalyser>()) { m_nType = FileTIFAnalyser::kTifType; }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    // "MM" 00 2A or "MMOR", "II" 2A 00, "IIU" 00, "IIRO" or "IIRS", or the Fuji raw mark.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new TiffRawFileInfo(this); }
    FileTIFAnalyser* Classic() { return m_classic.get(); }

private:
    std::unique_ptr<FileTIFAnalyser> m_classic;
};

} // namespace BruteForce
