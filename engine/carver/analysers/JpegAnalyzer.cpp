#include "engine/carver/analysers/JpegAnalyzer.h"

#include "engine/carver/RawUtility.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <strings.h>

namespace BruteForce {

namespace {

constexpr unsigned kMaxSegments = 20480;
constexpr unsigned kMaxExifDirs = 7;
constexpr unsigned kBytesPerFormat[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};

bool IsSof(unsigned m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }

bool Tagged(bytes::Bytes head, const char* tag) {
    return head.size() >= 10 && strncasecmp(reinterpret_cast<const char*>(head.data() + 6), tag, 4) == 0;
}

std::uint32_t U32(bytes::Bytes b, std::size_t at, bool little) { return little ? bytes::Le32(b, at) : bytes::Be32(b, at); }
std::uint16_t U16(bytes::Bytes b, std::size_t at, bool little) { return little ? bytes::Le16(b, at) : bytes::Be16(b, at); }

std::string Text(bytes::Bytes value) {
    std::string s;
    for (std::uint8_t c : value) {
        if (!c) break;
        s.push_back(static_cast<char>(c));
    }
    return s;
}

std::string Upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

// A width or height entry's value: integers unsigned, rationals as their
// quotient, floats as stored.
unsigned long long Dimension(bytes::Bytes value, unsigned format, bool little) {
    switch (format) {
    case 1:
    case 6: return bytes::U8(value, 0);
    case 3:
    case 8: return U16(value, 0, little);
    case 4:
    case 9: return U32(value, 0, little);
    case 5:
    case 10: {
        const std::uint32_t den = U32(value, 4, little);
        return den ? U32(value, 0, little) / den : 0;
    }
    case 11: {
        float f = 0;
        if (value.size() >= 4) std::memcpy(&f, value.data(), 4);
        return f >= 1 && f < 4e9f ? static_cast<unsigned long long>(f) : 0;
    }
    case 12: {
        double d = 0;
        if (value.size() >= 8) std::memcpy(&d, value.data(), 8);
        return d >= 1 && d < 4e9 ? static_cast<unsigned long long>(d) : 0;
    }
    default: return 0;
    }
}

} // namespace

bool JpegAnalyzer::HeaderWalk(bytes::Bytes data) {
    if (data.size() < 3 || data[2] != 0xFF) return false;
    std::size_t pos = 2;
    bool frame = false;
    for (unsigned segments = 0; segments < kMaxSegments; ++segments) {
        if (!bytes::Has(data, pos, 2)) return false;
        const unsigned marker = data[pos + 1];
        if (marker == 0xFF) {
            pos += 2;
            continue;
        }
        if (marker == 0xDA) return bytes::Has(data, pos, 5) && frame && data[pos + 4] == 3;
        if (IsSof(marker)) {
            if (!bytes::Has(data, pos, 10) || data[pos + 4] != 8 || data[pos + 9] != 3) return false;
            frame = true;
        }
        if (!bytes::Has(data, pos, 4)) return false;
        pos += std::size_t{bytes::Be16(data, pos + 2)} + 2;
    }
    return false;
}

int JpegAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!m_classic->AnalyseBuffer(sector, info)) return 0;
    info.m_eRawFileType = kJpgType;
    return 1;
}

int JpegAnalyzer::AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes,
                                  long long sectorNo, long long, long long endSector) {
    if (!sector) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes head = window.At(0, 10);
    if (head.empty() || head[0] != 0xFF || head[1] != 0xD8 || head[2] != 0xFF) return 0;
    if (!Tagged(head, "JFIF") && !Tagged(head, "Exif")) {
        if (head[3] != 0xDB && head[3] != 0xEE) return 0;
        bytes::Bytes data = window.From(0);
        if (endSector > sectorNo && sectorBytes > 0)
            data = data.first(std::min<std::size_t>(
                data.size(), static_cast<std::size_t>((endSector - sectorNo) * sectorBytes)));
        if (!HeaderWalk(data)) return 0;
    }
    info.m_eRawFileType = kJpgType;
    return 1;
}

using Info = JpegAnalyzer::JpegRawFileInfo;

void Info::WillBeRemove(unsigned char*, long long) {
    if (m_pOwner) m_pAnalyser = m_pOwner->Classic();
}

bytes::Bytes Info::At(unsigned long long offset, std::size_t n) const {
    const long long here = (m_llSector - m_llStartSector) * m_nSectorBytes;
    return m_pContext->m_Window.At(static_cast<long long>(offset) - here, n);
}

unsigned long long Info::DataRead() const {
    const long long end = (m_pContext->m_llWindowEnd - m_llStartSector) * m_nSectorBytes;
    return end > 0 ? static_cast<unsigned long long>(end) : 0;
}

