// Properties from entry runs, the FAT node and the partition record.
#include "engine/common/DataRunList.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatSearchedPartitionInfo.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {
std::vector<std::uint8_t> Short(const char* name11, std::uint8_t attr = 0x20, std::uint32_t cluster = 5,
                                std::uint32_t size = 10) {
    return fattest::ShortEntry(name11, attr, cluster, size);
}

std::vector<std::uint8_t> Lfn(const std::u16string& units) { return fattest::LfnEntry(units); }
using fattest::Put16;

// The pieces of a name as stored: last piece first, then the short entry.
std::vector<std::uint8_t> EntryRun(const std::u16string& name, const std::vector<std::uint8_t>& shortEntry) {
    std::vector<std::vector<std::uint8_t>> pieces;
    for (std::size_t i = 0; i < name.size(); i += 13) pieces.push_back(Lfn(name.substr(i, 13)));
    if (name.size() % 13 == 0) pieces.push_back(Lfn(u"")); // never written by real tools; kept harmless
    std::vector<std::uint8_t> out;
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) out.insert(out.end(), it->begin(), it->end());
    out.insert(out.end(), shortEntry.begin(), shortEntry.end());
    return out;
}

std::unique_ptr<CFATFileProperties> Build(const std::vector<std::uint8_t>& run) {
    return std::unique_ptr<CFATFileProperties>(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(run));
}
} // namespace

TEST(FatPropertiesBuilder, LongNamesJoinWhole) {
    const auto shortEntry = Short("ALONGN~1BIN", 0x20, 7, 1234);
    auto p = Build(EntryRun(u"A file with a rather long name, 48 characters.bin", shortEntry));
    ASSERT_NE(p, nullptr);
    EXPECT_STREQ(p->GetFileName(), "A file with a rather long name, 48 characters.bin");
    EXPECT_EQ(p->GetFileNameLength(), 49u);
    EXPECT_EQ(p->GetFileSize(), 1234);
    EXPECT_EQ(p->GetFirstClusterNum(), 7);
    EXPECT_EQ(p->GetState(), 0);

    // A surrogate pair split across two pieces survives the join.
    std::u16string emoji = u"abcdefghijkl";
    emoji += u"\U0001F600";
    emoji += u".txt";
    auto e = Build(EntryRun(emoji, shortEntry));
    ASSERT_NE(e, nullptr);
    EXPECT_STREQ(e->GetFileName(), "abcdefghijkl\xF0\x9F\x98\x80.txt");

    auto cjk = Build(EntryRun(u"日本語のファイル名.txt", shortEntry));
    EXPECT_STREQ(cjk->GetFileName(), "日本語のファイル名.txt");
}

TEST(FatPropertiesBuilder, FallbacksAndLimits) {
    const auto shortEntry = Short("README  TXT");
    EXPECT_STREQ(Build(EntryRun(u"bad:name", shortEntry))->GetFileName(), "README.TXT");
    EXPECT_STREQ(Build(shortEntry)->GetFileName(), "README.TXT");
    // An orphan piece before a new name's last piece is dropped.
    std::vector<std::uint8_t> run = Lfn(u"stale piece 1");
    auto fresh = EntryRun(u"new.txt", shortEntry);
    run.insert(run.end(), fresh.begin(), fresh.end());
    EXPECT_STREQ(Build(run)->GetFileName(), "new.txt");
    // Only long-name entries: nothing to build.
    EXPECT_EQ(Build(Lfn(u"abc")), nullptr);
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer({}), nullptr);
    // A composed name too long for the builder.
    std::vector<std::uint8_t> huge;
    for (int i = 0; i < 90; ++i) {
        auto piece = Lfn(u"abcdefghijklm");
        huge.insert(huge.end(), piece.begin(), piece.end());
    }
    huge.insert(huge.end(), shortEntry.begin(), shortEntry.end());
    EXPECT_EQ(Build(huge), nullptr);
    // A deleted entry.
    auto gone = Build(Short("\xE5" "ONE    BIN"));
    EXPECT_STREQ(gone->GetFileName(), "#ONE.BIN");
    EXPECT_EQ(gone->GetState(), 1);
    EXPECT_EQ(CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry("", shortEntry), nullptr);
}

