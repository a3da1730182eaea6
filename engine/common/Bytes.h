#pragma once
// Bounds-checked little- and big-endian field reads from on-disk bytes. Every
// disk structure is read through these: a read that would pass the end of the
// buffer answers 0, so a damaged record can never read out of bounds. Callers
// still check lengths first (with Has) to tell damage from zero.
#include <cstddef>
#include <cstdint>
#include <span>

namespace bytes {

using Bytes = std::span<const std::uint8_t>;

// off <= size && size - off >= n, written so that it cannot wrap.
inline bool Has(Bytes b, std::size_t off, std::size_t n) { return off <= b.size() && b.size() - off >= n; }

template <typename T>
T LoadLe(Bytes b, std::size_t off) {
    if (!Has(b, off, sizeof(T))) return 0;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v |= static_cast<T>(static_cast<T>(b[off + i]) << (8 * i));
    return v;
}

template <typename T>
T LoadBe(Bytes b, std::size_t off) {
    if (!Has(b, off, sizeof(T))) return 0;
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>((v << 8) | b[off + i]);
    return v;
}

inline std::uint8_t U8(Bytes b, std::size_t off) { return Has(b, off, 1) ? b[off] : 0; }
inline std::uint16_t Le16(Bytes b, std::size_t off) { return LoadLe<std::uint16_t>(b, off); }
inline std::uint32_t Le32(Bytes b, std::size_t off) { return LoadLe<std::uint32_t>(b, off); }
inline std::uint64_t Le64(Bytes b, std::size_t off) { return LoadLe<std::uint64_t>(b, off); }
inline std::uint16_t Be16(Bytes b, std::size_t off) { return LoadBe<std::uint16_t>(b, off); }
inline std::uint32_t Be32(Bytes b, std::size_t off) { return LoadBe<std::uint32_t>(b, off); }
inline std::uint64_t Be64(Bytes b, std::size_t off) { return LoadBe<std::uint64_t>(b, off); }

} // namespace bytes
