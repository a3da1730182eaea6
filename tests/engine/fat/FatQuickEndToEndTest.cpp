// Quick scans of FAT volumes through the deleted-files controller, the tree
// builder and the file writer, with The Sleuth Kit's listings and the sources'
// hashes as oracles.
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatQuickSearcher.h"
#include "tests/engine/fat/FatQuickScan.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

using namespace fattest;
using salvor::test::Fixture;
using salvor::test::TempDir;

namespace {

struct Kind {
    const char* fixture;
    unsigned sectorSize;
    enumFILE_SYSTEM_TYPE kind;
};
const Kind kKinds[] = {
    {"fat_12", 512, FS_FAT12},
    {"fat_16", 512, FS_FAT16},
    {"fat_32", 512, FS_FAT32},
    {"fat_16_4k", 4096, FS_FAT16},
};

std::string Image(const Kind& k) { return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + ".img"); }
std::string Manifest(const Kind& k, const char* ext) {
    return salvor::test::FixtureFile(k.fixture, std::string(k.fixture) + "." + ext);
}

// What a quick scan is expected to show of an fls listing: every file, and
// every folder with a file below it (the tree builder shows no empty folder).
std::map<std::string, OracleEntry> Expected(const std::vector<OracleEntry>& fls) {
    std::map<std::string, OracleEntry> out;
    for (const auto& e : fls) {
        if (e.dir) continue;
        out[NormalisePath(e.path, e.deleted)] = e;
        for (auto cut = e.path.rfind('/'); cut != std::string::npos; cut = e.path.rfind('/', cut - 1)) {
            const std::string folder = e.path.substr(0, cut);
            for (const auto& f : fls)
                if (f.dir && f.path == folder) out[NormalisePath(folder, f.deleted) + "/"] = f;
            if (cut == 0) break;
        }
    }
    return out;
}

// The listing equals the expectation: same paths, deleted flags and (where
// the oracle knows them) file sizes.
void ExpectListing(const std::map<std::string, Listed>& got, const std::map<std::string, OracleEntry>& want,
                   const std::string& what) {
    for (const auto& [path, e] : want) {
        const auto it = got.find(path);
        if (it == got.end()) {
            ADD_FAILURE() << what << ": missing " << path;
            continue;
        }
        EXPECT_EQ(it->second.deleted, e.deleted) << what << ": " << path;
        if (!e.dir && e.size >= 0) {
            EXPECT_EQ(it->second.size, e.size) << what << ": " << path;
        }
    }
    for (const auto& [path, l] : got)
        if (!want.count(path)) ADD_FAILURE() << what << ": unexpected " << path << (l.deleted ? " (deleted)" : "");
}

std::vector<std::pair<std::string, std::string>> ReadSha256(const std::string& file) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(ReadText(file));
    std::string line;
    while (std::getline(in, line))
        if (line.size() > 67) out.emplace_back(line.substr(66), line.substr(0, 64)); // "/path", sha
    return out;
}

// A path with the first character of every component blanked out: a
// deleted 8.3 name has lost its first letter (listed as "_").
std::string Loose(const std::string& path) {
    std::string p = path;
    for (std::size_t i = 0; i < p.size(); ++i)
        if (i == 0 || p[i - 1] == '/') p[i] = '_';
    return p;
}

// Every file of a sha256 manifest comes back byte-exact from the scan.
int ExpectRecovered(QuickScan& scan, const std::string& manifest, const std::string& what) {
    std::map<std::string, Listed> listing;
    for (const auto& [path, l] : scan.Listing()) listing[Loose(path)] = l;
    TempDir out;
    int written = 0;
    for (const auto& [path, sha] : ReadSha256(manifest)) {
        const auto it = listing.find(Loose(NormalisePath(path.substr(1), false)));
        if (it == listing.end()) {
            ADD_FAILURE() << what << ": not listed " << path;
            continue;
        }
        const std::string dest = out.file("f" + std::to_string(written++));
        EXPECT_EQ(scan.Recover(it->second.node, dest), sha) << what << ": " << path;
    }
    return written;
}

class FatQuickEndToEnd : public ::testing::TestWithParam<Kind> {};

