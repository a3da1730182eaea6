// The JPEG analysers on hand-made pictures: acceptance by the header walk,
// where the streaming side accepts an end marker and where it stops without
// one, naming by camera, and the classic sizer's scan-data bound.
#include "engine/carver/analysers/JpegAnalyzer.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using BruteForce::JpegAnalyzer;

void Put(Bytes& b, std::initializer_list<unsigned> v) {
    for (unsigned x : v) b.push_back(static_cast<unsigned char>(x));
}

// FF D8, a quantisation table, a frame (marker, precision, components), a
// scan of `scanComponents`, entropy bytes up to `eoiAt` where FF D9 stands,
// then zeros to `total`.
Bytes Plain(std::size_t eoiAt, std::size_t total, unsigned height = 100, unsigned width = 100, unsigned sof = 0xC0,
            unsigned precision = 8, unsigned components = 3, unsigned scanComponents = 3) {
    Bytes b;
    Put(b, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43});
    b.resize(b.size() + 65, 1);
    Put(b, {0xFF, sof, 0x00, 8 + 3 * components, precision, height >> 8, height & 0xFF, width >> 8, width & 0xFF,
            components});
    for (unsigned c = 0; c < components; ++c) Put(b, {c + 1, 0x11, 0});
    Put(b, {0xFF, 0xDA, 0x00, 6 + 2 * scanComponents, scanComponents});
    for (unsigned c = 0; c < scanComponents; ++c) Put(b, {c + 1, 0});
    Put(b, {0, 63, 0});
    b.resize(eoiAt, 0x55);
    Put(b, {0xFF, 0xD9});
    b.resize(total, 0);
    return b;
}

// An EXIF-first picture: an APP1 block with make and model, then `Plain`.
Bytes ExifFirst(std::size_t eoiAt, std::size_t total) {
    Bytes b;
    Put(b, {0xFF, 0xD8, 0xFF, 0xE1, 0x00, 0x50, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0});
    Put(b, {2, 0, 0x0F, 0x01, 2, 0, 6, 0, 0, 0, 38, 0, 0, 0, 0x10, 0x01, 2, 0, 13, 0, 0, 0, 44, 0, 0, 0, 0, 0, 0, 0});
    for (const char* t : {"Canon", "Canon EOS 5D"}) b.insert(b.end(), t, t + std::strlen(t) + 1);
    b.resize(4 + 0x50, 0);
    Bytes rest = Plain(eoiAt - b.size() + 2, total - b.size() + 2);
    b.insert(b.end(), rest.begin() + 2, rest.end());
    return b;
}

// Shows the record every sector of `image` (the whole image as the window)
// as sector `first` on, until it finishes: its size, or -1 when it never does.
// At sector `next` the carver is said to have found another file.
long long Stream(JpegAnalyzer::JpegRawFileInfo& r, Bytes& image, unsigned ss, long long first = 0,
                 long long next = -1) {
    r.m_llStartSector = first;
    CRawFileInfo other;
    other.m_llStartSector = next;
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long i = 0; i < sectors; ++i) {
        unsigned char* p = image.data() + i * ss;
        const CRawWindow window(image.data(), image.data() + image.size(), p);
        auto c = CRawFileInfo::SearchContext::For(p, ss, first, first + sectors, &window);
        if (first + i == next) c.m_pNewInfo = &other;
        if (r.CalcRawSize(p, static_cast<int>(ss), first + i, c) == 1) return static_cast<long long>(r.m_ullFileSize);
    }
    return -1;
}

int Accepts(Bytes image) {
    JpegAnalyzer a;
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(image.data(), image.data() + image.size(), image.data());
    return a.AnalyseBufferEx(image.data(), blank, 512, 0, 0, static_cast<long long>(image.size() / 512));
}

