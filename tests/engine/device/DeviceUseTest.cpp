// Devices opened by path hold their descriptor only while the opener, a use
// or a read needs it; a closed descriptor (whose number may be reused) is
// never read.
#include "engine/device/StorageDevices.h"
#include "engine/utility/AsyncRead.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <optional>
#include <thread>
#include <vector>

namespace {

using namespace salvor::test;
using DevicePtr = std::unique_ptr<IStorageDevice>;

// Descriptors of this process open on path.
int OpenOn(const std::string& path) {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir) return -1;
    while (dirent* e = ::readdir(dir)) {
        char target[PATH_MAX] = {};
        const std::string link = std::string("/proc/self/fd/") + e->d_name;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && std::string(target, static_cast<std::size_t>(n)) == path) ++count;
    }
    ::closedir(dir);
    return count;
}

class DeviceUse : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(WriteStampedImage(path, 1000)); }
    static bool ReadsStamp(IStorageDevice& d, long long sector) {
        std::vector<unsigned char> buf(512 * 4);
        return d.ReadSector(buf.data(), sector, 4) &&
               Stamps(buf.data(), 4) == SectorList{sector, sector + 1, sector + 2, sector + 3};
    }
    TempDir dir;
    const std::string path = dir.file("img");
};

TEST_F(DeviceUse, TheOpenerUsesAndReadsHoldTheDescriptorAndNothingElse) {
    DevicePtr disk(CreateDiskDevice(path.c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    auto& d = dynamic_cast<CDescriptorDevice&>(*disk);
    EXPECT_EQ(OpenOn(path), 1);
    EXPECT_GE(d.GetDescriptor(), 0);
    EXPECT_EQ(disk->Close(), 1);
    EXPECT_EQ(OpenOn(path), 0);
    EXPECT_EQ(d.GetDescriptor(), -1);
    EXPECT_EQ(disk->GetTotalSectors(), 1000u); // the geometry stays

    // Closed, it still reads: a read opens the device for itself only.
    EXPECT_TRUE(ReadsStamp(*disk, 10));
    EXPECT_EQ(OpenOn(path), 0);

    // A use holds one descriptor for every read it makes, uses nest, and a
    // window's use is its parent's.
    auto* record = new CCollectDiskDeviceInfoStruct;
    record->sectorSize = 512;
    record->totalSectors = 1000;
    disk->SetPrivateData(CreateDiskDeviceData(record));
    DevicePtr part(CreatePartitionDevice(disk.get(), 100, 200));
    ASSERT_EQ(part->Open(nullptr), 1);
    {
        CDeviceUse scan(disk.get());
        ASSERT_TRUE(scan.Held());
        EXPECT_EQ(OpenOn(path), 1);
        {
            CDeviceUse preview(part.get());
            ASSERT_TRUE(preview.Held());
            std::vector<unsigned char> buf(512);
            EXPECT_EQ(part->ReadSector(buf.data(), 5, 1), 1);
            EXPECT_EQ(Stamps(buf.data(), 1), SectorList{105});
            EXPECT_TRUE(ReadsStamp(*disk, 500));
            EXPECT_EQ(OpenOn(path), 1);
        }
        EXPECT_EQ(OpenOn(path), 1);
    }
    EXPECT_EQ(OpenOn(path), 0);
    EXPECT_FALSE(d.HoldsDescriptor());
}

TEST_F(DeviceUse, ADeviceNeverOpenedOrRefusedIsNotOpenedLater) {
    DevicePtr never(CreateDiskDevice(path.c_str()));
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(never->ReadSector(buf.data(), 0, 1), 0);
    EXPECT_FALSE(CDeviceUse(never.get()).Held());
    EXPECT_EQ(OpenOn(path), 0);

    DevicePtr missing(CreateDiskDevice(dir.file("none").c_str()));
    EXPECT_EQ(missing->Open(nullptr), 0);
    EXPECT_FALSE(CDeviceUse(missing.get()).Held());
}

TEST_F(DeviceUse, APathThatNowNamesAnotherFileIsNotRead) {
    DevicePtr disk(CreateDiskDevice(path.c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    disk->Close();
    // Another file under the same name: the device it stood for is gone.
    const std::string other = dir.file("other");
    ASSERT_TRUE(WriteStampedImage(other, 1000));
    ASSERT_EQ(std::rename(other.c_str(), path.c_str()), 0);
    std::vector<unsigned char> buf(512);
    EXPECT_EQ(disk->ReadSector(buf.data(), 0, 1), 0);
    EXPECT_EQ(ResultError(disk->GetLastError()), 1u);
    EXPECT_FALSE(CDeviceUse(disk.get()).Held());
    EXPECT_EQ(OpenOn(path), 0);
}

// A recovery holding three volumes of a disk (each a window, whose use is
// the disk's) while a preview holds one of them: one descriptor, open until
// the last of them ends, whichever ends first.
TEST_F(DeviceUse, ThreeVolumesAndAPreviewHoldOneDescriptorUntilTheLastEnds) {
    DevicePtr disk(CreateDiskDevice(path.c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    disk->Close();
    auto* record = new CCollectDiskDeviceInfoStruct;
    record->sectorSize = 512;
    record->totalSectors = 1000;
    disk->SetPrivateData(CreateDiskDeviceData(record));
    std::vector<DevicePtr> volumes;
    for (long long start : {100, 300, 600}) {
        volumes.emplace_back(CreatePartitionDevice(disk.get(), start, 200));
        ASSERT_EQ(volumes.back()->Open(nullptr), 1);
    }
    for (const bool recoveryEndsFirst : {true, false}) {
        SCOPED_TRACE(recoveryEndsFirst ? "the recovery ends first" : "the preview ends first");
        std::optional<std::vector<CDeviceUse>> recovery(std::in_place);
        for (const DevicePtr& v : volumes) recovery->emplace_back(v.get());
        std::optional<CDeviceUse> preview(std::in_place, volumes[1].get());
        ASSERT_TRUE(preview->Held());
        EXPECT_EQ(OpenOn(path), 1);
        if (recoveryEndsFirst)
            recovery.reset();
        else
            preview.reset();
        EXPECT_EQ(OpenOn(path), 1) << "one user is left";
        std::vector<unsigned char> buf(512);
        EXPECT_EQ(volumes[1]->ReadSector(buf.data(), 7, 1), 1);
        EXPECT_EQ(Stamps(buf.data(), 1), SectorList{307});
        EXPECT_EQ(OpenOn(path), 1);
        recovery.reset();
        preview.reset();
        EXPECT_EQ(OpenOn(path), 0);
    }
}

// A loop node detached and attached to another image of another size between
// two reads is another disk: the device read before fails, and never answers
// the other image's bytes.
TEST(LoopDeviceUse, ANodeReattachedToAnotherImageIsNotRead) {
    SALVOR_REQUIRE_LOOP_DEVICES();
    TempDir dir;
    ASSERT_TRUE(WriteStampedImage(dir.file("first"), 2048));
    {
        std::FILE* f = std::fopen(dir.file("second").c_str(), "wb");
        ASSERT_TRUE(f);
        const std::vector<unsigned char> ones(4096 * 512, 0xA5);
        std::fwrite(ones.data(), 1, ones.size(), f);
        std::fclose(f);
    }
    auto first = std::make_unique<LoopAttachment>(dir.file("first"));
    if (first->path().empty()) GTEST_SKIP() << "losetup could not attach a loop device: " << first->error();
    const std::string node = first->path();
    DevicePtr disk(CreateDiskDevice(node.c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    std::vector<unsigned char> buf(512);
    ASSERT_EQ(disk->ReadSector(buf.data(), 10, 1), 1);
    EXPECT_EQ(Stamps(buf.data(), 1), SectorList{10});
    disk->Close();
    ASSERT_EQ(OpenOn(node), 0) << "a closed device holds nothing, so the node can be detached";
    first.reset();
    // The same node, now over the other image; only a node this test attached is detached.
    std::string said;
    if (RunCommand("losetup '" + node + "' '" + dir.file("second") + "' 2>&1", &said) != 0)
        GTEST_SKIP() << node << " was taken by another program before it could be attached again: " << said;
    struct Detach {
        std::string node;
        ~Detach() { RunCommand("losetup -d '" + node + "'"); }
    } detach{node};
    std::fill(buf.begin(), buf.end(), 0);
    EXPECT_EQ(disk->ReadSector(buf.data(), 10, 1), 0);
    EXPECT_EQ(std::count(buf.begin(), buf.end(), 0xA5), 0) << "the other image's bytes were read";
    EXPECT_FALSE(CDeviceUse(disk.get()).Held());
    EXPECT_EQ(OpenOn(node), 0);
}

// Reads on one thread while uses come and go on another: every read answers
// the right sectors (a descriptor closed under a read, its number given to
// the files opened here meanwhile, would answer theirs), and at the end
// nothing is left open.
TEST_F(DeviceUse, UsesEndingDuringReadsNeverCloseADescriptorInUse) {
    DevicePtr disk(CreateDiskDevice(path.c_str()));
    ASSERT_EQ(disk->Open(nullptr), 1);
    disk->Close();
    const std::string decoy = dir.file("decoy");
    {
        std::FILE* f = std::fopen(decoy.c_str(), "wb");
        ASSERT_TRUE(f);
        const std::vector<unsigned char> ones(1 << 20, 0xFF);
        std::fwrite(ones.data(), 1, ones.size(), f);
        std::fclose(f);
    }
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0}, reads{0};
    std::vector<std::thread> threads;
    // One reader, through the cache and around it by turns: with more
    // requests at once the system's read threads start threads of their own,
    // which ThreadSanitizer cannot follow.
    threads.emplace_back([&] {
        auto* direct = dynamic_cast<IDirectRead*>(disk.get());
        asyncread::Buffer buffer;
        buffer.Reserve(8 * 4096);
        for (long long s = 0; !stop; s = (s + 7) % 900, ++reads) {
            if (!ReadsStamp(*disk, s + 1)) ++wrong;
            const long long b = s / 64 * 64;
            if (!direct->ReadSectorsInto(buffer, b, 64) || Stamps(buffer.data() + 512, 1) != SectorList{b + 1})
                ++wrong;
        }
    });
    threads.emplace_back([&] {
        // Uses begin and end, and other files take the freed numbers.
        while (!stop) {
            { CDeviceUse use(disk.get()); }
            const int fd = ::open(decoy.c_str(), O_RDONLY | O_CLOEXEC);
            std::this_thread::yield();
            if (fd >= 0) ::close(fd);
        }
    });
    while (reads < 3000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    stop = true;
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(OpenOn(path), 0);
    EXPECT_EQ(asyncread::DescriptorsLeftOpen(), 0u);
}

} // namespace
