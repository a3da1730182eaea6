// The HFS+ deep searcher over disks that lost their partition maps
// (tests/fixtures/hfs_deep.sh): through the complete controller, the tree
// builder and the writer, partition records against where the volumes were
// put, files against the manifests by sha256; then damaged headers, a stop,
// a build refused, and hostile disks.
#include "engine/hfsplus/HfsPlusBTree.h"
#include "engine/hfsplus/HfsPlusDeepSearch.h"
#include "engine/hfsplus/HfsPlusRegistration.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/common/Bytes.h"
#include "engine/common/FileNode.h"
#include "tests/support/TableEntries.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <unistd.h>

using namespace salvor::test;
using hfsplus::CHFSPlusCompleteFileSystemSearchController;

namespace {

const std::string kEmptySha = "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";
constexpr long long kVolumeSectors = 32768; // a synthetic volume, 16 MiB

std::string Disk(const std::string& name) { return FixtureFile("hfs_deep", name); }

struct Line {
    std::string sha;
    bool deleted;
    std::string path;
    long long id;
};
std::vector<Line> Manifest(const std::string& name) {
    std::vector<Line> out;
    std::istringstream in(ReadText(Disk(name + ".manifest.txt")));
    for (std::string sha, state, path, id; std::getline(in, sha, '\t') && std::getline(in, state, '\t') &&
                                          std::getline(in, path, '\t') && std::getline(in, id);)
        out.push_back({sha, state == "D", path, std::stoll(id)});
    return out;
}

class HfsDeepScan : public ::testing::Test {
protected:
    void TearDown() override { ResetFactories(); }

    std::unique_ptr<FsScan> Scan(const std::string& image, unsigned sectorSize = 512, std::size_t stopAfter = 0) {
        ResetFactories();
        RegisterHfsPlusLibrary();
        salvor::test::SetDeepMaker(SEARCHER_HFSPLUS, "HFS+", [this] {
            auto* s = hfsplus::CreateHFSPlusSearcher();
            searcher = dynamic_cast<CHFSPlusCompleteFileSystemSearchController*>(s);
            return s;
        });
        auto scan = std::make_unique<FsScan>(image, sectorSize, -1);
        if (stopAfter) scan->progress.StopAfter(stopAfter);
        EXPECT_EQ(scan->Run(), 0u);
        parts = PartitionsOf(searcher);
        nodes = scan->Nodes("(HFS+)");
        return scan;
    }
    // The node of manifest line l (its path and catalog id) in partition
    // index; of two versions, a live line's is the live one.
    IFileNode* NodeOf(const Line& l, int index) const {
        auto [from, to] = nodes.equal_range(l.path);
        IFileNode* found = nullptr;
        for (auto it = from; it != to; ++it) {
            auto* node = dynamic_cast<CFileNode*>(it->second);
            if (node && node->GetCurrentNodeID() == l.id && (index < 0 || node->GetBelongedPartition() == index) &&
                (!found || (!l.deleted && !node->IsDeleted())))
                found = node;
        }
        return found;
    }
    std::string Sha(FsScan& scan, IFileNode* node) {
        return node->GetFileSize() == 0 ? kEmptySha : scan.Recover(node, SEARCHER_HFSPLUS);
    }
    void ExpectPartition(std::size_t i, long long start, unsigned spc, unsigned long long total) {
        ASSERT_LT(i, parts.size());
        EXPECT_EQ(parts[i]->m_fileSystemType, 8u);
        EXPECT_EQ(parts[i]->m_startSector, start);
        EXPECT_EQ(parts[i]->m_clusterOrigin, start);
        EXPECT_EQ(parts[i]->m_sectorsPerCluster, spc);
        EXPECT_EQ(parts[i]->GetTotalSectors(), total);
        EXPECT_EQ(parts[i]->m_partitionIndex, i);
    }
    // Every file byte-exact, a deleted one listed deleted at its own size
    // wherever its volume lies (its journal holds what its record lacks:
    // overflow extents, the compression header); answers how many were
    // compared.
    int ExpectFiles(FsScan& scan, const std::vector<Line>& manifest, int index = -1) {
        int compared = 0;
        for (const Line& l : manifest) {
            IFileNode* node = NodeOf(l, index);
            if (!node) {
                ADD_FAILURE() << "not found: " << l.path << " id " << l.id;
                continue;
            }
            EXPECT_EQ(node->IsDeleted() != 0, l.deleted) << l.path;
            EXPECT_EQ(Sha(scan, node), l.sha) << l.path;
            ++compared;
        }
        return compared;
    }

