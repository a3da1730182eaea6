// NTFS deep scans of MBR disks made from the NTFS fixture volumes (their
// partition table, boot sectors or whole partitions damaged) through the
// complete controller, the tree builder and the writer: the partitions found
// against where they were put, the files against the volumes' manifests and
// fls of the intact disk.
#include "engine/common/FileNode.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/KeptSectors.h"
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsDeepTree.h"
#include "engine/ntfs/NtfsRegistration.h"
#include "engine/utility/SectorReads.h"
#include "tests/engine/ntfs/NtfsTestVolume.h"
#include "tests/support/TableEntries.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <set>

using salvor::test::FixtureFile;
using salvor::test::FsScan;

namespace {

constexpr long long kStarts[] = {2048, 69632, 137216};
constexpr unsigned kClusters[] = {8, 4, 1};
constexpr const char* kRootOnlyPrefixes[] = {"p1/", "p2/", "p3/"};
constexpr int kVolumeIdShift = CNTFSDirectoryTreeBuilder::kVolumeIdShift;

std::string Disk(const std::string& name) { return FixtureFile("ntfs_disks", name); }

// Metafiles, folders named like them ($RECYCLE.BIN) and streams are not compared.
bool LeftOut(const std::string& path) {
    return path.empty() || path[0] == '$' || path.find("/$") != std::string::npos ||
           path.find(':') != std::string::npos;
}

// fls's listing of one volume: path -> (inode, deleted); metafiles, streams
// and reallocated names left out.
std::map<std::string, std::pair<long long, bool>> Fls(const std::string& listing) {
    std::map<std::string, std::pair<long long, bool>> out;
    std::istringstream in(listing);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find(":\t");
        if (tab == std::string::npos || line.find("(realloc)") != std::string::npos) continue;
        const std::string path = line.substr(tab + 2);
        const auto num = line.find_first_of("0123456789", 4);
        const long long inode = std::stoll(line.substr(num));
        if (!LeftOut(path) && inode >= 16) out[path] = {inode, line.find(" * ") != std::string::npos};
    }
    return out;
}

struct DeepScan {
    std::unique_ptr<FsScan> scan;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> parts;
    // (partition, path) -> node; lost nodes under "Other lost files/".
    std::multimap<std::pair<int, std::string>, IFileNode*> nodes;
    std::map<std::pair<int, long long>, IFileNode*> byRecord;
    std::map<int, std::string> volumeFolders; // with several volumes: partition -> its folder's name

    // The partition that starts at `start` with that cluster size, or -1.
    int Find(long long start, unsigned spc) const {
        for (const auto& p : parts)
            if (p->m_clusterOrigin == start && p->m_sectorsPerCluster == spc) return p->m_partitionIndex;
        return -1;
    }
    IFileNode* Node(int j, const std::string& path) const {
        auto it = nodes.find({j, path});
        return it == nodes.end() ? nullptr : it->second;
    }
    // Every name fls lists is shown in partition j under its path (a hard
    // link under one of its names), deleted as fls says. The tree builder
    // shows folders of one name and place in several partitions once.
    void ExpectListing(int j, const std::string& flsFile) {
        for (const auto& [path, entry] : Fls(salvor::test::ReadText(flsFile))) {
            IFileNode* node = Node(j, path);
            for (int other = 0; !node && other < static_cast<int>(parts.size()); ++other)
                if (IFileNode* n = Node(other, path); n && n->IsDirectory()) node = n;
            if (node) {
                EXPECT_EQ(node->IsDeleted() != 0, entry.second) << path;
                continue;
            }
            if (!byRecord.count({j, entry.first})) ADD_FAILURE() << "not shown: " << j << " " << path;
        }
    }
    // Every file fls lists with a line "inode sha256" in the icat file is
    // shown in partition j and byte-exact; answers how many.
    int ExpectIcat(int j, const std::string& flsListing, const std::string& icatFile) {
        std::istringstream icat(salvor::test::ReadText(icatFile));
        const auto fls = Fls(flsListing);
        int checked = 0;
        for (auto [inode, sha] = std::pair<long long, std::string>{}; icat >> inode >> sha;) {
            const bool listed = std::any_of(fls.begin(), fls.end(), [&](const auto& e) { return e.second.first == inode; });
            if (!listed) continue;
            if (!byRecord.count({j, inode})) {
                ADD_FAILURE() << "not shown: " << inode;
                continue;
            }
            ++checked;
            if (byRecord.at({j, inode})->GetFileSize() == 0) continue; // nothing to write
            EXPECT_EQ(scan->Recover(byRecord.at({j, inode}), SEARCHER_NTFS), sha) << inode;
        }
        return checked;
    }
    // Every manifest file of partition j byte-exact; answers how many.
    int ExpectManifest(int j, const std::string& manifest, const std::string& flsFile = "",
                       const std::string& prefix = "") {
        const auto fls = flsFile.empty() ? decltype(Fls("")){} : Fls(salvor::test::ReadText(flsFile));
        int checked = 0;
        for (const auto& [path, sha] : salvor::test::Sha256Manifest(manifest)) {
            if (LeftOut(path) || !path.starts_with(prefix)) continue;
            IFileNode* node = Node(j, path.substr(prefix.size()));
            if (!node && fls.count(path)) node = byRecord.count({j, fls.at(path).first}) ? byRecord.at({j, fls.at(path).first}) : nullptr;
            if (!node) {
                ADD_FAILURE() << "not found: " << j << " " << path;
                continue;
            }
            EXPECT_EQ(scan->Recover(node, SEARCHER_NTFS), sha) << j << " " << path;
            ++checked;
        }
        return checked;
    }
};

