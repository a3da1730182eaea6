#include "engine/device/StorageDeviceWithCache.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <random>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
using namespace std::chrono_literals;

std::vector<unsigned char> ReadWholeFile(const std::string& path, std::size_t bytes) {
    std::vector<unsigned char> data(bytes);
    std::ifstream in(path, std::ios::binary);
    in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(bytes));
    return data;
}

// FNV-1a, enough to compare two byte streams.
std::uint64_t Hash(const unsigned char* p, std::size_t n, std::uint64_t h = 1469598103934665603ULL) {
    for (std::size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 1099511628211ULL;
    return h;
}

// Makes every block current in order and hashes them. (That the reads came
// from memory shows in the inner device's sector count: each sector once.)
std::uint64_t HashThroughCache(CStorageDeviceWithCache& cache, IStorageDevice& inner, unsigned blockSize) {
    const unsigned ss = inner.GetSectorSize();
    const long long total = static_cast<long long>(inner.GetTotalSectors());
    std::uint64_t h = 1469598103934665603ULL;
    std::vector<unsigned char> buf(static_cast<std::size_t>(blockSize) * ss);
    for (long long b = 0;; ++b) {
        if (!cache.SetCurCacheBlock(b)) {
            EXPECT_EQ(b, (total + blockSize - 1) / blockSize);
            break;
        }
        const long long first = b * blockSize;
        const long long n = std::min<long long>(blockSize, total - first);
        EXPECT_EQ(cache.ReadSector(buf.data(), first, n), 1);
        h = Hash(buf.data(), static_cast<std::size_t>(n) * ss, h);
    }
    return h;
}

TEST(CachedDevice, BlocksOfAShortDeviceAndTheirRange) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 2500));
    ImageDevice inner(dir.file("img"));
    CStorageDeviceWithCache cache(&inner);
    EXPECT_EQ(cache.GetType(), DEVICE_WRAPPER);
    EXPECT_EQ(cache.GetBlockSize(), 1000u);
    EXPECT_EQ(cache.BlockCount(), 3);
    EXPECT_EQ(cache.IsBlockInValidRange(2), 1);
    EXPECT_EQ(cache.IsBlockInValidRange(3), 0);
    cache.BeginCache();
    // Only the three blocks there are were read, with their true lengths.
    EXPECT_EQ(inner.Reads(), 3u);
    EXPECT_EQ(inner.SectorsRead(), 2500u);
    std::vector<unsigned char> buf(1000 * 512);
    for (long long b = 0; b < 3; ++b) {
        ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
        const long long n = b == 2 ? 500 : 1000;
        ASSERT_EQ(cache.ReadSector(buf.data(), b * 1000, n), 1);
        for (long long i = 0; i < n; ++i)
            ASSERT_TRUE(HasStamp(buf.data() + i * 512, 512, b * 1000 + i)) << b << " " << i;
    }
    EXPECT_EQ(cache.SetCurCacheBlock(3), 0);
    EXPECT_EQ(cache.SetCurCacheBlock(-1), 0);
    EXPECT_EQ(inner.Reads(), 3u);

    // Past the device's end inside the last block's span: never from memory.
    // The image device refuses it as outside the device.
    EXPECT_EQ(cache.ReadSector(buf.data(), 2600, 1), 0);
    EXPECT_EQ(ResultError(cache.GetLastError()), 5u);
    cache.EndCache();
}

