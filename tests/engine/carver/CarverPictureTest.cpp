// The picture analysers on hand-made headers and on samples made by
// ImageMagick and png2icns (tests/fixtures/picture_samples.sh): acceptance,
// sizes from the first sector, and the streaming walks shown a file sector by
// sector as the carver shows it.
#include "engine/carver/analysers/DxfAnalyser.h"
#include "engine/carver/analysers/GifAnalyser.h"
#include "engine/carver/analysers/InddAnalyser.h"
#include "engine/carver/analysers/MetafileFontAnalysers.h"
#include "engine/carver/analysers/PngAnalyser.h"
#include "engine/carver/analysers/PsdAnalyser.h"
#include "engine/carver/analysers/PspAnalyser.h"
#include "engine/carver/analysers/SmallPictureAnalysers.h"
#include "engine/carver/analysers/WpgAnalyser.h"
#include "engine/carver/analysers/X3fAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Hit = std::pair<int, unsigned long long>;

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("picture_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void Le32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }
void Be32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutBe32(b, at, v); }

// {hit, size, type} of the sector at 0 with `deviceBytes` to the device's end.
struct Result {
    int hit;
    unsigned long long size;
    unsigned type;
    bool operator==(const Result&) const = default;
};
Result Analyse(IRawFileAnalyser& a, Bytes s, std::uint64_t deviceBytes = 1 << 30) {
    s.resize(std::max<std::size_t>(s.size(), 512), 0);
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), deviceBytes);
    const int hit = a.AnalyseBuffer(s.data(), blank);
    return {hit, blank.m_ullFileSize, blank.m_eRawFileType};
}

// The record the analyser creates for the file at sector 0 of `image`, shown
// each sector until it answers 1: the number of sectors shown.
std::size_t Stream(CRawFileInfo& record, const Bytes& image, unsigned ss) {
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + image.size(), p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &w);
        if (record.CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1)
            return static_cast<std::size_t>(s + 1);
    }
    return 0;
}

Bytes Padded(Bytes b, unsigned ss, std::size_t extraSectors = 2) {
    b.resize((b.size() + ss - 1) / ss * ss + extraSectors * ss, 0);
    return b;
}

Bytes Bmp(std::uint32_t header, std::uint32_t size) {
    Bytes b(512, 0);
    b[0] = 'B', b[1] = 'M';
    Le32(b, 2, size);
    Le32(b, 14, header);
    return b;
}

Bytes Icon(unsigned kind, unsigned count, std::uint32_t bytesEach) {
    Bytes b(512, 0);
    b[2] = static_cast<unsigned char>(kind);
    b[4] = static_cast<unsigned char>(count);
    for (unsigned i = 0; i < count; ++i) {
        b[6 + 16 * i] = 16;
        Le32(b, 6 + 16 * i + 8, bytesEach);
        Le32(b, 6 + 16 * i + 12, 6 + 16 * count);
    }
    return b;
}

} // namespace

TEST(CarverPicture, ClassicHeaders) {
    FileBMPAnalyser bmp;
    EXPECT_EQ(Analyse(bmp, Bmp(40, 180054)), (Result{1, 180054, 11}));
    EXPECT_EQ(Analyse(bmp, Bmp(124, 1000)), (Result{1, 1000, 11}));
    EXPECT_EQ(Analyse(bmp, Bmp(108, 1000)).hit, 0);
    EXPECT_EQ(Analyse(bmp, Bmp(40, 1000), 999).hit, 0); // past the device's end

    FileICOAnalyser ico;
    EXPECT_EQ(Analyse(ico, Icon(1, 3, 1000)), (Result{1, 6 + 3 * 1016, 34}));
    EXPECT_EQ(Analyse(ico, Icon(2, 1, 1000)), (Result{1, 1022, 20}));
    EXPECT_EQ(Analyse(ico, Icon(1, 16, 1000)).hit, 1);
    EXPECT_EQ(Analyse(ico, Icon(1, 17, 1000)).hit, 0);
    EXPECT_EQ(Analyse(ico, Icon(1, 2, 0x80000)).hit, 0); // more than 1 MiB in all
    EXPECT_EQ(Analyse(ico, Icon(1, 1, 0xA00001)).hit, 0);
    EXPECT_EQ(Analyse(ico, Icon(3, 1, 1000)).hit, 0);

    FileICNSAnalyser icns;
    Bytes i(512, 0);
    std::memcpy(i.data(), "icns", 4);
    Be32(i, 4, 65692);
    EXPECT_EQ(Analyse(icns, i), (Result{1, 65692, 122}));
    Be32(i, 4, 0xA66667);
    EXPECT_EQ(Analyse(icns, i).hit, 0);
}

