// The APFS recogniser and deep scans of the sample apfs.raw (alone, at 2048
// of a GPT disk, beside an mkapfs container) and of the stale-leaf fixture
// through the complete controller, the tree builder and the file writer;
// trees against fls, files against icat by path.
#include "engine/apfs/ApfsDeepScan.h"
#include "engine/apfs/ApfsFileNode.h"
#include "engine/apfs/ApfsRecognize.h"
#include "engine/apfs/ApfsRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "tests/engine/apfs/ApfsTestSupport.h"
#include "tests/support/TableEntries.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <sstream>

using salvor::test::Entries;
using salvor::test::Entry;
using salvor::test::FixtureFile;
using salvor::test::FsScan;

namespace {

std::string Disk(const std::string& name) { return FixtureFile("apfs_disks", name); }


// fls -r -p lines as found entries.
Entries ParseFls(const std::string& text) {
    Entries out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 3) continue;
        out.insert({line[0] == 'd' ? 'd' : 'r', false, line.substr(tab + 1)});
    }
    return out;
}

class ApfsDeepScanTest : public ::testing::Test {
protected:
    void TearDown() override { ResetFactories(); }

    std::unique_ptr<FsScan> Scan(const std::string& image, unsigned long long startByte = 0, int build = 1) {
        ResetFactories();
        RegisterApfsLibrary();
        salvor::test::SetDeepMaker(SEARCHER_APFS, "APFS", [this] {
            auto* s = apfs::CreateAPFSDeepSearcher();
            searcher = dynamic_cast<apfs::APFSDeepScan*>(s);
            return s;
        });
        auto scan = std::make_unique<FsScan>(image, 512, -1, startByte);
        scan->progress.SetShouldBuild(build);
        EXPECT_EQ(scan->Run(), 0u);
        EXPECT_EQ(scan->progress.Last().state, 3u);
        parts = salvor::test::PartitionsOf(searcher);
        found.clear();
        files.clear();
        for (const auto& [path, node] : scan->Nodes("(APFS)")) {
            found.insert({node->IsDirectory() ? 'd' : 'r', node->IsDeleted() != 0, path});
            if (!node->IsDirectory()) files[path] = node;
        }
        return scan;
    }
    // The live tree of apfs.raw, each file with icat's bytes.
    void ExpectSampleTree(FsScan& scan, std::int64_t start) {
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0]->m_fileSystemType, 9u);
        EXPECT_EQ(parts[0]->m_startSector, start);
        EXPECT_EQ(parts[0]->GetTotalSectors(), 8112u);
        const Entries fls = ParseFls(salvor::test::ReadText(Disk("apfs.fls.txt")));
        Entries expected = fls;
        expected.insert({'d', false, "private-dir"}); // the volume's own folder, which fls leaves out
        EXPECT_EQ(found, expected);
        const auto shas = salvor::test::Sha256Manifest(Disk("apfs.sha256.txt"));
        EXPECT_EQ(shas.size(), 8u);
        const std::string empty = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
        for (const auto& [path, sha] : shas) {
            ASSERT_TRUE(files.count(path)) << path;
            IFileNode* f = files.at(path);
            // A symbolic link and a file with only a resource fork hold no data.
            if (sha == empty)
                EXPECT_EQ(f->GetFileSize(), 0) << path;
            else
                EXPECT_EQ(scan.Recover(f, SEARCHER_APFS), sha) << path;
        }
        // Four checkpoints: the oldest reaches the older file-system root.
        const auto& reader = *searcher->Containers().begin()->second;
        EXPECT_EQ(reader.ObjectMapsRead(), 4);
        EXPECT_TRUE(reader.VisitedNodes().count(89));
        EXPECT_TRUE(reader.History());
    }

    apfs::APFSDeepScan* searcher = nullptr; // owned by the scan's controller
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
    Entries found;
    std::map<std::string, IFileNode*> files;
};

