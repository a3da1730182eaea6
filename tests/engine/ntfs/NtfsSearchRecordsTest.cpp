// The records the NTFS searches keep, on the metafile records of the NTFS
// fixtures: what they read, their saved form (round trips byte for byte,
// damaged forms refused), and the matchers' sector bookkeeping and boot-sector
// readings of the deep search.
#include "engine/ntfs/NtfsDeepSearch.h"
#include "engine/ntfs/NtfsDeepTree.h"
#include "tests/support/fs_Scan.h"
#include "tests/engine/ntfs/NtfsTestVolume.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace ntfstest;

namespace {

// Saved form -> restored -> saved again: the same bytes; every shorter or
// retagged form is refused and leaves the record as it was.
template <typename Record>
void ExpectRoundTrip(const Record& original) {
    ntfs::RecordStream saved;
    original.Save(saved);
    Record restored;
    ntfs::Bytes in(saved);
    ASSERT_TRUE(restored.Restore(in));
    EXPECT_TRUE(in.empty());
    ntfs::RecordStream again;
    restored.Save(again);
    EXPECT_EQ(saved, again);
    for (std::size_t n = 0; n < saved.size(); ++n) {
        ntfs::Bytes cut(saved.data(), n);
        Record r;
        EXPECT_FALSE(r.Restore(cut)) << n;
        EXPECT_EQ(cut.size(), n);
    }
    ntfs::RecordStream retagged = saved;
    retagged[0] ^= 0x40;
    ntfs::Bytes tagged(retagged);
    EXPECT_FALSE(restored.Restore(tagged));
}

long long Inode(const Volume& v, const std::string& name) {
    std::ifstream in(v.dir + "/" + v.info.name + ".fls.txt");
    for (std::string line; std::getline(in, line);)
        if (line.size() > name.size() + 1 && line.compare(line.size() - name.size() - 1, std::string::npos, "\t" + name) == 0)
            return std::stoll(line.substr(line.find_first_of("0123456789")));
    return -1;
}

class NtfsSearchRecords : public ::testing::TestWithParam<VolumeCase> {};

TEST_P(NtfsSearchRecords, MetafileRecordsParseAndRoundTrip) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device);
    const unsigned ss = v.info.sectorSize;
    long long sector = 0;
    const CNTFSFileRecord mftRecord(v.ReadRecord(0, &sector));
    auto mft = CMFTInfo::Build(mftRecord, sector, ss);
    ASSERT_TRUE(mft);
    EXPECT_EQ(mft->GetSectorAddress(), sector);
    EXPECT_EQ(mft->GetFirstClusterNO(), v.boot.GetMFTStartCluster());
    EXPECT_EQ(mft->GetSectorsPerCluster(), v.spc);
    EXPECT_TRUE(mft->GetDataRunList().IsEqual(v.mft));
    ExpectRoundTrip(*mft);

    auto mirr = CMFTMirrInfo::Build(CNTFSFileRecord(v.ReadRecord(1, &sector)), sector, ss);
    ASSERT_TRUE(mirr);
    EXPECT_EQ(mirr->GetFirstClusterNO(), v.boot.GetMFTMirrorStartCluster());
    EXPECT_EQ(mirr->GetSectorsPerCluster(), v.spc);
    ExpectRoundTrip(*mirr);

    CLogFileInfo log;
    ASSERT_TRUE(log.InitFromBuffer(v.ReadRecord(2, &sector), sector, ss));
    EXPECT_GT(log.GetDataRunList().GetTotalClusters(), 0);
    ExpectRoundTrip(log);
    // A 4 KiB record holds $AttrDef's 2,560 bytes itself: no runs, no find.
    CAttrDefFileInfo attrDef;
    ASSERT_EQ(attrDef.InitFromBuffer(v.ReadRecord(4, &sector), sector), v.recordSize < 4096);
    ExpectRoundTrip(attrDef);
    CUpCaseFileInfo upCase;
    ASSERT_TRUE(upCase.InitFromBuffer(v.ReadRecord(10, &sector), sector));
    // 128 KiB of table.
    EXPECT_EQ(upCase.GetDataRunList().GetTotalClusters() * v.clusterBytes, 131072);
    ExpectRoundTrip(upCase);
    CUpCaseFileInfo same;
    ntfs::RecordStream saved;
    upCase.Save(saved);
    ntfs::Bytes in(saved);
    ASSERT_TRUE(same.Restore(in));
    EXPECT_TRUE(same.Equals(upCase));
    EXPECT_FALSE(same.Equals(attrDef));

    CBitmapFileInfo bitmap;
    ASSERT_TRUE(bitmap.InitFromBuffer(CNTFSFileRecord(v.ReadRecord(6, &sector)), sector));
    EXPECT_EQ(bitmap.GetFileSize() * 8 >= (v.boot.GetTotalSectors() * v.boot.GetBytesPerSector()) / v.clusterBytes, true);
    ExpectRoundTrip(bitmap);

    // A folder of 300 entries has an index allocation; the root folder's is not kept.
    const long long many = Inode(v, "Many");
    ASSERT_GT(many, 0);
    CFolderIndexAllocationInfo folder;
    ASSERT_TRUE(folder.InitFromBuffer(v.ReadRecord(many, &sector), sector, ss));
    EXPECT_EQ(folder.GetMFTFileRecordNumber(), many);
    EXPECT_TRUE(folder.HasXPNumberOfthisMFTRecord());
    EXPECT_EQ(folder.GetXPNumberOfthisMFTRecord(), many);
    EXPECT_EQ(folder.GetSectorsPerCluster(), v.spc);
    EXPECT_GE(folder.GetLCN(0), 0);
    EXPECT_EQ(folder.GetLCN(1 << 30), -1);
    ExpectRoundTrip(folder);
    EXPECT_FALSE(CFolderIndexAllocationInfo().InitFromBuffer(v.ReadRecord(5), 0, ss));

    CCommonFileRecordInfo file;
    const long long target = Inode(v, "Links/target.bin");
    ASSERT_TRUE(file.InitFromBuffer(v.ReadRecord(target, &sector), sector));
    EXPECT_EQ(file.GetMFTFileRecordNumber(), target);
    EXPECT_EQ(file.GetFileRecordNumberofParentDirectory(), Inode(v, "Links"));
    EXPECT_FALSE(file.IsDirectory());
    ExpectRoundTrip(file);
    ExpectRoundTrip(CCommonFileRecordPositionInfo(sector));

    // Damaged records are refused by every record.
    std::vector<std::uint8_t> damaged = v.ReadRecord(0);
    damaged[0] = 'X';
    EXPECT_FALSE(CMFTInfo::Build(CNTFSFileRecord(damaged), 0));
    EXPECT_FALSE(CMFTMirrInfo::Build(CNTFSFileRecord(damaged), 0));
    EXPECT_FALSE(CLogFileInfo().InitFromBuffer(damaged, 0));
    EXPECT_FALSE(CBitmapFileInfo().InitFromBuffer(CNTFSFileRecord(damaged), 0));
    EXPECT_FALSE(CCommonFileRecordInfo().InitFromBuffer(damaged, 0));
    EXPECT_FALSE(CFolderIndexAllocationInfo().InitFromBuffer(damaged, 0));
    EXPECT_FALSE(CAttrDefFileInfo().InitFromBuffer(ntfs::Bytes(damaged).first(512), 0));
}

