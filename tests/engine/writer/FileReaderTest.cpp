// The plain reader over a stamped image: every sector holds its own number, so
// any misplaced byte shows.
#include "engine/common/DataRunList.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/writer/FileReader.h"
#include "tests/engine/writer/WriterTestSupport.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace salvor::test {
namespace {

class FileReaderOverImage : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override {
        sectorSize = GetParam();
        image = tmp.file("stamped.img");
        ASSERT_TRUE(WriteStampedImage(image, 400, sectorSize));
        device = std::make_unique<ImageDevice>(image, sectorSize);
        record = CSearchedPartitionInfo(sectorSize);
        record.m_clusterOrigin = 100;
        record.m_sectorsPerCluster = 2;
        record.SetTotalSectors(400);
        clusterBytes = 2LL * sectorSize;
        fileSize = 6 * clusterBytes - 100;
        node = MakeFileNode(runs, fileSize);
        ASSERT_EQ(reader.Open(device.get(), node.get(), &record), 1);
        expected = Expected();
    }

    // The file's bytes as the runs place them on the image.
    std::string Expected() {
        const std::string img = ReadWholeFile(image);
        std::string out;
        for (const DataRun& r : runs) {
            if (r.start < 0)
                out.append(static_cast<size_t>(r.length * clusterBytes), '\0');
            else
                out.append(img, static_cast<size_t>((100 + r.start * 2) * sectorSize),
                           static_cast<size_t>(r.length * clusterBytes));
        }
        out.resize(static_cast<size_t>(fileSize));
        return out;
    }

    std::string ReadAt(long long offset, unsigned size) {
        std::string buf(size, '\x55');
        const unsigned got = reader.ReadData(offset, buf.data(), size, nullptr);
        buf.resize(got);
        return buf;
    }

    unsigned sectorSize = 512;
    TempDir tmp;
    std::string image;
    std::unique_ptr<ImageDevice> device;
    CSearchedPartitionInfo record;
    long long clusterBytes = 0, fileSize = 0;
    const std::vector<DataRun> runs{{10, 2}, {-1, 1}, {30, 3}};
    std::unique_ptr<TestFileNode> node;
    CFileReader reader;
    std::string expected;
};

TEST_P(FileReaderOverImage, DeliversTheRunsBytesAtAnyOffset) {
    EXPECT_EQ(reader.GetDataSize(), fileSize);
    const long long c = clusterBytes;
    const std::pair<long long, unsigned> cases[] = {
        {0, static_cast<unsigned>(fileSize)},       // everything, sparse run included
        {1, 3},                                     // inside one sector
        {sectorSize - 1, 2},                        // across a sector edge
        {c - 7, 20},                                // across a cluster edge
        {2 * c - 5, static_cast<unsigned>(c + 10)}, // into and past the sparse run
        {3 * c + 3, static_cast<unsigned>(sectorSize * 2 + 1)},
        {fileSize - 1, 1},
    };
    for (const auto& [offset, size] : cases) {
        SCOPED_TRACE("offset " + std::to_string(offset) + " size " + std::to_string(size));
        EXPECT_EQ(ReadAt(offset, size), expected.substr(static_cast<size_t>(offset), size));
    }
    // The sparse run reads as zeros, not as the sectors before the partition.
    EXPECT_EQ(ReadAt(2 * c, static_cast<unsigned>(c)), std::string(static_cast<size_t>(c), '\0'));
}

TEST_P(FileReaderOverImage, EndOfFileAndShortRuns) {
    // At the end: nothing; across it: cut at the size.
    int err = 0;
    std::string buf(64, '\0');
    EXPECT_EQ(reader.ReadData(fileSize, buf.data(), 10, &err), 0u);
    EXPECT_EQ(ReadAt(fileSize - 10, 64), expected.substr(static_cast<size_t>(fileSize - 10)));
    EXPECT_EQ(reader.ReadData(-1, buf.data(), 10, nullptr), 0u);

    // Runs covering less than the size: the reader says how much it delivered.
    auto longer = MakeFileNode({{10, 1}}, 5 * clusterBytes);
    CFileReader shortRuns;
    ASSERT_EQ(shortRuns.Open(device.get(), longer.get(), &record), 1);
    std::string big(static_cast<size_t>(3 * clusterBytes), '\0');
    EXPECT_EQ(shortRuns.ReadData(0, big.data(), static_cast<unsigned>(big.size()), nullptr), clusterBytes);
    EXPECT_EQ(shortRuns.ReadData(2 * clusterBytes, big.data(), 10, nullptr), 0u);
}

