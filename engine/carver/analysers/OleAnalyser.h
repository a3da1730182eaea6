#pragma once
// Compound files (Word, Excel and PowerPoint 97-2003, Visio, Publisher,
// Project and the other sector-and-FAT containers): followed while the blocks
// pass, sized from the FAT, typed from the directory's stream names and named
// from the SummaryInformation property set. A candidate the stream gives up is
// sized from the device by the same analyser.
#include "engine/carver/RawFileInfo.h"
#include "engine/carver/metadata/FileProperty.h"
#include "engine/carver/metadata/SummaryInformation.h"

#include <set>
#include <string>
#include <vector>

class FileOLEAnalyser : public IRawFileAnalyser {
public:
    static constexpr unsigned kOle = 48, kMof = 41, kDoc = 23, kXls = 71, kPpt = 52, kMax = 37, kVsd = 66, kShw = 61,
                              kWpd = 68, kWpg = 69, kIpt = 140, kPub = 53, kQpw = 57, kAaf = 141, kMpp = 47, kAdp = 3;
    static constexpr unsigned long long kSizeCap = 524288000;
    // More FAT sectors than a file under the cap can need mean a damaged header.
    static constexpr unsigned kMaxFatSectors = 1u << 16;

    // What the header tells: compound sector size, FAT sectors it lists and
    // where the DIFAT chain and the directory begin.
    struct Header {
        unsigned sectorBytes = 512;
        std::vector<std::uint32_t> fat;
        std::uint32_t difat = 0xFFFFFFFE;
        std::uint32_t directory = 0;
    };
    // False when the bytes are no compound-file header.
    static bool CheckStorageHeader(bytes::Bytes head, Header& out);
    // Appends a DIFAT sector's FAT sector numbers; the next DIFAT sector, or
    // 0xFFFFFFFE at the chain's end.
    static std::uint32_t CheckSectDifStart(bytes::Bytes sector, std::vector<std::uint32_t>& fat);
    // 1-based position of the last used entry of a FAT sector, 0 when all are free.
    static unsigned UsedEntries(bytes::Bytes fatSector);
    // The file's size from the FAT: the last FAT sector's index and its used entries.
    static unsigned long long SizeFromFat(std::size_t fatCount, unsigned used, unsigned sectorBytes);

    class OleRawFileInfo : public CRawFileInfo {
    public:
        OleRawFileInfo() { m_eRawFileType = kMof; }
        bool WhetherImplementGuess() override { return true; }
        // Names and labels from what was read; the size is left to the classic sizer.
        void WillBeRemove(unsigned char* sector, long long sectorNumber) override;
        int CalcRawSize(unsigned char* sector, int sectorSize, long long sectorNumber,
                        SearchContext& context) override;
        void SetFileName(const FileProperty& info);
        void SetFileTag(const std::string& value);

        FileProperty m_Info;
        CSummaryInFormation m_Summary;
        bool m_bSized = false;
        bool m_bSummary = false;
        bool m_bDifatDone = false;
        bool m_bNamed = false;
        unsigned m_nSectorBytes = 512; // compound sector size
        std::vector<std::uint32_t> m_Fat;
        std::set<std::uint32_t> m_Visited;       // DIFAT sectors met
        unsigned long long m_ullDifatAt = 0;     // byte of the pending DIFAT sector, 0 = none
        unsigned long long m_ullDirAt = 0;       // byte of the first directory sector, 0 once examined
        unsigned long long m_ullSize = 0;        // from the FAT, 0 until known
        unsigned long long m_ullCap = kSizeCap;

    private:
        // Examines the structures lying in [from, from + n) of the file. False: give up streaming.
        bool Examine(const CRawWindow& window, unsigned long long from, unsigned long long n);
        void LookForSummary(const CRawWindow& window, std::size_t sectorBytes);
        void Finish(unsigned long long deviceSectorBytes);
    };

    FileOLEAnalyser() { m_nType = kOle; }
    int AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) override;
    CRawFileInfo* CreateRawFileInfo() override { return new OleRawFileInfo(); }
    int GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) override;

    // count x 512 bytes from byte unit x S of the file starting at device
    // sector `start` (S the compound sector size), on any device sector size.
    int Simulate512ReadSector(void* out, long long start, long long unit, long long count, IStorageDevice* device);
    // The document kind from the directory entries (whole 128-byte entries only).
    static void CheckSectDirData(const unsigned char* dir, int bytes, CRawFileInfo* info);

    unsigned m_nSectorRatio = 1;
    unsigned m_nCompoundBytes = 512;
};
