// The device list over a fake enumerator: hidden volumes, flags, index
// mapping, one post per request (also after failed enumerations) and a
// refresh that waits for a running scan and keeps its devices.
#include "services/DeviceData.h"
#include "services/UIOperation.h"

#include "engine/enumeration/EnumDevice.h"
#include "engine/include/StorageDevice.h"
#include "platform/MainThread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;

class FakeDevice : public IStorageDevice {
public:
    explicit FakeDevice(IStorageDeviceData* data) : m_data(data) {}
    int Open(char*) override { return 1; }
    int Close() override { return 1; }
    int ReadSector(void*, long long, long long) override { return 0; }
    unsigned GetSectorSize() override { return 512; }
    unsigned long long GetTotalSectors() override { return 0; }
    ResultCode IOCtl(unsigned long long, void*) override { return 0; }
    IStorageDeviceData* GetPrivateData() override { return m_data.get(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_data.reset(data); }
    int GetType() override { return 0; }
    ResultCode GetLastError() override { return 0; }
    int IsPermitted() override { return permitted; }
    int permitted = 1;

private:
    std::unique_ptr<IStorageDeviceData> m_data;
};

const _GUID kEfi{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}};
const _GUID kBasicData{0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7}};

// Lists whatever the test added; Init may fail on demand; Uninit only marks
// the devices released, so a test can see whether they were let go.
class FakeEnumerator : public IEnumDeviceEx {
public:
    FakeDevice* AddDisk(const char* name, std::uint32_t bus, std::uint32_t scheme, long long sectors) {
        auto* info = new CCollectDiskDeviceInfoStruct;
        CopyRecordText(info->registryName, name);
        CopyRecordText(info->bsdName, (std::string("/dev/") + name).c_str());
        info->busType = bus;
        info->partitionScheme = scheme;
        info->totalSectors = sectors;
        m_devices.push_back(std::make_unique<FakeDevice>(CreateDiskDeviceData(info)));
        m_disks.push_back(m_devices.back().get());
        m_volumes[m_disks.back()];
        return m_devices.back().get();
    }
    FakeDevice* AddVolume(FakeDevice* disk, const char* name, std::uint32_t fs, long long sectors,
                          const _GUID& type = {}, const char* content = "") {
        auto* info = new CCollectedVolumeDeviceInfoStruct;
        CopyRecordText(info->volumeName, name);
        CopyRecordText(info->contentType, content);
        info->fileSystemType = fs;
        info->totalSectors = sectors;
        info->typeGuid = type;
        info->disk = disk;
        m_devices.push_back(std::make_unique<FakeDevice>(CreateVolumeDeviceData(info)));
        m_volumes[disk].push_back(m_devices.back().get());
        return m_devices.back().get();
    }

    ResultCode Init() override {
        ++inits;
        if (failInits > 0) {
            --failInits;
            return enum_codes::kNoDisk;
        }
        released = false;
        initialised = true;
        return 0;
    }
    ResultCode Uninit() override {
        ++uninits;
        released = true;
        initialised = false;
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
        if (it == m_volumes.end()) return enum_codes::kUnknownDisk;
        return CopyOut(it->second, array, count);
    }

    std::atomic<int> inits{0}, uninits{0}, failInits{0};
    std::atomic<bool> released{false}, initialised{false};

private:
    ResultCode CopyOut(const std::vector<IStorageDevice*>& list, IStorageDevice** array, int& count) {
        if (!initialised) return enum_codes::kDisksNotInit;
        if (!array) {
            count = static_cast<int>(list.size());
            return 0;
        }
        if (count < static_cast<int>(list.size())) return enum_codes::kDiskArraySmall;
        for (std::size_t i = 0; i < list.size(); ++i) array[i] = list[i];
        count = static_cast<int>(list.size());
        return 0;
    }

    std::vector<std::unique_ptr<FakeDevice>> m_devices;
    std::vector<IStorageDevice*> m_disks;
    std::map<IStorageDevice*, std::vector<IStorageDevice*>> m_volumes;
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
        list.SetPostFunction([this](const std::string& key) {
            std::lock_guard<std::mutex> lock(postMutex);
            posts.push_back(key);
        });
    }
    std::size_t PostCount() {
        std::lock_guard<std::mutex> lock(postMutex);
        return posts.size();
    }

    FakeEnumerator fake;
    VXUIDeviceData list{&fake};
    FakeDevice *gptDisk = nullptr, *efi = nullptr, *data = nullptr, *apmDisk = nullptr, *hfs = nullptr,
               *mbrDisk = nullptr;
    std::mutex postMutex;
    std::vector<std::string> posts;
};

