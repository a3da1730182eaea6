#include "savedscan/SaveRestoreResult.h"

#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DeviceRecords.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/FileNode.h"
#include "engine/include/Owned.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/utility/CatchExeception.h"
#include "engine/volume/VolumeAnalyzeController.h"
#include "engine/writer/DataRecovery.h"
#include "savedscan/KeptSave.h"
#include "savedscan/RSData.h"
#include "savedscan/RestoreFileNode.h"
#include "savedscan/SavedVolumeCheck.h"
#include "savedscan/VolumeWrites.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <new>
#include <random>
#include <system_error>
#include <thread>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

namespace SaveRestoreResult {

namespace {

std::atomic<long long> g_loadPauseMs{1000};
std::atomic<bool> g_contentMarks{true};

// The header's description of a save from a scan that did not finish: how
// far the scan got, for the load to tell.
constexpr const char* kUnfinishedAt = "scan ended at %.1f%%";
constexpr const char* kUnfinishedAtRead = "scan ended at %lf%%";

// A failed payload write, or a save stopped before its end (the program
// quits): the save ends and its file goes.
struct WriteFailure {};

// Writes reach the file in pieces of this size, each followed by a progress
// report and a look at whether the save was stopped: on a slow stick a piece
// takes about a second.
constexpr std::size_t kPiece = 64 << 10;

// The progress of a save in bytes written: what reaches the files, not the
// time spent. total is what the save is expected to write (the new file, and
// where it goes in place also the old bytes kept aside and the copy over
// them); current stays below it until the end reports.
class CSaveBytes {
public:
    explicit CSaveBytes(IProgress* sink) : m_sink(sink) {}
    // True from the first time the sink asks to stop.
    bool Stopped() {
        if (!m_stopped && m_sink && !m_sink->Continued()) m_stopped = true;
        return m_stopped;
    }
    std::uint64_t Done() const { return m_done; }
    void Expect(std::uint64_t total) {
        m_total = std::max<std::uint64_t>(total, 1);
        Report();
    }
    void Wrote(std::uint64_t count) {
        m_done += count;
        Report();
    }

private:
    void Report() {
        if (!m_sink) return;
        _PROGRESS_INFO record = MakeProgress(PROGRESS_RUNNING, m_total, std::min(m_done, m_total - 1));
        m_sink->UpdateProgress(&record);
    }
    IProgress* m_sink;
    std::uint64_t m_total = 1, m_done = 0;
    bool m_stopped = false;
};

// size bytes of the open frame's payload, piece by piece.
void WritePieces(IRSData& rs, const char* data, std::size_t size, CSaveBytes& bytes) {
    for (std::size_t done = 0; done < size;) {
        if (bytes.Stopped()) throw WriteFailure{};
        const auto piece = static_cast<unsigned>(std::min(size - done, kPiece));
        if (!rs.WriteCurFrame(data + done, piece)) throw WriteFailure{};
        bytes.Wrote(piece);
        done += piece;
    }
}

// Payload bytes gathered in memory and written in large pieces.
class CPayload {
public:
    static constexpr std::size_t kFlushAt = 1 << 20;

