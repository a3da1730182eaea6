#pragma once
// Further Office-family and personal-data formats: OneNote sections and
// Access databases, followed page by page as the scan streams on (with
// classic sizers for what the stream gives up), and early Word documents,
// WordPerfect files, Money files and Outlook personal folders, sized from
// their header at once.
#include "engine/carver/analysers/StreamTail.h"

class FileONEAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 49;
    static constexpr unsigned long long kLimit = 0x1A000000;
    FileONEAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // The OneNote signature at offset 0 of the header.
    static bool Header(bytes::Bytes h);
    // The section's length: the u64 at 196, else the one at 100.
    static std::uint64_t SectionFileLength(bytes::Bytes h);
};

class FileMDBAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kJet = 39, kAce = 76;
    static constexpr unsigned long long kLimit = 0x6400000;
    static constexpr unsigned kPage = 4096;
    FileMDBAnalyser() { m_nType = kJet; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

class FileLowDocAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 23;
    FileLowDocAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileWPDAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kWpd = 68, kWpg = 69, kShw = 61;
    FileWPDAnalyser() { m_nType = kWpd; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileMNYAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 40;
    static constexpr unsigned long long kSize = 0x100000;
    FileMNYAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FilePSTAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 56;
    static constexpr unsigned long long kDefaultSize = 0x100000;
    FilePSTAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // The file's end from its header: ANSI files (versions 14, 15) keep it
    // in 32 bits at 0xA8, Unicode ones (23, 36) in 64 bits at 0xB8.
    static std::uint64_t StatedSize(bytes::Bytes h);
};

namespace RawSpeed {

class ONERawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kCap = 400000000;
    explicit ONERawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileONEAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    long long m_llNext = 20;
    bool m_bFirstCall = true;
};
using OneAnalyser = BruteForce::CPartneredAnalyser<ONERawFileInfo, FileONEAnalyser>;

class CMDBRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kCap = 2000000000;
    explicit CMDBRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_ullMinSize = 4096;
        m_ullMinSizeExtra = 0;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    unsigned m_nEmptyRun = 0;
    bool m_bEndSeen = false;
    bool m_bPageWalk = true;
};
using CMDBAnalyser = BruteForce::CPartneredAnalyser<CMDBRawFileInfo, FileMDBAnalyser>;

} // namespace RawSpeed
