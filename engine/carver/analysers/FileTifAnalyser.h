#pragma once
// Sizes a TIFF or camera raw from the device by walking its directories: the
// farthest byte any of them points at (strips, tiles, sub-images, maker
// notes). The camera make picks the raw format; make, model and date name it.
#include "engine/carver/RawFileInfo.h"

#include <cstdint>
#include <algorithm>
#include <string>

class RawFileBuffer;

namespace tiff {
// Bytes per element of TIFF types 1 to 12 (0 for any other).
unsigned TypeBytes(unsigned type);
std::string Upper(std::string s);
// FF D8 FF and E0, E1 or DB: an embedded JPEG's first four bytes (null: no).
bool IsJpegStart(const unsigned char* p);
} // namespace tiff

class FileTIFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kTifType = 64;
    static constexpr unsigned long long kFallbackSize = 130862284; // 0x7CCCCCC
    static constexpr unsigned long long kMaxOffset = 0x4E000000;

    FileTIFAnalyser() { m_nType = kTifType; }

    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // Any sector but one starting "FUJI" without the rest of the Fuji raw mark.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    std::string GetRawFileName() override { return m_strModel; }
    std::string GetRawFileTime() override { return m_strTime; }
    void GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) const {
        tag = m_eTag;
        value = m_strMake;
    }
    void GetThumbStartAndSize(unsigned long long& start, unsigned long long& size) const {
        start = m_ullPreviewOffset;
        size = m_ullPreviewSize;
    }
    unsigned long long GetTiffSize(CRawFileInfo& info, IStorageDevice* device);

    // The raw type the make (upper case) gives: DNG first, then the make words.
    static unsigned TypeByMake(const std::string& make, const std::string& model, bool dng, bool rw2, unsigned keep);

private:
    std::uint32_t U32(const unsigned char* p) const;
    std::uint16_t U16(const unsigned char* p) const;
    std::string Text(unsigned long long at, std::uint64_t size, const unsigned char* inlineValue);
    // The last element of an offset or count array (the value itself for one).
    std::uint32_t LastElement(unsigned type, std::uint32_t count, std::uint32_t value, unsigned long long base);
    void Tiles(unsigned long long base);
    void Raise(unsigned long long end) { m_ullSizeSoFar = std::max(m_ullSizeSoFar, end); }
    void GetSubIFDSize(unsigned long long dir, unsigned long long base);
    // Model, make and date from the EXIF block of a Fuji raw's embedded JPEG.
    void ReadFujiExif(RawFileBuffer& buffer, unsigned long long jpeg, CRawFileInfo& info);

    RawFileBuffer* m_pBuffer = nullptr;
    bool m_bBigEndian = false;
    unsigned long long m_ullJpegOffset = 0, m_ullJpegSize = 0;
    unsigned long long m_ullSizeSoFar = 0;
    struct Array {
        std::uint32_t offset = 0, count = 0, type = 0, bytes = 0;
    } m_tileOffsets, m_tileCounts;
    bool m_bFuji = false, m_bDng = false, m_bNikon = false, m_bEpson = false;
    // Sony's A100 keeps its raw data after the sub-images, sized in its DNG private data.
    bool m_bA100 = false;
    unsigned long long m_ullA100SubImages = 0, m_ullA100Private = 0;
    std::string m_strModel, m_strTime;
    RAW_FILE_TAG m_eTag = RAW_TAG_NONE;
    std::string m_strMake;
    unsigned long long m_ullPreviewOffset = 0, m_ullPreviewSize = 0;
    unsigned m_nSubDirs = 0;
};