    CHFSPlusCompleteFileSystemSearchController* searcher = nullptr; // the controller's
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
    std::multimap<std::string, IFileNode*> nodes;
};

struct DiskCase {
    const char* image;
    const char* manifest;
    long long start;
    unsigned spc;
};
void PrintTo(const DiskCase& c, std::ostream* os) { *os << c.image; }

class HfsDeepDisk : public HfsDeepScan, public ::testing::WithParamInterface<DiskCase> {};

// One record, placed at the volume (the alternate header at its end adds
// none), with every file of the manifest.
TEST_P(HfsDeepDisk, FindsTheVolumeAndRecoversItsFiles) {
    const DiskCase& c = GetParam();
    const auto manifest = Manifest(c.manifest);
    ASSERT_FALSE(manifest.empty());
    auto scan = Scan(Disk(c.image));
    ASSERT_EQ(parts.size(), 1u);
    ExpectPartition(0, c.start, c.spc, kVolumeSectors);
    EXPECT_GT(ExpectFiles(*scan, manifest), 130);
    ASSERT_NE(searcher, nullptr);
    EXPECT_NE(searcher->Partitions()[0]->volume, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Disks, HfsDeepDisk,
                         ::testing::Values(DiskCase{"gpt_zeroed.img", "journaled", 2048, 8},
                                           DiskCase{"mbr_zeroed.img", "plain", 4096, 16},
                                           DiskCase{"gpt40.img", "journaled", 40, 8},
                                           DiskCase{"alone.img", "journaled", 0, 8},
                                           DiskCase{"bignode.img", "bignode", 2048, 8}),
                         [](const auto& info) {
                             std::string n = info.param.image;
                             return n.substr(0, n.find('.'));
                         });

// The journal's own files, placed by the header's info block, are the file
// system's: neither the volume listed whole (at 0) nor one found by its
// catalog leaves (at 2048) lists them; the user's dot files, a .journal in a
// folder too, are listed and recovered.
TEST_F(HfsDeepScan, JournalFilesAreHiddenAndDotFilesKept) {
    std::istringstream system(ReadText(Disk("dots.manifest.txt.system")));
    std::set<std::string> journalFiles;
    for (std::string name, id; std::getline(system, name, '\t') && std::getline(system, id);) journalFiles.insert(name);
    ASSERT_EQ(journalFiles, (std::set<std::string>{".journal", ".journal_info_block"}));
    const auto manifest = Manifest("dots");
    for (const char* image : {"dots_alone.img", "dots.img"}) {
        SCOPED_TRACE(image);
        auto scan = Scan(Disk(image));
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_GT(ExpectFiles(*scan, manifest), 130);
        for (const auto& [path, node] : nodes) {
            const std::string name = path.substr(path.rfind('/') + 1);
            EXPECT_TRUE(!journalFiles.contains(name) || path == "Documents/.journal") << path;
        }
        for (const char* kept : {".bashrc", ".fseventsd/fseventsd-uuid", "Documents/.hidden.txt", "Documents/.journal"})
            EXPECT_EQ(nodes.count(kept), 1u) << kept;
    }
}

TEST_F(HfsDeepScan, XorrisoImageWithoutItsMapComesBackWhole) {
    const long long start = std::stoll(ReadText(Disk("apm_zeroed.start")));
    const auto sums = Sha256Manifest(Disk("xorriso.sha256.txt"));
    auto scan = Scan(Disk("apm_zeroed.img"));
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, start);
    EXPECT_EQ(parts[0]->m_sectorsPerCluster, 4u); // xorriso's 2048-byte blocks
    // The volume's size as its header (kept by the zeroing) gives it.
    const auto header = ReadBytes(Disk("apm_zeroed.img"), static_cast<std::uint64_t>(start) * 512 + 1024, 512);
    const unsigned long long blocks = bytes::Be32(header, 44), blockSize = bytes::Be32(header, 40);
    EXPECT_EQ(blockSize, 2048u);
    EXPECT_EQ(parts[0]->GetTotalSectors(), blocks * blockSize / 512);
    ASSERT_EQ(sums.size(), 303u);
    for (const auto& [path, sha] : sums) {
        auto it = nodes.find(path);
        ASSERT_NE(it, nodes.end()) << path;
        EXPECT_EQ(Sha(*scan, it->second), sha) << path;
    }
}

// Two volumes, each file read from its own.
TEST_F(HfsDeepScan, TwoVolumesGiveTwoRecordsEachWithItsFiles) {
    auto scan = Scan(Disk("two.img"));
    ASSERT_EQ(parts.size(), 2u);
    ExpectPartition(0, 2048, 8, kVolumeSectors);
    ExpectPartition(1, 2048 + kVolumeSectors + 2048, 4, kVolumeSectors);
    EXPECT_GT(ExpectFiles(*scan, Manifest("journaled"), 0), 130);
    EXPECT_GT(ExpectFiles(*scan, Manifest("second"), 1), 130);
}

// Away from sector 0 too, where the journal's leaves begin inside sectors
// and only the journal itself gives the deleted files.
TEST_F(HfsDeepScan, FourKibSectorsGiveTheSameRecordAndFiles) {
    for (auto [image, start] : {std::pair{"alone.img", 0LL}, std::pair{"gpt_zeroed.img", 2048LL / 8}}) {
        SCOPED_TRACE(image);
        auto scan = Scan(Disk(image), 4096);
        ASSERT_EQ(parts.size(), 1u);
        ExpectPartition(0, start, 1, kVolumeSectors / 8);
        EXPECT_GT(ExpectFiles(*scan, Manifest("journaled")), 130);
    }
}

// A 4096-byte sector with two valid headers is no volume's: the record takes
// the alternate header of the last sector, and the volume's start comes from
// reading it as the alternate one at the end.
TEST_F(HfsDeepScan, SectorWithTwoHeadersRegistersNone) {
    TempDir dir;
    const std::string image = CopyOf(Disk("alone.img"), dir, "twice.img");
    ASSERT_TRUE(WriteBytes(image, 1536, ReadBytes(image, 1024, 512)));
    auto scan = Scan(image, 4096);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(searcher->Partitions()[0]->headerSector, kVolumeSectors / 8 - 1);
    EXPECT_EQ(parts[0]->m_startSector, 0);
    EXPECT_EQ(parts[0]->GetTotalSectors(), static_cast<unsigned long long>(kVolumeSectors / 8));
}

// Without its first header the volume is placed by its journal info block
// (journaled) or by its alternate header (not journaled); files whose
// records hold all their extents still come back.
TEST_F(HfsDeepScan, LostFirstHeaderIsPlacedByJournalOrAlternateHeader) {
    TempDir dir;
    for (auto [name, start] : {std::pair{"gpt_zeroed.img", 2048LL}, std::pair{"mbr_zeroed.img", 4096LL}}) {
        SCOPED_TRACE(name);
        const std::string image = CopyOf(Disk(name), dir, name);
        ASSERT_TRUE(WriteBytes(image, static_cast<std::uint64_t>(start + 2) * 512, std::vector<std::uint8_t>(512)));
        auto scan = Scan(image);
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_EQ(parts[0]->m_startSector, start);
        EXPECT_EQ(parts[0]->GetTotalSectors(), static_cast<unsigned long long>(kVolumeSectors));
        const auto manifest = Manifest(start == 2048 ? "journaled" : "plain");
        for (const Line& l : manifest)
            if (l.path == "Documents/report.bin" || l.path == "Many Files/note 007.txt") {
                EXPECT_EQ(Sha(*scan, NodeOf(l, 0)), l.sha) << l.path;
            }
    }
}

// A file rewritten after the journal copied its leaf (the journal lies
// before the catalog, so the older leaf is met first): the current bytes at
// its path, the older version a deleted file of its own beside it.
TEST_F(HfsDeepScan, FileChangedAfterTheJournalCopiedItIsListedCurrent) {
    std::istringstream older(ReadText(Disk("changed.manifest.txt.older")));
    Line old;
    std::string state, id;
    ASSERT_TRUE(std::getline(older, old.sha, '\t') && std::getline(older, state, '\t') &&
                std::getline(older, old.path, '\t') && std::getline(older, id));
    old.id = std::stoll(id);
    for (const char* image : {"changed.img", "changed_alone.img"}) {
        SCOPED_TRACE(image);
        auto scan = Scan(Disk(image));
        ASSERT_EQ(parts.size(), 1u);
        EXPECT_GT(ExpectFiles(*scan, Manifest("changed")), 130);
        std::map<bool, std::vector<std::string>> versions; // deleted -> bytes
        auto [from, to] = nodes.equal_range(old.path);
        for (auto it = from; it != to; ++it) versions[it->second->IsDeleted() != 0].push_back(Sha(*scan, it->second));
        for (const Line& l : Manifest("changed")) {
            if (l.path == old.path) {
                EXPECT_EQ(versions[false], std::vector<std::string>{l.sha});
            }
        }
        EXPECT_EQ(versions[true], std::vector<std::string>{old.sha});
    }
}

// Headers naming a journal info block past the volume's end: the deep scan
// reads them as the quick scan does, opens the volume without its journal
// and gives back every live file, the compressed ones expanded; the deleted
// ones its catalog leaves left elsewhere are listed deleted. With the
// attributes tree gone as well, a compressed file's size is unknown: it is
// told failed, never written empty as if whole; every other file still comes.
TEST_F(HfsDeepScan, JournalPointerPastTheVolumeIsReadAsTheQuickScanReadsIt) {
    struct Case {
        const char* image;
        long long start;
        bool deep, attributesGone;
    };
    const Case cases[] = {{"farjournal_alone.img", 0, false, false},
                          {"farjournal_alone.img", 0, true, false},
                          {"farjournal.img", 2048, true, false},
                          {"farjournal_alone.img", 0, false, true},
                          {"farjournal.img", 2048, true, true}};
    const auto manifest = Manifest("farjournal");
    TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.image) + (c.deep ? " deep" : " quick") + (c.attributesGone ? ", no attributes" : ""));
        std::string image = Disk(c.image);
        const std::uint64_t volume = static_cast<std::uint64_t>(c.start) * 512;
        const auto header = ReadBytes(image, volume + 1024, 512);
        ASSERT_EQ(header.size(), 512u);
        ASSERT_GT(bytes::Be32(header, 12), bytes::Be32(header, 44)) << "the journal pointer lies inside the volume";
        if (c.attributesGone) {
            // The attributes tree's header node, zeroed.
            image = CopyOf(image, dir, std::to_string(c.start) + "-noattr.img");
            const std::uint64_t blockSize = bytes::Be32(header, 40);
            ASSERT_TRUE(WriteBytes(image, volume + bytes::Be32(header, 352 + 16) * blockSize,
                                   std::vector<std::uint8_t>(blockSize)));
        }
        std::unique_ptr<FsScan> scan;
        if (c.deep) {
            scan = Scan(image);
            ASSERT_EQ(parts.size(), 1u);
            EXPECT_EQ(parts[0]->m_startSector, c.start);
            EXPECT_TRUE(searcher->Partitions()[0]->header.has_value());
            EXPECT_NE(searcher->Partitions()[0]->volume, nullptr);
        } else {
            ResetFactories();
            RegisterHfsPlusLibrary();
            scan = std::make_unique<FsScan>(image, 512, FS_HFSPLUS, volume);
            ASSERT_EQ(scan->Run(), 0u);
            nodes = scan->Nodes();
        }
        int live = 0, whole = 0;
        for (const Line& l : manifest) {
            // Without its journal the deep scan still tells the records its
            // catalog no longer holds for deleted ones.
            if (l.deleted && c.deep) {
                IFileNode* node = NodeOf(l, -1);
                EXPECT_TRUE(node && node->IsDeleted()) << l.path;
            }
            if (l.deleted) continue;
            ++live;
            IFileNode* node = NodeOf(l, -1);
            if (!node) {
                ADD_FAILURE() << "not found: " << l.path;
                continue;
            }
            // An empty file is whole once made; any other goes through the
            // writer, and a failed copy answers no bytes.
            auto* file = dynamic_cast<CFileNode*>(node);
            const bool empty = node->GetFileSize() == 0 && !(file && file->IsCompressed());
            const std::string written = empty ? kEmptySha : scan->Recover(node, SEARCHER_HFSPLUS);
            const bool lost = c.attributesGone && l.path.starts_with("Compressed/");
            EXPECT_EQ(written, lost ? std::string() : l.sha) << l.path;
            whole += written == l.sha;
        }
        EXPECT_EQ(live, 136);
        EXPECT_EQ(whole, c.attributesGone ? 129 : 136);
    }
}

