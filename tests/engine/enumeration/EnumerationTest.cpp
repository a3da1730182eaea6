// The enumerator over a sysfs tree made in a test folder, with images from the
// part_tables fixture standing for the device nodes.
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/enumeration/FakeSysfs.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <string>
#include <vector>

using namespace salvor::test;
using namespace enum_codes;

namespace {

std::string Img(const std::string& name) { return FixtureFile("part_tables", name); }

const CCollectDiskDeviceInfoStruct& DiskRec(IStorageDevice* d) {
    static CCollectDiskDeviceInfoStruct none;
    auto* data = dynamic_cast<IDiskDeviceData*>(d->GetPrivateData());
    return data && data->GetDiskInfo() ? *data->GetDiskInfo() : none;
}
const CCollectedVolumeDeviceInfoStruct& VolRec(IStorageDevice* d) {
    static CCollectedVolumeDeviceInfoStruct none;
    auto* data = dynamic_cast<IVolumeDeviceData*>(d->GetPrivateData());
    return data && data->GetVolumeInfo() ? *data->GetVolumeInfo() : none;
}
const CCollectedPartitionDeviceInfoStruct& PartRec(IStorageDevice* d) {
    static CCollectedPartitionDeviceInfoStruct none;
    auto* data = dynamic_cast<IPartitionDeviceData*>(d->GetPrivateData());
    return data && data->GetPartitionInfo() ? *data->GetPartitionInfo() : none;
}

std::string Guid(const _GUID& g) {
    char t[37];
    GUIDToStr(g, t);
    return t;
}

// The machine of these tests: a SATA disk with an MBR and its kernel
// partitions, a USB stick with a GPT, an NVMe disk with 4096-byte sectors, a
// mounted superfloppy image, an image attached without partition scanning,
// and devices that are not to be listed.
class FakeMachine : public ::testing::Test {
protected:
    static FakeDisk Make(const char* name, unsigned major, unsigned minor, std::uint64_t size512,
                         const std::string& image = "") {
        FakeDisk d;
        d.name = name;
        d.major = major;
        d.minor = minor;
        d.size512 = size512;
        d.image = image;
        return d;
    }

    void SetUp() override {
        ResetFactories();
        ASSERT_FALSE(Img("mbr.img").empty());
        FakeDisk sda = Make("sda", 8, 0, 114688, Img("mbr.img"));
        sda.devicePath = "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block";
        sda.vendor = "ATA     ";
        sda.model = "Samsung SSD 870 ";
        sda.scsiType = 0;
        sda.sataSpeed = "6.0 Gbps";
        sda.partitions = {{"sda1", 1, 2048, 20480, 8, 1},
                          {"sda2", 2, 22528, 2, 8, 2}, // the kernel's stub of the extended partition
                          {"sda3", 3, 83968, 20480, 8, 3},
                          {"sda5", 5, 24576, 20480, 8, 5},
                          {"sda6", 6, 47104, 20480, 8, 6}};
        sys.Add(sda);
        FakeDisk sdb = Make("sdb", 8, 16, 532480, Img("gpt.img"));
        sdb.devicePath = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block";
        sdb.vendor = "SanDisk ";
        sdb.model = "Cruzer Blade    ";
        sdb.scsiType = 0;
        sdb.partitions = {{"sdb1", 1, 2048, 409600, 8, 17}, {"sdb2", 2, 411648, 2048, 8, 18},
                          {"sdb3", 3, 413696, 40960, 8, 19}};
        sys.Add(sdb);
        FakeDisk nvme = Make("nvme0n1", 259, 0, 131072, Img("gpt4k.img"));
        nvme.logicalBlockSize = 4096;
        nvme.devicePath = "pci0000:00/0000:00:04.0/nvme/nvme0";
        nvme.partitions = {{"nvme0n1p1", 1, 2048, 24576, 259, 1}, {"nvme0n1p2", 2, 26624, 8192, 259, 2},
                           {"nvme0n1p3", 3, 34816, 20480, 259, 3}};
        sys.Add(nvme);
        FakeDisk loop0 = Make("loop0", 7, 0, 81920, Img("superfloppy.img"));
        loop0.backingFile = "/home/me/images/floppy.img";
        sys.Add(loop0);
        sys.Mount(7, 0, "/media/me/my\\040stick");
        FakeDisk loop2 = Make("loop2", 7, 2, 114688, Img("mbr.img"));
        loop2.backingFile = "/srv/disk.raw";
        sys.Add(loop2);
        // Not listed.
        sys.Add(Make("loop1", 7, 1, 0));
        FakeDisk sr0 = Make("sr0", 11, 0, 81920, Img("superfloppy.img"));
        sr0.scsiType = 5;
        sys.Add(sr0);
        FakeDisk sdc = Make("sdc", 8, 32, 81920, Img("superfloppy.img"));
        sdc.scsiType = 5; // optical
        sys.Add(sdc);
        sys.Add(Make("dm-0", 253, 0, 81920, Img("superfloppy.img")));
        sys.Add(Make("md0", 9, 0, 81920, Img("superfloppy.img")));
        sys.Add(Make("zram0", 252, 0, 81920));
        sys.Add(Make("ram0", 1, 0, 81920));
        sys.Add(Make("sdd", 8, 48, 8192, Img("superfloppy.img"))); // 4 MiB
        sys.Add(Make("sde", 8, 64, 81920)); // no node: cannot be opened
    }
    void TearDown() override { ResetFactories(); }

