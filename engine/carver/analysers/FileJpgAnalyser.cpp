#include "engine/carver/analysers/FileJpgAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/JpegAnalyzer.h"
#include "engine/carver/metadata/ExifReader.h"

#include <algorithm>
#include <cstring>
#include <strings.h>

namespace {

constexpr unsigned kMaxSegments = 20480;

bool IsSof(unsigned m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

} // namespace

int FileJPGAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 10);
    if (head.empty() || head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) return 0;
    const char* tag = reinterpret_cast<const char*>(head.data() + 6);
    if (strncasecmp(tag, "JFIF", 4) != 0 && strncasecmp(tag, "Exif", 4) != 0 && head[3] != 0xDB && head[3] != 0xEE)
        return 0;
    info.m_eRawFileType = kJpgType;
    return 1;
}

void FileJPGAnalyser::ReadExif(RawFileBuffer& buffer, unsigned long long lengthAt) {
    const unsigned char* field = buffer.Fetch(lengthAt, 2);
    if (!field) return;
    const unsigned length = static_cast<unsigned>(field[0] << 8 | field[1]);
    const unsigned char* segment = length >= 2 ? buffer.Fetch(lengthAt, length) : nullptr;
    if (!segment) return;
    std::vector<unsigned char> copy(segment, segment + length);
    tag_ExifInfo exif;
    SetExitInfo(&exif);
    if (!EXIF_process_EXIF(copy.data(), 0, copy.data() + 2, length)) return;
    const std::string model = exif.cameraModel;
    m_strName = ApiStrFilterBadFileName(model.find('<') != std::string::npos ? std::string(exif.cameraMake) : model);
    m_strTagValue = m_strName;
    m_strTime = exif.dateTime;
    if (!m_strTagValue.empty()) m_eTag = RAW_TAG_CAMERA;
}

unsigned long long FileJPGAnalyser::ZeroTailedEnd(const unsigned char* sector, unsigned long long from,
                                                  unsigned long long ss) {
    unsigned long long e = ss;
    while (e > from && sector[e - 1] == 0) --e;
    return e >= from + 2 && sector[e - 2] == 0xFF && sector[e - 1] == 0xD9 ? e : 0;
}

unsigned long long FileJPGAnalyser::ScanEnd(RawFileBuffer& buffer, unsigned long long position,
                                            unsigned long long limit) {
    const unsigned long long ss = static_cast<unsigned long long>(m_llSectorSize);
    // An end marker with too few zeros after it to count here, followed by
    // nothing but zeros since: where another file begins, the picture ends
    // at it (files stored back to back).
    unsigned long long held = 0;
    for (;;) {
        if (position >= limit) return limit;
        const unsigned long long sectorStart = position / ss * ss;
        if (held && sectorStart == m_ullNextFile) return held;
        const unsigned char* sector = buffer.Fetch(sectorStart, static_cast<std::size_t>(ss));
        if (!sector) return position;
        if (sector[ss - 2] == 0xFF && sector[ss - 1] == 0xD9) return sectorStart + ss;
        if (std::all_of(sector + ss - 6, sector + ss, [](unsigned char c) { return c == 0; })) {
            static constexpr unsigned char kEoi[2] = {0xFF, 0xD9};
            const unsigned char* from = sector + (position - sectorStart);
            if (const unsigned char* eoi = Apimemstr(from, static_cast<long long>(sector + ss - from), kEoi, 2))
                return sectorStart + static_cast<unsigned long long>(eoi - sector) + 2;
            if (sector[0] == 0xD9 && !sector[1] && !sector[2] && !sector[3] && sectorStart > 0) {
                const unsigned char* last = buffer.Fetch(sectorStart - 1, 1);
                if (last && *last == 0xFF) return sectorStart + 1;
            }
        }
        if (m_ullNextFile > sectorStart) {
            const unsigned long long from = position - sectorStart;
            const bool zeros = std::all_of(sector + from, sector + ss, [](unsigned char c) { return c == 0; });
            if (!zeros) {
                const unsigned long long end = ZeroTailedEnd(sector, from, ss);
                held = end ? sectorStart + end : 0;
            }
        }
        // The next sector from its start, so no end marker early in it is passed over.
        position = sectorStart + ss;
    }
}

