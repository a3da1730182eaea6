#pragma once
// PDF documents and drawing-application PostScript ("Adobe Illustrator")
// files. The streaming analyser follows a candidate sector by sector to its
// "%%EOF" and reads its document information on the way; a candidate it has
// to give up is handed to the classic analyser, which sizes it from the device.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/metadata/FileProperty.h"
#include "engine/carver/metadata/PdfTitleAnalyzer.h"

namespace pdfend {
enum class Kind { None, Last, Update, Unknown };
// What the "%%EOF" at `at` of t[0, n) is (see the source); `end` just past
// its line.
Kind Classify(const unsigned char* t, std::size_t n, std::size_t at, std::size_t& end);
// Ends of the markers starting in t[from, to), base being t's offset in the
// file: the document's last end, else -1 with lastEnd moved to the last end
// an update may follow.
long long Scan(const unsigned char* t, std::size_t n, std::size_t from, std::size_t to, long long base,
               long long& lastEnd);
} // namespace pdfend

class FilePDFAnalyser : public IRawFileAnalyser {
public:
    // Where the classic end search gives up.
    static constexpr unsigned long long kScanLimit = 0xD000000;

    FilePDFAnalyser() { m_nType = 50; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

private:
    int GetRawFileSizeEx(CRawFileInfo& info, IStorageDevice* device);
};

namespace BruteForce {

class PdfAnalyzer : public IRawFileAnalyser {
public:
    static constexpr unsigned kPdfType = 50;
    static constexpr unsigned kAiType = 5;

    class PdfRawFileInfo : public CRawFileInfo {
    public:
        explicit PdfRawFileInfo(IRawFileAnalyser* classic);
        bool WhetherImplementGuess() override { return true; }
        // Hands the candidate to the classic analyser, keeping what the
        // document information gave its name and label.
        void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
        int CalcRawSize(unsigned char* sector, int sectorSize, long long sectorNumber,
                        SearchContext& context) override;

        long long m_llMinEnd = 20480;
        long long m_llMinEndBias = 0;
        bool m_bJudgeAI = true;
        bool m_bReserved = false;
        bool m_bMoreData = false;
        long long m_llSizeLimit = 200000000;
        bool m_bInfoPending = true;
        // Just past the last "%%EOF" that closes a cross-reference section
        // and may be followed by an incremental update (0: none seen).
        long long m_llLastEnd = 0;
        FileProperty m_Info;
        PdfTitleAnalyzer m_Reader;

    private:
        void PdfTagDealwith(FileProperty info);
        IRawFileAnalyser* m_pClassic;
    };

    PdfAnalyzer() { m_nType = kPdfType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new PdfRawFileInfo(&m_Classic); }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }

    // A PDF, or PostScript from a drawing application that is not EPS.
    static bool Accepts(const unsigned char* head, std::size_t n);
    // True when the text holds "%!PS-Adobe" followed somewhere by "Adobe Illustrator".
    static bool JudgeAI(const unsigned char* text, std::size_t n);

private:
    FilePDFAnalyser m_Classic;
};

} // namespace BruteForce
