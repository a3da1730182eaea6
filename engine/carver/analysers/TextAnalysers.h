#pragma once
// Mostly-text documents: rich text, web pages (8-bit and UTF-16), e-books
// with a "BOOKMOBI" header, mailboxes and mail databases. Text has no end
// marker that survives in free space, so most end at the first sector that
// ends in zero bytes, where their data ends.
#include "engine/carver/analysers/StreamTail.h"

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
// bytes that are no text, the zero slack after it or whatever binary
// follows; before binary bytes, at its last line end. A byte that is no
// text with none other within kStrayReach bytes after it is a message's
// stray control byte (a NUL, a bell, a backspace) and is kept: random
// bytes hold one in about nine.
class MailEnd {
public:
    static constexpr unsigned long long kStrayReach = 64;
    static constexpr unsigned long long kNone = ~0ull;
    // Bytes p[0, n) lying at pos; true once the end is found.
    bool Feed(const unsigned char* p, std::size_t n, unsigned long long pos);
    // No more bytes (the device's end): a byte still waiting ends the text.
    void Close();
    bool Ended() const { return m_ullEnd != kNone; }
    // Where the run begins.
    unsigned long long End() const { return m_ullEnd; }
    // The folder's size from `from`, once ended.
    unsigned long long Size(unsigned long long from) const;

private:
    unsigned long long m_ullLine = kNone;      // just past the last line end fed
    unsigned long long m_ullStray = kNone;     // a byte that is no text, while its reach is fed
    unsigned long long m_ullStrayLine = kNone; // the last line end before it
    unsigned long long m_ullEnd = kNone;
    bool m_bBinary = false; // the byte at m_ullStray is not zero
};

class FileMboxAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 126;
    static constexpr unsigned long long kWalkLimit = 0xD000000;
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
    bool RecordAt(unsigned long long offset) const override { return offset > 0; }

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
