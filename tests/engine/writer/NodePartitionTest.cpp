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
    std::unique_ptr<TestFileNode> FitsSecond(std::uint16_t index = 0x7777, long long metadata = 20500) {
        auto node = MakeFileNode({{100, 10}, {200, 6}}, 16 * 4096, index);
        node->SetMetaDataSector(metadata);
        return node;
    }
};

TEST_F(NodePartitionRules, IndexFirstThenTheFirstFittingRecordThenTheBestScored) {
    EXPECT_EQ(GetNodePartition(FitsSecond(3).get(), all, 3), &third);
    EXPECT_EQ(GetNodePartition(FitsSecond(3).get(), all, 2), &second) << "only the first count records count";
    EXPECT_EQ(GetNodePartition(FitsSecond().get(), all, 3), &second);
    EXPECT_EQ(GetNodePartition(FitsSecond(0x7777, 5).get(), all, 3), &best) << "metadata inside none";
    TestFileNode bare(1, 0, "b", false, 100); // without a run list a node never fits
    bare.SetMetaDataSector(20500);
    EXPECT_EQ(GetNodePartition(&bare, all, 3), &best);
    // One record serves every node.
    std::vector<CSearchedPartitionInfo*> one{&best};
    EXPECT_EQ(GetNodePartition(FitsSecond(3).get(), one, 1), &best);
    EXPECT_EQ(GetNodePartition(FitsSecond(3).get(), all, 0), &best);
    EXPECT_EQ(GetNodePartition(nullptr, all, 3), nullptr);
    EXPECT_EQ(GetNodePartition(FitsSecond().get(), {}, 0), nullptr);
}

TEST_F(NodePartitionRules, MetadataStrictlyInsideAndRunsOnDeviceSectors) {
    // The partition covers 20480..120479, its first sector excluded.
    for (auto [sector, inside] : {std::pair{20480LL, false}, {20481LL, true}, {20480LL + 100000, false}})
        EXPECT_EQ(IsMetaDataInRange(second, *FitsSecond(0, sector)), inside) << sector;
    TestFileNode none(1, 0, "n");
    EXPECT_FALSE(IsMetaDataInRange(second, none)) << "no metadata position";

    // Cluster c lies at sector 20000 + 8c.
    const std::pair<std::vector<DataRun>, bool> runs[] = {
        {{{60, 1}}, true},             // sector 20480
        {{{59, 1}}, false},            // sectors 20472..20479, before the start
        {{{12557, 3}}, true},          // ends on sector 120479
        {{{12557, 4}}, false},         // one cluster past the end
        {{{60, 1}, {-1, 50}}, true},   // a sparse run is on no sector
        {{{1LL << 61, 1}}, false},     // overflowing run
    };
    for (const auto& [list, inside] : runs) EXPECT_EQ(IsDataRunListInRange(second, list), inside) << list[0].start;
}

TEST_F(NodePartitionRules, ClusterSizeImpliedBySizeAndRuns) {
    auto node = FitsSecond(); // 64 KiB over 16 clusters: 4 KiB = 8 sectors; odd values never fit
    const auto runs = CopyRuns(node->GetDataRunList());
    for (auto [spc, fits] : {std::pair{8u, true}, {4u, false}, {16u, false}, {1u, false}})
        EXPECT_EQ(IsClusterSuit(spc, *node, runs), fits) << spc;
    // One run, or fewer than two clusters, proves nothing and passes.
    EXPECT_TRUE(IsClusterSuit(2, *node, {{100, 16}}));
    EXPECT_TRUE(IsClusterSuit(2, *node, {{100, 1}, {200, 0}}));
    EXPECT_TRUE(IsClusterSuit(2, *node, {}));
    node->UpdateFileSize(60000); // not a whole number of clusters rounds up: 60000 / 16 / 512 = 7.3 -> 8
    EXPECT_TRUE(IsClusterSuit(8, *node, runs));
    node->UpdateFileSize(100); // c <= 1 matches nothing
    EXPECT_FALSE(IsClusterSuit(2, *node, runs));
}

} // namespace
} // namespace salvor::test
