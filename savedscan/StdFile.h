#pragma once
// A thin POSIX file used by the scan-result container. Reads and writes
// move every byte asked for (retrying after signals and partial transfers)
// so a short count always means end of file or a real error.
#include <cstdint>
#include <string>

class CStdFile {
public:
    // Modes 1, 2 and 4 are the same (read-write, created when missing); 3
    // also truncates; 5 only creates (it fails when the path exists, also
    // as a link). Only mode 0 is read-only.
    enum OpenMode : unsigned {
        modeRead = 0,
        modeReadWrite = 1,
        modeReadWriteShared = 2,
        modeCreateTruncate = 3,
        modeReadWriteCreate = 4,
        modeCreateNew = 5,
    };

    CStdFile() = default;
    CStdFile(const char* path, OpenMode mode);
    ~CStdFile();
    CStdFile(const CStdFile&) = delete;
    CStdFile& operator=(const CStdFile&) = delete;

    // Closes a file that is open first. A file created by this call in a
    // write mode gets 0666 (mode 5: bits) less the umask; existing files keep
    // their bits.
    bool Open(const char* path, OpenMode mode, unsigned bits = 0666);
    // Takes over an open descriptor (a file without a name); false for -1.
    bool Adopt(int fd);
    // False when the system reports that written bytes were lost.
    bool Close();
    // Waits until what was written is on the device; false when it is not.
    bool Sync();
    bool IsOpen() const { return m_fd >= 0; }
    const std::string& GetPath() const { return m_path; }

    // Bytes read at the current position: fewer than asked only at end of
    // file; -1 on an error; 0 when not open.
    std::int64_t Read(void* buffer, unsigned count);
    // Positioned read that leaves the file position alone; same answers.
    std::int64_t ReadAt(std::int64_t offset, void* buffer, unsigned count);
    // True only when every byte was written.
    bool Write(const void* buffer, unsigned count);
    bool WriteAt(std::int64_t offset, const void* buffer, unsigned count);

    // Reads up to a line feed (kept) or `size` bytes and appends a zero; the
    // buffer holds size + 1 bytes. 0 at end of file, buffer untouched.
    unsigned ReadLine(void* buffer, unsigned size);
    // Writes the bytes and, unless they already end in CR LF, a CR LF.
    bool WriteLine(const void* buffer, unsigned length);

    bool GetFileLength(long long* length) const;
    void SeekToBegin();
    // The new position, -1 when not open or the seek failed.
    long long SeekToEnd();
    long long GetPosition() const;
    bool GetPosistion(long long* position) const;
    bool Seek(long long position);
    bool Truncate(long long length);
    void Flush() {}

private:
    int m_fd = -1; // -1: not open (0 is a valid descriptor)
    std::string m_path;
};
