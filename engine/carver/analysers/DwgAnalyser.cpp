#include "engine/carver/analysers/DwgAnalyser.h"

#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace dwg {

namespace {

// A piece of a literal run: `width` source bytes at `offset`. Widths 1 to 3
// are stored backwards, 4 and 8 in order, 16 as its two 8-byte halves
// swapped; a run's pieces are written one after the other.
struct Piece {
    std::uint8_t offset, width;
};
// The pieces of a literal run of 1 to 31 bytes (R2007 stores literals in
// this shuffled order); a run of 32 is two 16-byte pieces, the upper first.
constexpr Piece kRuns[32][6] = {
    {},
    {{0, 1}},
    {{0, 2}},
    {{0, 3}},
    {{0, 4}},
    {{4, 1}, {0, 4}},
    {{5, 1}, {1, 4}, {0, 1}},
    {{5, 2}, {1, 4}, {0, 1}},
    {{0, 8}},
    {{8, 1}, {0, 8}},
    {{9, 1}, {1, 8}, {0, 1}},
    {{9, 2}, {1, 8}, {0, 1}},
    {{8, 4}, {0, 8}},
    {{12, 1}, {8, 4}, {0, 8}},
    {{13, 1}, {9, 4}, {1, 8}, {0, 1}},
    {{13, 2}, {9, 4}, {1, 8}, {0, 1}},
    {{0, 16}},
    {{9, 8}, {8, 1}, {0, 8}},
    {{17, 1}, {1, 16}, {0, 1}},
    {{16, 3}, {0, 16}},
    {{16, 4}, {0, 16}},
    {{20, 1}, {16, 4}, {0, 16}},
    {{20, 2}, {16, 4}, {0, 16}},
    {{20, 3}, {16, 4}, {0, 16}},
    {{16, 8}, {0, 16}},
    {{17, 8}, {16, 1}, {0, 16}},
    {{25, 1}, {17, 8}, {16, 1}, {0, 16}},
    {{25, 2}, {17, 8}, {16, 1}, {0, 16}},
    {{24, 4}, {16, 8}, {0, 16}},
    {{28, 1}, {24, 4}, {16, 8}, {0, 16}},
    {{28, 2}, {24, 4}, {16, 8}, {0, 16}},
    {{30, 1}, {26, 4}, {18, 8}, {2, 16}, {0, 2}},
};

std::uint8_t* Put(std::uint8_t* dst, const std::uint8_t* src, Piece p) {
    switch (p.width) {
    case 16:
        dst = std::copy_n(src + p.offset + 8, 8, dst);
        return std::copy_n(src + p.offset, 8, dst);
    case 8:
    case 4: return std::copy_n(src + p.offset, p.width, dst);
    default: return std::reverse_copy(src + p.offset, src + p.offset + p.width, dst);
    }
}

class Decoder {
public:
    Decoder(bytes::Bytes in, std::span<std::uint8_t> out) : m_in(in), m_out(out) {}

    bool Run() {
        std::uint8_t opcode = 0;
        if (!Byte(opcode)) return false;
        std::size_t literal = 0;
        if ((opcode & 0xF0) == 0x20) {
            std::uint8_t skip = 0, b = 0;
            if (!Byte(skip) || !Byte(skip) || !Byte(b)) return false;
            literal = b & 7;
        }
        while (m_ip < m_in.size()) {
            if (literal == 0 && !LiteralLength(opcode, literal)) return false;
            if (!Literal(literal)) return false;
            if (m_ip >= m_in.size()) break;
            if (!Byte(opcode)) return false;
            std::size_t offset = 0, length = 0;
            if (!Instruction(opcode, offset, length)) return false;
            for (;;) {
                if (!Reference(offset, length)) return false;
                literal = opcode & 7;
                if (literal != 0 || m_ip >= m_in.size()) break;
                if (!Byte(opcode)) return false;
                if ((opcode >> 4) == 0) break;
                if ((opcode >> 4) == 0xF) opcode &= 0x0F;
                if (!Instruction(opcode, offset, length)) return false;
            }
        }
        return true;
    }

private:
    bool Byte(std::uint8_t& b) {
        if (m_ip >= m_in.size()) return false;
        b = m_in[m_ip++];
        return true;
    }

