#include "engine/tree/RecyclerFilter.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "tests/engine/tree/TreeFakes.h"
#include "tests/support/TableEntries.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <tuple>

#include <fstream>
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
    for (char16_t c : path + u'\0') {
        b.push_back(static_cast<std::uint8_t>(c & 0xFF));
        b.push_back(static_cast<std::uint8_t>(c >> 8));
    }
    if (version == 1) b.resize(24 + 520, 0);
    return b;
}

TEST(RecyclerNames, FoldersIndexAndDataNames) {
    for (auto [name, dir, bin] : {std::tuple{"$RECYCLE.BIN", true, true}, {"RECYCLER", true, true},
                                  {"Recycled", false, false}, {"Recycle", true, false}}) {
        std::unique_ptr<TestFileNode> n(dir ? Dir(1, 0, name) : File(1, 0, name));
        EXPECT_EQ(CRecyclerFilter::IsRecycleBinFolder(n.get()), bin) << name;
    }
    EXPECT_FALSE(CRecyclerFilter::IsRecycleBinFolder(nullptr));
    std::unique_ptr<TestFileNode> bin(Dir(1, 0, "$RECYCLE.BIN")), sid(Dir(2, 1, "S-1-5-21"));
    ASSERT_EQ(bin->AddChild(sid.get()), 1);
    EXPECT_TRUE(CRecyclerFilter::IsInRecycleBin(sid.get()));
    bin->RemoveChild(sid.get());
    EXPECT_FALSE(CRecyclerFilter::IsInRecycleBin(sid.get()));

    for (auto [name, index] : {std::pair{"$I", true}, {"#I12", true}, {"$", false}, {"I$", false}})
        EXPECT_EQ(CRecyclerFilter::IsIndexName(name), index) << name;
    // NTFS metafiles and pieces of their names are not recycled files.
    for (auto [name, data] : {std::pair{"$RAB12CD.jpg", true}, {"#R1", true}, {"$RmMetadata", false},
                              {"$Repair", false}, {"$Reparse", false}, {"$R", false}})
        EXPECT_EQ(CRecyclerFilter::IsRecycledDataName(name), data) << name;
    EXPECT_FALSE(CRecyclerFilter::IsRecycledDataName(nullptr));
}

TEST(RecyclerIndexParse, TakesTheNameAfterTheLastBackslashOfADrivePath) {
    const struct {
        std::u16string path;
        int version;
        std::string name;
    } cases[] = {
        {u"C:\\Users\\bob\\holiday.jpg", 2, "holiday.jpg"},
        {u"D:\\Ünïcödé 写真.png", 1, "Ünïcödé 写真.png"},
        {u"C:\\x\\\U0001F600.txt", 2, "\U0001F600.txt"},   // surrogate pairs survive
        {u"C:\\dir\\a\u5C3Cb.txt", 2, "a\u5C3Cb.txt"},     // 0x5C inside a character is no separator
        {u"C:\\x.txt", 2, "x.txt"},
        // Only the first 512 bytes hold the path: the text after the last
        // separator inside them is cut where the area ends.
        {u"C:\\" + std::u16string(300, u'd') + u"\\name.txt", 2, std::string((512 - 34) / 2, 'd')},
        {u"no backslash here", 2, ""},
        {u"Users\\bob\\x.jpg", 2, ""},
        {u"C:\\", 2, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(IndexFile(c.path, c.version)), c.name) << c.name;
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName({}), "");
    // Truncated data: the path area is cut short, never read past.
    auto cut = IndexFile(u"C:\\Users\\bob\\holiday.jpg");
    cut.resize(33);
    EXPECT_EQ(CRecyclerFilter::ParseIndexFileName(cut), "");
}

class ResidentRuns : public CDataRunList {
public:
    ResidentRuns() { m_resident = 1; }
};

class RecycleBinTreeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteStampedImage(dir.file("img"), 400));
        device = std::make_unique<ImageDevice>(dir.file("img"));
        ASSERT_EQ(builder.Initialize("Stick", &sink, &filter), 1);
        partition.m_sectorsPerCluster = 1;
        partition.m_clusterOrigin = 100;
    }
    void TearDown() override { ResetFactories(); }

    // A tree of the type with its recycle bin folder (id 30).
    void Start(_tagSearcherType type, const char* bin = "$Recycle.Bin") {
        this->type = type;
        builder.AddSearcherInfo(type, 5);
        builder.SetPartitonDevice(&partition, device.get());
        Add(Dir(30, 5, bin));
    }
    // Stores bytes at a cluster of the partition; an index node whose runs point at them.
    TestFileNode* IndexNode(long long id, const std::string& name, const std::vector<std::uint8_t>& bytes,
                            long long cluster, long long parent = 30) {
        std::fstream(dir.file("img"), std::ios::in | std::ios::out | std::ios::binary)
            .seekp((100 + cluster) * 512)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        auto* n = File(id, parent, name, static_cast<long long>(bytes.size()));
        n->SetDataRunList(Runs({{cluster, static_cast<long long>((bytes.size() + 511) / 512)}}));
        return n;
    }
    void Add(IFileNode* n) {
        if (!builder.AddNode(n, type)) n->Release();
    }
    bool IsShown(IFileNode* node) const {
        const auto all = sink.AllNodes();
        return std::find(all.begin(), all.end(), node) != all.end();
    }

    FakeClock clock;
    FakeFilter filter;
    RecordingTree sink;
    TempDir dir;
    std::unique_ptr<ImageDevice> device;
    CSearchedPartitionInfo partition;
    CDirectoryTreeBuilder builder{false, &clock};
    _tagSearcherType type = SEARCHER_NONE;
};

