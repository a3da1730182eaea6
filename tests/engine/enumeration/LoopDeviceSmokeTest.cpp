// The enumerator over the real system: an sfdisk-made MBR image attached as a
// loop device. Needs root (losetup); skipped with a message otherwise.
#include "engine/device/StorageDevices.h"
#include "tests/engine/enumeration/EnumTestSupport.h"
#include "tests/support/FailingFile.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <optional>
#include <thread>

using namespace salvor::test;

namespace {

// The disk's volumes described; each volume device answers the partitions' size.
std::vector<std::string> VolumesOf(IEnumDeviceEx& e, IStorageDevice* disk) {
    const auto volumes = Volumes(e, disk);
    for (IStorageDevice* d : volumes) EXPECT_EQ(d->GetTotalSectors(), 20480u);
    return Describe(volumes);
}

// This process's descriptors open on the device node or on one of its
// partitions' nodes.
int DescriptorsOn(const std::string& node) {
    int n = 0;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (!error && (target == node || target.rfind(node + "p", 0) == 0)) ++n;
    }
    return n;
}

class LoopDeviceSmoke : public ::testing::Test {
protected:
    void SetUp() override {
        SALVOR_REQUIRE_LOOP_DEVICES();
        const std::string src = FixtureFile("part_tables", "mbr.img");
        ASSERT_FALSE(src.empty());
        std::filesystem::copy_file(src, dir.file("smoke.img"));
        loop = std::make_unique<LoopAttachment>(dir.file("smoke.img"));
        if (loop->path().empty()) GTEST_SKIP() << "no loop device could be attached: " << loop->error();
    }
    TempDir dir;
    std::unique_ptr<LoopAttachment> loop;
};

TEST_F(LoopDeviceSmoke, AttachedImageIsADiskImageWithItsVolumes) {
    CSysfsBlockDeviceFacts facts;
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* disk = Disk(e, loop->name());
    ASSERT_NE(disk, nullptr) << loop->path();
    EXPECT_EQ(DiskRec(disk).busType, BUS_VIRTUAL);
    EXPECT_STREQ(DiskRec(disk).registryName, "smoke.img");
    EXPECT_EQ(DiskRec(disk).partitionScheme, PARTITION_SCHEME_MBR);
    EXPECT_EQ(disk->IsPermitted(), 1);
    // Without partition devices the table's partitions come as volumes of the merge.
    EXPECT_EQ(VolumesOf(e, disk), (std::vector<std::string>{"1  '' 2048+20480 fs10", "3  '' 83968+20480 fs10",
                                                             "5  '' 24576+20480 fs10", "6  '' 47104+20480 fs10"}));
    // The listing has let its descriptors go: a detached device is not held.
    EXPECT_EQ(DescriptorsOn(loop->path()), 0);
    ASSERT_EQ(e.Uninit(), 0u);

    // With them (partx -a) the kernel's partitions are the volumes; no stub of the extended one.
    ASSERT_EQ(RunCommand("partx -a '" + loop->path() + "'"), 0);
    ASSERT_EQ(e.Init(), 0u);
    disk = Disk(e, loop->name());
    ASSERT_NE(disk, nullptr);
    std::vector<std::string> expected;
    for (auto [n, start] : {std::pair{1, 2048}, {3, 83968}, {5, 24576}, {6, 47104}}) {
        const std::string name = loop->name() + "p" + std::to_string(n);
        expected.push_back(std::to_string(n) + " " + name + " '" + name + "' " + std::to_string(start) + "+20480 fs10");
    }
    EXPECT_EQ(VolumesOf(e, disk), expected);
    EXPECT_EQ(DescriptorsOn(loop->path()), 0) << "a volume's descriptor is held";
    EXPECT_EQ(e.Uninit(), 0u);
}

