// Recovering files of a real FAT image: byte-exact copies, partial and stopped
// copies, read and write failures, file times, thumbnails.
#include "engine/writer/DataRecovery.h"
#include "engine/writer/FileTimes.h"
#include "tests/engine/writer/WriterTestSupport.h"
#include "tests/support/Fixture.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <csignal>
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
    }

    FatVolume fat;
    FakeSearcher searcher;
    CDataRecovery writer;
    TempDir tmp;
    std::string big;
};

TEST_F(RecoverFat, WholeFileIsByteIdenticalWithOneRecordPerChunk) {
    ASSERT_GE(fat.runs["BIG.BIN"].size(), 2u) << "the fixture's big file should be fragmented";
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    RecordingProgress sink;
    const std::string out = tmp.file("BIG.BIN");
    EXPECT_EQ(writer.RecoverTo(out.c_str(), &sink, 0), 0u);
    EXPECT_EQ(Sha256File(out), Sha256File(fat.dir + "/big.bin"));

    const auto reports = sink.Reports();
    ASSERT_EQ(reports.size(), 4u);
    const std::uint64_t currents[] = {0, 4 * MiB, 8 * MiB, 10 * MiB};
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].state, PROGRESS_RUNNING);
        EXPECT_EQ(reports[i].total, static_cast<std::uint64_t>(10 * MiB));
        EXPECT_EQ(reports[i].current, currents[i]);
        EXPECT_EQ(reports[i].result, 0u);
    }

    // A file shorter than one cluster, and the same writer used again.
    auto small = fat.Node("SMALL.BIN", "small.bin");
    ASSERT_TRUE(Prepare(writer, small.get()));
    const std::string out2 = tmp.file("SMALL.BIN");
    EXPECT_EQ(writer.RecoverTo(out2.c_str(), nullptr, 0), 0u);
    EXPECT_EQ(ReadWholeFile(out2), ReadWholeFile(fat.dir + "/small.bin"));
}

TEST_F(RecoverFat, ByteCountWritesExactlyThatManyBytes) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    const std::string out = tmp.file("head");
    EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 65536), 0u);
    EXPECT_EQ(ReadWholeFile(out), big.substr(0, 65536));

    // A count beyond the file gives the file and nothing after it.
    auto small = fat.Node("SMALL.BIN", "small.bin");
    ASSERT_TRUE(Prepare(writer, small.get()));
    EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 65536), 0u);
    EXPECT_EQ(ReadWholeFile(out), ReadWholeFile(fat.dir + "/small.bin"));
}

TEST_F(RecoverFat, StopAfterFirstChunkLeavesNothingAndAnswersZero) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    RecordingProgress sink;
    sink.StopAfter(2); // the record before the copy and the one after chunk 1
    const std::string out = tmp.file("stopped");
    EXPECT_EQ(writer.RecoverTo(out.c_str(), &sink, 0), 0u);
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path()));
}

TEST_F(RecoverFat, ReadFailureLeavesAHoleAtItsPlace) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    fat.device->FailSector(fat.SectorOf("BIG.BIN", 5 * MiB + 1000));
    const std::string out = tmp.file("holed");
    EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 0), 0u);
    const std::string got = ReadWholeFile(out);
    ASSERT_EQ(got.size(), big.size());
    EXPECT_EQ(got.substr(0, 4 * MiB), big.substr(0, 4 * MiB));
    EXPECT_EQ(got.substr(4 * MiB, 4 * MiB), std::string(4 * MiB, '\0'));
    EXPECT_EQ(got.substr(8 * MiB), big.substr(8 * MiB));

    // A failure in the last chunk leaves the file that much shorter.
    fat.device->ClearFailures();
    fat.device->FailSector(fat.SectorOf("BIG.BIN", 9 * MiB));
    EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 0), 0u);
    EXPECT_EQ(ReadWholeFile(out), big.substr(0, 8 * MiB));
}

TEST_F(RecoverFat, FullDestinationGivesTheWriteFailureWithoutHanging) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    RecordingProgress sink;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(writer.RecoverTo("/dev/full", &sink, 0), WriterResult::WriteFailed);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_EQ(sink.Last().result, WriterResult::WriteFailed);
    // One record per failed attempt after the first record: the retries are bounded.
    EXPECT_EQ(sink.Count(), 1u + CDataRecovery::kWriteAttempts);

    // Without a sink the retries end the same way.
    EXPECT_EQ(writer.RecoverTo("/dev/full", nullptr, 0), WriterResult::WriteFailed);

    // A stop asked while the writes fail answers 0.
    RecordingProgress stopping;
    stopping.StopAfter(2);
    EXPECT_EQ(writer.RecoverTo("/dev/full", &stopping, 0), 0u);
}