INSTANTIATE_TEST_SUITE_P(Fixtures, NtfsSearchRecords, ::testing::ValuesIn(std::begin(kVolumes), std::begin(kVolumes) + 5));

// A record whose $DATA sizes give no cluster size: $MFT needs one, $MFTMirr
// does not; a $Bitmap of size 0 is none.
TEST(NtfsSearchRecordsEdges, ZeroSizesAndPositionRuns) {
    Volume v(kVolumes[0]);
    ASSERT_TRUE(v.device);
    const auto zeroSizes = [&](long long number) {
        CNTFSFileRecord fixed(v.ReadRecord(number));
        std::vector<std::uint8_t> rec(fixed.Data().begin(), fixed.Data().end());
        const auto offset = CNTFSFileRecord::GetAttributeOffset(rec, ntfs::ATTR_DATA, 0);
        std::fill_n(rec.begin() + offset + 40, 24, 0); // allocated, real and initialised sizes
        return CNTFSFileRecord(rec);
    };
    EXPECT_FALSE(CMFTInfo::Build(zeroSizes(0), 0));
    auto mirr = CMFTMirrInfo::Build(zeroSizes(0), 0);
    ASSERT_TRUE(mirr);
    EXPECT_EQ(mirr->GetSectorsPerCluster(), 0);
    EXPECT_FALSE(CBitmapFileInfo().InitFromBuffer(zeroSizes(6), 0));

    CCommonFileRecordPositionInfo run(1000);
    EXPECT_TRUE(run.Merge(1002));
    EXPECT_TRUE(run.Merge(1004));
    EXPECT_FALSE(run.Merge(1005));
    EXPECT_EQ(run.GetCount(), 3);
    // Values no search makes.
    ntfs::RecordStream saved;
    run.Save(saved);
    saved[8] = 0xFF; // the first sector's top byte: a negative sector
    ntfs::Bytes in(saved);
    EXPECT_FALSE(CCommonFileRecordPositionInfo().Restore(in));
    CMFTInfo big;
    ntfs::RecordStream runs = {10, 0, 0, 0, 0, 0, 0, 0, 0, 2, 8, 0xFF, 0xFF, 0xFF, 0x7F};
    ntfs::Bytes many(runs);
    EXPECT_FALSE(big.Restore(many)) << "a run count past the bytes";

    CSearchedNTFSPartitionInfo partition(4096);
    partition.m_clusterOrigin = 2048;
    partition.m_sectorsPerCluster = 8;
    partition.SetPartitionBuildFromFlag(39);
    partition.m_mftSector = 2080;
    ExpectRoundTrip(partition);
}