void Info::ReadExif(unsigned long long block) {
    if (block < 2) return;
    const bytes::Bytes head = At(block, 14);
    const bytes::Bytes field = At(block - 2, 2);
    if (head.empty() || field.empty()) return;
    const bool little = head[6] == 'I' && head[7] == 'I';
    if (!little && !(head[6] == 'M' && head[7] == 'M')) return;
    if (U16(head, 8, little) != 42) return;
    const std::uint32_t first = U32(head, 10, little);
    if (first < 8 || first > 16) return;
    ReadDir(block + 6, block + 14, bytes::Be16(field, 0), little);
}

void Info::ReadDir(unsigned long long tiff, unsigned long long dir, unsigned blockLength, bool little) {
    if (m_nDirsRead >= kMaxExifDirs) return;
    ++m_nDirsRead;
    const unsigned long long data = DataRead();
    const bytes::Bytes countBytes = At(dir, 2);
    if (countBytes.empty()) return;
    const unsigned count = U16(countBytes, 0, little);
    if (count < 1 || count > 512 || 12ull * count > blockLength) return;
    bool makeHere = false;
    for (unsigned e = 0; e < count; ++e) {
        const unsigned long long at = dir + 2 + 12ull * e;
        const bytes::Bytes entry = at + 12 <= data ? At(at, 12) : bytes::Bytes{};
        if (entry.empty()) return;
        const unsigned tag = U16(entry, 0, little), format = U16(entry, 2, little);
        const std::uint32_t n = U32(entry, 4, little), word = U32(entry, 8, little);
        if (format < 1 || format > 12 || n == 0 || n > blockLength) return;
        const std::uint64_t size = std::uint64_t{n} * kBytesPerFormat[format];
        unsigned long long valueAt = at + 8;
        if (size > 4) {
            if (word + size > blockLength) return;
            if (tiff + word + size > data) break;
            valueAt = tiff + word;
        }
        const bytes::Bytes value = At(valueAt, static_cast<std::size_t>(std::min<std::uint64_t>(size, 64)));
        switch (tag) {
        case 0x010F: {
            const std::string make = Text(value.first(std::min<std::size_t>(value.size(), 39)));
            if (!ApiIsInvalidCharInFileName(Upper(make))) SetRawFileTagAndValue(RAW_TAG_CAMERA, Upper(make));
            m_strFileName = make;
            makeHere = true;
            break;
        }
        case 0x0110: {
            const std::string model = Text(value.first(std::min<std::size_t>(value.size(), 39)));
            m_strFileName = model;
            if (!makeHere && !model.empty() && !ApiIsInvalidCharInFileName(Upper(model)))
                SetRawFileTagAndValue(RAW_TAG_CAMERA, Upper(model));
            break;
        }
        case 0x9003: m_strFileTime = Text(value.first(std::min<std::size_t>(value.size(), 19))); break;
        case 0x0201:
        case 0x0202: m_ullMinSize += U32(value, 0, little) & (format == 3 ? 0xFFFF : 0xFFFFFFFF); break;
        case 0x8769:
        case 0xA005:
            if (word >= 1) {
                m_ullMinSize += std::uint64_t{word} + 40960;
                if (tiff + word < data) ReadDir(tiff, tiff + word, blockLength, little);
            }
            break;
        case 0x0100:
        case 0xA002: m_ullWidth = Dimension(value, format, little); break;
        case 0x0101:
        case 0xA003: {
            const unsigned long long height = Dimension(value, format, little);
            if (height >= 400 && m_ullWidth && m_ullMinSizeExtra == 0) {
                m_llPixelCount = static_cast<long long>(m_ullWidth * height);
                m_ullMinSize = m_ullWidth * height / 8;
                return;
            }
            break;
        }
        default: break;
        }
    }
    const unsigned long long linkAt = dir + 2 + 12ull * count;
    const bytes::Bytes link = linkAt + 4 <= data ? At(linkAt, 4) : bytes::Bytes{};
    if (link.empty()) return;
    const std::uint32_t next = U32(link, 0, little);
    if (next && tiff + next < data) ReadDir(tiff, tiff + next, blockLength, little);
}

void Info::WalkMarkers(unsigned long long sectorEnd) {
    const unsigned long long data = DataRead();
    while (m_llMarkerPos > 0 && static_cast<unsigned long long>(m_llMarkerPos) < sectorEnd) {
        const unsigned long long pos = static_cast<unsigned long long>(m_llMarkerPos);
        const bytes::Bytes seg = pos + 4 <= data ? At(pos, 4) : bytes::Bytes{};
        if (seg.empty()) return; // goes on when more is read
        if (seg[0] != 0xFF || seg[1] < 0xC0 || seg[1] == 0xFF) {
            m_llMarkerPos = 0;
            return;
        }
        const unsigned marker = seg[1];
        if (marker == 0xD8) {
            m_llMarkerPos += 2;
            continue;
        }
        if (marker == 0xC0 && m_llPixelCount == 0) {
            const bytes::Bytes sof = At(pos, 9);
            if (!sof.empty() && sof[4] == 8) {
                const unsigned long long height = bytes::Be16(sof, 5), width = bytes::Be16(sof, 7);
                if (height >= 401) {
                    m_llPixelCount = static_cast<long long>(width * height);
                    m_ullMinSize += width * height / 8;
                }
            }
        }
        if (marker == 0xE1) {
            const bytes::Bytes tag = At(pos + 4, 4);
            if (!tag.empty() && std::memcmp(tag.data(), "Exif", 4) == 0) ReadExif(pos + 4);
        }
        m_llMarkerPos += bytes::Be16(seg, 2) + 2;
    }
}

