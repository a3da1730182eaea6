#pragma once
// Sizes a JPEG from the device: the header walk to the start of scan, then the
// entropy-coded data and the segments between scans to the end-of-image marker
// that closes the primary picture (and the pictures its MPF index lists), so
// whatever follows the file does not matter. Names the picture by
// the camera model read from its EXIF block.
#include "engine/carver/RawFileInfo.h"

#include <string>

class RawFileBuffer;

class FileJPGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kJpgType = 35;
    static constexpr unsigned long long kJfifCap = 0x1A000000;
    static constexpr unsigned long long kCap = 0xD000000;

    FileJPGAnalyser() { m_nType = kJpgType; }

    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // FF D8 FF and JFIF, Exif or a quantisation table / Adobe segment first.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    std::string GetRawFileName() override { return m_strName; }
    std::string GetRawFileTime() override { return m_strTime; }
    void GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) const {
        tag = m_eTag;
        value = m_strTagValue;
    }

private:
    enum class Variant { Jfif, Exif, Plain };
    // The size, or 0 when the picture cannot be sized.
    unsigned long long Size(RawFileBuffer& buffer, Variant variant, unsigned long long cap);
    void ReadExif(RawFileBuffer& buffer, unsigned long long lengthAt);
    // From just past a start-of-scan segment: the offset just past the
    // end-of-image marker; where the data breaks first (a marker no scan
    // holds, the next file's start, the limit, an unreadable sector) the
    // offset of the break.
    unsigned long long WalkScans(RawFileBuffer& buffer, unsigned long long position, unsigned long long limit);
    // The end of the last picture an MPF segment at `at` lists (0: none).
    static unsigned long long MpfEnd(RawFileBuffer& buffer, unsigned long long at, unsigned length);

    std::string m_strName;
    std::string m_strTime;
    long long m_llSectorSize = 512;
    RAW_FILE_TAG m_eTag = RAW_TAG_NONE;
    std::string m_strTagValue;
    // Bytes from the picture's start to where the carver saw another file
    // begin while following it; 0 when it saw none.
    unsigned long long m_ullNextFile = 0;
};
