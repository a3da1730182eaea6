#include "engine/carver/analysers/PsdAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstring>

namespace {

bool PsdHeader(const unsigned char* h) {
    static constexpr unsigned char kHead[12] = {'8', 'B', 'P', 'S', 0, 1, 0, 0, 0, 0, 0, 0};
    return std::memcmp(h, kHead, sizeof kHead) == 0;
}

// The big-endian u32 at offset of the file, or nothing when unreadable.
bool Be32At(RawFileBuffer& file, unsigned long long offset, std::uint32_t& value) {
    const unsigned char* p = file.Fetch(offset, 4);
    if (!p) return false;
    value = bytes::Be32(bytes::Bytes(p, 4), 0);
    return true;
}

} // namespace

int FilePSDAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 12);
    if (head.empty() || !PsdHeader(head.data())) return 0;
    info.m_eRawFileType = kPsdType;
    return 1;
}

int FilePSDAnalyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    const unsigned long long total = device->GetTotalSectors();
    const unsigned long long start = static_cast<unsigned long long>(record.m_llStartSector);
    if (start >= total) return 0;
    const unsigned long long room = (total - start) * device->GetSectorSize();
    RawFileBuffer file(device, start);
    const unsigned char* head = file.Fetch(0, 30);
    if (!head || !PsdHeader(head)) return 0;
    const bytes::Bytes h(head, 30);
    const std::uint64_t channels = bytes::Be16(h, 12), height = bytes::Be32(h, 14), width = bytes::Be32(h, 18),
                        depth = bytes::Be16(h, 22);
    unsigned long long offset = 30 + std::uint64_t{bytes::Be32(h, 26)};
    std::uint32_t length = 0;
    if (!Be32At(file, offset, length)) return 0;
    offset += std::uint64_t{length} + 4;
    if (!Be32At(file, offset, length)) return 0;
    offset += std::uint64_t{length} + 4;
    const unsigned char* c = file.Fetch(offset, 2);
    if (!c) return 0;
    const unsigned compression = bytes::Be16(bytes::Bytes(c, 2), 0);
    unsigned long long size = 0;
    if (compression == 1) {
        // One u16 length per row and channel; the table is read only as far as
        // the device and the cap allow.
        const unsigned long long rows = height * channels;
        unsigned long long at = offset + 2, sum = 0;
        for (unsigned long long r = 0; r < rows && at < kRowTableEnd + 1 && offset < kRowTableEnd - 1; ++r, at += 2) {
            const unsigned char* p = file.Fetch(at, 2);
            if (!p) return 0;
            sum += bytes::Be16(bytes::Bytes(p, 2), 0);
        }
        size = at + sum;
    } else if (compression == 0) {
        // Raw samples: up to 2^96 bits, so each factor is checked against the
        // device before multiplying.
        unsigned long long bits = 1;
        for (const std::uint64_t f : {height, channels, width, depth}) {
            if (f != 0 && bits > room * 8 / f) return 0;
            bits *= f;
        }
        size = offset + 2 + bits / 8;
    } else {
        return 0;
    }
    if (size > room) return 0;
    record.m_ullFileSize = size;
    record.m_eRawFileType = kPsdType;
    return 1;
}

namespace RawSpeed {

PSDRawFileInfo::PSDRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
    m_ullMinSize = 30;
    m_ullMinSizeExtra = 0;
}

int PSDRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long sectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    if (sectorStart > 5 * m_llLimit) {
        m_ullFileSize = 0;
        return 1;
    }
    auto be32 = [&](long long fileOffset, std::uint32_t& v) {
        const bytes::Bytes b = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, fileOffset - sectorStart, 4);
        if (b.empty()) return false;
        v = bytes::Be32(b, 0);
        return true;
    };
    // The colour data, then the resources' length; then the layers' length
    // and the compression word. A length not read yet waits for a sector.
    std::uint32_t length = 0;
    if (m_bColourPending && m_llWalk < sectorStart + sectorBytes) {
        std::uint32_t colour = 0;
        if (!be32(26, colour) || !be32(m_llWalk + colour, length)) return 2;
        m_nResourcesLength = length;
        m_llWalk += std::int64_t{colour} + length + 4;
        m_bColourPending = 0;
        const bytes::Bytes h = BruteForce::HeldBytes(context, sectorNumber, sectorBytes, -sectorStart, 26);
        std::uint64_t bits = h.empty() ? 0 : 1;
        for (const std::uint64_t f : {std::uint64_t{bytes::Be16(h, 12)}, std::uint64_t{bytes::Be32(h, 14)},
                                      std::uint64_t{bytes::Be32(h, 18)}, std::uint64_t{bytes::Be16(h, 22)}})
            bits = f != 0 && bits <= 40ull * m_llLimit / f ? bits * f : 0;
        m_ullRawBytes = bits / 8;
    }
    if (!m_bColourPending && m_bLayersPending && m_llWalk < sectorStart + sectorBytes) {
        if (!be32(m_llWalk, length)) return 2;
        const bytes::Bytes c =
            BruteForce::HeldBytes(context, sectorNumber, sectorBytes, m_llWalk + length + 4 - sectorStart, 2);
        if (c.empty()) return 2;
        if (bytes::Be16(c, 0) != 0) m_ullRawBytes = 0;
        m_nLayersLength = length;
        m_llWalk += std::int64_t{length} + 6;
        m_bLayersPending = 0;
    }
    if (m_bLayersPending) return 2;
    // Uncompressed image data may well end in zero bytes: its size is known.
    const std::uint64_t room = context.m_Window.BytesToDeviceEnd();
    if (room != CRawWindow::kUnknownEnd && m_llWalk + m_ullRawBytes > sectorStart + room) m_ullRawBytes = 0;
    const long long rawEnd = m_llWalk + static_cast<long long>(m_ullRawBytes);
    if (m_ullRawBytes != 0 && rawEnd > sectorStart + sectorBytes) return 2;
    if (m_ullRawBytes != 0) return Settle(static_cast<unsigned long long>(rawEnd), sectorNumber, "");
    if (m_llWalk >= sectorStart + sectorBytes) return 2;
    // The image data ends where a sector's zero tail of at least 8 bytes begins.
    if (context.m_nTrailingZero < 8) return 2;
    int data = sectorBytes;
    while (data > 0 && sector[data - 1] == 0) --data;
    if (sectorStart + data < m_llWalk) return 2;
    return Settle(static_cast<unsigned long long>(sectorStart + data), sectorNumber, "");
}

} // namespace RawSpeed
