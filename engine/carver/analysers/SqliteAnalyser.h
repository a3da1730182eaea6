#pragma once
// SQLite databases kept beside movie projects (filed as FCPEVENT), told
// apart further as address books (ABCDDB), Muse and Sketch documents. The
// record judges each page by its first byte until a page that no database
// holds, allowing a few empty pages in a row.
#include "engine/carver/RawFileInfo.h"

namespace BruteForce {

class CFCPEvtFileInfo : public CRawFileInfo {
public:
    static constexpr unsigned long long kLimit = 200000000;
    static constexpr int kMaxMisses = 5;

    CFCPEvtFileInfo() { m_eRawFileType = 115; }
    bool WhetherImplementGuess() override { return true; }
    // A database still followed when it leaves the carver keeps the pages
    // judged so far.
    void WillBeRemove(unsigned char*, long long) override;
    int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                    SearchContext& context) override;

    unsigned m_nPageSize = 0;
    unsigned m_nPages = 0;
    unsigned m_nFreelistPages = 0;
    unsigned m_nFirstCell = 0;
    unsigned m_nCellContent = 0;
    bool m_bSuffixPending = true;
    bool m_bSuffixFound = false;
    bool m_bCounting = false;
    int m_nMisses = 0;
    unsigned char m_nLastByte3 = 0;
    long long m_llNextPage = 0; // the next page to judge, as a file offset
    bool m_bInfo = false;

private:
    bool PageInformation(bytes::Bytes head);
    void JudeMuseSuffix(const SearchContext& context, long long sectorNumber, int sectorBytes);
    void AnalyseABCDDBFileType(bytes::Bytes page);
    // False when the page ends the database.
    bool GuessCalculate(bytes::Bytes page);
    void EndSearch();
};

class CFCPEvtAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kFcpType = 115;
    static constexpr unsigned kAbcddbType = 121;
    static constexpr unsigned kMuseType = 128;
    static constexpr unsigned kSketchType = 143;

    CFCPEvtAnalyser() { m_nType = kFcpType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new CFCPEvtFileInfo(); }
};

} // namespace BruteForce