    CPayload(IRSData& rs, CSaveBytes& bytes) : m_rs(rs), m_progress(bytes), m_out(m_bytes) {}
    CRecordWriter& Out() { return m_out; }
    void MaybeFlush() {
        if (m_bytes.size() >= kFlushAt) Flush();
    }
    void Flush() {
        WritePieces(m_rs, m_bytes.data(), m_bytes.size(), m_progress);
        m_bytes.clear();
    }

private:
    IRSData& m_rs;
    CSaveBytes& m_progress;
    std::string m_bytes;
    CRecordWriter m_out;
};

void WriteSmallFrame(IRSData& rs, const tagGUIDSIGN& guid, const std::string& data, CSaveBytes& bytes) {
    rs.OpenFrame(guid);
    WritePieces(rs, data.data(), data.size(), bytes);
    rs.CloseFrame();
}

bool HasResidentData(IFileNode* node) {
    auto* c = dynamic_cast<CFileNode*>(node);
    IDataRunList* runs = c ? c->GetDataRunList() : nullptr;
    const long long size = node->GetFileSize();
    return runs && runs->IsResident() && !node->IsDirectory() && size > 0 && size <= kMaxResidentBytes;
}

void WritePartitions(const SaveSource& source, IFileNode* root, const std::vector<CSearchedPartitionInfo*>& records,
                     std::size_t from, std::size_t count, CRecordWriter& out) {
    out.U32(static_cast<std::uint32_t>(count));
    for (std::size_t i = from; i < from + count; ++i) {
        const CSearchedPartitionInfo* p = records[i];
        out.U32(static_cast<std::uint32_t>(p->GetType()) <= kMaxPartitionKind ? p->GetType() : 4);
        VolumeMark mark;
        const bool identified = source.identity && source.identity(root, *p, mark);
        WritePartition(*p, out, identified ? &mark : nullptr);
        CatchExeception::WriteLog("%s:%d partition index:%d fileSystemType%d start:%lld end:%lld\n", "WriteRoots",
                                  __LINE__, p->m_partitionIndex, p->m_fileSystemType,
                                  static_cast<long long>(p->m_clusterOrigin),
                                  static_cast<unsigned long long>(p->m_totalSectors));
    }
}

// Blocks a root of this many partition records is written as: readers take
// at most kMaxPartitions per block.
std::size_t BlocksFor(std::size_t records) {
    return records <= kMaxPartitions ? 1 : (records + kMaxPartitions - 1) / kMaxPartitions;
}

using PartitionLists = std::vector<std::vector<CSearchedPartitionInfo*>>;

// The searched partitions of every root, in the roots' order.
PartitionLists ListPartitions(const SaveSource& source) {
    PartitionLists lists;
    for (IFileNode* root : source.roots) {
        std::vector<CSearchedPartitionInfo*> records;
        if (source.partitions) records = source.partitions(root);
        std::erase(records, nullptr);
        lists.push_back(std::move(records));
    }
    return lists;
}

// Calls visit with every node under root, breadth first: a folder's children
// follow every node of the level before, siblings in their order. False when
// the save was stopped on the way.
template <class Visit>
bool WalkBreadthFirst(IFileNode* root, CSaveBytes& bytes, Visit visit) {
    std::deque<IFileNode*> folders{root};
    while (!folders.empty()) {
        if (bytes.Stopped()) return false;
        IFileNode* folder = folders.front();
        folders.pop_front();
        for (IFileNode* child = folder->GetFirstChild(); child; child = child->GetNextNode()) {
            if (child->IsDirectory()) folders.push_back(child);
            visit(child);
        }
    }
    return true;
}

// About the bytes the container will hold (a node's resident bytes counted
// by its size, unread): what a save's progress is measured against and the
// room a place must have to build it in. False when the save was stopped.
bool ExpectedBytes(const SaveSource& source, const PartitionLists& lists, CSaveBytes& bytes, std::uint64_t& expected) {
    constexpr std::uint64_t kFrames = 6;
    std::uint64_t blocks = 0;
    for (const auto& records : lists) blocks += BlocksFor(records.size());
    const std::uint32_t controllers = source.quickRootsFrom >= 0 ? kControllerListBesideBytes : kControllerListBytes;
    expected = kRSFileHeaderSize + kFrames * kRSFrameHeaderSize + 4 + controllers + 24 +
               source.disk.name.size() + kFrames * 24 + 8 + 8 + 16 * source.volumes.size() + 8 * blocks;
    std::string scratch;
    CRecordWriter out(scratch);
    std::uint64_t ordinal = 0;
    for (std::size_t r = 0; r < source.roots.size(); ++r) {
        scratch.clear();
        WriteSystemNode(source.roots[r], out);
        expected += BlocksFor(lists[r].size()) * (12 + scratch.size()) + lists[r].size() * (4 + kPartitionRecordSize);
        const bool walked = WalkBreadthFirst(source.roots[r], bytes, [&](IFileNode* child) {
            scratch.clear();
            out.U32(kNodeMarker);
            WriteFileNode(child, out);
            // Room for a content mark whatever it will be.
            CNodeData::Write(ordinal++, child, nullptr, 1, out);
            expected += scratch.size();
            if (HasResidentData(child)) expected += 16 + static_cast<std::uint64_t>(child->GetFileSize());
        });
        if (!walked) return false;
    }
    return true;
}

// The files a save marks by their bytes: per root, the first in save order
// that have bytes of their own on the device, kMaxContentMarks in all.
struct MarkPlan {
    std::vector<std::pair<IFileNode*, std::vector<IFileNode*>>> roots;
    std::uint64_t files = 0;
};
using ContentMarks = std::unordered_map<const IFileNode*, std::uint32_t>;
// What reading one file's marks counts for in a save's progress: about the
// bytes sampled.
constexpr std::uint64_t kMarkWork = 3 * 512;

MarkPlan PlanContentMarks(const SaveSource& source, CSaveBytes& bytes) {
    MarkPlan plan;
    if (!source.content || !g_contentMarks) return plan;
    for (IFileNode* root : source.roots) {
        std::vector<IFileNode*> files;
        WalkBreadthFirst(root, bytes, [&](IFileNode* child) {
            if (plan.files < kMaxContentMarks && !child->IsDirectory() && !HasResidentData(child) &&
                child->GetFileSize() > 0) {
                files.push_back(child);
                ++plan.files;
            }
        });
        if (!files.empty()) plan.roots.emplace_back(root, std::move(files));
    }
    return plan;
}

// Reads the planned marks for at most kContentMarkSeconds (files left then
// get none), counting them in the save's progress as they are read.
ContentMarks TakeContentMarks(const SaveSource& source, const MarkPlan& plan, CSaveBytes& bytes) {
    ContentMarks marks;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(kContentMarkSeconds);
    const auto goOn = [&] { return !bytes.Stopped() && std::chrono::steady_clock::now() < until; };
    std::uint64_t counted = 0;
    for (const auto& [root, files] : plan.roots) {
        if (!goOn()) break;
        const std::uint64_t before = counted;
        const std::vector<std::uint32_t> now = source.content(root, files, goOn, [&](std::size_t done) {
            const std::uint64_t at = before + std::min<std::uint64_t>(done, files.size());
            if (at > counted) bytes.Wrote((at - counted) * kMarkWork);
            counted = std::max(counted, at);
        });
        for (std::size_t i = 0; i < files.size() && i < now.size(); ++i)
            if (now[i] != 0) marks.emplace(files[i], now[i]);
        if (before + files.size() > counted) bytes.Wrote((before + files.size() - counted) * kMarkWork);
        counted = before + files.size();
    }
    if (plan.files > counted) bytes.Wrote((plan.files - counted) * kMarkWork);
    if (source.marked) source.marked(plan.files - std::min<std::uint64_t>(plan.files, marks.size()), plan.files);
    return marks;
}

// Returns the NodeData payload of the nodes written.
std::string WriteRoots(IRSData& rs, const SaveSource& source, const PartitionLists& lists, const ContentMarks& marks,
                       CSaveBytes& bytes) {
    std::string nodeData;
    CRecordWriter extras(nodeData);
    std::uint64_t ordinal = 0;
    std::uint64_t blocks = 0;
    for (const auto& records : lists) blocks += BlocksFor(records.size());
    rs.OpenFrame(_frFileSystemNode);
    CPayload payload(rs, bytes);
    CRecordWriter& out = payload.Out();
    out.U64(blocks);
    // A stopped save is cut short; what it wrote would read as a smaller scan.
    for (std::size_t r = 0; r < source.roots.size(); ++r) {
        IFileNode* root = source.roots[r];
        const std::vector<CSearchedPartitionInfo*>& records = lists[r];
        if (bytes.Stopped()) throw WriteFailure{};
        // More volumes than a block holds: blocks of the same root record
        // ahead of the root's own, each with kMaxPartitions records and no
        // nodes. Every reader adds a block's records to those of its
        // searcher type, so the writers get them all, in their order.
        const std::size_t ahead = BlocksFor(records.size()) - 1;
        for (std::size_t b = 0; b < ahead; ++b) {
            out.U32(kRootMarker);
            WriteSystemNode(root, out);
            WritePartitions(source, root, records, b * kMaxPartitions, kMaxPartitions, out);
            out.U32(kEndMarker);
        }
        out.U32(kRootMarker);
        WriteSystemNode(root, out);
        WritePartitions(source, root, records, ahead * kMaxPartitions, records.size() - ahead * kMaxPartitions, out);
        // Written also without partitions, so the tree loads as it was shown.
        const bool walked = WalkBreadthFirst(root, bytes, [&](IFileNode* child) {
            out.U32(kNodeMarker);
            WriteFileNode(child, out);
            std::string resident;
            const bool held = HasResidentData(child) && source.resident && source.resident(root, child, resident);
            const auto mark = marks.find(child);
            const std::uint32_t content = mark != marks.end() ? mark->second : 0;
            CNodeData::Write(ordinal++, child, held ? &resident : nullptr, content, extras);
            payload.MaybeFlush();
        });
        if (!walked) throw WriteFailure{};
        out.U32(kEndMarker);
    }
    payload.Flush();
    rs.CloseFrame();
    return nodeData;
}

// Last: the checksum of every frame written before.
void WriteChecksums(CRSData& rs, CSaveBytes& progress) {
    std::string bytes;
    CRecordWriter w(bytes);
    for (const CRSData::FrameSum& frame : rs.ClosedFrames()) {
        w.Bytes(frame.guid.bytes, sizeof frame.guid.bytes);
        w.U32(frame.size);
        w.U32(frame.crc);
    }
    WriteSmallFrame(rs, _frChecksums, bytes, progress);
}

// Where a save goes: the file it replaces (a link's target, for a path that
// is a link) and, where one can be made, a temporary file beside it that the
// save is written to and that takes the file's place once whole and synced,
// so the replaced file stays as it was until then. temp is empty where the
// new bytes are copied over the file itself.
struct SaveTarget {
    std::string path;
    std::string temp;
    bool replaces = false;
    struct stat old {};
};

// Resolves path; false when it names no place a file can be saved to (a
// folder, a device, a dangling link, a name ending in '/', a file this
// process may not write).
bool ResolveTarget(const char* path, SaveTarget& target) {
    target.path = path;
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
        if (!real) return false;
        target.path = real.get();
    }
    if (::stat(target.path.c_str(), &target.old) == 0) {
        if (!S_ISREG(target.old.st_mode) || ::access(target.path.c_str(), W_OK) != 0) return false;
        target.replaces = true;
    }
    return target.path.back() != '/';
}

// The replaced file's owner, group and bits go to the temporary file before
// anything is written to it; false when this process may not give them.
bool KeepOwnerAndMode(const SaveTarget& target) {
    if (!target.replaces) return true;
    struct stat now {};
    if (::lstat(target.temp.c_str(), &now) != 0) return false;
    const bool owner = now.st_uid != target.old.st_uid || now.st_gid != target.old.st_gid;
    if (owner && ::lchown(target.temp.c_str(), target.old.st_uid, target.old.st_gid) != 0) return false;
    const mode_t bits = target.old.st_mode & 07777;
    return (!owner && (now.st_mode & 07777) == bits) || ::chmod(target.temp.c_str(), bits) == 0;
}

enum class Temporary { Made, InPlace, Failed };

// Creates the temporary file in rs: ".NAME.XXXXXX.part" beside the target,
// made with no wider bits than the file it replaces. InPlace where the new
// bytes are to be copied over the file itself: a folder this process may not
// add to, a file with other names (a new file would split them) or an owner
// the new file could not be given.
Temporary StartTemporary(CRSData& rs, SaveTarget& target) {
    if (target.replaces && target.old.st_nlink > 1) return Temporary::InPlace;
    const std::size_t slash = target.path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : target.path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? target.path : target.path.substr(slash + 1);
    // Room in every file system's 255-unit name limit for what is added.
    if (name.size() > 200) name = "save";
    rs.SetCreateBits(target.replaces ? target.old.st_mode & 0777 : 0666);
    static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device random;
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string suffix(6, 'x');
        for (char& c : suffix) c = kDigits[random() % (sizeof kDigits - 1)];
        target.temp = folder + "." + name + "." + suffix + ".part";
        if (rs.StartRS(target.temp.c_str(), 2)) {
            if (KeepOwnerAndMode(target)) return Temporary::Made;
            rs.EndRS();
            ::unlink(target.temp.c_str());
            target.temp.clear();
            return Temporary::InPlace;
        }
        if (errno != EEXIST) break;
    }
    const bool refused = errno == EACCES || errno == EPERM;
    target.temp.clear();
    return refused && target.replaces ? Temporary::InPlace : Temporary::Failed;
}

