// Cut-short FAT volumes keep their files in the deep scan; a quick scan of a
// volume whose root cluster is broken ends with a failure code, not with an
// empty listing. Oracles: fls/istat and sha256 of the intact volume.
#include "engine/exfat/ExfatQuickSearch.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatBuildWorker.h"
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
