#include "engine/carver/analysers/TiffAnalyzer.h"

#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace BruteForce {

int TiffAnalyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head = info.WindowAt(sector).At(0, 16);
    if (head.empty()) return 0;
    const auto is = [&](const char* text, std::size_t n) { return std::memcmp(head.data(), text, n) == 0; };
    const bool ok = is("FUJIFILMCCD-RAW ", 16) || is("MM\0*", 4) || is("MMOR", 4) || is("II*\0", 4) ||
                    is("IIU\0", 4) || is("IIRO", 4) || is("IIRS", 4);
    if (!ok) return 0;
    info.m_eRawFileType = FileTIFAnalyser::kTifType;
    return 1;
}

using Info = TiffAnalyzer::TiffRawFileInfo;

namespace {

constexpr unsigned kMaxEntries = 512;
constexpr unsigned kMaxLinksPerCall = 1024;
constexpr long long kExpectedCap = 0xC7FFFFF;
constexpr long long kLargeEnd = 1048575;

} // namespace

bytes::Bytes Info::Read(long long offset, std::size_t n) {
    if (offset < 0 || !m_pContext) return {};
    // Values are read from the data held since the file's start; once that
    // has left the buffer nothing more can be followed.
    if (m_llStartSector < m_pContext->m_llWindowStart) {
        m_bStop = true;
        return {};
    }
    return HeldBytes(*m_pContext, m_llSector, static_cast<int>(m_llSectorBytes), offset - m_llSectorStart, n);
}

std::uint16_t Info::U16(bytes::Bytes b, std::size_t at) const { return m_bLittle ? bytes::Le16(b, at) : bytes::Be16(b, at); }
std::uint32_t Info::U32(bytes::Bytes b, std::size_t at) const { return m_bLittle ? bytes::Le32(b, at) : bytes::Be32(b, at); }

std::optional<std::uint32_t> Info::LastElement(unsigned type, std::uint32_t count, std::uint32_t value) {
    const unsigned width = tiff::TypeBytes(type);
    if (count <= 1) return value;
    if (width != 2 && width != 4) return std::nullopt;
    const bytes::Bytes last = Read(std::int64_t{value} + std::int64_t{count - 1} * width, width);
    if (last.empty()) return std::nullopt;
    return width == 2 ? U16(last, 0) : U32(last, 0);
}

bool Info::JpegAt(long long offset) {
    const bytes::Bytes b = Read(offset, 4);
    return !b.empty() && tiff::IsJpegStart(b.data());
}

std::string Info::TextAt(bytes::Bytes entry, std::uint64_t size) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(size, 63));
    const bytes::Bytes b = size <= 4 ? entry.subspan(8, n) : Read(U32(entry, 8), n);
    std::string text(reinterpret_cast<const char*>(b.data()), b.size());
    return text.substr(0, text.find('\0'));
}

void Info::Queue(long long offset) {
    if (offset <= 0) return;
    m_pending.emplace(static_cast<std::uint32_t>(offset), m_llStartSector + offset / m_llSectorBytes);
    if (m_llNext == 0 || m_llNext < offset) m_llNext = offset;
}

