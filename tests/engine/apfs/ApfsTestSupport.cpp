#include "tests/engine/apfs/ApfsTestSupport.h"

#include "engine/apfs/ApfsObjects.h"

#include <cstring>

namespace apfs_test {

using namespace apfs;

Bytes Object(std::uint64_t oid, std::uint32_t type, std::uint32_t subtype) {
    Bytes b(kBlockSize, 0);
    Put(b, obj::kOid, oid);
    Put(b, obj::kType, type);
    Put(b, obj::kSubtype, subtype);
    return b;
}

namespace {
Bytes Key(std::uint64_t id, unsigned kind) {
    Bytes k(8, 0);
    Put(k, 0, id | (std::uint64_t{kind} << 60));
    return k;
}
} // namespace

Rec Inode(std::uint64_t id, std::uint64_t parent, const std::string& name, std::uint16_t mode, std::uint64_t size,
          std::uint64_t time) {
    Rec r{Key(id, 3), Bytes(92, 0)};
    Put(r.value, 0, parent);
    Put(r.value, 8, id);
    for (std::size_t t = 16; t <= 40; t += 8) Put(r.value, t, time);
    Put(r.value, 80, mode);
    Bytes n(name.begin(), name.end());
    n.push_back(0);
    const bool stream = size != 0;
    const std::uint16_t fields = stream ? 2 : 1;
    Bytes xf(4 + 4 * fields, 0);
    Put(xf, 0, fields);
    xf[4] = 4, xf[5] = 2, Put(xf, 6, static_cast<std::uint16_t>(n.size()));
    if (stream) xf[8] = 8, xf[9] = 0x20, Put(xf, 10, std::uint16_t{40});
    n.resize((n.size() + 7) / 8 * 8, 0);
    xf.insert(xf.end(), n.begin(), n.end());
    if (stream) {
        Bytes ds(40, 0);
        Put(ds, 0, size);
        xf.insert(xf.end(), ds.begin(), ds.end());
    }
    Put(xf, 2, static_cast<std::uint16_t>(xf.size() - 4));
    r.value.insert(r.value.end(), xf.begin(), xf.end());
    return r;
}

Rec DirRec(std::uint64_t parent, const std::string& name, std::uint64_t id, std::uint16_t flags, std::uint64_t time) {
    Rec r{Key(parent, 9), Bytes(18, 0)};
    r.key.resize(12, 0);
    Put(r.key, 8, static_cast<std::uint32_t>(name.size() + 1));
    r.key.insert(r.key.end(), name.begin(), name.end());
    r.key.push_back(0);
    Put(r.value, 0, id);
    Put(r.value, 8, time);
    Put(r.value, 16, flags);
    return r;
}

Rec Extent(std::uint64_t id, std::uint64_t logical, std::uint64_t lengthAndFlags, std::uint64_t phys) {
    Rec r{Key(id, 8), Bytes(24, 0)};
    r.key.resize(16, 0);
    Put(r.key, 8, logical);
    Put(r.value, 0, lengthAndFlags);
    Put(r.value, 8, phys);
    return r;
}

Bytes FsNode(std::uint64_t oid, std::uint32_t type, std::uint16_t flags, const std::vector<Rec>& recs) {
    Bytes b = Object(oid, type, obj::kSubtypeFsTree);
    const std::size_t n = recs.size();
    const auto table = static_cast<std::uint16_t>((8 * n + 15) / 16 * 16);
    Put(b, btn::kFlags, flags);
    Put(b, btn::kNkeys, static_cast<std::uint32_t>(n));
    Put(b, btn::kTableLen, table);
    const std::size_t end = kBlockSize - ((flags & btn::kRoot) ? btn::kInfoSize : 0);
    std::size_t k = 0, v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Rec& r = recs[i];
        v += r.value.size();
        Put(b, btn::kData + 8 * i, static_cast<std::uint16_t>(k));
        Put(b, btn::kData + 8 * i + 2, static_cast<std::uint16_t>(r.key.size()));
        Put(b, btn::kData + 8 * i + 4, static_cast<std::uint16_t>(v));
        Put(b, btn::kData + 8 * i + 6, static_cast<std::uint16_t>(r.value.size()));
        std::memcpy(b.data() + btn::kData + table + k, r.key.data(), r.key.size());
        std::memcpy(b.data() + end - v, r.value.data(), r.value.size());
        k += r.key.size();
    }
    return b;
}

