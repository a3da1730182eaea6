#include "engine/carver/analysers/ApeAdtsAsfAnalysers.h"

#include "engine/carver/analysers/StreamView.h"

#include <algorithm>
#include <cstring>

namespace BruteForce {

namespace {

unsigned long long RoundUp(unsigned long long n, unsigned long long unit) { return (n + unit - 1) / unit * unit; }

unsigned long long SaturatingAdd(unsigned long long a, unsigned long long b) { return b > ~0ull - a ? ~0ull : a + b; }

} // namespace

// ---- APE --------------------------------------------------------------------

int CAPEAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    info.m_eRawFileType = CAPERawFileInfo::kApeType;
    return 1;
}

int CAPERawFileInfo::Capped(int answer) {
    if (m_ullFileSize > kLimit) {
        m_ullFileSize = kLimit;
        return 1;
    }
    return answer;
}

// 0: the size is known and the tail decides; else the step's answer.
int CAPERawFileInfo::ReadNewHeader(int sectorBytes, long long sectorNumber, const SearchContext& ctx) {
    const CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    const bytes::Bytes descriptor = view.At(0, 36);
    if (descriptor.empty()) return view.Ready(0, 36) ? 1 : 2;
    const std::int32_t d = static_cast<std::int32_t>(bytes::Le32(descriptor, 8));
    if (d < 1) return 1;
    // The header after the descriptor may run past the current block: it is
    // read from the file's start in a later step.
    const unsigned long long headerEnd = static_cast<unsigned long long>(d) + 24;
    if (!view.Ready(0, static_cast<std::size_t>(headerEnd))) return 2;
    const bytes::Bytes header = view.At(static_cast<unsigned long long>(d), 24);
    if (header.empty()) return 1;
    const unsigned bits = bytes::Le16(header, 16), channels = bytes::Le16(header, 18);
    m_nBlockAlign = bits / 8 * channels;
    if (m_nBlockAlign == 0 || (channels != 1 && channels != 2)) {
        m_ullFileSize = 0;
        return 1;
    }
    const std::uint32_t seekAndDescriptor = bytes::Le32(descriptor, 16) + static_cast<std::uint32_t>(d);
    m_ullFileSize = std::uint64_t{bytes::Le32(descriptor, 12)} + seekAndDescriptor + bytes::Le32(descriptor, 20) +
                    (std::uint64_t{bytes::Le32(descriptor, 28)} << 32 | bytes::Le32(descriptor, 24)) +
                    bytes::Le32(descriptor, 32);
    return m_ullCovered >= m_ullFileSize ? 0 : 1;
}

void CAPERawFileInfo::ScanSeekTable(const unsigned char* from, std::size_t bytes) {
    const std::size_t entries = static_cast<std::size_t>(std::min<unsigned long long>(m_ullHeaderLeft, bytes)) / 4;
    for (std::size_t i = 0; i < entries; ++i) {
        const std::uint32_t e = bytes::Le32(bytes::Bytes(from + 4 * i, 4), 0);
        if (e == 0 || e > 0x81FFFFFF) break;
        m_ullLargestSeek = std::max<unsigned long long>(m_ullLargestSeek, e);
    }
}

// Old format: the seek table, whose first entry is the header's length and
// whose largest is the start of the last frame. 0: that start is the size.
int CAPERawFileInfo::ReadOldHeader(const unsigned char* sector, int sectorBytes) {
    const std::size_t ss = static_cast<std::size_t>(sectorBytes);
    std::size_t from = 0;
    if (m_ullHeaderLeft == 0) {
        const bytes::Bytes head(sector, ss);
        const unsigned flags = bytes::Le16(head, 8), channels = bytes::Le16(head, 10);
        std::size_t table = 32;
        if (flags & 4) table += 4;
        std::uint32_t seekCount = bytes::Le32(head, 24);
        if (flags & 16) {
            seekCount = bytes::Le32(head, table);
            table += 4;
        }
        if (bytes::Le32(head, 16) != 0) table += 44;
        m_nBlockAlign = channels * ((flags & 1) ? 8 : (flags & 8) ? 3 : 2);
        if (m_nBlockAlign == 0 || (channels != 1 && channels != 2)) return 1;
        unsigned long long h = bytes::Le32(head, table);
        // The header is read only from the file's first sector: without a
        // usable first entry there is nothing to size the file by.
        if (h < 1 || h > 0x81FFFFFF) return 1;
        if (m_nVersion <= 3800) h = h > seekCount ? h - seekCount : 0;
        if (h == 0) return 1;
        m_ullHeaderLeft = h;
        from = std::min(table, ss);
    }
    ScanSeekTable(sector + from, ss - from);
    if (static_cast<unsigned long long>(ss) + 4 < m_ullHeaderLeft) {
        m_ullHeaderLeft -= ss;
        return 2;
    }
    m_ullFileSize = m_ullLargestSeek;
    return m_ullFileSize > 0 && m_ullCovered >= m_ullFileSize ? 0 : 2;
}

