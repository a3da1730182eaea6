#pragma once
// File-system scans as the application runs them, for the FAT and exFAT tests:
// the deleted-files controller over a volume record (quick) or the complete
// controller over a disk (deep), the tree builder with a clock that never
// sleeps, the writer copying found files out; and the manifests they are
// checked against. The caller registers the searchers (Factories()) first.
#include "engine/include/RecoveryController.h"
#include "engine/include/RecoveryFilter.h"
#include "engine/include/SearchInterfaces.h"
#include "tests/support/Fixture.h"
#include "tests/support/ImageDevice.h"
#include "tests/support/RecordingSinks.h"

class CCompleteRecoveryController;

#include <compare>
#include <cstdint>
#include <ostream>
#include <map>
#include <set>
#include <memory>
#include <string>
#include <vector>

class IDataRecovery;

namespace salvor::test {

class FsScan {
public:
    // kind >= 0: a quick scan of a volume of that kind named "VOL"; kind < 0: a deep scan of a disk.
    // The device starts at byte startByte of the image.
    FsScan(const std::string& image, unsigned sectorSize, int kind, unsigned long long startByte = 0);
    ~FsScan();
    ResultCode Run();
    // The deep scan's controller (null for a quick scan), for its test switches.
    CCompleteRecoveryController* Deep() const;

    // The shown nodes of the trees whose root name ends with rootSuffix, by
    // their path below the root ("/"-separated, no trailing "/").
    std::multimap<std::string, IFileNode*> Nodes(const std::string& rootSuffix = "") const;
    // Writes the node through the controller's writer of type; its sha256, "" on failure.
    std::string Recover(IFileNode* node, _tagSearcherType type);

    ImageDevice device;
    RecordingProgress progress;
    RecordingTree tree;

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// One found entry: 'd' or 'r', deleted flag, path from the root.
struct Entry {
    char kind;
    bool deleted;
    std::string path;
    auto operator<=>(const Entry&) const = default;
    friend void PrintTo(const Entry& e, std::ostream* os) {
        *os << e.kind << (e.deleted ? " * " : "   ") << e.path;
    }
};
using Entries = std::set<Entry>;

// A tree builder for searchers run alone: records AddSearcherInfo, AddNode,
// SetPartitonDevice and FlashBuild; owns the nodes it took.
class RecordingBuilder : public IDirecotryTreeBuilder {
public:
    ~RecordingBuilder() override;
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType, long long id) override {
        return ++searcherInfoCalls, rootId = id, 1;
    }
    int FlashBuild(_tagSearcherType) override { return ++flashCalls, 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice* device) override {
        partitionDevice = device;
    }

    // Paths rebuilt through parent ids; a node whose parents do not reach the
    // root gets "?/" in front.
    Entries Found() const;
    // The node at a path (first found), or null.
    IFileNode* Find(const std::string& path) const;
    std::string PathOf(IFileNode* node) const;

    std::vector<IFileNode*> nodes;
    std::vector<_tagSearcherType> types;
    long long rootId = -2;
    int searcherInfoCalls = 0;
    int flashCalls = 0;
    int refuseFrom = -1; // refuse every node from this index on (-1: none)
    IStorageDevice* partitionDevice = nullptr;
};

// The partition records a searcher hands out, owned.
template <typename Searcher>
std::vector<std::unique_ptr<CSearchedPartitionInfo>> PartitionsOf(Searcher* searcher) {
    // Asked as the writer asks: 256 first, then as many as there are.
    std::vector<CSearchedPartitionInfo*> raw(256, nullptr);
    int n = searcher ? searcher->GetSearchedPartitionInfo(raw.data(), 256) : 0;
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> out;
    for (CSearchedPartitionInfo* p : raw)
        if (p) out.emplace_back(p);
    if (n > 256) {
        out.clear();
        raw.assign(static_cast<std::size_t>(n), nullptr);
        n = searcher->GetSearchedPartitionInfo(raw.data(), n);
        for (CSearchedPartitionInfo* p : raw)
            if (p) out.emplace_back(p);
    }
    return out;
}

std::string ReadText(const std::string& file);
// "sha256  /path" or "sha256<TAB>path" lines: path (no leading "/") -> sha256.
std::map<std::string, std::string> Sha256Manifest(const std::string& file);
std::vector<std::uint8_t> ReadBytes(const std::string& file, std::uint64_t offset, std::size_t n);
bool WriteBytes(const std::string& file, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);
// A copy of a file in dir, named name.
std::string CopyOf(const std::string& file, const TempDir& dir, const std::string& name);
// Unpacks a .gz (or .tgz holding NAME.raw) sample of tests/data/dfir_ntfs into dir; "" on failure.
std::string DfirImage(const std::string& gzName, const std::string& dir);
// Sets TZ for the object's lifetime.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz);
    ~ScopedTz();

private:
    std::string old_;
    bool had_ = false;
};

} // namespace salvor::test