// Stopped after its first two blocks (8 MiB): the first volume's catalog was
// met and is kept; the second volume was never reached.
TEST_F(HfsDeepScan, StopMidScanKeepsWhatWasFound) {
    auto scan = Scan(Disk("two.img"), 512, 4);
    ASSERT_EQ(parts.size(), 1u);
    EXPECT_EQ(parts[0]->m_startSector, 2048);
    int found = 0;
    for (const Line& l : Manifest("journaled"))
        found += !l.deleted && NodeOf(l, 0) != nullptr;
    EXPECT_GT(found, 120);
}

// The searcher alone: EndSearch(0) flushes no tree and still settles the
// records (a stopped scan keeps its volumes where they are).
TEST(HfsDeepSearcher, EndSearchWithoutBuildSettlesTheRecordsWithoutFlushing) {
    TempDir dir;
    const std::string image = CopyOf(Disk("mbr_zeroed.img"), dir, "lost.img");
    ASSERT_TRUE(WriteBytes(image, 4098 * 512, std::vector<std::uint8_t>(512)));
    for (int build : {0, 1}) {
        ImageDevice device(image);
        RecordingBuilder builder;
        CHFSPlusCompleteFileSystemSearchController searcher;
        searcher.SetDevice(&device);
        searcher.SetBlockSize(8192);
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.PreparetoSearch();
        const long long total = static_cast<long long>(device.GetTotalSectors());
        for (long long s = 0; s < total; s += 8192) searcher.AnalyzeBlock(s, std::min(8192LL, total - s));
        searcher.EndSearch(build);
        EXPECT_EQ(builder.flashCalls, build);
        EXPECT_EQ(builder.rootId, 2);
        EXPECT_EQ(searcher.Partitions().at(0)->startSector, 4096);
        EXPECT_GT(builder.nodes.size(), 130u);
    }
}

