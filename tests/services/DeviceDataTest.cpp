// The device list over a fake enumerator: hidden volumes, flags, index
// mapping, one post per request (also after failed enumerations) and a
// refresh that waits for a running scan and keeps its devices.
#include "services/DeviceData.h"
#include "services/TreeItems.h"
#include "services/UIOperation.h"
#include "services/UIScan.h"

#include "engine/enumeration/EnumDevice.h"
#include "engine/include/StorageDevice.h"
#include "platform/MainThread.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/ImageFileFacts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace {

using namespace std::chrono_literals;

using Device = salvor::test::ImageDevice; // over no file: only its record and permission count

const _GUID kEfi{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
const _GUID kBasicData{0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};

// Lists whatever the test added; Init may fail on demand; Uninit only marks
// the devices released, so a test can see whether they were let go.
class FakeEnumerator : public IEnumDeviceEx {
public:
    Device* AddDisk(const char* name, std::uint32_t bus, std::uint32_t scheme, long long sectors) {
        auto* info = new CCollectDiskDeviceInfoStruct;
        CopyRecordText(info->registryName, name);
        CopyRecordText(info->bsdName, (std::string("/dev/") + name).c_str());
        info->busType = bus;
        info->partitionScheme = scheme;
        info->totalSectors = sectors;
        m_disks.push_back(Keep(CreateDiskDeviceData(info)));
        m_volumes[m_disks.back()];
        return m_devices.back().get();
    }
    Device* AddVolume(Device* disk, const char* name, std::uint32_t fs, long long sectors,
                      const _GUID& type = {}, const char* content = "") {
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        CopyRecordText(info->volumeName, name);
        CopyRecordText(info->contentType, content);
        info->fileSystemType = fs;
        info->totalSectors = sectors;
        info->typeGuid = type;
        info->disk = disk;
        m_volumes[disk].push_back(Keep(CreateVolumeDeviceData(info)));
        return m_devices.back().get();
    }

    ResultCode Init() override {
        while (hold || (holdFrom >= 0 && inits >= holdFrom)) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++inits;
        if (failInits > 0) {
            --failInits;
            return enum_codes::kNoDisk;
        }
        released = false;
        return 0;
    }
    ResultCode Uninit() override {
        ++uninits;
        released = true;
        return 0;
    }
    ResultCode EnumDiskDevice(IStorageDevice** array, int& count) override {
        return CopyOut(m_disks, array, count);
    }
    ResultCode EnumPartitionDevice(const IStorageDevice*, IStorageDevice**, int& count) override {
        count = 0;
        return 0;
    }
    ResultCode EnumVolumeDevice(const IStorageDevice* disk, IStorageDevice** array, int& count) override {
        auto it = m_volumes.find(const_cast<IStorageDevice*>(disk));
        return it == m_volumes.end() ? enum_codes::kUnknownDisk : CopyOut(it->second, array, count);
    }

    // The disk listed first goes last (another medium came before it).
    void RotateDisks() { std::rotate(m_disks.begin(), m_disks.begin() + 1, m_disks.end()); }

    std::atomic<int> inits{0}, uninits{0}, failInits{0};
    std::atomic<bool> released{true}, hold{false}; // hold: Init waits until it is cleared
    std::atomic<int> holdFrom{-1}; // Init waits while this many Inits have been made

private:
    IStorageDevice* Keep(IStorageDeviceData* data) {
        m_devices.push_back(std::make_unique<Device>(""));
        m_devices.back()->SetPrivateData(data);
        return m_devices.back().get();
    }
    ResultCode CopyOut(const std::vector<IStorageDevice*>& list, IStorageDevice** array, int& count) {
        if (released) return enum_codes::kDisksNotInit;
        if (array && count < static_cast<int>(list.size())) return enum_codes::kDiskArraySmall;
        for (std::size_t i = 0; array && i < list.size(); ++i)
            array[i] = list[i];
        count = static_cast<int>(list.size());
        return 0;
    }

    std::vector<std::unique_ptr<Device>> m_devices;
    std::vector<IStorageDevice*> m_disks;
    std::map<IStorageDevice*, std::vector<IStorageDevice*>> m_volumes;
};

class RunningScan : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
};

