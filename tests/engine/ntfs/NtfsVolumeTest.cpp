// The fixtures and samples against The Sleuth Kit (and ntfsinfo's namespaces):
// volume analysis and geometry; every FILE record parses, and every allocated
// base record, joined across its extension records, has istat's names,
// parents, flags and $DATA runs; every INDX block of every folder is valid and
// names its folder; every record page of the samples' $LogFile passes.
#include "engine/all/AllLibraries.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsLogRecord.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsMultiRecord.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/Fixture.h"
#include "tests/engine/ntfs/NtfsTestVolume.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <sstream>

namespace {
using namespace ntfstest;

// The value of "Key: value" in fsstat output.
std::string FsstatField(const std::string& text, const std::string& key) {
    const auto at = text.find("\n" + key + ": ");
    if (at == std::string::npos) return "";
    const auto from = at + key.size() + 3;
    return text.substr(from, text.find('\n', from) - from);
}

// The words istat prints for file-name flags.
std::set<std::string> FlagWords(std::uint32_t flags) {
    static const std::pair<std::uint32_t, const char*> kWords[] = {
        {0x1, "Read Only"},    {0x2, "Hidden"},           {0x4, "System"},
        {0x20, "Archive"},     {0x40, "Device"},          {0x80, "Normal"},
        {0x100, "Temporary"},  {0x200, "Sparse"},         {0x400, "Reparse Point"},
        {0x800, "Compressed"}, {0x1000, "Offline"},       {0x2000, "Not Content Indexed"},
        {0x4000, "Encrypted"}, {0x10000000, "Directory"}, {0x20000000, "Index View"}};
    std::set<std::string> out;
    for (auto [bit, word] : kWords)
        if (flags & bit) out.insert(word);
    return out;
}

// One $FILE_NAME, and one allocated MFT entry, as istat -r shows them.
struct Name {
    std::string name;
    long long parent;
    std::set<std::string> flags;
    auto operator<=>(const Name&) const = default;
};
using Runs = std::vector<std::pair<long long, long long>>; // start (-1 sparse), length
struct IstatEntry {
    bool directory = false, dataNonResident = false;
    std::vector<Name> names;
    Runs runs; // of the unnamed $DATA
};

std::map<long long, IstatEntry> ParseIstat(const std::string& text) {
    std::map<long long, IstatEntry> out;
    std::istringstream in(text);
    IstatEntry* e = nullptr;
    std::string line, flags;
    bool inName = false, inData = false;
    auto starts = [&](const char* prefix) { return line.rfind(prefix, 0) == 0; };
    while (std::getline(in, line)) {
        if (starts("=== ")) {
            e = &out[std::stoll(line.substr(4))];
            inName = inData = false;
        } else if (line == "Allocated Directory") {
            e->directory = true;
        } else if (line == "$FILE_NAME Attribute Values:") {
            inName = true;
        } else if (inName && starts("Flags:")) {
            flags = line.substr(6);
        } else if (inName && starts("Name: ")) {
            e->names.push_back({line.substr(6), -1, {}});
            std::istringstream words(flags);
            for (std::string w; std::getline(words >> std::ws, w, ',');)
                e->names.back().flags.insert(w);
        } else if (inName && starts("Parent MFT Entry: ")) {
            e->names.back().parent = std::stoll(line.substr(18));
            inName = false;
        } else if (starts("Type: ")) {
            inData = starts("Type: $DATA (") && line.find("Name: N/A") != std::string::npos;
            if (inData) e->dataNonResident = line.find("Non-Resident") != std::string::npos;
        } else if (inData && starts("  Starting address: ")) {
            const std::string a = line.substr(20);
            e->runs.emplace_back(a[0] == 'X' ? -1 : std::stoll(a),
                                 std::stoll(a.substr(a.find("length: ") + 8)));
        }
    }
    return out;
}

std::unique_ptr<IVolumeAnalyzeController> Analyse(IStorageDevice* device) {
    ResetFactories();
    RegisterAllLibraries();
    return std::unique_ptr<IVolumeAnalyzeController>(CreateVolumeAnalyzeController(device, 0));
}

long long Field(const std::string& fsstat, const char* key) {
    return std::stoll(FsstatField(fsstat, key));
}

class NtfsVolume : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(NtfsVolume, GeometryAndLogPages) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    auto analysis = Analyse(v.device.get());
    IVolumeAnalyze* a = analysis->GetVolumeAnzlyzer();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetFileSystemType(), FS_NTFS);
    const std::string fs = salvor::test::ReadWholeFile(v.Oracle("fsstat.txt"));
    const std::string range = FsstatField(fs, "Total Sector Range");
    EXPECT_EQ(a->GetTotalSector(), std::stoull(range.substr(range.find('-') + 1)) + 1);
    // The label is $Volume's name, as fsstat gives it.
    char label[100];
    a->GetLabel(label, sizeof label);
    EXPECT_EQ(std::string(label), FsstatField(fs, "Volume Name"));
    // $Volume's record unreadable: its copy in $MFTMirr names the volume.
    long long volumeSector = -1;
    ASSERT_FALSE(v.ReadRecord(3, &volumeSector).empty());
    v.device->FailSector(volumeSector);
    auto failing = Analyse(v.device.get());
    char mirrored[100] = "junk";
    ASSERT_NE(failing->GetVolumeAnzlyzer(), nullptr);
    failing->GetVolumeAnzlyzer()->GetLabel(mirrored, sizeof mirrored);
    EXPECT_EQ(std::string(mirrored), FsstatField(fs, "Volume Name"));
    v.device->ClearFailures();
    EXPECT_EQ(v.boot.GetSectorsperCluster() * v.boot.GetBytesPerSector(), Field(fs, "Cluster Size"));
    EXPECT_EQ(v.boot.GetMFTStartCluster(), Field(fs, "First Cluster of MFT"));
    EXPECT_EQ(v.boot.GetMFTMirrorStartCluster(), Field(fs, "First Cluster of MFT Mirror"));
    EXPECT_EQ(v.boot.GetFileRecordSizeByByte(), Field(fs, "Size of MFT Entries"));
    EXPECT_EQ(v.boot.GetSerialNumber(), std::stoull(FsstatField(fs, "Volume Serial Number"), nullptr, 16));
    if (!v.info.sample) return;

    // $LogFile: record 2's runs read icat's bytes; its record pages pass.
    CNTFSDataRunList runs;
    ASSERT_TRUE(
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(v.ReadRecord(2), runs, true, nullptr));
    auto log = v.ReadClusters(runs);
    const std::string icat = salvor::test::ReadWholeFile(v.Oracle("logfile"));
    ASSERT_GE(log.size(), icat.size());
    EXPECT_EQ(std::memcmp(log.data(), icat.data(), icat.size()), 0);
    int pages = 0;
    for (std::size_t at = 0; at + 4096 <= icat.size(); at += 4096) {
        const std::span<std::uint8_t> page(log.data() + at, 4096);
        if (!CRCRDRecord::IsValidMagicNumber(page)) continue;
        ASSERT_TRUE(CRCRDRecord::Unfixup(page)) << v.info.name << " page " << at / 4096;
        CRecordPageHeader head;
        EXPECT_TRUE(CRCRDRecord::GetRecordHead(page, head));
        ++pages;
    }
    EXPECT_EQ(pages > 0, v.info.sectorOffset != 0) << "the Linux-made samples leave their log empty";
}

