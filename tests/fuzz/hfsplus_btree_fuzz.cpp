// HFS+ structures: the volume header test, one B-tree node with its records
// decoded as keys and records of the three trees and its classification, a
// journal header, and the whole input as a catalog tree file searched and
// walked from its header node.
#include "engine/hfsplus/HfsPlusJournal.h"
#include "engine/hfsplus/HfsPlusVolume.h"

#include <cstring>

using namespace hfsplus;

namespace {
class MemFile : public CHFSPlusRawfile {
public:
    MemFile(const std::uint8_t* data, std::size_t size) : CHFSPlusRawfile(nullptr, 4, {}), m_data(data), m_size(size) {}
    std::uint64_t Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) override {
        if (offset >= m_size) return 0;
        const std::uint64_t n = std::min<std::uint64_t>(length, m_size - offset);
        std::memcpy(buffer, m_data + offset, n);
        return n;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bytes::Bytes all(data, size);
    if (IsValidVolumeHeader(data, static_cast<unsigned short>(std::min<std::size_t>(size, 0xFFFF)))) {
        const HFSPlusVolumeHeader h = ReadVolumeHeader(all);
        if (h.blockSize < 512 || h.freeBlocks > h.totalBlocks) __builtin_trap();
    }
    JournalHeader jh;
    if (CHFSPlusJournal::ParseHeader(all, 1 << 20, jh) && (jh.jhdr_size == 0 || jh.blhdr_size < 32))
        __builtin_trap();
    const CHFSPlusBTNode node(data, size - size % 512);
    if (node.IsValid()) {
        node.TestNodeBelongToFile();
        for (std::uint16_t i = 0; i < node.GetRecordCount(); ++i) {
            const bytes::Bytes record = node.GetRecord(i);
            const bytes::Bytes held = node.Data();
            if (record.data() < held.data() || record.data() + record.size() > held.data() + held.size()) __builtin_trap();
            BTKey key;
            HFSPlusCatalogRecord cat;
            HFSPlusAttrRecord attr;
            if (ReadCatalogKey(record, key)) {
                if (key.name.size() > 255) __builtin_trap();
                ReadCatalogRecord(record.subspan(std::min<std::size_t>(record.size(), key.keyLength + 2u)), cat);
                CatalogNameToUtf8(key.name);
            }
            if (ReadAttributeKey(record, key))
                ReadAttributeRecord(record.subspan(std::min<std::size_t>(record.size(), key.keyLength + 2u)), attr);
            if (ReadExtentKey(record, key)) ReadExtentRecord(record, 12);
        }
    }
    MemFile file(data, size);
    CHFSPlusCatalog catalog(&file);
    HFSPlusSearchResult result;
    std::vector<std::uint8_t> found;
    BTKey key;
    key.parentID = size > 3 ? data[size - 1] : 2;
    key.name = u"a";
    catalog.Search(key, result, &found);
    unsigned visits = 0;
    catalog.Traverse([&](const BTKey&, bytes::Bytes) { return ++visits < 100000; }, nullptr);
    return 0;
}
