#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "savedscan/CRC.h"

namespace {

const std::uint8_t* Text(const char* s) {
    return reinterpret_cast<const std::uint8_t*>(s);
}

// Bit-at-a-time reference of the same CRC family, to cross-check the tables
// for polynomials that have no published check value.
template <unsigned Width>
std::uint32_t BitwiseCrc(const std::vector<std::uint8_t>& data, std::uint32_t poly) {
    const std::uint64_t top = std::uint64_t{1} << (Width - 1), mask = (std::uint64_t{1} << Width) - 1;
    std::uint64_t crc = 0;
    for (std::uint8_t byte : data)
        for (int bit = 7; bit >= 0; --bit) {
            const bool flip = (((byte >> bit) & 1) != 0) != ((crc & top) != 0);
            crc = ((crc << 1) & mask) ^ (flip ? poly : 0);
        }
    return static_cast<std::uint32_t>(crc);
}

} // namespace

TEST(CRCTest, PublishedCheckValues) {
    // CRC-16/UMTS (0x8005) and CRC-16/XMODEM (0x1021), as the container uses them.
    EXPECT_EQ(CCRC::RunCRC16(Text("123456789"), 9, 0x8005), 0xFEE8);
    EXPECT_EQ(CCRC::RunCRC16(Text("abc"), 3, 0x8005), 0xCADB);
    EXPECT_EQ(CCRC::RunCRC16(Text("123456789"), 9, 0x1021), 0x31C3);
    // CRC-32/POSIX (cksum): polynomial 0x04C11DB7, initial 0, no reflection, final XOR ~0.
    EXPECT_EQ(CCRC::RunCRC32(Text("123456789"), 9, 0x04C11DB7) ^ 0xFFFFFFFFu, 0x765E7680u);
    // Empty input.
    EXPECT_EQ(CCRC::RunCRC16(Text("x"), 0, 0x8005), 0);
    EXPECT_EQ(CCRC::RunCRC16(nullptr, 10, 0x8005), 0);
    EXPECT_EQ(CCRC::RunCRC32(nullptr, 0, 0x04C11DB7), 0u);
}

TEST(CRCTest, TablesAgreeWithBitwiseReferenceOnRandomData) {
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        std::vector<std::uint8_t> data(rng() % 300);
        for (auto& b : data)
            b = static_cast<std::uint8_t>(rng());
        const auto poly16 = static_cast<std::uint16_t>(rng() | 1);
        const auto poly32 = static_cast<std::uint32_t>(rng() | 1);
        ASSERT_EQ(CCRC::RunCRC16(data.data(), data.size(), poly16), BitwiseCrc<16>(data, poly16));
        ASSERT_EQ(CCRC::RunCRC32(data.data(), data.size(), poly32), BitwiseCrc<32>(data, poly32));
    }
}
