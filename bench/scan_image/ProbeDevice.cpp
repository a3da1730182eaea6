#include "bench/scan_image/ProbeDevice.h"

#include "engine/device/StorageDevices.h"
#include "engine/enumeration/BlockDeviceFacts.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/EngineTypes.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/partition/PartitionTable.h"
#include "engine/volume/VolumeAnalyzeController.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>

namespace {

bool OpenBase(ScanDevice& d, const std::string& path, unsigned sectorSize, std::string& error) {
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    if (d.blockDevice) {
        auto disk = std::make_unique<CDiskDevice>(path.c_str());
        if (!disk->Open(name.data())) {
            error = "cannot open " + path;
            return false;
        }
        if (sectorSize && sectorSize != disk->GetSectorSize()) {
            error = "--sector-size " + std::to_string(sectorSize) + " differs from the device's " +
                    std::to_string(disk->GetSectorSize());
            return false;
        }
        auto* info = new CCollectDiskDeviceInfoStruct;
        info->sectorSize = disk->GetSectorSize();
        info->totalSectors = static_cast<std::int64_t>(disk->GetTotalSectors());
        CopyRecordText(info->bsdName, path.c_str());
        disk->SetPrivateData(CreateDiskDeviceData(info));
        d.base = std::move(disk);
        return true;
    }
    auto image = std::make_unique<CEdiDevice>(path.c_str());
    if (!image->Open(name.data())) {
        error = "cannot open " + path;
        return false;
    }
    struct stat st {};
    if (::fstat(image->GetDescriptor(), &st) != 0) {
        error = "cannot read the size of " + path;
        return false;
    }
    auto* info = new CEDIDeviceInfoStruct;
    CopyRecordText(info->path, path.c_str());
    info->sectorSize = sectorSize ? sectorSize : 512;
    info->totalSectors = st.st_size / info->sectorSize;
    image->SetPrivateData(CreateEDIDeviceData(info));
    d.base = std::move(image);
    return true;
}

// The volume record of the volume at offset, kind and label as the program's
// device list finds them: the volume analysis (of `analysed` at `from`)
// first, libblkid's label when it reads none (the found files' volume folder
// is named by it).
CCollectedVolumeDeviceInfoStruct* VolumeRecord(IStorageDevice* whole, IStorageDevice* analysed,
                                               unsigned long long from, const std::string& path,
                                               unsigned long long offset, unsigned long long sectors) {
    std::unique_ptr<IVolumeAnalyzeController> analysis(CreateVolumeAnalyzeController(analysed, from));
    IVolumeAnalyze* found = analysis ? analysis->GetVolumeAnzlyzer() : nullptr;
    auto* info = new CCollectedVolumeDeviceInfoStruct;
    info->fileSystemType = found ? static_cast<unsigned>(found->GetFileSystemType()) : unsigned{FS_UNKNOWN};
    char label[100] = {};
    if (found) found->GetLabel(label, sizeof label);
    std::string labelText(label, strnlen(label, sizeof label));
    BlockVolumeFacts probed;
    const unsigned long long ss = whole->GetSectorSize();
    if (labelText.empty() && CSysfsBlockDeviceFacts().ProbeVolume(path, offset * ss, sectors * ss, probed))
        labelText = probed.label.substr(0, sizeof label - 1);
    const std::string name = labelText.empty() ? std::filesystem::path(path).filename().string() : labelText;
    CopyRecordText(info->volumeName, name.c_str());
    CopyRecordText(info->label, labelText.c_str());
    info->sectorSize = whole->GetSectorSize();
    info->totalSectors = static_cast<std::int64_t>(sectors);
    info->startSector = static_cast<std::int64_t>(offset);
    info->disk = whole;
    return info;
}

// The sectors of the partition table entry (MBR, GPT or APM) that starts at
// offset of whole and lies within it; 0 when none does or no table reads.
unsigned long long EntrySectorsAt(IStorageDevice* whole, unsigned long long offset) {
    enumDiskPartitionScheme scheme = PARTITION_SCHEME_NONE;
    if (IsFailure(CPartitionTableAnalyze::GetDiskType(whole, scheme))) return 0;
    PartitionList entries;
    if (IsFailure(CPartitionTableAnalyze::AnalyzeTableOfScheme(whole, scheme, entries))) return 0;
    const unsigned long long total = whole->GetTotalSectors();
    for (const PartitionEntry& e : entries)
        if (e.startSector == offset && e.sectorCount > 0 && e.sectorCount <= total - offset)
            return e.sectorCount;
    return 0;
}

} // namespace