// Syncs the folder that holds path, so a new name there survives a crash.
void SyncFolder(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        if (::fsync(fd) != 0 && errno != EINVAL && errno != EROFS)
            CatchExeception::WriteLog("save into %s: the folder could not be synced\n", path.c_str());
        ::close(fd);
    }
}

struct Descriptor {
    int fd = -1;
    Descriptor() = default;
    explicit Descriptor(int fd) : fd(fd) {}
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    ~Descriptor() { Reset(-1); }
    void Reset(int next) {
        if (fd >= 0) ::close(fd);
        fd = next;
    }
};

// Unnamed files only this process reaches, for bytes on their way into or
// out of a save written in place: in the save's own folder when one is
// given, else in TMPDIR, else in /tmp, else in memory, each place taken only
// when its file system has room for what is to go there (and, on the file
// system of the save itself, also for what the save grows by). A file
// vanishes with its descriptor, also when the process is killed.
class CScratchPlaces {
public:
    explicit CScratchPlaces(const std::string& folder) {
        if (!folder.empty()) m_places.push_back(folder);
        if (const char* tmp = std::getenv("TMPDIR"); tmp && *tmp) m_places.emplace_back(tmp);
        m_places.emplace_back("/tmp");
    }
    // The next place with room for need bytes, more on the device dev:
    // -1 once every place (memory the last) was tried.
    int Next(std::uint64_t need, dev_t dev, std::uint64_t more) {
        while (m_next < m_places.size()) {
            Descriptor fd{::open(m_places[m_next++].c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600)};
            struct statvfs fs {};
            struct stat st {};
            if (fd.fd < 0 || ::fstatvfs(fd.fd, &fs) != 0 || ::fstat(fd.fd, &st) != 0) continue;
            const std::uint64_t room = std::uint64_t{fs.f_bavail} * fs.f_frsize;
            if (room >= need + (st.st_dev == dev ? more : 0)) return std::exchange(fd.fd, -1);
        }
        if (m_memory) return -1;
        m_memory = true;
        return ::memfd_create("salvor-save", MFD_CLOEXEC);
    }

private:
    std::vector<std::string> m_places;
    std::size_t m_next = 0;
    bool m_memory = false;
};

// count bytes of from, at offset, written to offset + shift of to; answers
// the bytes written, fewer than count on a failure or, when stoppable, once
// the save was stopped. Reported to bytes as they go, and added to the
// checksum crc when one is given.
off_t CopyRange(int from, int to, off_t offset, off_t count, CSaveBytes* bytes, bool stoppable, off_t shift = 0,
                std::uint32_t* crc = nullptr) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<off_t>(count, kPiece)));
    off_t copied = 0;
    while (copied < count) {
        if (stoppable && bytes && bytes->Stopped()) break;
        const ssize_t got = ::pread(from, buffer.data(),
                                    static_cast<std::size_t>(std::min<off_t>(count - copied, buffer.size())),
                                    offset + copied);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::pwrite(to, buffer.data() + done, static_cast<std::size_t>(got - done),
                                         offset + shift + copied + done);
            if (put < 0 && errno == EINTR) continue;
            if (put <= 0) return copied + done;
            done += put;
        }
        if (crc) *crc = KeptCrc(buffer.data(), static_cast<std::size_t>(got), *crc);
        copied += got;
        if (bytes) bytes->Wrote(static_cast<std::uint64_t>(got));
    }
    return copied;
}

bool SyncFile(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

// Room for length bytes of the file, kept without changing its size or bytes;
// false when the file system has not that room, or the save was stopped.
// Where it cannot reserve, the new bytes past the old end are written (tail
// set), which grows the file only past its old bytes.
bool ReserveRoom(int to, int from, off_t oldLength, off_t newLength, bool& tail, CSaveBytes& bytes) {
    tail = false;
    if (newLength <= oldLength) return true;
    int rc;
    do {
        rc = ::fallocate(to, FALLOC_FL_KEEP_SIZE, oldLength, newLength - oldLength);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) return true;
    if (errno == EOPNOTSUPP || errno == ENOSYS) {
        tail = true;
        if (CopyRange(from, to, oldLength, newLength - oldLength, &bytes, true) == newLength - oldLength) return true;
    }
    // What was taken goes; the old bytes stay as they were.
    static_cast<void>(::ftruncate(to, oldLength));
    return false;
}

// The whole new save (every byte of from) written over the target, which
// keeps its names, owner and bits. Nothing of the old save is overwritten
// before its bytes are kept aside in a named record on the device and the
// room for the new one is taken, and a copy that cannot end, or is stopped,
// puts back what it overwrote: the target holds the old save or the new
// one. A kill or a power cut meanwhile leaves the record, by which the next
// load puts the old save back where the new one is not whole. notKept is set
// when the old bytes found no place to be kept (nothing was overwritten).
bool CopyOver(int from, const SaveTarget& target, CSaveBytes& bytes, bool& notKept) {
    Descriptor to{::open(target.path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW)};
    struct stat now {};
    struct stat next {};
    if (to.fd < 0 || ::fstat(to.fd, &now) != 0 || ::fstat(from, &next) != 0 || !S_ISREG(now.st_mode))
        return false;
    // Another file put at the name since the save began is not overwritten.
    if (target.replaces && (now.st_dev != target.old.st_dev || now.st_ino != target.old.st_ino)) return false;
    const off_t oldLength = now.st_size, newLength = next.st_size;
    bytes.Expect(bytes.Done() + static_cast<std::uint64_t>(oldLength + newLength));
    const auto growth = static_cast<std::uint64_t>(std::max<off_t>(newLength - oldLength, 0));
    if (bytes.Stopped()) return false;
    CKeptRecord kept;
    if (!kept.Open(target.path, to.fd, growth)) {
        CatchExeception::WriteLog("save into %s: no place to keep the old save aside\n", target.path.c_str());
        notKept = true;
        return false;
    }
    std::uint32_t crc = 0;
    if (CopyRange(to.fd, kept.Fd(), 0, oldLength, &bytes, true, CKeptRecord::BytesAt(), &crc) != oldLength ||
        bytes.Stopped() || !kept.Seal(static_cast<std::uint64_t>(newLength), crc)) {
        notKept = !bytes.Stopped();
        return false;
    }
    bool tail = false;
    if (bytes.Stopped() || !ReserveRoom(to.fd, from, oldLength, newLength, tail, bytes)) {
        if (::fstat(to.fd, &now) == 0 && now.st_size == oldLength) kept.Remove();
        return false;
    }
    const off_t count = tail ? oldLength : newLength;
    const off_t copied = CopyRange(from, to.fd, 0, count, &bytes, true);
    const bool whole = copied == count && (newLength >= oldLength || ::ftruncate(to.fd, newLength) == 0) &&
                       SyncFile(to.fd);
    if (whole) {
        kept.Remove();
        return ::close(std::exchange(to.fd, -1)) == 0 || errno == EINTR;
    }
    // Stopped or failed: what was overwritten is written back, whatever the
    // sink says meanwhile, and what was added goes.
    const off_t overwritten = std::min(copied, oldLength);
    CatchExeception::WriteLog("save into %s %s: putting back the old save\n", target.path.c_str(),
                              bytes.Stopped() ? "stopped" : "failed");
    const off_t at = CKeptRecord::BytesAt();
    if (CopyRange(kept.Fd(), to.fd, at, overwritten, &bytes, false, -at) == overwritten &&
        ::ftruncate(to.fd, oldLength) == 0 && SyncFile(to.fd))
        kept.Remove();
    else
        CatchExeception::WriteLog("save into %s: the old save could not be put back\n", target.path.c_str());
    return false;
}

// The temporary file takes the target's name, or failing that (a name that
// may not be replaced: a mount on it) its bytes go over the target's.
bool PutInPlace(const SaveTarget& target, CSaveBytes& bytes, bool& notKept) {
    if (::rename(target.temp.c_str(), target.path.c_str()) == 0) {
        SyncFolder(target.path);
        return true;
    }
    // Its name goes first: a kill during the copy leaves no file beside.
    const Descriptor temp{::open(target.temp.c_str(), O_RDONLY | O_CLOEXEC)};
    ::unlink(target.temp.c_str());
    return temp.fd >= 0 && CopyOver(temp.fd, target, bytes, notKept);
}

// The whole container written into rs, which is open: false when a write
// failed or the save was stopped.
bool WriteContainer(CRSData& rs, const SaveSource& source, const PartitionLists& lists, const ContentMarks& marks,
                    CSaveBytes& progress) {
    bool ok = true;
    try {
        FILEHEADER header;
        header.status = source.unfinished ? FILE_STATUS_UNFINISHED : FILE_STATUS_SAVED;
        if (source.unfinished && source.reachedPercent >= 0) {
            const int n = std::snprintf(header.description, sizeof header.description, kUnfinishedAt,
                                        std::min(source.reachedPercent, 100.0));
            header.descriptionLength = n > 0 ? static_cast<std::uint32_t>(std::min<int>(n, kRSDescriptionMax - 1)) : 0;
        }
        // A load then refuses this file without its Checksums frame.
        header.version = kRSVersionChecksummed;
        if (!rs.WriteFileHeader(header)) throw WriteFailure{};

        std::string bytes;
        CRecordWriter w(bytes);
        const bool beside = source.quickRootsFrom >= 0;
        w.U32(beside ? kControllerListBesideBytes : kControllerListBytes);
        w.U32(source.controllerType);
        w.U32(source.deep);
        if (beside) w.U32(static_cast<std::uint32_t>(source.quickRootsFrom));
        WriteSmallFrame(rs, _frFileSystemSearchControllerList, bytes, progress);

        bytes.clear();
        const std::string name = ShortenUtf8(source.disk.name.c_str(), kMaxDeviceName);
        w.U64(static_cast<std::uint64_t>(source.disk.size));
        w.U32(static_cast<std::uint32_t>(source.disk.diskIndex));
        w.U32(static_cast<std::uint32_t>(source.disk.volumeIndex));
        w.U32(source.disk.fileSystem);
        w.U32(static_cast<std::uint32_t>(name.size()));
        w.Bytes(name.data(), name.size());
        WriteSmallFrame(rs, _frDiskDevice, bytes, progress);

        const std::string nodeData = WriteRoots(rs, source, lists, marks, progress);
        if (!nodeData.empty()) {
            if (nodeData.size() > UINT32_MAX) throw WriteFailure{};
            WriteSmallFrame(rs, _frNodeData, nodeData, progress);
        }
        bytes.clear();
        const std::size_t laid = std::min<std::size_t>(source.volumes.size(), kMaxLaidVolumes);
        w.U32(static_cast<std::uint32_t>(laid));
        for (std::size_t i = 0; i < laid; ++i) {
            w.U64(static_cast<std::uint64_t>(source.volumes[i].first));
            w.U64(source.volumes[i].second);
        }
        std::vector<long long> starts;
        for (std::size_t r = 0; r < source.roots.size(); ++r) {
            const long long start = source.rootStart ? source.rootStart(source.roots[r]) : -1;
            starts.insert(starts.end(), BlocksFor(lists[r].size()), start);
        }
        w.U32(static_cast<std::uint32_t>(starts.size()));
        for (const long long start : starts) w.U64(static_cast<std::uint64_t>(start));
        WriteSmallFrame(rs, _frVolumes, bytes, progress);
        WriteChecksums(rs, progress);
    } catch (const WriteFailure&) {
        ok = false;
    } catch (const CRSException& e) {
        CatchExeception::WriteLog("save: container error %u\n", static_cast<unsigned>(e.GetErrorcode()));
        ok = false;
    } catch (const std::bad_alloc&) {
        ok = false;
    }
    return rs.EndRS() && ok;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : path.substr(0, slash + 1);
}

} // namespace

