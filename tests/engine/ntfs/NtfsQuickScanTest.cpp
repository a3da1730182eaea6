// Quick scans of the NTFS fixtures and samples through the deleted-files
// controller, the tree builder and the writer, held to fls (listing, deleted
// marks) and to the sha256 manifests or icat (bytes).
#include "engine/include/DeviceGone.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/ntfs/NtfsBoot.h"
#include "engine/ntfs/NtfsQuickSearch.h"
#include "engine/ntfs/NtfsRegistration.h"
#include "engine/utility/SectorReads.h"
#include "tests/engine/ntfs/NtfsTestVolume.h"
#include "tests/support/ByteWriter.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <tuple>
#include <set>

using namespace ntfstest;
using salvor::test::FsScan;

namespace {

// Metafiles, the folders named like them ($RECYCLE.BIN) and streams.
bool LeftOut(const std::string& path) {
    return path.empty() || path[0] == '$' || path.find("/$") != std::string::npos ||
           path.find(':') != std::string::npos;
}

// fls's names of each file record: inode -> (path -> deleted). Metafiles and
// their folders, streams and index-only names (reused or metafile records) are left out.
std::map<long long, std::map<std::string, bool>> FlsNames(const std::string& image, unsigned sectorOffset,
                                                          bool all = false) {
    std::string out;
    EXPECT_EQ(salvor::test::RunCommand("fls -r -p -o " + std::to_string(sectorOffset) + " '" + image + "'", &out), 0)
        << "fls (sleuthkit) is needed";
    std::map<long long, std::map<std::string, bool>> names;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find(":\t");
        if (tab == std::string::npos || line.find("(realloc)") != std::string::npos) continue;
        const std::string path = line.substr(tab + 2);
        if (!all && LeftOut(path)) continue;
        const bool deleted = line.find(" * ") != std::string::npos;
        const auto num = line.find_first_of("0123456789", 4);
        // Records below 16 are metafiles; an index entry may name record 0.
        if (const long long inode = std::stoll(line.substr(num)); inode >= 16) names[inode][path] = deleted;
    }
    return names;
}

struct ScanCase {
    VolumeCase volume;
    unsigned deviceSectorSize;
};
void PrintTo(const ScanCase& c, std::ostream* os) {
    *os << c.volume.name << "@" << c.deviceSectorSize;
}

std::vector<ScanCase> Cases() {
    std::vector<ScanCase> out;
    for (const VolumeCase& v : kVolumes) out.push_back({v, v.sectorSize});
    // A 4096-byte-sector volume read through a 512-byte image device, and a
    // 512-byte-sector volume through a 4096-byte device.
    out.push_back({kVolumes[4], 512});
    out.push_back({kVolumes[0], 4096});
    return out;
}

class NtfsQuickScan : public ::testing::TestWithParam<ScanCase> {
protected:
    void SetUp() override {
        ResetFactories();
        RegisterNtfsLibrary();
    }
    void TearDown() override { ResetFactories(); }
};

