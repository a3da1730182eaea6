#include "engine/carver/analysers/TextAnalysers.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"
#include "engine/carver/SearchSignFileAnalyser.h"
#include "engine/carver/analysers/PictureWindow.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>

using BruteForce::DataEnd;
using BruteForce::DeviceRoom;
using BruteForce::HeldBytes;
using BruteForce::NextStartsAt;

namespace {

bool SameNoCase(const unsigned char* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (std::tolower(p[i]) != std::tolower(static_cast<unsigned char>(text[i]))) return false;
    return true;
}

// The UTF-16 little-endian text at p equals the ASCII text, in any case.
bool SameWideNoCase(const unsigned char* p, const char* text, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (p[2 * i + 1] != 0 || std::tolower(p[2 * i]) != std::tolower(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

int Sized(CRawFileInfo& info, unsigned long long size, unsigned long long room, unsigned type) {
    info.m_ullFileSize = std::min(size, room);
    info.m_eRawFileType = type;
    return 1;
}

} // namespace

// ---- rich text --------------------------------------------------------------

int FileRTFAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 5);
    if (h.empty() || std::memcmp(h.data(), "{\\rtf", 5) != 0) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

// Ends where the first group closes when another file begins before a zero
// tail (or at the limit): the rest of a used card's sector is old data.
int RawSpeed::RTFRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (sector && sectorBytes > 0 && s >= m_llStartSector) {
        const unsigned long long offset = static_cast<unsigned long long>(s - m_llStartSector) * static_cast<unsigned>(sectorBytes);
        if ((NextStartsAt(*this, context, s) || offset > kLimit) && m_Group.End()) return Settle(m_Group.End(), s, "_");
        m_Group.Feed(sector, static_cast<std::size_t>(sectorBytes), offset);
    }
    return ZeroTailEnd(sector, sectorBytes, s, context, 20, kLimit, false);
}

int FileRTFAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const auto at = [&](unsigned long long pos) -> int {
        const unsigned char* c = file.GetRawFileBuffer(pos);
        return c ? *c : -1;
    };
    long long depth = 0;
    for (unsigned long long pos = 0; pos < kWalkLimit; ++pos) {
        const int c = at(pos);
        if (c < 0) return 0;
        if (c == 0) return 0; // a NUL inside an open group: not this document's text
        if (c == '\\') {
            // Escaped braces and backslashes are text; \binN carries N bytes of data.
            const int n = at(pos + 1);
            if (n == '{' || n == '}' || n == '\\') {
                ++pos;
            } else if (n == 'b' && at(pos + 2) == 'i' && at(pos + 3) == 'n') {
                unsigned long long q = pos + 4, count = 0;
                for (int d; (d = at(q)) >= '0' && d <= '9' && count < kWalkLimit; ++q) count = count * 10 + (d - '0');
                if (at(q) == ' ') ++q;
                pos = q + count - 1;
            }
            continue;
        }
        if (c == '{') ++depth;
        if (c == '}' && --depth <= 0) {
            // A group opening at once continues the document.
            if (at(pos + 1) == '{') {
                depth = 0;
                continue;
            }
            return Sized(info, pos + 1, room, kType);
        }
    }
    return Sized(info, kWalkLimit, room, kType);
}

// ---- web pages --------------------------------------------------------------

bool FileHTMAnalyser::Accepts(bytes::Bytes h) {
    return (h.size() >= 5 && SameNoCase(h.data(), "<HTML", 5)) ||
           (h.size() >= 14 && SameNoCase(h.data(), "<!DOCTYPE HTML", 14));
}

bool FileHTMAnalyser::AcceptsUtf16(bytes::Bytes h) {
    if (h.size() < 14 || h[0] != 0xFF || h[1] != 0xFE || h[2] != '<' || h[3] != 0) return false;
    return SameWideNoCase(h.data() + 2, "<HTML>", 6) || (h[4] == '!' && h[5] == 0);
}

int FileHTMAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !Accepts(info.WindowAt(sector).At(0, 14))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileHTMAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    SearchSignCodeInfo sign;
    std::memcpy(sign.m_szSign, "</html>", 7);
    sign.m_nSignLen = 7;
    sign.m_ullMaxSize = 0x100000;
    const int r = SearchSignFileAnalyser::SearchEndSignCode(info, device, sign, 0);
    const unsigned long long ss = device->GetSectorSize() ? device->GetSectorSize() : 512;
    info.m_ullFileSize = std::min((info.m_ullFileSize + ss - 1) / ss * ss, room);
    info.m_eRawFileType = kType;
    return r;
}

int FileUnicodeHTMAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 4);
    if (h.empty() || h[0] != 0xFF || h[1] != 0xFE || h[2] != '<' || h[3] != 0) return 0;
    info.m_eRawFileType = m_nType;
    return 1;
}

int FileUnicodeHTMAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned char* h = file.Fetch(0, 512);
    if (!h || !FileHTMAnalyser::AcceptsUtf16(bytes::Bytes(h, 512))) return 0;
    // The root element, with or without attributes.
    bool found = false;
    for (unsigned at = 2; at <= 498 && !found; at += 2)
        found = SameWideNoCase(h + at, "<HTML", 5) && h[at + 11] == 0 &&
                (h[at + 10] == '>' || h[at + 10] == ' ' || h[at + 10] == '\n' || h[at + 10] == '\r');
    if (!found) return 0;
    unsigned long long pos = 14;
    for (; pos < kWalkLimit; pos += 2) {
        const unsigned char* c = file.Fetch(pos, 2);
        if (!c) return 0;
        const unsigned ch = c[0] | unsigned{c[1]} << 8;
        if (ch == 0 || ch == 0xFFFF || ch == 0xFEFF) break;
        if (ch == '<') {
            const unsigned char* t = file.Fetch(pos, 14);
            if (t && SameWideNoCase(t, "</HTML>", 7)) {
                pos += 16;
                break;
            }
        }
    }
    return Sized(info, pos, room, m_nType);
}

namespace RawSpeed {

int HTMLAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 14);
    if (!FileHTMAnalyser::Accepts(h) && !FileHTMAnalyser::AcceptsUtf16(h)) return 0;
    info.m_eRawFileType = FileHTMAnalyser::kType;
    return 1;
}

int HTMLRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector) return 2;
    if (!m_bJudged && s == m_llStartSector) {
        m_bJudged = true;
        m_bUtf16 = sector[0] == 0xFF && sector[1] == 0xFE;
        if (m_bUtf16) m_Close = BruteForce::ClosingMark("</html>", true, true);
    }
    // Before a zero tail, another file's start (or the limit) ends the page
    // at its last closing tag.
    if (sectorBytes > 0 && s >= m_llStartSector) {
        const unsigned long long offset = static_cast<unsigned long long>(s - m_llStartSector) * static_cast<unsigned>(sectorBytes);
        if ((NextStartsAt(*this, context, s) || offset > kLimit) && m_Close.End()) return Settle(m_Close.End(), s, "_");
        m_Close.Feed(sector, static_cast<std::size_t>(sectorBytes), offset);
    }
    return ZeroTailEnd(sector, sectorBytes, s, context, 20, kLimit, m_bUtf16);
}

} // namespace RawSpeed

// ---- e-books ----------------------------------------------------------------

namespace RawSpeed {

namespace {
constexpr unsigned char kMobiEnd[4] = {0xE9, 0x8E, 0x0D, 0x0A};
}

bool FileMOBIAnalyser::Accepts(bytes::Bytes h) { return h.size() >= 78 && SameNoCase(h.data() + 60, "BOOKMOBI", 8); }

std::uint64_t FileMOBIAnalyser::LastEntry(bytes::Bytes h) { return 70 + 8 * std::uint64_t{bytes::Be32(h, 74)}; }

int FileMOBIAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector || !Accepts(info.WindowAt(sector).At(0, 78))) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int FileMOBIAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const unsigned long long room = DeviceRoom(info, device);
    if (room == 0) return 0;
    RawFileBuffer file(device, static_cast<unsigned long long>(info.m_llStartSector));
    const unsigned char* h = file.Fetch(0, 78);
    if (!h) return 0;
    const unsigned char* e = file.Fetch(LastEntry(bytes::Bytes(h, 78)), 4);
    if (!e) return 0;
    return Sized(info, std::uint64_t{bytes::Be32(bytes::Bytes(e, 4), 0)} + 4, room, kType);
}

int MOBIRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (m_bFirstCall) {
        m_bFirstCall = false;
        m_ullPosition = FileMOBIAnalyser::LastEntry(HeldBytes(context, s, sectorBytes, -offset, 78));
    }
    bool found = false;
    const auto from = static_cast<std::uint64_t>(offset);
    while (!m_bEndRecord && m_ullPosition >= from && m_ullPosition + 4 <= from + static_cast<unsigned>(sectorBytes)) {
        ++m_nExamined;
        const unsigned char* v = sector + (m_ullPosition - from);
        if (std::memcmp(v, kMobiEnd, 4) == 0) {
            found = true;
            break;
        }
        if (m_nExamined >= 2) {
            m_bEndRecord = true;
            break;
        }
        m_ullPosition = bytes::Be32(bytes::Bytes(v, 4), 0);
    }
    if (offset > kLimit) {
        m_ullFileSize = 0;
        return 1;
    }
    if (found) return Settle(m_ullPosition + 4, s, "_");
    if (m_bEndRecord && context.m_nTrailingZero >= 9)
        return Settle(static_cast<unsigned long long>(offset + DataEnd(sector, sectorBytes)), s, "_");
    return 2;
}

} // namespace RawSpeed

// ---- mailboxes --------------------------------------------------------------

int FileMboxAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 5);
    if (h.empty() || std::memcmp(h.data(), "From ", 5) != 0) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

namespace {

// A byte that mail text holds: printable, 8-bit (encoded headers and
// bodies), tab, line ends, form feed, the escape of ISO-2022 text and
// terminal colours, and the backspace of overstruck text (man pages, typing
// pasted from a terminal).
bool MailText(unsigned char c) {
    return (c >= 0x20 && c != 0x7F) || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 0x1B || c == '\b';
}

// How far the last walk of a mail folder's text went on one device, in
// bytes from the device's start (forgotten when a carve starts). A folder
// that the carver no longer follows is walked from each of its "From "
// lines on a sector border: each walk goes on from where the last one
// stopped, so the folder's bytes are read once however many such lines it
// holds.
struct MailWalk {
    const IStorageDevice* device = nullptr;
    unsigned long long sectors = 0; // the device's size, which a carve never changes
    unsigned long long from = 0, reached = 0;
    MailEnd end;
};
MailWalk g_mailWalk;

// A boundary's characters (besides letters and digits), as a MIME
// boundary line "--boundary" has them after its dashes.
bool BoundaryByte(unsigned char c) {
    return std::isalnum(c) || std::strchr("'()+_,-./:=?", c) != nullptr;
}

// The bytes a line's plain ASCII sweep takes: printable, but for the "="
// that may end a boundary parameter's name.
constexpr auto kSweep = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x7F; ++c) t[c] = c != '=';
    return t;
}();

// How many of the n bytes from p on the sweep takes, eight at a time while
// none of them stops it; their spaces are added to `spaces`.
std::size_t Sweep(const unsigned char* p, std::size_t n, unsigned& spaces) {
    constexpr std::uint64_t k01 = 0x0101010101010101ull, k7F = k01 * 0x7F, k80 = k01 * 0x80;
    const auto anyZero = [](std::uint64_t x) { return (x - k01) & ~x & k80; };
    std::size_t j = 0;
    for (; j + 8 <= n; j += 8) {
        std::uint64_t x;
        std::memcpy(&x, p + j, 8);
        if ((x & k80) | ((x - k01 * 0x20) & ~x & k80) | anyZero(x ^ k7F) | anyZero(x ^ k01 * '=')) break;
        const std::uint64_t y = x ^ k01 * ' ';
        // One bit a space, summed by the multiply into the top byte.
        spaces += static_cast<unsigned>((((~(((y & k7F) + k7F) | y) & k80) >> 7) * k01) >> 56);
    }
    for (; j < n && kSweep[p[j]]; ++j) spaces += p[j] == ' ';
    return j;
}

// Of the 8-bit bytes: 1 for both cases of the letters, and yo, in KOI8-R
// and windows-1251; 2 for the dashes, quotes and ellipsis of windows-1251
// prose.
constexpr auto kCyrillic8 = [] {
    std::array<unsigned char, 256> t{};
    for (int c = 0xC0; c < 0x100; ++c) t[c] = 1;
    for (const int c : {0xA3, 0xB3, 0xA8, 0xB8}) t[c] = 1;
    for (const int c : {0x85, 0x93, 0x94, 0x96, 0x97, 0xAB, 0xBB}) t[c] = 2;
    return t;
}();

} // namespace

