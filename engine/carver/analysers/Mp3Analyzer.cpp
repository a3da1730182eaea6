#include "engine/carver/analysers/Mp3Analyzer.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/StreamView.h"
#include "engine/common/TextConvert.h"

#include <chardet/chardet.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <functional>
#include <vector>

namespace {

constexpr unsigned long long kMaxTagSize = 0x40000000;

bool StartsWith(bytes::Bytes b, const char* text) {
    const std::size_t n = std::strlen(text);
    return b.size() >= n && std::memcmp(b.data(), text, n) == 0;
}

bool IsId3Start(bytes::Bytes b) { return b.size() >= 4 && StartsWith(b, "ID3") && (b[3] == 3 || b[3] == 4); }

// The text up to its first NUL, at most n bytes.
std::string CText(bytes::Bytes b, std::size_t from, std::size_t n) {
    if (from >= b.size()) return {};
    n = std::min(n, b.size() - from);
    const auto* p = reinterpret_cast<const char*>(b.data() + from);
    return std::string(p, strnlen(p, n));
}

// An ID3v2 header with a size that reads: where a new file begins when it
// starts a sector.
bool IsNewFileTag(bytes::Bytes b) {
    unsigned size = 0;
    return b.size() >= 10 && IsId3Start(b) && classMp3Search::GetSynchsafeInteger(b.data() + 6, &size);
}

bool IsApeTag(bytes::Bytes b) { return b.size() >= 9 && StartsWith(b, "APETAGEX") && b[8] == 0xD0; }

// Walks the frames of an ID3v2 tag whose size field says tagSize: fetch(offset,
// n) gives the tag's bytes; visit(id, offset, size) sees each frame. The
// walk ends at a frame size of 0 or above the tag limit, an unreadable
// header, or an offset reaching the tag size.
void WalkId3v2(unsigned long long tagSize, const std::function<bytes::Bytes(unsigned long long, std::size_t)>& fetch,
               const std::function<void(const char*, unsigned long long, unsigned long long)>& visit) {
    unsigned long long offset = 10;
    while (offset < tagSize) {
        const bytes::Bytes head = fetch(offset, 10);
        if (head.empty()) return;
        const unsigned long long size = bytes::Be32(head, 4);
        if (size == 0 || size > kMaxTagSize) return;
        char id[5] = {};
        std::memcpy(id, head.data(), 4);
        visit(id, offset, size);
        offset += size + 10;
    }
}

} // namespace

// ---- texts ------------------------------------------------------------------

namespace Mp3Text {

std::string Detect(const std::string& text) {
    if (text.empty()) return {};
    DetectObj* obj = detect_obj_init();
    if (!obj) return {};
    std::string answer;
    const short r = detect(text.c_str(), &obj);
    if (r == CHARDET_SUCCESS && obj && obj->encoding && obj->confidence > 0) answer = obj->encoding;
    detect_obj_free(&obj);
    return answer;
}

std::string ReplaceChar(const std::string& text) {
    bool valid = true;
    for (std::size_t i = 0; i < text.size() && valid;) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t n = 1;
        if (c >= 0x80 && c <= 0xBF) valid = false;
        else if (c > 0xEF) valid = false;
        else if (c >= 0xE0) n = 3;
        else if (c >= 0xC0) n = 2;
        for (std::size_t k = 1; valid && k < n && i + k < text.size(); ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) valid = false;
        i += n;
    }
    if (valid) return text;
    std::string out = text;
    bool plain = false;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) >= 0x80) c = '_';
        else plain = true;
    }
    return plain ? out : std::string();
}

namespace {

// Text in a named set to UTF-8; "" when iconv cannot convert it all.
std::string Convert(const std::string& charset, const std::string& text) {
    if (charset.empty() || text.empty()) return {};
    const std::string out = CharsetToUtf8(charset.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                                          text.size());
    return out.find("\xEF\xBF\xBD") == std::string::npos ? out : std::string();
}

std::string Underscored(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) >= 0x80) c = '_';
    return text;
}

} // namespace

