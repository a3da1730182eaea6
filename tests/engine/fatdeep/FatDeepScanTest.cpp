// The FAT deep searcher's partition proposals, fed sector streams directly
// (boot sectors read as main and as backup, FAT copies inside a FAT of
// one-cluster chains, partitions known only from their sub-folders), and deep
// scans through the complete controller, the tree builder and the writer: the
// MBR disk fixtures (FAT32 at 2048, exFAT at 133120) with their partition
// table, boot sectors or boot regions gone or formatted again, and whole FAT
// volumes. Trees against fls, files against the sha256 of what was copied in
// (or against icat for what TSK finds orphaned).
#include "engine/fat/FatDeepSearcher.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/support/TableEntries.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "engine/exfat/ExfatDeepSearch.h"

#include <gtest/gtest.h>

#include <tuple>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using namespace fattest;
using salvor::test::FixtureFile;
using Record = CFATSearchedPartitionInfo;

namespace {

std::string Deep(const char* name) {
    return FixtureFile("fat_deep", name);
}

// Streams the whole device through the searcher in blocks and scores the proposals.
// Ended without building, nothing is scored or handed out as a record; the
// proposals are handed over once.
std::vector<std::unique_ptr<Record>> Propose(IStorageDevice& device, long long block = 8192) {
    CFATCompleteFSearcher searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(static_cast<int>(block));
    searcher.PreparetoSearch();
    const long long total = static_cast<long long>(device.GetTotalSectors());
    for (long long s = 0; s < total; s += block)
        EXPECT_EQ(searcher.AnalyzeBlock(s, std::min(block, total - s)), 1);
    EXPECT_EQ(searcher.AnalyzeBlock(0, 0), 0);
    EXPECT_EQ(searcher.AnalyzeBlock(-1, 1), 0);
    searcher.EndSearch(0);
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(nullptr, 0), 0);
    std::vector<std::unique_ptr<Record>> out, again;
    searcher.AddSearchedPartitionInfoList2(out);
    searcher.AddSearchedPartitionInfoList2(again);
    EXPECT_TRUE(again.empty());
    for (std::size_t i = 0; i < out.size(); ++i)
        EXPECT_EQ(out[i]->m_partitionIndex, static_cast<int>(i));
    return out;
}

// The one-cluster volume yields one FAT32 partition at 0 with these flags
// (boot sectors and FAT copies seen) and score, confirmed by its 4 folders;
// the main boot sector gone, its backup is read as the backup, not as a
// partition six sectors on; blocks that cut the boot region and the FATs
// between reads change nothing; a backup of a known partition proposes no ghost.
TEST(FatDeepProposals, OnePartitionFromMainAndBackupBootSectors) {
    const struct {
        const char* image;
        long long block;
        std::uint32_t flags;
        std::int64_t score;
    } rows[] = {{"onecluster.img", 8192, 0x3CC, 100},
                {"onecluster_boot_zeroed.img", 8192, 0x3C8, 95},
                {"onecluster_boot_zeroed.img", 7, 0x3C8, 95}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.image) + " in blocks of " + std::to_string(r.block));
        salvor::test::ImageDevice device(Deep(r.image));
        const auto found = Propose(device, r.block);
        ASSERT_EQ(found.size(), 1u);
        const Record& p = *found[0];
        EXPECT_EQ(std::tuple(p.GetStartSector(), p.m_fileSystemType, p.GetFlag() & 0x3CF,
                             CFATCompleteFSearcher::Score(p), CFATCompleteFSearcher::SubFolderCount(p)),
                  std::tuple(0LL, unsigned{FS_FAT32}, r.flags, r.score, 4));
    }
}

// A device of 256 MiB with two folders of a FAT32 partition whose boot
// sectors are gone, close to the device's start: a FAT sized for the whole
// device would not fit before the data area.
class SubFolderOnly : public ::testing::Test {
protected:
    static constexpr unsigned long long kSectors = 524288;
    static constexpr long long kData = 4098; // the sector of cluster 2