// Random bytes, one catalog leaf repeated over the disk, a volume cut short:
// each scanned without harm, every sector read once (and once more as the
// look-ahead of the block before it).
TEST(HfsDeepSearcher, HostileDisksAreScannedSafely) {
    TempDir dir;
    const std::string alone = Disk("alone.img");
    std::vector<std::uint8_t> noise(4 << 20);
    std::mt19937 rng(44);
    for (auto& b : noise) b = static_cast<std::uint8_t>(rng());
    std::vector<std::uint8_t> leaves;
    for (std::uint64_t at = 0; at < (16u << 20) && leaves.empty(); at += 4096) {
        const auto node = ReadBytes(alone, at, 4096);
        const hfsplus::CHFSPlusBTNode parsed(node.data(), node.size());
        if (parsed.IsValid() && parsed.Descriptor().kind == hfsplus::kLeafNode && parsed.TestNodeBelongToFile() == 4)
            for (int i = 0; i < 1024; ++i) leaves.insert(leaves.end(), node.begin(), node.end());
    }
    ASSERT_FALSE(leaves.empty());
    const std::string cut = CopyOf(alone, dir, "cut.img");
    ASSERT_EQ(::truncate(cut.c_str(), 6 << 20), 0);
    std::ofstream(dir.file("noise.img"), std::ios::binary).write(reinterpret_cast<const char*>(noise.data()), noise.size());
    std::ofstream(dir.file("leaves.img"), std::ios::binary).write(reinterpret_cast<const char*>(leaves.data()), leaves.size());
    for (const std::string& image : {dir.file("noise.img"), dir.file("leaves.img"), cut}) {
        SCOPED_TRACE(image);
        ImageDevice device(image);
        RecordingBuilder builder;
        CHFSPlusCompleteFileSystemSearchController searcher;
        searcher.SetDevice(&device);
        searcher.SetBlockSize(2048);
        searcher.SetDirecotryTreeBuilder(&builder);
        searcher.PreparetoSearch();
        const long long total = static_cast<long long>(device.GetTotalSectors());
        device.ResetCounters();
        for (long long s = 0; s < total; s += 2048) searcher.AnalyzeBlock(s, std::min(2048LL, total - s));
        if (image != cut) {
            EXPECT_LE(device.SectorsRead(), static_cast<unsigned long long>(total + total / 2048 * 63));
        }
        searcher.EndSearch(1);
        const auto found = PartitionsOf(&searcher);
        EXPECT_EQ(found.size(), 1u);
        if (image == cut) {
            EXPECT_TRUE(searcher.Partitions()[0]->header.has_value());
            // The volume ends where the image does, not where its header says.
            ASSERT_EQ(found.size(), 1u);
            EXPECT_EQ(found[0]->m_startSector, 0);
            EXPECT_EQ(found[0]->GetTotalSectors(), static_cast<unsigned long long>(total));
        }
    }
}

} // namespace
