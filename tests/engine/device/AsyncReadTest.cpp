#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
using namespace std::chrono_literals;

// Removes the test seams whatever the test's outcome.
struct SeamGuard {
    ~SeamGuard() {
        asyncread::SetFaultHook(nullptr);
        asyncread::SetTimeout(30000ms);
    }
};

TEST(AsyncRead, ANineMegabyteReadIsThreePiecesAndAFailedPieceIsZeros) {
    SeamGuard guard;
    TempDir dir;
    const long long sectors = (9 << 20) / 512;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), sectors + 8));
    std::unique_ptr<IStorageDevice> dev(CreateDmgDeviceImp(dir.file("img").c_str()));
    ASSERT_EQ(dev->Open(nullptr), 1);

    std::vector<std::pair<long long, long long>> pieces;
    asyncread::SetFaultHook([&](long long off, long long len) {
        pieces.emplace_back(off, len);
        return pieces.size() == 2;
    });
    std::vector<unsigned char> buf(9 << 20, 0xAA);
    EXPECT_EQ(dev->ReadSector(buf.data(), 0, sectors), 0);
    EXPECT_EQ(ResultError(dev->GetLastError()), 1u);
    ASSERT_EQ(pieces.size(), 3u);
    EXPECT_EQ(pieces[0], (std::pair<long long, long long>{0, 4 << 20}));
    EXPECT_EQ(pieces[1], (std::pair<long long, long long>{4 << 20, 4 << 20}));
    EXPECT_EQ(pieces[2], (std::pair<long long, long long>{8 << 20, 1 << 20}));
    for (long long s = 0; s < sectors; ++s) {
        const unsigned char* p = buf.data() + s * 512;
        if (s >= 8192 && s < 16384)
            ASSERT_TRUE(IsZero(p, 512)) << s;
        else
            ASSERT_TRUE(HasStamp(p, 512, s)) << s;
    }
    // Without the fault the same read succeeds.
    asyncread::SetFaultHook(nullptr);
    EXPECT_EQ(dev->ReadSector(buf.data(), 0, sectors), 1);
    EXPECT_TRUE(HasStamp(buf.data() + 9000 * 512, 512, 9000));
}

TEST(AsyncRead, RefusesBadArgumentsAndOverflow) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 16));
    int fd = open(dir.file("img").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(VXReadAsyncData(nullptr, fd, 0, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), -1, 0, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, -1, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0, 0), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0x7fffffffffffff00LL, 512), 0);
    // Past the end of the file nothing is read: a failure, zero-filled.
    std::memset(buf.data(), 0xAA, buf.size());
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 16 * 512, 512), 0);
    EXPECT_TRUE(IsZero(buf.data(), 512));
    // Running into the end: the bytes there, zeros after them.
    std::memset(buf.data(), 0xAA, buf.size());
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 15 * 512 + 256, 512), 512);
    EXPECT_TRUE(IsZero(buf.data() + 256, 256));
    close(fd);
}

// A pipe delivers data in bursts: a short answer in the middle of a piece is
// not the end of the data.
TEST(AsyncRead, AShortReadInTheMiddleIsCompleted) {
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::thread writer([&] {
        int w = open(fifo.c_str(), O_WRONLY);
        std::vector<unsigned char> data(4096);
        for (int i = 0; i < 4096; ++i)
            data[i] = static_cast<unsigned char>(i % 251 + 1);
        ASSERT_EQ(write(w, data.data(), 1000), 1000);
        std::this_thread::sleep_for(100ms);
        ASSERT_EQ(write(w, data.data() + 1000, 3096), 3096);
        close(w);
    });
    int fd = open(fifo.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    std::vector<unsigned char> buf(4096, 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0, 4096), 4096);
    writer.join();
    for (int i = 0; i < 4096; ++i)
        ASSERT_EQ(buf[i], static_cast<unsigned char>(i % 251 + 1)) << i;
    close(fd);
}

// A read that outlives its time-out must not write into memory that is used
// again: the late data lands in the retired buffer, not in the next read.
TEST(AsyncRead, ATimedOutReadIsRetiredAndLaterReadsStayIntact) {
    SeamGuard guard;
    TempDir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 64));
    int fd = open(fifo.c_str(), O_RDWR); // holds a writer, so reads block
    ASSERT_GE(fd, 0);
    asyncread::SetTimeout(200ms);
    std::vector<unsigned char> buf(4096, 0xAA);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0, 4096), 0);
    EXPECT_TRUE(IsZero(buf.data(), buf.size()));
    EXPECT_EQ(asyncread::RetiredCount(), 1u);

    int img = open(dir.file("img").c_str(), O_RDONLY);
    ASSERT_GE(img, 0);
    std::vector<unsigned char> data(64 * 512);
    // The late read completes while the next read runs through a new buffer.
    std::vector<unsigned char> junk(4096, 0x5A);
    ASSERT_EQ(write(fd, junk.data(), junk.size()), 4096);
    EXPECT_EQ(VXReadAsyncData(data.data(), img, 0, 64 * 512), 64 * 512);
    for (int s = 0; s < 64; ++s)
        ASSERT_TRUE(HasStamp(data.data() + s * 512, 512, s)) << s;
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(asyncread::RetiredCount(), 0u);
    close(img);
    close(fd);
}

} // namespace
