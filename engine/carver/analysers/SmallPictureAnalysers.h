#pragma once
// Pictures sized from their first sector: BMP, ICO and CUR icons, Apple icon
// files and Minolta raws.
#include "engine/carver/RawFileInfo.h"

class FileBMPAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kBmpType = 11;
    FileBMPAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileICOAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kIcoType = 34;
    static constexpr unsigned kCurType = 20;
    static constexpr unsigned long long kMaxSize = 0x100000;
    FileICOAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // True when a 16-byte directory entry cannot be an icon's.
    static bool IsInvalidIconDirEntry(const unsigned char* entry);
};

class FileICNSAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kIcnsType = 122;
    FileICNSAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileMRWAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kMrwType = 102;
    FileMRWAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};
