// Every INDX block of every folder's $I30 allocation is valid and names its
// folder; every record page of the samples' $LogFile passes the page test and
// its fix-up, and the $LogFile read through its own runs equals icat's.
#include "engine/ntfs/NtfsIndexRecord.h"
#include "engine/ntfs/NtfsLogRecord.h"
#include "tests/engine/ntfs/NtfsTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace ntfs_test;

namespace {

class NtfsIndexAndLog : public ::testing::TestWithParam<VolumeSpec> {};

TEST_P(NtfsIndexAndLog, BlocksAndPagesAreValid) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    const unsigned indexSize = v.boot.GetIndexRecordSizeByByte();
    int folders = 0, blocks = 0;
    for (const auto& [number, entry] : v.Istat()) {
        long long sector = -1;
        const auto raw = v.ReadRecord(number, &sector);
        const auto extensions = v.Extensions(raw, sector);
        CNTFSMultiFileRecord folder(raw, sector, v.device.get(), &extensions, v.recordSize);
        const ntfs::Bytes ia = folder.FindAttibute(ntfs::ATTR_INDEX_ALLOCATION, 0);
        if (!entry.directory || ia.empty()) continue;
        EXPECT_EQ(CNTFSFileRecordAnalyzer::IsValidFolderFileRecordHavingIndexAllocation(raw),
                  !CNTFSFileRecord(raw).FindAttibute(ntfs::ATTR_INDEX_ALLOCATION, 0).empty());
        const ntfs::Bytes root = folder.FindAttibute(ntfs::ATTR_INDEX_ROOT, 0);
        ASSERT_TRUE(CNTFSFileRecordIndexRootAttribute::IsValid(root)) << number;
        const long long fromRoot = CNTFSFileRecordIndexRootAttribute::GetMFTFileRecordNumberfrom0x90(root);
        EXPECT_TRUE(fromRoot == number || fromRoot == -1) << number;
        CNTFSDataRunList runs;
        ASSERT_TRUE(CNTFSFileRecordDataRunsAttribute::GetDataRunList(ia, runs)) << number;
        const auto bytes = v.ReadClusters(runs);
        const auto size = std::min<std::size_t>(bytes.size(), CNTFSFileRecordAttribute::GetInitializedDataSize(ia));
        ++folders;
        for (std::size_t at = 0; at + indexSize <= size; at += indexSize) {
            const ntfs::Bytes block(bytes.data() + at, indexSize);
            if (!CStandardIndexHeader::IsValidMagicNumber(block)) continue;
            ASSERT_TRUE(CIndexRecord::IsValid(block)) << v.spec.name << " folder " << number << " block " << at;
            // Blocks of a cluster or more count VCNs in clusters, smaller ones in 512 bytes.
            EXPECT_EQ(CIndexRecord::GetVCN(block), static_cast<long long>(at / std::min(indexSize >= v.clusterBytes ? v.clusterBytes : 512u, indexSize)));
            const long long parent = CIndexRecord::GetParentFileReference(block);
            EXPECT_TRUE(parent == number || parent == -1) << v.spec.name << " folder " << number << " block " << at;
            blocks += parent == number;
        }
    }
    EXPECT_GT(folders, 0);
    EXPECT_GT(blocks, 0);

    if (v.spec.fixture != std::string("ntfs_samples")) return;
    // $LogFile: record 2's runs read the same bytes as icat; its record pages pass.
    CNTFSDataRunList logRuns;
    ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromFileRecordBuffer(v.ReadRecord(2), logRuns, true, nullptr));
    auto log = v.ReadClusters(logRuns);
    const std::string icat = ReadText(v.Oracle("logfile"));
    ASSERT_GE(log.size(), icat.size());
    log.resize(icat.size());
    EXPECT_EQ(std::memcmp(log.data(), icat.data(), icat.size()), 0);
    int pages = 0;
    for (std::size_t at = 0; at + CRCRDRecord::kPageSize <= log.size(); at += CRCRDRecord::kPageSize) {
        const std::span<std::uint8_t> page(log.data() + at, CRCRDRecord::kPageSize);
        if (!CRCRDRecord::IsValidMagicNumber(page)) continue;
        ASSERT_TRUE(CRCRDRecord::IsValid(page)) << v.spec.name << " page " << at / 4096;
        ASSERT_TRUE(CRCRDRecord::Unfixup(page));
        CRecordPageHeader head;
        ASSERT_TRUE(CRCRDRecord::GetRecordHead(page, head));
        CLogRecordHeader first;
        ASSERT_TRUE(CRCRDRecord::GetOperationRecordHeader(page.subspan(64), first));
        ++pages;
    }
    // The Linux-made samples leave their log empty.
    if (v.spec.sectorOffset != 0) {
        EXPECT_GT(pages, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(All, NtfsIndexAndLog, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return TestName(info.param); });

} // namespace
