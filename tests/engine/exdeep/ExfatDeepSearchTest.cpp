// The deep search's pieces: the folder-entry analyser over real folder
// clusters (sets cut at a cluster end joined, fragments ended where the
// entries end, the last sectors of a device analysed, a damaged set whose
// checksum holds passed over) and the partition builder (boot sectors and
// their backups, candidates trimmed with list and set together, trees that do
// not depend on the order of folders on the device).
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatDeepSearch.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatFileSet.h"
#include "engine/exfat/ExfatPartitionBuilder.h"
#include "tests/engine/exfat/ExfatTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <set>

namespace {

// The fragments the analyser has ready.
std::vector<std::unique_ptr<CFileSet>> Drain(CFDTPreAnaylze& a) {
    std::vector<std::unique_ptr<CFileSet>> out;
    for (std::unique_ptr<CFileSet> f; a.GetFileSet(f);)
        out.push_back(std::move(f));
    return out;
}

// Feeds sectors [first, first + count) of an image to an analyser, each with
// the two sectors after it, and collects the fragments.
std::vector<std::unique_ptr<CFileSet>> Gather(CFDTPreAnaylze& a, salvor::test::ImageDevice& dev,
                                              long long first, long long count) {
    const unsigned ss = dev.GetSectorSize();
    std::vector<std::uint8_t> buf(static_cast<std::size_t>(count + 2) * ss, 0);
    dev.ReadSector(buf.data(), first, count + 2);
    std::vector<std::unique_ptr<CFileSet>> out;
    for (long long i = 0; i < count; ++i)
        if (a.Analyze(first + i, exfat::Bytes(buf).subspan(static_cast<std::size_t>(i) * ss, 3u * ss)))
            for (auto& f : Drain(a))
                out.push_back(std::move(f));
    for (auto& f : Drain(a))
        out.push_back(std::move(f));
    return out;
}

TEST(ExfatFileSet, RootFolderClusterIsARootFragment) {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("mbr_fat_exfat", "disk_intact.img"));
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, dev.GetTotalSectors());
    std::vector<std::uint8_t> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 133120, 1), 1);
    const CExFatDBR dbr(boot);
    // The root folder's cluster of the heap at 137216, 8 sectors per cluster.
    const std::int64_t rootSector = 137216 + (std::int64_t{dbr.GetRootDirStartCluster()} - 2) * 8;
    auto frags = Gather(a, dev, rootSector, 8);
    ASSERT_EQ(frags.size(), 1u);
    const CFileSet& root = *frags[0];
    // Docs, Pictures, Music and Many live (Old deleted); the cluster size (in
    // sectors) within the bounds.
    EXPECT_EQ(std::tuple(root.IsRoot(), root.firstSector, root.bitmapCluster, root.upcaseCluster,
                         root.totalClusters, root.subFolders.size(), root.Allows(8)),
              std::tuple(true, rootSector, 2u, 3u, dbr.GetTotalCluster(), std::size_t{4}, true));
    EXPECT_LE(root.lowestRootCluster, dbr.GetRootDirStartCluster());
    EXPECT_GE(root.deleted.size(), 3u);
    EXPECT_LE(root.highBound, 8u);
}

// The quick-scan volume as a device. Its Straddle folder's first cluster ends
// in the middle of an entry set that goes on in its second cluster, after the
// files' data: the set is joined. The Docs/Sub folder's fragment copied to the
// end of a small device is still read: the last two sectors are analysed.
TEST(ExfatFileSet, SetStraddlingTwoDistantClustersIsJoinedAndTheLastSectorsAreRead) {
    salvor::test::ImageDevice full(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"));
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, full.GetTotalSectors());
    auto frags = Gather(a, full, 0, static_cast<long long>(full.GetTotalSectors()) - 2);
    std::size_t straddle = 0;
    const CFileSet *head = nullptr, *docs = nullptr;
    for (auto& f : frags) {
        for (const auto& r : f->inUse) {
            straddle += r.name.starts_with("straddle-file-");
            if (r.name == "deep.bin") docs = f.get();
        }
        if (f->flags & CFileSet::kNotEnded) head = f.get();
    }
    ASSERT_NE(head, nullptr);
    const std::int64_t tail = a.GetNext(head->firstSector);
    EXPECT_GT(tail, head->firstSector + 8);
    EXPECT_EQ(std::tuple(straddle, a.Joins(), a.GetLast(tail), a.SavedHeads()),
              std::tuple(std::size_t{40}, std::size_t{1}, head->firstSector, std::size_t{0}));

    ASSERT_NE(docs, nullptr);
    ASSERT_LE(docs->sectorCount, 2u);
    // A small device: 100 zero sectors, then the fragment's sectors at the very end.
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(100 + docs->sectorCount) * 512, 0);
    full.ReadSector(bytes.data() + 100 * 512, docs->firstSector, docs->sectorCount);
    salvor::test::TempDir dir;
    std::ofstream(dir.file("tail.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    salvor::test::ImageDevice dev(dir.file("tail.img"));
    // Also with a sector of the fragment's block unreadable: the block is
    // read around it, and the fragment is still seen.
    for (const bool lost : {false, true}) {
        SCOPED_TRACE(lost ? "a lost sector before the fragment" : "all sectors read");
        if (lost) dev.FailSector(70);
        CExFatCompleteSearch searcher;
        exfat_test::RecordingBuilder builder;
        searcher.SetDevice(&dev);
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.SetBlockSize(64);
        const long long total = static_cast<long long>(dev.GetTotalSectors());
        for (long long b = 0; b < total; b += 64)
            EXPECT_EQ(searcher.AnalyzeBlock(b, std::min(64LL, total - b)), 1);
        bool seen = false;
        for (const auto& f : searcher.Builder().Fragments())
            for (const auto& r : f->inUse)
                seen |= r.name == "deep.bin";
        EXPECT_TRUE(seen);
        searcher.EndSearch(0);
    }
}

TEST(ExfatFileSet, ZeroSectorAndForeignEntryEndTheFragment) {
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, 1 << 20);
    std::vector<std::uint8_t> buf(3 * 512, 0);
    // A GUID entry (0xA0) ends the folder at once: nothing is gathered.
    buf[0] = 0xA0;
    EXPECT_FALSE(a.Analyze(10, buf));
    EXPECT_TRUE(Drain(a).empty());
    // Stray name entries only: not a fragment worth handing out.
    std::fill(buf.begin(), buf.end(), 0);
    buf[0] = 0xC1;
    buf[2] = 'a';
    EXPECT_FALSE(a.Analyze(11, buf));
    EXPECT_TRUE(Drain(a).empty());
}

