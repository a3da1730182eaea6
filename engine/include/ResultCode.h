#pragma once
// Engine result codes: 64-bit, 0 is success. A failure carries 0x01 in the top
// byte, the library's number in the next byte, a site number in the next 16
// bits and an error number in the low 32 bits. Callers test only the top byte.
#include <cstdint>

using ResultCode = std::uint64_t;

namespace ResultLib {
inline constexpr std::uint8_t Enumeration = 0x03;
inline constexpr std::uint8_t Controller = 0x04;
inline constexpr std::uint8_t HfsPlus = 0x05;
inline constexpr std::uint8_t FatSearch = 0x0a;
inline constexpr std::uint8_t Writer = 0x0d;
inline constexpr std::uint8_t Device = 0x0e;
inline constexpr std::uint8_t Partition = 0x10;
inline constexpr std::uint8_t NtfsSearch = 0x12;
} // namespace ResultLib

constexpr ResultCode MakeResult(std::uint8_t library, std::uint16_t site, std::uint32_t error) {
    return (ResultCode{0x01} << 56) | (ResultCode{library} << 48) | (ResultCode{site} << 32) | error;
}

constexpr bool IsFailure(ResultCode code) { return (code >> 56) != 0; }
constexpr bool IsSuccess(ResultCode code) { return (code >> 56) == 0; }
constexpr std::uint8_t ResultLibrary(ResultCode code) { return static_cast<std::uint8_t>(code >> 48); }
constexpr std::uint16_t ResultSite(ResultCode code) { return static_cast<std::uint16_t>(code >> 32); }
constexpr std::uint32_t ResultError(ResultCode code) { return static_cast<std::uint32_t>(code); }

static_assert(MakeResult(ResultLib::Controller, 0x38, 1) == 0x104003800000001ULL);
