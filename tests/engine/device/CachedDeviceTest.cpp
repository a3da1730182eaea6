// The read-ahead device over stamped images.
#include "engine/device/StorageDeviceWithCache.h"
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/SectorReads.h"
#include "tests/support/FailingFile.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <future>
#include <random>
#include <thread>

namespace {

using namespace salvor::test;
using namespace std::chrono_literals;

class CachedDevice : public ::testing::Test {
protected:
    // An inner device over a stamped image and the cache over it, with blockSize set when not 0.
    CStorageDeviceWithCache& Make(unsigned long long sectors, unsigned blockSize = 0, unsigned ss = 512) {
        EXPECT_TRUE(WriteStampedImage(dir.file("img"), sectors, ss));
        inner = std::make_unique<ImageDevice>(dir.file("img"), ss);
        cache = std::make_unique<CStorageDeviceWithCache>(inner.get());
        if (blockSize && !cache->SetBlockSize(blockSize)) ADD_FAILURE() << "block size " << blockSize << " refused";
        return *cache;
    }
    // Makes block b current and reads count sectors at first; their stamps.
    SectorList Read(long long first, long long count, long long block = -1) {
        if (block >= 0 && cache->SetCurCacheBlock(block) != 1) ADD_FAILURE() << "block " << block << " not current";
        std::vector<unsigned char> buf(static_cast<size_t>(count) * 512, 0xAA);
        EXPECT_EQ(cache->ReadSector(buf.data(), first, count), 1) << first << "+" << count;
        return Stamps(buf.data(), static_cast<size_t>(count));
    }
    TempDir dir;
    std::unique_ptr<ImageDevice> inner;
    std::unique_ptr<CStorageDeviceWithCache> cache; // destroyed before the inner device
};

TEST_F(CachedDevice, BlocksOfAShortDeviceAndTheirRange) {
    auto& c = Make(2500);
    EXPECT_EQ(std::tuple(c.GetBlockSize(), c.BlockCount(), c.IsBlockInValidRange(2), c.IsBlockInValidRange(3)),
              std::tuple(1000u, 3, 1, 0));
    c.BeginCache();
    // Only the three blocks there are were read, with their true lengths.
    EXPECT_EQ(std::pair(inner->Reads(), inner->SectorsRead()), std::pair(3ull, 2500ull));
    EXPECT_EQ(Read(0, 1000, 0), Sectors(0, 1000));
    EXPECT_EQ(Read(1000, 1000, 1), Sectors(1000, 1000));
    EXPECT_EQ(Read(2000, 500, 2), Sectors(2000, 500));
    EXPECT_EQ(c.SetCurCacheBlock(3), 0);
    EXPECT_EQ(c.SetCurCacheBlock(-1), 0);
    EXPECT_EQ(inner->Reads(), 3u);
    // Past the device's end inside the last block's span: never from memory.
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(c.ReadSector(buf.data(), 2600, 1), 0);
    EXPECT_EQ(ResultError(c.GetLastError()), 5u) << "the inner device's refusal";
    c.EndCache();
}

TEST_F(CachedDevice, ReadsAroundTheCurrentBlockComeFromTheQueueOrTheInnerDevice) {
    // Ten blocks: the prefill queues them all and no reader thread runs, so
    // the read counter sees only this test's own reads.
    auto& c = Make(1000, 100);
    EXPECT_EQ(Read(42, 1), Sectors(42, 1)) << "no current block: straight through";
    c.BeginCache();
    EXPECT_EQ(c.SetBlockSize(50), 0) << "not while running";
    for (long long b = 0; b <= 3; ++b) ASSERT_EQ(c.SetCurCacheBlock(b), 1);
    // Starting 5 before the block (a spent one), inside it and 20 past its
    // end (in the queued next block), after it, and across two queued blocks:
    // only what no single held block holds comes from the device.
    for (auto [first, count, fromDevice] :
         {std::tuple{295LL, 10LL, 10u}, {350, 70, 0}, {400, 1, 0}, {450, 100, 100}}) {
        inner->ResetCounters();
        EXPECT_EQ(Read(first, count), Sectors(first, static_cast<size_t>(count)));
        EXPECT_EQ(inner->SectorsRead(), fromDevice) << first;
    }
    c.EndCache();
}

TEST_F(CachedDevice, TheBlocksTogetherEqualTheDevice) {
    // 20011 sectors leave a short last block for every size; and 4096-byte sectors.
    for (auto [total, blockSize, ss] :
         {std::tuple{20011LL, 1u, 512u}, {20011, 3, 512}, {20011, 1000, 512}, {20011, 8192, 512}, {777, 64, 4096}}) {
        SCOPED_TRACE(std::to_string(blockSize) + " x " + std::to_string(ss));
        auto& c = Make(static_cast<unsigned long long>(total), blockSize, ss);
        c.BeginCache();
        std::string all;
        std::vector<char> buf(static_cast<size_t>(blockSize) * ss);
        long long b = 0;
        for (; c.SetCurCacheBlock(b); ++b) {
            const long long n = std::min<long long>(blockSize, total - b * blockSize);
            ASSERT_EQ(c.ReadSector(buf.data(), b * blockSize, n), 1);
            all.append(buf.data(), static_cast<size_t>(n) * ss);
        }
        EXPECT_EQ(b, (total + blockSize - 1) / blockSize);
        c.EndCache();
        EXPECT_TRUE(all == ReadWholeFile(dir.file("img"))) << "the blocks differ from the image";
        // Each sector was read once, by the reader.
        EXPECT_EQ(inner->SectorsRead(), static_cast<unsigned long long>(total));
    }
}

// Over the engine's own image device the reader reads each block straight into
// its buffer; the blocks still make up the image, a short last block included.
TEST_F(CachedDevice, BlocksReadDirectlyFromAnImageDeviceEqualTheImage) {
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 20011));
    std::unique_ptr<IStorageDevice> raw(CreateDmgDeviceImp(dir.file("img").c_str()));
    ASSERT_EQ(raw->Open(nullptr), 1);
    for (unsigned blockSize : {8192u, 1000u, 3u}) {
        CStorageDeviceWithCache c(raw.get());
        ASSERT_EQ(c.SetBlockSize(blockSize), 1);
        c.BeginCache();
        std::string all;
        for (long long b = 0; c.SetCurCacheBlock(b); ++b) {
            const long long n = std::min<long long>(blockSize, 20011 - b * blockSize);
            const unsigned char* p = c.ViewSectors(b * blockSize, n);
            ASSERT_NE(p, nullptr) << "block " << b;
            all.append(reinterpret_cast<const char*>(p), static_cast<size_t>(n) * 512);
        }
        c.EndCache();
        EXPECT_TRUE(all == ReadWholeFile(dir.file("img"))) << blockSize;
    }
}

