// The compound-file analyser on hand-made directories and on documents made by
// LibreOffice (tests/fixtures/office_samples.sh): streamed and classic sizes,
// kinds, names from the summary, and what an evicted candidate keeps; and
// pandoc's presentation sized classically.
#include "engine/carver/analysers/OleAnalyser.h"
#include "engine/carver/analysers/ZipAnalyser.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Sample(const char* name) {
    std::ifstream in(salvor::test::FixtureFile("office_samples", name), std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A directory of 128-byte entries with these names.
Bytes Directory(std::initializer_list<std::u16string> names) {
    Bytes dir;
    for (const std::u16string& n : names) {
        Bytes e(128, 0);
        for (std::size_t i = 0; i < n.size(); ++i) {
            e[2 * i] = static_cast<unsigned char>(n[i]);
            e[2 * i + 1] = static_cast<unsigned char>(n[i] >> 8);
        }
        dir.insert(dir.end(), e.begin(), e.end());
    }
    return dir;
}

unsigned Kind(const Bytes& dir, int bytes = -1) {
    CRawFileInfo info;
    FileOLEAnalyser::CheckSectDirData(dir.data(), bytes < 0 ? static_cast<int>(dir.size()) : bytes, &info);
    return info.m_eRawFileType;
}

// Replaces every UTF-16 occurrence of `from` in the directory with `to` (same length or shorter).
void Rename(Bytes& file, const std::u16string& from, const std::u16string& to) {
    Bytes f(from.size() * 2), t(64, 0);
    for (std::size_t i = 0; i < from.size(); ++i) f[2 * i] = static_cast<unsigned char>(from[i]);
    for (std::size_t i = 0; i < to.size(); ++i) t[2 * i] = static_cast<unsigned char>(to[i]);
    for (auto it = std::search(file.begin(), file.end(), f.begin(), f.end()); it != file.end();
         it = std::search(it + 1, file.end(), f.begin(), f.end())) {
        if ((it - file.begin()) % 128) continue; // names begin their entry
        std::copy(t.begin(), t.end(), it);
        it[0x40] = static_cast<unsigned char>(2 * (to.size() + 1));
    }
}

struct Streamed {
    std::unique_ptr<CRawFileInfo> record;
    bool ended = false;
};

// Streams `file` (padded to whole sectors and followed by zeros) as the
// carver shows it, the whole of it buffered; removes the record as an
// eviction does at sector `removeAt`.
Streamed Stream(FileOLEAnalyser& ole, Bytes file, unsigned ss, long long removeAt = -1) {
    file.resize((file.size() + ss - 1) / ss * ss + 4 * ss, 0);
    CRawFileInfo blank;
    EXPECT_EQ(ole.AnalyseBuffer(file.data(), blank), 1);
    Streamed out;
    out.record.reset(ole.CreateRawFileInfo());
    out.record->m_eRawFileType = blank.m_eRawFileType;
    out.record->m_pAnalyser = &ole;
    const long long sectors = static_cast<long long>(file.size() / ss);
    for (long long s = 0; s < sectors; ++s) {
        unsigned char* p = file.data() + s * ss;
        if (s == removeAt) {
            out.record->WillBeRemove(p, s);
            return out;
        }
        const CRawWindow window(file.data(), file.data() + file.size(), p);
        auto c = CRawFileInfo::SearchContext::For(p, ss, 0, sectors, &window);
        if (out.record->CalcRawSize(p, static_cast<int>(ss), s, c) == 1) {
            out.ended = out.record->m_ullFileSize > 0;
            if (!out.ended) out.record->WillBeRemove(p, s);
            return out;
        }
    }
    out.record->WillBeRemove(nullptr, -1);
    return out;
}

// The classic sizer on an image holding `file` from sector 0, for `info`
// (a fresh candidate when none is given).
CRawFileInfo Classic(const Bytes& file, unsigned ss, unsigned long long* size = nullptr, CRawFileInfo* given = nullptr) {
    // A folder of its own: the cases run in parallel processes.
    const salvor::test::TempDir dir;
    const std::string path = dir.file("ole_classic.img");
    Bytes image = file;
    image.resize((file.size() + ss - 1) / ss * ss + 2 * ss, 0);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice device(path, ss);
    FileOLEAnalyser ole;
    CRawFileInfo fresh;
    fresh.m_eRawFileType = FileOLEAnalyser::kOle;
    CRawFileInfo& info = given ? *given : fresh;
    if (!ole.GetRawFileSize(info, &device)) info.m_ullFileSize = 0;
    if (size) *size = info.m_ullFileSize;
    return info;
}

} // namespace

