#include "engine/enumeration/BlockDeviceFacts.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

std::string ReadFactsFile(const std::string& path) {
    // Plain reads, no stream: a file stream's buffer throws when a read
    // fails, as it does for the attribute of a device that went between the
    // open and the read (ENODEV).
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0 && text.size() + std::size_t(n) <= kLargestFactsFile) {
            text.append(buffer, std::size_t(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n != 0)
            text.clear(); // failed, or more than any such file holds
        break;
    }
    ::close(fd);
    return text;
}

namespace {

std::string ReadText(const fs::path& p) {
    std::string s = ReadFactsFile(p.string());
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r'))
        s.pop_back();
    return s;
}

bool ReadNumber(const fs::path& p, std::uint64_t& v) {
    const std::string s = ReadText(p);
    if (s.empty() || s.find_first_not_of("0123456789") != std::string::npos || s.size() > 19)
        return false;
    v = std::stoull(s);
    return true;
}

bool ReadMajorMinor(const fs::path& p, unsigned& major, unsigned& minor) {
    unsigned a = 0, b = 0;
    char colon = 0;
    std::istringstream in(ReadText(p));
    if (!(in >> a >> colon >> b) || colon != ':')
        return false;
    major = a;
    minor = b;
    return true;
}

bool IsHexId(const std::string& s) {
    return s.size() == 6 && s.compare(0, 2, "0x") == 0 && std::all_of(s.begin() + 2, s.end(), ::isxdigit);
}

// Where Debian's hwdata and pciutils put the PCI id list.
const std::vector<std::string> kPciIdLists = {"/usr/share/hwdata/pci.ids", "/usr/share/misc/pci.ids"};

// A virtio disk has no model and a numeric vendor: both get names a user reads.
void NameByBusIds(BlockDiskFacts& d, const fs::path& device) {
    if (!IsHexId(d.vendor))
        return;
    if (const std::string name = PciVendorName(d.vendor, kPciIdLists); !name.empty())
        d.vendor = name;
    // virtio device type 2 is a block device.
    if (d.model.empty() && ReadText(device / "modalias").rfind("virtio:d00000002", 0) == 0)
        d.model = "Virtio Block Device";
}

// sata_spd of the libata link above a device path, "" when there is none.
std::string AtaLinkSpeed(const std::string& sysPath) {
    std::size_t pos = 0;
    while ((pos = sysPath.find("/ata", pos)) != std::string::npos) {
        const std::size_t end = sysPath.find('/', pos + 1);
        const std::string comp = sysPath.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
        if (comp.size() > 3 && std::all_of(comp.begin() + 3, comp.end(), ::isdigit)) {
            std::error_code ec;
            const fs::path port = sysPath.substr(0, end);
            for (fs::directory_iterator link(port, ec), last; !ec && link != last; link.increment(ec)) {
                const std::string n = link->path().filename().string();
                if (n.rfind("link", 0) != 0)
                    continue;
                const std::string spd = ReadText(link->path() / "ata_link" / n / "sata_spd");
                if (!spd.empty())
                    return spd;
            }
            return {};
        }
        pos += 4;
    }
    return {};
}

struct ProbeFree {
    void operator()(blkid_probe p) const { blkid_free_probe(p); }
};
using Probe = std::unique_ptr<std::remove_pointer_t<blkid_probe>, ProbeFree>;

struct FdClose {
    int fd;
    ~FdClose() {
        if (fd >= 0)
            ::close(fd);
    }
};

std::string ProbeValue(blkid_probe pr, const char* name) {
    const char* v = nullptr;
    return blkid_probe_lookup_value(pr, name, &v, nullptr) == 0 && v ? std::string(v) : std::string();
}

} // namespace

