// The partition builder: boot sectors and their backups, the candidate list
// and set kept consistent through removal and trimming, and file trees that do
// not depend on the order of folders on the device.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatPartitionBuilder.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>

namespace {

// The boot sector mkfs.exfat wrote for the 64 MiB partition at 133120.
std::vector<std::uint8_t> MadeBootSector() {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("mbr_fat_exfat", "disk_intact.img"));
    std::vector<std::uint8_t> s(512);
    EXPECT_EQ(dev.ReadSector(s.data(), 133120, 1), 1);
    return s;
}

// A boot sector at 2048 may be a main one or (at 2036) a backup; its backup
// at 2060 leaves the main one, known by its heap and marked by its FAT
// start; below 12 there is no room for a main one before it; a backup alone
// keeps both readings.
TEST(ExfatPartitionBuilder, BootSectorsAndBackups) {
    const auto boot = MadeBootSector();
    const CExFatDBR dbr(boot);
    ASSERT_TRUE(dbr.IsValid(512));
    const struct {
        std::vector<std::int64_t> at;
        std::set<std::int64_t> starts;
    } rows[] = {{{2048}, {2036, 2048}}, {{2048, 2060}, {2048}}, {{5}, {5}}, {{133132}, {133120, 133132}}};
    for (const auto& r : rows) {
        CPartitionBuilder b;
        b.PrepareBuild(512, 1 << 20);
        for (auto sector : r.at) b.Build(sector, dbr);
        std::set<std::int64_t> starts;
        for (const auto* p : b.Candidates()) starts.insert(p->m_startSector);
        EXPECT_EQ(starts, r.starts) << r.at.front();
        EXPECT_EQ(b.CandidateCount(), r.starts.size());
        if (r.at.size() < 2) continue;
        const CExFatPartitionEx* p = b.Candidates()[0];
        EXPECT_EQ(p->Heap(), 2048 + std::int64_t{dbr.GetDataRegionStartSector()});
        EXPECT_EQ(p->flags & 0xC0000000u, 0xC0000000u);
        b.RecordFAT(2048 + dbr.GetFatStartSector());
        EXPECT_EQ(p->flags & 1u, 1u);
    }
}

TEST(ExfatPartitionBuilder, ManyCandidatesAreTrimmedWithListAndSetTogether) {
    // Each boot sector far from the others makes two candidates; past 1024
    // the list is cut to 512 and every candidate left is in both.
    const auto boot = MadeBootSector();
    const CExFatDBR dbr(boot);
    CPartitionBuilder b;
    b.PrepareBuild(512, 1ULL << 32);
    for (int i = 0; i < 550; ++i) b.Build(100000 + 1000LL * i, dbr);
    EXPECT_LE(b.CandidateCount(), 1025u);
    EXPECT_GE(b.CandidateCount(), 512u);
    EXPECT_EQ(b.Candidates().size(), b.CandidateCount());
    // Backups arriving for trimmed candidates touch nothing freed (ASan).
    for (int i = 0; i < 550; ++i) b.Build(100012 + 1000LL * i, dbr);
    EXPECT_EQ(b.Candidates().size(), b.CandidateCount());
    for (const auto* p : b.Candidates()) EXPECT_GT(p->Heap(), 0);
}

_tagFileBaseInfo Record(const char* name, std::uint32_t cluster, std::int64_t length, bool folder) {
    _tagFileBaseInfo r;
    r.name = name;
    r.firstCluster = cluster;
    r.dataLength = length;
    r.attributes = folder ? 0x10 : 0x20;
    r.inUse = r.contiguous = 1;
    r.creation = r.modification = r.access = (44u << 25) | (1u << 21) | (1u << 16);
    return r;
}

// A one-sector folder fragment at cluster c of a heap at 1000 with 8 sectors
// per cluster: sub-folders at subs, one file at fileCluster.
constexpr std::int64_t kHeap = 1000, kSpc = 8;
std::unique_ptr<CFileSet> Frag(std::uint32_t c, std::vector<std::uint32_t> subs, std::uint32_t fileCluster) {
    auto f = std::make_unique<CFileSet>();
    f->firstSector = kHeap + (c - 2) * kSpc;
    f->sectorCount = 1;
    for (std::uint32_t sub : subs) f->UpdateFileList(Record("d", sub, 4096, true));
    if (fileCluster) f->UpdateFileList(Record("f", fileCluster, 100, false));
    f->CalculateClusterSize(9);
    return f;
}

// The parent folder's entries lie at cluster 20 and name a child folder at
// cluster 5, which lies before it.
TEST(ExfatPartitionBuilder, ChildFolderBeforeItsParentIsNotLost) {
    CPartitionBuilder b;
    b.PrepareBuild(512, 100000);
    const std::int64_t childSector = kHeap + 3 * kSpc, parentSector = kHeap + 18 * kSpc;
    b.PushFileSet(Frag(5, {}, 30), -1, -1);
    b.PushFileSet(Frag(20, {5}, 0), -1, -1);
    CExFatPartitionEx p;
    p.SetGeometry(512, kSpc, 5000, 0xFFFFFFFFu, kHeap);
    p.m_totalSectors = 40000;
    p.onBoundary = {childSector, parentSector};
    std::vector<CExFatFileNode*> nodes;
    b.BuildFileTree(p, nodes);
    ASSERT_EQ(nodes.size(), 2u);
    for (CExFatFileNode* n : nodes) {
        EXPECT_EQ(n->IsDirectory() ? n->GetCurrentNodeID() : n->GetParentNodeID(), childSector) << n->GetFileName();
        n->Release();
    }
}

// F names one sub-folder G, which names two more: 1 + 2 x 2 = 5.
TEST(ExfatPartitionBuilder, TreeScoreCountsLevels) {
    CPartitionBuilder b;
    b.PrepareBuild(512, 100000);
    b.PushFileSet(Frag(10, {20}, 11), -1, -1);
    b.PushFileSet(Frag(20, {30, 40}, 21), -1, -1);
    b.PushFileSet(Frag(30, {}, 31), -1, -1);
    b.PushFileSet(Frag(40, {}, 41), -1, -1);
    CFileSet* f = b.Fragments()[0].get();
    std::vector<CFileSet*> matched;
    EXPECT_EQ(b.CheckTree(f, kHeap, kSpc, matched, 3), 5);
    EXPECT_EQ(matched.size(), 3u);
    matched.clear();
    EXPECT_EQ(b.CheckTree(f, kHeap, kSpc, matched, 7), 0); // below the tree step's minimum
    EXPECT_TRUE(matched.empty());
    // Under another heap start nothing lies where the sub-folders would be.
    EXPECT_EQ(b.CheckTree(f, kHeap + 8, kSpc, matched, 1), 0);
}

} // namespace