TEST_P(NtfsQuickScan, ListsWhatFlsListsAndRecoversEveryFileByteExact) {
    const ScanCase& c = GetParam();
    const std::string dir = salvor::test::Fixture(c.volume.Fixture());
    ASSERT_FALSE(dir.empty());
    const std::string image = dir + "/" + c.volume.name + (c.volume.sample ? ".raw" : ".img");
    FsScan scan(image, c.deviceSectorSize, FS_NTFS, 512ull * c.volume.sectorOffset);
    EXPECT_EQ(scan.Run(), 0u);
    EXPECT_EQ(std::pair(scan.progress.Last().state, scan.progress.Last().result), std::pair(3u, ResultCode{0}));

    const auto fls = FlsNames(image, c.volume.sectorOffset);
    std::set<long long> seen;
    std::map<std::string, IFileNode*> byPath;
    std::map<long long, IFileNode*> byInode;
    for (const auto& [path, node] : scan.Nodes()) {
        const long long inode = node->GetCurrentNodeID();
        if (inode == 5 || inode < 0 || LeftOut(path)) continue;
        seen.insert(inode);
        byPath[path] = node;
        byInode[inode] = node;
        const auto names = fls.find(inode);
        ASSERT_NE(names, fls.end()) << path << " " << inode;
        // A record without a parent folder lies under "Other lost files".
        const auto slash = path.find('/');
        const bool lost = path.rfind("Other lost files/", 0) == 0;
        const std::string name = lost ? path.substr(slash + 1) : path;
        bool known = false;
        for (const auto& [p, deleted] : names->second)
            if (lost ? p.size() >= name.size() && p.compare(p.size() - name.size(), name.size(), name) == 0
                     : p == name) {
                known = true;
                EXPECT_EQ(node->IsDeleted() != 0, deleted) << path;
            }
        EXPECT_TRUE(known) << path << " " << inode;
    }
    for (const auto& [inode, names] : fls) EXPECT_TRUE(seen.count(inode)) << names.begin()->first << " " << inode;

    int written = 0;
    const auto check = [&](IFileNode* node, const std::string& sha, const std::string& what) {
        ASSERT_NE(node, nullptr) << what;
        if (node->GetFileSize() == 0) return;
        EXPECT_EQ(scan.Recover(node, SEARCHER_NTFS), sha) << what;
        ++written;
    };
    if (c.volume.sample) {
        std::istringstream in(ReadText(dir + "/" + c.volume.name + ".icat.txt"));
        long long inode;
        std::string sha;
        while (in >> inode >> sha)
            if (fls.count(inode)) check(byInode[inode], sha, std::to_string(inode));
    } else {
        // A hard link is shown under one of its names.
        std::map<std::string, long long> inodeOf;
        for (const auto& [inode, names] : fls)
            for (const auto& name : names) inodeOf[name.first] = inode;
        for (const auto& [path, sha] : salvor::test::Sha256Manifest(dir + "/" + c.volume.name + ".sha256.txt"))
            if (!LeftOut(path)) check(byPath.count(path) ? byPath[path] : byInode[inodeOf[path]], sha, path);
    }
    EXPECT_GT(written, 0);
}

INSTANTIATE_TEST_SUITE_P(Volumes, NtfsQuickScan, ::testing::ValuesIn(Cases()));

std::map<std::string, std::string> Listing(const FsScan& scan) {
    std::map<std::string, std::string> out;
    for (const auto& [path, node] : scan.Nodes())
        out[path] = std::to_string(node->GetFileSize()) + (node->IsDeleted() ? " *" : "");
    return out;
}

