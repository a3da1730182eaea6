#pragma once
// The carve harness: deep scans through the complete controller with only the
// carver (and a probe that can mark used sectors in the scan's bit map), each
// carved node with its tree, path, size, start, time and bytes as the writer
// gives them; test analysers for the three ways a candidate is sized; and the
// judge of a carved file against its original.
#include "engine/carver/RawFileAnalyserList.h"
#include "tests/support/Fixture.h"
#include "tests/support/RecordingSinks.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace salvor::test {

// ---- test analysers ---------------------------------------------------------

// What a test file's first sector says: its magic at 0, size (LE u64) at 4,
// length in sectors for a streaming record (LE u32) at 12, name at 16 (32
// bytes), time text at 48 (20 bytes), label tag (signed byte, -1 none) at 68,
// label value at 72 (32 bytes).
struct TestHeader {
    std::string magic;
    std::uint64_t size = 0;
    std::uint32_t sectors = 0;
    std::string name, time;
    int tag = -1;
    std::string value;
};
std::vector<std::uint8_t> TestSector(const TestHeader& header, unsigned sectorSize);

enum class TestKind {
    SizedAtHit,     // the header's size, at once
    Streaming,      // grows by a sector per sector shown; after `sectors` sectors ends with the
                    // header's size (0: left to its classic partner)
    StreamingAlone, // the same without a classic partner
    Classic,        // sized later from the device by reading the header again
};

// Every analyser call worth checking, in order: "end <start> <sector>",
// "remove <start> <sector>", "size <start> ring|ring-miss|device".
std::vector<std::string>& TestAnalyserLog();

class CTestAnalyser : public IRawFileAnalyser {
public:
    // magic: the bytes a sector must start with. A streaming analyser owns a
    // classic partner of the same magic and type, to which its records are
    // handed when they leave the active set unfinished.
    CTestAnalyser(TestKind kind, std::string magic, unsigned type);
    ~CTestAnalyser() override;
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;

private:
    TestKind m_kind;
    std::string m_magic;
    TestHeader m_last;
    std::unique_ptr<CTestAnalyser> m_partner;
};

// Gives set 0 one test analyser per row whose key is in `kinds` (4-byte keys
// for map rows, 2-byte for multimap rows; list rows by index as "list<i>",
// whose analysers accept sectors starting with that text); other rows insert
// nothing. Undone by the object's end.
class ScopedTestAnalysers {
public:
    struct Use {
        TestKind kind;
        unsigned type;
    };
    explicit ScopedTestAnalysers(std::map<std::string, Use> byKey);
    ~ScopedTestAnalysers();
};

// ---- scans ------------------------------------------------------------------

struct CarvedNode {
    int tree = 0;      // 34 by category, 36 by label
    std::string path;  // below the tree's root, "/"-separated
    long long size = 0;
    long long start = -1; // device sector of the data run
    long long runSectors = 0;
    std::uint64_t time = 0;
    IFileNode* node = nullptr;
};

class CarveScan {
public:
    // The device stays the caller's. Registers the carver (and the probe).
    explicit CarveScan(IStorageDevice& device);
    ~CarveScan();

    unsigned blockSectors = 0;                    // 0: the controller's 4 MiB
    std::vector<std::pair<long long, long long>> usedBits; // (first, count) bit ranges set in the bit map
    unsigned bitUnit = 1;                         // sectors per bit

    ResultCode Run();
    // Carved files (not folders) of both trees, in the order shown.
    std::vector<CarvedNode> Files() const;
    // Folder paths of both trees as "34:eps/" or "36:Camera/Nikon/".
    std::vector<std::string> Folders() const;
    // The file-sector map the scan filled.
    std::map<long long, unsigned> SectorMap() const;
    // Writes the node as the recovery does (type 36 through the carver's
    // writer) into a scratch file: its path, "" on failure.
    std::string Recover(IFileNode* node);
    // The bytes Recover wrote; empty on failure.
    std::vector<std::uint8_t> Read(IFileNode* node);

    RecordingProgress progress;
    RecordingTree tree;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// "" when carved is an acceptable carve of sample, else why not: exact; the
// sample followed by at most max(one sector, extra) bytes; shorter only by
// zero bytes the sample ends with; or the sample cut at the cap.
std::string JudgeCarve(const std::vector<std::uint8_t>& sample, const std::vector<std::uint8_t>& carved,
                       unsigned sectorSize, std::uint64_t extra = 0, std::uint64_t cap = 0);

} // namespace salvor::test
