// Pairing partitions with volumes, converting the orphans, and the list order.
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/DeviceSort.h"
#include "engine/enumeration/MergeVolumeAndPartition.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace salvor::test;
using namespace merge_codes;

namespace {

using DevicePtr = std::unique_ptr<IStorageDevice>;
using Merge = CMergeVolumeAndPartition;

// A disk over mbr.img, with partition windows and volume stand-ins built by hand.
class MergeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(img.empty());
        disk.reset(CreateDiskDevice(img.c_str()));
        ASSERT_TRUE(disk->Open(nullptr));
        auto* rec = new CCollectDiskDeviceInfoStruct;
        rec->totalSectors = static_cast<std::int64_t>(disk->GetTotalSectors());
        rec->partitionScheme = PARTITION_SCHEME_MBR;
        disk->SetPrivateData(CreateDiskDeviceData(rec));
    }
    // A partition window with its record (number 0: none).
    IStorageDevice* Partition(int number, long long start, long long count) {
        DevicePtr p(CreatePartitionDevice(disk.get(), start, count));
        EXPECT_TRUE(p->Open(nullptr));
        if (number) {
            auto* rec = new CCollectedPartitionDeviceInfoStruct;
            rec->partitionNumber = number;
            rec->startSector = start;
            rec->sectorCount = count;
            rec->disk = disk.get();
            std::snprintf(rec->label, sizeof rec->label, "part%d", number);
            p->SetPrivateData(CreatePartitionDeviceData(rec));
        }
        return Keep(p.release());
    }
    // A volume as the kernel shows it: its own device, its record (number 0: none).
    IStorageDevice* Volume(int number, long long start, long long count, unsigned sectorSize = 512) {
        auto* v = new ImageDevice(img, sectorSize, static_cast<unsigned long long>(start) * 512,
                                  static_cast<unsigned long long>(count));
        v->SetType(DEVICE_VOLUME);
        if (number) {
            auto* rec = new CCollectedVolumeDeviceInfoStruct;
            rec->partitionNumber = number;
            rec->startSector = start;
            rec->totalSectors = count;
            v->SetPrivateData(CreateVolumeDeviceData(rec));
        }
        return Keep(v);
    }
    IStorageDevice* Keep(IStorageDevice* d) { return owned.emplace_back(d).get(); }
    ResultCode MergeAsVolume(std::vector<IStorageDevice*> vols, std::vector<IStorageDevice*> parts, DeviceList& out) {
        const ResultCode rc = Merge::MergeAsVolume(out, vols.data(), static_cast<int>(vols.size()), parts.data(),
                                                   static_cast<int>(parts.size()));
        for (IStorageDevice* d : out) // the merge's new devices are the caller's
            if (std::none_of(owned.begin(), owned.end(), [d](auto& o) { return o.get() == d; })) Keep(d);
        return rc;
    }
    static std::vector<int> Numbers(const DeviceList& list) {
        std::vector<int> n;
        for (IStorageDevice* d : list) n.push_back(VolRec(d).partitionNumber);
        return n;
    }

    const std::string img = FixtureFile("part_tables", "mbr.img");
    DevicePtr disk;
    std::vector<DevicePtr> owned;
};

TEST_F(MergeTest, PartitionWithoutAVolumeFollowsTheVolumes) {
    IStorageDevice* v3 = Volume(3, 83968, 20480);
    IStorageDevice* v1 = Volume(1, 2048, 20480);
    DeviceList out;
    ASSERT_EQ(MergeAsVolume({v3, v1}, {Partition(1, 2048, 20480), Partition(3, 83968, 20480),
                                       Partition(5, 24576, 20480)}, out),
              0u);
    // Three partitions of equal size: the one without a volume is told apart by its start.
    ASSERT_EQ(Numbers(out), (std::vector<int>{3, 1, 5}));
    EXPECT_EQ(out.front(), v3);
    IStorageDevice* v5 = out.back();
    EXPECT_EQ(Describe(v5), "5  '' 24576+20480 fs10");
    EXPECT_STREQ(VolRec(v5).label, "part5");
    EXPECT_EQ(VolRec(v5).disk, disk.get());
    // It reads the partition's sectors of the disk.
    std::vector<unsigned char> a(512), b(512);
    ASSERT_TRUE(v5->ReadSector(a.data(), 0, 1));
    ASSERT_TRUE(disk->ReadSector(b.data(), 24576, 1));
    EXPECT_EQ(a, b);
}

