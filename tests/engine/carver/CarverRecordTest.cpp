// Candidate records, the zero-tail record and the shared text and byte helpers.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/RawUtility.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Sector = std::vector<unsigned char>;

// `data` non-zero bytes, the rest of the sector zero.
Sector Data(std::size_t data, std::size_t size = 512) {
    Sector s(size, 0);
    for (std::size_t i = 0; i < data; ++i) s[i] = static_cast<unsigned char>('A' + i % 26);
    return s;
}

CZeroEndRawFileInfo ZeroEnd(unsigned unit, unsigned long long cap = 1 << 20) {
    CZeroEndRawFileInfo r;
    r.m_nUnit = unit;
    r.m_ullMaxSize = cap;
    return r;
}

// Shows the record its sectors in order; answers the last result.
int Stream(CRawFileInfo& r, std::vector<Sector> sectors) {
    int result = 2;
    long long n = 0;
    for (Sector& s : sectors) {
        auto c = CRawFileInfo::SearchContext::For(s.data(), s.size(), 0, 100);
        result = r.CalcRawSize(s.data(), static_cast<int>(s.size()), n++, c);
        if (result == 1) break;
    }
    return result;
}

TEST(CarverRecord, ZeroTailEdgeCases) {
    struct Case {
        std::size_t data, size;
        unsigned unit;
        unsigned long long expect;
        int result;
    } cases[] = {
        {472, 512, 1, 472, 1},   {472, 512, 4, 472, 1},    {504, 512, 1, 504, 1},
        {512, 512, 1, 512, 2},   {0, 512, 1, 0, 1},        {4000, 4096, 4, 4000, 1},
    };
    for (const Case& c : cases) {
        CZeroEndRawFileInfo r = ZeroEnd(c.unit);
        EXPECT_TRUE(r.WhetherImplementGuess());
        EXPECT_EQ(Stream(r, {Data(c.data, c.size)}), c.result) << c.data;
        EXPECT_EQ(r.m_ullFileSize, c.expect) << c.data << "/" << c.size;
    }
    // Past the cap: finished at exactly the cap, whether at the tail or while counting.
    CZeroEndRawFileInfo capped = ZeroEnd(1, 700);
    EXPECT_EQ(Stream(capped, {Data(512), Data(472)}), 1);
    EXPECT_EQ(capped.m_ullFileSize, 700u);
    CZeroEndRawFileInfo endless = ZeroEnd(1, 1100);
    EXPECT_EQ(Stream(endless, std::vector<Sector>(5, Data(512))), 1);
    EXPECT_EQ(endless.m_ullFileSize, 1100u);
    // A plain record never finishes and is not streaming.
    CRawFileInfo plain;
    EXPECT_FALSE(plain.WhetherImplementGuess());
    EXPECT_EQ(Stream(plain, {Data(0), Data(10)}), 2);
}

// The bisection of the zero tail took a zero word inside the data for its start.
TEST(CarverRecord, InteriorZeroWordDoesNotCutTheFile) {
    for (unsigned unit : {1u, 4u}) {
        Sector s = Data(472);
        std::memset(s.data() + 240, 0, 4);
        CZeroEndRawFileInfo r = ZeroEnd(unit);
        EXPECT_EQ(Stream(r, {s}), 1);
        EXPECT_EQ(r.m_ullFileSize, 472u) << unit;
    }
}

// Without the marker in reach the search went on with the size mid-sector.
TEST(CarverRecord, EndMarkSearchGoesOnFromTheSectorEnd) {
    CZeroEndRawFileInfo r = ZeroEnd(1);
    r.SetEndMark("%%END", 5);
    Sector second = Data(100);
    std::memcpy(second.data() + 95, "%%END", 5);
    EXPECT_EQ(Stream(r, {Data(512), Data(400), second, Data(0)}), 1);
    EXPECT_EQ(r.m_ullFileSize, 1024u + 100u);
}

// A marker matched in the zero tail moved the size past the cap.
TEST(CarverRecord, EndMarkInTheZeroTailKeepsTheCap) {
    CZeroEndRawFileInfo r = ZeroEnd(1, 100);
    r.SetEndMark("\0\0\0\0", 4);
    EXPECT_EQ(Stream(r, {Data(98)}), 1);
    EXPECT_EQ(r.m_ullFileSize, 100u);
}