std::string GetTagValue(bytes::Bytes data, std::string& charset, bool detect) {
    if (data.empty()) return {};
    // The data may be cut short of the frame: read only what is there.
    const std::size_t n = std::min<std::size_t>(data.size() - 1, 255);
    switch (data[0]) {
    case 3: return ReplaceChar(CText(data, 1, n));
    case 1: {
        if (data.size() < 4 || data[1] != 0xFF || data[2] != 0xFE) return {};
        const std::size_t units = std::min<std::size_t>(data.size() - 3, 255) & ~std::size_t{1};
        return TruncateUtf8(Utf16LeToUtf8(data.data() + 3, units), 255);
    }
    case 0: {
        const std::string raw = CText(data, 1, n);
        std::string set = charset;
        if (detect && charset.empty()) set = charset = Detect(raw);
        if (set.empty()) set = Detect(raw);
        const std::string out = Convert(set, raw);
        return out.empty() ? Underscored(raw) : out;
    }
    default: return {};
    }
}

Id3v1 ReadId3v1(bytes::Bytes tag) {
    Id3v1 v;
    if (tag.size() < 128) return v;
    // Each text converted into a buffer of its own: UTF-8 may be three times
    // the length of the 30 bytes it comes from.
    std::string title = CText(tag, 3, 30), artist = CText(tag, 33, 30);
    const std::string set = Detect(title);
    if (!set.empty()) {
        const std::string t = Convert(set, title), a = Convert(set, artist);
        if (!t.empty() || title.empty()) title = t;
        if (!a.empty() || artist.empty()) artist = a;
    }
    v.title = ApiStrFilterBadFileName(ReplaceChar(title));
    v.artist = ApiStrFilterBadFileName(ReplaceChar(artist));
    v.year = ReplaceChar(CText(tag, 93, 4));
    return v;
}

bool IsFrame(bytes::Bytes h, std::uint32_t* length) {
    if (h.size() < 4 || h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    CMPAHeader header;
    if (!header.Init(h.data())) return false;
    const std::uint32_t l = header.CalcFrameSize();
    if (l == 0) return false;
    if (length) *length = l;
    return true;
}

namespace {
std::uint32_t StreamKey(bytes::Bytes h) { return 0x10000u | (h[1] & 0x1Eu) << 8 | (h[2] & 0x0Cu); }
} // namespace

bool IsStreamFrame(bytes::Bytes h, std::uint32_t* length, std::uint32_t* stream) {
    if (!IsFrame(h, length)) return false;
    const std::uint32_t key = StreamKey(h);
    if (*stream == 0) *stream = key;
    return *stream == key;
}

bool JoinsStream(bytes::Bytes h, bytes::Bytes next, std::uint32_t* stream) {
    if (!IsFrame(h) || !IsFrame(next)) return false;
    const std::uint32_t key = StreamKey(h);
    if (key == *stream || StreamKey(next) != key) return false;
    *stream = key;
    return true;
}

} // namespace Mp3Text

// ---- classic sizer ------------------------------------------------------------

namespace {

// A header Init accepts, with the second and third bytes of a frame, and a
// length of 1 to 352800.
bool ChainHeader(bytes::Bytes h, bool testFirst, std::uint32_t& length) {
    if (h.size() < 4) return false;
    if (testFirst && h[0] != 0xFF) return false;
    if (h[1] < 0xE0 || h[2] > 0xEF) return false;
    CMPAHeader header;
    if (!header.Init(h.data())) return false;
    length = header.CalcFrameSize();
    return length >= 1 && length <= BruteForce::MP3Analyzer::kMaxFrame;
}

// A stream's first header: one Init accepts, of 1 to 352800 bytes (its sync
// bits come from the sector's key).
bool FirstHeader(bytes::Bytes h, std::uint32_t& length) {
    CMPAHeader header;
    if (h.size() < 4 || !header.Init(h.data())) return false;
    length = header.CalcFrameSize();
    return length >= 1 && length <= BruteForce::MP3Analyzer::kMaxFrame;
}

bytes::Bytes FetchBytes(RawFileBuffer& file, unsigned long long offset, std::size_t n) {
    const unsigned char* p = file.Fetch(offset, n);
    return p ? bytes::Bytes(p, n) : bytes::Bytes{};
}

std::string Joined(const std::string& artist, const std::string& title) {
    if (artist.empty() && title.empty()) return {};
    return artist + "_" + title;
}

} // namespace

int FileMP3Analyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head(sector, 4);
    if (IsId3Start(head) || (head[0] == 0xFF && head[1] >= 0xE0 && head[2] < 0xF0 && CMPAHeader().Init(sector))) {
        info.m_eRawFileType = kMp3Type;
        return 1;
    }
    return 0;
}

