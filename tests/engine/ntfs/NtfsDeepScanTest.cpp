// NTFS deep scans of MBR disks made from the NTFS fixture volumes (their
// partition table, boot sectors or whole partitions damaged) through the
// complete controller, the tree builder and the writer: the partitions found
// against where they were put, the files against the volumes' manifests and
// fls of the intact disk.
#include "engine/common/FileNode.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsRegistration.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

using salvor::test::FixtureFile;
using salvor::test::FsScan;

namespace {

constexpr long long kStarts[] = {2048, 69632, 137216};
constexpr unsigned kClusters[] = {8, 4, 1};

std::string Disk(const std::string& name) { return FixtureFile("ntfs_disks", name); }

// Metafiles, folders named like them ($RECYCLE.BIN) and streams are not compared.
bool LeftOut(const std::string& path) {
    return path.empty() || path[0] == '$' || path.find("/$") != std::string::npos ||
           path.find(':') != std::string::npos;
}

struct DeepScan {
    std::unique_ptr<FsScan> scan;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
    // (partition, path) -> node; lost nodes under "Other lost files/".
    std::multimap<std::pair<int, std::string>, IFileNode*> nodes;

    // The partition that starts at `start` with that cluster size, or -1.
    int Find(long long start, unsigned spc) const {
        for (const auto& p : parts)
            if (p->m_clusterOrigin == start && p->m_sectorsPerCluster == spc) return p->m_partitionIndex;
        return -1;
    }
    IFileNode* Node(int j, const std::string& path) const {
        auto it = nodes.find({j, path});
        return it == nodes.end() ? nullptr : it->second;
    }
    // Every manifest file of partition j byte-exact; answers how many.
    int ExpectManifest(int j, const std::string& manifest) {
        int checked = 0;
        for (const auto& [path, sha] : salvor::test::Sha256Manifest(manifest)) {
            if (LeftOut(path)) continue;
            IFileNode* node = Node(j, path);
            if (!node) {
                ADD_FAILURE() << "not found: " << j << " " << path;
                continue;
            }
            EXPECT_EQ(scan->Recover(node, SEARCHER_NTFS), sha) << j << " " << path;
            ++checked;
        }
        return checked;
    }
};

class NtfsDeepScan : public ::testing::Test {
protected:
    void TearDown() override { ResetFactories(); }
    DeepScan Scan(const std::string& image, unsigned sectorSize = 512, bool build = true) {
        ResetFactories();
        RegisterNtfsLibrary();
        Factories().ntfsSearcher = [this] { return searcher = ntfs::CreateNTFSSearcher(); };
        DeepScan d;
        d.scan = std::make_unique<FsScan>(image, sectorSize, -1);
        if (!build) d.scan->progress.SetShouldBuild(0), d.scan->progress.StopAfter(3);
        EXPECT_EQ(d.scan->Run(), 0u);
        EXPECT_EQ(d.scan->progress.Last().state, 3u);
        d.parts = salvor::test::PartitionsOf(searcher);
        for (const auto& [path, node] : d.scan->Nodes("(NTFS)"))
            if (auto* n = dynamic_cast<CFileNode*>(node)) d.nodes.emplace(std::pair{int{n->GetBelongedPartition()}, path}, node);
        return d;
    }
    ICompleteFileSystemSearchController* searcher = nullptr; // owned by the scan's controller
};

TEST_F(NtfsDeepScan, MbrZeroedFindsEveryPartitionAndEveryFile) {
    DeepScan d = Scan(Disk("disk_mbr_zeroed.img"));
    for (const auto& p : d.parts)
        std::printf("part %lld spc %u flags %u score %lld total %llu mft %lld\n", (long long)p->m_clusterOrigin, p->m_sectorsPerCluster,
                    static_cast<CSearchedNTFSPartitionInfo*>(p.get())->GetPartitionBuildFromFlags(), (long long)p->m_searcherField4,
                    p->GetTotalSectors(), (long long)static_cast<CSearchedNTFSPartitionInfo*>(p.get())->m_mftSector);
    for (int i = 0; i < 3; ++i) {
        const int j = d.Find(kStarts[i], kClusters[i]);
        ASSERT_GE(j, 0) << kStarts[i];
        EXPECT_GT(d.ExpectManifest(j, Disk("p" + std::to_string(i + 1) + ".sha256.txt")), 300);
    }
}

} // namespace
