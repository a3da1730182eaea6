#include "engine/carver/analysers/X3fAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"

#include <cstring>
#include <vector>

namespace {

constexpr unsigned char kDirectory[4] = {'S', 'E', 'C', 'd'};
constexpr long long kAfterDirectory = 76;

// Where the directory's end lies from the start of `sector` (sectorBytes
// long; `before` bytes in front of it readable too): the sector's end when
// it ends with the directory mark, the mark + 76 when the sector ends in zero
// bytes and holds the mark (or the half sector before it does); else -1.
long long DirectoryEnd(const unsigned char* sector, int sectorBytes, const unsigned char* before, int beforeBytes) {
    const unsigned char* last = sector + sectorBytes - 4;
    if (last[0] | last[1] | last[2] | last[3]) return std::memcmp(last, kDirectory, 4) == 0 ? sectorBytes : -1;
    if (const unsigned char* hit = Apimemstr(sector, sectorBytes, kDirectory, 4)) return hit - sector + kAfterDirectory;
    if (before && beforeBytes > 0)
        if (const unsigned char* hit = Apimemstr(before, beforeBytes + sectorBytes, kDirectory, 4))
            return hit - sector + kAfterDirectory;
    return -1;
}

} // namespace

int FileX3FAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    if (info.WindowAt(sector).At(0, 4).empty()) return 0;
    info.m_eRawFileType = kX3fType;
    return 1;
}

int FileX3FAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const auto where = RoomOf(record, device, 1);
    if (!where) return 0;
    const unsigned long long start = where->start, room = where->room;
    const unsigned ss = where->sectorSize;
    RawFileBuffer file(device, start);
    std::vector<unsigned char> pair(2 * std::size_t{ss}); // the previous sector, then this one
    unsigned long long offset = 0;
    for (; offset < kDeviceLimit + 1 && offset < room; offset += ss) {
        const unsigned char* p = file.Fetch(offset, ss);
        if (!p) break;
        std::memmove(pair.data(), pair.data() + ss, ss);
        std::memcpy(pair.data() + ss, p, ss);
        const int half = offset == 0 ? 0 : static_cast<int>(ss / 2);
        const long long end = DirectoryEnd(pair.data() + ss, static_cast<int>(ss), pair.data() + ss - half, half);
        if (end >= 0) {
            offset += static_cast<unsigned long long>(end);
            break;
        }
    }
    record.m_ullFileSize = std::min(offset, room);
    record.m_eRawFileType = kX3fType;
    return record.m_ullFileSize > 0;
}

namespace Orvex {

bool X3FRawFileInfo::bContinue(const unsigned char* sector, int sectorBytes, long long sectorNumber,
                               const SearchContext& context) {
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > m_llLimit) return false;
    const int half = sectorNumber > context.m_llWindowStart ? sectorBytes / 2 : 0;
    const bytes::Bytes before = context.m_Window.At(-half, static_cast<std::size_t>(half));
    const long long end = DirectoryEnd(sector, sectorBytes, before.empty() ? nullptr : before.data(),
                                       before.empty() ? 0 : half);
    if (end < 0) return true;
    m_llEnd = sectorStart + end;
    return false;
}

int X3FRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 1;
    if (bContinue(sector, sectorBytes, sectorNumber, context)) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (m_llEnd == 0) return 1; // past the limit: the classic sizer decides
    return Settle(static_cast<unsigned long long>(sectorStart < 10 * m_llLimit ? m_llEnd : m_llLimit), sectorNumber,
                  "_");
}

} // namespace Orvex