TEST_F(CachedDevice, AFailedBlockReadIsZerosAndReported) {
    auto& c = Make(300, 100);
    inner->FailSector(150);
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(0), 1);
    EXPECT_EQ(Read(100, 100, 1), Join(Sectors(100, 50, 1), Sectors(151, 49)));
    EXPECT_EQ(ResultError(c.GetLastError()), 1u);
    // Read from block 0, the failed block waiting in the queue answers nothing:
    // the read fails at the device as it would without the cache.
    auto& d = Make(300, 100);
    inner->FailSector(150);
    d.BeginCache();
    ASSERT_EQ(d.SetCurCacheBlock(0), 1);
    std::vector<unsigned char> buf(512 * 100);
    EXPECT_EQ(d.ReadSector(buf.data(), 100, 100), 0);
    EXPECT_EQ(d.ReadSector(buf.data(), 200, 100), 1) << "the next block read well";
}

// A disk fails a whole read for one bad sector in it: the block, then each
// 64 KiB piece that failed, is split until only the sectors that fail are
// zeros; every other sector is read, and lent. Sectors found bad are not
// asked again; a block with bad sectors all over costs a bounded number of reads.
TEST_F(CachedDevice, AFailedBlockCostsOnlyTheSectorsThatFail) {
    const long long block = 8192; // 4 MiB of 512-byte sectors
    struct Row {
        const char* shape;
        std::vector<std::pair<long long, long long>> bad; // first, count
    } rows[] = {
        {"a 4 KiB slot in each of four pieces", {{8, 8}, {128 + 64, 8}, {256 + 120, 8}, {384 + 1, 1}}},
        {"the block's first and last sectors", {{0, 1}, {block - 1, 1}}},
        {"a bad 64 KiB piece beside good ones", {{1024, 128}}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shape);
        auto& c = Make(2 * block, static_cast<unsigned>(block));
        inner->SetWholeReadsFail(true);
        std::vector<bool> bad(static_cast<std::size_t>(block));
        for (auto [first, count] : row.bad) {
            inner->FailSectors(first, count);
            for (long long s = first; s < first + count; ++s) bad[static_cast<std::size_t>(s)] = true;
        }
        c.BeginCache();
        ASSERT_EQ(c.SetCurCacheBlock(0), 1);
        const unsigned char* p = c.ViewSectors(0, block);
        ASSERT_NE(p, nullptr);
        long long wrong = 0;
        for (long long s = 0; s < block; ++s)
            wrong += bad[static_cast<std::size_t>(s)] ? !IsZero(p + s * 512, 512) : !HasStamp(p + s * 512, 512, s);
        EXPECT_EQ(wrong, 0) << "sectors not as the disk holds them";
        inner->ResetCounters();
        std::vector<unsigned char> buf(512);
        const auto [first, count] = row.bad.front();
        EXPECT_EQ(c.ReadSector(buf.data(), block + 5, 1), 1);
        EXPECT_EQ(c.SetCurCacheBlock(1), 1);
        inner->ResetCounters();
        EXPECT_EQ(c.ReadSector(buf.data(), first, 1), 0) << "a bad sector reads as failed";
        EXPECT_EQ(inner->Reads(), 0u) << "a sector found bad is asked again";
        EXPECT_EQ(c.ReadSector(buf.data(), first + count, 1), 1) << "its neighbour";
        c.EndCache();
    }
    // Every other 4 KiB bad: the narrowing gives up within its bound; a
    // block bad all through costs one read per piece.
    for (const bool dead : {false, true}) {
        auto& c = Make(block, static_cast<unsigned>(block));
        inner->SetWholeReadsFail(true);
        for (long long s = 0; s < block; s += dead ? 8 : 16) inner->FailSectors(s, 8);
        c.BeginCache();
        ASSERT_EQ(c.SetCurCacheBlock(0), 1);
        if (dead)
            EXPECT_EQ(inner->Reads(), 1u + 64);
        else
            EXPECT_LE(inner->Reads(), 1u + 64 + 11 * CStorageDeviceWithCache::kBlockFailures);
        c.EndCache();
    }
}

