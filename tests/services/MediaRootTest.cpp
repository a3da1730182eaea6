// Storage-media notifications over the kernel's own events, as root, while a
// disk image is attached and detached with losetup and partx. Run alone: the
// other tests that attach loop devices would add their own events.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "services/USBMonitorNotifier.h"
#include "tests/services/MediaPosts.h"
#include "tests/services/ScanHarness.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <climits>

namespace {

using namespace salvor::test;
using salvor::platform::MediaEvent;

// The kernel's events, as on a machine without udevd. The device list is
// read again after each step, as the windows do.
TEST(MediaNotifier, RootLoopImageWithPartitionsOnTheKernelsEvents) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: attaches a disk image with losetup and partx";
    UseRealFileSystems();
    TempDir dir;
    const std::string image = dir.file("salvor-media-" + std::to_string(::getpid()) + ".img");
    const std::string intact = FixtureFile("mbr_fat_exfat", "disk_intact.img");
    ASSERT_FALSE(intact.empty());
    ASSERT_EQ(RunCommand("cp --sparse=always '" + intact + "' '" + image + "'"), 0);
    const std::string name = image.substr(image.rfind('/') + 1);
    auto listed = [&](std::size_t* volumes) {
        ScanHarness::facade().RefreshDeviceInfo();
        std::vector<DiskVolumeNodeRef> items;
        ScanHarness::facade().GetDeviceInfoToArray(items);
        for (const DiskVolumeNodeRef& d : items)
            if (d->name().toStdString() == name) {
                if (volumes) *volumes = d->children().size();
                return true;
            }
        return false;
    };

    CSysfsBlockDeviceFacts facts;
    Posts posts;
    CMediaNotifier notifier(salvor::platform::createSystemMediaEventSource(), facts);
    ASSERT_TRUE(notifier.Start());
    // Other programs on this machine may attach loop devices meanwhile: the
    // counts are exact only when every event was about our image.
    std::vector<std::string> seen;
    auto watcher = salvor::platform::createSystemMediaEventSource();
    ASSERT_TRUE(watcher->start([&](const MediaEvent& e) { seen.push_back(e.kernelName); }));
    std::string loop;
    ASSERT_EQ(RunCommand("losetup -f --show '" + image + "'", &loop), 0) << loop;
    loop.erase(loop.find_last_not_of(" \n") + 1);
    // Once detached, the number may be another program's device: never detached twice.
    struct Detach {
        std::string device;
        bool done = false;
        ~Detach() {
            VXUIDeviceData::instance().Clear();
            if (done) return;
            RunCommand("partx -d '" + device + "'");
            RunCommand("losetup -d '" + device + "'");
        }
    } detach{loop};
    std::string said;
    const std::string kernel = loop.substr(loop.rfind('/') + 1);
    auto foreign = [&] {
        return std::any_of(seen.begin(), seen.end(), [&](const std::string& n) { return n.rfind(kernel, 0) != 0; });
    };
    ASSERT_EQ(RunCommand("partx -a '" + loop + "'", &said), 0) << said;
    salvor::platform::runUntil([&] { return posts.attaches >= 2; }, std::chrono::seconds(5));
    Posts::Wait(CMediaNotifier::kSettle * 3);
    EXPECT_TRUE(foreign() ? posts.attaches >= 2 : posts.attaches == 2) << posts.attaches;
    std::size_t volumes = 0;
    EXPECT_TRUE(listed(&volumes));
    EXPECT_EQ(volumes, 2u);

    // The kernel keeps an open partition; other programs that list devices
    // hold them for a moment.
    VXUIDeviceData::instance().Clear();
    int deleted = -1;
    for (int attempt = 0; attempt < 20 && deleted != 0; ++attempt) {
        if (attempt) Posts::Wait(std::chrono::milliseconds(250));
        deleted = RunCommand("partx -d '" + loop + "'", &said);
    }
    ASSERT_EQ(deleted, 0) << said;
    ASSERT_EQ(RunCommand("losetup -d '" + loop + "'", &said), 0) << said;
    detach.done = true;
    auto ours = [&] { return std::count(posts.detaches.begin(), posts.detaches.end(), name); };
    salvor::platform::runUntil([&] { return ours() >= 3; }, std::chrono::seconds(5));
    Posts::Wait(std::chrono::milliseconds(500));
    EXPECT_EQ(ours(), 3); // two partitions and the disk
    if (!foreign()) {
        EXPECT_EQ(posts.detaches.size(), 3u);
    }
    EXPECT_FALSE(listed(nullptr));
}

