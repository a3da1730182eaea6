#pragma once
// TIFF files and the camera raws built on TIFF (and the Fuji raw container).
// Each one found is handed at once to the classic sizer this analyser owns,
// which reads its directories from the device.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/analysers/FileTifAnalyser.h"

#include <memory>

namespace BruteForce {

class TiffAnalyzer : public IRawFileAnalyser {
public:
    class TiffRawFileInfo : public CRawFileInfo {
    public:
        explicit TiffRawFileInfo(TiffAnalyzer* owner) : m_pOwner(owner) { m_eRawFileType = FileTIFAnalyser::kTifType; }
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(unsigned char*, long long) override {
            if (m_pOwner) m_pAnalyser = m_pOwner->Classic();
        }
        // Finished at its first sector without a size: the classic sizer sizes it.
        int CalcRawSize(unsigned char*, int, long long, SearchContext&) override {
            m_ullFileSize = 0;
            return 1;
        }

    private:
        TiffAnalyzer* m_pOwner;
    };

    TiffAnalyzer() : m_classic(std::make_unique<FileTIFAnalyser>()) { m_nType = FileTIFAnalyser::kTifType; }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    // "MM" 00 2A or "MMOR", "II" 2A 00, "IIU" 00, "IIRO" or "IIRS", or the Fuji raw mark.
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new TiffRawFileInfo(this); }
    FileTIFAnalyser* Classic() { return m_classic.get(); }

private:
    std::unique_ptr<FileTIFAnalyser> m_classic;
};

} // namespace BruteForce
