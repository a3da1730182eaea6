// Pairing partitions with volumes, converting the orphans, and the list order.
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/DeviceSort.h"
#include "engine/enumeration/MergeVolumeAndPartition.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace salvor::test;
using namespace merge_codes;

namespace {

using DevicePtr = std::unique_ptr<IStorageDevice>;

// A disk over mbr.img, with partition windows and volume stand-ins built by hand.
class MergeTest : public ::testing::Test {
protected:
    void SetUp() override {
        const std::string img = FixtureFile("part_tables", "mbr.img");
        ASSERT_FALSE(img.empty());
        disk.reset(CreateDiskDevice(img.c_str()));
        ASSERT_TRUE(disk->Open(nullptr));
        auto* rec = new CCollectDiskDeviceInfoStruct;
        rec->sectorSize = 512;
        rec->totalSectors = static_cast<std::int64_t>(disk->GetTotalSectors());
        rec->partitionScheme = PARTITION_SCHEME_MBR;
        disk->SetPrivateData(CreateDiskDeviceData(rec));
    }
    IStorageDevice* Partition(int number, long long start, long long count) {
        DevicePtr p(CreatePartitionDevice(disk.get(), start, count));
        EXPECT_TRUE(p->Open(nullptr));
        auto* rec = new CCollectedPartitionDeviceInfoStruct;
        rec->partitionNumber = number;
        rec->startSector = start;
        rec->sectorCount = count;
        rec->sectorSize = 512;
        rec->disk = disk.get();
        std::snprintf(rec->label, sizeof rec->label, "part%d", number);
        p->SetPrivateData(CreatePartitionDeviceData(rec));
        owned.emplace_back(std::move(p));
        return owned.back().get();
    }
    // A volume as the kernel shows it: its own device, its record.
    IStorageDevice* Volume(int number, long long start, long long count) {
        auto* v = new ImageDevice(FixtureFile("part_tables", "mbr.img"), 512, static_cast<unsigned long long>(start) * 512,
                                  static_cast<unsigned long long>(count));
        EXPECT_TRUE(v->Open(nullptr));
        v->SetType(DEVICE_VOLUME);
        auto* rec = new CCollectedVolumeDeviceInfoStruct;
        rec->partitionNumber = number;
        rec->startSector = start;
        rec->totalSectors = count;
        v->SetPrivateData(CreateVolumeDeviceData(rec));
        owned.emplace_back(v);
        return v;
    }
    static const CCollectedVolumeDeviceInfoStruct* VolRec(IStorageDevice* d) {
        auto* data = dynamic_cast<IVolumeDeviceData*>(d->GetPrivateData());
        return data ? data->GetVolumeInfo() : nullptr;
    }
    ResultCode Merge(std::vector<IStorageDevice*> vols, std::vector<IStorageDevice*> parts, DeviceList& out) {
        const ResultCode rc = CMergeVolumeAndPartition::MergeAsVolume(out, vols.data(), static_cast<int>(vols.size()),
                                                                      parts.data(), static_cast<int>(parts.size()));
        for (IStorageDevice* d : out) {
            bool known = false;
            for (auto& o : owned)
                known = known || o.get() == d;
            if (!known)
                made.emplace_back(d); // the merge's new devices are the caller's
        }
        return rc;
    }

    DevicePtr disk;
    std::vector<DevicePtr> owned;
    std::vector<DevicePtr> made;
};

} // namespace