void Info::Entry(bytes::Bytes entry, std::uint64_t size, std::set<long long>& queued) {
    const unsigned tag = U16(entry, 0), type = U16(entry, 2);
    const std::uint32_t count = U32(entry, 4), value = U32(entry, 8);
    const long long at = value;
    switch (tag) {
    case 0x0100:
    case 0x0101: {
        // Either width: the 16-bit form is as common as the 32-bit one.
        const std::uint32_t v = type == 3 ? U16(entry, 8) : type == 4 ? value : 0;
        (tag == 0x0100 ? m_nWidth : m_nHeight) = v;
        break;
    }
    case 0x010F:
        if (!m_bMakeTaken) {
            m_bMakeTaken = true;
            const std::string make = ApiStrFilterBadFileName(tiff::Upper(TextAt(entry, size)));
            if (!ApiIsInvalidCharInFileName(make) && !make.empty() && make.size() <= 30) {
                m_strMake = make;
                SetRawFileTagAndValue(RAW_TAG_CAMERA, make);
            }
        }
        break;
    case 0x0110:
        if (!m_bModelTaken) {
            m_bModelTaken = true;
            std::string model = ApiStrFilterBadFileName(TextAt(entry, size));
            if (ApiIsInvalidCharInFileName(model)) model.clear();
            m_strModel = model;
            if (m_strMake.empty() && !model.empty()) SetRawFileTagAndValue(RAW_TAG_CAMERA, model);
        }
        break;
    case 0x0132: {
        const std::string time = TextAt(entry, size);
        if (time.size() >= 10 && time.size() <= 40) m_strFileTime = time;
        break;
    }
    case 0x0111: {
        const auto last = LastElement(type, count, value);
        if (!last) {
            m_bStop = true;
            break;
        }
        m_llStripOffset = *last;
        m_bStripJpeg = m_bStripPending = false;
        if (count <= 1) {
            if (Read(m_llStripOffset, 4).empty()) m_bStripPending = true;
            else m_bStripJpeg = JpegAt(m_llStripOffset);
        }
        break;
    }
    case 0x0117: {
        const auto last = LastElement(type, count, value);
        if (!last) {
            m_bStop = true;
            break;
        }
        if (m_bStripJpeg) {
            m_ullMinSize = static_cast<unsigned long long>(m_llStripOffset);
            m_ullMinSizeExtra = *last;
        } else if (m_bStripPending) {
            m_jpegs[static_cast<std::uint32_t>(m_llStripOffset)] = *last;
        }
        if (m_llStripOffset >= 1 && *last >= 1) {
            const long long end = m_llStripOffset + *last;
            Raise(end);
            if ((m_llFarthest - 1) / m_llSectorBytes == (end - 1) / m_llSectorBytes) m_llFarthest = end;
        }
        m_bCountsSeen = true;
        break;
    }
    case 0x0201:
        m_llThumbOffset = value;
        m_bThumbJpeg = m_bThumbPending = false;
        if (Read(m_llThumbOffset, 4).empty()) m_bThumbPending = true;
        else m_bThumbJpeg = JpegAt(m_llThumbOffset);
        break;
    case 0x0202:
        Raise(m_llThumbOffset + value);
        if (m_bThumbJpeg) {
            m_ullMinSize = static_cast<unsigned long long>(m_llThumbOffset);
            m_ullMinSizeExtra = value;
        } else if (m_bThumbPending) {
            m_jpegs[static_cast<std::uint32_t>(m_llThumbOffset)] = value;
        }
        m_bCountsSeen = true;
        break;
    case 0x0144:
        Raise(at + static_cast<long long>(size));
        m_tileOffsets = {value, count, type, tiff::TypeBytes(type)};
        break;
    case 0x0145:
        Raise(at + static_cast<long long>(size));
        m_tileCounts = {value, count, type, tiff::TypeBytes(type)};
        if (m_tileCounts.count == m_tileOffsets.count && m_tileCounts.bytes == m_tileOffsets.bytes) {
            // The end of the last tile, when both arrays' last elements are held.
            const auto offset = LastElement(m_tileOffsets.type, m_tileOffsets.count, m_tileOffsets.offset);
            const auto bytes = LastElement(m_tileCounts.type, m_tileCounts.count, m_tileCounts.offset);
            if (offset && bytes) Raise(std::int64_t{*offset} + *bytes);
        }
        break;
    case 0x014A: {
        if (count == 0) {
            m_bStop = true;
            break;
        }
        const unsigned n = std::min<std::uint32_t>(count, kMaxEntries);
        const unsigned width = tiff::TypeBytes(type);
        long long last = 0;
        for (unsigned i = 0; i < n && !m_bStop; ++i) {
            long long sub = value;
            if (n > 1) {
                const bytes::Bytes element = Read(at + std::int64_t{i} * width, width);
                if (element.empty() || (width != 2 && width != 4)) {
                    m_bStop = true;
                    break;
                }
                sub = width == 2 ? U16(element, 0) : U32(element, 0);
            }
            if (sub == 1 || Read(sub, 2).empty()) {
                m_bStop = true;
                break;
            }
            // A sub-directory's own links must not take over the chain.
            const long long next = m_llNext, current = m_llCurrent;
            ParseDirectory(sub);
            m_llNext = next;
            m_llCurrent = current;
            last = sub;
        }
        if (!m_bStop && last > 0) {
            Queue(last);
            queued.insert(last);
        }
        break;
    }
    case 0x8769:
        Raise(at);
        m_nMakerBase = 0;
        Queue(at);
        queued.insert(at);
        break;
    case 0x927C:
        Queue(std::int64_t{m_nMakerBase} + at);
        queued.insert(std::int64_t{m_nMakerBase} + at);
        break;
    case 0x002E:
    case 0x935C: Raise(at + static_cast<long long>(size)); break;
    case 0xC612: m_bDng = true; break;
    default: break;
    }
}

