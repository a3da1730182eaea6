#include "engine/writer/DestinationFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

CDestinationFile::~CDestinationFile() {
    Close();
}

bool CDestinationFile::Open(const char* path) {
    Close();
    if (!path || !*path) {
        errno = EINVAL;
        return false;
    }
    // Non-blocking so that a pipe without a reader fails instead of hanging;
    // no O_TRUNC before we know what the path is.
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) return false;
    struct stat st {};
    int err = 0;
    if (fstat(fd, &st) != 0) {
        err = errno;
    } else if (S_ISREG(st.st_mode)) {
        if (ftruncate(fd, 0) != 0) err = errno;
    } else if (!S_ISCHR(st.st_mode)) {
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    }
    if (err == 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) err = errno;
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return false;
    }
    m_fd = fd;
    return true;
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

bool CDestinationFile::Close() {
    if (m_fd < 0) return true;
    const int rc = ::close(m_fd);
    m_fd = -1;
    return rc == 0;
}
