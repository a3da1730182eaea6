#pragma once
// The scan-result container ("rsf" files): a 132-byte checksummed file
// header followed by frames, each a 36-byte frame header (signature, frame
// GUID, payload size) and an opaque payload. All values little-endian.
// Frame offsets and payload sizes are 32-bit, so every frame starts below
// 4 GiB and holds less than 4 GiB.
#include <cstdint>
#include <cstring>

#include "savedscan/RSException.h"

// A frame GUID in its file byte order, compared byte for byte.
struct tagGUIDSIGN {
    std::uint8_t bytes[16];
    friend bool operator==(const tagGUIDSIGN& a, const tagGUIDSIGN& b) {
        return std::memcmp(a.bytes, b.bytes, sizeof a.bytes) == 0;
    }
};

// {1CB3F4EA-4305-4AB6-B4B8-244A33D913BB}: opens the file header and every
// frame header.
inline constexpr tagGUIDSIGN _frSignPub = {
    {0xEA, 0xF4, 0xB3, 0x1C, 0x05, 0x43, 0xB6, 0x4A, 0xB4, 0xB8, 0x24, 0x4A, 0x33, 0xD9, 0x13, 0xBB}};

enum RSMode : std::uint32_t { RS_MODE_READ = 0, RS_MODE_WRITE = 1 };

// Valid statuses are 1..4; the saver writes 1. 0 means "no status".
enum FileStatus : std::int32_t {
    FILE_STATUS_NONE = 0,
    FILE_STATUS_SAVED = 1,
    // Saved from a scan that did not finish (its device stopped answering):
    // it holds what the scan found up to there; the description says how
    // far the scan got ("scan ended at 61.0%").
    FILE_STATUS_UNFINISHED = 2,
    FILE_STATUS_LAST = 4,
};

inline constexpr std::uint32_t kRSVersion = 5800;
// Written by savers that checksum every frame: a file of this version without
// its checksums is damaged. Files of kRSVersion may have them or not.
inline constexpr std::uint32_t kRSVersionChecksummed = 5801;
inline constexpr unsigned kRSFileHeaderSize = 132;
inline constexpr unsigned kRSFrameHeaderSize = 36;
inline constexpr unsigned kRSDescriptionMax = 100;
inline constexpr std::uint16_t kRSCrcPolynomial = 0x8005;
// Payload checksums (CRC-32/MPEG-2's polynomial, as CCRC::RunCRC32 runs it).
inline constexpr std::uint32_t kRSCrc32Polynomial = 0x04C11DB7;

// The file header as a value; it is (de)serialised field by field.
//  0 signature (16)   16 version u32 (kRSVersion, or kRSVersionChecksummed when
//                     the writer asks for it)   20 checksum u32 (CRC-16, zero-extended)
// 24 status u32       28 description length u32 (0..100)   32 description (100)
struct FILEHEADER {
    tagGUIDSIGN signature = _frSignPub;
    std::uint32_t version = 0;
    std::uint32_t checksum = 0;
    std::uint32_t status = 0;
    std::uint32_t descriptionLength = 0;
    char description[kRSDescriptionMax] = {};
};

// The container's data stream. Operations that can fail throw CRSException
// except StartRS, EndRS, CheckFile, WriteFileHeader and ReadFileHeader,
// which answer false. The slot order is fixed: new operations go last.
class IRSData {
public:
    virtual ~IRSData() = default;
    virtual bool CheckFile() = 0;
    virtual bool StartRS(const char* path, int create) = 0;
    virtual bool EndRS() = 0;
    virtual bool WriteFileHeader(const FILEHEADER& header) = 0;
    virtual bool ReadFileHeader(FILEHEADER& header) = 0;
    virtual FileStatus GetStatus() = 0;
    virtual bool SetStatus(FileStatus status) = 0;
    virtual bool SetFileDescription(const char* text) = 0;
    virtual bool GetFileDescription(char* buffer, int size) = 0;
    virtual bool OpenFrame(const tagGUIDSIGN& guid) = 0;
    virtual bool CloseFrame() = 0;
    virtual std::uint32_t GetFrameSize() = 0;
    // Reads min(count, bytes left in the payload); the rest of `buffer` is
    // left as it was. Callers that need exact sizes ask GetFrameRemaining.
    virtual bool ReadCurFrame(void* buffer, unsigned count) = 0;
    virtual bool WriteCurFrame(const void* buffer, unsigned count) = 0;
    virtual bool FlushBuffer() = 0;
    // Payload bytes of the open frame not read yet (read mode).
    virtual std::uint32_t GetFrameRemaining() = 0;
};
