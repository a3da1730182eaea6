// Storage-media notifications: the notifier over a scripted event source and
// device facts whose entries vanish as sysfs's do.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "services/USBMonitorNotifier.h"
#include "tests/services/MediaPosts.h"

#include <gtest/gtest.h>

namespace {

using namespace salvor::test;
using salvor::platform::MediaEvent;

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

// Other loop devices come and go beside ours: a read of the devices made for
// another medium's arrival after ours went (its events still queued), and
// our device taken again at once by another image, lose no detach and give
// each the name its medium had.
TEST(MediaNotifier, NoDetachIsLostWhileOtherMediaComeAndGo) {
    constexpr std::chrono::milliseconds kSettle{50};
    FakeFacts facts;
    BlockDiskFacts ours = Disk("loop0", 2048, {"loop0p1"}, "/images/ours.img");
    facts.disks = {ours};
    salvor::platform::MediaEventHandler send;
    Posts posts;
    CMediaNotifier notifier(std::make_unique<FakeSource>(&send), facts, kSettle);
    ASSERT_TRUE(notifier.Start());

    // Ours is detached; before its events come, another image arrives and
    // is read, and ours is taken again by a third image.
    facts.disks = {Disk("loop0", 0), Disk("loop7", 2048, {}, "/images/other.img")};
    send(MediaEvent{"change", "loop7", 2048});
    facts.disks[0] = Disk("loop0", 4096, {}, "/images/next.img");
    send(MediaEvent{"remove", "loop0p1", -1});
    send(MediaEvent{"change", "loop0", 0});
    send(MediaEvent{"change", "loop0", 4096});
    Posts::Wait(kSettle * 4);
    facts.disks = {Disk("loop0", 0), Disk("loop7", 0)};
    send(MediaEvent{"change", "loop7", 0});
    send(MediaEvent{"change", "loop0", 0});
    Posts::Wait(kSettle * 2);
    EXPECT_EQ(posts.detaches, (std::vector<std::string>{"ours.img", "ours.img", "other.img", "next.img"}));
    EXPECT_EQ(posts.attaches, 2);
}

TEST(MediaNotifier, WithoutAMonitorOnlyTheStartAttach) {
    FakeFacts facts;
    salvor::platform::MediaEventHandler send;
    for (bool none : {false, true}) {
        Posts posts;
        CMediaNotifier notifier(none ? nullptr : std::make_unique<FakeSource>(&send, false), facts);
        EXPECT_FALSE(notifier.Start());
        Posts::Wait(std::chrono::milliseconds(50));
        EXPECT_EQ(std::pair(posts.attaches, posts.detaches.size()), std::pair(1, std::size_t{0}));
    }
}

} // namespace