TEST(CarverRecord, TextAndByteHelpers) {
    EXPECT_EQ(ApiStrFilterBadFileName("a:b?c  "), "a_b_c");
    EXPECT_EQ(ApiStrFilterBadFileName("   "), "");
    EXPECT_FALSE(ApiIsInvalidCharInFileName("Abc 09,-.@_"));
    EXPECT_TRUE(ApiIsInvalidCharInFileName("a/b"));
    EXPECT_FALSE(ApiIsInvalidCharInFileName(""));
    CRawFileInfo r;
    r.m_strFileName = "x|y ";
    EXPECT_EQ(r.GetRawFileName(), "x_y");
    r.SetRawFileTagAndValue(RAW_TAG_CAMERA, "Canon*");
    RAW_FILE_TAG tag;
    std::string value;
    r.GetRawFileTagAndValue(tag, value);
    EXPECT_EQ(tag, RAW_TAG_CAMERA);
    EXPECT_EQ(value, "Canon_");

    const auto* hay = reinterpret_cast<const unsigned char*>("abcabd");
    const auto* abd = reinterpret_cast<const unsigned char*>("abd");
    EXPECT_EQ(Apimemstr(hay, 6, abd, 3), hay + 3);
    EXPECT_EQ(Apimemstr(hay, 2, abd, 3), nullptr);
    EXPECT_EQ(Apimemstr(hay, 0, abd, 1), nullptr);
    EXPECT_EQ(Apimemstr(hay, 6, abd, 0), nullptr);
    int matched = 0;
    EXPECT_EQ(Apimemstr(hay, 6, {{"bd", 2}, {"ca", 2}}, matched), hay + 2);
    EXPECT_EQ(matched, 2);
    EXPECT_EQ(Apimemstr(hay, 6, {{"abdx", 4}}, matched), nullptr);

    using BruteForce::RawUtility;
    const unsigned char le[] = {0x01, 0x02, 0x03, 0x04};
    EXPECT_EQ(RawUtility::EXIF_Get32s(le, true), 0x04030201u);
    EXPECT_EQ(RawUtility::EXIF_Get16s(le, false), 0x0102u);
    const unsigned char buf[] = {'x', 'y', 0, 'x', 'y', 'z'};
    const unsigned char xy[] = {'x', 'y'}, zero[] = {0, 'x'};
    EXPECT_EQ(RawUtility::FindMagicInBuffer(buf, 6, 0, xy, 2), 5);
    EXPECT_EQ(RawUtility::FindMagicInBuffer(buf, 6, 4, xy, 2), 2);
    EXPECT_EQ(RawUtility::FindMagicInBuffer(buf, 6, 4, zero, 2), 0);
    EXPECT_EQ(RawUtility::FindMagicInBuffer(buf, 6, 7, xy, 2), 0);
    EXPECT_EQ(RawUtility::Binary_Compare(Data(3, 8).data(), 8), 4);
    EXPECT_EQ(RawUtility::Binary_Compare(Data(100).data(), 512), 100);
    EXPECT_EQ(RawUtility::Binary_Compare(Data(0).data(), 512), 0);
}

TEST(CarverRecord, WindowAnswersOnlyBytesInside) {
    std::vector<std::uint8_t> buf(2048, 1);
    const CRawWindow w(buf.data(), buf.data() + buf.size(), buf.data() + 1024, 5000);
    EXPECT_EQ(w.At(-1024, 2048).size(), 2048u);
    EXPECT_TRUE(w.At(-1025, 1).empty());
    EXPECT_TRUE(w.At(1000, 25).empty());
    EXPECT_EQ(w.At(1000, 24).size(), 24u);
    EXPECT_TRUE(w.At(0x7fffffffffffffffLL, 1).empty());
    EXPECT_TRUE(w.At(-0x7fffffffffffffffLL - 1, 1).empty());
    EXPECT_EQ(w.BytesToDeviceEnd(), 5000u);
    // A record given no window (or another sector's) reads one 512-byte sector.
    CRawFileInfo blank;
    EXPECT_EQ(blank.WindowAt(buf.data()).From(0).size(), 512u);
    blank.m_Window = w;
    EXPECT_EQ(blank.WindowAt(buf.data() + 1024).From(0).size(), 1024u);
}

} // namespace
