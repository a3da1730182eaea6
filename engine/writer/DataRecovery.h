#pragma once
// The writer of one found file at a time: picks the node's partition, reads
// the node through its reader and writes a byte-exact copy.
#include "engine/include/DataRecovery.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/utility/Locks.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class CFileNode;
class CDestinationFile;

// The copy buffer of a writer: taken when a copy starts from the buffers all
// writers share, given back when it ends, so that memory follows the copies
// running at once and not the writers made (a quick scan makes one per
// volume it lists).
class CCopyBuffer {
public:
    static constexpr int kSize = 4 * 1024 * 1024;
    // Idle buffers kept for the next copies; more are freed when given back.
    static constexpr int kKeptIdle = 4;

    CCopyBuffer() = default;
    ~CCopyBuffer() { GiveBack(); }
    CCopyBuffer(const CCopyBuffer&) = delete;
    CCopyBuffer& operator=(const CCopyBuffer&) = delete;
    // false when there is no memory for one.
    bool Take();
    void GiveBack();
    char* data() const { return m_data.get(); }

private:
    std::unique_ptr<char[]> m_data;
};

// The writer's result codes.
namespace WriterResult {
inline constexpr ResultCode NullArgument = MakeResult(ResultLib::Writer, 0x45, 5);
inline constexpr ResultCode NoPartitions = MakeResult(ResultLib::Writer, 0x4b, 0xd01);
inline constexpr ResultCode NoPartitionsOnSecondAsk = MakeResult(ResultLib::Writer, 0x52, 0xd01);
inline constexpr ResultCode NullDevice = MakeResult(ResultLib::Writer, 0x6e, 5);
inline constexpr ResultCode NullPath = MakeResult(ResultLib::Writer, 0x102, 5);
inline constexpr ResultCode NoReaderNoFile = MakeResult(ResultLib::Writer, 0x10b, 0xf);
inline constexpr ResultCode NoReaderEmptyFile = MakeResult(ResultLib::Writer, 0x10f, 0xd02);
inline constexpr ResultCode CountForCompressed = MakeResult(ResultLib::Writer, 0x115, 0xf);
inline constexpr ResultCode CompressedFailed = MakeResult(ResultLib::Writer, 0x121, 1);
inline constexpr ResultCode CannotOpenDestination = MakeResult(ResultLib::Writer, 0x131, 0xf);
inline constexpr ResultCode NoReaderAtCopy = MakeResult(ResultLib::Writer, 0x136, 0xd02);
inline constexpr ResultCode NoMemory = MakeResult(ResultLib::Writer, 0x13b, 0xc);
inline constexpr ResultCode WriteFailed = MakeResult(ResultLib::Writer, 0x15f, 0xd03);
// The file is written at its full length, but some of its bytes could not be
// read and are zeros: it stays, counted as damaged.
inline constexpr ResultCode Unreadable = MakeResult(ResultLib::Writer, 0x168, 0xd04);
// The file holds bytes that its size does not count (a compressed file whose
// expanded size could not be read): nothing is written.
inline constexpr ResultCode SizeUnknown = MakeResult(ResultLib::Writer, 0x11c, 0xd05);
// The device stopped answering: nothing of this file is left, and the
// recovery goes no further (every later file would read as zeros).
inline constexpr ResultCode DeviceGone = MakeResult(ResultLib::Writer, 0x170, 0xd06);
// The destination refused this one file (its name, say) while it takes
// others: nothing is written, and the recovery goes on with the next file.
inline constexpr ResultCode Refused = MakeResult(ResultLib::Writer, 0x16c, 0xd06);
} // namespace WriterResult

class CDataRecovery : public IDataRecovery {
public:
    // Size of the copy buffer and of each chunk written.
    static constexpr int kBufferSize = CCopyBuffer::kSize;
    // Attempts at writing one chunk before the copy gives up (a full disk).
    static constexpr int kWriteAttempts = 4;

    CDataRecovery();
    ~CDataRecovery() override;
    CDataRecovery(const CDataRecovery&) = delete;
    CDataRecovery& operator=(const CDataRecovery&) = delete;

