#pragma once
// Helpers of the exFAT tests: a builder that records what a searcher hands
// it, paths rebuilt from node ids, fls listings read the same way, a plain
// reader of a node's runs, and entry sets damaged as a disk may present them.
#include "engine/include/SearchInterfaces.h"
#include "tests/support/fs_Scan.h"

#include <cstdint>
#include <ostream>
#include <set>
#include <string>
#include <vector>

class IStorageDevice;

namespace exfat_test {

using salvor::test::ReadText;

// One found entry: 'd' or 'r', deleted flag, path from the root.
struct Entry {
    char kind;
    bool deleted;
    std::string path;
    auto operator<=>(const Entry&) const = default;
    friend void PrintTo(const Entry& e, std::ostream* os) { *os << e.kind << (e.deleted ? " * " : "   ") << e.path; }
};
using Entries = std::set<Entry>;

// Records AddSearcherInfo, AddNode, SetPartitonDevice and FlashBuild; owns the
// nodes it took.
class RecordingBuilder : public IDirecotryTreeBuilder {
public:
    ~RecordingBuilder() override;
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType, long long id) override { return ++searcherInfoCalls, rootId = id, 1; }
    int FlashBuild(_tagSearcherType) override { return ++flashCalls, 1; }
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice* device) override { partitionDevice = device; }

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

// The entries of a that are not in b, one a line (for failure messages).
std::string Missing(const Entries& a, const Entries& b);
// Expects a == b, listing the differences.
void ExpectSame(const Entries& found, const Entries& expected);
// The deleted ones.
Entries Deleted(const Entries& all);
// How many entries lie below folder.
std::size_t CountUnder(const Entries& all, const std::string& folder);

// fls -r -p output, normalised: no label, bitmap, up-case, virtual or orphan entries.
Entries ParseFls(const std::string& text);
Entries FlsOf(const std::string& image, const std::string& extra = "");

// Stores v little-endian at off.
template <typename T>
void Put(std::vector<std::uint8_t>& b, std::size_t off, T v) {
    for (std::size_t i = 0; i < sizeof v; ++i) b.at(off + i) = static_cast<std::uint8_t>(v >> (8 * i));
}

// The offset of the first file set (in use or deleted) of a folder's entries
// whose name begins with name, npos when none; and the set's checksum made to
// hold again, as a damaged disk may present it.
std::size_t FindEntrySet(const std::vector<std::uint8_t>& folder, const std::u16string& name);
void ResealEntrySet(std::vector<std::uint8_t>& folder, std::size_t off);

} // namespace exfat_test
