// Candidate records, the zero-tail record and the shared text and byte helpers.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/RawUtility.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Sector = std::vector<unsigned char>;
using BruteForce::RawUtility;

// `data` non-zero bytes, the rest of the sector zero.
Sector Data(std::size_t data, std::size_t size = 512) {
    Sector s(size, 0);
    for (std::size_t i = 0; i < data; ++i) s[i] = static_cast<unsigned char>('A' + i % 26);
    return s;
}

// A zero-tail record shown the sectors in order: {last result, size}.
std::pair<int, unsigned long long> Stream(std::vector<Sector> sectors, unsigned unit = 1,
                                          unsigned long long cap = 1 << 20, const char* mark = nullptr) {
    CZeroEndRawFileInfo r;
    r.m_nUnit = unit;
    r.m_ullMaxSize = cap;
    if (mark) r.SetEndMark(mark, 4);
    int result = 2;
    for (Sector& s : sectors) {
        auto c = CRawFileInfo::SearchContext::For(s.data(), s.size(), 0, 100);
        if ((result = r.CalcRawSize(s.data(), static_cast<int>(s.size()), 0, c)) == 1) break;
    }
    return {result, r.m_ullFileSize};
}

using Result = std::pair<int, unsigned long long>;

TEST(CarverRecord, ZeroTailEdgeCases) {
    EXPECT_EQ(Stream({Data(472)}), Result(1, 472));
    EXPECT_EQ(Stream({Data(472)}, 4), Result(1, 472));
    EXPECT_EQ(Stream({Data(504)}), Result(1, 504)); // 8 zero bytes
    EXPECT_EQ(Stream({Data(512)}), Result(2, 512));
    EXPECT_EQ(Stream({Data(0)}), Result(1, 0));
    EXPECT_EQ(Stream({Data(4000, 4096)}, 4), Result(1, 4000));
    // Past the cap: exactly the cap, at the tail or while counting sectors.
    EXPECT_EQ(Stream({Data(512), Data(472)}, 1, 700), Result(1, 700));
    EXPECT_EQ(Stream(std::vector<Sector>(5, Data(512)), 1, 1100), Result(1, 1100));
    CRawFileInfo plain;
    auto c = CRawFileInfo::SearchContext::For(Data(0).data(), 512, 0, 1);
    EXPECT_FALSE(plain.WhetherImplementGuess());
    EXPECT_EQ(plain.CalcRawSize(Data(0).data(), 512, 0, c), 2);
}

// The bisection of the zero tail took a zero word inside the data for its start.
TEST(CarverRecord, InteriorZeroWordDoesNotCutTheFile) {
    Sector s = Data(472);
    std::memset(s.data() + 240, 0, 4);
    EXPECT_EQ(Stream({s}), Result(1, 472));
    EXPECT_EQ(Stream({s}, 4), Result(1, 472));
}

// Without the marker in reach the search went on with the size mid-sector.
TEST(CarverRecord, EndMarkSearchGoesOnFromTheSectorEnd) {
    Sector second = Data(100);
    std::memcpy(second.data() + 96, "%END", 4);
    EXPECT_EQ(Stream({Data(512), Data(400), second, Data(0)}, 1, 1 << 20, "%END"), Result(1, 1024 + 100));
}

// A marker matched in the zero tail moved the size past the cap.
TEST(CarverRecord, EndMarkInTheZeroTailKeepsTheCap) {
    EXPECT_EQ(Stream({Data(98)}, 1, 100, "\0\0\0\0"), Result(1, 100));
}

TEST(CarverRecord, TextAndByteHelpers) {
    EXPECT_EQ(ApiStrFilterBadFileName("a:b?c  "), "a_b_c");
    EXPECT_FALSE(ApiIsInvalidCharInFileName("Abc 09,-.@_"));
    EXPECT_TRUE(ApiIsInvalidCharInFileName("a/b"));
    const auto* hay = reinterpret_cast<const unsigned char*>("abcabd\0xy");
    EXPECT_EQ(Apimemstr(hay, 6, hay + 3, 3), hay + 3);
    EXPECT_EQ(Apimemstr(hay, 2, hay + 3, 3), nullptr);
    EXPECT_EQ(Apimemstr(hay, 6, hay, 0), nullptr);
    int matched = 0;
    EXPECT_EQ(Apimemstr(hay, 6, {{"bd", 2}, {"ca", 2}}, matched), hay + 2);
    EXPECT_EQ(Apimemstr(hay, 6, {{"abdx", 4}}, matched), nullptr);
    EXPECT_EQ(RawUtility::FindMagicInBuffer(hay, 6, 0, hay, 2), 5);     // "ab" at 3
    EXPECT_EQ(RawUtility::FindMagicInBuffer(hay, 9, 0, hay + 6, 2), 0); // starts on a 0 byte
    EXPECT_EQ(RawUtility::FindMagicInBuffer(hay, 6, 7, hay, 2), 0);     // length - back < 0
    EXPECT_EQ(RawUtility::Binary_Compare(Data(3, 8).data(), 8), 4);
    EXPECT_EQ(RawUtility::Binary_Compare(Data(100).data(), 512), 100);
    EXPECT_EQ(RawUtility::Binary_Compare(Data(0).data(), 512), 0);
}

TEST(CarverRecord, WindowAnswersOnlyBytesInside) {
    std::vector<std::uint8_t> buf(2048, 1);
    const CRawWindow w(buf.data(), buf.data() + buf.size(), buf.data() + 1024);
    EXPECT_EQ(w.At(-1024, 2048).size(), 2048u);
    EXPECT_TRUE(w.At(-1025, 1).empty() && w.At(1000, 25).empty());
    EXPECT_TRUE(w.At(0x7fffffffffffffffLL, 1).empty() && w.At(-0x7fffffffffffffffLL - 1, 1).empty());
    // A record given no window (or another sector's) reads one 512-byte sector.
    CRawFileInfo blank;
    EXPECT_EQ(blank.WindowAt(buf.data()).From(0).size(), 512u);
}

} // namespace