TEST_F(ApfsDeepScanTest, RecogniserNamesTheFirstVolumeAndRefusesOtherBlockSizes) {
    struct Case {
        std::string image;
        unsigned long long start;
        std::string label;
        unsigned long long total;
    };
    for (const Case& c : {Case{Disk("mkapfs.img"), 0, "testvol", 262144}, Case{Disk("apfs.raw"), 0, "apfs_test", 8112},
                          Case{Disk("gpt.img"), 2048, "apfs_test", 16384 - 2048}}) {
        salvor::test::ImageDevice device(c.image, 512);
        std::unique_ptr<IVolumeAnalyze> v(apfs::CreateAPFSVolumeAnalyze(&device, c.start));
        ASSERT_TRUE(v) << c.image;
        EXPECT_EQ(v->GetFileSystemType(), FS_APFS);
        EXPECT_EQ(v->GetTotalSector(), c.total);
        char label[256] = {};
        v->GetLabel(label, sizeof label);
        EXPECT_STREQ(label, c.label.c_str());
    }
    // Sectors of a block and of two blocks: the block is read whole or cut
    // from its sector.
    for (unsigned ss : {4096u, 8192u}) {
        salvor::test::ImageDevice device(Disk("apfs.raw"), ss);
        std::unique_ptr<IVolumeAnalyze> v(apfs::CreateAPFSVolumeAnalyze(&device, 0));
        ASSERT_TRUE(v) << ss;
        EXPECT_EQ(v->GetTotalSector(), 8112u * 512 / ss);
        char label[8] = {};
        v->GetLabel(label, sizeof label);
        EXPECT_EQ(std::string(label, sizeof label), "apfs_tes") << "at most the buffer, without its NUL";
    }
    salvor::test::TempDir dir;
    for (auto [off, value] : {std::pair{36u, 8192u}, std::pair{24u, 0x80000000u}}) {
        const std::string copy = salvor::test::CopyOf(Disk("apfs.raw"), dir, "c.raw");
        ASSERT_TRUE(salvor::test::WriteBytes(copy, off, {std::uint8_t(value), std::uint8_t(value >> 8),
                                                         std::uint8_t(value >> 16), std::uint8_t(value >> 24)}));
        salvor::test::ImageDevice device(copy, 512);
        EXPECT_EQ(apfs::CreateAPFSVolumeAnalyze(&device, 0), nullptr) << off;
    }
}

TEST_F(ApfsDeepScanTest, SampleAloneGivesTheLiveTreeWithIcatsBytes) {
    auto scan = Scan(Disk("apfs.raw"));
    ExpectSampleTree(*scan, 0);
}

TEST_F(ApfsDeepScanTest, SampleInAGptDiskWithoutItsTablesIsFoundAt2048) {
    auto scan = Scan(Disk("gpt_zeroed.img"));
    ExpectSampleTree(*scan, 2048);
}

TEST_F(ApfsDeepScanTest, StaleLeavesGiveExactlyTheirDeletedFilesAtTheirPaths) {
    auto scan = Scan(FixtureFile("apfs_stale", "stale.raw"));
    Entries live = ParseFls(salvor::test::ReadText(Disk("apfs.fls.txt")));
    live.insert({'d', false, "private-dir"});
    Entries extra;
    std::set_difference(found.begin(), found.end(), live.begin(), live.end(), std::inserter(extra, extra.end()));
    EXPECT_EQ(extra, (Entries{{'d', true, "gone_folder"}, {'r', true, "a_directory/stale_copy.txt"},
                              {'r', true, "gone_folder/inside.txt"}, {'r', true, "gone_folder/two_pieces.bin"}}));
    for (const Entry& e : live) EXPECT_TRUE(found.count(e)) << e.path;
    std::istringstream manifest(salvor::test::ReadText(FixtureFile("apfs_stale", "stale.manifest.txt")));
    int files = 0;
    for (std::string sha, state, path; manifest >> sha >> state >> path;) {
        if (path.back() == '/') continue;
        ++files;
        ASSERT_TRUE(this->files.count(path)) << path;
        EXPECT_EQ(scan->Recover(this->files.at(path), SEARCHER_APFS), sha) << path;
    }
    EXPECT_EQ(files, 3) << "one of them in two extents";

    // The device's last blocks, short of a whole group of 16, are tested too.
    salvor::test::TempDir dir;
    const std::string moved = salvor::test::CopyOf(FixtureFile("apfs_stale", "stale.raw"), dir, "moved.raw");
    auto leaf = salvor::test::ReadBytes(moved, 507 * 4096ULL, 4096);
    ASSERT_TRUE(salvor::test::WriteBytes(moved, 1013 * 4096ULL, leaf));
    ASSERT_TRUE(salvor::test::WriteBytes(moved, 507 * 4096ULL, std::vector<std::uint8_t>(4096, 0)));
    Scan(moved);
    EXPECT_TRUE(found.count({'r', true, "a_directory/stale_copy.txt"}));
}