    // A counted query asked for its count, then for the devices.
    template <class Query>
    static std::vector<IStorageDevice*> Fetch(Query query) {
        int n = 0;
        EXPECT_EQ(query(nullptr, n), 0u);
        std::vector<IStorageDevice*> v(static_cast<std::size_t>(n));
        EXPECT_EQ(query(v.data(), n), 0u);
        return v;
    }
    std::vector<IStorageDevice*> Disks(CEnumDeviceEx& e) {
        return Fetch([&](IStorageDevice** a, int& n) { return e.EnumDiskDevice(a, n); });
    }
    IStorageDevice* Disk(CEnumDeviceEx& e, const char* name) {
        for (IStorageDevice* d : Disks(e))
            if (std::strcmp(DiskRec(d).bsdName, name) == 0)
                return d;
        ADD_FAILURE() << "no disk " << name;
        return nullptr;
    }
    std::vector<IStorageDevice*> Volumes(CEnumDeviceEx& e, IStorageDevice* disk) {
        return Fetch([&](IStorageDevice** a, int& n) { return e.EnumVolumeDevice(disk, a, n); });
    }
    std::vector<IStorageDevice*> Partitions(CEnumDeviceEx& e, IStorageDevice* disk) {
        return Fetch([&](IStorageDevice** a, int& n) { return e.EnumPartitionDevice(disk, a, n); });
    }
    static std::vector<int> Numbers(const std::vector<IStorageDevice*>& v, bool volumes) {
        std::vector<int> n;
        for (IStorageDevice* d : v)
            n.push_back(volumes ? VolRec(d).partitionNumber : PartRec(d).partitionNumber);
        return n;
    }

    FakeSysfs sys;
    CSysfsBlockDeviceFacts facts{sys.sys(), sys.dev(), sys.mountinfo()};
};

} // namespace

TEST_F(FakeMachine, ListsOnlyTheDisksToScanWithBusNamesSizesAndSchemes) {
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    std::vector<std::string> names;
    for (IStorageDevice* d : Disks(e))
        names.push_back(DiskRec(d).bsdName);
    EXPECT_EQ(names, (std::vector<std::string>{"loop0", "loop2", "nvme0n1", "sda", "sdb"}));

    const auto& sda = DiskRec(Disk(e, "sda"));
    EXPECT_EQ(sda.busType, BUS_SATA);
    EXPECT_STREQ(sda.registryName, "ATA Samsung SSD 870");
    EXPECT_EQ(sda.partitionScheme, PARTITION_SCHEME_MBR);
    EXPECT_EQ(sda.sectorSize, 512);
    EXPECT_EQ(sda.totalSectors, 114688);
    EXPECT_EQ(sda.cylinders, 114688 / 16065);
    EXPECT_EQ(sda.writable, 1u);
    EXPECT_EQ(sda.deviceId, enum_linux::DeviceId(8, 0));

    const auto& sdb = DiskRec(Disk(e, "sdb"));
    EXPECT_EQ(sdb.busType, BUS_USB);
    EXPECT_STREQ(sdb.registryName, "SanDisk Cruzer Blade");
    EXPECT_EQ(sdb.partitionScheme, PARTITION_SCHEME_GPT);

    IStorageDevice* nvmeDisk = Disk(e, "nvme0n1");
    const auto& nvme = DiskRec(nvmeDisk);
    EXPECT_EQ(nvme.busType, BUS_OTHER);
    EXPECT_EQ(nvme.sectorSize, 4096);
    EXPECT_EQ(nvme.totalSectors, 16384);
    EXPECT_EQ(nvmeDisk->GetSectorSize(), 4096u);
    EXPECT_EQ(nvme.partitionScheme, PARTITION_SCHEME_GPT);

    const auto& loop0 = DiskRec(Disk(e, "loop0"));
    EXPECT_EQ(loop0.busType, BUS_VIRTUAL);
    EXPECT_STREQ(loop0.registryName, "floppy.img");
    EXPECT_EQ(loop0.partitionScheme, PARTITION_SCHEME_NONE);
    EXPECT_EQ(DiskRec(Disk(e, "loop2")).partitionScheme, PARTITION_SCHEME_MBR);
    EXPECT_EQ(e.Uninit(), 0u);
}

