// Recovering files of a real FAT image: byte-exact copies, partial and stopped
// copies, read and write failures, file times, thumbnails.
#include "engine/writer/DataRecovery.h"
#include "tests/engine/writer/WriterTestSupport.h"
#include "tests/support/GoneAtTheEnd.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace salvor::test {
namespace {

constexpr long long MiB = 1024 * 1024;

class RecoverFat : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(fat.Load());
        searcher.records = {fat.record};
        ASSERT_EQ(writer.Initialize(&searcher, fat.device.get()), 0u);
        writer.SetWriteRetryDelayMs(1);
        big = ReadWholeFile(fat.dir + "/big.bin");
        ASSERT_EQ(big.size(), static_cast<size_t>(10 * MiB));
        ASSERT_GE(fat.runs["BIG.BIN"].size(), 2u) << "the fixture's big file should be fragmented";
        bigNode = fat.Node("BIG.BIN", "big.bin");
    }
    // Recovers the node (the big file by default) to a file of tmp; its bytes.
    std::string Recover(const std::string& name, ResultCode expected = 0, IProgress* sink = nullptr,
                        int byteCount = 0, IFileNode* node = nullptr) {
        EXPECT_TRUE(Prepare(writer, node ? node : bigNode.get()));
        EXPECT_EQ(writer.RecoverTo(tmp.file(name).c_str(), sink, byteCount), expected);
        return ReadWholeFile(tmp.file(name));
    }
    // Equal bytes; a failure names the sizes and the first difference, not the bytes.
    static ::testing::AssertionResult Same(const std::string& got, const std::string& want) {
        if (got == want) return ::testing::AssertionSuccess();
        const size_t n = std::min(got.size(), want.size());
        const size_t at = std::mismatch(got.begin(), got.begin() + n, want.begin()).first - got.begin();
        return ::testing::AssertionFailure() << got.size() << " bytes for " << want.size() << ", first difference at "
                                             << at;
    }
    static std::int64_t Mtime(const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : -1;
    }

    FatVolume fat;
    FakeSearcher searcher;
    CDataRecovery writer;
    TempDir tmp;
    std::string big;
    std::unique_ptr<TestFileNode> bigNode;
};

TEST_F(RecoverFat, WholeFileIsByteIdenticalWithOneRecordPerChunk) {
    RecordingProgress sink;
    Recover("BIG.BIN", 0, &sink);
    EXPECT_EQ(Sha256File(tmp.file("BIG.BIN")), Sha256File(fat.dir + "/big.bin"));
    std::vector<std::tuple<std::uint32_t, std::uint64_t, std::uint64_t, std::uint64_t>> got, want;
    for (const auto& r : sink.Reports()) got.emplace_back(r.state, r.total, r.current, r.result);
    for (long long current : {0LL, 4 * MiB, 8 * MiB, 10 * MiB}) want.emplace_back(PROGRESS_RUNNING, 10 * MiB, current, 0);
    EXPECT_EQ(got, want);
    // A file shorter than one cluster, and the same writer used again.
    auto small = fat.Node("SMALL.BIN", "small.bin");
    EXPECT_EQ(Recover("SMALL.BIN", 0, nullptr, 0, small.get()), ReadWholeFile(fat.dir + "/small.bin"));
}

TEST_F(RecoverFat, ByteCountWritesExactlyThatManyBytesAndAStopAfterTheFirstChunkLeavesNothing) {
    EXPECT_TRUE(Same(Recover("head", 0, nullptr, 65536), big.substr(0, 65536)));
    // A count beyond the file gives the file and nothing after it.
    auto small = fat.Node("SMALL.BIN", "small.bin");
    EXPECT_EQ(Recover("head", 0, nullptr, 65536, small.get()), ReadWholeFile(fat.dir + "/small.bin"));

    RecordingProgress sink;
    sink.StopAfter(2); // the record before the copy and the one after chunk 1
    EXPECT_EQ(Recover("stopped", 0, &sink), "");
    EXPECT_FALSE(std::filesystem::exists(tmp.file("stopped"))) << "a stopped copy leaves nothing";
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp.path()), {}), 1) << "only the first copy stays";
}