int CAPERawFileInfo::Tail(const unsigned char* sector, int sectorBytes, const SearchContext& ctx) {
    const long long ss = sectorBytes;
    if (ctx.m_nTrailingZero == 0) {
        if (m_nVersion < 3980) m_ullFileSize = m_ullCovered;
        return 2;
    }
    long long zeros = 0;
    while (zeros < ss && sector[ss - 1 - zeros] == 0) ++zeros;
    // An APE tag, searched back from the sector's end.
    for (long long p = ss - 8; p >= 0; --p) {
        if (std::memcmp(sector + p, "APETAGEX", 8) != 0) continue;
        const bytes::Bytes tag = ctx.m_Window.At(p, 32);
        if (tag.empty()) continue;
        const std::uint32_t size = bytes::Le32(tag, 12), items = bytes::Le32(tag, 16), flags = bytes::Le32(tag, 20);
        if (items > 65535 || size - 32u > 0x1000000u) continue;
        const long long total = static_cast<long long>(size) + ((flags & 0x80000000u) ? 32 : 0);
        const long long at = (flags & 0x20000000u) ? p : p + 32 - total;
        if (m_nVersion < 3980) {
            const long long end = static_cast<long long>(m_ullCovered) - ss + at + total;
            m_ullFileSize = end > 0 ? static_cast<unsigned long long>(end) : 0;
        } else {
            m_ullFileSize = (m_ullFileSize + static_cast<unsigned long long>(total)) / m_nBlockAlign * m_nBlockAlign +
                            m_nBlockAlign;
        }
        return 1;
    }
    m_ullFileSize = RoundUp(m_ullCovered - static_cast<unsigned long long>(zeros), m_nBlockAlign) + m_nBlockAlign;
    return 1;
}

int CAPERawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                 SearchContext& ctx) {
    m_ullFileSize = m_ullTarget;
    const int answer = Step(sector, sectorBytes, sectorNumber, ctx);
    m_ullTarget = m_ullFileSize;
    // While the file goes on, its size so far never passes the device's end
    // (the record may be dropped before it finishes).
    const std::uint64_t toEnd = ctx.m_Window.BytesToDeviceEnd();
    if (answer != 1 && toEnd != CRawWindow::kUnknownEnd && sectorNumber >= m_llStartSector)
        m_ullFileSize = std::min(m_ullTarget, static_cast<unsigned long long>(sectorNumber - m_llStartSector) *
                                                      static_cast<unsigned>(sectorBytes) + toEnd);
    return answer;
}

int CAPERawFileInfo::Step(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    if (!sector || sectorBytes <= 0) return 2;
    if (!m_bStarted) {
        m_bStarted = true;
        m_nVersion = bytes::Le16(bytes::Bytes(sector, 6), 4);
        if (m_nVersion < 1000 || m_nVersion > 9999) {
            m_ullFileSize = 0;
            return 1;
        }
    }
    m_ullCovered += static_cast<unsigned long long>(sectorBytes);
    if (m_ullCovered > 0x81FFFFFF || m_ullFileSize > 0x81FFFFFF) return Capped(1);
    if (m_ullFileSize == 0) {
        const int r = m_nVersion >= 3980 ? ReadNewHeader(sectorBytes, sectorNumber, ctx) : ReadOldHeader(sector, sectorBytes);
        if (r != 0) return Capped(r);
    }
    if (m_nBlockAlign == 0 || m_ullCovered < m_ullFileSize) return 2;
    return Capped(Tail(sector, sectorBytes, ctx));
}

// ---- ADTS -------------------------------------------------------------------

long long CADTSRawFileInfo::s_llFollowStart = -1;
long long CADTSRawFileInfo::s_llFollowReach = -1;