// Damaged boot sector and $MFT records on a copy of ntfs_4k: $MFTMirr stands
// in for a damaged $MFT record 0; each failure still ends with the final record.
// Unreadable sectors of $MFT (a read that meets one gives none of its
// sectors, as a disk's does) cost only the records they meet: records 0-3
// are read from $MFTMirr (no loss when it answers, a loss when its copy is
// zeros too); the first, the second or both sectors of a file's record lose
// that record alone, and the scan says records were lost. $MFTMirr keeps
// the first four records, or its whole first cluster when that holds more
// (records 0-63 on 64 KiB clusters), and no more.
TEST_F(NtfsQuickScan, DamagedMftRecordAndBootSector) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const std::uint64_t mft = static_cast<std::uint64_t>(v.boot.GetMFTStartCluster()) * v.clusterBytes;
    const std::uint64_t mirr = static_cast<std::uint64_t>(v.boot.GetMFTMirrorStartCluster()) * v.clusterBytes;
    const long long mftSector = static_cast<long long>(mft / 512);
    FsScan whole(v.Oracle("img"), 512, FS_NTFS);
    ASSERT_EQ(whole.Run(), 0u);
    const auto listing = Listing(whole);
    ASSERT_GT(listing.size(), 300u);
    std::map<long long, std::string> pathOf;
    for (const auto& [path, node] : whole.Nodes()) pathOf[node->GetCurrentNodeID()] = path;
    for (long long r : {99, 100, 101, 103, 104, 105, 106}) ASSERT_TRUE(pathOf.count(r)) << r;
    // The backup boot sector, in the volume's last sector.
    const std::uint64_t last = v.device->GetTotalSectors() - 1;
    const struct {
        std::vector<std::uint64_t> zeroed;
        ResultCode result;
        std::vector<long long> failed = {}; // sectors of the volume whose reads fail
        std::vector<long long> lost = {};   // records whose files are not listed
        long long unreadable = 0;           // sectors told unreadable
    } cases[] = {{{mft}, 0},
                 {{mft, mirr}, ntfs::kNoMft},
                 {{0}, ntfs::kNoBootSector},
                 {{}, 0, {0}, {}, 1}, // the backup answers for an unreadable boot sector
                 {{last * 512}, ntfs::kNoBootSector, {0}},
                 {{}, 0, {mftSector, mftSector + 3, mftSector + 4, mftSector + 7}},
                 {{mirr + 1024, mirr + 1536, mirr + 3072, mirr + 3584},
                  ntfs::kRecordsUnreadable, {mftSector + 2, mftSector + 7}, {}, 4},
                 {{},
                  ntfs::kRecordsUnreadable,
                  {mftSector + 200, mftSector + 207, mftSector + 210, mftSector + 211},
                  {100, 103, 105},
                  6}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.failed.empty() ? k.zeroed.at(0) : static_cast<std::uint64_t>(k.failed.at(0)));
        salvor::test::TempDir tmp;
        const std::string copy = salvor::test::CopyOf(v.Oracle("img"), tmp, "d.img");
        for (std::uint64_t at : k.zeroed) ASSERT_TRUE(salvor::test::WriteBytes(copy, at, std::vector<std::uint8_t>(512)));
        FsScan scan(copy, 512, FS_NTFS);
        scan.device.SetWholeReadsFail(true);
        for (long long s : k.failed) scan.device.FailSector(s);
        const long long before = salvor::UnreadableStructureSectors().load();
        scan.Run();
        EXPECT_EQ(salvor::UnreadableStructureSectors().load() - before, k.unreadable);
        EXPECT_EQ(std::pair(scan.progress.Last().state, scan.progress.Last().result), std::pair(3u, k.result));
        EXPECT_EQ(scan.progress.FinishedCount(), 1u);
        auto expected = listing;
        for (long long r : k.lost) expected.erase(pathOf.at(r));
        if (k.result == 0 || k.result == ntfs::kRecordsUnreadable) {
            EXPECT_EQ(Listing(scan), expected);
            // A scan that lost records still ends at its whole walk.
            EXPECT_EQ(std::pair(scan.progress.Last().current, scan.progress.Last().total),
                      std::pair(whole.progress.Last().total, whole.progress.Last().total));
        } else {
            EXPECT_TRUE(scan.Nodes().empty());
        }
    }
    // The recogniser reads the backup too, only where the device is the
    // volume (its end the volume's).
    v.device->SetWholeReadsFail(true);
    v.device->FailSector(0);
    for (const auto& [start, kind] : {std::pair{0ULL, FS_NTFS}, std::pair{1ULL, FS_UNKNOWN}}) {
        std::unique_ptr<IVolumeAnalyze> found(ntfs::CreateNTFSVolumeAnalyze(v.device.get(), start));
        EXPECT_EQ(found ? found->GetFileSystemType() : FS_UNKNOWN, kind) << start;
        if (found) {
            EXPECT_EQ(found->GetTotalSector(), last);
        }
    }
    v.device->ClearFailures();
    // What $MFTMirr keeps, on copies: ntfs_64k with record 65 copied as record
    // 40 into $MFT and $MFTMirr (a file record inside the mirrored cluster);
    // ntfs_2k, whose four mirrored records span two clusters; ntfs_4k with
    // record 4 copied just past the mirror's four records, which the mirror
    // does not keep. The record fails; the scan lists as on the copy.
    const struct {
        VolumeCase volume;
        long long record;
        long long copied;   // record copied over it, -1: none
        bool pastTheMirror; // the copy lies past the mirror's records, not in them
        ResultCode result;
    } mirrored[] = {{kVolumes[3], 40, 65, false, 0},
                    {kVolumes[1], 3, -1, false, 0},
                    {kVolumes[0], 4, 4, true, ntfs::kRecordsUnreadable}};
    const auto byRecord = [](const FsScan& scan) {
        std::map<long long, std::string> out;
        for (const auto& [path, node] : scan.Nodes()) out[node->GetCurrentNodeID()] = path;
        return out;
    };
    for (const auto& m : mirrored) {
        SCOPED_TRACE(m.volume.name);
        Volume vol(m.volume);
        ASSERT_TRUE(vol.device);
        salvor::test::TempDir tmp;
        const std::string copy = salvor::test::CopyOf(vol.Oracle("img"), tmp, "m.img");
        long long sector = -1;
        ASSERT_FALSE(vol.ReadRecord(m.record, &sector).empty());
        const std::uint64_t mirror = static_cast<std::uint64_t>(vol.boot.GetMFTMirrorStartCluster()) * vol.clusterBytes;
        if (m.copied >= 0) {
            auto record = vol.ReadRecord(m.copied);
            salvor::test::PutLe32(record, 44, static_cast<std::uint32_t>(m.record));
            const std::uint64_t in = static_cast<std::uint64_t>(m.record) * vol.recordSize;
            if (!m.pastTheMirror) {
                ASSERT_TRUE(salvor::test::WriteBytes(copy, static_cast<std::uint64_t>(sector) * 512, record));
            }
            ASSERT_TRUE(salvor::test::WriteBytes(copy, mirror + in, record));
        }
        FsScan plain(copy, 512, FS_NTFS), failing(copy, 512, FS_NTFS);
        ASSERT_EQ(plain.Run(), 0u);
        failing.device.SetWholeReadsFail(true);
        failing.device.FailSectors(sector, vol.recordSize / 512);
        failing.Run();
        EXPECT_EQ(failing.progress.Last().result, m.result);
        EXPECT_EQ(byRecord(failing), byRecord(plain));
        if (m.copied >= 0 && !m.pastTheMirror) {
            EXPECT_TRUE(byRecord(plain).count(m.record));
        }
    }
    // A searcher used again counts only its own search's lost records.
    Volume failing(kVolumes[0]);
    failing.device->SetWholeReadsFail(true);
    failing.device->FailSector(mftSector + 200);
    CNTFSQuickSearch searcher;
    for (const auto& [sectorFails, lost, result] :
         {std::tuple{true, 1LL, ntfs::kRecordsUnreadable}, std::tuple{false, 0LL, ResultCode{0}}}) {
        if (!sectorFails) failing.device->ClearFailures();
        salvor::test::RecordingBuilder builder;
        salvor::test::RecordingProgress progress;
        searcher.SetDirecotryTreeBuilder(&builder);
        EXPECT_EQ(searcher.QuickSearchFiles(failing.device.get(), &progress), result);
        EXPECT_EQ(searcher.UnreadableRecords(), lost);
    }
    // The device found gone at the first read of the records: none of them is
    // told unreadable nor counted as a bad sector; the end says nothing of
    // them, the device's going is told by the controller.
    struct GoneDevice : salvor::test::ImageDevice, IDeviceGone {
        using ImageDevice::ImageDevice;
        int ReadSector(void* buffer, long long first, long long count) override {
            if (first + count > goneFrom) gone = true;
            return gone ? 0 : ImageDevice::ReadSector(buffer, first, count);
        }
        bool IsGone() override { return gone; }
        long long goneFrom = 0;
        bool gone = false;
    } goneDevice(v.Oracle("img"));
    goneDevice.goneFrom = mftSector + 8;
    salvor::test::RecordingBuilder goneBuilder;
    salvor::test::RecordingProgress goneProgress;
    searcher.SetDirecotryTreeBuilder(&goneBuilder);
    const long long before = salvor::UnreadableStructureSectors().load();
    EXPECT_EQ(searcher.QuickSearchFiles(&goneDevice, &goneProgress), ResultCode{0});
    EXPECT_TRUE(goneDevice.gone);
    EXPECT_GT(searcher.UnreadableRecords(), 0);
    EXPECT_EQ(salvor::UnreadableStructureSectors().load(), before);
}

