#include "savedscan/CRC.h"

#include <array>

namespace {

// One routine for both widths: Width is 16 or 32, Value the unsigned type
// that holds it (arithmetic is done in 32 bits and masked back).
template <typename Value, unsigned Width>
Value RunCrc(const std::uint8_t* data, std::size_t count, Value polynomial, std::uint32_t crc = 0) {
    static_assert(Width == 16 || Width == 32);
    constexpr std::uint32_t topBit = std::uint32_t{1} << (Width - 1);
    constexpr std::uint32_t mask = Width == 32 ? 0xFFFFFFFFu : (std::uint32_t{1} << Width) - 1;
    if (data == nullptr || count == 0)
        return static_cast<Value>(crc & mask);

    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t byte = 0; byte < 256; ++byte) {
        std::uint32_t reg = byte << (Width - 8);
        for (int bit = 0; bit < 8; ++bit)
            reg = (reg & topBit) ? ((reg << 1) ^ polynomial) : (reg << 1);
        table[byte] = reg & mask;
    }

    crc &= mask;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t index = ((crc >> (Width - 8)) ^ data[i]) & 0xFF;
        crc = ((crc << 8) ^ table[index]) & mask;
    }
    return static_cast<Value>(crc);
}

} // namespace

std::uint16_t CCRC::RunCRC16(const std::uint8_t* data, std::size_t count, std::uint16_t polynomial) {
    return RunCrc<std::uint16_t, 16>(data, count, polynomial);
}

std::uint32_t CCRC::RunCRC32(const std::uint8_t* data, std::size_t count, std::uint32_t polynomial) {
    return RunCrc<std::uint32_t, 32>(data, count, polynomial);
}

std::uint32_t CCRC::RunCRC32(const std::uint8_t* data, std::size_t count, std::uint32_t polynomial, std::uint32_t crc) {
    return RunCrc<std::uint32_t, 32>(data, count, polynomial, crc);
}