TEST_P(FatQuickEndToEnd, ListingEqualsFlsAndEveryFileComesBackByteExact) {
    const Kind k = GetParam();
    const std::string img = Image(k);
    ASSERT_FALSE(img.empty());
    QuickScan scan(img, k.sectorSize, k.kind);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_EQ(scan.progress.Last().state, PROGRESS_FINISHED);
    EXPECT_EQ(scan.progress.Last().current, 100u);
    EXPECT_EQ(scan.progress.FinishedCount(), 1u);
    ASSERT_EQ(scan.tree.Roots().size(), 1u);
    EXPECT_STREQ(scan.tree.Roots()[0]->GetFileName(), "FATVOL(FAT/FAT32)");
    EXPECT_EQ(scan.tree.LostBatchCount(), 0u) << "every node has its folder";

    const auto listing = scan.Listing();
    ExpectListing(listing, Expected(ReadIstatManifest(Manifest(k, "istat"))), k.fixture);

    // The deleted subset equals fls -d.
    std::set<std::string> deletedWant, deletedGot;
    for (const auto& [path, e] : Expected(ParseFls(ReadText(Manifest(k, "fls_del")))))
        if (!e.dir) deletedWant.insert(path);
    for (const auto& [path, l] : listing)
        if (l.deleted && !l.dir) deletedGot.insert(path);
    EXPECT_EQ(deletedGot, deletedWant);
    EXPECT_GE(deletedGot.size(), 3u) << "gone.bin and the files of the deleted tree";

    // Live, fragmented, deleted and deleted-folder files all come back.
    EXPECT_GE(ExpectRecovered(scan, Manifest(k, "sha256"), k.fixture), 48);
}

INSTANTIATE_TEST_SUITE_P(Kinds, FatQuickEndToEnd, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.fixture); });

// A copy of a fixture image with one sector zeroed.
std::string DamagedCopy(const TempDir& dir, const Kind& k, unsigned long long sector) {
    const std::string copy = dir.file("damaged.img");
    std::filesystem::copy_file(Image(k), copy, std::filesystem::copy_options::overwrite_existing);
    EXPECT_TRUE(WriteBytes(copy, sector * k.sectorSize, std::vector<std::uint8_t>(k.sectorSize, 0)));
    return copy;
}

TEST(FatQuickDamaged, Fat32WithoutBootSectorIsReadFromItsBackup) {
    const Kind& k = kKinds[2];
    ASSERT_FALSE(Image(k).empty());
    TempDir dir;
    QuickScan intact(Image(k), k.sectorSize, k.kind);
    ASSERT_EQ(intact.Run(), 0u);
    QuickScan damaged(DamagedCopy(dir, k, 0), k.sectorSize, k.kind);
    EXPECT_EQ(damaged.Run(), 0u);
    std::set<std::string> a, b;
    for (const auto& [p, l] : intact.Listing()) a.insert(p + (l.deleted ? " *" : ""));
    for (const auto& [p, l] : damaged.Listing()) b.insert(p + (l.deleted ? " *" : ""));
    EXPECT_GT(a.size(), 50u);
    EXPECT_EQ(a, b);
}

TEST(FatQuickDamaged, Fat16WithoutBootSectorFailsWithAFinalRecord) {
    const Kind& k = kKinds[1];
    ASSERT_FALSE(Image(k).empty());
    TempDir dir;
    QuickScan scan(DamagedCopy(dir, k, 0), k.sectorSize, k.kind);
    EXPECT_EQ(scan.Run(), fat::kQuickNoValidBoot);
    EXPECT_EQ(fat::kQuickNoValidBoot, 0x10A00CA0000000Cull);
    const _PROGRESS_INFO last = scan.progress.Last();
    EXPECT_EQ(last.state, PROGRESS_FINISHED);
    EXPECT_EQ(last.total, 100u);
    EXPECT_EQ(last.current, 100u);
    EXPECT_EQ(last.result, fat::kQuickNoValidBoot);
    EXPECT_EQ(scan.progress.FinishedCount(), 1u);
    EXPECT_EQ(scan.tree.NodeCount(), 0u);
}

TEST(FatQuickStop, AStopAfterTheFirstFolderKeepsTheNodesFound) {
    const Kind& k = kKinds[2];
    ASSERT_FALSE(Image(k).empty());
    QuickScan full(Image(k), k.sectorSize, k.kind);
    ASSERT_EQ(full.Run(), 0u);
    QuickScan scan(Image(k), k.sectorSize, k.kind);
    // The controller's opening record, then the build's first progress report
    // after the first folder: the next folder is not read.
    scan.progress.StopAfter(2);
    EXPECT_EQ(scan.Run(), fat::kSearchStopped);
    EXPECT_EQ(scan.progress.Last().state, PROGRESS_FINISHED);
    EXPECT_EQ(scan.progress.Last().result, fat::kSearchStopped);
    ASSERT_EQ(scan.tree.Roots().size(), 1u);
    const auto listing = scan.Listing();
    EXPECT_TRUE(listing.count("readme.txt"));
    EXPECT_TRUE(listing.count("docs/")) << "the first folder's files are shown under it";
    EXPECT_LT(listing.size(), full.Listing().size());
    EXPECT_FALSE(listing.count("many/entry number 01 of a long folder.dat"));
}