// The same on a disk: a loop device over a file failing four 4 KiB slots,
// each in its own 64 KiB piece of the first block.
TEST_F(CachedDevice, OnAFailingDiskEveryReadableSectorOfABlockIsRead) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const long long block = 8192, total = 2 * block;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), static_cast<unsigned long long>(total)));
    { std::ofstream(dir.file("served")); }
    const std::vector<long long> bad = {8, 128 + 64, 256 + 120, 384 + 8}; // 4 KiB each
    std::vector<FailingFile::Range> ranges;
    for (long long s : bad) ranges.push_back({static_cast<std::uint64_t>(s) * 512, 4096});
    FailingFile failing(dir.file("served"), dir.file("img"), ranges);
    if (!failing.ready()) GTEST_SKIP() << failing.why();
    const LoopAttachment l(dir.file("served"), "-r");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    CStorageDeviceWithCache c(disk.get());
    ASSERT_EQ(c.SetBlockSize(static_cast<unsigned>(block)), 1);
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(0), 1);
    const unsigned char* p = c.ViewSectors(0, block);
    ASSERT_NE(p, nullptr);
    long long wrong = 0;
    for (long long s = 0; s < block; ++s) {
        const bool isBad = std::any_of(bad.begin(), bad.end(), [&](long long b) { return s >= b && s < b + 8; });
        wrong += isBad ? !IsZero(p + s * 512, 512) : !HasStamp(p + s * 512, 512, static_cast<unsigned long long>(s));
    }
    EXPECT_EQ(wrong, 0) << "sectors not as the disk holds them";
    EXPECT_FALSE(DeviceGone(disk.get()));
    c.EndCache();
}