// Every INDX block of a folder's index allocation is valid and names it.
int CheckIndexBlocks(Volume& v, CNTFSMultiFileRecord& folder, long long number) {
    const ntfs::Bytes ia = folder.FindAttibute(ntfs::ATTR_INDEX_ALLOCATION, 0);
    if (ia.empty()) return 0;
    const long long fromRoot = CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(
        folder.FindAttibute(ntfs::ATTR_INDEX_ROOT, 0));
    EXPECT_TRUE(fromRoot == number || fromRoot == -1) << number;
    CNTFSDataRunList runs;
    EXPECT_TRUE(CNTFSFileRecordDataRunsAttribute::GetDataRunList(ia, runs)) << number;
    const auto bytes = v.ReadClusters(runs);
    const unsigned size = v.boot.GetIndexRecordSizeByByte();
    const auto end =
        std::min<std::size_t>(bytes.size(), CNTFSFileRecordAttribute::GetInitializedDataSize(ia));
    int named = 0;
    for (std::size_t at = 0; at + size <= end; at += size) {
        const ntfs::Bytes block(bytes.data() + at, size);
        if (!CStandardIndexHeader::IsValidMagicNumber(block)) continue;
        EXPECT_TRUE(CIndexRecord::IsValid(block)) << v.info.name << " folder " << number << " at " << at;
        const long long parent = CIndexRecord::GetParentFileReference(block);
        EXPECT_TRUE(parent == number || parent == -1) << v.info.name << " folder " << number << " at " << at;
        named += parent == number;
    }
    return named;
}

