// Canon raws, the XML family, 3D Studio meshes and ROM images, and AutoCAD
// drawings on synthetic headers (labelled so: no free tool writes CRW or any
// DWG release here) and on samples by gpsbabel, plistlib and assimp
// (tests/fixtures/picture_samples.sh): acceptance, the streaming walks shown
// a file sector by sector, the classic sizers on a device, and the R2007
// decompressor's bounds.
#include "engine/carver/analysers/CrwAnalyser.h"
#include "engine/carver/analysers/DwgAnalyser.h"
#include "engine/carver/analysers/SvgAnalyser.h"
#include "engine/carver/analysers/ThreeDsAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("picture_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
void Put32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }
void Put64(Bytes& b, std::size_t at, std::uint64_t v) { salvor::test::PutLe64(b, at, v); }
Bytes Padded(Bytes b, unsigned ss, std::size_t extraSectors = 2) {
    b.resize((b.size() + ss - 1) / ss * ss + extraSectors * ss, 0);
    return b;
}

// {hit, type} of the sector at 0.
std::pair<int, unsigned> Analyse(IRawFileAnalyser& a, Bytes s) {
    s.resize(std::max<std::size_t>(s.size(), 512), 0);
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data());
    return {a.AnalyseBuffer(s.data(), blank), blank.m_eRawFileType};
}

// The record the analyser makes for the file at sector 0 of image (after
// accepting it), shown each sector until it answers 1; null when it never does.
std::unique_ptr<CRawFileInfo> Stream(IRawFileAnalyser& a, const Bytes& image, unsigned ss, std::size_t* shown = nullptr) {
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(image.data(), image.data() + image.size(), image.data());
    if (!a.AnalyseBuffer(const_cast<unsigned char*>(image.data()), blank)) return nullptr;
    std::unique_ptr<CRawFileInfo> record(a.CreateRawFileInfo());
    record->m_eRawFileType = blank.m_eRawFileType;
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + image.size(), p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &w);
        if (record->CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1) {
            if (shown) *shown = static_cast<std::size_t>(s + 1);
            return record;
        }
    }
    return nullptr;
}

// The classic sizer's answer for the file at sector 0 of image.
std::pair<int, unsigned long long> OnDevice(IRawFileAnalyser& classic, const Bytes& image, unsigned type = 0) {
    salvor::test::TempDir dir;
    std::ofstream(dir.file("d.img"), std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    salvor::test::ImageDevice device(dir.file("d.img"), 512);
    CRawFileInfo record;
    record.m_eRawFileType = type;
    const int ok = classic.GetRawFileSize(record, &device);
    return {ok, record.m_ullFileSize};
}

Bytes Crw(std::size_t signAt, unsigned char mark, std::size_t size) {
    Bytes b(size, 0x5A);
    std::memcpy(b.data(), "II\x1A\0\0\0HEAPCCDR\x02\0", 16);
    const unsigned char sign[6] = {0x07, 0x28, mark, 0, 0, 0};
    std::memcpy(b.data() + signAt, sign, 6);
    return b;
}

} // namespace

