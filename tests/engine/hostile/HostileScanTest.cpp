// Cut-short FAT volumes keep their files in the deep scan; a quick scan of a
// volume whose root cluster is broken ends with a failure code, not with an
// empty listing; duplicates found through the builder's index; exFAT names
// held to the name test. Oracles: fls/istat and sha256 of the intact volume.
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileSet.h"
#include "engine/exfat/ExfatQuickSearch.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/include/Owned.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "engine/fat/FatDeepSearcher.h"
#include "engine/fat/FatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/tree/DirectoryTreeBuilder.h"
#include "tests/engine/fat/FatTestUtil.h"

#include <gtest/gtest.h>

#include <bit>
#include <fstream>
#include <set>
#include <tuple>

namespace {

const char* const kFixture = "hostile_fat";
std::string Image(const std::string& name) { return salvor::test::FixtureFile(kFixture, name); }

// Files as (normalised path, deleted, size).
using FileSet = std::set<std::tuple<std::string, bool, long long>>;

struct CutCase {
    const char* image;
    const char* intact;
};

TEST(HostileCutImage, DeepScanKeepsTheVolume) {
    for (const CutCase c : {CutCase{"f32_cut32m.img", "f32"}, CutCase{"f32_cut3m.img", "f32"},
                            CutCase{"f16_cut8m.img", "f16"}}) {
        SCOPED_TRACE(c.image);
        FileSet want;
        for (const auto& e : fattest::ReadIstatManifest(Image(std::string(c.intact) + ".istat")))
            if (!e.dir) want.emplace(fattest::FatKey(e.path), e.deleted, e.size);
        ASSERT_FALSE(want.empty());
        std::map<std::string, std::string> sha;
        for (const auto& [path, sum] : salvor::test::Sha256Manifest(Image(std::string(c.intact) + ".sha256")))
            sha[fattest::FatKey(path)] = sum;

        ResetFactories();
        RegisterFatLibrary();
        salvor::test::FsScan scan(Image(c.image), 512, -1);
        ASSERT_EQ(scan.Run(), 0u);
        FileSet got;
        for (const auto& [key, shown] : fattest::Listing(scan)) {
            const auto& [path, node] = shown;
            if (node->IsDirectory()) continue;
            got.emplace(key, node->IsDeleted() != 0, node->GetFileSize());
            if (!node->IsDeleted()) {
                ASSERT_TRUE(sha.count(key)) << path;
                EXPECT_EQ(scan.Recover(node, SEARCHER_FAT), sha[key]) << path;
            }
        }
        EXPECT_EQ(got, want);
        ResetFactories();
    }
}

TEST(HostileBrokenRoot, QuickScanReportsTheFailure) {
    struct Case {
        const char* image;
        unsigned kind;
        ResultCode want;
    };
    for (const Case c : {Case{"f32.img", FS_FAT32, 0}, Case{"f32_root0.img", FS_FAT32, fat::kRootUnreadable},
                         Case{"f32_root1.img", FS_FAT32, fat::kRootUnreadable},
                         Case{"f32_rootFFFFFF0.img", FS_FAT32, fat::kRootUnreadable},
                         Case{"exfat.img", FS_EXFAT, 0}, Case{"exfat_rootbad.img", FS_EXFAT, exfat::kRootUnreadable}}) {
        SCOPED_TRACE(c.image);
        ResetFactories();
        RegisterFatLibrary();
        RegisterExfatLibrary();
        salvor::test::FsScan scan(Image(c.image), 512, static_cast<int>(c.kind));
        EXPECT_EQ(scan.Run(), c.want);
        EXPECT_EQ(scan.progress.Last().result, c.want);
        if (c.want == 0 && c.kind == FS_FAT32) {
            EXPECT_FALSE(fattest::Listing(scan).empty());
        }
        ResetFactories();
    }
}

} // namespace