TEST_F(FakeMachine, CountedQueriesFollowTheirRules) {
    CEnumDeviceEx e(facts);
    int n = 0;
    IStorageDevice* arr[8] = {};
    EXPECT_EQ(e.EnumDiskDevice(arr, n), kDisksNotInit);
    EXPECT_EQ(e.EnumPartitionDevice(arr[0], arr, n), kPartitionsNotInit);
    EXPECT_EQ(e.EnumVolumeDevice(arr[0], arr, n), kVolumesNotInit);
    EXPECT_EQ(e.Uninit(), kUninitNotInit);
    ASSERT_EQ(e.Init(), 0u);

    n = 4;
    EXPECT_EQ(e.EnumDiskDevice(arr, n), kDiskArraySmall);
    n = 0;
    EXPECT_EQ(e.EnumDiskDevice(arr, n), 0u);
    EXPECT_EQ(arr[0], nullptr) << "a count of 0 fills nothing";
    n = 8;
    ASSERT_EQ(e.EnumDiskDevice(arr, n), 0u);
    EXPECT_EQ(n, 5);

    IStorageDevice* sda = Disk(e, "sda");
    EXPECT_EQ(e.EnumPartitionDevice(nullptr, arr, n), kPartitionsNullDisk);
    EXPECT_EQ(e.EnumVolumeDevice(nullptr, arr, n), kVolumesNullDisk);
    IStorageDevice* stranger = CreateDiskDevice("/nonexistent");
    EXPECT_EQ(e.EnumPartitionDevice(stranger, arr, n), kUnknownDisk);
    delete stranger;
    n = 3;
    EXPECT_EQ(e.EnumPartitionDevice(sda, arr, n), kPartitionArraySmall);
    n = 0;
    EXPECT_EQ(e.EnumPartitionDevice(sda, arr, n), 0u);
    n = 0;
    EXPECT_EQ(e.EnumVolumeDevice(sda, arr, n), kVolumeArraySmall) << "for volumes a count of 0 is too small";
    n = 3;
    EXPECT_EQ(e.EnumVolumeDevice(sda, arr, n), kVolumeArraySmall);

    EXPECT_EQ(e.Uninit(), 0u);
    EXPECT_EQ(e.EnumDiskDevice(nullptr, n), kDisksNotInit);
}

TEST_F(FakeMachine, PartitionsAndVolumesOfAnMbrDiskWithKernelPartitions) {
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* sda = Disk(e, "sda");
    const auto parts = Partitions(e, sda);
    EXPECT_EQ(Numbers(parts, false), (std::vector<int>{1, 3, 5, 6}));
    EXPECT_EQ(PartRec(parts[2]).startSector, 24576);
    EXPECT_EQ(PartRec(parts[2]).sectorCount, 20480);
    EXPECT_EQ(PartRec(parts[2]).fileSystemType, static_cast<std::uint32_t>(FS_UNKNOWN));
    EXPECT_EQ(PartRec(parts[2]).disk, sda);
    EXPECT_EQ(parts[2]->GetTotalSectors(), 20480u);

    // The extended stub is no volume, and every partition has its kernel
    // volume: four partitions of equal size, none hidden by another.
    const auto vols = Volumes(e, sda);
    EXPECT_EQ(Numbers(vols, true), (std::vector<int>{1, 3, 5, 6}));
    const auto& v5 = VolRec(vols[2]);
    EXPECT_STREQ(v5.bsdName, "sda5");
    EXPECT_STREQ(v5.volumeName, "sda5");
    EXPECT_EQ(v5.startSector, 24576);
    EXPECT_EQ(v5.totalSectors, 20480);
    EXPECT_EQ(v5.mounted, 0u);
    EXPECT_EQ(v5.deviceId, enum_linux::DeviceId(8, 5));
    EXPECT_EQ(vols[2]->GetType(), DEVICE_VOLUME);

    auto* disk = dynamic_cast<CDiskDevice*>(sda);
    ASSERT_NE(disk, nullptr);
    EXPECT_EQ(disk->GetVolumes(), 4) << "copies of the volume records";
}