TEST(NtfsMetaFileMatch, SectorRangesAndStandardContents) {
    CMetaFileAnalyzer ranges;
    for (long long s : {10, 11, 12, 20, 13}) ranges.CombineSectorOfRange(s);
    ASSERT_EQ(ranges.Ranges().size(), 2u);
    EXPECT_EQ(ranges.Ranges()[0], std::make_pair(10LL, 4LL));
    EXPECT_EQ(ranges.GetSectorRangeCount(11, 20), 4);
    EXPECT_EQ(ranges.GetSectorRangeCount(0, 9), 0);
    CNTFSDataRunList runs;
    runs.AddRun({5, 0, 1}); // sectors 10-11 with 2 sectors per cluster
    runs.AddRun({10, 1, 1}); // sectors 20-21
    EXPECT_EQ(ranges.GetMatchCount(runs, 0, 2), 3);

    CAttrDefFileAnalyzer attrDef;
    EXPECT_EQ(attrDef.AnalyzeSectorBuffer(7, CAttrDefFileAnalyzer::StandardContent() + 1024), 1);
    std::vector<std::uint8_t> other(CAttrDefFileAnalyzer::StandardContent(), CAttrDefFileAnalyzer::StandardContent() + 512);
    other[100] ^= 1;
    EXPECT_EQ(attrDef.AnalyzeSectorBuffer(8, other.data()), 0);
    CUpCaseFileAnalyzer upCase;
    EXPECT_EQ(upCase.AnalyzeSectorBuffer(3, CUpCaseFileAnalyzer::StandardContent() + 512 * 3), 1);
    EXPECT_EQ(upCase.AnalyzeSectorBuffer(4, std::vector<std::uint8_t>(512, 0).data()), 0);
    // The ASCII letters are upper-cased.
    EXPECT_EQ(CUpCaseFileAnalyzer::StandardContent()[2 * 'q'], 'Q');
}

// $UpCase as icat reads it from volumes formatted by Windows 10 (ntfs-ptrn),
// by Windows (ntfs_index), by the kernel's ntfs3 and by mkntfs, and the
// table Windows XP formats with: every one of its 256 pages is matched.
TEST(NtfsMetaFileMatch, UpCaseReferenceMatchesTheTablesFormattersWrite) {
    for (auto [fixture, file] : {std::pair{"ntfs_samples", "ntfs-ptrn.upcase"}, {"ntfs_samples", "ntfs_index.upcase"},
                                 {"ntfs_samples", "ntfs3.upcase"}, {"ntfs_volumes", "ntfs_4k.upcase"},
                                 {"ntfs_samples", "xp.upcase"}}) {
        const std::string table = salvor::test::ReadWholeFile(salvor::test::FixtureFile(fixture, file));
        ASSERT_EQ(table.size(), 131072u) << file;
        CUpCaseFileAnalyzer upCase;
        int matched = 0;
        for (int k = 0; k < 256; ++k)
            matched += upCase.AnalyzeSectorBuffer(k, reinterpret_cast<const std::uint8_t*>(table.data()) + 512 * k);
        EXPECT_EQ(matched, 256) << file;
        EXPECT_EQ(upCase.Sectors().Ranges(), (std::vector<std::pair<long long, long long>>{{0, 256}})) << file;
    }
}