// Only the sectors that fail are zeros, at their place: the rest of their
// chunk is read around them and kept, and the file is told damaged. A
// failed chunk costs two reads for each stretch of more than one sector that
// failed, halved from the chunk down (13 halvings in a 4 MiB chunk, 12 in
// the last 2 MiB), and at most 1024 stretches for a file.
TEST_F(RecoverFat, ReadFailureLeavesAHoleAtItsPlaceAndTheFileIsToldDamaged) {
    Recover("whole");
    const unsigned long long whole = fat.device->Reads();
    const struct {
        long long at, sectors;
        unsigned long long reads; // beside those of the whole copy
    } rows[] = {{5 * MiB + 1000, 1, 2 * 13},
                // 140 stretches of 2 sectors or more meet [2049, 2177) of the chunk
                {5 * MiB + 1000, 128, 2 * 140},
                {9 * MiB, 1, 2 * 12},
                {10 * MiB - 512, 1, 2 * 12},
                // 2049 stretches meet the bad MiB: the bound is reached inside
                // it, the rest of the chunk is read.
                {5 * MiB, 2048, 2 * 1024}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::to_string(row.at) + " +" + std::to_string(row.sectors));
        fat.device->ClearFailures();
        const long long from = row.at / 512 * 512, length = row.sectors * 512;
        for (long long at = from; at < from + length; at += 512) fat.device->FailSector(fat.SectorOf("BIG.BIN", at));
        fat.device->ResetCounters();
        EXPECT_TRUE(Same(Recover("holed", WriterResult::Unreadable),
                         big.substr(0, from) + std::string(length, '\0') + big.substr(from + length)));
        EXPECT_EQ(fat.device->Reads() - whole, row.reads);
    }
    fat.device->ClearFailures();
    // The device gone while a failed chunk is narrowed: nothing more is
    // asked of it, and the copy is not kept.
    fat.device->FailSector(fat.SectorOf("BIG.BIN", 5 * MiB + 512));
    SilentUntilAsked gone(fat.device.get());
    ASSERT_EQ(writer.Initialize(&searcher, &gone), 0u);
    const long long half = fat.SectorOf("BIG.BIN", 4 * MiB);
    fat.device->SetReadHook([&](long long first, long long count) {
        if (first == half && count == 4096) gone.Silence();
    });
    EXPECT_EQ(Recover("gone", WriterResult::DeviceGone), "");
    EXPECT_LE(gone.Asked(), 8u) << "the chunks before, the failed one and its two halves";
    fat.device->SetReadHook(nullptr);
    fat.device->ClearFailures();
}

TEST_F(RecoverFat, FullDestinationGivesTheWriteFailureWithoutHanging) {
    ASSERT_TRUE(Prepare(writer, bigNode.get()));
    RecordingProgress sink;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.RecoverTo("/dev/full", &sink, 0), WriterResult::WriteFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(sink.Last().result, WriterResult::WriteFailed);
    // One record per failed attempt after the first record: the retries are bounded.
    EXPECT_EQ(sink.Count(), 1u + CDataRecovery::kWriteAttempts);
    EXPECT_EQ(writer.RecoverTo("/dev/full", nullptr, 0), WriterResult::WriteFailed) << "without a sink too";
    RecordingProgress stopping;
    stopping.StopAfter(2);
    EXPECT_EQ(writer.RecoverTo("/dev/full", &stopping, 0), 0u) << "a stop asked while the writes fail";
}

