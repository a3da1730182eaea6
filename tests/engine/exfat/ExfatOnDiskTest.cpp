// Boot sector, recogniser, entry tests, checksum, folder analyser, runs and
// the FAT page cache.
#include "engine/common/DataRunList.h"
#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatEntries.h"
#include "engine/exfat/ExfatFileNode.h"
#include "engine/exfat/ExfatFileSet.h"
#include "engine/exfat/ExfatPartition.h"
#include "tests/engine/exfat/ExfatTestSupport.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <tuple>

#include <cstring>
#include <functional>
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

void Put32(std::vector<std::uint8_t>& b, std::size_t off, std::uint32_t v) { salvor::test::PutLe32(b, off, v); }

TEST(ExfatBoot, PlausibilityEdges) {
    const auto good = BootOf(salvor::test::FixtureFile("exfat_quick", "exfat_512.img"), 512);
    const CExFatDBR dbr(good);
    // The cluster count of a heap that ends exactly at the volume's end.
    const auto fits = static_cast<std::uint32_t>(
        (dbr.GetTotalSectors() - dbr.GetDataRegionStartSector()) / dbr.GetSectorsperCluster() + 1);
    const struct {
        std::function<void(std::vector<std::uint8_t>&)> change;
        bool valid;
        unsigned deviceSector = 512;
    } rows[] = {
        {[](auto&) {}, true},
        {[](auto&) {}, false, 4096}, // a 4096-byte device
        {[](auto& b) { std::memcpy(&b[3], "exfat   ", 8); }, false},
        {[](auto& b) { b[40] = 1; }, false},
        {[](auto& b) { b[510] = 0; }, false},
        {[](auto& b) { b[108] = 12; }, false},
        {[](auto& b) { b[110] = 3; }, false},
        {[](auto& b) { Put32(b, 96, 1); }, false},
        // Shifts 12 and 14 (sum 26) fail even on a 4096-byte device; 9 and 16 pass when the heap still fits.
        {[](auto& b) { b[108] = 12, b[109] = 14; }, false, 4096},
        {[](auto& b) { b[109] = 16, Put32(b, 92, 1); }, true},
        {[&](auto& b) { Put32(b, 92, fits + 1); }, false}, // a heap one cluster past the volume
        {[&](auto& b) { Put32(b, 92, fits); }, true},
        {[](auto& b) { b.resize(100); }, false}, // too short a buffer
    };
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        auto b = good;
        rows[i].change(b);
        EXPECT_EQ(CExFatDBR(b).IsValid(rows[i].deviceSector), rows[i].valid) << "row " << i;
    }
}

// --- entries -------------------------------------------------------------

constexpr std::uint32_t kStamp = (44u << 25) | (3u << 21) | (15u << 16) | (10u << 11) | (30u << 5) | 7u;