// Beside it, a stick that fails or hangs: every read failing at once, or
// every read held without an answer. The listing never waits on it: a failing one is listed as it
// answers, a hung one is left out (and said) once the wait ends, and listed
// again when it answers. One that answers within the wait is waited for and
// listed; the listing ends as soon as every disk has answered, never at the
// end of the wait. A hung stick's listing outlives its enumerator and the
// facts it was given: it ends on a copy of its own.
TEST_F(LoopDeviceSmoke, ADeadOrHungStickKeepsNoOtherDiskFromTheList) {
    using Clock = std::chrono::steady_clock;
    using std::chrono::milliseconds;
    struct Row {
        const char* shape;
        bool failing, held;
        milliseconds wait;         // the listing's wait; zero: the enumerator's own (10 s)
        milliseconds answersAfter; // a held stick answers by itself then; zero: only at the row's end
    } rows[] = {
        {"every read failing at once", true, false, milliseconds(0), milliseconds(0)},
        {"every read held", false, true, milliseconds(3000), milliseconds(0)},
        {"every read held a second, then answered", false, true, milliseconds(8000), milliseconds(1000)},
    };
    // Long enough that waiting out a silence even once shows.
    CDescriptorDevice::SetSilenceLimit(std::chrono::seconds(8));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.shape);
        CEnumDeviceEx::SetListingWait(row.wait);
        const bool stillHeld = row.held && row.answersAfter == milliseconds(0);
        const std::string served = dir.file("dead.served"), flag = dir.file("flag");
        { std::ofstream(served.c_str()); }
        { std::ofstream(flag.c_str()); }
        std::optional<FailingFile> file;
        file.emplace(served, dir.file("smoke.img"), std::vector<FailingFile::Range>{},
                     row.failing ? flag : std::string(), row.held ? flag : std::string());
        if (!file->ready()) GTEST_SKIP() << file->why();
        std::optional<LoopAttachment> dead;
        dead.emplace(served, "-r");
        if (dead->path().empty()) GTEST_SKIP() << "no loop device could be attached: " << dead->error();
        // Whatever happens, the held reads are answered before the row ends.
        struct Answer {
            std::string flag;
            std::thread later;
            ~Answer() {
                if (later.joinable()) later.join();
                ::unlink(flag.c_str());
            }
        } answer{flag, {}};
        auto listedDisk = [](IEnumDeviceEx& e, const std::string& name) -> IStorageDevice* {
            for (IStorageDevice* d : Disks(e))
                if (name == DiskRec(d).bsdName) return d;
            return nullptr;
        };
        auto facts = std::make_unique<CSysfsBlockDeviceFacts>();
        auto e = std::make_unique<CEnumDeviceEx>(*facts);
        if (row.answersAfter > milliseconds(0))
            answer.later = std::thread([&] {
                std::this_thread::sleep_for(row.answersAfter);
                ::unlink(flag.c_str());
            });
        const auto t0 = Clock::now();
        auto init = std::async(std::launch::async, [&] { return e->Init(); });
        const bool ended = init.wait_for(std::chrono::seconds(20)) == std::future_status::ready;
        const auto took = Clock::now() - t0;
        ASSERT_TRUE(ended) << "the listing waited on the stick for more than 20 s";
        ASSERT_EQ(init.get(), 0u);
        if (stillHeld) {
            // Listed again while the stick still holds the first listing's
            // reads: it is not read (nor waited for) a second time.
            CEnumDeviceEx again(*facts);
            const auto t1 = Clock::now();
            ASSERT_EQ(again.Init(), 0u);
            EXPECT_LT(Clock::now() - t1, std::chrono::milliseconds(2500));
            EXPECT_EQ(listedDisk(again, dead->name()), nullptr);
            EXPECT_NE(listedDisk(again, loop->name()), nullptr);
        }
        if (row.answersAfter > milliseconds(0)) {
            EXPECT_GE(took, row.answersAfter / 2) << "the listing did not wait for the stick that answers";
            EXPECT_LT(took, row.wait - milliseconds(1000)) << "the listing waited past the stick's answer";
        } else {
            EXPECT_LT(took, std::chrono::seconds(row.held ? 6 : 4));
        }
        IStorageDevice* disk = listedDisk(*e, loop->name());
        ASSERT_NE(disk, nullptr) << "the disk beside the stick is listed";
        EXPECT_EQ(VolumesOf(*e, disk).size(), 4u);
        IStorageDevice* stick = listedDisk(*e, dead->name());
        if (stillHeld) {
            EXPECT_EQ(stick, nullptr) << "a stick that has not answered is not listed yet";
            // The enumerator and its facts go while the stick still holds
            // the listing's read; then the stick answers.
            EXPECT_EQ(e->Uninit(), 0u);
            e.reset();
            facts.reset();
            ::unlink(flag.c_str());
            for (int i = 0; i < 100 && CEnumDeviceEx::DisksStillRead() > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
            facts = std::make_unique<CSysfsBlockDeviceFacts>();
            e = std::make_unique<CEnumDeviceEx>(*facts);
            ASSERT_EQ(e->Init(), 0u);
            stick = listedDisk(*e, dead->name());
            EXPECT_NE(stick, nullptr) << "once it answers it is listed";
        } else if (row.held) {
            ASSERT_NE(stick, nullptr) << "a stick that answers within the wait is listed";
            EXPECT_EQ(VolumesOf(*e, stick).size(), 4u);
        } else {
            ASSERT_NE(stick, nullptr) << "a failing stick is listed as it answers";
            EXPECT_EQ(DiskRec(stick).busType, BUS_VIRTUAL);
            EXPECT_FALSE(DeviceGone(stick)) << "only a scan that reads it judges it";
        }
        EXPECT_EQ(e->Uninit(), 0u);
    }
    CEnumDeviceEx::SetListingWait(std::chrono::milliseconds(0));
    CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(0));
}

TEST_F(LoopDeviceSmoke, UserWithoutPermissionSeesTheDiskAsNotPermitted) {
    const std::string name = loop->name();
    EXPECT_EQ(ExitStatusAsNobody([&] {
                  CSysfsBlockDeviceFacts facts;
                  CEnumDeviceEx e(facts);
                  if (IsFailure(e.Init())) return 11;
                  IStorageDevice* disk = Disk(e, name);
                  const int answer = !disk ? 12 : disk->IsPermitted() == 0 ? 0 : 13;
                  e.Uninit();
                  return answer;
              }),
              0)
        << "100 setuid failed, 11 Init failed, 12 disk not listed, 13 disk permitted";
}

} // namespace

// A card whose last block fails is still told by its file system and label:
// the probes that look at a device's end fail alone.
TEST_F(LoopDeviceSmoke, AVolumeWhoseLastBlockFailsKeepsItsKindAndLabel) {
    const std::string image = FixtureFile("fat_32", "fat_32.img");
    ASSERT_FALSE(image.empty());
    const auto size = std::filesystem::file_size(image);
    { std::ofstream(dir.file("last_block_fails.img")); }
    FailingFile failing(dir.file("last_block_fails.img"), image, {{size - 4096, 4096}});
    ASSERT_TRUE(failing.ready()) << failing.why();
    const LoopAttachment card(dir.file("last_block_fails.img"), "-r");
    ASSERT_FALSE(card.path().empty()) << card.error();
    CSysfsBlockDeviceFacts facts;
    BlockVolumeFacts volume;
    ASSERT_TRUE(facts.ProbeVolume(card.path(), 0, size, volume));
    EXPECT_EQ(std::pair(volume.type, volume.label), std::pair(std::string("vfat"), std::string("SALVOR32")));
}
