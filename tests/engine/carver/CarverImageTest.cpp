// Deep scans of images composed from EPS samples made by ImageMagick,
// Ghostscript and epstool (tests/fixtures/carve_eps.sh): every sample is found
// once at its start, named and filed under eps, and written back byte-exact,
// at 512- and 4096-byte sectors, behind zero and random gaps, with 4 MiB and
// 1 MiB blocks.
#include "engine/carver/analysers/ZipAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/fs_Carve.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <regex>
#include <set>

using namespace salvor::test;

namespace {

struct Sample {
    long long start;
    std::string sha256;
};

std::vector<Sample> Manifest(const std::string& path) {
    const std::string text = ReadText(path);
    static const std::regex entry(R"re("start": (\d+),\s*"size": \d+,\s*"sha256": "([0-9a-f]{64})")re");
    std::vector<Sample> out;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back({std::stoll((*it)[1]), (*it)[2]});
    return out;
}

// Every value of a numeric field ("type", "size") of a manifest, in order.
std::vector<long long> Field(const std::string& manifest, const std::string& key) {
    const std::regex entry("\"" + key + "\": (\\d+)");
    std::vector<long long> out;
    for (auto it = std::sregex_iterator(manifest.begin(), manifest.end(), entry); it != std::sregex_iterator(); ++it)
        out.push_back(std::stoll((*it)[1]));
    return out;
}

// A deep scan of a composed image, with 4 MiB or 1 MiB blocks.
struct ComposedScan {
    ComposedScan(const std::string& image, unsigned ss, bool smallBlocks) : device(image, ss), scan(device) {
        scan.blockSectors = smallBlocks ? (1u << 20) / ss : 0;
    }
    ImageDevice device;
    CarveScan scan;
};

class CarverImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

} // namespace

TEST_P(CarverImage, EverySampleOnceAndByteExact) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "eps_" + std::to_string(ss) + "_" + gaps;
    const std::vector<Sample> samples = Manifest(FixtureFile("carve_eps", base + ".json"));
    ASSERT_EQ(samples.size(), 9u);
    ComposedScan composed(FixtureFile("carve_eps", base + ".img"), ss, smallBlocks);
    CarveScan& scan = composed.scan;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    std::set<std::string> names, expected;
    for (std::size_t i = 0; i < samples.size(); ++i) expected.insert("eps/FILE00" + std::to_string(i) + ".EPS");
    for (const CarvedNode& f : files) names.insert(std::to_string(f.tree) + ":" + f.path);
    std::set<std::string> want;
    for (const auto& e : expected) want.insert("34:" + e);
    EXPECT_EQ(names, want);
    EXPECT_EQ(scan.Folders(), std::vector<std::string>{"34:eps/"});

    const auto map = scan.SectorMap();
    for (const Sample& s : samples) {
        auto it = std::find_if(files.begin(), files.end(), [&](const CarvedNode& f) { return f.start == s.start; });
        ASSERT_NE(it, files.end()) << "no file at " << s.start;
        EXPECT_EQ(Sha256File(scan.Recover(it->node)), s.sha256) << it->path;
        EXPECT_EQ(map.count(s.start) ? map.at(s.start) : 0u, 27u) << s.start;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));

// PDFs made by Ghostscript (tests/fixtures/carve_pdf.sh): j2.pdf ends in the
// stream, j.pdf (below the stream's minimum, followed by the next PDF) is
// sized by the classic sizer; each is named from its document information,
// filed under PDF/Ann Smith, and carved whole (at most a sector more).
class CarverPdfImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

