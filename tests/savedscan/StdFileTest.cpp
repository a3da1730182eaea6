#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "savedscan/StdFile.h"
#include "tests/savedscan/FileHelpers.h"

namespace {

mode_t PermissionBits(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

std::vector<std::uint8_t> Pattern(std::size_t n) {
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return v;
}

// A signal handler installed without SA_RESTART, so a blocked read or write
// returns EINTR (or a partial count) when the signal arrives.
void NoOp(int) {}

struct InterruptingSignal {
    struct sigaction old {};
    InterruptingSignal() {
        struct sigaction sa {};
        sa.sa_handler = NoOp;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        ::sigaction(SIGUSR1, &sa, &old);
    }
    ~InterruptingSignal() { ::sigaction(SIGUSR1, &old, nullptr); }
};

} // namespace

TEST(StdFileTest, NotOpenAnswersQuietly) {
    CStdFile f;
    std::uint8_t b[4] = {};
    long long v = 5;
    EXPECT_FALSE(f.IsOpen());
    EXPECT_EQ(f.Read(b, 4), 0);
    EXPECT_FALSE(f.Write(b, 4));
    EXPECT_EQ(f.GetPosition(), 0);
    EXPECT_FALSE(f.GetPosistion(&v));
    EXPECT_FALSE(f.GetFileLength(&v));
    EXPECT_EQ(f.SeekToEnd(), -1);
    EXPECT_EQ(f.ReadLine(b, 3), 0u);
}

TEST(StdFileTest, OpenRefusesUnknownModeAndMissingFile) {
    TempDir dir;
    CStdFile f;
    EXPECT_FALSE(f.Open(dir.file("a").c_str(), static_cast<CStdFile::OpenMode>(5)));
    EXPECT_FALSE(f.Open(dir.file("missing").c_str(), CStdFile::modeRead));
    EXPECT_FALSE(f.IsOpen());
    EXPECT_FALSE(f.Open(nullptr, CStdFile::modeRead));
    EXPECT_FALSE(f.Open((dir.file("no-such-dir") + "/x").c_str(), CStdFile::modeCreateTruncate));
}

TEST(StdFileTest, DescriptorZeroCountsAsOpen) {
    // With standard input closed (as under some CI runners) the next open
    // gets descriptor 0; the file must still count as open.
    TempDir dir;
    const std::string path = dir.file("zero");
    WriteAll(path, {1, 2, 3});
    const int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    ::close(0);
    {
        CStdFile f;
        const bool opened = f.Open(path.c_str(), CStdFile::modeRead);
        const int fd = FindOpenDescriptor(path);
        std::uint8_t b[3] = {};
        const auto got = f.Read(b, 3);
        f.Close();
        ::dup2(saved, 0);
        ::close(saved);
        EXPECT_TRUE(opened);
        EXPECT_EQ(fd, 0);
        EXPECT_EQ(got, 3);
        EXPECT_EQ(b[2], 3);
    }
}

TEST(StdFileTest, PermissionsOnlyForFilesCreatedForWriting) {
    TempDir dir;
    const mode_t oldMask = ::umask(022);
    const std::string fresh = dir.file("fresh.rsf");
    {
        CStdFile f(fresh.c_str(), CStdFile::modeCreateTruncate);
        ASSERT_TRUE(f.IsOpen());
    }
    EXPECT_EQ(PermissionBits(fresh), 0666u);

    const std::string existing = dir.file("existing.rsf");
    WriteAll(existing, {1});
    ::chmod(existing.c_str(), 0600);
    for (auto mode : {CStdFile::modeRead, CStdFile::modeReadWriteCreate, CStdFile::modeCreateTruncate}) {
        CStdFile f(existing.c_str(), mode);
        ASSERT_TRUE(f.IsOpen());
        f.Close();
        EXPECT_EQ(PermissionBits(existing), 0600u) << "mode " << mode;
    }
    ::umask(oldMask);
}

TEST(StdFileTest, DescriptorIsCloseOnExec) {
    TempDir dir;
    const std::string path = dir.file("cloexec");
    for (auto mode : {CStdFile::modeCreateTruncate, CStdFile::modeRead}) {
        CStdFile f(path.c_str(), mode);
        const int fd = FindOpenDescriptor(path);
        ASSERT_GE(fd, 0);
        EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
    }
}

TEST(StdFileTest, TruncateModeEmptiesAndCreateModeKeeps) {
    TempDir dir;
    const std::string path = dir.file("t");
    WriteAll(path, {1, 2, 3, 4});
    long long len = -1;
    {
        CStdFile f(path.c_str(), CStdFile::modeReadWriteCreate);
        ASSERT_TRUE(f.GetFileLength(&len));
        EXPECT_EQ(len, 4);
    }
    {
        CStdFile f(path.c_str(), CStdFile::modeCreateTruncate);
        ASSERT_TRUE(f.GetFileLength(&len));
        EXPECT_EQ(len, 0);
    }
}

TEST(StdFileTest, PositionsAndShortReadAtEnd) {
    TempDir dir;
    const std::string path = dir.file("pos");
    const auto data = Pattern(1000);
    CStdFile f(path.c_str(), CStdFile::modeCreateTruncate);
    ASSERT_TRUE(f.Write(data.data(), 1000));
    EXPECT_EQ(f.GetPosition(), 1000);
    f.SeekToBegin();
    long long pos = -1;
    ASSERT_TRUE(f.GetPosistion(&pos));
    EXPECT_EQ(pos, 0);
    ASSERT_TRUE(f.Seek(990));
    std::vector<std::uint8_t> b(50, 0xAA);
    EXPECT_EQ(f.Read(b.data(), 50), 10);
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 10, data.begin() + 990));
    EXPECT_EQ(b[10], 0xAA);
    EXPECT_EQ(f.Read(b.data(), 50), 0);
    EXPECT_EQ(f.SeekToEnd(), 1000);
    EXPECT_EQ(f.ReadAt(100, b.data(), 20), 20);
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 20, data.begin() + 100));
    EXPECT_EQ(f.GetPosition(), 1000); // positioned reads leave the position alone
    EXPECT_TRUE(f.WriteAt(2000, data.data(), 4));
    long long len = 0;
    ASSERT_TRUE(f.GetFileLength(&len));
    EXPECT_EQ(len, 2004);
}

