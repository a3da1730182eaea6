// Deep scans through the complete controller, the tree builder and the file
// writer: the MBR disk fixtures (FAT32 at 2048, exFAT at 133120) with their
// partition table, boot sectors or whole boot regions gone or formatted again,
// and whole FAT volumes. Trees against fls of the intact volume, files against
// the sha256 of what was copied in (or against icat for what TSK finds orphaned).
#include "engine/fat/FatBootSector.h"
#include "engine/utility/FileUtils.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/engine/fatdeep/FatDeepSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

using fatdeep::DeepScan;
using fattest::OracleEntry;

namespace {

constexpr const char* kMbr = "mbr_fat_exfat";
constexpr long long kFatStart = 2048;

std::string MbrImage(const char* name) { return salvor::test::FixtureFile(kMbr, name); }

// The FAT32 partition as mkfs.fat made it.
struct Made {
    long long origin = 0;
    unsigned spc = 0;
};
Made MadeFat32() {
    const auto sector = fattest::ReadBytes(MbrImage("disk_intact.img"), kFatStart * 512ull, 512);
    const CTempFATDBR boot(sector, 512);
    EXPECT_EQ(boot.GetFileSystemType(), FS_FAT32);
    return {kFatStart + static_cast<long long>(boot.GetFirstDataSector()), boot.GetSectorsperCluster()};
}

// What a scan is expected to show of an fls listing: every file, and every
// folder with a file below it.
std::map<std::string, OracleEntry> Expected(const std::vector<OracleEntry>& fls) {
    std::map<std::string, OracleEntry> out;
    for (const auto& e : fls) {
        if (e.dir) continue;
        out[fattest::NormalisePath(e.path, e.deleted)] = e;
        for (auto cut = e.path.rfind('/'); cut != std::string::npos && cut > 0; cut = e.path.rfind('/', cut - 1)) {
            const std::string folder = e.path.substr(0, cut);
            for (const auto& f : fls)
                if (f.dir && f.path == folder) out[fattest::NormalisePath(folder, f.deleted) + "/"] = f;
        }
    }
    return out;
}

void ExpectTree(const std::map<std::string, fatdeep::Shown>& got, const std::map<std::string, OracleEntry>& want) {
    for (const auto& [path, e] : want) {
        const auto it = got.find(path);
        if (it == got.end()) {
            ADD_FAILURE() << "missing " << path;
            continue;
        }
        EXPECT_EQ(it->second.deleted, e.deleted) << path;
        if (!e.dir && e.size >= 0) {
            EXPECT_EQ(it->second.size, e.size) << path;
        }
    }
    for (const auto& [path, s] : got)
        if (!want.count(path)) ADD_FAILURE() << "unexpected " << path;
}

// The manifest's sha256 of an fls path: fls shows an erased first byte as "_".
std::string ShaOf(const std::map<std::string, std::string>& manifest, const std::string& flsPath) {
    const std::string key = fattest::NormalisePath(flsPath, false);
    if (auto it = manifest.find(key); it != manifest.end()) return it->second;
    for (const auto& [path, sha] : manifest) {
        if (path.size() != key.size()) continue;
        bool same = true;
        for (std::size_t i = 0; i < key.size() && same; ++i)
            same = path[i] == key[i] || (key[i] == '_' && (i == 0 || key[i - 1] == '/'));
        if (same) return sha;
    }
    return {};
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/', path.size() > 1 ? path.size() - 2 : 0);
    std::string b = slash == std::string::npos ? path : path.substr(slash + 1);
    if (!b.empty() && b.back() == '/') b.pop_back();
    return b;
}

std::vector<OracleEntry> Fls(const std::string& file) { return fattest::ParseFls(fattest::ReadText(file)); }

class FatDeepScan : public ::testing::Test {
protected:
    std::unique_ptr<DeepScan> Scan(const std::string& image, bool withExfat = false) {
        auto scan = std::make_unique<DeepScan>(image, withExfat);
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(scan->progress.Last().state, 3u);
        return scan;
    }

    // Every file of the listing written byte-exact, deleted ones included;
    // skip names those that cannot be (e.g. fragmented files without a FAT).
    int ExpectFilesExact(DeepScan& scan, const std::vector<OracleEntry>& fls, const std::string& manifestFile,
                         const std::set<std::string>& skip = {}) {
        const auto manifest = fatdeep::ReadSha256(manifestFile);
        const auto got = scan.Listing();
        int checked = 0;
        for (const auto& e : fls) {
            if (e.dir || skip.count(BaseName(e.path))) continue;
            const auto it = got.find(fattest::NormalisePath(e.path, e.deleted));
            if (it == got.end()) {
                ADD_FAILURE() << "missing " << e.path;
                continue;
            }
            const std::string sha = ShaOf(manifest, e.path);
            EXPECT_FALSE(sha.empty()) << "no manifest line for " << e.path;
            EXPECT_EQ(scan.Recover(it->second.node), sha) << e.path;
            ++checked;
        }
        return checked;
    }