int Info::Finish(long long sectorNo, unsigned long long end) {
    m_ullFileSize = static_cast<unsigned long long>(sectorNo - m_llStartSector) * m_nSectorBytes + end;
    if (ApiIsInvalidCharInFileName(m_strFileName)) m_strFileName.clear();
    else if (ApiIsInvalidCharInFileName(m_strTagValue)) m_strTagValue.clear();
    char span[64];
    std::snprintf(span, sizeof span, "%lld-%lld", m_llStartSector, sectorNo);
    std::string name;
    if (!m_strTagValue.empty()) name += m_strTagValue + "_";
    if (!m_strFileName.empty()) name += m_strFileName + "_";
    m_strFileName = name + span;
    m_eRawFileType = kJpgType;
    return 1;
}

int Info::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNo, SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNo < m_llStartSector) return 2;
    m_pContext = &ctx;
    m_llSector = sectorNo;
    m_nSectorBytes = sectorBytes;
    const unsigned long long ss = static_cast<unsigned long long>(sectorBytes);
    const unsigned long long since = static_cast<unsigned long long>(sectorNo - m_llStartSector);
    if (since == 0) {
        const bytes::Bytes head = At(0, 28);
        if (Tagged(head, "JFIF")) {
            const bytes::Bytes exif = At(24, 4);
            if (!exif.empty() && std::memcmp(exif.data(), "Exif", 4) == 0) ReadExif(24);
        } else if (Tagged(head, "Exif")) {
            m_bExif = 1;
            ReadExif(6);
        }
        if (m_ullMinSize < 1025) m_llMarkerPos = 2;
    }
    if (!m_bExif) m_llSizeCap = kPlainCap;
    // Another file starting here means this picture ended before, unseen
    // (a small picture still inside its quiet zone, or an end marker with too
    // few zeros after it): rather than run on into the next file, it goes to
    // the classic sizer, which walks its scan data up to this sector.
    if (since > 0 && ctx.m_pNewInfo && ctx.m_pNewInfo->m_llStartSector == sectorNo) {
        m_llNextStart = sectorNo;
        Finish(sectorNo, 0);
        m_ullFileSize = 0;
        return 1;
    }
    if (m_llMarkerPos > 0 && static_cast<unsigned long long>(m_llMarkerPos) / ss == since) WalkMarkers((since + 1) * ss);

    // The end marker counts only where the sector ends in zeros, so one inside
    // the entropy data or a thumbnail is passed over.
    const unsigned long long before = since * ss;
    const unsigned tail = std::min<unsigned>(ctx.m_nTrailingZero, sectorBytes);
    const bool search = m_bExif ? tail > 8 && before > m_ullMinSize + m_ullMinSizeExtra : tail >= 8;
    static constexpr unsigned char kEoi[2] = {0xFF, 0xD9};
    auto zerosAfter = [&](long long end) {
        const bytes::Bytes b = ctx.m_Window.At(end, 4);
        return !b.empty() && !(b[0] | b[1] | b[2] | b[3]);
    };
    if (search) {
        const int end = RawUtility::FindMagicInBuffer(sector, sectorBytes, static_cast<int>(tail), kEoi, 2);
        if (end) {
            if (zerosAfter(end)) return Finish(sectorNo, static_cast<unsigned long long>(end));
        } else if (m_llPrevSector == sectorNo - 1 && sectorNo - 1 >= ctx.m_llWindowStart && since > 0) {
            // An end marker split by the sector boundary.
            const bytes::Bytes edge = ctx.m_Window.At(-1, 4);
            for (long long p = 1; !edge.empty() && p >= -1; --p) {
                if (edge[static_cast<std::size_t>(p + 1)] != 0xFF || edge[static_cast<std::size_t>(p + 2)] != 0xD9)
                    continue;
                if (zerosAfter(p + 2)) return Finish(sectorNo, static_cast<unsigned long long>(p + 2));
                break;
            }
        }
    }
    m_llPrevSector = sectorNo;
    // Past what its pixels could fill without a zero-tailed end marker (old
    // data after the file): the classic sizer walks the scan data to the end.
    if (m_llPixelCount > 0 && before > static_cast<unsigned long long>(m_llPixelCount)) {
        Finish(sectorNo, 0);
        m_ullFileSize = 0;
        return 1;
    }
    if (before > static_cast<unsigned long long>(m_llSizeCap)) {
        // Left to the classic sizer, which walks to the end of the scan data;
        // the cap stays when that fails.
        m_llCapReached = m_llSizeCap;
        Finish(sectorNo, 0);
        m_ullFileSize = 0;
        return 1;
    }
    return 2;
}

} // namespace BruteForce