class DeviceList : public testing::Test {
protected:
    void SetUp() override {
        gptDisk = fake.AddDisk("WD Elements", BUS_USB, PARTITION_SCHEME_GPT, 2000);
        efi = fake.AddVolume(gptDisk, "EFI", FS_FAT32, 100, kEfi);
        data = fake.AddVolume(gptDisk, "Photos", FS_EXFAT, 1800, kBasicData);
        apmDisk = fake.AddDisk("old.dmg", BUS_VIRTUAL, PARTITION_SCHEME_APM, 1000);
        fake.AddVolume(apmDisk, "Apple", FS_UNKNOWN, 63, {}, "Apple_partition_map");
        hfs = fake.AddVolume(apmDisk, "Mac", FS_HFSPLUS, 900, {}, "Apple_HFS");
        fake.AddVolume(apmDisk, "", FS_UNKNOWN, 10, {}, "Apple_Free");
        mbrDisk = fake.AddDisk("Card", BUS_SATA, PARTITION_SCHEME_MBR, 500);
        list.SetPostFunction([this](const std::string&) { ++posts; });
    }
    bool PostsReach(int n) {
        return salvor::platform::runUntil([&] { return posts.load() == n; }, 5s);
    }
    std::list<_DiskVolumeData> Disks() {
        std::list<_DiskVolumeData> disks;
        list.GetAllDeviceInfo(disks);
        return disks;
    }

    FakeEnumerator fake;
    std::atomic<int> posts{0};
    VXUIDeviceData list{&fake};
    Device *gptDisk = nullptr, *efi = nullptr, *data = nullptr, *apmDisk = nullptr, *hfs = nullptr,
           *mbrDisk = nullptr;
    RunningScan scan;
};

// The listed disks: path or name, size, indices, flags and shown volumes.
std::vector<std::string> Show(const std::list<_DiskVolumeData>& disks) {
    std::vector<std::string> out;
    const auto one = [](const _DiskVolumeData& d) {
        return std::string(d.devicePath ? d.devicePath : d.name) + " " + std::to_string(d.size) + " " +
               std::to_string(d.diskIndex) + "/" + std::to_string(d.volumeIndex) + (d.isUsb ? " usb" : "") +
               (d.isDmg ? " dmg" : "") + (d.canOpen ? "" : " closed");
    };
    for (const auto& d : disks) {
        out.push_back(one(d));
        for (const auto& v : d.children) out.back() += " {" + one(v) + "}";
    }
    return out;
}

TEST_F(DeviceList, HiddenVolumesFlagsAndItems) {
    ASSERT_TRUE(list.InitDeviceInfo());
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
    // The EFI partition, the APM map and its free space are hidden; a volume's
    // index is its place among all the disk's volumes.
    EXPECT_EQ(Show(Disks()), (std::vector<std::string>{"/dev/WD Elements 1024000 0/-1 usb {Photos 921600 0/1}",
                                                       "/dev/old.dmg 512000 1/-1 dmg {Mac 460800 1/1}",
                                                       "/dev/Card 256000 2/-1"}));
    const std::vector<DiskVolumeNodeRef> items = DiskVolumeNodeData::itemsFromRecords(Disks());
    ASSERT_EQ(items.size(), 3u);
    ASSERT_EQ(items[0]->children().size(), 1u);
    EXPECT_EQ(items[0]->children()[0]->parentName(), "WD Elements");
    EXPECT_EQ(items[0]->children()[0]->volumeIndex(), 1);
    EXPECT_TRUE(items[2]->children().empty());
}