// $MFT's attribute list names extension records whose pieces claim the whole
// volume again, from past the $MFT's allocated size and over its own VCNs
// (ntfs_4kx): each range is read once, so the scan reads less than the
// volume and lists as on ntfs_4k. A piece over clusters already taken is
// left out too.
TEST_F(NtfsQuickScan, MftPiecesNamedAgainAreReadOnce) {
    const std::string dir = salvor::test::Fixture("ntfs_volumes");
    ASSERT_FALSE(dir.empty());
    FsScan plain(dir + "/ntfs_4k.img", 512, FS_NTFS), crafted(dir + "/ntfs_4kx.img", 512, FS_NTFS);
    ASSERT_EQ(plain.Run(), 0u);
    ASSERT_EQ(crafted.Run(), 0u);
    EXPECT_EQ(Listing(crafted), Listing(plain));
    EXPECT_EQ(crafted.Nodes().size(), plain.Nodes().size());

    salvor::test::ImageDevice device(dir + "/ntfs_4kx.img");
    salvor::test::RecordingBuilder builder;
    salvor::test::RecordingProgress progress;
    CNTFSQuickSearch searcher;
    searcher.SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), 0u);
    EXPECT_EQ(searcher.MftRuns().GetTotalClusters(), 111);
    EXPECT_LT(device.SectorsRead(), device.GetTotalSectors());

    const auto runs = CNTFSQuickSearch::TakeEachRangeOnce({{4, 0, 50}, {20, 50, 10}, {300, 50, 100}}, 111);
    EXPECT_EQ(runs.Runs(), (std::vector<CDataRun>{{4, 0, 50}, {300, 50, 61}}));
}