void Info::ParseDirectory(long long position) {
    if (!m_parsed.insert(position).second) return;
    m_pending.erase(static_cast<std::uint32_t>(position));
    if (m_nDirectories >= kMaxDirectories) {
        m_bStop = true;
        m_llNext = 1;
        return;
    }
    ++m_nDirectories;
    m_llCurrent = position;
    m_bDirectoryValid = false;
    const bytes::Bytes countBytes = Read(position, 2);
    const unsigned n = countBytes.empty() ? kMaxEntries + 1 : U16(countBytes, 0);
    const long long windowBytes = (m_pContext->m_llWindowEnd - m_pContext->m_llWindowStart) * m_llSectorBytes;
    const bytes::Bytes body = n <= kMaxEntries && n <= windowBytes / 12 ? Read(position + 2, 12u * n + 4) : bytes::Bytes{};
    if (body.empty()) {
        m_llNext = 0;
        return;
    }
    m_bDirectoryValid = true;
    Raise(position + 12 * static_cast<long long>(n) + 2);
    std::set<long long> queued;
    long long lastQueued = 0;
    for (unsigned e = 0; e < n; ++e) {
        const bytes::Bytes entry = body.subspan(12u * e, 12);
        const unsigned width = tiff::TypeBytes(U16(entry, 2));
        const std::uint64_t size = std::uint64_t{U32(entry, 4)} * width;
        if (size > 4) Raise(static_cast<long long>(U32(entry, 8)) + static_cast<long long>(size));
        if (width == 1 || width == 2 || width == 4) {
            const std::size_t before = queued.size();
            Entry(entry, size, queued);
            if (queued.size() != before && (U16(entry, 0) == 0x8769 || U16(entry, 0) == 0x927C))
                lastQueued = U16(entry, 0) == 0x8769 ? U32(entry, 8) : std::int64_t{m_nMakerBase} + U32(entry, 8);
        }
    }
    m_eRawFileType = FileTIFAnalyser::TypeByMake(m_strMake, m_strModel, m_bDng, m_bRw2, m_eRawFileType);
    if (m_nWidth >= 400 && m_nHeight >= 600) m_llExpected = std::int64_t{m_nWidth} * m_nHeight;
    const std::uint32_t link = U32(body, 12u * n);
    if (link != 0) {
        m_llNext = link;
        m_pending.emplace(link, m_llStartSector + link / m_llSectorBytes);
    } else {
        m_llNext = lastQueued != 0 && lastQueued >= m_llNext ? lastQueued : 0;
    }
    if (m_bStop) m_llNext = 1;
    Raise(m_llNext);
}

int Info::Finish(long long sectorNumber) {
    char name[200];
    if (!m_strMake.empty())
        std::snprintf(name, sizeof name, "%s_%s_%lld-%lld_", m_strMake.c_str(), m_strModel.c_str(), m_llStartSector,
                      sectorNumber);
    else
        std::snprintf(name, sizeof name, "%s_%lld-%lld_", m_strModel.c_str(), m_llStartSector, sectorNumber);
    SetRawFileName(name);
    const long long whole = m_llSectorStart + m_llSectorBytes;
    if (m_llFarthest > kLargeEnd) m_ullFileSize = static_cast<unsigned long long>(whole);
    else if (m_llFarthest > m_llSectorStart && m_llFarthest <= whole && m_eRawFileType != FileTIFAnalyser::kTifType)
        m_ullFileSize = static_cast<unsigned long long>(m_llFarthest);
    else
        m_ullFileSize = static_cast<unsigned long long>(whole);
    return 1;
}

