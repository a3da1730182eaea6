#include "engine/writer/DestinationFile.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <climits>
#include <cstdio>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {
// Attempts at finding a free temporary name.
constexpr int kTemporaryAttempts = 16;

// The temporary files being written, so that an end signal (SIGINT, SIGTERM, SIGHUP)
// removes them before the process ends: a slot's folder is -1 when free, -2
// while it is being filled, its descriptor once the name is in place.
constexpr int kSlots = 64;
constexpr std::size_t kNameBytes = 40;
struct Slot {
    std::atomic<int> dirFd{-1};
    char name[kNameBytes] = {};
};
Slot g_slots[kSlots];

void RemoveTemporariesAndDie(int signal) {
    RemoveDestinationTemporaries();
    struct sigaction dflt {};
    dflt.sa_handler = SIG_DFL;
    ::sigaction(signal, &dflt, nullptr);
    ::raise(signal);
}

// Installed once, and only where nobody handles the signal already.
void HandleInterrupts() {
    static const bool installed = [] {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction old {};
            if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
            struct sigaction sa {};
            sa.sa_handler = RemoveTemporariesAndDie;
            sigemptyset(&sa.sa_mask);
            ::sigaction(signal, &sa, nullptr);
        }
        return true;
    }();
    (void)installed;
}

// The slot now naming the temporary file, or -1 when all are taken (the
// file is then only removed by the process's normal paths).
int RememberTemporary(int dirFd, const std::string& name) {
    HandleInterrupts();
    if (name.size() >= kNameBytes) return -1;
    for (int i = 0; i < kSlots; ++i) {
        int expected = -1;
        if (!g_slots[i].dirFd.compare_exchange_strong(expected, -2, std::memory_order_acq_rel)) continue;
        std::memcpy(g_slots[i].name, name.c_str(), name.size() + 1);
        g_slots[i].dirFd.store(dirFd, std::memory_order_release);
        return i;
    }
    return -1;
}

void ForgetTemporary(int slot) {
    if (slot >= 0) g_slots[slot].dirFd.store(-1, std::memory_order_release);
}
} // namespace

void RemoveDestinationTemporaries() {
    // Only async-signal-safe calls here.
    for (Slot& slot : g_slots) {
        const int fd = slot.dirFd.load(std::memory_order_acquire);
        if (fd >= 0) ::unlinkat(fd, slot.name, 0);
    }
}

CDestinationFile::~CDestinationFile() {
    Discard();
}

bool CDestinationFile::Open(int dirFd, const char* path) {
    Discard();
    if (!path || !*path) {
        errno = EINVAL;
        return false;
    }
    const std::string whole(path);
    const size_t slash = whole.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : whole.substr(0, slash);
    m_name = slash == std::string::npos ? whole : whole.substr(slash + 1);
    if (m_name.empty()) {
        errno = EISDIR;
        return false;
    }
    m_dirFd = ::openat(dirFd, folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (m_dirFd < 0) return false;

    struct stat st {};
    int err = 0;
    if (::fstatat(m_dirFd, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) err = errno;
    } else if (S_ISCHR(st.st_mode)) {
        // Non-blocking open so that nothing can make it wait; blocking writes.
        const int fd = ::openat(m_dirFd, m_name.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        struct stat opened {};
        if (fd < 0) {
            err = errno;
        } else if (::fstat(fd, &opened) != 0 || !S_ISCHR(opened.st_mode) ||
                   fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
            err = EINVAL;
            ::close(fd);
        } else {
            m_fd = fd;
            return true;
        }
    } else if (!S_ISREG(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : S_ISLNK(st.st_mode) ? ELOOP : EINVAL;
    }
    if (err == 0 && OpenTemporary()) return true;
    if (err == 0) err = errno;
    Discard();
    errno = err;
    return false;
}

bool CDestinationFile::OpenTemporary() {
    for (int attempt = 0; attempt < kTemporaryAttempts; ++attempt) {
        unsigned char random[8] = {};
        if (::getrandom(random, sizeof random, 0) != static_cast<ssize_t>(sizeof random)) return false;
        char name[40];
        std::snprintf(name, sizeof name, ".salvor-%02x%02x%02x%02x%02x%02x%02x%02x.part", random[0],
                      random[1], random[2], random[3], random[4], random[5], random[6], random[7]);
        const int fd = ::openat(m_dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            m_fd = fd;
            m_temp = name;
            m_slot = RememberTemporary(m_dirFd, m_temp);
            return true;
        }
        if (errno != EEXIST) return false;
    }
    errno = EEXIST;
    return false;
}

long long CDestinationFile::WriteAt(const char* data, long long n, long long offset) {
    if (m_fd < 0) {
        errno = EBADF;
        return 0;
    }
    long long done = 0;
    while (done < n) {
        const ssize_t w = ::pwrite(m_fd, data + done, static_cast<size_t>(n - done), offset + done);
        if (w < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (w == 0) {
            errno = ENOSPC;
            break;
        }
        done += w;
    }
    return done;
}

bool CDestinationFile::SetLength(long long length) {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    if (m_temp.empty()) return true;
    while (::ftruncate(m_fd, length) != 0)
        if (errno != EINTR) return false;
    return true;
}

long long CDestinationFile::FreeBytes() const {
    struct statvfs st {};
    if (m_dirFd < 0 || ::fstatvfs(m_dirFd, &st) != 0) return -1;
    unsigned long long bytes = 0;
    if (__builtin_mul_overflow(static_cast<unsigned long long>(st.f_bavail),
                               static_cast<unsigned long long>(st.f_frsize), &bytes) ||
        bytes > static_cast<unsigned long long>(LLONG_MAX))
        return LLONG_MAX;
    return static_cast<long long>(bytes);
}

bool CDestinationFile::Commit() {
    if (m_fd < 0) {
        errno = EBADF;
        return false;
    }
    const int closed = ::close(m_fd);
    m_fd = -1;
    int err = closed == 0 ? 0 : errno;
    if (err == 0 && !m_temp.empty()) err = MoveToName();
    if (err == 0 && !m_temp.empty()) {
        ForgetTemporary(m_slot);
        m_slot = -1;
        m_temp.clear();
    }
    Discard();
    errno = err;
    return err == 0;
}

int CDestinationFile::MoveToName() {
    // An empty file under the name is the name's reservation: it goes first,
    // so that the rename makes a new name rather than replacing one (ntfs-3g
    // replaces a name through a longer one of its own, which a long name
    // overflows: a stray empty file then stays behind, or the rename fails).
    struct stat st {};
    bool there = ::fstatat(m_dirFd, m_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    if (there && S_ISREG(st.st_mode) && st.st_size == 0 && st.st_nlink == 1 &&
        ::unlinkat(m_dirFd, m_name.c_str(), 0) == 0)
        there = false;
    if (!there) {
        if (::renameat2(m_dirFd, m_temp.c_str(), m_dirFd, m_name.c_str(), RENAME_NOREPLACE) == 0) return 0;
        // File systems without the flag (FUSE ones among them) go on below.
        if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return errno;
    }
    return ::renameat(m_dirFd, m_temp.c_str(), m_dirFd, m_name.c_str()) == 0 ? 0 : errno;
}

void CDestinationFile::Discard() {
    const int saved = errno;
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
    if (!m_temp.empty() && m_dirFd >= 0) ::unlinkat(m_dirFd, m_temp.c_str(), 0);
    ForgetTemporary(m_slot);
    m_slot = -1;
    m_temp.clear();
    if (m_dirFd >= 0) ::close(m_dirFd);
    m_dirFd = -1;
    errno = saved;
}
