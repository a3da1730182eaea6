#include "savedscan/KeptSave.h"

#include "engine/utility/CatchExeception.h"
#include "savedscan/CRC.h"
#include "savedscan/IRSData.h"
#include "savedscan/RSData.h"
#include "savedscan/SaveRestoreResult.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>
#include <vector>

namespace SaveRestoreResult {

namespace {

constexpr char kMagic[8] = {'S', 'L', 'V', 'K', 'E', 'P', 'T', '1'};
constexpr char kBesidePrefix[] = ".salvor-kept.";
constexpr char kStatePrefix[] = "salvor-kept.";
// The header's room: its fields, a path of up to kMaxPath bytes and its
// checksum; the kept bytes follow it.
constexpr std::size_t kFields = 64;
constexpr std::size_t kMaxPath = 4096;
constexpr off_t kHeaderSpace = 8192;
constexpr std::size_t kCopyPiece = 1 << 20;

// volume: the save's file system as it names itself (where its number is
// taken from its UUID it stays when the device comes back under another
// number), 0 where unknown. It follows the header's checksum with one of
// its own, where a record of an older program has zeros.
struct Header {
    std::uint64_t dev = 0, ino = 0, birthSec = 0, birthNsec = 0, oldLength = 0, newLength = 0, volume = 0;
    std::uint32_t keptCrc = 0;
    std::string path;
};

void Put(std::string& out, std::size_t at, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out[at + i] = static_cast<char>(value >> (8 * i));
}

std::uint64_t Get(const std::string& in, std::size_t at, int width) {
    std::uint64_t value = 0;
    for (int i = 0; i < width; ++i) value |= std::uint64_t{static_cast<unsigned char>(in[at + i])} << (8 * i);
    return value;
}

std::uint32_t HeaderCrc(const std::string& bytes, std::size_t count) {
    return CCRC::RunCRC32(reinterpret_cast<const std::uint8_t*>(bytes.data()), count, kRSCrc32Polynomial);
}

std::string Encode(const Header& h) {
    std::string out(kFields + h.path.size() + 4, '\0');
    std::memcpy(out.data(), kMagic, sizeof kMagic);
    Put(out, 8, h.path.size(), 4);
    Put(out, 12, h.keptCrc, 4);
    Put(out, 16, h.dev, 8);
    Put(out, 24, h.ino, 8);
    Put(out, 32, h.birthSec, 8);
    Put(out, 40, h.birthNsec, 8);
    Put(out, 48, h.oldLength, 8);
    Put(out, 56, h.newLength, 8);
    std::memcpy(out.data() + kFields, h.path.data(), h.path.size());
    const std::size_t end = kFields + h.path.size();
    Put(out, end, HeaderCrc(out, end), 4);
    out.resize(end + 16);
    Put(out, end + 4, h.volume, 8);
    Put(out, end + 12, HeaderCrc(out, end + 12), 4);
    return out;
}

// Untrusted bytes: every length is bounded by the header's room.
bool Decode(const std::string& in, Header& h) {
    if (in.size() < kFields + 4 || std::memcmp(in.data(), kMagic, sizeof kMagic) != 0) return false;
    const std::uint64_t pathLength = Get(in, 8, 4);
    if (pathLength > kMaxPath || in.size() < kFields + pathLength + 4) return false;
    if (Get(in, kFields + pathLength, 4) != HeaderCrc(in, kFields + pathLength)) return false;
    h.keptCrc = static_cast<std::uint32_t>(Get(in, 12, 4));
    h.dev = Get(in, 16, 8);
    h.ino = Get(in, 24, 8);
    h.birthSec = Get(in, 32, 8);
    h.birthNsec = Get(in, 40, 8);
    h.oldLength = Get(in, 48, 8);
    h.newLength = Get(in, 56, 8);
    h.path.assign(in, kFields, pathLength);
    const std::size_t end = kFields + pathLength + 4;
    h.volume = in.size() >= end + 12 && Get(in, end + 8, 4) == HeaderCrc(in, end + 8) ? Get(in, end, 8) : 0;
    return h.oldLength <= static_cast<std::uint64_t>(INT64_MAX - kHeaderSpace) &&
           h.newLength <= static_cast<std::uint64_t>(INT64_MAX);
}

struct OwnedFd {
    int fd = -1;
    explicit OwnedFd(int fd) : fd(fd) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd() {
        if (fd >= 0) ::close(fd);
    }
};

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolderOf(const std::string& path) {
    const OwnedFd folder{::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (folder.fd >= 0 && ::fsync(folder.fd) != 0 && errno != EINVAL && errno != EROFS)
        CatchExeception::WriteLog("kept save %s: its folder could not be synced\n", path.c_str());
}

// $XDG_STATE_HOME/salvor, else ~/.local/state/salvor; made when asked.
std::string StateFolder(bool make) {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || home[0] != '/') return {};
        base = std::string(home) + "/.local/state";
    }
    const std::string folder = base + "/salvor";
    if (make) {
        for (std::size_t at = 1; at != std::string::npos;) {
            at = folder.find('/', at + 1);
            const std::string part = folder.substr(0, at);
            if (::mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return {};
        }
    }
    return folder;
}

// Where a user whose state folder takes nothing (another user's home) keeps
// what a kill must not cost: "salvor-kept-UID" in TMPDIR or /tmp, this
// user's own and closed to others, or none.
std::string TempFolder(bool make) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string folder = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/salvor-kept-" +
                               std::to_string(::geteuid());
    if (make && ::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return {};
    struct stat st {};
    const bool own = ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::geteuid() &&
                     (st.st_mode & 077) == 0;
    return own ? folder : std::string();
}

std::string BesideName(const struct stat& save) { return kBesidePrefix + std::to_string(save.st_ino); }

std::string StateName(const struct stat& save) {
    return kStatePrefix + std::to_string(static_cast<unsigned long long>(save.st_dev)) + "." +
           std::to_string(save.st_ino);
}

// The file's birth time where the file system keeps one (0 0 where not):
// an inode number freed and given to a new file does not make it the same.
std::pair<std::uint64_t, std::uint64_t> Birth(int fd) {
    struct statx st {};
    if (::statx(fd, "", AT_EMPTY_PATH, STATX_BTIME, &st) != 0 || !(st.stx_mask & STATX_BTIME)) return {0, 0};
    return {static_cast<std::uint64_t>(st.stx_btime.tv_sec), st.stx_btime.tv_nsec};
}

// The container's checksummed header and frames run whole to the file's
// end, and its first frames read as a save's.
bool WholeSave(int fd) {
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    CRSData rs(RS_MODE_READ);
    SavedScanHead head;
    CProgressSteps steps;
    const bool whole = ReadScanHead(rs, path.c_str(), head, nullptr, steps) == SAVED_OK;
    rs.EndRS();
    return whole;
}

// count bytes of from at fromAt go to to at toAt; the checksum of them is
// added to crc when given, and nothing is written when to is -1.
bool Copy(int from, off_t fromAt, int to, off_t toAt, off_t count, std::uint32_t* crc) {
    std::vector<char> buffer(static_cast<std::size_t>(std::min<off_t>(std::max<off_t>(count, 1), kCopyPiece)));
    for (off_t done = 0; done < count;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(count - done, buffer.size()));
        const ssize_t got = ::pread(from, buffer.data(), want, fromAt + done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        if (crc) *crc = KeptCrc(buffer.data(), static_cast<std::size_t>(got), *crc);
        for (ssize_t put = 0; to >= 0 && put < got;) {
            const ssize_t n = ::pwrite(to, buffer.data() + put, static_cast<std::size_t>(got - put), toAt + done + put);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            put += n;
        }
        done += got;
    }
    return true;
}

bool Synced(int fd) { return ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS; }

// The record at path is gone: its folder is synced, and a temporary
// folder left empty goes too.
void Gone(const std::string& path) {
    SyncFolderOf(path);
    if (const std::string folder = FolderOf(path); folder == TempFolder(false)) ::rmdir(folder.c_str());
}

// Removes the record at path when it is still the one open as fd.
void Drop(const std::string& path, int fd) {
    struct stat open {};
    struct stat named {};
    if (::fstat(fd, &open) == 0 && ::lstat(path.c_str(), &named) == 0 && open.st_dev == named.st_dev &&
        open.st_ino == named.st_ino && ::unlink(path.c_str()) == 0)
        Gone(path);
}

// The file system's own number for the volume of fd (from its UUID on
// ext4, btrfs and f2fs; from the device's number elsewhere), 0 where none.
std::uint64_t VolumeOf(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return 0;
    std::uint32_t halves[2];
    static_assert(sizeof halves == sizeof fs.f_fsid);
    std::memcpy(halves, &fs.f_fsid, sizeof halves);
    return std::uint64_t{halves[0]} | std::uint64_t{halves[1]} << 32;
}

// A folder where no one but the save's owner, this user and root may add,
// rename or remove another's file: theirs, and writable by others only
// where sticky.
bool ClosedFolder(const struct stat& folder, const struct stat& save) {
    const uid_t owner = folder.st_uid;
    return S_ISDIR(folder.st_mode) && (owner == 0 || owner == save.st_uid || owner == ::geteuid()) &&
           ((folder.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (folder.st_mode & S_ISVTX) != 0);
}

// Whether the record rs, in folder, may put its bytes into save (None), or
// why not: only one
// who may write the save anyway made it (the save's owner, this user, or,
// for a save its group may write, one of that group: a new file takes its
// maker's group where the folder does not give it its own), no one else may
// write it or swap it in its folder, it is one file of one name, and its
// kept bytes are on the device (no hole of a file's size for a small one).
// A record its group may write counts where that group may write the save
// anyway (a umask of 002 gave older records the save's group bits).
KeptLeftWhy Counts(int fd, const struct stat& rs, const struct stat& folder, const struct stat& save) {
    const bool groupWritesSave = rs.st_gid == save.st_gid && (save.st_mode & S_IWGRP) != 0;
    const bool maker = rs.st_uid == save.st_uid || rs.st_uid == ::geteuid() ||
                       (groupWritesSave && (folder.st_mode & S_ISGID) == 0);
    const bool othersWrite = (rs.st_mode & S_IWOTH) != 0 || ((rs.st_mode & S_IWGRP) != 0 && !groupWritesSave);
    if (!S_ISREG(rs.st_mode) || rs.st_nlink != 1 || othersWrite || !maker || !ClosedFolder(folder, save))
        return KeptLeftWhy::NotTrusted;
    if (rs.st_size <= kHeaderSpace) return KeptLeftWhy::None;
    const off_t hole = ::lseek(fd, kHeaderSpace, SEEK_HOLE);
    const bool there = hole >= 0 ? hole >= rs.st_size
                                 : std::uint64_t(rs.st_blocks) * 512 >= std::uint64_t(rs.st_size - kHeaderSpace);
    return there ? KeptLeftWhy::None : KeptLeftWhy::BytesMissing;
}

enum class Outcome { None, Left, Dealt };

// Logs why the record was left, and tells left the first reason (the
// words the user reads are the windows': a kind, not this text).
void Why(KeptLeft* left, KeptLeftWhy kind, const std::string& record, const std::string& reason) {
    CatchExeception::WriteLog("%s\n", reason.c_str());
    if (left && left->why == KeptLeftWhy::None) *left = {kind, record};
}

// An open-file write lock over the whole record: a running save holds one,
// and so does a load while it puts the record back. Only one who may write
// the record can take it (another who may read it may take a read lock,
// which tells nothing).
bool WriteLock(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

bool WriteLocked(int fd) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    return ::fcntl(fd, F_OFD_GETLK, &lock) == 0 && lock.l_type == F_WRLCK;
}

struct CloseDir {
    void operator()(DIR* dir) const { ::closedir(dir); }
};

// The record name in folder, for the regular file at save (no link).
// why, when given, learns why a record was left (the first reason).
Outcome PutBackFrom(const std::string& folder, const std::string& name, const std::string& save,
                    KeptLeft* why = nullptr) {
    const std::string record = folder + "/" + name;
    // Neither a fifo nor a device may hold a load up. Opened for writing
    // where it may be, for its write lock; a record of the save's group
    // only for reading.
    const OwnedFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    const auto openKept = [&](int mode) {
        return dir.fd < 0 ? -1 : ::openat(dir.fd, name.c_str(), mode | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    };
    int keptFd = openKept(O_RDWR);
    if (keptFd < 0 && (errno == EACCES || errno == EPERM || errno == EROFS)) keptFd = openKept(O_RDONLY);
    const OwnedFd kept{keptFd};
    const OwnedFd file{::open(save.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    struct stat rs {};
    struct stat where {};
    struct stat st {};
    if (kept.fd < 0 || ::fstat(kept.fd, &rs) != 0 || !S_ISREG(rs.st_mode) || ::fstat(dir.fd, &where) != 0)
        return Outcome::None;
    if (file.fd < 0 || ::fstat(file.fd, &st) != 0 || !S_ISREG(st.st_mode)) return Outcome::Left;
    // One another user could have made or changed is not read, written,
    // removed or taken for the owner's: it makes no record of theirs stale.
    if (const KeptLeftWhy trust = Counts(kept.fd, rs, where, st); trust != KeptLeftWhy::None) {
        Why(why, trust, record,
            "kept save " + record + ": " +
                (trust == KeptLeftWhy::NotTrusted ? "another user than " + save + "'s owner may have written it"
                                                  : std::string("its bytes are not there")) +
                ": left as it is");
        return Outcome::Left;
    }
    // A save that runs now holds it, and holds a write lock on it that only
    // one who may write it can take. Another user who may only read it (a
    // record older programs made readable as the save) may hold it too: that
    // keeps nothing from coming back.
    if (::flock(kept.fd, LOCK_EX | LOCK_NB) != 0) {
        if (WriteLocked(kept.fd) || (rs.st_mode & (S_IRGRP | S_IROTH)) == 0) {
            Why(why, KeptLeftWhy::Held, record,
                "kept save " + record + " is held by a save running now, or by a load: left as it is");
            return Outcome::Left;
        }
        CatchExeception::WriteLog("kept save %s is held by one who may only read it: dealt with all the same\n",
                                  record.c_str());
    }
    // While this load deals with it, another load and a save leave it alone.
    WriteLock(kept.fd);
    std::string head(static_cast<std::size_t>(std::min<off_t>(rs.st_size, kHeaderSpace)), '\0');
    if (::pread(kept.fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) return Outcome::Left;
    // No header yet: the save stopped while keeping the old bytes, before
    // it overwrote any of them.
    if (head.find_first_not_of('\0') >= std::min(head.size(), sizeof kMagic)) {
        Drop(record, kept.fd);
        return Outcome::Dealt;
    }
    Header h;
    if (!Decode(head, h) || static_cast<std::uint64_t>(rs.st_size) != kHeaderSpace + h.oldLength) {
        Why(why, KeptLeftWhy::Damaged, record, "kept save " + record + " is damaged: left as it is");
        return Outcome::Left;
    }
    // Only ever onto the file the record was made for: its inode (and birth
    // time) on its device, on the record's own device for a record beside
    // it, or on its volume come back under another number.
    const auto birth = Birth(file.fd);
    const bool bornAlike = h.birthSec == 0 || birth.first == 0 ||
                           (birth.first == h.birthSec && birth.second == h.birthNsec);
    const bool itsVolume =
        st.st_dev == h.dev || st.st_dev == rs.st_dev || (h.volume != 0 && h.volume == VolumeOf(file.fd));
    if (st.st_ino != h.ino || !bornAlike || !itsVolume) {
        Why(why, KeptLeftWhy::OtherFile, record,
            "kept save " + record + " is of another file than " + save + ": left as it is");
        return Outcome::Left;
    }
    // A whole save (the new one, or the old one put back) is kept, and the
    // record, stale now, goes once the save is on the device.
    if (WholeSave(file.fd)) {
        if (!Synced(file.fd)) return Outcome::Left;
        Drop(record, kept.fd);
        return Outcome::Dealt;
    }
    const auto length = static_cast<std::uint64_t>(st.st_size);
    if (length < std::min(h.oldLength, h.newLength) || length > std::max(h.oldLength, h.newLength)) {
        Why(why, KeptLeftWhy::Length, record,
            "kept save " + record + ": " + save + " has a length no copy left, left as it is");
        return Outcome::Left;
    }
    std::uint32_t crc = 0;
    if (!Copy(kept.fd, kHeaderSpace, -1, 0, static_cast<off_t>(h.oldLength), &crc) || crc != h.keptCrc) {
        Why(why, KeptLeftWhy::BytesDamaged, record, "kept save " + record + ": its bytes are damaged, left as it is");
        return Outcome::Left;
    }
    const OwnedFd to{::open(save.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC)};
    struct stat now {};
    if (to.fd < 0 || ::fstat(to.fd, &now) != 0 || now.st_dev != st.st_dev || now.st_ino != st.st_ino) {
        Why(why, KeptLeftWhy::NotWritable, record,
            "kept save " + record + ": " + save + " may not be written, left as it is");
        return Outcome::Left;
    }
    const auto oldLength = static_cast<off_t>(h.oldLength);
    if (!(Copy(kept.fd, kHeaderSpace, to.fd, 0, oldLength, nullptr) && ::ftruncate(to.fd, oldLength) == 0 &&
          Synced(to.fd))) {
        Why(why, KeptLeftWhy::NotPutBack, record, "kept save " + record + ": the old save could not be put back");
        return Outcome::Left;
    }
    CatchExeception::WriteLog("kept save %s: the old save was put back at %s\n", record.c_str(), save.c_str());
    Drop(record, kept.fd);
    return Outcome::Dealt;
}

// The records in folder that may be of the file st: of its inode on any
// device (a volume plugged in again comes back under another number), the
// one of its device first.
std::vector<std::string> RecordsOf(const std::string& folder, const struct stat& st) {
    std::vector<std::string> names;
    std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
    const std::string own = StateName(st);
    std::string ino(1, '.');
    ino += std::to_string(st.st_ino);
    while (const dirent* entry = dir ? ::readdir(dir.get()) : nullptr) {
        const std::string name = entry->d_name;
        if (name.size() > sizeof kStatePrefix - 1 + ino.size() && name.starts_with(kStatePrefix) &&
            name.ends_with(ino) && name.find('.', sizeof kStatePrefix - 1) == name.size() - ino.size())
            names.push_back(name);
    }
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        return std::pair(a != own, a) < std::pair(b != own, b);
    });
    return names;
}

// The saves of the records in folder.
void ListKeptSaves(const std::string& folder, std::vector<std::string>& saves) {
    std::unique_ptr<DIR, CloseDir> dir(::opendir(folder.c_str()));
    if (!dir) return;
    while (const dirent* entry = ::readdir(dir.get())) {
        if (std::strncmp(entry->d_name, kStatePrefix, sizeof kStatePrefix - 1) != 0) continue;
        const OwnedFd kept{::open((folder + "/" + entry->d_name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
        std::string head(kHeaderSpace, '\0');
        const ssize_t got = kept.fd < 0 ? -1 : ::pread(kept.fd, head.data(), head.size(), 0);
        head.resize(static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        Header h;
        if (Decode(head, h)) saves.push_back(h.path);
    }
}

} // namespace

std::uint32_t KeptCrc(const void* data, std::size_t size, std::uint32_t crc) {
    return CCRC::RunCRC32(static_cast<const std::uint8_t*>(data), size, kRSCrc32Polynomial, crc);
}

off_t CKeptRecord::BytesAt() { return kHeaderSpace; }

CKeptRecord::~CKeptRecord() {
    if (!m_sealed) Remove();
    if (m_fd >= 0) ::close(m_fd);
}

bool CKeptRecord::Open(const std::string& path, int save, std::uint64_t growth) {
    if (::fstat(save, &m_old) != 0 || path.size() > kMaxPath) return false;
    m_save = path;
    m_birth = Birth(save);
    m_volume = VolumeOf(save);
    const std::uint64_t need = static_cast<std::uint64_t>(kHeaderSpace) + static_cast<std::uint64_t>(m_old.st_size);
    // The state and temporary folders are made only when reached.
    for (int place = 0; place < 3; ++place) {
        const std::string folder = place == 0 ? FolderOf(path) : place == 1 ? StateFolder(true) : TempFolder(true);
        const std::string name = place == 0 ? BesideName(m_old) : StateName(m_old);
        if (folder.empty()) continue;
        const OwnedFd dir{::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
        struct statvfs fs {};
        struct stat where {};
        // Only where it will count at the load: a folder others may not
        // change what is in.
        if (dir.fd < 0 || ::fstatvfs(dir.fd, &fs) != 0 || ::fstat(dir.fd, &where) != 0 || !ClosedFolder(where, m_old))
            continue;
        if (std::uint64_t{fs.f_bavail} * fs.f_frsize < need + (where.st_dev == m_old.st_dev ? growth : 0)) continue;
        const std::string at = folder + "/" + name;
        // Opened by the save's owner alone (or, made by one of the save's
        // group who may write it, also by that group), whatever the save's
        // bits and the umask: no other user may hold it, read it or write it.
        const mode_t bits = ::geteuid() == 0 || ::geteuid() == m_old.st_uid ? 0600 : 0640;
        int fd = ::openat(dir.fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
        // One left by a save that never overwrote its file goes.
        if (fd < 0 && errno == EEXIST && PutBackFrom(folder, name, path) == Outcome::Dealt)
            fd = ::openat(dir.fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, bits);
        if (fd < 0) continue;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !WriteLock(fd)) {
            ::close(fd);
            ::unlinkat(dir.fd, name.c_str(), 0);
            continue;
        }
        // The save's owner, or the save's group where this user writes the
        // save as one of it: then it is readable by no other group, and it
        // shows a load that one who may write the save made it.
        if (::geteuid() == 0)
            static_cast<void>(::fchown(fd, m_old.st_uid, m_old.st_gid));
        else if (::geteuid() != m_old.st_uid)
            static_cast<void>(::fchown(fd, static_cast<uid_t>(-1), m_old.st_gid));
        static_cast<void>(::fchmod(fd, bits));
        m_fd = fd;
        m_path = at;
        return true;
    }
    if (const std::string made = TempFolder(false); !made.empty()) ::rmdir(made.c_str());
    return false;
}

bool CKeptRecord::Seal(std::uint64_t newLength, std::uint32_t keptCrc) {
    Header h;
    h.dev = m_old.st_dev;
    h.ino = m_old.st_ino;
    std::tie(h.birthSec, h.birthNsec) = m_birth;
    h.volume = m_volume;
    h.oldLength = static_cast<std::uint64_t>(m_old.st_size);
    h.newLength = newLength;
    h.keptCrc = keptCrc;
    h.path = m_save;
    const std::string head = Encode(h);
    if (::pwrite(m_fd, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size()) || !Synced(m_fd))
        return false;
    SyncFolderOf(m_path);
    m_sealed = true;
    return true;
}

bool CKeptRecord::Remove() {
    if (m_fd < 0) return true;
    const bool removed = ::unlink(m_path.c_str()) == 0;
    if (removed) Gone(m_path);
    ::close(std::exchange(m_fd, -1));
    return removed;
}

bool PutBackInterruptedSave(const char* path, KeptLeft* left) {
    if (!path || !*path) return false;
    std::string save = path;
    struct stat st {};
    if (::lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
        std::unique_ptr<char, decltype(&std::free)> real(::realpath(path, nullptr), &std::free);
        if (!real) return false;
        save = real.get();
    }
    if (::stat(save.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    bool dealt = false;
    const std::string beside = FolderOf(save);
    if (::faccessat(AT_FDCWD, (beside + "/" + BesideName(st)).c_str(), F_OK, AT_SYMLINK_NOFOLLOW) == 0)
        dealt = PutBackFrom(beside, BesideName(st), save, left) == Outcome::Dealt;
    for (const std::string& folder : {StateFolder(false), TempFolder(false)})
        if (!folder.empty())
            for (const std::string& name : RecordsOf(folder, st))
                dealt = PutBackFrom(folder, name, save, left) == Outcome::Dealt || dealt;
    return dealt;
}

void PutBackInterruptedSaves() {
    std::vector<std::string> saves;
    for (const std::string& folder : {StateFolder(false), TempFolder(false)})
        if (!folder.empty()) ListKeptSaves(folder, saves);
    for (const std::string& save : saves) PutBackInterruptedSave(save.c_str());
}

} // namespace SaveRestoreResult
