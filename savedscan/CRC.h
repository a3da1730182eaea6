#pragma once
// Table-driven CRCs, most significant bit first, initial value 0, no
// reflection and no final XOR. The scan-result header is checked with
// RunCRC16 and the polynomial 0x8005 (CRC-16/UMTS).
#include <cstddef>
#include <cstdint>

class CCRC {
public:
    // 0 for an empty buffer. The table is built from the polynomial on
    // every call: callers pass the header or pieces of a megabyte and more.
    static std::uint16_t RunCRC16(const std::uint8_t* data, std::size_t count, std::uint16_t polynomial);
    static std::uint32_t RunCRC32(const std::uint8_t* data, std::size_t count, std::uint32_t polynomial);
    // Goes on from crc, the value over the bytes before data: a payload is
    // checksummed piece by piece.
    static std::uint32_t RunCRC32(const std::uint8_t* data, std::size_t count, std::uint32_t polynomial,
                                  std::uint32_t crc);
};