// Sectors kept for the build stay within the memory allowed; the rest go to
// an unnamed file of the user's cache folder, and every one of them answers
// for the device once it was cut to nothing.
TEST_F(CachedDevice, KeptSectorsStayWithinTheirBoundAndAnswerForACutDevice) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const long long block = 256, total = 16 * block;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), static_cast<unsigned long long>(total)));
    const std::string cacheHome = dir.file("cache");
    const char* was = std::getenv("XDG_CACHE_HOME");
    const std::string saved = was ? was : "";
    ::setenv("XDG_CACHE_HOME", cacheHome.c_str(), 1);
    const std::size_t limit = 64 << 10;
    CStorageDeviceWithCache::SetKeptLimit(limit);
    {
        const LoopAttachment l(dir.file("img"), "-r");
        if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
        std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
        ASSERT_EQ(disk->Open(nullptr), 1);
        CStorageDeviceWithCache c(disk.get());
        ASSERT_EQ(c.SetBlockSize(static_cast<unsigned>(block)), 1);
        c.BeginCache();
        // A table read sector by sector (a run of 1,200 sectors, 600 KiB)
        // and scattered folder sectors, as the searchers keep them.
        std::vector<bool> kept(static_cast<std::size_t>(total));
        std::size_t most = 0;
        for (long long b = 0; b * block < total; ++b) {
            ASSERT_EQ(c.SetCurCacheBlock(b), 1);
            for (long long s = b * block; s < (b + 1) * block; ++s)
                if ((s >= 300 && s < 1500) || (s >= 1536 && s < total - block && s % 16 == 0)) {
                    c.KeepSectors(s, 1);
                    kept[static_cast<std::size_t>(s)] = true;
                    most = std::max(most, c.KeptMemory());
                }
        }
        EXPECT_LE(most, limit);
        EXPECT_GT(c.KeptSpilled(), 400 * 512) << "what did not fit was not spilled";
        DIR* folder = ::opendir((cacheHome + "/salvor").c_str());
        ASSERT_NE(folder, nullptr) << "no cache folder";
        int named = 0;
        while (dirent* e = ::readdir(folder)) named += e->d_name[0] != '.';
        ::closedir(folder);
        EXPECT_EQ(named, 0) << "the spill file has a name";
        // The card is pulled.
        ASSERT_EQ(::truncate(dir.file("img").c_str(), 0), 0);
        ASSERT_EQ(RunCommand("losetup -c '" + l.path() + "'"), 0);
        c.AnswerFromKept(true);
        std::vector<unsigned char> buf(512);
        long long wrong = 0;
        // (the last block is still current: its sectors answer from memory)
        for (long long s = 0; s < total - block; ++s) {
            const int got = c.ReadSector(buf.data(), s, 1);
            wrong += kept[static_cast<std::size_t>(s)] ? got != 1 || !HasStamp(buf.data(), 512, static_cast<unsigned long long>(s))
                                                       : got != 0;
        }
        EXPECT_TRUE(DeviceGone(disk.get()));
        EXPECT_EQ(wrong, 0) << "sectors not answered as kept";
        c.AnswerFromKept(false);
        EXPECT_EQ(std::pair(c.KeptMemory(), c.KeptSpilled()), std::pair(std::size_t{0}, 0LL));
        c.EndCache();
    }
    CStorageDeviceWithCache::SetKeptLimit(0);
    if (was)
        ::setenv("XDG_CACHE_HOME", saved.c_str(), 1);
    else
        ::unsetenv("XDG_CACHE_HOME");
}