TEST(CachedDevice, ReadsAroundTheCurrentBlockGoToTheInnerDevice) {
    TempDir dir;
    // Ten blocks: the prefill queues them all and no reader thread runs, so
    // the read counter sees only this test's own reads.
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 1000));
    ImageDevice inner(dir.file("img"));
    CStorageDeviceWithCache cache(&inner);
    ASSERT_EQ(cache.SetBlockSize(100), 1);
    std::vector<unsigned char> buf(200 * 512);
    // No current block: straight through.
    EXPECT_EQ(cache.ReadSector(buf.data(), 42, 1), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 42));
    cache.BeginCache();
    EXPECT_EQ(cache.SetBlockSize(50), 0); // not while running
    for (long long b = 0; b <= 3; ++b)
        ASSERT_EQ(cache.SetCurCacheBlock(b), 1);

    inner.ResetCounters();
    // 10 sectors starting 5 before the block: all from the device.
    ASSERT_EQ(cache.ReadSector(buf.data(), 295, 10), 1);
    EXPECT_EQ(inner.SectorsRead(), 10u);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(HasStamp(buf.data() + i * 512, 512, 295 + i));

    // Inside the block and 20 past its end: only those 20 are read.
    inner.ResetCounters();
    ASSERT_EQ(cache.ReadSector(buf.data(), 350, 70), 1);
    EXPECT_EQ(inner.SectorsRead(), 20u);
    for (int i = 0; i < 70; ++i)
        ASSERT_TRUE(HasStamp(buf.data() + i * 512, 512, 350 + i)) << i;

    // After the block: from the device.
    inner.ResetCounters();
    ASSERT_EQ(cache.ReadSector(buf.data(), 400, 1), 1);
    EXPECT_EQ(inner.SectorsRead(), 1u);
    cache.EndCache();
}

TEST(CachedDevice, TheBlocksTogetherEqualTheDevice) {
    TempDir dir;
    const long long total = 20011; // leaves a short last block for every size below
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), total));
    const auto whole = ReadWholeFile(dir.file("img"), static_cast<std::size_t>(total) * 512);
    const std::uint64_t expected = Hash(whole.data(), whole.size());
    for (unsigned blockSize : {1u, 3u, 1000u, 8192u}) {
        ImageDevice inner(dir.file("img"));
        CStorageDeviceWithCache cache(&inner);
        ASSERT_EQ(cache.SetBlockSize(blockSize), 1);
        cache.BeginCache();
        EXPECT_EQ(HashThroughCache(cache, inner, blockSize), expected) << "block size " << blockSize;
        cache.EndCache();
        // Each sector was read once, by the reader.
        EXPECT_EQ(inner.SectorsRead(), static_cast<unsigned long long>(total)) << blockSize;
    }
}

TEST(CachedDevice, FourKilobyteSectors) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 777, 4096));
    const auto whole = ReadWholeFile(dir.file("img"), 777u * 4096);
    ImageDevice inner(dir.file("img"), 4096);
    CStorageDeviceWithCache cache(&inner);
    cache.SetBlockSize(64);
    cache.BeginCache();
    EXPECT_EQ(HashThroughCache(cache, inner, 64), Hash(whole.data(), whole.size()));
    cache.EndCache();
}

TEST(CachedDevice, AFailedBlockReadIsZerosAndReported) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 300));
    ImageDevice inner(dir.file("img"));
    inner.FailSector(150);
    CStorageDeviceWithCache cache(&inner);
    cache.SetBlockSize(100);
    cache.BeginCache();
    std::vector<unsigned char> buf(100 * 512);
    ASSERT_EQ(cache.SetCurCacheBlock(0), 1);
    ASSERT_EQ(cache.SetCurCacheBlock(1), 1);
    ASSERT_EQ(cache.ReadSector(buf.data(), 100, 100), 1);
    EXPECT_TRUE(IsZero(buf.data() + 50 * 512, 512));
    EXPECT_TRUE(HasStamp(buf.data() + 49 * 512, 512, 149));
    EXPECT_EQ(ResultError(cache.GetLastError()), 1u);
}