unsigned CADTSAnalyser::FrameLength(bytes::Bytes h) {
    if (h.size() < 6) return 0;
    const unsigned sync = bytes::Be16(h, 0);
    if (sync < 0xFFF0 || (sync & 0x6) != 0) return 0;
    return (h[3] & 3u) << 11 | unsigned{h[4]} << 3 | h[5] >> 5;
}

int CADTSAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    info.m_eRawFileType = CADTSRawFileInfo::kM4aType;
    return 1;
}

int CADTSAnalyser::AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes,
                                   long long sectorNumber, long long, long long windowEnd) {
    m_bLastOverflow = false;
    if (!sector || sectorBytes <= 0) return 0;
    // A frame of the stream being followed that starts a sector.
    if (CADTSRawFileInfo::s_llFollowStart >= 0 && sectorNumber > CADTSRawFileInfo::s_llFollowStart &&
        sectorNumber <= CADTSRawFileInfo::s_llFollowReach)
        return 0;
    const CRawWindow window = info.WindowAt(sector);
    long long offset = 0;
    int frames = 0;
    for (; frames < 5 && sectorNumber * sectorBytes + 9 + offset <= windowEnd * sectorBytes; ++frames) {
        const unsigned length = FrameLength(window.At(offset, 6));
        if (length == 0) return 0;
        offset += length;
    }
    if (frames == 0) return 0;
    m_bLastOverflow = frames < 5;
    info.m_eRawFileType = CADTSRawFileInfo::kM4aType;
    return 1;
}

CRawFileInfo* CADTSAnalyser::CreateRawFileInfo() {
    auto* record = new CADTSRawFileInfo(m_bLastOverflow);
    m_bLastOverflow = false;
    return record;
}

namespace {
// A frame's version, profile and sample rate (0 when it is no frame).
unsigned StreamKey(bytes::Bytes header, unsigned length) {
    return length ? 0x10000u | (header[1] & 0x08u) << 8 | (header[2] & 0xFCu) : 0;
}
} // namespace

int CADTSRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                  SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    m_ullCovered = view.Covered();
    while (m_ullWalk < m_ullCovered) {
        // A header running past the current block is read in a later step.
        if (!view.Ready(m_ullWalk, 6)) break;
        const bytes::Bytes header = view.At(m_ullWalk, 6);
        unsigned length = CADTSAnalyser::FrameLength(header);
        // Random bytes after the last frame that begin with a frame sync
        // are not one more frame: a frame keeps the stream's version,
        // profile and sample rate.
        const unsigned key = StreamKey(header, length);
        if (m_nStream == 0) m_nStream = key;
        if (key != m_nStream && length) {
            // Another stream put right after this one carries it on when
            // the frame after its first has the same parameters.
            if (!view.Ready(m_ullWalk + length, 6)) break;
            const bytes::Bytes next = view.At(m_ullWalk + length, 6);
            if (StreamKey(next, CADTSAnalyser::FrameLength(next)) == key) m_nStream = key;
            else length = 0;
        }
        if (length == 0) {
            // The last frame ends the stream, whatever follows it.
            m_ullFileSize = m_ullWalk;
            if (m_bOverflow && m_ullFrames <= 4) {
                m_ullFileSize = 0;
                m_bOverflow = false;
            }
            return 1;
        }
        ++m_ullFrames;
        m_ullWalk += length;
    }
    s_llFollowStart = m_llStartSector;
    s_llFollowReach = m_llStartSector + static_cast<long long>(m_ullWalk / static_cast<unsigned>(sectorBytes));
    // The size so far, should the record be dropped before its end: the
    // frames walked, but never past the device's end.
    const std::uint64_t toEnd = ctx.m_Window.BytesToDeviceEnd();
    m_ullFileSize = toEnd == CRawWindow::kUnknownEnd ? m_ullWalk : std::min(m_ullWalk, view.Before() + toEnd);
    return 2;
}

// ---- ASF --------------------------------------------------------------------

