#include "engine/writer/DataRecovery.h"

#include "engine/include/DeviceAgain.h"

#include "engine/common/FileNode.h"
#include "engine/include/EngineTypes.h"
#include "engine/include/SearchInterfaces.h"
#include "engine/writer/DestinationFile.h"
#include "engine/writer/FileReader.h"
#include "engine/writer/FileTimes.h"
#include "engine/writer/JpegThumbnail.h"
#include "engine/writer/NodePartition.h"
#include "engine/writer/WriterLog.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <thread>

namespace {
// Partitions asked for at first; a searcher with more is asked again.
constexpr int kFirstAsk = 256;
// More partitions than any searcher can have found: the answer is damaged.
constexpr int kMaxPartitions = 1 << 20;
// The head of a picture searched for an embedded thumbnail.
constexpr unsigned kThumbnailScan = 65536;
// Reads that may fail while one file's bad sectors are narrowed down: a
// disk failing everywhere must not be read sector by sector for hours.
constexpr int kFailedReadsPerFile = 1024;

// The copy buffers not in use (never destroyed: a copy may still end while
// the process exits).
struct IdleBuffers {
    std::mutex mutex;
    std::vector<std::unique_ptr<char[]>> buffers;
};
IdleBuffers& Idle() {
    static auto* idle = new IdleBuffers;
    return *idle;
}

// Gives the writer's buffer back when the copy ends, whichever way.
struct GiveBackAtEnd {
    CCopyBuffer& buffer;
    ~GiveBackAtEnd() { buffer.GiveBack(); }
};

// Higher score first; a record without a usable score goes last.
double SortKey(const CSearchedPartitionInfo& p) {
    return std::isnan(p.m_score) ? -INFINITY : p.m_score;
}
} // namespace

CDataRecovery::CDataRecovery() = default;

CDataRecovery::~CDataRecovery() {
    autolocker<mutex_locker> lock(m_mutex);
    m_reader.reset();
    m_partitions.clear();
}

IDataRecovery* CreateDataRecoveryObj() {
    return new CDataRecovery;
}

void CDataRecovery::ReleasePartitions() {
    m_partitions.clear();
}

bool CCopyBuffer::Take() {
    if (m_data) return true;
    {
        IdleBuffers& idle = Idle();
        std::lock_guard<std::mutex> lock(idle.mutex);
        if (!idle.buffers.empty()) {
            m_data = std::move(idle.buffers.back());
            idle.buffers.pop_back();
            return true;
        }
    }
    // Not zeroed: a page takes memory only once a copy writes into it.
    m_data.reset(new (std::nothrow) char[kSize]);
    return m_data != nullptr;
}

void CCopyBuffer::GiveBack() {
    if (!m_data) return;
    IdleBuffers& idle = Idle();
    std::lock_guard<std::mutex> lock(idle.mutex);
    if (idle.buffers.size() < static_cast<size_t>(kKeptIdle)) idle.buffers.push_back(std::move(m_data));
    m_data.reset();
}

bool CDataRecovery::EnsureBuffer() {
    return m_buffer.Take();
}

void CDataRecovery::ForgetCurrentNode() {
    m_reader.reset();
    m_node = nullptr;
    m_createdSeconds.reset();
    m_ntfsCompressed = false;
    m_emptyNode = false;
}

