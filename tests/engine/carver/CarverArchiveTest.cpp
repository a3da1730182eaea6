// The archive, text, small-format, container and further Office analysers on
// the samples of tests/fixtures/archive_samples.sh and on headers changed by
// hand: acceptance, the streaming ends shown a file sector by sector as the
// carver shows it, and the classic sizers reading a device.
#include "engine/carver/RawFileAnalyserList.h"
#include "engine/carver/analysers/ArchiveAnalysers.h"
#include "engine/carver/analysers/ContainerAnalysers.h"
#include "engine/carver/analysers/OfficeMoreAnalysers.h"
#include "engine/carver/analysers/SmallFormatAnalysers.h"
#include "engine/carver/analysers/TextAnalysers.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Sample(const char* name) {
    static const std::string dir = salvor::test::Fixture("archive_samples");
    std::ifstream in(dir + "/" + name, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Padded(Bytes b, unsigned ss, std::size_t extraSectors = 2) {
    b.resize((b.size() + ss - 1) / ss * ss + extraSectors * ss, 0);
    return b;
}

void Put32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }

int Accepts(IRawFileAnalyser& a, Bytes s) {
    s.resize(std::max<std::size_t>(s.size(), 4096), 0);
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), 1 << 30);
    return a.AnalyseBuffer(s.data(), blank);
}

// The record accepted at sector 0, or null.
std::unique_ptr<CRawFileInfo> Record(IRawFileAnalyser& a, Bytes s) {
    s.resize(std::max<std::size_t>(s.size(), 4096), 0);
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(s.data(), s.data() + s.size(), s.data(), 1 << 30);
    if (!a.AnalyseBuffer(s.data(), blank)) return nullptr;
    std::unique_ptr<CRawFileInfo> r(a.CreateRawFileInfo());
    r->m_ullFileSize = blank.m_ullFileSize;
    r->m_eRawFileType = blank.m_eRawFileType;
    r->m_pAnalyser = &a;
    return r;
}

// Shows the record each sector of the image until it answers 1: its size
// then, or -1 when it never finished.
long long Stream(CRawFileInfo& record, const Bytes& image, unsigned ss) {
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + image.size(), p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &w);
        if (record.CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1)
            return static_cast<long long>(record.m_ullFileSize);
    }
    return -1;
}

long long StreamOf(IRawFileAnalyser& a, const Bytes& image, unsigned ss) {
    auto r = Record(a, image);
    return r ? Stream(*r, image, ss) : -2;
}

// The sample, then old data (bytes of a fixed pseudo-random run) up to the
// sector `next` where another carved file starts: the record's size then
// (-1 when it never finished, -2 when not accepted).
long long StreamBeforeNext(IRawFileAnalyser& a, const Bytes& sample, unsigned ss, long long next) {
    Bytes image = sample;
    std::uint32_t x = 12345;
    image.resize(static_cast<std::size_t>(next + 4) * ss);
    for (std::size_t i = sample.size(); i < image.size(); ++i) {
        x = x * 1103515245u + 12345u;
        image[i] = static_cast<unsigned char>(x >> 16 | 1); // never a zero tail
    }
    auto r = Record(a, image);
    if (!r) return -2;
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        const unsigned char* p = image.data() + s * ss;
        const CRawWindow w(image.data(), image.data() + image.size(), p, (sectors - s) * ss);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &w);
        c.m_bNewStart = s == next;
        if (r->CalcRawSize(const_cast<unsigned char*>(p), static_cast<int>(ss), s, c) == 1)
            return static_cast<long long>(r->m_ullFileSize);
    }
    return -1;
}

struct Sized {
    int rc;
    unsigned long long size;
    std::string name;
    unsigned type;
};

// The classic sizer on a device holding the image at sector 0.
Sized Classic(IRawFileAnalyser& a, const Bytes& image, unsigned ss = 512) {
    salvor::test::TempDir dir;
    std::ofstream(dir.file("i.img"), std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    salvor::test::ImageDevice dev(dir.file("i.img"), ss);
    CRawFileInfo record;
    const int rc = a.GetRawFileSize(record, &dev);
    return {rc, record.m_ullFileSize, record.GetRawFileName(), record.m_eRawFileType};
}

Bytes Gzip(const Bytes& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    Bytes out(data.size() + 1024);
    z.next_in = const_cast<unsigned char*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

} // namespace

TEST(CarverArchive, GzipAnyLevelNamedAndEndedPastItsTrailer) {
    RawSpeed::GZAnalyzer stream;
    FileGZAnalyser classic;
    // Default (extra flags 0), best (2) and fastest (4): all taken; the
    // stream leaves each to the classic sizer, which inflates it to its
    // trailer whatever follows (zeros or old data) and names it from the
    // header.
    for (const char* name : {"x.gz", "x9.gz", "x1.gz", "big.gz"}) {
        const Bytes sample = Sample(name);
        for (bool random : {false, true}) {
            Bytes gz = sample;
            std::uint32_t seed = 7;
            while (gz.size() % 512 || gz.size() < sample.size() + 1024)
                gz.push_back(random ? static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24) : 0);
            EXPECT_EQ(Accepts(classic, gz), 1) << name;
            EXPECT_EQ(StreamOf(stream, gz, 512), 0) << name;
            const Sized s = Classic(classic, gz);
            EXPECT_EQ(s.rc, 1);
            EXPECT_EQ(s.size, sample.size()) << name << (random ? " random" : "");
            if (std::string(name) != "big.gz") {
                EXPECT_EQ(s.name, "f");
            }
        }
    }
    // A member whose length field ends in two zero bytes keeps its whole
    // trailer; two members back to back are one file.
    Bytes data(700);
    std::uint32_t seed = 40;
    for (unsigned char& c : data) c = static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24);
    const Bytes member = Gzip(data);
    ASSERT_GT(member.size(), 512u);
    ASSERT_EQ(member[member.size() - 1], 0);
    EXPECT_EQ(Classic(classic, Padded(member, 512)).size, member.size());
    Bytes two = member;
    two.insert(two.end(), member.begin(), member.end());
    EXPECT_EQ(Classic(classic, Padded(two, 512)).size, two.size());
    // One whose trailer ends a sector in a zero byte: a member on the next
    // sector border is a file of its own.
    Bytes noise(1100);
    for (unsigned char& c : noise) c = static_cast<unsigned char>((seed = seed * 1103515245 + 12345) >> 24);
    Bytes whole = member;
    for (std::size_t n = 900; n < noise.size() && whole.size() % 512 != 0; ++n)
        whole = Gzip(Bytes(noise.begin(), noise.begin() + static_cast<std::ptrdiff_t>(n)));
    ASSERT_EQ(whole.size() % 512, 0u);
    ASSERT_EQ(whole.back(), 0);
    Bytes cut = whole;
    cut.insert(cut.end(), member.begin(), member.end());
    EXPECT_EQ(Classic(classic, Padded(cut, 512)).size, whole.size());
    // An extra field before the name: the name after it is taken.
    Bytes x = Sample("x.gz");
    Bytes h = {0x1F, 0x8B, 8, 4 | 8, 0, 0, 0, 0, 0, 3, 4, 0, 'A', 'B', 0, 0, 'i', 'n', 'n', 'e', 'r', 0};
    h.insert(h.end(), x.begin() + 12, x.end());
    EXPECT_EQ(Classic(classic, Padded(h, 512)).name, "inner");
}