TEST_P(CarverPdfImage, NamedAndWhole) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "pdf_" + std::to_string(ss) + "_" + gaps;
    const std::string manifest = ReadText(FixtureFile("carve_pdf", base + ".json"));
    static const std::regex entry(R"re("start": (\d+),\s*"size": (\d+))re");
    std::ifstream in(FixtureFile("carve_pdf", base + ".img"), std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ComposedScan composed(FixtureFile("carve_pdf", base + ".img"), ss, smallBlocks);
    CarveScan& scan = composed.scan;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    EXPECT_EQ(files.size(), 6u);
    static const std::regex name(R"(PDF/Ann Smith/Quarterly plan2014-05-06 07-08-09\d{3}\.PDF)");
    for (auto it = std::sregex_iterator(manifest.begin(), manifest.end(), entry); it != std::sregex_iterator(); ++it) {
        const long long start = std::stoll((*it)[1]);
        const auto at = image.begin() + start * ss;
        const std::vector<std::uint8_t> sample(at, at + std::stoll((*it)[2]));
        auto f = std::find_if(files.begin(), files.end(), [&](const CarvedNode& c) { return c.start == start; });
        ASSERT_NE(f, files.end()) << "no file at " << start;
        EXPECT_EQ(f->tree, 36);
        EXPECT_TRUE(std::regex_match(f->path, name)) << f->path;
        EXPECT_EQ(JudgeCarve(sample, scan.Read(f->node), ss), "") << f->path;
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverPdfImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));

// ZIP archives by Info-ZIP (plain, with a comment, with data descriptors,
// Zip64, a JAR, a tiny one, one whose end record straddles a sector border
// with the next file in the very next sector, one with file comments in its
// central directory) and packages by Python's zipfile (DOCX, ODT, EPUB)
// (tests/fixtures/carve_zip.sh): each carved byte-exact and typed from its
// member names; the DOCX named and labelled from its core properties.
class CarverZipImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

TEST_P(CarverZipImage, ByteExactAndTyped) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    const std::string base = "zip_" + std::to_string(ss) + "_" + gaps;
    const std::string manifest = ReadText(FixtureFile("carve_zip", base + ".json"));
    const std::vector<Sample> samples = Manifest(FixtureFile("carve_zip", base + ".json"));
    const std::vector<long long> types = Field(manifest, "type");
    ASSERT_EQ(samples.size(), 22u);
    ASSERT_EQ(types.size(), 22u);
    ComposedScan composed(FixtureFile("carve_zip", base + ".img"), ss, smallBlocks);
    CarveScan& scan = composed.scan;
    ASSERT_EQ(scan.Run(), 0u);

    const std::vector<CarvedNode> files = scan.Files();
    const auto map = scan.SectorMap();
    static const std::regex docx(R"(Office/Word/Ann/Ann_Plan_2014-05-06 07-08-09\d{3}\.DOCX)");
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        auto f = std::find_if(files.begin(), files.end(), [&](const CarvedNode& c) { return c.start == s.start; });
        ASSERT_NE(f, files.end()) << "no file at " << s.start;
        EXPECT_EQ(Sha256File(scan.Recover(f->node)), s.sha256) << f->path;
        EXPECT_EQ(map.count(s.start) ? map.at(s.start) : 0u, types[i] == 72 || types[i] == 118 ? static_cast<unsigned>(types[i]) : 72u);
        if (types[i] == 73) {
            EXPECT_TRUE(std::regex_match(f->path, docx)) << f->path;
        }
    }
}

// An archive whose central directory names one more member, at the first
// local header of a second archive 64 KiB after its end: each is listed on
// its own, byte-exact, and unzip tests the second's five members. Also with
// the first archive's members sized after their data and its end record not
// counting the added entry, the second a Zip64 archive (whose end record
// the first one's end search meets first).
TEST_P(CarverZipImage, ArchiveNamedByAnotherDirectoryListedOnItsOwn) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    for (const char* stem : {"named_", "named64_"}) {
        SCOPED_TRACE(stem);
        const std::string base = stem + std::to_string(ss) + "_" + gaps;
        const std::vector<Sample> samples = Manifest(FixtureFile("carve_zip", base + ".json"));
        ASSERT_EQ(samples.size(), 2u);
        ComposedScan composed(FixtureFile("carve_zip", base + ".img"), ss, smallBlocks);
        CarveScan& scan = composed.scan;
        ASSERT_EQ(scan.Run(), 0u);
        const std::vector<CarvedNode> files = scan.Files();
        EXPECT_EQ(files.size(), 2u);
        for (const Sample& s : samples) {
            auto f = std::find_if(files.begin(), files.end(), [&](const CarvedNode& c) { return c.start == s.start; });
            ASSERT_NE(f, files.end()) << "no archive at " << s.start;
            const std::string path = scan.Recover(f->node);
            EXPECT_EQ(Sha256File(path), s.sha256) << f->path << ": " << f->size << " bytes";
            // Sized from the device as well (a walk given up), each ends with its own end record.
            FileZIPAnalyser classic;
            CRawFileInfo r;
            r.m_llStartSector = s.start;
            EXPECT_EQ(classic.GetRawFileSize(r, &composed.device), 1);
            EXPECT_EQ(r.m_ullFileSize, f->size) << f->path << " sized from the device";
            if (&s == &samples[1]) {
                std::string out;
                EXPECT_EQ(RunCommand("unzip -t '" + path + "'", &out), 0) << out;
                EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 7) << out; // the name, five members, "No errors"
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverZipImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));

