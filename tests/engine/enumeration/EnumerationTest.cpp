// The enumerator over a sysfs tree made in a test folder, with images from the
// part_tables fixture standing for the device nodes, and over facts held in memory.
#include "engine/all/AllLibraries.h"
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/engine/enumeration/EnumTestSupport.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <tuple>

using namespace salvor::test;
using namespace enum_codes;
namespace fs = std::filesystem;

namespace {

using Strings = std::vector<std::string>;
std::string Img(const std::string& name) { return FixtureFile("part_tables", name); }

std::string Guid(const _GUID& g) {
    char t[37];
    GUIDToStr(g, t);
    return t;
}

// A sysfs tree, device nodes and a mountinfo file in a test folder.
struct FakeDisk {
    std::string name;
    unsigned major = 8, minor = 0;
    std::uint64_t size512 = 81920;
    std::string image = Img("superfloppy.img"); // the file standing for /dev/<name>; "" for none
    unsigned logicalBlockSize = 512;
    std::string devicePath = "virtual/block"; // where /sys/block/<name> really lies, under /sys/devices
    std::string vendor = "", model = "";
    int scsiType = -1;
    std::string backingFile = "", sataSpeed = ""; // sataSpeed: for a disk under an ataN port
    std::vector<BlockPartitionFacts> partitions = {};
};

class FakeSysfs {
public:
    FakeSysfs() {
        fs::create_directories(sys() + "/block");
        fs::create_directories(dev());
        std::ofstream(mountinfo()) << "22 27 0:21 / /proc rw,relatime - proc proc rw\n";
    }
    void Add(const FakeDisk& d) {
        const fs::path real = fs::path(sys()) / "devices" / d.devicePath / d.name;
        fs::create_directories(real);
        fs::create_symlink(fs::relative(real, fs::path(sys()) / "block"), fs::path(sys()) / "block" / d.name);
        auto id = [](unsigned major, unsigned minor) { return std::to_string(major) + ":" + std::to_string(minor); };
        Write(real / "dev", id(d.major, d.minor));
        Write(real / "size", std::to_string(d.size512));
        Write(real / "ro", "0");
        Write(real / "queue/logical_block_size", std::to_string(d.logicalBlockSize));
        if (!d.vendor.empty()) Write(real / "device/vendor", d.vendor);
        if (!d.model.empty()) Write(real / "device/model", d.model);
        if (d.scsiType >= 0) Write(real / "device/type", std::to_string(d.scsiType));
        if (!d.backingFile.empty()) Write(real / "loop/backing_file", d.backingFile);
        if (!d.sataSpeed.empty()) { // .../ataN/hostM/...: the port's link lies beside the host
            const std::string p = real.string();
            Write(p.substr(0, p.find('/', p.find("/ata") + 1)) + "/link1/ata_link/link1/sata_spd", d.sataSpeed);
        }
        fs::create_directories(fs::path(sys()) / "class/block");
        fs::create_symlink(real, fs::path(sys()) / "class/block" / d.name);
        for (const auto& p : d.partitions) {
            Write(real / p.name / "partition", std::to_string(p.number));
            fs::create_symlink(real / p.name, fs::path(sys()) / "class/block" / p.name);
            Write(real / p.name / "start", std::to_string(p.start512));
            Write(real / p.name / "size", std::to_string(p.size512));
            Write(real / p.name / "dev", id(p.major, p.minor));
            std::ofstream(dev() + "/" + p.name).close(); // a node of the partition's size, never read
            fs::resize_file(dev() + "/" + p.name, p.size512 * 512);
        }
        if (!d.image.empty()) fs::create_symlink(d.image, dev() + "/" + d.name);
    }
    void Mount(unsigned major, unsigned minor, const std::string& escapedMountPoint) {
        std::ofstream(mountinfo(), std::ios::app) << ++mountId_ << " 1 " << major << ":" << minor << " / "
                                                  << escapedMountPoint << " rw,relatime shared:1 - vfat /dev/x rw\n";
    }
    std::string sys() const { return dir_.file("sys"); }
    std::string dev() const { return dir_.file("dev"); }
    std::string mountinfo() const { return dir_.file("mountinfo"); }

private:
    static void Write(const fs::path& p, const std::string& text) {
        fs::create_directories(p.parent_path());
        std::ofstream(p) << text << "\n";
    }
    TempDir dir_;
    int mountId_ = 30;
};

// The machine of these tests: a SATA disk with an MBR and its kernel
// partitions, a USB stick with a GPT, an NVMe disk with 4096-byte sectors, a
// mounted superfloppy image, an image attached without partition scanning,
// and devices that are not to be listed.
class FakeMachine : public ::testing::Test {
protected:
    void SetUp() override {
        ResetFactories();
        ASSERT_FALSE(Img("mbr.img").empty());
        const FakeDisk disks[] = {
            {.name = "sda", .size512 = 114688, .image = Img("mbr.img"),
             .devicePath = "pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/block", .vendor = "ATA     ",
             .model = "Samsung SSD 870 ", .scsiType = 0, .sataSpeed = "6.0 Gbps",
             .partitions = {{"sda1", 1, 8, 1, 2048, 20480},
                            {"sda2", 2, 8, 2, 22528, 2}, // the kernel's stub of the extended partition
                            {"sda3", 3, 8, 3, 83968, 20480},
                            {"sda5", 5, 8, 5, 24576, 20480},
                            {"sda6", 6, 8, 6, 47104, 20480}}},
            {.name = "sdb", .minor = 16, .size512 = 532480, .image = Img("gpt.img"),
             .devicePath = "pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/host6/target6:0:0/6:0:0:0/block",
             .vendor = "SanDisk ", .model = "Cruzer Blade    ", .scsiType = 0,
             .partitions = {{"sdb1", 1, 8, 17, 2048, 409600}, {"sdb2", 2, 8, 18, 411648, 2048},
                            {"sdb3", 3, 8, 19, 413696, 40960}}},
            {.name = "nvme0n1", .major = 259, .size512 = 131072, .image = Img("gpt4k.img"), .logicalBlockSize = 4096,
             .devicePath = "pci0000:00/0000:00:04.0/nvme/nvme0",
             .partitions = {{"nvme0n1p1", 1, 259, 1, 2048, 24576}, {"nvme0n1p2", 2, 259, 2, 26624, 8192},
                            {"nvme0n1p3", 3, 259, 3, 34816, 20480}}},
            {.name = "loop0", .major = 7, .backingFile = "/home/me/images/floppy.img"},
            {.name = "loop2", .major = 7, .minor = 2, .size512 = 114688, .image = Img("mbr.img"),
             .backingFile = "/srv/disk.raw"},
            // Listed however small: a medium of one sector.
            {.name = "sdd", .minor = 48, .size512 = 1},
            // Not listed: empty loop, optical, device-mapper, RAID, RAM disks, no node.
            {.name = "loop1", .major = 7, .minor = 1, .size512 = 0, .image = ""},
            {.name = "sr0", .major = 11, .scsiType = 5},
            {.name = "sdc", .minor = 32, .scsiType = 5},
            {.name = "dm-0", .major = 253},
            {.name = "md0", .major = 9},
            {.name = "zram0", .major = 252, .image = ""},
            {.name = "ram0", .major = 1, .image = ""},
            {.name = "sde", .minor = 64, .image = ""},
        };
        for (const auto& d : disks) sys.Add(d);
        sys.Mount(7, 0, "/media/me/my\\040stick");
        ASSERT_EQ(e.Init(), 0u);
    }
    void TearDown() override { ResetFactories(); }