// Descriptors of this process open on the loop device or one of its partitions.
int DescriptorsOn(const std::string& loop) {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* e = ::readdir(dir)) {
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0) continue;
        const std::string t(target, static_cast<std::size_t>(n));
        if (t == loop || (t.rfind(loop + "p", 0) == 0)) ++count;
    }
    ::closedir(dir);
    return count;
}

// A read-only image on the device page, then scanned and left in a finished
// result: the program holds none of its descriptors, so losetup -d detaches
// it at once (not merely marking it for later), and the kernel's removal
// event takes it off the list.
TEST(MediaNotifier, RootDetachOfAListedAndScannedImageTakesEffectAtOnce) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: attaches a disk image with losetup";
    UseRealFileSystems();
    TempDir dir;
    const std::string image = dir.file("salvor-detach-" + std::to_string(::getpid()) + ".img");
    const std::string intact = FixtureFile("mbr_fat_exfat", "disk_intact.img");
    ASSERT_FALSE(intact.empty());
    ASSERT_EQ(RunCommand("cp --sparse=always '" + intact + "' '" + image + "'"), 0);
    const std::string name = image.substr(image.rfind('/') + 1);
    auto item = [&]() -> DiskVolumeNodeRef {
        ScanHarness::facade().RefreshDeviceInfo();
        std::vector<DiskVolumeNodeRef> items;
        ScanHarness::facade().GetDeviceInfoToArray(items);
        for (const DiskVolumeNodeRef& d : items)
            if (d->name().toStdString() == name) return d;
        return {};
    };

    CSysfsBlockDeviceFacts facts;
    Posts posts;
    CMediaNotifier notifier(salvor::platform::createSystemMediaEventSource(), facts);
    ASSERT_TRUE(notifier.Start());
    std::string loop;
    ASSERT_EQ(RunCommand("losetup -r -f --show '" + image + "'", &loop), 0) << loop;
    loop.erase(loop.find_last_not_of(" \n") + 1);
    struct Detach {
        std::string device;
        bool done = false;
        ~Detach() {
            VXUIDeviceData::instance().Clear();
            if (!done) RunCommand("losetup -d '" + device + "'");
        }
    } detach{loop};
    auto attached = [&] {
        std::string list;
        RunCommand("losetup -l -n -O NAME", &list);
        return list.find(loop + "\n") != std::string::npos || list.find(loop + " ") != std::string::npos;
    };

    // On the device page: listed, and nothing of it held open.
    const DiskVolumeNodeRef disk = item();
    ASSERT_TRUE(disk);
    EXPECT_EQ(DescriptorsOn(loop), 0) << "after the enumeration";

    // A finished scan holds nothing either; its results stay.
    ScanHarness harness;
    ASSERT_TRUE(ScanHarness::facade().DoScanWithData(disk, harness.key));
    ASSERT_TRUE(harness.WaitEnd());
    EXPECT_GT(VXUIScan::instance().GetScanFileCnt(), 0u);
    EXPECT_EQ(DescriptorsOn(loop), 0) << "after the scan";

    std::string said;
    ASSERT_EQ(RunCommand("losetup -d '" + loop + "'", &said), 0) << said;
    detach.done = true;
    // Gone now, not at our exit. Another program that lists devices (udev's
    // probe) may hold it for a moment; we hold nothing.
    bool gone = !attached();
    for (int i = 0; i < 20 && !gone; ++i) {
        Posts::Wait(std::chrono::milliseconds(100));
        gone = !attached();
    }
    EXPECT_TRUE(gone) << loop << " is still attached";
    auto ours = [&] { return std::count(posts.detaches.begin(), posts.detaches.end(), name); };
    salvor::platform::runUntil([&] { return ours() >= 1; }, std::chrono::seconds(5));
    EXPECT_GE(ours(), 1);
    EXPECT_FALSE(item());
}

} // namespace
