#include "engine/hfsplus/Lzvn.h"

#include <array>
#include <cstdint>

namespace hfsplus {
namespace {

// Instruction classes, chosen by the opcode byte.
enum Class : std::uint8_t {
    kSmallDistance,    // LLMMMDDD DDDDDDDD
    kMediumDistance,   // 101LLMMM DDDDDDMM DDDDDDDD
    kLargeDistance,    // LLMMM111 DDDDDDDD DDDDDDDD
    kPreviousDistance, // LLMMM110
    kSmallLiteral,     // 1110LLLL
    kLargeLiteral,     // 11100000 LLLLLLLL
    kSmallMatch,       // 1111MMMM
    kLargeMatch,       // 11110000 MMMMMMMM
    kNop,
    kEndOfStream,
    kUndefined,
};

constexpr std::array<Class, 256> MakeCaseTable() {
    std::array<Class, 256> t{};
    for (int op = 0; op < 256; ++op) {
        Class c = kSmallDistance;
        if ((op & 7) == 7)
            c = kLargeDistance;
        else if ((op & 7) == 6)
            c = kPreviousDistance;
        if (op >= 0xA0 && op <= 0xBF) c = kMediumDistance;
        if ((op >= 0x70 && op <= 0x7F) || (op >= 0xD0 && op <= 0xDF)) c = kUndefined;
        if (op >= 0xE0) c = op == 0xE0 ? kLargeLiteral : op < 0xF0 ? kSmallLiteral : op == 0xF0 ? kLargeMatch : kSmallMatch;
        t[static_cast<std::size_t>(op)] = c;
    }
    // Without literals a previous-distance instruction has no use: those
    // opcodes are end of stream, two no-ops and undefined ones.
    t[0x06] = kEndOfStream;
    t[0x0E] = t[0x16] = kNop;
    for (int op : {0x1E, 0x26, 0x2E, 0x36, 0x3E}) t[static_cast<std::size_t>(op)] = kUndefined;
    return t;
}
constexpr std::array<Class, 256> caseTable = MakeCaseTable();

}  // namespace

unsigned long lzvn_decode(void* destination, unsigned long destinationSize, const void* source,
                          unsigned long sourceSize) {
    auto* dst = static_cast<std::uint8_t*>(destination);
    const auto* src = static_cast<const std::uint8_t*>(source);
    if (!dst || !src) return 0;
    unsigned long in = 0, out = 0, distance = 0;
    // Copies up to count literal bytes; false when the source ends first.
    auto literals = [&](unsigned long count) {
        if (count > sourceSize - in) return false;
        for (unsigned long i = 0; i < count && out < destinationSize; ++i) dst[out++] = src[in + i];
        in += count;
        return true;
    };
    // Copies a match byte by byte (it may overlap what it produces).
    auto match = [&](unsigned long length) {
        if (distance == 0 || distance > out) return false;
        for (unsigned long i = 0; i < length && out < destinationSize; ++i, ++out) dst[out] = dst[out - distance];
        return true;
    };
    auto need = [&](unsigned long bytes) { return sourceSize - in >= bytes; };
    while (out < destinationSize) {
        if (!need(1)) return 0;
        const unsigned op = src[in];
        unsigned long lit = 0, len = 0;
        switch (caseTable[op]) {
        case kSmallDistance:
            if (!need(2)) return 0;
            lit = op >> 6, len = ((op >> 3) & 7) + 3, distance = ((op & 7u) << 8) | src[in + 1];
            in += 2;
            break;
        case kMediumDistance: {
            if (!need(3)) return 0;
            const unsigned v = src[in + 1] | (src[in + 2] << 8);
            lit = (op >> 3) & 3, len = (((op & 7u) << 2) | (v & 3)) + 3, distance = v >> 2;
            in += 3;
            break;
        }
        case kLargeDistance:
            if (!need(3)) return 0;
            lit = op >> 6, len = ((op >> 3) & 7) + 3, distance = src[in + 1] | (src[in + 2] << 8);
            in += 3;
            break;
        case kPreviousDistance:
            lit = op >> 6, len = ((op >> 3) & 7) + 3;
            in += 1;
            break;
        case kSmallLiteral:
            lit = op & 15;
            in += 1;
            break;
        case kLargeLiteral:
            if (!need(2)) return 0;
            lit = src[in + 1] + 16ul;
            in += 2;
            break;
        case kSmallMatch:
            len = op & 15;
            in += 1;
            break;
        case kLargeMatch:
            if (!need(2)) return 0;
            len = src[in + 1] + 16ul;
            in += 2;
            break;
        case kNop:
            in += 1;
            continue;
        case kEndOfStream:
            return out;
        case kUndefined:
            return 0;
        }
        if (!literals(lit)) return 0;
        if (len && !match(len)) return 0;
    }
    return out;
}

}  // namespace hfsplus
