// Photographs through the shared carve driver: JPEG and TIFF acceptance,
// streaming, hand-over and the classic sizers; then the input's first bytes as an APP1
// segment (the first "Exif" 00 00 with its length field before it) through
// the EXIF reader alone.
#include "engine/carver/analysers/JpegAnalyzer.h"
#include "engine/carver/analysers/TiffAnalyzer.h"
#include "engine/carver/metadata/ExifReader.h"
#include "tests/fuzz/CarveFamily.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    BruteForce::JpegAnalyzer jpeg;
    salvor::fuzz::DriveAnalyser(jpeg, data, size, FileJPGAnalyser::kJfifCap);
    BruteForce::TiffAnalyzer tiff;
    salvor::fuzz::DriveAnalyser(tiff, data, size, FileTIFAnalyser::kMaxOffset + 4096);
    // The segment's length field counts itself; the reader is given exactly
    // the segment's bytes.
    static constexpr unsigned char kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
    const std::uint8_t* end = data + std::min<std::size_t>(size, 8192);
    const std::uint8_t* at = std::search(data, end, kExif, kExif + 6);
    if (at != end && at - data >= 2) {
        const std::size_t from = static_cast<std::size_t>(at - data) - 2;
        const unsigned length = static_cast<unsigned>(data[from] << 8 | data[from + 1]);
        if (length >= 2 && length <= size - from) {
            std::vector<unsigned char> segment(data + from, data + from + length);
            tag_ExifInfo info;
            SetExitInfo(&info);
            EXIF_process_EXIF(segment.data(), 0, segment.data() + 2, length);
        }
    }
    return 0;
}
