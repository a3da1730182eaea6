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

using BruteForce::CEPSAnalyser;
using Bytes = std::vector<unsigned char>;

Bytes Binary(std::uint32_t psOff, std::uint32_t psLen, std::uint32_t tiffOff, std::uint32_t tiffLen) {
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

// Analyses the sector with a window of `deviceBytes` to the device's end.
int Analyse(CEPSAnalyser& eps, Bytes& s, CRawFileInfo& blank, std::uint64_t deviceBytes = 1 << 30) {
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), deviceBytes);
    return eps.AnalyseBuffer(s.data(), blank);
}

TEST(CarverEps, Acceptance) {
    CEPSAnalyser eps;
    EXPECT_EQ(eps.m_nType, 0xFFFFFFFFu);
    struct Case {
        Bytes sector;
        int hit;
        unsigned long long size;
    } cases[] = {
        {Text("%!PS-Adobe-3.0 EPSF-3.0\n"), 1, 0},
        {Text("%!PSX-Adobe-3.0"), 0, 0},
        {Text("%!PDF-1.4"), 0, 0},
        {Binary(30, 1000, 1030, 5000), 1, 6030},
        {Binary(0, 0, 0, 0), 0, 0},
    };
    for (Case& c : cases) {
        CRawFileInfo blank;
        EXPECT_EQ(Analyse(eps, c.sector, blank), c.hit) << c.sector[1];
        EXPECT_EQ(blank.m_ullFileSize, c.size);
        EXPECT_EQ(blank.m_eRawFileType, c.hit ? 27u : 0u);
    }
    Bytes text = Text("%!PS-Adobe-2.0 EPSF-2.0");
    CRawFileInfo blank;
    ASSERT_EQ(Analyse(eps, text, blank), 1);
    std::unique_ptr<CRawFileInfo> r(eps.CreateRawFileInfo());
    auto* zero = dynamic_cast<CZeroEndRawFileInfo*>(r.get());
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(zero->m_ullMaxSize, 0x514000000ull);
    EXPECT_EQ(zero->m_nUnit, 1u);
    EXPECT_EQ(zero->m_nEndMarkLen, 0u);
    EXPECT_EQ(zero->m_eRawFileType, 27u);
}

// The flag stayed set for the rest of the carve once a text EPS was seen.
TEST(CarverEps, TextFlagIsPerHit) {
    CEPSAnalyser eps;
    Bytes text = Text("%!PS-Adobe-3.0"), binary = Binary(30, 100, 0, 0);
    CRawFileInfo a, b;
    ASSERT_EQ(Analyse(eps, text, a), 1);
    ASSERT_EQ(Analyse(eps, binary, b), 1);
    std::unique_ptr<CRawFileInfo> r(eps.CreateRawFileInfo());
    EXPECT_FALSE(r->WhetherImplementGuess());
}

// Offset + length of a section wrapped in 32 bits.
TEST(CarverEps, SectionEndsSumIn64Bits) {
    CEPSAnalyser eps;
    Bytes s = Binary(0xFFFFFFF0u, 0x20, 30, 100);
    CRawFileInfo blank;
    ASSERT_EQ(Analyse(eps, s, blank, 1ull << 40), 1);
    EXPECT_EQ(blank.m_ullFileSize, 0x100000010ull);
}

TEST(CarverEps, SizePastTheDeviceEndRefused) {
    CEPSAnalyser eps;
    Bytes s = Binary(30, 1000, 1030, 5000);
    CRawFileInfo a, b;
    EXPECT_EQ(Analyse(eps, s, a, 6029), 0);
    EXPECT_EQ(Analyse(eps, s, b, 6030), 1);
}

class CarverSamples : public ::testing::TestWithParam<unsigned> {};

// Each sample at sector 0 of a device, zero sectors after it, streamed sector
// by sector as the carver shows them.
TEST_P(CarverSamples, SizedToTheirLength) {
    const unsigned ss = GetParam();
    for (const char* name : {"i.eps", "i2.eps", "i3.eps"}) {
        const std::string path = salvor::test::FixtureFile("eps_samples", name);
        ASSERT_FALSE(path.empty());
        std::ifstream in(path, std::ios::binary);
        Bytes image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t length = image.size();
        image.resize((length + ss - 1) / ss * ss + 2 * ss, 0);
        CEPSAnalyser eps;
        CRawFileInfo blank;
        ASSERT_EQ(Analyse(eps, image, blank, image.size()), 1) << name;
        std::unique_ptr<CRawFileInfo> r(eps.CreateRawFileInfo());
        r->m_ullFileSize = blank.m_ullFileSize;
        if (blank.m_ullFileSize == 0) {
            ASSERT_TRUE(r->WhetherImplementGuess()) << name;
            int result = 2;
            for (std::size_t at = 0; at < image.size() && result != 1; at += ss) {
                auto c = CRawFileInfo::SearchContext::For(image.data() + at, ss, 0, 0);
                result = r->CalcRawSize(image.data() + at, static_cast<int>(ss), at / ss, c);
            }
            EXPECT_EQ(result, 1) << name;
        }
        EXPECT_EQ(r->m_ullFileSize, length) << name << " on " << ss;
    }
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CarverSamples, ::testing::Values(512u, 4096u));