// Boot sectors alone: a volume's two give one candidate with both flags; a
// backup alone reads as the end of a volume and as the start of another.
TEST(NtfsDeepSearchBoot, PrimaryAndBackupBootSectors) {
    Volume v(kVolumes[2]); // 512-byte clusters: the candidate's cluster size is 1
    ASSERT_TRUE(v.device);
    std::vector<std::uint8_t> boot(512);
    ASSERT_TRUE(v.device->ReadSector(boot.data(), 0, 1));
    const long long T = v.boot.GetTotalSectors();
    const salvor::test::TempDir tmp;
    const auto scan = [&](std::initializer_list<long long> at) {
        const std::string disk = tmp.file("disk" + std::to_string(*at.begin()) + std::to_string(at.size()));
        {
            std::ofstream out(disk, std::ios::binary);
            out.seekp((T + 400) * 512 - 1);
            out.put(0);
            for (long long s : at) {
                out.seekp(s * 512);
                out.write(reinterpret_cast<const char*>(boot.data()), 512);
            }
        }
        salvor::test::ImageDevice device(disk, 512);
        CNTFSSearchController s;
        s.SetDevice(&device);
        s.SetBlockSize(4096);
        EXPECT_EQ(s.PreparetoSearch(), 1);
        const long long total = static_cast<long long>(device.GetTotalSectors());
        for (long long b = 0; b < total; b += 4096) s.AnalyzeBlock(b, std::min<long long>(4096, total - b));
        std::vector<std::pair<long long, std::uint32_t>> found;
        for (const auto& c : s.Candidates()) found.emplace_back(c->m_clusterOrigin, c->GetPartitionBuildFromFlags());
        return found;
    };
    EXPECT_EQ(scan({100, 100 + T}), (std::vector<std::pair<long long, std::uint32_t>>{{100, 3}}));
    EXPECT_EQ(scan({100 + T}), (std::vector<std::pair<long long, std::uint32_t>>{{100, 2}, {100 + T, 1}}));
}

// Calls out of order are refused, not fatal.
TEST(NtfsDeepSearchContract, RefusesCallsItCannotServe) {
    Volume v(kVolumes[2]);
    ASSERT_TRUE(v.device);
    CNTFSSearchController s;
    EXPECT_EQ(s.PreparetoSearch(), 0) << "no device, no block size";
    EXPECT_EQ(s.AnalyzeBlock(0, 8), 0);
    s.SetDevice(nullptr);
    s.SetBlockSize(-4);
    EXPECT_EQ(s.PreparetoSearch(), 0);
    s.SetDevice(v.device.get());
    s.SetBlockSize(64);
    ASSERT_EQ(s.PreparetoSearch(), 1);
    EXPECT_EQ(s.AnalyzeBlock(0, 65), 0) << "a block past the block size";
    EXPECT_EQ(s.AnalyzeBlock(-1, 8), 0);
    EXPECT_EQ(s.AnalyzeBlock(0, 64), 1);
    // Asked with too little room, it only counts.
    for (long long b = 64; b < 65536; b += 64) s.AnalyzeBlock(b, 64);
    s.EndSearch(1);
    CSearchedPartitionInfo* one = nullptr;
    ASSERT_GE(s.GetSearchedPartitionInfo(&one, 0), 1);
    EXPECT_EQ(one, nullptr);
    s.EndSearch(1); // a second end finds nothing to do
}

