#pragma once
// The NTFS fixtures and samples the tests read: each volume's image through
// the image device, its boot sector and $MFT runs, and its oracle files.
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace ntfstest {

// A volume: file stem, 512-byte sectors before it, the device's sector size,
// and whether it is a public sample (else a fixture with ntfsinfo's namespaces).
struct VolumeCase {
    const char* name;
    unsigned sectorOffset, sectorSize;
    bool sample;
    const char* Fixture() const { return sample ? "ntfs_samples" : "ntfs_volumes"; }
};
inline void PrintTo(const VolumeCase& info, std::ostream* os) { *os << info.name; }
inline const VolumeCase kVolumes[] = {
    {"ntfs_4k", 0, 512, false},        {"ntfs_2k", 0, 512, false},          {"ntfs_512", 0, 512, false},
    {"ntfs_64k", 0, 512, false},       {"ntfs_4kr", 0, 4096, false},        {"ntfs-ptrn", 128, 512, true},
    {"ntfs-ramslack", 128, 512, true}, {"ntfs-lastaccess", 128, 512, true}, {"ntfs-si-vs-fn", 128, 512, true},
    {"ntfs3", 0, 512, true},           {"ntfs3_attrlist", 0, 512, true},    {"ntfs_index", 128, 512, true}};

inline std::string ReadText(const std::string& path) { return salvor::test::ReadWholeFile(path); }

// An opened volume: its boot sector and $MFT runs, its records and clusters.
struct Volume {
    explicit Volume(const VolumeCase& s) : info(s), dir(salvor::test::Fixture(s.Fixture())) {
        if (dir.empty()) return;
        device = std::make_unique<salvor::test::ImageDevice>(Oracle(s.sample ? "raw" : "img"), s.sectorSize,
                                                             512ull * s.sectorOffset);
        std::vector<std::uint8_t> sector(s.sectorSize);
        if (!device->ReadSector(sector.data(), 0, 1) || !boot.InitFromBuffer(sector)) return;
        spc = boot.GetSectorsperCluster() * boot.GetBytesPerSector() / s.sectorSize;
        clusterBytes = spc * s.sectorSize;
        recordSize = boot.GetFileRecordSizeByByte();
        // Record 0 lies at the $MFT's first cluster; its own runs map the rest.
        mft.AddRun({boot.GetMFTStartCluster(), 0, 1 + (recordSize - 1) / clusterBytes});
        const auto record0 = ReadRecord(0);
        mft.ClearDataRunList();
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record0, mft, true, nullptr);
    }
    std::string Oracle(const char* ext) const { return dir + "/" + info.name + "." + ext; }
    std::vector<std::uint8_t> ReadRecord(long long number, long long* sector = nullptr) {
        unsigned offset = 0;
        const long long at = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
            number, spc, 0, mft, recordSize, info.sectorSize, &offset);
        std::vector<std::uint8_t> raw(((offset + recordSize - 1) / info.sectorSize + 1) * info.sectorSize);
        if (at < 0 ||
            !device->ReadSector(raw.data(), at, static_cast<long long>(raw.size() / info.sectorSize)))
            return {};
        if (sector) *sector = at;
        return {raw.begin() + offset, raw.begin() + offset + recordSize};
    }
    std::vector<std::uint8_t> ReadClusters(const CNTFSDataRunList& runs) {
        std::vector<std::uint8_t> out, piece;
        for (const CDataRun& r : runs.Runs()) {
            piece.assign(static_cast<std::size_t>(r.length) * clusterBytes, 0);
            if (r.lcn >= 0) device->ReadSector(piece.data(), r.lcn * spc, r.length * spc);
            out.insert(out.end(), piece.begin(), piece.end());
        }
        return out;
    }
    CExtendFileRecordInfoList Extensions(ntfs::Bytes record, long long sector) {
        return CNTFSMultiFileRecord::InitExtendFileRecord(record, sector, spc, 0, *device, mft, recordSize)
            .value_or(CExtendFileRecordInfoList{});
    }

    VolumeCase info;
    std::string dir;
    std::unique_ptr<salvor::test::ImageDevice> device;
    CNTFSDBR boot;
    unsigned spc = 0, recordSize = 0, clusterBytes = 0;
    CNTFSDataRunList mft;
};

} // namespace ntfstest
