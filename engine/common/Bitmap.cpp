#include "engine/common/Bitmap.h"

#include <algorithm>

bool TBitmap::CreateBitmap(long long count, unsigned unit) {
    if (count < 1) return false;
    std::vector<std::uint8_t> bits(static_cast<size_t>((count + 7) / 8), 0);
    m_bits.swap(bits);
    m_lastIndex = count - 1;
    m_unit = unit;
    return true;
}

bool TBitmap::SetBit(long long index, int value, unsigned n) {
    if (index < 0 || index > m_lastIndex) return false;
    if (n == 0) return true;
    const long long end = std::min<long long>(m_lastIndex, index + static_cast<long long>(n) - 1);
    for (long long i = index; i <= end; ++i) {
        const std::uint8_t mask = static_cast<std::uint8_t>(1u << (i % 8));
        if (value)
            m_bits[static_cast<size_t>(i / 8)] |= mask;
        else
            m_bits[static_cast<size_t>(i / 8)] &= static_cast<std::uint8_t>(~mask);
    }
    return true;
}

int TBitmap::GetBit(long long index) const {
    if (index < 0 || index > m_lastIndex) return 0;
    return (m_bits[static_cast<size_t>(index / 8)] >> (index % 8)) & 1;
}

bool TBitmap::FillBitmap(int v) {
    if (m_bits.empty()) return false;
    std::fill(m_bits.begin(), m_bits.end(), v ? 0x00 : 0xFF);
    return true;
}

void TBitmap::DestroyBitmap() {
    std::vector<std::uint8_t>().swap(m_bits);
    m_lastIndex = -1;
}