void FileMP3Analyser::NameFromId3v1(CRawFileInfo& record, RawFileBuffer& file, unsigned long long offset) {
    const Mp3Text::Id3v1 v = Mp3Text::ReadId3v1(FetchBytes(file, offset, 128));
    m_strTitle = v.title;
    m_strArtist = v.artist;
    record.SetRawFileName(Joined(v.artist, v.title));
    if (!v.artist.empty()) {
        m_nTag = RAW_TAG_ARTIST;
        record.SetRawFileTagAndValue(RAW_TAG_ARTIST, v.artist);
    }
}

int FileMP3Analyser::GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) {
    const int answer = Size(record, device);
    // A tag said to follow the last frame may run past the device's end.
    record.m_ullFileSize = std::min(record.m_ullFileSize, BruteForce::DeviceRoom(device, record.m_llStartSector));
    return answer;
}

int FileMP3Analyser::Size(CRawFileInfo& record, IStorageDevice* device) {
    if (!device || record.m_llStartSector < 0) return 0;
    m_strTitle.clear();
    m_strArtist.clear();
    m_strYear.clear();
    m_strCharset.clear();
    m_nTag = RAW_TAG_NONE;
    RawFileBuffer file(device, static_cast<unsigned long long>(record.m_llStartSector));
    const bytes::Bytes head = FetchBytes(file, 0, 40);
    if (head.empty()) return 0;
    if (!StartsWith(head, "ID3")) {
        if (head[0] == 0xFF && head[1] == 0xFB) {
            if ((head[2] == 0xE0 || head[2] == 0xB0) &&
                (std::memcmp(head.data() + 36, "Info", 4) == 0 || std::memcmp(head.data() + 36, "Xing", 4) == 0))
                return GetRawFileSizeXING(record, file);
            return GetRawFileSizeFromFrame(record, file);
        }
        if (CMPAHeader().Init(head.data())) return GetRawFileSizeFromFrame(record, file);
    }
    unsigned tagSize = 0;
    if (!classMp3Search::GetSynchsafeInteger(head.data() + 6, &tagSize)) return 0;

    std::string artist, title;
    WalkId3v2(
        tagSize, [&](unsigned long long o, std::size_t n) { return FetchBytes(file, o, n); },
        [&](const char* id, unsigned long long offset, unsigned long long size) {
            const bool isArtist = std::strcmp(id, "TPE1") == 0, isTitle = std::strcmp(id, "TIT2") == 0;
            if (!isArtist && !isTitle && std::strcmp(id, "TYER") != 0) return;
            const bytes::Bytes data = FetchBytes(file, offset + 10, static_cast<std::size_t>(std::min<unsigned long long>(size, 1024)));
            const std::string text = Mp3Text::GetTagValue(data, m_strCharset, isTitle);
            (isArtist ? artist : isTitle ? title : m_strYear) = text;
        });

    // The frames after the tag, resynchronising over up to 4095 bytes.
    const unsigned ss = file.GetSectorSize() ? file.GetSectorSize() : 512;
    unsigned long long p = tagSize + 10ull, end = 0;
    unsigned resyncs = 0;
    unsigned long long resyncLength = 0;
    std::uint32_t stream = 0;
    bool ended = false;
    for (unsigned long long k = 0; k < 4096 && !ended; ++k) {
        const unsigned long long q = p + k;
        if (q > kTagWalkLimit) break;
        const bytes::Bytes h = FetchBytes(file, q, 4);
        if (h.empty()) break;
        if (StartsWith(h, "TAG")) {
            const bytes::Bytes tag = FetchBytes(file, q, 128);
            bool accepted = !tag.empty() && (q + 128) % ss == 0;
            if (!tag.empty() && !accepted) {
                const std::size_t rest = static_cast<std::size_t>(ss - (q + 128) % ss);
                const bytes::Bytes after = FetchBytes(file, q + 128, rest);
                accepted = !after.empty() && std::all_of(after.begin(), after.end(), [](std::uint8_t c) { return c == 0; });
            }
            if (accepted) {
                const Mp3Text::Id3v1 v = Mp3Text::ReadId3v1(tag);
                if (title.empty()) title = v.title;
                if (artist.empty()) artist = v.artist;
                if (m_strYear.empty()) m_strYear = v.year;
                end = q + 128;
                ended = true;
                continue;
            }
        }
        std::uint32_t length = 0;
        bool frame = Mp3Text::IsStreamFrame(h, &length, &stream);
        if (!frame && Mp3Text::IsFrame(h, &length)) {
            // The page reader may move: the header is kept before the next one is read.
            const std::array<std::uint8_t, 4> here{h[0], h[1], h[2], h[3]};
            frame = Mp3Text::JoinsStream(here, FetchBytes(file, q + length, 4), &stream);
        }
        if (frame) {
            if (k == 0) {
                resyncs = 0;
                resyncLength = 0;
            } else {
                ++resyncs;
                resyncLength += length + k;
            }
            p += length + k;
            k = ~0ull; // the next round tries k = 0
            continue;
        }
        if (q % ss == 0 && IsId3Start(FetchBytes(file, q, 4)) && IsNewFileTag(FetchBytes(file, q, 10))) break; // a new file
        if (IsApeTag(FetchBytes(file, q, 9))) {
            end = ApeTagEnd(file, p);
            ended = true;
            continue;
        }
        if (resyncs == 2) {
            end = p - resyncLength;
            ended = true;
        }
    }
    if (!ended) end = p;
    if (end <= tagSize + 10ull) return 0;
    m_strTitle = title;
    m_strArtist = ApiStrFilterBadFileName(artist);
    record.m_strFileTime = m_strYear;
    if (!m_strArtist.empty()) {
        m_nTag = RAW_TAG_ARTIST;
        record.SetRawFileTagAndValue(RAW_TAG_ARTIST, m_strArtist);
    }
    record.SetRawFileName(Joined(m_strArtist, m_strTitle));
    record.m_ullFileSize = end;
    record.m_eRawFileType = kMp3Type;
    return 1;
}

