// The writer's set-up, node choice, compressed-reader hooks and destination
// handling, over a stamped image.
#include "engine/writer/DataRecovery.h"
#include "engine/writer/DestinationFile.h"
#include "engine/writer/FileReader.h"
#include "engine/common/DataRunList.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/writer/WriterTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace salvor::test {
namespace {

class WriterSetup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(WriteStampedImage(tmp.file("img"), 256));
        device = std::make_unique<ImageDevice>(tmp.file("img"));
    }
    TempDir tmp;
    std::unique_ptr<ImageDevice> device;
    CDataRecovery writer;
};

TEST_F(WriterSetup, ThreeHundredPartitionsTakeTwoRequestsAndAllAreKeptByScore) {
    FakeSearcher searcher;
    searcher.fillWhenShort = true; // the first batch is filled too, and must not leak
    for (int i = 0; i < 300; ++i)
        searcher.records.push_back(MakeRecord(static_cast<std::uint16_t>(i), 0, 1, 0, 256, (i * 37) % 300));
    ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    EXPECT_EQ(searcher.asked, (std::vector<int>{256, 300}));
    const auto kept = writer.GetSearchedPartition();
    ASSERT_EQ(kept.size(), 300u);
    for (size_t i = 1; i < kept.size(); ++i)
        EXPECT_GE(kept[i - 1]->m_score, kept[i]->m_score);
    EXPECT_EQ(kept.front()->m_score, 299.0);

    // Initialising again replaces the records (the old ones are released).
    FakeSearcher few;
    few.records = {MakeRecord(0, 0, 1, 0, 256, NAN), MakeRecord(1, 0, 1, 0, 256, 2.0)};
    ASSERT_EQ(writer.Initialize(&few, device.get()), 0u);
    ASSERT_EQ(writer.GetSearchedPartition().size(), 2u);
    EXPECT_EQ(writer.GetSearchedPartition()[0]->m_partitionIndex, 1) << "a record without a score goes last";
}

TEST_F(WriterSetup, InitializeFailures) {
    FakeSearcher searcher;
    EXPECT_EQ(writer.Initialize(nullptr, device.get()), 0x10d004500000005u);
    EXPECT_EQ(writer.Initialize(&searcher, nullptr), 0x10d004500000005u);
    EXPECT_EQ(writer.Initialize(&searcher, device.get()), 0x10d004b00000d01u);

    FakeSearcher many;
    for (int i = 0; i < 300; ++i)
        many.records.push_back(MakeRecord(0, 0, 1, 0, 256));
    many.secondAnswer = 0;
    EXPECT_EQ(writer.Initialize(&many, device.get()), 0x10d005200000d01u);
    EXPECT_EQ(many.asked, (std::vector<int>{256, 300}));

    std::vector<CSearchedPartitionInfo*> none;
    EXPECT_EQ(writer.Initialize(none, nullptr), 0x10d006e00000005u);

    // The factory's writer behaves the same behind the interface.
    IDataRecovery* made = CreateDataRecoveryObj();
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->Initialize(&searcher, device.get()), 0x10d004b00000d01u);
    EXPECT_EQ(made->RecoverTo(nullptr, nullptr, 0), 0x10d010200000005u);
    made->Release();
}

TEST_F(WriterSetup, RestoredRecordsAreCopiedInTheirOrder) {
    CSearchedPartitionInfo low = MakeRecord(4, 10, 2, 0, 256, 1.0);
    CSearchedPartitionInfo high = MakeRecord(5, 20, 2, 0, 256, 8.0);
    std::vector<CSearchedPartitionInfo*> given{&low, nullptr, &high};
    ASSERT_EQ(writer.Initialize(given, device.get()), 0u);
    const auto kept = writer.GetSearchedPartition();
    ASSERT_EQ(kept.size(), 2u);
    EXPECT_NE(kept[0], &low);
    EXPECT_EQ(kept[0]->m_partitionIndex, 4);
    EXPECT_EQ(kept[0]->m_clusterOrigin, 10);
    EXPECT_EQ(kept[1]->m_partitionIndex, 5);
    EXPECT_EQ(kept[0]->GetType(), 4);
}

