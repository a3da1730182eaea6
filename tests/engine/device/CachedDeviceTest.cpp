// The read-ahead device over stamped images.
#include "engine/device/StorageDeviceWithCache.h"
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "engine/utility/SectorReads.h"
#include "tests/support/FailingFile.h"
#include "tests/support/GoneAtTheEnd.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
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

// A volume mounted for a test's life.
class Mounted {
public:
    Mounted(const std::string& device, std::string at, const std::string& type = "") : at_(std::move(at)) {
        ::mkdir(at_.c_str(), 0700);
        ok_ = RunCommand("mount " + (type.empty() ? "" : "-t " + type + " ") + "'" + device + "' '" + at_ + "' 2>&1",
                         &said_) == 0;
    }
    ~Mounted() {
        if (ok_) RunCommand("umount '" + at_ + "'");
    }
    Mounted(const Mounted&) = delete;
    Mounted& operator=(const Mounted&) = delete;
    bool ok() const { return ok_; }
    const std::string& at() const { return at_; }
    const std::string& said() const { return said_; }

private:
    std::string at_, said_;
    bool ok_ = false;
};

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
// zeros; every other sector is read, and lent, and only the sectors that fail
// are counted unreadable. Sectors found bad are not asked again, also when the
// block is read again. Reads: one for the block, one per piece, two per
// halving of a failed stretch down to 4 KiB, one per sector of a 4 KiB
// stretch that failed; a half known bad is not asked.
TEST_F(CachedDevice, AFailedBlockCostsOnlyTheSectorsThatFail) {
    struct Row {
        const char* shape;
        std::vector<std::pair<long long, long long>> bad; // first, count
        unsigned long long reads, again;                  // of the block, and of it read again
        long long block = 8192;                           // 4 MiB of 512-byte sectors
        unsigned ss = 512;
    } rows[] = {
        // A piece with one bad 4 KiB stretch: 8 halving reads, 8 sector reads.
        {"a 4 KiB slot in each of four pieces",
         {{8, 8}, {128 + 64, 8}, {256 + 120, 8}, {384 + 1, 1}},
         1 + 64 + 4 * 16,
         1 + 64 + 3 * 7 + 15},
        {"the block's first and last sectors", {{0, 1}, {8191, 1}}, 1 + 64 + 2 * 16, 1 + 64 + 2 * 15},
        // 24 failed halvings reach 12 stretches of 4 KiB: 96 sector reads;
        // read again, the 96 sectors found bad are not asked.
        {"a bad 64 KiB piece beside good ones", {{1024, 128}}, 1 + 64 + 24 + 96, 1 + 64 + 8 + 32},
        // Two pieces where none reads are still narrowed.
        {"a block of two pieces, each failing", {{5, 1}, {128 + 72, 1}}, 1 + 2 + 2 * 16, 1 + 2 + 2 * 15, 256},
        // A piece of sixteen 4 KiB sectors halved down to the one that fails.
        {"4 KiB sectors, one bad", {{5, 1}}, 1 + 64 + 8, 1 + 64 + 7, 1024, 4096},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shape);
        const long long block = row.block;
        const unsigned ss = row.ss;
        auto& c = Make(static_cast<unsigned long long>(2 * block), static_cast<unsigned>(block), ss);
        inner->SetWholeReadsFail(true);
        std::vector<bool> bad(static_cast<std::size_t>(block));
        long long badCount = 0;
        for (auto [first, count] : row.bad) {
            inner->FailSectors(first, count);
            badCount += count;
            for (long long s = first; s < first + count; ++s) bad[static_cast<std::size_t>(s)] = true;
        }
        const long long unreadable = salvor::UnreadableStructureSectors().load();
        c.BeginCache(); // both blocks, no reader thread
        EXPECT_EQ(inner->Reads(), row.reads + 1) << "reads of the block, and one of the next";
        EXPECT_EQ(salvor::UnreadableStructureSectors().load() - unreadable, badCount);
        ASSERT_EQ(c.SetCurCacheBlock(0), 1);
        const unsigned char* p = c.ViewSectors(0, block);
        ASSERT_NE(p, nullptr);
        long long wrong = 0;
        for (long long s = 0; s < block; ++s)
            wrong += bad[static_cast<std::size_t>(s)] ? !IsZero(p + s * ss, ss)
                                                      : !HasStamp(p + s * ss, ss, static_cast<unsigned long long>(s));
        EXPECT_EQ(wrong, 0) << "sectors not as the disk holds them";
        inner->ResetCounters();
        std::vector<unsigned char> buf(ss);
        const auto [first, count] = row.bad.front();
        EXPECT_EQ(c.ReadSector(buf.data(), block + 5, 1), 1);
        EXPECT_EQ(c.SetCurCacheBlock(1), 1);
        inner->ResetCounters();
        EXPECT_EQ(c.ReadSector(buf.data(), first, 1), 0) << "a bad sector reads as failed";
        EXPECT_EQ(inner->Reads(), 0u) << "a sector found bad is asked again";
        EXPECT_EQ(c.ReadSector(buf.data(), first + count, 1), 1) << "its neighbour";
        // The block read again (made current out of order).
        inner->ResetCounters();
        ASSERT_EQ(c.SetCurCacheBlock(0), 1);
        EXPECT_EQ(inner->Reads(), row.again) << "reads of the block read again";
        p = c.ViewSectors(0, block);
        ASSERT_NE(p, nullptr);
        wrong = 0;
        for (long long s = 0; s < block; ++s)
            wrong += bad[static_cast<std::size_t>(s)] ? !IsZero(p + s * ss, ss)
                                                      : !HasStamp(p + s * ss, ss, static_cast<unsigned long long>(s));
        EXPECT_EQ(wrong, 0) << "sectors not as the disk holds them, read again";
        c.EndCache();
    }
    // Failed reads are bounded: 24 per piece while halving, 256 in all; a
    // block of more than two pieces where none reads is not split: one read
    // per piece, all of it unread.
    struct Bound {
        const char* shape;
        long long block, stride, badRun; // badRun sectors bad at every stride
        long long from, to;              // bad only within [from, to)
        unsigned long long reads;
        long long unread;
    } bounds[] = {
        {"every other 4 KiB bad: no piece reads", 8192, 16, 8, 0, 8192, 1 + 64, 8192},
        {"every 4 KiB bad", 8192, 8, 8, 0, 8192, 1 + 64, 8192},
        {"three pieces where none reads", 384, 384, 384, 0, 384, 1 + 3, 384},
        // 3 x 24 halvings, then sector reads until 256 have failed.
        {"three bad pieces: the sector reads stop at the block's bound", 8192, 128, 128, 128, 4 * 128,
         1 + 64 + 256, 3 * 128},
        // Ten pieces take 24 failures each, the eleventh the 16 left.
        {"twelve bad pieces: the halving stops at the block's bound", 8192, 128, 128, 128, 13 * 128, 1 + 64 + 256,
         12 * 128},
    };
    for (const Bound& row : bounds) {
        SCOPED_TRACE(row.shape);
        auto& c = Make(static_cast<unsigned long long>(row.block), static_cast<unsigned>(row.block));
        inner->SetWholeReadsFail(true);
        for (long long s = row.from; s < row.to; s += row.stride) inner->FailSectors(s, row.badRun);
        const long long unreadable = salvor::UnreadableStructureSectors().load();
        c.BeginCache();
        ASSERT_EQ(c.SetCurCacheBlock(0), 1);
        EXPECT_EQ(inner->Reads(), row.reads);
        EXPECT_EQ(salvor::UnreadableStructureSectors().load() - unreadable, row.unread);
        c.EndCache();
    }
    // A device gone before or while its block is narrowed is asked nothing
    // more, and what was left unread is not counted: the device is said gone.
    // Sector 5 is bad; the device goes as the read named is made.
    struct Gone {
        const char* shape;
        long long first, count; // -1: gone before the scan
        unsigned long long asked;
    } gones[] = {
        {"gone before the scan", -1, 0, 1},
        {"gone at the first halving of the failed piece", 0, 64, 1 + 64 + 1},
        {"gone at the first sector read alone", 0, 1, 1 + 64 + 8 + 1},
    };
    for (const Gone& row : gones) {
        SCOPED_TRACE(row.shape);
        Make(8192);
        inner->SetWholeReadsFail(true);
        inner->FailSector(5);
        SilentUntilAsked gone(inner.get());
        if (row.first < 0) gone.Silence();
        inner->SetReadHook([&](long long first, long long count) {
            if (first == row.first && count == row.count) gone.Silence();
        });
        CStorageDeviceWithCache c(&gone);
        ASSERT_EQ(c.SetBlockSize(8192), 1);
        const long long unreadable = salvor::UnreadableStructureSectors().load();
        c.BeginCache();
        EXPECT_EQ(gone.Asked(), row.asked);
        EXPECT_EQ(salvor::UnreadableStructureSectors().load(), unreadable);
        c.EndCache();
        inner->SetReadHook(nullptr);
    }
    // Sectors found bad are noted as 65,536 runs at most: past them a bad
    // sector is asked again. Blocks of two sectors, the second bad.
    const long long runs = (1 << 16) + 1;
    auto& c = Make(static_cast<unsigned long long>(2 * runs), 2);
    for (long long r = 0; r < runs; ++r) inner->FailSector(2 * r + 1);
    c.BeginCache();
    for (long long b = 0; b < runs; ++b) ASSERT_EQ(c.SetCurCacheBlock(b), 1);
    EXPECT_TRUE(c.KnownBad(2 * (runs - 2) + 1, 1));
    EXPECT_FALSE(c.KnownBad(2 * (runs - 1) + 1, 1));
    c.EndCache();
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
    // How the kept sectors are held, shape by shape kept by one cache, its
    // reads then given up and answered from what it kept: in the order kept,
    // as far as the memory for bytes (three quarters of the limit) and the
    // room for bookkeeping allow (a run costs 96 bytes beside its bytes, in
    // memory or spilled); a run in memory grows by doubling up to 1 MiB; what
    // was kept already is kept once; beside what was kept nothing answers.
    {
        ASSERT_TRUE(WriteStampedImage(dir.file("kept.img"), static_cast<unsigned long long>(total)));
        const LoopAttachment l(dir.file("kept.img"), "-r");
        ASSERT_FALSE(l.path().empty()) << l.error();
        std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
        ASSERT_EQ(disk->Open(nullptr), 1);
        using Keeps = std::vector<std::pair<long long, long long>>;
        Keeps everyOther, backAgain, growing;
        for (long long s = 0; s < total; s += 2) everyOther.push_back({s, 1});
        for (long long s = 0; s < 100; ++s) backAgain.push_back({s, 1});
        for (long long s = 1030; s <= 1100; s += 10) backAgain.push_back({s, 1});
        for (long long s = 1031; s <= 1101; s += 10) backAgain.push_back({s, 1});
        backAgain.push_back({1030, 2});
        backAgain.push_back({1029, 3}); // the sector before two kept already
        growing.push_back({100, 3});
        for (long long s = 103; s < 100 + 2048 + 128; ++s) growing.push_back({s, 1});
        growing.push_back({2140, 20}); // across two runs kept already
        Keeps sixteen, pastSpill;
        for (long long s = 0; s < 16; ++s) sixteen.push_back({s, 1});
        for (long long s = 0; s <= 50; ++s) pastSpill.push_back({s, 1});
        pastSpill.push_back({1030, 1});
        Keeps atSpill(pastSpill.begin(), pastSpill.begin() + 42);
        atSpill.push_back({1030, 1});
        const struct {
            const char* shape;
            std::size_t limit;
            const Keeps& keeps;
            std::size_t memory;
            long long spilled;
            std::size_t answered; // the first keeps answer, the others were dropped
            long long spillLimit = 0;
        } shapes[] = {
            // 80 runs of 608 bytes in memory, 176 spilled fill the bookkeeping room.
            {"single sectors past the bookkeeping room", 64 << 10, everyOther, 64 << 10, 176 * 512, 256},
            // The first 23 sectors in four runs in memory, the rest spilled.
            {"a sector kept after a later one, both spilled", 16 << 10, backAgain, 12256 + 17 * 96, 94 * 512,
             backAgain.size()},
            // A run doubled to 8 KiB fills the 8288 bytes for bytes (of 11050).
            {"a run grows to the memory for bytes exactly", 11050, sixteen, 8192 + 96, 0, sixteen.size()},
            // The spill file holds 20 sectors: a run goes on up to them, no run begins past them.
            {"kept past the spill file's bound", 16 << 10, pastSpill, 12256, 20 * 512, 43, 20 * 512},
            {"a run begins where it ends the spill file", 16 << 10, atSpill, 12256 + 96, 20 * 512, 43, 20 * 512},
            // Runs of 2048 and 128 sectors.
            {"a run grows to 1 MiB, then another", 4 << 20, growing, (1 << 20) + 96 + (64 << 10) + 96, 0,
             growing.size()},
        };
        CStorageDeviceWithCache c(disk.get());
        ASSERT_EQ(c.SetBlockSize(static_cast<unsigned>(block)), 1);
        CReadWatch watch;
        c.WatchReads(&watch);
        for (const auto& row : shapes) {
            SCOPED_TRACE(row.shape);
            CStorageDeviceWithCache::SetKeptLimit(row.limit);
            CStorageDeviceWithCache::SetSpillLimit(row.spillLimit);
            watch.Reset();
            c.BeginCache();
            std::vector<bool> kept(static_cast<std::size_t>(total)), answers(static_cast<std::size_t>(total));
            for (std::size_t k = 0; k < row.keeps.size(); ++k) {
                const auto [first, count] = row.keeps[k];
                if (c.GetCurCacheBlock() != first / block) {
                    ASSERT_EQ(c.SetCurCacheBlock(first / block), 1);
                }
                c.KeepSectors(first, count);
                for (long long s = first; s < first + count; ++s) {
                    kept[static_cast<std::size_t>(s)] = true;
                    answers[static_cast<std::size_t>(s)] = answers[static_cast<std::size_t>(s)] || k < row.answered;
                }
            }
            EXPECT_EQ(std::pair(c.KeptMemory(), c.KeptSpilled()), std::pair(row.memory, row.spilled));
            c.EndCache();
            {
                const CReadWatch::Reading reading(&watch);
                ASSERT_TRUE(watch.GiveUpAfter(0ms));
            }
            c.AnswerFromKept(true);
            std::vector<unsigned char> buf(512);
            long long wrong = 0;
            for (long long s = 0; s < total; ++s) {
                const std::size_t i = static_cast<std::size_t>(s);
                // Each sector kept, and each one beside a kept one; the block
                // still current answers from memory.
                if (s / block == c.GetCurCacheBlock() ||
                    (!kept[i] && !(s > 0 && kept[i - 1]) && !(s + 1 < total && kept[i + 1])))
                    continue;
                const int got = c.ReadSector(buf.data(), s, 1);
                wrong += answers[i] ? got != 1 || !HasStamp(buf.data(), 512, static_cast<unsigned long long>(s))
                                    : got != 0;
            }
            EXPECT_EQ(wrong, 0) << "sectors not answered as kept";
            c.AnswerFromKept(false);
        }
        CStorageDeviceWithCache::SetKeptLimit(limit);
        CStorageDeviceWithCache::SetSpillLimit(0);
    }
    // Never where writing reaches the scanned device: a cache folder on its
    // own volume, on a volume in a file of it (a loop device's backing file),
    // or on btrfs over it (numbered apart from the device it is mounted from,
    // and mounted over a tmpfs it hides) keeps within memory and spills nothing.
    for (const std::string placement : {"its volume", "a volume in a file of it", "btrfs over it"}) {
        SCOPED_TRACE(placement);
        const bool btrfs = placement == "btrfs over it";
        ASSERT_EQ(RunCommand(std::string("command -v ") + (btrfs ? "mkfs.btrfs" : "mkfs.ext2") + " >/dev/null"), 0)
            << "install the Debian package '" << (btrfs ? "btrfs-progs" : "e2fsprogs") << "'";
        const std::string volume = dir.file("volume.img");
        ASSERT_EQ(RunCommand("rm -f '" + volume + "' && truncate -s 128M '" + volume + "' && " +
                             (btrfs ? "mkfs.btrfs -q -f '" : "mkfs.ext2 -q -F '") + volume + "' >/dev/null 2>&1"),
                  0);
        const LoopAttachment scanned(volume);
        ASSERT_FALSE(scanned.path().empty()) << scanned.error();
        const std::string holds = scanned.path();
        std::unique_ptr<Mounted> under;
        if (btrfs) {
            under = std::make_unique<Mounted>("tmpfs", dir.file("on"), "tmpfs");
            ASSERT_TRUE(under->ok()) << under->said();
        }
        const Mounted on(holds, dir.file("on"));
        ASSERT_TRUE(on.ok()) << on.said();
        std::string home = on.at() + "/cache";
        std::unique_ptr<LoopAttachment> inFile;
        std::unique_ptr<Mounted> inFileOn;
        if (placement == "a volume in a file of it") {
            const std::string file = on.at() + "/volume.img";
            ASSERT_EQ(RunCommand("truncate -s 16M '" + file + "' && mkfs.ext2 -q -F '" + file + "' >/dev/null 2>&1"),
                      0);
            inFile = std::make_unique<LoopAttachment>(file);
            ASSERT_FALSE(inFile->path().empty()) << inFile->error();
            inFileOn = std::make_unique<Mounted>(inFile->path(), dir.file("in-file"));
            ASSERT_TRUE(inFileOn->ok()) << inFileOn->said();
            home = inFileOn->at() + "/cache";
        }
        ::setenv("XDG_CACHE_HOME", home.c_str(), 1);
        std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(scanned.path().c_str()));
        ASSERT_EQ(disk->Open(nullptr), 1);
        CStorageDeviceWithCache c(disk.get());
        ASSERT_EQ(c.SetBlockSize(static_cast<unsigned>(block)), 1);
        c.BeginCache();
        for (long long b = 0; b < 8; ++b) {
            ASSERT_EQ(c.SetCurCacheBlock(b), 1);
            for (long long s = std::max(b * block, 300LL); s < (b + 1) * block; ++s) c.KeepSectors(s, 1);
        }
        EXPECT_LE(c.KeptMemory(), limit);
        EXPECT_EQ(c.KeptSpilled(), 0) << "spilled where it writes to the scanned device";
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
    inner->FailSector(357);
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(1), 1);
    c.KeepSectors(150, 10);
    ASSERT_EQ(c.SetCurCacheBlock(3), 1);
    // Zeros where the device failed are not kept; the sectors beside them are.
    c.KeepSectors(355, 5);
    c.KeepSectors(360, 2);
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
    EXPECT_EQ(c.ReadSector(buf.data(), 150, 10), 0) << "answered from what was kept before the build asks";
    c.AnswerFromKept(true);
    EXPECT_EQ(Read(150, 10), Sectors(150, 10)) << "kept";
    EXPECT_EQ(Read(148, 4), Join(Sectors(0, 0, 2), Sectors(150, 2))) << "zeros beside what was kept";
    EXPECT_EQ(c.ReadSector(buf.data(), 250, 10), 0) << "neither queued nor kept";
    ASSERT_EQ(c.SetCurCacheBlock(9), 1);
    EXPECT_EQ(Read(360, 2), Sectors(360, 2)) << "kept";
    EXPECT_EQ(c.ReadSector(buf.data(), 355, 5), 0) << "a range over a sector the device failed on was kept";
    // A spent block made current again is all zeros, and not counted among
    // the sectors the scan could not read: it was stopped.
    const long long unreadable = salvor::UnreadableStructureSectors().load();
    ASSERT_EQ(c.SetCurCacheBlock(2), 1);
    EXPECT_TRUE(IsZero(c.ViewSectors(200, 100), 100 * 512));
    EXPECT_EQ(salvor::UnreadableStructureSectors().load(), unreadable);
    c.AnswerFromKept(false);
    EXPECT_EQ(inner->Reads(), 0u) << "the device was asked after the reads were given up";
    c.EndCache();
    // A device still read is not answered from what was kept: a sector
    // that fails fails as the disk does.
    watch.Reset();
    c.BeginCache();
    ASSERT_EQ(c.SetCurCacheBlock(1), 1);
    c.KeepSectors(150, 10);
    ASSERT_EQ(c.SetCurCacheBlock(3), 1);
    c.AnswerFromKept(true);
    inner->FailSector(155);
    EXPECT_EQ(c.ReadSector(buf.data(), 150, 10), 0);
    c.AnswerFromKept(false);
    c.EndCache();

    // An image file: a read held (by the read routine's hook) is waited for.
    std::unique_ptr<IStorageDevice> raw(CreateDmgDeviceImp(dir.file("img").c_str()));
    ASSERT_EQ(raw->Open(nullptr), 1);
    inner->ClearFailures();
    {
        // A device gone that leaves the buffer as it was: beside what was
        // kept, zeros.
        SilentUntilAsked gone(inner.get());
        CStorageDeviceWithCache g(&gone);
        ASSERT_EQ(g.SetBlockSize(100), 1);
        g.BeginCache();
        ASSERT_EQ(g.SetCurCacheBlock(1), 1);
        g.KeepSectors(150, 10);
        ASSERT_EQ(g.SetCurCacheBlock(3), 1);
        gone.Silence();
        g.AnswerFromKept(true);
        std::vector<unsigned char> four(4 * 512, 0xAA);
        EXPECT_EQ(g.ReadSector(four.data(), 148, 4), 1);
        EXPECT_EQ(Stamps(four.data(), 4), Join(Sectors(0, 0, 2), Sectors(150, 2)));
        g.EndCache();
    }
    {
        // Nothing of it is kept: it never goes.
        CStorageDeviceWithCache kept(raw.get());
        ASSERT_EQ(kept.SetBlockSize(100), 1);
        kept.BeginCache();
        ASSERT_EQ(kept.SetCurCacheBlock(0), 1);
        kept.KeepSectors(0, 10);
        EXPECT_EQ(kept.KeptMemory(), 0u);
        kept.EndCache();
    }
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