// The raw data's size (bits × width × height / 8) wrapped in 32 bits; a size
// past the device's end is refused.
TEST(CarverPicture, MinoltaRawIn64Bits) {
    FileMRWAnalyser mrw;
    Bytes m(512, 0);
    std::memcpy(m.data(), "\0MRM", 4);
    Be32(m, 4, 1000);
    m[24] = m[25] = m[26] = m[27] = 0xFF;
    m[32] = 16;
    const unsigned long long raw = 16ull * 0xFFFF * 0xFFFF / 8;
    EXPECT_EQ(Analyse(mrw, m, 1ull << 40), (Result{1, 1000 + raw + 8, 102}));
    EXPECT_EQ(Analyse(mrw, m, raw).hit, 0);
}

// Each sample at sector 0, followed by zero sectors: PNG ends just after IEND
// (named by its start and end sectors), GIF on the sector of its trailer.
TEST(CarverPicture, StreamingSamples) {
    for (unsigned ss : {512u, 4096u}) {
        for (const char* name : {"b.png", "h.png"}) {
            const Bytes png = Sample(name);
            ASSERT_FALSE(png.empty()) << name;
            RawSpeed::PNGAnalyser a;
            EXPECT_EQ(Analyse(a, png), (Result{1, 0, 51}));
            std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
            r->m_llStartSector = 0;
            const std::size_t shown = Stream(*r, Padded(png, ss), ss);
            EXPECT_EQ(r->m_ullFileSize, png.size()) << name << " on " << ss;
            EXPECT_EQ(r->GetRawFileName(), "0-" + std::to_string(shown - 1) + "_");
        }
        const Bytes gif = Sample("c.gif");
        BruteForce::CGifAnalyser g;
        EXPECT_EQ(Analyse(g, gif), (Result{1, 0, 30}));
        std::unique_ptr<CRawFileInfo> r(g.CreateRawFileInfo());
        EXPECT_EQ(Stream(*r, Padded(gif, ss), ss), (gif.size() + ss - 1) / ss);
        EXPECT_EQ(r->m_ullFileSize, gif.size());
    }
}

// An IEND header cut by a sector border is read across it; a header cut by the
// end of what has been read waits for the next sector.
TEST(CarverPicture, PngEndAcrossSectorAndBlock) {
    Bytes png = Sample("b.png");
    ASSERT_GT(png.size(), 520u);
    Bytes image = png;
    image.resize(1024, 0);
    std::memmove(image.data(), png.data(), 33);
    // IHDR, then one chunk whose IEND header starts 3 bytes before 512.
    const std::uint32_t idat = 512 - 3 - 33 - 12;
    Be32(image, 33, idat);
    std::memcpy(image.data() + 37, "IDAT", 4);
    const std::size_t iend = 33 + 12 + idat;
    Be32(image, iend, 0);
    std::memcpy(image.data() + iend + 4, "IEND", 4);
    RawSpeed::PNGAnalyser a;
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    EXPECT_EQ(Stream(*r, image, 512), 1u);
    EXPECT_EQ(r->m_ullFileSize, iend + 12);

    // Only the first sector read: no answer yet, then the second settles it.
    std::unique_ptr<CRawFileInfo> cut(a.CreateRawFileInfo());
    const CRawWindow w(image.data(), image.data() + image.size(), image.data());
    auto c = CRawFileInfo::SearchContext::For(image.data(), 512, 0, 1, &w);
    EXPECT_EQ(cut->CalcRawSize(image.data(), 512, 0, c), 2);
    const CRawWindow w1(image.data(), image.data() + image.size(), image.data() + 512);
    auto c1 = CRawFileInfo::SearchContext::For(image.data() + 512, 512, 0, 2, &w1);
    EXPECT_EQ(cut->CalcRawSize(image.data() + 512, 512, 1, c1), 1);
    EXPECT_EQ(cut->m_ullFileSize, iend + 12);
}

