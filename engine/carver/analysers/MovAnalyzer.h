#pragma once
// Movies built of boxes: QuickTime, MP4, M4A/M4V, 3GP and screen recordings
// (TREC). A file starts with an "ftyp" box whose major brand names the
// flavour; a streaming record follows the boxes across blocks and reads the
// camera's make, model and recording time from the movie's EXIF block or,
// failing that, a phone's name near the end. Records that leave the carver
// unfinished keep the size their walk reached, or more when a whole-file box
// walk on the device goes further (a movie's moov box usually comes last).
#include "engine/carver/RawFileInfo.h"

#include <memory>
#include <string>

// The whole-file box walk through the device.
class CRawBoxFileAnalyser {
public:
    static constexpr int kMaxBoxes = 500;

    // True with info's size set (never past the device's end), else false.
    static bool GetFileSize(CRawFileInfo& info, IStorageDevice* device);
};

class FileMP4Analyser : public IRawFileAnalyser {
public:
    FileMP4Analyser() { m_nType = 44; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    // The whole-file walk; for a streaming record let go unfinished, never
    // less than its own walk reached.
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;
};

namespace BruteForce {

class MovAnalyzer : public IRawFileAnalyser {
public:
    static constexpr unsigned kMovType = 42;
    static constexpr unsigned kMp4Type = 44;
    static constexpr unsigned kM4aType = 45;
    static constexpr unsigned kM4vType = 46;
    static constexpr unsigned k3gpType = 2;
    static constexpr unsigned kTrecType = 138;

    class MovRawFileInfo : public CRawFileInfo {
    public:
        // classic: the analyser that sizes the record after it leaves the
        // carver unfinished.
        MovRawFileInfo(unsigned type, IRawFileAnalyser* classic);
        bool WhetherImplementGuess() override { return true; }
        void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
        int CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                        SearchContext& context) override;
        // Settles size, type, name and label; buffer and context may be null.
        void endSearch(long long sectorNumber, const unsigned char* buffer, const SearchContext* context);

        long long m_llWalk = 0; // file offset of the next box header
        unsigned m_nMoovCount = 0;
        unsigned m_nIso = 0; // the major brand starts with "iso"
        unsigned m_nBoxes = 0;
        unsigned char m_bLittleEndian = 0;
        std::string m_strMake;
        std::string m_strModel;
        int m_nSectorBytes = 512;

    private:
        // Make, model and time from the EXIF block in `box` (a moov box's
        // bytes as far as they have been read).
        void GetMovTagInfo(bytes::Bytes box);
        // The phone's name in the bytes before the sector that ended the walk.
        void SearchPhoneName(long long sectorNumber, const SearchContext& context);
        IRawFileAnalyser* m_pClassic;
    };

    MovAnalyzer() : m_Classic(std::make_unique<FileMP4Analyser>()) { m_nType = kMovType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    bool CouldStart(const unsigned char* sector, std::size_t bytes) override {
        return bytes < 84 || (sector[4] == 'f' && sector[5] == 't' && sector[6] == 'y' && sector[7] == 'p');
    }
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override { return new MovRawFileInfo(m_nCreateType, m_Classic.get()); }

    // The type the ftyp box at the sector's start names by its major brand
    // (0 for a brand outside the table). head holds at least 32 bytes.
    static unsigned getTypeByMajorBrand(bytes::Bytes head);

protected:
    unsigned m_nCreateType = kMovType;

private:
    std::unique_ptr<FileMP4Analyser> m_Classic;
};

class C3GPAnalyser : public MovAnalyzer {
public:
    C3GPAnalyser() { m_nCreateType = k3gpType; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
};

class Mp4Analyzer : public IRawFileAnalyser {
public:
    Mp4Analyzer() : m_Classic(std::make_unique<FileMP4Analyser>()) { m_nType = MovAnalyzer::kMp4Type; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    int GetRawFileSize(CRawFileInfo&, IStorageDevice*) override { return 0; }
    CRawFileInfo* CreateRawFileInfo() override {
        return new MovAnalyzer::MovRawFileInfo(MovAnalyzer::kMp4Type, m_Classic.get());
    }

private:
    std::unique_ptr<FileMP4Analyser> m_Classic;
};

} // namespace BruteForce