// A scan that stops waiting for its device: reads are given up once one has
// waited as long as allowed, and from then on the device is not asked;
// blocks still queued and, while the build asks, the kept sectors answer.
// An image file's reads are waited for, however long.
TEST_F(CachedDevice, ReadsGivenUpAreAnsweredFromWhatTheScanKept) {
    auto& c = Make(1000, 100); // ten blocks, all queued by the prefill
    CReadWatch watch;
    c.WatchReads(&watch);
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(1), 1);
    c.KeepSectors(150, 10);
    ASSERT_EQ(c.SetCurCacheBlock(3), 1);
    // A read across two queued blocks goes to the device, which holds it.
    std::atomic<bool> hold{true}, holding{false};
    inner->SetReadHook([&](long long, long long) {
        holding = true;
        while (hold) std::this_thread::sleep_for(1ms);
    });
    auto held = std::async(std::launch::async, [&] { return Read(450, 100); });
    for (int i = 0; i < 5000 && !holding; ++i) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(300ms);
    {
        // A read begun just now beside it: the oldest one's wait counts.
        const CReadWatch::Reading newer(&watch);
        EXPECT_FALSE(watch.GiveUpAfter(5s)) << "given up before the read waited that long";
        EXPECT_FALSE(c.GivenUp());
        EXPECT_TRUE(watch.GiveUpAfter(250ms));
        EXPECT_TRUE(c.GivenUp());
    }
    hold = false;
    held.get();
    inner->SetReadHook(nullptr);
    inner->ResetCounters();
    std::vector<unsigned char> buf(100 * 512, 0xAA);
    EXPECT_EQ(c.ReadSector(buf.data(), 450, 100), 0);
    EXPECT_TRUE(IsZero(buf.data(), buf.size()));
    EXPECT_EQ(Read(620, 30), Sectors(620, 30)) << "a queued block";
    c.AnswerFromKept(true);
    EXPECT_EQ(Read(150, 10), Sectors(150, 10)) << "kept";
    EXPECT_EQ(c.ReadSector(buf.data(), 250, 10), 0) << "neither queued nor kept";
    ASSERT_EQ(c.SetCurCacheBlock(9), 1);
    // A spent block made current again is all zeros, and not counted among
    // the sectors the scan could not read: it was stopped.
    const long long unreadable = salvor::UnreadableStructureSectors().load();
    ASSERT_EQ(c.SetCurCacheBlock(2), 1);
    EXPECT_TRUE(IsZero(c.ViewSectors(200, 100), 100 * 512));
    EXPECT_EQ(salvor::UnreadableStructureSectors().load(), unreadable);
    c.AnswerFromKept(false);
    EXPECT_EQ(inner->Reads(), 0u) << "the device was asked after the reads were given up";
    c.EndCache();

    // An image file: a read held (by the read routine's hook) is waited for.
    std::unique_ptr<IStorageDevice> raw(CreateDmgDeviceImp(dir.file("img").c_str()));
    ASSERT_EQ(raw->Open(nullptr), 1);
    CReadWatch fileWatch;
    CStorageDeviceWithCache f(raw.get());
    f.WatchReads(&fileWatch);
    hold = true;
    holding = false;
    asyncread::SetFaultHook([&](long long, long long) {
        holding = true;
        while (hold) std::this_thread::sleep_for(1ms);
        return false;
    });
    auto fileRead = std::async(std::launch::async, [&] {
        std::vector<unsigned char> one(512);
        return f.ReadSector(one.data(), 7, 1) == 1 && HasStamp(one.data(), 512, 7);
    });
    for (int i = 0; i < 5000 && !holding; ++i) std::this_thread::sleep_for(1ms);
    std::this_thread::sleep_for(60ms);
    EXPECT_FALSE(fileWatch.GiveUpAfter(50ms));
    hold = false;
    EXPECT_TRUE(fileRead.get());
    asyncread::SetFaultHook(nullptr);
}