CSearchedNTFSPartitionInfo& Ntfs(const std::unique_ptr<CSearchedPartitionInfo>& p) {
    return dynamic_cast<CSearchedNTFSPartitionInfo&>(*p);
}

class NtfsDeepScan : public ::testing::Test {
protected:
    void TearDown() override { ResetFactories(); }
    DeepScan Scan(const std::string& image, unsigned sectorSize = 512, bool build = true) {
        ResetFactories();
        RegisterNtfsLibrary();
        salvor::test::SetDeepMaker(SEARCHER_NTFS, "NTFS", [this] { return searcher = ntfs::CreateNTFSSearcher(); });
        DeepScan d;
        d.scan = std::make_unique<FsScan>(image, sectorSize, -1);
        if (!build) d.scan->progress.SetShouldBuild(0), d.scan->progress.StopAfter(3);
        EXPECT_EQ(d.scan->Run(), 0u);
        EXPECT_EQ(d.scan->progress.Last().state, 3u);
        d.parts = salvor::test::PartitionsOf(searcher);
        for (const auto& [path, node] : d.scan->Nodes("(NTFS)")) {
            auto* n = dynamic_cast<CFileNode*>(node);
            if (!n) continue;
            const int j = n->GetBelongedPartition();
            // With several volumes each has a folder of its own (its root,
            // record 5) and ids of its own; paths and records are the volume's.
            const long long volumeRoot = (static_cast<long long>(j) + 1) << kVolumeIdShift | 5;
            IFileNode* top = node;
            while (top->GetParent() && top->GetParent()->GetParent()) top = top->GetParent();
            std::string local = path;
            if (d.parts.size() > 1) {
                if (top->GetCurrentNodeID() != volumeRoot && !path.starts_with("Other lost files"))
                    ADD_FAILURE() << "outside its volume's folder: " << j << " " << path;
                if (top->GetCurrentNodeID() == volumeRoot) {
                    if (top == node) d.volumeFolders[j] = node->GetFileName();
                    const auto slash = path.find('/');
                    local = slash == std::string::npos ? "" : path.substr(slash + 1);
                }
            }
            if (local.empty()) continue;
            d.nodes.emplace(std::pair{j, local}, node);
            d.byRecord.emplace(std::pair{j, node->GetCurrentNodeID() & ((1LL << kVolumeIdShift) - 1)}, node);
        }
        return d;
    }
    ICompleteFileSystemSearchController* searcher = nullptr; // owned by the scan's controller
};

