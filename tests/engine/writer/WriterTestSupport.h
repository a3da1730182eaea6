#pragma once
// Helpers of the writer tests: a searcher that hands out partition records,
// nodes with runs, and the FAT fixture read the way a FAT search would.
#include "engine/common/DataRunList.h"
#include "engine/include/DataRecovery.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/TestFileNode.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace salvor::test {

// Hands out clones of its records; counts and remembers every request.
class FakeSearcher : public IFileSystemSearchController {
public:
    std::vector<CSearchedPartitionInfo> records;
    std::vector<int> asked;     // n of each request
    bool fillWhenShort = false; // fill the first n records when n is too small
    int secondAnswer = -1;      // when >= 0, the answer to every request after the first

    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder*) override {}
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
};

// A plain record: cluster origin, sectors per cluster, partition start and size.
CSearchedPartitionInfo MakeRecord(std::uint16_t index, long long origin, unsigned spc, long long start,
                                  unsigned long long total, double score = 0.0);

// A file node of size bytes with the given runs, in partition index.
std::unique_ptr<TestFileNode> MakeFileNode(const std::vector<DataRun>& runs, long long size,
                                           std::uint16_t index = 0, const std::string& name = "f.bin");

// The writer fixture: the FAT16 image, its partition record (cluster origin
// from the boot sector) and each file's runs from mshowfat.
struct FatVolume {
    std::string dir;
    std::unique_ptr<ImageDevice> device;
    CSearchedPartitionInfo record;
    std::map<std::string, std::vector<DataRun>> runs; // by name, e.g. "BIG.BIN"

    // Loads the fixture; false (with a test failure) when it cannot be made.
    bool Load();
    // A node of the named file with its original size.
    std::unique_ptr<TestFileNode> Node(const std::string& name, const std::string& original);
    // Device sector holding byte offset of the named file.
    long long SectorOf(const std::string& name, long long offset) const;
};

std::string ReadWholeFile(const std::string& path);

// Copies what of value lies at offset into out (at most size bytes); the count.
unsigned CopyOut(const std::string& value, long long offset, char* out, unsigned size);

// SetRecoverNode, releasing the clone it answers; false when it answered none.
bool Prepare(IDataRecovery& writer, IFileNode* node);

// A run list of resident data (the bytes live in the file record).
class ResidentList : public CDataRunList {
public:
    ResidentList() { m_resident = 1; }
    IDataRunList* Clone() override { return new ResidentList; }
};

} // namespace salvor::test
