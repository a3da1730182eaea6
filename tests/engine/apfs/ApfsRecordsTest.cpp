// APFS records and their bounds, the file node's rules, and the container
// reader over blocks held in memory: checkpoint chains, object-map walks,
// record matching, stale nodes and damaged structures.
#include "engine/apfs/ApfsObjects.h"
#include "tests/engine/apfs/ApfsTestSupport.h"

#include <gtest/gtest.h>

#include <memory>

using namespace apfs;
using namespace apfs_test;

namespace {

Block Span(const Bytes& b) { return {b.data(), b.size()}; }

std::optional<NodeEntry> First(const Bytes& node) { return VariableEntry(Span(node), 0, 0); }

TEST(ApfsRecords, DecodeTheThreeRecordsAndRefuseLengthsPastTheirBounds) {
    Bytes node = FsNode(0x300, 3, btn::kLeaf,
                        {DirRec(16, "a_file", 17, 8), Inode(17, 16, "a_file", 0100644, 53), Extent(17, 0, 0x2000000000001000ULL, 90)});
    DirRecord d;
    ASSERT_TRUE(ParseDirRecord(*VariableEntry(Span(node), 0, 0), d));
    EXPECT_EQ(d.parentId, 16u);
    EXPECT_EQ(d.name, std::string("a_file\0", 7));
    EXPECT_EQ(d.fileId, 17u);
    InodeRecord i;
    ASSERT_TRUE(ParseInode(*VariableEntry(Span(node), 1, 0), i));
    EXPECT_TRUE(i.hasName);
    EXPECT_EQ(i.name, std::string("a_file\0", 7));
    EXPECT_EQ(i.dataStreamSize, 53u);
    EXPECT_EQ(i.mode, 0100644);
    ExtentRecord x;
    ASSERT_TRUE(ParseExtent(*VariableEntry(Span(node), 2, 0), x));
    EXPECT_EQ(x.length, 0x1000u) << "the flag byte is not part of the length";
    EXPECT_EQ(x.physBlock, 90u);

    // A slot past the table, a key or a value past the block, a value in a
    // root's trailer: no entry.
    EXPECT_FALSE(VariableEntry(Span(node), 2, 0) == std::nullopt);
    Bytes bad = node;
    Put(bad, btn::kTableLen, std::uint16_t{8});
    EXPECT_FALSE(VariableEntry(Span(bad), 1, 0));
    bad = node, Put(bad, btn::kData, std::uint16_t{0xFFF0});
    EXPECT_FALSE(First(bad));
    bad = node, Put(bad, btn::kData + 4, std::uint16_t{0xFFFF});
    EXPECT_FALSE(First(bad));
    bad = node, Put(bad, btn::kData + 6, std::uint16_t{0x2000});
    EXPECT_FALSE(First(bad));
    bad = node, Put(bad, btn::kTableLen, std::uint16_t{0xFFFF});
    EXPECT_FALSE(First(bad));
    bad = node, Put(bad, btn::kData + 4, std::uint16_t{4030});
    EXPECT_FALSE(VariableEntry(Span(bad), 0, btn::kInfoSize)) << "a value reaching into the header";

    // A name length beyond the key; a name field beyond the value; a count
    // of 1000 extended fields in a short value.
    Bytes drec = FsNode(1, 3, btn::kLeaf, {DirRec(2, "x", 3, 8)});
    Put(drec, btn::kData + 16 + 8, std::uint32_t{0x1FF});
    EXPECT_FALSE(ParseDirRecord(*First(drec), d));
    Rec ino = Inode(5, 2, "name", 0100644, 9);
    Put(ino.value, 96 + 2, std::uint16_t{4000}); // the name field's size
    Bytes inode = FsNode(1, 3, btn::kLeaf, {ino});
    ASSERT_TRUE(ParseInode(*First(inode), i));
    EXPECT_FALSE(i.hasName);
    ino = Inode(5, 2, "name", 0100644, 9);
    Put(ino.value, 92, std::uint16_t{1000});
    inode = FsNode(1, 3, btn::kLeaf, {ino});
    ASSERT_TRUE(ParseInode(*First(inode), i));
    EXPECT_FALSE(i.hasName);
    // Too short for its kind.
    Rec shortExtent = Extent(5, 0, 4096, 9);
    shortExtent.value.resize(15);
    EXPECT_FALSE(ParseExtent(*First(FsNode(1, 3, btn::kLeaf, {shortExtent})), x));
}

TEST(ApfsFileNodeTest, NamesTimesParentsAndExtents) {
    EXPECT_EQ(APFSFileNode::NameFromDisk(".DS_Store", 10), "");
    EXPECT_EQ(APFSFileNode::NameFromDisk(".a", 3), std::string(".a\0", 3));
    EXPECT_EQ(APFSFileNode::NameFromDisk(".", 1), ".");
    EXPECT_EQ(APFSFileNode::TimeConvert(1500000000999999999ULL).Value(),
              116444736000000000ULL + 1500000000ULL * 10000000ULL);
    EXPECT_EQ(APFSFileNode::TimeConvert(0).Value(), 0u);

    auto* n = new APFSFileNode;
    n->SetFileName(".Trashes", 9);
    EXPECT_EQ(n->Name().size(), 9u);
    EXPECT_TRUE(n->IsDirectory() && n->IsDeleted());
    n->SetDirectory(false);
    EXPECT_TRUE(n->IsDirectory()) << "the kind is fixed once";
    n->SetParentNodeID((1LL << 32) | 1);
    EXPECT_EQ(n->GetParentNodeID(), 2);
    n->Release();

    auto* f = new APFSFileNode;
    f->SetBelongedPartition(1);
    f->SetParentNodeID((1LL << 32) | 1);
    EXPECT_EQ(f->GetParentNodeID(), (1LL << 32) | 2);
    f->SetSize(3 * 512 + 1);
    EXPECT_FALSE(f->AddExtent(100, 2, 512, 1024));
    EXPECT_FALSE(f->AddExtent(100, 1, 512, 1024)) << "a shorter copy changes nothing";
    EXPECT_FALSE(f->AddExtent(100, 3, 512, 1024)) << "the same start, longer";
    EXPECT_EQ(f->Extents().at(1024).count, 3u);
    EXPECT_FALSE(f->AddExtent(200, 9, 512, 1024)) << "another start at the same offset is ignored";
    EXPECT_EQ(f->Extents().at(1024).start, 100u);
    EXPECT_TRUE(f->AddExtent(50, 4, 512, 0)) << "offset 0 starts the file again";
    EXPECT_EQ(f->Extents().size(), 1u);
    EXPECT_FALSE(f->AddExtent(60, 4, 512, 4096)) << "covered: later extents are ignored";
    EXPECT_EQ(f->Extents().size(), 1u);
    ASSERT_NE(f->GetDataRunList(), nullptr);
    EXPECT_EQ(f->GetDataRunList()->GetFirst()->start, 50);
    f->Release();
}

TEST(ApfsFileNodeTest, ADuplicateFolderHandsItsChildrenToItsTwinAndIsNeverDelivered) {
    APFSFileNode *root = new APFSFileNode, *a = new APFSFileNode, *b = new APFSFileNode, *c = new APFSFileNode;
    for (auto* d : {root, a, b}) d->SetDirectory(true), d->SetFileName("same", 5);
    root->SetNodeID(16), a->SetNodeID(20), b->SetNodeID(21);
    root->LinkChild(a);
    root->LinkChild(b);
    EXPECT_EQ(b->twin, a);
    EXPECT_FALSE(b->IsReadyToDeliver(true));
    EXPECT_TRUE(a->IsReadyToDeliver(false));
    c->SetFileName("f", 2);
    b->LinkChild(c);
    EXPECT_EQ(c->parentDir, a);
    EXPECT_EQ(c->GetParentNodeID(), 20);
    EXPECT_FALSE(c->IsReadyToDeliver(true)) << "a file without a creation time";
    c->created = 1;
    EXPECT_TRUE(c->IsReadyToDeliver(false));
    for (auto* n : {root, a, b, c}) n->Release();
}

// A node the builder holds outlives the reader that made it.
TEST(ApfsFileNodeTest, ADeliveredNodeOutlivesItsReader) {
    auto d = std::make_unique<MemoryDelegate>();
    SmallContainer(*d, FsNode(0x404, 2, btn::kRoot | btn::kLeaf,
                             {DirRec(2, "top", 17, 8), Inode(17, 2, "top", 0100644, 10), Extent(17, 0, 4096, 40)}));
    auto reader = std::make_unique<APFSContainerReader>(d.get(), 0, 0);
    ASSERT_EQ(reader->ReadContainer(), 0);
    ASSERT_EQ(d->delivered.size(), 1u);
    reader.reset();
    EXPECT_STREQ(d->delivered[0]->GetFileName(), "top");
    EXPECT_EQ(d->delivered[0]->GetFileSize(), 10);
}

class ApfsReader : public ::testing::Test {
protected:
    std::unique_ptr<APFSContainerReader> Read(const Bytes& fsNode, std::uint64_t blockCount = 64) {
        SmallContainer(d, fsNode, blockCount);
        return ReadAgain();
    }
    std::unique_ptr<APFSContainerReader> ReadAgain() {
        auto r = std::make_unique<APFSContainerReader>(&d, 0, 0);
        EXPECT_EQ(r->ReadContainer(), 0);
        return r;
    }
    APFSFileNode* Delivered(const std::string& name) const {
        for (auto* n : d.delivered)
            if (n->GetFileName() == name) return n;
        return nullptr;
    }
    MemoryDelegate d;
};

TEST_F(ApfsReader, LiveRecordsBecomeOneNodePerFileUnderTheirFolders) {
    auto r = Read(FsNode(0x404, 2, btn::kRoot | btn::kLeaf,
                         {Inode(2, 1, "root", 040755, 0), DirRec(2, "dir", 16, 4), Inode(16, 2, "dir", 040755, 0),
                          DirRec(16, "f", 17, 8), Inode(17, 16, "f", 0100644, 5000), Extent(17, 0, 8192, 40),
                          Inode(18, 2, ".DS_Store", 0100644, 1), DirRec(2, "no-inode", 19, 8)}));
    EXPECT_EQ(r->ObjectMapsRead(), 1);
    EXPECT_EQ(r->VolumeFolderName(), "vol_0");
    EXPECT_TRUE(r->History());
    APFSFileNode* f = Delivered("f");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->GetFileSize(), 5000);
    EXPECT_FALSE(f->IsDeleted());
    ASSERT_NE(f->parentDir, nullptr);
    EXPECT_STREQ(f->parentDir->GetFileName(), "dir");
    EXPECT_EQ(f->Extents().at(0).start, 40u * 8);
    EXPECT_EQ(f->Extents().at(0).count, 16u);
    EXPECT_EQ(Delivered("DS_Store"), nullptr);
    // A file's directory record without its inode has no creation time: it
    // waits, even at the end.
    r->FlushPendingNodes(-1);
    EXPECT_EQ(Delivered("no-inode"), nullptr);
    EXPECT_EQ(r->PendingCount(), 1u);
}

