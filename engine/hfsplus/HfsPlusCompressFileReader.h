#pragma once
// The reader of a transparently compressed HFS+ file: the "com.apple.decmpfs"
// attribute says how the file is stored, inline in the attribute (zlib type 3,
// LZVN type 7) or in the resource fork in blocks of 64 KiB (zlib types 4 and
// 5, LZVN type 8); reads answer the expanded bytes.
#include "engine/include/DataRecovery.h"

#include <cstdint>
#include <functional>
#include <vector>

class CFileNode;

namespace hfsplus {
class CHFSPlusVolume;
}

// The expanding part, apart from where the bytes come from: a decmpfs
// attribute and a way to read the resource fork.
class CDecmpfsData {
public:
    static constexpr std::uint32_t kBlockBytes = 65536;
    // Bytes of the resource fork read at offset (at most forkBytes in all).
    using ForkReader = std::function<std::uint64_t(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length)>;

    // Reads the attribute (and the fork's block table); false when the data
    // cannot be read: short attribute, unsupported type (LZFSE and unknown
    // ones), damaged table, sizes the fork cannot hold. A fork type without
    // readFork logs the missing run list.
    bool Load(const std::vector<std::uint8_t>& attribute, std::uint64_t forkBytes, ForkReader readFork);
    std::uint64_t Size() const { return m_size; }
    // The most bytes a file can expand to from an attribute of attributeBytes
    // and a resource fork of forkBytes.
    static std::uint64_t MostExpanded(std::uint64_t attributeBytes, std::uint64_t forkBytes);
    // The expanded bytes [offset, offset + length) the file has; 0 past its
    // end and when a block the slice needs cannot be expanded.
    unsigned Read(std::uint64_t offset, char* buffer, unsigned length);

private:
    struct Block {
        std::uint64_t offset = 0;  // in the resource fork
        std::uint32_t size = 0;
    };
    bool LoadAttribute(const std::vector<std::uint8_t>& attribute, std::uint64_t forkBytes, ForkReader readFork);
    bool LoadForkTable();
    std::uint64_t ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length);
    // Expands block index into m_block (its expected length); false on failure.
    bool DecodeBlock(std::size_t index);

    bool m_ready = false;
    std::uint32_t m_type = 0;
    std::uint64_t m_size = 0;       // expanded
    std::uint64_t m_forkBytes = 0;  // the resource fork's length
    ForkReader m_readFork;
    std::vector<std::uint8_t> m_whole;  // inline types: the whole file
    std::vector<Block> m_blocks;        // fork types: one per 64 KiB of the file
    std::vector<std::uint8_t> m_block;  // the last block expanded
    std::size_t m_blockIndex = SIZE_MAX;
};

class CHFSPlusCompressFileReader : public IFileReader {
public:
    // Neither is owned; both must outlive the reader.
    CHFSPlusCompressFileReader(hfsplus::CHFSPlusVolume* volume, CFileNode* node);
    CHFSPlusCompressFileReader(const CHFSPlusCompressFileReader& other);
    CHFSPlusCompressFileReader& operator=(const CHFSPlusCompressFileReader&) = delete;

    // Exactly the expanded bytes [offset, offset + length) that the file has;
    // 0 past its end and on any failure (unsupported type, damaged data).
    unsigned ReadData(long long offset, char* buffer, unsigned length, int* error) override;
    IFileReader* Clone() override { return new CHFSPlusCompressFileReader(*this); }
    long long GetDataSize() const override;
    int IsCompressFile() override;
    void Release() override { delete this; }

private:
    bool Load();
    // The node's resource fork through its runs.
    std::uint64_t ReadFork(std::uint64_t offset, std::uint8_t* buffer, std::uint64_t length, std::uint64_t forkBytes);

    hfsplus::CHFSPlusVolume* m_volume;
    CFileNode* m_node;
    // Learnt on the first read and kept.
    enum class State { Unread, Ready, Failed } m_state = State::Unread;
    CDecmpfsData m_data;
};