std::string BusProtocolFromSysPath(const std::string& sysPath, bool loopWithBacking, const std::string& ataLinkSpeed) {
    if (loopWithBacking)
        return "Virtual Interface";
    if (sysPath.find("/usb") != std::string::npos)
        return "USB";
    std::size_t pos = 0;
    while ((pos = sysPath.find("/ata", pos)) != std::string::npos) {
        pos += 4;
        if (pos < sysPath.size() && std::isdigit(static_cast<unsigned char>(sysPath[pos])))
            // libata: a parallel port's link has no serial speed.
            return ataLinkSpeed == "<unknown>" ? "ATA" : "SATA";
    }
    if (sysPath.find("/host") != std::string::npos && sysPath.find("/target") != std::string::npos)
        return "SCSI";
    return {};
}

namespace {

// Blanks, tabs, newlines and backslashes in mountinfo fields are written as \ooo octal escapes.
std::string UnescapeMountField(const std::string& field) {
    std::string out;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() &&
            std::all_of(field.begin() + i + 1, field.begin() + i + 4, [](char c) { return c >= '0' && c <= '7'; })) {
            out += static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return out;
}

// Calls take(fields) for every mountinfo line of maj:min, fields split at blanks.
template <class Take>
void ForEachMountOf(const std::string& text, unsigned major, unsigned minor, Take take) {
    const std::string want = std::to_string(major) + ":" + std::to_string(minor);
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream split(line);
        std::vector<std::string> fields;
        for (std::string f; split >> f;) fields.push_back(f);
        if (fields.size() >= 5 && fields[2] == want && !take(fields)) return;
    }
}

} // namespace

std::string MountPointFromMountInfo(const std::string& text, unsigned major, unsigned minor) {
    std::string out;
    ForEachMountOf(text, major, minor, [&out](const std::vector<std::string>& fields) {
        out = UnescapeMountField(fields[4]);
        return false;
    });
    return out;
}

std::vector<std::string> MountSourcesFromMountInfo(const std::string& text, unsigned major, unsigned minor) {
    std::vector<std::string> sources;
    ForEachMountOf(text, major, minor, [&sources](const std::vector<std::string>& fields) {
        // Optional fields end at "-"; the file-system type and the source follow.
        const auto dash = std::find(fields.begin() + 5, fields.end(), "-");
        if (fields.end() - dash >= 3) sources.push_back(UnescapeMountField(*(dash + 2)));
        return true;
    });
    return sources;
}

std::string PciVendorName(const std::string& id, const std::vector<std::string>& idLists) {
    if (!IsHexId(id))
        return {};
    std::string hex = id.substr(2);
    std::transform(hex.begin(), hex.end(), hex.begin(), ::tolower);
    // A vendor line: four hex digits, two blanks, the name (devices follow indented).
    for (const std::string& path : idLists) {
        std::ifstream in(path);
        for (std::string line; std::getline(in, line);)
            if (line.size() > 6 && line.compare(0, 4, hex) == 0 && line.compare(4, 2, "  ") == 0)
                return line.substr(6);
    }
    static const std::pair<const char*, const char*> kVirtualDiskVendors[] = {
        {"1af4", "Red Hat, Inc."}, {"1b36", "Red Hat, Inc."}, {"15ad", "VMware"}, {"80ee", "InnoTek (VirtualBox)"}};
    for (const auto& [vid, name] : kVirtualDiskVendors)
        if (hex == vid)
            return name;
    return {};
}

CSysfsBlockDeviceFacts::CSysfsBlockDeviceFacts(std::string sysRoot, std::string devRoot, std::string mountInfo)
    : m_sysRoot(std::move(sysRoot)), m_devRoot(std::move(devRoot)), m_mountInfo(std::move(mountInfo)) {}

std::string CSysfsBlockDeviceFacts::DevicePath(const std::string& kernelName) { return m_devRoot + "/" + kernelName; }