std::unique_ptr<ScanDevice> OpenScanDevice(const std::string& path, bool quick, unsigned long long offset,
                                           unsigned sectorSize, std::string& error) {
    auto d = std::make_unique<ScanDevice>();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    if (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode)) {
        error = path + " is neither an image file nor a block device";
        return nullptr;
    }
    d->blockDevice = S_ISBLK(st.st_mode);
    if (!OpenBase(*d, path, sectorSize, error)) return nullptr;
    if (d->base->GetTotalSectors() == 0) {
        error = path + " is smaller than one sector (" + std::to_string(d->base->GetSectorSize()) + " bytes)";
        return nullptr;
    }
    if (!quick) return d;

    IStorageDevice* whole = d->base.get();
    const unsigned long long total = whole->GetTotalSectors();
    if (offset >= total) {
        error =
            "--offset " + std::to_string(offset) + " is past the end (" + std::to_string(total) + " sectors)";
        return nullptr;
    }
    unsigned long long sectors = total - offset;
    CCollectedVolumeDeviceInfoStruct* record = VolumeRecord(whole, whole, offset, path, offset, sectors);
    // A volume no recogniser knows at the offset, where a table entry starts:
    // it is recognised within the entry as the program recognises a
    // partition's (a file system may need the volume's end: an HFS+ volume
    // whose header cannot be read answers from its alternate), and when
    // known there, the entry is the volume.
    if (record->fileSystemType == FS_UNKNOWN && offset > 0)
        if (const unsigned long long entry = EntrySectorsAt(whole, offset)) {
            std::unique_ptr<IStorageDevice> window(
                CreatePartitionDevice(whole, static_cast<long long>(offset), static_cast<long long>(entry)));
            CCollectedVolumeDeviceInfoStruct* inEntry =
                window ? VolumeRecord(whole, window.get(), 0, path, offset, entry) : nullptr;
            if (inEntry && inEntry->fileSystemType != FS_UNKNOWN) {
                delete record;
                record = inEntry;
                sectors = entry;
            } else {
                delete inEntry;
            }
        }
    if (d->blockDevice && offset == 0) {
        // The whole block device is the volume.
        std::vector<char> name(path.begin(), path.end());
        name.push_back('\0');
        auto volume = std::make_unique<CVolumeDevice>(path.c_str());
        if (!volume->Open(name.data())) {
            delete record;
            error = "cannot open " + path;
            return nullptr;
        }
        volume->SetPrivateData(CreateVolumeDeviceData(record));
        d->volume = std::move(volume);
        return d;
    }
    // A window on the disk or image, shown as a volume.
    auto* part = new CCollectedPartitionDeviceInfoStruct;
    part->sectorSize = whole->GetSectorSize();
    part->sectorCount = static_cast<std::int64_t>(sectors);
    part->startSector = static_cast<std::int64_t>(offset);
    part->fileSystemType = record->fileSystemType;
    part->disk = whole;
    d->partition.reset(
        CreatePartitionDevice(whole, static_cast<long long>(offset), static_cast<long long>(sectors)));
    if (d->partition) {
        d->partition->SetPrivateData(CreatePartitionDeviceData(part));
        d->volume.reset(CreatePartitionVirtualVolumeDevice(d->partition.get()));
    } else {
        delete part;
    }
    if (!d->volume) {
        delete record;
        error = "cannot read the volume at sector " + std::to_string(offset);
        return nullptr;
    }
    d->volume->SetPrivateData(CreateVolumeDeviceData(record));
    return d;
}
