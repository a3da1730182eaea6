// Crafted and damaged HFS+ structures: the header test, key orders, node
// tests, clamped keys and records, B-tree cycles, journal headers, names, and
// the ownership of the opened volume by the quick searcher.
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "engine/utility/CatchExeception.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>

using namespace hfsplus;
using namespace salvor::test;

namespace {

std::vector<std::uint8_t> SampleHeader() {
    return ReadBytes(TestData() + "/dfvfs/hfsplus.raw", 1024, 512);
}

TEST(HfsHeader, TestRefusesImpossibleHeaders) {
    struct Case {
        const char* what;
        std::size_t off;
        std::uint64_t value;
        int n;
        bool valid, openable; // the whole test; what opening the volume needs
    };
    const Case cases[] = {{"as made", 0, 0x482B, 2, true, true},
                          {"HFSX", 0, 0x4858, 2, true, true},
                          {"other signature", 0, 0x4244, 2, false, false},
                          {"version 17", 2, 17, 2, false, false},
                          {"block size 0", 40, 0, 4, false, false},
                          {"block size 4100", 40, 4100, 4, false, false},
                          {"free > total", 48, 0xFFFFFFFF, 4, false, false},
                          {"journal info block > total", 12, 0xFFFFFFFF, 4, true, true},
                          {"catalog size", 272, 12345, 8, false, true}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> h = SampleHeader();
        ASSERT_EQ(h.size(), 512u);
        PutBe(h, c.off, c.value, c.n);
        EXPECT_EQ(IsValidVolumeHeader(h.data(), 512), c.valid) << c.what;
        EXPECT_EQ(IsOpenableVolumeHeader(h.data(), 512), c.openable) << c.what;
    }
    EXPECT_FALSE(IsValidVolumeHeader(SampleHeader().data(), 511));
    EXPECT_FALSE(IsOpenableVolumeHeader(SampleHeader().data(), 511));
}

BTKey Cat(std::uint32_t parent, std::u16string name) {
    BTKey k;
    k.parentID = parent;
    k.name = std::move(name);
    return k;
}

TEST(HfsKeys, CatalogAndExtentOrders) {
    struct Case {
        std::u16string a, b;
        std::uint8_t type;
        int want;
    };
    const Case cases[] = {{u"Read Me", u"read me", 0xCF, 0}, {u"Read Me", u"read me", 0xBC, -1},
                          {u"B", u"a", 0xBC, -1},             {u"B", u"a", 0xCF, 1},
                          {u"a:b", u"a/b", 0xCF, 0},          {u"a:b", u"a/b", 0xBC, 0},
                          {u"", u"a", 0xBC, -1},              {u"ab", u"a", 0xBC, 1},
                          {u"a\u200Cb", u"ab", 0xCF, 0},      {u"\u00C6", u"\u00E6", 0xCF, 0},
                          {u"\u0391", u"\u03B1", 0xCF, 0},    {u"\uFF21", u"\uFF41", 0xCF, 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(CompareCatalogKey(Cat(5, c.a), Cat(5, c.b), c.type), c.want)
            << std::string(c.a.begin(), c.a.end()) << " " << int(c.type);
        EXPECT_EQ(CompareCatalogKey(Cat(5, c.b), Cat(5, c.a), c.type), -c.want);
    }
    EXPECT_EQ(CompareCatalogKey(Cat(4, u"z"), Cat(5, u"a"), 0xCF), -1);
    BTKey data20, rsrc20, data21;
    data20.parentID = rsrc20.parentID = 20;
    data21.parentID = 21;
    rsrc20.forkType = 0xFF;
    data20.startBlock = 900;
    EXPECT_LT(CompareExtentKey(data20, rsrc20), 0);
    EXPECT_LT(CompareExtentKey(rsrc20, data21), 0);
}

// A node of size bytes holding records, with its offset table.
std::vector<std::uint8_t> Node(std::int8_t kind, std::uint8_t height, const std::vector<std::vector<std::uint8_t>>& records,
                               std::size_t size = 512) {
    std::vector<std::uint8_t> n(size, 0);
    n[8] = static_cast<std::uint8_t>(kind);
    n[9] = height;
    PutBe(n, 10, records.size(), 2);
    std::size_t at = 14;
    for (std::size_t i = 0; i <= records.size(); ++i) {
        PutBe(n, size - 2 - 2 * i, at, 2);
        if (i < records.size()) {
            std::memcpy(n.data() + at, records[i].data(), records[i].size());
            at += records[i].size();
        }
    }
    return n;
}

// A catalog key (parent, empty name) followed by tail bytes.
std::vector<std::uint8_t> KeyRecord(std::uint32_t parent, std::vector<std::uint8_t> tail) {
    // The tail is put behind the key in place: GCC 12 at -O2 takes an insert
    // behind 8 bytes for a write past them.
    tail.insert(tail.begin(), 8, 0);
    PutBe(tail, 0, 6, 2);
    PutBe(tail, 2, parent, 4);
    return tail;
}

TEST(HfsNodes, ValidityAndClampedKeys) {
    const auto leaf = Node(-1, 1, {KeyRecord(2, {0, 1})});
    EXPECT_TRUE(CHFSPlusBTNode::IsValidNode(leaf.data(), leaf.size()));
    auto badHeight = leaf;
    badHeight[9] = 2;
    auto badKind = leaf;
    badKind[8] = 5;
    auto notIncreasing = Node(-1, 1, {KeyRecord(2, {}), KeyRecord(3, {})}, 8192);
    PutBe(notIncreasing, 8192 - 4, 10, 2);
    auto hugeCount = leaf;
    PutBe(hugeCount, 10, 0xFFFF, 2);
    auto intoTheTable = leaf; // a record starting inside the offset table
    PutBe(intoTheTable, 512 - 4, 510, 2);
    for (const auto* n : {&badHeight, &badKind, &notIncreasing, &hugeCount, &intoTheTable})
        EXPECT_FALSE(CHFSPlusBTNode::IsValidNode(n->data(), n->size()));

    BTKey key;
    std::vector<std::uint8_t> rec = KeyRecord(2, {0, 0});
    PutBe(rec, 0, 0xFFFF, 2); // keyLength past the record
    EXPECT_FALSE(ReadCatalogKey(rec, key));
    rec = KeyRecord(2, {'a', 0, 'b', 0});
    PutBe(rec, 0, 8, 2);
    PutBe(rec, 6, 255, 2); // 255 units claimed in a key of room for one
    ASSERT_TRUE(ReadCatalogKey(rec, key));
    EXPECT_EQ(key.name.size(), 1u);
    std::vector<std::uint8_t> attr(14 + 4, 0);
    PutBe(attr, 0, 14, 2);
    PutBe(attr, 12, 255, 2);
    ASSERT_TRUE(ReadAttributeKey(attr, key));
    EXPECT_EQ(key.name.size(), 1u);
    // Inline data claiming more than the record holds keeps what is there.
    std::vector<std::uint8_t> inline16(20, 7);
    PutBe(inline16, 0, kAttrInlineData, 4);
    PutBe(inline16, 12, 0xFFFFFFFF, 4);
    HFSPlusAttrRecord a;
    ASSERT_TRUE(ReadAttributeRecord(inline16, a));
    EXPECT_EQ(a.data.size(), 4u);
}

TEST(HfsNodes, ExtentsAreClippedToTheForksBlocks) {
    HFSPlusExtentRecord r{};
    r[0] = {10, 5};
    r[1] = {100, 0xFFFFFFF0};
    r[2] = {200, 7};
    std::uint32_t remaining = 9;
    std::vector<HFSPlusExtentDescriptor> out;
    EXPECT_EQ(AppendExtents(r, remaining, out), 9u);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[1].blockCount, 4u);
    EXPECT_EQ(remaining, 0u);
}

// A tree file in memory.
class MemFile : public CHFSPlusRawfile {
public:
    explicit MemFile(std::vector<std::uint8_t> bytes) : CHFSPlusRawfile(nullptr, 4, {}), m_bytes(std::move(bytes)) {}
    std::uint64_t Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) override {
        if (offset >= m_bytes.size()) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(length, m_bytes.size() - offset);
        std::memcpy(buffer, m_bytes.data() + offset, n);
        return n;
    }

private:
    std::vector<std::uint8_t> m_bytes;
};