TEST_F(FakeMachine, GptVolumesCarryTheirGuidsAndFourKibSectorsCountInThem) {
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* sdb = Disk(e, "sdb");
    const auto parts = Partitions(e, sdb);
    EXPECT_EQ(Numbers(parts, false), (std::vector<int>{1, 3})) << "no BIOS-boot partition";
    const auto vols = Volumes(e, sdb);
    EXPECT_EQ(Numbers(vols, true), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(Guid(VolRec(vols[0]).typeGuid), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    EXPECT_EQ(Guid(VolRec(vols[0]).uniqueGuid), Guid(PartRec(parts[0]).uniqueGuid));
    EXPECT_EQ(Guid(VolRec(vols[1]).typeGuid), "21686148-6449-6E6F-744E-656564454649"); // BIOS boot

    IStorageDevice* nvme = Disk(e, "nvme0n1");
    const auto nparts = Partitions(e, nvme);
    ASSERT_EQ(Numbers(nparts, false), (std::vector<int>{1, 3}));
    EXPECT_EQ(PartRec(nparts[0]).startSector, 256);
    EXPECT_EQ(PartRec(nparts[0]).sectorCount, 3072);
    EXPECT_EQ(nparts[0]->GetSectorSize(), 4096u);
    const auto nvols = Volumes(e, nvme);
    ASSERT_EQ(nvols.size(), 3u);
    EXPECT_EQ(VolRec(nvols[2]).startSector, 4352);
    EXPECT_EQ(VolRec(nvols[2]).totalSectors, 2560);
    EXPECT_EQ(VolRec(nvols[2]).sectorSize, 4096);
}

TEST_F(FakeMachine, SuperfloppyIsOneVolumeEqualToTheDisk) {
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* loop0 = Disk(e, "loop0");
    const auto parts = Partitions(e, loop0);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(PartRec(parts[0]).partitionNumber, -1);
    EXPECT_EQ(PartRec(parts[0]).startSector, 0);
    EXPECT_EQ(PartRec(parts[0]).sectorCount, 81920);
    const auto vols = Volumes(e, loop0);
    ASSERT_EQ(vols.size(), 1u) << "the disk's volume matches the whole-disk partition";
    const auto& v = VolRec(vols[0]);
    EXPECT_EQ(v.partitionNumber, -1);
    EXPECT_EQ(v.totalSectors, DiskRec(loop0).totalSectors);
    EXPECT_STREQ(v.bsdName, "loop0");
    EXPECT_STREQ(v.volumeName, "FLOPPY") << "libblkid's label";
    EXPECT_STREQ(v.label, "FLOPPY");
    EXPECT_EQ(v.fileSystemType, static_cast<std::uint32_t>(FS_FAT32)) << "libblkid's kind while no recogniser knows it";
    EXPECT_EQ(v.mounted, 1u);
}

TEST_F(FakeMachine, ImageWithoutPartitionDevicesGetsItsVolumesFromTheTable) {
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* loop2 = Disk(e, "loop2");
    const auto vols = Volumes(e, loop2);
    EXPECT_EQ(Numbers(vols, true), (std::vector<int>{1, 3, 5, 6}));
    for (IStorageDevice* v : vols) {
        EXPECT_EQ(v->GetType(), DEVICE_VOLUME);
        EXPECT_STREQ(VolRec(v).volumeName, "");
        EXPECT_STREQ(VolRec(v).bsdName, "");
        EXPECT_EQ(VolRec(v).mounted, 0u);
        EXPECT_EQ(VolRec(v).disk, loop2);
    }
    EXPECT_EQ(VolRec(vols[1]).startSector, 83968);
    // Made once, by Init: every query hands out the same devices.
    EXPECT_EQ(Volumes(e, loop2), vols);
    EXPECT_EQ(e.Uninit(), 0u);
    ASSERT_EQ(e.Init(), 0u);
    EXPECT_EQ(Volumes(e, Disk(e, "loop2")).size(), 4u);
}

TEST(Enumerator, NoDiskFailsInitAndLeavesItUninitialised) {
    TempDir dir;
    CSysfsBlockDeviceFacts none(dir.path() + "/sys", dir.path() + "/dev", dir.path() + "/mountinfo");
    CEnumDeviceEx e(none);
    EXPECT_EQ(e.Init(), kNoDisk);
    int n = 0;
    EXPECT_EQ(e.EnumDiskDevice(nullptr, n), kDisksNotInit);
    EXPECT_EQ(e.Uninit(), kUninitNotInit);
}

#include "tests/engine/enumeration/FakeBlockDeviceFacts.h"

namespace {
// A USB stick over gpt.img whose kernel made partitions 1 and 3.
FakeBlockDeviceFacts GptStick(const TempDir& dir) {
    FakeBlockDeviceFacts f;
    BlockDiskFacts d;
    d.name = "sdb";
    d.major = 8;
    d.minor = 16;
    d.size512 = 532480;
    d.protocol = "USB";
    for (auto [n, start, size] : {std::tuple{1, 2048u, 409600u}, std::tuple{3, 413696u, 40960u}}) {
        BlockPartitionFacts p;
        p.name = "sdb" + std::to_string(n);
        p.number = n;
        p.major = 8;
        p.minor = static_cast<unsigned>(16 + n);
        p.start512 = start;
        p.size512 = size;
        d.partitions.push_back(p);
        const std::string node = dir.file(p.name);
        std::ofstream(node).close();
        std::filesystem::resize_file(node, std::uint64_t{size} * 512);
        f.nodes[p.name] = node;
    }
    f.disks.push_back(d);
    f.nodes["sdb"] = Img("gpt.img");
    BlockTableFacts t;
    t.type = "gpt";
    t.entries.push_back({1, 2048, 409600, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b", "0c4a2a68-c2c3-441a-8757-1f888ed2715d", false});
    t.entries.push_back({3, 413696, 40960, "0fc63daf-8483-4772-8e79-3d69d8477de4", "", false}); // no partition GUID
    f.tables[Img("gpt.img")] = t;
    return f;
}
} // namespace

TEST(FakeFacts, GptVolumeWhoseGuidCannotBeReadIsLeftToThePartitionList) {
    TempDir dir;
    FakeBlockDeviceFacts f = GptStick(dir);
    f.mounts[{8, 17}] = "/media/me/EFI STUFF";
    CEnumDeviceEx e(f);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* disk = nullptr;
    int n = 1;
    ASSERT_EQ(e.EnumDiskDevice(&disk, n), 0u);
    EXPECT_EQ(DiskRec(disk).busType, BUS_USB);
    n = 4;
    IStorageDevice* vols[4] = {};
    ASSERT_EQ(e.EnumVolumeDevice(disk, vols, n), 0u);
    // sdb3's volume is dropped; its partition comes back as a volume without a name.
    ASSERT_EQ(n, 2);
    EXPECT_STREQ(VolRec(vols[0]).bsdName, "sdb1");
    EXPECT_STREQ(VolRec(vols[0]).volumeName, "EFI STUFF") << "no label: the mount point's name";
    EXPECT_EQ(VolRec(vols[0]).mounted, 1u);
    EXPECT_EQ(Guid(VolRec(vols[0]).uniqueGuid), "0C4A2A68-C2C3-441A-8757-1F888ED2715D");
    EXPECT_EQ(VolRec(vols[1]).partitionNumber, 3);
    EXPECT_STREQ(VolRec(vols[1]).bsdName, "");
}

TEST(FakeFacts, UnreadableTableMeansNoSchemeAndKernelPartitionsStillListed) {
    TempDir dir;
    FakeBlockDeviceFacts f = GptStick(dir);
    f.tables.clear();
    f.volumes[f.nodes["sdb1"]] = {"exfat", "1.0", "PHOTOS"};
    CEnumDeviceEx e(f);
    ASSERT_EQ(e.Init(), 0u);
    IStorageDevice* disk = nullptr;
    int n = 1;
    ASSERT_EQ(e.EnumDiskDevice(&disk, n), 0u);
    EXPECT_EQ(DiskRec(disk).partitionScheme, PARTITION_SCHEME_NONE);
    IStorageDevice* vols[4] = {};
    n = 4;
    ASSERT_EQ(e.EnumVolumeDevice(disk, vols, n), 0u);
    ASSERT_GE(n, 2);
    EXPECT_STREQ(VolRec(vols[0]).volumeName, "PHOTOS");
    EXPECT_EQ(VolRec(vols[0]).fileSystemType, static_cast<std::uint32_t>(FS_EXFAT));
    EXPECT_STREQ(VolRec(vols[1]).volumeName, "sdb3") << "no label, not mounted: the kernel name";
}
