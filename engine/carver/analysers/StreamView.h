#pragma once
// The bytes of a file being followed, addressed from the file's first byte,
// as the carver's window holds them around the sector being shown: the
// previous block (while held), the current block, then a zero margin. Only
// bytes the device gave count as ready: a unit that runs past the current
// block is read in a later step, not from the margin.
#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawFileInfo.h"

#include <optional>

namespace BruteForce {

class CStreamView {
public:
    CStreamView(const CRawFileInfo& record, int sectorBytes, long long sector, const CRawFileInfo::SearchContext& ctx)
        : m_ctx(ctx) {
        const long long ss = sectorBytes > 0 ? sectorBytes : 0;
        m_here = (sector - record.m_llStartSector) * ss;
        const long long end = (ctx.m_llWindowEnd - record.m_llStartSector) * ss;
        m_ready = end > 0 ? static_cast<unsigned long long>(end) : 0;
        m_covered = static_cast<unsigned long long>(m_here + ss);
    }
    // True when the n bytes at offset have been read from the device.
    bool Ready(unsigned long long offset, std::size_t n) const { return offset <= m_ready && m_ready - offset >= n; }
    // The n bytes at offset; empty when not ready or no longer held.
    bytes::Bytes At(unsigned long long offset, std::size_t n) const {
        if (!Ready(offset, n)) return {};
        return m_ctx.m_Window.At(static_cast<long long>(offset) - m_here, n);
    }
    // Bytes from the file's start to the end of the current sector.
    unsigned long long Covered() const { return m_covered; }
    // Bytes from the file's start to the start of the current sector.
    unsigned long long Before() const { return static_cast<unsigned long long>(m_here); }
    unsigned long long ReadyEnd() const { return m_ready; }

private:
    const CRawFileInfo::SearchContext& m_ctx;
    long long m_here = 0;
    unsigned long long m_ready = 0;
    unsigned long long m_covered = 0;
};

// Bytes from a record's start sector to the device's end: classic sizers
// never size a file past it.
inline unsigned long long DeviceRoom(IStorageDevice* device, long long startSector) {
    const std::optional<RawFileRoom> where = RoomOf(device, startSector);
    return where ? where->room : 0;
}

} // namespace BruteForce
