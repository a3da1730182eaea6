#pragma once
// Helpers of the writer tests: a searcher that hands out partition records,
// nodes with runs, and the FAT fixture read the way a FAT search would.
#include "engine/common/DataRunList.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/TestFileNode.h"
#include "tests/support/engine_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace salvor::test {

// Hands out clones of its records; remembers the n of every request.
class FakeSearcher : public IFileSystemSearchController {
public:
    std::vector<CSearchedPartitionInfo> records;
    std::vector<int> asked;
    bool fillWhenShort = false; // fill the first n records when n is too small
    int secondAnswer = -1;      // when >= 0, the answer to every request after the first

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override {
        asked.push_back(n);
        const int count = static_cast<int>(records.size());
        if (asked.size() > 1 && secondAnswer >= 0) return secondAnswer;
        for (int i = 0; array && (n >= count || fillWhenShort) && i < count && i < n; ++i)
            array[i] = records[static_cast<size_t>(i)].Clone();
        return count;
    }
};

// A plain record: cluster origin, sectors per cluster, partition start and size.
inline CSearchedPartitionInfo MakeRecord(std::uint16_t index, long long origin, unsigned spc, long long start,
                                         unsigned long long total, double score = 0.0) {
    CSearchedPartitionInfo r(512);
    r.m_partitionIndex = index;
    r.m_clusterOrigin = origin;
    r.m_sectorsPerCluster = spc;
    r.m_startSector = start;
    r.SetTotalSectors(total);
    r.m_score = score;
    return r;
}

// A file node of size bytes with the given runs, in partition index.
inline std::unique_ptr<TestFileNode> MakeFileNode(const std::vector<DataRun>& runs, long long size,
                                                  std::uint16_t index = 0, const std::string& name = "f.bin") {
    auto node = std::make_unique<TestFileNode>(10, 5, name, false, size);
    auto* list = new CDataRunList;
    for (const DataRun& r : runs) list->AddDataRun(&r);
    node->SetDataRunList(list);
    node->SetBelongedPartition(index);
    return node;
}

// Copies what of value lies at offset into out (at most size bytes); the count.
inline unsigned CopyOut(const std::string& value, long long offset, char* out, unsigned size) {
    if (offset < 0 || offset >= static_cast<long long>(value.size())) return 0;
    const unsigned k = std::min<unsigned>(size, static_cast<unsigned>(value.size() - offset));
    std::memcpy(out, value.data() + offset, k);
    return k;
}

// SetRecoverNode, releasing the clone it answers; false when it answered none.
inline bool Prepare(IDataRecovery& writer, IFileNode* node) {
    IFileReader* clone = writer.SetRecoverNode(node);
    if (clone) clone->Release();
    return clone != nullptr;
}

// A run list of resident data (the bytes live in the file record).
class ResidentList : public CDataRunList {
public:
    ResidentList() { m_resident = 1; }
    IDataRunList* Clone() override { return new ResidentList; }
};

// The writer fixture: the FAT16 image, its partition record (cluster origin
// from the boot sector) and each file's runs from mshowfat.
struct FatVolume {
    std::string dir;
    std::unique_ptr<ImageDevice> device;
    CSearchedPartitionInfo record;
    std::map<std::string, std::vector<DataRun>> runs; // by name, e.g. "BIG.BIN"

    // Loads the fixture; false (with a test failure) when it cannot be made.
    bool Load() {
        dir = Fixture("writer_fat");
        if (dir.empty()) return false;
        const std::string boot = ReadWholeFile(dir + "/writer_fat.img").substr(0, 512);
        auto le = [&](size_t off, int bytes) {
            unsigned v = 0;
            for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(boot[off + i]);
            return v;
        };
        const unsigned bytesPerSector = le(11, 2), spc = le(13, 1);
        const unsigned fatSectors = le(22, 2) ? le(22, 2) : le(36, 4);
        const unsigned totalSectors = le(19, 2) ? le(19, 2) : le(32, 4);
        const unsigned rootSectors = (le(17, 2) * 32 + bytesPerSector - 1) / bytesPerSector;
        const long long firstData = le(14, 2) + static_cast<long long>(le(16, 1)) * fatSectors + rootSectors;
        record = MakeRecord(0, firstData - 2LL * spc, spc, 0, totalSectors, 1.0); // cluster 2 comes first
        record.m_fileSystemType = 1;
        device = std::make_unique<ImageDevice>(dir + "/writer_fat.img", bytesPerSector);
        std::ifstream list(dir + "/runs.txt");
        const std::regex range("<(\\d+)-(\\d+)>");
        for (std::string line; std::getline(list, line);) {
            const auto space = line.find(' ');
            if (line.rfind("::/", 0) != 0 || space == std::string::npos) continue;
            std::vector<DataRun>& out = runs[line.substr(3, space - 3)];
            for (std::sregex_iterator it(line.begin(), line.end(), range), end; it != end; ++it)
                out.push_back({std::stoll((*it)[1]), std::stoll((*it)[2]) - std::stoll((*it)[1]) + 1});
        }
        EXPECT_TRUE(device->IsOpen() && !runs.empty()) << "cannot read the image or runs.txt in " << dir;
        return device->IsOpen() && !runs.empty();
    }
    // A node of the named file with its original size.
    std::unique_ptr<TestFileNode> Node(const std::string& name, const std::string& original) {
        return MakeFileNode(runs[name], static_cast<long long>(ReadWholeFile(dir + "/" + original).size()), 0, name);
    }
    // Device sector holding byte offset of the named file.
    long long SectorOf(const std::string& name, long long offset) const {
        const long long clusterBytes = 512LL * record.m_sectorsPerCluster;
        long long cluster = offset / clusterBytes;
        for (const DataRun& r : runs.at(name)) {
            if (cluster < r.length)
                return record.m_clusterOrigin + (r.start + cluster) * record.m_sectorsPerCluster +
                       (offset % clusterBytes) / 512;
            cluster -= r.length;
        }
        return -1;
    }
};

} // namespace salvor::test