class WriterNodes : public WriterSetup {
protected:
    void SetUp() override {
        WriterSetup::SetUp();
        searcher.records = {MakeRecord(0, 0, 1, 0, 256, 1.0)};
        ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    }
    std::string Recover(const std::string& name, ResultCode* rc, int byteCount = 0) {
        const std::string out = tmp.file(name);
        *rc = writer.RecoverTo(out.c_str(), nullptr, byteCount);
        return ReadWholeFile(out);
    }
    FakeSearcher searcher;
};

TEST_F(WriterNodes, RefusedNodesLeaveNoReaderBehind) {
    auto good = MakeFileNode({{3, 2}}, 1024);
    IFileReader* r = writer.SetRecoverNode(good.get());
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->GetDataSize(), 1024);
    r->Release();

    TestFileNode folder(3, 1, "dir", true);
    EXPECT_EQ(writer.SetRecoverNode(&folder), nullptr);
    EXPECT_EQ(writer.SetRecoverNode(nullptr), nullptr);
    // The refused node does not get the previous file's bytes: an empty file
    // and the no-reader failure.
    ResultCode rc = 0;
    EXPECT_EQ(Recover("after-folder", &rc), "");
    EXPECT_EQ(rc, 0x10d010f00000d02u);

    // A node whose runs are missing cannot be read either.
    TestFileNode noRuns(4, 1, "x", false, 100);
    EXPECT_EQ(writer.SetRecoverNode(&noRuns), nullptr);
    // A 0-byte file has no reader: an empty file and the failure code.
    auto empty = MakeFileNode({{3, 1}}, 0);
    EXPECT_EQ(writer.SetRecoverNode(empty.get()), nullptr);
    EXPECT_EQ(Recover("empty", &rc), "");
    EXPECT_EQ(rc, 0x10d010f00000d02u);

    // No partitions at all.
    CDataRecovery fresh;
    EXPECT_EQ(fresh.SetRecoverNode(good.get()), nullptr);
}

TEST_F(WriterNodes, RunsEndingEarlyLeaveZerosNotStaleBytes) {
    // Fill the copy buffer with one file's bytes first.
    auto full = MakeFileNode({{10, 8}}, 4096);
    ASSERT_TRUE(Prepare(writer, full.get()));
    ResultCode rc = 1;
    ASSERT_EQ(Recover("full", &rc).size(), 4096u);

    // Runs covering one sector of a 2048-byte file: the rest is zeros.
    auto shortRuns = MakeFileNode({{3, 1}}, 2048);
    ASSERT_TRUE(Prepare(writer, shortRuns.get()));
    const std::string got = Recover("short", &rc);
    EXPECT_EQ(rc, 0u);
    ASSERT_EQ(got.size(), 2048u);
    EXPECT_TRUE(HasStamp(got.data(), 512, 3));
    EXPECT_TRUE(IsZero(got.data() + 512, 1536));
}

TEST_F(WriterNodes, PathProblemsAreFailures) {
    EXPECT_EQ(writer.RecoverTo(nullptr, nullptr, 0), 0x10d010200000005u);
    const std::string missingDir = tmp.file("no/such/dir/f");
    EXPECT_EQ(writer.RecoverTo(missingDir.c_str(), nullptr, 0), 0x10d010b0000000fu);
    auto node = MakeFileNode({{3, 2}}, 1000);
    ASSERT_TRUE(Prepare(writer, node.get()));
    EXPECT_EQ(writer.RecoverTo(missingDir.c_str(), nullptr, 0), 0x10d01310000000fu);
    // Folders are not created, and a folder is not a destination.
    EXPECT_EQ(writer.RecoverTo(tmp.path().c_str(), nullptr, 0), 0x10d01310000000fu);
}