TEST(CarverOle, KindsFromDirectoryNames) {
    EXPECT_EQ(Kind(Directory({u"Root Entry", u"Workbook", u"PowerPoint Document"})), FileOLEAnalyser::kPpt);
    // LibreOffice's presentation keeps its stream in entry 5.
    EXPECT_EQ(Kind(Directory({u"Root Entry", u"\x0005SummaryInformation", u"\x0005" "DocumentSummaryInformation",
                              u"Pictures", u"Current User", u"PowerPoint Document"})),
              FileOLEAnalyser::kPpt);
    const Bytes fifth = Directory({u"Root Entry", u"a", u"b", u"c", u"WordDocument", u"d", u"e", u"f"});
    EXPECT_EQ(Kind(fifth), FileOLEAnalyser::kDoc);
    EXPECT_EQ(Kind(fifth, 512), FileOLEAnalyser::kMof);
    EXPECT_EQ(Kind(Directory({u"Root Entry", u"WordDocument", u"VisioDocument"})), FileOLEAnalyser::kVsd);
    EXPECT_EQ(Kind(Directory({u"Root Entry", u"\x0001" "CompObj", u"   112", u"   212"})), FileOLEAnalyser::kMpp);
    EXPECT_EQ(Kind(Directory({u"Root Entry", u"PerfectOffice_MAIN", u"PerfectOffice_OBJECTS"})),
              FileOLEAnalyser::kWpg);
    EXPECT_EQ(Kind(Directory({u"Root Entry"}), 100), FileOLEAnalyser::kMof);
    // Bytes 4-7 decide.
    Bytes head(512, 0);
    std::memcpy(head.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE0", 8);
    CRawFileInfo info;
    EXPECT_EQ(FileOLEAnalyser().AnalyseBuffer(head.data(), info), 0);
    EXPECT_EQ(FileOLEAnalyser::SizeFromFat(1, 1, 512), 1024u);
    EXPECT_EQ(FileOLEAnalyser::SizeFromFat(300, 128, 4096), (299ull * 1024 + 129) * 4096);
}

// Each LibreOffice document streamed and sized classically, at 512- and
// 4096-byte device sectors: the exact size, its kind, and its name from the
// summary (in the mini stream for the Word and Excel files).
TEST(CarverOle, LibreOfficeDocumentsStreamedAndClassic) {
    setenv("TZ", "UTC", 1);
    struct Case {
        const char* file;
        unsigned kind;
        const char* name;
    };
    const Case cases[] = {{"z.doc", FileOLEAnalyser::kDoc, "Ann_Plan_2014-05-06-07-08-09"},
                          {"z.ppt", FileOLEAnalyser::kPpt, "Ann_Plan_2014-05-06-07-08-09"},
                          {"z.xls", FileOLEAnalyser::kXls, ""},
                          {"big.xls", FileOLEAnalyser::kXls, ""},
                          {"leap.doc", FileOLEAnalyser::kDoc, "Ann_Leap_2020-02-29-12-00-00"}};
    for (const Case& c : cases)
        for (unsigned ss : {512u, 4096u}) {
            SCOPED_TRACE(std::string(c.file) + " at " + std::to_string(ss));
            const Bytes file = Sample(c.file);
            ASSERT_FALSE(file.empty());
            FileOLEAnalyser ole;
            Streamed st = Stream(ole, file, ss);
            // big.xls lists its last FAT sectors in a DIFAT sector written
            // after them: the stream hands it to the classic sizer.
            const bool streamed = std::string(c.file) != "big.xls";
            EXPECT_EQ(st.ended, streamed);
            EXPECT_EQ(st.record->m_ullFileSize, streamed ? file.size() : 0u);
            if (streamed) {
                EXPECT_EQ(st.record->m_eRawFileType, c.kind);
            }
            if (*c.name) {
                EXPECT_EQ(st.record->GetRawFileName(), c.name);
                RAW_FILE_TAG tag;
                std::string value;
                st.record->GetRawFileTagAndValue(tag, value);
                EXPECT_EQ(tag, RAW_TAG_OFFICE);
                EXPECT_EQ(value, "Ann");
            }
            unsigned long long size = 0;
            EXPECT_EQ(Classic(file, ss, &size).m_eRawFileType, c.kind);
            EXPECT_EQ(size, file.size());
        }
}

// A presentation evicted once its summary went by keeps its name and label;
// the classic sizer then gives the whole file.
TEST(CarverOle, EvictedKeepsItsName) {
    setenv("TZ", "UTC", 1);
    const Bytes file = Sample("z.ppt");
    FileOLEAnalyser ole;
    Streamed st = Stream(ole, file, 512, 0x5000 / 512 + 2);
    EXPECT_FALSE(st.ended);
    EXPECT_EQ(st.record->m_ullFileSize, 0u);
    ASSERT_TRUE(ole.GetRawFileSize(*st.record, nullptr) == 0); // no device: dropped, never a crash
    unsigned long long size = 0;
    Classic(file, 512, &size, st.record.get());
    EXPECT_EQ(size, file.size());
    EXPECT_EQ(st.record->GetRawFileName(), "Ann_Plan_2014-05-06-07-08-09");
    RAW_FILE_TAG tag;
    std::string value;
    st.record->GetRawFileTagAndValue(tag, value);
    EXPECT_EQ(tag, RAW_TAG_OFFICE);
}

// Other kinds by renaming z.xls's streams; a codepage-1252 title; 4096-byte
// compound sectors; damaged headers and DIFAT chains.
TEST(CarverOle, PatchedDocuments) {
    setenv("TZ", "UTC", 1);
    const Bytes xls = Sample("z.xls");
    for (auto [name, kind] : {std::pair{u"VisioDocument", FileOLEAnalyser::kVsd}, {u"Scene", FileOLEAnalyser::kMax},
                              {u"PowerPoint Document", FileOLEAnalyser::kPpt}}) {
        Bytes f = xls;
        Rename(f, u"Workbook", name);
        FileOLEAnalyser ole;
        EXPECT_EQ(Stream(ole, f, 512).record->m_eRawFileType, kind);
        EXPECT_EQ(Classic(f, 512).m_eRawFileType, kind);
    }
    // The title in Windows-1252, as the set's codepage says.
    Bytes cp = Sample("cp.doc");
    const unsigned char utf8[] = {'C', 'a', 'f', 0xC3, 0xA9};
    auto t = std::search(cp.begin(), cp.end(), std::begin(utf8), std::end(utf8));
    ASSERT_NE(t, cp.end());
    t[3] = 0xE9;
    t[4] = 0;
    const unsigned char page[] = {0x02, 0, 0, 0, 0xE9, 0xFD};
    auto p = std::search(cp.begin(), cp.end(), std::begin(page), std::end(page));
    ASSERT_NE(p, cp.end());
    p[4] = 0xE4;
    p[5] = 0x04;
    FileOLEAnalyser ole;
    EXPECT_EQ(Stream(ole, cp, 512).record->GetRawFileName(), "Ann_Café_2014-05-06-07-08-09");

    // A header whose DIFAT chain points to itself, and one listing no FAT sector.
    Bytes loop = Sample("big.xls");
    const std::uint32_t difat = loop[0x44] | loop[0x45] << 8 | loop[0x46] << 16 | static_cast<std::uint32_t>(loop[0x47]) << 24;
    const std::size_t last = (difat + 1) * 512ull + 508;
    for (int i = 0; i < 4; ++i) loop[last + i] = loop[0x44 + i];
    unsigned long long size = 1;
    Classic(loop, 512, &size);
    EXPECT_EQ(size, 0u);
    EXPECT_FALSE(Stream(ole, loop, 512).ended);
    Bytes empty = xls;
    std::fill(empty.begin() + 0x4C, empty.begin() + 512, 0xFF);
    Classic(empty, 512, &size);
    EXPECT_EQ(size, 0u);
}

// A compound file with 4096-byte sectors: header, FAT in sector 0, directory in
// sector 1, and data up to sector 5.
TEST(CarverOle, FourKilobyteSectors) {
    Bytes f(7 * 4096, 0);
    std::memcpy(f.data(), "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8);
    f[0x1A] = 4;
    f[0x1E] = 12;
    f[0x30] = 1; // directory
    std::memcpy(&f[0x44], "\xFE\xFF\xFF\xFF", 4); // no DIFAT
    std::memset(&f[0x4C], 0xFF, 109 * 4);
    std::memset(&f[0x4C], 0, 4); // FAT sector 0
    std::memset(&f[4096], 0xFF, 4096);
    for (int i = 0; i < 6; ++i) std::memset(&f[4096 + 4 * i], i == 0 ? 0xFD : 0xFE, 4);
    const Bytes dir = Directory({u"Root Entry", u"WordDocument"});
    std::copy(dir.begin(), dir.end(), f.begin() + 2 * 4096);
    for (unsigned ss : {512u, 4096u}) {
        FileOLEAnalyser ole;
        Streamed st = Stream(ole, f, ss);
        EXPECT_TRUE(st.ended);
        EXPECT_EQ(st.record->m_ullFileSize, 7u * 4096);
        EXPECT_EQ(st.record->m_eRawFileType, FileOLEAnalyser::kDoc);
        unsigned long long size = 0;
        EXPECT_EQ(Classic(f, ss, &size).m_eRawFileType, FileOLEAnalyser::kDoc);
        EXPECT_EQ(size, 7u * 4096);
    }
}

// pandoc's presentation begins with a slide: the classic sizer, which judges
// the first member's name, types it PPTX where the stream could not.
TEST(CarverOle, PandocPresentationClassic) {
    const Bytes pptx = Sample("z.pptx");
    const salvor::test::TempDir dir;
    const std::string path = dir.file("pptx_classic.img");
    Bytes image = pptx;
    image.resize(image.size() + 1024, 0);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice device(path, 512);
    FileZIPAnalyser zip;
    CRawFileInfo info;
    ASSERT_EQ(zip.GetRawFileSize(info, &device), 1);
    EXPECT_EQ(info.m_eRawFileType, FileZIPAnalyser::kPptx);
    EXPECT_EQ(info.m_ullFileSize, pptx.size());
}