    void SetUp() override { std::ofstream(image_).close(); }
    void Folder(std::uint32_t cluster, std::uint32_t parent) {
        std::vector<std::uint8_t> sector;
        for (const auto& e : {ShortEntry(".          ", 0x10, cluster, 0), ShortEntry("..         ", 0x10, parent, 0),
                              ShortEntry("FILE    BIN", 0x20, cluster + 1, 100)})
            sector.insert(sector.end(), e.begin(), e.end());
        sector.resize(512, 0);
        ASSERT_TRUE(salvor::test::WriteBytes(image_, (kData + cluster - 2) * 512ull, sector));
    }
    void Grow() { std::filesystem::resize_file(std::filesystem::path(image_), kSectors * 512); }

    salvor::test::TempDir dir_;
    std::string image_ = dir_.file("large.img");
};

TEST_F(SubFolderOnly, PartitionNearTheStartOfALargeDeviceKeepsItsDataStart) {
    Folder(5000, 0);
    Grow();
    salvor::test::ImageDevice alone(image_);
    EXPECT_TRUE(Propose(alone).empty()) << "a folder no other folder confirms proposes nothing";
    Folder(5004, 5000);
    salvor::test::ImageDevice device(image_);
    const auto found = Propose(device);
    ASSERT_EQ(found.size(), 1u);
    const Record& r = *found[0];
    EXPECT_EQ(std::tuple(r.m_clusterOrigin, r.m_sectorsPerCluster, r.m_fileSystemType, r.GetFlag(),
                         CFATCompleteFSearcher::SubFolderCount(r), CFATCompleteFSearcher::Score(r)),
              std::tuple(kData, 1u, unsigned{FS_FAT32}, 0x10u, 1, std::int64_t{20}));
    // Two FATs and a reserved sector before the data area, on the device.
    EXPECT_GE(r.GetStartSector(), 0);
    EXPECT_LE(r.GetStartSector() + 1 + 2ll * r.GetSectorPerFAT(), kData);
}

constexpr long long kFatStart = 2048;
std::string Mbr(const char* name) {
    return FixtureFile("mbr_fat_exfat", name);
}
std::string Base(const std::string& path) {
    return FatKey(path.substr(path.rfind('/') + 1));
}

class FatDeepScan : public ::testing::Test {
protected:
    std::unique_ptr<FsScan> Scan(const std::string& image, bool withExfat = false, fat::DeepLimits limits = {}) {
        ResetFactories();
        salvor::test::SetDeepMaker(SEARCHER_FAT, "FAT", [this, limits] {
            fat = new CFATCompleteFSearcher();
            fat->SetLimits(limits);
            return fat;
        });
        if (withExfat)
            salvor::test::SetDeepMaker(SEARCHER_EXFAT, "exFAT", [this] { return exfat = exfat::CreateEXFatSearcher(); });
        auto scan = std::make_unique<FsScan>(image, 512, -1);
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(scan->progress.Last().state, 3u);
        ResetFactories();
        parts = salvor::test::PartitionsOf(fat);
        return scan;
    }
    // The FAT32 partition as mkfs.fat made it: the sector of cluster 2 and the cluster size.
    void ExpectMadeGeometry() {
        const auto sector = salvor::test::ReadBytes(Mbr("disk_intact.img"), kFatStart * 512, 512);
        const CTempFATDBR boot(sector, 512); // a view of sector
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(std::tuple(parts[0]->m_fileSystemType, parts[0]->m_clusterOrigin, parts[0]->m_sectorsPerCluster),
                  std::tuple(unsigned{FS_FAT32}, kFatStart + static_cast<long long>(boot.GetFirstDataSector()),
                             boot.GetSectorsperCluster()));
        EXPECT_GE(parts[0]->m_startSector, 0);
    }
    std::int64_t Score() const {
        return CFATCompleteFSearcher::Score(*parts.at(0));
    }

    CFATCompleteFSearcher* fat = nullptr; // owned by the scan's controller
    ICompleteFileSystemSearchController* exfat = nullptr;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
};

// The made FAT32 partition alone, with its score, its tree equal to fls of
// the intact disk and every file byte-exact, deleted ones included.
class FatDeepIntact : public FatDeepScan,
                      public ::testing::WithParamInterface<std::pair<const char*, int>> {};

