#pragma once
// Pieces shared by the archive, text and small-format analysers: where a
// sector's data ends before its zero tail, how far the device reaches from a
// record's start, and the zero-tail ending of streaming records.
#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PartneredRecord.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace BruteForce {

// The end of the sector's data: one past its last non-zero byte (0 when the
// sector is all zeros). Exact, so a text file ends where its text ends.
inline int DataEnd(const unsigned char* sector, int sectorBytes) {
    int e = sectorBytes;
    while (e > 0 && sector[e - 1] == 0) --e;
    return e;
}

// Bytes from the record's start sector to the device's end (0 when it lies
// past the end); a size read from a file is never allowed beyond them.
inline unsigned long long DeviceRoom(const CRawFileInfo& record, IStorageDevice* device) {
    const std::optional<RawFileRoom> where = RoomOf(record, device);
    return where ? where->room : 0;
}

// Bytes from the start of the record's file to the device's end, as the
// carver's window knows it (kUnknownEnd when it does not).
inline std::uint64_t WindowRoom(const CRawFileInfo::SearchContext& context, long long offset) {
    const std::uint64_t room = context.m_Window.BytesToDeviceEnd();
    return room == CRawWindow::kUnknownEnd ? room : room + static_cast<std::uint64_t>(offset);
}

// A streaming record whose format has no classic sizer: one the carver drops
// unfinished keeps no size.
class CUnpartneredRawFileInfo : public CPartneredRawFileInfo {
public:
    CUnpartneredRawFileInfo() : CPartneredRawFileInfo(nullptr) {}
    void WillBeRemove(unsigned char*, long long) override {}

protected:
    // The zero-tail ending: past the limit the file ends at this sector's
    // offset; else a sector with at least `minZero` zero bytes at its end and
    // at least `minEnd` bytes into the file ends it where its data ends.
    int ZeroTailEnd(unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context,
                    long long minEnd, unsigned long long limit, unsigned minZero, const char* separator) {
        if (!sector || sectorBytes <= 0) return 2;
        const long long offset = (sectorNumber - m_llStartSector) * sectorBytes;
        if (offset < 0) return 2;
        if (static_cast<unsigned long long>(offset) > limit)
            return Settle(static_cast<unsigned long long>(offset), sectorNumber, separator);
        if (context.m_nTrailingZero < minZero) return 2;
        // The minimum bounds the file's end, not the sector's offset: a file
        // smaller than a sector ends in its first sector.
        const long long end = offset + DataEnd(sector, sectorBytes);
        if (end < minEnd) return 2;
        return Settle(static_cast<unsigned long long>(end), sectorNumber, separator);
    }
};

// The same ending for records that do have a classic partner.
class CZeroTailPartneredRawFileInfo : public CPartneredRawFileInfo {
public:
    using CPartneredRawFileInfo::CPartneredRawFileInfo;

protected:
    int ZeroTailEnd(unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context,
                    long long minEnd, unsigned long long limit, bool evenEnd) {
        if (!sector || sectorBytes <= 0) return 2;
        const long long offset = (sectorNumber - m_llStartSector) * sectorBytes;
        if (offset < 0) return 2;
        if (static_cast<unsigned long long>(offset) > limit)
            return Settle(static_cast<unsigned long long>(offset), sectorNumber, "_");
        if (context.m_nTrailingZero < 8) return 2;
        int e = DataEnd(sector, sectorBytes);
        // Two-byte text keeps the high byte of its last character.
        if (evenEnd) e = std::min(sectorBytes, (e + 1) & ~1);
        if (offset + e < minEnd) return 2;
        return Settle(static_cast<unsigned long long>(offset + e), sectorNumber, "_");
    }
};

} // namespace BruteForce
