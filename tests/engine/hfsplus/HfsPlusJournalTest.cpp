// The synthetic volumes: the journal's deleted records against the
// generator's manifest, overflow extents against istat, and damaged copies
// (journal header and block list, extents record, catalog index) that must
// end in a failure code or a skipped record, never a hang.
#include "engine/hfsplus/HfsPlusFileNode.h"
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusQuickSearch.h"
#include "engine/hfsplus/HfsPlusVolume.h"
#include "tests/engine/hfsplus/HfsSynthManifest.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>

using namespace hfsplus;
using namespace salvor::test;
using namespace bytes;
using hfstest::IdOf;

namespace {

std::string Image(const std::string& name) { return FixtureFile("hfs_synth", name + ".img"); }

// The ids of the deleted files.
std::multiset<long long> DeletedIds(const std::string& name) {
    std::multiset<long long> out;
    for (const hfstest::ManifestLine& m : hfstest::SynthManifest(name))
        if (m.deleted) out.insert(m.id);
    return out;
}

class HfsJournalTest : public ::testing::TestWithParam<const char*> {};

TEST_P(HfsJournalTest, DeletedRecordsAreTheManifestsOnce) {
    const std::string name = GetParam();
    ImageDevice device(Image(name));
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    const std::multiset<long long> deleted = DeletedIds(name);
    ASSERT_EQ(volume.Journal()->IsUsable(), !deleted.empty());
    EXPECT_EQ(volume.Journal()->GetDeleteRecord(nullptr, nullptr), 0u);
    std::multiset<long long> listed;
    for (const auto& e : volume.m_deletedCatalog)
        if (e.record.recordType == kFileRecord) listed.insert(e.record.id);
    EXPECT_EQ(listed, deleted);
    if (deleted.empty()) return;
    const long long fragmented = IdOf(name, "Documents/deleted fragmented.bin");
    std::set<long long> overflowOwners;
    for (const auto& e : volume.m_deletedExtents) overflowOwners.insert(e.key.parentID);
    EXPECT_EQ(overflowOwners, std::set<long long>{fragmented});
    const std::vector<std::uint8_t> attr = volume.getAttribute(static_cast<std::uint32_t>(fragmented), "user.gone");
    EXPECT_EQ(std::string(attr.begin(), attr.end()), "deleted attribute");
}

TEST_P(HfsJournalTest, OverflowExtentsAreIstatsBlocks) {
    const std::string name = GetParam();
    ImageDevice device(Image(name));
    CHFSPlusVolume volume(&device, false);
    const long long id = IdOf(name, "fragmented.bin");
    std::string istat;
    ASSERT_EQ(RunCommand("istat '" + Image(name) + "' " + std::to_string(id), &istat), 0);
    std::vector<long long> want;
    std::istringstream in(istat.substr(istat.find("Data Fork Blocks:") + 17));
    // "A" or a range "A-B", eight to a line.
    for (std::string word; in >> word && std::isdigit(static_cast<unsigned char>(word[0]));) {
        const auto dash = word.find('-');
        for (long long b = std::stoll(word); b <= std::stoll(dash == std::string::npos ? word : word.substr(dash + 1)); ++b)
            want.push_back(b);
    }
    BTKey key;
    key.parentID = kRootFolderId;
    key.name = u"fragmented.bin";
    HFSPlusSearchResult result;
    std::vector<std::uint8_t> data;
    ASSERT_EQ(volume.Search(kCatalogFileId, key, result, &data), 0u);
    HFSPlusCatalogRecord record;
    ASSERT_TRUE(result.found && ReadCatalogRecord(data, record));
    std::vector<long long> got;
    const auto extents = volume.ForkExtents(record.id, 0, record.dataFork, false);
    EXPECT_GT(extents.size(), 8u);
    for (const HFSPlusExtentDescriptor& e : extents)
        for (std::uint32_t b = 0; b < e.blockCount; ++b) got.push_back(e.startBlock + b);
    EXPECT_EQ(got, want);
}

INSTANTIATE_TEST_SUITE_P(Synth, HfsJournalTest,
                         ::testing::Values("synth_512", "synth_2048", "synth_4096", "synth_8192", "synth_hfsx"));

TEST(HfsSynth, HfsxNamesDifferByCase) {
    ImageDevice device(Image("synth_hfsx"));
    CHFSPlusVolume volume(&device, false);
    EXPECT_EQ(volume.KeyCompareType(), 0xBC);
    const long long docs = IdOf("synth_hfsx", "Documents/report.bin");
    ASSERT_GT(docs, 0);
    std::set<std::uint32_t> ids;
    for (const char16_t* name : {u"Read Me", u"read me"}) {
        BTKey key;
        key.parentID = 16; // Documents
        key.name = name;
        HFSPlusSearchResult result;
        std::vector<std::uint8_t> data;
        ASSERT_EQ(volume.Search(kCatalogFileId, key, result, &data), 0u);
        HFSPlusCatalogRecord r;
        ASSERT_TRUE(result.found && ReadCatalogRecord(data, r));
        ids.insert(r.id);
    }
    EXPECT_EQ(ids.size(), 2u);
}

TEST(HfsSynth, ProgressCountsDeletedAndLiveAndStops) {
    ImageDevice device(Image("synth_4096"));
    const std::size_t deleted = DeletedIds("synth_4096").size();
    {
        RecordingProgress sink;
        RecordingBuilder builder;
        std::unique_ptr<IQuickFileSystemSearchController> searcher(CreateHFSPlusQuickSearcher());
        searcher->SetDirecotryTreeBuilder(&builder);
        ASSERT_EQ(searcher->QuickSearchFiles(&device, &sink), 0u);
        const auto* volume = static_cast<CHFSPlusQuickFileSystemSearchController*>(searcher.get())->Volume();
        const _PROGRESS_INFO last = sink.Last();
        EXPECT_EQ(last.state, PROGRESS_FINISHED);
        EXPECT_EQ(last.total, deleted + volume->Header()->fileCount + volume->Header()->folderCount + 1);
        EXPECT_EQ(last.current, builder.nodes.size());
    }
    CHFSPlusVolume volume(&device, false);
    RecordingProgress sink;
    sink.StopAfter(10);
    RecordingBuilder builder;
    CHFSPlusQuickFileSystemSearchProgress progress(&sink, false);
    EXPECT_EQ(ResultError(QuickSearchVolume(volume, &builder, progress)), kErrStopped);
    EXPECT_LT(builder.nodes.size(), 20u);
}

// Byte offsets of a synthetic volume's structures.
struct Layout {
    std::uint64_t journal = 0, firstTransaction = 0, catalog = 0, extents = 0;
    std::uint32_t catalogNode = 0, catalogRoot = 0, extentsRoot = 0;
};
Layout LayoutOf(const std::string& image) {
    Layout l;
    const auto h = ReadBytes(image, 1024, 512);
    const std::uint64_t bs = Be32(h, 40);
    const auto info = ReadBytes(image, Be32(h, 12) * bs, 180);
    l.journal = Be64(info, 36);
    l.firstTransaction = l.journal + Le64(ReadBytes(image, l.journal, 44), 8);
    l.catalog = Be32(h, 272 + 16) * bs;
    l.extents = Be32(h, 192 + 16) * bs;
    const auto catHeader = ReadBytes(image, l.catalog, 512);
    l.catalogNode = Be16(catHeader, 14 + 18);
    l.catalogRoot = Be32(catHeader, 14 + 2);
    l.extentsRoot = Be32(ReadBytes(image, l.extents, 512), 14 + 2);
    return l;
}

std::vector<std::uint8_t> Le(std::uint64_t v, int n) {
    std::vector<std::uint8_t> b;
    for (int i = 0; i < n; ++i, v >>= 8) b.push_back(static_cast<std::uint8_t>(v));
    return b;
}

TEST(HfsSynth, DamagedCopiesFailCleanly) {
    const std::string source = Image("synth_4096");
    ASSERT_FALSE(source.empty());
    const Layout l = LayoutOf(source);
    const std::size_t deleted = DeletedIds("synth_4096").size();
    struct Case {
        const char* what;
        std::uint64_t offset;
        std::vector<std::uint8_t> bytes;
        bool journalUsable;
        std::size_t deletedFiles; // deleted catalog file records found
        bool catalogWalks;
    };
    const std::uint64_t childOfRoot = l.catalog + std::uint64_t{l.catalogRoot} * l.catalogNode + 14 +
                                      2 + Be16(ReadBytes(source, l.catalog + std::uint64_t{l.catalogRoot} * l.catalogNode + 14, 2), 0);
    const Case cases[] = {
        {"jhdr_size 0", l.journal + 40, Le(0, 4), false, 0, true},
        {"byte-swapped header", l.journal, {0x4A, 0x4E, 0x4C, 0x78, 0x12, 0x34, 0x56, 0x78}, false, 0, true},
        {"bsize 0xFFFFFFFF", l.firstTransaction + 16 + 16 + 16 + 8, Le(0xFFFFFFFF, 4), true, deleted, true},
        {"catalog child pointing at its node", childOfRoot, {std::uint8_t(l.catalogRoot >> 24), std::uint8_t(l.catalogRoot >> 16),
                                                             std::uint8_t(l.catalogRoot >> 8), std::uint8_t(l.catalogRoot)},
         true, 0, false},
        {"overflow record adding no blocks", l.extents + 4096ull * l.extentsRoot + 14 + 12 + 4, {0, 0, 0, 0}, true,
         deleted, true},
        // The volume stays whole: without its journal, its catalog read by its extents.
        {"journal info block past the volume", 1024 + 12, {0xFF, 0xFF, 0xFF, 0xF0}, false, 0, true},
        {"catalog logical size not its blocks'", 1024 + 272 + 5, {0x12, 0x34, 0x56}, true, deleted, true},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const std::string image = CopyOf(source, dir, "damaged.img");
        ASSERT_TRUE(WriteBytes(image, c.offset, c.bytes)) << c.what;
        ImageDevice device(image);
        CHFSPlusVolume volume(&device, false);
        ASSERT_EQ(volume.GetLastError(), 0u) << c.what;
        EXPECT_EQ(volume.Journal()->IsUsable(), c.journalUsable) << c.what;
        RecordingBuilder builder;
        CHFSPlusQuickFileSystemSearchProgress progress(nullptr, true);
        const ResultCode rc = QuickSearchVolume(volume, &builder, progress);
        EXPECT_EQ(rc == 0, c.catalogWalks) << c.what;
        std::size_t found = 0;
        for (IFileNode* n : builder.nodes) found += n->IsDeleted() && !n->IsDirectory();
        if (c.catalogWalks) EXPECT_EQ(found, c.deletedFiles) << c.what;
        else EXPECT_EQ(ResultError(rc), kErrInvalid) << c.what;
    }
    // The overflow record that adds no blocks ends the fork's walk at once:
    // looked up again, it would answer the same key with the same record.
    const std::string image = CopyOf(source, dir, "damaged.img");
    ASSERT_TRUE(WriteBytes(image, cases[4].offset, cases[4].bytes));
    ImageDevice device(image);
    CHFSPlusVolume volume(&device, false);
    BTKey key;
    key.parentID = kRootFolderId;
    key.name = u"fragmented.bin";
    HFSPlusSearchResult result;
    std::vector<std::uint8_t> data;
    HFSPlusCatalogRecord record;
    ASSERT_EQ(volume.Search(kCatalogFileId, key, result, &data), 0u);
    ASSERT_TRUE(result.found && ReadCatalogRecord(data, record));
    device.ResetCounters();
    ResultCode failure = 0;
    EXPECT_EQ(volume.ForkExtents(record.id, 0, record.dataFork, false, &failure).size(), 8u);
    EXPECT_EQ(ResultError(failure), kErrInvalid);
    EXPECT_LT(device.Reads(), 16u) << "one look-up of the extents tree, not one per repeat";
}

// One fork continued by 65,537 overflow records (each of eight one-block
// extents), in an extents tree of 512-byte nodes written past the volume's
// end: 65,536 look-ups are followed, the one after is damage.
TEST(HfsSynth, OverflowLookUpsOfOneForkAreBounded) {
    const std::string source = Image("synth_4096");
    ASSERT_FALSE(source.empty());
    TempDir dir;
    const std::string image = CopyOf(source, dir, "overflow.img");
    constexpr std::uint32_t kFile = 999999, kRecords = 65537, kNode = 512, kFan = 6, kBlock = 4096;
    std::vector<std::uint8_t> tree(kNode, 0); // node 0, the header, filled last
    const auto put = [&](std::size_t at, std::uint64_t v, int n) {
        salvor::test::PutBe(tree, at, v, static_cast<std::size_t>(n));
    };
    // A new node of up to kFan records of `size` bytes from make(record offset, i);
    // answers its number. Each record starts with the key of the record it leads to.
    const auto node = [&](std::uint8_t kind, std::uint8_t height, std::uint32_t count, std::size_t size,
                          const std::function<void(std::size_t, std::uint32_t)>& make) {
        const auto n = static_cast<std::uint32_t>(tree.size() / kNode);
        const std::size_t base = tree.size();
        tree.resize(base + kNode, 0);
        tree[base + 8] = kind, tree[base + 9] = height;
        put(base + 10, count, 2);
        for (std::uint32_t i = 0; i <= count; ++i)
            put(base + kNode - 2 - 2 * i, 14 + i * size, 2);
        for (std::uint32_t i = 0; i < count; ++i)
            make(base + 14 + i * size, i);
        return n;
    };
    const auto key = [&](std::size_t at, std::uint32_t record) {
        put(at, 10, 2);
        put(at + 4, kFile, 4);
        put(at + 8, 8 + 8ull * record, 4); // the block each record continues from
    };
    // Each level: (node, first record below it); leaves first, then index levels up to one root.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> level;
    for (std::uint32_t first = 0; first < kRecords; first += kFan)
        level.emplace_back(node(0xFF, 1, std::min(kFan, kRecords - first), 76,
                                [&](std::size_t at, std::uint32_t i) {
                                    key(at, first + i);
                                    for (int e = 0; e < 8; ++e)
                                        put(at + 12 + 8 * e, 100, 4), put(at + 16 + 8 * e, 1, 4);
                                }),
                           first);
    const std::uint32_t leaves = static_cast<std::uint32_t>(level.size());
    std::uint8_t height = 1;
    while (level.size() > 1) {
        ++height;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> up;
        for (std::size_t c = 0; c < level.size(); c += kFan)
            up.emplace_back(
                node(0, height, static_cast<std::uint32_t>(std::min<std::size_t>(kFan, level.size() - c)), 16,
                     [&](std::size_t at, std::uint32_t i) {
                         key(at, level[c + i].second);
                         put(at + 12, level[c + i].first, 4);
                     }),
                level[c].second);
        level = std::move(up);
    }
    const auto total = static_cast<std::uint32_t>(tree.size() / kNode);
    tree.resize((tree.size() + kBlock - 1) / kBlock * kBlock, 0);
    tree[8] = 1;
    put(10, 1, 2);
    put(kNode - 2, 14, 2), put(kNode - 4, 120, 2);
    put(14, height, 2), put(16, level[0].first, 4), put(20, kRecords, 4);
    put(24, 1, 4), put(28, leaves, 4);
    put(32, kNode, 2), put(34, 10, 2), put(36, total, 4);
    // The extents file moves to the blocks after the volume's last one.
    const auto start = static_cast<std::uint32_t>(std::filesystem::file_size(image) / kBlock);
    const auto blocks = static_cast<std::uint32_t>(tree.size() / kBlock);
    ASSERT_TRUE(WriteBytes(image, std::uint64_t{start} * kBlock, tree));
    std::vector<std::uint8_t> fork(24, 0);
    for (int i = 0; i < 8; ++i)
        fork[i] = static_cast<std::uint8_t>(std::uint64_t{tree.size()} >> (56 - 8 * i));
    for (int i = 0; i < 4; ++i) {
        fork[12 + i] = fork[20 + i] = static_cast<std::uint8_t>(blocks >> (24 - 8 * i));
        fork[16 + i] = static_cast<std::uint8_t>(start >> (24 - 8 * i));
    }
    ASSERT_TRUE(WriteBytes(image, 1024 + 192, fork));
    ImageDevice device(image);
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    HFSPlusForkData data;
    for (auto& e : data.extents)
        e = {100, 1};
    data.totalBlocks = 8 + 8 * kRecords;
    ResultCode failure = 0;
    EXPECT_EQ(volume.ForkExtents(kFile, 0, data, false, &failure).size(), 8 + 8 * 65536u);
    EXPECT_EQ(ResultError(failure), kErrInvalid);
}

// A file's size never passes its fork's blocks, and a missing logical size is
// the blocks of this volume's size (512 bytes here).
TEST(HfsSynth, FileSizesAreBoundByTheForksBlocks) {
    ImageDevice device(Image("synth_512"));
    CHFSPlusVolume volume(&device, false);
    ASSERT_EQ(volume.GetLastError(), 0u);
    ASSERT_EQ(volume.Header()->blockSize, 512u);
    BTKey key;
    key.parentID = kRootFolderId;
    key.name = u"f";
    HFSPlusCatalogRecord record;
    record.recordType = kFileRecord;
    record.id = 999999;
    record.dataFork.totalBlocks = 1;
    record.dataFork.extents[0] = {100, 1};
    EXPECT_EQ(CHFSPlusFileNode(&volume, key, record, false).GetFileSize(), 512);
    record.dataFork.logicalSize = 1ULL << 62; // one flipped byte
    record.dataFork.totalBlocks = 3;
    record.dataFork.extents[0] = {100, 3};
    EXPECT_EQ(CHFSPlusFileNode(&volume, key, record, false).GetFileSize(), 1536);
    record.dataFork.logicalSize = 1000;
    EXPECT_EQ(CHFSPlusFileNode(&volume, key, record, false).GetFileSize(), 1000);
}

} // namespace