TEST_F(NtfsDeepScan, MbrZeroedFindsEveryPartitionAndEveryFile) {
    DeepScan d = Scan(Disk("disk_mbr_zeroed.img"));
    EXPECT_EQ(d.parts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const int j = d.Find(kStarts[i], kClusters[i]);
        ASSERT_GE(j, 0) << kStarts[i];
        const auto& p = Ntfs(d.parts[static_cast<std::size_t>(j)]);
        EXPECT_EQ(p.m_startSector, kStarts[i]);
        // Both boot sectors, the $MFT with its mirror, INDX records.
        EXPECT_EQ(p.GetPartitionBuildFromFlags() & 39u, 39u) << kStarts[i];
        EXPECT_EQ(p.m_mftLocated, 1u);
        const std::string n = std::to_string(i + 1);
        d.ExpectListing(j, Disk("p" + n + ".fls.txt"));
        // Deleted, compressed, sparse and fragmented files; in the first, a
        // deleted file whose record lost its runs, rebuilt from $LogFile.
        EXPECT_GT(d.ExpectManifest(j, Disk("p" + n + ".sha256.txt"), Disk("p" + n + ".fls.txt")), 300);
        // Recycled files show the names their index files record.
        const auto manifest = salvor::test::Sha256Manifest(Disk("p" + n + ".sha256.txt"));
        const std::string listing = salvor::test::ReadText(Disk("p" + n + ".fls.txt"));
        for (const auto& [stored, shown] : {std::pair{"$RAB12CD.docx", "Quarterly report.docx"},
                                            std::pair{"$RXY34EF.txt", "old notes.txt"}}) {
            const auto at = listing.find(std::string("/") + stored + "\n");
            ASSERT_NE(at, std::string::npos) << stored;
            const auto line = listing.rfind('\n', at) + 1;
            const long long inode = std::stoll(listing.substr(listing.find_first_of("0123456789", line)));
            ASSERT_TRUE(d.byRecord.count({j, inode})) << stored;
            IFileNode* node = d.byRecord.at({j, inode});
            EXPECT_STREQ(node->GetFileName(), shown);
            const std::string bin = "$Recycle.Bin/S-1-5-21-3623811015-3361044348-30300820-1001/";
            EXPECT_EQ(d.scan->Recover(node, SEARCHER_NTFS), manifest.at(bin + stored)) << stored;
        }
    }
}

TEST_F(NtfsDeepScan, SecondPrimaryBootSectorZeroedStillFindsThatPartition) {
    DeepScan d = Scan(Disk("disk_boot2_zeroed.img"));
    const int j = d.Find(kStarts[1], kClusters[1]);
    ASSERT_GE(j, 0);
    const auto& p = Ntfs(d.parts[static_cast<std::size_t>(j)]);
    EXPECT_EQ(p.GetPartitionBuildFromFlags() & 7u, 6u) << "the backup boot sector and the $MFT pair";
    d.ExpectListing(j, Disk("p2.fls.txt"));
    EXPECT_GT(d.ExpectManifest(j, Disk("p2.sha256.txt"), Disk("p2.fls.txt")), 300);
    EXPECT_GE(d.Find(kStarts[0], kClusters[0]), 0);
    EXPECT_GE(d.Find(kStarts[2], kClusters[2]), 0);
}

// Three volumes made alike (the same steps, so the same record numbers; top
// folders "User A", "User B", "User C"), the MBR and one volume's primary or
// both boot sectors zeroed: each volume a folder of its own, named by its
// label or else its place, every file at its own volume's path, byte-exact.
TEST_F(NtfsDeepScan, VolumesMadeAlikeKeepTheirOwnFiles) {
    const std::string volumes[] = {"a", "b", "c"};
    const std::string folders[] = {"Disk A", "Disk B", "NTFS at sector 71680"};
    constexpr long long starts[] = {2048, 36864, 71680};
    constexpr unsigned clusters[] = {8, 4, 1};
    for (const char* image : {"disk_boot2_zeroed.img", "disk_boot3_both.img"}) {
        SCOPED_TRACE(image);
        DeepScan d = Scan(FixtureFile("ntfs_alike", image));
        EXPECT_EQ(d.parts.size(), 3u);
        for (int i = 0; i < 3; ++i) {
            const int j = d.Find(starts[i], clusters[i]);
            ASSERT_GE(j, 0) << starts[i];
            EXPECT_EQ(d.volumeFolders[j], folders[i]);
            const std::string fls = FixtureFile("ntfs_alike", volumes[i] + ".fls.txt");
            d.ExpectListing(j, fls);
            EXPECT_EQ(d.ExpectManifest(j, FixtureFile("ntfs_alike", volumes[i] + ".sha256.txt"), fls), 16);
        }
    }
}

