#include "engine/enumeration/EnumDevice.h"

#include "engine/device/StorageDevices.h"
#include "engine/enumeration/DeviceSort.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/partition/RecordLookup.h"
#include "engine/volume/VolumeAnalyzeController.h"

#include <sys/sysmacros.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <memory>
#include <set>

using namespace enum_codes;

namespace {

using DevicePtr = std::unique_ptr<IStorageDevice>;

CCollectDiskDeviceInfoStruct* DiskInfoOf(const IStorageDevice* disk) {
    auto* data = dynamic_cast<IDiskDeviceData*>(const_cast<IStorageDevice*>(disk)->GetPrivateData());
    return data ? data->GetDiskInfo() : nullptr;
}

std::string Trim(const std::string& s) {
    const auto first = std::find_if_not(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
    const auto last = std::find_if_not(s.rbegin(), s.rend(), [](unsigned char c) { return std::isspace(c); }).base();
    return first < last ? std::string(first, last) : std::string();
}

std::string BaseName(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    const auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// A disk or volume device opened read-only; one the system refuses for lack of
// permission is kept (and shown as such), any other failure drops it.
DevicePtr OpenListedDevice(IStorageDevice* (*create)(const char*), const std::string& path) {
    DevicePtr device(create(path.c_str()));
    if (device && !device->Open(nullptr) && device->IsPermitted())
        device.reset();
    return device;
}

// Hands the record to a new holder on the device.
template <class Record, class Holder>
bool Attach(IStorageDevice& device, std::unique_ptr<Record>& record, Holder* (*wrap)(Record*)) {
    Holder* holder = wrap(record.get());
    if (!holder)
        return false;
    record.release();
    device.SetPrivateData(holder);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The partition entries of a disk; an unpartitioned disk gives one entry for
// all of it. A failed analysis keeps what it listed and is not an error here.
ResultCode GetPartEntryList(IStorageDevice* disk, PartitionList& entries, ResultCode noAnalyser) {
    std::unique_ptr<IPartitionTableAnalyze> analyzer(CreatePartitionTableAnalyze());
    if (!analyzer)
        return noAnalyser;
    const ResultCode rc = analyzer->AnalyzePartitionTable(disk, entries);
    if (IsSuccess(rc) && entries.empty()) {
        PartitionEntry whole;
        whole.number = -1;
        whole.startSector = 0;
        whole.sectorCount = disk->GetTotalSectors();
        entries.push_back(whole);
    }
    return 0;
}

// The file system at the start of a device: the recognisers first, libblkid's
// reading when none of them knows it.
void AnalyzeVolume(IStorageDevice* device, IBlockDeviceFacts& facts, const std::string& path, std::uint64_t offset,
                   std::uint64_t size, std::uint32_t& kind, char (&label)[100], BlockVolumeFacts* seen = nullptr) {
    kind = FS_UNKNOWN;
    std::memset(label, 0, sizeof label);
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(device, 0));
    if (IVolumeAnalyze* analyzer = controller ? controller->GetVolumeAnzlyzer() : nullptr) {
        kind = analyzer->GetFileSystemType();
        analyzer->GetLabel(label, sizeof label);
        label[sizeof label - 1] = 0;
    }
    BlockVolumeFacts probed;
    if (!facts.ProbeVolume(path, offset, size, probed))
        probed = {};
    if (kind == FS_UNKNOWN)
        kind = enum_linux::FileSystemKind(probed);
    if (label[0] == 0)
        CopyRecordText(label, probed.label.c_str());
    if (seen)
        *seen = probed;
}

class CEnumDisk {
public:
    explicit CEnumDisk(IBlockDeviceFacts& facts) : m_facts(facts) {}

    ResultCode ExecEnum(const std::vector<BlockDiskFacts>& listed, DeviceList& out) {
        for (const BlockDiskFacts& disk : listed)
            if (!enum_linux::IsExcludedDisk(disk))
                if (IStorageDevice* device = CreateDiskDeviceObject(disk))
                    out.push_back(device);
        out.sort(CDevListSortAlgorithm());
        return 0;
    }

private:
    IStorageDevice* CreateDiskDeviceObject(const BlockDiskFacts& disk) {
        const std::string path = m_facts.DevicePath(disk.name);
        DevicePtr device = OpenListedDevice(CreateDiskDevice, path);
        auto record = std::make_unique<CCollectDiskDeviceInfoStruct>();
        if (!device || !FillDiskInfo(*record, *device, disk, path) || !Attach(*device, record, CreateDiskDeviceData))
            return nullptr;
        return device.release();
    }

    bool FillDiskInfo(CCollectDiskDeviceInfoStruct& r, IStorageDevice& device, const BlockDiskFacts& disk,
                      const std::string& path) {
        const std::uint64_t bytes = disk.size512 * 512;
        // Any medium that holds a sector is listed: a small card or image is
        // as worth scanning as a large one.
        if (disk.size512 > (UINT64_MAX / 512) || disk.logicalBlockSize == 0 || bytes < disk.logicalBlockSize)
            return false;
        BlockTableFacts table;
        const bool probed = m_facts.ProbeTable(path, disk.logicalBlockSize, table);
        if (!probed)
            table = {};
        r.kind = 0;
        r.busType = enum_linux::BusType(disk.protocol);
        r.partitionScheme = enum_linux::PartitionScheme(table.type);
        // libblkid takes a signed sector 0 of zero entries for an empty MBR,
        // even over an exFAT or NTFS boot sector: a volume on the whole disk.
        // It also refuses a whole table for one boot flag other than 0x00 or
        // 0x80, or for a FAT boot sector over the boot code: a table whose
        // partitions hold volumes is one all the same.
        const bool none = r.partitionScheme == PARTITION_SCHEME_NONE;
        if ((none || r.partitionScheme == PARTITION_SCHEME_MBR) && device.IsPermitted() &&
            device.GetSectorSize() >= 512) {
            std::vector<std::uint8_t> sector0;
            int protective = 0;
            if (IsSuccess(ReadDiskSectors(&device, 0, 1, sector0))) {
                // libblkid reads no table in a GPT whose last usable sector
                // or backup header lies past the disk's end (an image whose
                // copy stopped early): its primary header still names the
                // partitions.
                if (none && probed && IsSuccess(CPartitionTableAnalyze::IsGptDisk(&device, sector0, protective)) &&
                    protective && HoldsGptHeader(&device))
                    r.partitionScheme = PARTITION_SCHEME_GPT;
                else if (none && HasBootSignature(sector0) && MbrPartitionsHoldVolumes(&device))
                    r.partitionScheme = PARTITION_SCHEME_MBR;
                else if (!none && !IsMbrTableSector(&device, sector0))
                    r.partitionScheme = PARTITION_SCHEME_NONE;
            }
        }
        r.writable = disk.readOnly ? 0 : 1;
        CopyRecordText(r.registryName, enum_linux::RegistryName(disk).c_str());
        CopyRecordText(r.bsdName, disk.name.c_str());
        r.sectorSize = disk.logicalBlockSize;
        r.totalSectors = static_cast<std::int64_t>(bytes / disk.logicalBlockSize);
        r.heads = 255;
        r.sectorsPerTrack = 63;
        r.cylinders = r.totalSectors / 16065;
        r.deviceId = enum_linux::DeviceId(disk.major, disk.minor);
        return true;
    }

    IBlockDeviceFacts& m_facts;
};

class CEnumPartition {
public:
    explicit CEnumPartition(IBlockDeviceFacts& facts) : m_facts(facts) {}

    ResultCode ExecEnum(IStorageDevice* disk, DeviceList& out) {
        PartitionList entries;
        if (ResultCode rc = GetPartEntryList(disk, entries, kPartitionNoAnalyser); IsFailure(rc))
            return rc;
        for (const PartitionEntry& entry : entries) {
            // A window on nothing cannot be made; it must not end the walk.
            if (entry.sectorCount == 0)
                continue;
            IStorageDevice* device = nullptr;
            const ResultCode rc = CreatePartitionDeviceObject(disk, entry, device);
            if (device)
                out.push_back(device);
            if (IsFailure(rc))
                return rc;
        }
        out.sort(CDevListSortAlgorithm());
        return 0;
    }

private:
    ResultCode CreatePartitionDeviceObject(IStorageDevice* disk, const PartitionEntry& entry, IStorageDevice*& out) {
        out = nullptr;
        if (entry.startSector > static_cast<std::uint64_t>(INT64_MAX) ||
            entry.sectorCount > static_cast<std::uint64_t>(INT64_MAX))
            return kNoPartitionDevice;
        DevicePtr device(CreatePartitionDevice(disk, static_cast<long long>(entry.startSector),
                                               static_cast<long long>(entry.sectorCount)));
        if (!device)
            return kNoPartitionDevice;
        if (!device->Open(nullptr)) {
            const ResultCode rc = device->GetLastError();
            if (!IsFailure(rc))
                out = device.release();
            return rc;
        }
        auto record = std::make_unique<CCollectedPartitionDeviceInfoStruct>();
        if (ResultCode rc = FillPartitionInfo(*record, disk, device.get(), entry); IsFailure(rc))
            return rc;
        if (!Attach(*device, record, CreatePartitionDeviceData))
            return kNoPartitionData;
        out = device.release();
        return 0;
    }

    ResultCode FillPartitionInfo(CCollectedPartitionDeviceInfoStruct& r, IStorageDevice* disk, IStorageDevice* device,
                                 const PartitionEntry& entry) {
        if (!disk)
            return kFillNullDisk;
        CCollectDiskDeviceInfoStruct* d = nullptr;
        if (ResultCode rc = LookupRecord(disk, &IDiskDeviceData::GetDiskInfo,
                                         {kFillNoRecord, kFillNotDiskData, kFillNoDiskInfo}, d);
            IsFailure(rc))
            return rc;
        r.kind = d->kind;
        const std::uint64_t ss = d->sectorSize > 0 ? static_cast<std::uint64_t>(d->sectorSize) : 512;
        AnalyzeVolume(device, m_facts, m_facts.DevicePath(d->bsdName), entry.startSector * ss,
                      entry.sectorCount * ss, r.fileSystemType, r.label);
        r.sectorSize = d->sectorSize;
        r.sectorCount = static_cast<std::int64_t>(entry.sectorCount);
        r.deviceId = d->deviceId;
        r.disk = disk;
        r.partitionNumber = entry.number;
        if (d->partitionScheme == PARTITION_SCHEME_GPT) {
            r.typeGuid = entry.typeGuid;
            r.uniqueGuid = entry.uniqueGuid;
        }
        if (d->partitionScheme == PARTITION_SCHEME_APM)
            std::memcpy(r.typeName, entry.typeName, sizeof r.typeName);
        r.startSector = static_cast<std::int64_t>(entry.startSector);
        return 0;
    }

    IBlockDeviceFacts& m_facts;
};

class CEnumVolume {
public:
    explicit CEnumVolume(IBlockDeviceFacts& facts) : m_facts(facts) {}

    ResultCode ExecEnum(IStorageDevice* disk, const std::vector<BlockDiskFacts>& listed, DeviceList& out) {
        PartitionList entries;
        if (ResultCode rc = GetPartEntryList(disk, entries, kVolumeNoAnalyser); IsFailure(rc))
            return rc;
        const CCollectDiskDeviceInfoStruct* d = DiskInfoOf(disk);
        if (!d)
            return 0;
        const std::string name(d->bsdName, strnlen(d->bsdName, sizeof d->bsdName));
        const auto found = std::find_if(listed.begin(), listed.end(),
                                        [&name](const BlockDiskFacts& f) { return f.name == name; });
        if (found == listed.end())
            return 0;
        const BlockDiskFacts& diskFacts = *found;
        BlockTableFacts table;
        if (!m_facts.ProbeTable(m_facts.DevicePath(name), diskFacts.logicalBlockSize, table))
            table = {};

        // A card without a table whose boot code the kernel read as entries:
        // its partitions lie in the card's own volume.
        const bool card = d->partitionScheme == PARTITION_SCHEME_NONE && !diskFacts.partitions.empty() &&
                          HoldsRecognisedVolume(disk, 0);
        if (diskFacts.partitions.empty() || card) {
            // An unpartitioned disk carries its volume itself; a partitioned one
            // whose kernel made no partitions (a loop device without partition
            // scanning) has none here, and its table's entries become volumes
            // in the merge.
            if (d->partitionScheme == PARTITION_SCHEME_NONE)
                if (IStorageDevice* v = CreateVolumeDeviceObject(disk, *d, table, diskFacts.name, diskFacts.major,
                                                                 diskFacts.minor, -1, 0, diskFacts.size512))
                    out.push_back(v);
        } else {
            const std::set<std::int32_t> kept = DisjointPartitions(disk, *d, diskFacts, table, entries);
            for (const BlockPartitionFacts& p : diskFacts.partitions) {
                if (IsExtendedStub(p, table, diskFacts.logicalBlockSize) || !kept.count(p.number))
                    continue;
                if (IStorageDevice* v = CreateVolumeDeviceObject(disk, *d, table, p.name, p.major, p.minor, p.number,
                                                                 p.start512, p.size512))
                    out.push_back(v);
            }
        }
        out.sort(CDevListSortAlgorithm());

        // A volume that knows its number but not its place takes the table's.
        for (const PartitionEntry& e : entries)
            for (IStorageDevice* v : out) {
                auto* data = dynamic_cast<IVolumeDeviceData*>(v->GetPrivateData());
                CCollectedVolumeDeviceInfoStruct* r = data ? data->GetVolumeInfo() : nullptr;
                if (r && r->startSector == 0 && r->partitionNumber == e.number) {
                    r->startSector = static_cast<std::int64_t>(e.startSector);
                    break;
                }
            }

        if (auto* diskDevice = dynamic_cast<CDiskDevice*>(disk)) {
            std::vector<CCollectedVolumeDeviceInfoStruct> copies;
            for (IStorageDevice* v : out) {
                auto* data = dynamic_cast<IVolumeDeviceData*>(v->GetPrivateData());
                if (data && data->GetVolumeInfo())
                    copies.push_back(*data->GetVolumeInfo());
            }
            diskDevice->SetVolumes(copies);
        }
        return 0;
    }

private:
    // The kernel makes a partition of every table entry, one repeating or
    // overlapping another too; the numbers of those that become volumes,
    // chosen as the table reader chooses its entries.
    static std::set<std::int32_t> DisjointPartitions(IStorageDevice* disk,
                                                     const CCollectDiskDeviceInfoStruct& d,
                                                     const BlockDiskFacts& facts,
                                                     const BlockTableFacts& table,
                                                     const PartitionList& entries) {
        const std::uint64_t ss = d.sectorSize >= 512 ? static_cast<std::uint64_t>(d.sectorSize) : 512;
        PartitionList list;
        std::set<std::uint64_t> starts;
        for (const BlockPartitionFacts& p : facts.partitions) {
            if (IsExtendedStub(p, table, facts.logicalBlockSize) || p.start512 > UINT64_MAX / 512 ||
                p.size512 > UINT64_MAX / 512)
                continue;
            PartitionEntry e;
            e.number = p.number;
            e.startSector = p.start512 * 512 / ss;
            e.sectorCount = p.size512 * 512 / ss;
            starts.insert(e.startSector);
            list.push_back(e);
        }
        // As the table reader does: weighed with the volume at sector 0, of
        // overlapping entries those holding no volume of their own go. The
        // volume at sector 0 is no kernel partition: it is listed from the
        // table reader's entry number 0, and so are the volumes the kernel
        // makes no partition of (one at an extended partition's start, which
        // it shows as a stub), which are weighed here too.
        if (d.partitionScheme == PARTITION_SCHEME_MBR || d.partitionScheme == PARTITION_SCHEME_GPT)
            AddSectorZeroVolume(disk, list);
        for (const PartitionEntry& e : entries)
            if (e.number != 0 && !starts.count(e.startSector)) {
                list.push_back(e);
                list.back().number = 0;
            }
        KeepDisjointEntries(disk, list);
        std::set<std::int32_t> numbers;
        for (const PartitionEntry& e : list)
            if (e.number != 0)
                numbers.insert(e.number);
        return numbers;
    }

    // The kernel shows an extended MBR partition as a stub of one or two sectors.
    static bool IsExtendedStub(const BlockPartitionFacts& p, const BlockTableFacts& table, unsigned logicalBlockSize) {
        for (const auto& e : table.entries)
            if (e.number == p.number)
                return e.extended;
        return p.number <= 4 && p.size512 * 512 <= 2ULL * std::max(512u, logicalBlockSize);
    }

    IStorageDevice* CreateVolumeDeviceObject(IStorageDevice* disk, const CCollectDiskDeviceInfoStruct& d,
                                             const BlockTableFacts& table, const std::string& name, unsigned major,
                                             unsigned minor, std::int32_t number, std::uint64_t start512,
                                             std::uint64_t size512) {
        const std::string path = m_facts.DevicePath(name);
        DevicePtr device = OpenListedDevice(CreateVolumeDevice, path);
        if (!device)
            return nullptr;
        auto r = std::make_unique<CCollectedVolumeDeviceInfoStruct>();
        const std::uint64_t ss = d.sectorSize >= 512 ? static_cast<std::uint64_t>(d.sectorSize) : 512;
        if (size512 > UINT64_MAX / 512 || start512 > UINT64_MAX / 512 || number == 0)
            return nullptr;
        r->kind = 0;
        r->sectorSize = static_cast<std::int64_t>(ss);
        r->totalSectors = static_cast<std::int64_t>(size512 * 512 / ss);
        r->startSector = static_cast<std::int64_t>(start512 * 512 / ss);
        r->deviceId = enum_linux::DeviceId(major, minor);
        r->disk = disk;
        r->partitionNumber = number;
        CopyRecordText(r->bsdName, name.c_str());

        if (number > 0 && (d.partitionScheme == PARTITION_SCHEME_GPT || d.partitionScheme == PARTITION_SCHEME_APM)) {
            const BlockTableFacts::Entry* entry = nullptr;
            for (const auto& e : table.entries)
                if (e.number == number)
                    entry = &e;
            if (!entry)
                return nullptr;
            if (d.partitionScheme == PARTITION_SCHEME_GPT) {
                if (!enum_linux::ParseGuid(entry->typeString, r->typeGuid) ||
                    !enum_linux::ParseGuid(entry->uuid, r->uniqueGuid))
                    return nullptr;
            } else {
                if (entry->typeString.empty())
                    return nullptr;
                // Always terminated: a longer type text is cut.
                const size_t n = std::min(entry->typeString.size(), sizeof r->contentType - 1);
                std::memcpy(r->contentType, entry->typeString.data(), n);
                r->contentType[n] = '\0';
            }
        }

        BlockVolumeFacts probed;
        AnalyzeVolume(device.get(), m_facts, path, 0, 0, r->fileSystemType, r->label, &probed);
        const std::string mountPoint = m_facts.MountPoint(major, minor);
        r->mounted = mountPoint.empty() ? 0 : 1;
        std::string volumeName = probed.label;
        // libblkid tells no label where a read it needs failed (the root
        // folder, the whole probe): the one our recogniser read, from a copy
        // where need be, is the name the card is known by.
        if (volumeName.empty())
            volumeName.assign(r->label, strnlen(r->label, sizeof r->label));
        if (volumeName.empty() && !mountPoint.empty())
            volumeName = BaseName(mountPoint);
        if (volumeName.empty())
            volumeName = name;
        if (r->fileSystemType == FS_APFS) {
            // No separate APFS device here; the container's first volume names it.
            char none[1] = {0};
            device->SetApfsDevicePath(none);
            if (r->label[0])
                volumeName.assign(r->label, strnlen(r->label, sizeof r->label));
        }
        CopyRecordText(r->volumeName, volumeName.c_str());
        return Attach(*device, r, CreateVolumeDeviceData) ? device.release() : nullptr;
    }

    IBlockDeviceFacts& m_facts;
};

} // namespace

void ReleaseDevList(DeviceList& list) {
    for (IStorageDevice* d : list)
        delete d;
    list.clear();
}

ResultCode CEnumDevice::EnumDiskDevice(DeviceList& out) { return EnumDiskDevice(m_facts.ListDisks(), out); }

ResultCode CEnumDevice::EnumDiskDevice(const std::vector<BlockDiskFacts>& listed, DeviceList& out) {
    ReleaseDevList(out);
    return CEnumDisk(m_facts).ExecEnum(listed, out);
}

ResultCode CEnumDevice::EnumPartitionDevice(const IStorageDevice* disk, DeviceList& out) {
    ReleaseDevList(out);
    if (!disk)
        return kPartitionsNullDisk;
    return CEnumPartition(m_facts).ExecEnum(const_cast<IStorageDevice*>(disk), out);
}

ResultCode CEnumDevice::EnumVolumeDevice(const IStorageDevice* disk, DeviceList& out) {
    ReleaseDevList(out);
    if (!disk)
        return kVolumesNullDisk;
    return EnumVolumeDevice(disk, m_facts.ListDisks(), out);
}

ResultCode CEnumDevice::EnumVolumeDevice(const IStorageDevice* disk, const std::vector<BlockDiskFacts>& listed,
                                         DeviceList& out) {
    ReleaseDevList(out);
    if (!disk)
        return kVolumesNullDisk;
    return CEnumVolume(m_facts).ExecEnum(const_cast<IStorageDevice*>(disk), listed, out);
}

namespace enum_linux {

bool IsExcludedDisk(const BlockDiskFacts& disk) {
    const std::string& n = disk.name;
    if (StartsWith(n, "sr") || StartsWith(n, "dm-") || StartsWith(n, "md") || StartsWith(n, "zram") ||
        StartsWith(n, "ram"))
        return true;
    if (disk.scsiType == 5)
        return true;
    return StartsWith(n, "loop") && disk.size512 == 0;
}

std::string RegistryName(const BlockDiskFacts& disk) {
    if (!disk.backingFile.empty())
        return BaseName(Trim(disk.backingFile));
    const std::string vendor = Trim(disk.vendor), model = Trim(disk.model);
    if (vendor.empty())
        return model;
    return model.empty() ? vendor : vendor + " " + model;
}

std::uint32_t BusType(const std::string& p) {
    if (p == "ATA")
        return BUS_ATA;
    if (p == "SATA")
        return BUS_SATA;
    if (StartsWith(p, "SCSI"))
        return BUS_SCSI;
    if (p == "USB")
        return BUS_USB;
    if (p == "Virtual Interface")
        return BUS_VIRTUAL;
    return BUS_OTHER;
}

std::uint32_t PartitionScheme(const std::string& t) {
    if (t == "dos")
        return PARTITION_SCHEME_MBR;
    if (t == "gpt")
        return PARTITION_SCHEME_GPT;
    if (t == "mac")
        return PARTITION_SCHEME_APM;
    return PARTITION_SCHEME_NONE;
}

std::int32_t DeviceId(unsigned major, unsigned minor) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(makedev(major, minor)));
}

bool ParseGuid(const std::string& text, _GUID& guid) {
    // 8-4-4-4-12 hexadecimal digits.
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return false;
    std::string hex;
    for (char c : text)
        if (c != '-')
            hex += c;
    if (hex.size() != 32)
        return false;
    std::uint8_t raw[16];
    for (std::size_t k = 0; k < 16; ++k) {
        const int hi = HexDigit(hex[2 * k]), lo = HexDigit(hex[2 * k + 1]);
        if (hi < 0 || lo < 0)
            return false;
        raw[k] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    guid.Data1 = std::uint32_t{raw[0]} << 24 | std::uint32_t{raw[1]} << 16 | std::uint32_t{raw[2]} << 8 | raw[3];
    guid.Data2 = static_cast<std::uint16_t>(raw[4] << 8 | raw[5]);
    guid.Data3 = static_cast<std::uint16_t>(raw[6] << 8 | raw[7]);
    std::memcpy(guid.Data4, raw + 8, 8);
    return true;
}

enumFILE_SYSTEM_TYPE FileSystemKind(const BlockVolumeFacts& v) {
    if (v.type == "vfat") {
        if (v.version == "FAT12")
            return FS_FAT12;
        if (v.version == "FAT16")
            return FS_FAT16;
        return FS_FAT32;
    }
    if (v.type == "exfat")
        return FS_EXFAT;
    if (v.type == "ntfs")
        return FS_NTFS;
    if (v.type == "hfsplus")
        return FS_HFSPLUS;
    if (v.type == "apfs")
        return FS_APFS;
    return FS_UNKNOWN;
}

} // namespace enum_linux
