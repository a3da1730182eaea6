// The R2007 drawing header: any 984 bytes de-interleaved and, when they say
// so, expanded; and any bytes straight through the decompressor into an
// output of any length up to the header's 272 bytes (the first input byte).
// Exactly sized buffers, so ASan sees any byte read or written outside them.
#include "engine/carver/analysers/DwgAnalyser.h"

#include <cstdint>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    if (data[0] & 1) {
        const std::vector<std::uint8_t> encoded(data + 1, data + size);
        (void)dwg::R2007Header(encoded);
        return 0;
    }
    const std::size_t capacity = std::size_t{data[0]} + 16;
    auto out = std::make_unique<std::uint8_t[]>(capacity);
    const std::vector<std::uint8_t> in(data + 1, data + size);
    (void)dwg::DecompressR2007(in, std::span<std::uint8_t>(out.get(), capacity));
    return 0;
}
