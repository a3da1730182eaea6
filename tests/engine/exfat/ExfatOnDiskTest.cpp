// Boot sector, recogniser, entry tests, checksum, folder analyser, runs and
// the FAT page cache.
#include "engine/common/DataRunList.h"
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatEntries.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatPartition.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

using salvor::test::ImageDevice;

namespace {

std::vector<std::uint8_t> BootOf(const std::string& image, unsigned sectorSize) {
    ImageDevice device(image, sectorSize);
    std::vector<std::uint8_t> sector;
    EXPECT_TRUE(exfat::ReadOneSector(&device, 0, sector));
    return sector;
}

void Put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

TEST(ExfatBoot, RealBootSectorsOfBothSectorSizes) {
    for (unsigned size : {512u, 4096u}) {
        const std::string img = salvor::test::FixtureFile("exfat_quick", "exfat_" + std::to_string(size) + ".img");
        auto boot = BootOf(img, size);
        CExFatDBR dbr(boot);
        EXPECT_TRUE(dbr.IsValid(size));
        EXPECT_FALSE(dbr.IsValid(size == 512 ? 4096 : 512));
        EXPECT_EQ(dbr.GetBytePerSector(), size);
        EXPECT_EQ(dbr.GetTotalSectors(), 64ull * 1024 * 1024 / size);
        EXPECT_EQ(dbr.GetFileSystemType(), FS_EXFAT);
        EXPECT_EQ(dbr.GetNumberOfFat(), 1u);

        ImageDevice device(img, size);
        std::unique_ptr<IVolumeAnalyze> a(exfat::CreateExfatVolumeAnalyze(&device, 0));
        ASSERT_TRUE(a);
        EXPECT_EQ(a->GetFileSystemType(), FS_EXFAT);
        EXPECT_EQ(a->GetTotalSector(), 64ull * 1024 * 1024 / size);
        char label[100];
        std::memset(label, 'x', sizeof label);
        a->GetLabel(label, sizeof label);
        EXPECT_STREQ(label, "");
        a->GetLabel(nullptr, 100);
        // The wrong sector size, or a sector that is not the boot sector.
        ImageDevice wrong(img, size == 512 ? 4096 : 512);
        EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(&wrong, 0), nullptr);
        EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(&device, 1), nullptr);
        EXPECT_EQ(exfat::CreateExfatVolumeAnalyze(nullptr, 0), nullptr);
    }
}