// A 6 MiB volume at sector 2048 of a 16 MiB disk without a table, whole or
// found only by its backup boot sector or its $MFT: listed once, at its one
// offset, with its files (eight of them deleted) byte-exact. Read from its
// records before its backup boot sector, it keeps the boot sector's size in
// whole clusters, as fsstat gives it, not the one its $Bitmap rounds up.
TEST_F(NtfsDeepScan, VolumeFoundSeveralWaysIsListedOnce) {
    const salvor::test::TempDir tmp;
    const std::string disk = FixtureFile("ntfs_alike", "small_notable.img");
    std::string fsstat;
    ASSERT_EQ(salvor::test::RunCommand("fsstat -o 2048 '" + disk + "'", &fsstat), 0) << "fsstat (sleuthkit) is needed";
    const auto range = fsstat.find("Total Cluster Range: 0 - "), size = fsstat.find("Cluster Size: ");
    ASSERT_NE(range, std::string::npos);
    ASSERT_NE(size, std::string::npos);
    // Whole clusters of the boot sector's size (Total Sector Range 0 - 12286).
    const unsigned long long bootSectors = (std::stoull(fsstat.substr(range + 25)) + 1) * (std::stoull(fsstat.substr(size + 14)) / 512);
    const std::string noPrimary = salvor::test::CopyOf(disk, tmp, "no_primary.img");
    ASSERT_TRUE(salvor::test::WriteBytes(noPrimary, 2048 * 512, std::vector<std::uint8_t>(512)));
    const std::string noBoot = salvor::test::CopyOf(noPrimary, tmp, "no_boot.img");
    ASSERT_TRUE(salvor::test::WriteBytes(noBoot, (2048 + 12287) * 512, std::vector<std::uint8_t>(512)));
    for (const std::string& image : {disk, noPrimary, noBoot}) {
        SCOPED_TRACE(image);
        DeepScan d = Scan(image);
        ASSERT_EQ(d.parts.size(), 1u);
        EXPECT_EQ(d.parts[0]->m_startSector, 2048);
        EXPECT_EQ(d.parts[0]->m_sectorsPerCluster, 8u);
        if (image != noBoot) {
            EXPECT_EQ(d.parts[0]->GetTotalSectors(), bootSectors);
        }
        EXPECT_TRUE(d.volumeFolders.empty());
        const std::string fls = FixtureFile("ntfs_alike", "small.fls.txt");
        EXPECT_EQ(d.ExpectManifest(0, FixtureFile("ntfs_alike", "small.sha256.txt"), fls), 10);
        int deleted = 0;
        for (const auto& [key, node] : d.nodes) deleted += node->IsDeleted() != 0;
        EXPECT_EQ(deleted, 8);
    }
}

// No INDX record but the root folder's: the third partition stands on its
// boot sectors and its $MFT pair alone.
TEST_F(NtfsDeepScan, VolumesWithEveryFileInTheRootAreAllFound) {
    DeepScan d = Scan(Disk("disk_rootonly.img"));
    EXPECT_EQ(d.parts.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const int j = d.Find(kStarts[i], kClusters[i]);
        ASSERT_GE(j, 0) << kStarts[i];
        EXPECT_EQ(d.ExpectManifest(j, Disk("rootonly.sha256.txt"), "", kRootOnlyPrefixes[i]), 6);
    }
}