TEST_F(RecycleBinTreeTest, NtfsDataFileGetsTheNameItsIndexRecords) {
    Start(SEARCHER_NTFS);
    Add(Dir(31, 30, "S-1-5-21-1000"));
    auto* data = new PropsNode(32, 31, "$RAB12CD.jpg", false, 4096);
    Add(data);
    Add(IndexNode(33, "$IAB12CD.jpg", IndexFile(u"C:\\Users\\bob\\Pictures\\holiday.jpg"), 7, 31));
    auto* unmatched = new PropsNode(34, 31, "$RZZ99.jpg", false, 10);
    Add(unmatched);
    EXPECT_EQ(builder.Stats(SEARCHER_NTFS).held, 5u);
    EXPECT_TRUE(sink.Batches().empty());

    builder.FlashBuild(SEARCHER_NTFS);
    ASSERT_TRUE(IsShown(data) && IsShown(unmatched));
    // Renamed through its entry properties (no SetFileName call).
    EXPECT_EQ(std::tuple(std::string(data->GetFileName()), data->setFileNameCalls, data->IsDeleted() != 0,
                         std::string(data->GetParent()->GetFileName()), std::string(unmatched->GetFileName())),
              std::tuple(std::string("holiday.jpg"), 0, true, std::string("S-1-5-21-1000"),
                         std::string("$RZZ99.jpg")));
    for (IFileNode* n : sink.AllNodes()) EXPECT_STRNE(n->GetFileName(), "$IAB12CD.jpg");
    EXPECT_EQ(builder.Stats(SEARCHER_NTFS).held, 0u);
}

TEST_F(RecycleBinTreeTest, ExFatDataFileIsRenamedThroughTheNode) {
    Start(SEARCHER_EXFAT, "$RECYCLE.BIN");
    auto* data = File(32, 30, "$R1.txt");
    Add(data);
    Add(IndexNode(33, "$I1.txt", IndexFile(u"E:\\notes.txt"), 3));
    builder.FlashBuild(SEARCHER_EXFAT);
    ASSERT_TRUE(IsShown(data));
    EXPECT_STREQ(data->GetFileName(), "notes.txt");
}

TEST_F(RecycleBinTreeTest, IndexWithoutDrivePathOrUnreadableKeepsTheName) {
    Start(SEARCHER_FAT);
    auto* a = new PropsNode(31, 30, "$RA.doc", false, 10);
    auto* b = new PropsNode(32, 30, "$RB.doc", false, 10);
    Add(a);
    Add(b);
    Add(IndexNode(33, "$IA.doc", IndexFile(u"no drive\\a.doc"), 2));
    auto* far = File(34, 30, "$IB.doc", 600);
    far->SetDataRunList(Runs({{100000, 2}})); // beyond the device
    Add(far);
    builder.FlashBuild(SEARCHER_FAT);
    EXPECT_STREQ(a->GetFileName(), "$RA.doc");
    EXPECT_STREQ(b->GetFileName(), "$RB.doc");
    EXPECT_TRUE(IsShown(a));
}

TEST_F(RecycleBinTreeTest, OtherTreesKeepTheirNames) {
    Start(SEARCHER_HFSPLUS, "Recycled");
    Add(Dir(9, 5, "HFS+ Private Data"));
    auto* data = File(31, 30, "$RX.jpg");
    Add(data);
    Add(IndexNode(32, "$IX.jpg", IndexFile(u"C:\\y.jpg"), 1));
    builder.FlashBuild(SEARCHER_HFSPLUS);
    ASSERT_TRUE(IsShown(data));
    EXPECT_STREQ(data->GetFileName(), "$RX.jpg");
}

TEST_F(RecycleBinTreeTest, ResidentIndexIsReadThroughTheResidentReader) {
    const auto bytes = IndexFile(u"C:\\small.txt");
    int calls = 0;
    salvor::test::SetResidentReader([&](IStorageDevice* dev, IFileNode*, long long offset, char* out, unsigned size) {
        ++calls;
        EXPECT_EQ(dev, device.get());
        EXPECT_EQ(offset, 0);
        const unsigned n = std::min<unsigned>(size, static_cast<unsigned>(bytes.size()));
        std::copy(bytes.begin(), bytes.begin() + n, out);
        return n;
    });
    Start(SEARCHER_NTFS);
    auto* data = new PropsNode(31, 30, "$R7.txt", false, 10);
    Add(data);
    auto* index = File(32, 30, "$I7.txt", static_cast<long long>(bytes.size()));
    index->SetDataRunList(new ResidentRuns);
    Add(index);
    builder.FlashBuild(SEARCHER_NTFS);
    EXPECT_EQ(calls, 1);
    EXPECT_STREQ(data->GetFileName(), "small.txt");
}

TEST(RecyclerRead, ReadsRunsWithinTheDeviceOnly) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 16));
    ImageDevice dev(dir.file("img"));
    // No partition record: two sectors per cluster from sector 0.
    std::unique_ptr<TestFileNode> node(File(1, 0, "x", 2048));
    node->SetDataRunList(Runs({{-1, 1}, {3, 1}}));
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    ASSERT_EQ(out.size(), 2048u);
    // A sparse run, then cluster 3 = sectors 6 and 7.
    EXPECT_EQ(std::tuple(out[0], out[1024], out[1536]), std::tuple(0, 6, 7));

    node->SetDataRunList(Runs({{7, 5}})); // runs off the device's end
    ASSERT_TRUE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    EXPECT_EQ(out.size(), 1024u);
    node->SetDataRunList(Runs({{0x7FFFFFFFFFFFFFF0LL, 1}}));
    EXPECT_FALSE(CRecyclerFilter::ReadNodeData(node.get(), &dev, nullptr, 4096, out));
    EXPECT_FALSE(CRecyclerFilter::ReadNodeData(node.get(), nullptr, nullptr, 4096, out));
}

} // namespace