// The builder finds duplicates through an index; the rule stays the node
// model's: same id, parent, kind, name and partition; and a FAT folder met
// again under another name lends the first its properties (and name).
TEST(HostileDuplicates, IndexedRecordingKeepsTheRule) {
    struct NoSleepClock : ITreeBuilderClock {
        long long NowSeconds() override { return 0; }
        void SleepSeconds(unsigned) override {}
    };
    Owned<IRecoveryFilter> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_DEEP);
    NoSleepClock clock;
    salvor::test::RecordingTree sink;
    Owned<IDirecotryTreeBuilder> builder(CreateTreeBuilder(false, &clock));
    builder->Initialize("Disk", &sink, filter.get());
    builder->AddSearcherInfo(SEARCHER_FAT, 0);
    auto add = [&](const char* name, std::uint16_t attr, std::uint16_t partition, std::uint64_t created) {
        auto* p = CFATFileProperties::Create();
        p->SetFileName(name);
        p->SetAttribute(attr);
        p->SetFileSize(attr & 0x10 ? 0 : 5);
        p->SetCreationTime(_FILETIME::From(created));
        auto* n = new CFATFileNode();
        n->SetFileProperties(p);
        n->SetCurrentNodeID(attr & 0x10 ? 20 : 10);
        n->SetParentNodeID(0);
        n->SetBelongedPartition(partition);
        const int taken = builder->AddNode(n, SEARCHER_FAT);
        if (!taken) n->Release();
        return taken;
    };
    // After the second folder, "OLD" carries "NEW".
    EXPECT_EQ(std::vector({add("x.txt", 0x20, 0, 1), add("x.txt", 0x20, 0, 1), add("x.txt", 0x20, 1, 1),
                           add("OLD", 0x10, 0, 100), add("NEW", 0x10, 0, 200), add("NEW", 0x10, 0, 300),
                           add("OLD", 0x10, 0, 300)}),
              std::vector({1, 0, 1, 1, 1, 0, 1}));
    builder->FlashBuild(SEARCHER_FAT);
}

