// Properties from entry runs and the FAT node, and the
// INI reader of the revision switch.
#include "engine/common/DataRunList.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/IniFile.h"
#include "engine/include/Owned.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

using fattest::LfnEntry;
using fattest::ShortEntry;
using Bytes = std::vector<std::uint8_t>;

namespace {
// The pieces of a name as stored: last piece first, then the short entry.
Bytes EntryRun(const std::u16string& name, const Bytes& shortEntry) {
    std::vector<Bytes> pieces;
    for (std::size_t i = 0; i < name.size(); i += 13)
        pieces.push_back(LfnEntry(name.substr(i, 13)));
    if (name.size() % 13 == 0) pieces.push_back(LfnEntry(u"")); // never written by real tools; kept harmless
    Bytes out;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it)
        out.insert(out.end(), it->begin(), it->end());
    out.insert(out.end(), shortEntry.begin(), shortEntry.end());
    return out;
}

std::unique_ptr<CFATFileProperties> Build(const Bytes& run) {
    return std::unique_ptr<CFATFileProperties>(
        CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(run));
}

Owned<CFATFileNode> Node(CFATFileProperties* p) {
    Owned<CFATFileNode> n(new CFATFileNode());
    n->SetFileProperties(p);
    return n;
}

class IniFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& text) {
        std::ofstream(tmp.file("UIConfig.ini"), std::ios::binary) << text;
        return tmp.file("UIConfig.ini");
    }
    salvor::test::TempDir tmp;
};
} // namespace

TEST(FatPropertiesBuilder, NamesFromEntryRuns) {
    const auto readme = ShortEntry("README  TXT", 0x20, 5, 10);
    Bytes stale = LfnEntry(u"stale piece 1"), huge;
    auto fresh = EntryRun(u"new.txt", readme);
    stale.insert(stale.end(), fresh.begin(), fresh.end());
    for (int i = 0; i < 90; ++i) {
        auto piece = LfnEntry(u"abcdefghijklm");
        huge.insert(huge.end(), piece.begin(), piece.end());
    }
    huge.insert(huge.end(), readme.begin(), readme.end());
    const struct {
        Bytes run;
        const char* name; // null: nothing built
    } rows[] = {
        {EntryRun(u"A file with a rather long name, 48 characters.bin", readme),
         "A file with a rather long name, 48 characters.bin"},
        // A surrogate pair split across two pieces survives the join.
        {EntryRun(u"abcdefghijkl\U0001F600.txt", readme), "abcdefghijkl\xF0\x9F\x98\x80.txt"},
        {EntryRun(u"日本語のファイル名.txt", readme), "日本語のファイル名.txt"},
        {EntryRun(u"bad:name", readme), "README.TXT"},
        {readme, "README.TXT"},
        {stale, "new.txt"}, // an orphan piece before a new name's last piece is dropped
        {LfnEntry(u"abc"), nullptr},
        {{}, nullptr},
        {huge, nullptr}, // a composed name too long for the builder
        {ShortEntry("\xE5"
                    "ONE    BIN",
                    0x20, 5, 10),
         "#ONE.BIN"},
    };
    for (const auto& r : rows) {
        auto p = Build(r.run);
        if (!r.name) {
            EXPECT_EQ(p, nullptr);
            continue;
        }
        ASSERT_NE(p, nullptr) << r.name;
        EXPECT_STREQ(p->GetFileName(), r.name);
        EXPECT_EQ(p->GetFileNameLength(), std::strlen(r.name));
        EXPECT_EQ(p->GetFileSize(), 10);
        EXPECT_EQ(p->GetFirstClusterNum(), 5);
        EXPECT_EQ(p->GetState(), r.name[0] == '#' ? 1 : 0);
    }
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry("", readme), nullptr);
}

TEST(FatProperties, DosTimesInUtc) {
    salvor::test::ScopedTz utc("UTC");
    EXPECT_EQ(DosDateTimeToFileTime(0, 0).Value(), 0u);
    EXPECT_EQ(DosDateTimeToFileTime(0, 0x1234).Value(), 0u);
    // 2021-12-26 15:15:02 UTC in 100 ns units since 1601.
    EXPECT_EQ(DosDateTimeToFileTime((41 << 9) | (12 << 5) | 26, (15 << 11) | (15 << 5) | 1).Value(),
              132850053020000000ull);
    auto e = ShortEntry("A       TXT", 0x20, 5, 10);
    fattest::Put16(e, 16, 0); // no creation date
    fattest::Put16(e, 24, (41 << 9) | (12 << 5) | 26);
    auto p = Build(e);
    EXPECT_EQ(p->GetCreationTime().Value(), 0u);
    EXPECT_EQ(p->GetModificationTime().Value(), 132849504000000000ull);
}