TEST(CachedDevice, EndCacheWhileTheReaderWaitsReturnsAtOnce) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 4000));
    ImageDevice inner(dir.file("img"));
    auto cache = std::make_unique<CStorageDeviceWithCache>(&inner);
    cache->SetBlockSize(100);
    cache->BeginCache();
    ASSERT_EQ(cache->SetCurCacheBlock(0), 1);
    // The reader refills the one free slot, then waits for room.
    for (int i = 0; i < 1000 && inner.Reads() < 11; ++i)
        std::this_thread::sleep_for(1ms);
    auto ended = std::async(std::launch::async, [&] { cache->EndCache(); });
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(cache->IsNeedCatchBuffer(), 1);
    // Destroying after EndCache, and a second EndCache, are harmless.
    cache->EndCache();
    cache.reset();
}

TEST(CachedDevice, OutOfOrderBlocksAreStillRightAndWithoutInnerDeviceNothingIsCached) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 1000));
    ImageDevice inner(dir.file("img"));
    CStorageDeviceWithCache cache(&inner);
    cache.SetBlockSize(10);
    cache.BeginCache();
    std::vector<unsigned char> buf(10 * 512);
    for (long long b : {0LL, 5LL, 2LL, 40LL, 41LL, 99LL}) {
        ASSERT_EQ(cache.SetCurCacheBlock(b), 1);
        ASSERT_EQ(cache.ReadSector(buf.data(), b * 10, 10), 1);
        for (int i = 0; i < 10; ++i)
            ASSERT_TRUE(HasStamp(buf.data() + i * 512, 512, b * 10 + i)) << b;
    }
    cache.EndCache();

    CStorageDeviceWithCache empty(nullptr);
    empty.BeginCache();
    EXPECT_EQ(empty.SetCurCacheBlock(0), 0);
    EXPECT_EQ(empty.Open(nullptr), 0);
    EXPECT_EQ(empty.GetSectorSize(), 512u);
    EXPECT_EQ(empty.ReadSector(buf.data(), 0, 1), 0);
    empty.EndCache();
}

// Random delays on both sides shake out ordering faults between the reader
// and the consumer; run under ThreadSanitizer by scripts/test.d/tsan-device.sh.
TEST(CachedDevice, StressWithRandomReaderDelays) {
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 400));
    std::mt19937 rng(12345);
    std::vector<unsigned char> buf;
    for (int round = 0; round < 1000; ++round) {
        const unsigned long long window = 1 + rng() % 400;
        const unsigned blockSize = 1 + rng() % 48;
        ImageDevice inner(dir.file("img"), 512, 0, window);
        const unsigned seed = static_cast<unsigned>(rng());
        inner.SetReadHook([seed](long long first, long long) {
            thread_local std::mt19937 local(seed);
            const auto pause = std::chrono::microseconds((local() + static_cast<unsigned>(first)) % 60);
            std::this_thread::sleep_for(pause);
        });
        CStorageDeviceWithCache cache(&inner);
        cache.SetBlockSize(blockSize);
        cache.BeginCache();
        const long long blocks = static_cast<long long>((window + blockSize - 1) / blockSize);
        // Some rounds stop early, while the reader is busy or waiting.
        const long long stopAt = rng() % 4 == 0 ? static_cast<long long>(rng() % (blocks + 1)) : blocks;
        buf.resize(static_cast<std::size_t>(blockSize) * 512);
        for (long long b = 0; b < stopAt; ++b) {
            ASSERT_EQ(cache.SetCurCacheBlock(b), 1) << round;
            const long long n = std::min<long long>(blockSize, static_cast<long long>(window) - b * blockSize);
            ASSERT_EQ(cache.ReadSector(buf.data(), b * blockSize, n), 1);
            for (long long i = 0; i < n; ++i)
                ASSERT_TRUE(HasStamp(buf.data() + i * 512, 512, b * blockSize + i))
                    << "round " << round << " block " << b << " sector " << i;
            if (rng() % 8 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 100));
        }
        if (stopAt == blocks) {
            EXPECT_EQ(cache.SetCurCacheBlock(blocks), 0);
        }
        cache.EndCache();
    }
}

} // namespace