TEST_P(FatDeepIntact, FindsThePartitionWithTheIntactTree) {
    auto scan = Scan(Mbr(GetParam().first));
    ExpectMadeGeometry();
    EXPECT_EQ(std::tuple(parts[0]->m_startSector, parts[0]->GetTotalSectors(), parts[0]->m_score, Score()),
              std::tuple(kFatStart, 131072ull, static_cast<double>(GetParam().second),
                         std::int64_t{GetParam().second}));
    ExpectListing(*scan, Expected(ParseFls(ReadText(Mbr("fat32.fls.txt")))));
    EXPECT_EQ(ExpectRecovered(*scan, Mbr("fat32.sha256.txt")), 10);
}

// From the backup boot sector when the main one is gone.
INSTANTIATE_TEST_SUITE_P(Disks, FatDeepIntact,
                         ::testing::Values(std::pair{"disk_mbr_zeroed.img", 100},
                                           std::pair{"disk_boot_zeroed.img", 95}),
                         [](const auto& info) { return std::string(info.param.first).substr(5, 4); });

// Without any boot sector the partition is known from its folders (the FAT32
// root is listed from cluster 2, so the original tree comes back); without a
// FAT only the fragmented file cannot come back whole. On the disk grown to
// 256 MiB a FAT sized for all after the data start would not fit before it.
TEST_F(FatDeepScan, AllBootSectorsZeroedFindsThePartitionFromItsFolders) {
    salvor::test::TempDir dir;
    const std::string grown = salvor::test::CopyOf(Mbr("disk_all_boot_zeroed.img"), dir, "grown.img");
    std::filesystem::resize_file(grown, 256ull << 20);
    for (const std::string& image : {Mbr("disk_all_boot_zeroed.img"), grown}) {
        SCOPED_TRACE(image);
        auto scan = Scan(image);
        ExpectMadeGeometry();
        std::set<std::string> names;
        for (const auto& [path, node] : scan->Nodes("(FAT/FAT32)"))
            names.insert(Base(path));
        for (const auto& e : ParseFls(ReadText(Mbr("fat32.fls.txt"))))
            EXPECT_TRUE(names.count(Base(e.path))) << e.path;
        EXPECT_EQ(ExpectRecovered(*scan, Mbr("fat32.sha256.txt"), {"frag.bin"}), 9);
    }
}

TEST_F(FatDeepScan, ReformattedPartitionKeepsTheOldFoldersAsDeleted) {
    const std::string image = Mbr("disk_reformatted.img");
    auto scan = Scan(image);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(std::pair(parts[0]->m_startSector, Score()), std::pair(std::int64_t{kFatStart}, std::int64_t{100}));
    // Everything is deleted: the old files and the old folders (at least 4).
    std::map<std::string, std::string> ours; // sha -> path of each file
    int folders = 0;
    for (const auto& [path, node] : scan->Nodes("(FAT/FAT32)")) {
        EXPECT_TRUE(node->IsDeleted()) << path;
        if (node->IsDirectory())
            ++folders;
        else
            ours.emplace(scan->Recover(node, SEARCHER_FAT), path);
    }
    EXPECT_GE(folders, 4);
    // What TSK finds orphaned in the new volume ("-/r * 27:\t$OrphanFiles/ALETTE~1.TXT")
    // is among ours, with the bytes icat reads.
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("fls -r -p -o 2048 '" + image + "'", &out), 0)
        << "fls (sleuthkit) is needed";
    salvor::test::TempDir dir;
    int orphans = 0;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.compare(tab + 1, 13, "$OrphanFiles/") != 0 || line[2] != 'r')
            continue;
        const auto colon = line.rfind(':', tab);
        const std::string inode = line.substr(line.rfind(' ', colon) + 1, colon - line.rfind(' ', colon) - 1);
        ASSERT_EQ(salvor::test::RunCommand("icat -o 2048 '" + image + "' " + inode + " > '" +
                                           dir.file(inode) + "'"),
                  0);
        EXPECT_TRUE(ours.count(salvor::test::Sha256File(dir.file(inode)))) << line;
        ++orphans;
    }
    EXPECT_EQ(orphans, 6);
}