TEST(CarverArchive, RarChainEndMarkerAndBadBlock) {
    const Bytes rar = Sample("y.rar");
    RawSpeed::RARAnalyser stream;
    FileRARAnalyser classic;
    EXPECT_EQ(Classic(classic, Padded(rar, 512)).size, rar.size());
    EXPECT_EQ(StreamOf(stream, Padded(rar, 512), 512), static_cast<long long>(rar.size()) + 8);
    EXPECT_EQ(StreamOf(stream, Padded(rar, 4096), 4096), static_cast<long long>(rar.size()) + 8);
    // The first file's packed size above its unpacked size ends the chain there.
    Bytes bad = rar;
    Put32(bad, 20 + 11, 10);
    EXPECT_EQ(Classic(classic, Padded(bad, 512)).size, 20u);
    EXPECT_EQ(StreamOf(stream, Padded(bad, 512), 512), -1);
}

TEST(CarverArchive, TarWalksEveryEntryToTheEndBlocks) {
    const Bytes tar = Sample("y.tar");
    std::size_t data = tar.size();
    while (data > 0 && tar[data - 1] == 0) --data;
    const unsigned long long end = (data + 511) / 512 * 512 + 1024;
    RawSpeed::TARAnalyser stream;
    FileTARAnalyser classic;
    ASSERT_EQ(tar[156], '5'); // a directory first
    EXPECT_EQ(Classic(classic, tar).size, end);
    EXPECT_EQ(Classic(classic, Padded(tar, 4096), 4096).size, end);
    EXPECT_EQ(StreamOf(stream, tar, 512), static_cast<long long>(end));
    EXPECT_EQ(StreamOf(stream, Padded(tar, 4096), 4096), static_cast<long long>(end));
    // One entry of octal 1000 bytes, written with zeros, blanks or base 256.
    for (const char* field : {"00000001000", "       1000", "\x80"}) {
        Bytes one(512 * 6, 0);
        std::memcpy(one.data() + 257, "ustar", 5);
        std::memcpy(one.data() + 124, field, std::strlen(field));
        if (field[0] == '\x80') one[124 + 10] = 2; // 512 in base 256
        EXPECT_EQ(Classic(classic, one).size, 512u + 512 + 1024) << field;
        EXPECT_EQ(StreamOf(stream, one, 512), 512 + 512 + 1024) << field;
    }
}

TEST(CarverArchive, LhaStoredAndCompressedEndWithinASector) {
    Orvex::LZHAnalyser stream;
    FileLZHAnalyser classic;
    for (const char* name : {"y.lzh", "y5.lzh"}) {
        const Bytes lzh = Sample(name);
        for (unsigned ss : {512u, 4096u}) {
            const long long s = StreamOf(stream, Padded(lzh, ss), ss);
            EXPECT_GE(s, static_cast<long long>(lzh.size())) << name;
            EXPECT_LT(s, static_cast<long long>(lzh.size() + ss)) << name;
            const Sized c = Classic(classic, Padded(lzh, ss), ss);
            EXPECT_EQ(c.size, (lzh.size() + ss - 1) / ss * ss) << name;
        }
    }
}

TEST(CarverArchive, RichTextBraceWalk) {
    FileRTFAnalyser classic;
    const Bytes esc = Sample("esc.rtf");
    EXPECT_EQ(Classic(classic, Padded(esc, 512)).size, esc.size()); // \{ \} \\ and \bin data
    EXPECT_EQ(Classic(classic, Padded(Sample("z.rtf"), 512)).size, Sample("z.rtf").size());
    const Bytes two = Text("{\\rtf1 one}{\\rtf1 two}");
    EXPECT_EQ(Classic(classic, Padded(two, 512)).size, two.size());
    Bytes cut = esc;
    cut[20] = 0; // inside the font table's group
    EXPECT_EQ(Classic(classic, Padded(cut, 512)).rc, 0);
    RawSpeed::RTFAnalyser stream;
    EXPECT_EQ(StreamOf(stream, Padded(Sample("z2.rtf"), 4096), 4096), static_cast<long long>(Sample("z2.rtf").size()));
}

