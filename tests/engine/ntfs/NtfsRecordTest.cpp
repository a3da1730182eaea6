// Every FILE record of every volume parses; the names, parents, flags and
// $DATA runs of every allocated base record, joined across its extension
// records, equal istat (and ntfsinfo's namespaces).
#include "tests/engine/ntfs/NtfsTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

using namespace ntfs_test;

namespace {

const char* kNamespaces[] = {"POSIX", "Win32", "DOS", "Win32 & DOS", "?"};

class NtfsRecords : public ::testing::TestWithParam<VolumeSpec> {};

TEST_P(NtfsRecords, EqualIstat) {
    Volume v(GetParam());
    ASSERT_TRUE(v.device && !v.mft.IsEmpty());
    const auto istat = v.Istat();
    std::multiset<std::string> namespaces, expectedNamespaces;
    std::istringstream names(ReadText(v.Oracle("names.txt")));
    for (std::string line; std::getline(names, line);) expectedNamespaces.insert(line);

    const long long records = v.mft.GetTotalClusters() * v.clusterBytes / v.recordSize;
    int parsed = 0, compared = 0, multi = 0;
    for (long long i = 0; i < records; ++i) {
        long long sector = -1;
        const auto raw = v.ReadRecord(i, &sector);
        ASSERT_EQ(raw.size(), v.recordSize) << i;
        if (bytes::Le32(raw, 0) != 0x454C4946) continue;
        ASSERT_TRUE(CNTFSFileRecord::IsValid(raw)) << v.spec.name << " record " << i;
        ++parsed;
        const auto it = istat.find(i);
        if (it == istat.end()) continue;
        if (CNTFSFileRecord::IsExtendFileRecord(raw)) {
            ++compared;
            continue;
        }
        const IstatEntry& want = it->second;
        const auto extensions = v.Extensions(raw, sector);
        multi += !extensions.empty();
        CNTFSMultiFileRecord file(raw, sector, v.device.get(), &extensions, v.recordSize);
        ASSERT_TRUE(file.IsValid() && file.IsinUse()) << i;
        EXPECT_EQ(file.GetBaseRecord().IsFolder(), want.directory) << i;

        std::vector<Name> got;
        for (int k = 0;; ++k) {
            const ntfs::Bytes fn = file.FindAttibute(ntfs::ATTR_FILE_NAME, k);
            if (fn.empty()) break;
            ASSERT_TRUE(CNTFSFileRecordFileNameAttribute::IsValid(fn));
            const std::string name = CNTFSFileRecordFileNameAttribute::GetFileNameUtf8(fn);
            got.push_back({name, CNTFSFileRecordFileNameAttribute::GetFileRecordNumberofParentDirectory(fn),
                           FlagWords(CNTFSFileRecordFileNameAttribute::GetFlags(fn))});
            namespaces.insert(std::to_string(i) + "\t" +
                              kNamespaces[CNTFSFileRecordFileNameAttribute::GetFileNameNamespaceType(fn)] + "\t" + name);
        }
        auto expected = want.names;
        std::sort(got.begin(), got.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(got, expected) << v.spec.name << " record " << i;

        // The unnamed $DATA: resident, or the runs of all its pieces in VCN
        // order, cut (as istat does) to the clusters of the file's size.
        CNTFSDataRunList runs;
        bool resident = false, nonResident = false;
        long long size = 0;
        for (int k = 0;; ++k) {
            const ntfs::Bytes data = file.FindAttibute(ntfs::ATTR_DATA, k);
            if (data.empty()) break;
            if (CNTFSFileRecordAttribute::IsNamed(data)) continue;
            resident = CNTFSFileRecordAttribute::IsResident(data);
            nonResident = !resident;
            long long vcn = 0, real = 0;
            if (!resident) {
                ASSERT_TRUE(CNTFSFileRecordAnalyzer::AddDataRunListfromNonResidentAttributeBuffer(data, &real, vcn, runs));
            }
            if (vcn == 0) size = real;
        }
        runs.Sort();
        std::vector<ClusterRun> gotRuns;
        long long left = (size + v.clusterBytes - 1) / v.clusterBytes;
        for (const CDataRun& r : runs.Runs())
            if (left > 0) gotRuns.push_back({r.lcn, std::min(r.length, left)}), left -= r.length;
        EXPECT_EQ(nonResident, want.dataNonResident) << i;
        EXPECT_EQ(gotRuns, want.runs) << v.spec.name << " record " << i;
        ++compared;
    }
    EXPECT_EQ(compared, static_cast<int>(istat.size())) << "every allocated entry";
    EXPECT_GT(parsed, 20);
    if (v.spec.names) {
        EXPECT_EQ(namespaces, expectedNamespaces);
        EXPECT_GE(multi, 1) << "the 41-name file spreads over records";
    }
}

INSTANTIATE_TEST_SUITE_P(All, NtfsRecords, ::testing::ValuesIn(kVolumes),
                         [](const auto& info) { return TestName(info.param); });

} // namespace
