#pragma once
// Drawings and fonts sized from their first sector: Windows metafiles (EMF,
// WMF with or without the placeable header) and TrueType fonts.
#include "engine/carver/RawFileInfo.h"

class FileEMFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kEmfType = 26;
    FileEMFAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 60 || (sector[40] == ' ' && sector[41] == 'E' && sector[42] == 'M' && sector[43] == 'F');
    }
};

class FileWMFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kWmfType = 70;
    FileWMFAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileTTFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kTtfType = 65;
    FileTTFAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};