// The names in the root folder's first cluster of the 512-byte quick-scan volume
// (followed by two zero sectors: the analyser looks two sectors ahead).
std::set<std::string> Names(const std::vector<std::uint8_t>& root, std::int64_t sector) {
    CFDTPreAnaylze a;
    a.PrepareAnayze(9, 25, 1u << 20);
    for (std::size_t i = 0; i + 2 < root.size() / 512; ++i)
        a.Analyze(sector + static_cast<std::int64_t>(i), exfat::Bytes(root).subspan(i * 512u, 3 * 512u));
    std::set<std::string> names;
    for (const auto& f : Drain(a))
        for (const auto* list : {&f->inUse, &f->deleted})
            for (const auto& r : *list) {
                EXPECT_FALSE(r.name.empty()) << "a record without a name";
                names.insert(r.name);
            }
    return names;
}

TEST(ExfatDeepDamage, NamelessSetIsPassedOverWhole) {
    salvor::test::ImageDevice dev(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"));
    std::vector<std::uint8_t> boot(512);
    ASSERT_EQ(dev.ReadSector(boot.data(), 0, 1), 1);
    const CExFatDBR dbr(boot);
    const unsigned spc = dbr.GetSectorsperCluster();
    const std::int64_t sector =
        dbr.GetDataRegionStartSector() + std::int64_t{dbr.GetRootDirStartCluster() - 2} * spc;
    std::vector<std::uint8_t> root((spc + 2) * 512u, 0);
    ASSERT_EQ(dev.ReadSector(root.data(), sector, spc), 1);
    ASSERT_TRUE(Names(root, sector).count("Docs"));
    // The name keeps its length byte (4) but its first unit is NUL: as text
    // it is empty, and a record without a name is no file to show.
    const std::size_t docs = exfat_test::FindEntrySet(root, u"Docs");
    ASSERT_NE(docs, std::string::npos);
    root[docs + 64 + 2] = root[docs + 64 + 3] = 0;
    exfat_test::ResealEntrySet(root, docs);
    const std::set<std::string> names = Names(root, sector);
    EXPECT_FALSE(names.count("Docs"));
    EXPECT_FALSE(names.count(""));
    // Its name fails the name test, but its checksum holds: the set is passed
    // over whole and the sets after it are still read.
    EXPECT_TRUE(names.count("Pictures"));
    EXPECT_TRUE(names.count("Many"));
}

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
        for (auto sector : r.at)
            b.Build(sector, dbr);
        std::set<std::int64_t> starts;
        for (const auto* p : b.Candidates())
            starts.insert(p->m_startSector);
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
    for (int i = 0; i < 550; ++i)
        b.Build(100000 + 1000LL * i, dbr);
    EXPECT_LE(b.CandidateCount(), 1025u);
    EXPECT_GE(b.CandidateCount(), 512u);
    EXPECT_EQ(b.Candidates().size(), b.CandidateCount());
    // Backups arriving for trimmed candidates touch nothing freed (ASan).
    for (int i = 0; i < 550; ++i)
        b.Build(100012 + 1000LL * i, dbr);
    EXPECT_EQ(b.Candidates().size(), b.CandidateCount());
    for (const auto* p : b.Candidates())
        EXPECT_GT(p->Heap(), 0);
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
    for (std::uint32_t sub : subs)
        f->UpdateFileList(Record("d", sub, 4096, true));
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
        EXPECT_EQ(n->IsDirectory() ? n->GetCurrentNodeID() : n->GetParentNodeID(), childSector)
            << n->GetFileName();
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
