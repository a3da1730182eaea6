#pragma once
// Reads everything a damaged or foreign container offers, the way a loader
// would: header, status, description, then every known frame to its end.
// Shared by the damage tests and the fuzz target; any CRSException is an
// acceptable answer, anything else (crash, hang, sanitizer report) is not.
#include <cstdint>
#include <optional>
#include <vector>

#include "savedscan/RSData.h"

namespace rswalk {

inline constexpr tagGUIDSIGN kFrameA = {{0x10, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16, 0x17,
                                         0x18, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x1F}};
inline constexpr tagGUIDSIGN kFrameB = {{0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27,
                                         0x28, 0x29, 0x2A, 0x2B, 0x2C, 0x2D, 0x2E, 0x2F}};
inline constexpr tagGUIDSIGN kFrameC = {{0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                                         0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F}};

struct WalkResult {
    bool opened = false;
    bool headerValid = false;
    std::uint32_t errorCodes = 0; // bit n set: CRSException n was seen
    // One slot per asked GUID: the payload when the frame was read to its end.
    std::vector<std::optional<std::vector<std::uint8_t>>> payloads;
};

// Reads a frame in pieces of `piece` bytes (at least 1), checking that the
// remaining count and the cursor agree. Returns false when they do not.
inline bool ReadWholeFrame(CRSData& rs, unsigned piece, std::vector<std::uint8_t>& out) {
    const std::uint32_t size = rs.GetFrameSize();
    out.clear();
    std::vector<std::uint8_t> buf(piece);
    while (rs.GetFrameRemaining() > 0) {
        const std::uint32_t before = rs.GetFrameRemaining();
        const std::uint32_t take = before < piece ? before : piece;
        rs.ReadCurFrame(buf.data(), piece);
        if (rs.GetFrameRemaining() != before - take)
            return false;
        out.insert(out.end(), buf.begin(), buf.begin() + take);
    }
    // At the end nothing more is read.
    std::uint8_t probe = 0x5A;
    rs.ReadCurFrame(&probe, 1);
    return out.size() == size && probe == 0x5A;
}

inline WalkResult WalkContainer(const char* path, unsigned piece, const std::vector<tagGUIDSIGN>& guids) {
    WalkResult r;
    CRSData rs(RS_MODE_READ);
    r.opened = rs.StartRS(path, 0);
    if (!r.opened)
        return r;
    // Runs op; a container error only sets its bit.
    const auto attempt = [&](const auto& op) {
        try {
            op();
        } catch (const CRSException& e) {
            r.errorCodes |= 1u << (e.GetErrorcode() & 31);
        }
    };
    rs.CheckFile();
    FILEHEADER h;
    r.headerValid = rs.ReadFileHeader(h);
    attempt([&] { rs.GetStatus(); });
    char text[128];
    attempt([&] { rs.GetFileDescription(text, 1 + static_cast<int>(piece % 127)); });
    r.payloads.resize(guids.size());
    for (std::size_t i = 0; i < guids.size(); ++i)
        attempt([&] {
            rs.OpenFrame(guids[i]);
            std::vector<std::uint8_t> payload;
            if (!ReadWholeFrame(rs, piece == 0 ? 1 : piece, payload))
                r.errorCodes |= 1u; // bit 0: the cursor bookkeeping went wrong
            r.payloads[i] = std::move(payload);
            rs.CloseFrame();
        });
    rs.EndRS();
    return r;
}

} // namespace rswalk
