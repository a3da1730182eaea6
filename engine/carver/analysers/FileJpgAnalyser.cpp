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

unsigned long long FileJPGAnalyser::WalkScans(RawFileBuffer& buffer, unsigned long long pos,
                                              unsigned long long limit) {
    const unsigned long long ss = static_cast<unsigned long long>(m_llSectorSize);
    // Entropy-coded data holds FF only stuffed (FF 00), as a restart marker
    // or as fill before a marker; a sector-aligned start of another file is
    // never inside it.
    if (m_ullNextFile > pos) limit = std::min(limit, m_ullNextFile);
    bool entropy = true;
    for (unsigned segments = 0; pos < limit;) {
        if (entropy) {
            const unsigned long long sectorStart = pos / ss * ss;
            const unsigned char* sector = buffer.Fetch(sectorStart, static_cast<std::size_t>(ss));
            if (!sector) return pos;
            const unsigned char* from = sector + (pos - sectorStart);
            const auto* ff = static_cast<const unsigned char*>(
                std::memchr(from, 0xFF, static_cast<std::size_t>(sector + ss - from)));
            if (!ff) {
                pos = sectorStart + ss;
                continue;
            }
            pos = sectorStart + static_cast<unsigned long long>(ff - sector);
            const unsigned char* pair = buffer.Fetch(pos, 2);
            if (!pair) return pos;
            if (pair[1] == 0x00 || (pair[1] >= 0xD0 && pair[1] <= 0xD7)) {
                pos += 2;
                continue;
            }
            entropy = false;
        }
        const unsigned char* m = buffer.Fetch(pos, 2);
        if (!m || m[0] != 0xFF) return pos;
        const unsigned marker = m[1];
        if (marker == 0xFF) { // fill
            ++pos;
            continue;
        }
        if (marker == 0xD9) return pos + 2;
        if (marker >= 0xD0 && marker <= 0xD7) {
            pos += 2;
            entropy = true;
            continue;
        }
        // Between scans only tables, restart intervals, line counts,
        // application segments, comments and the next scan's header.
        const bool between = marker == 0xC4 || marker == 0xCC || (marker >= 0xDA && marker <= 0xDD) ||
                             (marker >= 0xE0 && marker <= 0xEF) || marker == 0xFE;
        const unsigned char* seg = between && ++segments < kMaxSegments ? buffer.Fetch(pos, 4) : nullptr;
        const unsigned length = seg ? static_cast<unsigned>(seg[2] << 8 | seg[3]) : 0;
        if (length < 2) return pos;
        pos += length + 2ull;
        entropy = marker == 0xDA;
    }
    return limit;
}

unsigned long long FileJPGAnalyser::MpfEnd(RawFileBuffer& buffer, unsigned long long at, unsigned length) {
    // FF E2, length, "MPF\0", then a TIFF header whose offsets count from it.
    if (length < 8 + 8) return 0;
    const unsigned char* seg = buffer.Fetch(at, std::min<unsigned>(length + 2, 4096));
    if (!seg || std::memcmp(seg + 4, "MPF", 4) != 0) return 0;
    const std::size_t n = std::min<unsigned>(length + 2, 4096) - 8;
    const bytes::Bytes tiff(seg + 8, n);
    const bool little = tiff[0] == 'I' && tiff[1] == 'I';
    if (!little && !(tiff[0] == 'M' && tiff[1] == 'M')) return 0;
    auto u16 = [&](std::size_t o) { return little ? bytes::Le16(tiff, o) : bytes::Be16(tiff, o); };
    auto u32 = [&](std::size_t o) { return little ? bytes::Le32(tiff, o) : bytes::Be32(tiff, o); };
    const std::size_t ifd = u32(4);
    if (!bytes::Has(tiff, ifd, 2)) return 0;
    const unsigned count = u16(ifd);
    unsigned long long end = 0;
    for (unsigned e = 0; e < count && bytes::Has(tiff, ifd + 2 + 12ull * e, 12); ++e) {
        const std::size_t entry = ifd + 2 + 12ull * e;
        if (u16(entry) != 0xB002) continue;
        const std::size_t list = u32(entry + 8), images = u32(entry + 4) / 16;
        for (std::size_t i = 0; i < images && bytes::Has(tiff, list + 16 * i, 16); ++i) {
            const unsigned long long size = u32(list + 16 * i + 4), offset = u32(list + 16 * i + 8);
            if (offset) end = std::max(end, at + 8 + offset + size);
        }
    }
    return end;
}

unsigned long long FileJPGAnalyser::Size(RawFileBuffer& buffer, Variant variant, unsigned long long cap) {
    const unsigned char* head = buffer.Fetch(0, 4);
    if (!head || head[2] != 0xFF) return 0;
    unsigned long long position = 2;
    unsigned long long width = 0, height = 0, mpf = 0;
    bool frame = false;
    // The headers never run on into the next file found: only an application
    // segment may hold its start (a thumbnail), and the headers then end
    // within 64 KiB past it. A byte that is no marker ends them too, so
    // neither random data nor a chain of segments is hopped through.
    unsigned long long stop = m_ullNextFile ? m_ullNextFile : ~0ull;
    for (unsigned segments = 0; segments < kMaxSegments; ++segments) {
        if (position == cap) return cap;
        if (position > cap || position >= stop) return 0;
        const unsigned char* seg = buffer.Fetch(position, 4);
        if (!seg || seg[0] != 0xFF) return 0;
        const unsigned marker = seg[1];
        const unsigned length = static_cast<unsigned>(seg[2] << 8 | seg[3]);
        if (m_ullNextFile && stop == m_ullNextFile && marker >= 0xE0 && marker <= 0xEF &&
            position + length + 2 > m_ullNextFile)
            stop = m_ullNextFile + 65536;
        if (marker == 0xFF) {
            position += 2;
            continue;
        }
        if (marker == 0xDA) {
            if (!frame) return WalkScans(buffer, position, cap);
            const unsigned char* scan = buffer.Fetch(position, 5);
            if (!scan || (variant == Variant::Plain && scan[4] != 3)) return 0;
            // Pixels times three bounds the scan data, in 64 bits and never above the cap.
            const unsigned long long pixels = width * height * 3;
            const unsigned long long end =
                WalkScans(buffer, position + length + 2, pixels ? std::min(pixels, cap) : cap);
            // The further pictures of a multi-picture file follow the first.
            return mpf > end && mpf <= cap && buffer.Fetch(mpf - 1, 1) ? mpf : end;
        }
        if (marker == 0xE2 && !mpf) mpf = MpfEnd(buffer, position, length);
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