// Records of one $MFT handed over: the walk from the root, the folders it
// missed with their children, then the rest. Each node goes to the builder
// once; a refused one is released once (the sanitizers watch both).
TEST(NtfsDeepTree, EveryRecordIsHandedOnce) {
    const auto record = [](long long number, long long parent, bool folder) {
        NtfsFoundRecord r;
        ntfs::RecordStream saved = {12, folder ? std::uint8_t{1} : std::uint8_t{0}, 0, 0, 0};
        for (long long v : {number * 2, parent, number})
            for (int i = 0; i < 8; ++i) saved.push_back(static_cast<std::uint8_t>(static_cast<unsigned long long>(v) >> (8 * i)));
        ntfs::Bytes in(saved);
        EXPECT_TRUE(r.info.Restore(in));
        CNTFSFilePropertiesStruct s;
        s.name = folder ? "folder" : "file";
        s.attribute = folder ? CNTFSFileProperties::kAttrDirectory : 0;
        r.properties.reset(CNTFSFileProperties::Create());
        r.properties->Init(s);
        return r;
    };
    const auto build = [&](int refuseFrom, bool handRest, long long idBase = 0) {
        std::vector<NtfsFoundRecord> records;
        records.push_back(record(30, 100, true)); // a lost folder
        records.push_back(record(40, 30, true));  // its child, a lost folder too
        records.push_back(record(50, 40, false));
        records.push_back(record(60, 7, false)); // under a metafile folder
        records.push_back(record(70, 5, false)); // in the root
        records.push_back(record(80, 90, true)); // two folders each the other's parent
        records.push_back(record(90, 80, true));
        salvor::test::RecordingBuilder builder;
        builder.refuseFrom = refuseFrom;
        CMFTDirectoryTreeBuilder::BuildDirectoryTree(records, &builder, 3, handRest, idBase);
        std::set<IFileNode*> distinct(builder.nodes.begin(), builder.nodes.end());
        EXPECT_EQ(distinct.size(), builder.nodes.size());
        std::map<long long, long long> parents;
        for (IFileNode* n : builder.nodes) {
            parents[n->GetCurrentNodeID()] = n->GetParentNodeID();
            EXPECT_EQ(dynamic_cast<CFileNode*>(n)->GetBelongedPartition(), 3);
        }
        return parents;
    };
    EXPECT_EQ(build(-1, true),
              (std::map<long long, long long>{{30, 100}, {40, 30}, {50, 40}, {60, 7}, {70, 5}, {80, 90}, {90, 80}}));
    EXPECT_EQ(build(-1, false).count(60), 0u);
    EXPECT_EQ(build(2, true).size(), 2u);
    // One volume of several: ids of its own, its root folder's the volume's folder.
    const long long b = 4LL << CNTFSDirectoryTreeBuilder::kVolumeIdShift;
    EXPECT_EQ(build(-1, true, b), (std::map<long long, long long>{{b | 30, b | 100}, {b | 40, b | 30}, {b | 50, b | 40},
                                                                  {b | 60, b | 7}, {b | 70, b | 5}, {b | 80, b | 90},
                                                                  {b | 90, b | 80}}));
}

// A FILE record that begins in the last sector of a read block (records lie
// at odd sectors from the block's first) is read whole, past the block.
TEST(NtfsDeepTree, RecordInTheLastSectorOfAReadBlockIsReadWhole) {
    ntfstest::Volume v(ntfstest::kVolumes[2]); // 512-byte clusters
    ASSERT_TRUE(v.device);
    long long number = -1, sector = -1;
    std::istringstream fls(ntfstest::ReadText(v.Oracle("fls.txt")));
    for (std::string line; std::getline(fls, line);)
        if (line.starts_with("r/r ") && line.ends_with(":\tbulk.bin")) number = std::stoll(line.substr(4));
    ASSERT_GT(number, 63);
    ASSERT_FALSE(v.ReadRecord(number, &sector).empty());
    constexpr long long kBlock = CNTFSDirectoryTreeBuilder::kBlockMaxSectors;
    MFTInfoList mfts;
    MFTAndLogList logs;
    FileRecordPositionList positions{CCommonFileRecordPositionInfo(sector - (kBlock - 1))};
    CNTFSIntelligentSearchInfo info;
    info.Init(&mfts, &positions, &logs);
    CSearchedNTFSPartitionInfo partition(512);
    partition.m_sectorsPerCluster = 1;
    partition.SetTotalSectors(v.device->GetTotalSectors());
    salvor::test::RecordingBuilder builder;
    CNTFSDirectoryTreeBuilder tree;
    tree.BuildDirectoryTree(&info, &partition, v.device.get(), 0, nullptr, &builder);
    std::map<std::string, long long> found;
    for (IFileNode* n : builder.nodes) found[n->GetFileName()] = n->GetCurrentNodeID();
    EXPECT_EQ(found["bulk.bin"], number);
}

} // namespace
