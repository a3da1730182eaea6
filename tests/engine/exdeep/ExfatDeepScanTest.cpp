// Deep scans of the MBR disk fixtures (FAT32 at 2048, exFAT at 133120) and of
// the straddling-set exFAT volume through the complete controller, the tree
// builder and the file writer; trees against fls of the intact disk, files
// against the sha256 of what was copied in.
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/support/TableEntries.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <tuple>

using namespace exfat_test;
using salvor::test::FixtureFile;
using salvor::test::FsScan;

namespace {

std::string Mbr(const std::string& name) {
    return FixtureFile("mbr_fat_exfat", name);
}
std::string Base(const std::string& path) {
    return path.substr(path.rfind('/') + 1);
}

class ExfatDeepScan : public ::testing::Test {
protected:
    void SetUp() override {
        // What mkfs.exfat made of the 64 MiB partition at 133120.
        std::ifstream in(Mbr("geometry.txt"));
        for (std::string key; in >> key;) {
            if (key == "heap") in >> heap_;
            if (key == "sectors_per_cluster") in >> spc_;
        }
        manifest_ = salvor::test::Sha256Manifest(Mbr("exfat.sha256.txt"));
        fls_ = ParseFls(ReadText(Mbr("exfat.fls.txt")));
    }
    void TearDown() override { ResetFactories(); }

    std::unique_ptr<FsScan> Scan(const std::string& image, bool build = true, const std::vector<long long>& lost = {}) {
        ResetFactories();
        RegisterExfatLibrary();
        salvor::test::SetDeepMaker(SEARCHER_EXFAT, "exFAT", [this] { return searcher = exfat::CreateEXFatSearcher(); });
        found.clear();
        files.clear();
        auto scan = std::make_unique<FsScan>(image, 512, -1);
        for (long long s : lost) scan->device.FailSector(s);
        if (!build) scan->progress.SetShouldBuild(0), scan->progress.StopAfter(10);
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(scan->progress.Last().state, 3u);
        parts = salvor::test::PartitionsOf(searcher);
        for (const auto& [path, node] : scan->Nodes("(ExFat)")) {
            found.insert({node->IsDirectory() ? 'd' : 'r', node->IsDeleted() != 0, path});
            if (!node->IsDirectory()) files[path] = node;
        }
        return scan;
    }
    std::set<std::string> FoundNames() const {
        std::set<std::string> names;
        for (const Entry& e : found)
            names.insert(Base(e.path));
        return names;
    }
    int MadePartitions() const {
        int n = 0;
        for (const auto& p : parts)
            n += p->m_clusterOrigin == heap_ && p->m_sectorsPerCluster == spc_;
        return n;
    }
    // The made partition alone, at 133120, with the intact tree.
    void ExpectIntactPartition() {
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(MadePartitions(), 1);
        EXPECT_EQ(parts[0]->m_fileSystemType, 7u);
        EXPECT_EQ(parts[0]->m_startSector, 133120);
        EXPECT_EQ(parts[0]->GetTotalSectors(), 131072u);
        ExpectSame(found, fls_);
    }
    // Files (deleted ones too) written byte-exact; answers how many.
    int ExpectFilesExact(FsScan& scan, bool deletedToo) {
        int checked = 0;
        for (const Entry& e : fls_) {
            if (e.kind != 'r' || (e.deleted && !deletedToo)) continue;
            if (!files.count(e.path) || !manifest_.count(e.path)) {
                ADD_FAILURE() << "not found or not in the manifest: " << e.path;
                continue;
            }
            EXPECT_EQ(scan.Recover(files.at(e.path), SEARCHER_EXFAT), manifest_.at(e.path)) << e.path;
            ++checked;
        }
        return checked;
    }