namespace {

// The facts of the disk whose sysfs folder is dir; false when it has no
// device number or size (not a disk, or gone while being read).
bool ReadDiskFolder(const fs::path& dir, BlockDiskFacts& d) {
    std::error_code ec;
    d = {};
    d.name = dir.filename().string();
    std::uint64_t v = 0;
    if (!ReadMajorMinor(dir / "dev", d.major, d.minor) || !ReadNumber(dir / "size", v))
        return false;
    d.size512 = v;
    if (ReadNumber(dir / "diskseq", v))
        d.diskSeq = v;
    if (ReadNumber(dir / "queue" / "logical_block_size", v) && v >= 512 && v <= (1u << 24))
        d.logicalBlockSize = static_cast<unsigned>(v);
    d.readOnly = ReadNumber(dir / "ro", v) && v != 0;
    if (ReadNumber(dir / "device" / "type", v))
        d.scsiType = static_cast<int>(v);
    d.vendor = ReadText(dir / "device" / "vendor");
    d.model = ReadText(dir / "device" / "model");
    NameByBusIds(d, dir / "device");
    d.backingFile = ReadText(dir / "loop" / "backing_file");
    const std::string sysPath = fs::weakly_canonical(dir, ec).string();
    d.protocol = BusProtocolFromSysPath(sysPath, !d.backingFile.empty(), AtaLinkSpeed(sysPath));
    // A partition lies under its disk's directory and has a "partition" file.
    // The folder may go while it is listed: an error ends the walk, never throws.
    for (fs::directory_iterator sub(dir, ec), last; !ec && sub != last; sub.increment(ec)) {
        BlockPartitionFacts p;
        std::uint64_t number = 0;
        if (!ReadNumber(sub->path() / "partition", number) || number > INT32_MAX ||
            !ReadMajorMinor(sub->path() / "dev", p.major, p.minor) || !ReadNumber(sub->path() / "start", p.start512) ||
            !ReadNumber(sub->path() / "size", p.size512))
            continue;
        p.name = sub->path().filename().string();
        p.number = static_cast<std::int32_t>(number);
        d.partitions.push_back(p);
    }
    std::sort(d.partitions.begin(), d.partitions.end(),
              [](const BlockPartitionFacts& a, const BlockPartitionFacts& b) { return a.number < b.number; });
    return true;
}

} // namespace

std::vector<BlockDiskFacts> CSysfsBlockDeviceFacts::ListDisks() {
    std::vector<BlockDiskFacts> disks;
    std::error_code ec;
    const fs::path block = fs::path(m_sysRoot) / "block";
    for (fs::directory_iterator entry(block, ec), last; !ec && entry != last; entry.increment(ec)) {
        BlockDiskFacts d;
        if (ReadDiskFolder(entry->path(), d))
            disks.push_back(std::move(d));
    }
    std::sort(disks.begin(), disks.end(), [](const BlockDiskFacts& a, const BlockDiskFacts& b) { return a.name < b.name; });
    return disks;
}

bool IBlockDeviceFacts::ReadDisk(const std::string& kernelName, BlockDiskFacts& out) {
    for (BlockDiskFacts& d : ListDisks()) {
        const bool part = std::any_of(d.partitions.begin(), d.partitions.end(),
                                      [&](const BlockPartitionFacts& p) { return p.name == kernelName; });
        if (d.name == kernelName || part) {
            out = std::move(d);
            return true;
        }
    }
    return false;
}

bool CSysfsBlockDeviceFacts::ReadDisk(const std::string& kernelName, BlockDiskFacts& out) {
    if (kernelName.empty() || kernelName.find('/') != std::string::npos || kernelName == "." || kernelName == "..")
        return false;
    std::error_code ec;
    const fs::path block = fs::path(m_sysRoot) / "block";
    if (fs::exists(block / kernelName / "dev", ec))
        return ReadDiskFolder(block / kernelName, out);
    // A partition: its folder lies in its disk's.
    const fs::path part = fs::path(m_sysRoot) / "class" / "block" / kernelName;
    if (fs::exists(part / "partition", ec)) {
        const fs::path disk = fs::canonical(part, ec).parent_path();
        if (!ec && fs::exists(block / disk.filename() / "dev", ec))
            return ReadDiskFolder(block / disk.filename(), out);
    }
    return false; // gone already: reading every disk would not find it either
}

