#include "engine/hfsplus/HfsPlusJournal.h"

#include "engine/hfsplus/HfsPlusVolume.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

using namespace bytes;

namespace hfsplus {

namespace {
constexpr std::size_t kInfoBlockSize = 180;
constexpr std::size_t kJournalHeaderSize = 44;
// A block list header larger than this is not one macOS writes.
constexpr std::uint32_t kMaxBlockListHeader = 1u << 20;
} // namespace

bool CHFSPlusJournal::ParseHeader(Bytes b, std::uint64_t journalSize, JournalHeader& h) {
    if (!Has(b, 0, kJournalHeaderSize)) return false;
    h.magic = Le32(b, 0);
    h.endian = Le32(b, 4);
    h.start = Le64(b, 8);
    h.end = Le64(b, 16);
    h.size = Le64(b, 24);
    h.blhdr_size = Le32(b, 32);
    h.checksum = Le32(b, 36);
    h.jhdr_size = Le32(b, 40);
    if (h.magic != kJournalMagic || h.endian != kJournalEndian || h.size != journalSize) return false;
    // Sizes that would make the scan step by nothing, or past the journal,
    // make the journal unusable (the volume itself still opens).
    if (h.jhdr_size == 0 || h.jhdr_size % 512 != 0 || h.jhdr_size >= h.size) return false;
    if (h.blhdr_size < 32 || h.blhdr_size > kMaxBlockListHeader || h.blhdr_size >= h.size) return false;
    return h.start >= h.jhdr_size && h.start < h.size && h.end >= h.jhdr_size && h.end < h.size;
}

bool IsJournalFile(const HFSPlusVolumeHeader& header, const std::optional<JournalInfoBlock>& info, const BTKey& key,
                   const HFSPlusCatalogRecord& record) {
    if (record.recordType != kFileRecord || key.parentID != kRootFolderId || header.journalInfoBlock == 0) return false;
    const HFSPlusExtentDescriptor& first = record.dataFork.extents[0];
    if (first.blockCount == 0) return false;
    if (key.name == u".journal_info_block") return first.startBlock == header.journalInfoBlock;
    if (key.name == u".journal")
        return info && header.blockSize != 0 && std::uint64_t{first.startBlock} * header.blockSize == info->offset;
    return false;
}

CHFSPlusJournal::CHFSPlusJournal(CHFSPlusVolume* volume) : m_volume(volume) {
    if (!volume) {
        m_result = HFS_ERROR(kErrNullArg);
        return;
    }
    if (!volume->Header()) {
        m_result = volume->GetLastError();
        return;
    }
    const HFSPlusVolumeHeader& vh = *volume->Header();
    // A journal pointer past the volume points at nothing of the journal.
    if (!vh.IsJournaled() || vh.journalInfoBlock >= vh.totalBlocks) {
        m_result = MakeResult(ResultLib::HfsPlus, 40, kErrDevice);
        return;
    }
    std::vector<std::uint8_t> buf(std::max(volume->SectorSize(), 512u));
    if (volume->Read(std::uint64_t{vh.journalInfoBlock} * vh.blockSize, buf.data(), buf.size()) != buf.size()) {
        m_result = HFS_ERROR(kErrShortRead);
        return;
    }
    JournalInfoBlock info{Be32(buf, 0), Be64(buf, 36), Be64(buf, 44)};
    const std::uint64_t volumeBytes = std::uint64_t{vh.totalBlocks} * vh.blockSize;
    if ((info.flags & 1) == 0 || info.size == 0 || info.offset >= volumeBytes || info.size > volumeBytes - info.offset) {
        m_result = HFS_ERROR(kErrDevice);
        return;
    }
    m_info = info;
    if (volume->Read(info.offset, buf.data(), buf.size()) != buf.size()) {
        m_result = HFS_ERROR(kErrDevice);
        return;
    }
    JournalHeader header;
    if (!ParseHeader(Bytes(buf).first(kJournalHeaderSize), info.size, header)) {
        m_result = HFS_ERROR(kErrDevice);
        return;
    }
    m_header = header;
}

std::uint64_t CHFSPlusJournal::Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length) {
    if (!m_info || !m_header || !buffer) {
        m_result = MakeResult(ResultLib::HfsPlus, 41, kErrDevice);
        return 0;
    }
    const std::uint64_t size = m_info->size, start = m_header->jhdr_size;
    std::uint64_t position = offset;
    if (position >= size) position = start + (position - size) % (size - start);
    std::uint64_t done = 0;
    while (done < length) {
        const std::uint64_t n = std::min(length - done, size - position);
        const std::uint64_t got = m_volume->Read(m_info->offset + position, buffer + done, n);
        done += got;
        if (got != n) {
            m_result = HFS_ERROR(kErrDevice);
            return done;
        }
        position += n;
        if (position >= size) position = start;
    }
    return done;
}