TEST(StdFileTest, ReadLineAndWriteLine) {
    TempDir dir;
    const std::string path = dir.file("lines");
    {
        CStdFile f(path.c_str(), CStdFile::modeCreateTruncate);
        EXPECT_TRUE(f.WriteLine("one", 3));
        EXPECT_TRUE(f.WriteLine("two\r\n", 5));
        EXPECT_TRUE(f.WriteLine("x", 0));
        EXPECT_TRUE(f.Write("tail", 4));
    }
    const auto bytes = ReadAll(path);
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "one\r\ntwo\r\ntail");

    CStdFile f(path.c_str(), CStdFile::modeRead);
    char buf[16];
    ASSERT_EQ(f.ReadLine(buf, 15), 5u);
    EXPECT_STREQ(buf, "one\r\n");
    ASSERT_EQ(f.ReadLine(buf, 3), 3u); // stops at the size, terminated after it
    EXPECT_STREQ(buf, "two");
    ASSERT_EQ(f.ReadLine(buf, 15), 2u);
    EXPECT_STREQ(buf, "\r\n");
    ASSERT_EQ(f.ReadLine(buf, 15), 4u); // last line without a line feed
    EXPECT_STREQ(buf, "tail");
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(f.ReadLine(buf, 15), 0u);
    EXPECT_EQ(buf[0], 'z');
}

// A pipe hands data over in pieces, and signals interrupt the blocked side;
// both ends must still move every byte.
class StdFilePipeTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0); }
    TempDir dir;
    std::string fifo = dir.file("fifo");
    InterruptingSignal handler;
};

TEST_F(StdFilePipeTest, ReadCollectsPiecesAcrossSignals) {
    const auto data = Pattern(3 * 1024 * 1024 + 17);

    std::atomic<bool> done{false};
    const pthread_t readerThread = ::pthread_self();
    std::vector<std::uint8_t> got(data.size() + 100, 0);
    std::int64_t count = -2;

    std::thread writer([&] {
        CStdFile out(fifo.c_str(), CStdFile::modeReadWrite);
        ASSERT_TRUE(out.IsOpen());
        // Small pieces with pauses: the reader sees many partial reads.
        std::size_t off = 0;
        int piece = 0;
        while (off < data.size()) {
            const unsigned n = static_cast<unsigned>(std::min<std::size_t>(data.size() - off, 40000 + piece * 997));
            ASSERT_TRUE(out.Write(data.data() + off, n));
            off += n;
            if (++piece % 8 == 0) {
                ::pthread_kill(readerThread, SIGUSR1);
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        while (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });

    CStdFile in(fifo.c_str(), CStdFile::modeRead);
    ASSERT_TRUE(in.IsOpen());
    count = in.Read(got.data(), static_cast<unsigned>(data.size()));
    done = true;
    writer.join();
    EXPECT_EQ(count, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
}

TEST_F(StdFilePipeTest, BlockedWriteIsResumedAfterSignals) {
    const auto data = Pattern(2 * 1024 * 1024 + 5);
    std::vector<std::uint8_t> got;
    std::atomic<bool> writing{true};
    const pthread_t writerThread = ::pthread_self();

    std::thread reader([&] {
        CStdFile in(fifo.c_str(), CStdFile::modeRead);
        std::vector<std::uint8_t> piece(30000);
        for (;;) {
            // Interrupt the writer while it waits for room in the pipe.
            if (writing.load())
                ::pthread_kill(writerThread, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(300));
            const auto n = in.Read(piece.data(), static_cast<unsigned>(piece.size()));
            if (n <= 0)
                break;
            got.insert(got.end(), piece.begin(), piece.begin() + n);
        }
    });
    {
        CStdFile out(fifo.c_str(), CStdFile::modeReadWrite);
        EXPECT_TRUE(out.Write(data.data(), static_cast<unsigned>(data.size())));
        writing = false;
    } // closing the write end ends the reader
    reader.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data);
}
