// Real block devices: loop devices over image files. These need root (to
// attach loop devices) and are skipped, saying so, without it.
#include "engine/device/StorageDevices.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using namespace salvor::test;
using DevicePtr = std::unique_ptr<IStorageDevice>;

class LoopDevice : public ::testing::TestWithParam<unsigned> {
protected:
    // A stamped image of that many sectors attached as a loop device.
    const LoopAttachment& Attach(unsigned long long sectors, unsigned ss = 512, const std::string& options = "") {
        EXPECT_TRUE(WriteStampedImage(dir.file("img"), sectors, ss));
        loop = std::make_unique<LoopAttachment>(dir.file("img"), options);
        return *loop;
    }
    TempDir dir;
    std::unique_ptr<LoopAttachment> loop;
};

TEST_P(LoopDevice, AnswersSectorSizeAndCountInItsOwnSectors) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const unsigned ss = GetParam();
    const unsigned long long total = (4u << 20) / ss;
    const auto& l = Attach(total, ss, ss == 512 ? "" : "--sector-size 4096");
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    DevicePtr disk(CreateDiskDevice(l.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << l.path();
    EXPECT_EQ(disk->GetSectorSize(), ss);
    EXPECT_EQ(disk->GetTotalSectors(), total);
    std::vector<unsigned char> buf(4 * ss);
    ASSERT_EQ(disk->ReadSector(buf.data(), total - 4, 4), 1);
    EXPECT_EQ(Stamps(buf.data(), 4, ss), Sectors(total - 4, 4));
    EXPECT_EQ(disk->ReadSector(buf.data(), total, 1), 0) << "past the end of a block device nothing is read";
}

INSTANTIATE_TEST_SUITE_P(SectorSizes, LoopDevice, ::testing::Values(512u, 4096u));

TEST_F(LoopDevice, APartitionNodeIsAVolumeOfThePartitionsSize) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    std::string out;
    ASSERT_EQ(RunCommand("command -v sfdisk", &out), 0) << "sfdisk is missing (package fdisk)";
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 16384));
    ASSERT_EQ(RunCommand("printf 'start=2048, size=8192, type=83\\n' | sfdisk -q '" + dir.file("img") + "' 2>&1", &out),
              0)
        << out;
    loop = std::make_unique<LoopAttachment>(dir.file("img"), "-P");
    if (loop->path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << loop->error();
    const std::string part = loop->path() + "p1";
    // The partition node may appear a moment later; partx adds it if not.
    struct stat st {};
    if (stat(part.c_str(), &st) != 0) RunCommand("partx -a " + loop->path() + " 2>/dev/null; udevadm settle 2>/dev/null");
    for (int i = 0; i < 50 && stat(part.c_str(), &st) != 0; ++i) usleep(100000);
    unsigned ma = 0, mi = 0; // no udev in a container: make the node from sysfs
    if (stat(part.c_str(), &st) != 0 && RunCommand("cat /sys/class/block/" + loop->name() + "p1/dev", &out) == 0 &&
        sscanf(out.c_str(), "%u:%u", &ma, &mi) == 2)
        mknod(part.c_str(), S_IFBLK | 0660, makedev(ma, mi));
    if (stat(part.c_str(), &st) != 0) GTEST_SKIP() << "the kernel did not show the partition " << part;
    DevicePtr vol(CreateVolumeDevice(part.c_str()));
    ASSERT_EQ(vol->Open(nullptr), 1);
    EXPECT_EQ(vol->GetTotalSectors(), 8192u);
    std::vector<unsigned char> buf(512);
    ASSERT_EQ(vol->ReadSector(buf.data(), 0, 1), 1);
    EXPECT_EQ(Stamps(buf.data(), 1), Sectors(2048, 1));
    EXPECT_EQ(vol->ReadSector(buf.data(), 8192, 1), 0);
}

TEST_F(LoopDevice, AnUnreadableDeviceIsNotPermittedForAnOrdinaryUser) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    const auto& l = Attach(4096);
    if (l.path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << l.error();
    struct stat st {};
    ASSERT_EQ(stat(l.path().c_str(), &st), 0);
    // A private node of the same device that only root may open.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string node = dir.file("disk");
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev), 0);
    EXPECT_EQ(ExitStatusAsNobody([&] {
                  DevicePtr disk(CreateDiskDevice(node.c_str()));
                  return disk->Open(nullptr) ? 11 : disk->IsPermitted() == 0 ? 0 : 12;
              }),
              0)
        << "100 setuid failed, 11 opened, 12 still permitted";
    DevicePtr disk(CreateDiskDevice(node.c_str())); // root opens the same node
    EXPECT_EQ(disk->Open(nullptr), 1);
    EXPECT_EQ(disk->IsPermitted(), 1);
}

} // namespace
