// The block ring and the page reader over a stamped image, on 512- and
// 4096-byte sectors; the image device's read counter shows what reached it.
#include "engine/carver/BufferStorageDevice.h"
#include "engine/carver/NotifyCenter.h"
#include "engine/carver/RawFileBuffer.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using salvor::test::HasStamp;
using salvor::test::ImageDevice;

class CarverRing : public ::testing::TestWithParam<unsigned> {
protected:
    static constexpr unsigned kBlock = 8, kBlocks = 4, kSectors = 300;

    void SetUp() override {
        ss = GetParam();
        ASSERT_TRUE(salvor::test::WriteStampedImage(dir.file("s.img"), kSectors, ss));
        dev = std::make_unique<ImageDevice>(dir.file("s.img"), ss);
        ASSERT_TRUE(ring.InitBufferDevice(dev.get(), 0, ss, kBlock, kBlocks));
    }
    void AddBlocks(unsigned from, unsigned count) {
        std::vector<char> block(kBlock * ss);
        for (unsigned b = from; b < from + count; ++b) {
            ASSERT_TRUE(dev->ReadSector(block.data(), b * kBlock, kBlock));
            ring.AddBlockToBuffer(block.data());
        }
        dev->ResetCounters();
    }
    // Reads count sectors from first through the ring; true when every one
    // carries its stamp.
    bool ReadsRight(long long first, long long count) {
        std::vector<unsigned char> out(count * ss);
        if (!ring.ReadSector(out.data(), first, count)) return false;
        for (long long i = 0; i < count; ++i)
            if (!HasStamp(out.data() + i * ss, ss, first + i)) return false;
        return true;
    }

    unsigned ss = 512;
    salvor::test::TempDir dir;
    std::unique_ptr<ImageDevice> dev;
    CBufferStorageDevice ring;
};

TEST_P(CarverRing, FillsAndAdvances) {
    AddBlocks(0, 3);
    EXPECT_FALSE(ring.IsFullBuffer());
    AddBlocks(3, 1);
    EXPECT_TRUE(ring.IsFullBuffer());
    EXPECT_EQ(ring.GetDeviceStartSector(), 0u);
    AddBlocks(4, 2);
    EXPECT_EQ(ring.GetDeviceStartSector(), 2u * kBlock);
    EXPECT_EQ(ring.GetSectorSize(), ss);
    // Analysers reading through the ring judge the real device's end.
    EXPECT_EQ(ring.GetTotalSectors(), kSectors);
}

// Before the ring is full its oldest sector is at position 0, not at the head.
TEST_P(CarverRing, ReadsBeforeFullComeFromTheRing) {
    AddBlocks(0, 2);
    EXPECT_TRUE(ReadsRight(3, 10));
    EXPECT_EQ(dev->Reads(), 0u);
}

TEST_P(CarverRing, ReadsAcrossTheEndAndPastTheNewest) {
    AddBlocks(0, 6); // holds blocks 2..5, the oldest at ring position 16
    EXPECT_TRUE(ReadsRight(2 * kBlock, kBlocks * kBlock));
    EXPECT_TRUE(ReadsRight(3 * kBlock + 5, 8)); // straddles the ring's physical end
    EXPECT_EQ(dev->Reads(), 0u);
    EXPECT_TRUE(ReadsRight(5 * kBlock + 4, kBlock - 3)); // one sector past the newest
    EXPECT_EQ(dev->Reads(), 1u);
    EXPECT_TRUE(ReadsRight(kBlock * 2 - 1, 2)); // one before the oldest
    EXPECT_EQ(dev->Reads(), 2u);
}

TEST_P(CarverRing, PageReaderReadsOncePerPage) {
    RawFileBuffer reader(dev.get(), 3);
    const unsigned page = reader.GetPageBytes();
    EXPECT_EQ(page, 128 * ss);
    const unsigned char* p = reader.GetRawFileBuffer(0);
    ASSERT_TRUE(p && HasStamp(p, ss, 3));
    ASSERT_TRUE(reader.GetRawFileBuffer(100));
    EXPECT_EQ(dev->Reads(), 1u);
    p = reader.GetRawFileBuffer(page + ss);
    ASSERT_TRUE(p && HasStamp(p, ss, 3 + 129));
    EXPECT_EQ(dev->Reads(), 2u);
    EXPECT_EQ(reader.GetRawFileBuffer(std::uint64_t{kSectors} * ss), nullptr);
}

// One static page served every reader: a nested reader overwrote its caller's.
TEST_P(CarverRing, NestedReadersKeepTheirPages) {
    RawFileBuffer outer(dev.get(), 0);
    const unsigned char* a = outer.GetRawFileBuffer(0);
    RawFileBuffer inner(dev.get(), 200);
    const unsigned char* b = inner.GetRawFileBuffer(0);
    ASSERT_TRUE(a && b);
    EXPECT_TRUE(HasStamp(a, ss, 0));
    EXPECT_TRUE(HasStamp(b, ss, 200));
}

// "(total - first) mod 128" read nothing when exactly 128 sectors remained.
TEST_P(CarverRing, PageWith128SectorsLeft) {
    RawFileBuffer reader(dev.get(), kSectors - 128);
    const unsigned char* p = reader.GetRawFileBuffer(127 * ss);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(HasStamp(p, ss, kSectors - 1));
    EXPECT_EQ(reader.GetRawFileBuffer(128 * ss), nullptr);
}

// Structures straddling a page came back cut: Fetch gives them whole or not at all.
TEST_P(CarverRing, FetchGivesContiguousBytes) {
    RawFileBuffer reader(dev.get(), 0);
    const unsigned page = reader.GetPageBytes();
    ASSERT_TRUE(reader.GetRawFileBuffer(0));
    const unsigned char* p = reader.Fetch(page + ss - 8, 2 * ss);
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(HasStamp(p + 8, ss, 129) && HasStamp(p + 8 + ss, ss, 130));
    EXPECT_EQ(reader.Fetch(std::uint64_t{kSectors} * ss - 8, 16), nullptr);
    EXPECT_EQ(reader.Fetch(0, page + 1), nullptr);
}

TEST_P(CarverRing, StopEndsPageReads) {
    struct Stop : IProgress {
        void UpdateProgress(_PROGRESS_INFO*) override {}
        int Continued() override { return 0; }
        int shouldBuild() override { return 1; }
    } stop;
    EXPECT_TRUE(CNotifyCenter::Instance().isContinue());
    CNotifyCenter::Instance().SetProgress(&stop);
    RawFileBuffer reader(dev.get(), 0);
    EXPECT_EQ(reader.GetRawFileBuffer(0), nullptr);
    CNotifyCenter::Instance().Reset();
    EXPECT_NE(reader.GetRawFileBuffer(0), nullptr);
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, CarverRing, ::testing::Values(512u, 4096u));

} // namespace