TEST_F(ApfsReader, OlderCheckpointsMakeDeletedNodesAndStaleNodesNeedTheirOwnPlace) {
    SmallContainer(d, FsNode(0x404, 2, btn::kRoot | btn::kLeaf, {DirRec(2, "new", 17, 4)}));
    // An older checkpoint at block 9 whose map reaches an older root at 12.
    Bytes old = d.blocks[0];
    Put(old, nx::kOmapOid, std::uint64_t{10});
    d.blocks[9] = old;
    Put(d.blocks[0], nx::kXpDescIndex, std::uint32_t{9});
    Bytes omap = Object(10, 0x4000000b, 0);
    Put(omap, kOmapTreeOid, std::uint64_t{11});
    d.blocks[10] = omap;
    // ... to an older volume superblock (13), map (14, root 15) and fs root (12).
    d.blocks[11] = OmapNode(11, 7, {13});
    d.blocks[13] = d.blocks[4];
    Put(d.blocks[13], apsb::kOmapOid, std::uint64_t{14});
    d.blocks[14] = d.blocks[5];
    Put(d.blocks[14], kOmapTreeOid, std::uint64_t{15});
    d.blocks[15] = OmapNode(15, 7, {12});
    d.blocks[12] = FsNode(0x404, 2, btn::kRoot | btn::kLeaf, {DirRec(2, "new", 17, 4), DirRec(2, "old", 18, 4)});
    auto r = ReadAgain();
    EXPECT_EQ(r->ObjectMapsRead(), 2);
    EXPECT_TRUE(r->VisitedNodes().count(12));
    ASSERT_NE(Delivered("new"), nullptr);
    EXPECT_FALSE(Delivered("new")->IsDeleted()) << "met again in the older checkpoint: the same node";
    ASSERT_NE(Delivered("old"), nullptr);
    EXPECT_TRUE(Delivered("old")->IsDeleted());
    EXPECT_EQ(d.delivered.size(), 2u);

    // A stale leaf: a virtual node is taken wherever it lies, a physical one
    // only where its id says, a visited block never.
    Bytes stale = FsNode(30, 3, btn::kLeaf, {DirRec(2, "stale", 19, 4)});
    r->AnalyzeStaleNode(8 * 50, 50, Span(stale));
    ASSERT_NE(Delivered("stale"), nullptr);
    EXPECT_TRUE(Delivered("stale")->IsDeleted());
    Bytes physical = FsNode(30, 0x40000003, btn::kLeaf, {DirRec(2, "moved", 20, 4)});
    r->AnalyzeStaleNode(8 * 31, 31, Span(physical));
    EXPECT_EQ(Delivered("moved"), nullptr);
    r->AnalyzeStaleNode(8 * 30, 30, Span(physical));
    EXPECT_NE(Delivered("moved"), nullptr);
    Bytes live = FsNode(30, 3, btn::kLeaf, {DirRec(2, "again", 21, 4)});
    r->AnalyzeStaleNode(8 * 7, 7, Span(live));
    EXPECT_EQ(Delivered("again"), nullptr);
    // Far from every other node: distances do not overflow.
    Bytes far = FsNode(30, 3, btn::kLeaf, {DirRec(2, "stale", 19, 4), DirRec(2, "far", 23, 4)});
    r->AnalyzeStaleNode(1ULL << 40, 1ULL << 37, Span(far));
    EXPECT_NE(Delivered("far"), nullptr);
    Bytes root = FsNode(30, 2, btn::kRoot | btn::kLeaf, {DirRec(2, "root-node", 22, 4)});
    r->AnalyzeStaleNode(8 * 40, 40, Span(root));
    EXPECT_EQ(Delivered("root-node"), nullptr) << "only non-root nodes are stale copies";
}

