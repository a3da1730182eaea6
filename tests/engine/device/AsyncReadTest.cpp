// Asynchronous reads in 4 MiB pieces: failed pieces, short reads, time-outs and
// reads given up.
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "tests/support/engine_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
using namespace std::chrono_literals;

class AsyncRead : public ::testing::Test {
protected:
    void TearDown() override { // the test seams go whatever the outcome
        asyncread::SetFaultHook(nullptr);
        asyncread::SetTimeout(30000ms);
        for (int fd : fds) close(fd);
    }
    int Open(const std::string& path, int flags = O_RDONLY) {
        fds.push_back(open(path.c_str(), flags));
        EXPECT_GE(fds.back(), 0) << path;
        return fds.back();
    }
    TempDir dir;
    std::vector<int> fds;
};

TEST_F(AsyncRead, ANineMegabyteReadIsThreePiecesAndAFailedPieceIsZeros) {
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
    EXPECT_EQ(pieces, (std::vector<std::pair<long long, long long>>{{0, 4 << 20}, {4 << 20, 4 << 20},
                                                                     {8 << 20, 1 << 20}}));
    EXPECT_EQ(Stamps(buf.data(), sectors), Join(Sectors(0, 8192, 8192), Sectors(16384, sectors - 16384)));
    asyncread::SetFaultHook(nullptr);
    EXPECT_EQ(dev->ReadSector(buf.data(), 0, sectors), 1) << "without the fault the same read succeeds";
    EXPECT_EQ(Stamps(buf.data(), sectors), Sectors(0, sectors));
}

TEST_F(AsyncRead, RefusesBadArgumentsAndOverflowAndZeroFillsPastTheEnd) {
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 16));
    const int fd = Open(dir.file("img"));
    std::vector<unsigned char> buf(512, 0xAA);
    EXPECT_EQ(VXReadAsyncData(nullptr, fd, 0, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), -1, 0, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, -1, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0, 0), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0x7fffffffffffff00LL, 512), 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 16 * 512, 512), 0) << "past the end: a failure, zero-filled";
    EXPECT_TRUE(IsZero(buf.data(), 512));
    std::fill(buf.begin(), buf.end(), 0xAA);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 15 * 512 + 256, 512), 512) << "into the end: zeros after it";
    EXPECT_TRUE(IsZero(buf.data() + 256, 256));
}

// A pipe delivers data in bursts: a short answer in the middle of a piece is
// not the end of the data.
TEST_F(AsyncRead, AShortReadInTheMiddleIsCompleted) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    std::vector<unsigned char> data(4096);
    for (int i = 0; i < 4096; ++i) data[i] = static_cast<unsigned char>(i % 251 + 1);
    std::thread writer([&] {
        const int w = open(dir.file("fifo").c_str(), O_WRONLY);
        EXPECT_EQ(write(w, data.data(), 1000), 1000);
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(write(w, data.data() + 1000, 3096), 3096);
        close(w);
    });
    std::vector<unsigned char> buf(4096, 0);
    EXPECT_EQ(VXReadAsyncData(buf.data(), Open(dir.file("fifo")), 0, 4096), 4096);
    writer.join();
    EXPECT_EQ(buf, data);
}