TEST_F(NtfsDeepScan, ReformattedPartitionShowsTheNewVolumeAndSurvivingOldFiles) {
    DeepScan d = Scan(Disk("disk_reformatted.img"));
    const int j = d.Find(kStarts[0], kClusters[0]);
    ASSERT_GE(j, 0);
    EXPECT_GE(d.Find(kStarts[1], kClusters[1]), 0);
    EXPECT_GE(d.Find(kStarts[2], kClusters[2]), 0);
    // Old files whose records and clusters survived the new metafiles.
    int survived = 0, exact = 0;
    for (const auto& [path, sha] : salvor::test::Sha256Manifest(Disk("p1.sha256.txt"))) {
        if (LeftOut(path)) continue;
        const auto slash = path.rfind('/');
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        for (const auto& [key, node] : d.nodes) {
            if (key.first != j || key.second.size() < name.size() ||
                key.second.compare(key.second.size() - name.size(), name.size(), name) != 0)
                continue;
            ++survived;
            exact += d.scan->Recover(node, SEARCHER_NTFS) == sha;
            break;
        }
    }
    RecordProperty("old_files_found", survived);
    RecordProperty("old_files_exact", exact);
    EXPECT_GT(exact, 200);
}

TEST_F(NtfsDeepScan, FourKibSectorVolumeThroughAFourKibDevice) {
    DeepScan d = Scan(Disk("disk4k_mbr_zeroed.img"), 4096);
    const int j = d.Find(256, 1);
    ASSERT_GE(j, 0);
    EXPECT_EQ(Ntfs(d.parts[static_cast<std::size_t>(j)]).GetPartitionBuildFromFlags() & 3u, 3u);
    RecordProperty("nodes", static_cast<int>(d.nodes.size()));
    EXPECT_GT(d.ExpectManifest(j, Disk("p4k.sha256.txt"), Disk("p4k.fls.txt")), 300);
}

TEST_F(NtfsDeepScan, CutAndRandomDisksEndCleanly) {
    DeepScan cut = Scan(Disk("disk_cut.img"));
    const int j = cut.Find(kStarts[0], kClusters[0]);
    ASSERT_GE(j, 0);
    EXPECT_GT(cut.ExpectManifest(j, Disk("p1.sha256.txt"), Disk("p1.fls.txt")), 300);
    DeepScan random = Scan(Disk("disk_random.img"));
    EXPECT_LE(random.parts.size(), 4u);
}

// The same volume with the $UpCase table of Windows XP: every page of it
// scores, as the newer table's do.
TEST_F(NtfsDeepScan, WindowsXpUpCaseScores) {
    const salvor::test::TempDir tmp;
    const std::string raw = FixtureFile("ntfs_samples", "ntfs_index_xp.raw");
    ASSERT_FALSE(raw.empty());
    const std::string disk = salvor::test::CopyOf(raw, tmp, "disk.img");
    ASSERT_TRUE(salvor::test::WriteBytes(disk, 0, std::vector<std::uint8_t>(512, 0)));
    DeepScan d = Scan(disk);
    const int j = d.Find(128, 4);
    ASSERT_GE(j, 0);
    EXPECT_EQ(Ntfs(d.parts[static_cast<std::size_t>(j)]).m_upCaseMatches, 256);
}

// A Windows volume at sector 128 of a disk whose MBR is gone: its $LogFile
// restart pages and record pages and its $AttrDef count too.
TEST_F(NtfsDeepScan, WindowsVolumeWithItsLogFileAndAttrDef) {
    const salvor::test::TempDir tmp;
    const std::string raw = FixtureFile("ntfs_samples", "ntfs_index.raw");
    ASSERT_FALSE(raw.empty());
    const std::string disk = salvor::test::CopyOf(raw, tmp, "disk.img");
    ASSERT_TRUE(salvor::test::WriteBytes(disk, 0, std::vector<std::uint8_t>(512, 0)));
    std::string listing;
    ASSERT_EQ(salvor::test::RunCommand("fls -r -p -o 128 '" + raw + "'", &listing), 0) << "fls (sleuthkit) is needed";
    const std::string flsFile = tmp.file("fls.txt");
    std::ofstream(flsFile) << listing;

    DeepScan d = Scan(disk);
    const int j = d.Find(128, 4);
    ASSERT_GE(j, 0);
    EXPECT_EQ(d.parts.size(), 1u) << "its log read one page before it is no volume";
    const auto& p = Ntfs(d.parts[static_cast<std::size_t>(j)]);
    EXPECT_EQ(p.GetPartitionBuildFromFlags() & 192u, 192u);
    EXPECT_GT(p.m_logFileMatches, 0);
    EXPECT_GE(p.m_attrDefMatches, 5) << "the $AttrDef content scores";
    EXPECT_EQ(p.m_upCaseMatches, 256) << "so does the $UpCase content";
    d.ExpectListing(j, flsFile);
    EXPECT_GT(d.ExpectIcat(j, listing, FixtureFile("ntfs_samples", "ntfs_index.icat.txt")), 20);
}

