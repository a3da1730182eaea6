// The EPS analyser on hand-made headers and on samples made by ImageMagick,
// Ghostscript and epstool, and the end-marker search.
#include "engine/carver/SearchSignFileAnalyser.h"
#include "engine/carver/analysers/EpsAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Binary(std::uint32_t psOff, std::uint32_t psLen, std::uint32_t tiffOff = 0, std::uint32_t tiffLen = 0) {
    Bytes s(512, 0);
    const std::uint32_t fields[] = {0xC6D3D0C5u, psOff, psLen, 0, 0, tiffOff, tiffLen};
    std::memcpy(s.data(), fields, sizeof fields);
    return s;
}

Bytes Text(const char* head) {
    Bytes s(512, 'x');
    std::memcpy(s.data(), head, std::strlen(head));
    return s;
}

// Analyses the sector at `at` of `s` with `deviceBytes` to the device's end: {hit, size}.
struct Eps {
    BruteForce::CEPSAnalyser eps;
    std::pair<int, unsigned long long> Analyse(Bytes s, std::uint64_t deviceBytes = 1 << 30) {
        CRawFileInfo blank;
        blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), deviceBytes);
        const int hit = eps.AnalyseBuffer(s.data(), blank);
        EXPECT_EQ(blank.m_eRawFileType, hit ? 27u : 0u);
        return {hit, blank.m_ullFileSize};
    }
    std::unique_ptr<CRawFileInfo> Create() { return std::unique_ptr<CRawFileInfo>(eps.CreateRawFileInfo()); }
};
using Hit = std::pair<int, unsigned long long>;

TEST(CarverEps, Acceptance) {
    Eps e;
    EXPECT_EQ(e.Analyse(Text("%!PSX-Adobe-3.0")), Hit(0, 0));
    EXPECT_EQ(e.Analyse(Binary(30, 1000, 1030, 5000)), Hit(1, 6030));
    EXPECT_EQ(e.Analyse(Binary(0, 0)), Hit(0, 0));
    EXPECT_EQ(e.Analyse(Text("%!PS-Adobe-3.0 EPSF-3.0")), Hit(1, 0));
    auto* zero = dynamic_cast<CZeroEndRawFileInfo*>(e.Create().release());
    ASSERT_NE(zero, nullptr);
    EXPECT_TRUE(zero->m_ullMaxSize == 0x514000000ull && zero->m_nUnit == 1 && zero->m_nEndMarkLen == 0);
    delete zero;
}

// The flag stayed set for the rest of the carve once a text EPS was seen.
TEST(CarverEps, TextFlagIsPerHit) {
    Eps e;
    e.Analyse(Text("%!PS-Adobe-3.0"));
    e.Analyse(Binary(30, 100));
    EXPECT_FALSE(e.Create()->WhetherImplementGuess());
}

// Offset + length of a section wrapped in 32 bits.
TEST(CarverEps, SectionEndsSumIn64Bits) {
    EXPECT_EQ(Eps().Analyse(Binary(0xFFFFFFF0u, 0x20), 1ull << 40), Hit(1, 0x100000010ull));
}

TEST(CarverEps, SizePastTheDeviceEndRefused) {
    EXPECT_EQ(Eps().Analyse(Binary(30, 1000, 1030, 5000), 6029).first, 0);
}

// Each sample at sector 0 with zero sectors after it, streamed sector by
// sector as the carver shows them.
TEST(CarverEps, ToolMadeSamplesSizedToTheirLength) {
    for (unsigned ss : {512u, 4096u}) {
        for (const char* name : {"i.eps", "i2.eps", "i3.eps"}) {
            std::ifstream in(salvor::test::FixtureFile("eps_samples", name), std::ios::binary);
            Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ASSERT_FALSE(image.empty()) << name;
            const std::size_t length = image.size();
            image.resize((length + ss - 1) / ss * ss + 2 * ss, 0);
            Eps e;
            const Hit hit = e.Analyse(image, image.size());
            auto r = e.Create();
            r->m_ullFileSize = hit.second;
            for (std::size_t at = 0; !hit.second && at < image.size(); at += ss) {
                auto c = CRawFileInfo::SearchContext::For(image.data() + at, ss, 0, 0);
                if (r->CalcRawSize(image.data() + at, static_cast<int>(ss), at / ss, c) == 1) break;
            }
            EXPECT_EQ(r->m_ullFileSize, length) << name << " on " << ss;
        }
    }
}