ResultCode CDataRecovery::Initialize(IFileSystemSearchController* searcher, IStorageDevice* device) {
    if (!searcher || !device) return WriterResult::NullArgument;
    autolocker<mutex_locker> lock(m_mutex);
    ForgetCurrentNode();
    ReleasePartitions();

    // The records the searcher fills are ours; adopt each one at once so none
    // leaks on any path.
    std::vector<CSearchedPartitionInfo*> asked(kFirstAsk, nullptr);
    auto adopt = [](std::vector<CSearchedPartitionInfo*>& raw) {
        std::vector<std::unique_ptr<CSearchedPartitionInfo>> owned;
        for (CSearchedPartitionInfo* p : raw)
            if (p) owned.emplace_back(p);
        return owned;
    };
    int count = searcher->GetSearchedPartitionInfo(asked.data(), kFirstAsk);
    auto records = adopt(asked);
    if (count <= 0) return WriterResult::NoPartitions;
    if (count > kFirstAsk) {
        // The first batch is released before asking for the whole list.
        records.clear();
        if (count > kMaxPartitions) return WriterResult::NoPartitionsOnSecondAsk;
        asked.assign(static_cast<size_t>(count), nullptr);
        const int again = searcher->GetSearchedPartitionInfo(asked.data(), count);
        records = adopt(asked);
        if (again <= 0) return WriterResult::NoPartitionsOnSecondAsk;
    }
    if (records.empty()) return WriterResult::NoPartitions;

    std::stable_sort(records.begin(), records.end(),
                     [](const auto& a, const auto& b) { return SortKey(*a) > SortKey(*b); });
    m_partitions = std::move(records);
    m_device = device;
    return 0;
}

ResultCode CDataRecovery::Initialize(std::vector<CSearchedPartitionInfo*>& partitions,
                                     IStorageDevice* device) {
    if (!device) return WriterResult::NullDevice;
    autolocker<mutex_locker> lock(m_mutex);
    ForgetCurrentNode();
    ReleasePartitions();
    for (const CSearchedPartitionInfo* p : partitions) {
        // A plain record of the same fields; the caller keeps the originals.
        if (p) m_partitions.push_back(std::make_unique<CSearchedPartitionInfo>(*p));
    }
    m_device = device;
    return 0;
}

std::vector<CSearchedPartitionInfo*> CDataRecovery::GetSearchedPartition() const {
    std::vector<CSearchedPartitionInfo*> out;
    out.reserve(m_partitions.size());
    for (const auto& p : m_partitions)
        out.push_back(p.get());
    return out;
}

CSearchedPartitionInfo* CDataRecovery::GetNodePartition(CFileNode* node) const {
    const std::vector<CSearchedPartitionInfo*> records = GetSearchedPartition();
    return ::GetNodePartition(node, records, static_cast<unsigned>(records.size()));
}

long long CDataRecovery::NodeVolumeStart(IFileNode* node) const {
    const CSearchedPartitionInfo* partition = GetNodePartition(dynamic_cast<CFileNode*>(node));
    return partition && partition->m_startSector >= 0 ? partition->m_startSector : -1;
}

CDataRecovery::ReaderPtr CDataRecovery::MakeReader(CFileNode* node, CSearchedPartitionInfo* partition,
                                                   bool& ntfsCompressed) {
    if (node->IsCompressed()) {
        IFileReader* own = node->CreateCompressFileReader(partition->m_privateData);
        if (partition->m_fileSystemType != FS_NTFS) {
            // A reader that expands on its own (HFS+): used as it comes.
            return ReaderPtr(own);
        }
        auto* reader = dynamic_cast<CFileReader*>(own);
        if (!reader) {
            if (own) own->Release();
            WriterLogSite("SetRecoverNode", 187);
            return nullptr;
        }
        if (!reader->Open(m_device, node, partition)) {
            reader->Release();
            WriterLogSite("SetRecoverNode", 197);
            return nullptr;
        }
        ntfsCompressed = true;
        return ReaderPtr(reader);
    }
    auto* reader = new CFileReader;
    ReaderPtr owned(reader);
    if (!reader->Open(m_device, node, partition)) {
        WriterLogSite("SetRecoverNode", 197);
        return nullptr;
    }
    return owned;
}