    long long heap_ = 0;
    unsigned spc_ = 0;
    std::map<std::string, std::string> manifest_;
    Entries fls_, found;
    std::map<std::string, IFileNode*> files;
    ICompleteFileSystemSearchController* searcher = nullptr; // owned by the scan's controller
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
};

TEST_F(ExfatDeepScan, MbrZeroedFindsOnePartitionWithTheIntactTree) {
    auto scan = Scan(Mbr("disk_mbr_zeroed.img"));
    ExpectIntactPartition();
    // Deleted contiguous files (gone.bin, the Old tree) keep their bytes.
    EXPECT_GT(ExpectFilesExact(*scan, true), 113);
}

TEST_F(ExfatDeepScan, MainBootSectorsZeroedRebuildsFromTheBackup) {
    auto scan = Scan(Mbr("disk_boot_zeroed.img"));
    ExpectIntactPartition();
    for (const auto& p : parts)
        EXPECT_NE(p->m_startSector, 133132) << "the backup read as a partition";
    EXPECT_GT(ExpectFilesExact(*scan, false), 110);
}

// Rebuilt from the root folder and the up-case table; the FAT is found before
// the heap, so FAT-chained files come back whole too.
TEST_F(ExfatDeepScan, AllBootRegionsZeroedRebuildsFromFoldersAndTheUpcaseTable) {
    auto scan = Scan(Mbr("disk_all_boot_zeroed.img"));
    EXPECT_EQ(parts.size(), 1u);
    EXPECT_EQ(MadePartitions(), 1);
    const auto names = FoundNames();
    for (const Entry& e : fls_)
        EXPECT_TRUE(names.count(Base(e.path))) << e.path;
    EXPECT_GT(ExpectFilesExact(*scan, false), 110);
}

// A folder whose first sector was lost: the sets after it in the folder's
// first cluster start mid-cluster and still come back under the folder, as
// do those of its later clusters; only the sets that touched the lost
// sector are gone.
TEST_F(ExfatDeepScan, FolderWhoseFirstSectorIsLostKeepsItsOtherFiles) {
    auto scan = Scan(Mbr("disk_folder_head_zeroed.img"));
    EXPECT_EQ(MadePartitions(), 1);
    int many = 0;
    for (const auto& [path, node] : files) {
        if (!path.starts_with("Many/")) continue;
        ++many;
        EXPECT_EQ(scan->Recover(node, SEARCHER_EXFAT), manifest_.at(path)) << path;
    }
    // 512 bytes held three whole sets of five entries and the head of a fourth.
    EXPECT_EQ(many, 96);
}

// The old root was overwritten: its own entries are gone, everything in the
// folders below it is still there (under lost folders when the parent was in
// the root), and no two partitions share a heap and cluster size.
TEST_F(ExfatDeepScan, ReformattedDiskKeepsTheOldNames) {
    Scan(Mbr("disk_reformatted.img"));
    std::set<std::pair<long long, unsigned>> geometries;
    for (const auto& p : parts)
        EXPECT_TRUE(geometries.insert({p->m_clusterOrigin, p->m_sectorsPerCluster}).second)
            << p->m_clusterOrigin;
    EXPECT_EQ(MadePartitions(), 1);
    const auto names = FoundNames();
    int expected = 0;
    for (const Entry& e : fls_) {
        if (e.path.find('/') == std::string::npos) continue;
        ++expected;
        EXPECT_TRUE(names.count(Base(e.path))) << e.path;
    }
    EXPECT_GT(expected, 100);
}

// The FAT's first sector cannot be read, so its signature is never seen: the
// boot sector (or its backup), its checksum holding, places the FAT. The two
// chained files have their entries in its second sector: whole when that one
// is read, failed when it is lost or the boot checksum fails, never given
// zeros or other clusters as their bytes.
TEST_F(ExfatDeepScan, FatWhoseFirstSectorsAreUnreadableIsPlacedByACheckedBootSector) {
    const std::string intact = Mbr("disk_intact.img");
    const auto boot = salvor::test::ReadBytes(intact, 133120ull * 512, 512);
    ASSERT_EQ(boot.size(), 512u);
    const long long fat = 133120 + (boot[80] | boot[81] << 8 | boot[82] << 16 | boot[83] << 24);
    // Copies: one left dirty at 37 % in use (both bytes of the volume flags and
    // the percentage: fields the checksum leaves out),
    // one with a boot code byte changed (valid, its checksum fails); both in
    // the main and the backup boot sector.
    salvor::test::TempDir dir;
    const std::string dirty = dir.file("dirty.img"), unsummed = dir.file("unsummed.img");
    for (const auto& [copy, at, byte] :
         {std::tuple{dirty, 106, 0x02}, {dirty, 107, 0x01}, {dirty, 112, 37}, {unsummed, 300, 0x5a}}) {
        if (!std::filesystem::exists(copy)) {
            ASSERT_EQ(salvor::test::RunCommand("cp --sparse=always '" + intact + "' '" + copy + "'"), 0);
        }
        std::fstream f(copy, std::ios::in | std::ios::out | std::ios::binary);
        for (long long sector : {133120LL, 133132LL}) f.seekp(sector * 512 + at).put(static_cast<char>(byte));
        ASSERT_TRUE(f.good()) << copy;
    }
    const struct {
        std::string image;
        int lost;   // FAT sectors lost from its start
        bool whole; // the chained files
    } rows[] = {{dirty, 1, true}, {intact, 2, false}, {Mbr("disk_boot_zeroed.img"), 1, true}, {unsummed, 1, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.image << " " << row.lost);
        std::vector<long long> sectors;
        for (int i = 0; i < row.lost; ++i) sectors.push_back(fat + i);
        auto scan = Scan(row.image, true, sectors);
        ExpectIntactPartition();
        for (const std::string path : {"chained.bin", "Docs/Sub/chained two.bin"}) {
            ASSERT_TRUE(files.count(path)) << path;
            EXPECT_FALSE(dynamic_cast<CExFatFileNode&>(*files.at(path)).IsFatInvalid()) << path;
            EXPECT_EQ(scan->Recover(files.at(path), SEARCHER_EXFAT), row.whole ? manifest_.at(path) : "") << path;
        }
    }
}

TEST_F(ExfatDeepScan, StraddlingEntrySetImageScannedAsADevice) {
    auto scan = Scan(FixtureFile("exfat_quick", "exfat_512.img"));
    EXPECT_EQ(CountUnder(found, "Straddle"), 40u);
    for (const auto& [path, sha] :
         salvor::test::Sha256Manifest(FixtureFile("exfat_quick", "exfat_512.sha256.txt")))
        if (path.starts_with("Straddle/")) {
            ASSERT_TRUE(files.count(path)) << path;
            EXPECT_EQ(scan->Recover(files.at(path), SEARCHER_EXFAT), sha) << path;
        }
}

TEST_F(ExfatDeepScan, StopWithoutBuildingMakesNoNodes) {
    Scan(Mbr("disk_mbr_zeroed.img"), false);
    EXPECT_TRUE(found.empty());
    EXPECT_TRUE(parts.empty());
}

} // namespace
