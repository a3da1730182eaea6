#pragma once
// The reader of an NTFS-compressed file: its runs, in compression units of 16
// clusters, expanded from LZNT1 chunks back into the file's bytes.
#include "engine/writer/FileReader.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

enum : std::uint32_t { NONECOMPRESSED_UNIT = 0, COMPRESSED_UNIT = 1, SPARSE_UNIT = 2 };

// One piece of a compression unit: first cluster (-1 unallocated), length in
// clusters, and the unit's kind.
struct tagCompressDataRun {
    long long lcn = -1;
    long long length = 0;
    std::uint32_t type = NONECOMPRESSED_UNIT;
    bool operator==(const tagCompressDataRun&) const = default;
};

class CCompressFileReader : public CFileReader, public ICompressedRecovery {
public:
    static constexpr unsigned kUnitClusters = 16;
    // Larger clusters are never compressed.
    static constexpr long long kMaxClusterBytes = 4096;
    // Every chunk but a file's last stands for this many bytes.
    static constexpr int kChunkBytes = 4096;

    CCompressFileReader() = default;

    // Expanded bytes at offset (resident data is read plainly). Only the
    // units that hold the wanted bytes are read and expanded.
    unsigned ReadData(long long offset, char* buffer, unsigned size, int* error) override;
    IFileReader* Clone() override { return new CCompressFileReader(*this); }

    // The whole file to path; resident data is left to the caller.
    bool Recovery(const char* path, IProgress* sink, bool& resident) override;
    // The first capacity bytes of the file into buffer.
    bool Recovery(char* buffer, int capacity, IProgress* sink) override;
    long long UnreadableBytes() const override { return m_unreadable; }

    // Expands another run list, for a file of size bytes, the way the last
    // Recovery call did (into its file or its buffer); false before any
    // Recovery, without runs, or with a negative size. The reader keeps the
    // given runs (a copy) and size afterwards.
    bool DeCompressFile(IDataRunList* runs, long long size);

    // Cuts the runs at every 16-cluster boundary of the file and types each
    // piece by its unit.
    static void ReGroupCompressDataRunList(IDataRunList* runs, std::vector<tagCompressDataRun>& units);
    // Expands one LZNT1 chunk (its header first, `available` bytes of it at
    // most) into out; never reads past the chunk nor writes past capacity.
    // Answers the bytes produced.
    static int DecompressBlock(unsigned char* out, int capacity, const unsigned char* chunk, std::size_t available);
    // Expands the chunks of a compressed unit's stored bytes into out (zeroed
    // by the caller): chunk i lands at i * 4096; the walk ends at a zero
    // header, at a chunk that passes the bytes given, or when out is full.
    static void DecompressUnit(const unsigned char* in, std::size_t inLength, unsigned char* out,
                               std::size_t outLength);

private:
    CCompressFileReader(const CCompressFileReader&) = default;
    // Where the last Recovery call sent the bytes.
    struct Mode {
        enum Kind { kNone, kFile, kMemory } kind = kNone;
        std::string path;
        char* buffer = nullptr;
        int capacity = 0;
        IProgress* sink = nullptr;
    };
    Mode m_mode;
    using Emit = std::function<bool(long long offset, const unsigned char* data, std::size_t n)>;
    // Expands the bytes [from, to) of the file unit by unit; emit receives
    // each unit's part (at its file offset) and may stop the walk.
    bool Expand(long long from, long long to, const Emit& emit);
    // false when the clusters lie (partly) past the device's end or the read fails.
    bool ReadClusters(long long lcn, long long count, unsigned char* out);
    long long m_unreadable = 0; // bytes the last expansion had to leave zeros
};