TEST(FatProperties, DosTimes) {
    EXPECT_EQ(DosDateTimeToFileTime(0, 0).Value(), 0u);
    EXPECT_EQ(DosDateTimeToFileTime(0, 0x1234).Value(), 0u);
    // 2021-12-26 15:15:02 and one day later differ by one day (DST aside).
    const auto a = DosDateTimeToFileTime(static_cast<std::uint16_t>((41 << 9) | (12 << 5) | 26),
                                         static_cast<std::uint16_t>((15 << 11) | (15 << 5) | 1));
    const auto b = DosDateTimeToFileTime(static_cast<std::uint16_t>((41 << 9) | (12 << 5) | 27),
                                         static_cast<std::uint16_t>((15 << 11) | (15 << 5) | 1));
    EXPECT_GT(a.Value(), 116444736000000000ull);
    EXPECT_EQ(b.Value() - a.Value(), 864000000000ull);
    auto e = Short("A       TXT");
    Put16(e, 16, 0); // no creation date
    Put16(e, 24, (41 << 9) | (12 << 5) | 26);
    auto p = Build(e);
    EXPECT_EQ(p->GetCreationTime().Value(), 0u);
    EXPECT_NE(p->GetModificationTime().Value(), 0u);
}

TEST(FatProperties, CloneOwnsItsRuns) {
    auto p = std::make_unique<CFATFileProperties>();
    p->SetFileName("x.bin");
    auto* runs = CreateDataRunList();
    DataRun r{10, 5};
    runs->AddDataRun(&r);
    p->SetDataRunList(runs);
    std::unique_ptr<IFileProperties> c(p->Clone());
    ASSERT_NE(c->GetDataRunList(), nullptr);
    EXPECT_NE(c->GetDataRunList(), p->GetDataRunList());
    EXPECT_STREQ(c->GetFileName(), "x.bin");
    EXPECT_NE(c->GetFileName(), p->GetFileName());
    p.reset(); // the clone's runs must outlive the original
    EXPECT_EQ(c->GetDataRunList()->GetFirst()->length, 5);

    CFATFileProperties a, b;
    b.SetFileName("b");
    b.SetFileSize(9);
    b.SetMetaDataSector(77);
    a.SetMetaDataSector(5);
    a = b;
    EXPECT_STREQ(a.GetFileName(), "b");
    EXPECT_EQ(a.GetFileSize(), 9);
    EXPECT_EQ(a.GetMetaDataSector(), 5);
}

TEST(FatFileNode, ForwardsAndClones) {
    auto* props = CFATFileProperties::Create();
    props->SetFileName("  ..name.txt");
    props->SetAttribute(0x0120);
    props->SetFirstClusterNum(42);
    props->SetParentFirstClusterNum(7);
    props->SetMetaDataSector(1000);
    props->SetFileSize(5);
    std::unique_ptr<CFATFileNode, void (*)(CFATFileNode*)> node(new CFATFileNode(), [](CFATFileNode* n) { n->Release(); });
    ASSERT_TRUE(node->SetFileProperties(props));
    EXPECT_EQ(node->GetCurrentNodeID(), 42);
    EXPECT_EQ(node->GetParentNodeID(), 7);
    EXPECT_EQ(node->GetMetadataStartPosition(), 1000);
    EXPECT_EQ(node->GetAttribute(), 0x0120u);
    EXPECT_FALSE(node->IsDirectory());
    EXPECT_EQ(node->GetSearcheType(), SEARCHER_FAT);
    node->FilterFileNameByDot();
    EXPECT_STREQ(node->GetFileName(), "name.txt");
    EXPECT_FALSE(node->IsDeleted());
    node->MarkDeleted();
    EXPECT_TRUE(node->IsDeleted());

    IFileNode* bare = node->Clone();
    EXPECT_EQ(static_cast<CFATFileNode*>(bare)->GetDataRunList(), nullptr);
    EXPECT_STREQ(bare->GetFileName(), "name.txt");
    EXPECT_EQ(bare->GetCurrentNodeID(), 42);
    bare->Release();

    auto* runs = CreateDataRunList();
    DataRun r{1, 2};
    runs->AddDataRun(&r);
    node->SetDataRunList(runs);
    IFileNode* copy = node->Clone();
    EXPECT_NE(static_cast<CFATFileNode*>(copy)->GetDataRunList(), runs);
    copy->Release();

    auto* dirProps = CFATFileProperties::Create();
    dirProps->SetAttribute(0x30);
    CFATFileNode dir;
    dir.SetFileProperties(dirProps);
    EXPECT_TRUE(dir.IsDirectory());
    CFATFileNode empty;
    EXPECT_STREQ(empty.GetFileName(), "");
    EXPECT_FALSE(empty.SetFileProperties(nullptr));
}