    FakeSysfs sys;
    CSysfsBlockDeviceFacts facts{sys.sys(), sys.dev(), sys.mountinfo()};
    CEnumDeviceEx e{facts};
};

TEST_F(FakeMachine, ListsOnlyTheDisksToScanWithBusNamesSizesAndSchemes) {
    EXPECT_EQ(Describe(Disks(e)), (Strings{"loop0 virtual none 512x81920 'floppy.img'",
                                           "loop2 virtual MBR 512x114688 'disk.raw'",
                                           "nvme0n1 other GPT 4096x16384 ''",
                                           "sda SATA MBR 512x114688 'ATA Samsung SSD 870'",
                                           "sdb USB GPT 512x532480 'SanDisk Cruzer Blade'",
                                           "sdd other none 512x1 ''"}));
    EXPECT_EQ(Disk(e, "nvme0n1")->GetSectorSize(), 4096u);
    const auto& sda = DiskRec(Disk(e, "sda"));
    EXPECT_EQ(sda.writable, 1u);
    EXPECT_EQ(sda.deviceId, enum_linux::DeviceId(8, 0));
}

// A listing reads every disk's facts once (not once more for each disk's
// volumes); a medium's arrival reads only its own disk. Told the disks in
// another order, the listing still lists them by name.
TEST_F(FakeMachine, OneListingReadsTheDisksOnceAndOneDiskIsReadAlone) {
    struct Counting : CSysfsBlockDeviceFacts {
        using CSysfsBlockDeviceFacts::CSysfsBlockDeviceFacts;
        std::vector<BlockDiskFacts> ListDisks() override {
            ++lists;
            std::vector<BlockDiskFacts> disks = CSysfsBlockDeviceFacts::ListDisks();
            std::reverse(disks.begin(), disks.end());
            return disks;
        }
        int lists = 0;
    } counting{sys.sys(), sys.dev(), sys.mountinfo()};
    CEnumDeviceEx listing{counting};
    ASSERT_EQ(listing.Init(), 0u);
    EXPECT_EQ(counting.lists, 1);
    EXPECT_EQ(Describe(Disks(listing)), Describe(Disks(e)));
    EXPECT_EQ(Describe(Volumes(listing, Disk(listing, "sda"))), Describe(Volumes(e, Disk(e, "sda"))));
    counting.lists = 0;
    for (const auto& [name, disk, partitions] : {std::tuple{"sda5", "sda", 5}, {"sdb", "sdb", 3}, {"loop0", "loop0", 0}}) {
        BlockDiskFacts read;
        ASSERT_TRUE(counting.ReadDisk(name, read)) << name;
        EXPECT_EQ(read.name, disk);
        EXPECT_EQ(read.partitions.size(), std::size_t(partitions));
    }
    EXPECT_EQ(counting.lists, 0);
    BlockDiskFacts none;
    for (const char* name : {"sdz", "..", "sda/../sdb", ""}) EXPECT_FALSE(counting.ReadDisk(name, none)) << name;
}

// A disk whose volumes cannot be told (the probe hangs in libblkid) after
// its device was made is left out once the listing's wait ends, none of it
// listed, and every other disk is listed; once its probe returns, the next
// listing lists it.
TEST_F(FakeMachine, ADiskWhoseProbeHangsIsLeftOutAndTheOthersAreListed) {
    struct Hanging : CSysfsBlockDeviceFacts {
        using CSysfsBlockDeviceFacts::CSysfsBlockDeviceFacts;
        bool ProbeVolume(const std::string& path, std::uint64_t offset, std::uint64_t size,
                         BlockVolumeFacts& out) override {
            if (path.find("sdb") != std::string::npos) {
                std::unique_lock l(lock);
                returns.wait(l, [this] { return released; });
            }
            return CSysfsBlockDeviceFacts::ProbeVolume(path, offset, size, out);
        }
        void Release() {
            {
                std::lock_guard l(lock);
                released = true;
            }
            returns.notify_all();
        }
        std::mutex lock;
        std::condition_variable returns;
        bool released = false;
    } hanging{sys.sys(), sys.dev(), sys.mountinfo()};
    // The probe returns, and its listing ends, before the facts go, whatever the row found.
    struct ReleasedAtTheEnd {
        Hanging& facts;
        ~ReleasedAtTheEnd() {
            facts.Release();
            for (int i = 0; i < 200 && CEnumDeviceEx::DisksStillRead() > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            CEnumDeviceEx::SetListingWait(std::chrono::milliseconds(0));
        }
    } released{hanging};
    CEnumDeviceEx::SetListingWait(std::chrono::milliseconds(3000));
    CEnumDeviceEx listing{hanging};
    ASSERT_EQ(listing.Init(), 0u);
    Strings names;
    for (IStorageDevice* d : Disks(listing)) names.push_back(DiskRec(d).bsdName);
    EXPECT_EQ(names, (Strings{"loop0", "loop2", "nvme0n1", "sda", "sdd"}));
    EXPECT_EQ(CEnumDeviceEx::DisksStillRead(), 1u);
    hanging.Release();
    for (int i = 0; i < 200 && CEnumDeviceEx::DisksStillRead() > 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(listing.Init(), 0u);
    EXPECT_EQ(Describe(Disks(listing)), Describe(Disks(e)));
    EXPECT_EQ(Describe(Volumes(listing, Disk(listing, "sdb"))), Describe(Volumes(e, Disk(e, "sdb"))));
}

TEST_F(FakeMachine, CountedQueriesFollowTheirRules) {
    int n = 4;
    IStorageDevice* arr[8] = {};
    EXPECT_EQ(e.EnumDiskDevice(arr, n), kDiskArraySmall);
    n = 0;
    EXPECT_EQ(e.EnumDiskDevice(arr, n), 0u);
    EXPECT_EQ(arr[0], nullptr) << "a count of 0 fills nothing";
    n = 8;
    ASSERT_EQ(e.EnumDiskDevice(arr, n), 0u);
    EXPECT_EQ(n, 6);

    IStorageDevice* sda = Disk(e, "sda");
    EXPECT_EQ(e.EnumPartitionDevice(nullptr, arr, n), kPartitionsNullDisk);
    EXPECT_EQ(e.EnumVolumeDevice(nullptr, arr, n), kVolumesNullDisk);
    std::unique_ptr<IStorageDevice> stranger(CreateDiskDevice("/nonexistent"));
    EXPECT_EQ(e.EnumPartitionDevice(stranger.get(), arr, n), kUnknownDisk);
    for (auto [count, rc] : {std::pair{3, kPartitionArraySmall}, {0, 0ULL}}) {
        n = count;
        EXPECT_EQ(e.EnumPartitionDevice(sda, arr, n), rc);
    }
    for (int count : {0, 3}) { // for volumes a count of 0 is too small
        n = count;
        EXPECT_EQ(e.EnumVolumeDevice(sda, arr, n), kVolumeArraySmall);
    }
    EXPECT_EQ(e.Uninit(), 0u);
    EXPECT_EQ(e.Uninit(), kUninitNotInit);
    EXPECT_EQ(e.EnumDiskDevice(arr, n), kDisksNotInit);
    EXPECT_EQ(e.EnumPartitionDevice(arr[0], arr, n), kPartitionsNotInit);
    EXPECT_EQ(e.EnumVolumeDevice(arr[0], arr, n), kVolumesNotInit);
}

TEST_F(FakeMachine, MbrDiskWithKernelPartitionsHasEveryPartitionAsAVolume) {
    IStorageDevice* sda = Disk(e, "sda");
    const auto parts = Partitions(e, sda);
    EXPECT_EQ(Describe(parts), (Strings{"1 2048+20480 fs10", "3 83968+20480 fs10", "5 24576+20480 fs10",
                                        "6 47104+20480 fs10"}));
    EXPECT_EQ(PartRec(parts[2]).disk, sda);
    EXPECT_EQ(parts[2]->GetTotalSectors(), 20480u);
    // The extended stub is no volume; four partitions of equal size, none hidden by another.
    const auto vols = Volumes(e, sda);
    EXPECT_EQ(Describe(vols), (Strings{"1 sda1 'sda1' 2048+20480 fs10", "3 sda3 'sda3' 83968+20480 fs10",
                                       "5 sda5 'sda5' 24576+20480 fs10", "6 sda6 'sda6' 47104+20480 fs10"}));
    EXPECT_EQ(VolRec(vols[2]).deviceId, enum_linux::DeviceId(8, 5));
    EXPECT_EQ(dynamic_cast<CDiskDevice*>(sda)->GetVolumes(), 4) << "copies of the volume records";
}

TEST_F(FakeMachine, GptVolumesCarryTheirGuidsAndFourKibSectorsCountInThem) {
    IStorageDevice* sdb = Disk(e, "sdb");
    const auto parts = Partitions(e, sdb);
    EXPECT_EQ(Describe(parts), (Strings{"1 2048+409600 fs10", "3 413696+40960 fs10"})) << "no BIOS-boot partition";
    const auto vols = Volumes(e, sdb);
    ASSERT_EQ(vols.size(), 3u);
    EXPECT_EQ(Guid(VolRec(vols[0]).typeGuid), "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
    EXPECT_EQ(Guid(VolRec(vols[0]).uniqueGuid), Guid(PartRec(parts[0]).uniqueGuid));
    EXPECT_EQ(Guid(VolRec(vols[1]).typeGuid), "21686148-6449-6E6F-744E-656564454649"); // BIOS boot

    IStorageDevice* nvme = Disk(e, "nvme0n1");
    const auto nparts = Partitions(e, nvme);
    EXPECT_EQ(Describe(nparts), (Strings{"1 256+3072 fs10", "3 4352+2560 fs10"}));
    EXPECT_EQ(nparts.at(0)->GetSectorSize(), 4096u);
    const auto nvols = Volumes(e, nvme);
    ASSERT_EQ(nvols.size(), 3u);
    EXPECT_EQ(Describe(nvols[2]), "3 nvme0n1p3 'nvme0n1p3' 4352+2560 fs10");
    EXPECT_EQ(VolRec(nvols[2]).sectorSize, 4096);
}

TEST_F(FakeMachine, SuperfloppyIsOneVolumeEqualToTheDisk) {
    IStorageDevice* loop0 = Disk(e, "loop0");
    EXPECT_EQ(Describe(Partitions(e, loop0)), Strings{"-1 0+81920 fs2"});
    // The disk's volume matches the whole-disk partition; libblkid's label and
    // kind while no recogniser knows it.
    EXPECT_EQ(Describe(Volumes(e, loop0)), Strings{"-1 loop0 'FLOPPY' 0+81920 fs2 mounted"});
    EXPECT_STREQ(VolRec(Volumes(e, loop0)[0]).label, "FLOPPY");
}

TEST_F(FakeMachine, ImageWithoutPartitionDevicesGetsItsVolumesFromTheTable) {
    IStorageDevice* loop2 = Disk(e, "loop2");
    const auto vols = Volumes(e, loop2);
    EXPECT_EQ(Describe(vols), (Strings{"1  '' 2048+20480 fs10", "3  '' 83968+20480 fs10", "5  '' 24576+20480 fs10",
                                       "6  '' 47104+20480 fs10"}));
    for (IStorageDevice* v : vols) EXPECT_EQ(VolRec(v).disk, loop2);
    // Made once, by Init: every query hands out the same devices.
    EXPECT_EQ(Volumes(e, loop2), vols);
    EXPECT_EQ(e.Uninit(), 0u);
    ASSERT_EQ(e.Init(), 0u);
    EXPECT_EQ(Volumes(e, Disk(e, "loop2")).size(), 4u);
}

// Cards and sticks without a table, under 8 MiB: each disk is listed with
// its one volume, the whole disk, whatever its boot code reads as and even
// when libblkid takes a signed exFAT boot sector for an empty MBR. libblkid
// tells nothing of them here (as when a read it needs fails): each is named
// by the label its recogniser read, the node where it reads none (exFAT).
// A label libblkid tells names its card before the recogniser's (sdf, a
// copy of the FAT card).
TEST(Enumerator, CardsWithoutATableAreListedWithTheirVolumeWhateverTheirSize) {
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    FakeBlockDeviceFacts facts;
    const struct {
        const char* name;
        const char* image;
        const char* blkidTable;
        const char* volume;
        const char* blkidLabel = "";
    } cards[] = {{"sdc", "fat_card.img", "", "-1 sdc 'CARD' 0+8192 fs0"},
                 {"sdd", "ntfs_card.img", "", "-1 sdd 'CARD' 0+12288 fs3"},
                 {"sde", "exfat_card.img", "dos", "-1 sde 'sde' 0+8192 fs7"},
                 {"sdf", "fat_card.img", "", "-1 sdf 'TOLD' 0+8192 fs0", "TOLD"}};
    const TempDir tmp;
    unsigned minor = 32;
    for (const auto& c : cards) {
        std::string image = FixtureFile("cards", c.image);
        ASSERT_FALSE(image.empty());
        if (*c.blkidLabel) {
            std::filesystem::copy_file(image, tmp.file(c.name));
            image = tmp.file(c.name);
            facts.volumes[image] = {"vfat", "FAT16", c.blkidLabel};
        }
        BlockDiskFacts d;
        d.name = c.name;
        d.major = 8;
        d.minor = minor += 16;
        d.size512 = std::filesystem::file_size(image) / 512;
        d.protocol = "USB";
        facts.disks.push_back(d);
        facts.nodes[c.name] = image;
        facts.tables[image] = {c.blkidTable, {}};
    }
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    std::vector<std::string> volumes;
    for (IStorageDevice* disk : Disks(e)) {
        EXPECT_EQ(DiskRec(disk).partitionScheme, PARTITION_SCHEME_NONE) << DiskRec(disk).bsdName;
        EXPECT_EQ(Describe(Partitions(e, disk)).size(), 1u) << "the whole-disk entry";
        for (const std::string& v : Describe(Volumes(e, disk))) volumes.push_back(v);
    }
    EXPECT_EQ(volumes, (Strings{cards[0].volume, cards[1].volume, cards[2].volume, cards[3].volume}));
}

// Partitioned disks with damaged entries: libblkid refuses a table for one
// boot flag or a FAT boot sector over the boot code, and the kernel makes a
// partition of an overlapping or repeated entry; each partition is one volume.
// Cards: libblkid reads a FAT boot sector as no table, the kernel may read its
// boot code as entries.
TEST(Enumerator, OneDamagedTableEntryHidesNoVolumeAndRepeatsNone) {
    RegisterAllLibraries();
    struct Unregister {
        ~Unregister() { ResetFactories(); }
    } unregister;
    using Kernel = std::vector<BlockPartitionFacts>;
    const std::string esp = "C12A7328-F81F-11D2-BA4B-00A0C93EC93B";
    BlockTableFacts gpt{"gpt", {}};
    Kernel repeated;
    for (int n = 1; n <= 8; ++n) {
        const std::string uuid = "0F0E0D0C-0B0A-0908-0706-05040302010" + std::to_string(n);
        gpt.entries.push_back({n, 2048, 65536, esp, uuid});
        repeated.push_back({"sdf" + std::to_string(n), n, 8, static_cast<unsigned>(80 + n), 2048, 65536});
    }
    const struct {
        const char* name;
        const char* image;
        BlockTableFacts blkid;
        Kernel kernel;
        std::uint32_t scheme;
        Strings starts; // number@start of each volume
        Strings sizes = {}; // number:sectors of each volume, where asked
    } disks[] = {
        {"sdb", "bootflag.img", {}, {}, PARTITION_SCHEME_MBR, {"1@2048", "2@67584"}},
        {"sdc", "fatsector.img", {}, {}, PARTITION_SCHEME_MBR, {"1@2048", "2@67584"}},
        {"sdd",
         "overlap.img",
         {"dos", {}},
         {{"sdd1", 1, 8, 49, 2048, 65536}, {"sdd2", 2, 8, 50, 67584, 65536}, {"sdd3", 3, 8, 51, 3048, 40000}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "2@67584"}},
        {"sdf", "gpt_repeat.img", gpt, repeated, PARTITION_SCHEME_GPT, {"1@2048"}},
        // Overlapping entries both starting at volumes: each volume once, in
        // the entry that fits it.
        {"sdg",
         "onesector.img",
         {"dos", {}},
         {{"sdg1", 1, 8, 97, 2048, 1}, {"sdg2", 2, 8, 98, 2048, 65536}, {"sdg3", 3, 8, 99, 67584, 65536}},
         PARTITION_SCHEME_MBR,
         {"2@2048", "3@67584"}},
        {"sdh",
         "allones.img",
         {"dos", {}},
         {{"sdh1", 1, 8, 113, 2048, 202752}, {"sdh2", 2, 8, 114, 67584, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "2@67584"}},
        {"sdi",
         "ext_overlap.img",
         {"dos", {}},
         {{"sdi1", 1, 8, 129, 2048, 66536}, {"sdi2", 2, 8, 130, 67584, 2}, {"sdi5", 5, 8, 133, 69632, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "5@69632"}},
        // Cards whose boot code the kernel reads as an entry into their own
        // volume: at its backup boot sector, the card's volume, not the
        // kernel's partition; at a disk image kept on it, the card and the
        // image both. A volume at sector 0 beside a table's partition is
        // listed with it.
        {"sdj", "card_backup.img", {}, {{"sdj1", 1, 8, 145, 6, 81914}}, PARTITION_SCHEME_NONE, {"-1@0"}},
        {"sdk", "card_image.img", {}, {{"sdk1", 1, 8, 161, 404, 4096}}, PARTITION_SCHEME_MBR, {"1@404", "0@0"}},
        {"sdl",
         "card_table.img",
         {},
         {{"sdl2", 2, 8, 178, 67584, 65536}},
         PARTITION_SCHEME_MBR,
         {"2@67584", "0@0"}},
        // A card whose boot code holds an entry at its backup boot sector and
        // one beyond it: the card beside that partition.
        {"sdm",
         "card_backup_out.img",
         {},
         {{"sdm1", 1, 8, 193, 6, 81914}, {"sdm2", 2, 8, 194, 86016, 65536}},
         PARTITION_SCHEME_MBR,
         {"2@86016", "0@0"}},
        // Sticks formatted whole, then partitioned: the partition and the
        // old volume libblkid sees at sector 0, which is sound.
        {"sdn", "stick_fat32_mbr.img", {}, {{"sdn1", 1, 8, 209, 2048, 260096}}, PARTITION_SCHEME_MBR,
         {"1@2048", "0@0"}},
        {"sdo",
         "stick_ntfs_mbr.img",
         {"dos", {}},
         {{"sdo1", 1, 8, 225, 2048, 260096}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "0@0"}},
        // A stray entry before or between sound ones: a copy of the second
        // volume's boot sector, an NTFS volume's backup boot sector.
        {"sdp",
         "stray_copy_mbr_1.img",
         {"dos", {}},
         {{"sdp1", 1, 8, 241, 42048, 65536}, {"sdp2", 2, 8, 242, 2048, 65536}, {"sdp3", 3, 8, 243, 67584, 65536}},
         PARTITION_SCHEME_MBR,
         {"2@2048", "3@67584"}},
        {"sdq",
         "stray_ntfs_mbr_2.img",
         {"dos", {}},
         {{"sdq1", 1, 8, 257, 2048, 65536}, {"sdq2", 2, 8, 258, 67583, 65536}, {"sdq3", 3, 8, 259, 67584, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "3@67584"}},
        // A volume at an extended entry's first sector, shown by the kernel as
        // a stub, or at an EBR a link names: listed from the table beside the
        // logical partitions.
        {"sdr",
         "ext_both.img",
         {"dos", {}},
         {{"sdr1", 1, 8, 17, 2048, 65536}, {"sdr2", 2, 8, 18, 67584, 2}, {"sdr5", 5, 8, 21, 102400, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "5@102400", "2@67584"},
         {"1:65536", "5:65536", "2:32768"}},
        {"sds",
         "ext_link.img",
         {"dos", {}},
         {{"sds1", 1, 8, 33, 2048, 65536},
          {"sds2", 2, 8, 34, 67584, 2},
          {"sds5", 5, 8, 37, 69632, 16384},
          {"sds6", 6, 8, 38, 120832, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "5@69632", "6@120832", "7@86016"},
         {"1:65536", "5:16384", "6:65536", "7:32768"}},
        // sfdisk's 128 MiB stick, a 16 MiB volume at the extended entry's first
        // sector: its own sectors, not the entry's, which hold partition 5 too.
        {"sdt",
         "ext_in_fat16.img",
         {"dos", {}},
         {{"sdt1", 1, 8, 273, 2048, 65536},
          {"sdt2", 2, 8, 274, 67584, 2},
          {"sdt5", 5, 8, 277, 102400, 65536}},
         PARTITION_SCHEME_MBR,
         {"1@2048", "5@102400", "2@67584"},
         {"1:65536", "5:65536", "2:32768"}},
    };
    FakeBlockDeviceFacts facts;
    unsigned minor = 0;
    for (const auto& d : disks) {
        const std::string image = FixtureFile("part_damage", d.image);
        ASSERT_FALSE(image.empty());
        BlockDiskFacts f;
        f.name = d.name;
        f.major = 8;
        f.minor = minor += 16;
        f.size512 = std::filesystem::file_size(image) / 512;
        f.protocol = "USB";
        f.partitions = d.kernel;
        facts.disks.push_back(f);
        facts.nodes[d.name] = image;
        for (const auto& p : d.kernel) facts.nodes[p.name] = image; // a node to open, read as nothing known
        facts.tables[image] = d.blkid;
    }
    CEnumDeviceEx e(facts);
    ASSERT_EQ(e.Init(), 0u);
    const auto listed = Disks(e);
    ASSERT_EQ(listed.size(), std::size(disks));
    for (std::size_t i = 0; i < listed.size(); ++i) {
        SCOPED_TRACE(disks[i].image);
        EXPECT_EQ(DiskRec(listed[i]).partitionScheme, disks[i].scheme);
        Strings starts, sizes;
        for (IStorageDevice* v : Volumes(e, listed[i])) {
            const auto& r = VolRec(v);
            starts.push_back(std::to_string(r.partitionNumber) + "@" + std::to_string(r.startSector));
            sizes.push_back(std::to_string(r.partitionNumber) + ":" + std::to_string(r.totalSectors));
            // A volume the table reader alone names is read (and deep-scanned) over its own sectors.
            const auto& kernel = disks[i].kernel;
            const bool kernels = std::any_of(kernel.begin(), kernel.end(), [&](const auto& p) {
                return p.number == r.partitionNumber && p.size512 > 2;
            });
            if (!disks[i].sizes.empty() && !kernels) {
                EXPECT_EQ(v->GetTotalSectors(), r.totalSectors) << starts.back();
            }
        }
        EXPECT_EQ(starts, disks[i].starts);
        if (!disks[i].sizes.empty()) {
            EXPECT_EQ(sizes, disks[i].sizes);
        }
        EXPECT_EQ(Describe(Partitions(e, listed[i])).size(), disks[i].starts.size());
    }
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

// Facts held in memory (libblkid answers that fail or lack fields): a USB
// stick over gpt.img whose kernel made partitions 1 and 3.
class FakeFacts : public FakeBlockDeviceFacts, public ::testing::Test {
protected:
    void SetUp() override {
        BlockDiskFacts d{.name = "sdb", .major = 8, .minor = 16, .size512 = 532480, .vendor = {}, .model = {},
                         .backingFile = {}, .protocol = "USB", .partitions = {}};
        for (auto [n, start, size] : {std::tuple{1, 2048u, 409600u}, std::tuple{3, 413696u, 40960u}}) {
            const std::string name = "sdb" + std::to_string(n);
            d.partitions.push_back({name, n, 8, static_cast<unsigned>(16 + n), start, size});
            std::ofstream(nodes[name] = dir.file(name)).close();
            fs::resize_file(nodes[name], std::uint64_t{size} * 512);
        }
        disks.push_back(d);
        nodes["sdb"] = Img("gpt.img");
        tables[Img("gpt.img")] = {"gpt",
                                  {{1, 2048, 409600, "c12a7328-f81f-11d2-ba4b-00a0c93ec93b",
                                    "0c4a2a68-c2c3-441a-8757-1f888ed2715d", false},
                                   {3, 413696, 40960, "0fc63daf-8483-4772-8e79-3d69d8477de4", "", false}}}; // no GUID
    }
    std::vector<IStorageDevice*> StickVolumes(CEnumDeviceEx& e, std::uint32_t scheme) {
        EXPECT_EQ(e.Init(), 0u);
        IStorageDevice* disk = Disks(e).at(0);
        EXPECT_EQ(DiskRec(disk).busType, BUS_USB);
        EXPECT_EQ(DiskRec(disk).partitionScheme, scheme);
        return Volumes(e, disk);
    }
    TempDir dir;
};

TEST_F(FakeFacts, GptVolumeWhoseGuidCannotBeReadIsLeftToThePartitionList) {
    mounts[{8, 17}] = "/media/me/EFI STUFF";
    CEnumDeviceEx e(*this);
    const auto vols = StickVolumes(e, PARTITION_SCHEME_GPT);
    // sdb3's volume is dropped; its partition comes back as a volume without a
    // name. sdb1 has no label: the mount point's name.
    EXPECT_EQ(Describe(vols), (Strings{"1 sdb1 'EFI STUFF' 2048+409600 fs10 mounted", "3  '' 413696+40960 fs10"}));
    EXPECT_EQ(Guid(VolRec(vols[0]).uniqueGuid), "0C4A2A68-C2C3-441A-8757-1F888ED2715D");
}

TEST_F(FakeFacts, UnreadableTableMeansNoSchemeAndKernelPartitionsStillListed) {
    tables.clear();
    volumes[nodes["sdb1"]] = {"exfat", "1.0", "PHOTOS"};
    CEnumDeviceEx e(*this);
    const auto vols = StickVolumes(e, PARTITION_SCHEME_NONE);
    // sdb3: no label, not mounted: the kernel name.
    ASSERT_GE(vols.size(), 2u);
    EXPECT_EQ(Describe({vols[0], vols[1]}), (Strings{"1 sdb1 'PHOTOS' 2048+409600 fs7", "3 sdb3 'sdb3' 413696+40960 fs10"}));
}

} // namespace
