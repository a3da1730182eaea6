#pragma once
// What the enumeration needs to know about the machine's block devices, behind
// a small interface: the sysfs/libblkid/mountinfo implementation below, and
// fakes in the tests.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One partition the kernel made for a disk (/sys/block/<disk>/<part>).
struct BlockPartitionFacts {
    std::string name; // kernel name, e.g. "sda1"
    std::int32_t number = 0; // sysfs "partition"
    unsigned major = 0, minor = 0;
    std::uint64_t start512 = 0; // sysfs "start": 512-byte units whatever the sector size
    std::uint64_t size512 = 0;
};

// One whole disk (/sys/block/<disk>).
struct BlockDiskFacts {
    std::string name; // kernel name, e.g. "sda", "loop0"
    unsigned major = 0, minor = 0;
    std::uint64_t size512 = 0;
    std::uint64_t diskSeq = 0; // "diskseq": new each time a medium is put in (0 unknown)
    unsigned logicalBlockSize = 512; // queue/logical_block_size
    bool readOnly = false;
    int scsiType = -1; // device/type, -1 when absent (5 is optical)
    std::string vendor, model; // device/vendor, device/model, untrimmed
    std::string backingFile; // loop/backing_file of a loop device
    // "USB", "SATA", "ATA", "SCSI", "Virtual Interface" (a loop device with a
    // backing file), or "" for anything else (NVMe, virtio, MMC …).
    std::string protocol;
    std::vector<BlockPartitionFacts> partitions;
};

// A partition table as libblkid reads it.
struct BlockTableFacts {
    std::string type; // "dos", "gpt", "mac", …; empty when there is none
    struct Entry {
        std::int32_t number = 0;
        std::uint64_t start512 = 0, size512 = 0;
        std::string typeString; // GPT type GUID text, APM type name, MBR type "0x83"
        std::string uuid; // GPT partition GUID text
        bool extended = false;
    };
    std::vector<Entry> entries;
};

// The file system in a range of a device as libblkid reads it.
struct BlockVolumeFacts {
    std::string type;    // "vfat", "exfat", "ntfs", "hfsplus", "apfs", …
    std::string version; // "FAT12", "FAT16", "FAT32" for vfat
    std::string label;
};

class IBlockDeviceFacts {
public:
    virtual ~IBlockDeviceFacts() = default;
    // Every whole disk the kernel lists, unfiltered.
    virtual std::vector<BlockDiskFacts> ListDisks() = 0;
    // The disk of one kernel name (the disk's own or one of its
    // partitions'); false when none is listed. This one reads every disk.
    virtual bool ReadDisk(const std::string& kernelName, BlockDiskFacts& out);
    // The device node of a kernel name.
    virtual std::string DevicePath(const std::string& kernelName) = 0;
    // The partition table of a device with sectors of the given size (sysfs
    // knows it; an image file stands for a device of any); false when it
    // cannot be read.
    virtual bool ProbeTable(const std::string& devicePath, unsigned sectorSize, BlockTableFacts& out) = 0;
    // The file system of `size` bytes at `offset` (size 0: to the end); false when none is found.
    virtual bool ProbeVolume(const std::string& devicePath, std::uint64_t offset, std::uint64_t size,
                             BlockVolumeFacts& out) = 0;
    // Where the device maj:min is mounted, "" when it is not.
    virtual std::string MountPoint(unsigned major, unsigned minor) = 0;
};

// The Linux implementation. The roots are parameters so that a tree made in a
// test folder can stand in for the system's.
class CSysfsBlockDeviceFacts : public IBlockDeviceFacts {
public:
    explicit CSysfsBlockDeviceFacts(std::string sysRoot = "/sys", std::string devRoot = "/dev",
                                    std::string mountInfo = "/proc/self/mountinfo");
    std::vector<BlockDiskFacts> ListDisks() override;
    // Reads only that disk's folder (false when the name is gone).
    bool ReadDisk(const std::string& kernelName, BlockDiskFacts& out) override;
    std::string DevicePath(const std::string& kernelName) override;
    bool ProbeTable(const std::string& devicePath, unsigned sectorSize, BlockTableFacts& out) override;
    bool ProbeVolume(const std::string& devicePath, std::uint64_t offset, std::uint64_t size,
                     BlockVolumeFacts& out) override;
    std::string MountPoint(unsigned major, unsigned minor) override;

private:
    std::string m_sysRoot, m_devRoot, m_mountInfo;
};

// The whole text of a small file of facts (a sysfs attribute, mountinfo);
// "" when it cannot be opened, a read fails (the device went meanwhile) or it
// holds more than kLargestFactsFile bytes. Never throws.
constexpr std::size_t kLargestFactsFile = std::size_t(64) << 20;
std::string ReadFactsFile(const std::string& path);

// The bus of a disk from its resolved sysfs device path ("/sys/devices/…").
// ataLinkSpeed is the libata link's sata_spd text ("" when not found).
std::string BusProtocolFromSysPath(const std::string& sysPath, bool loopWithBacking, const std::string& ataLinkSpeed);

// The name of a PCI vendor id ("0x1af4" as virtio's sysfs gives it): from
// the first of the PCI id lists (pci.ids) that names it, else from a small
// table of the vendors of virtual disks; "" when unknown.
std::string PciVendorName(const std::string& id, const std::vector<std::string>& idLists);

// The mount point of maj:min in the text of a mountinfo file, unescaped; "" when absent.
std::string MountPointFromMountInfo(const std::string& mountInfo, unsigned major, unsigned minor);
// The sources (a device, an image file, a FUSE program's name) of every mount
// of maj:min in the text of a mountinfo file, unescaped.
std::vector<std::string> MountSourcesFromMountInfo(const std::string& mountInfo, unsigned major, unsigned minor);
