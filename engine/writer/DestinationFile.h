#pragma once
// The destination of a recovered file, written at explicit offsets so that a
// retried or skipped chunk never moves the data behind it.

class CDestinationFile {
public:
    CDestinationFile() = default;
    ~CDestinationFile();
    CDestinationFile(const CDestinationFile&) = delete;
    CDestinationFile& operator=(const CDestinationFile&) = delete;

    // Creates path, or empties it when it is an existing regular file.
    // Refuses a symbolic link, a folder, a block device and a pipe: a found
    // file never goes through a link or onto a disk. false with errno set.
    bool Open(const char* path);
    bool IsOpen() const { return m_fd >= 0; }
    // Writes n bytes at offset; answers how many were written before a
    // failure (n when all were), errno telling why.
    long long WriteAt(const char* data, long long n, long long offset);
    // false when closing reports a write that did not reach the file.
    bool Close();

private:
    int m_fd = -1;
};