unsigned long long FileMP3Analyser::ApeTagEnd(RawFileBuffer& file, unsigned long long p) {
    const unsigned ss = file.GetSectorSize() ? file.GetSectorSize() : 512;
    unsigned long long at = p - p % ss;
    for (const unsigned long long stop = at + 102400; at < stop; at += ss) {
        const bytes::Bytes s = FetchBytes(file, at, ss);
        if (s.empty()) return at;
        const auto zero = [&](std::size_t n) {
            return std::all_of(s.end() - static_cast<std::ptrdiff_t>(n), s.end(), [](std::uint8_t c) { return c == 0; });
        };
        if (!zero(4)) continue;
        if (zero(12)) return at + ss;
        for (std::size_t i = 0; i + 4 <= s.size(); ++i)
            if (s[i] == 0 && std::memcmp(s.data() + i + 1, "TAG", 3) == 0) return at + i + 129;
    }
    return p;
}

int FileMP3Analyser::GetRawFileSizeXING(CRawFileInfo& record, RawFileBuffer& file) {
    const bytes::Bytes head = FetchBytes(file, 0, 52);
    if (head.empty()) return 0;
    // The byte count sits at 48 only when the flags say a frame count and a
    // byte count follow "Xing"; without them the field is audio data.
    const std::uint32_t flags = bytes::Be32(head, 40);
    const unsigned long long n = bytes::Be32(head, 48);
    if ((flags & 3) != 3 || n == 0 || n > kFrameLimit) return GetRawFileSizeFromFrame(record, file);
    const bytes::Bytes at = FetchBytes(file, n, 3);
    if (at.empty()) return 0;
    record.m_eRawFileType = kMp3Type;
    if (StartsWith(at, "TAG") && !FetchBytes(file, n, 128).empty()) {
        NameFromId3v1(record, file, n);
        record.m_ullFileSize = n + 128;
    } else {
        record.m_ullFileSize = n;
    }
    return 1;
}

