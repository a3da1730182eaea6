#pragma once
// Drawings and fonts sized from their first sector: Windows metafiles (EMF,
// WMF with or without the placeable header) and TrueType fonts.
#include "engine/carver/RawFileInfo.h"

class FileEMFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kEmfType = 26;
    FileEMFAnalyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
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