TEST_F(CachedDevice, EndCacheWhileTheReaderWaitsReturnsAtOnce) {
    auto& c = Make(4000, 100);
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(0), 1);
    // The reader refills the one free slot, then waits for room.
    for (int i = 0; i < 1000 && inner->Reads() < 11; ++i) std::this_thread::sleep_for(1ms);
    auto ended = std::async(std::launch::async, [&] { c.EndCache(); });
    ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(c.IsNeedCatchBuffer(), 1);
    c.EndCache(); // a second EndCache, and destroying after it, are harmless
    cache.reset();
}

TEST_F(CachedDevice, OutOfOrderBlocksAreStillRightAndWithoutInnerDeviceNothingIsCached) {
    auto& c = Make(1000, 10);
    c.BeginCache();
    for (long long b : {0LL, 5LL, 2LL, 40LL, 41LL, 99LL}) EXPECT_EQ(Read(b * 10, 10, b), Sectors(b * 10, 10));
    c.EndCache();

    CStorageDeviceWithCache empty(nullptr);
    empty.BeginCache();
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(empty.SetCurCacheBlock(0), 0);
    EXPECT_EQ(empty.Open(nullptr), 0);
    EXPECT_EQ(empty.ReadSector(buf.data(), 0, 1), 0);
    empty.EndCache();
}

// Random delays on both sides shake out ordering faults between the reader
// and the consumer; run under ThreadSanitizer by scripts/test.d/tsan-device.sh.
TEST_F(CachedDevice, StressWithRandomReaderDelays) {
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 400));
    std::mt19937 rng(12345);
    std::vector<unsigned char> buf;
    for (int round = 0; round < 1000; ++round) {
        const unsigned long long window = 1 + rng() % 400;
        const unsigned blockSize = 1 + rng() % 48;
        ImageDevice device(dir.file("img"), 512, 0, window);
        const unsigned seed = static_cast<unsigned>(rng());
        device.SetReadHook([seed](long long first, long long) {
            thread_local std::mt19937 local(seed);
            std::this_thread::sleep_for(std::chrono::microseconds((local() + static_cast<unsigned>(first)) % 60));
        });
        CStorageDeviceWithCache c(&device);
        c.SetBlockSize(blockSize);
        c.BeginCache();
        const long long blocks = static_cast<long long>((window + blockSize - 1) / blockSize);
        // Some rounds stop early, while the reader is busy or waiting.
        const long long stopAt = rng() % 4 == 0 ? static_cast<long long>(rng() % (blocks + 1)) : blocks;
        buf.resize(static_cast<std::size_t>(blockSize) * 512);
        for (long long b = 0; b < stopAt; ++b) {
            ASSERT_EQ(c.SetCurCacheBlock(b), 1) << round;
            const long long n = std::min<long long>(blockSize, static_cast<long long>(window) - b * blockSize);
            ASSERT_EQ(c.ReadSector(buf.data(), b * blockSize, n), 1);
            for (long long i = 0; i < n; ++i)
                ASSERT_TRUE(HasStamp(buf.data() + i * 512, 512, b * blockSize + i))
                    << "round " << round << " block " << b << " sector " << i;
            if (rng() % 8 == 0) std::this_thread::sleep_for(std::chrono::microseconds(rng() % 100));
        }
        if (stopAt == blocks) {
            EXPECT_EQ(c.SetCurCacheBlock(blocks), 0);
        }
        c.EndCache();
    }
}

} // namespace