void SetLoadPause(std::chrono::milliseconds pause) { g_loadPauseMs = pause.count(); }
void SetContentMarks(bool on) { g_contentMarks = on; }

std::uint32_t WriteScanResult(const char* path, const SaveSource& source, IProgress* sink, CProgressSteps&) {
    CSaveBytes bytes(sink);
    SaveTarget target;
    // A save cut short over this file before is dealt with first.
    if (path) PutBackInterruptedSave(path);
    if (!(path && *path && ResolveTarget(path, target))) {
        CatchExeception::WriteLog("%s %d: cannot create %s\r\n", "WriteScanResult", __LINE__, path ? path : "");
        return SAVED_CANNOT_OPEN;
    }
    const PartitionLists lists = ListPartitions(source);
    std::uint64_t expected = 0;
    if (!ExpectedBytes(source, lists, bytes, expected)) return SAVED_WRITE_FAILED;
    // The files' marks are read once, before any place is written.
    const MarkPlan plan = PlanContentMarks(source, bytes);
    const std::uint64_t marking = plan.files * kMarkWork;
    CRSData rs(RS_MODE_WRITE);
    const Temporary temporary = StartTemporary(rs, target);
    bool notKept = false;
    if (temporary == Temporary::Made) {
        bytes.Expect(expected + marking);
        const ContentMarks marks = TakeContentMarks(source, plan, bytes);
        if (WriteContainer(rs, source, lists, marks, bytes) && PutInPlace(target, bytes, notKept)) return SAVED_OK;
        // A file without all its records would read as a different scan; the
        // file it was to replace is left as it was.
        ::unlink(target.temp.c_str());
        CatchExeception::WriteLog("save into %s failed; the file there was kept\n", path);
        return notKept ? SAVED_OLD_NOT_KEPT : SAVED_WRITE_FAILED;
    }
    // In place: the new save is built whole elsewhere, then copied over the
    // old one. Built where there is room for it, and where a place turns out
    // to have too little after all, built again in the next.
    Descriptor scratch;
    bool built = false;
    if (temporary == Temporary::InPlace && ::access(target.path.c_str(), R_OK) == 0) {
        const auto oldLength = static_cast<std::uint64_t>(target.old.st_size);
        bytes.Expect(2 * expected + oldLength + marking);
        const ContentMarks marks = TakeContentMarks(source, plan, bytes);
        CScratchPlaces places(FolderOf(target.path));
        while (!built && !bytes.Stopped()) {
            scratch.Reset(places.Next(expected, target.old.st_dev, expected > oldLength ? expected - oldLength : 0));
            if (scratch.fd < 0) break;
            const std::uint64_t before = bytes.Done();
            CRSData place(RS_MODE_WRITE);
            built = place.StartRS(::dup(scratch.fd)) && WriteContainer(place, source, lists, marks, bytes);
            // What the failed place took is counted as written; the bar never goes back.
            if (!built) bytes.Expect(2 * expected + oldLength + marking + (bytes.Done() - before));
        }
        if (scratch.fd < 0 && !built && !bytes.Stopped()) {
            CatchExeception::WriteLog("%s %d: no room to build the save for %s\r\n", "WriteScanResult", __LINE__, path);
            return SAVED_WRITE_FAILED;
        }
    } else {
        CatchExeception::WriteLog("%s %d: cannot create %s\r\n", "WriteScanResult", __LINE__, path);
        return SAVED_CANNOT_OPEN;
    }
    if (built && CopyOver(scratch.fd, target, bytes, notKept)) return SAVED_OK;
    CatchExeception::WriteLog("save into %s failed; the file there was kept\n", path);
    return notKept ? SAVED_OLD_NOT_KEPT : SAVED_WRITE_FAILED;
}

// ---- loading ---------------------------------------------------------------------