TEST_F(WriterNodes, ExistingDestinations) {
    auto node = MakeFileNode({{3, 2}}, 1000);
    IFileReader* r = writer.SetRecoverNode(node.get());
    ASSERT_NE(r, nullptr);
    std::string expected(1000, '\0');
    ASSERT_EQ(r->ReadData(0, expected.data(), 1000, nullptr), 1000u);
    r->Release();

    // A regular file at the path is replaced (the caller picks unique names).
    const std::string path = tmp.file("exists");
    { std::ofstream(path) << std::string(5000, 'x'); }
    ResultCode rc = 1;
    EXPECT_EQ(Recover("exists", &rc), expected);
    EXPECT_EQ(rc, 0u);

    // A link is never followed: the file it points to stays as it was.
    const std::string victim = tmp.file("victim");
    { std::ofstream(victim) << "keep me"; }
    ASSERT_EQ(symlink(victim.c_str(), tmp.file("link").c_str()), 0);
    EXPECT_EQ(writer.RecoverTo(tmp.file("link").c_str(), nullptr, 0), 0x10d01310000000fu);
    EXPECT_EQ(ReadWholeFile(victim), "keep me");

    // Nor is a pipe written to (no reader would make the open hang).
    ASSERT_EQ(mkfifo(tmp.file("fifo").c_str(), 0600), 0);
    EXPECT_EQ(writer.RecoverTo(tmp.file("fifo").c_str(), nullptr, 0), 0x10d01310000000fu);
}

// A compressed node's own reader: records what the writer asks of it.
class FakeCompressedReader : public CFileReader, public ICompressedRecovery {
public:
    struct Log {
        int fileCalls = 0, memoryCalls = 0;
        bool answer = true, resident = false;
        std::string memoryBytes;
    };
    explicit FakeCompressedReader(Log& log) : m_log(log) {}
    IFileReader* Clone() override { return new FakeCompressedReader(m_log); }
    bool Recovery(const char* path, IProgress*, bool& resident) override {
        ++m_log.fileCalls;
        resident = m_log.resident;
        if (m_log.answer && !resident) std::ofstream(path) << "expanded";
        return m_log.answer;
    }
    bool Recovery(char* buffer, int capacity, IProgress*) override {
        ++m_log.memoryCalls;
        std::memcpy(buffer, m_log.memoryBytes.data(), std::min<size_t>(capacity, m_log.memoryBytes.size()));
        return m_log.answer;
    }

private:
    Log& m_log;
};

class CompressedNode : public TestFileNode {
public:
    CompressedNode(FakeCompressedReader::Log& log, long long size)
        : TestFileNode(7, 1, "c.bin", false, size), m_log(log) {
        SetCompressed(1);
    }
    IFileReader* CreateCompressFileReader(void* context) override {
        lastContext = context;
        return makeReader ? new FakeCompressedReader(m_log) : nullptr;
    }
    bool makeReader = true;
    void* lastContext = nullptr;

private:
    FakeCompressedReader::Log& m_log;
};

TEST_F(WriterNodes, NtfsCompressedNodesExpandThroughTheirOwnReader) {
    struct Private : IPrivateData {
        void Release() override {}
    } priv;
    searcher.records[0].m_fileSystemType = 3;
    searcher.records[0].m_privateData = &priv;
    ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);

    FakeCompressedReader::Log log;
    CompressedNode node(log, 70000);
    node.SetDataRunList(new CDataRunList);
    DataRun run{1, 200};
    node.GetDataRunList()->AddDataRun(&run);
    ASSERT_TRUE(Prepare(writer, &node));
    EXPECT_EQ(node.lastContext, &priv);

    ResultCode rc = 1;
    EXPECT_EQ(Recover("c", &rc), "expanded");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(log.fileCalls, 1);
    EXPECT_EQ(writer.RecoverTo(tmp.file("c2").c_str(), nullptr, 100), 0x10d01150000000fu);
    log.answer = false;
    EXPECT_EQ(writer.RecoverTo(tmp.file("c3").c_str(), nullptr, 0), 0x10d012100000001u);

    // Thumbnails of compressed files come from the expanded head.
    log.answer = true;
    log.memoryBytes.assign(65536, '\0');
    const std::string thumb = "\xFF\xD8\xFF\xE0" + std::string(2100, 'q') + "\xFF\xD9";
    log.memoryBytes.replace(100, thumb.size(), thumb);
    std::vector<char> out(65536);
    const unsigned n = writer.ReadSmallJPG(out.data(), 65536);
    EXPECT_EQ(std::string(out.data(), n), thumb);
    EXPECT_EQ(log.memoryCalls, 1);

    // Without a reader of its own the node cannot be recovered.
    node.makeReader = false;
    EXPECT_EQ(writer.SetRecoverNode(&node), nullptr);
}

