// The plain reader over a stamped image: every sector holds its own number, so
// any misplaced byte shows.
#include "engine/include/FactoryRegistry.h"
#include "tests/support/TableEntries.h"
#include "engine/writer/FileReader.h"
#include "tests/engine/writer/WriterTestSupport.h"

#include <gtest/gtest.h>

namespace salvor::test {
namespace {

// Clusters of two sectors from sector 100; runs 10-11, a sparse cluster, 30-32.
class FileReaderOverImage : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteStampedImage(tmp.file("img"), 400, ss));
        device = std::make_unique<ImageDevice>(tmp.file("img"), ss);
        record.m_clusterOrigin = 100;
        record.m_sectorsPerCluster = 2;
        record.SetTotalSectors(400);
        ASSERT_EQ(reader.Open(device.get(), node.get(), &record), 1);
        // The file's bytes as the runs place them on the image.
        const std::string img = ReadWholeFile(tmp.file("img"));
        for (const DataRun& r : runs)
            expected += r.start < 0 ? std::string(r.length * c, '\0') : img.substr((100 + r.start * 2) * ss, r.length * c);
        expected.resize(size);
    }
    std::string ReadAt(long long offset, unsigned n, IFileReader* from = nullptr, int* err = nullptr) {
        std::string buf(n, '\x55');
        buf.resize((from ? from : &reader)->ReadData(offset, buf.data(), n, err));
        return buf;
    }

    const unsigned ss = GetParam();
    const size_t c = 2 * ss;        // cluster bytes
    const size_t size = 6 * c - 100; // file size
    const std::vector<DataRun> runs{{10, 2}, {-1, 1}, {30, 3}};
    TempDir tmp;
    std::unique_ptr<ImageDevice> device;
    CSearchedPartitionInfo record{ss};
    std::unique_ptr<TestFileNode> node = MakeFileNode(runs, static_cast<long long>(size));
    CFileReader reader;
    std::string expected;
};

TEST_P(FileReaderOverImage, DeliversTheRunsBytesAtAnyOffset) {
    EXPECT_EQ(reader.GetDataSize(), static_cast<long long>(size));
    const std::pair<size_t, size_t> cases[] = {
        {0, size},              // everything, sparse run included
        {1, 3},                 // inside one sector
        {ss - 1, 2},            // across a sector edge
        {c - 7, 20},            // across a cluster edge
        {2 * c - 5, c + 10},    // into and past the sparse run
        {3 * c + 3, 2 * ss + 1},
        {size - 10, 64},        // across the end: cut at the size
        {size, 10},             // at the end: nothing
    };
    for (const auto& [offset, n] : cases)
        EXPECT_EQ(ReadAt(offset, n), expected.substr(offset, n)) << "offset " << offset << " size " << n;
    // The sparse run reads as zeros, not as the sectors before the partition.
    EXPECT_EQ(ReadAt(2 * c, c), std::string(c, '\0'));
    EXPECT_EQ(ReadAt(-1, 10), "");

    // Runs covering less than the size: the reader says how much it delivered.
    auto longer = MakeFileNode({{10, 1}}, 5 * c);
    CFileReader shortRuns;
    ASSERT_EQ(shortRuns.Open(device.get(), longer.get(), &record), 1);
    EXPECT_EQ(ReadAt(0, 3 * c, &shortRuns).size(), c);
    EXPECT_EQ(ReadAt(2 * c, 10, &shortRuns), "");
}

TEST_P(FileReaderOverImage, DeviceFailureFailsTheRead) {
    device->FailSector(100 + 30 * 2 + 1);
    int err = 0;
    EXPECT_EQ(ReadAt(0, size, nullptr, &err), "");
    EXPECT_EQ(err, -1);
    EXPECT_EQ(ReadAt(0, c), expected.substr(0, c)) << "bytes before the bad sector still read";
}

