#pragma once
// Helpers of the engine's device tests: the records a device carries, loop
// devices over image files (root only) and a child process run as "nobody".
#include "engine/include/DeviceRecords.h"
#include "engine/include/StorageDevice.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace salvor::test {

// A device's record, or a default one when it carries none of the kind.
template <class Data, class Record, Record* (Data::*Get)()>
const Record& DeviceRecord(IStorageDevice* d) {
    static const Record none;
    auto* data = d ? dynamic_cast<Data*>(d->GetPrivateData()) : nullptr;
    return data && (data->*Get)() ? *(data->*Get)() : none;
}
inline const CCollectDiskDeviceInfoStruct& DiskRec(IStorageDevice* d) {
    return DeviceRecord<IDiskDeviceData, CCollectDiskDeviceInfoStruct, &IDiskDeviceData::GetDiskInfo>(d);
}
inline const CCollectedVolumeDeviceInfoStruct& VolRec(IStorageDevice* d) {
    return DeviceRecord<IVolumeDeviceData, CCollectedVolumeDeviceInfoStruct, &IVolumeDeviceData::GetVolumeInfo>(d);
}
inline const CCollectedPartitionDeviceInfoStruct& PartRec(IStorageDevice* d) {
    return DeviceRecord<IPartitionDeviceData, CCollectedPartitionDeviceInfoStruct,
                        &IPartitionDeviceData::GetPartitionInfo>(d);
}

// The sectors of a buffer read from a stamped image (WriteStampedImage), each
// as the number it is stamped with; -1 for a zeroed sector (sector 0 included)
// and -2 for anything else.
using SectorList = std::vector<long long>;
inline SectorList Stamps(const void* buffer, std::size_t sectors, unsigned sectorSize = 512) {
    SectorList out;
    for (std::size_t i = 0; i < sectors; ++i) {
        const auto* p = static_cast<const unsigned char*>(buffer) + i * sectorSize;
        unsigned long long v = 0;
        std::memcpy(&v, p, sizeof v);
        out.push_back(IsZero(p, sectorSize) ? -1 : HasStamp(p, sectorSize, v) ? static_cast<long long>(v) : -2);
    }
    return out;
}
// Sectors first..first+n-1 as Stamps shows them, followed by `zeros` zeroed ones.
inline SectorList Sectors(long long first, std::size_t n, std::size_t zeros = 0) {
    SectorList out;
    for (long long s = first; s < first + static_cast<long long>(n); ++s) out.push_back(s ? s : -1);
    out.insert(out.end(), zeros, -1);
    return out;
}
inline SectorList Join(SectorList a, const SectorList& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// One line per device record: disks "name bus scheme sectorSize x total 'registry name'",
// volumes "number bsdName 'volumeName' start+total fsKind [mounted]", partitions
// "number start+count fsKind".
inline std::string Describe(IStorageDevice* d) {
    static const char* bus[] = {"other", "ATA", "SATA", "SCSI", "USB", "virtual"};
    static const char* scheme[] = {"none", "MBR", "GPT", "APM"};
    if (d->GetType() == DEVICE_DISK) {
        const auto& r = DiskRec(d);
        return std::string(r.bsdName) + " " + bus[r.busType] + " " + scheme[r.partitionScheme] + " " +
               std::to_string(r.sectorSize) + "x" + std::to_string(r.totalSectors) + " '" + r.registryName + "'";
    }
    if (d->GetType() == DEVICE_VOLUME) {
        const auto& r = VolRec(d);
        return std::to_string(r.partitionNumber) + " " + r.bsdName + " '" + r.volumeName + "' " +
               std::to_string(r.startSector) + "+" + std::to_string(r.totalSectors) + " fs" +
               std::to_string(r.fileSystemType) + (r.mounted ? " mounted" : "");
    }
    const auto& r = PartRec(d);
    return std::to_string(r.partitionNumber) + " " + std::to_string(r.startSector) + "+" +
           std::to_string(r.sectorCount) + " fs" + std::to_string(r.fileSystemType);
}
inline std::vector<std::string> Describe(const std::vector<IStorageDevice*>& devices) {
    std::vector<std::string> out;
    for (IStorageDevice* d : devices) out.push_back(Describe(d));
    return out;
}

// Attaches an image as a loop device (losetup options such as "-P") for the
// life of the object, and detaches it and its partitions, and only it. Other
// runs attach and detach theirs meanwhile: a device another run takes first
// is tried again, and one left with partitions another run added (partx) is
// cleared of them, or set aside for another when they are held open.
class LoopAttachment {
public:
    explicit LoopAttachment(const std::string& image, const std::string& options = "") {
        std::vector<std::string> aside;
        for (int attempt = 0; attempt < 50 && path_.empty(); ++attempt) {
            std::string out;
            const bool ok = RunCommand("losetup -f --show " + options + " '" + image + "' 2>&1", &out) == 0;
            while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
            if (!ok) {
                error_ = out;
                if (out.find("busy") == std::string::npos && out.find("unused loop device") == std::string::npos) break;
                ::usleep(100000 + 100000 * (attempt % 5));
                continue;
            }
            // The kernel's own scan (-P) replaces what was there.
            if (options.find("-P") != std::string::npos || DropPartitions(out))
                path_ = out;
            else
                aside.push_back(out);
        }
        for (const std::string& device : aside) {
            DropPartitions(device);
            RunCommand("losetup -d '" + device + "'");
        }
    }
    ~LoopAttachment() {
        if (path_.empty()) return;
        DropPartitions(path_);
        RunCommand("losetup -d '" + path_ + "'");
    }
    LoopAttachment(const LoopAttachment&) = delete;
    LoopAttachment& operator=(const LoopAttachment&) = delete;
    const std::string& path() const { return path_; }
    std::string name() const { return std::filesystem::path(path_).filename().string(); }
    const std::string& error() const { return error_; }

private:
    // Drops every partition of the device (one held open is tried again for
    // a while); false when some remain.
    static bool DropPartitions(const std::string& device) {
        const std::string name = std::filesystem::path(device).filename().string();
        auto any = [&] {
            std::error_code ec;
            for (std::filesystem::directory_iterator i("/sys/class/block/" + name, ec), end; !ec && i != end;
                 i.increment(ec))
                if (std::filesystem::exists(i->path() / "partition", ec)) return true;
            return false;
        };
        for (int attempt = 0; attempt < 20 && any(); ++attempt) {
            RunCommand("partx -d '" + device + "' >/dev/null 2>&1");
            ::usleep(100000);
        }
        return !any();
    }

    std::string path_, error_;
};

// Skips the current test unless it runs as root with losetup and partx.
#define SALVOR_REQUIRE_LOOP_DEVICES()                                                                     \
    do {                                                                                                  \
        if (geteuid() != 0) GTEST_SKIP() << "needs root to attach loop devices (losetup); run as root";    \
        if (salvor::test::RunCommand("command -v losetup >/dev/null && command -v partx >/dev/null") != 0) \
            GTEST_SKIP() << "losetup/partx missing: install the Debian package 'util-linux'";             \
    } while (0)

} // namespace salvor::test