TEST(FatProperties, ClonesOwnTheirRuns) {
    auto p = std::make_unique<CFATFileProperties>();
    p->SetFileName("x.bin");
    auto* runs = CreateDataRunList();
    DataRun r{10, 5};
    runs->AddDataRun(&r);
    p->SetDataRunList(runs);
    std::unique_ptr<IFileProperties> c(p->Clone());
    ASSERT_NE(c->GetDataRunList(), nullptr);
    EXPECT_NE(c->GetDataRunList(), p->GetDataRunList());
    EXPECT_NE(c->GetFileName(), p->GetFileName());
    p.reset(); // the clone's runs must outlive the original
    EXPECT_EQ(c->GetDataRunList()->GetFirst()->length, 5);
    EXPECT_STREQ(c->GetFileName(), "x.bin");
    // Assignment keeps the metadata sector.
    CFATFileProperties a, b;
    b.SetFileName("b");
    b.SetMetaDataSector(77);
    a.SetMetaDataSector(5);
    a = b;
    EXPECT_STREQ(a.GetFileName(), "b");
    EXPECT_EQ(a.GetMetaDataSector(), 5);

    auto* props = CFATFileProperties::Create();
    props->SetFileName("  ..name.txt");
    props->SetFirstClusterNum(42);
    auto node = Node(props);
    node->FilterFileNameByDot();
    EXPECT_STREQ(node->GetFileName(), "name.txt");
    auto* nodeRuns = CreateDataRunList();
    nodeRuns->AddDataRun(&r);
    node->SetDataRunList(nodeRuns);
    IFileNode* copy = node->Clone();
    EXPECT_NE(static_cast<CFATFileNode*>(copy)->GetDataRunList(), nodeRuns);
    EXPECT_EQ(copy->GetCurrentNodeID(), 42);
    copy->Release();
    EXPECT_FALSE(CFATFileNode().SetFileProperties(nullptr));
}

TEST_F(IniFileTest, ReadsItemsExactly) {
    const std::string longValue(3000, 'x');
    CIniFile ini;
    // A last line without a line feed keeps its last character; carriage returns and long lines stay.
    ASSERT_EQ(ini.Init(Write("[UserExperience]\nbRevise=0\nspaced = 1\nempty=\n[S]\r\nk=v\r\nlong=" +
                             longValue + "\nlast=7")),
              0);
    const struct {
        const char *section, *key;
        int rc;
        std::string value;
    } rows[] = {{"UserExperience", "bRevise", 0, "0"},
                {"UserExperience", "spaced", -1, ""},
                {"UserExperience", "spaced ", 0, " 1"},
                {"UserExperience", "empty", -1, ""},
                {"UserExperience", "absent", -1, ""},
                {"Other", "bRevise", -1, ""},
                {"S", "k", 0, "v\r"},
                {"S", "long", 0, longValue},
                {"S", "last", 0, "7"}};
    for (const auto& r : rows) {
        std::string v;
        EXPECT_EQ(ini.ReadItem(r.section, r.key, v), r.rc) << r.section << "/" << r.key;
        EXPECT_EQ(r.rc == 0 ? v : "", r.value) << r.section << "/" << r.key;
    }
}

TEST_F(IniFileTest, RefusedFiles) {
    std::string v;
    for (const char* text : {"k=v\n[S]\n", "[]\nk=v\n", "[S]\na=1\n[T\nb=2\n"}) {
        CIniFile ini;
        EXPECT_EQ(ini.Init(Write(text)), -1) << text;
        EXPECT_EQ(ini.ReadItem("S", "k", v), -1) << text;
        EXPECT_EQ(ini.ReadItem("S", "a", v), text[1] == 'S' ? 0 : -1) << "what was read before stays";
    }
    CIniFile missing;
    EXPECT_EQ(missing.Init(tmp.file("none.ini")), -1);
    EXPECT_EQ(missing.ReadItem("UserExperience", "bRevise", v), -1);
}

TEST_F(IniFileTest, WriteItemRewritesInNameOrder) {
    const std::string path = Write("[B]\nz=1\na=2\n[A]\nk=v\n");
    CIniFile ini(path);
    ASSERT_EQ(ini.Init(), 0);
    EXPECT_EQ(ini.WriteItem("A", "absent", "x"), -1);
    EXPECT_EQ(ini.WriteItem("A", "k", "w"), 0);
    EXPECT_EQ(salvor::test::ReadText(path), "[A]\nk=w\n\n[B]\na=2\nz=1\n\n");
    std::string t = "  \tx y\t ", blank = " \t ";
    EXPECT_EQ(CIniFile::TrimString(t), 0);
    EXPECT_EQ(t, "x y");
    EXPECT_EQ(CIniFile::TrimString(blank), -1);
}