IFileReader* CDataRecovery::SetRecoverNode(IFileNode* node) {
    autolocker<mutex_locker> lock(m_mutex);
    // Whatever happens, the previous node is no longer current: a RecoverTo
    // after a refused node must not write the previous file's bytes.
    ForgetCurrentNode();
    if (!node || node->IsDirectory()) {
        WriterLogSite("SetRecoverNode", 146);
        return nullptr;
    }
    // A file of no bytes has no reader: its empty copy is whole.
    auto* sized = dynamic_cast<CFileNode*>(node);
    m_emptyNode = node->GetFileSize() == 0 && !(sized && sized->IsSizeUnknown());
    if (m_partitions.empty()) {
        WriterLogSite("SetRecoverNode", 152);
        return nullptr;
    }
    auto* fileNode = dynamic_cast<CFileNode*>(node);
    CSearchedPartitionInfo* partition = fileNode ? GetNodePartition(fileNode) : nullptr;
    if (!partition) {
        WriterLogSite("SetRecoverNode", 158);
        return nullptr;
    }
    bool ntfsCompressed = false;
    ReaderPtr reader = MakeReader(fileNode, partition, ntfsCompressed);
    if (!reader) {
        WriterLogSite("SetRecoverNode", 214);
        return nullptr;
    }
    m_node = node;
    m_createdSeconds = NodeTimeSeconds(node->GetCreationTime().Value());
    m_ntfsCompressed = ntfsCompressed;
    m_reader = std::move(reader);
    return m_reader->Clone();
}

ResultCode CDataRecovery::RecoverTo(const char* path, IProgress* sink, int byteCount) {
    return RecoverToAt(AT_FDCWD, path, sink, byteCount);
}

ResultCode CDataRecovery::RecoverToAt(int dirFd, const char* path, IProgress* sink, int byteCount) {
    autolocker<mutex_locker> lock(m_mutex);
    _PROGRESS_INFO record{};
    record.state = PROGRESS_RUNNING;
    if (m_reader) {
        // An explicit count never reaches past the file: a preview of a small
        // file is the file, not the file and whatever follows it.
        const long long size = std::max<long long>(m_reader->GetDataSize(), 0);
        record.total =
            static_cast<std::uint64_t>(byteCount > 0 ? std::min<long long>(byteCount, size) : size);
    }
    if (sink) sink->UpdateProgress(&record);
    // A device that went silent and answers again is read again.
    DeviceAnswersAgain(m_device);

    if (!path) {
        WriterLogSite("RecoverTo", 257);
        return WriterResult::NullPath;
    }
    // A device that shrank still gives what lies below its new end.
    if (DeviceGoneWhole(m_device)) {
        WriterLogSite("RecoverTo", 258);
        return WriterResult::DeviceGone;
    }
    if (!m_reader && !m_emptyNode) {
        // A file with bytes that cannot be read is not written at all: an
        // empty copy would pass for it.
        WriterLogSite("RecoverTo", 309);
        return WriterResult::NoReaderAtCopy;
    }
    if (!m_reader) {
        CDestinationFile file;
        if (!file.Open(dirFd, path) || !file.Commit()) {
            WriterLogSite("RecoverTo", 266);
            return WriterResult::NoReaderNoFile;
        }
        WriterLogSite("RecoverTo", 270);
        return WriterResult::NoReaderEmptyFile;
    }
    auto* fileNode = dynamic_cast<CFileNode*>(m_node);
    if (record.total == 0 && fileNode && fileNode->IsSizeUnknown()) {
        // Written empty it would pass for whole: it is told failed instead.
        WriterLogSite("RecoverTo", 284);
        return WriterResult::SizeUnknown;
    }
    if (m_reader->IsCompressFile() && m_ntfsCompressed) {
        if (byteCount > 0) return WriterResult::CountForCompressed;
        if (auto* compressed = dynamic_cast<ICompressedRecovery*>(m_reader.get())) {
            bool resident = false;
            // The expanding reader takes a path: a relative one is reached through the folder's descriptor.
            const std::string whole = dirFd == AT_FDCWD || path[0] == '/'
                                          ? std::string(path)
                                          : "/proc/self/fd/" + std::to_string(dirFd) + "/" + path;
            const bool done = compressed->Recovery(whole.c_str(), sink, resident);
            if (DeviceGoneWhole(m_device)) {
                // Expanded from clusters that read as zeros: not the file.
                ::unlinkat(dirFd, path, 0);
                return WriterResult::DeviceGone;
            }
            if (!done) return WriterResult::CompressedFailed;
            // Resident data is not compressed; it is copied plainly.
            if (resident) return CopyPlain(dirFd, path, sink, record);
            // Clusters it could not read are zeros in the copy: the file is
            // kept at its length but is not the file.
            if (const long long unreadable = compressed->UnreadableBytes(); unreadable > 0) {
                CatchExeception::WriteLog("%s:%d read[%s] %lld of %lld bytes unreadable, written as zeros\n",
                                          "RecoverTo", 361, path, unreadable, m_reader->GetDataSize());
                return WriterResult::Unreadable;
            }
            return 0;
        }
    }
    return CopyPlain(dirFd, path, sink, record);
}