// Entries appended one by one; every call answers the builder.
struct SetBuilder {
    std::vector<std::uint8_t> bytes;
    // Appends a zero entry of this type; answers its offset.
    std::size_t Add(std::uint8_t type) {
        bytes.resize(bytes.size() + 32, 0);
        bytes[bytes.size() - 32] = type;
        return bytes.size() - 32;
    }
    SetBuilder& File(std::uint8_t type, int secondary, std::uint16_t attr = 0x20) {
        const std::size_t e = Add(type);
        bytes[e + 1] = static_cast<std::uint8_t>(secondary);
        bytes[e + 4] = static_cast<std::uint8_t>(attr);
        for (std::size_t off : {8u, 12u, 16u})
            Put32(bytes, e + off, kStamp);
        return *this;
    }
    SetBuilder& Stream(std::uint8_t type, std::uint8_t nameLength, std::uint32_t first,
                       std::uint64_t length) {
        const std::size_t e = Add(type);
        bytes[e + 1] = 3; // allocation possible, no FAT chain
        bytes[e + 3] = nameLength;
        Put32(bytes, e + 20, first);
        exfat_test::Put(bytes, e + 8, length);
        exfat_test::Put(bytes, e + 24, length);
        return *this;
    }
    SetBuilder& Name(std::uint8_t type, const std::u16string& part) {
        const std::size_t e = Add(type);
        for (std::size_t i = 0; i < part.size() && i < 15; ++i)
            exfat_test::Put(bytes, e + 2 + 2 * i, part[i]);
        return *this;
    }
    // A whole set with a correct checksum.
    SetBuilder& Set(const std::u16string& name, std::uint32_t first, std::uint64_t length,
                    bool deleted = false, std::uint16_t attr = 0x20) {
        const std::size_t start = bytes.size();
        const int names = static_cast<int>((name.size() + 14) / 15);
        File(deleted ? 0x05 : 0x85, names + 1, attr);
        Stream(deleted ? 0x40 : 0xC0, static_cast<std::uint8_t>(name.size()), first, length);
        for (int i = 0; i < names; ++i)
            Name(deleted ? 0x41 : 0xC1, name.substr(15 * i, 15));
        return Seal(start);
    }
    SetBuilder& Seal(std::size_t start) {
        exfat_test::Put(bytes, start + 2, exfat::EntrySetChecksum(std::span(bytes).subspan(start)));
        return *this;
    }
    SetBuilder& Raw(std::uint8_t type) { return Add(type), *this; }
    SetBuilder& Poke(std::size_t offset, std::uint8_t value) { return bytes.at(offset) = value, *this; }
};

std::vector<_tagFileBaseInfo> Analyse(const std::vector<std::uint8_t>& cluster, bool* more = nullptr) {
    CEFDTAnalyze a;
    a.PrepareAnayze(9, 12, 1 << 20);
    const bool r = a.Analyze(cluster, 100);
    if (more) *more = r;
    return a.Records();
}

