// Deep scans of the MBR disk fixtures (FAT32 at 2048, exFAT at 133120) and of
// the straddling-set exFAT volume through the complete controller, the tree
// builder and the file writer; trees against fls of the intact disk, files
// against the sha256 of what was copied in.
#include "engine/common/FileNode.h"
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/exdeep/ExdeepSupport.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using exdeep_test::DeepScan;
using Entry = exfat_test::RecordingBuilder::Entry;

namespace {

constexpr const char* kFixture = "mbr_fat_exfat";

struct Geometry {
    long long heap = 0;
    unsigned spc = 0;
};

// What the tools produced for the exFAT partition (heap start, cluster size).
Geometry MadeGeometry() {
    Geometry g;
    std::ifstream in(salvor::test::FixtureFile(kFixture, "geometry.txt"));
    std::string key;
    while (in >> key) {
        if (key == "heap") in >> g.heap;
        else if (key == "sectors_per_cluster") in >> g.spc;
    }
    return g;
}

std::set<Entry> FlsTree() {
    return exfat_test::ParseFls(exfat_test::ReadText(salvor::test::FixtureFile(kFixture, "exfat.fls.txt")));
}

std::set<Entry> Found(const DeepScan& scan) {
    std::set<Entry> out;
    for (const auto& [path, node] : scan.Tree("(ExFat)"))
        out.insert({node->IsDirectory() ? 'd' : 'r', node->IsDeleted() != 0, path});
    return out;
}

std::string BaseName(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class ExfatDeepScan : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFactories();
        RegisterExfatLibrary();
        geometry_ = MadeGeometry();
        // What mkfs.exfat makes of a 64 MiB partition at 133120.
        ASSERT_EQ(geometry_.heap, 137216);
        ASSERT_EQ(geometry_.spc, 8u);
    }
    void TearDown() override { ResetFactories(); }

    std::unique_ptr<DeepScan> Scan(const std::string& image) {
        auto scan = std::make_unique<DeepScan>(salvor::test::FixtureFile(kFixture, image));
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(scan->progress.Last().state, 3u);
        return scan;
    }

    // The exFAT partitions found with the made geometry.
    std::vector<CSearchedPartitionInfo*> MadePartitions(DeepScan& scan) {
        std::vector<CSearchedPartitionInfo*> out;
        for (CSearchedPartitionInfo* p : scan.Partitions())
            if (p->m_clusterOrigin == geometry_.heap && p->m_sectorsPerCluster == geometry_.spc) out.push_back(p);
        return out;
    }

    // Every live file of the manifest found at its path and written byte-exact.
    void ExpectLiveFilesExact(DeepScan& scan, const std::set<Entry>& fls) {
        const auto manifest = exdeep_test::Manifest(kFixture, "exfat.sha256.txt");
        const auto found = scan.Tree("(ExFat)", true, false);
        int checked = 0;
        for (const Entry& e : fls) {
            if (e.kind != 'r' || e.deleted) continue;
            auto node = found.find(e.path);
            ASSERT_NE(node, found.end()) << e.path;
            ASSERT_TRUE(manifest.count(e.path)) << e.path;
            EXPECT_EQ(scan.Recover(SEARCHER_EXFAT, node->second), manifest.at(e.path)) << e.path;
            ++checked;
        }
        EXPECT_GT(checked, 110);
    }

    Geometry geometry_;
};

TEST_F(ExfatDeepScan, MbrZeroedFindsOnePartitionWithTheIntactTree) {
    auto scan = Scan("disk_mbr_zeroed.img");
    const auto partitions = scan->Partitions();
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0]->m_fileSystemType, 7u);
    EXPECT_EQ(partitions[0]->m_startSector, 133120);
    EXPECT_EQ(partitions[0]->m_clusterOrigin, geometry_.heap);
    EXPECT_EQ(partitions[0]->m_sectorsPerCluster, geometry_.spc);
    EXPECT_EQ(partitions[0]->GetTotalSectors(), 131072u);

    const auto fls = FlsTree();
    const auto found = Found(*scan);
    EXPECT_EQ(found, fls) << "missing:\n" << exfat_test::Missing(fls, found) << "extra:\n"
                          << exfat_test::Missing(found, fls);
    ExpectLiveFilesExact(*scan, fls);
    // A deleted contiguous file keeps its bytes.
    const auto manifest = exdeep_test::Manifest(kFixture, "exfat.sha256.txt");
    const auto files = scan->Tree("(ExFat)", true, false);
    for (const char* path : {"gone.bin", "Old/old1.bin", "Old/Inner/old2.txt"}) {
        ASSERT_TRUE(files.count(path)) << path;
        EXPECT_EQ(scan->Recover(SEARCHER_EXFAT, files.at(path)), manifest.at(path)) << path;
    }
}