int Info::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    m_pContext = &context;
    m_llSector = sectorNumber;
    m_llSectorBytes = sectorBytes;
    m_llSectorStart = (sectorNumber - m_llStartSector) * sectorBytes;
    const long long sectorEnd = m_llSectorStart + sectorBytes;
    const auto handOver = [&] {
        // Left to the classic sizer, which reads the device.
        m_ullFileSize = 0;
        return 1;
    };
    // A file that can no longer be followed (its start has left the buffer,
    // an array lies past what was read, too many directories) may reach
    // past anything seen so far: the classic sizer reads it from the device
    // rather than the file being cut where the walk stopped.
    const auto stopped = [&] { return handOver(); };

    if (m_bFirst) {
        m_bFirst = false;
        const bytes::Bytes head = Read(0, 16);
        if (head.empty()) return handOver();
        if (std::memcmp(head.data(), "IIU\0", 4) == 0) {
            m_eRawFileType = 86;
            m_bRw2 = true;
            return handOver();
        }
        if (std::memcmp(head.data(), "FUJIFILMCCD-RAW ", 16) == 0) return handOver();
        m_bLittle = head[0] == 'I';
        const long long first = U32(head, 4);
        if (first >= sectorEnd) {
            m_llFarthest = first;
            if (first >= kFarFirstDirectory) return handOver();
            m_pending.emplace(static_cast<std::uint32_t>(first), m_llStartSector + first / sectorBytes);
        }
        m_llNext = first;
    }

    // The directory chain, as far as it stays in this sector.
    if (m_llNext >= m_llSectorStart && m_llNext < sectorEnd && m_llNext > 0) {
        const long long first = m_llNext;
        for (unsigned i = 0; i < kMaxLinksPerCall && !m_bStop; ++i) {
            if (m_llNext <= 0 || m_llNext < m_llSectorStart || m_llNext >= sectorEnd) break;
            if (m_llNext < first) return Finish(sectorNumber); // a link backwards
            if (m_parsed.count(m_llNext)) break;
            ParseDirectory(m_llNext);
        }
        if (!m_bStop && m_llNext > 0 && m_llNext < first) return Finish(sectorNumber);
    }
    if (m_bStop) return stopped();

    // Directories and embedded JPEGs waiting for this sector.
    std::vector<std::uint32_t> here;
    for (const auto& [offset, s] : m_pending)
        if (s == sectorNumber) here.push_back(offset);
    for (std::uint32_t offset : here) {
        const long long next = m_llNext;
        ParseDirectory(offset);
        if (m_llNext == 0) m_llNext = next;
        if (m_bStop) return stopped();
    }
    for (auto it = m_jpegs.begin(); it != m_jpegs.end();) {
        if (it->first >= m_llSectorStart && it->first < sectorEnd) {
            if (JpegAt(it->first)) {
                m_ullMinSize = it->first;
                m_ullMinSizeExtra = it->second;
            }
            it = m_jpegs.erase(it);
        } else {
            ++it;
        }
    }
    if (m_bStop) return stopped();

    if (m_llExpected > m_llFarthest && m_llExpected <= kExpectedCap && !m_bCountsSeen) m_llFarthest = m_llExpected;

    // The end: a zero tail past the farthest byte.
    const unsigned zeros = context.m_nTrailingZero;
    if (zeros >= 32) {
        if (sectorEnd <= m_llFarthest) return 2;
    } else if (zeros >= 16) {
        return 2;
    } else if (sectorEnd < m_llFarthest ||
               (m_llFarthest < kSmallEnd &&
                !(m_llFarthest > 0 && m_pending.empty() && m_jpegs.empty() && m_llNext <= 0))) {
        // A small file whose directories are all read ends past its
        // farthest byte whatever follows; otherwise only at a zero tail.
        return 2;
    }
    return Finish(sectorNumber);
}

} // namespace BruteForce