// On a used card: random bytes after the text up to the next file's start.
// The text ends at its closing mark and the line end after it, wherever a
// sector border cuts them.
TEST(CarverArchive, TextEndsAtItsClosingMarkBeforeTheNextFile) {
    RawSpeed::RTFAnalyser rtf;
    RawSpeed::HTMLAnalyser html;
    const Bytes page = Sample("z.html");
    struct Row {
        IRawFileAnalyser* analyser;
        Bytes sample;
        long long size; // 0: the sample's; -1: never ends (the carver cuts it at the next start)
    };
    const std::vector<Row> rows = {
        {&rtf, Sample("z.rtf"), 0},
        {&rtf, Sample("z2.rtf"), 0},
        {&rtf, Sample("esc.rtf"), 0}, // braces in \bin data and escaped
        {&rtf, Text("{\\rtf1 {a}\\}}\r\n"), 0},
        {&rtf, Text("{\\rtf1 \\bin3 }}}}"), 0},                  // the data's braces are not counted
        {&rtf, Text("{\\rtf1 \\binary}x"), 15},                  // a longer word is no data
        {&rtf, Text("{\\rtf1 \\\\}"), 0},                       // an escaped backslash
        {&html, page, 0},
        {&html, Sample("y16.html"), 0},
        {&html, Text("<HTML><body></body></HTML>\r\n<!-- after -->"), 28}, // the last mark, in any case
        {&html, Text("<html></html>\n</html>"), 0},
        {&html, Text("<html> no end"), -1},
    };
    for (const Row& row : rows)
        for (unsigned ss : {512u, 4096u}) {
            const long long want = row.size ? row.size : static_cast<long long>(row.sample.size());
            const long long next = static_cast<long long>((row.sample.size() + ss - 1) / ss) + 2;
            const long long got = StreamBeforeNext(*row.analyser, row.sample, ss, next);
            SCOPED_TRACE(std::string(row.sample.begin(), row.sample.begin() + std::min<std::size_t>(16, row.sample.size())));
            EXPECT_EQ(got, want) << ss;
        }
    // The mark and its line end cut by the sector border, at every split.
    for (std::size_t lead = 500; lead <= 512; ++lead) {
        Bytes cut(lead, 'x');
        std::memcpy(cut.data(), "<html>", 6);
        for (char c : std::string("</html>\r\n")) cut.push_back(static_cast<unsigned char>(c));
        EXPECT_EQ(StreamBeforeNext(html, cut, 512, 3), static_cast<long long>(cut.size())) << lead;
        Bytes rich(lead, 'x');
        std::memcpy(rich.data(), "{\\rtf1 ", 7);
        for (char c : std::string("\\}\\\\}\r\n")) rich.push_back(static_cast<unsigned char>(c));
        EXPECT_EQ(StreamBeforeNext(rtf, rich, 512, 3), static_cast<long long>(rich.size())) << lead;
    }
}

TEST(CarverArchive, WebPagesAcceptedAndSized) {
    FileHTMAnalyser classic;
    RawSpeed::HTMLAnalyser stream;
    EXPECT_EQ(Accepts(classic, Text("<!doctype html><html></html>")), 1);
    EXPECT_EQ(Accepts(classic, Text("  <html></html>")), 0);
    const Bytes wide = {0xFF, 0xFE, '<', 0, '!', 0, 'd', 0, 'o', 0, 'c', 0, 't', 0, 'y', 0};
    EXPECT_EQ(Accepts(classic, wide), 0);
    EXPECT_EQ(Accepts(stream, wide), 1);
    const Bytes page = Sample("z.html"), page16 = Sample("y16.html");
    EXPECT_EQ(StreamOf(stream, Padded(page, 512), 512), static_cast<long long>(page.size()));
    EXPECT_EQ(StreamOf(stream, Padded(page16, 512), 512), static_cast<long long>(page16.size()));
    FileUnicodeHTMAnalyser unicode;
    const Sized u = Classic(unicode, Padded(page16, 512));
    EXPECT_EQ(u.rc, 1);
    EXPECT_GE(u.size, page16.size() - 2);
    EXPECT_LE(u.size, page16.size() + 2);
}

TEST(CarverArchive, HeaderSizedFormats) {
    FileCHMAnalyser chm;
    Bytes help = Sample("y.chm");
    auto r = Record(chm, help);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->m_ullFileSize, help.size());
    Put32(help, 8, 0x58);
    EXPECT_EQ(Accepts(chm, help), 0);

    FileCABAnalyser cab;
    Bytes cabinet = Sample("y.cab");
    EXPECT_EQ(Record(cab, cabinet)->m_ullFileSize, cabinet.size());
    Put32(cabinet, 8, 0);
    EXPECT_EQ(Accepts(cab, cabinet), 0);

    FileHLPAnalyser hlp;
    Bytes h = Sample("y.hlp");
    Put32(h, 12, 511);
    EXPECT_EQ(Accepts(hlp, h), 0);
    Put32(h, 12, 600);
    Put32(h, 4, 601);
    EXPECT_EQ(Accepts(hlp, h), 0);

    // Outlook folders: ANSI versions state their end in 32 bits, Unicode
    // ones in 64; others are taken as 1 MiB.
    FilePSTAnalyser pst;
    for (const auto& [name, size] : std::vector<std::pair<const char*, unsigned long long>>{
             {"y14.pst", 6000}, {"y21.pst", 0x100000}, {"y23.pst", 7000}, {"y36.pst", 9000}})
        EXPECT_EQ(Record(pst, Sample(name))->m_ullFileSize, size) << name;
}

