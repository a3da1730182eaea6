// One APFS block through the container reader: as the file-system-tree node
// of a small container (live walk, stale-node analysis, record matching and
// the final flush) and, for odd sizes, as the object-map nodes that lead to
// it too, so the object-map walk reads it as index, leaf or root. The reads
// come from memory; every node delivered must be complete.
#include "engine/apfs/ApfsObjects.h"
#include "tests/engine/apfs/ApfsTestSupport.h"

#include <algorithm>

using namespace apfs_test;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < apfs::obj::kSize) return 0;
    Bytes block(apfs::kBlockSize, 0);
    std::copy_n(data, std::min(size, block.size()), block.begin());
    MemoryDelegate d;
    SmallContainer(d, block, 64);
    if (size % 2) {
        d.blocks[3] = block;
        d.blocks[6] = block;
        for (std::uint64_t b = 8; b < 16; ++b) d.blocks[b] = block;
    }
    {
        apfs::APFSContainerReader reader(&d, size % 3 == 0 ? 1 : 0, 0);
        reader.SetSectorSize(512);
        reader.ReadContainer();
        reader.AnalyzeStaleNode(8 * 20, 20, apfs::Block(block.data(), block.size()));
        reader.HandleNode(apfs::Block(block.data(), block.size()), 21);
        reader.FlushPendingNodes(-1);
        for (apfs::APFSFileNode* n : d.delivered)
            if (n->Name().empty() || (!n->IsDir() && n->created == 0)) __builtin_trap();
    }
    // The reader is gone; the delivered nodes are still whole.
    for (apfs::APFSFileNode* n : d.delivered)
        if (!n->GetFileName()) __builtin_trap();
    return 0;
}
