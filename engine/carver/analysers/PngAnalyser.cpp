#include "engine/carver/analysers/PngAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>

int FilePNGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    static constexpr unsigned char kPngMagic[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 8);
    if (head.empty() || std::memcmp(head.data(), kPngMagic, 8) != 0) return 0;
    info.m_eRawFileType = kPngType;
    return 1;
}

int FilePNGAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const unsigned char* head = file.Fetch(0, 24);
    if (!head || std::memcmp(head + 12, "IHDR", 4) != 0) return 0;
    const bytes::Bytes h(head, 24);
    if (static_cast<std::int32_t>(bytes::Be32(h, 16)) < 1 || static_cast<std::int32_t>(bytes::Be32(h, 20)) < 1)
        return 0;
    const unsigned long long start = static_cast<unsigned long long>(record.m_llStartSector);
    const unsigned long long total = device->GetTotalSectors();
    const unsigned long long room = total > start ? (total - start) * device->GetSectorSize() : 0;
    unsigned long long offset = std::uint64_t{bytes::Be32(h, 8)} + 20;
    while (offset <= kWalkLimit) {
        const unsigned char* chunk = file.Fetch(offset, 8);
        if (!chunk) break;
        const auto length = static_cast<std::int32_t>(bytes::Be32(bytes::Bytes(chunk, 8), 0));
        if (length < 0 || static_cast<unsigned long long>(length) > kWalkLimit) break;
        const bool end = std::memcmp(chunk + 4, "IEND", 4) == 0;
        // A chunk running past the device's end is not part of the file.
        if (offset + static_cast<unsigned long long>(length) + 12 > room) break;
        offset += static_cast<unsigned long long>(length) + 12;
        if (end) break;
    }
    if (offset > room) return 0;
    record.m_ullFileSize = offset;
    record.m_eRawFileType = kPngType;
    return 1;
}

namespace RawSpeed {

PNGRawFileInfo::PNGRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_ullMinSize = 14;
    m_ullMinSizeExtra = 0;
}

int PNGRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > m_llLimit) return 1;
    if (m_bFirst) {
        const bytes::Bytes ihdr = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, 8 - sectorStart, 4);
        if (ihdr.empty()) return 2;
        m_bFirst = 0;
        m_llWalk += bytes::Be32(ihdr, 0);
    }
    while (m_llWalk < sectorStart + sectorBytes) {
        // A header straddling into data not read yet waits for the next sector.
        const bytes::Bytes chunk = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, m_llWalk - sectorStart, 8);
        if (chunk.empty()) return 2;
        const long long length = bytes::Be32(chunk, 0);
        if (std::memcmp(chunk.data() + 4, "IEND", 4) == 0) {
            // An end past the device's end is no size: the classic sizer decides.
            const std::uint64_t room = context.m_Window.BytesToDeviceEnd();
            if (room != CRawWindow::kUnknownEnd &&
                static_cast<std::uint64_t>(m_llWalk + length + 12 - sectorStart) > room)
                return 1;
            return Settle(static_cast<unsigned long long>(m_llWalk + length + 12), sectorNumber, "_");
        }
        m_llWalk += length + 12;
        // No size: the classic sizer takes the record over.
        if (m_llWalk > m_llLimit) return 1;
    }
    return 2;
}

} // namespace RawSpeed