TEST_F(DeviceList, IndexMappingBothWays) {
    ASSERT_TRUE(list.InitDeviceInfo());
    // The EFI volume is listed by the enumerator, only hidden from the page.
    const std::tuple<int, int, IStorageDevice*> lookups[] = {
        {0, -1, gptDisk}, {0, 1, data},    {0, 0, efi},      {-1, -1, nullptr}, {-1, 0, nullptr},
        {3, -1, nullptr}, {0, 2, nullptr}, {0, -2, nullptr}, {2, 0, nullptr}};
    for (const auto& [disk, volume, device] : lookups)
        EXPECT_EQ(list.GetStorageByDiskVolumeIndex(disk, volume), device) << disk << ", " << volume;
    Device stranger("");
    const std::tuple<IStorageDevice*, bool, int, int> reverse[] = {
        {hfs, true, 1, 1}, {mbrDisk, true, 2, -1}, {&stranger, false, -1, -1}};
    for (const auto& [device, found, disk, volume] : reverse) {
        int d = 9, v = 9;
        EXPECT_EQ(list.GetDiskVolumeIndexByStorage(device, d, v), found);
        EXPECT_EQ(std::pair(d, v), std::pair(disk, volume));
    }
    EXPECT_EQ(list.IsDiskStorage(gptDisk), 1);
    EXPECT_EQ(list.IsDiskStorage(data), 0);
    EXPECT_EQ(list.IsDiskStorage(nullptr), 0);
    EXPECT_EQ(list.GetDiskStorageByVolumeStorage(hfs), apmDisk);
    EXPECT_FALSE(VXUIDeviceData::IsVolumeStorageSupported(efi));
    EXPECT_TRUE(VXUIDeviceData::IsVolumeStorageSupported(data));
    EXPECT_TRUE(VXUIDeviceData::IsVolumeStorageSupported(&stranger)); // no record
    _DiskVolumeData record;
    EXPECT_EQ(list.GetDiskDataByStorage(data, record), 0); // a volume is no disk
    EXPECT_EQ(list.GetVolumeDataByStorage(gptDisk, record), 0);
    EXPECT_EQ(list.GetVolumeDataByStorage(nullptr, record), 0);
    std::list<IStorageDevice*> volumes;
    list.GetDiskVolumeStorage(apmDisk, volumes);
    EXPECT_EQ(volumes.size(), 3u);
}

TEST_F(DeviceList, PermissionAndRefusedRecords) {
    data->SetPermitted(0);
    ASSERT_TRUE(list.InitDeviceInfo());
    EXPECT_EQ(Show(Disks()).front(), "/dev/WD Elements 1024000 0/-1 usb {Photos 921600 0/1 closed}");
    dynamic_cast<IDiskDeviceData*>(mbrDisk->GetPrivateData())->GetDiskInfo()->kind = 1; // marked: left out
    EXPECT_EQ(Disks().size(), 2u);
}

TEST_F(DeviceList, OnePostPerRequestAfterEnumeratingOnAThread) {
    list.NotifyAfterInit("aInitFinished");
    list.NotifyAfterInit("second"); // while the first enumeration may run
    ASSERT_TRUE(PostsReach(2));
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
    list.NotifyAfterInit("third"); // ready: at once, no new enumeration
    EXPECT_EQ(posts.load(), 3);
    EXPECT_EQ(fake.inits.load(), 1);
}

TEST_F(DeviceList, FailedEnumerationIsRetriedOnceAndStillPosts) {
    fake.failInits = 5;
    list.NotifyAfterInit("aInitFinished");
    ASSERT_TRUE(PostsReach(1));
    EXPECT_EQ(fake.inits.load(), 2);
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kEnumerating);
    EXPECT_TRUE(Disks().empty());
    fake.failInits = 1; // a later request tries again
    list.NotifyAfterInit("aInitFinished");
    ASSERT_TRUE(PostsReach(2));
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
}

TEST_F(DeviceList, RefreshWaitsForTheScanAndKeepsItsDevicesWhileItRuns) {
    ASSERT_TRUE(list.InitDeviceInfo());
    scan.SetStatus(OP_RUNNING); // its worker never notices the stop
    int waits = 0;
    list.SetWaitFunction([&](std::chrono::milliseconds step) {
        EXPECT_EQ(step, 1000ms);
        ++waits;
    });
    EXPECT_FALSE(list.RefreshDeviceInfo(scan));
    EXPECT_EQ(waits, VXUIDeviceData::kRefreshWaitSteps);
    EXPECT_EQ(scan.GetStatus(), OP_STOP_REQUESTED);
    EXPECT_EQ(scan.shouldBuild(), 0);
    EXPECT_FALSE(fake.released.load());
    EXPECT_EQ(fake.uninits.load(), 0);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, 1), data);

    scan.SetStatus(OP_RUNNING);
    waits = 0;
    list.SetWaitFunction([&](std::chrono::milliseconds) {
        if (++waits == 3) scan.SetStatus(OP_IDLE); // this time the worker winds down
    });
    EXPECT_TRUE(list.RefreshDeviceInfo(scan));
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(fake.uninits.load(), 1);
    EXPECT_EQ(fake.inits.load(), 2);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(1, 1), hfs);
}