    bool LiteralLength(std::uint8_t opcode, std::size_t& length) {
        length = std::size_t{opcode} + 8;
        if (length != 0x17) return true;
        std::uint8_t n = 0;
        if (!Byte(n)) return false;
        length += n;
        if (n != 0xFF) return true;
        // Each further 16-bit count consumes input: the loop ends with it.
        for (;;) {
            std::uint8_t lo = 0, hi = 0;
            if (!Byte(lo) || !Byte(hi)) return false;
            const std::size_t more = lo | std::size_t{hi} << 8;
            length += more;
            if (length > m_out.size()) return false;
            if (more != 0xFFFF) return true;
        }
    }

    bool Instruction(std::uint8_t& opcode, std::size_t& offset, std::size_t& length) {
        std::uint8_t a = 0, b = 0;
        switch (opcode >> 4) {
        case 0:
            length = (opcode & 0x0F) + 0x13;
            if (!Byte(a) || !Byte(opcode)) return false;
            length += (opcode >> 3) & 0x10;
            offset = a + (std::size_t{opcode & 0x78u} << 5) + 1;
            return true;
        case 1:
            length = (opcode & 0x0F) + 3;
            if (!Byte(a) || !Byte(opcode)) return false;
            offset = a + (std::size_t{opcode & 0xF8u} << 5) + 1;
            return true;
        case 2:
            if (!Byte(a) || !Byte(b)) return false;
            offset = a | std::size_t{b} << 8;
            length = opcode & 7;
            if ((opcode & 8) == 0) {
                if (!Byte(opcode)) return false;
                length += opcode & 0xF8;
            } else {
                ++offset;
                if (!Byte(a) || !Byte(opcode)) return false;
                length += (std::size_t{a} << 3) + (std::size_t{opcode & 0xF8u} << 8) + 0x100;
            }
            return true;
        default:
            length = opcode >> 4;
            offset = opcode & 0x0F;
            if (!Byte(opcode)) return false;
            offset += (std::size_t{opcode & 0xF8u} << 1) + 1;
            return true;
        }
    }

    bool Literal(std::size_t length) {
        if (length > m_in.size() - m_ip || length > m_out.size() - m_op) return false;
        const std::uint8_t* src = m_in.data() + m_ip;
        std::uint8_t* dst = m_out.data() + m_op;
        m_ip += length;
        m_op += length;
        for (; length >= 32; length -= 32, src += 32) {
            dst = Put(dst, src, {16, 16});
            dst = Put(dst, src, {0, 16});
        }
        for (const Piece& p : kRuns[length])
            if (p.width) dst = Put(dst, src, p);
        return true;
    }

    bool Reference(std::size_t offset, std::size_t length) {
        if (offset == 0 || offset > m_op || length > m_out.size() - m_op) return false;
        // Byte by byte: a reference may overlap what it writes.
        for (std::size_t i = 0; i < length; ++i, ++m_op) m_out[m_op] = m_out[m_op - offset];
        return true;
    }

    bytes::Bytes m_in;
    std::span<std::uint8_t> m_out;
    std::size_t m_ip = 0, m_op = 0;
};

} // namespace

bool DecompressR2007(bytes::Bytes in, std::span<std::uint8_t> out) { return Decoder(in, out).Run(); }

std::optional<std::array<std::uint8_t, 272>> R2007Header(bytes::Bytes encoded) {
    constexpr std::size_t kBlocks = 3, kData = 239;
    if (encoded.size() < kBlocks * kData) return std::nullopt;
    std::array<std::uint8_t, kBlocks * kData> data{};
    for (std::size_t k = 0; k < kBlocks; ++k)
        for (std::size_t i = 0; i < kData; ++i) data[k * kData + i] = encoded[3 * i + k];
    const bytes::Bytes d(data);
    std::array<std::uint8_t, 272> header{};
    const std::uint32_t compressed = bytes::Le32(d, 24);
    if (compressed < 1) {
        std::copy_n(data.begin() + 32, header.size(), header.begin());
        return header;
    }
    if (compressed > data.size() - 32) return std::nullopt;
    if (!DecompressR2007(d.subspan(32, compressed), header)) return std::nullopt;
    return header;
}

} // namespace dwg