// Only characters up to U+00FF are held to the table (also: the fixtures' names against fls).
TEST(ExfatEntries, NameCharacters) {
    for (auto [c, valid] : {std::pair{u'\u0100', true}, {u'\u0300', true}, {char16_t(0xD83D), true}, {u'*', false},
                            {u'"', false}, {u'\xFF', false}, {u'\0', false}})
        EXPECT_EQ(exfat::IsValidNameEntry(SetBuilder().Name(0xC1, c ? std::u16string(u"a") + c : u"").bytes), valid)
            << int(c);
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

// The names found in one folder cluster and whether the folder goes on.
void ExpectSets(const SetBuilder& s, const std::vector<std::string>& names, bool more, const char* what) {
    bool goesOn = true;
    std::vector<std::string> found;
    for (const auto& rec : Analyse(s.bytes, &goesOn))
        found.push_back(rec.name);
    EXPECT_EQ(found, names) << what;
    EXPECT_EQ(goesOn, more) << what;
}

TEST(ExfatEntries, SetsOfAFolderCluster) {
    SetBuilder root;
    root.Raw(0x83).Raw(0x81).Raw(0x82).Set(u"a.txt", 5, 10).Set(u"Folder", 6, 4096, false, 0x10);
    root.Set(u"gone.bin", 7, 10, true).bytes.resize(4096, 0);
    ExpectSets(root, {"a.txt", "Folder", "gone.bin"}, false,
               "label, bitmap, up-case, then sets; the end entry");
    const auto records = Analyse(root.bytes);
    EXPECT_EQ(records.at(0).metadataSector, 100);
    EXPECT_EQ(records.at(1).attributes, 0x10);
    EXPECT_EQ(records.at(2).inUse, 0);
    ExpectSets(SetBuilder().Set(std::u16string(14, u'a') + u"\U0001F600b", 5, 10),
               {std::string(14, 'a') + "\xF0\x9F\x98\x80"
                                       "b"},
               true, "a surrogate pair split across name entries");
    std::string cut;
    for (int i = 0; i < 86; ++i)
        cut += "\u3042";
    ExpectSets(SetBuilder().Set(std::u16string(200, u'\u3042'), 5, 10), {cut}, true,
               "200 three-byte characters cut at 259 bytes, whole characters");
    ExpectSets(SetBuilder().File(0x85, 2).Name(0xC1, u"x").Stream(0xC0, 1, 5, 10).Set(u"next", 6, 10),
               {"next"}, true, "a stream not right after the file entry: dropped, the next set read");
    ExpectSets(SetBuilder().File(0x85, 2).Stream(0x40, 1, 5, 10).Name(0x41, u"x"), {}, true,
               "an in-use file entry with a deleted stream: dropped");
    ExpectSets(SetBuilder().Set(u"one", 5, 10).Raw(0xA0).Set(u"two", 6, 10), {"one"}, false,
               "a GUID entry ends the folder");
    ExpectSets(SetBuilder()
                   .File(0x85, 2)
                   .Poke(8, 0)
                   .Poke(9, 0)
                   .Poke(10, 0)
                   .Poke(11, 0)
                   .Stream(0xC0, 1, 5, 10)
                   .Name(0xC1, u"x"),
               {}, false, "a zero creation time (without a matching checksum) ends the folder");
    ExpectSets(SetBuilder().Raw(0x83).Poke(1, 15).Poke(30, 'x').Set(u"after-label", 5, 10), {"after-label"},
               true, "a malformed label (15 characters, as some formatters write) is passed over");
    ExpectSets(
        SetBuilder().File(0x85, 2, 0x10).Poke(7, 0x80).Stream(0xC0, 3, 9, 4096).Name(0xC1, u"efs").Seal(0),
        {"efs"}, true, "reserved bytes set (as Windows' EFS does) pass when the checksum holds");
    // Without a matching checksum, at most 17 name entries (255 characters) follow the stream.
    for (const int names : {17, 18}) {
        SetBuilder set;
        set.File(0x85, names + 1).Stream(0xC0, 1, 5, 10);
        for (int i = 0; i < names; ++i)
            set.Name(0xC1, u"x");
        ExpectSets(set, names == 17 ? std::vector<std::string>{"x"} : std::vector<std::string>{}, names == 17,
                   names == 17 ? "17 name entries" : "18 name entries end the folder");
    }
}

// The quick and the deep search read one set's name alike, through the one
// decoder, whatever the stream's name length says, and both refuse a set
// whose entries are not all deleted or all in use.
TEST(ExfatEntries, QuickAndDeepSearchNameASetAlike) {
    const auto withLength = [](std::u16string units, int length) {
        SetBuilder s;
        s.Set(units, 5, 10);
        return s.Poke(32 + 3, static_cast<std::uint8_t>(length)).Seal(0);
    };
    const std::string units255(255, 'x');
    const struct {
        SetBuilder set;
        std::string name;
        const char* what;
    } rows[] = {
        {withLength(u"hello.txt", 9), "hello.txt", "the plain case"},
        {withLength(u"hello.txt", 5), "hello", "a length shorter than the units"},
        {withLength(u"abc", 0), "abc", "length 0: every unit up to the NUL fill"},
        {withLength(u"abcdef", 40), "abcdef", "a length past the name entries"},
        {withLength(std::u16string(u"ab\0cd", 5), 5), "ab", "a NUL inside the name ends it"},
        {withLength(std::u16string(255, u'x'), 255), units255, "255 units in 17 name entries"},
        // Deleted and in-use entries mixed in one set (its checksum holding): no file.
        {withLength(u"mixed.txt", 9).Poke(32, 0x40).Seal(0), "", "an in-use file with a deleted stream"},
        {withLength(u"mixed.txt", 9).Poke(64, 0x41).Seal(0), "",
         "an in-use file and stream with a deleted name"},
        {SetBuilder().Set(u"mixed.txt", 5, 10, true).Poke(64, 0xC1).Seal(0), "",
         "a deleted set with an in-use name"},
    };
    for (const auto& r : rows) {
        auto cluster = r.set.bytes;
        cluster.resize(4096, 0);
        std::vector<std::string> quick, deep;
        for (const auto& rec : Analyse(cluster))
            quick.push_back(rec.name);
        CFDTPreAnaylze d;
        d.PrepareAnayze(9, 25, 1 << 20);
        cluster.resize(cluster.size() + 1024, 0);
        for (std::size_t i = 0; i < 8; ++i)
            d.Analyze(static_cast<std::int64_t>(100 + i), exfat::Bytes(cluster).subspan(i * 512, 1536));
        for (std::unique_ptr<CFileSet> f; d.GetFileSet(f);) {
            for (const auto& rec : f->inUse)
                deep.push_back(rec.name);
            for (const auto& rec : f->deleted)
                deep.push_back(rec.name);
        }
        EXPECT_EQ(quick, r.name.empty() ? std::vector<std::string>{} : std::vector<std::string>{r.name})
            << r.what;
        EXPECT_EQ(deep, quick) << r.what;
    }
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

    // Never across an unreadable sector: a cluster of three sectors, the
    // second lost. The set it cuts is lost alone (its file entry is not
    // joined with the stream and name of the set after it), and its zeros
    // do not end the folder: the set after it is read.
    SetBuilder c;
    c.Set(u"one", 5, 10);
    while (c.bytes.size() < 480) c.Raw(0x83);
    c.File(0x85, 2);
    c.bytes.resize(1024, 0);
    SetBuilder two;
    two.Set(u"two", 6, 10);
    c.bytes.insert(c.bytes.end(), two.bytes.begin() + 32, two.bytes.end());
    c.Set(u"three", 7, 10).bytes.resize(1536, 0);
    a.ClearRecords();
    a.BeginFolder();
    EXPECT_FALSE(a.AnalyzeAround(c.bytes, 100, {false, true, false})); // the end entry after "three"
    std::vector<std::string> names;
    for (const auto& r : a.Records()) names.push_back(r.name);
    EXPECT_EQ(names, (std::vector<std::string>{"one", "three"}));
}

TEST(ExfatEntries, TimestampsInUtc) {
    salvor::test::ScopedTz utc("UTC");
    EXPECT_FALSE(exfat::IsValidTimestamp(0));
    EXPECT_TRUE(exfat::IsValidTimestamp(kStamp));
    EXPECT_FALSE(exfat::IsValidTimestamp(kStamp | (13u << 21)));
    // 2024-03-15 10:30:14 in 100 ns units since 1601.
    EXPECT_EQ(exfat::DosTime2FileTime(kStamp).Value(), 133549722140000000ull);
}

// --- runs, nodes and the FAT --------------------------------------------

TEST(ExfatPartition, RunsAndNodesFromRecords) {
    CExFatPartition p;
    p.SetGeometry(512, 8, 1000, 4, 2048);
    _tagFileBaseInfo file;
    file.firstCluster = 5;
    file.dataLength = 10000;
    file.contiguous = 1;
    file.inUse = 1;
    // A folder, an empty file and a bad first cluster have no runs; a chained
    // file without a FAT its first cluster only.
    const struct {
        void (*change)(_tagFileBaseInfo&);
        std::vector<DataRun> runs;
    } rows[] = {{[](_tagFileBaseInfo&) {}, {{3, 3}}},
                {[](_tagFileBaseInfo& x) { x.attributes = 0x10; }, {}},
                {[](_tagFileBaseInfo& x) { x.dataLength = 0; }, {}},
                {[](_tagFileBaseInfo& x) { x.firstCluster = 1; }, {}},
                {[](_tagFileBaseInfo& x) { x.contiguous = 0; }, {{3, 1}}}};
    for (const auto& r : rows) {
        _tagFileBaseInfo y = file;
        r.change(y);
        IDataRunList* l = p.BuildFileDataRun(y);
        std::vector<std::pair<long long, long long>> runs, want;
        for (const DataRun& d : dynamic_cast<CDataRunList*>(l)->Runs()) runs.emplace_back(d.start, d.length);
        for (const DataRun& d : r.runs) want.emplace_back(d.start, d.length);
        l->Release();
        EXPECT_EQ(runs, want);
    }
    // Cluster 1 is no data cluster; 1001 is the heap's last.
    EXPECT_EQ(std::tuple(p.ConvertClusterNumToSector(1), p.GetNextCluster(7, true), p.GetNextCluster(1001, true)),
              std::tuple(0LL, 8u, 0xFFFFFFFFu));

    // A deleted contiguous folder: its flags carried to the node; a clone has no id.
    _tagFileBaseInfo dir = file;
    dir.inUse = 0;
    dir.attributes = 0x10;
    dir.name = "..dir";
    dir.metadataSector = 4242;
    std::unique_ptr<CExFatFileNode> node(p.BuildFile(dir));
    node->FilterFileNameByDot();
    EXPECT_TRUE(node->IsDirectory() && node->IsDeleted() && node->IsFatInvalid());
    EXPECT_EQ(std::tuple(node->GetFirstCluster(), node->GetMetadataStartPosition(), std::string(node->GetFileName())),
              std::tuple(5LL, 4242LL, std::string("dir")));

    // The stream's valid data length: the bytes past it read as zeros.
    std::vector<std::uint8_t> stream(32, 0);
    stream[0] = 0xC0;
    stream[8] = 100;                  // valid data length
    stream[24] = 0x10, stream[25] = 1; // data length 272
    _tagFileBaseInfo decoded;
    exfat::DecodeStreamEntry(stream, decoded);
    std::unique_ptr<CExFatFileNode> written(p.BuildFile(decoded));
    EXPECT_EQ(std::pair(written->GetFileSize(), written->GetInitializedSize()), std::pair(272LL, 100LL));
    EXPECT_EQ(std::unique_ptr<CExFatFileNode>(static_cast<CExFatFileNode*>(written->Clone()))->GetInitializedSize(), 100);

    // A stream's extent on a volume of 1000 sectors of 512 bytes, at its edges.
    const struct {
        std::uint32_t first;
        std::uint64_t length;
        bool plausible;
    } extents[] = {{2, 999 * 512 + 511, true},  {2, 1000 * 512, false},  {1, 100, false},
                   {0xFFFFFFF6u, 100, true},     {0xFFFFFFF7u, 100, false}};
    for (const auto& x : extents) {
        std::vector<std::uint8_t> e = stream;
        for (int i = 0; i < 4; ++i) e[20 + i] = static_cast<std::uint8_t>(x.first >> (8 * i));
        for (int i = 0; i < 8; ++i) e[24 + i] = static_cast<std::uint8_t>(x.length >> (8 * i)), e[8 + i] = 0;
        EXPECT_EQ(exfat::IsPlausibleStreamExtent(e, 1000, 9, 12), x.plausible) << x.first << " " << x.length;
    }
}

TEST(ExfatPartition, FatPagesAreBoundedAndNeverUninitialised) {
    salvor::test::TempDir dir;
    const std::string img = dir.file("fat.img");
    // 11 MiB of FAT entries: entry i holds i + 1.
    {
        std::ofstream f(img, std::ios::binary);
        std::vector<std::uint32_t> entries(11u * 0x40000);
        for (std::uint32_t i = 0; i < entries.size(); ++i)
            entries[i] = i + 1;
        f.write(reinterpret_cast<const char*>(entries.data()),
                static_cast<std::streamsize>(entries.size() * 4));
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
    for (std::uint32_t page = 1; page < 10; ++page)
        EXPECT_EQ(fat.GetNextCluster(page * 0x40000 + 3), page * 0x40000 + 4);
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
    // and costs only its own sector's entries: the rest of the page answers.
    EXPECT_EQ(fat.GetNextCluster(3 * 0x40000 + 128), 3u * 0x40000 + 129);
}

} // namespace
