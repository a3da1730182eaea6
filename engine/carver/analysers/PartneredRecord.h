#pragma once
// Streaming records that own a classic partner: the record follows its file
// across blocks; when the carver drops it unfinished it hands itself to the
// partner, which sizes the file from the device at the carve's end.
#include "engine/carver/RawFileInfo.h"

#include <cstdio>
#include <memory>

namespace BruteForce {

class CPartneredRawFileInfo : public CRawFileInfo {
public:
    explicit CPartneredRawFileInfo(IRawFileAnalyser* classic) : m_pClassic(classic) {}
    bool WhetherImplementGuess() override { return true; }
    void WillBeRemove(unsigned char*, long long) override {
        m_ullFileSize = 0;
        m_pAnalyser = m_pClassic;
    }

protected:
    // Ends the file at `size`, named by its start and the sector that settled
    // it: "<start>-<sector>" and the format's separator.
    int Settle(unsigned long long size, long long sectorNumber, const char* separator) {
        m_ullFileSize = size;
        char name[64];
        std::snprintf(name, sizeof name, "%lld-%lld%s", m_llStartSector, sectorNumber, separator);
        SetRawFileName(name);
        return 1;
    }

private:
    IRawFileAnalyser* m_pClassic;
};

// The streaming analyser: accepts what its classic partner accepts, makes
// Record(partner) records and sizes through the partner.
template <class Record, class Classic>
class CPartneredAnalyser : public IRawFileAnalyser {
public:
    CPartneredAnalyser() : m_pClassic(std::make_unique<Classic>()) { m_nType = 0xFFFFFFFF; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override {
        return m_pClassic->AnalyseBuffer(sector, info);
    }
    int GetRawFileSize(CRawFileInfo& record, IStorageDevice* device) override {
        return m_pClassic->GetRawFileSize(record, device);
    }
    // A subclass that accepts more than its partner answers this itself.
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return m_pClassic->CouldStart(sector, bytes);
    }
    CRawFileInfo* CreateRawFileInfo() override { return new Record(m_pClassic.get()); }

private:
    std::unique_ptr<Classic> m_pClassic;
};

} // namespace BruteForce