// Documents by pandoc and LibreOffice (tests/fixtures/carve_office.sh): the
// compound files and packages carved byte-exact, the PDF within a sector;
// each typed, and filed under its author when its metadata names one.
class CarverOfficeImage : public ::testing::TestWithParam<std::tuple<unsigned, const char*, bool>> {};

TEST_P(CarverOfficeImage, WholeTypedAndNamed) {
    const auto [ss, gaps, smallBlocks] = GetParam();
    setenv("TZ", "UTC", 1);
    const std::string base = "office_" + std::to_string(ss) + "_" + gaps;
    const std::string manifest = ReadText(FixtureFile("carve_office", base + ".json"));
    const std::vector<Sample> samples = Manifest(FixtureFile("carve_office", base + ".json"));
    const std::vector<long long> types = Field(manifest, "type");
    ASSERT_EQ(samples.size(), 13u);
    ASSERT_EQ(types.size(), 13u);
    ComposedScan composed(FixtureFile("carve_office", base + ".img"), ss, smallBlocks);
    CarveScan& scan = composed.scan;
    ASSERT_EQ(scan.Run(), 0u);
    const std::vector<CarvedNode> files = scan.Files();
    std::ifstream in(FixtureFile("carve_office", base + ".img"), std::ios::binary);
    const std::vector<std::uint8_t> image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<long long> sizes = Field(manifest, "size");
    ASSERT_EQ(sizes.size(), 13u);
    // Where each sample is filed: its label path, or its category folder.
    const std::string named = "_Plan_2014-05-06 07-08-09\\d{3}\\.";
    const std::regex where[] = {
        std::regex(R"(Office/Word/Ann/Ann_Plan_2014-05-06-07-08-09\d{3}\.DOC)"), std::regex(R"(xls/.*\.XLS)"),
        std::regex(R"(Office/PowerPoint/Ann/Ann_Plan_2014-05-06-07-08-09\d{3}\.PPT)"), std::regex(R"(xls/.*\.XLS)"),
        std::regex("Office/Word/Ann/Ann" + named + "DOCX"), std::regex(R"(xlsx/.*\.XLSX)"),
        // pandoc's presentation begins with a slide: the stream leaves it a ZIP.
        std::regex(R"(zip/.*\.ZIP)"), std::regex("Office/PowerPoint/Ann/Ann" + named + "PPTX"),
        std::regex(R"(odt/.*\.ODT)"), std::regex(R"(ods/.*\.ODS)"), std::regex(R"(odp/.*\.ODP)"),
        std::regex(R"(epub/.*\.EPUB)"),
        std::regex(R"(PDF/unknown/\d{4}-\d\d-\d\d \d\d-\d\d-\d\d\d{3}\.PDF)")};
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const Sample& s = samples[i];
        auto f = std::find_if(files.begin(), files.end(), [&](const CarvedNode& c) { return c.start == s.start; });
        ASSERT_NE(f, files.end()) << "no file at " << s.start;
        EXPECT_TRUE(std::regex_match(f->path, where[i])) << f->path;
        if (types[i] == 50) {
            const auto at = image.begin() + s.start * ss;
            const std::vector<std::uint8_t> sample(at, at + sizes[i]);
            EXPECT_EQ(JudgeCarve(sample, scan.Read(f->node), ss), "") << f->path;
        } else {
            EXPECT_EQ(Sha256File(scan.Recover(f->node)), s.sha256) << f->path;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Composed, CarverOfficeImage,
                         ::testing::Combine(::testing::Values(512u, 4096u), ::testing::Values("zero", "random"),
                                            ::testing::Bool()));
