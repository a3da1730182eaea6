#include "tests/engine/writer/WriterTestSupport.h"

#include "engine/common/DataRunList.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>

namespace salvor::test {

int FakeSearcher::GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) {
    asked.push_back(n);
    const int count = static_cast<int>(records.size());
    if (asked.size() > 1 && secondAnswer >= 0) return secondAnswer;
    if (array && (n >= count || fillWhenShort)) {
        for (int i = 0; i < count && i < n; ++i)
            array[i] = records[static_cast<size_t>(i)].Clone();
    }
    return count;
}

CSearchedPartitionInfo MakeRecord(std::uint16_t index, long long origin, unsigned spc, long long start,
                                  unsigned long long total, double score) {
    CSearchedPartitionInfo r(512);
    r.m_partitionIndex = index;
    r.m_clusterOrigin = origin;
    r.m_sectorsPerCluster = spc;
    r.m_startSector = start;
    r.SetTotalSectors(total);
    r.m_score = score;
    return r;
}

std::unique_ptr<TestFileNode> MakeFileNode(const std::vector<DataRun>& runs, long long size,
                                           std::uint16_t index, const std::string& name) {
    auto node = std::make_unique<TestFileNode>(10, 5, name, false, size);
    auto* list = new CDataRunList;
    for (const DataRun& r : runs)
        list->AddDataRun(&r);
    node->SetDataRunList(list);
    node->SetBelongedPartition(index);
    return node;
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned CopyOut(const std::string& value, long long offset, char* out, unsigned size) {
    if (offset < 0 || offset >= static_cast<long long>(value.size())) return 0;
    const unsigned k = std::min<unsigned>(size, static_cast<unsigned>(value.size() - offset));
    std::memcpy(out, value.data() + offset, k);
    return k;
}

bool Prepare(IDataRecovery& writer, IFileNode* node) {
    IFileReader* clone = writer.SetRecoverNode(node);
    if (!clone) return false;
    clone->Release();
    return true;
}

namespace {
unsigned Le16(const std::string& b, size_t off) {
    return static_cast<unsigned char>(b[off]) | static_cast<unsigned char>(b[off + 1]) << 8;
}
unsigned Le32(const std::string& b, size_t off) {
    return Le16(b, off) | Le16(b, off + 2) << 16;
}
} // namespace

bool FatVolume::Load() {
    dir = Fixture("writer_fat");
    if (dir.empty()) return false;
    const std::string image = dir + "/writer_fat.img";
    std::string boot;
    {
        std::ifstream in(image, std::ios::binary);
        boot.resize(512);
        in.read(boot.data(), 512);
        if (!in) {
            ADD_FAILURE() << "cannot read the boot sector of " << image;
            return false;
        }
    }
    const unsigned bytesPerSector = Le16(boot, 11);
    const unsigned spc = static_cast<unsigned char>(boot[13]);
    const unsigned reserved = Le16(boot, 14);
    const unsigned fats = static_cast<unsigned char>(boot[16]);
    const unsigned rootEntries = Le16(boot, 17);
    const unsigned fatSectors = Le16(boot, 22) ? Le16(boot, 22) : Le32(boot, 36);
    const unsigned totalSectors = Le16(boot, 19) ? Le16(boot, 19) : Le32(boot, 32);
    const unsigned rootSectors = (rootEntries * 32 + bytesPerSector - 1) / bytesPerSector;
    const long long firstData = reserved + static_cast<long long>(fats) * fatSectors + rootSectors;
    // Cluster 2 is the first data cluster.
    record = MakeRecord(0, firstData - 2LL * spc, spc, 0, totalSectors, 1.0);
    record.m_fileSystemType = 1;

    device = std::make_unique<ImageDevice>(image, bytesPerSector);
    if (!device->IsOpen()) {
        ADD_FAILURE() << "cannot open " << image;
        return false;
    }
    std::ifstream list(dir + "/runs.txt");
    std::string line;
    const std::regex range("<(\\d+)-(\\d+)>");
    while (std::getline(list, line)) {
        const auto space = line.find(' ');
        if (line.rfind("::/", 0) != 0 || space == std::string::npos) continue;
        std::vector<DataRun>& out = runs[line.substr(3, space - 3)];
        for (std::sregex_iterator it(line.begin(), line.end(), range), end; it != end; ++it) {
            const long long a = std::stoll((*it)[1]), b = std::stoll((*it)[2]);
            out.push_back({a, b - a + 1});
        }
    }
    if (runs.empty()) {
        ADD_FAILURE() << "no runs in " << dir << "/runs.txt";
        return false;
    }
    return true;
}

std::unique_ptr<TestFileNode> FatVolume::Node(const std::string& name, const std::string& original) {
    const long long size = static_cast<long long>(ReadWholeFile(dir + "/" + original).size());
    return MakeFileNode(runs[name], size, 0, name);
}

long long FatVolume::SectorOf(const std::string& name, long long offset) const {
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

} // namespace salvor::test
