// The pieces of the FAT quick search: data runs over a table, folder entries
// across reads, the PE test of the FAT32 revision, and the searcher's contract.
#include "engine/common/DataRunList.h"
#include "engine/fat/FatBuildChildren.h"
#include "engine/fat/FatBuildDataRun.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatQuickSearcher.h"
#include "engine/fat/FatTable.h"
#include "engine/include/DeviceRecords.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

using namespace fattest;

static bool operator==(const DataRun& a, const DataRun& b) { return a.start == b.start && a.length == b.length; }

namespace {

using Links = std::map<std::uint32_t, std::uint32_t>;

class MapTable : public IFATTable {
public:
    explicit MapTable(std::map<std::uint32_t, std::uint32_t> links) : m_links(std::move(links)) {}
    std::uint32_t GetNextCluster(std::uint32_t c) override {
        const auto it = m_links.find(c);
        return it == m_links.end() ? 0 : it->second;
    }

private:
    std::map<std::uint32_t, std::uint32_t> m_links;
};

constexpr std::uint32_t kEnd = 0x0FFFFFFF;

std::vector<DataRun> Runs(IDataRunList* list) {
    std::vector<DataRun> out;
    if (!list) return out;
    out = static_cast<CDataRunList*>(list)->Runs();
    list->Release();
    return out;
}

TEST(FatDataRuns, LiveRunsFollowTheChainAndAreSizedFromTheBytes) {
    MapTable table({{10, 11}, {11, 12}, {12, 13}, {13, 14}, {14, kEnd}, {20, 21}, {21, 30}, {30, kEnd}, {40, kEnd}});
    CFATBuildDataRun b(&table, 512, 1, 100);
    // A chain of 5 clusters for a 3-cluster file: one run of 3.
    EXPECT_EQ(Runs(b.BuildDataRunList(10, 1500, false)), (std::vector<DataRun>{{8, 3}}));
    // A 1-cluster chain for a 3-cluster file: extended to 3.
    EXPECT_EQ(Runs(b.BuildDataRunList(40, 1536, false)), (std::vector<DataRun>{{38, 3}}));
    // Fragmented: 20-21, then 30.
    EXPECT_EQ(Runs(b.BuildDataRunList(20, 1400, false)), (std::vector<DataRun>{{18, 2}, {28, 1}}));
    // Clusters 0 and 1 are no data clusters; nor is one past the partition.
    EXPECT_EQ(b.BuildDataRunList(0, 100, false), nullptr);
    EXPECT_EQ(b.BuildDataRunList(1, 100, false), nullptr);
    EXPECT_EQ(b.BuildDataRunList(102, 100, false), nullptr);
    // A run sized past the partition's clusters makes no list.
    EXPECT_EQ(b.BuildDataRunList(40, 512 * 70, false), nullptr);
}

TEST(FatDataRuns, LiveChainsLeavingThePartitionOrMarkedBadMakeNoList) {
    MapTable table({{5, 0x0FFFFFF7}, {6, 500}, {7, 7 + 1}, {8, 7}});
    CFATBuildDataRun b(&table, 512, 4, 100);
    EXPECT_EQ(b.BuildDataRunList(5, 4096, false), nullptr);
    EXPECT_EQ(b.BuildDataRunList(6, 4096, false), nullptr);
    // A loop (7 -> 8 -> 7) ends at the partition's size: no endless walk.
    EXPECT_EQ(b.BuildDataRunList(7, 1u << 30, false), nullptr);
}

TEST(FatDataRuns, DeletedRunsAreContiguousWithinThePartition) {
    MapTable table(Links{{50, 60}});
    CFATBuildDataRun b(&table, 512, 2, 100);
    // Freed entries: contiguous clusters from the first, as many as the size needs.
    EXPECT_EQ(Runs(b.BuildDataRunList(10, 3000, true)), (std::vector<DataRun>{{8, 3}}));
    // Cut at the partition's last cluster (101).
    EXPECT_EQ(Runs(b.BuildDataRunList(99, 100000, true)), (std::vector<DataRun>{{97, 3}}));
    // A table that still links is followed, then contiguous again.
    EXPECT_EQ(Runs(b.BuildDataRunList(50, 3000, true)), (std::vector<DataRun>{{48, 1}, {58, 2}}));
    EXPECT_EQ(b.BuildDataRunList(1, 3000, true), nullptr);
    EXPECT_EQ(b.BuildDataRunList(150, 3000, true), nullptr);
}

TEST(FatDataRuns, EmptyFilesGetDistinctPseudoClusters) {
    auto* counter = GetEmptyFileVirtualClusterNumObject();
    counter->ResetVirtualClusterNum();
    EXPECT_EQ(counter->GetVirtualClusterNum(), 0x100000000ull);
    EXPECT_EQ(counter->GetVirtualClusterNum(), 0x100000001ull);
}

// Records every node offered; owns them.
class KeepBuilder : public IDirecotryTreeBuilder {
public:
    ~KeepBuilder() override {
        for (IFileNode* n : nodes) n->Release();
    }
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType) override {
        nodes.push_back(node);
        return 1;
    }
    int AddSearcherInfo(_tagSearcherType, long long) override { return 1; }
    int FlashBuild(_tagSearcherType) override { return 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice*) override {}
    std::vector<IFileNode*> nodes;
};