void MailEnd::Look::Add(unsigned char c) {
    ++bytes;
    if (c == ' ' || c == '\t') ++spaces;
    if (c == '\r') ++crs;
    // After plain ASCII nothing waits for a trail byte.
    if (c < 0x80 && (run | pending) == 0) return;
    if (c < 0x80) {
        broken = broken || pending;
        pending = 0;
        paired = paired && run % 2 == 0;
        run = 0;
        sjis = sjis && (!sjisTrail || c >= 0x40);
        big5 = big5 && (!big5Trail || c >= 0x40);
        trails += (sjisTrail || big5Trail) && c >= 0x40;
        sjisTrail = big5Trail = false;
        return;
    }
    ++high;
    ++run;
    paired = paired && c >= 0xA1 && c != 0xFF;
    if (sjisTrail) {
        sjis = sjis && c <= 0xFC;
        sjisTrail = false;
    } else if (c >= 0xA1 && c <= 0xDF) {
        kana = true;
    } else {
        sjis = sjis && c != 0x80 && c != 0xA0 && c <= 0xFC;
        sjisTrail = true;
        ++sjisPairs;
    }
    if (big5Trail) {
        big5 = big5 && c >= 0xA1 && c != 0xFF;
        big5Trail = false;
    } else {
        big5 = big5 && c >= 0xA1 && c <= 0xF9;
        big5Trail = true;
        ++big5Pairs;
    }
    if (cyrText && kCyrillic8[c] != 1) {
        cyrillic = false;
        cyrText = kCyrillic8[c] == 2;
        ++marks;
    }
    if (pending) {
        if ((c & 0xC0) == 0x80) --pending;
        else broken = true, pending = 0;
    } else if (c >= 0xC2 && c <= 0xDF) {
        pending = 1;
    } else if (c >= 0xE0 && c <= 0xEF) {
        pending = 2;
    } else if (c >= 0xF0 && c <= 0xF4) {
        pending = 3;
    } else {
        broken = true;
    }
}

// Text is UTF-8, or 8-bit text whose 8-bit bytes are few (Latin-1 prose),
// whose words stand apart (a single-byte code page of another script), that
// come in pairs of 0xA1-0xFE (the EUC code pages of Chinese, Japanese and
// Korean) or, from a few characters on (a word), in the lead and trail
// pairs of Shift-JIS or Big5, or all Cyrillic letters (a line without
// spaces); random bytes are half 8-bit, hold a space in 256 and soon break
// each of those shapes, but a fragment of a few bytes may fit one by chance.
bool MailEnd::Look::Random() const {
    if (!broken && !pending) return false;
    if (paired && run % 2 == 0) return false;
    if ((sjis && !sjisTrail && !kana && sjisPairs >= 4) || (big5 && !big5Trail && big5Pairs >= 4) ||
        (cyrillic && high >= 6))
        return false;
    return high * 4 >= bytes && spaces * 16 < bytes;
}

unsigned MailEnd::Look::Scripts() const {
    // Lines that are UTF-8 say nothing of an 8-bit script.
    if (!broken && !pending) return 0;
    return (sjis && !sjisTrail && !kana && sjisPairs >= 4 ? kShiftJis : 0u) |
           (big5 && !big5Trail && big5Pairs >= 4 ? kBig5 : 0u) | (cyrText && high - marks >= 6 ? kCyrillic : 0u);
}

bool MailEnd::Look::Fits(unsigned scripts) const {
    // Such a line is two characters or more of the script, spaces and a
    // mark or two (a line end's CR); random bytes hold ASCII letters,
    // digits and marks too, and a lone character of a script often.
    if (bytes - high - spaces - trails > 2) return false;
    if (((scripts & kShiftJis) && sjis && !sjisTrail && !kana && sjisPairs >= 2) ||
        ((scripts & kBig5) && big5 && !big5Trail && big5Pairs >= 2) || ((scripts & kCyrillic) && cyrText && high - marks >= 2))
        return true;
    // A line of one character alone ("了", "Я": a sign-off), at most its CR
    // beside it. Random bytes seldom hold such a line: a line feed must come
    // right after the character, where a lone character among other bytes,
    // which the test above refuses, is common.
    if (bytes != high + crs || crs > 1) return false;
    return ((scripts & kShiftJis) && sjis && !sjisTrail && !kana && sjisPairs == 1 && high == 2) ||
           ((scripts & kCyrillic) && cyrillic && high == 1);
}