bool CSysfsBlockDeviceFacts::ProbeTable(const std::string& devicePath, unsigned sectorSize, BlockTableFacts& out) {
    out = {};
    Probe pr(blkid_new_probe_from_filename(devicePath.c_str()));
    if (!pr)
        return false;
    if (sectorSize >= 512)
        blkid_probe_set_sectorsize(pr.get(), sectorSize);
    blkid_probe_enable_superblocks(pr.get(), 0);
    blkid_probe_enable_partitions(pr.get(), 1);
    blkid_probe_set_partitions_flags(pr.get(), BLKID_PARTS_ENTRY_DETAILS);
    // The partition probers themselves refuse a FAT boot sector as an MBR.
    blkid_partlist list = blkid_probe_get_partitions(pr.get());
    if (!list)
        return true; // readable, no table
    if (blkid_parttable table = blkid_partlist_get_table(list))
        if (const char* type = blkid_parttable_get_type(table))
            out.type = type;
    const int n = blkid_partlist_numof_partitions(list);
    for (int i = 0; i < n; ++i) {
        blkid_partition part = blkid_partlist_get_partition(list, i);
        if (!part)
            continue;
        BlockTableFacts::Entry e;
        e.number = blkid_partition_get_partno(part);
        e.start512 = static_cast<std::uint64_t>(std::max<blkid_loff_t>(0, blkid_partition_get_start(part)));
        e.size512 = static_cast<std::uint64_t>(std::max<blkid_loff_t>(0, blkid_partition_get_size(part)));
        if (const char* t = blkid_partition_get_type_string(part))
            e.typeString = t;
        else
            e.typeString = "0x" + [&] {
                std::ostringstream s;
                s << std::hex << blkid_partition_get_type(part);
                return s.str();
            }();
        if (const char* u = blkid_partition_get_uuid(part))
            e.uuid = u;
        e.extended = blkid_partition_is_extended(part) != 0;
        out.entries.push_back(e);
    }
    return true;
}

bool CSysfsBlockDeviceFacts::ProbeVolume(const std::string& devicePath, std::uint64_t offset, std::uint64_t size,
                                         BlockVolumeFacts& out) {
    out = {};
    FdClose fd{::open(devicePath.c_str(), O_RDONLY | O_CLOEXEC)};
    if (fd.fd < 0)
        return false;
    Probe pr(blkid_new_probe());
    if (!pr || blkid_probe_set_device(pr.get(), fd.fd, static_cast<blkid_loff_t>(offset),
                                      static_cast<blkid_loff_t>(size)) != 0)
        return false;
    blkid_probe_enable_partitions(pr.get(), 0);
    blkid_probe_enable_superblocks(pr.get(), 1);
    blkid_probe_set_superblocks_flags(pr.get(), BLKID_SUBLKS_LABEL | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    int probed = blkid_do_safeprobe(pr.get());
    if (probed < 0) {
        // A disk whose last blocks fail: the kinds looked for at the device's
        // end (RAID members, nilfs2's second superblock) fail the probe. The
        // volume is told by its start without them.
        std::vector<char*> endKinds;
        const char* name = nullptr;
        int usage = 0;
        for (std::size_t i = 0; blkid_superblocks_get_name(i, &name, &usage) == 0; ++i)
            if (name && ((usage & BLKID_USAGE_RAID) != 0 || std::strcmp(name, "nilfs2") == 0))
                endKinds.push_back(const_cast<char*>(name));
        endKinds.push_back(nullptr);
        blkid_reset_probe(pr.get());
        blkid_probe_filter_superblocks_type(pr.get(), BLKID_FLTR_NOTIN, endKinds.data());
        probed = blkid_do_safeprobe(pr.get());
    }
    if (probed != 0)
        return false;
    out.type = ProbeValue(pr.get(), "TYPE");
    out.version = ProbeValue(pr.get(), "VERSION");
    out.label = ProbeValue(pr.get(), "LABEL");
    return !out.type.empty();
}

std::string CSysfsBlockDeviceFacts::MountPoint(unsigned major, unsigned minor) {
    return MountPointFromMountInfo(ReadText(m_mountInfo), major, minor);
}
