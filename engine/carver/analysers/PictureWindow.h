#pragma once
// Reads for streaming picture records: bytes around the sector being shown,
// limited to what the carver has really read (its window ends in a margin of
// zeros that a walk must never take for file data).
#include "engine/carver/RawFileInfo.h"

namespace BruteForce {

// n bytes at `offset` from the current sector's start (negative reaches into
// earlier sectors), or empty when any of them has not been read yet.
inline bytes::Bytes HeldBytes(const CRawFileInfo::SearchContext& context, long long sectorNumber, int sectorBytes,
                              long long offset, std::size_t n) {
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    if (offset + static_cast<long long>(n) > held) return {};
    return context.m_Window.At(offset, n);
}

// A first-sector size taken as the file's when it is one that fits on the
// device: sets the record's size and type and answers 1, else 0.
inline int SizedWithinDevice(CRawFileInfo& info, const CRawWindow& window, std::uint64_t size, unsigned type) {
    if (size == 0 || size > window.BytesToDeviceEnd()) return 0;
    info.m_ullFileSize = size;
    info.m_eRawFileType = type;
    return 1;
}

} // namespace BruteForce