TEST_F(WriterNodes, ResidentCompressedDataIsCopiedPlainly) {
    searcher.records[0].m_fileSystemType = 3;
    ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    FakeCompressedReader::Log log;
    log.resident = true;
    CompressedNode node(log, 5);
    node.SetDataRunList(new ResidentList);
    Factories().ntfsResidentRead = [](IStorageDevice*, IFileNode*, long long offset, char* out,
                                      unsigned size) { return CopyOut("tiny!", offset, out, size); };
    ASSERT_TRUE(Prepare(writer, &node));
    ResultCode rc = 1;
    EXPECT_EQ(Recover("resident", &rc), "tiny!");
    EXPECT_EQ(rc, 0u);
    EXPECT_EQ(log.fileCalls, 1);
    ResetFactories();
}

TEST_F(WriterNodes, OtherCompressedReadersAreUsedAsTheyCome) {
    // An HFS+ compressed file's reader expands by itself and is not opened.
    searcher.records[0].m_fileSystemType = 8;
    ASSERT_EQ(writer.Initialize(&searcher, device.get()), 0u);
    struct Expanding : IFileReader {
        unsigned ReadData(long long offset, char* buffer, unsigned size, int*) override {
            return CopyOut("decompressed", offset, buffer, size);
        }
        IFileReader* Clone() override { return new Expanding; }
        long long GetDataSize() const override { return 12; }
        int IsCompressFile() override { return 1; }
        void Release() override { delete this; }
    };
    struct HfsNode : TestFileNode {
        HfsNode() : TestFileNode(8, 1, "h", false, 12) { SetCompressed(1); }
        IFileReader* CreateCompressFileReader(void*) override { return new Expanding; }
    } node;
    ASSERT_TRUE(Prepare(writer, &node));
    ResultCode rc = 1;
    EXPECT_EQ(Recover("hfs", &rc), "decompressed");
    EXPECT_EQ(rc, 0u);
    // An explicit count is fine for them.
    EXPECT_EQ(Recover("hfs", &rc, 4), "deco");
}

TEST(JpegScan, EmbeddedStreamBounds) {
    std::vector<char> head(65536, '\0');
    std::memcpy(head.data(), "\xFF\xD8\xFF\xE1", 4);
    // An end marker within 2000 bytes of the start is skipped over.
    const std::string thumb =
        "\xFF\xD8\xFF\xDB" + std::string(10, 'a') + "\xFF\xD9" + std::string(2500, 'b') + "\xFF\xD9";
    std::memcpy(head.data() + 30, thumb.data(), thumb.size());
    TempDir tmp;
    // Through the writer: an image whose sectors hold head, then more.
    const std::string img = tmp.file("img");
    {
        std::ofstream f(img, std::ios::binary);
        f.write(head.data(), static_cast<std::streamsize>(head.size()));
        f << std::string(65536, 'z');
    }
    ImageDevice device(img);
    FakeSearcher searcher;
    searcher.records = {MakeRecord(0, 0, 8, 0, 256)};
    CDataRecovery writer;
    ASSERT_EQ(writer.Initialize(&searcher, &device), 0u);
    auto node = MakeFileNode({{0, 32}}, 131072);
    ASSERT_TRUE(Prepare(writer, node.get()));
    std::vector<char> out(70000);
    const unsigned n = writer.ReadSmallJPG(out.data(), static_cast<unsigned>(out.size()));
    EXPECT_EQ(std::string(out.data(), n), thumb);
    EXPECT_EQ(writer.ReadSmallJPG(nullptr, 70000), 0u);
    EXPECT_EQ(writer.ReadSmallJPG(out.data(), 0), 0u);
}

} // namespace
} // namespace salvor::test