TEST_F(MergeTest, SameDeviceBySizeWithin10MiBOrByFirstSector) {
    IStorageDevice* p = Partition(1, 2048, 20480);
    const struct {
        IStorageDevice* volume;
        int same;
    } cases[] = {{Volume(0, 0, 20480 + 20000), 1}, // without known starts, 20000 sectors apart is within 10 MiB
                 {Volume(0, 0, 20480 + 20481), 0},
                 {Volume(0, 0, 2560, 4096), 0}}; // different sector sizes
    int same = -1;
    for (const auto& c : cases) {
        EXPECT_EQ(Merge::IsSameDevice(p, c.volume, same), 0u);
        EXPECT_EQ(same, c.same) << c.volume->GetTotalSectors();
    }
    EXPECT_EQ(Merge::DeviceFirstSectorIsEqual(p, Volume(1, 2048, 20480), same), 0u);
    EXPECT_EQ(same, 1);
    EXPECT_EQ(Merge::DeviceFirstSectorIsEqual(p, Volume(3, 0, 20480), same), 0u);
    EXPECT_EQ(same, 0) << "sector 0 of the disk holds the MBR";
}

TEST_F(MergeTest, AFailingOrphanHidesNothingElse) {
    IStorageDevice* v1 = Volume(1, 2048, 20480);
    // A partition window without a record cannot become a volume (its size,
    // unlike its start, is no volume's).
    DeviceList out;
    EXPECT_EQ(MergeAsVolume({v1}, {Partition(3, 83968, 20480), Partition(0, 24576, 60000), Partition(6, 47104, 20480)},
                            out),
              kNoRecord);
    EXPECT_EQ(Numbers(out), (std::vector<int>{1, 3, 6}));
    EXPECT_EQ(out.front(), v1);
}

TEST_F(MergeTest, ConversionRefusalsAndAListStopsAtTheFirstFailure) {
    IStorageDevice* out = nullptr;
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, disk.get()), kNotPartition);
    IStorageDevice* bare = Partition(0, 0, 10);
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, bare), kNoRecord);
    bare->SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, bare), kNotPartitionData);
    EXPECT_EQ(out, nullptr);
    CCollectedVolumeDeviceInfoStruct target;
    target.kind = 2;
    CCollectedPartitionDeviceInfoStruct source;
    EXPECT_EQ(CVolumePartitionConverter::PartitionInfo2VolumeInfo(&target, &source), kVolumeRecordNotEmpty);

    DeviceList parts{Partition(1, 2048, 20480), Partition(0, 24576, 20480), Partition(3, 83968, 20480)}, made;
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartitions2Volumes(made, parts), kNoRecord);
    ASSERT_EQ(made.size(), 1u);
    Keep(made.front());
}

TEST(DeviceSort, DisksByNameBytewisePartitionsAndVolumesByNumber) {
    std::vector<std::unique_ptr<ImageDevice>> keep;
    auto make = [&](int type, IStorageDeviceData* data) {
        keep.push_back(std::make_unique<ImageDevice>("/nonexistent"));
        keep.back()->SetType(type);
        keep.back()->SetPrivateData(data);
        return keep.back().get();
    };
    DeviceList disks, vols;
    for (const char* name : {"loop10", "disk2", "loop2", "disk10", "disk0", "loop02", "disk1", "loop1"}) {
        auto* rec = new CCollectDiskDeviceInfoStruct;
        CopyRecordText(rec->bsdName, name);
        disks.push_back(make(DEVICE_DISK, CreateDiskDeviceData(rec)));
    }
    disks.sort(CDevListSortAlgorithm());
    std::vector<std::string> names;
    for (IStorageDevice* d : disks) names.push_back(DiskRec(d).bsdName);
    EXPECT_EQ(names, (std::vector<std::string>{"disk0", "disk1", "disk10", "disk2", "loop02", "loop1", "loop10", "loop2"}));

    for (int n : {3, 1, -1, 2}) {
        auto* rec = new CCollectedVolumeDeviceInfoStruct;
        rec->partitionNumber = n;
        vols.push_back(make(DEVICE_VOLUME, CreateVolumeDeviceData(rec)));
    }
    vols.sort(CDevListSortAlgorithm());
    std::vector<int> numbers;
    for (IStorageDevice* d : vols) numbers.push_back(VolRec(d).partitionNumber);
    EXPECT_EQ(numbers, (std::vector<int>{-1, 1, 2, 3}));

    auto* prec = new CCollectedPartitionDeviceInfoStruct;
    prec->partitionNumber = 1;
    IStorageDevice* part = make(DEVICE_PARTITION, CreatePartitionDeviceData(prec));
    IStorageDevice* bare = make(DEVICE_PARTITION, nullptr);
    IStorageDevice* wrapper = make(DEVICE_WRAPPER, nullptr);
    CDevListSortAlgorithm less;
    EXPECT_FALSE(less(part, bare)) << "a device without a record is never smaller nor larger";
    EXPECT_FALSE(less(bare, part));
    EXPECT_FALSE(less(nullptr, part));
    EXPECT_FALSE(less(part, vols.front())) << "different types keep their order";
    EXPECT_FALSE(less(wrapper, wrapper));
}

} // namespace
