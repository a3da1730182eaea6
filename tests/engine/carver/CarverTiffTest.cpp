// The classic TIFF sizer on files made by ImageMagick and exiftool and on
// synthetic headers (synthetic: they check the sizer's rules on a make, a
// start or a size no tool here writes).
#include "engine/carver/analysers/TiffAnalyzer.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct Sized {
    unsigned long long size, unclamped; // the size filed, and before it is cut at the device's end
    unsigned type;
    std::string name, label;
};

// The classic sizing of `file` at sector 0 of a device padded with 8 zero sectors.
Sized Size(Bytes file, unsigned ss) {
    salvor::test::TempDir dir;
    file.resize((file.size() + ss - 1) / ss * ss + 8 * ss, 0);
    std::ofstream(dir.file("t.img"), std::ios::binary)
        .write(reinterpret_cast<char*>(file.data()), static_cast<std::streamsize>(file.size()));
    salvor::test::ImageDevice device(dir.file("t.img"), ss);
    BruteForce::TiffAnalyzer tiff;
    CRawFileInfo r;
    EXPECT_EQ(tiff.Classic()->GetRawFileSize(r, &device), 1);
    RAW_FILE_TAG tag;
    std::string label;
    r.GetRawFileTagAndValue(tag, label);
    CRawFileInfo again;
    return {r.m_ullFileSize, tiff.Classic()->GetTiffSize(again, &device), r.m_eRawFileType, r.GetRawFileName(), label};
}

// A little-endian file: `start` (4 bytes), first directory at 8 with a make,
// a model and one strip from 200 over `strip` bytes, `total` bytes long.
Bytes Synthetic(const char* start, const std::string& make, const std::string& model, std::uint32_t strip,
                std::size_t total) {
    Bytes b(total, 0);
    std::memcpy(b.data(), start, 4);
    const std::uint32_t fields[] = {8};
    std::memcpy(b.data() + 4, fields, 4);
    auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) b[at + i] = static_cast<unsigned char>(v >> 8 * i);
    };
    put(8, 4, 2);
    const std::uint32_t entries[4][4] = {{0x010F, 2, static_cast<std::uint32_t>(make.size() + 1), 100},
                                         {0x0110, 2, static_cast<std::uint32_t>(model.size() + 1), 140},
                                         {0x0111, 4, 1, 200},
                                         {0x0117, 4, 1, strip}};
    for (int e = 0; e < 4; ++e) {
        put(10 + 12 * e, entries[e][0], 2);
        put(12 + 12 * e, entries[e][1], 2);
        put(14 + 12 * e, entries[e][2], 4);
        put(18 + 12 * e, entries[e][3], 4);
    }
    std::memcpy(b.data() + 100, make.c_str(), make.size());
    std::memcpy(b.data() + 140, model.c_str(), model.size());
    std::fill(b.begin() + 200, b.begin() + 200 + strip, 0x5A);
    return b;
}

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("tiff_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(CarverTiff, ToolMadeFilesSizedTypedAndNamed) {
    for (unsigned ss : {512u, 4096u}) {
        for (const char* name : {"e.tif", "e2.tif", "e3.tif", "tiled.tif", "pyramid.tif"}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(ss));
            const Bytes file = Sample(name);
            ASSERT_FALSE(file.empty());
            const Sized s = Size(file, ss);
            EXPECT_GE(s.size, file.size());
            EXPECT_LE(s.size, file.size() + 2 * ss);
            const std::string n = name;
            if (n == "e.tif" || n == "e2.tif") {
                EXPECT_EQ(s.type, 77u);
                EXPECT_EQ(s.name, "NIKON CORPORATION_NIKON D750");
                EXPECT_EQ(s.label, "NIKON CORPORATION");
            } else {
                EXPECT_EQ(s.type, n == "e3.tif" ? 88u : 64u);
            }
        }
    }
}

