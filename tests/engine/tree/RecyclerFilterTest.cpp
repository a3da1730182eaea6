#include "engine/tree/RecyclerFilter.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "tests/engine/tree/TreeFakes.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <memory>

using namespace salvor::test;

namespace {

// The bytes of a "$I" index file: version, size, deletion time, and for
// version 2 the name length before the UTF-16LE path.
std::vector<std::uint8_t> IndexFile(const std::u16string& path, int version = 2) {
    std::vector<std::uint8_t> b(24, 0);
    b[0] = static_cast<std::uint8_t>(version);
    b[8] = 0x40; // original size
    if (version == 2) {
        const std::uint32_t units = static_cast<std::uint32_t>(path.size() + 1);
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(units >> (8 * i)));
    }
    for (char16_t c : path) {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
    if (version == 1) b.resize(24 + 520, 0);
    return b;
}

TEST(RecyclerNames, FoldersIndexAndDataNames) {
    auto bin = std::unique_ptr<TestFileNode>(Dir(1, 0, "$RECYCLE.BIN"));
    auto xp = std::unique_ptr<TestFileNode>(Dir(1, 0, "RECYCLER"));
    auto fileNamedBin = std::unique_ptr<TestFileNode>(File(1, 0, "Recycled"));
    auto other = std::unique_ptr<TestFileNode>(Dir(1, 0, "Recycle"));
    EXPECT_TRUE(CRecyclerFilter::IsRecycleBinFolder(bin.get()));
    EXPECT_TRUE(CRecyclerFilter::IsRecycleBinFolder(xp.get()));
    EXPECT_FALSE(CRecyclerFilter::IsRecycleBinFolder(fileNamedBin.get()));
    EXPECT_FALSE(CRecyclerFilter::IsRecycleBinFolder(other.get()));
    EXPECT_FALSE(CRecyclerFilter::IsRecycleBinFolder(nullptr));

    auto sid = std::unique_ptr<TestFileNode>(Dir(2, 1, "S-1-5-21"));
    ASSERT_EQ(bin->AddChild(sid.get()), 1);
    EXPECT_TRUE(CRecyclerFilter::IsInRecycleBin(sid.get()));
    EXPECT_FALSE(CRecyclerFilter::IsInRecycleBin(other.get()));
    bin->RemoveChild(sid.get());

    EXPECT_TRUE(CRecyclerFilter::IsIndexName("$I"));
    EXPECT_TRUE(CRecyclerFilter::IsIndexName("#I12"));
    EXPECT_FALSE(CRecyclerFilter::IsIndexName("$"));
    EXPECT_FALSE(CRecyclerFilter::IsIndexName("I$"));
    EXPECT_TRUE(CRecyclerFilter::IsRecycledDataName("$RAB12CD.jpg"));
    EXPECT_TRUE(CRecyclerFilter::IsRecycledDataName("#R1"));
    // NTFS metafiles and pieces of their names are not recycled files.
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName("$RmMetadata"));
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName("$Repair"));
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName("$Reparse"));
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName("$R"));
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName(nullptr));
}

TEST(RecyclerIndexParse, TakesTheNameAfterTheLastBackslashOfADrivePath) {
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\Users\\bob\\holiday.jpg")), "holiday.jpg");
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"D:\\Ünïcödé 写真.png", 1)), "Ünïcödé 写真.png");
    // Surrogate pairs survive.
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\x\\\U0001F600.txt")), "\U0001F600.txt");
}

TEST(RecyclerIndexParse, RefusesIndexesWithoutADrivePath) {
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"no backslash here")), "");
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"Users\\bob\\x.jpg")), "");
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\")), "");
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName({}), "");
    // Truncated data: the path area is cut short, never read past.
    auto cut = IndexFile(u"C:\\Users\\bob\\holiday.jpg");
    cut.resize(33);
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(cut), "");
}

TEST(RecyclerIndexParse, AByte0x5CInsideAnotherCharacterIsNoSeparator) {
    // U+5C3C has 0x5C as its high byte, at an odd offset.
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\dir\\a\u5C3Cb.txt")), "a\u5C3Cb.txt");
}

TEST(RecyclerIndexParse, OnlyTheFirst512BytesHoldThePath) {
    // The last separator inside them is the drive's: the text after it is
    // cut where the area ends.
    std::u16string longDir(300, u'd');
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\" + longDir + u"\\name.txt")),
              std::string((512 - 34) / 2, 'd'));
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(u"C:\\x.txt")), "x.txt");
}

class RecycleBinTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        builder = std::make_unique<CDirectoryTreeBuilder>(false, &clock);
        ASSERT_EQ(builder->Initialize("Stick", &sink, &filter), 1);
        partition.m_sectorsPerCluster = 1;
        partition.m_clusterOrigin = 100;
    }
    void TearDown() override { ResetFactories(); }

    // Stores bytes at a cluster of the partition and returns an index node
    // whose runs point at them.
    TestFileNode* IndexNode(long long id, long long parent, const std::string& name,
                            const std::vector<std::uint8_t>& bytes, long long cluster) {
        std::copy(bytes.begin(), bytes.end(), device.data.begin() + (100 + cluster) * 512);
        auto* n = File(id, parent, name, static_cast<long long>(bytes.size()));
        const long long clusters = static_cast<long long>((bytes.size() + 511) / 512);
        n->SetDataRunList(Runs({{cluster, clusters}}));
        return n;
    }

    void Add(IFileNode* n, _tagSearcherType type) {
        if (!builder->AddNode(n, type)) n->Release();
    }
    bool IsShown(IFileNode* node) const {
        for (IFileNode* n : sink.AllNodes())
            if (n == node) return true;
        return false;
    }

    FakeClock clock;
    FakeFilter filter;
    RecordingTree sink;
    MemDevice device{400};
    CSearchedPartitionInfo partition;
    std::unique_ptr<CDirectoryTreeBuilder> builder;
};

TEST_F(RecycleBinTreeTest, NtfsDataFileGetsTheNameItsIndexRecords) {
    builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    builder->SetPartitonDevice(&partition, &device);
    Add(Dir(30, 5, "$Recycle.Bin"), SEARCHER_NTFS);
    Add(Dir(31, 30, "S-1-5-21-1000"), SEARCHER_NTFS);
    auto* data = new PropsNode(32, 31, "$RAB12CD.jpg", false, 4096);
    Add(data, SEARCHER_NTFS);
    auto* index = IndexNode(33, 31, "$IAB12CD.jpg", IndexFile(u"C:\\Users\\bob\\Pictures\\holiday.jpg"), 7);
    Add(index, SEARCHER_NTFS);
    auto* unmatched = new PropsNode(34, 31, "$RZZ99.jpg", false, 10);
    Add(unmatched, SEARCHER_NTFS);
    EXPECT_EQ(builder->Stats(SEARCHER_NTFS).held, 5u);
    EXPECT_TRUE(sink.Batches().empty());

    builder->FlashBuild(SEARCHER_NTFS);
    ASSERT_TRUE(IsShown(data));
    EXPECT_STREQ(data->GetFileName(), "holiday.jpg");
    EXPECT_EQ(data->setFileNameCalls, 0); // through its entry properties
    EXPECT_TRUE(data->IsDeleted());
    EXPECT_STREQ(data->GetParent()->GetFileName(), "S-1-5-21-1000");
    ASSERT_TRUE(IsShown(unmatched));
    EXPECT_STREQ(unmatched->GetFileName(), "$RZZ99.jpg");
    for (IFileNode* n : sink.AllNodes()) EXPECT_STRNE(n->GetFileName(), "$IAB12CD.jpg");
    EXPECT_EQ(builder->Stats(SEARCHER_NTFS).held, 0u);
}

TEST_F(RecycleBinTreeTest, ExFatDataFileIsRenamedThroughTheNode) {
    builder->AddSearcherInfo(SEARCHER_EXFAT, 5);
    builder->SetPartitonDevice(&partition, &device);
    Add(Dir(30, 5, "$RECYCLE.BIN"), SEARCHER_EXFAT);
    auto* data = File(32, 30, "$R1.txt");
    Add(data, SEARCHER_EXFAT);
    Add(IndexNode(33, 30, "$I1.txt", IndexFile(u"E:\\notes.txt"), 3), SEARCHER_EXFAT);
    builder->FlashBuild(SEARCHER_EXFAT);
    ASSERT_TRUE(IsShown(data));
    EXPECT_STREQ(data->GetFileName(), "notes.txt");
}