    void ExpectIntactPartition(const char* image, std::int64_t score);
};

// The made FAT32 partition alone, with this score, its tree equal to fls of
// the intact disk and every file byte-exact, deleted ones included.
void FatDeepScan::ExpectIntactPartition(const char* image, std::int64_t score) {
    const Made made = MadeFat32();
    auto scan = Scan(MbrImage(image));
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_fileSystemType, unsigned{FS_FAT32});
    EXPECT_EQ(parts[0]->m_startSector, kFatStart);
    EXPECT_EQ(parts[0]->m_clusterOrigin, made.origin);
    EXPECT_EQ(parts[0]->m_sectorsPerCluster, made.spc);
    EXPECT_EQ(parts[0]->GetTotalSectors(), 131072u);
    EXPECT_EQ(parts[0]->m_score, static_cast<double>(score));
    EXPECT_EQ(CFATCompleteFSearcher::Score(*parts[0]), score);

    const auto fls = Fls(MbrImage("fat32.fls.txt"));
    ExpectTree(scan->Listing(), Expected(fls));
    EXPECT_EQ(ExpectFilesExact(*scan, fls, MbrImage("fat32.sha256.txt")), 10);
}

TEST_F(FatDeepScan, MbrZeroedFindsThePartitionWithTheIntactTree) {
    ExpectIntactPartition("disk_mbr_zeroed.img", 100);
}

TEST_F(FatDeepScan, MainBootSectorZeroedFindsThePartitionFromTheBackup) {
    ExpectIntactPartition("disk_boot_zeroed.img", 95);
}

TEST_F(FatDeepScan, AllBootSectorsZeroedFindsThePartitionFromItsFolders) {
    const Made made = MadeFat32();
    auto scan = Scan(MbrImage("disk_all_boot_zeroed.img"));
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_clusterOrigin, made.origin);
    EXPECT_EQ(parts[0]->m_sectorsPerCluster, made.spc);
    EXPECT_EQ(parts[0]->m_fileSystemType, unsigned{FS_FAT32});
    EXPECT_GE(parts[0]->m_startSector, 0);

    std::set<std::string> names;
    for (const auto& [path, s] : scan->Listing()) names.insert(BaseName(path));
    const auto fls = Fls(MbrImage("fat32.fls.txt"));
    for (const auto& e : fls) EXPECT_TRUE(names.count(BaseName(fattest::NormalisePath(e.path, e.deleted)))) << e.path;
    // Without a FAT only the fragmented file cannot come back whole.
    EXPECT_EQ(ExpectFilesExact(*scan, fls, MbrImage("fat32.sha256.txt"), {"frag.bin"}), 9);
}

// The same disk grown to 256 MiB: a FAT sized for everything after the data
// start would not fit before it, yet the partition keeps its data start.
TEST_F(FatDeepScan, PartitionWithoutBootSectorNearTheStartOfALargerDisk) {
    const Made made = MadeFat32();
    salvor::test::TempDir dir;
    const std::string big = dir.file("big.img");
    std::filesystem::copy_file(MbrImage("disk_all_boot_zeroed.img"), big);
    std::filesystem::resize_file(big, 256ull << 20);
    auto scan = Scan(big);
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_clusterOrigin, made.origin);
    EXPECT_GE(parts[0]->m_startSector, 0);
    const auto fls = Fls(MbrImage("fat32.fls.txt"));
    EXPECT_EQ(ExpectFilesExact(*scan, fls, MbrImage("fat32.sha256.txt"), {"frag.bin"}), 9);
}

TEST_F(FatDeepScan, ReformattedPartitionKeepsTheOldFoldersAsDeleted) {
    const std::string image = MbrImage("disk_reformatted.img");
    auto scan = Scan(image);
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, kFatStart);
    EXPECT_EQ(CFATCompleteFSearcher::Score(*parts[0]), 100);

    // What TSK finds orphaned in the new volume: every file is among ours,
    // deleted, with the same bytes as icat reads.
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("fls -r -p -o " + std::to_string(kFatStart) + " '" + image + "'", &out), 0)
        << "fls (sleuthkit) is needed";
    std::map<std::string, std::string> ours; // sha -> path, deleted files
    for (const auto& [path, s] : scan->Listing())
        if (!s.dir) {
            EXPECT_TRUE(s.deleted) << path;
            ours.emplace(scan->Recover(s.node), path);
        }
    salvor::test::TempDir dir;
    int orphans = 0;
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        // "-/r * 27:\t$OrphanFiles/ALETTE~1.TXT": orphaned regular files.
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.compare(tab + 1, 13, "$OrphanFiles/") != 0) continue;
        if (line.compare(2, 1, "r") != 0) continue;
        const auto colon = line.rfind(':', tab);
        const auto blank = line.rfind(' ', colon);
        const std::string inode = line.substr(blank + 1, colon - blank - 1);
        const std::string file = dir.file("icat" + inode);
        ASSERT_EQ(salvor::test::RunCommand("icat -o " + std::to_string(kFatStart) + " '" + image + "' " + inode +
                                           " > '" + file + "'"),
                  0);
        EXPECT_TRUE(ours.count(salvor::test::Sha256File(file))) << line;
        ++orphans;
    }
    EXPECT_EQ(orphans, 6);
    // The old folders come back as deleted folders.
    int folders = 0;
    for (const auto& [path, s] : scan->Listing())
        if (s.dir) {
            EXPECT_TRUE(s.deleted) << path;
            ++folders;
        }
    EXPECT_GE(folders, 4);
}