// The same Windows volume at sector 32768 of a disk without a table. Windows
// put its $MFTMirr at cluster 4, before its $MFT (cluster 4949), and a scan
// meets the pages of its $LogFile after the mirror's copy of the $LogFile
// record. Each case below is scanned with the $MFT's first record whole and
// zeroed (the volume's files then found from its other records): one volume,
// at its own start, every file as icat gives it.
class NtfsDeepScanFar : public NtfsDeepScan {
protected:
    void ExpectOneVolume(const std::string& image) {
        SCOPED_TRACE(image);
        const salvor::test::TempDir tmp;
        const std::string noRecord0 = salvor::test::CopyOf(image, tmp, "no_record0.img");
        ASSERT_TRUE(salvor::test::WriteBytes(noRecord0, (32768 + 4949 * 4) * 512LL, std::vector<std::uint8_t>(1024)));
        std::string listing;
        ASSERT_EQ(salvor::test::RunCommand("fls -r -p -o 32768 '" + far + "'", &listing), 0) << "fls (sleuthkit) is needed";
        for (const std::string& disk : {image, noRecord0}) {
            SCOPED_TRACE(disk);
            DeepScan d = Scan(disk);
            ASSERT_EQ(d.parts.size(), 1u);
            EXPECT_EQ(d.parts[0]->m_startSector, 32768);
            EXPECT_EQ(d.parts[0]->m_sectorsPerCluster, 4u);
            EXPECT_GT(d.ExpectIcat(0, listing, FixtureFile("ntfs_samples", "ntfs_index.icat.txt")), 20);
        }
    }
    const std::string far = FixtureFile("ntfs_samples", "ntfs_index_far.img");
};

// The log's first restart page, read as the second one, places a volume one
// page before this one; the second page met after it shows what it is.
TEST_F(NtfsDeepScanFar, LogsFirstRestartPageIsNoSecondPageOfAVolumeBefore) {
    ASSERT_FALSE(far.empty());
    ExpectOneVolume(far);
}

// The primary boot sector zeroed: the mirror's copy of the $MFT record, read
// as an $MFT, places a volume 19780 sectors earlier with nothing else for it.
// The better reading comes second: the $MFT's own, or, with the $MFT's first
// record zeroed, the copy read as the mirror of the volume its backup boot
// sector names. Only the better is kept.
TEST_F(NtfsDeepScanFar, MirrorCopyMetBeforeItsMftIsNoVolumeOfItsOwn) {
    ASSERT_FALSE(far.empty());
    const salvor::test::TempDir tmp;
    const std::string noBoot = salvor::test::CopyOf(far, tmp, "no_boot.img");
    ASSERT_TRUE(salvor::test::WriteBytes(noBoot, 32768LL * 512, std::vector<std::uint8_t>(512)));
    ExpectOneVolume(noBoot);
}

// A device that keeps what the searcher asks it to keep and, once told it is
// gone, answers only from that: what was kept of a range, the rest zeros, as
// the scan's read cache answers the build after the device went.
class KeepingDevice : public salvor::test::ImageDevice, public IKeptSectors {
public:
    using ImageDevice::ImageDevice;
    void KeepSectors(long long first, long long count) override {
        for (long long s = first; s < first + count; ++s) kept.insert(s);
    }
    int ReadSector(void* buffer, long long first, long long count) override {
        if (!gone) return ImageDevice::ReadSector(buffer, first, count);
        auto* out = static_cast<std::uint8_t*>(buffer);
        std::fill_n(out, static_cast<std::size_t>(count) * 512, std::uint8_t{0});
        bool any = false;
        for (long long s = first; s < first + count; ++s)
            if (kept.count(s)) any = ImageDevice::ReadSector(out + (s - first) * 512, s, 1) != 0 || any;
        return any ? 1 : 0;
    }
    std::set<long long> kept;
    bool gone = false;
};

