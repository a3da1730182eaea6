#pragma once
// File helpers and the application's work folder.
#include <unistd.h>

// The work folder as UTF-8: $SALVOR_WORK_DIR when it is an absolute path, else
// the executable's folder when it is writable, else $XDG_STATE_HOME/salvor
// (default ~/.local/state/salvor); created on demand. Worked out once per process.
const char* GetAppWorkPath();

// The file's size, or 0 for a null path, a missing file or a size below 1.
long long GetFileSize(const char* path);

// Copies a file, or a folder with everything in it, with data, mode, times and
// extended attributes (attributes and ownership best effort). Answers 0 on
// success, -1 on failure. The third argument is not used.
int CopyFileA(const char* from, const char* to, int = 0);

// Owns one open descriptor and closes it when it goes (or is reset).
class CDescriptor {
public:
    explicit CDescriptor(int fd = -1) : m_fd(fd) {}
    ~CDescriptor() { Reset(-1); }
    CDescriptor(const CDescriptor&) = delete;
    CDescriptor& operator=(const CDescriptor&) = delete;
    void Reset(int fd) {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = fd;
    }
    int Get() const { return m_fd; }
    // Hands the descriptor over without closing it.
    int Release() {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }

private:
    int m_fd;
};