int FileMP3Analyser::GetRawFileSizeFromFrame(CRawFileInfo& record, RawFileBuffer& file) {
    std::uint32_t first = 0, second = 0;
    if (!FirstHeader(FetchBytes(file, 0, 4), first) || !ChainHeader(FetchBytes(file, first, 4), false, second))
        return 0;
    record.m_eRawFileType = kMp3Type;
    const unsigned long long start = static_cast<unsigned long long>(record.m_llStartSector);
    if (m_ullLastSectors && start > m_ullLastStart && start < m_ullLastStart + m_ullLastSectors) {
        record.m_ullFileSize = 0;
        return 0;
    }
    unsigned long long p = 0;
    std::uint32_t length = 0, stream = 0;
    bool over = false;
    for (;;) {
        const bytes::Bytes h = FetchBytes(file, p, 4);
        if (!Mp3Text::IsStreamFrame(h, &length, &stream)) {
            if (!Mp3Text::IsFrame(h, &length)) break;
            const std::array<std::uint8_t, 4> here{h[0], h[1], h[2], h[3]};
            if (!Mp3Text::JoinsStream(here, FetchBytes(file, p + length, 4), &stream)) break;
        }
        p += length;
        if (p > kFrameLimit) {
            over = true;
            break;
        }
    }
    if (!over) {
        const bytes::Bytes rest = FetchBytes(file, p, 128);
        if (StartsWith(rest, "TAG")) {
            NameFromId3v1(record, file, p);
            p += 128;
        } else if (IsApeTag(rest)) {
            p += 260;
        } else if (!rest.empty()) {
            for (std::size_t k = 0; k + 3 <= 128; ++k)
                if (std::memcmp(rest.data() + k, "TAG", 3) == 0) {
                    p += 128 + k;
                    break;
                }
        }
    }
    if (p < 10240) {
        record.m_ullFileSize = 0;
        return 0;
    }
    const unsigned ss = file.GetSectorSize() ? file.GetSectorSize() : 512;
    const unsigned long long n = (p + ss - 1) / ss;
    if (m_ullLastSectors == 0 || start + n <= m_ullLastStart || start >= m_ullLastStart + m_ullLastSectors) {
        m_ullLastStart = start;
        m_ullLastSectors = n;
        record.m_ullFileSize = p;
        return 1;
    }
    record.m_ullFileSize = 0;
    return 0;
}

// ---- streaming analyser -------------------------------------------------------

namespace BruteForce {

long long MP3Analyzer::MP3RawFileInfo::m_lastStartSector = -1;

int MP3Analyzer::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes head(sector, 4);
    std::uint32_t length = 0;
    if (!IsId3Start(head) && !FirstHeader(head, length)) return 0;
    info.m_eRawFileType = kMp3Type;
    return 1;
}

int MP3Analyzer::AnalyseBufferEx(unsigned char* sector, CRawFileInfo& info, long long sectorBytes,
                                 long long sectorNumber, long long, long long windowEnd) {
    if (!sector || sectorBytes <= 0) return 0;
    const CRawWindow window = info.WindowAt(sector);
    const bytes::Bytes head = window.At(0, 4);
    if (head.empty()) return 0;
    if (IsId3Start(head)) {
        info.m_eRawFileType = kMp3Type;
        return 1;
    }
    std::uint32_t l1 = 0;
    if (MP3RawFileInfo::m_lastStartSector >= 0 || !FirstHeader(head, l1)) return 0;
    const long long a = (sectorNumber + 1) * sectorBytes + l1 + 4;
    const long long w = windowEnd * sectorBytes;
    if (a <= w) {
        std::uint32_t l2 = 0, l3 = 0;
        if (!ChainHeader(window.At(l1, 4), true, l2)) return 0;
        if (a + l2 <= w) {
            if (!ChainHeader(window.At(static_cast<long long>(l1) + l2, 4), true, l3)) return 0;
            MP3RawFileInfo::m_lastStartSector = sectorNumber;
        }
    }
    info.m_eRawFileType = kMp3Type;
    return 1;
}

int MP3Analyzer::AdjustMp3Health(const CRawWindow& window, long long sectorBytes, long long sector,
                                  long long windowEnd) {
    const bytes::Bytes head = window.At(0, 4);
    if (head.empty()) return 1;
    if (IsId3Start(head)) return 2;
    if (head[0] < 0xFF || head[1] < 0xE0 || head[2] > 0xEF) return 1;
    CMPAHeader first;
    long long l = 0;
    if (first.Init(head.data()) && first.m_nVersion >= 2) {
        l = first.CalcFrameSize();
        if (l < 1 || l > 352799 || l > sectorBytes * (windowEnd - sector)) return 1;
    }
    const bytes::Bytes next = window.At(l, 4);
    CMPAHeader second;
    if (next.empty() || next[1] < 0xE0 || next[2] > 0xEF || !second.Init(next.data()) || second.m_nVersion < 2)
        return 1;
    return 2;
}

using Record = MP3Analyzer::MP3RawFileInfo;

