// The block ring and the page reader over a stamped image, on 512- and
// 4096-byte sectors; the image device's read counter shows what reached it.
#include "engine/carver/BufferStorageDevice.h"
#include "engine/carver/NotifyCenter.h"
#include "engine/carver/RawFileBuffer.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace {

using salvor::test::HasStamp;

class CarverRing : public ::testing::TestWithParam<unsigned> {
protected:
    static constexpr unsigned kBlock = 8, kSectors = 300;

    void SetUp() override { ASSERT_TRUE(dev.IsOpen() && ring.InitBufferDevice(&dev, 0, ss, kBlock, 4)); }
    void AddBlocks(unsigned count) {
        std::vector<char> block(kBlock * ss);
        for (unsigned b = added; b < added + count; ++b) {
            ASSERT_TRUE(dev.ReadSector(block.data(), b * kBlock, kBlock));
            ring.AddBlockToBuffer(block.data());
        }
        added += count;
        dev.ResetCounters();
    }
    // True when the sectors read through the ring all carry their stamps.
    bool ReadsRight(long long first, long long count) {
        std::vector<unsigned char> out(count * ss);
        bool ok = ring.ReadSector(out.data(), first, count);
        for (long long i = 0; ok && i < count; ++i) ok = HasStamp(out.data() + i * ss, ss, first + i);
        return ok;
    }

    const unsigned ss = GetParam();
    salvor::test::TempDir dir;
    salvor::test::ImageDevice dev{Stamped(dir, ss), ss};
    CBufferStorageDevice ring;
    unsigned added = 0;

    static std::string Stamped(const salvor::test::TempDir& d, unsigned ss) {
        salvor::test::WriteStampedImage(d.file("s.img"), kSectors, ss);
        return d.file("s.img");
    }
};

// Analysers reading through the ring were told the ring's size as the device's.
TEST_P(CarverRing, TotalIsTheDevicesTotal) { EXPECT_EQ(ring.GetTotalSectors(), kSectors); }

// Before the ring is full its oldest sector is at position 0, not at the head.
TEST_P(CarverRing, ReadsBeforeFullComeFromTheRing) {
    AddBlocks(2);
    EXPECT_TRUE(ReadsRight(3, 10));
    EXPECT_EQ(dev.Reads(), 0u);
}

TEST_P(CarverRing, ReadsAcrossTheEndAndPastTheNewest) {
    AddBlocks(3);
    EXPECT_FALSE(ring.IsFullBuffer());
    AddBlocks(3); // holds blocks 2..5, the oldest at ring position 16
    EXPECT_TRUE(ring.IsFullBuffer() && ring.GetDeviceStartSector() == 2 * kBlock);
    EXPECT_TRUE(ReadsRight(3 * kBlock + 5, 8) && ReadsRight(2 * kBlock, 4 * kBlock));
    EXPECT_EQ(dev.Reads(), 0u);
    EXPECT_TRUE(ReadsRight(5 * kBlock + 4, kBlock - 3)); // one sector past the newest
    EXPECT_TRUE(ReadsRight(kBlock * 2 - 1, 2));          // one before the oldest
    EXPECT_EQ(dev.Reads(), 2u);
}

// A deferred sizer reading across a ring slot whose block failed: the slot
// held block 0 before (six slots for four blocks), and those stale bytes
// never size a file. The read goes to the device, which fails (its bytes
// zeros), so a walk reading on until a read fails stops at that block.
TEST_P(CarverRing, DeferredSizerAcrossAFailedSlot) {
    AddBlocks(6); // slots 0..5 hold blocks 0..5
    dev.FailSectors(6 * kBlock, kBlock);
    ring.AddBlockToBuffer(nullptr, false); // block 6, into block 0's slot
    EXPECT_EQ(ring.GetDeviceStartSector(), 3 * kBlock);
    const long long start = 5 * kBlock;
    std::vector<unsigned char> sector(ss);
    long long n = 0;
    while (n < 2 * kBlock && ring.ReadSector(sector.data(), start + n, 1)) ++n;
    EXPECT_EQ(n, kBlock); // stopped by the failed block
    for (long long s = 6 * kBlock; s < 7 * kBlock; ++s) {
        std::fill(sector.begin(), sector.end(), 0xAA);
        EXPECT_EQ(ring.ReadSector(sector.data(), s, 1), 0) << s;
        EXPECT_TRUE(std::all_of(sector.begin(), sector.end(), [](unsigned char b) { return b == 0; })) << s;
    }
    // Across the failed block and past it: also from the device, and failing.
    std::vector<unsigned char> span(3 * kBlock * ss);
    EXPECT_EQ(ring.ReadSector(span.data(), start, 3 * kBlock), 0);
    EXPECT_FALSE(HasStamp(span.data() + (kBlock + 1) * ss, ss, 1)); // not block 0's bytes
    EXPECT_TRUE(std::all_of(span.begin() + kBlock * ss, span.begin() + 2 * kBlock * ss,
                            [](unsigned char b) { return b == 0; }));
    EXPECT_TRUE(HasStamp(span.data(), ss, start));
}