TEST_F(MergeTest, PartitionWithoutAVolumeFollowsTheVolumes) {
    IStorageDevice* p1 = Partition(1, 2048, 20480);
    IStorageDevice* p3 = Partition(3, 83968, 20480);
    IStorageDevice* p5 = Partition(5, 24576, 20480);
    IStorageDevice* v3 = Volume(3, 83968, 20480);
    IStorageDevice* v1 = Volume(1, 2048, 20480);
    DeviceList out;
    ASSERT_EQ(Merge({v3, v1}, {p1, p3, p5}, out), 0u);
    // Three partitions of equal size: the one without a volume is told apart by its start.
    ASSERT_EQ(out.size(), 3u);
    auto it = out.begin();
    EXPECT_EQ(*it++, v3);
    EXPECT_EQ(*it++, v1);
    IStorageDevice* v5 = *it;
    EXPECT_EQ(v5->GetType(), DEVICE_VOLUME);
    const auto* r = VolRec(v5);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->partitionNumber, 5);
    EXPECT_EQ(r->startSector, 24576);
    EXPECT_EQ(r->totalSectors, 20480);
    EXPECT_STREQ(r->label, "part5");
    EXPECT_STREQ(r->volumeName, "");
    EXPECT_STREQ(r->bsdName, "");
    EXPECT_EQ(r->mounted, 0u);
    EXPECT_EQ(r->disk, disk.get());
    // It reads the partition's sectors of the disk.
    std::vector<unsigned char> a(512), b(512);
    ASSERT_TRUE(v5->ReadSector(a.data(), 0, 1));
    ASSERT_TRUE(disk->ReadSector(b.data(), 24576, 1));
    EXPECT_EQ(a, b);
}

TEST_F(MergeTest, WithoutKnownStartsSizesWithin10MiBMatch) {
    IStorageDevice* p = Partition(1, 2048, 20480);
    auto* bare = new ImageDevice(FixtureFile("part_tables", "mbr.img"), 512, 0, 20480 + 20000);
    owned.emplace_back(bare);
    bare->SetType(DEVICE_VOLUME);
    int same = 0;
    EXPECT_EQ(CMergeVolumeAndPartition::IsSameDevice(p, bare, same), 0u);
    EXPECT_EQ(same, 1) << "20000 sectors apart is within 10 MiB";
    auto* far = new ImageDevice(FixtureFile("part_tables", "mbr.img"), 512, 0, 20480 + 20481);
    owned.emplace_back(far);
    EXPECT_EQ(CMergeVolumeAndPartition::IsSameDevice(p, far, same), 0u);
    EXPECT_EQ(same, 0);
    auto* other = new ImageDevice(FixtureFile("part_tables", "mbr.img"), 4096, 0, 2560);
    owned.emplace_back(other);
    EXPECT_EQ(CMergeVolumeAndPartition::IsSameDevice(p, other, same), 0u);
    EXPECT_EQ(same, 0) << "different sector sizes";
}

TEST_F(MergeTest, AFailingOrphanHidesNothingElse) {
    IStorageDevice* v1 = Volume(1, 2048, 20480);
    IStorageDevice* p3 = Partition(3, 83968, 20480);
    // A partition window without a record cannot become a volume (its size,
    // unlike its start, is no volume's).
    DevicePtr bad(CreatePartitionDevice(disk.get(), 24576, 60000));
    ASSERT_TRUE(bad->Open(nullptr));
    IStorageDevice* p6 = Partition(6, 47104, 20480);
    DeviceList out;
    EXPECT_EQ(Merge({v1}, {p3, bad.get(), p6}, out), kNoRecord);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out.front(), v1);
    EXPECT_EQ(VolRec(*std::next(out.begin()))->partitionNumber, 3);
    EXPECT_EQ(VolRec(out.back())->partitionNumber, 6);
}

TEST_F(MergeTest, ConversionRefusals) {
    IStorageDevice* out = nullptr;
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, disk.get()), kNotPartition);
    DevicePtr bare(CreatePartitionDevice(disk.get(), 0, 10));
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, bare.get()), kNoRecord);
    bare->SetPrivateData(CreateVolumeDeviceData(new CCollectedVolumeDeviceInfoStruct));
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartition2Volume(&out, bare.get()), kNotPartitionData);
    EXPECT_EQ(out, nullptr);

    CCollectedVolumeDeviceInfoStruct target;
    target.kind = 2;
    CCollectedPartitionDeviceInfoStruct source;
    EXPECT_EQ(CVolumePartitionConverter::PartitionInfo2VolumeInfo(&target, &source), kVolumeRecordNotEmpty);
}

