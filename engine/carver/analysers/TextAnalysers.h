#pragma once
// Mostly-text documents: rich text, web pages (8-bit and UTF-16), e-books
// with a "BOOKMOBI" header, mailboxes and mail databases. Text has no end
// marker that survives in free space, so most end at the first sector that
// ends in zero bytes, where their data ends.
#include "engine/carver/analysers/StreamTail.h"

#include <cstdint>

class FileRTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 60;
    static constexpr unsigned long long kWalkLimit = 0xD000000;
    FileRTFAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // Counts the groups: the document ends just after the brace that closes
    // its outer group; a NUL inside a group means no size.
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

class FileHTMAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 33;
    FileHTMAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // "<HTML" or "<!DOCTYPE HTML" at the start, in any case.
    static bool Accepts(bytes::Bytes head);
    // FF FE, then "<HTML>" or "<!" in UTF-16 (little-endian, any case).
    static bool AcceptsUtf16(bytes::Bytes head);
};

class FileUnicodeHTMAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned long long kWalkLimit = 0x100000;
    FileUnicodeHTMAnalyser() { m_nType = FileHTMAnalyser::kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

// Where a mail folder's text ends, fed its bytes in order: at a run of
// bytes that are no text (kRunBytes within kRunReach), the zero slack after
// it or whatever binary follows; before binary bytes, at its last line end.
// Fewer such bytes close together are a message's own (a NUL or bell a
// broken mailer left, a bell and a vertical tab of pasted terminal text):
// random and compressed bytes hold one in about nine, so a run comes soon
// in them. Zeros (two or more) up to a sector's end before a "From " line
// are the slack between two folders. Lines that read as random bytes (no
// UTF-8, EUC, Shift-JIS, Big5 nor Cyrillic letters, many 8-bit bytes,
// hardly a space) just before the end are old data.
class MailEnd {
public:
    static constexpr unsigned long long kRunReach = 64;
    static constexpr std::size_t kRunBytes = 3;
    // How far before the next file's start a folder may have ended: the
    // slack of a cluster.
    static constexpr unsigned long long kSlackReach = 65536;
    static constexpr unsigned long long kNone = ~0ull;
    // Bytes p[0, n) lying at pos, p starting a sector; true once the end is found.
    bool Feed(const unsigned char* p, std::size_t n, unsigned long long pos);
    // No more bytes (the device's end): a byte still waiting ends the text.
    void Close();
    // Another file starts at `at`, where nothing was fed yet: a byte that is
    // no text in the slack before it, after the last "From " line, is where
    // the folder ended, unless mail goes on after that file's start (a
    // "From " line or a line of a MIME boundary the folder declared: it was
    // a part of a message).
    void CutAt(unsigned long long at);
    // Mail went on after `at`, where another file began.
    bool WentOnPast(unsigned long long at) const { return m_ullGoneOn != kNone && m_ullGoneOn >= at; }
    // The bytes fed end with zeros that may be slack.
    bool ZeroTail() const { return m_ullZeros != kNone && m_ullFed - m_ullZeros >= 2; }
    bool Ended() const { return m_ullEnd != kNone; }
    // Where the run begins.
    unsigned long long End() const { return m_ullEnd; }
    // The folder's size from `from`, once ended.
    unsigned long long Size(unsigned long long from) const;

private:
    struct Stray {
        unsigned long long pos = kNone;
        unsigned long long line = kNone; // the end of the last line that reads as text before it
        bool binary = false;             // not a zero, or after bytes that read as random
    };
    // What a line's bytes look like.
    struct Look {
        unsigned bytes = 0, high = 0, spaces = 0, pending = 0;
        unsigned run = 0;    // 8-bit bytes in a row up to here
        bool broken = false; // not UTF-8
        bool paired = true;  // 8-bit bytes in pairs of 0xA1-0xFE
        // Shift-JIS (without half-width katakana, which mail does not carry)
        // and Big5: lead and trail pairs (a trail may be ASCII).
        bool sjis = true, sjisTrail = false, kana = false;
        bool big5 = true, big5Trail = false;
        unsigned sjisPairs = 0, big5Pairs = 0;
        bool cyrillic = true; // 8-bit bytes all letters of a single-byte Cyrillic code page
        bool cyrText = true;  // ... or the dashes, quotes and ellipsis of its prose
        unsigned marks = 0;   // 8-bit bytes up to here that are no Cyrillic letter, while cyrText holds
        unsigned trails = 0;  // ASCII bytes that may trail a Shift-JIS or Big5 lead byte
        unsigned crs = 0;     // carriage returns
        void Add(unsigned char c);
        bool Random() const;
        // The scripts (below) whose 8-bit text the line is, told by a line's
        // worth of it; a few characters fit one by chance.
        unsigned Scripts() const;
        // Whether the line is all text of one of `scripts`, however short.
        bool Fits(unsigned scripts) const;
    };
    enum : unsigned { kShiftJis = 1, kBig5 = 2, kCyrillic = 4 };
    // The scripts of the folder's 8-bit lines so far: a short line in one
    // of them (a name, "以上") is text where random bytes of its length
    // would not be.
    unsigned m_nScripts = 0;
    // The line fed ended just before `pos`: past it when it is text.
    void LineEnded(unsigned long long pos);
    void EndAt(const Stray& s);
    // The text ended at s, or where a file that is not mail began inside it.
    void Finish(const Stray& s) { EndAt(m_cut.pos != kNone ? m_cut : s); }
    unsigned long long m_ullLine = kNone; // just past the last line end fed that ends text
    unsigned long long m_ullZeros = kNone; // the first of the zeros the bytes fed end with
    unsigned long long m_ullFed = kNone;  // just past the last byte fed
    unsigned long long m_ullFrom = kNone; // where the last "From " line begins
    unsigned long long m_ullCutAt = kNone; // where another file begins, unless mail went on after it
    unsigned long long m_ullGoneOn = kNone; // the last "From " or boundary line after such a start
    unsigned m_nFrom = 0;                 // bytes of "From " matched at a line's start (5 all, 6 none)
    unsigned m_nDash = 0;                 // bytes of a boundary line's "--" matched (3: its boundary, 4: none)
    unsigned long long m_ullDashAt = kNone; // where that line begins
    // A MIME boundary's bytes, by hash (FNV-1a), also without a closing "--"
    // (back1, back2: the hash one and two bytes before).
    struct Token {
        std::uint64_t hash = 14695981039346656037ull, back1 = 0, back2 = 0;
        unsigned size = 0;
        unsigned char last1 = 0, last2 = 0;
        void Add(unsigned char c) {
            back2 = back1;
            back1 = hash;
            hash = (hash ^ c) * 1099511628211ull;
            last2 = last1;
            last1 = c;
            ++size;
        }
    };
    // Boundaries the folder declared ("boundary=" parameters) that no
    // closing line has closed yet, outermost first: a message forwarding
    // many messages keeps its own open while theirs open and close. A line
    // "--" and one of them is mail; other lines of dashes are any text's.
    // A message nested deeper than kOpen is no mail; an earlier message's
    // boundaries left open (a cut or broken message) make room for the
    // current one's.
    static constexpr std::size_t kOpen = 32;
    struct Open {
        std::uint64_t hash = 0;
        unsigned long long from = kNone; // the "From " line of the message that declared it
    };
    // The "=" at p[i] ends the name "boundary" (in any case).
    bool NamesBoundary(const unsigned char* p, std::size_t i) const;
    // The next byte of a boundary parameter's value.
    void Declare(unsigned char c);
    // Whether the line's boundary is open; a closing one closes it and the
    // parts inside it.
    bool Declared(const Token& t);
    Open m_open[kOpen];
    std::size_t m_nOpen = 0;
    unsigned m_nParam = 0; // 9 after "boundary=", 10 in its quoted value, 11 in its token, else 0
    Token m_param, m_line;
    unsigned char m_tail[8] = {};         // the last bytes fed before the sector being fed
    Look m_look;                          // the line being fed
    Stray m_recent[kRunBytes - 1];        // the last bytes that are no text, oldest first
    std::size_t m_nRecent = 0;
    Stray m_last;                         // the last byte that is no text
    Stray m_before;                       // the last byte that is no text to leave m_recent
    Stray m_cut;                          // where the folder ended, unless mail goes on past m_ullCutAt
    unsigned long long m_ullEnd = kNone;
    Stray m_end;
};

class FileMboxAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 126;
    FileMboxAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // Forgets how far an earlier carve walked mail text.
    static void ForgetWalked();
};

