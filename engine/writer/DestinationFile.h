#pragma once
// The destination of a recovered file, written at explicit offsets so that a
// retried or skipped chunk never moves the data behind it.
//
// A file is written under a temporary name in its destination folder and
// takes its real name only when it is complete: a failed or stopped copy
// never leaves a cut-short file under the real name, and an interrupt
// (SIGINT, SIGTERM, SIGHUP, when the process does not handle them itself) removes the
// temporary files before the process ends.
#include <fcntl.h>
#include <string>

// Removes every temporary file being written now (async-signal-safe): for a
// program that ends on a signal of its own handling.
void RemoveDestinationTemporaries();

class CDestinationFile {
public:
    CDestinationFile() = default;
    ~CDestinationFile();
    CDestinationFile(const CDestinationFile&) = delete;
    CDestinationFile& operator=(const CDestinationFile&) = delete;

    // Opens path (relative to the folder dirFd, or AT_FDCWD) for writing. A
    // new path or an existing regular file is written to a new temporary file
    // in the same folder (exclusive, unpredictable name) until Commit; a
    // character device (a terminal, /dev/null) is written in place. Refuses a
    // symbolic link, a folder, a block device, a pipe and a socket: a found
    // file never goes through a link or onto a disk. false with errno set.
    bool Open(int dirFd, const char* path);
    bool Open(const char* path) { return Open(AT_FDCWD, path); }
    bool IsOpen() const { return m_fd >= 0; }
    // Writes n bytes at offset; answers how many were written before a
    // failure (n when all were), errno telling why.
    long long WriteAt(const char* data, long long n, long long offset);
    // Gives a file written to a new name its full length: what was never
    // written (holes, unreadable ranges) reads as zeros and takes no space.
    // Nothing to do for a device written in place. false with errno set.
    bool SetLength(long long length);
    // Bytes the destination's file system can still take, or -1 when unknown.
    long long FreeBytes() const;
    // Closes the file and gives it its real name (replacing a regular file
    // there). false, and nothing under the real name, when closing reports a
    // lost write or the rename fails.
    bool Commit();
    // Closes the file and removes the temporary one.
    void Discard();

private:
    bool OpenTemporary();
    // Gives the temporary file the real name: 0, or the error.
    int MoveToName();

    int m_fd = -1;
    int m_dirFd = -1;   // the destination folder
    std::string m_name; // the real name within it
    std::string m_temp; // the temporary name, "" when written in place
    int m_slot = -1;    // where an interrupt finds the temporary name to remove it
};