// A stop before the first run gives no nodes and the final record at the total.
TEST_F(NtfsQuickScan, StopBeforeTheFirstRun) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    salvor::test::RecordingBuilder builder;
    salvor::test::RecordingProgress progress;
    progress.Stop();
    std::unique_ptr<IQuickFileSystemSearchController> searcher(CreateNTFSQuickSearcher());
    searcher->SetDirecotryTreeBuilder(&builder);
    EXPECT_EQ(searcher->QuickSearchFiles(v.device.get(), &progress), 0u);
    EXPECT_TRUE(builder.nodes.empty());
    EXPECT_EQ(builder.flashCalls, 1);
    const auto last = progress.Last();
    EXPECT_EQ(last.state, 3u);
    EXPECT_EQ(last.current, last.total);
    EXPECT_GT(last.total, 0u);
}

// The recycle bin of every fixture volume: the $R files with an index show
// the names their $I files (version 2 and version 1, resident) record, the
// one without keeps its own; all three keep their bytes.
class NtfsRecycleBin : public NtfsQuickScan {};

TEST_P(NtfsRecycleBin, FilesGetTheirRecordedNames) {
    const ScanCase& c = GetParam();
    const std::string dir = salvor::test::Fixture(c.volume.Fixture());
    ASSERT_FALSE(dir.empty());
    const std::string image = dir + "/" + c.volume.name + ".img";
    FsScan scan(image, c.deviceSectorSize, FS_NTFS);
    ASSERT_EQ(scan.Run(), 0u);
    std::map<long long, IFileNode*> byInode;
    for (const auto& [path, node] : scan.Nodes()) byInode[node->GetCurrentNodeID()] = node;
    std::map<std::string, long long> inodeOf;
    for (const auto& [inode, names] : FlsNames(image, 0, true))
        for (const auto& name : names) inodeOf[name.first.substr(name.first.rfind('/') + 1)] = inode;
    const auto manifest = salvor::test::Sha256Manifest(dir + "/" + c.volume.name + ".sha256.txt");
    const std::string bin = "$Recycle.Bin/S-1-5-21-3623811015-3361044348-30300820-1001/";
    const struct {
        const char* stored;
        const char* shown;
    } cases[] = {{"$RAB12CD.docx", "Quarterly report.docx"},
                 {"$RXY34EF.txt", "old notes.txt"},
                 {"$RZZ99ZZ.bin", "$RZZ99ZZ.bin"}};
    for (const auto& k : cases) {
        IFileNode* node = byInode[inodeOf[k.stored]];
        ASSERT_NE(node, nullptr) << k.stored;
        EXPECT_STREQ(node->GetFileName(), k.shown);
        EXPECT_EQ(scan.Recover(node, SEARCHER_NTFS), manifest.at(bin + k.stored)) << k.stored;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsRecycleBin,
                         ::testing::Values(ScanCase{kVolumes[0], 512}, ScanCase{kVolumes[1], 512},
                                           ScanCase{kVolumes[2], 512}, ScanCase{kVolumes[3], 512},
                                           ScanCase{kVolumes[4], 4096}));

// The log-rebuild variants: the cleared deleted record gets its size and runs
// back, from the image $LogFile holds (4kl: the recorded size; 4kb: so in a
// log longer than is read) or from the
// saved bytes of its $DATA in a record that crosses into the next page (4kp:
// whole clusters); everything else is listed as on ntfs_4k.
TEST_F(NtfsQuickScan, DeletedRecordRebuiltFromLogFile) {
    const std::string dir = salvor::test::Fixture("ntfs_volumes");
    ASSERT_FALSE(dir.empty());
    FsScan plain(dir + "/ntfs_4k.img", 512, FS_NTFS);
    ASSERT_EQ(plain.Run(), 0u);
    const struct {
        const char* image;
        long long size;
        std::string sha;
    } cases[] = {
        {"ntfs_4kl", 70000, salvor::test::Sha256Manifest(dir + "/ntfs_4k.sha256.txt").at("gone_big.bin")},
        {"ntfs_4kp", 18 * 4096,
         salvor::test::Sha256Manifest(dir + "/ntfs_4kp.sha256.txt").at("gone_big.bin")},
        // A $LogFile of 258 MiB, read up to the bound.
        {"ntfs_4kb", 70000, salvor::test::Sha256Manifest(dir + "/ntfs_4k.sha256.txt").at("gone_big.bin")}};
    for (const auto& k : cases) {
        FsScan cleared(dir + "/" + k.image + ".img", 512, FS_NTFS);
        ASSERT_EQ(cleared.Run(), 0u);
        auto expected = Listing(plain);
        expected["gone_big.bin"] = std::to_string(k.size) + " *";
        EXPECT_EQ(Listing(cleared), expected) << k.image;
        const auto nodes = cleared.Nodes();
        const auto it = nodes.find("gone_big.bin");
        ASSERT_NE(it, nodes.end());
        EXPECT_EQ(cleared.Recover(it->second, SEARCHER_NTFS), k.sha) << k.image;
    }
}

// A record page of $LogFile with log records at the given offsets, each
// {offset, client data length, FILE image at client byte 40}; sector ends fixed up.
// `raw` pastes whole log records {offset, bytes} as they are.
std::vector<std::uint8_t>
LogPage(const std::vector<std::tuple<unsigned, std::uint32_t, bool>>& records,
        const std::vector<std::pair<unsigned, std::vector<std::uint8_t>>>& raw = {}) {
    std::vector<std::uint8_t> page(4096, 0);
    std::memcpy(page.data(), "RCRD", 4);
    page[4] = 40, page[6] = 9;
    page[8] = 0x99; // last LSN: none of the records
    for (const auto& [off, length, image] : records) {
        page[off] = 1;
        salvor::test::PutLe32(page, off + 24, length);
        if (image && off + 93 <= 4096) std::memcpy(&page[off + 88], "FILE0", 5);
    }
    for (const auto& [off, bytes] : raw)
        std::copy(bytes.begin(), bytes.end(), page.begin() + off);
    page[40] = 1;
    for (unsigned i = 1; i <= 8; ++i) {
        page[40 + 2 * i] = page[i * 512 - 2], page[41 + 2 * i] = page[i * 512 - 1];
        page[i * 512 - 2] = 1, page[i * 512 - 1] = 0;
    }
    return page;
}

// Hostile log pages on a copy of ntfs_4k: an image cut by the page end, a
// record longer than the page, a length that wraps; the scan lists as before.
TEST_F(NtfsQuickScan, HostileLogPagesAreWalkedWithinThePage) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    CNTFSDataRunList log;
    ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(v.ReadRecord(2), log, false, nullptr));
    const std::uint64_t page4 = static_cast<std::uint64_t>(log.Runs().at(0).lcn) * v.clusterBytes + 4 * 4096;
    FsScan plain(v.Oracle("img"), 512, FS_NTFS);
    ASSERT_EQ(plain.Run(), 0u);
    const std::vector<std::vector<std::tuple<unsigned, std::uint32_t, bool>>> pages = {
        {{64, 3000 - 64 - 48, false}, {3000, 5000, true}},
        {{64, 0xFFFFFFF0u, true}},
        {{64, 4000, false}, {4040, 200, true}}};
    for (const auto& records : pages) {
        salvor::test::TempDir tmp;
        const std::string copy = salvor::test::CopyOf(v.Oracle("img"), tmp, "l.img");
        ASSERT_TRUE(salvor::test::WriteBytes(copy, page4, LogPage(records)));
        FsScan scan(copy, 512, FS_NTFS);
        EXPECT_EQ(scan.Run(), 0u);
        EXPECT_EQ(Listing(scan), Listing(plain));
    }
}