namespace RawSpeed {

class FileMOBIAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 133;
    FileMOBIAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // The last record's offset (from the record list) + its 4 bytes.
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 78 || sector[60] == 'B' || sector[60] == 'b';
    }
    static bool Accepts(bytes::Bytes head);
    // Where the last record's list entry lies.
    static std::uint64_t LastEntry(bytes::Bytes head);
};

class RTFRawFileInfo : public BruteForce::CZeroTailPartneredRawFileInfo {
public:
    static constexpr unsigned long long kLimit = 314572800;
    explicit RTFRawFileInfo(IRawFileAnalyser* classic) : CZeroTailPartneredRawFileInfo(classic) {
        m_eRawFileType = FileRTFAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    BruteForce::RtfGroup m_Group;
};
using RTFAnalyser = BruteForce::CPartneredAnalyser<RTFRawFileInfo, FileRTFAnalyser>;

class HTMLRawFileInfo : public BruteForce::CZeroTailPartneredRawFileInfo {
public:
    static constexpr unsigned long long kLimit = 0x100000;
    explicit HTMLRawFileInfo(IRawFileAnalyser* classic) : CZeroTailPartneredRawFileInfo(classic) {
        m_eRawFileType = FileHTMAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    bool m_bJudged = false;
    bool m_bUtf16 = false;
    BruteForce::ClosingMark m_Close{"</html>", true};
};

class HTMLAnalyser : public BruteForce::CPartneredAnalyser<HTMLRawFileInfo, FileHTMAnalyser> {
public:
    // Also UTF-16 pages.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class MOBIRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0x9600000;
    explicit MOBIRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileMOBIAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    int m_nExamined = 0;
    std::uint64_t m_ullPosition = 0;
    bool m_bEndRecord = false;
    bool m_bFirstCall = true;
};
using MOBIAnalyser = BruteForce::CPartneredAnalyser<MOBIRawFileInfo, FileMOBIAnalyser>;

// A mail folder followed sector by sector: a "From " line on a sector
// border inside it is one of its messages.
class MboxRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    explicit MboxRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileMboxAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    // A "From " line after zeros that end a sector starts a folder of its own.
    bool RecordAt(unsigned long long offset) const override {
        return offset > 0 && !(offset == m_ullFed && m_End.ZeroTail());
    }
    // At the scan's end it has seen every sector to the device's end and
    // keeps what it reached; evicted, its partner sizes it.
    void WillBeRemove(unsigned char* sector, long long s) override;

private:
    MailEnd m_End;
    unsigned long long m_ullFed = 0;
};
using MboxAnalyser = BruteForce::CPartneredAnalyser<MboxRawFileInfo, FileMboxAnalyser>;

class DBXRawFileInfo : public BruteForce::CUnpartneredRawFileInfo {
public:
    static constexpr long long kLimit = 500000000;
    DBXRawFileInfo() { m_eRawFileType = 21; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    bool m_bSixteenByteForm = false;
    bool m_bFirstCall = true;
};

class DbxAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 21;
    DbxAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new DBXRawFileInfo(); }
};

} // namespace RawSpeed