// A set whose checksum holds is still held to the name test: "Docs" with a
// line feed for its second character (checksum made to hold again) is not
// read, by the quick analyser nor by the deep search's.
TEST(HostileExfatNames, ControlCharacterFailsTheNameTest) {
    salvor::test::ImageDevice device(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    std::vector<std::uint8_t> boot(512);
    ASSERT_EQ(device.ReadSector(boot.data(), 0, 1), 1);
    const CExFatDBR dbr(boot);
    const unsigned spc = dbr.GetSectorsperCluster();
    const long long root = dbr.GetDataRegionStartSector() + (dbr.GetRootDirStartCluster() - 2ll) * spc;
    std::vector<std::uint8_t> cluster((spc + 2) * 512u, 0);
    ASSERT_EQ(device.ReadSector(cluster.data(), root, spc), 1);
    const std::size_t docs = exfat_test::FindEntrySet(cluster, u"Docs");
    ASSERT_NE(docs, std::string::npos);

    auto names = [&] {
        std::set<std::string> quick, deep;
        CEFDTAnalyze q;
        q.PrepareAnayze(9, 9 + std::countr_zero(spc), device.GetTotalSectors());
        q.Analyze(exfat::Bytes(cluster).first(spc * 512u), root);
        for (const auto& r : q.Records()) quick.insert(r.name);
        CFDTPreAnaylze d;
        d.PrepareAnayze(9, 25, device.GetTotalSectors());
        for (unsigned i = 0; i < spc; ++i) d.Analyze(root + i, exfat::Bytes(cluster).subspan(i * 512u, 3 * 512u));
        std::unique_ptr<CFileSet> f;
        while (d.GetFileSet(f))
            for (const auto* list : {&f->inUse, &f->deleted})
                for (const auto& r : *list) deep.insert(r.name);
        return std::pair(quick, deep);
    };
    const auto [quick, deep] = names();
    EXPECT_TRUE(quick.count("Docs") && deep.count("Docs"));
    cluster[docs + 64 + 4] = '\n';
    exfat_test::ResealEntrySet(cluster, docs);
    const auto [quickAfter, deepAfter] = names();
    // Only that set goes: the checksum vouches for its extent, so the walk
    // passes over it and every other set of the folder is still read.
    auto without = [](std::set<std::string> names) { return names.erase("Docs"), names; };
    EXPECT_EQ(std::pair(quickAfter, deepAfter), std::pair(without(quick), without(deep)));
}

// Folder-like data: 16,384 copies of one sub-folder's first sector each
// propose a boot-less partition per cluster size; the searcher keeps a
// bounded number of them.
TEST(HostileFolderData, DeepCandidatesStayBounded) {
    std::vector<std::uint8_t> sector;
    for (const auto& e : {fattest::ShortEntry(".          ", 0x10, 9, 0), fattest::ShortEntry("..         ", 0x10, 0, 0),
                          fattest::ShortEntry("FILE    TXT", 0x20, 10, 100)})
        sector.insert(sector.end(), e.begin(), e.end());
    sector.resize(512);
    salvor::test::TempDir dir;
    {
        std::ofstream out(dir.file("folders.img"), std::ios::binary);
        for (int i = 0; i < 16384; ++i) out.write(reinterpret_cast<const char*>(sector.data()), 512);
    }
    salvor::test::ImageDevice device(dir.file("folders.img"), 512);
    CFATCompleteFSearcher searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(64);
    searcher.PreparetoSearch();
    for (long long s = 0; s < 16384; s += 64) searcher.AnalyzeBlock(s, 64);
    EXPECT_EQ(searcher.FolderSectors().size(), 16384u);
    EXPECT_GT(searcher.ProposedCount(), 0u);
    EXPECT_LE(searcher.ProposedCount(), std::size(fat::FAT_SUPPORTED_SECTORS_PER_CLUSTER) * fat::kMaxCandidatesPerClusterSize);
}

// Folder sectors that each name clusters of their own: every run of 64 is the
// sub-folders of a boot-less volume with a data start of its own (192 ghosts
// confirmed 63 times each), the last 4,096 those of one volume. What the
// searcher holds and lists stays within its bounds, at their defaults and
// lowered, and the best-confirmed volume is always listed.
TEST(HostileFolderData, DistinctFolderSectorsStayBounded) {
    constexpr std::uint32_t kSectors = 16384, kRun = 64, kVolume = 12288;
    salvor::test::TempDir dir;
    {
        std::ofstream out(dir.file("distinct.img"), std::ios::binary);
        for (std::uint32_t s = 0; s < kSectors; ++s) {
            const std::uint32_t start = s >= kVolume ? kVolume - 2 : s / kRun * kRun - 2;
            const std::uint32_t dot = s >= kRun ? s - start + 2 : 0;
            std::vector<std::uint8_t> sector;
            for (const auto& e : {fattest::ShortEntry(".          ", 0x10, dot, 0),
                                  fattest::ShortEntry("..         ", 0x10, (s * 7919) % 4000 + 2, 0),
                                  fattest::ShortEntry("FILE1   TXT", 0x20, (s * 3 + 1) % 4000 + 2, 700),
                                  fattest::ShortEntry("FILE2   TXT", 0x20, (s * 3 + 2) % 4000 + 2, 1400)})
                sector.insert(sector.end(), e.begin(), e.end());
            sector.resize(512);
            out.write(reinterpret_cast<const char*>(sector.data()), 512);
        }
    }
    struct Held {
        std::size_t results, folderSectors;
        long long nodes;
        bool volumeListed;
    };
    auto scan = [&](const fat::DeepLimits& limits) {
        struct NoSleepClock : ITreeBuilderClock {
            long long NowSeconds() override { return 0; }
            void SleepSeconds(unsigned) override {}
        } clock;
        Owned<IRecoveryFilter> filter(CreateFilter());
        filter->SetFilterTypes(FILTER_ALL);
        filter->SetScanType(SCAN_DEEP);
        salvor::test::RecordingTree sink;
        Owned<IDirecotryTreeBuilder> builder(CreateTreeBuilder(false, &clock));
        builder->Initialize("Disk", &sink, filter.get());
        salvor::test::ImageDevice device(dir.file("distinct.img"), 512);
        CFATCompleteFSearcher searcher;
        searcher.SetLimits(limits);
        searcher.SetDevice(&device);
        searcher.SetBlockSize(64);
        searcher.SetDirecotryTreeBuilder(builder.get());
        searcher.PreparetoSearch();
        for (long long s = 0; s < kSectors; s += 64) searcher.AnalyzeBlock(s, 64);
        searcher.EndSearch(1);
        // Every folder of the image is lost: no entry names one.
        Held held{searcher.Results().size(), searcher.FolderSectors().size(),
                  dynamic_cast<CDirectoryTreeBuilder&>(*builder).Stats(SEARCHER_FAT).added, false};
        for (const auto& r : searcher.Results()) held.volumeListed |= r->m_clusterOrigin == kVolume - 2;
        return held;
    };
    const Held byDefault = scan(fat::DeepLimits{});
    EXPECT_EQ(byDefault.folderSectors, kSectors);
    EXPECT_EQ(byDefault.results, fat::kMaxFolderOnlyPartitions);
    EXPECT_GT(byDefault.nodes, 0);
    EXPECT_LE(byDefault.nodes, static_cast<long long>(fat::kMaxLostFolderNodes));
    EXPECT_TRUE(byDefault.volumeListed);
    // Lowered: a lost listing may pass the node bound by its own folder and entries.
    const Held lowered = scan(fat::DeepLimits{4096, 4, 100});
    EXPECT_LE(lowered.folderSectors, 4096u);
    EXPECT_EQ(lowered.results, 4u);
    EXPECT_GE(lowered.nodes, 100);
    EXPECT_LE(lowered.nodes, 100 + 1 + 16);
    EXPECT_TRUE(lowered.volumeListed);
}