TEST_F(ApfsDeepScanTest, TwoContainersGiveTwoRecordsAndTheSecondsNodesAreDeleted) {
    auto scan = Scan(Disk("two.img"));
    ASSERT_EQ(parts.size(), 2u) << "superblock copies in the checkpoint areas add none";
    EXPECT_EQ(parts[0]->m_startSector, 2048);
    EXPECT_EQ(parts[1]->m_startSector, 16384);
    EXPECT_EQ(parts[1]->m_partitionIndex, 1u);
    EXPECT_EQ(parts[1]->GetTotalSectors(), 262144u);
    int second = 0;
    for (const auto& [path, node] : scan->Nodes("(APFS)")) {
        auto* n = dynamic_cast<apfs::APFSFileNode*>(node);
        if (!n || n->GetBelongedPartition() != 1) continue;
        ++second;
        EXPECT_TRUE(n->IsDeleted()) << path;
    }
    EXPECT_GT(second, 0);
    // Asked with room for one, the answer is how many there are, and nothing
    // is filled: the caller asks again with room for all.
    CSearchedPartitionInfo* one[2] = {};
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(one, 1), 2);
    EXPECT_EQ(searcher->GetSearchedPartitionInfo(nullptr, 0), 2);
    EXPECT_EQ(one[0], nullptr);
    EXPECT_EQ(one[1], nullptr);
    EXPECT_EQ(files.count("passwords.txt"), 1u);
}

// Without any container superblock the first volume superblock is read as a
// lone volume, its addresses counted from sector 0 (here the older copies of
// the volume superblock are gone too).
TEST_F(ApfsDeepScanTest, AVolumeWithoutItsContainerIsReadAlone) {
    salvor::test::TempDir dir;
    const std::string copy = salvor::test::CopyOf(Disk("apfs.raw"), dir, "lone.raw");
    for (std::uint64_t b : {0, 2, 4, 6, 8, 90, 104})
        ASSERT_TRUE(salvor::test::WriteBytes(copy, b * 4096, std::vector<std::uint8_t>(4096, 0)));
    auto scan = Scan(copy);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, 0);
    EXPECT_EQ(parts[0]->GetTotalSectors(), 8112u);
    EXPECT_EQ(searcher->Containers().begin()->first, 107u * 8);
    EXPECT_EQ(searcher->Containers().begin()->second->VolumeFolderName(), "apfs_test_0");
    ASSERT_TRUE(files.count("a_directory/a_file"));
    EXPECT_FALSE(files.at("a_directory/a_file")->IsDeleted());
    EXPECT_EQ(scan->Recover(files.at("a_directory/a_file"), SEARCHER_APFS),
              salvor::test::Sha256Manifest(Disk("apfs.sha256.txt")).at("a_directory/a_file"));
}

// The searcher alone over a builder that records its calls and keeps the
// nodes it took after the searcher is gone (run under ASan).
TEST_F(ApfsDeepScanTest, EndSearchBuildsOnlyWhenAskedAndNodesOutliveTheSearcher) {
    for (int build : {0, 1}) {
        salvor::test::ImageDevice device(Disk("apfs.raw"), 512);
        salvor::test::RecordingBuilder builder;
        {
            Owned<ICompleteFileSystemSearchController> s(apfs::CreateAPFSDeepSearcher());
            s->SetDevice(&device);
            s->SetDirecotryTreeBuilder(&builder);
            s->PreparetoSearch();
            s->AnalyzeBlock(0, static_cast<long long>(device.GetTotalSectors()));
            s->EndSearch(build);
            EXPECT_EQ(builder.flashCalls, build);
            EXPECT_EQ(builder.partitionDevice, build ? &device : nullptr);
            EXPECT_EQ(builder.searcherInfoCalls, 1);
        }
        EXPECT_GE(builder.nodes.size(), 10u);
        EXPECT_TRUE(builder.Find("a_directory/a_file")) << "the nodes the builder took are still whole";
    }
    // A disk without APFS: no record, no tree.
    salvor::test::ImageDevice device(salvor::test::TestData() + "/dfvfs/hfsplus.raw", 512);
    salvor::test::RecordingBuilder builder;
    apfs::APFSDeepScan s;
    s.SetDevice(&device);
    s.SetDirecotryTreeBuilder(&builder);
    s.AnalyzeBlock(0, static_cast<long long>(device.GetTotalSectors()));
    s.EndSearch(1);
    CSearchedPartitionInfo* none[1] = {};
    EXPECT_EQ(s.GetSearchedPartitionInfo(none, 1), 0);
    EXPECT_EQ(builder.flashCalls, 0);
    EXPECT_EQ(builder.searcherInfoCalls, 0);
}