TEST_F(DeviceList, HiddenVolumesFlagsAndIndices) {
    ASSERT_TRUE(list.InitDeviceInfo());
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
    std::list<_DiskVolumeData> disks;
    list.GetAllDeviceInfo(disks);
    ASSERT_EQ(disks.size(), 3u);

    const _DiskVolumeData& gpt = disks.front();
    EXPECT_STREQ(gpt.name, "WD Elements");
    EXPECT_STREQ(gpt.devicePath, "/dev/WD Elements");
    EXPECT_EQ(gpt.size, 2000u * 512);
    EXPECT_EQ(gpt.diskIndex, 0);
    EXPECT_EQ(gpt.volumeIndex, -1);
    EXPECT_EQ(gpt.isUsb, 1u);
    EXPECT_EQ(gpt.isDmg, 0u);
    EXPECT_EQ(gpt.fileSystem, 0xFFFFFFFFu);
    ASSERT_EQ(gpt.children.size(), 1u); // the EFI partition is hidden
    EXPECT_STREQ(gpt.children.front().name, "Photos");
    EXPECT_EQ(gpt.children.front().volumeIndex, 1); // its place among all volumes
    EXPECT_EQ(gpt.children.front().diskIndex, 0);
    EXPECT_EQ(gpt.children.front().fileSystem, static_cast<std::uint32_t>(FS_EXFAT));

    const _DiskVolumeData& apm = *std::next(disks.begin());
    EXPECT_EQ(apm.isDmg, 1u);
    ASSERT_EQ(apm.children.size(), 1u); // map and free space hidden
    EXPECT_STREQ(apm.children.front().name, "Mac");
    EXPECT_EQ(apm.children.front().volumeIndex, 1);

    EXPECT_TRUE(disks.back().children.empty());
    EXPECT_EQ(disks.back().diskIndex, 2);
}

TEST_F(DeviceList, IndexMappingBothWays) {
    ASSERT_TRUE(list.InitDeviceInfo());
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, -1), gptDisk);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, 1), data);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, 0), efi); // listed by the enumerator, hidden from the page
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(-1, -1), nullptr);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(-1, 0), nullptr);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(3, -1), nullptr);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, 2), nullptr);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(0, -2), nullptr);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(2, 0), nullptr);

    int disk = 9, volume = 9;
    EXPECT_TRUE(list.GetDiskVolumeIndexByStorage(hfs, disk, volume));
    EXPECT_EQ(disk, 1);
    EXPECT_EQ(volume, 1);
    EXPECT_TRUE(list.GetDiskVolumeIndexByStorage(mbrDisk, disk, volume));
    EXPECT_EQ(disk, 2);
    EXPECT_EQ(volume, -1);
    FakeDevice stranger(nullptr);
    EXPECT_FALSE(list.GetDiskVolumeIndexByStorage(&stranger, disk, volume));
    EXPECT_EQ(disk, -1);
    EXPECT_EQ(volume, -1);

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
    data->permitted = 0;
    ASSERT_TRUE(list.InitDeviceInfo());
    std::list<_DiskVolumeData> disks;
    list.GetAllDeviceInfo(disks);
    EXPECT_EQ(disks.front().children.front().canOpen, 0u);
    EXPECT_EQ(disks.front().canOpen, 1u);
    auto* info = dynamic_cast<IDiskDeviceData*>(mbrDisk->GetPrivateData())->GetDiskInfo();
    info->kind = 1; // a marked record is left out
    disks.clear();
    list.GetAllDeviceInfo(disks);
    EXPECT_EQ(disks.size(), 2u);
}

TEST_F(DeviceList, OnePostPerRequestAfterEnumeratingOnAThread) {
    list.NotifyAfterInit("aInitFinished");
    list.NotifyAfterInit("second"); // while the first enumeration may run
    ASSERT_TRUE(salvor::platform::runUntil([&] { return PostCount() == 2; }, 5s));
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
    list.NotifyAfterInit("third"); // ready: at once, no new enumeration
    EXPECT_EQ(PostCount(), 3u);
    EXPECT_EQ(fake.inits.load(), 1);
}

TEST_F(DeviceList, FailedEnumerationIsRetriedOnceAndStillPosts) {
    fake.failInits = 5;
    list.NotifyAfterInit("aInitFinished");
    ASSERT_TRUE(salvor::platform::runUntil([&] { return PostCount() == 1; }, 5s));
    EXPECT_EQ(fake.inits.load(), 2);
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kEnumerating);
    std::list<_DiskVolumeData> disks;
    list.GetAllDeviceInfo(disks);
    EXPECT_TRUE(disks.empty());
    // A later request tries again.
    fake.failInits = 1;
    list.NotifyAfterInit("aInitFinished");
    ASSERT_TRUE(salvor::platform::runUntil([&] { return PostCount() == 2; }, 5s));
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
}

