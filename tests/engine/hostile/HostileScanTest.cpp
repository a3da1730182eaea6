// Cut-short FAT volumes keep their files in the deep scan; a quick scan of a
// volume whose root cluster is broken ends with a failure code, not with an
// empty listing. Oracles: fls/istat and sha256 of the intact volume.
#include "engine/exfat/ExfatQuickSearch.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatBuildWorker.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "tests/engine/fat/FatQuickScan.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/engine/fatdeep/FatDeepSupport.h"

#include <gtest/gtest.h>

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
            if (!e.dir) want.emplace(fattest::NormalisePath(e.path, e.deleted), e.deleted, e.size);
        ASSERT_FALSE(want.empty());
        const auto sha = fatdeep::ReadSha256(Image(std::string(c.intact) + ".sha256"));

        fatdeep::DeepScan scan(Image(c.image));
        ASSERT_EQ(scan.Run(), 0u);
        FileSet got;
        for (const auto& [path, s] : scan.Listing()) {
            if (s.dir) continue;
            got.emplace(path, s.deleted, s.size);
            if (!s.deleted) {
                EXPECT_EQ(scan.Recover(s.node), sha.at(path)) << path;
            }
        }
        EXPECT_EQ(got, want);
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
        fattest::QuickScan scan(Image(c.image), 512, c.kind);
        RegisterExfatLibrary();
        EXPECT_EQ(scan.Run(), c.want);
        EXPECT_EQ(scan.progress.Last().result, c.want);
        if (c.want == 0 && c.kind == FS_FAT32) {
            EXPECT_FALSE(scan.Listing().empty());
        }
    }
}

} // namespace

// The builder finds duplicates through an index; the rule stays the node
// model's: same id, parent, kind, name and partition; and a FAT folder met
// again under another name lends the first its properties (and name).
TEST(HostileDuplicates, IndexedRecordingKeepsTheRule) {
    std::unique_ptr<IRecoveryFilter, fatdeep::Releaser<IRecoveryFilter>> filter(CreateFilter());
    filter->SetFilterTypes(FILTER_ALL);
    filter->SetScanType(SCAN_DEEP);
    fatdeep::NoSleepClock clock;
    salvor::test::RecordingTree sink;
    std::unique_ptr<IDirecotryTreeBuilder, fatdeep::Releaser<IDirecotryTreeBuilder>> builder(
        CreateTreeBuilder(false, &clock));
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
    EXPECT_EQ(add("x.txt", 0x20, 0, 1), 1);
    EXPECT_EQ(add("x.txt", 0x20, 0, 1), 0);
    EXPECT_EQ(add("x.txt", 0x20, 1, 1), 1);
    EXPECT_EQ(add("OLD", 0x10, 0, 100), 1);
    EXPECT_EQ(add("NEW", 0x10, 0, 200), 1); // "OLD" now carries "NEW"
    EXPECT_EQ(add("NEW", 0x10, 0, 300), 0);
    EXPECT_EQ(add("OLD", 0x10, 0, 300), 1);
    builder->FlashBuild(SEARCHER_FAT);
}