namespace {
// The reader's spans, or one data span over the whole file for a reader that
// cannot tell (it is read chunk by chunk and what fails is zeros).
DataSpan SpanOf(IFileReader& reader, long long offset, long long total) {
    auto* spans = dynamic_cast<IDataSpans*>(&reader);
    DataSpan span = spans ? spans->SpanAt(offset) : DataSpan{SpanKind::Data, total};
    // Every step moves on, and none goes past the copy's end.
    span.end = std::clamp(span.end, offset + 1, total);
    return span;
}
} // namespace

long long CDataRecovery::BytesToWrite() {
    autolocker<mutex_locker> lock(m_mutex);
    return m_reader ? DataBytes(std::max<long long>(m_reader->GetDataSize(), 0)) : 0;
}

long long CDataRecovery::DataBytes(long long total) {
    long long bytes = 0;
    for (long long at = 0; at < total;) {
        const DataSpan span = SpanOf(*m_reader, at, total);
        if (span.kind == SpanKind::Data) bytes += span.end - at;
        at = span.end;
    }
    return bytes;
}

namespace {
// Errors that tell the destination as a whole full, read-only or gone, not
// this one file refused.
bool DestinationWideError(int error) {
    switch (error) {
    case ENOSPC: case EDQUOT: case EFBIG: case EROFS: case EIO: case ENODEV: case ENXIO: case ENOTCONN:
    case ESTALE: case ENOMEDIUM: case ENOENT: case ESHUTDOWN:
        return true;
    default:
        return false;
    }
}
} // namespace

ResultCode CDataRecovery::DestinationFailed(const char* path, int error, IProgress* sink, _PROGRESS_INFO& record) {
    CatchExeception::WriteLog("%s:%d write[%s] failed with %s\n", "RecoverTo", 350, path, std::strerror(error));
    record.result = WriterResult::WriteFailed;
    if (sink) sink->UpdateProgress(&record);
    return WriterResult::WriteFailed;
}