// A synthetic CRW ends 70, 60 or 50 bytes after its end sign (10 more after
// 0xB2 when data follows), even with the sign cut by a sector border; a sign
// before the least size is not taken; the classic sizer finds the same end.
TEST(CarverDrawing, CanonRawEndSigns) {
    Orvex::CRWAnalyser a;
    EXPECT_EQ(Analyse(a, Crw(600, 0xA8, 700)), (std::pair{1, 18u}));
    Bytes other = Crw(600, 0xA8, 700);
    std::memcpy(other.data() + 10, "ABCD", 4);
    EXPECT_EQ(Analyse(a, other).first, 0);

    struct Case {
        std::size_t sign;
        unsigned char mark;
        std::size_t size; // the file's end
    };
    const std::size_t past = 0x64000 + 700; // beyond the least size
    for (const Case c : {Case{past, 0xA8, past + 70}, Case{past, 0xE4, past + 50}, Case{past, 0xB2, past + 60},
                         Case{0x64000 + 1534, 0xA8, 0x64000 + 1534 + 70}}) {
        Bytes file = Crw(c.sign, c.mark, c.size);
        std::fill(file.begin() + static_cast<long>(c.sign) + 6, file.end(), 0);
        const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(file, 512), 512);
        ASSERT_TRUE(r) << c.sign;
        EXPECT_EQ(r->m_ullFileSize, c.size) << int{c.mark};
        if (c.sign != 0x64000 + 1534) {
            EXPECT_EQ(OnDevice(a, Padded(file, 512)), (std::pair{1, static_cast<unsigned long long>(c.size)}));
        }
    }
    Bytes extra = Crw(past, 0xB2, past + 70);
    std::fill(extra.begin() + static_cast<long>(past) + 6, extra.end(), 0);
    extra[past + 60] = 1; // data after the 0xB2 end: ten bytes more
    const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(extra, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, past + 70);
    // A sign inside the least size is passed over: the walk goes on.
    Bytes early = Crw(2000, 0xA8, 4096);
    std::fill(early.begin() + 2006, early.end(), 0);
    EXPECT_EQ(Stream(a, Padded(early, 512), 512), nullptr);
}

// The XML family by its first sector, ends at closing tags in sectors that
// end in zero bytes, the binary form's stated size, and the classic sizer
// ending just after the closing tag in a large sector.
TEST(CarverDrawing, XmlFamily) {
    Orvex::SVGAnalyser a;
    const std::string decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    struct Kind {
        std::string text;
        unsigned type;
    };
    for (const Kind& k : {Kind{decl + "<svg width=\"1\"></svg>", 91}, Kind{"\xEF\xBB\xBF" + decl + "<svg>\n</svg>", 91},
                          Kind{decl + "<en-export application=\"Evernote\">", 139},
                          Kind{decl + "<style xmlns=\"http://purl.org/net/xbiblio/csl\">", 19},
                          Kind{"<svg xmlns=\"x\"/>", 91}, Kind{"bcfz....", 130}, Kind{decl + "<gpx a=\"b\">", 130},
                          Kind{decl + "<!DOCTYPE plist PUBLIC>", 131}, Kind{decl + "<html>", 0}, Kind{"<svgx", 0}})
        EXPECT_EQ(Analyse(a, Text(k.text)), (std::pair{k.type ? 1 : 0, k.type})) << k.text;
    EXPECT_EQ(Analyse(a, Bytes{0xCD, 0x01, 0x00, 0x00, 1}), (std::pair{1, 91u}));

    // The samples: SVG text ends two bytes past its data; GPX and plist 2
    // past their closing tag and line end; both at 512 and 4096.
    for (unsigned ss : {512u, 4096u})
        for (const char* name : {"y.svg", "y.gpx", "y.plist"}) {
            const Bytes sample = Sample(name);
            ASSERT_FALSE(sample.empty()) << name;
            const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(sample, ss), ss);
            ASSERT_TRUE(r) << name;
            EXPECT_EQ(r->m_ullFileSize, sample.size() + 2) << name << " at " << ss;
        }
    // A long text SVG: only the sector ending in zeros ends it.
    std::string big = decl + "<svg width=\"1\">";
    while (big.size() < 3000) big += "<g></g>\n";
    big += "</svg>\n";
    const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(Text(big), 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, big.size() + 2);

    // The binary form states its size at byte 1100 (a size over the limit is not taken).
    Bytes binary(1200, 0x11);
    std::memcpy(binary.data(), "\xCD\x01\x00\x00", 4);
    Put32(binary, 1100, 48);
    const std::unique_ptr<CRawFileInfo> b = Stream(a, Padded(binary, 512), 512);
    ASSERT_TRUE(b);
    EXPECT_EQ(b->m_ullFileSize, 1200u);
    Put32(binary, 1100, 0x7FFFFFFF);
    EXPECT_EQ(Stream(a, Padded(binary, 512), 512), nullptr);

    // Classic sizer: just after the closing tag, even when the sector is
    // larger than 256 bytes (the tag's sector is kept), and a track keeps its type.
    FileSVGAnalyser classic;
    EXPECT_EQ(OnDevice(classic, Padded(Text(big), 512)), (std::pair{1, static_cast<unsigned long long>(big.size() - 1)}));
    const Bytes gpx = Sample("y.gpx");
    salvor::test::TempDir dir;
    const Bytes padded = Padded(gpx, 512);
    std::ofstream(dir.file("g.img"), std::ios::binary).write(reinterpret_cast<const char*>(padded.data()), padded.size());
    salvor::test::ImageDevice device(dir.file("g.img"), 512);
    CRawFileInfo record;
    record.m_eRawFileType = 130;
    ASSERT_TRUE(classic.GetRawFileSize(record, &device));
    EXPECT_EQ(record.m_ullFileSize, gpx.size() - 1) << "just after </gpx>";
    EXPECT_EQ(record.m_eRawFileType, 130u);
}