// 2,400 one-cluster files: one partition at 0 (also without its main boot
// sector), no path shown twice.
TEST_F(FatDeepScan, OneClusterFilesGiveOnePartitionAndNoFileTwice) {
    for (auto [image, score] :
         {std::pair{"onecluster.img", 100}, std::pair{"onecluster_boot_zeroed.img", 95}}) {
        SCOPED_TRACE(image);
        auto scan = Scan(Deep(image));
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0]->m_startSector, 0);
        EXPECT_EQ(Score(), score);
        const auto nodes = scan->Nodes("(FAT/FAT32)");
        for (auto it = nodes.begin(); it != nodes.end(); it = nodes.upper_bound(it->first))
            EXPECT_EQ(nodes.count(it->first), 1u) << it->first;
        EXPECT_EQ(nodes.size(), 2404u);
        if (score == 100) {
            ExpectListing(*scan, Expected(ParseFls(ReadText(Deep("onecluster.fls")))));
            EXPECT_EQ(ExpectRecovered(*scan, Deep("onecluster.sha256")), 2400);
        }
    }
}

TEST_F(FatDeepScan, Fat16VolumeScannedAsAWholeDevice) {
    auto scan = Scan(Deep("fat16_dev.img"));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(std::tuple(parts[0]->m_fileSystemType, parts[0]->m_startSector, Score()),
              std::tuple(unsigned{FS_FAT16}, 0LL, std::int64_t{100}));
    ExpectListing(*scan, Expected(ParseFls(ReadText(Deep("fat16_dev.fls")))));
    EXPECT_EQ(ExpectRecovered(*scan, Deep("fat16_dev.sha256")), 51);
}

// The used card of the quick scan's test, deep: deleted files below cluster
// 0x10000 come from their own clusters, not from live files above it.
TEST_F(FatDeepScan, DeletedFilesBelowTheHighWordAreNotReadFromLiveFiles) {
    const std::string dir = salvor::test::Fixture("fat_32_reused");
    ASSERT_FALSE(dir.empty());
    auto scan = Scan(dir + "/fat_32_reused.img");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(ExpectRecovered(*scan, dir + "/fat_32_reused.sha256", {"empty.txt"}), 16);
    EXPECT_GE(9, std::stoi(ReadText(dir + "/fat_32_reused.tsk")));
}

// The high-word volume of the quick scan's test, deep: deleted files whose
// entries lost the high word, and deleted text files below 0x10000 whose
// folders show the high words were kept, come back byte-exact.
TEST_F(FatDeepScan, DeletedFilesAroundTheHighWordComeBackByteExact) {
    const std::string dir = salvor::test::Fixture("fat_32_highword");
    ASSERT_FALSE(dir.empty());
    auto scan = Scan(dir + "/fat_32_highword.img");
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(ExpectRecovered(*scan, dir + "/fat_32_highword.sha256"), 8);
}

// A stick holding 300 FAT12 disk images: a volume inside each beside the
// stick's own, more than a first request of 256 records holds. The answer
// to it is the count, and every file, the images and the files in them,
// comes back byte-exact. The images' folders lie in the stick's live files:
// they are those files' data, not lost folders of the stick, so nothing is
// listed deleted, and a folder inside an image (floppies_sub) is its own
// volume's, live, and listed once.
TEST_F(FatDeepScan, MoreVolumesThanAFirstRequestHoldsAreAllRecovered) {
    const std::string dir = salvor::test::Fixture("floppy_folder");
    ASSERT_FALSE(dir.empty());
    // 1,100 images: more volumes of one cluster size than the searcher
    // holds unconfirmed candidates of.
    for (const char* stick : {"300", "_sub", "1100"}) {
        SCOPED_TRACE(stick);
        auto scan = Scan(dir + "/floppies" + stick + ".img");
        EXPECT_EQ(fat->VolumesLeft(), 0u);
        if (stick == std::string("1100")) {
            EXPECT_EQ(parts.size(), 1101u);
        } else if (stick == std::string("300")) {
            EXPECT_EQ(parts.size(), 301u);
            std::vector<CSearchedPartitionInfo*> few(256, nullptr);
            EXPECT_EQ(fat->GetSearchedPartitionInfo(few.data(), 256), 301);
            EXPECT_EQ(std::count(few.begin(), few.end(), nullptr), 256) << "too small an array is left as it was";
        } else {
            EXPECT_EQ(scan->Nodes().count("SAVES/S1.BIN"), 1u);
        }
        std::multiset<std::string> want, got;
        std::istringstream lines(ReadText(dir + "/files" + stick + ".sha256.txt"));
        for (std::string line; std::getline(lines, line);) want.insert(line);
        for (const auto& [path, node] : scan->Nodes()) {
            EXPECT_FALSE(node->IsDeleted()) << path;
            if (!node->IsDirectory()) got.insert(scan->Recover(node, SEARCHER_FAT));
        }
        EXPECT_EQ(got, want);
    }
}

