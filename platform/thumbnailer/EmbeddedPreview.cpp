#include "platform/thumbnailer/EmbeddedPreview.h"

#include "engine/common/Bytes.h"

#include <set>
#include <vector>

namespace salvor::thumbnail {

namespace {

using bytes::Bytes;
using bytes::Has;

// TIFF tags and field types used below.
constexpr std::uint16_t kCompression = 0x0103, kStripOffsets = 0x0111, kStripByteCounts = 0x0117;
constexpr std::uint16_t kSubIfds = 0x014A, kJpegOffset = 0x0201, kJpegLength = 0x0202, kExifIfd = 0x8769;
constexpr std::uint16_t kShort = 3, kLong = 4, kIfd = 13;

struct Tiff {
    Bytes b;
    bool big; // "MM"
    std::uint16_t u16(std::size_t off) const { return big ? bytes::Be16(b, off) : bytes::Le16(b, off); }
    std::uint32_t u32(std::size_t off) const { return big ? bytes::Be32(b, off) : bytes::Le32(b, off); }
    // The first value of a SHORT or LONG field whose 12-byte entry is at e.
    std::optional<std::uint32_t> value(std::size_t e) const {
        const std::uint16_t type = u16(e + 2);
        if (type == kShort) return u16(e + 8);
        if (type == kLong || type == kIfd) return u32(e + 8);
        return std::nullopt;
    }
};

std::optional<JpegSpan> Candidate(Bytes file, std::uint64_t offset, std::uint64_t length) {
    if (length < 4 || !Has(file, offset, length)) return std::nullopt;
    std::optional<JpegSpan> jpeg = ReadJpegFrame(file.subspan(offset, length));
    if (!jpeg) return std::nullopt;
    jpeg->offset = offset;
    jpeg->length = length;
    return jpeg;
}

} // namespace

std::optional<JpegSpan> ReadJpegFrame(Bytes b) {
    if (bytes::U8(b, 0) != 0xFF || bytes::U8(b, 1) != 0xD8) return std::nullopt;
    std::size_t pos = 2;
    // Every segment moves pos on by at least two bytes: the walk ends.
    while (Has(b, pos, 4)) {
        if (b[pos] != 0xFF) return std::nullopt;
        const std::uint8_t marker = b[pos + 1];
        if (marker == 0xFF) { // fill byte
            ++pos;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            pos += 2;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9) return std::nullopt; // data before any frame
        const std::uint16_t length = bytes::Be16(b, pos + 2);
        if (length < 2) return std::nullopt;
        const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            // Lossless frames hold sensor data, not a picture to show.
            if (marker == 0xC3 || marker == 0xC7 || marker == 0xCB || marker == 0xCF) return std::nullopt;
            if (!Has(b, pos + 4, 5)) return std::nullopt;
            JpegSpan span;
            span.height = bytes::Be16(b, pos + 5);
            span.width = bytes::Be16(b, pos + 7);
            if (span.width == 0 || span.height == 0) return std::nullopt;
            return span;
        }
        pos += 2 + static_cast<std::size_t>(length);
    }
    return std::nullopt;
}