// Header node 0 (root 1; totalNodes as the nodes given unless told), then the nodes.
std::vector<std::uint8_t> Tree(const std::vector<std::vector<std::uint8_t>>& nodes, std::uint32_t totalNodes = 0) {
    std::vector<std::uint8_t> header(106, 0);
    PutBe(header, 2, 1, 4);
    PutBe(header, 18, 512, 2);
    PutBe(header, 22, totalNodes ? totalNodes : 1 + nodes.size(), 4);
    header[37] = 0xCF;
    std::vector<std::uint8_t> file = Node(1, 0, {header});
    for (const auto& n : nodes) file.insert(file.end(), n.begin(), n.end());
    return file;
}

TEST(HfsTrees, CyclesAndKeysBelowTheIndexFail) {
    struct Case {
        const char* what;
        std::vector<std::vector<std::uint8_t>> nodes;
        std::uint32_t searchParent;
        std::uint32_t totalNodes = 0;
    };
    const Case cases[] = {
        {"index child is itself", {Node(0, 2, {KeyRecord(5, {0, 0, 0, 1})})}, 7},
        {"child back to parent", {Node(0, 2, {KeyRecord(5, {0, 0, 0, 2})}), Node(0, 1, {KeyRecord(5, {0, 0, 0, 1})})}, 7},
        {"key below every index key", {Node(0, 2, {KeyRecord(5, {0, 0, 0, 2})}), Node(-1, 1, {KeyRecord(5, {0, 1})})}, 3},
        // 2^32 - 1 nodes claimed: the walk keeps only the nodes it meets.
        {"self child in a huge tree", {Node(0, 2, {KeyRecord(5, {0, 0, 0, 1})})}, 7, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        MemFile file(Tree(c.nodes, c.totalNodes));
        CHFSPlusCatalog tree(&file);
        ASSERT_TRUE(tree.GetHeaderRec()) << c.what;
        HFSPlusSearchResult result;
        const ResultCode rc = tree.Search(Cat(c.searchParent, u""), result);
        EXPECT_EQ(ResultError(rc), kErrInvalid) << c.what;
        EXPECT_EQ(result.found, 0) << c.what;
        if (c.searchParent == 7) {
            const ResultCode walk = tree.Traverse([](const BTKey&, bytes::Bytes) { return true; }, nullptr);
            EXPECT_EQ(ResultError(walk), kErrInvalid) << c.what;
        }
    }
    // Two index records naming one leaf: it is listed once, then the walk ends as damage.
    MemFile shared(Tree({Node(0, 2, {KeyRecord(5, {0, 0, 0, 2}), KeyRecord(6, {0, 0, 0, 2})}),
                         Node(-1, 1, {KeyRecord(5, {0, 1})})}));
    CHFSPlusCatalog sharedTree(&shared);
    ASSERT_TRUE(sharedTree.GetHeaderRec());
    int leaves = 0;
    const ResultCode walk = sharedTree.Traverse([&](const BTKey&, bytes::Bytes) { return ++leaves, true; }, nullptr);
    EXPECT_EQ(ResultError(walk), kErrInvalid);
    EXPECT_EQ(leaves, 1);
}

TEST(HfsJournal, HeadersThatWouldStallTheScanAreRefused) {
    struct Case {
        const char* what;
        std::uint32_t magic, endian, blhdr, jhdr;
        bool usable;
    };
    const Case cases[] = {{"as macOS writes", kJournalMagic, kJournalEndian, 4096, 512, true},
                          {"byte-swapped", 0x784C4E4A, 0x78563412, 4096, 512, false},
                          {"jhdr_size 0", kJournalMagic, kJournalEndian, 4096, 0, false},
                          {"jhdr_size 100", kJournalMagic, kJournalEndian, 4096, 100, false},
                          {"jhdr_size >= size", kJournalMagic, kJournalEndian, 4096, 1 << 20, false},
                          {"blhdr_size 16", kJournalMagic, kJournalEndian, 16, 512, false}};
    for (const Case& c : cases) {
        std::vector<std::uint8_t> b(44, 0);
        auto le = [&](std::size_t off, std::uint64_t v, int n) { PutLe(b, off, v, static_cast<std::size_t>(n)); };
        le(0, c.magic, 4);
        le(4, c.endian, 4);
        le(8, 512, 8);
        le(16, 512, 8);
        le(24, 1 << 20, 8);
        le(32, c.blhdr, 4);
        le(40, c.jhdr, 4);
        JournalHeader h;
        EXPECT_EQ(CHFSPlusJournal::ParseHeader(b, 1 << 20, h), c.usable) << c.what;
    }
}

TEST(HfsNames, WholeNamesConvertAndShowNoSeparator) {
    EXPECT_EQ(CatalogNameToUtf8(u"bad\xD800 pair"), "bad\xEF\xBF\xBD pair");
    EXPECT_EQ(CatalogNameToUtf8(std::u16string(u"\0\0HFS+ Private Data", 20)), "HFS+ Private Data");
    EXPECT_EQ(CatalogNameToUtf8(u"x/y/z"), "x:y:z");
}

TEST(HfsVolume, OpensOnSectorsLargerThanEightKiB) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw", 16384);
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    HFSPlusSearchResult result;
    EXPECT_EQ(volume.Search(kCatalogFileId, Cat(kRootFolderId, u"passwords.txt"), result), 0u);
    EXPECT_EQ(result.found, 1);
}

