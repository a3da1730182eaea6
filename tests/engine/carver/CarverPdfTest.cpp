// The PDF analysers and the document-information reader, on hand-made text
// and on samples made by Ghostscript (tests/fixtures/pdf_samples.sh).
#include "engine/carver/analysers/PdfAnalyzer.h"
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
using BruteForce::PdfAnalyzer;
using BruteForce::PdfTitleAnalyzer;

FileProperty Read(const std::string& text) {
    FileProperty info;
    std::string padded = "1 0 obj " + text;
    padded.resize(std::max<std::size_t>(padded.size(), 512), ' ');
    PdfTitleAnalyzer().ObtainPerSecPDFInformation(reinterpret_cast<const unsigned char*>(padded.data()),
                                                  static_cast<int>(padded.size()), false, info);
    return info;
}

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("pdf_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Streams `image` from sector 0 as the carver shows it, with the whole image
// as the buffered window; removes the record (as an eviction does) at
// `removeAt` sectors. Answers the record; `ended` tells whether it finished.
std::unique_ptr<CRawFileInfo> Stream(PdfAnalyzer& pdf, Bytes& image, unsigned ss, bool& ended,
                                     std::size_t removeAt = ~std::size_t{0}) {
    CRawFileInfo blank;
    blank.m_Window = CRawWindow(image.data(), image.data() + image.size(), image.data());
    EXPECT_EQ(pdf.AnalyseBuffer(image.data(), blank), 1);
    std::unique_ptr<CRawFileInfo> r(pdf.CreateRawFileInfo());
    r->m_pAnalyser = &pdf;
    ended = false;
    const long long sectors = static_cast<long long>(image.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        if (static_cast<std::size_t>(s) == removeAt) break;
        unsigned char* p = image.data() + s * ss;
        const CRawWindow window(image.data(), image.data() + image.size(), p);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &window);
        if (r->CalcRawSize(p, static_cast<int>(ss), s, c) == 1) {
            ended = r->m_ullFileSize > 0;
            if (!ended) r->WillBeRemove(p, s);
            return r;
        }
    }
    r->WillBeRemove(nullptr, -1);
    return r;
}

