#pragma once
// Helpers of the exFAT tests: a builder that records what a searcher hands
// it, paths rebuilt from node ids, fls listings read the same way, and a plain
// reader of a node's runs.
#include "engine/include/SearchInterfaces.h"

#include <cstdint>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

class IStorageDevice;

namespace exfat_test {

// Records AddSearcherInfo, AddNode, SetPartitonDevice and FlashBuild; owns the
// nodes it took.
class RecordingBuilder : public IDirecotryTreeBuilder {
public:
    ~RecordingBuilder() override;
    int Initialize(const char*, IDrirectoryTree*, IRecoveryFilter*) override { return 1; }
    int AddNode(IFileNode* node, _tagSearcherType type) override;
    int AddSearcherInfo(_tagSearcherType type, long long rootId) override;
    int FlashBuild(_tagSearcherType type) override;
    void Release() override {}
    void SetPartitonDevice(CSearchedPartitionInfo*, IStorageDevice* device) override { partitionDevice = device; }

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
    // Paths rebuilt through parent ids; a node whose parents do not reach the
    // root gets "?/" in front.
    std::set<Entry> Entries() const;
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
std::string Missing(const std::set<RecordingBuilder::Entry>& a, const std::set<RecordingBuilder::Entry>& b);

// fls -r -p output, normalised: no label, bitmap, up-case, virtual or orphan entries.
std::set<RecordingBuilder::Entry> ParseFls(const std::string& text);
std::set<RecordingBuilder::Entry> FlsOf(const std::string& image, const std::string& extra = "");
std::string ReadText(const std::string& path);

// path -> sha256 from a manifest of "sha256\tpath" lines.
std::map<std::string, std::string> ReadManifest(const std::string& path);

// The node's bytes read through its runs: cluster c of a run lies at
// clusterOrigin + c x sectorsPerCluster; cut to the node's size.
std::string ReadNode(IStorageDevice* device, IFileNode* node, std::int64_t clusterOrigin,
                     unsigned sectorsPerCluster);
std::string Sha256(const std::string& data);

// A folder's entries as a test damages them: the offset of the first file
// set (in use or deleted) whose name begins with name, npos when none; and the
// set's checksum made to hold again, as a damaged disk may present it.
std::size_t FindEntrySet(const std::vector<std::uint8_t>& folder, const std::u16string& name);
void ResealEntrySet(std::vector<std::uint8_t>& folder, std::size_t off);

// Reads or writes count bytes of a file at a byte offset (false on failure).
bool ReadAt(const std::string& path, std::uint64_t offset, std::vector<std::uint8_t>& out, std::size_t count);
bool WriteAt(const std::string& path, std::uint64_t offset, const std::vector<std::uint8_t>& bytes);

// Decompresses a gzip sample of the shared data folder into dir; "" on failure.
std::string SharedImage(const std::string& gzName, const std::string& dir);

} // namespace exfat_test
