#pragma once
// The scan-result container over a POSIX file. One thread at a time.
#include <cstdint>
#include <vector>

#include "savedscan/IRSData.h"
#include "savedscan/StdFile.h"

class CRSData : public IRSData {
public:
    explicit CRSData(RSMode mode);
    ~CRSData() override;
    CRSData(const CRSData&) = delete;
    CRSData& operator=(const CRSData&) = delete;

    bool CheckFile() override;
    // Write mode: create 0 opens (or creates) the file, 1 also empties it, 2
    // only creates a new one (false when path exists), with the bits of
    // SetCreateBits less the umask.
    bool StartRS(const char* path, int create) override;
    void SetCreateBits(unsigned bits) { m_createBits = bits; }
    // Write mode: the container over an open descriptor it then owns.
    bool StartRS(int fd);
    // Also closes (and in write mode back-patches) a frame left open; false
    // when that failed or, in write mode, the bytes did not reach the device.
    bool EndRS() override;
    bool WriteFileHeader(const FILEHEADER& header) override;
    bool ReadFileHeader(FILEHEADER& header) override;
    FileStatus GetStatus() override;
    bool SetStatus(FileStatus status) override;
    bool SetFileDescription(const char* text) override;
    bool GetFileDescription(char* buffer, int size) override;
    bool OpenFrame(const tagGUIDSIGN& guid) override;
    bool CloseFrame() override;
    std::uint32_t GetFrameSize() override;
    bool ReadCurFrame(void* buffer, unsigned count) override;
    bool WriteCurFrame(const void* buffer, unsigned count) override;
    bool FlushBuffer() override;
    std::uint32_t GetFrameRemaining() override;

    RSMode GetMode() const { return m_mode; }

    // Write mode: every frame closed so far with its payload's size and CRC-32.
    struct FrameSum {
        tagGUIDSIGN guid{};
        std::uint32_t size = 0;
        std::uint32_t crc = 0;
    };
    const std::vector<FrameSum>& ClosedFrames() const { return m_closed; }

private:
    struct FrameHeader {
        tagGUIDSIGN signature{};
        tagGUIDSIGN guid{};
        std::uint32_t size = 0;
    };
    static constexpr std::uint32_t kNoFrame = 0xFFFFFFFF;

    bool SearchFrame(const tagGUIDSIGN& guid);
    bool FrameOpen() const { return m_frameOffset != kNoFrame; }
    std::int64_t PayloadStart() const { return std::int64_t{m_frameOffset} + kRSFrameHeaderSize; }
    void ResetFrame();
    // Throws CRSException when `mode` is not this container's mode.
    void RequireMode(RSMode mode);
    void RequireFrame();
    // Clears a pending code and throws it.
    void RaisePending();
    // Throws `code` now (dropping anything pending).
    [[noreturn]] void Raise(std::uint32_t code);

    RSMode m_mode;
    CStdFile m_file;
    unsigned m_createBits = 0666;
    // Payload writes go straight to the file, so this stays empty; FlushBuffer
    // still honours it.
    std::vector<std::uint8_t> m_writeBuffer;
    std::uint32_t m_writeFill = 0;
    FrameHeader m_frameHeader;
    std::uint32_t m_frameOffset = kNoFrame;
    std::uint32_t m_cursor = 0;
    std::uint32_t m_pending = 0;
    // A payload write of the open frame failed or was refused: the frame no
    // longer holds what the writer meant, and closing it reports that.
    bool m_frameBroken = false;
    std::uint32_t m_frameCrc = 0;
    std::vector<FrameSum> m_closed;
};
