#pragma once
// Table-driven CRCs, most significant bit first, initial value 0, no
// reflection and no final XOR. The scan-result header is checked with
// RunCRC16 and the polynomial 0x8005 (CRC-16/UMTS).
#include <cstddef>
#include <cstdint>

class CCRC {
public:
    // 0 for an empty buffer. The table is built from the polynomial on
    // every call: callers checksum a 132-byte header, never bulk data.
    static std::uint16_t RunCRC16(const std::uint8_t* data, std::size_t count, std::uint16_t polynomial);
    static std::uint32_t RunCRC32(const std::uint8_t* data, std::size_t count, std::uint32_t polynomial);
};