TEST(CarverJpeg, HeaderWalkAcceptance) {
    EXPECT_EQ(Accepts(Plain(1000, 1024)), 1);
    EXPECT_EQ(Accepts(Plain(1000, 1024, 100, 100, 0xC2, 8, 1, 1)), 0); // progressive, one component
    EXPECT_EQ(Accepts(Plain(1000, 1024, 100, 100, 0xC2)), 1);
    EXPECT_EQ(Accepts(Plain(1000, 1024, 100, 100, 0xC0, 12)), 0);
    EXPECT_EQ(Accepts(Plain(1000, 1024, 100, 100, 0xC0, 8, 3, 1)), 0);
    Bytes cut = Plain(1000, 1024);
    cut.resize(80); // the walk runs out of data before the scan
    EXPECT_EQ(Accepts(cut), 0);
}

TEST(CarverJpeg, WhereTheEndMarkerCounts) {
    for (unsigned ss : {512u, 4096u}) {
        JpegAnalyzer a;
        auto record = [&] { return std::unique_ptr<JpegAnalyzer::JpegRawFileInfo>(
                                static_cast<JpegAnalyzer::JpegRawFileInfo*>(a.CreateRawFileInfo())); };
        Bytes image = Plain(3 * ss + 100, 6 * ss);
        EXPECT_EQ(Stream(*record(), image, ss), 3 * ss + 102);
        // Split by the sector boundary.
        image = Plain(3 * ss - 1, 6 * ss);
        EXPECT_EQ(Stream(*record(), image, ss), 3 * ss + 1);
        // In the last 8 bytes of a sector, or followed by a non-zero byte: no
        // end for the stream; with 500 x 401 pixels it is handed to the
        // classic walk where its bytes pass the pixel count.
        for (std::size_t at : {std::size_t{3 * ss - 6}, std::size_t{3 * ss + 100}}) {
            image = Plain(at, 600 * ss, 401, 500);
            if (at % ss == 100) image[at + 3] = 7;
            EXPECT_EQ(Stream(*record(), image, ss), 0);
        }
        // Random bytes after the picture and no pixel count: stopped at the
        // cap, left to the classic sizer with the cap kept.
        image = Plain(3 * ss + 100, JpegAnalyzer::JpegRawFileInfo::kPlainCap + 4 * ss);
        for (std::size_t i = 3 * ss + 102; i < image.size(); ++i) image[i] = static_cast<unsigned char>(i * 7 + 1);
        auto r = record();
        EXPECT_EQ(Stream(*r, image, ss), 0);
        EXPECT_EQ(r->m_llCapReached, JpegAnalyzer::JpegRawFileInfo::kPlainCap);
    }
}

TEST(CarverJpeg, ExifPictureNamedByCamera) {
    JpegAnalyzer a;
    std::unique_ptr<JpegAnalyzer::JpegRawFileInfo> r(
        static_cast<JpegAnalyzer::JpegRawFileInfo*>(a.CreateRawFileInfo()));
    Bytes image = ExifFirst(400 * 512 + 100, 402 * 512);
    EXPECT_EQ(Stream(*r, image, 512, 1000), 400 * 512 + 102);
    EXPECT_EQ(r->GetRawFileName(), "CANON_Canon EOS 5D_1000-1400");
    RAW_FILE_TAG tag;
    std::string value;
    r->GetRawFileTagAndValue(tag, value);
    EXPECT_EQ(tag, RAW_TAG_CAMERA);
    EXPECT_EQ(value, "CANON");
    // An end marker inside the quiet zone (the first 1024 bytes) is passed over.
    std::unique_ptr<JpegAnalyzer::JpegRawFileInfo> early(
        static_cast<JpegAnalyzer::JpegRawFileInfo*>(a.CreateRawFileInfo()));
    image = ExifFirst(700, 3 * 512);
    EXPECT_EQ(Stream(*early, image, 512), -1);
}