// assimp's mesh (editor chunk at byte 6) is not taken; with a version chunk
// first it is, and is sized whole by the walk and by the classic sizer; a
// ROM image states its size; a tiny chunk length ends the walk.
TEST(CarverDrawing, ThreeDStudio) {
    RawSpeed::New3DSAnalyser a;
    const Bytes plain = Sample("y.3ds"), versioned = Sample("y16.3ds");
    ASSERT_FALSE(plain.empty());
    EXPECT_EQ(Analyse(a, plain).first, 0);
    EXPECT_EQ(Analyse(a, versioned), (std::pair{1, 1u}));
    for (unsigned ss : {512u, 4096u}) {
        const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(versioned, ss), ss);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->m_ullFileSize, versioned.size()) << ss;
    }
    File3DSAnalyser classic;
    EXPECT_EQ(Analyse(classic, plain), (std::pair{1, 1u})) << "the classic test takes either chunk";
    EXPECT_EQ(OnDevice(classic, Padded(versioned, 512)), (std::pair{1, static_cast<unsigned long long>(versioned.size())}));

    Bytes rom(1024, 0);
    std::memcpy(rom.data() + 256, "NCSD", 4);
    Put32(rom, 260, 8);
    const std::unique_ptr<CRawFileInfo> r = Stream(a, Padded(rom, 512), 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, 8u * 512);
    Put32(rom, 260, 0xFFFFFFFF);
    EXPECT_EQ(Stream(a, Padded(rom, 512), 512)->m_ullFileSize, 200000000u) << "past five limits: the limit";
    EXPECT_EQ(Analyse(classic, rom).first, 0) << "the classic sizer leaves ROM images";
}

