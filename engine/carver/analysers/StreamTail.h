#pragma once
// Pieces shared by the archive, text and small-format analysers: where a
// sector's data ends before its zero tail, how far the device reaches from a
// record's start, and the zero-tail ending of streaming records.
#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/analysers/PartneredRecord.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace BruteForce {

// The end of the sector's data: one past its last non-zero byte (0 when the
// sector is all zeros). Exact, so a text file ends where its text ends.
inline int DataEnd(const unsigned char* sector, int sectorBytes) {
    int e = sectorBytes;
    while (e > 0 && sector[e - 1] == 0) --e;
    return e;
}

// Bytes from the record's start sector to the device's end (0 when it lies
// past the end); a size read from a file is never allowed beyond them.
inline unsigned long long DeviceRoom(const CRawFileInfo& record, IStorageDevice* device) {
    const std::optional<RawFileRoom> where = RoomOf(record, device);
    return where ? where->room : 0;
}

// Bytes from the start of the record's file to the device's end, as the
// carver's window knows it (kUnknownEnd when it does not).
inline std::uint64_t WindowRoom(const CRawFileInfo::SearchContext& context, long long offset) {
    const std::uint64_t room = context.m_Window.BytesToDeviceEnd();
    return room == CRawWindow::kUnknownEnd ? room : room + static_cast<std::uint64_t>(offset);
}

// Another carved file begins at this sector (past the record's own start).
inline bool NextStartsAt(const CRawFileInfo& record, const CRawFileInfo::SearchContext& context, long long sector) {
    return sector > record.m_llStartSector &&
           (context.m_bNewStart || (context.m_pNewInfo && context.m_pNewInfo->m_llStartSector == sector));
}

// A text format's closing mark followed through a streaming record's sectors
// byte by byte, so a mark or line end cut by a sector border still counts:
// the file offset just past the last mark and the line end right after it
// (0 while none was seen). A file on a used card ends there, whatever old
// data fills the rest of its last sector.
class ClosingMark {
public:
    // `wide`: the mark and its line end in UTF-16 little-endian.
    ClosingMark(const char* mark, bool noCase, bool wide = false) : m_bNoCase(noCase), m_bWide(wide) {
        for (const char* c = mark; *c && m_nLen + 2 <= m_mark.size(); ++c) {
            m_mark[m_nLen++] = Fold(static_cast<unsigned char>(*c));
            if (wide) m_mark[m_nLen++] = 0;
        }
        // Where a partial match falls back to on a mismatch.
        for (std::size_t i = 1, k = 0; i < m_nLen; ++i) {
            while (k && m_mark[i] != m_mark[k]) k = m_fail[k - 1];
            if (m_mark[i] == m_mark[k]) ++k;
            m_fail[i] = static_cast<unsigned char>(k);
        }
    }

    // The bytes at file offset `offset`; a gap since the last call starts
    // the matching afresh.
    void Feed(const unsigned char* p, std::size_t n, unsigned long long offset) {
        if (offset != m_ullNext) m_nMatched = m_nLine = 0;
        for (std::size_t i = 0; i < n; ++i) {
            if (m_nLine) Line(p[i]);
            if (m_nLen == 0) continue;
            const unsigned char c = Fold(p[i]);
            while (m_nMatched && c != m_mark[m_nMatched]) m_nMatched = m_fail[m_nMatched - 1];
            if (c == m_mark[m_nMatched]) ++m_nMatched;
            if (m_nMatched == m_nLen) {
                m_ullEnd = m_ullMark = offset + i + 1;
                m_nLine = 1;
                m_nMatched = m_fail[m_nLen - 1];
            }
        }
        m_ullNext = offset + n;
    }

    unsigned long long End() const { return m_ullEnd; }

    // A mark ending at `end` found by other means: its line end follows.
    void MarkAt(unsigned long long end) {
        m_ullEnd = m_ullMark = m_ullNext = end;
        m_nLine = 1;
    }

private:
    unsigned char Fold(unsigned char c) const {
        return m_bNoCase ? static_cast<unsigned char>(std::tolower(c)) : c;
    }

    // One byte after the mark: "\r\n" or "\n" (two bytes a character when wide).
    void Line(unsigned char c) {
        m_line[m_nLine - 1] = c;
        const std::size_t k = m_nLine;
        static constexpr unsigned char kCrLf[] = {'\r', '\n'}, kLf[] = {'\n'};
        static constexpr unsigned char kWideCrLf[] = {'\r', 0, '\n', 0}, kWideLf[] = {'\n', 0};
        bool prefix = false;
        const auto check = [&](const unsigned char* end, std::size_t len) {
            if (k > len || std::memcmp(end, m_line.data(), k) != 0) return;
            prefix = true;
            if (k == len) m_ullEnd = m_ullMark + k;
        };
        if (m_bWide) {
            check(kWideCrLf, 4);
            check(kWideLf, 2);
        } else {
            check(kCrLf, 2);
            check(kLf, 1);
        }
        m_nLine = prefix && k < m_line.size() ? static_cast<unsigned char>(k + 1) : 0;
    }

    std::array<unsigned char, 32> m_mark{}, m_fail{};
    std::array<unsigned char, 4> m_line{};
    std::size_t m_nLen = 0, m_nMatched = 0;
    unsigned char m_nLine = 0; // 1 + the line-end bytes seen after the last mark (0: none pending)
    bool m_bNoCase, m_bWide;
    unsigned long long m_ullMark = 0, m_ullEnd = 0, m_ullNext = 0;
};