void CHFSPlusJournal::TakeNode(const unsigned char* bytes, std::size_t size, std::uint64_t volumeOffset,
                               const std::function<void()>& onCatalog) {
    const CHFSPlusBTNode node(bytes, size);
    if (!node.IsValid() || node.Descriptor().kind != kLeafNode) return;
    const std::uint32_t file = m_volume->GetNodeBelongToFile(volumeOffset);
    CHFSPlusBTreeOptionBase* tree = m_volume->Tree(file);
    if (!tree || (file != kCatalogFileId && file != kExtentsFileId && file != kAttributesFileId)) return;
    for (std::uint16_t i = 0; i < node.GetRecordCount(); ++i) {
        const Bytes record = node.GetRecord(i);
        BTKey key;
        if (!tree->KeyRead(record, key)) continue;
        const std::size_t at = tree->DataOffset(key);
        if (at > record.size()) continue;
        const Bytes data = record.subspan(at);
        HFSPlusSearchResult found;
        std::vector<std::uint8_t> live;
        if (file == kExtentsFileId) {
            if (data.size() < 64) continue;
            if (tree->Search(key, found, nullptr) == 0 && found.found) continue;
            const HFSPlusExtentRecord extents = ReadExtentRecord(data, 0);
            auto& list = m_volume->m_deletedExtents;
            auto same = std::find_if(list.begin(), list.end(),
                                     [&](const auto& e) { return CompareExtentKey(e.key, key) == 0; });
            if (same != list.end()) same->record = extents;
            else list.push_front({key, extents});
        } else if (file == kAttributesFileId) {
            HFSPlusAttrRecord attr;
            if (!ReadAttributeRecord(data, attr)) continue;
            if (tree->Search(key, found, nullptr) == 0 && found.found) continue;
            auto& list = m_volume->m_deletedAttributes;
            auto same = std::find_if(list.begin(), list.end(),
                                     [&](const auto& e) { return CompareAttributeKey(e.key, key) == 0; });
            if (same != list.end()) same->record = std::move(attr);
            else list.push_front({key, std::move(attr)});
        } else {
            HFSPlusCatalogRecord cat;
            if (!ReadCatalogRecord(data, cat) || (cat.recordType != kFolderRecord && cat.recordType != kFileRecord))
                continue;
            if (tree->Search(key, found, &live) == 0 && found.found) {
                HFSPlusCatalogRecord now;
                if (ReadCatalogRecord(live, now) && now.id == cat.id) continue;
            }
            auto& list = m_volume->m_deletedCatalog;
            const std::uint8_t type = m_volume->KeyCompareType();
            auto same = std::find_if(list.begin(), list.end(), [&](const auto& e) {
                return CompareCatalogKey(e.key, key, type) == 0 && e.record.id == cat.id;
            });
            if (same != list.end()) {
                same->record = std::move(cat);
            } else {
                list.push_front({key, std::move(cat)});
                if (onCatalog) onCatalog();
            }
        }
    }
}

ResultCode CHFSPlusJournal::GetDeleteRecord(const std::function<bool()>& proceed,
                                            const std::function<void()>& onCatalog) {
    if (!m_header || !m_info) return 0;
    const JournalHeader& h = *m_header;
    const std::uint64_t size = m_info->size;
    std::vector<std::uint8_t> head(std::max(h.jhdr_size, h.blhdr_size));
    std::vector<std::uint8_t> block;
    std::uint64_t position = h.end, advanced = 0;
    std::printf("Journal Start Offset:0x%" PRIx64 "\n", position);
    const std::uint16_t maxBlocks = static_cast<std::uint16_t>(h.blhdr_size / 16 - 1);
    auto advance = [&](std::uint64_t n) {
        advanced += n;
        position += n;
        while (position >= size) position = h.jhdr_size + (position - size);
    };
    while (advanced <= size) {
        if (proceed && !proceed()) break;
        if (Read(position, head.data(), h.jhdr_size) != h.jhdr_size) return HFS_ERROR(kErrDevice);
        if (Le16(head, 0) == maxBlocks) {
            if (Read(position, head.data(), h.blhdr_size) != h.blhdr_size) return HFS_ERROR(kErrDevice);
            advance(h.blhdr_size);
            // Entry i lies at byte 16 + 16 i; entry 0 describes no block.
            const std::size_t entries = std::min<std::size_t>(Le16(head, 2), h.blhdr_size / 16 - 1);
            for (std::size_t i = 1; i < entries; ++i) {
                if (proceed && !proceed()) return m_result;
                const std::uint64_t bnum = Le64(head, 16 + 16 * i);
                const std::uint32_t bsize = Le32(head, 16 + 16 * i + 8);
                if (bsize == 0) continue;
                // A length no node has, or longer than the journal, leaves
                // the rest of this transaction unreadable.
                if (bsize > kMaxJournalBlock || bsize > size - h.jhdr_size) break;
                block.resize(bsize);
                if (Read(position, block.data(), bsize) != bsize) return HFS_ERROR(kErrDevice);
                advance(bsize);
                TakeNode(block.data(), bsize, bnum * h.jhdr_size, onCatalog);
            }
        } else {
            advance(h.jhdr_size);
        }
        if (position == h.end) break;
    }
    return m_result;
}

} // namespace hfsplus