TEST_P(FileReaderOverImage, ClonesWalkTheirOwnRuns) {
    IDataRunList* nodeRuns = node->GetDataRunList();
    nodeRuns->GetFirst();
    IFileReader* clone = reader.Clone();
    ASSERT_NE(clone, nullptr);
    EXPECT_EQ(ReadAt(0, size, clone), expected);
    clone->Release();
    // The node's own cursor did not move.
    EXPECT_FALSE(nodeRuns->IsDone());
    EXPECT_EQ(nodeRuns->GetNext()->start, -1);
}

TEST_P(FileReaderOverImage, TellsTheDeviceSectorsItReads) {
    using Sectors = std::vector<std::pair<long long, long long>>;
    // The sparse run left out, the last run cut at the file's size.
    EXPECT_EQ(reader.DeviceSectors(), (Sectors{{120, 124}, {160, 166}}));
    // Runs that meet are one range; what lies past the device's end is none.
    auto joined = MakeFileNode({{10, 1}, {11, 1}, {149, 3}}, 5 * static_cast<long long>(c));
    CFileReader past;
    ASSERT_EQ(past.Open(device.get(), joined.get(), &record), 1);
    EXPECT_EQ(past.DeviceSectors(), (Sectors{{120, 124}, {398, 400}}));
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, FileReaderOverImage, ::testing::Values(512u, 4096u));

TEST(FileReaderOpen, RefusesWhatItCannotReadAndReadsResidentDataThroughTheNtfsSlot) {
    TempDir tmp;
    ASSERT_TRUE(WriteStampedImage(tmp.file("i"), 16));
    ImageDevice device(tmp.file("i"));
    CSearchedPartitionInfo record = MakeRecord(0, 0, 1, 0, 16), noClusters = record;
    noClusters.m_sectorsPerCluster = 0;
    auto node = MakeFileNode({{1, 2}}, 1000), empty = MakeFileNode({{1, 2}}, 0);
    TestFileNode noRuns(1, 0, "x", false, 100);
    CFileReader r;
    EXPECT_EQ(r.Open(nullptr, node.get(), &record), 0);
    EXPECT_EQ(r.Open(&device, nullptr, &record), 0);
    EXPECT_EQ(r.Open(&device, node.get(), nullptr), 0);
    EXPECT_EQ(r.Open(&device, node.get(), &noClusters), 0);
    EXPECT_EQ(r.Open(&device, empty.get(), &record), 0);
    EXPECT_EQ(r.Open(&device, &noRuns, &record), 0);
    char b[32] = {};
    EXPECT_EQ(r.ReadData(0, b, 8, nullptr), 0u) << "an unopened reader reads nothing";
    EXPECT_EQ(r.GetDataSize(), 0);
    // Runs from a damaged record that overflow end the file instead of wrapping.
    auto huge = MakeFileNode({{1LL << 62, 1LL << 62}}, 1000);
    ASSERT_EQ(r.Open(&device, huge.get(), &record), 1);
    EXPECT_EQ(r.ReadData(0, b, 8, nullptr), 0u);

    // Resident data lives in the file record; the NTFS library reads it.
    TestFileNode resident(1, 0, "r", false, 11);
    resident.SetDataRunList(new ResidentList);
    ASSERT_EQ(r.Open(&device, &resident, &record), 1);
    ResetFactories();
    EXPECT_EQ(r.ReadData(0, b, 11, nullptr), 0u) << "no NTFS library, no resident data";
    device.ResetCounters();
    salvor::test::SetResidentReader([&](IStorageDevice*, IFileNode* n, long long offset, char* out, unsigned size) {
        return n == &resident ? CopyOut("hello world", offset, out, size) : 0u;
    });
    EXPECT_EQ(r.ReadData(6, b, 20, nullptr), 5u);
    EXPECT_EQ(std::string(b, 5), "world");
    EXPECT_EQ(device.Reads(), 0u) << "resident data needs no cluster reads";
    ResetFactories();
}

} // namespace
} // namespace salvor::test
