// The pieces of the Linux mapping: bus, mount points, GUID text, names, exclusions.
#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/enumeration/EnumDevice.h"

#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

TEST(LinuxFacts, BusFromTheSysfsDevicePath) {
    const std::string pci = "/sys/devices/pci0000:00/";
    const struct {
        std::string path;
        bool backed;
        const char* speed;
        const char* bus;
    } cases[] = {
        {pci + "0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb", false, "", "USB"},
        {pci + "0000:00:1f.2/ata3/host2/target2:0:0/2:0:0:0/block/sda", false, "6.0 Gbps", "SATA"},
        {pci + "0000:00:01.1/ata1/host0/target0:0:0/0:0:0:0/block/sda", false, "<unknown>", "ATA"},
        {pci + "0000:00:10.0/host2/target2:0:0/2:0:0:0/block/sdc", false, "", "SCSI"},
        {"/sys/devices/virtual/block/loop0", true, "", "Virtual Interface"},
        {"/sys/devices/virtual/block/loop0", false, "", ""},
        {pci + "0000:00:02.0/virtio1/block/vda", false, "", ""},
        {pci + "0000:00:04.0/nvme/nvme0/nvme0n1", false, "", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(BusProtocolFromSysPath(c.path, c.backed, c.speed), c.bus) << c.path;
    EXPECT_EQ(enum_linux::BusType("SCSI Parallel"), BUS_SCSI); // any SCSI flavour
    EXPECT_EQ(enum_linux::BusType("ATA"), BUS_ATA);
}

TEST(LinuxFacts, MountPointsByMajorMinorUnescaped) {
    const std::string info = "22 27 0:21 / /proc rw - proc proc rw\n"
                             "40 27 8:17 / /media/me/My\\040Stick\\134x rw,nosuid - vfat /dev/sdb1 rw\n"
                             "41 27 8:1 /sub /mnt/a rw - btrfs /dev/sda1 rw\n"
                             "bad line\n";
    EXPECT_EQ(MountPointFromMountInfo(info, 8, 17), "/media/me/My Stick\\x");
    EXPECT_EQ(MountPointFromMountInfo(info, 8, 1), "/mnt/a");
    EXPECT_EQ(MountPointFromMountInfo(info, 8, 2), "");
    EXPECT_EQ(MountPointFromMountInfo("40 27 8:17 / /trailing\\04", 8, 17), "/trailing\\04");
}

TEST(LinuxFacts, DeviceIdIsWhatStatGivesFilesOnTheVolumeAndGuidTextIsInGptLayout) {
    struct stat st {};
    ASSERT_EQ(stat("/", &st), 0);
    EXPECT_EQ(static_cast<std::uint32_t>(enum_linux::DeviceId(major(st.st_dev), minor(st.st_dev))),
              static_cast<std::uint32_t>(st.st_dev));
    EXPECT_EQ(enum_linux::DeviceId(259, 3), static_cast<std::int32_t>(makedev(259, 3)));

    _GUID g;
    ASSERT_TRUE(enum_linux::ParseGuid("c12a7328-f81f-11d2-ba4b-00a0c93ec93b", g));
    EXPECT_EQ(g, (_GUID{0xC12A7328, 0xF81F, 0x11D2, {0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B}}));
    for (const char* bad : {"c12a7328f81f11d2ba4b00a0c93ec93b", "c12a7328-f81f-11d2-ba4b-00a0c93ec93",
                            "g12a7328-f81f-11d2-ba4b-00a0c93ec93b", ""})
        EXPECT_FALSE(enum_linux::ParseGuid(bad, g)) << bad;
}

TEST(LinuxFacts, NamesKindsAndExclusions) {
    BlockDiskFacts d;
    d.vendor = "  WDC  ";
    d.model = " WD10EZEX-00B  \n";
    EXPECT_EQ(enum_linux::RegistryName(d), "WDC WD10EZEX-00B");
    d.vendor.clear();
    EXPECT_EQ(enum_linux::RegistryName(d), "WD10EZEX-00B");
    d.backingFile = "/home/me/My Images/card.img";
    EXPECT_EQ(enum_linux::RegistryName(d), "card.img");

    EXPECT_EQ(enum_linux::PartitionScheme("mac"), PARTITION_SCHEME_APM);
    EXPECT_EQ(enum_linux::PartitionScheme("bsd"), PARTITION_SCHEME_NONE);
    for (auto [version, kind] : {std::pair{"FAT12", FS_FAT12}, {"FAT16", FS_FAT16}, {"FAT32", FS_FAT32}})
        EXPECT_EQ(enum_linux::FileSystemKind({"vfat", version, ""}), kind) << version;
    EXPECT_EQ(enum_linux::FileSystemKind({"ext4", "1.0", ""}), FS_UNKNOWN);

    auto excluded = [](const char* n, std::uint64_t size = 81920, int type = 0) {
        BlockDiskFacts f;
        f.name = n;
        f.size512 = size;
        f.scsiType = type;
        return enum_linux::IsExcludedDisk(f);
    };
    for (const char* n : {"sr0", "dm-0", "md127", "zram0", "ram3"}) EXPECT_TRUE(excluded(n)) << n;
    EXPECT_TRUE(excluded("loop3", 0));
    EXPECT_TRUE(excluded("sdc", 81920, 5)) << "optical";
    for (const char* n : {"sda", "loop3", "nvme0n1", "mmcblk0", "vda"}) EXPECT_FALSE(excluded(n)) << n;
}

// Facts whose read fails (here a folder where a file was: EISDIR; a device
// gone between the open and the read answers ENODEV the same way) are empty:
// the partition is left out, the disk and the mount table read as nothing.
TEST(LinuxFacts, AFactWhoseReadFailsIsEmpty) {
    salvor::test::TempDir root;
    namespace fs = std::filesystem;
    const fs::path sdb = fs::path(root.path()) / "block" / "sdb";
    fs::create_directories(sdb / "sdb1");
    fs::create_directories(sdb / "sdb2" / "start");
    auto write = [](const fs::path& p, const char* text) { std::ofstream(p) << text << "\n"; };
    write(sdb / "dev", "8:16");
    write(sdb / "size", "8192");
    for (const char* part : {"sdb1", "sdb2"}) {
        write(sdb / part / "partition", part + 3);
        write(sdb / part / "dev", "8:17");
        write(sdb / part / "size", "2048");
    }
    write(sdb / "sdb1" / "start", "2048");
    CSysfsBlockDeviceFacts facts(root.path(), "/dev", root.path() + "/block");
    const std::vector<BlockDiskFacts> disks = facts.ListDisks();
    ASSERT_EQ(disks.size(), 1u);
    ASSERT_EQ(disks[0].partitions.size(), 1u);
    EXPECT_EQ(disks[0].partitions[0].name, "sdb1");
    EXPECT_EQ(facts.MountPoint(8, 17), "");
    EXPECT_EQ(ReadFactsFile(sdb.string()), "");
    EXPECT_EQ(ReadFactsFile((sdb / "dev").string()), "8:16\n");
}

// A virtio disk: sysfs gives the PCI vendor id and no model.
TEST(LinuxFacts, VirtioDiskGetsAReadableName) {
    salvor::test::TempDir root;
    namespace fs = std::filesystem;
    const fs::path vda = fs::path(root.path()) / "block" / "vda";
    fs::create_directories(vda / "device");
    auto write = [](const fs::path& p, const char* text) { std::ofstream(p) << text << "\n"; };
    write(vda / "dev", "254:0");
    write(vda / "size", "2048");
    write(vda / "device" / "vendor", "0x1af4");
    write(vda / "device" / "modalias", "virtio:d00000002v00001AF4");
    const std::vector<BlockDiskFacts> disks = CSysfsBlockDeviceFacts(root.path()).ListDisks();
    ASSERT_EQ(disks.size(), 1u);
    EXPECT_EQ(enum_linux::RegistryName(disks[0]), "Red Hat, Inc. Virtio Block Device");

    const std::string ids = root.path() + "/pci.ids";
    write(ids, "# comment\n1af3  Other\n1af4  Red Hat, Inc. (listed)\n\t1001  Virtio block device");
    EXPECT_EQ(PciVendorName("0x1AF4", {root.path() + "/missing", ids}), "Red Hat, Inc. (listed)");
    EXPECT_EQ(PciVendorName("0x1af4", {}), "Red Hat, Inc.");
    for (const char* unknown : {"0x9999", "ATA", "0x1af", ""}) EXPECT_EQ(PciVendorName(unknown, {ids}), "") << unknown;
}