const Guid CAsfRawFileInfo::kHeaderObject = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                             0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
const Guid CAsfRawFileInfo::kStreamProperties = {0x91, 0x07, 0xDC, 0xB7, 0xB7, 0xA9, 0xCF, 0x11,
                                                 0x8E, 0xE6, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
const Guid CAsfRawFileInfo::kAudioMedia = {0x40, 0x9E, 0x69, 0xF8, 0x4D, 0x5B, 0xCF, 0x11,
                                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
const Guid CAsfRawFileInfo::kVideoMedia = {0xC0, 0xEF, 0x19, 0xBC, 0x4D, 0x5B, 0xCF, 0x11,
                                           0xA8, 0xFD, 0x00, 0x80, 0x5F, 0x5C, 0x44, 0x2B};
// Data, Simple Index, Index, Media Object Index and Timecode Index objects.
const Guid CAsfRawFileInfo::kTopLevel[5] = {
    {0x36, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11, 0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C},
    {0x90, 0x08, 0x00, 0x33, 0xB1, 0xE5, 0xCF, 0x11, 0x89, 0xF4, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xCB},
    {0xD3, 0x29, 0xE2, 0xD6, 0xDA, 0x35, 0xD1, 0x11, 0x90, 0x34, 0x00, 0xA0, 0xC9, 0x03, 0x49, 0xBE},
    {0xF8, 0x03, 0xB1, 0xFE, 0xAD, 0x12, 0x64, 0x4C, 0x84, 0x0F, 0x2A, 0x1D, 0x2F, 0x7A, 0xD4, 0x8C},
    {0xD0, 0x3F, 0xB7, 0x3C, 0x4A, 0x0C, 0x03, 0x48, 0x95, 0x3D, 0xED, 0xF7, 0xB6, 0x22, 0x8F, 0x0C},
};

namespace {

bool Is(bytes::Bytes b, std::size_t at, const Guid& guid) {
    return bytes::Has(b, at, 16) && std::memcmp(b.data() + at, guid.data(), 16) == 0;
}

} // namespace

int CAsfAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !Is(bytes::Bytes(sector, 16), 0, CAsfRawFileInfo::kHeaderObject)) return 0;
    info.m_eRawFileType = CAsfRawFileInfo::kAsf;
    return 1;
}

int CAsfRawFileInfo::End(unsigned long long size) {
    m_ullFileSize = std::min(size, kLimit);
    if (m_nOther == 0 && m_nVideo == 1) m_eRawFileType = kWmv;
    else if (m_nOther == 0 && m_nAudio > 0) m_eRawFileType = kWma;
    else m_eRawFileType = kAsf;
    return 1;
}

int CAsfRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                 SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    if (!m_bStarted) {
        const bytes::Bytes head = view.At(0, 30);
        if (head.empty()) return 1;
        m_bStarted = true;
        m_ullHeaderEnd = m_ullTop = bytes::Le64(head, 16);
        m_ullHeaderWalk = 30;
    }
    m_ullCovered = view.Covered();
    // The streams, from the header's stream properties.
    while (m_ullHeaderWalk < m_ullCovered && m_ullHeaderWalk < m_ullHeaderEnd) {
        const bytes::Bytes object = view.At(m_ullHeaderWalk, 40);
        if (object.empty()) break; // read in a later step
        const unsigned long long size = bytes::Le64(object, 16);
        if (Is(object, 0, kStreamProperties)) {
            if (Is(object, 24, kVideoMedia)) {
                ++m_nVideo;
                ++m_nAudio;
            } else if (Is(object, 24, kAudioMedia)) {
                ++m_nAudio;
            } else {
                ++m_nOther;
            }
        }
        if (size == 0) break;
        m_ullHeaderWalk = SaturatingAdd(m_ullHeaderWalk, size);
    }
    // The objects after the header, up to the first that is not one of them.
    while (m_ullTop < m_ullCovered) {
        if (!view.Ready(m_ullTop, 24)) return 2;
        const bytes::Bytes object = view.At(m_ullTop, 24);
        if (object.empty()) return 1; // no longer held
        const bool known = std::any_of(std::begin(kTopLevel), std::end(kTopLevel),
                                       [&](const Guid& g) { return Is(object, 0, g); });
        const unsigned long long size = bytes::Le64(object, 16);
        // An object of size 0 would hold the walk where it is for ever, and
        // one smaller than its own header or running past the size limit is
        // random bytes after the file that begin with a known id: the file
        // ends there.
        if (!known || size < 24 || SaturatingAdd(m_ullTop, size) > kLimit) return End(m_ullTop);
        m_ullTop = SaturatingAdd(m_ullTop, size);
    }
    return 2;
}

} // namespace BruteForce