// The scan-data bound of width x height x 3 wrapped in 32 bits (21929 x 65286
// x 3 is 2786 past 2^32) and cut the picture there.
TEST(CarverJpeg, ClassicBoundIn64Bits) {
    salvor::test::TempDir dir;
    for (unsigned ss : {512u, 4096u}) {
        Bytes image = Plain(2 * ss + 3000, 2 * ss + 3000 + 2 * ss, 65286, 21929);
        std::ofstream(dir.file("j.img"), std::ios::binary)
            .write(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        salvor::test::ImageDevice device(dir.file("j.img"), ss);
        JpegAnalyzer a;
        CRawFileInfo r;
        ASSERT_EQ(a.Classic()->GetRawFileSize(r, &device), 1);
        EXPECT_EQ(r.m_ullFileSize, 2 * ss + 3002);
        EXPECT_EQ(r.m_eRawFileType, 35u);
    }
}

// Pictures stored back to back: the end marker 5 bytes or 1 byte before a
// sector's end, or before a sector of zeros, and the next picture from the
// following sector. The stream gives the first picture up where the next
// begins, and the classic sizer ends it at its end marker rather than run on
// through the next picture, whatever byte follows the marker.
TEST(CarverJpeg, BackToBackPictureEndsWhereTheNextBegins) {
    salvor::test::TempDir dir;
    struct Case {
        std::size_t zeros, gapSectors;
        bool stray;
    };
    for (unsigned ss : {512u, 4096u})
        for (const Case c : {Case{5, 0, false}, Case{1, 0, false}, Case{5, 1, false}, Case{5, 0, true}}) {
            SCOPED_TRACE(std::to_string(ss) + " " + std::to_string(c.zeros) + " " + std::to_string(c.gapSectors) +
                         (c.stray ? " stray" : ""));
            Bytes image = Plain(3 * ss - 2 - c.zeros, (3 + c.gapSectors) * ss, 1000, 1000);
            if (c.stray) image[3 * ss - 1] = 7;
            const long long next = static_cast<long long>(image.size() / ss);
            const Bytes second = Plain(2 * ss + 100, 4 * ss, 1000, 1000);
            image.insert(image.end(), second.begin(), second.end());
            std::ofstream(dir.file("b.img"), std::ios::binary)
                .write(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
            salvor::test::ImageDevice device(dir.file("b.img"), ss);
            JpegAnalyzer a;
            std::unique_ptr<JpegAnalyzer::JpegRawFileInfo> r(
                static_cast<JpegAnalyzer::JpegRawFileInfo*>(a.CreateRawFileInfo()));
            EXPECT_EQ(Stream(*r, image, ss, 0, next), 0);
            ASSERT_EQ(a.Classic()->GetRawFileSize(*r, &device), 1);
            EXPECT_EQ(r->m_ullFileSize, 3 * ss - c.zeros);
        }
}

// A JFIF start whose headers go on in bytes that are no markers: the header
// walk stops at the first of them (it used to read the next two bytes as a
// marker and a length and hop on through whatever followed).
TEST(CarverJpeg, HeaderWalkStopsAtAByteThatIsNoMarker) {
    salvor::test::TempDir dir;
    Bytes image;
    Put(image, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0});
    image.resize(20, 1);
    // A frame and a scan, each behind 00 where FF belongs.
    Put(image, {0x00, 0xC0, 0x00, 0x11, 8, 0, 100, 0, 100, 3, 1, 0x11, 0, 2, 0x11, 0, 3, 0x11, 0});
    Put(image, {0x00, 0xDA, 0x00, 0x0C, 3, 1, 0, 2, 0, 3, 0, 0, 63, 0});
    image.resize(3000, 0x55);
    Put(image, {0xFF, 0xD9});
    image.resize(4 * 512, 0);
    std::ofstream(dir.file("n.img"), std::ios::binary)
        .write(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice device(dir.file("n.img"), 512);
    JpegAnalyzer a;
    CRawFileInfo r;
    EXPECT_EQ(a.Classic()->GetRawFileSize(r, &device), 0);
    EXPECT_EQ(r.m_ullFileSize, 0u);
}

// Another file found inside a picture's headers (at sector 2): a chain of
// comment segments that runs over it stops the walk there; a thumbnail in
// the EXIF block (its start on the sector border) leaves the picture whole.
TEST(CarverJpeg, HeaderWalkStopsAtTheNextStartButForAThumbnail) {
    salvor::test::TempDir dir;
    const Bytes rest = Plain(600, 1200, 100, 100);
    for (const bool thumbnail : {false, true}) {
        SCOPED_TRACE(thumbnail ? "thumbnail" : "comment chain");
        Bytes image;
        if (thumbnail) {
            Put(image, {0xFF, 0xD8, 0xFF, 0xE1, 0x06, 0x00, 'E', 'x', 'i', 'f', 0, 0});
            image.resize(2 + 0x602, 0);
            std::memcpy(image.data() + 1024, rest.data(), 100);
        } else {
            Put(image, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0});
            image.resize(20, 1);
            for (int i = 0; i < 3; ++i) {
                Put(image, {0xFF, 0xFE, 0x7F, 0xFF});
                image.resize(image.size() + 0x7FFD, 2);
            }
        }
        const std::size_t end = image.size() + 600 - 2 + 2;
        image.insert(image.end(), rest.begin() + 2, rest.end());
        image.resize((image.size() + 511) / 512 * 512, 0);
        std::ofstream(dir.file("t.img"), std::ios::binary)
            .write(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
        salvor::test::ImageDevice device(dir.file("t.img"), 512);
        JpegAnalyzer a;
        std::unique_ptr<JpegAnalyzer::JpegRawFileInfo> r(
            static_cast<JpegAnalyzer::JpegRawFileInfo*>(a.CreateRawFileInfo()));
        EXPECT_EQ(Stream(*r, image, 512, 0, 2), 0);
        EXPECT_EQ(a.Classic()->GetRawFileSize(*r, &device), thumbnail ? 1 : 0);
        if (thumbnail) {
            EXPECT_EQ(r->m_ullFileSize, end);
        }
    }
}

} // namespace

// ImageMagick's pictures (tests/fixtures/photo_samples.sh) followed by old
// data and then another picture: the classic walk of markers and scan data
// ends each at its own end marker, past end markers inside an EXIF
// thumbnail (a5.jpg) and across the scans of a progressive picture (a4.jpg);
// restart markers and stuffed bytes in the scan data do not stop it.
TEST(CarverJpeg, WalkEndsAtTheImagesOwnEndWhateverFollows) {
    salvor::test::TempDir dir;
    const auto sample = [](const char* name) {
        std::ifstream in(salvor::test::FixtureFile("photo_samples", name), std::ios::binary);
        return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    };
    Bytes restarts = sample("a3.jpg");
    // Restart markers and a stuffed byte spliced into the scan data.
    static constexpr unsigned char kSos[] = {0xFF, 0xDA};
    const std::size_t scan = static_cast<std::size_t>(
        std::search(restarts.begin(), restarts.end(), std::begin(kSos), std::end(kSos)) - restarts.begin());
    ASSERT_LT(scan + 400, restarts.size());
    restarts.insert(restarts.begin() + static_cast<long>(scan + 300), {0xFF, 0xD0, 0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD7});
    for (unsigned ss : {512u, 4096u})
        for (const char* name : {"a.jpg", "a3.jpg", "a4.jpg", "a5.jpg", "restarts"}) {
            SCOPED_TRACE(std::string(name) + " " + std::to_string(ss));
            const Bytes picture = std::string(name) == "restarts" ? restarts : sample(name);
            ASSERT_FALSE(picture.empty());
            Bytes image = picture;
            std::uint32_t seed = 5;
            while (image.size() % ss || image.size() < picture.size() + 3 * ss)
                image.push_back(static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24));
            const Bytes next = sample("small.jpg");
            image.insert(image.end(), next.begin(), next.end());
            image.resize((image.size() + ss - 1) / ss * ss, 0);
            std::ofstream(dir.file("w.img"), std::ios::binary)
                .write(reinterpret_cast<char*>(image.data()), static_cast<std::streamsize>(image.size()));
            salvor::test::ImageDevice device(dir.file("w.img"), ss);
            JpegAnalyzer a;
            CRawFileInfo r;
            ASSERT_EQ(a.Classic()->GetRawFileSize(r, &device), 1);
            EXPECT_EQ(r.m_ullFileSize, picture.size());
        }
}