TEST(ExfatBoot, PlausibilityEdges) {
    const auto good = BootOf(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    auto check = [&](auto&& change) {
        auto b = good;
        change(b);
        return CExFatDBR(b).IsValid(512);
    };
    EXPECT_TRUE(check([](auto&) {}));
    EXPECT_FALSE(check([](auto& b) { std::memcpy(&b[3], "exfat   ", 8); }));
    EXPECT_FALSE(check([](auto& b) { b[40] = 1; }));
    EXPECT_FALSE(check([](auto& b) { b[510] = 0; }));
    EXPECT_FALSE(check([](auto& b) { b[108] = 12; }));
    EXPECT_FALSE(check([](auto& b) { b[110] = 3; }));
    EXPECT_FALSE(check([](auto& b) { Put32(b, 96, 1); }));
    // Shifts 12 and 14 (sum 26) fail even on a 4096-byte device; 9 and 16 pass
    // when the heap still fits.
    EXPECT_FALSE(CExFatDBR([&] {
                     auto b = good;
                     b[108] = 12;
                     b[109] = 14;
                     return b;
                 }())
                     .IsValid(4096));
    EXPECT_TRUE(check([](auto& b) {
        b[109] = 16;
        Put32(b, 92, 1);
    }));
    // A heap that ends one sector past the volume.
    const std::uint32_t heap = CExFatDBR(good).GetDataRegionStartSector();
    const std::uint64_t length = CExFatDBR(good).GetTotalSectors();
    const unsigned spc = CExFatDBR(good).GetSectorsperCluster();
    EXPECT_FALSE(check([&](auto& b) { Put32(b, 92, static_cast<std::uint32_t>((length - heap) / spc + 1) + 1); }));
    EXPECT_TRUE(check([&](auto& b) { Put32(b, 92, static_cast<std::uint32_t>((length - heap) / spc + 1)); }));
    // Too short a buffer is never valid.
    EXPECT_FALSE(CExFatDBR(std::span<const std::uint8_t>(good.data(), 100)).IsValid(512));
}

TEST(ExfatBoot, RegistrationFillsTheSlotsAndFat32IsNotExfat) {
    ResetFactories();
    RegisterExfatLibrary();
    EXPECT_TRUE(Factories().exFatVolume);
    EXPECT_TRUE(Factories().exFatQuickSearcher);
    IQuickFileSystemSearchController* q = CreateEXFatQuickSearcher();
    ASSERT_TRUE(q);
    q->Release();

    salvor::test::TempDir dir;
    std::string out;
    ASSERT_EQ(salvor::test::RunCommand("PATH=$PATH:/sbin:/usr/sbin mkfs.fat -C -F 32 '" + dir.file("f32.img") +
                                           "' 40000",
                                       &out),
              0)
        << "mkfs.fat (package dosfstools): " << out;
    ImageDevice fat32(dir.file("f32.img"), 512);
    EXPECT_EQ(CreateExfatVolumeAnalyze(&fat32, 0), nullptr);
    ImageDevice ex(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    std::unique_ptr<IVolumeAnalyze> a(CreateExfatVolumeAnalyze(&ex, 0));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->GetFileSystemType(), FS_EXFAT);
    ResetFactories();
}

// --- entries -------------------------------------------------------------

constexpr std::uint32_t kStamp = (44u << 25) | (3u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 7u;

struct SetBuilder {
    std::vector<std::uint8_t> bytes;
    void File(std::uint8_t type, int secondary, std::uint16_t attr = 0x20) {
        std::vector<std::uint8_t> e(32, 0);
        e[0] = type;
        e[1] = static_cast<std::uint8_t>(secondary);
        e[4] = static_cast<std::uint8_t>(attr);
        for (std::size_t off : {8u, 12u, 16u}) Put32(e, off, kStamp);
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    void Stream(std::uint8_t type, std::uint8_t nameLength, std::uint32_t first, std::uint64_t length,
                bool contiguous = true) {
        std::vector<std::uint8_t> e(32, 0);
        e[0] = type;
        e[1] = contiguous ? 3 : 1;
        e[3] = nameLength;
        Put32(e, 20, first);
        for (int i = 0; i < 8; ++i) e[8 + i] = e[24 + i] = static_cast<std::uint8_t>(length >> (8 * i));
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    void Name(std::uint8_t type, const std::u16string& part) {
        std::vector<std::uint8_t> e(32, 0);
        e[0] = type;
        for (std::size_t i = 0; i < part.size() && i < 15; ++i) {
            e[2 + 2 * i] = static_cast<std::uint8_t>(part[i]);
            e[3 + 2 * i] = static_cast<std::uint8_t>(part[i] >> 8);
        }
        bytes.insert(bytes.end(), e.begin(), e.end());
    }
    // A whole set with a correct checksum.
    void Set(const std::u16string& name, std::uint32_t first, std::uint64_t length, bool deleted = false,
             std::uint16_t attr = 0x20) {
        const std::size_t start = bytes.size();
        const int names = static_cast<int>((name.size() + 14) / 15);
        File(deleted ? 0x05 : 0x85, names + 1, attr);
        Stream(deleted ? 0x40 : 0xC0, static_cast<std::uint8_t>(name.size()), first, length);
        for (int i = 0; i < names; ++i) Name(deleted ? 0x41 : 0xC1, name.substr(15 * i, 15));
        Seal(start);
    }
    void Seal(std::size_t start) {
        std::span<const std::uint8_t> set(bytes.data() + start, bytes.size() - start);
        const std::uint16_t sum = exfat::EntrySetChecksum(set);
        bytes[start + 2] = static_cast<std::uint8_t>(sum);
        bytes[start + 3] = static_cast<std::uint8_t>(sum >> 8);
    }
    void Raw(std::uint8_t type) {
        bytes.push_back(type);
        bytes.insert(bytes.end(), 31, 0);
    }
};

std::vector<_tagFileBaseInfo> Analyse(const std::vector<std::uint8_t>& cluster, bool* more = nullptr) {
    CEFDTAnalyze a;
    a.PrepareAnayze(9, 12, 1 << 20);
    const bool r = a.Analyze(cluster, 100);
    if (more) *more = r;
    return a.Records();
}

TEST(ExfatEntries, NameCharactersAboveU00FFAreAllowed) {
    SetBuilder s;
    for (char16_t c : {u'\u0100', u'\u0300', u'\u1100', u'\u3042', char16_t(0xD83D)}) {
        s.bytes.clear();
        s.Name(0xC1, std::u16string(u"a") + c);
        EXPECT_TRUE(exfat::IsValidNameEntry(s.bytes)) << int(c);
    }
    for (char16_t c : {u'*', u'/', u'"', u'\x19', u'\xFF'}) {
        s.bytes.clear();
        s.Name(0xC1, std::u16string(u"a") + c);
        EXPECT_FALSE(exfat::IsValidNameEntry(s.bytes)) << int(c);
    }
    s.bytes.clear();
    s.Name(0xC1, u"");
    EXPECT_FALSE(exfat::IsValidNameEntry(s.bytes));
    EXPECT_EQ(g_u8FileNameCheckTable[0x41], 1);
    EXPECT_EQ(g_u8FileNameCheckTable[0x3A], 0);
}

TEST(ExfatEntries, ChecksumAndTheInUseFormOfADeletedSet) {
    SetBuilder s;
    s.Set(u"hello.txt", 5, 100);
    EXPECT_TRUE(exfat::CheckDirEntry(s.bytes, s.bytes.size(), s.bytes[2] | (s.bytes[3] << 8)));
    // Deleting clears the in-use bits but keeps the old checksum.
    auto deleted = s.bytes;
    deleted[0] = 0x05;
    deleted[32] = 0x40;
    deleted[64] = 0x41;
    EXPECT_TRUE(exfat::CheckDirEntry(deleted, deleted.size(), deleted[2] | (deleted[3] << 8)));
    deleted[70] ^= 1;
    EXPECT_FALSE(exfat::CheckDirEntry(deleted, deleted.size(), deleted[2] | (deleted[3] << 8)));
    EXPECT_FALSE(exfat::CheckDirEntry(s.bytes, s.bytes.size() + 32, 0));
}

TEST(ExfatEntries, RootLikeClusterYieldsItsSets) {
    SetBuilder s;
    s.Raw(0x83);
    s.Raw(0x81);
    s.Raw(0x82);
    s.Set(u"a.txt", 5, 10);
    s.Set(u"Folder", 6, 4096, false, 0x10);
    s.Set(u"gone.bin", 7, 10, true);
    s.bytes.resize(4096, 0);
    bool more = true;
    auto r = Analyse(s.bytes, &more);
    EXPECT_FALSE(more); // the end-of-folder entry
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].name, "a.txt");
    EXPECT_EQ(r[0].metadataSector, 100);
    EXPECT_EQ(r[1].attributes, 0x10);
    EXPECT_EQ(r[2].inUse, 0);
    EXPECT_EQ(r[2].name, "gone.bin");
}

TEST(ExfatEntries, BrokenSetsAreDroppedOrEndTheFolder) {
    {
        // The stream is not right after the file entry: dropped; the next set is read.
        SetBuilder s;
        s.File(0x85, 2);
        s.Name(0xC1, u"x");
        s.Stream(0xC0, 1, 5, 10);
        s.Set(u"next", 6, 10);
        auto r = Analyse(s.bytes);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].name, "next");
    }
    {
        // A set mixing an in-use file entry with a deleted stream is dropped.
        SetBuilder s;
        s.File(0x85, 2);
        s.Stream(0x40, 1, 5, 10);
        s.Name(0x41, u"x");
        EXPECT_TRUE(Analyse(s.bytes).empty());
    }
    {
        // A GUID entry ends the folder there.
        SetBuilder s;
        s.Set(u"one", 5, 10);
        s.Raw(0xA0);
        s.Set(u"two", 6, 10);
        bool more = true;
        auto r = Analyse(s.bytes, &more);
        EXPECT_FALSE(more);
        ASSERT_EQ(r.size(), 1u);
    }
    {
        // A zero creation timestamp (without a matching checksum) ends the folder.
        SetBuilder s;
        s.File(0x85, 2);
        Put32(s.bytes, 8, 0);
        s.Stream(0xC0, 1, 5, 10);
        s.Name(0xC1, u"x");
        bool more = true;
        EXPECT_TRUE(Analyse(s.bytes, &more).empty());
        EXPECT_FALSE(more);
    }
    {
        // A malformed label (15 characters, as some formatters write) is passed over.
        SetBuilder s;
        s.Raw(0x83);
        s.bytes[1] = 15;
        s.bytes[30] = 'x';
        s.Set(u"after-label", 5, 10);
        ASSERT_EQ(Analyse(s.bytes).size(), 1u);
    }
    {
        // Reserved bytes set (as Windows' EFS does) pass when the checksum holds.
        SetBuilder s;
        s.File(0x85, 2, 0x10);
        s.bytes[7] = 0x80;
        s.Stream(0xC0, 3, 9, 4096);
        s.Name(0xC1, u"efs");
        s.Seal(0);
        auto r = Analyse(s.bytes);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].name, "efs");
    }
}