// Synthetic drawing headers of each release family; an R12 drawing is
// accepted but never sized; bad locator numbering or scrambled checks give
// no size; sizes above the cap are dropped.
TEST(CarverDrawing, DwgReleases) {
    BruteForce::CDWGAnalyser a;
    // R2000: three locator records, the largest end wins.
    Bytes r15(1024, 0);
    std::memcpy(r15.data(), "AC1015", 6);
    Put32(r15, 21, 3);
    const std::uint32_t seekers[3][2] = {{0x100, 0x2000}, {0x9000, 0x400}, {0x3000, 0x100}};
    for (std::uint32_t i = 0; i < 3; ++i) {
        r15[25 + 9 * i] = static_cast<unsigned char>(i);
        Put32(r15, 26 + 9 * i, seekers[i][0]);
        Put32(r15, 30 + 9 * i, seekers[i][1]);
    }
    EXPECT_EQ(Analyse(a, r15), (std::pair{1, 24u}));
    std::unique_ptr<CRawFileInfo> r = Stream(a, r15, 512);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, 0x9400u);
    r15[25 + 9] = 7;
    EXPECT_EQ(Stream(a, r15, 512)->m_ullFileSize, 0u) << "a record out of order";

    // R2004: the scrambled block at 128 holds the end; one wrong check drops it.
    Bytes r18(1024, 0);
    std::memcpy(r18.data(), "AC1018", 6);
    Bytes block(108, 0);
    Put64(block, 16, 0x000000040000006CULL);
    Put32(block, 68, 0x20);
    Put64(block, 72, 0x0000004000000080ULL);
    Put64(block, 52, 0x5000);
    const auto scramble = [&](Bytes plainBlock) {
        std::uint32_t s = 1;
        for (std::size_t i = 0; i < plainBlock.size(); ++i) {
            s = s * 214013u + 2531011u;
            r18[128 + i] = plainBlock[i] ^ static_cast<unsigned char>(s >> 16);
        }
    };
    scramble(block);
    EXPECT_EQ(Stream(a, r18, 512)->m_ullFileSize, 0x5000u + 108);
    block[11] = 1;
    scramble(block);
    EXPECT_EQ(Stream(a, r18, 512)->m_ullFileSize, 0u);

    // R2007: the header interleaved in three blocks, stored (length 0) or
    // compressed; the size is at byte 8 of the header.
    const auto r2007 = [](const Bytes& data) {
        Bytes file(2048, 0);
        std::memcpy(file.data(), "AC1021", 6);
        for (std::size_t k = 0; k < 3; ++k)
            for (std::size_t i = 0; i < 239; ++i) file[128 + 3 * i + k] = data[k * 239 + i];
        return file;
    };
    Bytes data(717, 0);
    Put64(data, 32 + 8, 0x123456);
    std::unique_ptr<CRawFileInfo> d = Stream(a, r2007(data), 512);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->m_ullFileSize, 0x123456u);
    // Compressed: a literal run of 16 bytes (stored as its two 8-byte halves
    // swapped) then a back-reference repeating 8 of them.
    Bytes packed = {0x08}; // literal of 0x08 + 8 = 16 bytes
    Bytes literal(16, 0);
    Put64(literal, 8, 0xAB); // lands at 0..7 of the output
    Put64(literal, 0, 0x77); // lands at 8..15
    packed.insert(packed.end(), literal.begin(), literal.end());
    packed.insert(packed.end(), {0x58, 0x00}); // copy 5 bytes from 8 back, then no literal
    Bytes compressed(717, 0);
    Put32(compressed, 24, static_cast<std::uint32_t>(packed.size()));
    std::copy(packed.begin(), packed.end(), compressed.begin() + 32);
    d = Stream(a, r2007(compressed), 512);
    ASSERT_TRUE(d);
    EXPECT_EQ(d->m_ullFileSize, 0x77u);

    Bytes r12(512, 0);
    std::memcpy(r12.data(), "AC1009", 6);
    EXPECT_EQ(Analyse(a, r12), (std::pair{1, 24u}));
    EXPECT_EQ(Stream(a, r12, 512)->m_ullFileSize, 0u) << "accepted, never sized";
    EXPECT_EQ(Analyse(a, Text("AC1099")).first, 0);
    Put64(block, 52, 0x600000000ULL);
    block[11] = 0;
    scramble(block);
    EXPECT_EQ(Stream(a, r18, 512)->m_ullFileSize, 0u) << "above the cap";
}

// The R2007 decompressor never reads past its input nor writes past its
// output, and refuses references before the output's start.
TEST(CarverDrawing, R2007Bounds) {
    std::array<std::uint8_t, 272> out{};
    const auto run = [&](Bytes in) { return dwg::DecompressR2007(in, out); };
    EXPECT_TRUE(run({0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    EXPECT_EQ(std::string(out.begin(), out.begin() + 8), "abcdefgh");
    EXPECT_FALSE(run({0xF5, 'a', 'b', 'c'})) << "0xF5 + 8 literal bytes pass the input";
    EXPECT_FALSE(run({0x0F, 0xFF, 0xFF, 0xFF})) << "a literal longer than the input";
    EXPECT_FALSE(run({0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x58, 0x00})) << "a reference before the output";
    Bytes longRun(604, 1);
    longRun[0] = 0x0F, longRun[1] = 0xFF, longRun[2] = 0x00, longRun[3] = 0x01;
    EXPECT_FALSE(run(longRun)) << "a literal longer than the output";
    EXPECT_FALSE(run({}));
    EXPECT_FALSE(dwg::R2007Header(Bytes(500, 0))) << "fewer bytes than the three blocks";
}