// Saved bytes that cannot apply to the cleared record of ntfs_4kp are left
// out: bytes that would pass the record's end, bytes for the next record, and
// bytes whose VCN x cluster bytes wraps round to its number. Each would give
// it one cluster; it is rebuilt as without them.
TEST_F(NtfsQuickScan, SavedBytesThatCannotApplyAreLeftOut) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const std::string dir = salvor::test::Fixture("ntfs_volumes");
    long long number = -1;
    for (const auto& [inode, names] : FlsNames(v.Oracle("img"), 0))
        if (names.count("gone_big.bin")) number = inode;
    ASSERT_GT(number, 0);
    const CNTFSFileRecord record(v.ReadRecord(number));
    const unsigned a = CNTFSFileRecord::GetAttributeOffset(record.Data(), ntfs::ATTR_DATA, 0);
    ASSERT_LT(a, 1024u);
    // Its $DATA from the last VCN on, mapping one cluster at cluster 1.
    std::vector<std::uint8_t> saved(record.Data().begin() + a + 24, record.Data().begin() + a + 72);
    std::fill(saved.begin() + 40, saved.end(), 0);
    saved[40] = 0x11, saved[41] = 1, saved[42] = 1;
    const auto logRecord = [&](std::uint64_t lsn, std::uint64_t vcn, std::uint16_t block, std::uint16_t at) {
        std::vector<std::uint8_t> r(88 + saved.size(), 0);
        const auto put = [&](std::size_t off, std::uint64_t value, unsigned n) { salvor::test::PutLe(r, off, value, n); };
        put(0, lsn, 8), put(24, 40 + saved.size(), 4), put(56, 40, 2), put(58, saved.size(), 2);
        put(64, a, 2), put(66, at, 2), put(68, block, 2), put(72, vcn, 8);
        std::copy(saved.begin(), saved.end(), r.begin() + 88);
        return r;
    };
    const std::uint64_t at = static_cast<std::uint64_t>(number) * 1024;
    const std::uint64_t vcn = at / 4096, block = at % 4096 / 512;
    CNTFSDataRunList log;
    ASSERT_TRUE(
        CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(v.ReadRecord(2), log, false, nullptr));
    FsScan plain(dir + "/ntfs_4kp.img", 512, FS_NTFS);
    ASSERT_EQ(plain.Run(), 0u);
    salvor::test::TempDir tmp;
    const std::string copy = salvor::test::CopyOf(dir + "/ntfs_4kp.img", tmp, "p.img");
    ASSERT_TRUE(salvor::test::WriteBytes(
        copy, static_cast<std::uint64_t>(log.Runs().at(0).lcn) * v.clusterBytes + 6 * 4096,
        LogPage({}, {{64, logRecord(7, vcn, block, 1000)},
                     {200, logRecord(8, vcn + (block + 2) / 8, (block + 2) % 8, 24)},
                     {336, logRecord(9, vcn + (1ull << 52), block, 24)}})));
    FsScan scan(copy, 512, FS_NTFS);
    ASSERT_EQ(scan.Run(), 0u);
    EXPECT_EQ(Listing(scan), Listing(plain));
    const auto nodes = scan.Nodes(), before = plain.Nodes();
    ASSERT_TRUE(nodes.count("gone_big.bin") && before.count("gone_big.bin"));
    EXPECT_EQ(scan.Recover(nodes.find("gone_big.bin")->second, SEARCHER_NTFS),
              plain.Recover(before.find("gone_big.bin")->second, SEARCHER_NTFS));
}

