#pragma once
// The plain reader of a found file: the node's data runs inside the partition
// the search found it in.
#include "engine/include/DataRecovery.h"
#include "engine/include/FileNode.h"
#include "engine/include/Owned.h"

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

class CFileNode;
class CSearchedPartitionInfo;
class IStorageDevice;

// Implemented by the readers that expand compressed data themselves (NTFS);
// the writer hands them the whole file instead of copying chunk by chunk.
class ICompressedRecovery {
public:
    // Writes the expanded file to path. false when the destination cannot be
    // opened or there are no runs; resident is set (and nothing written) when
    // the data lives in the file record and is to be copied plainly.
    virtual bool Recovery(const char* path, IProgress* sink, bool& resident) = 0;
    // Expands the first capacity bytes of the file into buffer.
    virtual bool Recovery(char* buffer, int capacity, IProgress* sink) = 0;
    // Bytes of the last Recovery that could not be read (clusters past the
    // device's end, failed reads, runs ending early) and were written as zeros.
    virtual long long UnreadableBytes() const = 0;

protected:
    ~ICompressedRecovery() = default;
};

// What a reader's bytes are, range by range: data it reads from the device,
// holes the file system defines as zeros (sparse runs, bytes past the
// initialized size), and bytes it cannot have (runs that end early or lie past
// the device's end). A copy leaves holes as holes and skips what is missing.
enum class SpanKind { Data, Hole, Missing };
struct DataSpan {
    SpanKind kind = SpanKind::Data;
    long long end = 0; // the span reaches up to here (exclusive)
};
class IDataSpans {
public:
    // The span that holds offset (offset < GetDataSize()); its end is past offset.
    virtual DataSpan SpanAt(long long offset) = 0;

protected:
    ~IDataSpans() = default;
};

class CFileReader : public IFileReader, public IDataSpans {
public:
    CFileReader() = default;
    ~CFileReader() override = default;
    CFileReader& operator=(const CFileReader&) = delete;

    // IFileReader
    unsigned ReadData(long long offset, char* buffer, unsigned size, int* error) override;
    IFileReader* Clone() override;
    long long GetDataSize() const override;
    int IsCompressFile() override;
    void Release() override { delete this; }
    // IDataSpans
    DataSpan SpanAt(long long offset) override;
    // The device sectors the file's data is read from, as [first, end)
    // ranges in file order (holes and what lies past the device's end left
    // out); empty for resident data.
    std::vector<std::pair<long long, long long>> DeviceSectors();

    // 1 when the reader can read node through partition, 0 otherwise. The
    // reader walks its own copy of the node's runs, so readers of one node on
    // several threads never share a cursor.
    int Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition);
    // Reads up to length bytes at offset; read receives how many were
    // delivered (fewer when the runs end early). false on a read at or past
    // the end, a missing run list or a device failure (*error = -1 then).
    bool Read(long long offset, unsigned char* buffer, int length, int& read, int* error);
    // Forgets node and device.
    void Close();

protected:
    CFileReader(const CFileReader& other);
    // Resident data (kept in the file record) through the NTFS library.
    bool ReadResidentData(long long offset, unsigned char* buffer, int length, int& read);
    // Reads n bytes starting rel bytes into the clusters at device sector first.
    bool ReadRunBytes(long long firstSector, long long rel, unsigned char* buffer, long long n,
                      unsigned sectorSize);
    // The spans of the whole file, made from the runs on first use.
    const std::vector<std::pair<SpanKind, long long>>& Spans();


    Owned<IDataRunList> m_runs; // own copy of the node's runs
    IStorageDevice* m_device = nullptr;                   // borrowed
    CFileNode* m_node = nullptr;                          // borrowed
    std::int64_t m_clusterSize = 0;                       // bytes
    std::uint32_t m_sectorsPerCluster = 0;
    std::int64_t m_dataSize = 0;
    std::int64_t m_clusterOrigin = 0; // device sector of cluster 0
    std::int64_t m_initializedSize = 0; // bytes past this read as zeros
    std::vector<std::pair<SpanKind, long long>> m_spans; // kind and end, in file order
};