unsigned long long FileJPGAnalyser::Size(RawFileBuffer& buffer, Variant variant, unsigned long long cap) {
    const unsigned char* head = buffer.Fetch(0, 4);
    if (!head || head[2] != 0xFF) return 0;
    unsigned long long position = 2;
    unsigned long long width = 0, height = 0;
    bool frame = false;
    for (unsigned segments = 0; segments < kMaxSegments; ++segments) {
        if (position == cap) return cap;
        if (position > cap) return 0;
        const unsigned char* seg = buffer.Fetch(position, 4);
        if (!seg) return 0;
        const unsigned marker = seg[1];
        const unsigned length = static_cast<unsigned>(seg[2] << 8 | seg[3]);
        if (marker == 0xFF) {
            position += 2;
            continue;
        }
        if (marker == 0xDA) {
            if (!frame) return ScanEnd(buffer, position, cap);
            const unsigned char* scan = buffer.Fetch(position, 5);
            if (!scan || (variant == Variant::Plain && scan[4] != 3)) return 0;
            // Pixels times three bounds the scan data, in 64 bits and never above the cap.
            const unsigned long long pixels = width * height * 3;
            return ScanEnd(buffer, position + length + 2, pixels ? std::min(pixels, cap) : cap);
        }
        const bool sizes = variant == Variant::Plain   ? IsSof(marker)
                           : variant == Variant::Exif ? marker == 0xC0
                                                      : marker == 0xC0 || (marker == 0xC2 && !frame);
        if (sizes) {
            const unsigned char* sof = buffer.Fetch(position, 10);
            if (!sof || sof[4] != 8) return 0;
            if (variant == Variant::Plain && sof[9] != 3) return 0;
            height = static_cast<unsigned>(sof[5] << 8 | sof[6]);
            width = static_cast<unsigned>(sof[7] << 8 | sof[8]);
            frame = true;
        }
        position += length + 2;
    }
    return 0;
}

int FileJPGAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    m_strName.clear();
    m_strTime.clear();
    m_strTagValue.clear();
    m_eTag = RAW_TAG_NONE;
    if (!device) return 0;
    m_llSectorSize = device->GetSectorSize() ? device->GetSectorSize() : 512;
    auto* streamed = dynamic_cast<BruteForce::JpegAnalyzer::JpegRawFileInfo*>(&info);
    m_ullNextFile = streamed && streamed->m_llNextStart > info.m_llStartSector
                        ? static_cast<unsigned long long>(streamed->m_llNextStart - info.m_llStartSector) *
                              static_cast<unsigned long long>(m_llSectorSize)
                        : 0;
    RawFileBuffer buffer(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned char* head = buffer.Fetch(0, 10);
    unsigned long long size = 0;
    if (head) {
        const char* tag = reinterpret_cast<const char*>(head + 6);
        Variant variant = Variant::Plain;
        if (strncasecmp(tag, "JFIF", 4) == 0) variant = Variant::Jfif;
        else if (strncasecmp(tag, "Exif", 4) == 0) variant = Variant::Exif;
        if (variant != Variant::Jfif || std::memcmp(tag, "JFIF", 4) == 0) {
            if (variant != Variant::Plain) ReadExif(buffer, variant == Variant::Jfif ? 22 : 4);
            size = Size(buffer, variant, variant == Variant::Jfif ? kJfifCap : kCap);
        }
    }
    // A streaming record stopped by its cap keeps the cap when the picture
    // cannot be sized here.
    if (size == 0) {
        if (!streamed || streamed->m_llCapReached == 0) return 0;
        size = static_cast<unsigned long long>(streamed->m_llCapReached);
    }
    // Never past the device's end, wherever a segment length pointed.
    const unsigned long long sectors = device->GetTotalSectors();
    const unsigned long long start = static_cast<unsigned long long>(std::max(info.m_llStartSector, 0ll));
    info.m_ullFileSize = std::min<unsigned long long>(size, sectors > start ? (sectors - start) * m_llSectorSize : 0);
    info.m_eRawFileType = kJpgType;
    info.SetRawFileName(m_strName);
    info.m_strFileTime = m_strTime;
    info.SetRawFileTagAndValue(m_eTag, m_strTagValue);
    return 1;
}