ResultCode CDataRecovery::CopyPlain(int dirFd, const char* path, IProgress* sink, _PROGRESS_INFO& record) {
    CDestinationFile file;
    if (!file.Open(dirFd, path)) {
        const int error = errno;
        WriterLogSite("RecoverTo", 304);
        // No temporary file can be made beside the name: a full or lost
        // destination is told as a failed write; else this path is refused.
        if (error != ENOENT && DestinationWideError(error)) return DestinationFailed(path, error, sink, record);
        return WriterResult::CannotOpenDestination;
    }
    if (!EnsureBuffer()) return WriterResult::NoMemory;
    const GiveBackAtEnd giveBack{m_buffer};

    const long long total = static_cast<long long>(record.total);
    // A file that cannot fit is refused before any of it is written: a sparse
    // or damaged file must never fill the destination.
    if (!WaitForSpace(file, path, DataBytes(total), sink, record)) {
        file.Discard();
        return record.result == WriterResult::WriteFailed ? WriterResult::WriteFailed : 0;
    }

    long long current = 0, unreadable = 0;
    int failedReads = 0;
    bool stopped = false, failed = false;
    // One line for the first failed read of a file, one for the sum at the end.
    auto noteUnreadable = [&](long long from, long long bytes) {
        if (unreadable == 0)
            CatchExeception::WriteLog("%s:%d read[%s] failed at %lld with %s\n", "RecoverTo", 360, path, from,
                                      std::strerror(errno));
        unreadable += bytes;
    };
    while (current < total) {
        if (sink && !sink->Continued()) {
            stopped = true;
            break;
        }
        // Once the device is gone the rest would only be zeros.
        if (unreadable > 0 && DeviceGoneWhole(m_device)) break;
        const DataSpan span = SpanOf(*m_reader, current, total);
        record.result = 0;
        if (span.kind != SpanKind::Data) {
            // Nothing is written: the range stays a hole of the file.
            if (span.kind == SpanKind::Missing) noteUnreadable(current, span.end - current);
            current = span.end;
        } else {
            const long long chunk = std::min<long long>(span.end - current, kBufferSize);
            int error = 0;
            const unsigned got =
                m_reader->ReadData(current, m_buffer.data(), static_cast<unsigned>(chunk), &error);
            if (got == 0 && error == 0 && span.end == total && !dynamic_cast<IDataSpans*>(m_reader.get())) {
                // The reader has nothing more: the rest stays zeros.
                noteUnreadable(current, total - current);
                current = total;
            } else if (got == 0 && DeviceGoneWhole(m_device)) {
                // Nothing more will be read: the loop ends on the next pass.
                // A device that shrank is read around what lies past its new
                // end, as around bad sectors.
                noteUnreadable(current, chunk);
                current += chunk;
            } else {
                // Only the sectors that fail are zeros: the rest of the chunk
                // is read again around them and kept.
                if (got == 0) ReadAroundFailure(m_buffer.data(), current, chunk, failedReads, noteUnreadable);
                // Runs that end early leave zeros, never an earlier file's bytes.
                else if (got < chunk) {
                    std::memset(m_buffer.data() + got, 0, static_cast<size_t>(chunk - got));
                    noteUnreadable(current + got, chunk - got);
                }
                if (!WriteChunk(file, path, chunk, current, sink, record, stopped)) {
                    failed = !stopped;
                    break;
                }
                current += chunk;
            }
        }
        record.current = static_cast<std::uint64_t>(current);
        if (sink) sink->UpdateProgress(&record);
    }
    // A device that went away mid-file gave zeros for the rest of it: the
    // file is not kept, and the caller stops. One that shrank fails only
    // the files that reach past its new end, as bad sectors would.
    const bool gone = unreadable > 0 && DeviceGoneWhole(m_device);
    if (failed || stopped || gone) {
        // Nothing cut short is left under the real name.
        file.Discard();
        return gone ? WriterResult::DeviceGone : failed ? WriterResult::WriteFailed : 0;
    }
    if (!file.SetLength(total) || !file.Commit()) {
        // The file is written whole: a destination that then refuses its
        // name (or its length) refuses this file only, unless it is full or gone.
        const int error = errno;
        if (DestinationWideError(error)) return DestinationFailed(path, error, sink, record);
        CatchExeception::WriteLog("%s:%d write[%s] refused with %s\n", "RecoverTo", 351, path, std::strerror(error));
        return WriterResult::Refused;
    }
    if (m_createdSeconds) SetTimes(dirFd, path);
    if (unreadable > 0) {
        CatchExeception::WriteLog("%s:%d read[%s] %lld of %lld bytes unreadable, written as zeros\n", "RecoverTo",
                                  361, path, unreadable, total);
        return WriterResult::Unreadable;
    }
    return 0;
}

template <class Note>
void CDataRecovery::ReadAroundFailure(char* out, long long offset, long long length, int& failedReads, Note& note) {
    const long long sector = m_device && m_device->GetSectorSize() > 0 ? m_device->GetSectorSize() : 512;
    if (length <= sector || ++failedReads > kFailedReadsPerFile || DeviceGoneWhole(m_device)) {
        std::memset(out, 0, static_cast<size_t>(length));
        note(offset, length);
        return;
    }
    // Halves that start on a sector boundary, as the chunk does.
    const long long half = std::max(sector, length / 2 / sector * sector);
    for (const auto& [at, n] : {std::pair(0LL, half), std::pair(half, length - half)}) {
        int error = 0;
        const unsigned got = m_reader->ReadData(offset + at, out + at, static_cast<unsigned>(n), &error);
        if (got == 0) {
            ReadAroundFailure(out + at, offset + at, n, failedReads, note);
        } else if (got < n) {
            std::memset(out + at + got, 0, static_cast<size_t>(n - got));
            note(offset + at + got, n - got);
        }
    }
}

