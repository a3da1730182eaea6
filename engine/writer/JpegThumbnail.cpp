#include "engine/writer/JpegThumbnail.h"

namespace {
// The file's own start marker sits at 0.
constexpr std::size_t kScanFrom = 4;
// An embedded stream's header and tables come first; an end marker this close
// to the start belongs to something else.
constexpr std::size_t kSkipAfterStart = 2000;
} // namespace

std::size_t FindEmbeddedJpeg(const unsigned char* data, std::size_t size, std::size_t* start) {
    if (!data || size < kScanFrom + 4) return 0;
    bool haveStart = false;
    std::size_t from = 0;
    std::size_t i = kScanFrom;
    while (i + 4 < size) {
        if (data[i] == 0xFF) {
            if (!haveStart) {
                if (data[i + 1] == 0xD8 && data[i + 2] == 0xFF) {
                    haveStart = true;
                    from = i;
                    i += kSkipAfterStart + 1;
                    continue;
                }
            } else if (data[i + 1] == 0xD9) {
                const std::size_t length = i + 2 - from;
                if (start) *start = from;
                return length < 65536 ? length : 0;
            }
        }
        ++i;
    }
    return 0;
}
