#include "engine/common/KeHashTable.h"

namespace kehash {

const std::array<std::uint32_t, 5 * 256>& CryptTable() {
    static const std::array<std::uint32_t, 5 * 256> table = [] {
        std::array<std::uint32_t, 5 * 256> t{};
        std::uint32_t seed = 0x00100001;
        for (unsigned i = 0; i < 256; ++i) {
            for (unsigned r = 0; r < 5; ++r) {
                const std::uint32_t a = (seed * 125 + 3) % 0x2AAAAB;
                seed = (a * 125 + 3) % 0x2AAAAB;
                t[r * 256 + i] = (a << 16) | (seed & 0xFFFF);
            }
        }
        return t;
    }();
    return table;
}

std::uint32_t HashString(const char* key, unsigned type) {
    const auto& table = CryptTable();
    std::uint32_t s1 = 0x7FED7FED;
    std::uint32_t s2 = 0xEEEEEEEE;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(key); *p; ++p) {
        std::uint32_t c = *p;
        if (c >= 'a' && c <= 'z') c -= 'a' - 'A';
        s1 = (s1 + s2) ^ table[(type % 5) * 256 + c];
        s2 = s2 * 97 + c + s1;
    }
    return s1;
}

} // namespace kehash
