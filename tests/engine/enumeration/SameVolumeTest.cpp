// A destination on the scanned data is recognised by device number and by
// mount source; one beside an image file is not.
#include "engine/enumeration/SameVolume.h"
#include "tests/engine/enumeration/EnumTestSupport.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

using salvor::test::FakeBlockDeviceFacts;
using salvor::test::TempDir;

TEST(MountSources, SourcesOfOneDeviceUnescaped) {
    const std::string text = "36 35 7:3 / /mnt rw shared:1 - fuseblk /dev/loop3 rw\n"
                             "37 35 7:4 / /a rw - vfat /dev/loop4 rw\n"
                             "38 35 7:3 /sub /b rw master:2 shared:3 - fuse /tmp/my\\040image.img rw\n";
    EXPECT_EQ(MountSourcesFromMountInfo(text, 7, 3),
              (std::vector<std::string>{"/dev/loop3", "/tmp/my image.img"}));
    EXPECT_TRUE(MountSourcesFromMountInfo(text, 8, 1).empty());
}

TEST(SameVolume, LoopDevicesAndMountsOfTheImage) {
    TempDir tmp;
    const std::string image = tmp.file("disk.img");
    { std::ofstream(image) << "x"; }
    struct stat st {};
    ASSERT_EQ(::stat(tmp.path().c_str(), &st), 0);
    const unsigned maj = major(st.st_dev), min = minor(st.st_dev);
    const std::string dest = tmp.file("not/yet/made");
    const std::string mountInfo = tmp.file("mountinfo");

    // A loop device of the image holding the destination's file system, as a
    // partition of it, or the image mounted directly: refused. Nothing of the
    // kind, or a loop device of another file: allowed beside the image.
    struct Case {
        const char* what;
        std::string backing;
        bool asPartition;
        std::string mountSource;
        bool refused;
        bool byMountSource = false; // the partition is not the destination's device, only its mount's source
    } cases[] = {
        {"plain folder beside the image", "", false, "/dev/sda1", false},
        {"loop of another file", tmp.file("other.img"), false, "/dev/sda1", false},
        {"loop of the image", image, false, "/dev/sda1", true},
        {"partition of a loop of the image", image, true, "/dev/sda1", true},
        {"image mounted as a file", "", false, image, true},
        {"partition of a loop of the image, mounted through FUSE", image, true, tmp.file("loop7p1"), true, true},
    };
    // The FUSE mount's source: a node of the partition (7:8), not the
    // destination's device.
    const bool nodeMade = ::mknod(tmp.file("loop7p1").c_str(), S_IFBLK | 0600, makedev(7, 8)) == 0;
    for (const Case& c : cases) {
        if (c.byMountSource && !nodeMade) continue;
        FakeBlockDeviceFacts facts;
        BlockDiskFacts loop;
        loop.name = "loop7";
        loop.backingFile = c.backing;
        loop.major = c.asPartition ? 7 : maj;
        loop.minor = c.asPartition ? 7 : min;
        if (c.asPartition)
            loop.partitions.push_back({"loop7p1", 1, c.byMountSource ? 7u : maj, c.byMountSource ? 8u : min, 0, 0});
        facts.disks.push_back(loop);
        std::ofstream(mountInfo) << "36 35 " << maj << ":" << min << " / /x rw - fuseblk " << c.mountSource
                                 << " rw\n";
        EXPECT_EQ(!SameVolumeReason(image, dest, facts, mountInfo).empty(), c.refused) << c.what;
    }
    if (!nodeMade) GTEST_SKIP() << "the FUSE row needs root to make a block-device node";

    // A tmpfs destination has no device behind it, and its mount source
    // "tmpfs" names no file: not even an image of that name in the working folder.
    const std::string named = tmp.file("tmpfs");
    { std::ofstream(named) << "x"; }
    std::ofstream(mountInfo) << "36 35 " << maj << ":" << min << " / /x rw - tmpfs tmpfs rw\n";
    const std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path(tmp.path());
    FakeBlockDeviceFacts none;
    EXPECT_EQ(SameVolumeReason(named, dest, none, mountInfo), "");
    std::filesystem::current_path(cwd);
}

} // namespace