TEST_F(RecycleBinTreeTest, IndexWithoutDrivePathOrUnreadableKeepsTheName) {
    builder->AddSearcherInfo(SEARCHER_FAT, 5);
    builder->SetPartitonDevice(&partition, &device);
    Add(Dir(30, 5, "$Recycle.Bin"), SEARCHER_FAT);
    auto* a = new PropsNode(31, 30, "$RA.doc", false, 10);
    auto* b = new PropsNode(32, 30, "$RB.doc", false, 10);
    Add(a, SEARCHER_FAT);
    Add(b, SEARCHER_FAT);
    Add(IndexNode(33, 30, "$IA.doc", IndexFile(u"no drive\\a.doc"), 2), SEARCHER_FAT);
    auto* far = File(34, 30, "$IB.doc", 600);
    far->SetDataRunList(Runs({{100000, 2}})); // beyond the device
    Add(far, SEARCHER_FAT);
    builder->FlashBuild(SEARCHER_FAT);
    EXPECT_STREQ(a->GetFileName(), "$RA.doc");
    EXPECT_STREQ(b->GetFileName(), "$RB.doc");
    EXPECT_TRUE(IsShown(a));
}

TEST_F(RecycleBinTreeTest, OtherTreesKeepTheirNames) {
    builder->AddSearcherInfo(SEARCHER_HFSPLUS, 2);
    builder->SetPartitonDevice(&partition, &device);
    auto* priv = Dir(9, 2, "HFS+ Private Data");
    Add(priv, SEARCHER_HFSPLUS);
    Add(Dir(30, 2, "Recycled"), SEARCHER_HFSPLUS);
    auto* data = File(31, 30, "$RX.jpg");
    Add(data, SEARCHER_HFSPLUS);
    Add(IndexNode(32, 30, "$IX.jpg", IndexFile(u"C:\\y.jpg"), 1), SEARCHER_HFSPLUS);
    builder->FlashBuild(SEARCHER_HFSPLUS);
    ASSERT_TRUE(IsShown(data));
    EXPECT_STREQ(data->GetFileName(), "$RX.jpg");
}

class ResidentRuns : public CDataRunList {
public:
    ResidentRuns() { m_resident = 1; }
};

TEST_F(RecycleBinTreeTest, ResidentIndexIsReadThroughTheResidentReader) {
    const auto bytes = IndexFile(u"C:\\small.txt");
    int calls = 0;
    Factories().ntfsResidentRead = [&](IStorageDevice* dev, IFileNode*, long long offset, char* out, unsigned size) {
        ++calls;
        EXPECT_EQ(dev, &device);
        EXPECT_EQ(offset, 0);
        const unsigned n = std::min<unsigned>(size, static_cast<unsigned>(bytes.size()));
        std::copy(bytes.begin(), bytes.begin() + n, out);
        return n;
    };
    builder->AddSearcherInfo(SEARCHER_NTFS, 5);
    builder->SetPartitonDevice(&partition, &device);
    Add(Dir(30, 5, "$Recycle.Bin"), SEARCHER_NTFS);
    auto* data = new PropsNode(31, 30, "$R7.txt", false, 10);
    Add(data, SEARCHER_NTFS);
    auto* index = File(32, 30, "$I7.txt", static_cast<long long>(bytes.size()));
    index->SetDataRunList(new ResidentRuns);
    Add(index, SEARCHER_NTFS);
    builder->FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(calls, 1);
    EXPECT_STREQ(data->GetFileName(), "small.txt");
}

TEST(RecyclerRead, ReadsRunsWithinTheDeviceOnly) {
    MemDevice dev(16);
    for (size_t i = 0; i < dev.data.size(); ++i) dev.data[i] = static_cast<std::uint8_t>(i / 512);
    // No partition record: two sectors per cluster from sector 0.
    std::unique_ptr<TestFileNode> node(File(1, 0, "x", 2048));
    node->SetDataRunList(Runs({{-1, 1}, {3, 1}}));
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    ASSERT_EQ(out.size(), 2048u);
    EXPECT_EQ(out[0], 0);    // sparse run
    EXPECT_EQ(out[1024], 6); // cluster 3 = sector 6
    EXPECT_EQ(out[1536], 7);

    node->SetDataRunList(Runs({{7, 5}})); // runs off the device's end
    ASSERT_TRUE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    EXPECT_EQ(out.size(), 1024u);
    node->SetDataRunList(Runs({{0x7FFFFFFFFFFFFFF0LL, 1}}));
    EXPECT_FALSE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    EXPECT_FALSE(CRecyclerFilter::ReadNodeData(node.get(), nullptr, nullptr, 4096, out));
}

} // namespace
