#pragma once
// The journal of a journaled HFS+ volume: its info block and header, a
// circular read, and the scan that collects the B-tree records that earlier
// transactions still hold but the live trees no longer do.
#include "engine/hfsplus/HfsPlusKeys.h"

#include <functional>
#include <optional>

namespace hfsplus {

class CHFSPlusVolume;

struct JournalInfoBlock {
    std::uint32_t flags = 0;
    std::uint64_t offset = 0, size = 0;
};

// Host order, as the journal is written little-endian.
struct JournalHeader {
    std::uint32_t magic = 0, endian = 0;
    std::uint64_t start = 0, end = 0, size = 0;
    std::uint32_t blhdr_size = 0, checksum = 0, jhdr_size = 0;
};

inline constexpr std::uint32_t kJournalMagic = 0x4A4E4C78;
inline constexpr std::uint32_t kJournalEndian = 0x12345678;
// Larger journal blocks than this are not B-tree nodes of any tree.
inline constexpr std::uint32_t kMaxJournalBlock = 64 * 1024;

class CHFSPlusJournal {
public:
    explicit CHFSPlusJournal(CHFSPlusVolume* volume);
    ResultCode GetLastError() const { return m_result; }
    bool IsUsable() const { return m_header.has_value(); }
    const std::optional<JournalHeader>& Header() const { return m_header; }
    // The info block the volume header names, when it reads as one.
    const std::optional<JournalInfoBlock>& Info() const { return m_info; }

    // Reads inside the journal's circular buffer; bytes delivered.
    std::uint64_t Read(std::uint64_t offset, unsigned char* buffer, std::uint64_t length);
    // Fills the volume's deleted lists; onCatalog is called for each new
    // deleted catalog record; proceed false ends the scan.
    ResultCode GetDeleteRecord(const std::function<bool()>& proceed, const std::function<void()>& onCatalog);

    // Parses a journal header in host (little-endian) order; false when its
    // magic, endian or sizes make it unusable for a journal of journalSize bytes.
    static bool ParseHeader(bytes::Bytes b, std::uint64_t journalSize, JournalHeader& header);

private:
    void TakeNode(const unsigned char* bytes, std::size_t size, std::uint64_t volumeOffset,
                  const std::function<void()>& onCatalog);

    CHFSPlusVolume* m_volume;
    ResultCode m_result = 0;
    std::optional<JournalInfoBlock> m_info;
    std::optional<JournalHeader> m_header;
};

// Whether a catalog record is one of the journal's own files of a volume:
// ".journal_info_block" over the header's journal info block, ".journal" over
// the journal that info block places, both in the root folder. A file of
// either name anywhere else, or over other blocks, is the user's.
bool IsJournalFile(const HFSPlusVolumeHeader& header, const std::optional<JournalInfoBlock>& info, const BTKey& key,
                   const HFSPlusCatalogRecord& record);

} // namespace hfsplus