TEST(FatFileNode, DuplicateTakesTheTwinsProperties) {
    auto make = [](const char* name, std::uint16_t attr, std::uint64_t created) {
        auto* p = CFATFileProperties::Create();
        p->SetFileName(name);
        p->SetAttribute(attr);
        p->SetFirstClusterNum(9);
        p->SetParentFirstClusterNum(2);
        p->SetCreationTime(_FILETIME::From(created));
        auto* n = new CFATFileNode();
        n->SetFileProperties(p);
        return std::unique_ptr<CFATFileNode, void (*)(CFATFileNode*)>(n, [](CFATFileNode* x) { x->Release(); });
    };
    auto a = make("OLD", 0x10, 100);
    auto b = make("NEW", 0x10, 200);
    EXPECT_FALSE(*a == *b);
    EXPECT_STREQ(a->GetFileName(), "NEW");
}

TEST(FatSearchedPartitionInfo, CloneKeepsGeometryNotScores) {
    std::unique_ptr<CFATSearchedPartitionInfo> p(CFATSearchedPartitionInfo::CreateFATSearchedPartitionInfo(4096));
    p->m_partitionIndex = 3;
    p->m_fileSystemType = FS_FAT32;
    p->m_sectorsPerCluster = 8;
    p->m_clusterOrigin = 2048 + 32 + 2000;
    p->SetStartSector(2048);
    p->SetTotalSectors(131072);
    p->SetReservedSector(32);
    p->SetSectorPerFAT(1000);
    p->SetTotalCluster(16000);
    p->SetRootInfo(2);
    p->MergeFlag(CFATSearchedPartitionInfo::kFlagFat32Boot);
    p->MergeFlag(CFATSearchedPartitionInfo::kFlagFirstFatSeen);
    p->m_searcherField2 = 5;
    p->m_searcherField4 = 100;
    std::unique_ptr<CSearchedPartitionInfo> c(p->Clone());
    auto* f = dynamic_cast<CFATSearchedPartitionInfo*>(c.get());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->GetType(), 1);
    EXPECT_EQ(f->GetSectorSize(), 4096u);
    EXPECT_EQ(f->m_partitionIndex, 3);
    EXPECT_EQ(f->m_clusterOrigin, 2048 + 32 + 2000);
    EXPECT_EQ(f->GetStartSector(), 2048);
    EXPECT_EQ(f->GetTotalSectors(), 131072u);
    EXPECT_EQ(f->GetReservedSector(), 32);
    EXPECT_EQ(f->GetSectorPerFAT(), 1000u);
    EXPECT_EQ(f->GetTotalCluster(), 16000u);
    EXPECT_EQ(f->GetRootInfo(), 2u);
    EXPECT_EQ(f->GetFlag(), 0xC4u);
    EXPECT_EQ(f->m_searcherField2, 0);
    EXPECT_EQ(f->m_searcherField4, 1);
    CFATSearchedPartitionInfo::DestroyFATSearchedPartitionInfo(nullptr);
}
