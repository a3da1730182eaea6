#include "savedscan/RSData.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <unistd.h>

#include "savedscan/CRC.h"

namespace {

using HeaderBytes = std::array<std::uint8_t, kRSFileHeaderSize>;
using FrameBytes = std::array<std::uint8_t, kRSFrameHeaderSize>;

constexpr unsigned kOffVersion = 16;
constexpr unsigned kOffChecksum = 20;
constexpr unsigned kOffStatus = 24;
constexpr unsigned kOffDescLength = 28;
constexpr unsigned kOffDescription = 32;
constexpr unsigned kOffFrameGuid = 16;
constexpr unsigned kOffFrameSize = 32;

// Frames must start below this (offsets are 32-bit and 0xFFFFFFFF means none).
constexpr std::int64_t kFrameOffsetLimit = 0xFFFFFFFF;
constexpr std::uint32_t kStatusMax = FILE_STATUS_LAST;

std::uint32_t GetLe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

HeaderBytes PackHeader(const FILEHEADER& h) {
    HeaderBytes b{};
    std::memcpy(b.data(), h.signature.bytes, 16);
    PutLe32(b.data() + kOffVersion, h.version);
    PutLe32(b.data() + kOffChecksum, h.checksum);
    PutLe32(b.data() + kOffStatus, h.status);
    PutLe32(b.data() + kOffDescLength, h.descriptionLength);
    std::memcpy(b.data() + kOffDescription, h.description, kRSDescriptionMax);
    return b;
}

FILEHEADER UnpackHeader(const HeaderBytes& b) {
    FILEHEADER h;
    std::memcpy(h.signature.bytes, b.data(), 16);
    h.version = GetLe32(b.data() + kOffVersion);
    h.checksum = GetLe32(b.data() + kOffChecksum);
    h.status = GetLe32(b.data() + kOffStatus);
    h.descriptionLength = GetLe32(b.data() + kOffDescLength);
    std::memcpy(h.description, b.data() + kOffDescription, kRSDescriptionMax);
    return h;
}

FrameBytes PackFrame(const tagGUIDSIGN& signature, const tagGUIDSIGN& guid, std::uint32_t size) {
    FrameBytes b{};
    std::memcpy(b.data(), signature.bytes, 16);
    std::memcpy(b.data() + kOffFrameGuid, guid.bytes, 16);
    PutLe32(b.data() + kOffFrameSize, size);
    return b;
}

// CRC-16 of the header bytes with the checksum field taken as 0.
std::uint32_t HeaderChecksum(HeaderBytes b) {
    PutLe32(b.data() + kOffChecksum, 0);
    return CCRC::RunCRC16(b.data(), b.size(), kRSCrcPolynomial);
}

} // namespace

CRSData::CRSData(RSMode mode) : m_mode(mode) {}

CRSData::~CRSData() { EndRS(); }

void CRSData::RequireMode(RSMode mode) {
    if (m_mode != mode)
        Raise(RS_ERROR_WRONG_MODE);
}

void CRSData::RequireFrame() {
    if (!FrameOpen())
        Raise(RS_ERROR_NO_FRAME);
}

void CRSData::Raise(std::uint32_t code) {
    m_pending = 0;
    throw CRSException(code);
}

void CRSData::RaisePending() {
    if (m_pending != 0)
        Raise(m_pending);
}

void CRSData::ResetFrame() {
    m_writeBuffer.clear();
    m_writeFill = 0;
    m_frameHeader = FrameHeader{};
    m_frameOffset = kNoFrame;
    m_cursor = 0;
    m_frameBroken = false;
    m_frameCrc = 0;
}

bool CRSData::CheckFile() {
    if (!m_file.IsOpen())
        return false;
    // From offset 0, not the current position: earlier calls may have moved it.
    HeaderBytes b{};
    if (m_file.ReadAt(0, b.data(), kRSFileHeaderSize) != kRSFileHeaderSize)
        return false;
    const FILEHEADER h = UnpackHeader(b);
    return h.signature == _frSignPub && h.status >= FILE_STATUS_SAVED && h.status <= kStatusMax;
}

bool CRSData::StartRS(const char* path, int create) {
    if (path == nullptr || path[0] == '\0')
        return false;
    EndRS();
    m_pending = 0;
    m_closed.clear();
    CStdFile::OpenMode mode = CStdFile::modeRead;
    if (m_mode == RS_MODE_WRITE)
        mode = create == 2   ? CStdFile::modeCreateNew
               : create != 0 ? CStdFile::modeCreateTruncate
                             : CStdFile::modeReadWriteCreate;
    return m_file.Open(path, mode, m_createBits);
}