// A read past the device's end answers what it got and says so in the log
// (not on its own line of standard output).
TEST(HfsVolume, AShortReadIsLogged) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw");
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    const std::uint64_t end = device.GetTotalSectors() * device.GetSectorSize();
    std::vector<unsigned char> buf(1024);
    EXPECT_LT(volume.Read(end - 512, buf.data(), buf.size()), buf.size());
    const std::string log = ReadText(std::string(CatchExeception::GetWorkPath()) + "/recovery.log");
    const std::string line = "Location" + std::to_string(end - 512) + "Size:";
    EXPECT_NE(log.rfind(line), std::string::npos) << line;
}

// A volume header whose sector cannot be read is answered by the alternate
// header 1024 bytes before the end of a device that is the volume, both by
// the recogniser and by opening; never by one that reads but is not a
// header, nor where the end is not the volume's (a start inside the device,
// an alternate that is no valid header or whose volume does not end there).
TEST(HfsVolume, AnUnreadableHeaderIsAnsweredByTheAlternateAtTheVolumesEnd) {
    const std::string sample = TestData() + "/dfvfs/hfsplus.raw";
    const std::vector<std::uint8_t> whole = ReadBytes(sample, 0, 8112 * 512);
    ASSERT_EQ(whole.size(), 8112u * 512); // 1014 blocks of 4 KiB, alternate at byte 8110 * 512
    const std::vector<std::uint8_t> alternate(whole.end() - 1024, whole.end() - 512);
    struct Case {
        const char* what;
        std::size_t before, after; // zero bytes around the volume
        std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> writes; // at, into the copy
        std::vector<long long> failing;                                          // device sectors
        unsigned long long startSector, windowSectors;
        bool known;
    };
    const std::vector<std::uint8_t> noHeader(512, 0);
    std::vector<std::uint8_t> badCatalog = alternate;
    PutBe(badCatalog, 272, 12345, 8);
    const Case cases[] = {
        {"header unreadable", 0, 0, {}, {2}, 0, 0, true},
        {"header reads but is no header", 0, 0, {{1024, noHeader}}, {}, 0, 0, false},
        {"alternate unreadable too", 0, 0, {}, {2, 8110}, 0, 0, false},
        {"alternate no valid header", 0, 0, {{8110 * 512, badCatalog}}, {2}, 0, 0, false},
        {"start inside the device", 512, 0, {}, {3}, 1, 0, false},
        {"the same volume at a window's start", 512, 0, {}, {3}, 0, 8112, true},
        {"device one sector past the volume", 0, 512, {{8111 * 512, alternate}}, {2}, 0, 0, true},
        {"device one block past the volume", 0, 4096, {{8118 * 512, alternate}}, {2}, 0, 0, false},
        {"volume past the device", 0, 0, {{8102 * 512, alternate}}, {2}, 0, 8104, false},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string image = dir.file("volume.img");
        {
            std::vector<std::uint8_t> bytes(c.before, 0);
            bytes.insert(bytes.end(), whole.begin(), whole.end());
            bytes.resize(bytes.size() + c.after, 0);
            for (const auto& [at, data] : c.writes)
                std::copy(data.begin(), data.end(), bytes.begin() + at);
            std::ofstream(image, std::ios::binary | std::ios::trunc)
                .write(reinterpret_cast<const char*>(bytes.data()),
                       static_cast<std::streamsize>(bytes.size()));
        }
        const unsigned long long from = c.windowSectors ? c.before : 0;
        ImageDevice device(image, 512, from, c.windowSectors);
        for (long long sector : c.failing)
            device.FailSector(sector - static_cast<long long>(from / 512));
        std::unique_ptr<IVolumeAnalyze> analyzer(CreateHFSPlusVolumeAnalyze(&device, c.startSector));
        EXPECT_EQ(analyzer->GetFileSystemType(), c.known ? FS_HFSPLUS : FS_UNKNOWN) << c.what;
        if (c.known) {
            EXPECT_EQ(analyzer->GetTotalSector(), 8112u) << c.what;
        }
        if (c.startSector != 0) continue;
        CHFSPlusVolume volume(&device, false);
        EXPECT_EQ(volume.GetLastError() == 0, c.known) << c.what;
        if (!c.known) continue;
        HFSPlusSearchResult result;
        EXPECT_EQ(volume.Search(kCatalogFileId, Cat(kRootFolderId, u"passwords.txt"), result), 0u) << c.what;
        EXPECT_EQ(result.found, 1) << c.what;
    }
    const std::string log = ReadText(std::string(CatchExeception::GetWorkPath()) + "/recovery.log");
    EXPECT_NE(log.find("HFS+ volume header unreadable: the alternate header at byte 4152320 read instead"),
              std::string::npos);
}

