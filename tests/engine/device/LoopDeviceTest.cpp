// Real block devices: loop devices over image files. These need root (to
// attach loop devices) and are skipped, saying so, without it.
#include "engine/device/StorageDevices.h"
#include "engine/include/DeviceGone.h"
#include "engine/utility/AsyncRead.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using namespace salvor::test;

class LoopDevice : public ::testing::TestWithParam<unsigned> {};

TEST_P(LoopDevice, AnswersSectorSizeAndCountInItsOwnSectors) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const unsigned ss = GetParam();
    const unsigned long long total = (4u << 20) / ss;
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), total, ss));
    const LoopAttachment l(dir.file("img"), ss == 512 ? "" : "--sector-size 4096");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << l.path();
    EXPECT_EQ(disk->GetSectorSize(), ss);
    EXPECT_EQ(disk->GetTotalSectors(), total);
    std::vector<unsigned char> buf(4 * ss);
    ASSERT_EQ(disk->ReadSector(buf.data(), total - 4, 4), 1);
    EXPECT_EQ(Stamps(buf.data(), 4, ss), Sectors(total - 4, 4));
    EXPECT_EQ(disk->ReadSector(buf.data(), total, 1), 0) << "past the end of a block device nothing is read";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDevice, ::testing::Values(512u, 4096u));

// Reads that fail on a device that still answers (past its end, pieces the
// system refuses) leave it readable; its image cut to nothing and its size
// read again, as a card reader that lost its card, it is gone: so are the
// windows on it, and its next reads fail at once. An image file cut the same
// way is only shorter.
TEST(LoopDeviceGone, OnlyADeviceThatAnswersNowhereIsGone) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const unsigned long long total = (4u << 20) / 512;
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), total, 512));
    ASSERT_TRUE(WriteStampedImage(dir.file("file"), total, 512));
    const LoopAttachment l(dir.file("img"), "-r");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << l.path();
    std::unique_ptr<IStorageDevice> window(CreatePartitionDevice(disk.get(), 8, 64));
    std::vector<unsigned char> buf(4 * 512);
    EXPECT_EQ(disk->ReadSector(buf.data(), total, 1), 0);
    asyncread::SetFaultHook([](long long, long long) { return true; });
    EXPECT_EQ(disk->ReadSector(buf.data(), 8, 4), 0);
    asyncread::SetFaultHook(nullptr);
    EXPECT_FALSE(DeviceGone(disk.get()));
    ASSERT_EQ(disk->ReadSector(buf.data(), 8, 4), 1);
    EXPECT_EQ(Stamps(buf.data(), 4, 512), Sectors(8, 4));

    ASSERT_EQ(::truncate(dir.file("img").c_str(), 0), 0);
    ASSERT_EQ(RunCommand("losetup -c '" + l.path() + "'"), 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), 8, 4), 0);
    EXPECT_TRUE(DeviceGone(disk.get()));
    EXPECT_TRUE(DeviceGone(window.get()));
    EXPECT_EQ(window->ReadSector(buf.data(), 0, 1), 0);

    std::unique_ptr<IStorageDevice> image(CreateEdiDeviceImp(dir.file("file").c_str()));
    ASSERT_EQ(image->Open(nullptr), 1);
    ASSERT_EQ(::truncate(dir.file("file").c_str(), 0), 0);
    EXPECT_EQ(image->ReadSector(buf.data(), 8, 4), 0);
    EXPECT_FALSE(DeviceGone(image.get()));
}

} // namespace
