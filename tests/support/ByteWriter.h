#pragma once
// Stores for building on-disk structures in tests: explicit little- and
// big-endian, never the host's order, and checked, so that a wrong offset
// fails the test (std::out_of_range) instead of writing past the buffer.
// Buffer: std::vector<std::uint8_t>, std::string or anything with at().
#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace salvor::test {

// The n low bytes of v at off, least significant first.
template <class Buffer>
void PutLe(Buffer& b, std::size_t off, std::uint64_t v, std::size_t n) {
    using Byte = std::remove_reference_t<decltype(b.at(0))>;
    for (std::size_t i = 0; i < n; ++i, v >>= 8) b.at(off + i) = static_cast<Byte>(v & 0xFF);
}

// The n low bytes of v at off, most significant first.
template <class Buffer>
void PutBe(Buffer& b, std::size_t off, std::uint64_t v, std::size_t n) {
    using Byte = std::remove_reference_t<decltype(b.at(0))>;
    for (std::size_t i = n; i > 0; --i, v >>= 8) b.at(off + i - 1) = static_cast<Byte>(v & 0xFF);
}

template <class Buffer> void PutLe16(Buffer& b, std::size_t off, std::uint16_t v) { PutLe(b, off, v, 2); }
template <class Buffer> void PutLe32(Buffer& b, std::size_t off, std::uint32_t v) { PutLe(b, off, v, 4); }
template <class Buffer> void PutLe64(Buffer& b, std::size_t off, std::uint64_t v) { PutLe(b, off, v, 8); }
template <class Buffer> void PutBe16(Buffer& b, std::size_t off, std::uint16_t v) { PutBe(b, off, v, 2); }
template <class Buffer> void PutBe32(Buffer& b, std::size_t off, std::uint32_t v) { PutBe(b, off, v, 4); }
template <class Buffer> void PutBe64(Buffer& b, std::size_t off, std::uint64_t v) { PutBe(b, off, v, 8); }

// v little-endian in as many bytes as its type has.
template <class Buffer, class T>
void PutLeOf(Buffer& b, std::size_t off, T v) {
    static_assert(std::is_integral_v<T> || std::is_enum_v<T>);
    PutLe(b, off, static_cast<std::uint64_t>(v), sizeof v);
}

} // namespace salvor::test
