#pragma once
// Container formats sized from their first chunk header: the RIFF family
// (WAV, AVI with its AVIX continuations, animated cursors, Corel formats,
// any other RIFF form), AIFF and AIFC, and Sun/NeXT audio.
#include "engine/carver/RawFileInfo.h"

class FileRIFFAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kWav = 67, kAvi = 10, kAni = 4, kCmx = 16, kClk = 15, kCsl = 19, kCdr = 13, kRiff = 59;
    // AVIX chunks followed after an AVI's first chunk, at most.
    static constexpr unsigned kMaxAvix = 4096;

    FileRIFFAnalyser() { m_nType = kRiff; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
    // Bytes 8..11 against sign1 and 12..15 against sign2, ASCII case ignored.
    static bool CompareSignString(const char* sign1, const char* sign2, const unsigned char* buffer);
};

class CFileAIFAnalyzer : public IRawFileAnalyser {
public:
    static constexpr unsigned kAiffType = 80;

    CFileAIFAnalyzer() { m_nType = kAiffType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override;
};

class FileAUAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kAuType = 9;

    FileAUAnalyser() { m_nType = kAuType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};