// The classic sizer from the device: the sample's length; a walk that leaves
// the stream's limit hands the record over to it.
TEST(CarverPicture, PngClassicSizerAndHandOver) {
    salvor::test::TempDir dir;
    Bytes png = Padded(Sample("h.png"), 512);
    const std::size_t length = Sample("h.png").size();
    std::ofstream(dir.file("p.img"), std::ios::binary).write(reinterpret_cast<char*>(png.data()), png.size());
    salvor::test::ImageDevice dev(dir.file("p.img"), 512);
    RawSpeed::PNGAnalyser a;
    CRawFileInfo record;
    ASSERT_TRUE(a.GetRawFileSize(record, &dev));
    EXPECT_EQ(record.m_ullFileSize, length);

    // A chunk claiming 2 GiB: the stream gives up without a size and, once
    // removed, the classic sizer stops at the unreadable chunk.
    Be32(png, 33, 0x7FFFFFF0);
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    EXPECT_EQ(Stream(*r, png, 512), 1u);
    EXPECT_EQ(r->m_ullFileSize, 0u);
    r->WillBeRemove(nullptr, -1);
    EXPECT_NE(r->m_pAnalyser, nullptr);
    Be32(png, 33, 0xFFFFFFF0); // negative as a signed length: the walk stops there
    std::ofstream(dir.file("p.img"), std::ios::binary).write(reinterpret_cast<char*>(png.data()), png.size());
    salvor::test::ImageDevice dev2(dir.file("p.img"), 512);
    ASSERT_TRUE(r->m_pAnalyser->GetRawFileSize(*r, &dev2));
    EXPECT_EQ(r->m_ullFileSize, 33u);
}

// A GIF that never ends is capped at 0xD000000 bytes; its record keeps no
// partial size while it walks.
TEST(CarverPicture, GifCapAndNoPartialSize) {
    Bytes gif(4096, 0x01); // sub-blocks of one byte, forever
    std::memcpy(gif.data(), "GIF89a", 6);
    gif[10] = 0;
    BruteForce::CGifFileInfo r;
    const CRawWindow w(gif.data(), gif.data() + gif.size(), gif.data());
    auto c = CRawFileInfo::SearchContext::For(gif.data(), 4096, 0, 1, &w);
    EXPECT_EQ(r.CalcRawSize(gif.data(), 4096, 0, c), 2);
    EXPECT_EQ(r.m_ullFileSize, 0u);
    int answer = 2;
    long long s = 1;
    for (; answer == 2 && s < 0x10000; ++s) {
        auto cs = CRawFileInfo::SearchContext::For(gif.data(), 4096, s, s + 1, &w);
        answer = r.CalcRawSize(gif.data(), 4096, s, cs);
    }
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(r.m_ullFileSize, 0xD000000u);
    EXPECT_EQ(s, 0xD000000 / 4096);
}