void Put(std::vector<std::uint8_t>& image, std::size_t entryIndex, const std::vector<std::uint8_t>& entry) {
    std::memcpy(image.data() + entryIndex * 32, entry.data(), 32);
}

TEST(FatBuildChildren, ALongNameEndingInALaterClusterIsCarriedAcrossReads) {
    // Cluster n at sector n - 2 (first data sector 0), one 512-byte sector per
    // cluster; the folder is clusters 2 -> 4, so they are read separately.
    std::vector<std::uint8_t> image(16 * 512, 0);
    Put(image, 0, ShortEntry(".          ", 0x10, 2, 0));
    Put(image, 1, ShortEntry("..         ", 0x10, 0, 0));
    const std::u16string name = u"A long name split across clusters.txt"; // 37 units: 3 pieces
    Put(image, 14, LfnEntry(name.substr(26)));
    Put(image, 15, LfnEntry(name.substr(13, 13)));
    Put(image, 2 * 16 + 0, LfnEntry(name.substr(0, 13)));
    Put(image, 2 * 16 + 1, ShortEntry("ALONGN~1TXT", 0x20, 6, 100));
    salvor::test::TempDir dir;
    std::ofstream(dir.file("folder.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
    salvor::test::ImageDevice device(dir.file("folder.img"), 512);
    MapTable table({{2, 4}, {4, kEnd}, {6, kEnd}});
    FatBuildGeometry geo;
    geo.kind = FS_FAT16;
    geo.clusterCount = 12;
    KeepBuilder builder;
    FatVisitedClusters visited;
    FatFolderMap folders;
    CFATBuildChildren children(&builder, nullptr, nullptr, &device, visited, folders, &table, geo);

    auto* parent = new CFATFileNode();
    auto* props = CFATFileProperties::Create();
    props->SetFileName("Folder");
    props->SetAttribute(0x10);
    props->SetFirstClusterNum(2);
    parent->SetFileProperties(props);
    FatFolderQueue queue;
    EXPECT_EQ(children.BuildChildren(parent, 2, queue, 0, 1), 1);
    ASSERT_EQ(builder.nodes.size(), 1u);
    EXPECT_STREQ(builder.nodes[0]->GetFileName(), "A long name split across clusters.txt");
    EXPECT_EQ(builder.nodes[0]->GetParentNodeID(), 2);
    EXPECT_EQ(visited, (FatVisitedClusters{2, 4}));
    // Listed once: a second listing of the same folder is refused.
    EXPECT_EQ(children.BuildChildren(parent, 2, queue, 0, 1), 0);
    // A root must not open with "." and "..".
    EXPECT_EQ(children.BuildChildren(nullptr, 2, queue, 1, 1), 0);
    parent->Release();
}

TEST(FatBuildChildren, WindowsExecutablesAreRecognisedByTheirPEHeader) {
    std::vector<std::uint8_t> s(512, 0);
    s[0] = 'M';
    s[1] = 'Z';
    s[0x3C] = 0x80;
    s[0x80] = 'P';
    s[0x81] = 'E';
    EXPECT_TRUE(CFATBuildChildren::bWindowsPEFiles(s));
    s[0x3C] = 0xFF;
    s[0x3D] = 0x01; // header offset past the sector
    EXPECT_FALSE(CFATBuildChildren::bWindowsPEFiles(s));
    s[0x3D] = 0;
    s[0x3C] = 0x80;
    s[1] = 'X';
    EXPECT_FALSE(CFATBuildChildren::bWindowsPEFiles(s));
}

struct SearcherFixture {
    salvor::test::RecordingProgress progress;
    KeepBuilder builder;
    std::unique_ptr<IQuickFileSystemSearchController> searcher{fat::CreateFATQuickSearcher()};
};

TEST(FatQuickSearcher, RefusesWhatIsNoFatVolumeWithAFinalRecord) {
    const std::string img = salvor::test::FixtureFile("fat_16", "fat_16.img");
    ASSERT_FALSE(img.empty());
    {
        SearcherFixture f;
        salvor::test::ImageDevice device(img, 512);
        f.searcher->SetDirecotryTreeBuilder(&f.builder);
        EXPECT_EQ(f.searcher->QuickSearchFiles(&device, &f.progress), fat::kQuickNotVolume);
        EXPECT_EQ(f.progress.Last().state, PROGRESS_FINISHED);
        device.SetType(DEVICE_VOLUME);
        EXPECT_EQ(f.searcher->QuickSearchFiles(&device, &f.progress), fat::kQuickNoVolumeData);
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->fileSystemType = FS_NTFS;
        device.SetPrivateData(CreateVolumeDeviceData(info));
        EXPECT_EQ(f.searcher->QuickSearchFiles(&device, &f.progress), fat::kQuickNotFat);
        EXPECT_EQ(f.progress.Last().result, fat::kQuickNotFat);
        EXPECT_EQ(f.searcher->QuickSearchFiles(nullptr, &f.progress), fat::kQuickNoDeviceOrSink);
        EXPECT_EQ(f.searcher->GetSearchedPartitionInfo(nullptr, 0), 0);
    }
    SearcherFixture f;
    salvor::test::ImageDevice device(img, 512);
    device.SetType(DEVICE_VOLUME);
    EXPECT_EQ(f.searcher->QuickSearchFiles(&device, &f.progress), fat::kQuickNoBuilder);
}

TEST(FatQuickSearcher, HandsOutCopiesOfItsRecordOnlyWhereThereIsRoom) {
    const std::string img = salvor::test::FixtureFile("fat_16", "fat_16.img");
    ASSERT_FALSE(img.empty());
    SearcherFixture f;
    salvor::test::ImageDevice device(img, 512);
    device.SetType(DEVICE_VOLUME);
    auto* info = new CCollectedVolumeDeviceInfoStruct;
    info->fileSystemType = FS_FAT16;
    device.SetPrivateData(CreateVolumeDeviceData(info));
    f.searcher->SetDirecotryTreeBuilder(&f.builder);
    ASSERT_EQ(f.searcher->QuickSearchFiles(&device, &f.progress), 0u);
    EXPECT_GT(f.builder.nodes.size(), 50u);

    CSearchedPartitionInfo* slot[2] = {nullptr, nullptr};
    EXPECT_EQ(f.searcher->GetSearchedPartitionInfo(nullptr, 5), 1);
    EXPECT_EQ(f.searcher->GetSearchedPartitionInfo(slot, 0), 1);
    EXPECT_EQ(slot[0], nullptr);
    EXPECT_EQ(f.searcher->GetSearchedPartitionInfo(slot, 1), 1);
    ASSERT_NE(slot[0], nullptr);
    std::unique_ptr<CSearchedPartitionInfo> a(slot[0]);
    EXPECT_EQ(f.searcher->GetSearchedPartitionInfo(slot, 1), 1);
    std::unique_ptr<CSearchedPartitionInfo> b(slot[0]);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->GetType(), 1);
    EXPECT_EQ(a->m_fileSystemType, unsigned{FS_FAT16});
    EXPECT_EQ(a->m_partitionIndex, 0);
    auto* rec = dynamic_cast<CFATSearchedPartitionInfo*>(a.get());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetFlag(), CFATSearchedPartitionInfo::kQuickFlagsFat16);
    // Cluster origin: the sector of cluster 2.
    EXPECT_EQ(a->m_clusterOrigin, rec->GetReservedSector() + 2ll * rec->GetSectorPerFAT() + rec->GetRootInfo());
}

} // namespace