// A deleted record is handed out as a copy that outlives the list, the found
// flag says whether there was one, and the list's dump goes into the log.
TEST(HfsVolume, DeletedRecordsAreCopiedOutAndDumpedIntoTheLog) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw");
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    BTKey key;
    key.keyLength = 6 + 2 * 9;
    key.parentID = 77;
    key.name = u"gone.file";
    HFSPlusCatalogRecord stored;
    stored.recordType = 2;
    stored.id = 4242;
    volume.m_deletedCatalog.push_front({key, stored});
    HFSPlusSearchResult result;
    HFSPlusCatalogRecord copy;
    ASSERT_TRUE(volume.FindDeleteCatalog(key, result, copy));
    EXPECT_EQ(result.found, 1);
    volume.m_deletedCatalog.clear();
    EXPECT_EQ(copy.id, 4242u);
    EXPECT_FALSE(volume.FindDeleteCatalog(key, result, copy));
    EXPECT_EQ(result.found, 0);
    HFSPlusExtentRecord extents;
    EXPECT_FALSE(volume.FindDeleteExtent(key, result, extents));

    volume.m_deletedCatalog.push_front({key, stored});
    volume.DumpMap();
    const std::string log = ReadText(std::string(CatchExeception::GetWorkPath()) + "/recovery.log");
    const auto begin = log.rfind("###Begin Dump Find Records###");
    ASSERT_NE(begin, std::string::npos);
    EXPECT_NE(log.find("parent 77 name gone.file", begin), std::string::npos);
    EXPECT_NE(log.find("###End Dump Find Records###", begin), std::string::npos);
}

