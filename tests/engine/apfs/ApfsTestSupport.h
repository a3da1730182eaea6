#pragma once
// Builders of APFS blocks for the tests and fuzz targets (object headers,
// B-tree nodes with variable- or fixed-size entries, the three file-system
// records) and a delegate over blocks held in memory.
#include "engine/apfs/ApfsContainerReader.h"
#include "engine/apfs/ApfsFileNode.h"
#include "tests/support/ByteWriter.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace apfs_test {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
void Put(Bytes& b, std::size_t off, T v) {
    salvor::test::PutLeOf(b, off, v);
}

// A 4096-byte block with an object header.
Bytes Object(std::uint64_t oid, std::uint32_t type, std::uint32_t subtype);

struct Rec {
    Bytes key, value;
};
Rec Inode(std::uint64_t id, std::uint64_t parent, const std::string& name, std::uint16_t mode,
          std::uint64_t size, std::uint64_t time = 1642144781000000000ULL);
Rec DirRec(std::uint64_t parent, const std::string& name, std::uint64_t id, std::uint16_t flags,
           std::uint64_t time = 1642144781000000000ULL);
Rec Extent(std::uint64_t id, std::uint64_t logical, std::uint64_t lengthAndFlags, std::uint64_t phys);
// A file-system-tree node (kvloc_t entries); root nodes keep the 40-byte trailer.
Bytes FsNode(std::uint64_t oid, std::uint32_t type, std::uint16_t flags, const std::vector<Rec>& recs);
// An object-map node (kvoff_t entries) with 16-byte values {flags 0, size 4096, paddr}
// in leaves, or 8-byte child addresses in index nodes.
Bytes OmapNode(std::uint64_t oid, std::uint16_t flags, const std::vector<std::uint64_t>& addresses);

// Blocks by number; reads of other blocks fail.
class MemoryDelegate : public apfs::APFSDelegate {
public:
    ~MemoryDelegate() override { Reset(); }
    // Drops the delivered nodes and every block.
    void Reset();
    bool IsContinue() override { return continueReads-- > 0; }
    int AddFileNode(apfs::APFSFileNode* node) override;
    int ReadBlocks(apfs::APFSContainerReader*, std::uint64_t block, int byteCount, std::uint8_t* buffer) override;

    std::map<std::uint64_t, Bytes> blocks;
    std::vector<apfs::APFSFileNode*> delivered; // each holds a reference, as the builder would
    std::map<std::uint64_t, int> reads;
    long long continueReads = 1LL << 40;
};

// A container: superblock at 0 naming omap 2 and checkpoint chain `next`,
// omap 2 -> root 3 -> volume superblock 4 -> volume omap 5 -> omap root 6 ->
// fs node at 7 (mapped by oid 0x404).
void SmallContainer(MemoryDelegate& d, const Bytes& fsNode, std::uint64_t blockCount = 64);

} // namespace apfs_test