void Record::ReleaseGuard() {
    // Only the record that holds the guard gives it back.
    if (m_lastStartSector >= 0 && m_lastStartSector == m_llStartSector) m_lastStartSector = -1;
}

void Record::WillBeRemove(unsigned char* sector, long long sectorNumber) {
    ReleaseGuard();
    CPartneredRawFileInfo::WillBeRemove(sector, sectorNumber);
}

int Record::Finish(unsigned long long size, long long sectorNumber) {
    ReleaseGuard();
    m_ullFileSize = size;
    if (size > 0) {
        m_eRawFileType = kMp3Type;
        if (m_strFileName.empty()) {
            char name[64];
            std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
            SetRawFileName(name);
        }
    }
    return 1;
}

void Record::GatherTagInfo(bytes::Bytes data) {
    unsigned tagSize = 0;
    if (data.size() < 10 || !classMp3Search::GetSynchsafeInteger(data.data() + 6, &tagSize) || tagSize == 0 ||
        tagSize > kMaxTagSize)
        return;
    std::string artist, title;
    const auto fetch = [&](unsigned long long o, std::size_t n) {
        return o < data.size() && data.size() - o >= n ? data.subspan(static_cast<std::size_t>(o), n) : bytes::Bytes{};
    };
    // The frame's bytes that are present, at most its size.
    const auto frameData = [&](unsigned long long offset, unsigned long long size) {
        if (offset + 10 >= data.size()) return bytes::Bytes{};
        const std::size_t n = static_cast<std::size_t>(std::min<unsigned long long>(size, data.size() - offset - 10));
        return data.subspan(static_cast<std::size_t>(offset + 10), n);
    };
    WalkId3v2(tagSize, fetch, [&](const char* id, unsigned long long offset, unsigned long long size) {
        const std::string_view frame(id);
        if (frame == "TPE1") {
            artist = Mp3Text::GetTagValue(frameData(offset, size), m_strCharset, false);
        } else if (frame == "TIT2") {
            title = Mp3Text::GetTagValue(frameData(offset, size), m_strCharset, true);
        } else if (frame == "TYER") {
            const std::string year = Mp3Text::GetTagValue(frameData(offset, size), m_strCharset, false);
            if (year.size() >= 8) m_strFileTime = year;
        } else if (frame == "APIC") {
            static constexpr unsigned char kSoi[3] = {0xFF, 0xD8, 0xFF};
            const unsigned char* soi = data.size() >= 3 ? Apimemstr(data.data(), static_cast<long long>(data.size()), kSoi, 3)
                                                        : nullptr;
            m_ullMinSize = soi ? static_cast<unsigned long long>(soi - data.data()) : offset - 10 + 63;
            m_ullMinSizeExtra = size;
            m_ullMinLength += m_ullMinSize + m_ullMinSizeExtra;
        } else if (frame == "USLT") {
            const bytes::Bytes text = frameData(offset, size);
            if (text.size() <= 6) return;
            static constexpr unsigned char kAr[4] = {'[', 'a', 'r', ':'};
            const unsigned char* at = Apimemstr(text.data() + 6, static_cast<long long>(text.size() - 6), kAr, 4);
            if (!at) return;
            const unsigned char* from = at + 4;
            const std::size_t room = std::min<std::size_t>(static_cast<std::size_t>(text.data() + text.size() - from), 1024);
            const auto* close = static_cast<const unsigned char*>(std::memchr(from, ']', room));
            if (!close) return;
            artist = Mp3Text::ReplaceChar(std::string(reinterpret_cast<const char*>(from), close - from));
            if (!artist.empty()) SetRawFileTagAndValue(RAW_TAG_ARTIST, artist);
        }
    });
    m_ullMinLength += tagSize;
    if (artist.empty() && title.empty()) return;
    char start[32];
    std::snprintf(start, sizeof start, " %lld_", m_llStartSector);
    SetRawFileName(artist + "_" + title + start);
    SetRawFileTagAndValue(RAW_TAG_ARTIST, artist.empty() ? title : artist);
}

