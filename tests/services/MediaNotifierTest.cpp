// Storage-media notifications: the notifier over a scripted event source and
// device facts whose entries vanish as sysfs's do; and, as root, over the
// kernel's own events while a disk image is attached and detached with
// losetup and partx.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/USBMonitorNotifier.h"
#include "tests/services/ScanHarness.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

namespace {

using namespace salvor::test;
using salvor::platform::MediaEvent;
using salvor::platform::NotificationCenter;

// Counts the posts: attaches, and the names of the detaches.
struct Posts {
    Posts() {
        NotificationCenter& nc = NotificationCenter::defaultCenter();
        nc.addObserver(this, "RefreshAttachDevice", [this](const auto&) { ++attaches; });
        nc.addObserver(this, "RefreshDetachDevice", [this](const auto& n) { detaches.push_back(n.value("USBPath")); });
    }
    ~Posts() { NotificationCenter::defaultCenter().removeObserver(this); }
    // Turns the loop for a while (posts after a settle time arrive in it).
    static void Wait(std::chrono::milliseconds ms) { salvor::platform::runUntil([] { return false; }, ms); }
    int attaches = 0;
    std::vector<std::string> detaches;
};

class FakeFacts : public IBlockDeviceFacts {
public:
    std::vector<BlockDiskFacts> disks;
    std::vector<BlockDiskFacts> ListDisks() override { return disks; }
    std::string DevicePath(const std::string& name) override { return "/dev/" + name; }
    bool ProbeTable(const std::string&, unsigned, BlockTableFacts&) override { return false; }
    bool ProbeVolume(const std::string&, std::uint64_t, std::uint64_t, BlockVolumeFacts&) override { return false; }
    std::string MountPoint(unsigned, unsigned) override { return ""; }
};

class FakeSource : public salvor::platform::IMediaEventSource {
public:
    explicit FakeSource(salvor::platform::MediaEventHandler* out, bool works = true) : m_out(out), m_works(works) {}
    bool start(salvor::platform::MediaEventHandler handler) override {
        if (m_works) *m_out = std::move(handler);
        return m_works;
    }

private:
    salvor::platform::MediaEventHandler* m_out;
    bool m_works;
};

BlockDiskFacts Disk(const std::string& name, std::uint64_t size, std::vector<std::string> parts = {},
                    const std::string& backing = "") {
    BlockDiskFacts d;
    d.name = name;
    d.size512 = size;
    d.vendor = "SanDisk ";
    d.model = " Cruzer";
    d.backingFile = backing;
    for (const std::string& p : parts) d.partitions.push_back(BlockPartitionFacts{p, 1, 8, 1, 2048, 1000});
    return d;
}

TEST(MediaNotifier, BurstsSettleIntoOneAttachAndEachMediumGoesOnceByItsCachedName) {
    constexpr std::chrono::milliseconds kSettle{100};
    FakeFacts facts;
    facts.disks = {Disk("sda", 1000, {"sda1"}), Disk("loop0", 0)};
    salvor::platform::MediaEventHandler send;
    Posts posts;
    CMediaNotifier notifier(std::make_unique<FakeSource>(&send), facts, kSettle);
    ASSERT_TRUE(notifier.Start());
    EXPECT_EQ(posts.attaches, 1);

    // A disk and two partitions within the settle time: one attach.
    facts.disks.push_back(Disk("sdb", 4000, {"sdb1", "sdb2"}));
    for (const char* name : {"sdb", "sdb1", "sdb2"}) {
        send(MediaEvent{"add", name, 1000});
        Posts::Wait(kSettle / 4);
    }
    Posts::Wait(kSettle * 3);
    EXPECT_EQ(posts.attaches, 2);

    // Gone from sysfs before their events: the names cached at arrival, each once.
    facts.disks.pop_back();
    for (const char* name : {"sdb1", "sdb2", "sdb1"}) send(MediaEvent{"remove", name, -1});
    // A loop device attaches as a change to a size, detaches as a change to 0.
    facts.disks[1] = Disk("loop0", 0, {}, "/images/card one.img");
    send(MediaEvent{"change", "loop0", 2048});
    Posts::Wait(kSettle * 3);
    EXPECT_EQ(posts.attaches, 3);
    send(MediaEvent{"change", "loop0", 2048}); // nothing new
    send(MediaEvent{"change", "loop0", 0});
    send(MediaEvent{"remove", "loop0", -1});
    send(MediaEvent{"remove", "sdz", -1}); // never seen: its kernel name
    send(MediaEvent{"remove", "sda1", -1}); // present at the start
    Posts::Wait(kSettle * 3);
    EXPECT_EQ(posts.attaches, 3);
    EXPECT_EQ(posts.detaches, (std::vector<std::string>{"SanDisk Cruzer", "SanDisk Cruzer", "card one.img", "sdz",
                                                        "SanDisk Cruzer"}));
}

TEST(MediaNotifier, WithoutAMonitorOnlyTheStartAttach) {
    FakeFacts facts;
    salvor::platform::MediaEventHandler send;
    for (bool works : {false, true}) {
        Posts posts;
        CMediaNotifier notifier(works ? nullptr : std::make_unique<FakeSource>(&send, false), facts);
        EXPECT_FALSE(notifier.Start());
        Posts::Wait(std::chrono::milliseconds(50));
        EXPECT_EQ(posts.attaches, 1);
        EXPECT_TRUE(posts.detaches.empty());
    }
}

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
    struct Detach {
        std::string device;
        ~Detach() {
            VXUIDeviceData::instance().Clear();
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

    // The list holds its devices open, and the kernel keeps an open partition.
    VXUIDeviceData::instance().Clear();
    ASSERT_EQ(RunCommand("partx -d '" + loop + "' && losetup -d '" + loop + "'", &said), 0) << said;
    auto ours = [&] { return std::count(posts.detaches.begin(), posts.detaches.end(), name); };
    salvor::platform::runUntil([&] { return ours() >= 3; }, std::chrono::seconds(5));
    Posts::Wait(std::chrono::milliseconds(500));
    EXPECT_EQ(ours(), 3); // two partitions and the disk
    if (!foreign()) {
        EXPECT_EQ(posts.detaches.size(), 3u);
    }
    EXPECT_FALSE(listed(nullptr));
}

} // namespace