// A read that outlives its time-out must not write into memory that is used
// again: the late data lands in the retired buffer, not in the next read.
TEST_F(AsyncRead, ATimedOutReadIsRetiredAndLaterReadsStayIntact) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 64));
    const int fd = Open(dir.file("fifo"), O_RDWR); // holds a writer, so reads block
    asyncread::SetTimeout(200ms);
    std::vector<unsigned char> buf(4096, 0xAA);
    EXPECT_EQ(VXReadAsyncData(buf.data(), fd, 0, 4096), 0);
    EXPECT_TRUE(IsZero(buf.data(), buf.size()));
    EXPECT_EQ(asyncread::RetiredCount(), 1u);
    // The late read completes while the next read runs through a new buffer.
    std::vector<unsigned char> junk(4096, 0x5A), data(64 * 512);
    ASSERT_EQ(write(fd, junk.data(), junk.size()), 4096);
    EXPECT_EQ(VXReadAsyncData(data.data(), Open(dir.file("img")), 0, 64 * 512), 64 * 512);
    EXPECT_EQ(Stamps(data.data(), 64), Sectors(0, 64));
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(asyncread::RetiredCount(), 0u);

    // A piece that trickles in, each step answered in time, is still given
    // up when the piece as a whole is not: a device that answers a little
    // at a time costs one time-out per piece, not one per step.
    ASSERT_EQ(mkfifo(dir.file("trickle").c_str(), 0600), 0);
    const int trickle = Open(dir.file("trickle"), O_RDWR);
    const int feed = Open(dir.file("trickle"), O_WRONLY | O_NONBLOCK);
    std::thread feeder([&] {
        const std::vector<unsigned char> chunk(64 << 10, 0x33);
        for (int i = 0; i < 64; ++i) { // 4 MiB over about 640 ms
            (void)!write(feed, chunk.data(), chunk.size());
            std::this_thread::sleep_for(10ms);
        }
    });
    asyncread::SetTimeout(300ms);
    std::vector<unsigned char> piece(4 << 20);
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(VXReadAsyncData(piece.data(), trickle, 0, 4 << 20), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 550ms);
    feeder.join();
    (void)!write(feed, junk.data(), junk.size()); // ends the late read, if it still waits
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i) std::this_thread::sleep_for(10ms);

    // A read given up while the system holds it (a scan that no longer waits
    // for its device) ends at once, long before its time-out, and is retired;
    // a read after it under the same give-up is not asked of the system (it
    // would be held, and retired too); out of the scope reads are made again.
    asyncread::SetTimeout(30000ms);
    std::atomic<bool> givenUp{false};
    std::thread raiser([&] {
        std::this_thread::sleep_for(100ms);
        givenUp = true;
    });
    int asked = 0;
    asyncread::SetFaultHook([&](long long, long long) { return ++asked, false; });
    {
        const asyncread::GiveUpScope scope(&givenUp);
        asyncread::Buffer held;
        held.Reserve(4096);
        int error = 0;
        const auto t1 = std::chrono::steady_clock::now();
        EXPECT_EQ(asyncread::ReadInto(held, fd, 0, 4096, &error), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - t1, 1s);
        EXPECT_EQ(error, ECANCELED);
        EXPECT_EQ(asyncread::RetiredCount(), 1u);
        std::fill(buf.begin(), buf.end(), 0xAA);
        EXPECT_EQ(VXReadAsyncData(buf.data(), Open(dir.file("fifo"), O_RDWR), 0, 4096), 0);
        EXPECT_TRUE(IsZero(buf.data(), buf.size()));
        EXPECT_EQ(asyncread::ReadInto(held, fd, 0, 4096, &error), 0);
        EXPECT_EQ(error, ECANCELED);
        EXPECT_EQ(asyncread::RetiredCount(), 1u);
        EXPECT_EQ(asked, 1) << "a read asked of the system after the reads were given up";
        // A scope inside it is in force while it lives (a null flag gives
        // nothing up: its reads are made); once it ends, the outer one is
        // in force again.
        {
            const asyncread::GiveUpScope inner(nullptr);
            EXPECT_FALSE(asyncread::GivenUp());
            EXPECT_EQ(VXReadAsyncData(data.data(), Open(dir.file("img")), 0, 64 * 512), 64 * 512);
        }
        EXPECT_TRUE(asyncread::GivenUp());
    }
    EXPECT_FALSE(asyncread::GivenUp());
    asyncread::SetFaultHook(nullptr);
    raiser.join();
    EXPECT_EQ(VXReadAsyncData(data.data(), Open(dir.file("img")), 0, 64 * 512), 64 * 512);
    EXPECT_EQ(Stamps(data.data(), 64), Sectors(0, 64));
    ASSERT_EQ(write(fd, junk.data(), junk.size()), 4096); // ends the late read
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(asyncread::RetiredCount(), 0u);
}