TEST_F(ExfatDeepScan, MainBootSectorsZeroedRebuildsFromTheBackup) {
    auto scan = Scan("disk_boot_zeroed.img");
    const auto partitions = scan->Partitions();
    ASSERT_EQ(partitions.size(), 1u);
    EXPECT_EQ(partitions[0]->m_startSector, 133120);
    EXPECT_EQ(partitions[0]->m_clusterOrigin, geometry_.heap);
    EXPECT_EQ(partitions[0]->m_sectorsPerCluster, geometry_.spc);
    for (CSearchedPartitionInfo* p : partitions) EXPECT_NE(p->m_startSector, 133132);

    const auto fls = FlsTree();
    const auto found = Found(*scan);
    EXPECT_EQ(found, fls) << "missing:\n" << exfat_test::Missing(fls, found) << "extra:\n"
                          << exfat_test::Missing(found, fls);
    ExpectLiveFilesExact(*scan, fls);
}

TEST_F(ExfatDeepScan, AllBootRegionsZeroedRebuildsFromFoldersAndTheUpcaseTable) {
    auto scan = Scan("disk_all_boot_zeroed.img");
    ASSERT_EQ(MadePartitions(*scan).size(), 1u);
    EXPECT_EQ(scan->Partitions().size(), 1u);

    const auto fls = FlsTree();
    const auto found = Found(*scan);
    std::set<std::string> names;
    for (const Entry& e : found) names.insert(BaseName(e.path));
    for (const Entry& e : fls) EXPECT_TRUE(names.count(BaseName(e.path))) << e.path;

    const auto manifest = exdeep_test::Manifest(kFixture, "exfat.sha256.txt");
    const auto files = scan->Tree("(ExFat)", true, false);
    int exact = 0, cut = 0;
    for (const Entry& e : fls) {
        if (e.kind != 'r' || e.deleted) continue;
        ASSERT_TRUE(files.count(e.path)) << e.path;
        auto* node = dynamic_cast<CFileNode*>(files.at(e.path));
        ASSERT_NE(node, nullptr);
        const bool same = scan->Recover(SEARCHER_EXFAT, node) == manifest.at(e.path);
        if (same) {
            ++exact;
        } else {
            // Only FAT-chained files may come back cut.
            ++cut;
            EXPECT_NE(BaseName(e.path).find("chained"), std::string::npos) << e.path;
        }
    }
    RecordProperty("chained_cut", cut);
    std::printf("all boot regions zeroed: %d files exact, %d cut\n", exact, cut);
    // The FAT is found before the heap, so chained files come back whole too.
    EXPECT_EQ(cut, 0);
    EXPECT_GT(exact, 110);
}

TEST_F(ExfatDeepScan, ReformattedDiskKeepsTheOldNames) {
    auto scan = Scan("disk_reformatted.img");
    const auto partitions = scan->Partitions();
    std::set<std::pair<long long, unsigned>> geometries;
    for (CSearchedPartitionInfo* p : partitions) {
        EXPECT_TRUE(geometries.insert({p->m_clusterOrigin, p->m_sectorsPerCluster}).second)
            << "two partitions with heap " << p->m_clusterOrigin;
    }
    EXPECT_EQ(MadePartitions(*scan).size(), 1u);

    // The old root was overwritten: its own entries are gone, everything in
    // the folders below it is still there (under lost folders when the parent
    // was in the root).
    std::set<std::string> names;
    for (const Entry& e : Found(*scan)) names.insert(BaseName(e.path));
    int expected = 0;
    for (const Entry& e : FlsTree()) {
        if (e.path.find('/') == std::string::npos) continue;
        ++expected;
        EXPECT_TRUE(names.count(BaseName(e.path))) << e.path;
    }
    EXPECT_GT(expected, 100);
}

TEST_F(ExfatDeepScan, StraddlingEntrySetImageScannedAsADevice) {
    const std::string img = salvor::test::FixtureFile("exfat_quick", "exfat_512.img");
    DeepScan scan(img);
    ASSERT_EQ(scan.Run(), 0u);
    const auto files = scan.Tree("(ExFat)", true, false);
    int straddle = 0;
    for (const auto& [path, node] : files)
        if (path.rfind("Straddle/", 0) == 0) ++straddle;
    EXPECT_EQ(straddle, 40);
    auto* searcher = dynamic_cast<CExFatCompleteSearch*>(scan.searcher);
    ASSERT_NE(searcher, nullptr);
    const auto manifest =
        exfat_test::ReadManifest(salvor::test::FixtureFile("exfat_quick", "exfat_512.sha256.txt"));
    for (const auto& [path, sha] : manifest) {
        if (path.rfind("Straddle/", 0) != 0) continue;
        ASSERT_TRUE(files.count(path)) << path;
        EXPECT_EQ(scan.Recover(SEARCHER_EXFAT, files.at(path)), sha) << path;
    }
}

TEST_F(ExfatDeepScan, StopWithoutBuildingMakesNoNodes) {
    DeepScan scan(salvor::test::FixtureFile(kFixture, "disk_mbr_zeroed.img"));
    scan.progress.SetShouldBuild(0);
    scan.progress.StopAfter(10);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_TRUE(scan.Tree("(ExFat)").empty());
    EXPECT_EQ(scan.Partitions().size(), 0u);
}

} // namespace