TEST_P(NtfsVolume, RecordsAndIndexesEqualIstat) {
    static const char* kNamespaces[] = {"POSIX", "Win32", "DOS", "Win32 & DOS", "?"};
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    const auto istat = ParseIstat(salvor::test::ReadWholeFile(v.Oracle("istat.txt")));
    std::multiset<std::string> namespaces, expectedNamespaces;
    std::istringstream names(salvor::test::ReadWholeFile(v.Oracle("names.txt")));
    for (std::string line; std::getline(names, line);)
        expectedNamespaces.insert(line);

    int parsed = 0, compared = 0, multi = 0, blocks = 0;
    for (long long i = 0; i < v.mft.GetTotalClusters() * v.clusterBytes / v.recordSize; ++i) {
        long long sector = -1;
        const auto raw = v.ReadRecord(i, &sector);
        ASSERT_EQ(raw.size(), v.recordSize) << i;
        if (bytes::Le32(raw, 0) != 0x454C4946) continue;
        ASSERT_TRUE(CNTFSFileRecord::IsValid(raw)) << v.info.name << " record " << i;
        ++parsed;
        const auto it = istat.find(i);
        if (it == istat.end()) continue;
        ++compared;
        if (CNTFSFileRecord::IsExtendFileRecord(raw)) continue;
        const IstatEntry& want = it->second;
        const auto extensions = v.Extensions(raw, sector);
        multi += !extensions.empty();
        CNTFSMultiFileRecord file(raw, sector, v.device.get(), &extensions, v.recordSize);
        ASSERT_TRUE(file.IsValid() && file.IsinUse()) << i;
        EXPECT_EQ(file.GetBaseRecord().IsFolder(), want.directory) << i;
        if (want.directory) blocks += CheckIndexBlocks(v, file, i);

        std::vector<Name> got;
        for (int k = 0; !file.FindAttibute(ntfs::ATTR_FILE_NAME, k).empty(); ++k) {
            const ntfs::Bytes fn = file.FindAttibute(ntfs::ATTR_FILE_NAME, k);
            const std::string name = CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(fn);
            got.push_back({name, CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(fn),
                           FlagWords(CNTFSFileRecordFileNameAttribute::GetFlags(fn))});
            namespaces.insert(std::to_string(i) + "\t" +
                              kNamespaces[CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(fn)] +
                              "\t" + name);
        }
        auto expected = want.names;
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected) << v.info.name << " record " << i;

        // The unnamed $DATA: its pieces' runs in VCN order, cut as istat cuts
        // them to the clusters of the file's size.
        CNTFSDataRunList runs;
        bool nonResident = false;
        long long size = 0;
        for (int k = 0; !file.FindAttibute(ntfs::ATTR_DATA, k).empty(); ++k) {
            const ntfs::Bytes data = file.FindAttibute(ntfs::ATTR_DATA, k);
            if (CNTFSFileRecordAttribute::IsNamed(data)) continue;
            nonResident = !CNTFSFileRecordAttribute::IsResident(data);
            long long vcn = 0, real = 0;
            EXPECT_TRUE(!nonResident || CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(
                                            data, &real, vcn, runs));
            if (vcn == 0) size = real;
        }
        runs.Sort();
        Runs gotRuns;
        long long left = (size + v.clusterBytes - 1) / v.clusterBytes;
        for (const CDataRun& r : runs.Runs())
            if (left > 0) gotRuns.emplace_back(r.lcn, std::min(r.length, left)), left -= r.length;
        EXPECT_EQ(nonResident, want.dataNonResident) << i;
        EXPECT_EQ(gotRuns, want.runs) << v.info.name << " record " << i;
    }
    EXPECT_EQ(compared, static_cast<int>(istat.size())) << "every allocated entry";
    EXPECT_GT(parsed, 20);
    EXPECT_GT(blocks, 0);
    if (!v.info.sample) {
        EXPECT_EQ(namespaces, expectedNamespaces);
        EXPECT_GE(multi, 1) << "the 41-name file spreads over records";
    }
}

