#pragma once
// Shared argument checks of device reads.
#include <climits>
#include <cstdint>

namespace device_detail {

// True when [first, first + count) sectors of sectorSize bytes can be turned
// into a byte offset and length without overflow, and the request is sane.
inline bool ByteRangeFits(long long first, long long count, unsigned sectorSize, long long baseBytes = 0) {
    if (first < 0 || count < 1 || sectorSize == 0 || baseBytes < 0)
        return false;
    const long long ss = static_cast<long long>(sectorSize);
    if (first > LLONG_MAX / ss || count > LLONG_MAX / ss)
        return false;
    const long long offset = first * ss;
    const long long length = count * ss;
    if (offset > LLONG_MAX - baseBytes)
        return false;
    return offset + baseBytes <= LLONG_MAX - length;
}

// A usable sector size taken from a record: a positive multiple of 512 that
// fits 32 bits, else fallback.
inline unsigned SaneSectorSize(long long size, unsigned fallback) {
    return size >= 512 && size % 512 == 0 && size <= 0x1000000 ? static_cast<unsigned>(size) : fallback;
}

} // namespace device_detail

namespace device_detail {
// Offsets from a device class's result-code site.
inline constexpr std::uint16_t kOpen = 0, kRead = 1, kIoctl = 2, kInfo = 3;
} // namespace device_detail
