// The thumbnail program's search for a raw picture's JPEG previews, on a TIFF
// built here: the largest baseline picture wins over a smaller thumbnail and
// a lossless strip, a directory loop ends, a span past the end does not count.
// (Photoshop thumbnails and real files: the previews' end-to-end test.)
#include "platform/thumbnailer/EmbeddedPreview.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

using Tiff = std::vector<std::uint8_t>;

void Put(Tiff& b, std::size_t at, std::uint32_t v, int n) {
    if (b.size() < at + n) b.resize(at + n);
    salvor::test::PutLe(b, at, v, static_cast<std::size_t>(n));
}

// One directory at `at` of LONG entries (tag, value), then the next one's offset.
void Ifd(Tiff& b, std::size_t at, const std::vector<std::pair<std::uint16_t, std::uint32_t>>& entries, std::uint32_t next) {
    Put(b, at, static_cast<std::uint32_t>(entries.size()), 2);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const std::size_t e = at + 2 + i * 12;
        Put(b, e, entries[i].first, 2);
        Put(b, e + 2, 4, 2);
        Put(b, e + 4, 1, 4);
        Put(b, e + 8, entries[i].second, 4);
    }
    Put(b, at + 2 + entries.size() * 12, next, 4);
}

// The head of a JPEG of w × h whose frame has marker sof, at `at`.
void Jpeg(Tiff& b, std::size_t at, int w, int h, std::uint8_t sof = 0xC0) {
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, sof, 0, 11, 8, std::uint8_t(h >> 8), std::uint8_t(h),
                                 std::uint8_t(w >> 8), std::uint8_t(w), 1, 1, 0x11, 0};
    for (std::size_t i = 0; i < sizeof head; ++i) Put(b, at + i, head[i], 1);
}

TEST(EmbeddedPreview, LargestBaselinePictureOfEveryDirectory) {
    Tiff b = {'I', 'I', 42, 0, 8, 0, 0, 0};
    // IFD0: a thumbnail and two sub-directories; its next directory is itself.
    Ifd(b, 8, {{0x201, 1000}, {0x202, 500}, {0x14A, 600}}, 8);
    Put(b, 8 + 2 + 2 * 12 + 4, 2, 4); // two sub-directory offsets at 600
    Put(b, 600, 100, 4);
    Put(b, 604, 200, 4);
    Ifd(b, 100, {{0x103, 7}, {0x111, 2000}, {0x117, 1500}}, 0);  // a JPEG strip
    Ifd(b, 200, {{0x103, 6}, {0x111, 4000}, {0x117, 3000}}, 0);  // a larger, lossless one
    Jpeg(b, 1000, 16, 8);
    Jpeg(b, 2000, 40, 30);
    Jpeg(b, 4000, 400, 300, 0xC3);
    b.resize(7000);
    auto found = salvor::thumbnail::FindRawPreview(b);
    ASSERT_TRUE(found);
    EXPECT_EQ(std::tuple(found->offset, found->length, found->width, found->height), std::tuple(2000u, 1500u, 40, 30));
    b.resize(3000); // the strip now passes the end
    found = salvor::thumbnail::FindRawPreview(b);
    EXPECT_TRUE(found && found->width == 16);
    b[2] = 43;
    EXPECT_FALSE(salvor::thumbnail::FindRawPreview(b));
}

} // namespace