class CarverEndSign : public ::testing::TestWithParam<unsigned> {
protected:
    // The size found on a device of `sectors` sectors of 'a' with `text` at
    // `at`, zero from `zeroFrom`.
    unsigned long long Size(std::size_t sectors, std::size_t at, const char* text, std::size_t zeroFrom,
                            const char* marker = "</html>", int caseSensitive = 1, unsigned long long limit = 0) {
        Bytes image(sectors * ss, 'a');
        std::memcpy(image.data() + at, text, std::strlen(text));
        std::fill(image.begin() + static_cast<long>(zeroFrom), image.end(), 0);
        std::ofstream(dir.file("d.img"), std::ios::binary).write(reinterpret_cast<char*>(image.data()), image.size());
        salvor::test::ImageDevice dev(dir.file("d.img"), ss);
        SearchSignCodeInfo sign;
        sign.m_nSignLen = static_cast<unsigned>(std::strlen(marker));
        std::memcpy(sign.m_szSign, marker, sign.m_nSignLen);
        sign.m_ullMaxSize = limit;
        CRawFileInfo record;
        EXPECT_EQ(SearchSignFileAnalyser::SearchEndSignCode(record, &dev, sign, caseSensitive), 1);
        EXPECT_EQ(std::memcmp(sign.m_szSign, marker, sign.m_nSignLen), 0); // the caller's marker stays
        return record.m_ullFileSize;
    }
    unsigned ss = GetParam();
    salvor::test::TempDir dir;
};

TEST_P(CarverEndSign, EdgeCases) {
    EXPECT_EQ(Size(4, 3 * ss + 100, "</html>", 3 * ss + 300), 3u * ss + 107); // mid-sector
    EXPECT_EQ(Size(4, ss + 10, "</HTML>", ss + 40, "</html>", 0), ss + 17u);
    EXPECT_EQ(Size(3, ss - 3, "</html>", ss + 4, "</HTML>", 0), ss + 4u); // either case across sectors
    EXPECT_EQ(Size(4, 0, "", 4 * ss), 4u * ss);                           // no marker: the device's end
    EXPECT_EQ(Size(4, 0, "", 4 * ss, "</html>", 1, ss), 2u * ss);         // ... or past the limit
    CRawFileInfo record;
    EXPECT_EQ(SearchSignFileAnalyser::SearchEndSignCode(record, nullptr, {}, 1), 0);
}

// The look-back before a page's first sector reached in front of the page memory.
TEST_P(CarverEndSign, LookBackAtAPageStart) { EXPECT_EQ(Size(130, 128 * ss - 3, "</html>", 128 * ss + 4), 128u * ss + 4); }

// "found -> size o + L" sized a marker cut by the boundary at o past its end.
TEST_P(CarverEndSign, CutMarkerSizedJustPastIt) { EXPECT_EQ(Size(3, ss - 5, "</html>", ss + 2), ss + 2u); }

// The sector size was fixed by the first call in the process.
TEST_P(CarverEndSign, SectorSizeOfEachDevice) {
    for (int i = 0; i < 2; ++i, ss = 4608 - ss) // this size, then the other in the same process
        EXPECT_EQ(Size(8192 / ss, 2000, "</html>", 3000), ss == 512 ? 2560u : 2007u);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CarverEndSign, ::testing::Values(512u, 4096u));

} // namespace