class RunningScan : public VXUIOperation {
public:
    void UpdateProgress(_PROGRESS_INFO*) override {}
};

TEST_F(DeviceList, RefreshKeepsTheDevicesOfAScanThatWillNotStop) {
    ASSERT_TRUE(list.InitDeviceInfo());
    RunningScan scan;
    scan.SetStatus(OP_RUNNING);
    // The scan's worker never notices the stop: the status stays 1.
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
}

TEST_F(DeviceList, RefreshAfterTheScanStopsListsAgain) {
    ASSERT_TRUE(list.InitDeviceInfo());
    RunningScan scan;
    scan.SetStatus(OP_RUNNING);
    int waits = 0;
    list.SetWaitFunction([&](std::chrono::milliseconds) {
        if (++waits == 3) scan.SetStatus(OP_IDLE); // the worker winds down
    });
    EXPECT_TRUE(list.RefreshDeviceInfo(scan));
    EXPECT_EQ(waits, 3);
    EXPECT_EQ(fake.uninits.load(), 1);
    EXPECT_EQ(fake.inits.load(), 2);
    EXPECT_EQ(list.GetStorageByDiskVolumeIndex(1, 1), hfs);
}

TEST_F(DeviceList, ClearOnlyWhenEnumerated) {
    list.Clear();
    EXPECT_EQ(fake.uninits.load(), 0);
    ASSERT_TRUE(list.InitDeviceInfo());
    list.Clear();
    EXPECT_EQ(fake.uninits.load(), 1);
    EXPECT_EQ(list.GetDiskStorageByIndex(0), nullptr);
    EXPECT_EQ(list.GetInitState(), VXUIDeviceData::kDone);
}

TEST(DeviceListNoEnumerator, AnswersNothing) {
    VXUIDeviceData list(nullptr);
    EXPECT_FALSE(list.InitDeviceInfo());
    std::list<_DiskVolumeData> disks;
    list.GetAllDeviceInfo(disks);
    EXPECT_TRUE(disks.empty());
}

} // namespace

#include "services/TreeItems.h"
#include "services/UIController.h"

namespace {

TEST_F(DeviceList, ItemsForTheDevicePage) {
    ASSERT_TRUE(list.InitDeviceInfo());
    std::list<_DiskVolumeData> disks;
    list.GetAllDeviceInfo(disks);
    const std::vector<DiskVolumeNodeRef> items = DiskVolumeNodeData::itemsFromRecords(disks);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0]->name(), "WD Elements");
    EXPECT_EQ(items[0]->isUsb(), 1);
    ASSERT_EQ(items[0]->children().size(), 1u);
    EXPECT_EQ(items[0]->children()[0]->name(), "Photos");
    EXPECT_EQ(items[0]->children()[0]->parentName(), "WD Elements");
    EXPECT_EQ(items[0]->children()[0]->volumeIndex(), 1);
    EXPECT_EQ(items[1]->isDmg(), 1);
    EXPECT_EQ(items[1]->children()[0]->fileSystem(), static_cast<int>(FS_HFSPLUS));
    EXPECT_TRUE(items[2]->children().empty());
}

// A window test's stand-in for the facade.
class FakeController : public VXUIController {
public:
    void NotifiyDeviceInfoAfterInit(const std::string&) override {}
    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>&) override {}
    void RefreshDeviceInfo() override {}
    bool IsAppRunning() override { return true; }
    [[noreturn]] void CloseApp() override { std::abort(); }
    QString GetSavePath() override { return {}; }
    bool SavePathToPList(const QString&) override { return false; }
    QString GetDefaultSavePath() override { return {}; }
    QString getUpDataTimeStr() override { return {}; }
    bool writeUpDataTimeStr(const QString&) override { return false; }
    bool isCanBeUseNetWork() override { return false; }
};

TEST(Facade, AFakeCanStandInAndBeRemoved) {
    VXUIController& real = VXUIController::shared();
    FakeController fake;
    VXUIController::install(&fake);
    EXPECT_EQ(&VXUIController::shared(), &fake);
    EXPECT_TRUE(VXUIController::shared().IsAppRunning());
    VXUIController::install(nullptr);
    EXPECT_EQ(&VXUIController::shared(), &real);
}

} // namespace