TEST(ExfatEntries, NamesAreJoinedAndConvertedOnce) {
    // An emoji whose surrogate pair is split across two name entries.
    std::u16string name(14, u'a');
    name += u"\U0001F600";
    name += u"b";
    SetBuilder s;
    s.Set(name, 5, 10);
    auto r = Analyse(s.bytes);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name, std::string(14, 'a') + "\xF0\x9F\x98\x80" "b");

    // 200 characters of three UTF-8 bytes each are cut at 259 bytes, whole characters.
    SetBuilder t;
    t.Set(std::u16string(200, u'\u3042'), 5, 10);
    r = Analyse(t.bytes);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].name.size(), 258u);
}

TEST(ExfatEntries, SetStraddlingTwoClustersIsJoined) {
    SetBuilder s;
    s.Set(u"a-name-of-more-than-fifteen-characters", 5, 10);
    ASSERT_EQ(s.bytes.size(), 5u * 32);
    CEFDTAnalyze a;
    a.PrepareAnayze(9, 9, 1 << 20);
    a.BeginFolder();
    EXPECT_TRUE(a.Analyze(std::span(s.bytes).first(64), 100));
    EXPECT_TRUE(a.Analyze(std::span(s.bytes).subspan(64), 200));
    ASSERT_EQ(a.Records().size(), 1u);
    EXPECT_EQ(a.Records()[0].name, "a-name-of-more-than-fifteen-characters");
    EXPECT_EQ(a.Records()[0].metadataSector, 100);
    // A new folder drops the unfinished set of the previous one.
    a.ClearRecords();
    EXPECT_TRUE(a.Analyze(std::span(s.bytes).first(64), 100));
    a.BeginFolder();
    EXPECT_TRUE(a.Analyze(std::span(s.bytes).subspan(64), 200));
    EXPECT_TRUE(a.Records().empty());
}