namespace {

std::uint32_t ReadControllerList(IRSData& rs, SavedScanHead& head) {
    if (!rs.OpenFrame(_frFileSystemSearchControllerList)) return SAVED_BAD_CONTROLLERS;
    CFrameReader in(rs);
    const std::uint64_t size = in.Remaining();
    if ((size != 4 + kControllerListBytes && size != 4 + kControllerListBesideBytes) || in.U32() + 4ULL != size)
        return SAVED_BAD_CONTROLLERS;
    head.controllerType = in.U32();
    head.deep = in.U32();
    const bool beside = size == 4 + kControllerListBesideBytes;
    if (beside) head.quickRootsFrom = in.U32();
    rs.CloseFrame();
    // Quick roots follow a deep scan's only.
    if (beside && (head.deep == 0 || head.controllerType == RECOVERY_DELETED)) return SAVED_BAD_CONTROLLERS;
    // A deleted-files scan is the quick one, the others are deep: a frame
    // that says otherwise was damaged, and would replay no root anywhere.
    if ((head.controllerType == RECOVERY_DELETED && head.deep != 0) ||
        ((head.controllerType == RECOVERY_COMPLETE || head.controllerType == RECOVERY_PARTITION) && head.deep == 0))
        return SAVED_BAD_CONTROLLERS;
    return head.controllerType <= 3 ? SAVED_OK : SAVED_BAD_CONTROLLERS;
}

std::uint32_t ReadDiskDevice(IRSData& rs, SavedScanHead& head) {
    if (!rs.OpenFrame(_frDiskDevice)) return SAVED_BAD_DISK_DEVICE;
    CFrameReader in(rs);
    if (in.Remaining() < 24) return SAVED_BAD_DISK_DEVICE;
    head.disk.size = static_cast<std::int64_t>(in.U64());
    head.disk.diskIndex = static_cast<std::int32_t>(in.U32());
    head.disk.volumeIndex = static_cast<std::int32_t>(in.U32());
    head.disk.fileSystem = in.U32();
    const std::uint32_t length = in.U32();
    if (length > kMaxDeviceName || in.Remaining() != length) return SAVED_BAD_DISK_DEVICE;
    head.disk.name.assign(length, '\0');
    in.Read(head.disk.name.data(), length);
    head.disk.name.resize(std::strlen(head.disk.name.c_str()));
    rs.CloseFrame();
    return SAVED_OK;
}

} // namespace