namespace BruteForce {

namespace {

int VersionClass(std::string_view version) {
    for (std::string_view v : {"AC1012", "AC1013", "AC1014", "AC1015"})
        if (version == v) return 1;
    for (std::string_view v : {"AC1018", "AC1024", "AC1027"})
        if (version == v) return 2;
    if (version == "AC1021") return 3;
    if (version == "AC1009") return 0;
    return -1;
}

} // namespace

int CDWGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 6);
    if (head.empty()) return 0;
    const int c = VersionClass(std::string_view(reinterpret_cast<const char*>(head.data()), 6));
    if (c < 0) return 0;
    m_nClass = c;
    info.m_eRawFileType = kDwgType;
    return 1;
}

int CDWGRawInfo::Finish(unsigned long long size, long long sectorNumber) {
    m_ullFileSize = size > kCap ? 0 : size;
    char name[64];
    std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
    SetRawFileName(name);
    return 1;
}

int CDWGRawInfo::LocatorRecords(long long sectorStart, int sectorBytes, long long sectorNumber,
                                const SearchContext& context) {
    const auto held = [&](long long at, std::size_t n) {
        return HeldBytes(context, sectorNumber, sectorBytes, at - sectorStart, n);
    };
    if (!m_bCountRead) {
        const bytes::Bytes count = held(21, 4);
        if (count.empty()) return 2;
        m_nRecordCount = bytes::Le32(count, 0);
        m_bCountRead = true;
        m_llPosition = 25;
    }
    while (m_nRecordIndex < m_nRecordCount) {
        const bytes::Bytes r = held(m_llPosition, 9);
        if (r.empty()) return 2;
        // The number byte counts the records: a mismatch is no drawing.
        if (r[0] != m_nRecordIndex) return Finish(0, sectorNumber);
        m_ullLargest = std::max<unsigned long long>(m_ullLargest, std::uint64_t{bytes::Le32(r, 1)} + bytes::Le32(r, 5));
        ++m_nRecordIndex;
        m_llPosition += 9;
    }
    return Finish(m_ullLargest, sectorNumber);
}

int CDWGRawInfo::Scrambled(long long sectorStart, int sectorBytes, long long sectorNumber,
                           const SearchContext& context) {
    const bytes::Bytes block = HeldBytes(context, sectorNumber, sectorBytes, 128 - sectorStart, 108);
    if (block.empty()) return 2;
    std::array<std::uint8_t, 108> d{};
    std::uint32_t s = 1;
    for (std::size_t i = 0; i < d.size(); ++i) {
        s = s * 214013u + 2531011u;
        d[i] = block[i] ^ static_cast<std::uint8_t>(s >> 16);
    }
    const bytes::Bytes b(d);
    if (bytes::Le32(b, 11) != 0 || bytes::Le64(b, 16) != 0x000000040000006CULL || bytes::Le32(b, 68) != 0x20 ||
        bytes::Le64(b, 72) != 0x0000004000000080ULL)
        return Finish(0, sectorNumber);
    const std::uint64_t at = bytes::Le64(b, 52);
    return Finish(at > kCap ? 0 : at + 108, sectorNumber);
}

int CDWGRawInfo::R2007(long long sectorStart, int sectorBytes, long long sectorNumber, const SearchContext& context) {
    // Collect the 984 bytes from byte 128, as far as this sector reaches.
    while (m_nCollected < kCollect) {
        const long long at = 128 + static_cast<long long>(m_nCollected);
        const long long inSector = at - sectorStart;
        if (inSector >= sectorBytes) return 2;
        const std::size_t n = std::min<std::size_t>(kCollect - m_nCollected, static_cast<std::size_t>(sectorBytes - inSector));
        const bytes::Bytes part = HeldBytes(context, sectorNumber, sectorBytes, inSector, n);
        if (part.empty()) return 2;
        std::copy(part.begin(), part.end(), m_Collected.begin() + static_cast<std::ptrdiff_t>(m_nCollected));
        m_nCollected += n;
        m_nToCollect = kCollect - m_nCollected;
    }
    const auto header = dwg::R2007Header(m_Collected);
    if (!header) return Finish(0, sectorNumber);
    return Finish(bytes::Le64(*header, 8), sectorNumber);
}

int CDWGRawInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    switch (m_nClass) {
    case 1: return LocatorRecords(sectorStart, sectorBytes, sectorNumber, context);
    case 2: return Scrambled(sectorStart, sectorBytes, sectorNumber, context);
    case 3: return R2007(sectorStart, sectorBytes, sectorNumber, context);
    default: return 1; // R12 drawings say nowhere how long they are
    }
}

} // namespace BruteForce