// Pieces of a rebuilt $DATA joined by VCN: a gap between them is a hole (the
// second piece's bytes stay at its own offset), an overlap is cut, a piece
// inside another adds nothing; a run past the device gives nothing.
TEST(NtfsLogRebuild, PiecesJoinByVcn) {
    using Runs = std::vector<CDataRun>;
    const struct {
        Runs pieces;
        Runs joined;
    } cases[] = {
        {{{100, 0, 4}, {200, 6, 2}}, {{100, 0, 4}, {-1, 4, 2}, {200, 6, 2}}},
        {{{200, 6, 2}, {100, 0, 4}}, {{100, 0, 4}, {-1, 4, 2}, {200, 6, 2}}},
        {{{100, 0, 4}, {200, 2, 4}}, {{100, 0, 4}, {202, 4, 2}}},
        {{{100, 0, 8}, {200, 2, 3}}, {{100, 0, 8}}},
        {{{100, 0, 4}, {-1, 4, 4}, {300, 8, 1}}, {{100, 0, 4}, {-1, 4, 4}, {300, 8, 1}}},
        {{{100, 0, 4}, {990, 4, 20}}, {}},
    };
    for (const auto& c : cases) {
        CNTFSDataRunList pieces;
        for (const CDataRun& r : c.pieces) pieces.AddRun(r);
        EXPECT_EQ(CFindFileFromLogFile::MergeByVcn(pieces, 1000, 4096).Runs(), c.joined);
    }
}