std::uint32_t ReadScanHead(IRSData& rs, const char* path, SavedScanHead& head, IProgress* sink,
                           CProgressSteps& steps) {
    steps.Step(sink);
    if (!path || !*path || !rs.StartRS(path, 0)) return SAVED_CANNOT_OPEN;
    steps.Step(sink);
    try {
        FILEHEADER header;
        if (!rs.ReadFileHeader(header) || rs.GetStatus() == FILE_STATUS_NONE) return SAVED_BAD_HEADER;
        head.unfinished = header.status == FILE_STATUS_UNFINISHED;
        double percent = -1;
        const std::string said(header.description, std::min<std::size_t>(header.descriptionLength, kRSDescriptionMax));
        if (head.unfinished && std::sscanf(said.c_str(), kUnfinishedAtRead, &percent) == 1 && percent >= 0 && percent <= 100)
            head.reachedPercent = percent;
    } catch (const CRSException&) {
        return SAVED_BAD_HEADER; // a status of 5 or more
    }
    steps.Step(sink);
    bool intact = false;
    try {
        intact = SavedFramesIntact(rs, path);
    } catch (const CSavedScanDamage&) {
    } catch (const CRSException&) {
    } catch (const std::bad_alloc&) {
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    if (!intact) {
        CatchExeception::WriteLog("saved scan refused: its frames are damaged\n");
        return SAVED_DAMAGED;
    }
    for (auto [read, failure] : {std::pair{&ReadControllerList, SAVED_BAD_CONTROLLERS},
                                 std::pair{&ReadDiskDevice, SAVED_BAD_DISK_DEVICE}}) {
        std::uint32_t code = failure;
        try {
            code = read(rs, head);
        } catch (const CSavedScanDamage&) {
        } catch (const CRSException&) {
        }
        try {
            rs.CloseFrame();
        } catch (const CRSException&) {
        }
        if (code != SAVED_OK) return code;
        steps.Step(sink);
    }
    return SAVED_OK;
}

namespace {

// The searcher a quick scan runs on the volume (its file system's).
int QuickSearcherType(RestoreScanTarget& target, IStorageDevice* volume) {
    const CCollectedVolumeDeviceInfoStruct* info = target.VolumeInfo(volume);
    const FileSystemEntry* entry = info ? FileSystems().ForVolumeKind(info->fileSystemType) : nullptr;
    return entry ? entry->searcherType : SEARCHER_NONE;
}

} // namespace

VolumeCheck CRestoreScanSink::Verdict(const SavedRootSummary& root, IStorageDevice* volume) {
    const auto key = std::pair(root.position, volume);
    if (const auto it = m_verdicts.find(key); it != m_verdicts.end()) return it->second;
    // Same when any record is; Other when every record judged is another.
    // A volume of the same identity is the one scanned only where its
    // files say so too: serials repeat, and a volume without one (or an
    // empty one) has the identity of every other formatted alike.
    VolumeCheck verdict = VolumeCheck::Unchecked;
    for (std::size_t i = 0; i < root.records.size() && verdict != VolumeCheck::Same; ++i) {
        const VolumeMark& mark = root.marks[i];
        std::vector<IFileNode*> files = root.files[i];
        if (mark.kind != VolumeMark::Kind::Samples && files.size() > kMarkFiles) files.resize(kMarkFiles);
        VolumeCheck check = CheckSavedVolume(volume, *root.records[i], mark);
        if (mark.kind == VolumeMark::Kind::None && check == VolumeCheck::Same) {
            check = VolumeHoldsFiles(volume, *root.records[i], files, check);
        } else if ((mark.kind == VolumeMark::Kind::Files || mark.kind == VolumeMark::Kind::Samples) &&
                   mark.HasFiles() && check != VolumeCheck::Other) {
            std::vector<CSearchedPartitionInfo*> records;
            for (const auto& r : root.records) records.push_back(const_cast<CSearchedPartitionInfo*>(r.get()));
            const VolumeCheck byFiles = JudgeMarks(mark, MarksNow(volume, records, files, mark.kind), nullptr);
            if (byFiles != VolumeCheck::Unchecked) check = byFiles;
        }
        if (check != VolumeCheck::Unchecked) verdict = check;
    }
    return m_verdicts[key] = verdict;
}

bool CRestoreScanSink::HoldsScannedVolume(IStorageDevice* volume) {
    if (const auto it = m_holdsScanned.find(volume); it != m_holdsScanned.end()) return it->second;
    // Each saved record judged as if its volume began where the volume does
    // now, by what tells it apart (its identity, its sampled files), never
    // by kind and size. The files of at most kMaxJudged records are read:
    // what a save names cannot make a load read without end.
    constexpr std::size_t kMaxJudged = 64;
    // Read where the volume lies on its disk: an entry cut short (a
    // partition made in the part it freed) still begins the volume scanned,
    // whose size and files past the entry's end only the disk holds.
    IStorageDevice* device = volume;
    long long at = 0;
    const CCollectedVolumeDeviceInfoStruct* info = m_target.VolumeInfo(volume);
    if (IStorageDevice* disk = m_target.DiskOf(volume); disk && info && info->startSector > 0)
        device = disk, at = info->startSector;
    std::uint64_t identity = 0;
    const bool identified = VolumeIdentity(device, static_cast<unsigned long long>(at), identity);
    std::size_t judged = 0;
    bool holds = false;
    for (const SavedRootSummary& root : AllSavedRoots()) {
        for (std::size_t i = 0; i < root.records.size() && !holds && judged < kMaxJudged; ++i) {
            const VolumeMark& mark = root.marks[i];
            if (root.records[i]->m_startSector < 0) continue;
            if (mark.kind == VolumeMark::Kind::Identity) {
                holds = identified && identity == mark.identity;
                continue;
            }
            if (!(mark.kind == VolumeMark::Kind::Files || mark.kind == VolumeMark::Kind::Samples) || !mark.HasFiles())
                continue;
            const bool samples = mark.kind == VolumeMark::Kind::Samples;
            if (mark.identity != 0 &&
                (!identified ||
                 (samples ? FoldIdentity16(identity) : FoldIdentity(identity)) != mark.identity))
                continue;
            CSearchedPartitionInfo moved(*root.records[i]);
            const long long by = at - moved.m_startSector;
            if (by < 0 ? moved.m_clusterOrigin < LLONG_MIN - by : moved.m_clusterOrigin > LLONG_MAX - by) continue;
            ++judged;
            moved.m_clusterOrigin += by;
            moved.m_startSector = at;
            std::vector<IFileNode*> files = root.files[i];
            if (!samples && files.size() > kMarkFiles) files.resize(kMarkFiles);
            holds = JudgeMarks(mark, MarksNow(device, {&moved}, files, mark.kind), nullptr) == VolumeCheck::Same;
        }
        if (holds || judged >= kMaxJudged) break;
    }
    return m_holdsScanned[volume] = holds;
}

const std::vector<SavedRootSummary>& CRestoreScanSink::AllSavedRoots() {
    if (!m_allRoots) {
        try {
            m_allRoots = ListSavedRoots(m_rs);
        } catch (const CSavedScanDamage&) {
            m_allRoots.emplace();
        } catch (const CRSException&) {
            m_allRoots.emplace();
        } catch (const std::bad_alloc&) {
            m_allRoots.emplace();
        }
        try {
            m_rs.CloseFrame();
        } catch (const CRSException&) {
        }
    }
    return *m_allRoots;
}

const std::vector<SavedRootSummary>& CRestoreScanSink::SavedRoots() {
    if (!m_roots) {
        m_roots.emplace();
        for (const SavedRootSummary& root : AllSavedRoots())
            if (root.position >= m_from && root.position < m_to) m_roots->push_back(root);
    }
    return *m_roots;
}

const LaidVolumes& CRestoreScanSink::Layout() {
    if (!m_laid) {
        try {
            m_laid = ReadLaidVolumes(m_rs);
        } catch (const CSavedScanDamage& damage) {
            CatchExeception::WriteLog("saved scan refused: %s\n", damage.what);
            m_laid.emplace();
            m_result = SAVED_DAMAGED;
        } catch (const CRSException&) {
            m_laid.emplace();
            m_result = SAVED_DAMAGED;
        } catch (const std::bad_alloc&) {
            m_laid.emplace();
            m_result = SAVED_DAMAGED;
        }
        try {
            m_rs.CloseFrame();
        } catch (const CRSException&) {
        }
    }
    return *m_laid;
}

void CRestoreScanSink::Settle() {
    if (m_settled) return;
    m_settled = true;
    std::vector<RestoreScanTarget::ReplayedFiles> replayed = m_target.Replayed();
    const auto placed = [](IFileNode* node) {
        auto* loaded = dynamic_cast<RestoreFileNode*>(node);
        return loaded && !loaded->IsDirectory() && loaded->GetDataRunList() ? loaded : nullptr;
    };
    std::uint64_t failed = 0;
    // Files that expand themselves are read through the volume the load
    // opened, once they are in their trees: each only where its bytes are
    // the ones scanned.
    for (RestoreScanTarget::ReplayedFiles& files : replayed) {
        std::vector<IFileNode*> compressed;
        for (IFileNode* node : files.files)
            if (RestoreFileNode* loaded = placed(node); loaded && loaded->IsCompressed() && loaded->m_content != 0)
                compressed.push_back(loaded);
        if (compressed.empty()) continue;
        const std::vector<std::uint32_t> now = ContentMarksNow(files.device, files.records, compressed);
        for (std::size_t i = 0; i < compressed.size() && i < now.size(); ++i) {
            auto* loaded = static_cast<RestoreFileNode*>(compressed[i]);
            if (now[i] == loaded->m_content) continue;
            loaded->Unplace();
            ++failed;
        }
    }
    std::vector<std::pair<long long, long long>> ranges = m_otherSectors;
    // Volumes the device lists that the scanned disk did not. A disk whose
    // table was wiped is listed as one volume of its whole: it wrote nothing
    // when its start is blank (every file system writes there). One that holds
    // a volume scanned is that volume under a changed table entry (grown,
    // moved to another slot, gone); any other was made since, and has
    // written where its structures and its clusters in use lie: what lies
    // there is not what was scanned. In its free space a file is judged by
    // its own mark; one without a mark fails. A volume whose structures are
    // not read has written anywhere: there only a file whose mark took
    // every byte of it is told by its mark.
    std::vector<std::pair<long long, long long>> listed, madeSince;
    const LaidVolumes& laid = Layout();
    if (laid.present && !laid.volumes.empty() && m_replayed)
        for (IStorageDevice* volume : m_target.ListedVolumes(m_replayed)) {
            const CCollectedVolumeDeviceInfoStruct* info = m_target.VolumeInfo(volume);
            if (!info) continue;
            const long long start = info->startSector;
            const long long sectors = info->totalSectors;
            if (start < 0 || sectors <= 0 || sectors > LLONG_MAX - start ||
                std::find(laid.volumes.begin(), laid.volumes.end(),
                          std::pair(start, static_cast<unsigned long long>(sectors))) != laid.volumes.end() ||
                (start == 0 && BlankStart(volume)) || HoldsScannedVolume(volume))
                continue;
            // The entry alone grew (or moved slot): the volume it begins with
            // is, by its own boot sector, no larger than an entry that began
            // there when the scan was saved. Such a volume was on the disk
            // then; one made since over the grown entry claims its new size.
            if (IStorageDevice* disk = m_target.DiskOf(volume); disk && start > 0) {
                const auto own = RecognisedVolumeSectors(disk, static_cast<std::uint64_t>(start));
                if (own && *own > 0 &&
                    std::any_of(laid.volumes.begin(), laid.volumes.end(), [&](const auto& was) {
                        return was.first == start && *own <= was.second;
                    }))
                    continue;
            }
            listed.emplace_back(start, start + sectors);
            for (const auto& [first, end] : VolumeWrittenSectors(volume))
                if (first < sectors) madeSince.emplace_back(start + first, start + std::min(end, sectors));
        }
    for (RestoreScanTarget::ReplayedFiles& files : replayed) {
        if (ranges.empty() && listed.empty() && madeSince.empty()) break;
        const CCollectedVolumeDeviceInfoStruct* info =
            m_target.IsDisk(files.device) ? nullptr : m_target.VolumeInfo(files.device);
        const long long offset = info && info->startSector > 0 ? info->startSector : 0;
        const auto onDevice = [offset](const std::vector<std::pair<long long, long long>>& onDisk) {
            std::vector<std::pair<long long, long long>> here;
            for (const auto& [first, end] : onDisk)
                if (end > offset) here.emplace_back(first - offset, end - offset);
            return here;
        };
        const auto fail = [&](const std::vector<IFileNode*>& nodes, const std::vector<std::pair<long long, long long>>& here) {
            if (here.empty() || nodes.empty()) return;
            const std::vector<bool> within = FilesWithin(files.device, files.records, nodes, here);
            for (std::size_t i = 0; i < nodes.size() && i < within.size(); ++i) {
                if (!within[i]) continue;
                static_cast<RestoreFileNode*>(nodes[i])->Unplace();
                ++failed;
            }
        };
        std::erase_if(files.files, [&placed](IFileNode* node) { return !placed(node); });
        fail(files.files, onDevice(ranges));
        std::vector<IFileNode*> unsampled;
        for (IFileNode* node : files.files)
            if (RestoreFileNode* loaded = placed(node); loaded && !(loaded->m_content != 0 && WhollySampled(*loaded)))
                unsampled.push_back(loaded);
        fail(unsampled, onDevice(madeSince));
        std::vector<IFileNode*> unmarked;
        for (IFileNode* node : files.files)
            if (RestoreFileNode* loaded = placed(node); loaded && loaded->m_content == 0) unmarked.push_back(loaded);
        fail(unmarked, onDevice(listed));
    }
    m_volumes.unvouched += failed;
    if (failed)
        CatchExeception::WriteLog("saved scan: %llu files are not as scanned or lie on other volumes\n",
                                  static_cast<unsigned long long>(failed));
}

std::optional<std::uint64_t> CRestoreScanSink::PairedRoot(IStorageDevice* volume, int searcherType,
                                                          const std::string& name) {
    // Any name: a volume without a label is named after its device node,
    // which changes from one plugging to the next. The name only chooses
    // among roots that are equally this volume's.
    std::vector<const SavedRootSummary*> candidates;
    for (const SavedRootSummary& root : SavedRoots())
        if (root.type == searcherType && !m_taken.count(root.position)) candidates.push_back(&root);
    std::stable_partition(candidates.begin(), candidates.end(),
                          [&name](const SavedRootSummary* root) { return root->volumeName == name; });
    // Before the name, where the volume starts: of two volumes that are
    // equally the one saved (a copy of a partition beside it), the one that
    // started where this one does, whatever slot the table now lists it in.
    const CCollectedVolumeDeviceInfoStruct* info = m_target.VolumeInfo(volume);
    const LaidVolumes& laid = Layout();
    std::stable_partition(candidates.begin(), candidates.end(), [&](const SavedRootSummary* root) {
        return info && root->position < laid.blocks.size() && laid.blocks[root->position] == info->startSector;
    });
    const auto take = [this](const SavedRootSummary* root) -> std::optional<std::uint64_t> {
        m_taken.insert(root->position);
        return root->position;
    };
    // The root of this very volume; else one of its name that nothing tells
    // apart (an older save), in order.
    for (const SavedRootSummary* root : candidates)
        if (Verdict(*root, volume) == VolumeCheck::Same) return take(root);
    std::erase_if(candidates, [&name](const SavedRootSummary* root) { return root->volumeName != name; });
    for (const SavedRootSummary* root : candidates)
        if (Verdict(*root, volume) == VolumeCheck::Unchecked) return take(root);
    // Every root left names another volume: one that is another volume of
    // this disk is left to it (a volume without files has no root), else
    // the first is listed here and its files fail (the volume was formatted
    // again, or the device is another).
    const std::vector<IStorageDevice*> siblings = m_target.DiskVolumes(volume);
    for (const SavedRootSummary* root : candidates) {
        const bool elsewhere = std::any_of(siblings.begin(), siblings.end(), [&](IStorageDevice* other) {
            return other != volume && Verdict(*root, other) == VolumeCheck::Same;
        });
        if (!elsewhere) return take(root);
    }
    return std::nullopt;
}

namespace {
// The volumes a record is looked for on: what a save names cannot make a
// load read without end.
constexpr std::size_t kMaxMoves = 64;
} // namespace

int CRestoreScanSink::SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder, IProgress* sink,
                                              IStorageDevice* device) {
    if (!builder || !device) return 0;
    ReplayTarget target;
    target.device = device;
    target.from = m_from;
    target.to = m_to;
    // A deep scan of a volume is one replay on it: every root is of that
    // volume, whatever it is named now (the records tell whether it is).
    // A disk whose table was wiped is listed as one volume of its whole,
    // blank at its start: a quick scan's volumes are looked for on it.
    const bool disk = m_target.IsDisk(device) || (m_target.VolumeInfo(device) &&
                                                  m_target.VolumeInfo(device)->startSector == 0 && BlankStart(device));
    target.wholeDisk = disk || !m_quick;
    // The name the tree builder gives the roots of this device.
    target.volumeName = GetDeviceDescription(device);
    if (target.volumeName.empty()) target.volumeName = "Disk";
    if (m_quick && !target.wholeDisk) {
        target.pairedOnly = true;
        target.paired = PairedRoot(device, QuickSearcherType(m_target, device), target.volumeName);
    }
    // A replay of the whole disk reads a saved volume where it lay on the
    // scanned disk, or where the disk now lists one: a table wiped or
    // changed, a volume copied elsewhere with its entry.
    if (disk) {
        std::vector<long long> listed;
        for (const auto& [start, sectors] : m_target.VolumeExtents(device))
            if (start > 0 && listed.size() < kMaxMoves) listed.push_back(start);
        target.moves = [this, listed](std::uint64_t position, const CSearchedPartitionInfo& record) {
            const LaidVolumes& laid = Layout();
            std::vector<long long> by;
            if (position < laid.blocks.size() && laid.blocks[position] > 0) by.push_back(laid.blocks[position]);
            for (const long long start : listed) by.push_back(start - record.m_startSector);
            return by;
        };
    }
    ReplayVolumeCheck volumes;
    volumes.check = [device](const CSearchedPartitionInfo& record, const VolumeMark& mark) {
        return CheckSavedVolume(device, record, mark);
    };
    volumes.fileMarks = [device](const std::vector<CSearchedPartitionInfo*>& records,
                                 const std::vector<IFileNode*>& nodes,
                                 VolumeMark::Kind kind) { return MarksNow(device, records, nodes, kind); };
    volumes.filesHeld = [device](const CSearchedPartitionInfo& record, const std::vector<IFileNode*>& files,
                                 VolumeCheck alone) { return VolumeHoldsFiles(device, record, files, alone); };
    // The bar moves while they are read.
    volumes.contentMarks = [this, device, sink](const std::vector<CSearchedPartitionInfo*>& records,
                                                const std::vector<IFileNode*>& nodes) {
        return ContentMarksNow(device, records, nodes, [this, sink] { m_steps.Step(sink); });
    };
    // Where the device lies on its disk, and where each root's saved volume
    // lay on the scanned one: the sectors of a volume found to be another
    // are counted on the disk.
    const CCollectedVolumeDeviceInfoStruct* info = m_target.IsDisk(device) ? nullptr : m_target.VolumeInfo(device);
    const long long offset = info && info->startSector > 0 ? info->startSector : 0;
    const LaidVolumes& laid = Layout();
    m_replayed = device;
    volumes.replayed = [this, offset, &laid](const std::vector<OtherSectors>& others) {
        for (const OtherSectors& o : others) {
            const long long base =
                o.position < laid.blocks.size() && laid.blocks[o.position] >= 0 ? laid.blocks[o.position] : offset;
            if (o.first > LLONG_MAX - base) continue;
            m_otherSectors.emplace_back(base + o.first, o.end > LLONG_MAX - base ? LLONG_MAX : base + o.end);
        }
    };
    volumes.tally = &m_volumes;
    const std::uint32_t code = ReplayFileSystemNode(m_rs, *builder, sink, target, m_partitions,
                                                    &CSavedVolumeCache::instance(), &m_steps, &volumes);
    if (code != SAVED_OK) m_result = code;
    return code == SAVED_OK ? 1 : 0;
}

