#include "savedscan/StdFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int OpenRetrying(const char* path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path, flags, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens for writing, creating the file when it is missing (with the bits the
// process's umask leaves of 0666).
int OpenForWrite(const char* path, int flags) {
    // A file may vanish or appear between the two opens; a few rounds settle it.
    for (int round = 0; round < 8; ++round) {
        int fd = OpenRetrying(path, flags | O_CREAT | O_EXCL, 0666);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST)
            return -1;
        fd = OpenRetrying(path, flags, 0);
        if (fd >= 0 || errno != ENOENT)
            return fd;
    }
    return -1;
}

// Repeats a read or write step until `count` bytes have moved, retrying
// after signals. Answers the bytes moved (short only when the step moved
// nothing: end of file, or a device that takes no more) or -1 on an error.
template <typename Step>
std::int64_t TransferAll(unsigned count, Step step) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t moved = step(done);
        if (moved < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (moved == 0)
            break;
        done += static_cast<std::size_t>(moved);
    }
    return static_cast<std::int64_t>(done);
}

} // namespace

CStdFile::CStdFile(const char* path, OpenMode mode) { Open(path, mode); }

CStdFile::~CStdFile() { Close(); }

bool CStdFile::Open(const char* path, OpenMode mode, unsigned bits) {
    Close();
    if (path == nullptr || static_cast<unsigned>(mode) > modeCreateNew)
        return false;
    m_path = path;

    if (mode == modeRead) {
        m_fd = OpenRetrying(path, O_RDONLY | O_CLOEXEC, 0);
    } else if (mode == modeCreateNew) {
        m_fd = OpenRetrying(path, O_RDWR | O_CLOEXEC | O_CREAT | O_EXCL, static_cast<mode_t>(bits & 07777));
    } else {
        int flags = O_RDWR | O_CLOEXEC;
        if (mode == modeCreateTruncate)
            flags |= O_TRUNC;
        m_fd = OpenForWrite(path, flags);
    }
    if (m_fd < 0) {
        m_fd = -1;
        return false;
    }
    return true;
}

bool CStdFile::Adopt(int fd) {
    Close();
    if (fd < 0)
        return false;
    m_fd = fd;
    m_path.clear();
    return true;
}

bool CStdFile::Close() {
    if (m_fd < 0)
        return true;
    // The descriptor is released even when close reports EINTR; retrying
    // could close a descriptor another thread just got. A file system that
    // writes late (NFS, a full disk) reports a lost write only here.
    const bool ok = ::close(m_fd) == 0 || errno == EINTR;
    m_fd = -1;
    return ok;
}

bool CStdFile::Sync() {
    if (m_fd < 0)
        return false;
    return ::fsync(m_fd) == 0 || errno == EINVAL || errno == EROFS;
}

std::int64_t CStdFile::Read(void* buffer, unsigned count) {
    if (m_fd < 0)
        return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(count, [&](std::size_t done) { return ::read(m_fd, out + done, count - done); });
}

std::int64_t CStdFile::ReadAt(std::int64_t offset, void* buffer, unsigned count) {
    if (m_fd < 0)
        return 0;
    if (offset < 0)
        return -1;
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferAll(count, [&](std::size_t done) {
        return ::pread(m_fd, out + done, count - done, offset + static_cast<off_t>(done));
    });
}

bool CStdFile::Write(const void* buffer, unsigned count) {
    if (m_fd < 0)
        return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](std::size_t done) { return ::write(m_fd, in + done, count - done); }) == count;
}

bool CStdFile::WriteAt(std::int64_t offset, const void* buffer, unsigned count) {
    if (m_fd < 0 || offset < 0)
        return false;
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferAll(count, [&](std::size_t done) {
        return ::pwrite(m_fd, in + done, count - done, offset + static_cast<off_t>(done));
    }) == count;
}

unsigned CStdFile::ReadLine(void* buffer, unsigned size) {
    if (m_fd < 0 || buffer == nullptr)
        return 0;
    auto* out = static_cast<char*>(buffer);
    unsigned done = 0;
    while (done < size) {
        char c;
        if (Read(&c, 1) != 1)
            break;
        out[done++] = c;
        if (c == '\n')
            break;
    }
    if (done > 0)
        out[done] = '\0';
    return done;
}

bool CStdFile::WriteLine(const void* buffer, unsigned length) {
    if (length == 0)
        return true;
    if (buffer == nullptr || !Write(buffer, length))
        return false;
    const auto* in = static_cast<const char*>(buffer);
    if (length >= 2 && in[length - 2] == '\r' && in[length - 1] == '\n')
        return true;
    return Write("\r\n", 2);
}

bool CStdFile::GetFileLength(long long* length) const {
    if (length == nullptr || m_fd < 0)
        return false;
    // The open descriptor, not the stored path: the file may have been
    // renamed or replaced since it was opened.
    struct stat st {};
    if (::fstat(m_fd, &st) != 0)
        return false;
    *length = st.st_size;
    return true;
}

void CStdFile::SeekToBegin() { Seek(0); }

long long CStdFile::SeekToEnd() {
    if (m_fd < 0)
        return -1;
    return ::lseek(m_fd, 0, SEEK_END);
}

long long CStdFile::GetPosition() const {
    if (m_fd < 0)
        return 0;
    const off_t pos = ::lseek(m_fd, 0, SEEK_CUR);
    return pos < 0 ? 0 : pos;
}

bool CStdFile::GetPosistion(long long* position) const {
    if (position == nullptr || m_fd < 0)
        return false;
    const off_t pos = ::lseek(m_fd, 0, SEEK_CUR);
    if (pos < 0)
        return false;
    *position = pos;
    return true;
}

bool CStdFile::Seek(long long position) {
    if (m_fd < 0 || position < 0)
        return false;
    return ::lseek(m_fd, position, SEEK_SET) == position;
}

bool CStdFile::Truncate(long long length) {
    if (m_fd < 0 || length < 0)
        return false;
    int rc;
    do {
        rc = ::ftruncate(m_fd, length);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}