TEST(ExfatEntries, Timestamps) {
    EXPECT_FALSE(exfat::IsValidTimestamp(0));
    EXPECT_TRUE(exfat::IsValidTimestamp(kStamp));
    EXPECT_FALSE(exfat::IsValidTimestamp(kStamp | (13u << 21)));
    const _FILETIME t = exfat::DosTime2FileTime(kStamp);
    // 2024-03-15 10:30:14 local time: within a day of the UTC value.
    const long long utc = 133549794140000000LL;
    EXPECT_LT(std::llabs(static_cast<long long>(t.Value()) - utc), 864000000000LL);
}

// --- runs, nodes and the FAT --------------------------------------------

TEST(ExfatPartition, RunsOfContiguousAndChainedFiles) {
    CExFatPartition p;
    p.SetGeometry(512, 8, 1000, 4, 2048);
    _tagFileBaseInfo r;
    r.firstCluster = 5;
    r.dataLength = 10000;
    r.contiguous = 1;
    r.inUse = 1;
    std::unique_ptr<IDataRunList, void (*)(IDataRunList*)> runs(p.BuildFileDataRun(r),
                                                                 [](IDataRunList* l) { l->Release(); });
    auto* list = dynamic_cast<CDataRunList*>(runs.get());
    ASSERT_TRUE(list);
    ASSERT_EQ(list->Count(), 1u);
    EXPECT_EQ(list->Runs()[0].start, 3);
    EXPECT_EQ(list->Runs()[0].length, 3);
    // A folder, an empty file and a bad first cluster have no runs.
    for (auto change : {+[](_tagFileBaseInfo& x) { x.attributes = 0x10; },
                        +[](_tagFileBaseInfo& x) { x.dataLength = 0; },
                        +[](_tagFileBaseInfo& x) { x.firstCluster = 1; }}) {
        _tagFileBaseInfo y = r;
        change(y);
        IDataRunList* l = p.BuildFileDataRun(y);
        EXPECT_EQ(dynamic_cast<CDataRunList*>(l)->Count(), 0u);
        l->Release();
    }
    // A chained file without a FAT: its first cluster only.
    r.contiguous = 0;
    IDataRunList* l = p.BuildFileDataRun(r);
    EXPECT_EQ(dynamic_cast<CDataRunList*>(l)->Count(), 1u);
    l->Release();

    EXPECT_EQ(p.ConvertClusterNumToSector(2), 2048);
    EXPECT_EQ(p.ConvertClusterNumToSector(1), 0);
    EXPECT_EQ(p.ConvertSectorToClusterNum(2048 + 8), 3u);
    EXPECT_EQ(p.GetNextCluster(7, true), 8u);
    EXPECT_EQ(p.GetNextCluster(1001, true), 0xFFFFFFFFu); // past the heap's last cluster (1001)
}