TEST(CarverArchive, XarSizedByItsLastDataWhateverComesLast) {
    FilePKGAnalyser pkg;
    const Bytes xar = Sample("y.xar");
    EXPECT_EQ(Classic(pkg, Padded(xar, 512)).size, xar.size()); // a directory listed last
    EXPECT_EQ(Classic(pkg, Padded(Sample("y7f.pkg"), 512)).size, Sample("y7f.pkg").size());
    std::uint64_t end = 0;
    ASSERT_TRUE(FilePKGAnalyser::HeapEnd(
        "<xar><toc><file id='1'><data><offset>0</offset><length>10</length></data></file>"
        "<file id='2'><name>x</name><data><offset>1000</offset><length>500</length></data>"
        "<file id='3'><data><offset>20</offset><length>5</length></data></file></file></toc></xar>",
        end));
    EXPECT_EQ(end, 1500u);
    EXPECT_FALSE(FilePKGAnalyser::HeapEnd("<xar><toc><x/></toc></xar>", end));
    EXPECT_FALSE(FilePKGAnalyser::HeapEnd(std::string(1000, '<'), end));
    // A table claiming 3 MiB + 1 byte inflated is refused.
    Bytes big = xar;
    for (int i = 0; i < 8; ++i) big[16 + i] = static_cast<unsigned char>(std::uint64_t{0x300001} >> (56 - 8 * i));
    EXPECT_EQ(Classic(pkg, Padded(big, 512)).rc, 0);
}

