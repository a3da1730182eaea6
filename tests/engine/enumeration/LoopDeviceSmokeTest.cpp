// The enumerator over the real system: an sfdisk-made MBR image attached as a
// loop device. Needs root (losetup); skipped with a message otherwise.
#include "engine/enumeration/EnumDevice.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

using namespace salvor::test;

namespace {

// Attaches an image and detaches it (and only it) when done.
class LoopAttachment {
public:
    explicit LoopAttachment(const std::string& image) {
        std::string out;
        if (RunCommand("losetup -f --show '" + image + "' 2>&1", &out) == 0) {
            while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
                out.pop_back();
            device_ = out;
        } else {
            error_ = out;
        }
    }
    ~LoopAttachment() {
        if (!device_.empty()) {
            RunCommand("partx -d '" + device_ + "' >/dev/null 2>&1");
            RunCommand("losetup -d '" + device_ + "'");
        }
    }
    const std::string& device() const { return device_; }
    std::string name() const { return std::filesystem::path(device_).filename().string(); }
    const std::string& error() const { return error_; }

private:
    std::string device_, error_;
};

const CCollectDiskDeviceInfoStruct* DiskRec(IStorageDevice* d) {
    auto* data = dynamic_cast<IDiskDeviceData*>(d->GetPrivateData());
    return data ? data->GetDiskInfo() : nullptr;
}
const CCollectedVolumeDeviceInfoStruct* VolRec(IStorageDevice* d) {
    auto* data = dynamic_cast<IVolumeDeviceData*>(d->GetPrivateData());
    return data ? data->GetVolumeInfo() : nullptr;
}

IStorageDevice* FindDisk(IEnumDeviceEx& e, const std::string& name) {
    int n = 0;
    e.EnumDiskDevice(nullptr, n);
    std::vector<IStorageDevice*> disks(static_cast<std::size_t>(n));
    if (n == 0 || IsFailure(e.EnumDiskDevice(disks.data(), n)))
        return nullptr;
    for (IStorageDevice* d : disks)
        if (DiskRec(d) && name == DiskRec(d)->bsdName)
            return d;
    return nullptr;
}

std::vector<IStorageDevice*> VolumesOf(IEnumDeviceEx& e, IStorageDevice* disk) {
    int n = 0;
    e.EnumVolumeDevice(disk, nullptr, n);
    std::vector<IStorageDevice*> v(static_cast<std::size_t>(n));
    if (n) {
        EXPECT_EQ(e.EnumVolumeDevice(disk, v.data(), n), 0u);
    }
    return v;
}

class LoopDeviceSmoke : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root to attach a loop device (losetup); skipped";
        if (RunCommand("command -v losetup >/dev/null && command -v partx >/dev/null") != 0)
            GTEST_SKIP() << "losetup/partx missing: install the Debian package 'util-linux'";
        const std::string src = FixtureFile("part_tables", "mbr.img");
        ASSERT_FALSE(src.empty());
        image = dir.file("smoke.img");
        std::filesystem::copy_file(src, image);
        loop = std::make_unique<LoopAttachment>(image);
        if (loop->device().empty())
            GTEST_SKIP() << "no loop device could be attached: " << loop->error();
    }

    TempDir dir;
    std::string image;
    std::unique_ptr<LoopAttachment> loop;
};

} // namespace

TEST_F(LoopDeviceSmoke, AttachedImageIsADiskImageWithItsVolumes) {
    CSysfsBlockDeviceFacts facts;
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* disk = FindDisk(e, loop->name());
    ASSERT_NE(disk, nullptr) << loop->device();
    EXPECT_EQ(DiskRec(disk)->busType, BUS_VIRTUAL);
    EXPECT_STREQ(DiskRec(disk)->registryName, "smoke.img");
    EXPECT_EQ(DiskRec(disk)->partitionScheme, PARTITION_SCHEME_MBR);
    EXPECT_EQ(disk->IsPermitted(), 1);

    // Without partition devices the table's partitions come as volumes of the merge.
    std::vector<int> numbers;
    for (IStorageDevice* v : VolumesOf(e, disk)) {
        numbers.push_back(VolRec(v)->partitionNumber);
        EXPECT_STREQ(VolRec(v)->bsdName, "");
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 3, 5, 6}));
    ASSERT_EQ(e.Uninit(), 0u);

    // With them (partx -a) the kernel's partitions are the volumes; no stub of the extended one.
    ASSERT_EQ(RunCommand("partx -a '" + loop->device() + "'"), 0);
    ASSERT_EQ(e.Init(), 0u);
    disk = FindDisk(e, loop->name());
    ASSERT_NE(disk, nullptr);
    std::vector<std::string> names;
    numbers.clear();
    for (IStorageDevice* v : VolumesOf(e, disk)) {
        names.push_back(VolRec(v)->bsdName);
        numbers.push_back(VolRec(v)->partitionNumber);
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 3, 5, 6}));
    EXPECT_EQ(names, (std::vector<std::string>{loop->name() + "p1", loop->name() + "p3", loop->name() + "p5",
                                               loop->name() + "p6"}));
    std::vector<IStorageDevice*> vols = VolumesOf(e, disk);
    ASSERT_EQ(vols.size(), 4u);
    EXPECT_EQ(VolRec(vols[2])->startSector, 24576);
    EXPECT_EQ(vols[2]->GetTotalSectors(), 20480u);
    EXPECT_EQ(e.Uninit(), 0u);
}

TEST_F(LoopDeviceSmoke, UserWithoutPermissionSeesTheDiskAsNotPermitted) {
    const std::string name = loop->name();
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child drops to nobody and reports through its exit status.
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(10);
        CSysfsBlockDeviceFacts facts;
        CEnumDeviceEx e(facts);
        if (IsFailure(e.Init()))
            _exit(11);
        IStorageDevice* disk = FindDisk(e, name);
        if (!disk)
            _exit(12);
        const int permitted = disk->IsPermitted();
        e.Uninit();
        _exit(permitted == 0 ? 0 : 13);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 setuid failed, 11 Init failed, 12 disk not listed, 13 disk permitted";
}