TEST_F(FatDeepScan, OneClusterFilesGiveOnePartitionAndNoFileTwice) {
    auto scan = Scan(salvor::test::FixtureFile("fat_deep", "onecluster.img"));
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, 0);
    EXPECT_EQ(CFATCompleteFSearcher::Score(*parts[0]), 100);
    for (const auto& [path, n] : scan->PathCounts()) EXPECT_EQ(n, 1) << path;
    const auto fls = Fls(salvor::test::FixtureFile("fat_deep", "onecluster.fls"));
    ExpectTree(scan->Listing(), Expected(fls));
    EXPECT_EQ(ExpectFilesExact(*scan, fls, salvor::test::FixtureFile("fat_deep", "onecluster.sha256")), 2400);
}

TEST_F(FatDeepScan, OneClusterFilesWithoutMainBootSector) {
    auto scan = Scan(salvor::test::FixtureFile("fat_deep", "onecluster_boot_zeroed.img"));
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, 0);
    EXPECT_EQ(CFATCompleteFSearcher::Score(*parts[0]), 95);
    for (const auto& [path, n] : scan->PathCounts()) EXPECT_EQ(n, 1) << path;
    EXPECT_EQ(scan->Listing().size(), 2404u);
}

TEST_F(FatDeepScan, Fat16VolumeScannedAsAWholeDevice) {
    auto scan = Scan(salvor::test::FixtureFile("fat_deep", "fat16_dev.img"));
    const auto parts = scan->Partitions();
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_fileSystemType, unsigned{FS_FAT16});
    EXPECT_EQ(parts[0]->m_startSector, 0);
    EXPECT_EQ(CFATCompleteFSearcher::Score(*parts[0]), 100);
    const auto fls = Fls(salvor::test::FixtureFile("fat_deep", "fat16_dev.fls"));
    ExpectTree(scan->Listing(), Expected(fls));
    // fat_tree.inc writes "sha256  /path".
    EXPECT_EQ(ExpectFilesExact(*scan, fls, salvor::test::FixtureFile("fat_deep", "fat16_dev.sha256")), 51);
}

#ifdef SALVOR_HAVE_EXFAT
TEST_F(FatDeepScan, FatAndExfatSearchersFindBothPartitionsInOneScan) {
    auto scan = Scan(MbrImage("disk_mbr_zeroed.img"), true);
    ASSERT_NE(scan->exfat, nullptr);
    const auto fat = scan->Partitions();
    ASSERT_EQ(fat.size(), 1u);
    EXPECT_EQ(fat[0]->m_startSector, kFatStart);
    std::vector<CSearchedPartitionInfo*> raw(256, nullptr);
    const int n = scan->exfat->GetSearchedPartitionInfo(raw.data(), 256);
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> owned;
    for (int i = 0; i < n; ++i) owned.emplace_back(raw[static_cast<std::size_t>(i)]);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(owned[0]->m_startSector, 133120);
    EXPECT_EQ(owned[0]->m_fileSystemType, unsigned{FS_EXFAT});
    ExpectTree(scan->Listing(), Expected(Fls(MbrImage("fat32.fls.txt"))));
    EXPECT_GT(scan->Listing("(ExFat)").size(), 100u);
}
#endif

// The FAT32 build reads "bRevise" from UIConfig.ini in the work folder; the
// tree is the same with it off and without the file.
TEST_F(FatDeepScan, ReviseSwitchInTheWorkFolderDoesNotChangeTheTree) {
    const std::string ini = std::string(GetAppWorkPath()) + "/UIConfig.ini";
    std::string kept;
    const bool existed = std::filesystem::exists(ini);
    if (existed) kept = fattest::ReadText(ini);
    auto keys = [](const DeepScan& s) {
        std::set<std::string> k;
        for (const auto& [path, shown] : s.Listing()) k.insert(path + (shown.deleted ? " D" : " L"));
        return k;
    };
    std::filesystem::remove(ini);
    const auto without = keys(*Scan(MbrImage("disk_mbr_zeroed.img")));
    std::ofstream(ini) << "[UserExperience]\nbRevise=0\n";
    const auto off = keys(*Scan(MbrImage("disk_mbr_zeroed.img")));
    std::filesystem::remove(ini);
    if (existed) std::ofstream(ini) << kept;
    EXPECT_EQ(without, off);
    EXPECT_FALSE(without.empty());
}

TEST_F(FatDeepScan, StopWithoutBuildingShowsNothing) {
    DeepScan scan(MbrImage("disk_mbr_zeroed.img"));
    scan.progress.SetShouldBuild(0);
    scan.progress.StopAfter(10);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_TRUE(scan.Listing().empty());
    EXPECT_TRUE(scan.Partitions().empty());
}

} // namespace