void MailEnd::LineEnded(unsigned long long pos) {
    if (!m_look.Random()) {
        if (m_look.high) m_nScripts |= m_look.Scripts();
        m_ullLine = pos;
    } else if (m_look.Fits(m_nScripts)) {
        m_ullLine = pos;
    }
}

bool MailEnd::NamesBoundary(const unsigned char* p, std::size_t i) const {
    static constexpr char kName[] = "boundary";
    for (std::size_t k = 1; k <= 8; ++k) {
        const unsigned char b = k <= i ? p[i - k] : m_tail[8 - (k - i)];
        if ((b | 0x20) != kName[8 - k]) return false;
    }
    return true;
}

void MailEnd::Declare(unsigned char c) {
    if (m_nParam == 9 && c == '"') {
        m_nParam = 10;
        return;
    }
    if (m_nParam == 10 ? c != '"' && c != '\n' && c != '\r' : BoundaryByte(c)) {
        m_nParam = m_nParam == 10 ? 10 : 11;
        m_param.Add(c);
        // A boundary is 1 to 70 bytes.
        if (m_param.size <= 70) return;
    } else if (m_param.size && (m_nParam == 11 || c == '"')) {
        if (m_nOpen == kOpen && m_open[0].from != m_ullFrom) {
            std::copy(m_open + 1, m_open + kOpen, m_open);
            --m_nOpen;
        }
        if (m_nOpen < kOpen) m_open[m_nOpen++] = {m_param.hash, m_ullFrom};
    }
    m_nParam = 0;
}

bool MailEnd::Declared(const Token& t) {
    if (!t.size) return false;
    const bool closing = t.size > 2 && t.last1 == '-' && t.last2 == '-';
    for (std::size_t i = m_nOpen; i-- > 0;) {
        if (m_open[i].hash == t.hash) return true;
        if (closing && m_open[i].hash == t.back2) {
            m_nOpen = i;
            return true;
        }
    }
    return false;
}

void MailEnd::EndAt(const Stray& s) {
    m_end = s;
    m_ullEnd = s.pos;
}

