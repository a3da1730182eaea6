#include "tests/engine/ntfs/NtfsTestSupport.h"

#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace ntfs_test {

const VolumeSpec kVolumes[12] = {
    {"ntfs_volumes", "ntfs_4k", "img", 0, 512, true},
    {"ntfs_volumes", "ntfs_2k", "img", 0, 512, true},
    {"ntfs_volumes", "ntfs_512", "img", 0, 512, true},
    {"ntfs_volumes", "ntfs_64k", "img", 0, 512, true},
    {"ntfs_volumes", "ntfs_4kr", "img", 0, 4096, true},
    {"ntfs_samples", "ntfs-ptrn", "raw", 128, 512, false},
    {"ntfs_samples", "ntfs-ramslack", "raw", 128, 512, false},
    {"ntfs_samples", "ntfs-lastaccess", "raw", 128, 512, false},
    {"ntfs_samples", "ntfs-si-vs-fn", "raw", 128, 512, false},
    {"ntfs_samples", "ntfs3", "raw", 0, 512, false},
    {"ntfs_samples", "ntfs3_attrlist", "raw", 0, 512, false},
    {"ntfs_samples", "ntfs_index", "raw", 128, 512, false},
};

std::string TestName(const VolumeSpec& spec) {
    std::string name = spec.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string FsstatField(const std::string& text, const std::string& key) {
    const auto at = text.find("\n" + key + ": ");
    if (at == std::string::npos) return "";
    const auto from = at + key.size() + 3;
    return text.substr(from, text.find('\n', from) - from);
}

std::set<std::string> FlagWords(std::uint32_t flags) {
    static const std::pair<std::uint32_t, const char*> kWords[] = {
        {0x1, "Read Only"}, {0x2, "Hidden"}, {0x4, "System"}, {0x20, "Archive"}, {0x40, "Device"},
        {0x80, "Normal"}, {0x100, "Temporary"}, {0x200, "Sparse"}, {0x400, "Reparse Point"},
        {0x800, "Compressed"}, {0x1000, "Offline"}, {0x2000, "Not Content Indexed"}, {0x4000, "Encrypted"},
        {0x10000000, "Directory"}, {0x20000000, "Index View"}};
    std::set<std::string> out;
    for (auto [bit, word] : kWords)
        if (flags & bit) out.insert(word);
    return out;
}

std::string Volume::Oracle(const char* ext) const { return Prefix() + "." + ext; }

Volume::Volume(const VolumeSpec& s) : spec(s), dir(salvor::test::Fixture(s.fixture)) {
    if (dir.empty()) return;
    device = std::make_unique<salvor::test::ImageDevice>(Prefix() + "." + s.ext, s.sectorSize,
                                                         512ull * s.sectorOffset);
    std::vector<std::uint8_t> sector(s.sectorSize);
    if (!device->ReadSector(sector.data(), 0, 1) || !boot.InitFromBuffer(sector)) return;
    spc = boot.GetSectorsperCluster() * boot.GetBytesPerSector() / s.sectorSize;
    clusterBytes = spc * s.sectorSize;
    recordSize = boot.GetFileRecordSizeByByte();
    // Record 0 lies at the $MFT's first cluster; its own runs map the rest.
    CNTFSDataRunList first;
    first.AddRun({boot.GetMFTStartCluster(), 0, 1 + (recordSize - 1) / clusterBytes});
    mft = first;
    const auto record0 = ReadRecord(0);
    mft.ClearDataRunList();
    CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(record0, mft, true, nullptr);
}

std::vector<std::uint8_t> Volume::ReadRecord(long long number, long long* sector) {
    unsigned offset = 0;
    const long long at = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(
        number, spc, 0, mft, recordSize, spec.sectorSize, &offset);
    if (at < 0) return {};
    std::vector<std::uint8_t> raw(((offset + recordSize - 1) / spec.sectorSize + 1) * spec.sectorSize);
    if (!device->ReadSector(raw.data(), at, static_cast<long long>(raw.size() / spec.sectorSize))) return {};
    if (sector) *sector = at;
    return {raw.begin() + offset, raw.begin() + offset + recordSize};
}

std::vector<std::uint8_t> Volume::ReadClusters(const CNTFSDataRunList& runs) {
    std::vector<std::uint8_t> out, piece;
    for (const CDataRun& r : runs.Runs()) {
        piece.assign(static_cast<std::size_t>(r.length) * clusterBytes, 0);
        if (r.lcn >= 0) device->ReadSector(piece.data(), r.lcn * spc, r.length * spc);
        out.insert(out.end(), piece.begin(), piece.end());
    }
    return out;
}

CExtendFileRecordInfoList Volume::Extensions(ntfs::Bytes record, long long sector) {
    return CNTFSMultiFileRecord::InitExtendFileRecord(record, sector, spc, 0, *device, mft, recordSize)
        .value_or(CExtendFileRecordInfoList{});
}

std::map<long long, IstatEntry> Volume::Istat() const {
    std::map<long long, IstatEntry> out;
    std::istringstream in(ReadText(Oracle("istat.txt")));
    IstatEntry* e = nullptr;
    std::string line, flags;
    bool inName = false, inData = false;
    while (std::getline(in, line)) {
        if (line.rfind("=== ", 0) == 0) {
            e = &out[std::stoll(line.substr(4))];
            inName = inData = false;
        } else if (!e) {
            continue;
        } else if (line == "Allocated Directory" || line == "Allocated File") {
            e->directory = line == "Allocated Directory";
        } else if (line == "$FILE_NAME Attribute Values:") {
            inName = true;
        } else if (inName && line.rfind("Flags:", 0) == 0) {
            flags = line.substr(6);
        } else if (inName && line.rfind("Name: ", 0) == 0) {
            Name n{line.substr(6), -1, {}};
            std::istringstream words(flags);
            for (std::string w; std::getline(words, w, ',');)
                if (w.find_first_not_of(' ') != std::string::npos) n.flags.insert(w.substr(w.find_first_not_of(' ')));
            e->names.push_back(n);
        } else if (inName && line.rfind("Parent MFT Entry: ", 0) == 0) {
            e->names.back().parent = std::stoll(line.substr(18));
            inName = false;
        } else if (line.rfind("Type: ", 0) == 0) {
            inData = line.rfind("Type: $DATA (", 0) == 0 && line.find("Name: N/A") != std::string::npos;
            if (inData) {
                e->dataNonResident = line.find("Non-Resident") != std::string::npos;
                e->dataCompressed = line.find("Compressed") != std::string::npos;
            }
        } else if (inData && line.rfind("  Starting address: ", 0) == 0) {
            const std::string a = line.substr(20);
            const long long start = a[0] == 'X' ? -1 : std::stoll(a);
            e->runs.push_back({start, std::stoll(a.substr(a.find("length: ") + 8))});
        }
    }
    return out;
}

} // namespace ntfs_test