class CarverEndSignBase : public ::testing::Test {
protected:
    // A device of `sectors` sectors of 'a' with the marker text at `at`, zero from `zeroFrom`.
    std::unique_ptr<salvor::test::ImageDevice> Device(unsigned ss, std::size_t sectors, std::size_t at,
                                                      const char* text, std::size_t zeroFrom) {
        Bytes image(sectors * ss, 'a');
        std::memcpy(image.data() + at, text, std::strlen(text));
        std::fill(image.begin() + static_cast<long>(zeroFrom), image.end(), 0);
        const std::string path = dir.file("d" + std::to_string(n++) + ".img");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        return std::make_unique<salvor::test::ImageDevice>(path, ss);
    }
    static unsigned long long Size(IStorageDevice* dev, const char* marker = "</html>", int caseSensitive = 1,
                                   unsigned long long limit = 0) {
        SearchSignCodeInfo sign;
        std::memcpy(sign.m_szSign, marker, std::strlen(marker));
        sign.m_nSignLen = static_cast<unsigned>(std::strlen(marker));
        sign.m_ullMaxSize = limit;
        CRawFileInfo record;
        EXPECT_EQ(SearchSignFileAnalyser::SearchEndSignCode(record, dev, sign, caseSensitive), 1);
        EXPECT_EQ(std::memcmp(sign.m_szSign, marker, sign.m_nSignLen), 0);
        return record.m_ullFileSize;
    }
    salvor::test::TempDir dir;
    int n = 0;
};

class CarverEndSign : public CarverEndSignBase, public ::testing::WithParamInterface<unsigned> {};

TEST_P(CarverEndSign, EdgeCases) {
    const unsigned ss = GetParam();
    // Mid-sector, in a sector ending in zero bytes: just past the marker.
    EXPECT_EQ(Size(Device(ss, 4, 3 * ss + 100, "</html>", 3 * ss + 300).get()), 3u * ss + 107);
    // Case-insensitive: the upper-case form in the sector.
    EXPECT_EQ(Size(Device(ss, 4, ss + 10, "</HTML>", ss + 40).get(), "</html>", 0), ss + 17u);
    // ... and either form cut by a sector boundary.
    EXPECT_EQ(Size(Device(ss, 3, ss - 3, "</html>", ss + 4).get(), "</HTML>", 0), ss + 4u);
    // No marker: the last sector reached (the device's end), or past the limit.
    EXPECT_EQ(Size(Device(ss, 4, 0, "", 4 * ss).get()), 4u * ss);
    EXPECT_EQ(Size(Device(ss, 4, 0, "", 4 * ss).get(), "</html>", 1, ss), 2u * ss);
    EXPECT_EQ(SearchSignFileAnalyser::SearchEndSignCode(*std::make_unique<CRawFileInfo>(), nullptr, {}, 1), 0);
}

// The look-back before a page's first sector reached in front of the page memory.
TEST_P(CarverEndSign, LookBackAtAPageStart) {
    const unsigned ss = GetParam();
    EXPECT_EQ(Size(Device(ss, 130, 128 * ss - 3, "</html>", 128 * ss + 4).get()), 128u * ss + 4);
}

// "found -> size o + L" sized a marker cut by the boundary at o past its end.
TEST_P(CarverEndSign, CutMarkerSizedJustPastIt) {
    const unsigned ss = GetParam();
    EXPECT_EQ(Size(Device(ss, 3, ss - 5, "</html>", ss + 2).get()), ss + 2u);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CarverEndSign, ::testing::Values(512u, 4096u));

// The sector size was fixed by the first call in the process.
TEST_F(CarverEndSignBase, SectorSizeOfEachDevice) {
    EXPECT_EQ(Size(Device(512, 4, 600, "</html>", 700).get()), 607u);
    EXPECT_EQ(Size(Device(4096, 2, 2000, "</html>", 3000).get()), 2007u);
}

} // namespace