namespace {

// The offset just after the last "TAG" at or before length - zeroTail, 0 when none.
int FindTagInEndSector(const std::vector<unsigned char>& range, unsigned zeroTail) {
    static constexpr unsigned char kTag[3] = {'T', 'A', 'G'};
    return RawUtility::FindMagicInBuffer(range.data(), static_cast<int>(range.size()), static_cast<int>(zeroTail),
                                         kTag, 3);
}

// True when a non-zero byte value occurs 65 times before the zero tail.
bool FindDuplicateByteCount(bytes::Bytes range, unsigned zeroTail) {
    std::array<unsigned, 256> count{};
    if (range.size() <= zeroTail) return false;
    for (std::size_t i = std::min(range.size() - zeroTail, range.size() - 1); i >= 1; --i) {
        const std::uint8_t c = range[i];
        if (c == 0) continue;
        if (++count[c] > 64) return true;
    }
    return false;
}

} // namespace

int Record::TagTail(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    const long long rel = sectorNumber - m_llStartSector;
    const std::size_t ss = static_cast<std::size_t>(sectorBytes);
    bytes::Bytes range;
    if (ctx.m_llWindowEnd - 3 > sectorNumber && rel > 0) range = ctx.m_Window.At(-sectorBytes, 2 * ss);
    if (range.empty()) range = bytes::Bytes(sector, ss);
    // A copy: blanks are cut into NULs to split the tag's texts.
    std::vector<unsigned char> copy(range.begin(), range.end());
    const unsigned zeroTail = std::min<unsigned>(ctx.m_nTrailingZero, 32);
    const int after = FindTagInEndSector(copy, zeroTail);
    bool found = after > 0;
    if (found && after < 512) {
        for (std::size_t i = static_cast<std::size_t>(after); i + 1 + 3 < copy.size(); ++i)
            if (copy[i] == ' ' && copy[i + 1] == ' ') copy[i] = copy[i + 1] = 0;
        const bytes::Bytes all(copy.data(), copy.size());
        const std::string title = CText(all, static_cast<std::size_t>(after), copy.size());
        std::size_t next = static_cast<std::size_t>(after) + title.size();
        while (next < copy.size() && copy[next] == 0) ++next;
        const std::string artist = CText(all, next, copy.size());
        if (title.size() >= 2 && artist.size() >= 4 && m_strFileName.empty()) {
            char span[64];
            std::snprintf(span, sizeof span, " %lld-%lld_", m_llStartSector, sectorNumber);
            SetRawFileName(Mp3Text::ReplaceChar(artist) + "_" + Mp3Text::ReplaceChar(title) + span);
            const std::string value = Mp3Text::ReplaceChar(artist);
            if (!value.empty()) SetRawFileTagAndValue(RAW_TAG_ARTIST, value);
        }
    }
    if (!found) {
        bytes::Bytes data(sector, ss);
        if (sector[0] != 0 && sector[0] == sector[1] && sector[1] == sector[2] && sector[2] == sector[3] &&
            m_llLastSector > ctx.m_llWindowStart) {
            const bytes::Bytes wider = ctx.m_Window.At(-64, ss + 64);
            if (!wider.empty()) data = wider;
        }
        found = FindDuplicateByteCount(data, zeroTail);
    }
    m_llLastSector = sectorNumber;
    if (!found) return 2;
    // A tail past the start of another song is that song's: this one ended
    // before it (files stored back to back). The classic sizer walks its
    // frames, which stop at the other song's tag.
    if (m_llNextStart >= 0) return Finish(0, sectorNumber);
    if (m_strFileName.empty()) {
        char span[64];
        std::snprintf(span, sizeof span, "%lld-%lld_", m_llStartSector, sectorNumber);
        SetRawFileName(span);
    } else if (!m_strTagValue.empty() && m_strFileName.find(m_strTagValue) == std::string::npos) {
        SetRawFileName(m_strTagValue + "_" + m_strFileName);
    }
    return Finish(static_cast<unsigned long long>(rel) * ss + ss - 32, sectorNumber);
}

