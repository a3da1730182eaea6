#include "engine/carver/analysers/CrwAnalyser.h"

#include "engine/carver/RawFileBuffer.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

// The end signs (compared over their first five bytes) and the bytes from a
// sign to the file's end.
struct EndSign {
    unsigned char mark;
    long long tail;
};
constexpr EndSign kSigns[] = {{0xA8, 70}, {0xB2, 60}, {0xE4, 50}};

const unsigned char* FindSign(const unsigned char* p, std::size_t n, unsigned char mark, std::size_t compared) {
    const unsigned char sign[6] = {0x07, 0x28, mark, 0, 0, 0};
    if (n < compared) return nullptr;
    const auto* hit = std::search(p, p + n, sign, sign + compared);
    return hit == p + n ? nullptr : hit;
}

// The first sign found in [p, p + n) (signs in their order): its position and
// tail, or null.
const unsigned char* FirstSign(const unsigned char* p, std::size_t n, std::size_t compared, long long& tail,
                               unsigned char& mark) {
    for (const EndSign& s : kSigns)
        if (const unsigned char* hit = FindSign(p, n, s.mark, compared)) {
            tail = s.tail;
            mark = s.mark;
            return hit;
        }
    return nullptr;
}

} // namespace

int FileCRWAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 15);
    if (head.empty() || std::memcmp(head.data() + 4, "\0\0HEAP", 6) != 0 || head[14] != 0x02) return 0;
    const unsigned char* kind = head.data() + 10;
    if (std::memcmp(kind, "CCDR", 4) != 0 && std::memcmp(kind, "TIFP", 4) != 0 && std::memcmp(kind, "ARCH", 4) != 0)
        return 0;
    info.m_eRawFileType = kCrwType;
    return 1;
}

int FileCRWAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    return GetRawFileSizeEX(record, device);
}

int FileCRWAnalyser::GetRawFileSizeEX(CRawFileInfo& record, IStorageDevice* device) {
    const auto where = RoomOf(record, device, 91);
    if (!where) return 0;
    const unsigned long long start = where->start, room = where->room;
    const unsigned ss = where->sectorSize;
    RawFileBuffer file(device, start);
    std::vector<unsigned char> previous(ss, 0);
    unsigned long long size = kDefaultSize;
    for (unsigned long long offset = 0; offset < kDeviceLimit && offset < room; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) break;
        if (std::all_of(p + ss - 4, p + ss, [](unsigned char b) { return b == 0; })) {
            long long tail = 0;
            unsigned char mark = 0;
            if (const unsigned char* hit = FirstSign(p, ss, 6, tail, mark)) {
                size = offset + static_cast<unsigned long long>(hit - p + tail);
                break;
            }
            // A sign cut by the border: the 91 bytes from 80 before the previous sector's end.
            if (offset > 0) {
                unsigned char joined[91];
                std::memcpy(joined, previous.data() + ss - 80, 80);
                std::memcpy(joined + 80, p, 11);
                if (const unsigned char* hit = FirstSign(joined, sizeof joined, 6, tail, mark)) {
                    size = offset - 80 + static_cast<unsigned long long>(hit - joined) + 70;
                    break;
                }
            }
        }
        std::memcpy(previous.data(), p, ss);
    }
    // Never past the device.
    record.m_ullFileSize = std::min(size, room);
    record.m_eRawFileType = kCrwType;
    return 1;
}

namespace Orvex {

CRWRawFileInfo::CRWRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_ullMinSize = kLeast;
    m_ullMinSizeExtra = kLeast;
}

bool CRWRawFileInfo::bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber,
                               const SearchContext& context) {
    if (context.m_nTrailingZero < 9) return true;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    const std::size_t n = static_cast<std::size_t>(sectorBytes);
    long long tail = 0;
    unsigned char mark = 0;
    const unsigned char* hit = FirstSign(sector, n, 5, tail, mark);
    long long at = hit ? hit - sector : 0;
    if (!hit && sectorNumber > context.m_llWindowStart) {
        // A sign cut by the border: 172 bytes from 86 before the sector.
        const bytes::Bytes around = context.m_Window.At(-86, 172);
        if (!around.empty() && (hit = FirstSign(around.data(), around.size(), 5, tail, mark))) at = hit - around.data() - 86;
    }
    if (!hit) return true;
    m_llEnd = sectorStart + at + tail;
    if (mark == 0xB2) {
        // Some files carry 10 more bytes after this sign's end.
        const long long inSector = at + tail;
        if (inSector >= 0 && inSector + 4 <= sectorBytes &&
            std::any_of(sector + inSector, sector + inSector + 4, [](unsigned char b) { return b != 0; }))
            m_llEnd += 10;
    }
    return false;
}

int CRWRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 1;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (static_cast<unsigned long long>(sectorStart) < m_ullMinSize + m_ullMinSizeExtra) return 2;
    if (sectorStart >= m_llLimit) return Settle(static_cast<unsigned long long>(m_llLimit), sectorNumber, "_");
    if (bContinue(sector, sectorBytes, sectorNumber, context)) return 2;
    return Settle(static_cast<unsigned long long>(m_llEnd), sectorNumber, "_");
}

} // namespace Orvex