// $LogFile holding the images of two deleted files, another's first: the
// cleared record of gone_big.bin takes its own (by name), not the first one.
TEST_F(NtfsQuickScan, LogImageOfAnotherFileIsNotTaken) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const std::string dir = salvor::test::Fixture("ntfs_volumes");
    long long other = -1;
    for (const auto& [inode, names] : FlsNames(v.Oracle("img"), 0))
        if (names.count("bulk.bin")) other = inode;
    ASSERT_GT(other, 0);
    CNTFSDataRunList log;
    ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(v.ReadRecord(2), log, false, nullptr));
    const std::uint64_t page4 = static_cast<std::uint64_t>(log.Runs().at(0).lcn) * v.clusterBytes + 4 * 4096;
    salvor::test::TempDir tmp;
    const std::string copy = salvor::test::CopyOf(dir + "/ntfs_4kl.img", tmp, "two.img");
    // gone_big.bin's image moves to page 5; page 4 holds bulk.bin's (same folder).
    ASSERT_TRUE(salvor::test::WriteBytes(copy, page4 + 4096, salvor::test::ReadBytes(copy, page4, 4096)));
    const auto image = v.ReadRecord(other);
    std::vector<std::uint8_t> entry(48 + 40 + image.size(), 0);
    const std::uint32_t client = static_cast<std::uint32_t>(40 + image.size());
    entry[0] = 1;
    salvor::test::PutLe32(entry, 24, client);
    std::copy(image.begin(), image.end(), entry.begin() + 88);
    ASSERT_TRUE(salvor::test::WriteBytes(copy, page4, LogPage({}, {{64, entry}})));
    FsScan scan(copy, 512, FS_NTFS);
    ASSERT_EQ(scan.Run(), 0u);
    const auto nodes = scan.Nodes();
    const auto it = nodes.find("gone_big.bin");
    ASSERT_NE(it, nodes.end());
    EXPECT_EQ(it->second->GetFileSize(), 70000);
    EXPECT_EQ(scan.Recover(it->second, SEARCHER_NTFS),
              salvor::test::Sha256Manifest(dir + "/ntfs_4k.sha256.txt").at("gone_big.bin"));
}

// The samples: the finder takes every page of $LogFile (as icat reads it),
// and walks the log records, keeps the FILE images and the saved bytes that
// ntfs_logwalk.py finds there.
TEST_F(NtfsQuickScan, FinderTakesEveryLogPageOfTheSamples) {
    for (const VolumeCase& c : kVolumes) {
        if (!c.sample) continue;
        Volume v(c);
        ASSERT_TRUE(v.device) << c.name;
        salvor::test::RecordingBuilder builder;
        salvor::test::RecordingProgress progress;
        CNTFSQuickSearch searcher;
        searcher.SetDirecotryTreeBuilder(&builder);
        EXPECT_EQ(searcher.QuickSearchFiles(v.device.get(), &progress), 0u) << c.name;
        const CFindFileFromLogFile& log = searcher.LogFinder();
        EXPECT_EQ(log.GetLogPageCount() * 4096, ReadText(v.Oracle("logfile")).size()) << c.name;
        std::ostringstream walk;
        walk << "pages " << log.GetLogPageCount() << " records " << log.RecordCount() << " images "
             << log.ImageCount() << " saved " << log.SavedCount() << "\n";
        EXPECT_EQ(walk.str(), ReadText(v.Oracle("logwalk.txt"))) << c.name;
    }
}

// Refused, with no node: 2 MiB clusters (no NTFS volume to the searcher), and
// 512-byte clusters read through 4096-byte device sectors (not addressable).
TEST_F(NtfsQuickScan, UnaddressableClustersAreRefused) {
    const std::string twoMiB = salvor::test::FixtureFile("ntfs_samples", "ntfs-2m.raw");
    const std::string small = salvor::test::FixtureFile("ntfs_volumes", "ntfs_512.img");
    const std::tuple<std::string, unsigned, unsigned long long> cases[] = {
        {twoMiB, 512, 0}, {twoMiB, 512, 128 * 512}, {small, 4096, 0}};
    for (const auto& [image, sectorSize, start] : cases) {
        salvor::test::ImageDevice device(image, sectorSize, start);
        salvor::test::RecordingBuilder builder;
        salvor::test::RecordingProgress progress;
        CNTFSQuickSearch searcher;
        searcher.SetDirecotryTreeBuilder(&builder);
        EXPECT_EQ(searcher.QuickSearchFiles(&device, &progress), ntfs::kNoBootSector);
        EXPECT_TRUE(builder.nodes.empty());
        EXPECT_EQ(progress.FinishedCount(), 1u);
    }
}

} // namespace