    // IDataRecovery
    ResultCode Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) override;
    IFileReader* SetRecoverNode(IFileNode* node) override;
    ResultCode RecoverTo(const char* path, IProgress* sink, int byteCount) override;
    unsigned ReadSmallJPG(char* out, unsigned capacity) override;
    void Release() override { delete this; }

    // RecoverTo with path relative to the folder dirFd (AT_FDCWD: the working
    // folder), so that no limit on a whole path's length applies.
    ResultCode RecoverToAt(int dirFd, const char* path, IProgress* sink, int byteCount);

    // For a scan result loaded from a file: plain copies of the given records
    // (which stay the caller's), in the given order.
    ResultCode Initialize(std::vector<CSearchedPartitionInfo*>& partitions, IStorageDevice* device);
    // The writer's records (it keeps owning them), best score first.
    std::vector<CSearchedPartitionInfo*> GetSearchedPartition() const;
    // The device the records' sectors are on (borrowed), or null.
    IStorageDevice* Device() const { return m_device; }
    // The partition record node belongs to, or null.
    CSearchedPartitionInfo* GetNodePartition(CFileNode* node) const;
    // The device sector where node's partition starts, −1 when unknown.
    long long NodeVolumeStart(IFileNode* node) const;

    // The bytes a copy of the current node really writes: its data, not its
    // holes nor what cannot be read; 0 without a node.
    long long BytesToWrite();

    // Pause between write attempts (tests shorten it).
    void SetWriteRetryDelayMs(int ms) { m_retryDelayMs = ms; }

private:
    using ReaderPtr = Owned<IFileReader>;

    void ReleasePartitions();
    // Takes a shared buffer for the copy now starting (the caller gives it back).
    bool EnsureBuffer();
    void ForgetCurrentNode();
    ReaderPtr MakeReader(CFileNode* node, CSearchedPartitionInfo* partition, bool& ntfsCompressed);
    // The data bytes among the current reader's first total.
    long long DataBytes(long long total);
    ResultCode CopyPlain(int dirFd, const char* path, IProgress* sink, _PROGRESS_INFO& record);
    // Reads length bytes at offset into out after a whole read of them
    // failed: again in halves down to single sectors, so that only the
    // sectors that fail are zeros. failedReads bounds the reads that fail
    // for one file; note(offset, bytes) is told each zeroed range.
    template <class Note>
    void ReadAroundFailure(char* out, long long offset, long long length, int& failedReads, Note& note);
    // Writes n bytes of the buffer at offset, retrying a failing write a
    // bounded number of times; false when it gave up or the sink asked to stop
    // (stopped tells which).
    bool WriteChunk(CDestinationFile& file, const char* path, long long n, long long offset, IProgress* sink,
                    _PROGRESS_INFO& record, bool& stopped);
    // Waits, as for a failing write, while the destination has less free
    // space than need (a sparse or damaged file must never fill it); false
    // when it gave up (record.result set) or the sink asked to stop.
    bool WaitForSpace(CDestinationFile& file, const char* path, long long need, IProgress* sink,
                      _PROGRESS_INFO& record);
    void SetTimes(int dirFd, const char* path);

    // Tells a failure of the whole destination (full, read-only, gone) as a
    // failed write, the user asked to make room or stop; answers the code.
    ResultCode DestinationFailed(const char* path, int error, IProgress* sink, _PROGRESS_INFO& record);

    CCopyBuffer m_buffer;                                              // held only while copying
    ReaderPtr m_reader;                                                // reader of the current node
    std::vector<std::unique_ptr<CSearchedPartitionInfo>> m_partitions; // best score first
    IStorageDevice* m_device = nullptr;                                // borrowed
    bool m_ntfsCompressed = false;                                     // current node is NTFS-compressed
    std::optional<std::int64_t> m_createdSeconds;                      // current node's creation time
    IFileNode* m_node = nullptr;                                       // borrowed
    bool m_emptyNode = false;                                          // the node set last is a file of 0 bytes
    int m_retryDelayMs = 100;
    mutex_locker m_mutex;
};

IDataRecovery* CreateDataRecoveryObj();