TEST(CarverTiff, MakeTableAndStarts) {
    EXPECT_EQ(Size(Synthetic("IIU\0", "Panasonic", "DMC-GH4", 20000, 30000), 512).type, 87u);
    EXPECT_EQ(Size(Synthetic("IIU\0", "Panasonic", "GH4", 20000, 30000), 512).type, 86u);
    EXPECT_EQ(Size(Synthetic("II*\0", "Panasonic", "GH4", 20000, 30000), 512).type, 87u);
    EXPECT_EQ(Size(Synthetic("IIRO", "OLYMPUS IMAGING CORP.", "E-M5", 20000, 30000), 512).type, 107u);
    EXPECT_EQ(Size(Synthetic("II*\0", "SONY", "DSC-R1", 20000, 30000), 512).type, 84u);
    EXPECT_EQ(Size(Synthetic("II*\0", "Pentax", "K-5", 20000, 30000), 512).type, 104u);
    const Sized other = Size(Synthetic("II*\0", "Acme", "Scanner 1", 20000, 30000), 512);
    EXPECT_EQ(other.type, 64u);
    EXPECT_EQ(other.name, "ACME_Scanner 1");
    EXPECT_EQ(other.label, "ACME");
}

// A file whose data ends below 10,240 bytes ends with the sector of its
// farthest byte, not at a fixed 130,862,284 bytes (which ran through whatever
// followed it).
TEST(CarverTiff, SmallDataGivesTheFallbackSize) {
    for (unsigned ss : {512u, 4096u}) {
        const Sized s = Size(Synthetic("II*\0", "NIKON", "D1", 4800, 6000), ss);
        EXPECT_EQ(s.unclamped, (200u + 4800u + ss - 1) / ss * ss);
        EXPECT_EQ(s.size, s.unclamped);
    }
    // A small file whose last sector is not zero-tailed grows to the sector
    // that is, and keeps it.
    Bytes b = Synthetic("II*\0", "NIKON", "D1", 20000, 40000);
    std::fill(b.begin() + 20200, b.begin() + 30000, 0x33);
    EXPECT_EQ(Size(b, 512).size, 30208u);
}

// Synthetic Fuji raw: the embedded JPEG (2,000,000 over 1,000,000) ends
// last, so it gives the size, and the type stays RAF whatever the make.
TEST(CarverTiff, FujiRawSizedByItsEmbeddedJpeg) {
    Bytes b(4096, 0);
    std::memcpy(b.data(), "FUJIFILMCCD-RAW ", 16);
    auto be = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (24 - 8 * i));
    };
    be(84, 2000000);
    be(88, 1000000);
    be(92, 4096);
    be(96, 100000);
    const unsigned char tiff[] = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 2, 0x01, 0x0F, 0, 2, 0, 0, 0, 4, 'N', 'I', 'K', 0,
                                  0x01, 0x10, 0, 2, 0, 0, 0, 4, 'X', '1', '0', 0, 0, 0, 0, 0};
    std::memcpy(b.data() + 160, tiff, sizeof tiff);
    Sized s = Size(b, 512);
    EXPECT_EQ(s.unclamped, 3000000u);
    EXPECT_EQ(s.type, 89u);
    EXPECT_EQ(s.name, "NIK_X10");
    // With the embedded JPEG's EXIF block in reach (at 1024 here) and no make
    // in the directory: the EXIF make, the directory's model.
    be(84, 1024);
    const unsigned char app1[] = {0xFF, 0xD8, 0xFF, 0xE1, 0, 58, 'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 8, 0, 0, 0,
                                  2, 0, 0x0F, 0x01, 2, 0, 9, 0, 0, 0, 38, 0, 0, 0, 0x10, 0x01, 2, 0, 4, 0, 0, 0,
                                  'X', '2', '0', 0, 0, 0, 0, 0, 'F', 'U', 'J', 'I', 'F', 'I', 'L', 'M', 0};
    std::memcpy(b.data() + 1024, app1, sizeof app1);
    b[160 + 11] = 0x00; // the make entry becomes a width entry
    s = Size(b, 512);
    EXPECT_EQ(s.unclamped, 1024u + 1000000u);
    EXPECT_EQ(s.name, "FUJIFILM_X10");
    EXPECT_EQ(s.label, "FUJIFILM");
}

} // namespace