std::uint32_t CRestoreScanSink::Result() {
    if (m_result != SAVED_OK) return m_result;
    Settle();
    // No volume of the device was replayed (a disk of none): it holds none
    // of the roots saved.
    if (m_volumes.OtherDevice() || (m_volumes.roots == 0 && !SavedRoots().empty())) {
        CatchExeception::WriteLog("saved scan refused: the device found holds none of the volumes scanned\n");
        return SAVED_NO_DEVICE;
    }
    if (m_volumes.unvouched)
        CatchExeception::WriteLog("saved scan: %llu files lie on volumes that are not the ones scanned\n",
                                  static_cast<unsigned long long>(m_volumes.unvouched));
    return SAVED_OK;
}

namespace {

struct SavePara {
    std::string path;
    IProgress* sink;
    std::function<SaveSource()> source;
};

struct LoadPara {
    std::string path;
    IProgress* sink;
    std::unique_ptr<RestoreScanTarget> target;
};

void Static_SaveScanResult(std::unique_ptr<SavePara> para) {
    IProgress* sink = para->sink;
    CProgressSteps steps;
    steps.Start(sink);
    CatchExeception::WriteLog("%s %d\r\n", "Static_SaveScanResult", __LINE__);
    std::uint32_t code = SAVED_OK;
    {
        // No new scan frees the nodes while they are written.
        const SaveSource source = para->source();
        code = WriteScanResult(para->path.c_str(), source, sink, steps);
    }
    CatchExeception::WriteLog("%s %d end: %u\r\n", "Static_SaveScanResult", __LINE__, code);
    if (code != SAVED_OK)
        CProgressSteps::TipError(sink, code);
    else
        steps.Finish(sink);
}

// A deep scan's roots listed beside a quick scan's are as a save lists
// them: the quick ones follow the deep ones and, of a disk, the deep ones
// count from the disk, the quick ones from their volumes. A frame that puts
// the first quick root elsewhere is damaged, whichever device is attached.
bool BesideRootsIntact(IRSData& rs, const SavedScanHead& head) {
    bool intact = false;
    try {
        const std::vector<SavedRootSummary> roots = ListSavedRoots(rs);
        rs.CloseFrame();
        const auto from = static_cast<std::uint64_t>(head.quickRootsFrom);
        intact = from < roots.size();
        const LaidVolumes laid = ReadLaidVolumes(rs);
        if (intact && head.disk.volumeIndex < 0 && laid.present && laid.blocks.size() == roots.size())
            for (std::size_t i = 0; i < roots.size() && intact; ++i) intact = (laid.blocks[i] < 0) == (i < from);
    } catch (const CSavedScanDamage&) {
        intact = false;
    } catch (const CRSException&) {
        intact = false;
    } catch (const std::bad_alloc&) {
        intact = false;
    }
    try {
        rs.CloseFrame();
    } catch (const CRSException&) {
    }
    if (!intact) CatchExeception::WriteLog("saved scan refused: its quick scan's roots are not where the file says\n");
    return intact;
}

// A deep scan listed beside a quick scan of the same device: the quick
// scan's roots replayed as it scanned (volume by volume, each through its
// own writer), then the deep scan's beside them; one answer for both.
std::tuple<std::uint32_t, CVolumeTally, bool> ReplayBesideQuick(IRSData& rs, CProgressSteps& steps,
                                                                 RestoreScanTarget& scan, IStorageDevice* device,
                                                                 const SavedScanHead& head) {
    const auto from = static_cast<std::uint64_t>(head.quickRootsFrom);
    CRestoreScanSink quick(rs, steps, true, scan);
    quick.OnlyRoots(from, UINT64_MAX);
    scan.Replay(device, false, &quick);
    std::uint32_t result = quick.Result();
    // A save says so only where the quick scan listed some root.
    if (quick.RootCount() == 0) result = SAVED_DAMAGED;
    CVolumeTally tally = quick.Tally();
    if (result != SAVED_OK) return std::tuple(result, tally, false);
    CRestoreScanSink deep(rs, steps, false, scan);
    deep.OnlyRoots(0, from);
    scan.ReplayBesideQuick(device, &deep);
    result = deep.Result();
    const CVolumeTally& more = deep.Tally();
    tally.same += more.same;
    tally.other += more.other;
    tally.unvouched += more.unvouched;
    tally.roots += more.roots;
    tally.added += more.added;
    tally.placed.insert(more.placed.begin(), more.placed.end());
    return std::tuple(result, tally, quick.AllPlaced() && deep.AllPlaced());
}

void Static_RestoreScanResult(std::unique_ptr<LoadPara> para) {
    IProgress* sink = para->sink;
    RestoreScanTarget& scan = *para->target;
    std::this_thread::sleep_for(std::chrono::milliseconds(g_loadPauseMs.load()));
    KeptLeft left;
    PutBackInterruptedSave(para->path.c_str(), &left);
    CRSData rs(RS_MODE_READ);
    scan.Clear();
    CSavedVolumeCache::instance().Clear();
    CProgressSteps steps;
    steps.Start(sink);
    CatchExeception::WriteLog("%s %d\r\n", "Static_RestoreScanResult", __LINE__);

    SavedScanHead head;
    std::uint32_t code = ReadScanHead(rs, para->path.c_str(), head, sink, steps);
    // A save cut short whose old bytes stay kept aside: the refusal says so,
    // why they were not put back and where they are (a file that cannot be
    // opened is not known to be one).
    if (code != SAVED_OK && code != SAVED_CANNOT_OPEN && left.why != KeptLeftWhy::None) {
        CatchExeception::WriteLog("saved scan refused (%u); the earlier save kept aside in %s was not put back\n",
                                  code, left.record.c_str());
        code = SAVED_OLD_NOT_BACK;
    } else {
        left = {};
    }
    if (code == SAVED_OK && head.quickRootsFrom >= 0 && !BesideRootsIntact(rs, head)) code = SAVED_DAMAGED;
    scan.OldSaveLeft(left);
    if (code == SAVED_OK) scan.SavedDevice(head.disk);
    std::vector<IStorageDevice*> devices;
    // Every device that matches the description is tried, from a clean
    // start, and the one whose volumes hold most of what was scanned is
    // taken: an alike device may load too, with files that fail or hold
    // its own bytes. One that holds all of it ends the search.
    std::optional<std::size_t> best, last;
    CVolumeTally bestTally;
    const auto replay = [&](std::size_t i) {
        if (last) {
            scan.Clear();
            CSavedVolumeCache::instance().Clear();
        }
        last = i;
        if (head.quickRootsFrom >= 0) return ReplayBesideQuick(rs, steps, scan, devices[i], head);
        const bool quick = head.controllerType == RECOVERY_DELETED;
        auto restore = std::make_unique<CRestoreScanSink>(rs, steps, quick, scan);
        scan.Replay(devices[i], head.deep != 0, restore.get());
        std::uint32_t result = restore->Result();
        // A quick scan's disk that lists none of its volumes as scanned (a
        // table wiped, an entry cut short with a partition made in the part
        // it freed: the volume read through its entry lacks the files past
        // its end): its volumes are looked for on the whole disk, where
        // they lay, each by its own boot sector and files.
        if (quick && !head.deep && result == SAVED_NO_DEVICE && scan.IsDisk(devices[i])) {
            scan.Clear();
            CSavedVolumeCache::instance().Clear();
            restore = std::make_unique<CRestoreScanSink>(rs, steps, quick, scan);
            scan.Replay(devices[i], true, restore.get());
            result = restore->Result();
        }
        return std::tuple(result, restore->Tally(), restore->AllPlaced());
    };
    // doubt: some device tried did not hold the whole scan.
    bool doubt = false;
    const auto take = [&]() -> std::uint32_t {
        devices = scan.FindDevices(head.disk);
        best.reset();
        doubt = devices.empty();
        for (std::size_t i = 0; i < devices.size(); ++i) {
            const auto [result, tally, allPlaced] = replay(i);
            const bool whole = result == SAVED_OK && tally.Whole() && allPlaced;
            doubt = doubt || !whole;
            if (result == SAVED_NO_DEVICE) continue;
            if (result != SAVED_OK) return result;
            if (!best || tally.Better(bestTally)) best = i, bestTally = tally;
            if (whole) break;
        }
        if (!best) return SAVED_NO_DEVICE;
        return best != last ? std::get<0>(replay(*best)) : SAVED_OK;
    };
    if (code == SAVED_OK) code = take();
    // A device listed while it did not answer (a card in a long silence) is
    // listed by what could be read of it then: volumes of no kind, named
    // after their nodes, or none. Where a device tried did not hold the
    // whole scan, the devices are listed again once; listed otherwise now,
    // they are looked for again, the one scanned among them as itself.
    if ((code == SAVED_OK || code == SAVED_NO_DEVICE) && doubt && scan.ListAgain()) {
        CatchExeception::WriteLog("saved scan: the devices are listed otherwise now; looked for again\n");
        scan.Clear();
        CSavedVolumeCache::instance().Clear();
        last.reset();
        code = take();
    }
    rs.EndRS();
    CatchExeception::WriteLog("%s %d end: %u\r\n", "Static_RestoreScanResult", __LINE__, code);
    if (code == SAVED_OK && head.unfinished) scan.Unfinished(head.reachedPercent);
    // Half a result is no result: the windows get none of it.
    scan.Loaded(code == SAVED_OK);
    scan.HoldEnd(false);
    if (code != SAVED_OK)
        CProgressSteps::TipError(sink, code);
    else
        steps.Finish(sink);
}

// failed: what is undone when no thread could be started.
template <class Para>
int StartThread(std::unique_ptr<Para> owned, void (*body)(std::unique_ptr<Para>), void (*failed)(Para&) = nullptr) {
    Para* para = owned.release();
    try {
        std::thread([body, para] { body(std::unique_ptr<Para>(para)); }).detach();
    } catch (const std::system_error&) {
        if (failed) failed(*para);
        delete para;
        return -2;
    }
    return 0;
}

} // namespace

} // namespace SaveRestoreResult

int DoSaveScanResult(const char* path, IProgress* sink, std::function<SaveRestoreResult::SaveSource()> source) {
    using namespace SaveRestoreResult;
    if (!path || !sink || !source) return -1;
    return StartThread(std::make_unique<SavePara>(SavePara{path, sink, std::move(source)}), &Static_SaveScanResult);
}

int DoRestoreScanResult(const char* path, IProgress* sink, std::unique_ptr<SaveRestoreResult::RestoreScanTarget> target) {
    using namespace SaveRestoreResult;
    if (!path || !sink || !target) return -1;
    RestoreScanTarget& scan = *target;
    // From before the thread runs: the replayed scan's end is not the load's.
    scan.HoldEnd(true);
    auto para = std::make_unique<LoadPara>();
    para->path = path;
    para->sink = sink;
    para->target = std::move(target);
    return StartThread(std::move(para), &Static_RestoreScanResult, +[](LoadPara& p) { p.target->HoldEnd(false); });
}