bool MailEnd::Feed(const unsigned char* p, std::size_t n, unsigned long long pos) {
    if (Ended()) return true;
    // Mail goes on after the other file's start: it was a part of a message.
    const auto goesOn = [this](unsigned long long at) {
        if (m_ullCutAt == kNone || at < m_ullCutAt) return;
        m_ullGoneOn = at;
        m_cut = Stray{};
        m_ullCutAt = kNone;
    };
    // Zeros to a sector's end, then a "From " line: the slack, then a folder.
    // One NUL is a stray byte of the folder's own.
    if (ZeroTail() && pos == m_ullFed && n >= 5 && std::memcmp(p, "From ", 5) == 0) {
        Finish({m_ullZeros, kNone, false});
        return true;
    }
    for (std::size_t i = 0; i < n; ++i, ++pos) {
        // Inside a line, past its start, plain ASCII (most of a folder) in
        // one sweep: it only counts towards the line's look.
        if (m_nFrom >= 5 && m_nDash >= 4 && m_nParam == 0 && (m_look.run | m_look.pending) == 0) {
            unsigned spaces = 0;
            const std::size_t j = i + Sweep(p + i, n - i, spaces);
            if (j > i) {
                m_look.bytes += static_cast<unsigned>(j - i);
                m_look.spaces += spaces;
                m_ullZeros = kNone;
                pos += j - i;
                i = j;
                if (i == n) break;
            }
        }
        const unsigned char c = p[i];
        if (MailText(c)) {
            if (m_nFrom < 5) {
                m_nFrom = c == "From "[m_nFrom] ? m_nFrom + 1 : 6;
                if (m_nFrom == 5) goesOn(m_ullFrom = pos - 4);
            }
            if (m_nParam) {
                Declare(c);
            } else if (c == '=' && NamesBoundary(p, i)) {
                m_nParam = 9;
                m_param = Token{};
            }
            if (m_nDash < 2) {
                if (m_nDash == 0) m_ullDashAt = pos;
                m_nDash = c == '-' ? m_nDash + 1 : 4;
                if (m_nDash == 2) {
                    m_nDash = 3;
                    m_line = Token{};
                }
            } else if (m_nDash == 3) {
                // The boundary the line names ends at its first other byte.
                if (BoundaryByte(c)) {
                    m_line.Add(c);
                } else {
                    if (Declared(m_line)) goesOn(m_ullDashAt);
                    m_nDash = 4;
                }
            }
            if (c == '\n') {
                LineEnded(pos + 1);
                m_look = Look{};
                m_nFrom = m_nDash = 0;
            } else {
                m_look.Add(c);
            }
            m_ullZeros = kNone;
            continue;
        }
        m_nFrom = 6;
        m_nDash = 4;
        m_nParam = 0;
        if (c == 0 && m_ullZeros == kNone) m_ullZeros = pos;
        if (c != 0) m_ullZeros = kNone;
        // Those too far back are no part of a run with this one.
        std::size_t old = 0;
        while (old < m_nRecent && pos - m_recent[old].pos > kRunReach) ++old;
        if (old) m_before = m_recent[old - 1];
        std::copy(m_recent + old, m_recent + m_nRecent, m_recent);
        m_nRecent -= old;
        if (m_nRecent == kRunBytes - 1) {
            m_ullFed = pos + 1;
            // A byte that is no text within reach before the run is old data
            // too: the text ended before it.
            const bool near = m_before.pos != kNone && m_recent[0].pos - m_before.pos <= kRunReach;
            Finish(near ? m_before : m_recent[0]);
            return true;
        }
        // After bytes that read as random, the text ended at the line before.
        m_last = {pos, m_ullLine, c != 0 || (m_look.Random() && !m_look.Fits(m_nScripts))};
        m_recent[m_nRecent++] = m_last;
    }
    m_ullFed = pos;
    // The last bytes fed, for a parameter's name cut by a sector border.
    if (n >= sizeof m_tail) {
        std::memcpy(m_tail, p + n - sizeof m_tail, sizeof m_tail);
    } else {
        std::memmove(m_tail, m_tail + n, sizeof m_tail - n);
        std::memcpy(m_tail + sizeof m_tail - n, p, n);
    }
    return false;
}

void MailEnd::Close() {
    if (Ended() || m_ullFed == kNone) return;
    // Nothing follows the device's end to tell a part of a message from a
    // file after the folder: both are kept.
    m_cut = Stray{};
    m_ullCutAt = kNone;
    for (std::size_t i = 0; i < m_nRecent; ++i)
        if (m_ullFed - 1 - m_recent[i].pos <= kRunReach) return EndAt(m_recent[i]);
}

void MailEnd::CutAt(unsigned long long at) {
    if (Ended()) return;
    if (m_ullCutAt == kNone) m_ullCutAt = at;
    if (m_cut.pos == kNone && m_last.pos != kNone && at > m_last.pos && at - m_last.pos <= kSlackReach &&
        (m_ullFrom == kNone || m_ullFrom < m_last.pos))
        m_cut = m_last;
}

unsigned long long MailEnd::Size(unsigned long long from) const {
    // Before binary bytes, at the last line end (what follows it is old data).
    const bool atLine = m_end.binary && m_end.line != kNone && m_end.line > from;
    return (atLine ? m_end.line : m_ullEnd) - from;
}

void FileMboxAnalyser::ForgetWalked() { g_mailWalk = MailWalk{}; }

int FileMboxAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const std::optional<RawFileRoom> where = RoomOf(info, device);
    if (!where) return 0;
    const unsigned long long room = where->room;
    const unsigned long long at = where->start * where->sectorSize;
    MailWalk& w = g_mailWalk;
    const bool same = w.device == device && w.sectors == device->GetTotalSectors();
    // A start after the last walk's, inside what it walked, goes on from
    // there; any other walks afresh.
    if (!same || at <= w.from || (w.end.Ended() ? at >= w.end.End() : at > w.reached)) {
        w = MailWalk{};
        w.device = device;
        w.sectors = device->GetTotalSectors();
        w.from = w.reached = at;
    }
    // No limit but the text's end or the device's: a folder of any size
    // comes back whole, and the walk reads each byte once.
    RawFileBuffer file(device, where->start);
    while (!w.end.Ended()) {
        const std::size_t n = static_cast<std::size_t>(512 - (w.reached - at) % 512);
        const unsigned char* p = file.Fetch(w.reached - at, n);
        if (!p) {
            w.end.Close();
            break;
        }
        if (!w.end.Feed(p, n, w.reached)) w.reached += n;
    }
    if (!w.end.Ended()) return Sized(info, w.reached - at, room, kType);
    return Sized(info, w.end.Size(at), room, kType);
}