TEST_P(FileReaderOverImage, DeviceFailureFailsTheRead) {
    device->FailSector(100 + 30 * 2 + 1);
    int err = 0;
    std::string buf(static_cast<size_t>(fileSize), '\0');
    EXPECT_EQ(reader.ReadData(0, buf.data(), static_cast<unsigned>(fileSize), &err), 0u);
    EXPECT_EQ(err, -1);
    // Bytes before the bad sector still read.
    EXPECT_EQ(ReadAt(0, static_cast<unsigned>(clusterBytes)),
              expected.substr(0, static_cast<size_t>(clusterBytes)));
}

TEST_P(FileReaderOverImage, ClonesWalkTheirOwnRuns) {
    IDataRunList* nodeRuns = node->GetDataRunList();
    nodeRuns->GetFirst();
    IFileReader* clone = reader.Clone();
    ASSERT_NE(clone, nullptr);
    std::string a(static_cast<size_t>(fileSize), '\0');
    EXPECT_EQ(clone->ReadData(0, a.data(), static_cast<unsigned>(fileSize), nullptr), fileSize);
    EXPECT_EQ(a, expected);
    EXPECT_EQ(clone->GetDataSize(), fileSize);
    clone->Release();
    // The node's own cursor did not move.
    EXPECT_FALSE(nodeRuns->IsDone());
    EXPECT_EQ(nodeRuns->GetNext()->start, -1);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, FileReaderOverImage, ::testing::Values(512u, 4096u));

TEST(FileReaderOpen, RefusesWhatItCannotRead) {
    TempDir tmp;
    ASSERT_TRUE(WriteStampedImage(tmp.file("i"), 16));
    ImageDevice device(tmp.file("i"));
    CSearchedPartitionInfo record = MakeRecord(0, 0, 1, 0, 16);
    auto node = MakeFileNode({{1, 2}}, 1000);
    CFileReader r;
    EXPECT_EQ(r.Open(nullptr, node.get(), &record), 0);
    EXPECT_EQ(r.Open(&device, nullptr, &record), 0);
    EXPECT_EQ(r.Open(&device, node.get(), nullptr), 0);
    CSearchedPartitionInfo noClusters = record;
    noClusters.m_sectorsPerCluster = 0;
    EXPECT_EQ(r.Open(&device, node.get(), &noClusters), 0);
    auto empty = MakeFileNode({{1, 2}}, 0);
    EXPECT_EQ(r.Open(&device, empty.get(), &record), 0);
    TestFileNode noRuns(1, 0, "x", false, 100);
    EXPECT_EQ(r.Open(&device, &noRuns, &record), 0);
    // An unopened reader reads nothing.
    char b[8];
    EXPECT_EQ(r.ReadData(0, b, 8, nullptr), 0u);
    EXPECT_EQ(r.GetDataSize(), 0);

    // Runs from a damaged record that overflow end the file instead of wrapping.
    auto huge = MakeFileNode({{1LL << 62, 1LL << 62}}, 1000);
    ASSERT_EQ(r.Open(&device, huge.get(), &record), 1);
    EXPECT_EQ(r.ReadData(0, b, 8, nullptr), 0u);
}

// Resident data lives in the file record; the NTFS library reads it.
TEST(FileReaderResident, ReadsThroughTheNtfsSlot) {
    TempDir tmp;
    ASSERT_TRUE(WriteStampedImage(tmp.file("i"), 16));
    ImageDevice device(tmp.file("i"));
    CSearchedPartitionInfo record = MakeRecord(0, 0, 8, 0, 16);
    TestFileNode node(1, 0, "r", false, 11);
    node.SetDataRunList(new ResidentList);
    CFileReader r;
    ASSERT_EQ(r.Open(&device, &node, &record), 1);
    char b[32] = {};
    ResetFactories();
    EXPECT_EQ(r.ReadData(0, b, 11, nullptr), 0u) << "no NTFS library, no resident data";

    const std::string value = "hello world";
    device.ResetCounters();
    Factories().ntfsResidentRead = [&](IStorageDevice*, IFileNode* n, long long offset, char* out,
                                       unsigned size) {
        return n == &node ? CopyOut(value, offset, out, size) : 0u;
    };
    EXPECT_EQ(r.ReadData(6, b, 20, nullptr), 5u);
    EXPECT_EQ(std::string(b, 5), "world");
    EXPECT_EQ(device.Reads(), 0u) << "resident data needs no cluster reads";
    ResetFactories();
}

} // namespace
} // namespace salvor::test