// Scanned, recovered, and the controller destroyed (searchers before the tree
// builder): every node stays alive while anything holds it.
TEST_F(ApfsDeepScanTest, ControllerTearDownAfterRecoveryFreesEveryNodeOnce) {
    auto scan = Scan(Disk("gpt.img"));
    ASSERT_TRUE(files.count("passwords.txt"));
    EXPECT_FALSE(scan->Recover(files.at("passwords.txt"), SEARCHER_APFS).empty());
    scan.reset();
    auto again = Scan(Disk("apfs.raw"), 0, 0);
    EXPECT_TRUE(found.empty()) << "no tree without the build answer";
}

// Damaged copies of the sample: counts, tables, object-map children and
// checkpoint links that point anywhere. Nothing may crash or hang.
TEST_F(ApfsDeepScanTest, DamagedSampleCopiesScanQuietly) {
    salvor::test::TempDir dir;
    struct Damage {
        std::uint64_t offset;
        std::vector<std::uint8_t> bytes;
    };
    const std::uint64_t root = 101 * 4096, omapRoot = 109 * 4096, volOmapRoot = 103 * 4096;
    const std::vector<Damage> damages = {
        {root + 36, {0x00, 0x04, 0, 0}},                              // btn_nkeys 1024
        {root + 36, {0xFF, 0xFF, 0xFF, 0xFF}},                        // btn_nkeys 0xFFFFFFFF
        {root + 36, {0, 0, 0, 0}},                                    // btn_nkeys 0
        {root + 42, {0xFF, 0xFF}},                                    // table past the block
        {root + 56, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}}, // first entry past the block
        {omapRoot + 36, {0xFF, 0xFF, 0xFF, 0xFF}},                    // object-map entries
        {omapRoot + 58, {0x01, 0x00}},                                // a value offset inside the trailer
        {136, {0, 0, 0, 0}},                                          // checkpoint loop to block 0
        {136, {0xFF, 0xFF, 0xFF, 0xFF}},                              // descriptor index past the container
        {volOmapRoot + 32, {4, 0}},                                   // a leaf read as an index node
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        const std::string copy = salvor::test::CopyOf(Disk("apfs.raw"), dir, std::to_string(i).append(".raw"));
        ASSERT_TRUE(salvor::test::WriteBytes(copy, damages[i].offset, damages[i].bytes));
        auto scan = Scan(copy);
        EXPECT_EQ(parts.size(), 1u) << i;
    }
    // An inode counting 1000 extended fields, and an object-map index node
    // whose children are itself.
    const std::string copy = salvor::test::CopyOf(Disk("apfs.raw"), dir, "x.raw");
    const auto block = salvor::test::ReadBytes(copy, root, 4096);
    const apfs::Block node(block.data(), block.size());
    int inodes = 0;
    for (std::uint32_t i = 0; i < 41; ++i) {
        const auto e = apfs::VariableEntry(node, i, apfs::btn::kInfoSize);
        if (!e || apfs::KindOf(e->key) != apfs::RecordKind::Inode) continue;
        ++inodes;
        const auto at = root + static_cast<std::uint64_t>(e->value.data() - block.data()) + 92;
        ASSERT_TRUE(salvor::test::WriteBytes(copy, at, {0xE8, 0x03}));
    }
    EXPECT_GT(inodes, 5);
    ASSERT_TRUE(salvor::test::WriteBytes(copy, volOmapRoot, apfs_test::OmapNode(0x67, 5, {103, 103})));
    auto scan = Scan(copy);
    EXPECT_EQ(parts.size(), 1u);
}

} // namespace