namespace RawSpeed {

int MboxRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0 || s < m_llStartSector) return 2;
    const unsigned long long offset = static_cast<unsigned long long>(s - m_llStartSector) * static_cast<unsigned>(sectorBytes);
    // A sector not shown: the partner sizes it from the device.
    if (offset != m_ullFed) {
        m_ullFileSize = 0;
        return 1;
    }
    // Another kind's file starts here (a "From " line is one of its
    // messages): the folder ended in the slack before it, where a byte that
    // is no text lies, unless mail goes on after it; else, where the text
    // ends in this sector, at its start.
    const bool other = context.m_bNewStart && offset > 0 && std::memcmp(sector, "From ", 5) != 0;
    if (other) m_End.CutAt(offset);
    m_ullFed += static_cast<unsigned>(sectorBytes);
    if (!m_End.Feed(sector, static_cast<std::size_t>(sectorBytes), offset)) return 2;
    // Named as the partner names it.
    m_ullFileSize = m_End.Size(0);
    if (other && !m_End.WentOnPast(offset)) m_ullFileSize = std::min(m_ullFileSize, offset);
    return 1;
}

void MboxRawFileInfo::WillBeRemove(unsigned char* sector, long long s) {
    if (sector || s >= 0 || m_ullFed == 0) return CPartneredRawFileInfo::WillBeRemove(sector, s);
    m_End.Close();
    m_ullFileSize = m_End.Ended() ? m_End.Size(0) : m_ullFed;
}

} // namespace RawSpeed

// ---- mail databases ---------------------------------------------------------

namespace RawSpeed {

namespace {

constexpr unsigned char kDbxIds[4][16] = {
    {0xCF, 0xAD, 0x12, 0xFE, 0xC5, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC6, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0xC7, 0xFD, 0x74, 0x6F, 0x66, 0xE3, 0xD1, 0x11, 0x9A, 0x4E, 0x00, 0xC0},
    {0xCF, 0xAD, 0x12, 0xFE, 0x30, 0x9D, 0xFE, 0x26, 0x8F, 0x1A, 0xD2, 0x11, 0xAA, 0xBF, 0x00, 0x60}};
constexpr unsigned char kJmf6[8] = {'J', 'M', 'F', '6', 0x00, 0x00, 0x01, 0x00};
constexpr unsigned char kF789[16] = {0xF7, 0x89, 0x34, 0x2C, 0xF7, 0xF0, 0xEE, 0x6D,
                                     0xAF, 0x22, 0x89, 0xD1, 0x00, 0xFF, 0xF0, 0xB0};

} // namespace

int DbxAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const bytes::Bytes h = info.WindowAt(sector).At(0, 16);
    if (h.empty()) return 0;
    bool ok = std::memcmp(h.data(), kJmf6, 8) == 0 || std::memcmp(h.data(), kF789, 16) == 0;
    for (const auto& id : kDbxIds) ok = ok || std::memcmp(h.data(), id, 16) == 0;
    if (!ok) return 0;
    info.m_eRawFileType = kType;
    return 1;
}

int DBXRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const long long offset = (s - m_llStartSector) * sectorBytes;
    if (offset > kLimit) return 1;
    if (m_bFirstCall) {
        m_bFirstCall = false;
        m_bSixteenByteForm = std::memcmp(sector, kF789, 4) == 0;
    }
    if (m_bSixteenByteForm) {
        if (context.m_nTrailingZero < 9) return 2;
        return Settle(static_cast<unsigned long long>(offset + DataEnd(sector, sectorBytes)), s, ".");
    }
    // The header states the file's length.
    const std::uint64_t stated = bytes::Le32(bytes::Bytes(sector, static_cast<std::size_t>(sectorBytes)), 124);
    m_ullFileSize = std::min<std::uint64_t>({stated, kLimit, BruteForce::WindowRoom(context, offset)});
    return 1;
}

} // namespace RawSpeed
