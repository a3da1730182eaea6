// The FAT deep searcher's partition proposals, fed sector streams directly:
// boot sectors read as main and as backup, FAT copies inside a FAT of
// one-cluster chains, partitions known only from their sub-folders on a large
// device, and the contract of GetSearchedPartitionInfo.
#include "engine/fat/FatDeepSearcher.h"
#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

using Record = CFATSearchedPartitionInfo;

namespace {

// Streams the whole device through the searcher in blocks and scores the proposals.
std::vector<std::unique_ptr<Record>> Propose(IStorageDevice& device, long long block = 8192) {
    CFATCompleteFSearcher searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(static_cast<int>(block));
    searcher.PreparetoSearch();
    const long long total = static_cast<long long>(device.GetTotalSectors());
    for (long long s = 0; s < total; s += block) EXPECT_EQ(searcher.AnalyzeBlock(s, std::min(block, total - s)), 1);
    std::vector<std::unique_ptr<Record>> out;
    searcher.AddSearchedPartitionInfoList2(out);
    return out;
}

std::string OneCluster(const char* image) { return salvor::test::FixtureFile("fat_deep", image); }

// The one-cluster volume yields one FAT32 partition at 0 with these flags
// (boot sectors and FAT copies seen) and score, confirmed by its 4 folders;
// the main boot sector gone, its backup is read as the backup, not as a
// partition six sectors on; blocks that cut the boot region and the FATs
// between reads change nothing; a backup of a known partition proposes no ghost.
TEST(FatDeepProposals, OnePartitionFromMainAndBackupBootSectors) {
    const struct {
        const char* image;
        long long block;
        std::uint32_t flags;
        std::int64_t score;
    } rows[] = {{"onecluster.img", 8192, 0x3CC, 100}, {"onecluster_boot_zeroed.img", 8192, 0x3C8, 95},
                {"onecluster_boot_zeroed.img", 7, 0x3C8, 95}};
    for (const auto& r : rows) {
        SCOPED_TRACE(std::string(r.image) + " in blocks of " + std::to_string(r.block));
        salvor::test::ImageDevice device(OneCluster(r.image));
        const auto found = Propose(device, r.block);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0]->GetStartSector(), 0);
        EXPECT_EQ(found[0]->m_fileSystemType, unsigned{FS_FAT32});
        EXPECT_EQ(found[0]->GetFlag() & 0x3CF, r.flags);
        EXPECT_EQ(CFATCompleteFSearcher::Score(*found[0]), r.score);
        EXPECT_EQ(CFATCompleteFSearcher::SubFolderCount(*found[0]), 4);
    }
}

// A device of 256 MiB with two folders of a FAT32 partition whose boot
// sectors are gone, close to the device's start: a FAT sized for the whole
// device would not fit before the data area.
class SubFolderOnly : public ::testing::Test {
protected:
    static constexpr unsigned long long kSectors = 524288;
    static constexpr long long kData = 4098; // the sector of cluster 2

    void SetUp() override { std::ofstream(image_).close(); }
    void Folder(std::uint32_t cluster, std::uint32_t parent) {
        std::vector<std::uint8_t> sector;
        auto add = [&](const std::vector<std::uint8_t>& e) { sector.insert(sector.end(), e.begin(), e.end()); };
        add(fattest::ShortEntry(".          ", 0x10, cluster, 0));
        add(fattest::ShortEntry("..         ", 0x10, parent, 0));
        add(fattest::ShortEntry("FILE    BIN", 0x20, cluster + 1, 100));
        sector.resize(512, 0);
        ASSERT_TRUE(salvor::test::WriteBytes(image_, (kData + cluster - 2) * 512ull, sector));
    }
    void Grow() { std::filesystem::resize_file(std::filesystem::path(image_), kSectors * 512); }

    salvor::test::TempDir dir_;
    std::string image_ = dir_.file("large.img");
};

TEST_F(SubFolderOnly, PartitionNearTheStartOfALargeDeviceKeepsItsDataStart) {
    Folder(5000, 0);
    Grow();
    salvor::test::ImageDevice alone(image_);
    EXPECT_TRUE(Propose(alone).empty()) << "a folder no other folder confirms proposes nothing";
    Folder(5004, 5000);
    salvor::test::ImageDevice device(image_);
    const auto found = Propose(device);
    ASSERT_EQ(found.size(), 1u);
    const Record& r = *found[0];
    EXPECT_EQ(r.m_clusterOrigin, kData);
    EXPECT_EQ(r.m_sectorsPerCluster, 1u);
    EXPECT_EQ(r.m_fileSystemType, unsigned{FS_FAT32});
    EXPECT_GE(r.GetStartSector(), 0);
    // Two FATs and a reserved sector before the data area, on the device.
    EXPECT_LE(r.GetStartSector() + 1 + 2ll * r.GetSectorPerFAT(), kData);
    EXPECT_EQ(r.GetFlag(), 0x10u);
    EXPECT_EQ(CFATCompleteFSearcher::SubFolderCount(r), 1);
    EXPECT_EQ(CFATCompleteFSearcher::Score(r), 20);
}

TEST(FatDeepContract, PartitionListAnswersCountsAndCopies) {
    salvor::test::ImageDevice device(OneCluster("onecluster.img"));
    CFATCompleteFSearcher searcher;
    searcher.SetDevice(&device);
    searcher.SetBlockSize(8192);
    searcher.PreparetoSearch();
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(nullptr, 0), 0);
    for (long long s = 0; s < static_cast<long long>(device.GetTotalSectors()); s += 8192)
        searcher.AnalyzeBlock(s, std::min<long long>(8192, static_cast<long long>(device.GetTotalSectors()) - s));
    // Without building, the partitions are not scored.
    searcher.EndSearch(0);
    EXPECT_EQ(searcher.GetSearchedPartitionInfo(nullptr, 0), 0);
    std::vector<std::unique_ptr<Record>> results;
    searcher.AddSearchedPartitionInfoList2(results);
    ASSERT_EQ(results.size(), 1u);
    EXPECT_EQ(results[0]->m_partitionIndex, 0);
    // A second call finds the proposals consumed.
    std::vector<std::unique_ptr<Record>> again;
    searcher.AddSearchedPartitionInfoList2(again);
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(searcher.AnalyzeBlock(0, 0), 0);
    EXPECT_EQ(searcher.AnalyzeBlock(-1, 1), 0);
}

} // namespace