bool CRSData::StartRS(int fd) {
    EndRS();
    m_pending = 0;
    m_closed.clear();
    if (m_mode != RS_MODE_WRITE) {
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    return m_file.Adopt(fd);
}

bool CRSData::EndRS() {
    bool ok = true;
    if (FrameOpen()) {
        try {
            CloseFrame();
        } catch (const CRSException&) {
            ok = false;
        }
    }
    ResetFrame();
    // A save is complete only once its bytes are on the device.
    if (m_mode == RS_MODE_WRITE && m_file.IsOpen() && !m_file.Sync())
        ok = false;
    if (!m_file.Close())
        ok = false;
    return ok;
}

bool CRSData::WriteFileHeader(const FILEHEADER& header) {
    if (m_mode != RS_MODE_WRITE)
        return false;
    FILEHEADER h = header;
    h.version = header.version == kRSVersionChecksummed ? kRSVersionChecksummed : kRSVersion;
    h.checksum = 0;
    HeaderBytes b = PackHeader(h);
    PutLe32(b.data() + kOffChecksum, HeaderChecksum(b));
    return m_file.Seek(0) && m_file.Write(b.data(), kRSFileHeaderSize);
}

bool CRSData::ReadFileHeader(FILEHEADER& header) {
    HeaderBytes b{};
    if (!m_file.Seek(0))
        return false;
    const std::int64_t got = m_file.Read(b.data(), kRSFileHeaderSize);
    if (got <= 0)
        return false;
    header = UnpackHeader(b);
    if (got != kRSFileHeaderSize)
        return false;
    const std::uint32_t stored = header.checksum;
    header.checksum = HeaderChecksum(b);
    return stored == header.checksum && (header.version == kRSVersion || header.version == kRSVersionChecksummed);
}

FileStatus CRSData::GetStatus() {
    RequireMode(RS_MODE_READ);
    FILEHEADER h{};
    // A rejected header answers its status as read (0 when the read did not
    // reach it); the loader rejects such a file by ReadFileHeader first.
    if (!ReadFileHeader(h))
        return static_cast<FileStatus>(static_cast<std::int32_t>(h.status));
    // Negative values (read as signed) are as bad as 5 and more.
    if (h.status > kStatusMax)
        Raise(RS_ERROR_BAD_HEADER);
    return static_cast<FileStatus>(h.status);
}

bool CRSData::SetStatus(FileStatus status) {
    RequireMode(RS_MODE_WRITE);
    FILEHEADER h;
    if (!ReadFileHeader(h))
        h = FILEHEADER{};
    h.status = static_cast<std::uint32_t>(status);
    return WriteFileHeader(h);
}

bool CRSData::SetFileDescription(const char* text) {
    RequireMode(RS_MODE_WRITE);
    FILEHEADER h;
    if (text == nullptr || !ReadFileHeader(h))
        return false;
    const std::size_t n = strnlen(text, kRSDescriptionMax);
    std::memset(h.description, 0, sizeof h.description);
    std::memcpy(h.description, text, n);
    h.descriptionLength = static_cast<std::uint32_t>(n);
    return WriteFileHeader(h);
}

bool CRSData::GetFileDescription(char* buffer, int size) {
    if (buffer == nullptr || size < 1)
        return false;
    RequireMode(RS_MODE_READ);
    FILEHEADER h;
    if (!ReadFileHeader(h))
        return false;
    if (h.descriptionLength > kRSDescriptionMax)
        Raise(RS_ERROR_BAD_HEADER);
    const std::size_t n = std::min<std::size_t>(h.descriptionLength, static_cast<std::size_t>(size) - 1);
    std::memcpy(buffer, h.description, n);
    buffer[n] = '\0';
    return true;
}

bool CRSData::OpenFrame(const tagGUIDSIGN& guid) {
    CloseFrame();
    if (m_mode == RS_MODE_READ) {
        SearchFrame(guid);
        RaisePending();
        return FrameOpen();
    }

    const long long end = m_file.SeekToEnd();
    // A frame past the 32-bit offsets could never be found again.
    if (end < 0 || end >= kFrameOffsetLimit)
        Raise(RS_ERROR_WRITE_FAILED);
    const FrameBytes b = PackFrame(_frSignPub, guid, 0);
    if (!m_file.Write(b.data(), kRSFrameHeaderSize)) {
        // Leave no frame open over a header that is not on disk.
        m_file.Truncate(end);
        Raise(RS_ERROR_WRITE_FAILED);
    }
    m_frameHeader.signature = _frSignPub;
    m_frameHeader.guid = guid;
    m_frameHeader.size = 0;
    m_frameOffset = static_cast<std::uint32_t>(end);
    m_cursor = 0;
    return true;
}

bool CRSData::SearchFrame(const tagGUIDSIGN& guid) {
    // Bounded by the file's length: damaged size fields can only move the
    // search forward, so it ends after at most length / 36 steps.
    long long length = 0;
    if (!m_file.GetFileLength(&length))
        length = 0;
    std::int64_t pos = kRSFileHeaderSize;
    while (pos < kFrameOffsetLimit && pos <= length && length - pos >= kRSFrameHeaderSize) {
        FrameBytes b{};
        if (m_file.ReadAt(pos, b.data(), kRSFrameHeaderSize) != kRSFrameHeaderSize)
            break;
        FrameHeader fh;
        std::memcpy(fh.signature.bytes, b.data(), 16);
        std::memcpy(fh.guid.bytes, b.data() + kOffFrameGuid, 16);
        fh.size = GetLe32(b.data() + kOffFrameSize);
        if (fh.signature == _frSignPub && fh.guid == guid) {
            m_frameHeader = fh;
            m_frameOffset = static_cast<std::uint32_t>(pos);
            m_cursor = 0;
            m_file.Seek(PayloadStart());
            return true;
        }
        pos += std::int64_t{kRSFrameHeaderSize} + fh.size;
    }
    ResetFrame();
    m_pending = RS_ERROR_FRAME_NOT_FOUND;
    return false;
}

bool CRSData::CloseFrame() {
    if (FrameOpen() && m_mode == RS_MODE_WRITE) {
        FlushBuffer();
        const FrameBytes b = PackFrame(m_frameHeader.signature, m_frameHeader.guid, m_frameHeader.size);
        // Without the final size the frame reads as empty and its payload
        // as frame headers: a failed rewrite must not pass silently.
        const bool rewritten = m_file.Seek(m_frameOffset) && m_file.Write(b.data(), kRSFrameHeaderSize);
        if (!rewritten || m_frameBroken)
            m_pending = RS_ERROR_WRITE_FAILED;
        else
            m_closed.push_back({m_frameHeader.guid, m_frameHeader.size, m_frameCrc});
    }
    ResetFrame();
    RaisePending();
    return true;
}

std::uint32_t CRSData::GetFrameSize() {
    if (!FrameOpen())
        throw CRSException(RS_ERROR_NO_FRAME);
    return m_frameHeader.size;
}

std::uint32_t CRSData::GetFrameRemaining() {
    RequireMode(RS_MODE_READ);
    if (!FrameOpen())
        throw CRSException(RS_ERROR_NO_FRAME);
    return m_frameHeader.size - m_cursor;
}

bool CRSData::ReadCurFrame(void* buffer, unsigned count) {
    RequireMode(RS_MODE_READ);
    RequireFrame();
    const std::uint32_t take = std::min<std::uint32_t>(count, m_frameHeader.size - m_cursor);
    if (take == 0)
        return true;
    if (buffer == nullptr)
        return false;
    // Positioned read: header calls in between may have moved the file
    // position, the payload is still where the frame says.
    if (m_file.ReadAt(PayloadStart() + m_cursor, buffer, take) != take)
        Raise(RS_ERROR_SHORT_READ);
    m_cursor += take;
    return true;
}

bool CRSData::WriteCurFrame(const void* buffer, unsigned count) {
    if (m_pending != 0)
        return false;
    RequireMode(RS_MODE_WRITE);
    RequireFrame();
    if (count == 0)
        return true;
    // Once a write failed, later bytes would land at the wrong place in the
    // record stream; the frame takes nothing more.
    if (m_frameBroken || buffer == nullptr || std::uint64_t{m_frameHeader.size} + count > 0xFFFFFFFFu) {
        m_frameBroken = true;
        return false;
    }
    const std::int64_t at = PayloadStart() + m_frameHeader.size;
    if (!m_file.WriteAt(at, buffer, count)) {
        // Drop a partial write so the file ends where the payload ends.
        m_file.Truncate(at);
        m_frameBroken = true;
        return false;
    }
    m_frameHeader.size += count;
    m_frameCrc = CCRC::RunCRC32(static_cast<const std::uint8_t*>(buffer), count, kRSCrc32Polynomial, m_frameCrc);
    return true;
}

bool CRSData::FlushBuffer() {
    bool ok = true;
    if (m_writeFill > 0 && !m_file.Write(m_writeBuffer.data(), m_writeFill)) {
        m_pending = RS_ERROR_WRITE_FAILED;
        ok = false;
    }
    m_writeBuffer.clear();
    m_writeFill = 0;
    return ok;
}