// The Photoshop sample streamed and named by its start and end sectors, and
// sized by the classic sizer. Its uncompressed image data ends in ten zero
// bytes, which the zero tail of its last sector would have cut off.
TEST(CarverPicture, PsdStreamedAndSized) {
    const Bytes psd = Sample("f.psd");
    ASSERT_FALSE(psd.empty());
    RawSpeed::PSDAnalyser a;
    EXPECT_EQ(Analyse(a, psd), (Result{1, 0, 54}));
    for (unsigned ss : {512u, 4096u}) {
        std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
        const std::size_t shown = Stream(*r, Padded(psd, ss), ss);
        EXPECT_EQ(r->m_ullFileSize, psd.size()) << ss;
        EXPECT_EQ(r->GetRawFileName(), "0-" + std::to_string(shown - 1));
    }
    salvor::test::TempDir dir;
    auto sized = [&](const Bytes& image) {
        std::ofstream(dir.file("p.img"), std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        salvor::test::ImageDevice dev(dir.file("p.img"), 512);
        CRawFileInfo record;
        return a.GetRawFileSize(record, &dev) ? record.m_ullFileSize : 0;
    };
    EXPECT_EQ(sized(Padded(psd, 512)), psd.size());
    // Raw samples: height x channels x width x depth passes 64 bits; and a
    // size past the device's end.
    Bytes raw(2048, 0);
    std::memcpy(raw.data(), psd.data(), 26);
    for (std::size_t at : {12u, 22u}) raw[at] = raw[at + 1] = 0xFF;
    for (std::size_t at : {14u, 18u}) Be32(raw, at, 0xFFFFFFFF);
    EXPECT_EQ(sized(raw), 0u);
    raw[12] = raw[22] = 0, raw[13] = 1, raw[23] = 8;
    Be32(raw, 14, 40), Be32(raw, 18, 52);
    EXPECT_EQ(sized(raw), 0u); // 30 + 4 + 4 + 2 + 2080 > 2048
    Be32(raw, 18, 49);
    EXPECT_EQ(sized(raw), 40u + 40 * 49);
}

// Metafile headers (hand-made) and the DejaVu Sans font.
TEST(CarverPicture, MetafilesAndFonts) {
    FileEMFAnalyser emf;
    Bytes e(512, 0);
    e[0] = 1;
    std::memcpy(e.data() + 40, " EMF", 4);
    Le32(e, 48, 7000);
    EXPECT_EQ(Analyse(emf, e), (Result{1, 7000, 26}));
    e[58] = 1;
    EXPECT_EQ(Analyse(emf, e).hit, 0);

    FileWMFAnalyser wmf;
    Bytes w(512, 0);
    const unsigned char standard[] = {0x01, 0x00, 0x09, 0x00};
    std::memcpy(w.data(), standard, 4);
    Le32(w, 6, 0x80000000u); // words: 4 GiB doubled in 64 bits
    EXPECT_EQ(Analyse(wmf, w, 1ull << 40), (Result{1, 0x100000000ull, 70}));
    EXPECT_EQ(Analyse(wmf, w, 0xFFFFFFFF).hit, 0);
    Bytes p(512, 0);
    const unsigned char placeable[] = {0xD7, 0xCD, 0xC6, 0x9A};
    std::memcpy(p.data(), placeable, 4);
    p[6] = 0x10, p[10] = 0x20, p[14] = 0x60;
    std::uint16_t sum = 0;
    for (std::size_t at = 0; at < 20; at += 2) sum ^= static_cast<std::uint16_t>(p[at] | p[at + 1] << 8);
    p[20] = static_cast<unsigned char>(sum), p[21] = static_cast<unsigned char>(sum >> 8);
    std::memcpy(p.data() + 22, standard, 4);
    Le32(p, 28, 1000);
    EXPECT_EQ(Analyse(wmf, p), (Result{1, 2022, 70}));
    p[20] ^= 1;
    EXPECT_EQ(Analyse(wmf, p).hit, 0); // wrong checksum

    FileTTFAnalyser ttf;
    const Bytes font = Sample("y.ttf");
    ASSERT_GT(font.size(), 512u);
    EXPECT_EQ(Analyse(ttf, Bytes(font.begin(), font.begin() + 512)), (Result{1, font.size(), 65}));
    Bytes many(font.begin(), font.begin() + 1024);
    many[5] = 32;
    EXPECT_EQ(Analyse(ttf, many).hit, 0);
    Bytes strange(font.begin(), font.begin() + 512);
    for (unsigned i = 5; i < 16; ++i) std::memcpy(strange.data() + 12 + 16 * i, "zzzz", 4);
    EXPECT_EQ(Analyse(ttf, strange).hit, 0); // 9 known tags of 20
}

// Drawings by ezdxf: the CR LF copy keyed by its section, the LF copy only
// behind a "999" comment; each ends just after its EOF marker, one cut by a
// sector border too. Without a marker the record stops at 0xD000000 bytes.
TEST(CarverPicture, DxfDrawings) {
    BruteForce::CDXFAnalyser dxf;
    EXPECT_EQ(Analyse(dxf, Sample("y.dxf")).hit, 0);
    for (const char* name : {"y_crlf.dxf", "y_999.dxf"}) {
        const Bytes d = Sample(name);
        ASSERT_FALSE(d.empty()) << name;
        EXPECT_EQ(Analyse(dxf, d), (Result{1, 0, 25})) << name;
        for (unsigned ss : {512u, 4096u}) {
            std::unique_ptr<CRawFileInfo> r(dxf.CreateRawFileInfo());
            const std::size_t shown = Stream(*r, Padded(d, ss), ss);
            EXPECT_EQ(r->m_ullFileSize, d.size()) << name << " on " << ss;
            EXPECT_EQ(r->GetRawFileName(), "0-" + std::to_string(shown - 1) + "_");
        }
    }
    Bytes cut = Sample("y_crlf.dxf");
    cut.erase(cut.begin(), cut.begin() + static_cast<long>((cut.size() - 4) % 512)); // EOF ends 4 bytes past a border
    std::memcpy(cut.data(), "  0\r\nSECTION\r\n  ", 16);
    ASSERT_EQ(cut.size() % 512, 4u);
    Analyse(dxf, cut);
    std::unique_ptr<CRawFileInfo> r(dxf.CreateRawFileInfo());
    Stream(*r, Padded(cut, 512), 512);
    EXPECT_EQ(r->m_ullFileSize, cut.size());

    Bytes endless(4096, 'x');
    std::memcpy(endless.data(), "  0\r\nSECTION\r\n  ", 16);
    Analyse(dxf, endless);
    std::unique_ptr<CRawFileInfo> e(dxf.CreateRawFileInfo());
    const CRawWindow w(endless.data(), endless.data() + endless.size(), endless.data());
    int answer = 2;
    long long s = 0;
    for (; answer == 2; ++s) {
        auto c = CRawFileInfo::SearchContext::For(endless.data(), 4096, s, s + 1, &w);
        answer = e->CalcRawSize(endless.data(), 4096, s, c);
    }
    EXPECT_EQ(e->m_ullFileSize, 0xD000000u);
    EXPECT_EQ(s, 0xD000000 / 4096);
}

// A synthetic InDesign document (4096-byte pages, data pages from page 2):
// objects are followed to the first position without an object header and
// the document ends on the page after it; a header cut by the end of what has
// been read waits for the next sector.
TEST(CarverPicture, InddPages) {
    const unsigned char document[24] = {0x06, 0x06, 0xED, 0xF5, 0xD8, 0x1D, 0x46, 0xE5, 0xBD, 0x31, 0xEF, 0xE7,
                                        0xFE, 0x74, 0xB7, 0x1D, 'D',  'O',  'C',  'U',  'M',  'E',  'N',  'T'};
    const unsigned char object[16] = {0xDE, 0x39, 0x39, 0x79, 0x51, 0x88, 0x4B, 0x6C,
                                      0x8E, 0x63, 0xEE, 0xF8, 0xAE, 0xE0, 0xDD, 0x38};
    Bytes indd(6 * 4096, 0x55);
    std::memcpy(indd.data(), document, 24);
    Le32(indd, 280, 2);
    std::size_t at = 8192;
    for (std::uint32_t length : {1000u, 5000u, 4000u - 32 - 64}) { // the last header ends 32 bytes before a sector
        std::memcpy(indd.data() + at, object, 16);
        Le32(indd, at + 24, length);
        at += length + 64;
    }
    RawSpeed::InddAnalyser a;
    EXPECT_EQ(Analyse(a, indd), (Result{1, 0, 127}));
    for (unsigned ss : {512u, 4096u}) {
        std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
        Stream(*r, indd, ss);
        EXPECT_EQ(r->m_ullFileSize, at / 4096 * 4096 + 4096) << ss;
        EXPECT_EQ(r->m_ullFileSize % 4096, 0u);
    }
    // The next header starts 20 bytes before the end of the data read.
    Bytes held(indd.begin(), indd.begin() + 8192 + 512);
    std::memcpy(held.data() + 8192 + 492, object, 16);
    Le32(held, 8192, 0), std::memcpy(held.data() + 8192, object, 16), Le32(held, 8192 + 24, 492 - 64);
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    const std::size_t sectors = held.size() / 512;
    for (std::size_t s = 0; s < sectors; ++s) {
        const CRawWindow w(held.data(), held.data() + held.size(), held.data() + s * 512);
        auto c = CRawFileInfo::SearchContext::For(held.data() + s * 512, 512, 0, static_cast<long long>(s + 1), &w);
        EXPECT_EQ(r->CalcRawSize(held.data() + s * 512, 512, static_cast<long long>(s), c), 2) << s;
    }
}

// A synthetic Paint Shop Pro file: three blocks, the last across a sector
// border; streamed (named with a trailing period) and walked on the device.
TEST(CarverPicture, PspBlocks) {
    Bytes psp(36, 0);
    std::memcpy(psp.data(), "Paint Shop Pro Image File\n\x1a", 27);
    for (std::uint32_t length : {100u, 700u, 300u}) {
        Bytes block(10 + length, 0x33);
        const unsigned char marker[] = {0x7E, 0x42, 0x4B, 0x00};
        std::memcpy(block.data(), marker, 4);
        Le32(block, 6, length);
        psp.insert(psp.end(), block.begin(), block.end());
    }
    RawSpeed::PSPAnalyser a;
    EXPECT_EQ(Analyse(a, psp), (Result{1, 0, 55}));
    for (unsigned ss : {512u, 4096u}) {
        std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
        const std::size_t shown = Stream(*r, Padded(psp, ss), ss);
        EXPECT_EQ(r->m_ullFileSize, psp.size()) << ss;
        EXPECT_EQ(r->GetRawFileName(), "0-" + std::to_string(shown - 1) + ".");
    }
    salvor::test::TempDir dir;
    Bytes image = Padded(psp, 512);
    std::ofstream(dir.file("p.img"), std::ios::binary).write(reinterpret_cast<char*>(image.data()), image.size());
    salvor::test::ImageDevice dev(dir.file("p.img"), 512);
    CRawFileInfo record;
    ASSERT_TRUE(a.GetRawFileSize(record, &dev));
    EXPECT_EQ(record.m_ullFileSize, psp.size());
    // Shorter than a sector: refused.
    Bytes small(psp.begin(), psp.begin() + 146);
    small = Padded(small, 512);
    std::ofstream(dir.file("s.img"), std::ios::binary).write(reinterpret_cast<char*>(small.data()), small.size());
    salvor::test::ImageDevice dev2(dir.file("s.img"), 512);
    EXPECT_FALSE(a.GetRawFileSize(record, &dev2));
}

// A synthetic WordPerfect graphic ends where a zero tail of 16 bytes or more
// begins (a shorter one is inside the data); eviction leaves it unsized.
TEST(CarverPicture, WpgToItsZeroTail) {
    Bytes wpg(3 * 512, 0x44);
    std::memcpy(wpg.data(), "wpg", 4);
    std::fill(wpg.begin() + 500, wpg.begin() + 512, 0); // 12 zero bytes: data
    std::fill(wpg.begin() + 1024 + 100, wpg.end(), 0);
    RawSpeed::WpgAnalyser a;
    EXPECT_EQ(Analyse(a, wpg), (Result{1, 0, 69}));
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    EXPECT_EQ(Stream(*r, wpg, 512), 3u);
    EXPECT_EQ(r->m_ullFileSize, 1124u);
    EXPECT_EQ(r->GetRawFileName(), "0-2.");
    r->m_pAnalyser = &a;
    r->WillBeRemove(nullptr, -1);
    EXPECT_TRUE(r->m_ullFileSize == 0 && r->m_pAnalyser == nullptr);
}

// A synthetic Sigma raw: the file ends 76 bytes after its section directory
// mark in a sector ending in zero bytes, one cut by a sector border too; the
// classic sizer finds the same end on the device.
TEST(CarverPicture, X3fDirectory) {
    for (std::size_t mark : {1500u, 1534u}) { // the latter: "SECd" across 1536
        Bytes x3f(mark + 76, 0x77);
        std::memcpy(x3f.data(), "FOVb", 4);
        std::memcpy(x3f.data() + mark, "SECd", 4);
        std::fill(x3f.begin() + static_cast<long>(mark) + 4, x3f.end(), 0);
        x3f[mark + 20] = 1;
        Orvex::X3FAnalyser a;
        EXPECT_EQ(Analyse(a, x3f), (Result{1, 0, 108}));
        std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
        const Bytes image = Padded(x3f, 512);
        const std::size_t shown = Stream(*r, image, 512);
        EXPECT_EQ(r->m_ullFileSize, x3f.size()) << mark;
        EXPECT_EQ(r->GetRawFileName(), "0-" + std::to_string(shown - 1) + "_");

        salvor::test::TempDir dir;
        std::ofstream(dir.file("x.img"), std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
        salvor::test::ImageDevice dev(dir.file("x.img"), 512);
        CRawFileInfo record;
        ASSERT_TRUE(a.GetRawFileSize(record, &dev));
        EXPECT_EQ(record.m_ullFileSize, x3f.size()) << mark;
    }
}
