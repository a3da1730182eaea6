#pragma once
// The NTFS volumes of the tests (tool-made fixtures and public samples), what
// The Sleuth Kit says of them, and reading their MFT records.
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "tests/support/ImageDevice.h"

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace ntfs_test {

struct VolumeSpec {
    const char* fixture;
    const char* name;      // file stem in the fixture folder
    const char* ext;
    unsigned sectorOffset; // 512-byte sectors before the volume
    unsigned sectorSize;
    bool names;            // ntfsinfo's namespaces are there (PREFIX.names.txt)
};
extern const VolumeSpec kVolumes[12];
std::string TestName(const VolumeSpec& spec);

// One $FILE_NAME as istat shows it.
struct Name {
    std::string name;
    long long parent;
    std::set<std::string> flags;
    auto operator<=>(const Name&) const = default;
};
struct ClusterRun {
    long long start; // -1 sparse
    long long length;
    auto operator<=>(const ClusterRun&) const = default;
};
// One allocated MFT entry as istat -r shows it.
struct IstatEntry {
    bool directory = false;
    std::vector<Name> names;
    bool dataNonResident = false, dataCompressed = false;
    std::vector<ClusterRun> runs; // of the unnamed $DATA
};

// The flag words istat prints for file-name flags.
std::set<std::string> FlagWords(std::uint32_t flags);

// An opened volume with its boot sector and $MFT runs.
struct Volume {
    explicit Volume(const VolumeSpec& spec);
    std::string Prefix() const { return dir + "/" + spec.name; }
    std::string Oracle(const char* ext) const;
    std::map<long long, IstatEntry> Istat() const;
    // The record's bytes and its sector; empty when it cannot be located.
    std::vector<std::uint8_t> ReadRecord(long long number, long long* sector = nullptr);
    std::vector<std::uint8_t> ReadClusters(const CNTFSDataRunList& runs);
    CExtendFileRecordInfoList Extensions(ntfs::Bytes record, long long sector);

    VolumeSpec spec;
    std::string dir;
    std::unique_ptr<salvor::test::ImageDevice> device;
    CNTFSDBR boot;
    unsigned spc = 0, recordSize = 0, clusterBytes = 0;
    CNTFSDataRunList mft;
};

// The value of "Key: value" in fsstat output.
std::string FsstatField(const std::string& text, const std::string& key);
std::string ReadText(const std::string& path);

} // namespace ntfs_test
