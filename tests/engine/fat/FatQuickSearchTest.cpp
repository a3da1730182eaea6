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

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>

using namespace fattest;

static bool operator==(const DataRun& a, const DataRun& b) { return a.start == b.start && a.length == b.length; }

namespace {

class MapTable : public IFATTable {
public:
    explicit MapTable(std::map<std::uint32_t, std::uint32_t> links) : m_links(std::move(links)) {}
    // Links of the map; 0 (free) elsewhere.
    std::uint32_t GetNextCluster(std::uint32_t c) override {
        const auto it = m_links.find(c);
        return it == m_links.end() ? 0 : it->second;
    }

private:
    std::map<std::uint32_t, std::uint32_t> m_links;
};

constexpr std::uint32_t kEnd = 0x0FFFFFFF;

const std::vector<DataRun> kNoList{{-1, -1}};
std::vector<DataRun> Runs(IDataRunList* list) {
    if (!list) return kNoList;
    const auto out = static_cast<CDataRunList*>(list)->Runs();
    list->Release();
    return out;
}

TEST(FatDataRuns, RunsOfLiveAndDeletedFiles) {
    // Cluster c at sector c - 2 (+ data start), partitions of 100 clusters.
    MapTable table({{10, 11}, {11, 12}, {12, 13}, {13, 14}, {14, kEnd}, {20, 21}, {21, 30}, {30, kEnd}, {40, kEnd},
                    {50, 60}, {5, 0x0FFFFFF7}, {6, 500}, {7, 8}, {8, 7}});
    const struct {
        unsigned spc;
        std::uint32_t first;
        std::uint64_t size;
        bool deleted;
        std::vector<DataRun> runs;
    } rows[] = {
        {1, 10, 1500, false, {{8, 3}}},           // a 5-cluster chain for a 3-cluster file
        {1, 40, 1536, false, {{38, 3}}},          // a 1-cluster chain extended to the size
        {1, 20, 1400, false, {{18, 2}, {28, 1}}}, // fragmented
        {1, 0, 100, false, kNoList},                   // clusters 0 and 1 are no data clusters
        {1, 1, 100, false, kNoList},
        {1, 102, 100, false, kNoList},         // past the partition
        {1, 40, 512 * 70, false, kNoList},     // sized past the partition's clusters
        {4, 5, 4096, false, kNoList},          // marked bad
        {4, 6, 4096, false, kNoList},          // leaving the partition
        {4, 7, 1u << 30, false, kNoList},      // a loop ends at the partition's size
        {2, 10, 3000, true, {{8, 3}}},    // freed: contiguous from the first cluster
        {2, 99, 100000, true, {{97, 3}}}, // cut at the partition's last cluster (101)
        {2, 50, 3000, true, {{48, 1}, {58, 2}}}, // a table that still links, then contiguous
        {2, 1, 3000, true, kNoList},
        {2, 150, 3000, true, kNoList},
    };
    for (const auto& r : rows) {
        CFATBuildDataRun b(&table, 512, r.spc, 100);
        EXPECT_EQ(Runs(b.BuildDataRunList(r.first, r.size, r.deleted)), r.runs) << r.first << (r.deleted ? " deleted" : "");
    }
}

using KeepBuilder = salvor::test::RecordingBuilder;

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
    auto pe = [](char z, std::uint8_t lo, std::uint8_t hi) {
        std::vector<std::uint8_t> s(512, 0);
        s[0] = 'M', s[1] = static_cast<std::uint8_t>(z), s[0x3C] = lo, s[0x3D] = hi, s[0x80] = 'P', s[0x81] = 'E';
        return CFATBuildChildren::bWindowsPEFiles(s);
    };
    EXPECT_TRUE(pe('Z', 0x80, 0));
    EXPECT_FALSE(pe('Z', 0xFF, 0x01)); // header offset past the sector
    EXPECT_FALSE(pe('X', 0x80, 0));
}

class FatQuickSearcher : public ::testing::Test {
protected:
    void Volume(unsigned kind) {
        device.SetType(DEVICE_VOLUME);
        if (!kind) return;
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        info->fileSystemType = kind;
        device.SetPrivateData(CreateVolumeDeviceData(info));
    }
    salvor::test::ImageDevice device{salvor::test::FixtureFile("fat_16", "fat_16.img"), 512};
    salvor::test::RecordingProgress progress;
    KeepBuilder builder;
    std::unique_ptr<IQuickFileSystemSearchController> searcher{fat::CreateFATQuickSearcher()};
};

TEST_F(FatQuickSearcher, RefusesWhatIsNoFatVolumeWithAFinalRecord) {
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kQuickNoBuilder);
    searcher->SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kQuickNotVolume);
    EXPECT_EQ(progress.Last().state, PROGRESS_FINISHED);
    Volume(0);
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kQuickNoVolumeData);
    Volume(FS_NTFS);
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kQuickNotFat);
    EXPECT_EQ(progress.Last().result, fat::kQuickNotFat);
    EXPECT_EQ(searcher->QuickSearchFiles(nullptr, &progress), fat::kQuickNoDeviceOrSink);
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(nullptr, 0), 0);
}

TEST_F(FatQuickSearcher, HandsOutCopiesOfItsRecordOnlyWhereThereIsRoom) {
    Volume(FS_FAT16);
    searcher->SetDirecotryTreeBuilder(&builder);
    ASSERT_EQ(searcher->QuickSearchFiles(&device, &progress), 0u);
    EXPECT_GT(builder.nodes.size(), 50u);
    CSearchedPartitionInfo* slot[2] = {nullptr, nullptr};
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(nullptr, 5), 1);
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(slot, 0), 1);
    EXPECT_EQ(slot[0], nullptr);
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(slot, 1), 1);
    std::unique_ptr<CSearchedPartitionInfo> a(slot[0]);
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(slot, 1), 1);
    std::unique_ptr<CSearchedPartitionInfo> b(slot[0]);
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    EXPECT_EQ(a->m_fileSystemType, unsigned{FS_FAT16});
    EXPECT_EQ(a->m_partitionIndex, 0);
    auto* rec = dynamic_cast<CFATSearchedPartitionInfo*>(a.get());
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->GetFlag(), CFATSearchedPartitionInfo::kQuickFlagsFat16);
    // Cluster origin: the sector of cluster 2.
    EXPECT_EQ(a->m_clusterOrigin, rec->GetReservedSector() + 2ll * rec->GetSectorPerFAT() + rec->GetRootInfo());
}

} // namespace