// The file system fills up in the middle of a chunk: the copy fails and
// leaves nothing behind.
TEST_F(RecoverFat, FileSystemFillingUpMidChunkLeavesNothing) {
    ASSERT_TRUE(Prepare(writer, bigNode.get()));
    const std::string out = tmp.file("full");
    const long long limit = 6 * MiB + 12345;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit behaves like a full disk for this one file.
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lim{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
        setrlimit(RLIMIT_FSIZE, &lim);
        _exit(writer.RecoverTo(out.c_str(), nullptr, 0) == WriterResult::WriteFailed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the copy did not answer the write-failure code";
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "a cut-short file was left";
}

TEST_F(RecoverFat, FileAndFolderTimesComeFromTheNodes) {
    // 2045-06-01 00:00:00 UTC: past the end of a 32-bit count since 1904.
    const std::int64_t fileSeconds = 2379974400, parentSeconds = 1000000000, grandSeconds = 1200000000;
    auto toFileTime = [](std::int64_t s) {
        return _FILETIME::From(static_cast<std::uint64_t>(s + 11644473600LL) * 10000000ULL);
    };
    TestFileNode grand(1, -1, "Root", true), parent(2, 1, "Docs", true);
    grand.m_created = toFileTime(grandSeconds);
    parent.m_created = toFileTime(parentSeconds);
    ASSERT_EQ(grand.AddChild(&parent), 1);
    auto node = fat.Node("SMALL.BIN", "small.bin");
    node->m_created = toFileTime(fileSeconds);
    ASSERT_EQ(parent.AddChild(node.get()), 1);

    std::filesystem::create_directories(tmp.file("FAT_0001/Docs"));
    Recover("FAT_0001/Docs/SMALL.BIN", 0, nullptr, 0, node.get());
    EXPECT_EQ(Mtime(tmp.file("FAT_0001/Docs/SMALL.BIN")), fileSeconds);
    EXPECT_EQ(Mtime(tmp.file("FAT_0001/Docs")), parentSeconds);
    EXPECT_EQ(Mtime(tmp.file("FAT_0001")), grandSeconds);
    EXPECT_NE(Mtime(tmp.path()), grandSeconds) << "the root has no parent: the walk stops there";
    parent.RemoveChild(node.get());
    grand.RemoveChild(&parent);

    // A node without a creation time changes no times, even after one with.
    auto plain = fat.Node("SMALL.BIN", "small.bin");
    Recover("untimed", 0, nullptr, 0, plain.get());
    EXPECT_LT(std::llabs(Mtime(tmp.file("untimed")) - static_cast<std::int64_t>(time(nullptr))), 86400);
}

TEST_F(RecoverFat, ReadersOfOneNodeOnTwoThreadsDoNotShareACursor) {
    IFileReader* preview = writer.SetRecoverNode(bigNode.get());
    ASSERT_NE(preview, nullptr);
    std::string previewBad;
    std::thread reader([&] {
        std::vector<char> buf(300000);
        for (int round = 0; round < 40 && previewBad.empty(); ++round) {
            // Offsets in the second run, so every read walks past the first.
            const long long offset = 9 * MiB + round * 1000;
            const unsigned got = preview->ReadData(offset, buf.data(), static_cast<unsigned>(buf.size()), nullptr);
            if (got != buf.size() || std::string(buf.data(), got) != big.substr(offset, got))
                previewBad = "wrong bytes at " + std::to_string(offset);
        }
    });
    for (int i = 0; i < 3; ++i) EXPECT_EQ(writer.RecoverTo(tmp.file("parallel").c_str(), nullptr, 0), 0u);
    reader.join();
    preview->Release();
    EXPECT_EQ(previewBad, "");
    EXPECT_EQ(Sha256File(tmp.file("parallel")), Sha256File(fat.dir + "/big.bin"));
}

TEST_F(RecoverFat, SmallJpgGivesTheEmbeddedThumbnail) {
    std::vector<char> out(65536);
    const struct {
        const char *name, *original, *thumbnail;
    } cases[] = {{"THUMB.JPG", "thumb.jpg", "t.jpg"},
                 {"PLAIN.JPG", "plain.jpg", nullptr},
                 {"SMALL.BIN", "small.bin", nullptr}}; // under 64 KiB: no room for the scan
    for (const auto& c : cases) {
        auto node = fat.Node(c.name, c.original);
        ASSERT_TRUE(Prepare(writer, node.get()));
        const std::string thumb = c.thumbnail ? ReadWholeFile(fat.dir + "/" + c.thumbnail) : "";
        EXPECT_EQ(std::string(out.data(), writer.ReadSmallJPG(out.data(), 65536)), thumb) << c.name;
        EXPECT_EQ(writer.ReadSmallJPG(out.data(), 65535), 0u) << "a capacity under 64 KiB is refused";
    }
}

} // namespace
} // namespace salvor::test
