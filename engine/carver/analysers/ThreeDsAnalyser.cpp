#include "engine/carver/analysers/ThreeDsAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::uint16_t kMain = 0x4D4D;

bool IsMesh(bytes::Bytes head) { return bytes::Has(head, 0, 18) && bytes::Le16(head, 0) == kMain && bytes::Le16(head, 16) == 0x3D3D; }
bool IsRom(bytes::Bytes head) { return bytes::Has(head, 256, 4) && std::memcmp(head.data() + 256, "NCSD", 4) == 0; }

} // namespace

int File3DSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 512);
    if (head.empty() || IsRom(head)) return 0;
    if (bytes::Le16(head, 0) != kMain && bytes::Le16(head, 16) != 0x3D3D) return 0;
    info.m_eRawFileType = k3dsType;
    return 1;
}

int File3DSAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const auto where = RoomOf(record, device, 1);
    if (!where) return 0;
    const unsigned long long start = where->start, room = where->room;
    RawFileBuffer file(device, start);
    unsigned long long offset = 0;
    while (offset < kDeviceLimit) {
        const unsigned char* ahead = file.Fetch(offset + 88, 2);
        const unsigned char* here = file.Fetch(offset, 6);
        // The device ends: the walk so far is the file (nothing at its start).
        if (!here || !ahead) {
            if (offset == 0) return 0;
            break;
        }
        const std::uint16_t next = bytes::Le16(bytes::Bytes(ahead, 2), 0);
        if (next == kMain) {
            offset += 88;
            continue;
        }
        const bytes::Bytes chunk(here, 6);
        if (offset == 0 && next == 0 && bytes::Le16(chunk, 0) == kMain) {
            // Nothing 88 bytes in: the main chunk's own length is the file.
            const std::uint32_t whole = bytes::Le32(chunk, 2);
            if (whole > 88 && whole <= kDeviceLimit) {
                offset = whole;
                break;
            }
        }
        const std::uint16_t length = bytes::Le16(chunk, 2);
        if (bytes::Le16(chunk, 0) != kMain || next == 0 || length == 0) break;
        offset += length;
    }
    if (offset == 0) return 0;
    record.m_ullFileSize = std::min(offset, room);
    record.m_eRawFileType = k3dsType;
    return 1;
}

namespace RawSpeed {

int New3DSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 512);
    if (head.empty() || (!IsMesh(head) && !IsRom(head))) return 0;
    info.m_eRawFileType = k3dsType;
    return 1;
}

bool New3DSAnalyser::CouldStart(const unsigned char* sector, std::size_t bytes) {
    if (bytes < 512) return true;
    const bytes::Bytes head(sector, 512);
    return IsMesh(head) || IsRom(head);
}

int New3DSRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                   SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (m_bFirst) {
        const bytes::Bytes main = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, -sectorStart, 2);
        if (main.empty()) return 2;
        m_bFirst = false;
        m_bMesh = bytes::Le16(main, 0) == kMain;
    }
    const long long romCap = 5 * m_llLimit;
    if (!m_bMesh) {
        // A ROM image states its size in 512-byte units.
        const bytes::Bytes units = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, 260 - sectorStart, 4);
        if (units.empty()) return 2;
        const long long size = 512 * static_cast<long long>(bytes::Le32(units, 0));
        return Settle(static_cast<unsigned long long>(size <= romCap ? size : m_llLimit), sectorNumber, "_");
    }
    if (sectorStart > romCap) return 1;
    const long long sectorEnd = sectorStart + sectorBytes;
    const auto end = [&] { return Settle(static_cast<unsigned long long>(m_llWalk), sectorNumber, "_"); };
    while (m_llWalk < sectorEnd) {
        const long long position = m_llWalk;
        if (sectorEnd - position < kStep) {
            const bytes::Bytes chunk = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, position - sectorStart, 4);
            if (chunk.empty()) return 2;
            m_nId = bytes::Le16(chunk, 0);
            m_nLength = bytes::Le16(chunk, 2);
            m_bHeader = false;
            m_llWalk += kStep;
            continue;
        }
        const bytes::Bytes ahead = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, position + kStep - sectorStart, 2);
        if (ahead.empty()) return 2;
        const std::uint16_t next = bytes::Le16(ahead, 0);
        if (m_bHeader) {
            const bytes::Bytes chunk = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, position - sectorStart, 4);
            if (chunk.empty()) return 2;
            m_nId = bytes::Le16(chunk, 0);
            m_nLength = bytes::Le16(chunk, 2);
            m_nNextId = next;
        }
        if (next == kMain) {
            m_llWalk += kStep;
            continue;
        }
        long long base = position;
        if (!m_bHeader) base -= kStep;
        if (m_nId != kMain) {
            m_llWalk = base;
            return end();
        }
        if (m_nNextId == 0) {
            // Nothing 88 bytes into the main chunk to go by: its own length
            // (the whole file) is the mesh, rather than a cut at 88 bytes.
            if (base == 0 && m_bHeader) {
                const bytes::Bytes main = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, -sectorStart + 2, 4);
                const std::uint32_t whole = main.empty() ? 0 : bytes::Le32(main, 0);
                if (whole > kStep && whole <= static_cast<std::uint64_t>(m_llLimit)) {
                    m_llWalk = whole;
                    continue;
                }
            }
            // A step back and forward again would stand still: the mesh ends here.
            if (!m_bHeader) return end();
            m_llWalk = base + kStep;
            continue;
        }
        if (m_nLength < 89) {
            m_llWalk = base + kStep;
            return end();
        }
        m_llWalk = base + m_nLength;
        m_bHeader = true;
    }
    return 2;
}

} // namespace RawSpeed