// The file system fills up in the middle of a chunk: the copy fails and
// leaves nothing behind.
TEST_F(RecoverFat, FileSystemFillingUpMidChunkLeavesNothing) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    ASSERT_TRUE(Prepare(writer, node.get()));
    const std::string out = tmp.file("full");
    const long long limit = 6 * MiB + 12345;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A file-size limit behaves like a full disk for this one file.
        std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit lim {
            static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)
        };
        setrlimit(RLIMIT_FSIZE, &lim);
        const ResultCode rc = writer.RecoverTo(out.c_str(), nullptr, 0);
        _exit(rc == WriterResult::WriteFailed ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the copy did not answer the write-failure code";
    EXPECT_TRUE(std::filesystem::is_empty(tmp.path())) << "a cut-short file was left";
}

TEST_F(RecoverFat, FileAndFolderTimesComeFromTheNodes) {
    // 2045-06-01 00:00:00 UTC: past the end of a 32-bit count since 1904.
    const std::int64_t fileSeconds = 2379974400;
    const std::int64_t parentSeconds = 1000000000;
    const std::int64_t grandSeconds = 1200000000;
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

    const std::string top = tmp.file("FAT_0001");
    std::filesystem::create_directories(top + "/Docs");
    const std::string out = top + "/Docs/SMALL.BIN";
    ASSERT_TRUE(Prepare(writer, node.get()));
    EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 0), 0u);
    auto mtime = [](const std::string& p) {
        struct stat st {};
        return stat(p.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_mtim.tv_sec) : -1;
    };
    EXPECT_EQ(mtime(out), fileSeconds);
    EXPECT_EQ(mtime(top + "/Docs"), parentSeconds);
    EXPECT_EQ(mtime(top), grandSeconds);

    // The root has no parent: the walk stops there, tmp keeps its time.
    EXPECT_NE(mtime(tmp.path()), grandSeconds);
    parent.RemoveChild(node.get());
    grand.RemoveChild(&parent);

    // A node without a creation time changes no times, even after one with.
    auto plain = fat.Node("SMALL.BIN", "small.bin");
    ASSERT_TRUE(Prepare(writer, plain.get()));
    const std::string out2 = tmp.file("untimed");
    EXPECT_EQ(writer.RecoverTo(out2.c_str(), nullptr, 0), 0u);
    EXPECT_LT(std::llabs(mtime(out2) - static_cast<std::int64_t>(time(nullptr))), 86400);
}

TEST_F(RecoverFat, ReadersOfOneNodeOnTwoThreadsDoNotShareACursor) {
    auto node = fat.Node("BIG.BIN", "big.bin");
    IFileReader* preview = writer.SetRecoverNode(node.get());
    ASSERT_NE(preview, nullptr);
    const std::string out = tmp.file("parallel");
    std::string previewBad;
    std::thread reader([&] {
        std::vector<char> buf(300000);
        for (int round = 0; round < 40 && previewBad.empty(); ++round) {
            // Offsets in the second run, so every read walks past the first.
            const long long offset = 9 * MiB + round * 1000;
            const unsigned got =
                preview->ReadData(offset, buf.data(), static_cast<unsigned>(buf.size()), nullptr);
            if (got != buf.size() || std::string(buf.data(), got) != big.substr(offset, got))
                previewBad = "wrong bytes at " + std::to_string(offset);
        }
    });
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(writer.RecoverTo(out.c_str(), nullptr, 0), 0u);
    reader.join();
    preview->Release();
    EXPECT_EQ(previewBad, "");
    EXPECT_EQ(Sha256File(out), Sha256File(fat.dir + "/big.bin"));
}

TEST_F(RecoverFat, SmallJpgGivesTheEmbeddedThumbnail) {
    std::vector<char> out(65536);
    auto thumb = fat.Node("THUMB.JPG", "thumb.jpg");
    ASSERT_TRUE(Prepare(writer, thumb.get()));
    const unsigned n = writer.ReadSmallJPG(out.data(), static_cast<unsigned>(out.size()));
    EXPECT_EQ(std::string(out.data(), n), ReadWholeFile(fat.dir + "/t.jpg"));
    // A capacity under 64 KiB is refused.
    EXPECT_EQ(writer.ReadSmallJPG(out.data(), 65535), 0u);

    auto plain = fat.Node("PLAIN.JPG", "plain.jpg");
    ASSERT_TRUE(Prepare(writer, plain.get()));
    EXPECT_EQ(writer.ReadSmallJPG(out.data(), static_cast<unsigned>(out.size())), 0u);

    // A file under 64 KiB has no room for the scan.
    auto small = fat.Node("SMALL.BIN", "small.bin");
    ASSERT_TRUE(Prepare(writer, small.get()));
    EXPECT_EQ(writer.ReadSmallJPG(out.data(), static_cast<unsigned>(out.size())), 0u);
}

} // namespace
} // namespace salvor::test