namespace {

// The streaming record for the file at sector 0 of `image` (blocks of
// `blockSectors`), shown each sector as the carver shows it until it answers
// 1: its size (0 when handed to the classic sizer), name and type; shown = 0
// when it never answers.
struct Streamed {
    unsigned long long size = 0;
    std::string name;
    unsigned type = 0;
    long long shown = 0;
};
Streamed Stream(const Bytes& image, unsigned ss, long long blockSectors = 8192) {
    BruteForce::TiffAnalyzer tiff;
    std::unique_ptr<CRawFileInfo> r(tiff.CreateRawFileInfo());
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        // The double buffer: the previous block and this one.
        const long long block = s / blockSectors;
        const long long first = std::max(0LL, (block - 1) * blockSectors), end = std::min(sectors, (block + 1) * blockSectors);
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data() + first * ss, image.data() + end * ss, p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, first, end, &w);
        if (r->CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1)
            return {r->m_ullFileSize, r->GetRawFileName(), r->m_eRawFileType, s + 1};
    }
    return {};
}

Bytes Padded(Bytes b, unsigned ss, std::size_t extra = 4) {
    b.resize((b.size() + ss - 1) / ss * ss + extra * ss, 0);
    return b;
}

} // namespace

// The streaming follower on the tool-made files followed by zeros: each ends
// within two sectors of its sample, typed and named by make and model with
// its start and settling sectors; a file whose start has left the buffer
// before its directories were read goes to the classic sizer.
TEST(CarverTiff, StreamedFilesEndAtTheirData) {
    for (unsigned ss : {512u, 4096u}) {
        for (const char* name : {"e.tif", "e2.tif", "e3.tif", "tiled.tif", "pyramid.tif"}) {
            SCOPED_TRACE(std::string(name) + " at " + std::to_string(ss));
            const Bytes file = Sample(name);
            const Streamed s = Stream(Padded(file, ss), ss);
            ASSERT_GT(s.shown, 0);
            if (std::string(name) == "tiled.tif") {
                // Its first directory lies past 4 MiB: left to the classic sizer at once.
                EXPECT_EQ(s.size, 0u);
                EXPECT_EQ(s.shown, 1);
                continue;
            }
            EXPECT_GE(s.size, file.size());
            EXPECT_LE(s.size, file.size() + 2 * ss);
            const std::string n = name;
            if (n == "e.tif" || n == "e2.tif") {
                EXPECT_EQ(s.type, 77u);
                EXPECT_EQ(s.name, "NIKON CORPORATION_NIKON D750_0-" + std::to_string(s.shown - 1) + "_");
            } else if (n == "e3.tif") {
                EXPECT_EQ(s.type, 88u);
            }
        }
    }
    // The pyramid's first directory lies 2.8 MB in: with 1 MiB blocks the
    // file's start has left the buffer when it is reached.
    const Bytes pyramid = Sample("pyramid.tif");
    const Streamed s = Stream(Padded(pyramid, 512), 512, 2048);
    EXPECT_EQ(s.size, 0u);
    EXPECT_GT(s.shown, 5000);
}