// Without a builder the catalog walk lists its keys and records into the log;
// attribute data found outside a tree is never vouched for.
TEST(HfsQuickSearch, WithoutABuilderTheCatalogIsListedIntoTheLog) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw");
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    RecordingProgress sink;
    CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
    EXPECT_EQ(QuickSearchVolume(volume, nullptr, progress), 0u);
    const std::string log = ReadText(std::string(CatchExeception::GetWorkPath()) + "/recovery.log");
    EXPECT_NE(log.find("name passwords.txt\n"), std::string::npos);
    EXPECT_NE(log.find("catalog record type 2 id "), std::string::npos);
    EXPECT_FALSE(CHFSPlusAttribute::IsValidAttrData(bytes::Bytes()));
}

// Record copies are sized by their type, zero past what was stored, never
// longer than an inline attribute's bytes, and empty for unknown types.
TEST(HfsRecords, ClonesAreSizedByType) {
    std::vector<std::uint8_t> rec(40, 0xAB);
    const auto typed = [&](std::uint64_t type, int n) {
        std::vector<std::uint8_t> r = rec;
        PutBe(r, 0, type, n);
        return r;
    };
    struct Case {
        std::vector<std::uint8_t> (*clone)(bytes::Bytes);
        std::uint64_t type;
        int n;
        std::size_t size;
    };
    const Case cases[] = {{&CHFSPlusCatalog::CloneRecord, 1, 2, 88},   {&CHFSPlusCatalog::CloneRecord, 2, 2, 248},
                          {&CHFSPlusCatalog::CloneRecord, 3, 2, 520},  {&CHFSPlusCatalog::CloneRecord, 4, 2, 520},
                          {&CHFSPlusCatalog::CloneRecord, 5, 2, 0},    {&CHFSPlusAttribute::CloneRecord, 0x20, 4, 88},
                          {&CHFSPlusAttribute::CloneRecord, 0x30, 4, 72}, {&CHFSPlusAttribute::CloneRecord, 0x40, 4, 0},
                          {&CHFSPlusExtents::CloneRecord, 0, 1, 64}};
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> r = typed(c.type, c.n);
        const std::vector<std::uint8_t> copy = c.clone(r);
        ASSERT_EQ(copy.size(), c.size) << c.type;
        if (c.size == 0) continue;
        EXPECT_TRUE(std::equal(r.begin(), r.end(), copy.begin())) << c.type;
        EXPECT_EQ(copy.back(), 0) << c.type;
    }
    std::vector<std::uint8_t> inline16 = typed(0x10, 4);
    PutBe(inline16, 12, 20, 4);
    EXPECT_EQ(CHFSPlusAttribute::CloneRecord(inline16).size(), 36u);
    PutBe(inline16, 12, 0xFFFFFFFF, 4);
    EXPECT_EQ(CHFSPlusAttribute::CloneRecord(inline16).size(), inline16.size()) << "never past the record";
    EXPECT_TRUE(CHFSPlusCatalog::CloneRecord({}).empty());
    EXPECT_TRUE(CHFSPlusAttribute::CloneRecord({}).empty());
    EXPECT_TRUE(CHFSPlusExtents::CloneRecord({}).empty());
}

TEST(HfsQuickSearch, VolumeIsReleasedOnceByTheSearcher) {
    ImageDevice device(TestData() + "/dfvfs/hfsplus.raw");
    RecordingBuilder builder;
    auto* searcher = CreateHFSPlusQuickSearcher();
    searcher->SetDirecotryTreeBuilder(&builder);
    ASSERT_EQ(searcher->QuickSearchFiles(&device, nullptr), 0u);
    EXPECT_EQ(builder.rootId, kRootFolderId);
    {
        auto first = PartitionsOf(searcher);
        auto second = PartitionsOf(searcher);
        ASSERT_EQ(first.size(), 1u);
        EXPECT_EQ(first[0]->m_privateData, second[0]->m_privateData);
        EXPECT_EQ(first[0]->m_sectorsPerCluster, 8u);
        auto copy = std::unique_ptr<CSearchedPartitionInfo>(first[0]->Clone());
    }
    // Records and their copies are gone; the volume still serves reads.
    auto* quick = static_cast<CHFSPlusQuickFileSystemSearchController*>(searcher);
    EXPECT_EQ(quick->Volume()->getAttribute(19, "myxattr").size(), 21u);
    searcher->Release();
}

} // namespace
