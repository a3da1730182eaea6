#include "engine/carver/analysers/SmallFormatAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <cctype>
#include <cstring>

using BruteForce::SizedWithinDevice;

namespace {

bool SameNoCase(const unsigned char* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

constexpr unsigned char kChmGuid1[16] = {0x10, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                                         0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
constexpr unsigned char kChmGuid2[16] = {0x11, 0xFD, 0x01, 0x7C, 0xAA, 0x7B, 0xD0, 0x11,
                                         0x9E, 0x0C, 0x00, 0xA0, 0xC9, 0x22, 0xE6, 0xEC};
// The second class id; Free Pascal's compiler writes the first one twice,
// and readers accept its files, so both are taken.
bool SecondGuid(const unsigned char* p) {
    return (p[0] == 0x10 || p[0] == 0x11) && std::memcmp(p + 1, kChmGuid2 + 1, 15) == 0;
}

constexpr unsigned char kFh11[12] = {0x02, 0x00, 0x04, 0x1C, 0x01, 0x14, 0x00, 0x02, 0x00, 0x14, 0x1C, 0x01};

} // namespace

int FileHLPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 16);
    if (h.empty() || bytes::Le32(h, 0) != 0x00035F3F) return 0;
    const std::uint32_t size = bytes::Le32(h, 12);
    if (size < 512 || size < bytes::Le32(h, 4)) return 0;
    return SizedWithinDevice(info, w, size, kType);
}

int FileCHMAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 120);
    if (h.empty() || std::memcmp(h.data(), "ITSF", 4) != 0 || bytes::Le32(h, 8) != 96 ||
        std::memcmp(h.data() + 24, kChmGuid1, 16) != 0 || !SecondGuid(h.data() + 40) ||
        bytes::Le32(h, 96) != 0x1FE || bytes::Le32(h, 112) != 0 || bytes::Le32(h, 116) != 0)
        return 0;
    return SizedWithinDevice(info, w, bytes::Le64(h, 104), kType);
}

int FileITLAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const CRawWindow w = info.WindowAt(sector);
    const bytes::Bytes h = w.At(0, 12);
    if (h.empty() || std::memcmp(h.data(), "hdfm", 4) != 0) return 0;
    return SizedWithinDevice(info, w, bytes::Be32(h, 8), kType);
}

int FileCPTAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 56);
    if (h.empty() || std::memcmp(h.data(), "CPT", 3) != 0 || std::memcmp(h.data() + 4, "FILE", 4) != 0 ||
        bytes::Le32(h, 52) != 316)
        return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileCPTAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = BruteForce::DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    bool ok = true;
    const auto u32 = [&](std::uint64_t at) -> std::uint64_t {
        const unsigned char* p = ok ? file.Fetch(at, 4) : nullptr;
        if (!p) ok = false;
        return p ? bytes::Le32(bytes::Bytes(p, 4), 0) : 0;
    };
    const std::uint64_t t = u32(52), n = u32(40);
    if (!ok || n == 0) return 0;
    const std::uint64_t q = u32(t + 8 * n - 8);
    std::uint64_t p = q + 60;
    const std::uint64_t mark = u32(q + 32);
    if (mark != 0 && u32(q + 60) == mark) p += mark;
    const std::uint64_t a = u32(p), b = u32(p + 4);
    std::uint64_t size = q;
    if (a != 0 && b != 0 && a >= 8) size = u32(a - 8) + u32(a - 4);
    if (!ok) return 0;
    info.m_ullFileSize = std::min<std::uint64_t>(size, room);
    info.m_eRawFileType = kType;
    return 1;
}

namespace BruteForce {

int CFH11Analyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 36);
    if (h.empty() || std::memcmp(h.data() + 4, kFh11, 12) != 0 || h[34] != '1' || h[35] != '1') return 0;
    info.m_eRawFileType = kType;
    return 1;
}

CRawFileInfo* CFH11Analyser::CreateRawFileInfo() {
    auto* r = new CZeroEndRawFileInfo();
    r->m_ullMaxSize = kLimit;
    r->m_nUnit = 4;
    r->m_eRawFileType = kType;
    return r;
}

} // namespace BruteForce

namespace RawSpeed {

int CZeroTailAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !m_accepts(info.WindowAt(sector).At(0, 16))) return 0;
    info.m_eRawFileType = m_nType;
    return 1;
}

PSAFE3Analyser::PSAFE3Analyser()
    : CZeroTailAnalyser(kType, 20, 52428800, [](bytes::Bytes h) {
          return !h.empty() && (SameNoCase(h.data(), "PWS3", 4) || SameNoCase(h.data() + 3, "PWS3", 4));
      }) {}

JKSAnalyser::JKSAnalyser()
    : CZeroTailAnalyser(kType, 20, 0xA00000, [](bytes::Bytes h) {
          return !h.empty() && h[0] == 0xFE && h[1] == 0xED && h[2] == 0xFE && h[3] == 0xED;
      }) {}

SIBAnalyser::SIBAnalyser()
    : CZeroTailAnalyser(kType, 512, 0xA00000, [](bytes::Bytes h) {
          return !h.empty() && h[0] == 0x0F && SameNoCase(h.data() + 1, "SIBELIUS", 8);
      }) {}

int NGRRAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 4);
    if (h.empty() || !SameNoCase(h.data(), "-in-", 4)) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int NGRRRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    while (!m_bEnd && m_llNextChunk > offset && m_llNextChunk <= offset + sectorBytes) {
        if (context.m_llWindowEnd - s < 2) return 2;
        const bytes::Bytes c = BruteForce::HeldBytes(context, s, sectorBytes, m_llNextChunk - offset, 20);
        if (c.empty()) return 2;
        if (std::memcmp(c.data(), "atad", 4) != 0) {
            m_bEnd = true;
            break;
        }
        m_llNextChunk += 24 + static_cast<long long>(bytes::Le32(c, 16));
    }
    if (offset > kLimit) return Settle(static_cast<unsigned long long>(offset), s, "_");
    if (m_bEnd) return Settle(static_cast<unsigned long long>(m_llNextChunk), s, "_");
    return 2;
}

} // namespace RawSpeed