INSTANTIATE_TEST_SUITE_P(All, NtfsVolume, ::testing::ValuesIn(kVolumes), [](const auto& info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

// 2 MiB clusters (sectors per cluster byte 0xF4), FAT and exFAT volumes: no NTFS analyser.
TEST(NtfsVolumeAnalysis, OtherVolumesGetNoNtfsAnalyser) {
    for (auto [fixture, file, offset] : {std::tuple{"ntfs_samples", "ntfs-2m.raw", 128},
                                         {"fat_16", "fat_16.img", 0},
                                         {"exfat_quick", "exfat_512.img", 0}}) {
        salvor::test::ImageDevice device(salvor::test::FixtureFile(fixture, file), 512, 512ull * offset);
        ASSERT_TRUE(device.IsOpen()) << file;
        EXPECT_EQ(std::unique_ptr<IVolumeAnalyze>(CreateNTFSVolumeAnalyze(&device, 0)), nullptr) << file;
        auto analysis = Analyse(&device);
        IVolumeAnalyze* a = analysis->GetVolumeAnzlyzer();
        EXPECT_TRUE(!a || a->GetFileSystemType() != FS_NTFS) << file;
        std::vector<std::uint8_t> sector(512);
        device.ReadSector(sector.data(), 0, 1);
        EXPECT_TRUE(!offset || (std::memcmp(sector.data() + 3, "NTFS    ", 8) == 0 && sector[13] == 0xF4));
    }
    // Sectors larger than 4096 bytes are read whole.
    salvor::test::ImageDevice large(salvor::test::FixtureFile("ntfs_volumes", "ntfs_4k.img"), 8192);
    EXPECT_NE(std::unique_ptr<IVolumeAnalyze>(CreateNTFSVolumeAnalyze(&large, 0)), nullptr);
}

// 1 KiB records on 4096-byte sectors: located in bytes, four to a sector, and
// the 41-name file is joined across its records.
TEST(NtfsDamage, SmallRecordsOnLargeSectors) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    salvor::test::ImageDevice big(v.Oracle("img"), 4096);
    const unsigned spc = v.clusterBytes / 4096;
    unsigned offset = 0;
    for (long long n : {1, 2, 3, 69}) {
        const long long s = CNTFSMultiFileRecord::GetFileRecordStartSectorfromMFTNumber(n, spc, 0, v.mft,
                                                                                        1024, 4096, &offset);
        long long small = -1;
        v.ReadRecord(n, &small);
        EXPECT_EQ(s * 4096 + offset, small * 512) << n;
        if (n != 69) continue;
        std::vector<std::uint8_t> raw(8192);
        ASSERT_TRUE(big.ReadSector(raw.data(), s, 2));
        raw = std::vector<std::uint8_t>(raw.begin() + offset, raw.begin() + offset + 1024);
        const auto ext = CNTFSMultiFileRecord::InitExtendFileRecord(raw, s, spc, 0, big, v.mft, 1024);
        ASSERT_TRUE(ext && !ext->empty());
        CNTFSMultiFileRecord file(raw, s, &big, &*ext, 1024);
        int names = 0;
        while (!file.FindAttibute(ntfs::ATTR_FILE_NAME, names).empty())
            ++names;
        EXPECT_EQ(names, 41);
        EXPECT_FALSE(file.FindAttibute(ntfs::ATTR_DATA, 0).empty());
        // Its last name lies in an extension record sharing a sector with others.
        long long nameSector = -1;
        unsigned inSector = 1;
        EXPECT_FALSE(file.FindAttibute(ntfs::ATTR_FILE_NAME, 40, nullptr, &nameSector, &inSector).empty());
        EXPECT_TRUE(nameSector != s && nameSector >= 0 && inSector % 1024 == 0)
            << nameSector << " " << inSector;
    }
}

} // namespace