Bytes OmapNode(std::uint64_t oid, std::uint16_t flags, const std::vector<std::uint64_t>& addresses) {
    Bytes b = Object(oid, (flags & btn::kRoot) ? 2 : 3, obj::kSubtypeOmap);
    const std::size_t n = addresses.size();
    const bool leaf = flags & btn::kLeaf;
    const std::size_t valueSize = leaf ? 16 : 8;
    const auto table = static_cast<std::uint16_t>((4 * n + 15) / 16 * 16);
    Put(b, btn::kFlags, flags);
    Put(b, btn::kNkeys, static_cast<std::uint32_t>(n));
    Put(b, btn::kTableLen, table);
    const std::size_t end = kBlockSize - ((flags & btn::kRoot) ? btn::kInfoSize : 0);
    for (std::size_t i = 0; i < n; ++i) {
        Put(b, btn::kData + 4 * i, static_cast<std::uint16_t>(16 * i));
        Put(b, btn::kData + 4 * i + 2, static_cast<std::uint16_t>(valueSize * (i + 1)));
        Put(b, btn::kData + table + 16 * i, std::uint64_t{0x404 + i}); // omap_key_t oid
        const std::size_t v = end - valueSize * (i + 1);
        if (leaf) {
            Put(b, v, std::uint64_t{0x0000100000000000ULL});
            Put(b, v + 8, addresses[i]);
        } else {
            Put(b, v, addresses[i]);
        }
    }
    return b;
}

void MemoryDelegate::Reset() {
    for (auto* n : delivered) n->Release();
    delivered.clear();
    blocks.clear();
    reads.clear();
    continueReads = 1LL << 40;
}

int MemoryDelegate::AddFileNode(APFSFileNode* node) {
    if (node->Has(APFSFileNode::kDelivered)) return 0;
    node->Set(APFSFileNode::kDelivered);
    node->AddRef();
    delivered.push_back(node);
    return 1;
}

int MemoryDelegate::ReadBlocks(APFSContainerReader*, std::uint64_t block, int byteCount, std::uint8_t* buffer) {
    ++reads[block];
    auto it = blocks.find(block);
    if (it == blocks.end() || byteCount != static_cast<int>(kBlockSize)) return 0;
    std::memcpy(buffer, it->second.data(), kBlockSize);
    return 1;
}

void SmallContainer(MemoryDelegate& d, const Bytes& fsNode, std::uint64_t blockCount) {
    Bytes sb = Object(1, 0x80000001, 0);
    Put(sb, nx::kMagic, nx::kMagicValue);
    Put(sb, nx::kBlockSize, std::uint32_t{4096});
    Put(sb, nx::kBlockCount, blockCount);
    Put(sb, nx::kOmapOid, std::uint64_t{2});
    d.blocks[0] = sb;
    Bytes omap = Object(2, 0x4000000b, 0);
    Put(omap, kOmapTreeOid, std::uint64_t{3});
    d.blocks[2] = omap;
    d.blocks[3] = OmapNode(3, 7, {4});
    Bytes apsb = Object(0x402, 0xd, 0);
    Put(apsb, apsb::kMagic, apsb::kMagicValue);
    Put(apsb, apsb::kOmapOid, std::uint64_t{5});
    std::memcpy(apsb.data() + apsb::kVolname, "vol", 4);
    d.blocks[4] = apsb;
    Bytes vomap = Object(5, 0x4000000b, 0);
    Put(vomap, kOmapTreeOid, std::uint64_t{6});
    d.blocks[5] = vomap;
    d.blocks[6] = OmapNode(6, 7, {7});
    d.blocks[7] = fsNode;
}

} // namespace apfs_test