std::optional<JpegSpan> FindRawPreview(Bytes file) {
    if (!Has(file, 0, 8)) return std::nullopt;
    Tiff t{file, false};
    if (file[0] == 'M' && file[1] == 'M')
        t.big = true;
    else if (file[0] != 'I' || file[1] != 'I')
        return std::nullopt;
    const std::uint16_t magic = t.u16(2);
    // 42 for TIFF and the raw formats built on it; 0x55 for Panasonic's RW2.
    if (magic != 42 && magic != 0x55) return std::nullopt;

    std::optional<JpegSpan> best;
    auto consider = [&](std::optional<JpegSpan> c) {
        if (c && (!best || c->length > best->length)) best = c;
    };
    std::vector<std::uint32_t> queue{t.u32(4)};
    std::set<std::uint32_t> seen;
    for (std::size_t next = 0; next < queue.size() && seen.size() < static_cast<std::size_t>(kMaxIfds); ++next) {
        const std::uint32_t ifd = queue[next];
        if (ifd < 8 || !Has(file, ifd, 2) || !seen.insert(ifd).second) continue;
        const std::uint16_t count = t.u16(ifd);
        if (count == 0 || count > kMaxEntries || !Has(file, ifd + 2, std::size_t{count} * 12 + 4)) continue;
        std::optional<std::uint32_t> jpegOffset, jpegLength, stripOffset, stripLength, compression;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t e = ifd + 2 + i * 12;
            const std::uint16_t tag = t.u16(e);
            const std::uint32_t n = t.u32(e + 4);
            switch (tag) {
            case kJpegOffset: jpegOffset = t.value(e); break;
            case kJpegLength: jpegLength = t.value(e); break;
            case kCompression: compression = t.value(e); break;
            case kStripOffsets:
                if (n == 1) stripOffset = t.value(e);
                break;
            case kStripByteCounts:
                if (n == 1) stripLength = t.value(e);
                break;
            case kExifIfd:
                if (auto v = t.value(e)) queue.push_back(*v);
                break;
            case kSubIfds:
                if (n == 1) {
                    if (auto v = t.value(e)) queue.push_back(*v);
                } else if (n > 1 && n <= 16 && t.u16(e + 2) != kShort) {
                    const std::uint32_t at = t.u32(e + 8);
                    for (std::uint32_t k = 0; k < n && Has(file, at + std::size_t{k} * 4, 4); ++k)
                        queue.push_back(t.u32(at + std::size_t{k} * 4));
                }
                break;
            default: break;
            }
        }
        if (jpegOffset && jpegLength) consider(Candidate(file, *jpegOffset, *jpegLength));
        // 6: old-style JPEG (the full-size preview of a CR2), 7: JPEG (DNG previews).
        if (stripOffset && stripLength && compression && (*compression == 6 || *compression == 7))
            consider(Candidate(file, *stripOffset, *stripLength));
        queue.push_back(t.u32(ifd + 2 + std::size_t{count} * 12));
    }
    return best;
}

std::optional<JpegSpan> FindPsdThumbnail(Bytes file) {
    // Header (26 bytes), then the colour-mode data and the image resources,
    // each led by its 32-bit length.
    if (!Has(file, 0, 30) || file[0] != '8' || file[1] != 'B' || file[2] != 'P' || file[3] != 'S') return std::nullopt;
    const std::uint16_t version = bytes::Be16(file, 4);
    if (version != 1 && version != 2) return std::nullopt;
    std::size_t pos = 30 + std::size_t{bytes::Be32(file, 26)};
    if (!Has(file, pos, 4)) return std::nullopt;
    const std::size_t length = bytes::Be32(file, pos);
    pos += 4;
    if (!Has(file, pos, length)) return std::nullopt;
    const Bytes resources = file.subspan(pos, length);
    std::size_t at = 0;
    for (int guard = 0; guard < 4096 && Has(resources, at, 12); ++guard) {
        if (resources[at] != '8' || resources[at + 1] != 'B' || resources[at + 2] != 'I' || resources[at + 3] != 'M')
            return std::nullopt;
        const std::uint16_t id = bytes::Be16(resources, at + 4);
        std::size_t name = 1 + std::size_t{bytes::U8(resources, at + 6)};
        name += name & 1;
        const std::size_t sizeAt = at + 6 + name;
        if (!Has(resources, sizeAt, 4)) return std::nullopt;
        const std::size_t size = bytes::Be32(resources, sizeAt);
        const std::size_t data = sizeAt + 4;
        if (!Has(resources, data, size)) return std::nullopt;
        // 28 bytes of description, format 1 meaning JFIF data follows.
        if ((id == 1036 || id == 1033) && size > 28 && bytes::Be32(resources, data) == 1)
            if (auto jpeg = Candidate(file, pos + data + 28, size - 28)) return jpeg;
        at = data + size + (size & 1);
    }
    return std::nullopt;
}

} // namespace salvor::thumbnail