TEST_F(DeviceList, IdentityFindsTheDeviceWhereverTheListPlacesIt) {
    ASSERT_TRUE(list.InitDeviceInfo());
    const std::string disk = VXUIDeviceData::Identity(apmDisk), volume = VXUIDeviceData::Identity(hfs);
    EXPECT_EQ(disk, "/dev/old.dmg|0|old.dmg|512x1000");
    EXPECT_EQ(volume, disk + "|0+900#-1");
    EXPECT_NE(VXUIDeviceData::Identity(data), VXUIDeviceData::Identity(efi));
    EXPECT_EQ(VXUIDeviceData::Identity(nullptr), "");
    Device stranger("");
    EXPECT_EQ(VXUIDeviceData::Identity(&stranger), ""); // no record
    EXPECT_EQ(list.GetStorageByIdentity(""), nullptr);
    EXPECT_EQ(list.GetStorageByIdentity(disk + "|1+1#-1"), nullptr);
    // The records carry it to the items.
    const std::vector<DiskVolumeNodeRef> items = DiskVolumeNodeData::itemsFromRecords(Disks());
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1]->identity(), disk);
    EXPECT_EQ(items[1]->children().at(0)->identity(), volume);
    // Listed again with another disk first: other indices, the same devices.
    fake.RotateDisks();
    ASSERT_TRUE(list.RefreshDeviceInfo(scan));
    EXPECT_EQ(list.GetStorageByIdentity(volume), hfs);
    EXPECT_EQ(list.GetStorageByIdentity(disk), apmDisk);
    int d = -1, v = -1;
    ASSERT_TRUE(list.GetDiskVolumeIndexByStorage(list.GetStorageByIdentity(volume), d, v));
    EXPECT_EQ(std::pair(d, v), std::pair(0, 1));
}

TEST_F(DeviceList, RefreshesOnAThreadMergeAndWhatWaitsForTheListRunsAfter) {
    ASSERT_TRUE(list.InitDeviceInfo());
    fake.hold = true; // the devices are being read
    std::vector<bool> done;
    int waited = 0;
    for (int i = 0; i < 3; ++i) list.RefreshInBackground(scan, [&](bool listed) { done.push_back(listed); });
    EXPECT_TRUE(list.IsListing());
    list.WhenListed([&] { ++waited; });
    list.NotifyAfterInit("aInitFinished"); // posted once the list stands
    salvor::platform::runUntil([] { return false; }, 50ms);
    EXPECT_EQ(std::pair(int(done.size()), waited), std::pair(0, 0)); // the window thread was never held
    EXPECT_EQ(posts.load(), 0);
    fake.hold = false;
    ASSERT_TRUE(salvor::platform::runUntil([&] { return done.size() == 3 && waited == 1 && posts == 1; }, 5s));
    EXPECT_EQ(done, std::vector<bool>(3, true));
    // One listing for the first request, one more for the two made while it ran.
    EXPECT_EQ(fake.inits.load(), 3);
    EXPECT_FALSE(list.IsListing());
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(1, 1), hfs);
    list.WhenListed([&] { ++waited; }); // nothing under way: on the next pass
    EXPECT_EQ(waited, 1);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return waited == 2; }, 5s));
}

// Requests that keep coming while the devices are read (a burst of media
// events) are answered after each listing, not once the burst is over.
TEST_F(DeviceList, EachListingOfABurstIsAnsweredWhenItEnds) {
    ASSERT_TRUE(list.InitDeviceInfo());
    fake.hold = true;
    std::vector<int> done;
    int waited = 0;
    list.RefreshInBackground(scan, [&](bool) { done.push_back(1); });
    list.WhenListed([&] { ++waited; });
    list.RefreshInBackground(scan, [&](bool) { done.push_back(2); }); // came while the first listing runs
    fake.holdFrom = 2; // the listing after it takes long
    fake.hold = false;
    const bool first = salvor::platform::runUntil([&] { return done.size() == 1 && waited == 1; }, 5s);
    const bool stillListing = list.IsListing();
    fake.holdFrom = -1;
    EXPECT_TRUE(first) << "the first request waited for the listings that followed it";
    EXPECT_TRUE(stillListing);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return done.size() == 2; }, 5s));
    EXPECT_EQ(done, (std::vector<int>{1, 2}));
    EXPECT_EQ(fake.inits.load(), 3);
    ASSERT_TRUE(salvor::platform::runUntil([&] { return !list.IsListing(); }, 5s));
}

