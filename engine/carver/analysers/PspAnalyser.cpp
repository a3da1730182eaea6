#include "engine/carver/analysers/PspAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>

namespace {

constexpr unsigned char kBlock[4] = {0x7E, 0x42, 0x4B, 0x00};

} // namespace

int FilePSPAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    static constexpr char kHead[32] = "Paint Shop Pro Image File\n\x1a\0\0\0\0";
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 32);
    if (head.empty() || std::memcmp(head.data(), kHead, 32) != 0) return 0;
    info.m_eRawFileType = kPspType;
    return 1;
}

int FilePSPAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    const unsigned long long start = static_cast<unsigned long long>(record.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    const unsigned long long room = total > start ? (total - start) * device->GetSectorSize() : 0;
    RawFileBuffer file(device, start);
    unsigned long long offset = 36;
    while (offset <= kDeviceWalkLimit) {
        const unsigned char* block = file.Fetch(offset, 10);
        if (!block || std::memcmp(block, kBlock, 4) != 0) break;
        const unsigned long long next = offset + bytes::Le32(bytes::Bytes(block, 10), 6) + 10;
        // A block running past the device's end is not part of the file.
        if (next > room) break;
        offset = next;
    }
    if (offset < 512 && offset <= kDeviceWalkLimit) return 0;
    record.m_ullFileSize = offset;
    record.m_eRawFileType = kPspType;
    return 1;
}

namespace RawSpeed {

PSPRawFileInfo::PSPRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_ullMinSize = 36;
    m_ullMinSizeExtra = 0;
}

int PSPRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    m_bFirst = 0;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    while (m_llWalk < sectorStart + sectorBytes) {
        const bytes::Bytes block = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, m_llWalk - sectorStart, 10);
        if (block.empty()) return 2;
        if (std::memcmp(block.data(), kBlock, 4) != 0)
            return Settle(static_cast<unsigned long long>(m_llWalk), sectorNumber, ".");
        m_llWalk += std::int64_t{bytes::Le32(block, 6)} + 10;
        // A walk past the limit leaves the size to the classic sizer, which
        // also knows where the device ends.
        if (m_llWalk > m_llLimit) return 1;
    }
    return 2;
}

} // namespace RawSpeed