// The stream's end rules on synthetic files (synthetic: they check the
// rules on layouts no tool here writes): a strip ending at 3,000,000 bytes is
// not ended early by a zero-tailed sector inside it and ends at the sector
// holding its last byte; a small file followed by non-zero data ends there
// too once its directories are read; a link backwards ends the walk; 16-bit dimensions count.
TEST(CarverTiff, StreamEndRules) {
    Bytes big = Synthetic("II*\0", "NIKON", "D750", 3000000 - 200, 3000000);
    std::fill(big.begin() + 1000000 - 32, big.begin() + 1000000, 0); // a zero tail inside the strip
    const Streamed s = Stream(Padded(big, 512), 512);
    EXPECT_EQ(s.shown, (3000000 + 511) / 512);
    EXPECT_EQ(s.size, static_cast<unsigned long long>(s.shown) * 512);
    EXPECT_EQ(s.type, 77u);

    Bytes small = Synthetic("II*\0", "", "X", 30000, 30200);
    small.resize(small.size() + 64 * 512, 0x33);
    // Below 10 MiB, with every directory read, old data after it does not
    // keep it open: it ends in the sector holding its farthest byte.
    EXPECT_EQ(Stream(small, 512).shown, (30200 + 511) / 512);

    // Directory at 300 linking to 400, which links back to 100.
    Bytes back(4096, 0x44);
    std::memcpy(back.data(), "II*\0", 4);
    const auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) back[at + i] = static_cast<unsigned char>(v >> 8 * i);
    };
    put(4, 300, 4);
    put(300, 0, 2);
    put(302, 400, 4);
    put(400, 1, 2);
    put(402, 0x0100, 2), put(404, 3, 2), put(406, 1, 4), put(410, 4000, 4); // a 16-bit width
    put(414, 100, 4);
    const Streamed b = Stream(back, 512);
    EXPECT_EQ(b.shown, 1);
    EXPECT_EQ(b.name, "_0-0_");
}

// Sony's A100: the raw data after the sub-images is sized by the DNG private
// data's length, which the model's flag makes the sizer read (synthetic).
TEST(CarverTiff, SonyA100PrivateData) {
    Bytes a100 = Synthetic("II*\0", "SONY", "DSLR-A100", 1000, 400000);
    // Two more entries in the directory: sub-images at 20000, private data at 3000.
    a100[8] = 6;
    const auto put = [&](std::size_t at, std::uint32_t v, int n) {
        for (int i = 0; i < n; ++i) a100[at + i] = static_cast<unsigned char>(v >> 8 * i);
    };
    put(58, 0x014A, 2), put(60, 4, 2), put(62, 1, 4), put(66, 20000, 4);
    put(70, 0xC634, 2), put(72, 1, 2), put(74, 100, 4), put(78, 3000, 4);
    put(82, 0, 4);
    put(3004, 10, 2);           // the length lies 10 + 4 bytes into the private data
    put(3014, 350000, 4);       // raw data: 20000 + 350000
    std::fill(a100.begin() + 20000, a100.begin() + 370000, 0x21);
    const Sized s = Size(a100, 512);
    EXPECT_EQ(s.type, 85u);
    EXPECT_GE(s.size, 370000u);
    EXPECT_LE(s.size, 370000u + 512);
}

// A TIFF whose tag data (an XMP packet) lies after its strip, followed by old
// data: the stream and the classic sizer both keep the tag data, ending at
// most a sector after it.
TEST(CarverTiff, TagDataAfterTheStripIsKept) {
    Bytes file = Synthetic("II*\0", "", "X", 1000, 5300);
    // A fifth entry: XMP, 3000 bytes at 2300 (after the strip at 200..1200).
    file[8] = 5;
    const std::uint32_t xmp[] = {0x02BC | 1u << 16, 3000, 2300};
    std::memcpy(file.data() + 10 + 48, xmp, 12);
    std::fill(file.begin() + 2300, file.begin() + 5300, 0x3C);
    for (unsigned ss : {512u, 4096u}) {
        SCOPED_TRACE(ss);
        Bytes image = file;
        std::uint32_t seed = 11;
        while (image.size() % ss || image.size() < file.size() + 8 * ss)
            image.push_back(static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24));
        const Streamed s = Stream(image, ss);
        EXPECT_GE(s.size, file.size());
        EXPECT_LE(s.size, (file.size() + ss - 1) / ss * ss);
        const Sized c = Size(file, ss);
        EXPECT_GE(c.size, file.size());
        EXPECT_LE(c.size, (file.size() + ss - 1) / ss * ss);
    }
}