TEST(CarverArchive, AccessOneNoteAndMailbox) {
    const Bytes mdb = Sample("y.mdb");
    RawSpeed::CMDBAnalyser access;
    Bytes then = mdb;
    then.insert(then.end(), 4096, 0x77); // a page of another kind ends it
    EXPECT_EQ(StreamOf(access, Padded(then, 512), 512), static_cast<long long>(mdb.size()));
    Bytes gap = mdb;
    gap.resize(mdb.size() + 3 * 4096, 0); // empty pages, then another kind
    gap.insert(gap.end(), 4096, 0x77);
    EXPECT_EQ(StreamOf(access, Padded(gap, 512), 512), static_cast<long long>(mdb.size()));
    Bytes empty = mdb;
    empty.resize(mdb.size() + 40 * 4096, 0); // 36 empty pages end it where they begin
    EXPECT_EQ(StreamOf(access, empty, 512), static_cast<long long>(mdb.size()));
    FileMDBAnalyser accessClassic;
    EXPECT_EQ(Classic(accessClassic, empty).size, mdb.size());

    const Bytes one = Sample("y.one");
    RawSpeed::OneAnalyser note;
    FileONEAnalyser noteClassic;
    EXPECT_EQ(StreamOf(note, Padded(one, 512, 8), 512), static_cast<long long>(one.size()));
    EXPECT_EQ(Classic(noteClassic, Padded(one, 512)).size, one.size());
    // A section of no length would hold the walk in place: left to the classic sizer.
    Bytes still = one;
    std::fill(still.begin() + 3000 + 100, still.begin() + 3000 + 108, 0);
    std::fill(still.begin() + 3000 + 196, still.begin() + 3000 + 204, 0);
    EXPECT_EQ(StreamOf(note, Padded(still, 512, 8), 512), 0);
    // ... which takes its limit, cut where the device ends.
    EXPECT_EQ(Classic(noteClassic, Padded(still, 512)).size, Padded(still, 512).size());

    FileMboxAnalyser mbox;
    const Bytes box = Sample("y.mbox");
    EXPECT_EQ(Classic(mbox, Padded(box, 512)).size, box.size());
    Bytes more = box;
    more.push_back('\n');
    more.push_back('\n');
    EXPECT_EQ(Classic(mbox, Padded(more, 512)).size, more.size());
    // It ends where its text ends, however its last message ends and
    // whatever follows: zeros, binary bytes, or a second folder on the next
    // sector border. A text that fills its sectors goes on.
    const Bytes plain = Text("From a@b Mon Dec  7 08:00:00 2026\n\nno end\n");
    EXPECT_EQ(Classic(mbox, Padded(plain, 512, 3)).size, plain.size());
    Bytes noise = plain;
    noise.insert(noise.end(), {'Z', 'q', 0x01, 'Z', 0x80, 0x00, 0x02});
    noise.resize(2048, 0x33);
    EXPECT_EQ(Classic(mbox, noise).size, plain.size());
    // Old data (random bytes) after the text: a byte that is no text within
    // reach before the run that ends the folder is old data too, a line end
    // between them notwithstanding.
    Bytes sparse = plain;
    sparse.resize(plain.size() + 96, 'y');
    for (const auto& [at, c] : {std::pair{3, 0x18}, {8, '\n'}, {54, 0x05}, {72, 0x7F}, {80, 0x07}})
        sparse[plain.size() + at] = static_cast<unsigned char>(c);
    EXPECT_EQ(Classic(mbox, Padded(sparse, 512)).size, plain.size());
    // Random bytes holding no control byte for 43 bytes, a line feed among
    // them, then binary bytes or zeros: not its text. 8-bit text is, as its
    // last line (Latin-1, UTF-8, GB2312; Shift-JIS, Big5 and KOI8-R without
    // spaces, a name of four kanji) before the same bytes.
    Bytes noisy;
    for (unsigned x = 7; noisy.size() < 43; x = x * 1103515245u + 12345u)
        if (const unsigned char c = static_cast<unsigned char>(x >> 16); c > 0x20 && c != 0x7F) noisy.push_back(c);
    noisy[30] = '\n';
    for (const std::string& last : {std::string(), std::string("Gr\xfc\xdf" " aus M\xfcnchen, \xe0 bient\xf4t\n"),
                                    std::string("Gr\xc3\xbc\xc3\x9f" "e, \xc3\xa0 bient\xc3\xb4t\n"),
                                    std::string("\xc4\xe3\xba\xc3\xa3\xac\xc3\xf7\xcc\xec\xbc\xfb\xa1\xa3\n"),
                                    std::string("\x82\xa8\x90\xa2\x98" "b\x82\xc9\x82\xc8\x82\xc1\x82\xc4\x82\xa8\x82\xe8\x82\xdc\x82\xb7\x81" "B\n"),
                                    std::string("\xc1\xc2\xc1\xc2\xb1z\xa4\xb5\xa4\xd1\xaa\xba\xae\xc9\xb6\xa1\xa1" "C\n"),
                                    std::string("\xed\xcf\xd3\xcb\xd7\xc1,\xd5\xcc.\xf4\xd7\xc5\xd2\xd3\xcb\xc1\xd1,\xc4.7\n"),
                                    std::string("\x93" "c\x92\x86\x91\xbe\x98" "Y\n")}) {
        Bytes text = plain;
        text.insert(text.end(), last.begin(), last.end());
        for (const Bytes& after : {Bytes{0x01, 0x02, 0x03, 0x80}, Bytes{}}) {
            Bytes tail = text;
            tail.insert(tail.end(), noisy.begin(), noisy.end());
            tail.insert(tail.end(), after.begin(), after.end());
            EXPECT_EQ(Classic(mbox, Padded(tail, 512)).size, text.size()) << last << after.size();
        }
    }
    // A few bytes of random slack that read as such letters or half-width
    // katakana are not.
    for (const Bytes& few : {Bytes{0xE5, '%'}, Bytes{0xDE, 0xBA, '!', 0xBE}, Bytes{0xB0, 'o', 0xCC, 0xAD, 'Y'}}) {
        Bytes stray = plain;
        stray.insert(stray.end(), few.begin(), few.end());
        stray.insert(stray.end(), {0x01, 0x02, 0x03});
        EXPECT_EQ(Classic(mbox, Padded(stray, 512)).size, plain.size()) << few.size();
    }
    // A short last line (two kanji, a name of 3 or 5 letters, one character
    // alone: "了", "Я" in KOI8-R and windows-1251) is text in a folder that
    // wrote lines of its script before, random bytes after it
    // notwithstanding; in one that never did, such bytes are random ones.
    const std::string sjisProse("\x96{\x93\xfa\x82\xcc\x91\xc5\x82\xbf\x8d\x87\x82\xed\x82\xb9\x82\xcd\x82\xa0\x82\xe8\x82\xaa"
                                "\x82\xc6\x82\xa4\x82\xb2\x82\xb4\x82\xa2\x82\xdc\x82\xb5\x82\xbd\x81" "B\n");
    const std::string koi8Prose("\xfa\xc4\xd2\xc1\xd7\xd3\xd4\xd7\xd5\xca\xd4\xc5! \xf0\xcf\xd3\xd9\xcc\xc1\xc0 \xd7\xc1\xcd \xcf\xd4\xde\xa3\xd4.\n");
    const std::string cp1251Prose("\xc4\xee\xe1\xf0\xfb\xe9 \xe4\xe5\xed\xfc! \xce\xf2\xf7\xb8\xf2 \xee \xf1\xee\xe2\xe5\xf9\xe0\xed\xe8\xe8.\n");
    RawSpeed::MboxAnalyser streamed;
    for (const auto& [prose, last] : {
             std::pair{std::string("\x96{\x93\xfa\x82\xcc\x91\xc5\x82\xbf\x8d\x87\x82\xed\x82\xb9\x82\xcd\x82\xa0\x82\xe8\x82\xaa"
                                   "\x82\xc6\x82\xa4\x82\xb2\x82\xb4\x82\xa2\x82\xdc\x82\xb5\x82\xbd\x81" "B\n"),
                       std::string("\x88\xc8\x8f\xe3\n")},
             {std::string("\xc1\xc2\xc1\xc2\xb1z\xa4\xb5\xa4\xd1\xaa\xba\xae\xc9\xb6\xa1\xa1" "A\xa4U\xa6\xb8\xb7|\xc4\xb3\xaa\xba\xa4"
                          "\xe9\xb4\xc1\xa7\xda\xad\xcc\xb7|\xa5t\xa6\xe6\xb3q\xaa\xbe\xa1" "C\n"),
              std::string("\xc1\xc2\xc1\xc2\xa1I\n")},
             {std::string("\xfa\xc4\xd2\xc1\xd7\xd3\xd4\xd7\xd5\xca\xd4\xc5! \xf0\xcf\xd3\xd9\xcc\xc1\xc0 \xd7\xc1\xcd \xcf\xd4\xde\xa3\xd4.\n"),
              std::string("\xe1\xce\xd4\xcf\xce\n")},
             {std::string("\xc4\xee\xe1\xf0\xfb\xe9 \xe4\xe5\xed\xfc! \xce\xf2\xf7\xb8\xf2 \xee \xf1\xee\xe2\xe5\xf9\xe0\xed\xe8\xe8.\n"),
              std::string("\xcb\xe5\xe2\n")},
             {std::string("\xc4\xee\xe1\xf0\xfb\xe9 \xe4\xe5\xed\xfc! \xce\xf2\xf7\xb8\xf2 \xee \xf1\xee\xe2\xe5\xf9\xe0\xed\xe8\xe8.\n"),
              std::string("\xd1\xef\xe0\xf1\xe8\xe1\xee\x97\xc0\xed\xe4\xf0\xe5\xe9\n")},
             {sjisProse, std::string("\x97\xb9\n")},
             {sjisProse, std::string("\x97\xb9\r\n")},
             {koi8Prose, std::string("\xf1\n")},
             {cp1251Prose, std::string("\xdf\n")},
             {std::string(), std::string("\x88\xc8\x8f\xe3\n")},
             {std::string(), std::string("\xf1\n")}}) {
        Bytes text = plain;
        text.insert(text.end(), prose.begin(), prose.end());
        const std::size_t kept = text.size() + (prose.empty() ? 0 : last.size());
        text.insert(text.end(), last.begin(), last.end());
        for (const Bytes& after : {Bytes{0x01, 0x02, 0x03, 0x80}, Bytes{0xE5, '%', 0x01, 0x02, 0x03}, Bytes{0, 0, 0}}) {
            Bytes tail = text;
            tail.insert(tail.end(), noisy.begin(), noisy.end());
            tail.insert(tail.end(), after.begin(), after.end());
            EXPECT_EQ(Classic(mbox, Padded(tail, 512)).size, kept) << last << after.size();
            EXPECT_EQ(StreamOf(streamed, Padded(tail, 512), 512), static_cast<long long>(kept)) << last << after.size();
        }
    }
    Bytes folders = Padded(plain, 512, 0);
    folders.insert(folders.end(), box.begin(), box.end());
    EXPECT_EQ(Classic(mbox, Padded(folders, 512)).size, plain.size());
    Bytes full = Text(std::string("From a@b\n") + std::string(1200, 'x') + "\n");
    EXPECT_EQ(Classic(mbox, Padded(full, 512)).size, full.size());

    // A lone byte that is no text inside a message is kept, and so is a
    // pair (pasted terminal text); a third within 64 bytes makes a run,
    // which ends the folder (at the line end before it). So does the
    // device's end. Backspaces are text. Classic and streaming alike.
    RawSpeed::MboxAnalyser stream;
    const std::string head = "From a@b Mon Dec  7 08:00:00 2026\n\nfirst line\n";
    const auto with = [&](const std::string& between, std::size_t gap, const std::string& after) {
        return Text(head + "ab" + between + std::string(gap, 'c') + after + "\nlast " + std::string(70, 'd') + "\n");
    };
    for (const char stray : {'\0', '\x0b', '\x07', '\x1a', '\b'}) {
        const Bytes one = with(std::string(1, stray), 600, "");
        EXPECT_EQ(Classic(mbox, Padded(one, 512)).size, one.size()) << int(stray);
        EXPECT_EQ(StreamOf(stream, Padded(one, 512), 512), static_cast<long long>(one.size())) << int(stray);
    }
    const Bytes run = with("\x07", 62, "\x0b\x07"), apart = with("\x07", 63, "\x0b\x07");
    EXPECT_EQ(Classic(mbox, Padded(run, 512)).size, head.size());
    EXPECT_EQ(StreamOf(stream, Padded(run, 512), 512), static_cast<long long>(head.size()));
    EXPECT_EQ(Classic(mbox, Padded(apart, 512)).size, apart.size());
    EXPECT_EQ(StreamOf(stream, Padded(apart, 512), 512), static_cast<long long>(apart.size()));
    for (const std::string& pair : {std::string("\0\0", 2), std::string("\x07\x0b"), std::string("\x0b pasted \x07"),
                                   std::string("typo\b\b fixed"), std::string("B\bBo\bol\bld\bd\b\b\b\b")}) {
        const Bytes pasted = with(pair, 600, "");
        EXPECT_EQ(Classic(mbox, Padded(pasted, 512)).size, pasted.size()) << pair;
        EXPECT_EQ(StreamOf(stream, Padded(pasted, 512), 512), static_cast<long long>(pasted.size())) << pair;
    }
    // Streaming, sector by sector with the sector another file starts on
    // (-1: none): the size it ends with, or -1.
    const auto follow = [&](const Bytes& image, long long next, std::unique_ptr<CRawFileInfo>& r) {
        r = Record(stream, image);
        for (long long s = 0; r && s < static_cast<long long>(image.size() / 512); ++s) {
            unsigned char* p = const_cast<unsigned char*>(image.data()) + s * 512;
            auto c = CRawFileInfo::SearchContext::For(p, 512, 0, 1 << 20);
            c.m_bNewStart = s == next;
            if (r->CalcRawSize(p, 512, s, c) == 1) return static_cast<long long>(r->m_ullFileSize);
        }
        return -1ll;
    };
    std::unique_ptr<CRawFileInfo> r;
    // Its slack, one NUL and old text, then a web page: ends at the NUL.
    const Bytes mail = with("", 600, "");
    Bytes slack = mail;
    slack.push_back(0);
    while (slack.size() % 512) slack.push_back(slack.size() % 61 ? 'o' : '\n');
    const Bytes page = Text("<!DOCTYPE html><html><body>old page</body></html>\n");
    slack.insert(slack.end(), page.begin(), page.end());
    EXPECT_EQ(follow(Padded(slack, 512), static_cast<long long>(mail.size() / 512 + 1), r), static_cast<long long>(mail.size()));
    // A NUL in a message before the last is the folder's own.
    Bytes inside = with(std::string(1, '\0'), 100, "");
    const Bytes next = Text(head + "<html> a page in the last message, on a sector border\n");
    inside.insert(inside.end(), next.begin(), next.end());
    inside.resize(1024, 'm');
    inside.insert(inside.end(), page.begin(), page.end());
    inside.resize(1700, 'n');
    inside.push_back('\n');
    EXPECT_EQ(follow(Padded(inside, 512), 2, r), static_cast<long long>(inside.size()));
    // A NUL in a message, then one of its parts (a web page) on a sector
    // border: mail goes on after the part (a boundary its message declared,
    // closing; the next message), and so does the folder. A line of dashes
    // or of a boundary never declared is the page's: the folder ended at
    // the NUL. The parameter's name may be cut by a sector border.
    const auto declare = [](std::size_t pad) {
        return "From a@b Mon Dec  7 08:00:00 2026\nX-Pad: " + std::string(pad, 'x') +
               "\nContent-Type: multipart/mixed; bOUNDARY=b1\n\n--b1\n\nab";
    };
    for (const auto& [after, whole] : {std::pair{std::string("\n--b1--\n\nFrom c@d Tue Dec  8 08:00:00 2026\n\nnext\n"), true},
                                       {std::string("\n--b1--\n"), true}, {std::string("\n-----\n"), false},
                                       {std::string("\n--b2--\n"), false}}) {
        for (const std::string& declared : {declare(0), declare(512 - 4 - declare(0).find("bOUND"))}) {
            Bytes part = Text(declared + std::string(1, '\0') + std::string(300, 'c') + "\n");
            part.resize(1024, 'p');
            part.back() = '\n';
            part.insert(part.end(), page.begin(), page.end());
            part.insert(part.end(), after.begin(), after.end());
            EXPECT_EQ(follow(Padded(part, 512), 2, r), static_cast<long long>(whole ? part.size() : declared.size()))
                << after;
        }
    }
    // A message forwarding many multipart messages (each declaring, using
    // and closing a boundary), then a NUL and a web page part on a sector
    // border: its own boundary is still open, and its closing line carries
    // the folder on. So it does after earlier messages that left boundaries
    // open, and when a crafted message declares more than are kept (the
    // outer ones stay).
    const auto digest = [](int before, int inner, bool closed) {
        std::string text;
        for (int m = 0; m < before; ++m)
            text += "From a@b Mon Dec  7 08:00:00 2026\nContent-Type: multipart/mixed; boundary=\"old" + std::to_string(m) +
                    "\"\n\n--old" + std::to_string(m) + "\n\ncut short\n\n";
        text += "From a@b Mon Dec  7 08:00:00 2026\nContent-Type: multipart/mixed; boundary=\"outer\"\n\n--outer\n";
        for (int k = 0; k < inner; ++k) {
            const std::string b = "fwd" + std::to_string(k);
            text += "Content-Type: message/rfc822\n\nContent-Type: multipart/alternative; boundary=\"" + b + "\"\n\n--" +
                    b + "\n\nplain\n" + (closed ? "--" + b + "--\n" : "") + "\n--outer\n";
        }
        return text + "\nab" + std::string(1, '\0') + "cd\n";
    };
    for (const auto& [before, inner, closed] : {std::tuple{0, 12, true}, {40, 2, true}, {0, 40, false}}) {
        Bytes part = Text(digest(before, inner, closed));
        part.resize((part.size() / 512 + 1) * 512 - 1, 'p');
        part.push_back('\n');
        const long long pageAt = static_cast<long long>(part.size() / 512);
        part.insert(part.end(), page.begin(), page.end());
        for (const char c : std::string("\n--outer--\n")) part.push_back(static_cast<unsigned char>(c));
        EXPECT_EQ(follow(Padded(part, 512), pageAt, r), static_cast<long long>(part.size())) << before << " " << inner;
    }
    // Binary on the next sector: ends where it starts, not a byte of it kept.
    Bytes binary = Text(std::string("From a@b\n") + std::string(502, 'x') + "\n");
    binary.insert(binary.end(), {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J', 'F', 'I', 'F', 0x00, 0x01});
    EXPECT_EQ(follow(Padded(binary, 512), 1, r), 512);
    // Two zeros ending a sector, then a "From " line: a folder of its own.
    Bytes two = Text(head);
    two.resize(510, 'y');
    two.resize(512, 0);
    EXPECT_EQ(follow(Padded(two, 512, 0), -1, r), -1);
    EXPECT_FALSE(r->RecordAt(512));
    two.insert(two.end(), box.begin(), box.end());
    EXPECT_EQ(Classic(mbox, Padded(two, 512)).size, 510u);
    EXPECT_EQ(follow(Padded(two, 512), -1, r), 510);
    // One NUL ending a sector, then a "From " line: a stray byte of the
    // folder's own.
    Bytes nul = Text(head);
    nul.resize(510, 'y');
    nul.push_back('\n');
    nul.push_back(0);
    nul.insert(nul.end(), box.begin(), box.end());
    EXPECT_EQ(Classic(mbox, Padded(nul, 512)).size, nul.size());
    EXPECT_EQ(follow(Padded(nul, 512), -1, r), static_cast<long long>(nul.size()));
    EXPECT_TRUE(r->RecordAt(512));
    // Text to the device's end: at the scan's end it keeps all it was shown.
    Bytes open = Text(head);
    open.resize(1536, 'z');
    EXPECT_EQ(follow(open, -1, r), -1);
    r->WillBeRemove(nullptr, -1);
    EXPECT_EQ(r->m_ullFileSize, open.size());
    EXPECT_EQ(r->m_pAnalyser, &stream);
    // No limit on its size: past 208 MiB it goes on to its text's end.
    r = Record(stream, open);
    Bytes line = Text(head);
    line.resize(511, 'w');
    line.push_back('\n');
    const long long lines = 0xD000000 / 512 + 8;
    int rc = 2;
    for (long long s = 0; s < lines && rc == 2; ++s) {
        auto c = CRawFileInfo::SearchContext::For(line.data(), 512, 0, 1 << 30);
        rc = r->CalcRawSize(line.data(), 512, s, c);
    }
    EXPECT_EQ(rc, 2);
    Bytes zeros(512, 0);
    auto c = CRawFileInfo::SearchContext::For(zeros.data(), 512, 0, 1 << 30);
    EXPECT_EQ(r->CalcRawSize(zeros.data(), 512, lines, c), 1);
    EXPECT_EQ(r->m_ullFileSize, static_cast<unsigned long long>(lines) * 512);
    Bytes last = Text(head);
    last.resize(511, 'x');
    last.push_back(0x07);
    EXPECT_EQ(Classic(mbox, last).size, head.size());
    last.back() = 0;
    EXPECT_EQ(Classic(mbox, last).size, 511u);

    // Each "From " line on a sector border inside a folder ends where the
    // folder does, walked on from where the walk before it stopped.
    salvor::test::TempDir dir;
    Bytes folder = Text(head);
    folder.resize(512, '\n');
    const Bytes second = with("\0", 900, "");
    folder.insert(folder.end(), second.begin(), second.end());
    const std::size_t text = folder.size();
    folder = Padded(folder, 512, 1);
    std::ofstream(dir.file("f.img"), std::ios::binary).write(reinterpret_cast<const char*>(folder.data()), folder.size());
    salvor::test::ImageDevice dev(dir.file("f.img"), 512);
    ResetCarveGuards();
    for (const long long sector : {0, 1, 2}) {
        CRawFileInfo record;
        record.m_llStartSector = sector;
        ASSERT_TRUE(mbox.GetRawFileSize(record, &dev));
        EXPECT_EQ(record.m_ullFileSize, text - 512 * static_cast<std::size_t>(sector)) << sector;
    }
}

TEST(CarverArchive, StreamOnlyAndSmallFormats) {
    RawSpeed::NGRRAnalyser ngrr;
    const Bytes chunks = Sample("y.ngrr");
    EXPECT_EQ(StreamOf(ngrr, Padded(chunks, 512, 3), 512), static_cast<long long>(chunks.size()));
    Bytes head = chunks;
    head[60] = 'x';
    EXPECT_EQ(StreamOf(ngrr, Padded(head, 512, 3), 512), 60);

    RawSpeed::DbxAnalyser dbx;
    Bytes mail = Sample("y.dbx");
    EXPECT_EQ(StreamOf(dbx, Padded(mail, 512), 512), static_cast<long long>(mail.size()));
    const Bytes id = {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0};
    std::copy(id.begin(), id.end(), mail.begin());
    Put32(mail, 124, 0x7FFFFFFF);
    auto r = Record(dbx, mail);
    ASSERT_TRUE(r);
    auto c = CRawFileInfo::SearchContext::For(mail.data(), 512, 0, 1);
    EXPECT_EQ(r->CalcRawSize(mail.data(), 512, 0, c), 1);
    EXPECT_EQ(r->m_ullFileSize, 500000000u);

    RawSpeed::JKSAnalyser jks;
    const Bytes store = Sample("y.jks");
    EXPECT_EQ(StreamOf(jks, Padded(store, 4096), 4096), static_cast<long long>(store.size()));
    // Without a classic sizer, a record removed unfinished keeps no size.
    auto unfinished = Record(jks, store);
    unfinished->WillBeRemove(nullptr, -1);
    EXPECT_EQ(unfinished->m_pAnalyser->GetRawFileSize(*unfinished, nullptr), 0);
    EXPECT_EQ(unfinished->m_ullFileSize, 0u);

    // A StuffIt 5 archive whose size field is 0: the stream takes the limit,
    // cut to the data present; the classic sizer keeps no size.
    Bytes sit = Padded(Sample("y.sit"), 512);
    std::fill(sit.begin() + 84, sit.begin() + 88, 0);
    RawSpeed::SITAnalyser stuffit;
    EXPECT_EQ(StreamOf(stuffit, sit, 512), static_cast<long long>(sit.size()));
    FileSITAnalyser stuffitClassic;
    EXPECT_EQ(Classic(stuffitClassic, sit).size, 0u);
    EXPECT_EQ(StreamOf(stuffit, Padded(Sample("y.sitx"), 512), 512), static_cast<long long>(Sample("y.sitx").size()));

    FileDMGAnalyser dmg;
    EXPECT_EQ(Classic(dmg, Padded(Sample("y.dmg"), 512)).size, Sample("y.dmg").size());
    FileCPTAnalyser cpt;
    EXPECT_EQ(Classic(cpt, Padded(Sample("y.cpt"), 512)).size, Sample("y.cpt").size());
    RawSpeed::MOBIAnalyser mobi;
    EXPECT_EQ(StreamOf(mobi, Padded(Sample("y.mobi"), 512), 512), static_cast<long long>(Sample("y.mobi").size()));
    RawSpeed::FileMOBIAnalyser mobiClassic;
    EXPECT_EQ(Classic(mobiClassic, Padded(Sample("y.mobi"), 512)).size, Sample("y.mobi").size());
}
