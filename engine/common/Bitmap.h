#pragma once
// A bit array over a device's clusters or sectors. Bit i lives in byte i / 8
// under the mask 1 << (i mod 8).
#include <cstdint>
#include <vector>

class TBitmap {
public:
    // False for count below 1 (the bitmap is then left as it was).
    bool CreateBitmap(long long count, unsigned unit);
    // Sets (value != 0) or clears n bits from index on, stopping at the last index.
    bool SetBit(long long index, int value, unsigned n);
    int GetBit(long long index) const;
    // v != 0 clears every byte; v == 0 sets every byte to 0xFF.
    bool FillBitmap(int v);
    void DestroyBitmap();

    long long GetMaxBitIndex() const { return m_lastIndex; }
    unsigned long long GetBitmapSize() const { return m_bits.size(); }
    const std::uint8_t* GetBitmapData() const { return m_bits.empty() ? nullptr : m_bits.data(); }
    unsigned GetUnit() const { return m_unit; }

private:
    std::vector<std::uint8_t> m_bits;
    long long m_lastIndex = -1;
    unsigned m_unit = 1;
};
