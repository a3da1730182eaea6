#pragma once
// Containers whose end follows from their own structure: compressed disk
// images ending in a 512-byte "koly" trailer, installer packages (xar, sized
// from the table of contents, and the 7F "PKG" format, sized by its header)
// and cabinets, which state their size.
#include "engine/carver/analysers/StreamTail.h"

#include <string>

class FileDMGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 113;
    static constexpr unsigned long long kWalkLimit = 0x82000000;
    FileDMGAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

class FilePKGAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 119;
    static constexpr unsigned long long kLimit = 0x280000000ull;
    static constexpr unsigned long long kTocLimit = 0x300000;
    static constexpr unsigned kXarHeader = 28;
    FilePKGAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
    // The end of the heap the table of contents describes: the largest offset
    // + length over every file's data and the table's checksum. False when
    // the text is not a table of contents with a file.
    static bool HeapEnd(const std::string& toc, std::uint64_t& end);
    // Inflates a compressed table of `unpacked` bytes (at most kTocLimit).
    static bool Inflate(const unsigned char* packed, std::size_t n, std::size_t unpacked, std::string& out);
    // A 7F "PKG" package's size from its header; false for other headers.
    static bool PkgSignFileSize(bytes::Bytes head, std::uint64_t& size);
};

class FileCABAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 12;
    FileCABAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

namespace Orvex {

class DMGRawFileInfo : public BruteForce::CPartneredRawFileInfo {
public:
    static constexpr long long kLimit = 0xC800000;
    explicit DMGRawFileInfo(IRawFileAnalyser* classic) : CPartneredRawFileInfo(classic) {
        m_eRawFileType = FileDMGAnalyser::kType;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
};
using DMGAnalyser = BruteForce::CPartneredAnalyser<DMGRawFileInfo, FileDMGAnalyser>;

} // namespace Orvex