bool CDataRecovery::WaitForSpace(CDestinationFile& file, const char* path, long long need, IProgress* sink,
                                 _PROGRESS_INFO& record) {
    for (int failures = 0;;) {
        const long long free = file.FreeBytes();
        if (free < 0 || need <= free) return true;
        // Told as a failed write: the user may make room and go on.
        CatchExeception::WriteLog("%s:%d write[%s] needs %lld bytes, the destination has %lld free\n", "RecoverTo",
                                  352, path, need, free);
        record.result = WriterResult::WriteFailed;
        if (sink) sink->UpdateProgress(&record);
        if (++failures >= kWriteAttempts) return false;
        if (sink && !sink->Continued()) {
            record.result = 0;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m_retryDelayMs * failures));
    }
}

bool CDataRecovery::WriteChunk(CDestinationFile& file, const char* path, long long n, long long offset,
                               IProgress* sink, _PROGRESS_INFO& record, bool& stopped) {
    long long done = 0;
    int failures = 0;
    while (done < n) {
        done += file.WriteAt(m_buffer.data() + done, n - done, offset + done);
        if (done >= n) break;
        const int err = errno;
        CatchExeception::WriteLog("%s:%d write[%s] failed with %s\n", "RecoverTo", 350, path,
                                  std::strerror(err));
        record.result = WriterResult::WriteFailed;
        if (sink) sink->UpdateProgress(&record);
        if (++failures >= kWriteAttempts) {
            WriterLogSite("RecoverTo", 371);
            return false;
        }
        if (sink && !sink->Continued()) {
            stopped = true;
            return false;
        }
        // The rest of the chunk is written again at its own offset.
        std::this_thread::sleep_for(std::chrono::milliseconds(m_retryDelayMs * failures));
    }
    record.result = 0;
    return true;
}

void CDataRecovery::SetTimes(int dirFd, const char* path) {
    ChangeFileCreateTs(dirFd, path, static_cast<long>(*m_createdSeconds));
    // The innermost folder takes the times of the node's parent, the next
    // one those of the grandparent, until the path or the ancestors run out.
    std::string folder(path);
    IFileNode* ancestor = m_node ? m_node->GetParent() : nullptr;
    for (size_t cut = folder.rfind('/'); cut != std::string::npos && ancestor; cut = folder.rfind('/')) {
        folder.resize(cut);
        const auto seconds = NodeTimeSeconds(ancestor->GetCreationTime().Value());
        if (seconds && !folder.empty()) ChangeFileCreateTs(dirFd, folder.c_str(), static_cast<long>(*seconds));
        ancestor = ancestor->GetParent();
    }
}

unsigned CDataRecovery::ReadSmallJPG(char* out, unsigned capacity) {
    autolocker<mutex_locker> lock(m_mutex);
    if (!out || capacity == 0 || !m_reader) return 0;
    if (m_reader->GetDataSize() < kThumbnailScan || capacity < kThumbnailScan) return 0;
    if (!EnsureBuffer()) return 0;
    const GiveBackAtEnd giveBack{m_buffer};
    char* head = m_buffer.data();
    std::memset(head, 0, kThumbnailScan);
    if (m_ntfsCompressed) {
        auto* compressed = dynamic_cast<ICompressedRecovery*>(m_reader.get());
        if (!compressed || !compressed->Recovery(head, static_cast<int>(kThumbnailScan), nullptr)) return 0;
    } else if (m_reader->ReadData(0, head, kThumbnailScan, nullptr) == 0) {
        return 0;
    }
    size_t start = 0;
    const size_t length =
        FindEmbeddedJpeg(reinterpret_cast<const unsigned char*>(head), kThumbnailScan, &start);
    if (length == 0 || length > capacity) return 0;
    std::memcpy(out, head + start, length);
    return static_cast<unsigned>(length);
}