TEST_F(MergeTest, ConvertingAListStopsAtTheFirstFailure) {
    IStorageDevice* p1 = Partition(1, 2048, 20480);
    DevicePtr bad(CreatePartitionDevice(disk.get(), 24576, 20480));
    IStorageDevice* p3 = Partition(3, 83968, 20480);
    DeviceList parts{p1, bad.get(), p3}, out;
    EXPECT_EQ(CVolumePartitionConverter::ConvertPartitions2Volumes(out, parts), kNoRecord);
    ASSERT_EQ(out.size(), 1u);
    made.emplace_back(out.front());
}

TEST_F(MergeTest, FirstSectorComparison) {
    IStorageDevice* p1 = Partition(1, 2048, 20480);
    IStorageDevice* v1 = Volume(1, 2048, 20480);
    IStorageDevice* v3 = Volume(3, 0, 20480);
    int same = 0;
    EXPECT_EQ(CMergeVolumeAndPartition::DeviceFirstSectorIsEqual(p1, v1, same), 0u);
    EXPECT_EQ(same, 1);
    EXPECT_EQ(CMergeVolumeAndPartition::DeviceFirstSectorIsEqual(p1, v3, same), 0u);
    EXPECT_EQ(same, 0) << "sector 0 of the disk holds the MBR";
}

namespace {
std::unique_ptr<ImageDevice> Dev(int type) {
    auto d = std::make_unique<ImageDevice>("/nonexistent");
    d->SetType(type);
    return d;
}
} // namespace

TEST(DeviceSort, DisksByNameBytewisePartitionsAndVolumesByNumber) {
    std::vector<std::unique_ptr<ImageDevice>> keep;
    DeviceList disks;
    for (const char* name : {"disk2", "disk10", "disk0", "disk1"}) {
        auto d = Dev(DEVICE_DISK);
        auto* rec = new CCollectDiskDeviceInfoStruct;
        CopyRecordText(rec->bsdName, name);
        d->SetPrivateData(CreateDiskDeviceData(rec));
        disks.push_back(d.get());
        keep.push_back(std::move(d));
    }
    disks.sort(CDevListSortAlgorithm());
    std::vector<std::string> names;
    for (IStorageDevice* d : disks)
        names.push_back(dynamic_cast<IDiskDeviceData*>(d->GetPrivateData())->GetDiskInfo()->bsdName);
    EXPECT_EQ(names, (std::vector<std::string>{"disk0", "disk1", "disk10", "disk2"}));

    DeviceList vols;
    for (int n : {3, 1, -1, 2}) {
        auto d = Dev(DEVICE_VOLUME);
        auto* rec = new CCollectedVolumeDeviceInfoStruct;
        rec->partitionNumber = n;
        d->SetPrivateData(CreateVolumeDeviceData(rec));
        vols.push_back(d.get());
        keep.push_back(std::move(d));
    }
    vols.sort(CDevListSortAlgorithm());
    std::vector<int> numbers;
    for (IStorageDevice* d : vols)
        numbers.push_back(dynamic_cast<IVolumeDeviceData*>(d->GetPrivateData())->GetVolumeInfo()->partitionNumber);
    EXPECT_EQ(numbers, (std::vector<int>{-1, 1, 2, 3}));

    auto part = Dev(DEVICE_PARTITION);
    auto* prec = new CCollectedPartitionDeviceInfoStruct;
    prec->partitionNumber = 1;
    part->SetPrivateData(CreatePartitionDeviceData(prec));
    auto bare = Dev(DEVICE_PARTITION);
    CDevListSortAlgorithm less;
    EXPECT_FALSE(less(part.get(), bare.get())) << "a device without a record is never smaller nor larger";
    EXPECT_FALSE(less(bare.get(), part.get()));
    EXPECT_FALSE(less(nullptr, part.get()));
    EXPECT_FALSE(less(part.get(), vols.front())) << "different types keep their order";
    auto wrapper = Dev(DEVICE_WRAPPER);
    EXPECT_FALSE(less(wrapper.get(), wrapper.get()));
}