// A device the scan holds outlives the listing that let it go: listed again
// (a medium came or went), the scan's device stays whole until the scan
// forgets it, and the device is found again in the new list.
TEST(DeviceLifetime, HeldDeviceOutlivesTheListingThatLetItGo) {
    char path[] = "/tmp/salvor-held-device-XXXXXX";
    const int fd = ::mkstemp(path);
    ASSERT_GE(fd, 0);
    std::vector<char> bytes(1 << 20);
    std::generate(bytes.begin(), bytes.end(), [n = 7u]() mutable { return char((n = n * 1103515245u + 12345u) >> 16); });
    ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), ssize_t(bytes.size()));
    ::close(fd);
    {
        salvor::test::ImageFileFacts facts({path});
        CEnumDeviceEx enumerator(facts);
        VXUIDeviceData list(&enumerator);
        ASSERT_TRUE(list.InitDeviceInfo());
        VXUIDeviceData::install(&list);
        IStorageDevice* disk = list.GetDiskStorageByIndex(0);
        ASSERT_NE(disk, nullptr);
        const std::string identity = VXUIDeviceData::Identity(disk);
        VXUIScan& scan = VXUIScan::instance();
        scan.SetDeepScan(0);
        scan.SaveScanSorage(disk); // as a scan of it does
        RunningScan ended;
        ASSERT_TRUE(list.RefreshDeviceInfo(ended)); // the program forgets the scan's device after this
        // Asked before that (a window opening meanwhile): the device is read.
        EXPECT_EQ(scan.IsDeepScan(), 0);
        EXPECT_EQ(VXUIDeviceData::Identity(scan.GetSavedStorage()), identity);
        EXPECT_EQ(list.IsDiskStorage(scan.GetSavedStorage()), 1);
        IStorageDevice* again = list.GetStorageByIdentity(identity);
        ASSERT_NE(again, nullptr);
        int d = -1, v = -1;
        EXPECT_FALSE(list.GetDiskVolumeIndexByStorage(scan.GetSavedStorage(), d, v)); // listed no more
        EXPECT_TRUE(list.GetDiskVolumeIndexByStorage(again, d, v));
        scan.SaveScanSorage(nullptr);
        VXUIDeviceData::install(nullptr);
    }
    ::unlink(path);
}

TEST_F(DeviceList, ClearOnlyWhenEnumerated) {
    list.Clear();
    EXPECT_EQ(fake.uninits.load(), 0);
    ASSERT_TRUE(list.InitDeviceInfo());
    list.Clear();
    EXPECT_EQ(fake.uninits.load(), 1);
    EXPECT_EQ(list.GetDiskStorageByIndex(0), nullptr);
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
    VXUIDeviceData none(nullptr); // no enumerator: nothing listed
    EXPECT_FALSE(none.InitDeviceInfo());
    std::list<_DiskVolumeData> disks;
    none.GetAllDeviceInfo(disks);
    EXPECT_TRUE(disks.empty());
}

// A volume made from a partition entry has no volume name: the label its file
// system carries names it (as in the results tree); a name wins over a label.
TEST(DeviceNames, LabelWhenTheVolumeHasNoName) {
    CCollectedVolumeDeviceInfoStruct info{};
    CopyRecordText(info.label, "CARD2026");
    info.sectorSize = 512;
    _DiskVolumeData out;
    ASSERT_TRUE(VXUIDeviceData::GetVolumeDataByVolumeInfo(&info, out));
    EXPECT_STREQ(out.name, "CARD2026");
    CopyRecordText(info.volumeName, "sdb1");
    ASSERT_TRUE(VXUIDeviceData::GetVolumeDataByVolumeInfo(&info, out));
    EXPECT_STREQ(out.name, "sdb1");
    CopyRecordText(info.volumeName, "");
    CopyRecordText(info.label, "");
    ASSERT_TRUE(VXUIDeviceData::GetVolumeDataByVolumeInfo(&info, out));
    EXPECT_STREQ(out.name, ""); // "Untitled" in the list
}

} // namespace