TEST_F(ApfsReader, DamagedCountsTablesAndChainsEndQuietly) {
    const Bytes good = FsNode(0x404, 2, btn::kRoot | btn::kLeaf, {DirRec(2, "f", 17, 4)});
    for (std::uint32_t nkeys : {0u, 1024u, 0xFFFFFFFFu}) {
        d.Reset();
        Bytes b = good;
        Put(b, btn::kNkeys, nkeys);
        Read(b);
        EXPECT_TRUE(d.delivered.empty()) << nkeys;
    }
    // A table longer than the block, a key offset past it.
    d.Reset();
    Bytes b = good;
    Put(b, btn::kTableLen, std::uint16_t{0xFFFF});
    Read(b);
    EXPECT_TRUE(d.delivered.empty());

    // An object-map index node whose child is itself; a leaf with a removed
    // entry still yields the block its value slot maps.
    d.Reset();
    SmallContainer(d, good);
    d.blocks[8] = OmapNode(8, btn::kFixed | btn::kLeaf, {7});
    Put(d.blocks[8], btn::kNkeys, std::uint32_t{0});
    d.blocks[9] = OmapNode(9, btn::kFixed | btn::kLeaf | btn::kRoot, {7, 64, 1000});
    d.blocks[6] = OmapNode(6, btn::kFixed | btn::kRoot, {8, 6, 9});
    ReadAgain();
    EXPECT_EQ(d.reads[6], 1);
    EXPECT_EQ(d.reads.count(64) + d.reads.count(1000), 0u) << "addresses past the container are not read";
    EXPECT_NE(Delivered("f"), nullptr);

    // Checkpoint chains: a loop, an index past the container, 40 links.
    d.Reset();
    SmallContainer(d, good);
    Put(d.blocks[0], nx::kXpDescIndex, std::uint32_t{9});
    d.blocks[9] = d.blocks[0];
    Put(d.blocks[9], nx::kXpDescIndex, std::uint32_t{0});
    EXPECT_EQ(ReadAgain()->ObjectMapsRead(), 2);
    Put(d.blocks[0], nx::kXpDescIndex, std::uint32_t{0xFFFFFFFF});
    d.reads.clear();
    EXPECT_EQ(ReadAgain()->ObjectMapsRead(), 1);
    EXPECT_EQ(d.reads.count(0xFFFFFFFF), 0u) << "an address past the container is not read";
    for (std::uint32_t i = 0; i < 40; ++i) {
        d.blocks[20 + i] = d.blocks[0];
        Put(d.blocks[20 + i], nx::kXpDescIndex, 21 + i);
    }
    Put(d.blocks[0], nx::kXpDescIndex, std::uint32_t{20});
    EXPECT_EQ(ReadAgain()->ObjectMapsRead(), APFSContainerReader::kMaxCheckpoints);

    // A superblock with another block size is refused; a stop empties the walk.
    Put(d.blocks[0], nx::kBlockSize, std::uint32_t{8192});
    APFSContainerReader refused(&d, 0, 0);
    EXPECT_EQ(refused.ReadContainer(), -2);
    d.blocks.erase(0);
    EXPECT_EQ(APFSContainerReader(&d, 0, 0).ReadContainer(), -1);
}

} // namespace
