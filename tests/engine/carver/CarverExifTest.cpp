// The EXIF reader on hand-built blocks in both byte orders: where the walk
// starts, loops and long chains, text limits, and sizes that overflow 32 bits.
#include "engine/carver/metadata/ExifReader.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An APP1 segment from its length field on: length, "Exif" 00 00, TIFF data.
class Block {
public:
    explicit Block(bool motorola, std::uint32_t firstIfd = 8) : m_mm(motorola) {
        m_b = {0, 0, 'E', 'x', 'i', 'f', 0, 0};
        m_b.push_back(motorola ? 'M' : 'I');
        m_b.push_back(motorola ? 'M' : 'I');
        Put16(42);
        Put32(firstIfd);
    }
    std::size_t Here() const { return m_b.size() - 8; } // offset in the TIFF data
    void Put16(std::uint32_t v) { Put(v, 2); }
    void Put32(std::uint32_t v) { Put(v, 4); }
    // A directory here: entries of (tag, format, count, value), then the link.
    void Dir(const std::vector<std::array<std::uint32_t, 4>>& entries, std::uint32_t link) {
        Put16(static_cast<std::uint32_t>(entries.size()));
        for (const auto& e : entries) {
            Put16(e[0]);
            Put16(e[1]);
            Put32(e[2]);
            if ((e[1] == 3 || e[1] == 8) && e[2] == 1) {
                Put16(e[3]);
                Put16(0);
            } else {
                Put32(e[3]);
            }
        }
        Put32(link);
    }
    void PadTo(std::size_t at) { m_b.resize(at + 8, 0); }
    void Text(const std::string& s) { m_b.insert(m_b.end(), s.begin(), s.end() + 1); }
    // Reads the block as a caller does, the segment's length from its field
    // (or as given); the bytes after the segment are 0xEE.
    int Read(tag_ExifInfo& info, unsigned length = 0) {
        std::vector<unsigned char> seg = m_b;
        const unsigned n = length ? length : static_cast<unsigned>(seg.size());
        seg[0] = static_cast<unsigned char>(n >> 8);
        seg[1] = static_cast<unsigned char>(n);
        seg.resize(seg.size() + 64, 0xEE);
        info = {};
        SetExitInfo(&info);
        return EXIF_process_EXIF(seg.data(), 0, seg.data() + 2, n);
    }

private:
    void Put(std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i)
            m_b.push_back(static_cast<unsigned char>(v >> 8 * (m_mm ? n - 1 - i : i)));
    }
    bool m_mm;
    std::vector<unsigned char> m_b;
};

// Make (at 100), model (at 140) and date (at 200) after a first directory at 8
// linking to a second directory that holds the orientation.
Block Camera(bool mm, const std::string& make, const std::string& model, std::uint32_t firstIfd = 8,
             std::uint32_t orientation = 6) {
    Block b(mm, firstIfd);
    b.Dir({{0x010F, 2, static_cast<std::uint32_t>(make.size() + 1), 100},
           {0x0110, 2, static_cast<std::uint32_t>(model.size() + 1), 140},
           {0x9003, 2, 20, 200}},
          60);
    b.PadTo(60);
    b.Dir({{0x0112, 3, 1, orientation}}, 0);
    b.PadTo(100);
    b.Text(make);
    b.PadTo(140);
    b.Text(model);
    b.PadTo(200);
    b.Text("2014:05:06 07:08:09");
    return b;
}

TEST(CarverExif, BothByteOrdersReadTheSameRecord) {
    tag_ExifInfo ii, mm;
    ASSERT_EQ(Camera(false, "Canon", "Canon EOS 5D").Read(ii), 1);
    ASSERT_EQ(Camera(true, "Canon", "Canon EOS 5D").Read(mm), 1);
    EXPECT_STREQ(ii.cameraMake, "Canon");
    EXPECT_STREQ(ii.cameraModel, "Canon EOS 5D");
    EXPECT_STREQ(ii.dateTime, "2014:05:06 07:08:09");
    EXPECT_EQ(ii.orientation, 6); // in the linked directory
    EXPECT_EQ(std::memcmp(&ii, &mm, sizeof ii), 0);
}

TEST(CarverExif, EdgeCases) {
    tag_ExifInfo info;
    // A first directory said to be at 12 is read at 8.
    EXPECT_EQ(Camera(false, "Canon", "M", 12).Read(info), 1);
    EXPECT_STREQ(info.cameraMake, "Canon");
    EXPECT_EQ(Camera(false, "Canon", "M", 17).Read(info), 0);
    EXPECT_STREQ(EXIF_GetErrorString(), "Suspicious offset of first IFD value");
    // Text limits.
    EXPECT_EQ(Camera(true, std::string(35, 'A'), std::string(45, 'b')).Read(info), 1);
    EXPECT_EQ(std::string(info.cameraMake), std::string(31, 'A'));
    EXPECT_EQ(std::string(info.cameraModel), std::string(39, 'b'));
    // An orientation out of range is dropped without failing.
    EXPECT_EQ(Camera(false, "X", "Y", 8, 9).Read(info), 1);
    EXPECT_EQ(info.orientation, 0);
    EXPECT_STREQ(EXIF_GetErrorString(), "Undefined rotation value");
    // Wrong headers.
    Block bad(false);
    bad.Dir({}, 0);
    EXPECT_EQ(bad.Read(info, 10), 0);
    EXPECT_STREQ(EXIF_GetErrorString(), "Incorrect Exif header");
}

TEST(CarverExif, LoopsAndChainsEnd) {
    tag_ExifInfo info;
    for (bool mm : {false, true}) {
        Block self(mm);
        self.Dir({{0x010F, 2, 4, 0x00786946}, {0x8769, 4, 1, 8}}, 8); // make inline, both links to itself
        EXPECT_EQ(self.Read(info), 1);
        Block cycle(mm); // 8 -> 26 -> 8
        cycle.Dir({}, 26);
        cycle.PadTo(26);
        cycle.Dir({{0xA005, 4, 1, 8}}, 8);
        EXPECT_EQ(cycle.Read(info), 1);
        // Thousands of distinct directories each linking to the next: the
        // walk stops deep in the chain without exhausting the stack.
        Block chain(mm);
        for (int i = 0; i < 4000; ++i) chain.Dir({{0x8769, 4, 1, static_cast<std::uint32_t>(chain.Here() + 18)}}, 0);
        chain.Dir({}, 0);
        EXPECT_EQ(chain.Read(info, 65535), 1);
    }
}

TEST(CarverExif, SizesAreCheckedIn64Bits) {
    tag_ExifInfo info;
    Block wrap(false); // 0x40000000 rationals: 8 GiB, zero in 32 bits
    wrap.Dir({{0x920A, 5, 0x40000000, 20}}, 0);
    EXPECT_EQ(wrap.Read(info), 0);
    EXPECT_STREQ(EXIF_GetErrorString(), "Illegal pointer offset value in EXIF.");
    Block far(false); // 0xFFFFFFF0 + 0x20 wraps to 0x10
    far.Dir({{0x010F, 2, 0x20, 0xFFFFFFF0u}}, 0);
    EXPECT_EQ(far.Read(info), 0);
    // Data just past the segment's end (the length field counts itself) is refused.
    Block tail(false);
    tail.Dir({{0x010F, 2, 8, 26}}, 0);
    tail.Text("ABCDEFG");
    EXPECT_EQ(tail.Read(info), 1);
    EXPECT_STREQ(info.cameraMake, "ABCDEFG");
    EXPECT_EQ(tail.Read(info, 8 + 26 + 7), 0);
}

} // namespace
