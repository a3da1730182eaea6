// The FAT quick search: data runs over a table, folder entries across reads,
// the PE test of the FAT32 revision and the searcher's contract; and quick
// scans through the deleted-files controller, the tree builder and the file
// writer, with The Sleuth Kit's listings, published listings and the
// sources' hashes as oracles.
#include "engine/common/DataRunList.h"
#include "engine/fat/FatBootSector.h"
#include "engine/fat/FatBuildChildren.h"
#include "engine/fat/FatBuildDataRun.h"
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatQuickSearcher.h"
#include "engine/fat/FatRegistration.h"
#include "engine/fat/FatTable.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/utility/SectorReads.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <tuple>

using namespace fattest;
using salvor::test::FixtureFile;
using salvor::test::TempDir;

static bool operator==(const DataRun& a, const DataRun& b) {
    return a.start == b.start && a.length == b.length;
}

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
    MapTable table({{10, 11},
                    {11, 12},
                    {12, 13},
                    {13, 14},
                    {14, kEnd},
                    {20, 21},
                    {21, 30},
                    {30, kEnd},
                    {40, kEnd},
                    {50, 60},
                    {5, 0x0FFFFFF7},
                    {6, 500},
                    {7, 8},
                    {8, 7},
                    {60, fat::kUnknownEntry}, // entries in a sector that could not be read
                    {86, fat::kUnknownEntry},
                    {90, fat::kUnknownEntry}});
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
        {1, 0, 100, false, kNoList},              // clusters 0 and 1 are no data clusters
        {1, 1, 100, false, kNoList},
        {1, 102, 100, false, kNoList},           // past the partition
        {1, 40, 512 * 70, false, kNoList},       // sized past the partition's clusters
        {4, 5, 4096, false, kNoList},            // marked bad
        {4, 6, 4096, false, kNoList},            // leaving the partition
        {4, 7, 1u << 30, false, kNoList},        // a loop ends at the partition's size
        {2, 10, 3000, true, {{8, 3}}},           // freed: contiguous from the first cluster
        {2, 99, 100000, true, {{97, 3}}},        // cut at the partition's last cluster (101)
        {2, 50, 3000, true, {{48, 1}, {58, 2}}}, // a table that still links, then contiguous
        {1, 17, 512 * 5, true, {{15, 3}, {20, 2}}}, // the live chain at 20-21 stepped over
        {1, 28, 512 * 4, true, {{26, 2}, {29, 2}}}, // and the live end cluster 30
        {1, 60, 512 * 3, false, {{58, 3}}},      // an unknown link: as the entry places it
        {1, 85, 512 * 3, true, {{83, 3}}},       // an unknown entry gives no cluster to a live file
        {1, 90, 512 * 2, true, {{88, 2}}},       // nor is it a link to follow
        {2, 1, 3000, true, kNoList},
        {2, 150, 3000, true, kNoList},
    };
    for (const auto& r : rows) {
        CFATBuildDataRun b(&table, 512, r.spc, 100);
        EXPECT_EQ(Runs(b.BuildDataRunList(r.first, r.size, r.deleted)), r.runs)
            << r.first << (r.deleted ? " deleted" : "");
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

    // Clusters of four sectors, the folder's first sector unreadable: its "."
    // and ".." cannot be seen, and the entries of its other sectors are
    // listed once each, the long name carried from after the lost sector into
    // the next cluster among them.
    std::vector<std::uint8_t> wide(64 * 512, 0);
    Put(wide, 0, ShortEntry(".          ", 0x10, 2, 0));
    Put(wide, 1, ShortEntry("..         ", 0x10, 0, 0));
    Put(wide, 16, ShortEntry("INSIDE  TXT", 0x20, 7, 100));
    Put(wide, 60, ShortEntry("LATE    TXT", 0x20, 7, 100));
    Put(wide, 62, LfnEntry(name.substr(26)));
    Put(wide, 63, LfnEntry(name.substr(13, 13)));
    Put(wide, 8 * 16 + 0, LfnEntry(name.substr(0, 13)));
    Put(wide, 8 * 16 + 1, ShortEntry("ALONGN~1TXT", 0x20, 6, 100));
    std::ofstream(dir.file("wide.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(wide.data()), static_cast<std::streamsize>(wide.size()));
    salvor::test::ImageDevice failing(dir.file("wide.img"), 512);
    failing.SetWholeReadsFail(true);
    failing.FailSector(0);
    MapTable wideTable({{2, 4}, {4, kEnd}, {6, kEnd}, {7, kEnd}});
    geo.sectorsPerCluster = 4;
    KeepBuilder wideBuilder;
    FatVisitedClusters wideVisited;
    FatFolderMap wideFolders;
    CFATBuildChildren around(&wideBuilder, nullptr, nullptr, &failing, wideVisited, wideFolders, &wideTable,
                             geo);
    EXPECT_EQ(around.BuildChildren(parent, 2, queue, 0, 1), 1);
    std::vector<std::string> names;
    for (auto* n : wideBuilder.nodes)
        names.emplace_back(n->GetFileName());
    EXPECT_EQ(names,
              (std::vector<std::string>{"INSIDE.TXT", "LATE.TXT", "A long name split across clusters.txt"}));
    parent->Release();
}

// A deleted FAT32 folder whose entry lost the high word of its first cluster:
// the retry over the high words finds where its "." and ".." are.
TEST(FatBuildWorker, DeletedFolderIsRetriedOverTheHighWords) {
    constexpr std::uint32_t kFolder = 0x10003; // cluster n at sector n - 2
    salvor::test::TempDir dir;
    {
        std::vector<std::uint8_t> folder(512, 0);
        Put(folder, 0, ShortEntry(".          ", 0x10, kFolder, 0));
        Put(folder, 1, ShortEntry("..         ", 0x10, 0, 0));
        Put(folder, 2, ShortEntry("INSIDE  TXT", 0x20, 9, 100));
        std::ofstream out(dir.file("disk.img"), std::ios::binary);
        out.seekp((kFolder - 2) * 512);
        out.write(reinterpret_cast<const char*>(folder.data()), 512);
        out.seekp((kFolder + 14) * 512 - 1);
        out.put('\0');
    }
    salvor::test::ImageDevice device(dir.file("disk.img"), 512);
    MapTable table({});
    KeepBuilder builder;
    CFATBuildWorker worker(&builder, nullptr, nullptr, &device, FS_FAT32, 0, 1, 0, 0, 2, 1, 0, kFolder + 10, &table);
    CFATBuildChildren children(&builder, nullptr, nullptr, &device, worker.Visited(), worker.Folders(), &table,
                               worker.Geometry());
    auto* node = new CFATFileNode();
    auto* props = CFATFileProperties::Create();
    props->SetFileName("Gone");
    props->SetAttribute(0x10);
    props->SetFirstClusterNum(kFolder & 0xFFFF); // the high word lost
    node->SetFileProperties(props);
    node->MarkDeleted();
    FatFolderQueue queue;
    EXPECT_EQ(worker.BuildSubDirChild(children, node, queue, 0, 1), 1);
    EXPECT_EQ(node->GetCurrentNodeID(), kFolder);
    ASSERT_EQ(builder.nodes.size(), 1u);
    EXPECT_STREQ(builder.nodes[0]->GetFileName(), "INSIDE.TXT");
    // Nothing that opens like a folder: refused, the node as it came.
    auto* other = new CFATFileNode();
    auto* otherProps = CFATFileProperties::Create();
    otherProps->SetAttribute(0x10);
    otherProps->SetFirstClusterNum(5);
    other->SetFileProperties(otherProps);
    EXPECT_EQ(worker.BuildSubDirChild(children, other, queue, 0, 1), 0);
    EXPECT_EQ(other->GetCurrentNodeID(), 5);
    node->Release();
    other->Release();
}

// FAT32 deleted entries with the high word 0 after live files above 0x10000,
// in the root and in a folder above 0x10000, nothing recognised by content:
// the carried high part gives way to the entry's own cluster only when that
// is free and the guessed one is a live file's.
TEST(FatBuildChildren, AGuessedHighPartGivesWayOnlyToAFreeOwnCluster) {
    const struct {
        std::uint32_t low;
        bool lowHeld, guessHeld;
        std::uint32_t start;
    } rows[] = {{0x200, false, true, 0x200},
                {0x400, false, false, 0x10400},
                {0x600, true, true, 0x10600},
                {0x800, true, false, 0x10800}};
    std::map<std::uint32_t, std::uint32_t> links;
    std::vector<std::uint8_t> folder(32 * 2 * std::size(rows), 0);
    std::size_t i = 0;
    for (const auto& r : rows) {
        const std::uint32_t live = 0x10000 + r.low - 0x100; // ends just before the guess
        links[live] = kEnd;
        if (r.lowHeld) links[r.low] = kEnd;
        if (r.guessHeld) links[0x10000 + r.low] = kEnd;
        Put(folder, i++, ShortEntry("LIVE    BIN", 0x20, live, 512));
        auto gone = ShortEntry("GONE    BIN", 0x20, r.low, 4096);
        gone[0] = 0xE5;
        Put(folder, i++, gone);
    }
    MapTable table(links);
    FatBuildGeometry geo;
    geo.kind = FS_FAT32;
    geo.clusterCount = 0x20000;
    auto* parent = new CFATFileNode();
    auto* props = CFATFileProperties::Create();
    props->SetAttribute(0x10);
    props->SetFirstClusterNum(0x10002);
    parent->SetFileProperties(props);
    for (IFileNode* in : {static_cast<IFileNode*>(nullptr), static_cast<IFileNode*>(parent)}) {
        SCOPED_TRACE(in ? "in a folder above 0x10000" : "in the root");
        KeepBuilder builder;
        FatVisitedClusters visited;
        FatFolderMap folders;
        CFATBuildChildren children(&builder, nullptr, nullptr, nullptr, visited, folders, &table, geo);
        FatFolderQueue queue;
        std::vector<std::uint8_t> bytes = folder;
        children.BuildChildrenFromBuffer(bytes.data(), static_cast<std::uint32_t>(bytes.size()), in, queue, 0, 1);
        ASSERT_EQ(builder.nodes.size(), 2 * std::size(rows));
        for (std::size_t r = 0; r < std::size(rows); ++r)
            EXPECT_EQ(builder.nodes[2 * r + 1]->GetCurrentNodeID(), rows[r].start) << std::hex << rows[r].low;
    }
    parent->Release();
}

TEST(FatBuildChildren, WindowsExecutablesAreRecognisedByTheirPEHeader) {
    auto pe = [](char z, std::uint8_t lo, std::uint8_t hi) {
        std::vector<std::uint8_t> s(512, 0);
        s[0] = 'M', s[1] = static_cast<std::uint8_t>(z), s[0x3C] = lo, s[0x3D] = hi, s[0x80] = 'P',
        s[0x81] = 'E';
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

TEST_F(FatQuickSearcher, ReadsAroundABootSectorAndFirstFatSectorsThatCannotBeRead) {
    Volume(FS_FAT16);
    searcher->SetDirecotryTreeBuilder(&builder);
    device.SetWholeReadsFail(true);
    // The first sector of each FAT copy lost: they say nothing against the
    // boot sector, and the volume is listed.
    const auto bootBytes = salvor::test::ReadBytes(salvor::test::FixtureFile("fat_16", "fat_16.img"), 0, 512);
    const CTempFATDBR boot(bootBytes, 512);
    device.FailSector(boot.GetReservedSector());
    device.FailSector(boot.GetReservedSector() + boot.GetSectorsPerFat());
    ASSERT_EQ(searcher->QuickSearchFiles(&device, &progress), 0u);
    EXPECT_FALSE(builder.nodes.empty());
    // A root area none of whose sectors reads is lost, not empty.
    const unsigned rootStart = boot.GetReservedSector() + boot.GetNumberOfFat() * boot.GetSectorsPerFat();
    device.FailSectors(rootStart, boot.GetRootDirSectors());
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kRootUnreadable);
    // A boot sector that cannot be read (FAT16 keeps no backup) is counted.
    device.FailSector(0);
    const long long unreadable = salvor::UnreadableStructureSectors().load();
    EXPECT_EQ(searcher->QuickSearchFiles(&device, &progress), fat::kQuickNoValidBoot);
    EXPECT_GE(salvor::UnreadableStructureSectors().load() - unreadable, 1);
    // First FAT sectors that read but hold no table speak against the boot
    // sector; lost ones say nothing.
    TempDir dir;
    const std::string blank = dir.file("blank.img");
    std::filesystem::copy_file(salvor::test::FixtureFile("fat_16", "fat_16.img"), blank);
    {
        std::fstream image(blank, std::ios::binary | std::ios::in | std::ios::out);
        const std::string zeros(512, '\0');
        for (const unsigned at : {boot.GetReservedSector(), boot.GetReservedSector() + boot.GetSectorsPerFat()})
            image.seekp(std::streamoff{at} * 512).write(zeros.data(), 512);
        ASSERT_TRUE(image.good());
    }
    salvor::test::ImageDevice blanked(blank, 512);
    auto sector = salvor::test::ReadBytes(blank, 0, 512);
    EXPECT_FALSE(CFATBuildWorker::IsFullValidDBR(sector, 0, &blanked));
    blanked.FailSector(boot.GetReservedSector());
    blanked.FailSector(boot.GetReservedSector() + boot.GetSectorsPerFat());
    EXPECT_TRUE(CFATBuildWorker::IsFullValidDBR(sector, 0, &blanked));
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
    auto take = [&] {
        return searcher->GetSearchedPartitionInfo(slot, 1), std::unique_ptr<CSearchedPartitionInfo>(slot[0]);
    };
    const auto a = take(), b = take();
    ASSERT_NE(a, nullptr);
    EXPECT_NE(a.get(), b.get());
    auto* rec = dynamic_cast<CFATSearchedPartitionInfo*>(a.get());
    ASSERT_NE(rec, nullptr);
    // Cluster origin: the sector of cluster 2.
    EXPECT_EQ(std::tuple(a->m_fileSystemType, a->m_partitionIndex, rec->GetFlag(), a->m_clusterOrigin),
              std::tuple(unsigned{FS_FAT16}, std::uint16_t{0}, CFATSearchedPartitionInfo::kQuickFlagsFat16,
                         rec->GetReservedSector() + 2ll * rec->GetSectorPerFAT() + rec->GetRootInfo()));
    // A clone keeps the geometry and flags, not the searcher's scores.
    rec->m_searcherField2 = 5;
    rec->m_searcherField4 = 100;
    std::unique_ptr<CSearchedPartitionInfo> c(rec->Clone());
    auto* clone = dynamic_cast<CFATSearchedPartitionInfo*>(c.get());
    ASSERT_NE(clone, nullptr);
    auto geometry = [](CFATSearchedPartitionInfo& r) {
        return std::tuple(r.GetSectorSize(), r.m_partitionIndex, r.m_clusterOrigin, r.GetStartSector(),
                          r.GetTotalSectors(), r.GetReservedSector(), r.GetSectorPerFAT(), r.GetTotalCluster(),
                          r.GetRootInfo(), r.GetFlag(), r.m_searcherField2, r.m_searcherField4);
    };
    rec->m_searcherField2 = 0, rec->m_searcherField4 = 1;
    EXPECT_EQ(geometry(*clone), geometry(*rec));
}

struct Kind {
    const char* fixture;
    unsigned sectorSize;
    enumFILE_SYSTEM_TYPE kind;
    bool bootZeroed = false; // a FAT32 volume is then read from its backup boot sector
    bool fatDamaged = false; // the first FAT copy, where frag.bin's chain begins: the second is read
};
const Kind kKinds[] = {{"fat_12", 512, FS_FAT12},
                       {"fat_16", 512, FS_FAT16},
                       {"fat_32", 512, FS_FAT32},
                       {"fat_16_4k", 4096, FS_FAT16},
                       {"fat_32", 512, FS_FAT32, true},
                       {"fat_12", 512, FS_FAT12, false, true},
                       {"fat_16", 512, FS_FAT16, false, true},
                       {"fat_32", 512, FS_FAT32, false, true},
                       {"fat_16_4k", 4096, FS_FAT16, false, true}};

std::string File(const Kind& k, const char* ext) {
    return FixtureFile(k.fixture, std::string(k.fixture) + ext);
}

// A copy of the fixture's image with its boot sector zeroed, or with random
// bytes over the first FAT's sector that holds frag.bin's first entry.
std::string Damaged(const Kind& k, const TempDir& dir) {
    const std::string copy = salvor::test::CopyOf(File(k, ".img"), dir, "damaged.img");
    std::vector<std::uint8_t> bytes(k.sectorSize, 0);
    unsigned long long sector = 0;
    if (k.fatDamaged) {
        const auto boot = salvor::test::ReadBytes(copy, 0, k.sectorSize);
        const CTempFATDBR b(boot, k.sectorSize);
        for (const auto& e : ReadIstatManifest(File(k, ".istat")))
            if (e.path == "frag.bin") {
                const auto c = (e.sectors.front() - b.GetFirstDataSector()) / b.GetSectorsperCluster() + 2;
                sector = b.GetReservedSector() +
                         (k.kind == FS_FAT12 ? c * 3 / 2 : c * (k.kind == FS_FAT16 ? 2 : 4)) / k.sectorSize;
            }
        EXPECT_GT(sector, 0u);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
    }
    EXPECT_TRUE(WriteBytes(copy, sector * k.sectorSize, bytes));
    return copy;
}

// The last record (state, current, result) and how many final records came.
using LastRecord = std::tuple<unsigned, unsigned, ResultCode, std::size_t>;
LastRecord Final(const salvor::test::RecordingProgress& p) {
    return {p.Last().state, p.Last().current, p.Last().result, p.FinishedCount()};
}
LastRecord Final(unsigned state, unsigned current, ResultCode result) { return {state, current, result, 1}; }

std::unique_ptr<FsScan> Quick(const std::string& image, unsigned sectorSize, int kind) {
    ResetFactories();
    RegisterFatLibrary();
    return std::make_unique<FsScan>(image, sectorSize, kind);
}

class FatQuickEndToEnd : public ::testing::TestWithParam<Kind> {};

TEST_P(FatQuickEndToEnd, ListingEqualsFlsAndEveryFileComesBackByteExact) {
    const Kind k = GetParam();
    TempDir dir;
    auto scan = Quick(k.bootZeroed || k.fatDamaged ? Damaged(k, dir) : File(k, ".img"), k.sectorSize, k.kind);
    EXPECT_EQ(scan->Run(), 0u);
    EXPECT_EQ(Final(scan->progress), Final(PROGRESS_FINISHED, 100, 0));
    ASSERT_EQ(scan->tree.Roots().size(), 1u);
    EXPECT_STREQ(scan->tree.Roots()[0]->GetFileName(), "VOL(FAT/FAT32)");
    EXPECT_EQ(scan->tree.LostBatchCount(), 0u) << "every node has its folder";
    ExpectListing(*scan, Expected(ReadIstatManifest(File(k, ".istat"))));

    // The deleted subset equals fls -d.
    std::set<std::string> deletedWant, deletedGot;
    for (const auto& [key, e] : Expected(ParseFls(ReadText(File(k, ".fls_del")))))
        if (!e.dir) deletedWant.insert(key);
    for (const auto& [key, shown] : Listing(*scan))
        if (shown.second->IsDeleted() && !shown.second->IsDirectory()) deletedGot.insert(key);
    EXPECT_EQ(deletedGot, deletedWant);
    EXPECT_GE(deletedGot.size(), 3u) << "gone.bin and the files of the deleted tree";
    // Live, fragmented, deleted and deleted-folder files all come back.
    EXPECT_GE(ExpectRecovered(*scan, File(k, ".sha256")), 48);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatQuickEndToEnd, ::testing::ValuesIn(kKinds), [](const auto& info) {
    return info.param.fixture + std::string(info.param.bootZeroed   ? "_boot_zeroed"
                                            : info.param.fatDamaged ? "_fat_damaged"
                                                                    : "");
});

TEST(FatQuickDamaged, Fat16WithoutBootSectorFailsWithAFinalRecord) {
    TempDir dir;
    auto scan = Quick(Damaged({"fat_16", 512, FS_FAT16, true}, dir), 512, FS_FAT16);
    EXPECT_EQ(scan->Run(), 0x10A00CA0000000Cull);
    EXPECT_EQ(Final(scan->progress), Final(PROGRESS_FINISHED, 100, 0x10A00CA0000000Cull));
    EXPECT_EQ(scan->tree.NodeCount(), 0u);
}

TEST(FatQuickStop, AStopAfterTheFirstFolderKeepsTheNodesFound) {
    auto scan = Quick(File(kKinds[2], ".img"), 512, FS_FAT32);
    // The controller's opening record, then the build's first progress report
    // after the first folder: the next folder is not read.
    scan->progress.StopAfter(2);
    EXPECT_EQ(scan->Run(), fat::kSearchStopped);
    EXPECT_EQ(Final(scan->progress), Final(PROGRESS_FINISHED, 100, fat::kSearchStopped));
    ASSERT_EQ(scan->tree.Roots().size(), 1u);
    const auto listing = Listing(*scan);
    EXPECT_TRUE(listing.count("README.TXT"));
    EXPECT_TRUE(listing.count("Docs/")) << "the first folder's files are shown under it";
    EXPECT_FALSE(listing.count("Many/Entry number 01 of a long folder.dat"));
}

// Deleted FAT32 files above cluster 0x10000 whose entries lost the high word:
// the revision finds the PE file by its content and the random file from where
// the folder's previous entries ended. Deleted text files below 0x10000 in
// folders whose earlier deleted entry kept its high word come from their own
// cluster, though the cluster 0x10000 above it is free too; as tsk_recover -e
// brings them back.
TEST(FatQuickHighWord, DeletedFilesAboveTheHighWordComeBackByteExact) {
    const std::string dir = salvor::test::Fixture("fat_32_highword");
    ASSERT_FALSE(dir.empty());
    auto scan = Quick(dir + "/fat_32_highword.img", 512, FS_FAT32);
    ASSERT_EQ(scan->Run(), 0u);
    const auto listing = Listing(*scan);
    // True first clusters, by short name as the fixture recorded them.
    std::istringstream in(ReadText(dir + "/fat_32_highword.clusters"));
    std::map<std::string, long long> clusters;
    for (std::string line; std::getline(in, line);)
        clusters[line.substr(0, 10)] = std::stoll(line.substr(11));
    for (const auto& [key, shortName] : {std::pair{"_ROG.EXE", "ROG    EXE"},
                                         {"_AND.BIN", "AND    BIN"},
                                         {"High/_ROG2.EXE", "ROG2   EXE"},
                                         {"High/_AND2.BIN", "AND2   BIN"},
                                         {"Kept/_OTE.TXT", "OTE    TXT"},
                                         {"Low/_EMO.TXT", "EMO    TXT"}}) {
        const auto it = listing.find(key);
        ASSERT_NE(it, listing.end()) << key;
        EXPECT_TRUE(it->second.second->IsDeleted()) << key;
        EXPECT_EQ(it->second.second->GetCurrentNodeID(), clusters.at(shortName)) << key;
    }
    EXPECT_EQ(ExpectRecovered(*scan, dir + "/fat_32_highword.sha256"), 8);
    const auto manifest = salvor::test::Sha256Manifest(dir + "/fat_32_highword.sha256");
    const auto tsk = salvor::test::Sha256Manifest(dir + "/fat_32_highword.tsk");
    EXPECT_EQ(tsk.size(), 2u);
    for (const auto& [path, sha] : tsk) EXPECT_EQ(sha, manifest.at(path)) << "tsk_recover -e agrees: " << path;
}

// A used card: deleted files below cluster 0x10000 listed after files above
// it, their space partly reused. Every one whose bytes survive comes back
// byte-exact from its own cluster, not from the live file the carried high
// part points into; at least as many as tsk_recover -e. The two whose entries
// lost the high word still come back from above 0x10000.
TEST(FatQuickHighWord, DeletedFilesBelowTheHighWordAreNotReadFromLiveFiles) {
    const std::string dir = salvor::test::Fixture("fat_32_reused");
    ASSERT_FALSE(dir.empty());
    auto scan = Quick(dir + "/fat_32_reused.img", 512, FS_FAT32);
    ASSERT_EQ(scan->Run(), 0u);
    EXPECT_EQ(ExpectRecovered(*scan, dir + "/fat_32_reused.sha256", {"empty.txt"}), 16);
    EXPECT_GE(9, std::stoi(ReadText(dir + "/fat_32_reused.tsk"))) << "deleted files tsk_recover brings back";
}

// Deleted files whose clusters were allocated around a live file's chain: the
// assumed run steps over the live clusters and the file comes back byte-exact,
// as tsk_recover brings it back, and the live file is untouched.
TEST(FatQuickDeletedGap, ADeletedRunStepsOverALiveFilesClusters) {
    const std::string dir = salvor::test::Fixture("fat_deleted_gap");
    ASSERT_FALSE(dir.empty());
    for (const auto& [bits, kind] : {std::pair{"12", FS_FAT12}, {"16", FS_FAT16}, {"32", FS_FAT32}}) {
        SCOPED_TRACE(std::string("FAT") + bits);
        const std::string base = dir + "/fat_gap_" + bits;
        auto scan = Quick(base + ".img", 512, kind);
        ASSERT_EQ(scan->Run(), 0u);
        EXPECT_EQ(ExpectRecovered(*scan, base + ".sha256"), 2);
        const auto manifest = salvor::test::Sha256Manifest(base + ".sha256");
        EXPECT_EQ(ReadText(base + ".tsk").substr(0, 64), manifest.at("victim.bin")) << "tsk_recover agrees";
    }
}

// Public samples made by other tools: the listing equals fls (fls cuts
// fat32_full_test's longest names: there the published listing is the
// oracle), and a published listing's live files are ours.
struct Sample {
    const char* file;
    unsigned sectorSize = 512;
    const char* published = nullptr;
    bool fls = true;
    const char* extrasBelow = ""; // a deleted folder fls does not descend into
    int extras = 0;
};
class FatQuickSamples : public ::testing::TestWithParam<Sample> {
protected:
    static std::set<std::string> Paths(const FsScan& scan, bool deletedToo = true) {
        std::set<std::string> out;
        for (const auto& [key, shown] : Listing(scan))
            if (deletedToo || !shown.second->IsDeleted()) out.insert(shown.first);
        return out;
    }
    std::unique_ptr<FsScan> Scan(const Sample& s) {
        const std::string img = salvor::test::DfirImage(s.file, tmp.path());
        EXPECT_FALSE(img.empty());
        const auto boot = salvor::test::ReadBytes(img, 0, s.sectorSize);
        auto scan = Quick(img, s.sectorSize, CTempFATDBR(boot, s.sectorSize).GetFileSystemType());
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(s.fls ? ExpectListing(*scan, Expected(FlsOf(img)), s.extrasBelow) : s.extras, s.extras);
        return scan;
    }
    TempDir tmp;
};

TEST_P(FatQuickSamples, ListingEqualsFlsAndPublishedListing) {
    const Sample& s = GetParam();
    auto scan = Scan(s);
    if (!s.published) return;
    // Every live entry is published; what is not shown is an empty folder.
    const auto live = Paths(*scan, false);
    std::set<std::string> published;
    std::istringstream in(ReadText(salvor::test::TestData() + "/dfir_ntfs/" + s.published));
    for (std::string line; std::getline(in, line);)
        if (const auto cut = line.find_last_of(" \t"); cut != std::string::npos && line[0] == '/')
            published.insert(line.substr(1, cut - 1));
    EXPECT_GE(published.size(), 269u);
    for (const auto& p : live)
        EXPECT_TRUE(published.count(p)) << p;
    for (const auto& p : published) {
        if (live.count(p)) continue;
        for (auto below = published.upper_bound(p + "/");
             below != published.end() && below->starts_with(p + "/"); ++below)
            EXPECT_FALSE(live.count(*below)) << p << " not shown above " << *below;
    }
}

INSTANTIATE_TEST_SUITE_P(Dfir, FatQuickSamples,
                         ::testing::Values(Sample{"fat12.raw.gz", 512, "fat12_full_test.txt"},
                                           Sample{"fat16.raw.gz", 512, "fat16_full_test.txt"},
                                           Sample{"fat32_full_test.tgz", 512, "fat32_full_test.txt", false},
                                           Sample{"fat_deleted_dir.raw.gz"},
                                           Sample{"fat_deleted_dir_2.raw.gz"}, Sample{"fat16_moved.raw.gz"},
                                           Sample{"fat_lfn_test.raw.gz"}, Sample{"fat_noloop.raw.gz"},
                                           Sample{"fat_unusual_label.raw.gz"},
                                           Sample{"fat_unusual_cluster.raw.gz", 4096},
                                           Sample{"fat_dir.raw.gz", 512, nullptr, true, "test/", 112}),
                         [](const auto& info) {
                             const std::string n = info.param.file;
                             return n.substr(0, n.find('.'));
                         });

// FAT32 with 2048-byte sectors, its size in the 16-bit field and a FAT of one
// sector (fls cannot read it): its one folder and two files, and the erased
// entries of an editor's swap file, whose name begins with a dot.
TEST_F(FatQuickSamples, SmallFat32With2048ByteSectors) {
    EXPECT_EQ(Paths(*Scan({"fat32_small.raw.gz", 2048, nullptr, false})),
              (std::set<std::string>{"test", "test/.2.TXT.swp", "test/1.TXT", "test/2.TXT"}));
}

// A folder below test_dir/n40 holds its own parent: the scan ends, and the
// tree around the loop stays. test_dir's one file, the empty 1/11/111.txt,
// kept its first cluster: an empty file, not a damaged entry.
TEST_F(FatQuickSamples, FolderLoopKeepsTheTreeAroundIt) {
    Scan({"fat32_loop.raw.gz", 512, nullptr, true, "test_dir/n40/4/"});
}

} // namespace
