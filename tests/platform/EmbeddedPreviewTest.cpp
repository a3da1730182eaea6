// The thumbnail program's search for embedded previews on TIFF directories
// and Photoshop resources built here byte by byte: the largest picture wins,
// lossless frames and spans past the end do not count, loops end.
#include "platform/thumbnailer/EmbeddedPreview.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

namespace {

using salvor::thumbnail::FindPsdThumbnail;
using salvor::thumbnail::FindRawPreview;

struct Writer {
    std::vector<std::uint8_t> b;
    bool big = false;
    void put(std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * (big ? n - 1 - i : i))));
    }
    void at(std::size_t off, std::uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * (big ? n - 1 - i : i)));
    }
    void bytes(const std::vector<std::uint8_t>& more) { b.insert(b.end(), more.begin(), more.end()); }
};

// The head of a JPEG of w × h with frame marker sof, padded to length bytes.
std::vector<std::uint8_t> Jpeg(int w, int h, std::size_t length, std::uint8_t sof = 0xC0) {
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00, 0xFF, sof, 0x00, 0x0B, 0x08,
                                 static_cast<std::uint8_t>(h >> 8), static_cast<std::uint8_t>(h),
                                 static_cast<std::uint8_t>(w >> 8), static_cast<std::uint8_t>(w), 0x01, 0x01, 0x11, 0x00};
    std::vector<std::uint8_t> j(std::max(length, sizeof head), 0);
    std::copy(std::begin(head), std::end(head), j.begin());
    return j;
}

// One directory of (tag, type, value) entries at the end of w, then next.
std::size_t Ifd(Writer& w, const std::vector<std::array<std::uint32_t, 3>>& entries, std::uint32_t next) {
    const std::size_t at = w.b.size();
    w.put(entries.size(), 2);
    for (const auto& [tag, type, value] : entries) {
        w.put(tag, 2);
        w.put(type, 2);
        w.put(1, 4);
        if (type == 3) {
            w.put(value, 2);
            w.put(0, 2);
        } else {
            w.put(value, 4);
        }
    }
    w.put(next, 4);
    return at;
}

TEST(EmbeddedPreview, TiffDirectoriesLargestBaselinePictureWins) {
    for (bool big : {false, true}) {
        SCOPED_TRACE(big ? "MM" : "II");
        Writer w{{}, big};
        w.bytes(big ? std::vector<std::uint8_t>{'M', 'M'} : std::vector<std::uint8_t>{'I', 'I'});
        w.put(42, 2);
        w.put(8, 4);
        // Pictures at 1000 (small thumbnail), 2000 (JPEG strip), 4000 (a larger lossless strip).
        const std::size_t ifd0 = Ifd(w, {{0x201, 4, 1000}, {0x202, 4, 500}, {0x14A, 4, 0}}, 8); // next: itself
        const std::size_t sub = Ifd(w, {{0x103, 3, 7}, {0x111, 4, 2000}, {0x117, 4, 1500}}, 0);
        const std::size_t raw = Ifd(w, {{0x103, 3, 6}, {0x111, 4, 4000}, {0x117, 4, 3000}, {0x8769, 4, 8}}, 0);
        // Two sub-directories: their offsets at 600.
        w.at(ifd0 + 2 + 2 * 12 + 8, 600, 4);
        w.at(ifd0 + 2 + 2 * 12 + 4, 2, 4);
        w.b.resize(600);
        w.put(sub, 4);
        w.put(raw, 4);
        w.b.resize(1000);
        w.bytes(Jpeg(16, 8, 500));
        w.b.resize(2000);
        w.bytes(Jpeg(40, 30, 1500));
        w.b.resize(4000);
        w.bytes(Jpeg(400, 300, 3000, 0xC3));
        auto found = FindRawPreview(w.b);
        ASSERT_TRUE(found);
        EXPECT_EQ(std::tuple(found->offset, found->length, found->width, found->height),
                  std::tuple(std::size_t{2000}, std::size_t{1500}, 40, 30));
        // Cut short: the strip passes the end; the thumbnail is all there is.
        w.b.resize(3000);
        found = FindRawPreview(w.b);
        ASSERT_TRUE(found);
        EXPECT_EQ(found->width, 16);
        w.b[big ? 3 : 2] = 43; // not TIFF
        EXPECT_FALSE(FindRawPreview(w.b));
    }
}

TEST(EmbeddedPreview, PhotoshopThumbnailResource) {
    Writer w{{}, true};
    w.bytes({'8', 'B', 'P', 'S'});
    w.put(1, 2);
    w.b.resize(26);
    w.put(0, 4); // no colour-mode data
    const std::size_t length = w.b.size();
    w.put(0, 4);
    const std::size_t start = w.b.size();
    auto resource = [&](std::uint16_t id, const std::vector<std::uint8_t>& data, std::uint32_t claimed) {
        w.bytes({'8', 'B', 'I', 'M'});
        w.put(id, 2);
        w.put(0, 2); // empty name, padded
        w.put(claimed, 4);
        w.bytes(data);
        if (data.size() & 1) w.put(0, 1);
    };
    resource(1005, std::vector<std::uint8_t>(15, 1), 15);
    std::vector<std::uint8_t> thumb(28, 0);
    thumb[3] = 1; // JFIF
    const auto jpeg = Jpeg(24, 16, 300);
    thumb.insert(thumb.end(), jpeg.begin(), jpeg.end());
    resource(1036, thumb, static_cast<std::uint32_t>(thumb.size()));
    w.at(length, w.b.size() - start, 4);
    auto found = FindPsdThumbnail(w.b);
    ASSERT_TRUE(found);
    EXPECT_EQ(std::tuple(found->length, found->width, found->height), std::tuple(std::size_t{300}, 24, 16));
    // A size that claims more than the section holds.
    // A thumbnail that claims more than the section holds (the first
    // resource takes 28 bytes; the size follows signature, id and name).
    w.at(start + 28 + 8, 0x7FFFFFFF, 4);
    EXPECT_FALSE(FindPsdThumbnail(w.b));
}

} // namespace
