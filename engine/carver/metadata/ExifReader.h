#pragma once
// Reader of EXIF blocks (the payload of a JPEG APP1 segment: "Exif", two zero
// bytes, a TIFF header and its directories). Fills a fixed record of picture
// facts; the carver's sizers read make, model and date taken from it.
// Module state: one block is read at a time, on the carver's thread.
#include <cstdint>

struct tag_ExifInfo {
    int flags = 0; // 2 copy the thumbnail, 4 the user comment, 8 the maker note
    char exifVersion[5] = {};
    char cameraMake[32] = {};
    char cameraModel[40] = {};
    char dateTime[20] = {};
    char digitizedTime[20] = {};
    int orientation = 0;
    int flashUsed = 0;
    float focalLength = 0, exposureTime = 0, apertureFNumber = 0, distance = 0, ccdWidth = 0, exposureBias = 0;
    int lightSource = 0, meteringMode = 0, exposureProgram = 0, isoEquivalent = 0, compressionLevel = 0;
    float focalplaneXRes = 0, focalplaneYRes = 0, focalplaneUnits = 0, xResolution = 0, yResolution = 0,
          resolutionUnit = 0, brightness = 0;
    // Sizes, and addresses displaced by adjust - base or, under the flags,
    // addresses of copies that stay valid until the next read.
    int userCommentSize = 0;
    std::uintptr_t userComment = 0;
    int makerNoteSize = 0;
    std::uintptr_t makerNote = 0;
    std::uintptr_t thumbnail = 0;
    int thumbnailSize = 0;
};

// The record the next EXIF_process_EXIF fills (the caller zeroes it).
void SetExitInfo(tag_ExifInfo* info);
// Reads the block starting at "Exif"; `length` is the APP1 segment's length
// field, which counts its own two bytes, so length - 2 bytes from `exif` on
// must be readable. 1 when read, else 0 with the error text set.
int EXIF_process_EXIF(const unsigned char* base, unsigned int adjust, unsigned char* exif, unsigned int length);
const char* EXIF_GetErrorString();
void GetExifInfo(tag_ExifInfo* out);
// A value of the given EXIF format as a double (rationals 0 over a zero denominator).
double EXIF_ConvertAnyFormat(const unsigned char* value, int format);
std::uint32_t EXIF_Get32s(const unsigned char* p);
