// Which partition record a node is read through.
#include "engine/writer/NodePartition.h"
#include "tests/engine/writer/WriterTestSupport.h"

#include <gtest/gtest.h>

namespace salvor::test {
namespace {

class NodePartitionRules : public ::testing::Test {
protected:
    // Best score first, as the writer keeps them.
    CSearchedPartitionInfo best = MakeRecord(1, 2000, 4, 2048, 10000, 9.0);
    CSearchedPartitionInfo second = MakeRecord(2, 20000, 8, 20480, 100000, 5.0);
    CSearchedPartitionInfo third = MakeRecord(3, 200000, 16, 204800, 100000, 1.0);
    std::vector<CSearchedPartitionInfo*> all{&best, &second, &third};

    // A node that fits `second`: metadata inside, runs inside, 4 KiB clusters
    // (8 sectors) implied by size / clusters.
    std::unique_ptr<TestFileNode> FitsSecond(std::uint16_t index = 0x7777) {
        auto node = MakeFileNode({{100, 10}, {200, 6}}, 16 * 4096, index);
        node->SetMetaDataSector(20500);
        return node;
    }
};

TEST_F(NodePartitionRules, IndexMatchWinsOverOrder) {
    auto node = FitsSecond(3);
    EXPECT_EQ(GetNodePartition(node.get(), all, 3), &third);
    // Only the first count records are looked at.
    EXPECT_EQ(GetNodePartition(node.get(), all, 2), &second);
}

TEST_F(NodePartitionRules, OneRecordServesEveryNode) {
    auto node = FitsSecond(3);
    std::vector<CSearchedPartitionInfo*> one{&best};
    EXPECT_EQ(GetNodePartition(node.get(), one, 1), &best);
    EXPECT_EQ(GetNodePartition(node.get(), all, 0), &best);
    EXPECT_EQ(GetNodePartition(nullptr, all, 3), nullptr);
    EXPECT_EQ(GetNodePartition(node.get(), {}, 0), nullptr);
}

TEST_F(NodePartitionRules, WithoutIndexTheFirstFittingRecordIsUsed) {
    auto node = FitsSecond();
    EXPECT_EQ(GetNodePartition(node.get(), all, 3), &second);
}

TEST_F(NodePartitionRules, NothingFitsGivesTheBestScored) {
    auto node = FitsSecond();
    node->SetMetaDataSector(5); // inside none
    EXPECT_EQ(GetNodePartition(node.get(), all, 3), &best);
}

TEST_F(NodePartitionRules, MetadataMustLieStrictlyInside) {
    auto node = FitsSecond();
    node->SetMetaDataSector(20480); // the partition's first sector
    EXPECT_FALSE(IsMetaDataInRange(second, *node));
    node->SetMetaDataSector(20481);
    EXPECT_TRUE(IsMetaDataInRange(second, *node));
    node->SetMetaDataSector(20480 + 100000); // one past the end
    EXPECT_FALSE(IsMetaDataInRange(second, *node));
    TestFileNode none(1, 0, "n"); // no metadata position
    EXPECT_FALSE(IsMetaDataInRange(second, none));
}

TEST_F(NodePartitionRules, RunsAreCheckedOnDeviceSectors) {
    // second: cluster c at sector 20000 + 8c; the partition covers 20480..120479.
    EXPECT_TRUE(IsDataRunListInRange(second, {{60, 1}}));           // sector 20480
    EXPECT_FALSE(IsDataRunListInRange(second, {{59, 1}}));          // sectors 20472..20479, before the start
    EXPECT_TRUE(IsDataRunListInRange(second, {{12557, 3}}));        // ends on sector 120479
    EXPECT_FALSE(IsDataRunListInRange(second, {{12557, 4}}));       // one cluster past the end
    EXPECT_TRUE(IsDataRunListInRange(second, {{60, 1}, {-1, 50}})); // a sparse run is on no sector
    EXPECT_FALSE(IsDataRunListInRange(second, {{1LL << 61, 1}}));   // overflowing run
    // A node without a run list never fits.
    TestFileNode bare(1, 0, "b", false, 100);
    bare.SetMetaDataSector(20500);
    EXPECT_EQ(GetNodePartition(&bare, all, 3), &best);
}

TEST_F(NodePartitionRules, ClusterSizeImpliedBySizeAndRuns) {
    auto node = FitsSecond(); // 64 KiB over 16 clusters: 4 KiB = 8 sectors
    const auto runs = CopyRuns(node->GetDataRunList());
    EXPECT_TRUE(IsClusterSuit(8, *node, runs));
    EXPECT_FALSE(IsClusterSuit(4, *node, runs));
    EXPECT_FALSE(IsClusterSuit(16, *node, runs));
    // Odd values never fit, 1 included.
    EXPECT_FALSE(IsClusterSuit(1, *node, runs));
    // One run, or fewer than two clusters, proves nothing and passes.
    EXPECT_TRUE(IsClusterSuit(2, *node, {{100, 16}}));
    EXPECT_TRUE(IsClusterSuit(2, *node, {{100, 1}, {200, 0}}));
    EXPECT_TRUE(IsClusterSuit(2, *node, {}));
    // A size that is not a whole number of clusters rounds up: 60000 / 16 / 512 = 7.3 -> 8.
    node->UpdateFileSize(60000);
    EXPECT_TRUE(IsClusterSuit(8, *node, runs));
    // c <= 1 matches nothing.
    node->UpdateFileSize(100);
    EXPECT_FALSE(IsClusterSuit(2, *node, runs));
}

} // namespace
} // namespace salvor::test