unsigned long long ClassicSize(CRawFileInfo& r, const Bytes& image, unsigned ss) {
    salvor::test::TempDir dir;
    std::ofstream(dir.file("d.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice dev(dir.file("d.img"), ss);
    r.m_ullFileSize = 0;
    EXPECT_EQ(r.m_pAnalyser->GetRawFileSize(r, &dev), 1);
    return r.m_ullFileSize;
}

} // namespace

TEST(CarverPdf, Acceptance) {
    PdfAnalyzer pdf;
    FilePDFAnalyser classic;
    auto accepts = [&](const char* head) {
        Bytes s(512, ' ');
        std::memcpy(s.data(), head, std::strlen(head));
        CRawFileInfo a, b;
        const int hit = pdf.AnalyseBuffer(s.data(), a);
        EXPECT_EQ(hit, classic.AnalyseBuffer(s.data(), b)) << head;
        EXPECT_EQ(a.m_eRawFileType, hit ? 50u : 0u);
        return hit;
    };
    EXPECT_EQ(accepts("%PDF-1.7\n"), 1);
    EXPECT_EQ(accepts("%!PS-Adobe-3.0\n%%Creator: Adobe Illustrator(R) 8.0\n"), 1);
    EXPECT_EQ(accepts("%!PS-Adobe-3.0 EPSF-3.0\n%%Creator: Adobe Illustrator(R) 8.0\n"), 0); // the EPS analyser's
    EXPECT_EQ(accepts("%!PS-Adobe-3.0\n%%Creator: dvips\n"), 0);
    EXPECT_EQ(accepts("%PDX-1.7"), 0);
}

TEST(CarverPdf, DocumentInformationValues) {
    FileProperty i = Read("<< /Title (Plan) /Author (A. Smith) /Creator (Writer) /Producer (Lib)"
                          " /CreationDate (D:20140506070809+02'00') /ModDate (D:2014) >>");
    // The same cut before its end: not read yet.
    EXPECT_EQ(Read("/Author (Ann) /Creator (W) /Title (Pl").m_strLastAuthor, "");
    EXPECT_EQ(i.m_strTitle, "Plan");
    EXPECT_EQ(i.m_strLastAuthor, "A. Smith"); // letters, a point and a blank stand
    EXPECT_EQ(i.m_strAuthor, "Writer");
    EXPECT_EQ(i.m_strProducer, "Lib");
    EXPECT_EQ(i.m_strCreated, "2014-05-06 07-08-09");
    EXPECT_EQ(i.m_strModified, ""); // the year alone
    // A "/" inside the value, a comma, a digit in the title.
    i = Read("/Author (A/B) /Creator (Smith, Ann) /Title (Plan 2) /CreationDate (D:20140506070809Z) >>");
    EXPECT_EQ(i.m_strLastAuthor + i.m_strAuthor + i.m_strTitle, "");
    EXPECT_EQ(i.m_strCreated, "2014-05-06 07-08-09");
    // A UTF-16 big-endian title.
    const char utf16[] = "/Title (\xFE\xFF\x00P\x00l\x00" "a\x00n) /Author (Ann) /Creator (Writer) >>";
    i = Read(std::string(utf16, sizeof utf16 - 1));
    EXPECT_EQ(i.m_strTitle, "Plan");
    // A title and a producer alone are not enough.
    PdfTitleAnalyzer reader;
    FileProperty none;
    std::string text = "1 0 obj /Title (Plan) /Producer (Lib)" + std::string(480, ' ');
    EXPECT_FALSE(reader.ObtainPerSecPDFInformation(reinterpret_cast<const unsigned char*>(text.data()),
                                                   static_cast<int>(text.size()), false, none));
    // Binary sectors are passed over before any search.
    Bytes binary(512, 0x80);
    EXPECT_FALSE(reader.ObtainPerSecPDFInformation(binary.data(), 512, false, none));
    // A value over 25 bytes is cut.
    EXPECT_EQ(PdfTitleAnalyzer::ObtainPerInfo(reinterpret_cast<const unsigned char*>("/T (abc)"), 8), "abc");
    EXPECT_EQ(Read("/Author (Abcdefghijklmnopqrstuvwxyz0123) /Creator (W) >>").m_strLastAuthor,
              "Abcdefghijklmnopqrstuvwxy");
}

// j2.pdf (uncompressed, over 100 KB) and j.pdf (2.4 KB) end in the stream at
// most 3 bytes after their own end, named and labelled from their information;
// also from the classic sizer when the stream gives them up (evicted) after
// the information was read.
TEST(CarverPdf, GhostscriptSamplesSizedAndNamed) {
    for (unsigned ss : {512u, 4096u}) {
        for (const char* name : {"j.pdf", "j2.pdf"}) {
            const Bytes original = Sample(name);
            ASSERT_FALSE(original.empty()) << name;
            Bytes image = original;
            image.resize((image.size() + ss - 1) / ss * ss + 4 * ss, 0);
            const std::size_t lastSector = (original.size() - 1) / ss;
            for (bool evict : {false, true}) {
                PdfAnalyzer pdf;
                bool ended = false;
                // Evicted in its last sector, or after its first when it has one only.
                auto r = Stream(pdf, image, ss, ended, evict ? std::max<std::size_t>(lastSector, 1) : ~std::size_t{0});
                const bool small = original.size() < 20480;
                SCOPED_TRACE(std::string(name) + " " + std::to_string(ss) + (evict ? " evicted" : ""));
                EXPECT_EQ(r->m_strFileName, "Quarterly plan2014-05-06 07-08-09");
                EXPECT_EQ(r->m_strFileTime, "2014-05-06 07-08-09");
                EXPECT_EQ(r->m_eTag, RAW_TAG_PDF);
                EXPECT_EQ(r->m_strTagValue, "Ann Smith");
                // Its last "%%EOF" closes the cross-reference chain: an end
                // however small the file.
                (void)small;
                if (ended) {
                    EXPECT_TRUE(!evict || lastSector == 0); // ended before its eviction
                    EXPECT_GE(r->m_ullFileSize, original.size());
                    EXPECT_LE(r->m_ullFileSize, original.size() + 3);
                    continue;
                }
                EXPECT_TRUE(evict);
                ASSERT_NE(r->m_pAnalyser, &pdf); // handed to the classic sizer
                const unsigned long long classic = ClassicSize(*r, image, ss);
                EXPECT_GE(classic, original.size());
                EXPECT_LE(classic, original.size() + 3);
            }
        }
    }
}

// A PDF ending before the old fixed start of the end search (1024 bytes) was
// run to the search's limit; one followed by another PDF without a zero tail
// ends where the next begins; one whose end is never found is kept to the
// device's end.
TEST(CarverPdf, ClassicEndsEarlyAndAtTheNextPdf) {
    const unsigned ss = 512;
    Bytes image(8 * ss, 0);
    const char small[] = "%PDF-1.4\n1 0 obj<<>>endobj\ntrailer<<>>\n%%EOF\n";
    std::memcpy(image.data(), small, sizeof small - 1);
    FilePDFAnalyser classic;
    CRawFileInfo r;
    r.m_pAnalyser = &classic;
    EXPECT_EQ(ClassicSize(r, image, ss), ss);
    std::fill(image.begin(), image.end(), 'x');
    std::memcpy(image.data(), small, sizeof small - 1);
    std::memcpy(image.data() + 3 * ss, "%PDF-1.4", 8);
    EXPECT_EQ(ClassicSize(r, image, ss), 3u * ss);
    // A marker cut by the sector boundary: 7 bytes past its start.
    std::fill(image.begin(), image.end(), 'x');
    std::memcpy(image.data(), "%PDF-1.4", 8);
    std::memcpy(image.data() + 2 * ss - 2, "%%EOF", 5);
    std::fill(image.begin() + 2 * ss + 3, image.end(), 0);
    EXPECT_EQ(ClassicSize(r, image, ss), 3u * ss); // 2 * ss + 5, rounded up to the sector
    // No sector ending in zeros before the device ends: kept to the device's end.
    std::fill(image.begin(), image.end(), 'x');
    std::memcpy(image.data(), small, sizeof small - 1);
    EXPECT_EQ(ClassicSize(r, image, ss), 8u * ss);
}

// Which "%%EOF" ends a document: only one after "startxref" and its offset;
// the last unless an incremental update (an object or a cross-reference
// table) follows; undecided when the text ends first. Its line end counts.
TEST(CarverPdf, EndOfTheCrossReferenceChain) {
    struct Case {
        const char* text;
        pdfend::Kind kind;
        std::size_t end;
    };
    const Case cases[] = {
        {"startxref\n1234\n%%EOF\n\x8f\x02\xa7garbage-old-data", pdfend::Kind::Last, 21},
        {"startxref\r\n99\r\n%%EOF\r\n\xff\xd8\xff\xe0 old data here", pdfend::Kind::Last, 22},
        {"startxref\n1234\n%%EOF\n12 0 obj\n<< >>\nendobj", pdfend::Kind::Update, 21},
        {"startxref\n1234\n%%EOF\nxref\n0 1\n0000000000 65535 f", pdfend::Kind::Update, 21},
        {"startxref\n1234\n%%EOF\n12", pdfend::Kind::Unknown, 21},
        {"trailer <<>>\n%%EOF\n\x01\x02\x03\x04\x05\x06\x07\x08\x09", pdfend::Kind::None, 0},
        {"startxref\n\n%%EOF\n\x01\x02\x03\x04\x05\x06\x07\x08\x09", pdfend::Kind::None, 0},
    };
    for (const Case& c : cases) {
        const std::string text(c.text);
        const auto* t = reinterpret_cast<const unsigned char*>(text.data());
        const std::size_t at = text.find("%%EOF");
        std::size_t end = 0;
        EXPECT_EQ(pdfend::Classify(t, text.size(), at, end), c.kind) << text;
        if (c.kind != pdfend::Kind::None) {
            EXPECT_EQ(end, c.end) << text;
        }
    }
    // A linearized file's first section, then its last: the scan keeps the
    // first as an end an update may follow and answers the last.
    const std::string two = "%PDF-1.5\nstartxref\n116\n%%EOF\n5 0 obj\n<<>>\nendobj\nstartxref\n9\n%%EOF\n\x9c\x88junk--";
    long long lastEnd = 0;
    const auto* t = reinterpret_cast<const unsigned char*>(two.data());
    EXPECT_EQ(pdfend::Scan(t, two.size(), 0, two.size(), 1000, lastEnd),
              1000 + static_cast<long long>(two.rfind("%%EOF") + 6));
    EXPECT_EQ(lastEnd, 1000 + static_cast<long long>(two.find("%%EOF") + 6));
}
