// Storage-media notifications: the notifier over a scripted event source and
// device facts whose entries vanish as sysfs's do.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "services/USBMonitorNotifier.h"
#include "tests/services/MediaPosts.h"
#include "tests/support/FailingFile.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

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
// our device taken again at once by another image (whose size our own
// event then reads), lose no detach and give each the name its medium had.
TEST(MediaNotifier, NoDetachIsLostWhileOtherMediaComeAndGo) {
    constexpr std::chrono::milliseconds kSettle{50};
    FakeFacts facts;
    auto loop = [](const char* name, std::uint64_t size, const char* image, std::uint64_t seq) {
        BlockDiskFacts d = Disk(name, size, {}, image);
        d.diskSeq = seq;
        return d;
    };
    facts.disks = {Disk("loop0", 2048, {"loop0p1"}, "/images/ours.img")};
    facts.disks[0].diskSeq = 5;
    salvor::platform::MediaEventHandler send;
    Posts posts;
    CMediaNotifier notifier(std::make_unique<FakeSource>(&send), facts, kSettle);
    ASSERT_TRUE(notifier.Start());

    // Ours is detached; before its events come, another image arrives and
    // is read, and ours is taken again by a third image.
    facts.disks = {loop("loop0", 0, "", 5), loop("loop7", 2048, "/images/other.img", 9)};
    send(MediaEvent{"change", "loop7", 2048, 9});
    facts.disks[0] = loop("loop0", 4096, "/images/next.img", 6);
    send(MediaEvent{"remove", "loop0p1", -1, 5});
    send(MediaEvent{"change", "loop0", 0, 5});
    send(MediaEvent{"change", "loop0", 4096, 6});
    Posts::Wait(kSettle * 4);
    EXPECT_EQ(posts.detaches, (std::vector<std::string>{"ours.img", "ours.img"}));
    // Taken again before its own event was read: that event shows the
    // newcomer's size; the newcomer's event says the first one went.
    facts.disks[0] = loop("loop0", 8192, "/images/third.img", 7);
    send(MediaEvent{"change", "loop0", 8192, 6});
    EXPECT_EQ(posts.detaches.size(), 2u);
    send(MediaEvent{"change", "loop0", 8192, 7});
    send(MediaEvent{"change", "loop0", 8192, 7});
    Posts::Wait(kSettle * 4);
    facts.disks = {loop("loop0", 0, "", 7), loop("loop7", 0, "", 9)};
    send(MediaEvent{"change", "loop7", 0, 9});
    send(MediaEvent{"change", "loop0", 0, 7});
    Posts::Wait(kSettle * 2);
    EXPECT_EQ(posts.detaches,
              (std::vector<std::string>{"ours.img", "ours.img", "next.img", "other.img", "third.img"}));
    EXPECT_EQ(posts.attaches, 3);
}

// A medium pulled while its facts are read: a read that fails (an attribute
// of a device gone between the open and the read answers ENODEV; a folder
// where a file was, EISDIR) leaves that fact empty; the medium still comes and
// goes by the name the rest of its facts give.
TEST(MediaNotifier, AFactWhoseReadFailsIsEmpty) {
    namespace fs = std::filesystem;
    TempDir root;
    fs::create_directories(fs::path(root.path()) / "block");
    CSysfsBlockDeviceFacts facts(root.path());
    salvor::platform::MediaEventHandler send;
    Posts posts;
    constexpr std::chrono::milliseconds kSettle{50};
    CMediaNotifier notifier(std::make_unique<FakeSource>(&send), facts, kSettle);
    ASSERT_TRUE(notifier.Start());
    auto arrive = [&](const char* name, const char* vendor, const char* model) {
        const fs::path device = fs::path(root.path()) / "block" / name / "device";
        fs::create_directories(device);
        auto write = [](const fs::path& p, const char* text) { std::ofstream(p) << text << "\n"; };
        write(device.parent_path() / "dev", "8:32");
        write(device.parent_path() / "size", "4096");
        write(device / "vendor", vendor);
        write(device / "model", model);
        return device;
    };
    // The vendor's read fails with ENODEV (as root, by a FUSE file).
    std::optional<FailingFile> gone;
    if (::geteuid() == 0) {
        gone.emplace((arrive("sdz", "Kingston", "DataTraveler") / "vendor").string(), ENODEV);
        ASSERT_TRUE(gone->ready()) << gone->why();
        const int fd = ::open((fs::path(root.path()) / "block/sdz/device/vendor").c_str(), O_RDONLY);
        char byte = 0;
        const ssize_t got = ::read(fd, &byte, 1);
        EXPECT_EQ(std::pair(got, errno), std::pair(ssize_t(-1), ENODEV)); // opens, then fails
        ::close(fd);
        send(MediaEvent{"add", "sdz", 4096});
    }
    // A folder where the model was.
    const fs::path sdy = arrive("sdy", "SanDisk ", " Cruzer");
    fs::remove(sdy / "model");
    fs::create_directory(sdy / "model");
    send(MediaEvent{"add", "sdy", 4096});
    Posts::Wait(kSettle * 4);
    EXPECT_EQ(posts.attaches, 2);
    if (gone) send(MediaEvent{"remove", "sdz", -1});
    send(MediaEvent{"remove", "sdy", -1});
    std::vector<std::string> names{"SanDisk"};
    if (gone) names.insert(names.begin(), "DataTraveler");
    EXPECT_EQ(posts.detaches, names);
    if (!gone) GTEST_SKIP() << "the ENODEV read needs root (a FUSE file); the folder's read was checked";
}

// Device facts that throw (whatever their reader meets): the events, on the
// main thread's event loop, go on; the medium is named by its kernel name.
TEST(MediaNotifier, FactsThatThrowEndNothing) {
    struct Throwing : FakeFacts {
        std::vector<BlockDiskFacts> ListDisks() override { throw std::ios_base::failure("No such device"); }
    } facts;
    salvor::platform::MediaEventHandler send;
    Posts posts;
    constexpr std::chrono::milliseconds kSettle{50};
    CMediaNotifier notifier(std::make_unique<FakeSource>(&send), facts, kSettle);
    ASSERT_TRUE(notifier.Start());
    EXPECT_NO_THROW(send(MediaEvent{"add", "sdx", 4096}));
    Posts::Wait(kSettle * 4);
    EXPECT_NO_THROW(send(MediaEvent{"remove", "sdx", -1}));
    EXPECT_EQ(posts.attaches, 2);
    EXPECT_EQ(posts.detaches, std::vector<std::string>{"sdx"});
}

TEST(MediaNotifier, KernelEventsCarryTheDiskSequence) {
    const std::string with("change@/devices/virtual/block/loop3\0ACTION=change\0SUBSYSTEM=block\0DEVNAME=loop3\0"
                           "DISKSEQ=1060\0SEQNUM=2755",
                           104);
    MediaEvent e;
    ASSERT_TRUE(salvor::platform::parseKernelUevent(with.data(), with.size(), e, "/nonexistent"));
    EXPECT_EQ(std::tuple(e.action, e.kernelName, e.size512, e.diskSeq), std::tuple("change", "loop3", -1, 1060u));
    const std::string without = with.substr(0, with.find("DISKSEQ"));
    ASSERT_TRUE(salvor::platform::parseKernelUevent(without.data(), without.size(), e, "/nonexistent"));
    EXPECT_EQ(e.diskSeq, 0u);
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
