// Real block devices: loop devices over image files. These need root (to
// attach loop devices) and are skipped, saying so, without it.
#include "engine/device/StorageDevices.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

using namespace salvor::test;

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Attaches an image as a loop device for the life of the object.
class LoopDevice {
public:
    LoopDevice(const std::string& image, const std::string& options) {
        std::string out;
        if (RunCommand("losetup -f --show " + options + " '" + image + "' 2>&1", &out) == 0)
            m_path = Trim(out);
        else
            m_error = Trim(out);
    }
    ~LoopDevice() {
        if (!m_path.empty())
            RunCommand("losetup -d " + m_path);
    }
    const std::string& path() const { return m_path; }
    const std::string& error() const { return m_error; }

private:
    std::string m_path, m_error;
};

#define REQUIRE_ROOT()                                                                             \
    do {                                                                                           \
        if (geteuid() != 0)                                                                        \
            GTEST_SKIP() << "needs root to attach loop devices (losetup); run the tests as root"; \
    } while (0)

#define REQUIRE_LOOP(loop)                                                                         \
    do {                                                                                           \
        if ((loop).path().empty())                                                                 \
            GTEST_SKIP() << "losetup could not attach a loop device: " << (loop).error();          \
    } while (0)

TEST(LoopDevice, AnswersSectorSizeAndCountOf512ByteSectors) {
    REQUIRE_ROOT();
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 8192));
    LoopDevice loop(dir.file("img"), "");
    REQUIRE_LOOP(loop);
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(loop.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1) << loop.path();
    EXPECT_EQ(disk->GetSectorSize(), 512u);
    EXPECT_EQ(disk->GetTotalSectors(), 8192u);
    std::vector<unsigned char> buf(4 * 512);
    ASSERT_EQ(disk->ReadSector(buf.data(), 8188, 4), 1);
    EXPECT_TRUE(HasStamp(buf.data() + 3 * 512, 512, 8191));
    // Past the end of a block device nothing is read.
    EXPECT_EQ(disk->ReadSector(buf.data(), 8192, 1), 0);
}

TEST(LoopDevice, AnswersSectorSizeAndCountOf4096ByteSectors) {
    REQUIRE_ROOT();
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 2048, 4096));
    LoopDevice loop(dir.file("img"), "--sector-size 4096");
    REQUIRE_LOOP(loop);
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(loop.path().c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    EXPECT_EQ(disk->GetSectorSize(), 4096u);
    // The device's own sectors, not 512-byte units.
    EXPECT_EQ(disk->GetTotalSectors(), 2048u);
    std::vector<unsigned char> buf(4096);
    ASSERT_EQ(disk->ReadSector(buf.data(), 2047, 1), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 4096, 2047));
}

TEST(LoopDevice, APartitionNodeIsAVolumeOfThePartitionsSize) {
    REQUIRE_ROOT();
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 16384));
    std::string out;
    if (RunCommand("command -v sfdisk", &out) != 0)
        FAIL() << "sfdisk is missing (package fdisk)";
    ASSERT_EQ(RunCommand("printf 'start=2048, size=8192, type=83\\n' | sfdisk -q '" + dir.file("img") + "' 2>&1", &out),
              0)
        << out;
    LoopDevice loop(dir.file("img"), "-P");
    REQUIRE_LOOP(loop);
    const std::string part = loop.path() + "p1";
    // The partition node may appear a moment later; partx adds it if not.
    struct stat st {};
    if (stat(part.c_str(), &st) != 0)
        RunCommand("partx -a " + loop.path() + " 2>/dev/null; udevadm settle 2>/dev/null");
    for (int i = 0; i < 50 && stat(part.c_str(), &st) != 0; ++i)
        usleep(100000);
    if (stat(part.c_str(), &st) != 0) {
        // No udev in a container: make the node from sysfs.
        std::string dev;
        const std::string name = part.substr(part.rfind('/') + 1);
        if (RunCommand("cat /sys/class/block/" + name + "/dev", &dev) == 0) {
            unsigned ma = 0, mi = 0;
            if (sscanf(dev.c_str(), "%u:%u", &ma, &mi) == 2)
                mknod(part.c_str(), S_IFBLK | 0660, makedev(ma, mi));
        }
    }
    if (stat(part.c_str(), &st) != 0)
        GTEST_SKIP() << "the kernel did not show the partition " << part;
    std::unique_ptr<IStorageDevice> vol(CreateVolumeDevice(part.c_str()));
    ASSERT_EQ(vol->Open(nullptr), 1);
    EXPECT_EQ(vol->GetTotalSectors(), 8192u);
    std::vector<unsigned char> buf(512);
    ASSERT_EQ(vol->ReadSector(buf.data(), 0, 1), 1);
    EXPECT_TRUE(HasStamp(buf.data(), 512, 2048));
    EXPECT_EQ(vol->ReadSector(buf.data(), 8192, 1), 0);
}

TEST(LoopDevice, AnUnreadableDeviceIsNotPermittedForAnOrdinaryUser) {
    REQUIRE_ROOT();
    passwd* nobody = getpwnam("nobody");
    if (!nobody)
        GTEST_SKIP() << "no user 'nobody' on this system";
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("img"), 4096));
    LoopDevice loop(dir.file("img"), "");
    REQUIRE_LOOP(loop);
    struct stat st {};
    ASSERT_EQ(stat(loop.path().c_str(), &st), 0);
    // A private node of the same device that only root may open.
    ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
    const std::string node = dir.file("disk");
    ASSERT_EQ(mknod(node.c_str(), S_IFBLK | 0600, st.st_rdev), 0);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(node.c_str()));
        const int opened = disk->Open(nullptr);
        _exit(opened ? 11 : (disk->IsPermitted() == 0 ? 0 : 12));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid failed, 11 opened, 12 still permitted";

    // Root opens the same node.
    std::unique_ptr<IStorageDevice> disk(CreateDiskDevice(node.c_str()));
    EXPECT_EQ(disk->Open(nullptr), 1);
    EXPECT_EQ(disk->IsPermitted(), 1);
}

} // namespace