TEST(ExfatPartition, NodeFromARecord) {
    CExFatPartition p;
    p.SetGeometry(512, 8, 1000, 4, 2048);
    _tagFileBaseInfo r;
    r.firstCluster = 9;
    r.dataLength = 4096;
    r.contiguous = 1;
    r.inUse = 0;
    r.attributes = 0x10;
    r.name = "dir";
    r.metadataSector = 4242;
    r.creation = r.modification = r.access = kStamp;
    std::unique_ptr<CExFatFileNode> node(p.BuildFile(r));
    EXPECT_STREQ(node->GetFileName(), "dir");
    EXPECT_TRUE(node->IsDirectory());
    EXPECT_TRUE(node->IsDeleted());
    EXPECT_TRUE(node->IsFatInvalid());
    EXPECT_EQ(node->GetAttribute(), 0x10u);
    EXPECT_EQ(node->GetFirstCluster(), 9);
    EXPECT_EQ(node->GetMetadataStartPosition(), 4242);
    EXPECT_EQ(node->GetSearcheType(), SEARCHER_NONE);
    node->SetID(77);
    std::unique_ptr<IFileNode> clone(node->Clone());
    EXPECT_STREQ(clone->GetFileName(), "dir");
    EXPECT_TRUE(clone->IsDeleted());
    EXPECT_EQ(clone->GetCurrentNodeID(), -1);
    EXPECT_EQ(dynamic_cast<CExFatFileNode*>(clone.get())->GetFirstCluster(), -1);
    node->SetFileName("..hidden");
    node->FilterFileNameByDot();
    EXPECT_STREQ(node->GetFileName(), "hidden");
}

TEST(ExfatPartition, FatPagesAreBoundedAndNeverUninitialised) {
    salvor::test::TempDir dir;
    const std::string img = dir.file("fat.img");
    // 11 MiB of FAT entries: entry i holds i + 1.
    {
        std::ofstream f(img, std::ios::binary);
        std::vector<std::uint32_t> entries(11u * 0x40000);
        for (std::uint32_t i = 0; i < entries.size(); ++i) entries[i] = i + 1;
        f.write(reinterpret_cast<const char*>(entries.data()), static_cast<std::streamsize>(entries.size() * 4));
        const std::string pad(4096, '\0');
        f.write(pad.data(), pad.size());
    }
    ImageDevice device(img, 512);
    CFatTable fat;
    EXPECT_FALSE(fat.CreateFatTable(nullptr, 0, 100, 0));
    EXPECT_FALSE(fat.CreateFatTable(&device, 0, 0, 0));
    EXPECT_FALSE(fat.CreateFatTable(&device, 0, static_cast<std::uint32_t>(device.GetTotalSectors()), 0));
    const std::uint32_t fatSectors = 11u * 2048 - 3; // the last page is partial
    ASSERT_TRUE(fat.CreateFatTable(&device, 0, fatSectors, 0));
    EXPECT_EQ(fat.GetNextCluster(5), 6u);
    for (std::uint32_t page = 1; page < 10; ++page) EXPECT_EQ(fat.GetNextCluster(page * 0x40000 + 3), page * 0x40000 + 4);
    EXPECT_EQ(fat.Pages().PageCount(), 9u);
    // The tenth distinct page drops the one with the lowest sector.
    EXPECT_EQ(fat.Pages().PageKeys().front(), 2048);
    // Entries past the FAT's length are never answered from the page's tail.
    const std::uint32_t lastEntry = fatSectors * 512 / 4 - 1;
    EXPECT_EQ(fat.GetNextCluster(lastEntry), lastEntry + 1);
    EXPECT_EQ(fat.GetNextCluster(lastEntry + 1), 0xFFFFFFFFu);
    EXPECT_EQ(fat.GetNextCluster(0xFFFFFFFFu), 0xFFFFFFFFu);
    EXPECT_LE(fat.Pages().PageCount(), 9u);
    // A failing read answers the end mark, not stale bytes.
    fat.ClearFatData();
    EXPECT_FALSE(fat.IsValid());
    EXPECT_EQ(fat.GetNextCluster(5), 0xFFFFFFFFu);
    device.FailSector(2048 * 3);
    ASSERT_TRUE(fat.CreateFatTable(&device, 0, fatSectors, 0));
    EXPECT_EQ(fat.GetNextCluster(3 * 0x40000), 0xFFFFFFFFu);
}

} // namespace