// Deleted FAT32 files above cluster 0x10000 whose entries lost the high word:
// the revision finds the PE file by its content and the random file from where
// the folder's previous entries ended.
TEST(FatQuickHighWord, DeletedFilesAboveTheHighWordComeBackByteExact) {
    const std::string dir = Fixture("fat_32_highword");
    ASSERT_FALSE(dir.empty());
    QuickScan scan(dir + "/fat_32_highword.img", 512, FS_FAT32);
    ASSERT_EQ(scan.Run(), 0u);
    std::map<std::string, Listed> listing;
    for (const auto& [path, l] : scan.Listing()) listing[Loose(path)] = l;
    // True first clusters, by short name as the fixture recorded them.
    std::map<std::string, long long> clusters;
    std::istringstream in(ReadText(dir + "/fat_32_highword.clusters"));
    std::string line;
    while (std::getline(in, line)) clusters[line.substr(0, line.find('\t'))] = std::stoll(line.substr(line.find('\t') + 1));
    const std::pair<const char*, const char*> deleted[] = {
        {"prog.exe", "ROG    EXE"}, {"rand.bin", "AND    BIN"}, {"high/prog2.exe", "ROG2   EXE"},
        {"high/rand2.bin", "AND2   BIN"}};
    for (const auto& [path, shortName] : deleted) {
        const auto it = listing.find(Loose(path));
        ASSERT_NE(it, listing.end()) << path;
        EXPECT_TRUE(it->second.deleted) << path;
        EXPECT_EQ(it->second.node->GetCurrentNodeID(), clusters.at(shortName)) << path;
    }
    EXPECT_EQ(ExpectRecovered(scan, dir + "/fat_32_highword.sha256", "fat_32_highword"), 6);
}

// Public samples made by other tools: the listing equals fls (and, for fat16,
// its published listing).
class FatQuickSamples : public ::testing::TestWithParam<const char*> {};

TEST_P(FatQuickSamples, ListingEqualsFls) {
    TempDir tmp;
    const std::string name = GetParam();
    const std::string img = tmp.file(name + ".raw");
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("gzip -dc '" + salvor::test::TestData() + "/dfir_ntfs/" + name +
                                           ".raw.gz' > '" + img + "'",
                                       &out),
              0)
        << out;
    ASSERT_EQ(salvor::test::RunCommand("fls -r -p '" + img + "'", &out), 0)
        << "fls failed (install the Debian package 'sleuthkit'): " << out;
    const auto fls = ParseFls(out);
    salvor::test::ImageDevice probe(img, 512);
    std::vector<std::uint8_t> boot(512);
    ASSERT_TRUE(probe.ReadSector(boot.data(), 0, 1));
    const CTempFATDBR view(boot, 512);
    QuickScan scan(img, 512, view.GetFileSystemType());
    ASSERT_EQ(scan.Run(), 0u) << name;
    const auto listing = scan.Listing();
    ExpectListing(listing, Expected(fls), name);

    if (name == "fat16") {
        std::set<std::string> live, published;
        for (const auto& [path, l] : listing)
            if (!l.deleted && !l.dir) live.insert(path);
        std::istringstream in(ReadText(salvor::test::TestData() + "/dfir_ntfs/fat16_full_test.txt"));
        std::string line;
        while (std::getline(in, line)) {
            const auto cut = line.find_last_of(" \t");
            if (cut != std::string::npos && !line.empty() && line[0] == '/')
                published.insert(NormalisePath(line.substr(1, cut - 1), false));
        }
        std::set<std::string> publishedFiles;
        for (const auto& p : published)
            if (!listing.count(p + "/")) publishedFiles.insert(p);
        EXPECT_EQ(live, publishedFiles);
    }
}

INSTANTIATE_TEST_SUITE_P(Dfir, FatQuickSamples,
                         ::testing::Values("fat16", "fat_deleted_dir", "fat_deleted_dir_2", "fat16_moved",
                                           "fat_lfn_test"));

} // namespace