// Beyond the volumes a scan lists (lowered here from the 16-bit index's
// bound), the weakest-confirmed go and are counted; those listed still come
// back byte-exact.
TEST_F(FatDeepScan, VolumesBeyondTheBoundAreCountedAndTheListedStayWhole) {
    const std::string dir = salvor::test::Fixture("floppy_folder");
    ASSERT_FALSE(dir.empty());
    fat::DeepLimits limits;
    limits.listedVolumes = 100;
    auto scan = Scan(dir + "/floppies300.img", false, limits);
    EXPECT_EQ(parts.size(), 100u);
    EXPECT_EQ(fat->VolumesLeft(), 201u);
    std::set<std::string> want;
    std::istringstream lines(ReadText(dir + "/files300.sha256.txt"));
    for (std::string line; std::getline(lines, line);) want.insert(line);
    std::size_t files = 0;
    for (const auto& [path, node] : scan->Nodes())
        if (!node->IsDirectory()) {
            ++files;
            EXPECT_EQ(want.count(scan->Recover(node, SEARCHER_FAT)), 1u) << path;
        }
    EXPECT_GE(files, 200u);

    // The bound holds while the sectors are read: what goes is not held.
    CFATCompleteFSearcher searcher;
    searcher.SetLimits(limits);
    salvor::test::ImageDevice device(dir + "/floppies300.img");
    searcher.SetDevice(&device);
    searcher.SetBlockSize(64);
    searcher.PreparetoSearch();
    const long long total = device.GetTotalSectors();
    for (long long s = 0; s < total; s += 64) searcher.AnalyzeBlock(s, std::min(64LL, total - s));
    EXPECT_LE(searcher.ProposedCount(), 110u);
    EXPECT_EQ(searcher.VolumesLeft(), 201u);
}

TEST_F(FatDeepScan, FatAndExfatSearchersFindBothPartitionsInOneScan) {
    auto scan = Scan(Mbr("disk_mbr_zeroed.img"), true);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, kFatStart);
    const auto ex = salvor::test::PartitionsOf(exfat);
    ASSERT_EQ(ex.size(), 1u);
    EXPECT_EQ(std::pair(ex[0]->m_startSector, ex[0]->m_fileSystemType), std::pair(std::int64_t{133120}, unsigned{FS_EXFAT}));
    ExpectListing(*scan, Expected(ParseFls(ReadText(Mbr("fat32.fls.txt")))));
    EXPECT_GT(scan->Nodes("(ExFat)").size(), 100u);
}

TEST_F(FatDeepScan, StopWithoutBuildingShowsNothing) {
    ResetFactories();
    salvor::test::SetDeepMaker(SEARCHER_FAT, "FAT", [this] { return fat = new CFATCompleteFSearcher(); });
    FsScan scan(Mbr("disk_mbr_zeroed.img"), 512, -1);
    scan.progress.SetShouldBuild(0);
    scan.progress.StopAfter(10);
    EXPECT_EQ(scan.Run(), 0u);
    ResetFactories();
    EXPECT_TRUE(scan.Nodes().empty());
    EXPECT_TRUE(salvor::test::PartitionsOf(fat).empty());
}

} // namespace
