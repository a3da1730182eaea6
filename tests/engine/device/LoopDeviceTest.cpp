// Real block devices: loop devices over image files. These need root (to
// attach loop devices) and are skipped, saying so, without it.
#include "engine/device/StorageDevices.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

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

} // namespace
