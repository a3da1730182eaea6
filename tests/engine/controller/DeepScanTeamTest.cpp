// The deep scan with every library finds the same whether its searchers
// analyse each block side by side reading it in place from the read-ahead
// cache, or one after another copying it out: the fixture disks of each file
// system and the carver's composed image, at 4 MiB blocks and, for the small
// disks, at 13-sector blocks whose edges cut every structure somewhere.
#include "engine/all/AllLibraries.h"
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

namespace {

using Listing = std::multiset<std::tuple<std::string, bool, bool, long long>>;

// Every shown node: path from its tree's root (the root's name first), folder, deleted, size.
Listing Scan(const std::string& image, unsigned blockSectors, bool fast) {
    salvor::test::FsScan scan(image, 512, -1);
    scan.Deep()->SetBlockSectors(blockSectors);
    scan.Deep()->SetSearchersSideBySide(fast);
    scan.Deep()->SetBlocksLent(fast);
    EXPECT_EQ(scan.Run(), 0u) << image;
    Listing out;
    for (IFileNode* n : scan.tree.AllNodes()) {
        std::string path = n->GetFileName();
        int guard = 0;
        for (IFileNode* p = n->GetParent(); p && guard < 4096; p = p->GetParent(), ++guard)
            path = std::string(p->GetFileName()) + "/" + path;
        out.emplace(path, n->IsDirectory() != 0, n->IsDeleted() != 0, n->GetFileSize());
    }
    return out;
}

class DeepScanTeam : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFactories();
        RegisterAllLibraries();
    }
    void TearDown() override { ResetFactories(); }
};

TEST_F(DeepScanTeam, SideBySideInPlaceFindsWhatOneAfterAnotherFinds) {
    using salvor::test::FixtureFile;
    const struct {
        std::string image;
        unsigned blockSectors; // 0: 4 MiB
    } rows[] = {
        {FixtureFile("mbr_fat_exfat", "disk_mbr_zeroed.img"), 0},
        {FixtureFile("exfat_quick", "exfat_512.img"), 13},
        {FixtureFile("ntfs_disks", "disk_mbr_zeroed.img"), 0},
        {FixtureFile("hfs_deep", "mbr_zeroed.img"), 0},
        {FixtureFile("hfs_deep", "mbr_zeroed.img"), 13},
        {FixtureFile("apfs_disks", "gpt_zeroed.img"), 0},
        {FixtureFile("apfs_disks", "gpt_zeroed.img"), 13},
        {FixtureFile("carve_all", "all_512_random.img"), 0},
    };
    for (const auto& r : rows) {
        const Listing fast = Scan(r.image, r.blockSectors, true);
        EXPECT_GT(fast.size(), 10u) << r.image;
        EXPECT_EQ(fast, Scan(r.image, r.blockSectors, false)) << r.image << " blocks of " << r.blockSectors;
    }
}

} // namespace
