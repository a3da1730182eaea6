#pragma once
// Small formats recognised by a fixed header: help files, compiled help and
// media-library files (sized by their header), photo-paint documents (by
// their object table), version-11 drawing files (by their zero tail), and
// password-safe files, key stores, scores and "-in-" chunk files, followed
// as the scan streams on.
#include "engine/carver/analysers/StreamTail.h"

class FileHLPAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 32;
    FileHLPAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileCHMAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 14;
    FileCHMAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileITLAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 117;
    FileITLAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class FileCPTAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 17;
    FileCPTAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

namespace BruteForce {

class CFH11Analyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 29;
    static constexpr unsigned long long kLimit = 0xD000000;
    CFH11Analyser() { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override;
};

} // namespace BruteForce

namespace RawSpeed {

// The zero-tail records of the formats without a classic sizer.
class CZeroTailRawFileInfo : public BruteForce::CUnpartneredRawFileInfo {
public:
    CZeroTailRawFileInfo(unsigned type, long long minEnd, unsigned long long limit)
        : m_llMinEnd(minEnd), m_ullLimit(limit) {
        m_eRawFileType = type;
    }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override {
        return ZeroTailEnd(sector, sectorBytes, s, context, m_llMinEnd, m_ullLimit, 8, "_");
    }
    long long m_llMinEnd;
    unsigned long long m_ullLimit;
};

// Accepts by a header test and makes zero-tail records.
class CZeroTailAnalyser : public IRawFileAnalyser {
public:
    CZeroTailAnalyser(unsigned type, long long minEnd, unsigned long long limit, bool (*accepts)(bytes::Bytes))
        : m_llMinEnd(minEnd), m_ullLimit(limit), m_accepts(accepts) {
        m_nType = type;
    }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new CZeroTailRawFileInfo(m_nType, m_llMinEnd, m_ullLimit); }

private:
    long long m_llMinEnd;
    unsigned long long m_ullLimit;
    bool (*m_accepts)(bytes::Bytes);
};

class PSAFE3Analyser : public CZeroTailAnalyser {
public:
    static constexpr unsigned kType = 136;
    PSAFE3Analyser();
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 16 || sector[0] == 'P' || sector[0] == 'p' || sector[3] == 'P' || sector[3] == 'p';
    }
};

class JKSAnalyser : public CZeroTailAnalyser {
public:
    static constexpr unsigned kType = 135;
    JKSAnalyser();
};

class SIBAnalyser : public CZeroTailAnalyser {
public:
    static constexpr unsigned kType = 134;
    SIBAnalyser();
};

class NGRRRawFileInfo : public BruteForce::CUnpartneredRawFileInfo {
public:
    static constexpr long long kLimit = 52428800;
    NGRRRawFileInfo() { m_eRawFileType = 137; }
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long s, SearchContext& context) override;
    long long m_llNextChunk = 60;
    bool m_bEnd = false;
};

class NGRRAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kType = 137;
    NGRRAnalyser() { m_nType = kType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new NGRRRawFileInfo(); }
};

} // namespace RawSpeed