// The searcher alone with blocks of 13 sectors: FILE records, INDX records,
// log restart and record pages fall across block ends and are joined, so the
// partitions and the trees are those of 4 MiB blocks. The records it read
// are kept: a device gone before the build still gives the same trees. A
// file record whose sectors fail at the build (a read that meets them gives
// none of its sectors) loses that file alone.
TEST_F(NtfsDeepScan, RecordsAcrossBlockEndsGiveTheSameResult) {
    const std::string raw = FixtureFile("ntfs_samples", "ntfs_index.raw");
    ASSERT_FALSE(raw.empty());
    struct Result {
        std::vector<std::tuple<long long, unsigned, std::uint32_t, long long, long long, long long, long long>> parts;
        std::size_t positions = 0;
        salvor::test::Entries found;
    };
    const auto run = [&](int block, int build, const std::function<void(KeepingDevice&)>& beforeBuild = {}) {
        KeepingDevice device(raw, 512);
        salvor::test::RecordingBuilder builder;
        CNTFSSearchController s;
        s.SetDevice(&device);
        s.SetBlockSize(block);
        s.SetDirecotryTreeBuilder(&builder);
        EXPECT_EQ(s.PreparetoSearch(), 1);
        const long long total = static_cast<long long>(device.GetTotalSectors());
        for (long long at = 0; at < total; at += block) EXPECT_EQ(s.AnalyzeBlock(at, std::min<long long>(block, total - at)), 1);
        Result r;
        r.positions = s.Positions().size();
        if (beforeBuild) beforeBuild(device);
        s.EndSearch(build);
        for (const auto& c : s.Candidates())
            r.parts.emplace_back(c->m_clusterOrigin, c->m_sectorsPerCluster, c->GetPartitionBuildFromFlags(),
                                 c->m_searcherField2, c->m_logFileMatches, c->m_attrDefMatches, c->m_mftSector);
        r.found = builder.Found();
        EXPECT_EQ(builder.flashCalls, build);
        return r;
    };
    const Result whole = run(8192, 1), cut = run(13, 1);
    EXPECT_FALSE(whole.parts.empty());
    EXPECT_EQ(whole.parts, cut.parts);
    EXPECT_EQ(whole.positions, cut.positions);
    EXPECT_GT(whole.found.size(), 30u);
    EXPECT_EQ(whole.found, cut.found);
    // Ended without building: no tree, and the partitions of a built end.
    const Result none = run(8192, 0);
    EXPECT_TRUE(none.found.empty());
    EXPECT_EQ(none.parts, whole.parts);
    // Gone before the build, in whole blocks and in blocks cut across records.
    for (int block : {8192, 13}) {
        const Result gone = run(block, 1, [](KeepingDevice& d) { d.gone = true; });
        EXPECT_EQ(gone.found, whole.found) << block;
    }
    // The sectors of 222222222222222.txt's record (44) fail.
    ntfstest::Volume v(ntfstest::kVolumes[11]);
    ASSERT_TRUE(v.device);
    long long sector = -1;
    ASSERT_FALSE(v.ReadRecord(44, &sector).empty());
    const long long before = salvor::UnreadableStructureSectors().load();
    const Result failing = run(8192, 1, [&](KeepingDevice& d) {
        d.SetWholeReadsFail(true);
        d.FailSectors(128 + sector, 2);
    });
    salvor::test::Entries expected;
    for (const auto& e : whole.found)
        if (!e.path.ends_with("/222222222222222.txt")) expected.insert(e);
    EXPECT_EQ(expected.size() + 1, whole.found.size());
    EXPECT_EQ(failing.found, expected);
    EXPECT_EQ(salvor::UnreadableStructureSectors().load() - before, 2);
}

// Stopped by the user without trees: the partitions found so far are kept.
TEST_F(NtfsDeepScan, StopWithoutBuildingMakesNoNodesAndKeepsThePartitions) {
    DeepScan d = Scan(Disk("disk_mbr_zeroed.img"), 512, false);
    EXPECT_TRUE(d.nodes.empty());
    const int j = d.Find(kStarts[0], kClusters[0]);
    ASSERT_GE(j, 0);
    EXPECT_EQ(d.parts[static_cast<std::size_t>(j)]->m_startSector, kStarts[0]);
}

} // namespace