int Record::CalcRawSizeEx(int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    const CStreamView view(*this, sectorBytes, sectorNumber, ctx);
    // A stream that never ends stops at ten times its limit.
    const bool pastLimit = view.Before() >= 10 * m_ullLimit;
    bool ended = pastLimit, failed = false;
    unsigned frames = 0;
    while (!ended && m_ullWalk < view.Covered()) {
        if (!view.Ready(m_ullWalk, 4)) return 2;
        const bytes::Bytes h = view.At(m_ullWalk, 4);
        if (h.empty()) {
            failed = true;
            break;
        }
        std::uint32_t length = 0;
        if (Mp3Text::IsStreamFrame(h, &length, &m_nStream)) {
            m_ullWalk += length;
            ++m_ullFrames;
            ended = ++frames > 1024;
            continue;
        }
        if (Mp3Text::IsFrame(h, &length)) {
            // Another stream's frame goes on with it when the next one chains.
            if (!view.Ready(m_ullWalk + length, 4)) return 2;
            if (Mp3Text::JoinsStream(h, view.At(m_ullWalk + length, 4), &m_nStream)) continue;
        }
        // What follows the last frame: an ID3v1 or APE tag, or a tag a little further on.
        if (!view.Ready(m_ullWalk, 128)) return 2;
        const bytes::Bytes rest = view.At(m_ullWalk, 128);
        ended = true;
        if (rest.empty()) {
            failed = true;
        } else if (StartsWith(rest, "TAG")) {
            const Mp3Text::Id3v1 v = Mp3Text::ReadId3v1(rest);
            if (!v.artist.empty()) SetRawFileTagAndValue(RAW_TAG_ARTIST, v.artist);
            SetRawFileName(Joined(v.artist, v.title));
            m_ullWalk += 128;
        } else if (IsApeTag(rest)) {
            m_ullWalk += 260;
        } else {
            for (std::size_t k = 0; k + 3 <= 128; ++k)
                if (std::memcmp(rest.data() + k, "TAG", 3) == 0) {
                    m_ullWalk += 128 + k;
                    break;
                }
        }
    }
    if (!ended && !failed) return 2;
    // A short stream counts when a tag starts it or enough frames chain.
    if (failed || (m_ullWalk <= 10239 && m_ullFrames < 8)) return Finish(0, sectorNumber);
    return Finish(pastLimit ? m_ullLimit : m_ullWalk, sectorNumber);
}

int Record::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber, SearchContext& ctx) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return Finish(0, sectorNumber);
    const long long rel = sectorNumber - m_llStartSector;
    if (rel == 0) {
        const bytes::Bytes head = ctx.m_Window.At(0, 4);
        m_bFrameMode = !head.empty() && head[0] == 0xFF && head[1] >= 0xE0 && head[2] < 0xF0 && CMPAHeader().Init(head.data());
        if (IsId3Start(head)) {
            const CStreamView view(*this, sectorBytes, sectorNumber, ctx);
            GatherTagInfo(view.At(0, static_cast<std::size_t>(view.ReadyEnd())));
            // Frames right after the tag: the frame walk ends the file after
            // its last frame, whatever follows it (the zero-tail rule only
            // where they do not).
            const bytes::Bytes id3 = view.At(0, 10);
            unsigned tagSize = 0;
            if (!id3.empty() && classMp3Search::GetSynchsafeInteger(id3.data() + 6, &tagSize)) {
                const unsigned long long first = 10ull + tagSize + ((id3[5] & 0x10) ? 10 : 0);
                std::uint32_t length = 0;
                if (Mp3Text::IsFrame(view.At(first, 4), &length) && Mp3Text::IsFrame(view.At(first + length, 4), &length)) {
                    m_bFrameMode = 1;
                    m_ullWalk = first;
                }
            }
        }
        if (m_strFileName.empty() &&
            MP3Analyzer::AdjustMp3Health(ctx.m_Window, sectorBytes, sectorNumber, ctx.m_llWindowEnd) != 2)
            return Finish(0, sectorNumber);
    }
    if (m_bFrameMode) return CalcRawSizeEx(sectorBytes, sectorNumber, ctx);
    if (m_llNextStart < 0 && rel > 0 && ctx.m_pNewInfo && ctx.m_pNewInfo->m_llStartSector == sectorNumber &&
        ctx.m_pNewInfo->m_eRawFileType == kMp3Type && IsNewFileTag(ctx.m_Window.At(0, 10)))
        m_llNextStart = sectorNumber;
    const unsigned long long ss = static_cast<unsigned long long>(sectorBytes);
    if ((static_cast<unsigned long long>(rel) + 1) * ss > kTagStartedLimit) return Finish(0, sectorNumber);
    if (ctx.m_nTrailingZero >= 32 && static_cast<unsigned long long>(rel) * ss > m_ullMinLength)
        return TagTail(sector, sectorBytes, sectorNumber, ctx);
    m_llLastSector = sectorNumber;
    return 2;
}

} // namespace BruteForce
