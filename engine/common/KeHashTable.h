#pragma once
// A fixed-size open-addressing table keyed by case-insensitive text, with the
// three-hash scheme: hash 0 picks the first slot, hashes 1 and 2 check a slot.
#include <array>
#include <cstdint>
#include <cstring>

namespace kehash {

// 5 rows of 256 words.
const std::array<std::uint32_t, 5 * 256>& CryptTable();

// Hash of a key for hash type t (0, 1 or 2). Only ASCII letters are
// upper-cased, so any byte (UTF-8 included) indexes inside the table.
std::uint32_t HashString(const char* key, unsigned type);

} // namespace kehash

template <typename T, unsigned N>
class CKeHashTable {
    static_assert((N & (N - 1)) == 0, "table size is a power of two");

public:
    struct Slot {
        std::uint32_t value = 0;
        std::uint32_t used = 0;
        std::uint32_t check1 = 0;
        std::uint32_t check2 = 0;
    };

    // The slot holding key, or -1 (for a null key too).
    int GetHashTablePos(const char* key, int = 0) const { return Probe(key, false); }

    // Stores value under key in the first free slot; false when the table is full.
    bool Insert(const char* key, T value) {
        const int pos = Probe(key, true);
        if (pos < 0) return false;
        Slot& s = m_slots[static_cast<unsigned>(pos)];
        s.value = static_cast<std::uint32_t>(value);
        s.used = 1;
        s.check1 = kehash::HashString(key, 1);
        s.check2 = kehash::HashString(key, 2);
        return true;
    }

    bool Find(const char* key, T* out) const {
        const int pos = GetHashTablePos(key);
        if (pos < 0) return false;
        if (out) *out = static_cast<T>(m_slots[static_cast<unsigned>(pos)].value);
        return true;
    }

    void Clear() { m_slots = {}; }

private:
    // Walks the slots from hash 0 for one full turn: the first free slot
    // (wantFree) or the used slot whose check hashes match; -1 when none.
    int Probe(const char* key, bool wantFree) const {
        if (!key) return -1;
        const std::uint32_t h1 = kehash::HashString(key, 1);
        const std::uint32_t h2 = kehash::HashString(key, 2);
        const unsigned start = kehash::HashString(key, 0) & (N - 1);
        unsigned pos = start;
        do {
            const Slot& s = m_slots[pos];
            if (wantFree ? !s.used : (s.used && s.check1 == h1 && s.check2 == h2)) return static_cast<int>(pos);
            pos = (pos + 1) & (N - 1);
        } while (pos != start);
        return -1;
    }

    std::array<Slot, N> m_slots{};
};