// The carver writes each block once, into the ring's free slot: the newest
// block lies right before it (also when the slots wrap around), the margin
// after it reads as zeros while it is filled and is given back after, and
// neither that slot nor the one after it, which may be filled ahead, is one
// the ring reads from.
TEST_P(CarverRing, FreeSlotSitsAfterTheNewestBlock) {
    CBufferStorageDevice slots;
    ASSERT_TRUE(slots.InitBufferDevice(&dev, 0, ss, kBlock, 4, 64));
    std::vector<unsigned char> out(ss);
    for (unsigned b = 0; b < 12; ++b) {
        unsigned char* at = slots.PrepareFreeSlot(true);
        ASSERT_NE(at, nullptr);
        if (b > 0) {
            EXPECT_TRUE(HasStamp(at - ss, ss, b * kBlock - 1)) << b;
        }
        EXPECT_TRUE(std::all_of(at + kBlock * ss, at + kBlock * ss + 64, [](unsigned char c) { return c == 0; })) << b;
        ASSERT_TRUE(dev.ReadSector(at, b * kBlock, kBlock));
        unsigned char* ahead = slots.NextFreeSlot();
        ASSERT_NE(ahead, nullptr);
        std::fill(ahead + slots.HiddenBytes(), ahead + kBlock * ss, 0xEE);
        dev.ResetCounters();
        for (unsigned held = b >= 4 ? b - 4 : 0; held < b; ++held)
            EXPECT_TRUE(slots.ReadSector(out.data(), held * kBlock + kBlock - 1, 1) &&
                        HasStamp(out.data(), ss, held * kBlock + kBlock - 1))
                << b << " " << held;
        EXPECT_EQ(dev.Reads(), 0u) << b;
        slots.RestoreAfterFreeSlot();
        slots.CommitFreeSlot();
    }
    dev.ResetCounters();
    std::vector<unsigned char> all(4 * kBlock * ss);
    EXPECT_TRUE(slots.ReadSector(all.data(), 8 * kBlock, 4 * kBlock));
    for (unsigned i = 0; i < 4 * kBlock; ++i) EXPECT_TRUE(HasStamp(all.data() + i * ss, ss, 8 * kBlock + i)) << i;
    EXPECT_EQ(dev.Reads(), 0u);
}

TEST_P(CarverRing, PageReaderReadsOncePerPage) {
    RawFileBuffer reader(&dev, 3);
    const unsigned char* p = reader.GetRawFileBuffer(0);
    EXPECT_TRUE(p && HasStamp(p, ss, 3) && reader.GetRawFileBuffer(100));
    EXPECT_EQ(dev.Reads(), 1u);
    p = reader.GetRawFileBuffer(129 * ss);
    EXPECT_TRUE(p && HasStamp(p, ss, 3 + 129));
    EXPECT_EQ(dev.Reads(), 2u);
    EXPECT_EQ(reader.GetRawFileBuffer(std::uint64_t{kSectors} * ss), nullptr);
}

// One static page served every reader: a nested reader overwrote its caller's.
TEST_P(CarverRing, NestedReadersKeepTheirPages) {
    RawFileBuffer outer(&dev, 0), inner(&dev, 200);
    const unsigned char* a = outer.GetRawFileBuffer(0);
    const unsigned char* b = inner.GetRawFileBuffer(0);
    EXPECT_TRUE(a && b && HasStamp(a, ss, 0) && HasStamp(b, ss, 200));
}

// "(total - first) mod 128" read nothing when exactly 128 sectors remained.
// A bad sector inside a page took the whole page, and so the file before it:
// the page holds what lies before the first sector that fails.
TEST_P(CarverRing, PageWith128SectorsLeft) {
    RawFileBuffer reader(&dev, kSectors - 128);
    const unsigned char* p = reader.GetRawFileBuffer(127 * ss);
    EXPECT_TRUE(p && HasStamp(p, ss, kSectors - 1));
    dev.SetWholeReadsFail(true);
    // The bad sector first, inside, and last of the 129 sectors a page reads
    // (its 128 and the one a straddling structure may need).
    for (unsigned bad : {0u, 1u, 63u, 64u, 70u, 100u, 127u, 128u}) {
        SCOPED_TRACE(bad);
        dev.ClearFailures();
        dev.FailSector(10 + bad);
        RawFileBuffer before(&dev, 10);
        if (bad > 0) {
            p = before.GetRawFileBuffer((bad - 1) * ss);
            EXPECT_TRUE(p && HasStamp(p, ss, 10 + bad - 1));
        }
        if (bad < 128) {
            EXPECT_EQ(before.GetRawFileBuffer(bad * ss), nullptr);
        }
        EXPECT_EQ(before.Fetch((bad - 1 + (bad == 0)) * std::uint64_t{ss}, 2 * ss), nullptr) << "across the bad sector";
    }
}

// Structures straddling a page came back cut: Fetch gives them whole or not at all.
TEST_P(CarverRing, FetchGivesContiguousBytes) {
    RawFileBuffer reader(&dev, 0);
    const unsigned char* p = reader.Fetch(128 * ss + ss - 8, 2 * ss);
    EXPECT_TRUE(p && HasStamp(p + 8, ss, 129) && HasStamp(p + 8 + ss, ss, 130));
    EXPECT_EQ(reader.Fetch(std::uint64_t{kSectors} * ss - 8, 16), nullptr);
    EXPECT_EQ(reader.Fetch(0, 128 * ss + 1), nullptr);
}

TEST_P(CarverRing, StopEndsPageReads) {
    salvor::test::RecordingProgress stop;
    EXPECT_TRUE(CNotifyCenter::Instance().isContinue());
    stop.Stop();
    CNotifyCenter::Instance().SetProgress(&stop);
    EXPECT_EQ(RawFileBuffer(&dev, 0).GetRawFileBuffer(0), nullptr);
    CNotifyCenter::Instance().Reset();
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CarverRing, ::testing::Values(512u, 4096u));

} // namespace
