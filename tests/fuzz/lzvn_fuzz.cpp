// The LZVN decoder on any bytes, into a destination of any capacity (the
// first input byte): it never writes past it nor reads past the source, and
// never answers more than the capacity.
#include "engine/hfsplus/Lzvn.h"

#include <cstdint>
#include <memory>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::size_t capacity = std::size_t{data[0]} << (data[1] & 7);
    // Exactly sized buffers, so ASan sees any byte outside them.
    auto out = std::make_unique<std::uint8_t[]>(capacity + 1);
    auto in = std::make_unique<std::uint8_t[]>(size - 2);
    std::copy(data + 2, data + size, in.get());
    if (hfsplus::lzvn_decode(out.get(), capacity, in.get(), size - 2) > capacity) __builtin_trap();
    return 0;
}