// Reads of several threads do not wait for each other: a read that the
// system holds up (a pipe with nothing written yet) leaves another thread's
// read of a file free to finish.
TEST_F(AsyncRead, AHeldUpReadDoesNotHoldUpAnotherThread) {
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 64));
    const int fifo = Open(dir.file("fifo"), O_RDWR);
    const int img = Open(dir.file("img"));
    asyncread::SetTimeout(5000ms);
    std::atomic<bool> heldDone{false};
    std::vector<unsigned char> held(512);
    std::thread reader([&] {
        EXPECT_EQ(VXReadAsyncData(held.data(), fifo, 0, 512), 512);
        heldDone = true;
    });
    std::this_thread::sleep_for(50ms); // let the held read begin
    std::vector<unsigned char> data(64 * 512);
    EXPECT_EQ(VXReadAsyncData(data.data(), img, 0, 64 * 512), 64 * 512);
    EXPECT_FALSE(heldDone.load()) << "the file read waited for the pipe";
    std::vector<unsigned char> bytes(512, 0x42);
    ASSERT_EQ(write(fifo, bytes.data(), bytes.size()), 512);
    reader.join();
    EXPECT_EQ(held, bytes);
    EXPECT_EQ(Stamps(data.data(), 64), Sectors(0, 64));
}

// Reads straight into a buffer of the routine's: the same pieces and zeros as
// VXReadAsyncData, the error of the first failed piece, and a time-out that
// leaves the buffer behind and hands back a fresh one holding what was read
// before it.
TEST_F(AsyncRead, ReadIntoFillsTheBufferAndATimeOutKeepsThePiecesBeforeIt) {
    const long long sectors = (9 << 20) / 512;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), sectors));
    const int img = Open(dir.file("img"));
    asyncread::Buffer buffer;
    buffer.Reserve(9 << 20);
    int error = -1;
    EXPECT_EQ(asyncread::ReadInto(buffer, img, 0, 9 << 20, &error), 9 << 20);
    EXPECT_EQ(error, 0);
    EXPECT_EQ(Stamps(buffer.data(), sectors), Sectors(0, sectors));
    EXPECT_EQ(asyncread::ReadInto(buffer, img, 0, (9 << 20) + 512, &error), 0) << "more than the buffer holds";
    EXPECT_EQ(error, EINVAL);
    std::vector<std::pair<long long, long long>> pieces;
    asyncread::SetFaultHook([&](long long off, long long len) {
        pieces.emplace_back(off, len);
        return pieces.size() == 2;
    });
    EXPECT_EQ(asyncread::ReadInto(buffer, img, 0, 9 << 20, &error), 0);
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(pieces.size(), 3u);
    EXPECT_EQ(Stamps(buffer.data(), sectors), Join(Sectors(0, 8192, 8192), Sectors(16384, sectors - 16384)));
    asyncread::SetFaultHook(nullptr);

    // A pipe gives the first piece and then nothing: the second piece runs
    // out of time while the system still holds its request.
    ASSERT_EQ(mkfifo(dir.file("fifo").c_str(), 0600), 0);
    const int fifo = Open(dir.file("fifo"), O_RDWR);
    std::vector<unsigned char> first(4 << 20);
    for (std::size_t i = 0; i < first.size(); ++i) first[i] = static_cast<unsigned char>(i % 253 + 1);
    std::thread writer([&] {
        for (std::size_t at = 0; at < first.size();) {
            const ssize_t n = write(fifo, first.data() + at, first.size() - at);
            if (n <= 0) break;
            at += static_cast<std::size_t>(n);
        }
    });
    asyncread::SetTimeout(300ms);
    buffer.Reserve(8 << 20);
    const unsigned char* before = buffer.data();
    EXPECT_EQ(asyncread::ReadInto(buffer, fifo, 0, 8 << 20, &error), 0);
    writer.join();
    EXPECT_EQ(error, ETIMEDOUT);
    EXPECT_EQ(asyncread::RetiredCount(), 1u);
    ASSERT_NE(buffer.data(), nullptr);
    EXPECT_NE(buffer.data(), before) << "the late read's buffer was handed back";
    EXPECT_GE(buffer.capacity(), std::size_t{8} << 20);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), buffer.data())) << "the first piece was kept";
    EXPECT_TRUE(IsZero(buffer.data() + first.size(), 4 << 20));
    // The late read ends into the retired buffer, not into this one.
    std::vector<unsigned char> junk(4096, 0x5A);
    ASSERT_EQ(write(fifo, junk.data(), junk.size()), 4096);
    for (int i = 0; i < 500 && asyncread::ReapRetired() != 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(asyncread::RetiredCount(), 0u);
    EXPECT_TRUE(IsZero(buffer.data() + first.size(), 4 << 20));
}

} // namespace