// A rich-text document's braces from its opening "{\rtf": the file offset
// just past the brace closing that first group and the line end right after
// it (0 while it is open). A backslash makes the next byte text, so "\{",
// "\}" and "\\" do not count, and "\binN" carries N bytes of data.
class RtfGroup {
public:
    void Feed(const unsigned char* p, std::size_t n, unsigned long long offset) {
        if (offset != m_ullNext) m_bBroken = true; // a skipped sector: the count is lost
        m_ullNext = offset + n;
        if (m_bBroken) return;
        if (m_ullEnd) return m_Line.Feed(p, n, offset);
        for (std::size_t i = 0; i < n; ++i) {
            const unsigned char c = p[i];
            if (m_eState == State::Data) {
                const std::size_t take = static_cast<std::size_t>(std::min<unsigned long long>(m_ullData, n - i));
                m_ullData -= take;
                i += take - 1;
                if (m_ullData == 0) m_eState = State::Text;
                continue;
            }
            if (m_eState == State::Escape) {
                m_eState = State::Text;
                if (c >= 'a' && c <= 'z') {
                    m_eState = State::Word;
                    m_nWord = 0;
                    m_word[m_nWord++] = c;
                }
                continue;
            }
            if (m_eState == State::Word) {
                if (c >= 'a' && c <= 'z') {
                    if (m_nWord < m_word.size()) m_word[m_nWord++] = c;
                    continue;
                }
                const bool bin = m_nWord == 3 && std::memcmp(m_word.data(), "bin", 3) == 0;
                m_eState = State::Text;
                if (bin && c >= '0' && c <= '9') {
                    m_eState = State::Count;
                    m_ullData = static_cast<unsigned long long>(c - '0');
                    continue;
                }
                if (c == ' ') continue; // the control word's delimiter
            } else if (m_eState == State::Count) {
                if (c >= '0' && c <= '9') {
                    // Bounded: a huge count only runs to the next file or the limit.
                    m_ullData = std::min<unsigned long long>(m_ullData * 10 + static_cast<unsigned>(c - '0'), 1ull << 40);
                    continue;
                }
                m_eState = m_ullData ? State::Data : State::Text;
                if (c == ' ') continue;
                if (m_eState == State::Data) {
                    if (--m_ullData == 0) m_eState = State::Text;
                    continue;
                }
            }
            if (c == '\\') {
                m_eState = State::Escape;
            } else if (c == '{') {
                ++m_llDepth;
            } else if (c == '}' && --m_llDepth == 0) {
                m_ullEnd = offset + i + 1;
                m_Line.MarkAt(m_ullEnd);
                m_Line.Feed(p + i + 1, n - i - 1, m_ullEnd);
                return;
            }
        }
    }

    unsigned long long End() const { return m_ullEnd ? std::max(m_ullEnd, m_Line.End()) : 0; }

private:
    enum class State { Text, Escape, Word, Count, Data };
    ClosingMark m_Line{"", false};
    State m_eState = State::Text;
    std::array<unsigned char, 4> m_word{};
    std::size_t m_nWord = 0; // letters kept, up to 4: enough to tell "bin" from longer words
    long long m_llDepth = 0;
    bool m_bBroken = false;
    unsigned long long m_ullData = 0, m_ullEnd = 0, m_ullNext = 0;
};

// A streaming record whose format has no classic sizer: one the carver drops
// unfinished keeps no size.
class CUnpartneredRawFileInfo : public CPartneredRawFileInfo {
public:
    CUnpartneredRawFileInfo() : CPartneredRawFileInfo(nullptr) {}
    void WillBeRemove(unsigned char*, long long) override {}

protected:
    // The zero-tail ending: past the limit the file ends at this sector's
    // offset; else a sector with at least `minZero` zero bytes at its end and
    // at least `minEnd` bytes into the file ends it where its data ends.
    int ZeroTailEnd(unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context,
                    long long minEnd, unsigned long long limit, unsigned minZero, const char* separator) {
        if (!sector || sectorBytes <= 0) return 2;
        const long long offset = (sectorNumber - m_llStartSector) * sectorBytes;
        if (offset < 0) return 2;
        if (static_cast<unsigned long long>(offset) > limit)
            return Settle(static_cast<unsigned long long>(offset), sectorNumber, separator);
        if (context.m_nTrailingZero < minZero) return 2;
        // The minimum bounds the file's end, not the sector's offset: a file
        // smaller than a sector ends in its first sector.
        const long long end = offset + DataEnd(sector, sectorBytes);
        if (end < minEnd) return 2;
        return Settle(static_cast<unsigned long long>(end), sectorNumber, separator);
    }
};

// The same ending for records that do have a classic partner.
class CZeroTailPartneredRawFileInfo : public CPartneredRawFileInfo {
public:
    using CPartneredRawFileInfo::CPartneredRawFileInfo;

protected:
    int ZeroTailEnd(unsigned char* sector, int sectorBytes, long long sectorNumber, const SearchContext& context,
                    long long minEnd, unsigned long long limit, bool evenEnd) {
        if (!sector || sectorBytes <= 0) return 2;
        const long long offset = (sectorNumber - m_llStartSector) * sectorBytes;
        if (offset < 0) return 2;
        if (static_cast<unsigned long long>(offset) > limit)
            return Settle(static_cast<unsigned long long>(offset), sectorNumber, "_");
        if (context.m_nTrailingZero < 8) return 2;
        int e = DataEnd(sector, sectorBytes);
        // Two-byte text keeps the high byte of its last character.
        if (evenEnd) e = std::min(sectorBytes, (e + 1) & ~1);
        if (offset + e < minEnd) return 2;
        return Settle(static_cast<unsigned long long>(offset + e), sectorNumber, "_");
    }
};

} // namespace BruteForce
