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

#include "savedscan/StdFile.h"
#include "tests/savedscan/FileHelpers.h"

namespace {

mode_t PermissionBits(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
}

bool CloseOnExec(const std::string& path) {
    const int fd = FindOpenDescriptor(path);
    return fd >= 0 && (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

} // namespace

TEST(StdFileTest, RefusalsAndAnswersWhenNotOpen) {
    TempDir dir;
    CStdFile f;
    EXPECT_FALSE(f.Open(dir.file("a").c_str(), static_cast<CStdFile::OpenMode>(6)));
    EXPECT_FALSE(f.Open(dir.file("missing").c_str(), CStdFile::modeRead));
    EXPECT_FALSE(f.Open(nullptr, CStdFile::modeRead));
    EXPECT_FALSE(f.Open((dir.file("no-such-dir") + "/x").c_str(), CStdFile::modeCreateTruncate));
    EXPECT_FALSE(f.IsOpen());
    std::uint8_t b[4] = {};
    long long v = 5;
    EXPECT_EQ(f.Read(b, 4), 0);
    EXPECT_FALSE(f.Write(b, 4));
    EXPECT_EQ(f.GetPosition(), 0);
    EXPECT_FALSE(f.GetPosistion(&v));
    EXPECT_FALSE(f.GetFileLength(&v));
    EXPECT_EQ(f.SeekToEnd(), -1);
    EXPECT_EQ(f.ReadLine(b, 3), 0u);

    // A descriptor lost behind the file's back: sync and close say so.
    CStdFile g(dir.file("g").c_str(), CStdFile::modeCreateTruncate);
    ASSERT_TRUE(g.IsOpen());
    ::close(FindOpenDescriptor(dir.file("g")));
    EXPECT_FALSE(g.Sync());
    EXPECT_FALSE(g.Close());
    EXPECT_TRUE(g.Close()); // nothing open any more
}

TEST(StdFileTest, DescriptorZeroCountsAsOpen) {
    // With standard input closed (as under some CI runners) the next open gets
    // descriptor 0; the file must still count as open.
    TempDir dir;
    const std::string path = dir.file("zero");
    WriteAll(path, {1, 2, 3});
    const int saved = ::dup(0);
    ASSERT_GE(saved, 0);
    ::close(0);
    CStdFile f;
    const bool opened = f.Open(path.c_str(), CStdFile::modeRead) && f.IsOpen();
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

TEST(StdFileTest, ModesPermissionsAndCloseOnExec) {
    // 0666 less the umask for a file created for writing; existing files keep their bits
    // and (but for mode 3) their contents; mode 5 opens none; every descriptor is
    // close-on-exec.
    TempDir dir;
    const mode_t oldMask = ::umask(022);
    const std::string fresh = dir.file("fresh.rsf"), existing = dir.file("existing.rsf");
    for (const auto mode : {CStdFile::modeCreateTruncate, CStdFile::modeCreateNew}) {
        ::unlink(fresh.c_str());
        {
            CStdFile f(fresh.c_str(), mode);
            ASSERT_TRUE(f.IsOpen());
            EXPECT_TRUE(CloseOnExec(fresh));
        }
        EXPECT_EQ(PermissionBits(fresh), 0644u);
        EXPECT_FALSE(CStdFile(fresh.c_str(), CStdFile::modeCreateNew).IsOpen());
        ::symlink("missing", dir.file("link").c_str());
        EXPECT_FALSE(CStdFile(dir.file("link").c_str(), CStdFile::modeCreateNew).IsOpen());
    }
    WriteAll(existing, {1, 2, 3, 4});
    ::chmod(existing.c_str(), 0600);
    const std::pair<CStdFile::OpenMode, long long> modes[] = {
        {CStdFile::modeRead, 4}, {CStdFile::modeReadWriteCreate, 4}, {CStdFile::modeCreateTruncate, 0}};
    for (const auto& [mode, length] : modes) {
        CStdFile f(existing.c_str(), mode);
        long long len = -1;
        ASSERT_TRUE(f.GetFileLength(&len)) << mode;
        EXPECT_EQ(len, length) << mode;
        EXPECT_TRUE(CloseOnExec(existing)) << mode;
        f.Close();
        EXPECT_EQ(PermissionBits(existing), 0600u) << mode;
    }
    ::umask(oldMask);
}

TEST(StdFileTest, PositionsAndShortReadAtEnd) {
    TempDir dir;
    const std::string path = dir.file("pos");
    const auto data = Bytes(1000, 1);
    CStdFile f(path.c_str(), CStdFile::modeCreateTruncate);
    ASSERT_TRUE(f.Write(data.data(), 1000));
    EXPECT_EQ(f.GetPosition(), 1000);
    f.SeekToBegin();
    long long pos = -1;
    ASSERT_TRUE(f.GetPosistion(&pos));
    EXPECT_EQ(pos, 0);
    ASSERT_TRUE(f.Seek(990));
    Buffer b(50, 0xAA);
    EXPECT_EQ(f.Read(b.data(), 50), 10);
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 10, data.begin() + 990));
    EXPECT_EQ(b[10], 0xAA);
    EXPECT_EQ(f.Read(b.data(), 50), 0);
    EXPECT_EQ(f.SeekToEnd(), 1000);
    EXPECT_EQ(f.ReadAt(100, b.data(), 20), 20);
    EXPECT_TRUE(std::equal(b.begin(), b.begin() + 20, data.begin() + 100));
    EXPECT_EQ(f.GetPosition(), 1000); // positioned reads leave the position alone
    EXPECT_TRUE(f.WriteAt(2000, data.data(), 4));
    ASSERT_TRUE(f.GetFileLength(&pos));
    EXPECT_EQ(pos, 2004);
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
    // A size cut stops and terminates after it; the last line has no line feed.
    for (const auto& [size, line] : {std::pair{15u, "one\r\n"}, {3u, "two"}, {15u, "\r\n"}, {15u, "tail"}}) {
        ASSERT_EQ(f.ReadLine(buf, size), std::strlen(line));
        EXPECT_STREQ(buf, line);
    }
    std::memset(buf, 'z', sizeof buf);
    EXPECT_EQ(f.ReadLine(buf, 15), 0u);
    EXPECT_EQ(buf[0], 'z');
}

// Both ends of a pipe with a small buffer move 3 MiB in one call each while a
// third thread keeps interrupting them with a signal handled without
// SA_RESTART: reads and writes come back short or with EINTR, and each call
// must still move every byte.
TEST(StdFileTest, PipeTransfersSurvivePiecesAndSignals) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = [](int) {};
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGUSR1, &sa, &old);
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto data = Bytes(3 * 1024 * 1024 + 17, 2);
    std::atomic<bool> done{false}, wrote{false};
    const pthread_t reader = ::pthread_self();
    pthread_t writerThread{};
    std::thread writer([&] {
        CStdFile out(fifo.c_str(), CStdFile::modeReadWrite);
        ::fcntl(FindOpenDescriptor(fifo), F_SETPIPE_SZ, 4096);
        wrote = out.Write(data.data(), static_cast<unsigned>(data.size()));
        while (!done.load())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    writerThread = writer.native_handle();
    std::thread interrupter([&] {
        while (!done.load()) {
            ::pthread_kill(reader, SIGUSR1);
            ::pthread_kill(writerThread, SIGUSR1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    });
    CStdFile in(fifo.c_str(), CStdFile::modeRead);
    Buffer got(data.size() + 100, 0);
    const auto count = in.Read(got.data(), static_cast<unsigned>(data.size()));
    done = true;
    interrupter.join();
    writer.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(wrote.load());
    EXPECT_EQ(count, static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
}
