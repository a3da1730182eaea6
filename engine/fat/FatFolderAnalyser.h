#pragma once
// Recognisers the deep search runs on every sector: is it a folder sector (and a
// folder's first one), is it the first sector of a FAT.
#include "engine/fat/FatBytes.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/include/EngineTypes.h"

#include <cstdint>

class CFATFolderAnalyser;

// Sees every counted entry of an analysed sector.
class CFatFolderAnalyzeCB {
public:
    virtual ~CFatFolderAnalyzeCB() = default;
    virtual void OnEntry(const CFATFolderAnalyser& result, const CTempFATDirEntry& entry, std::uint32_t reserved,
                         unsigned index, bool dotsSeen, void* context) = 0;
};

class CFATFolderAnalyser {
public:
    enum EntryType : std::uint32_t { NotFolder = 0, FolderSector = 1, FolderFirstSector = 2 };

    explicit CFATFolderAnalyser(unsigned sectorSize) : m_sectorSize(sectorSize) {}

    // Analyses one sector (the first sectorSize bytes of the span; a shorter span
    // is not a folder sector). True for a folder sector.
    bool AnalyseSector(fat::Bytes sector, CFatFolderAnalyzeCB* observer = nullptr, void* context = nullptr);

    std::uint32_t GetDirectoryEntryType() const { return m_type; }
    std::uint32_t GetCountedEntries() const { return m_count; }
    std::uint32_t GetCurDirFirstClusterNum() const { return m_dotCluster; }
    std::uint32_t GetParentFirstClusterNum() const { return m_dotDotCluster; }
    std::uint32_t GetMaxClusterNum() const { return m_maxCluster; }

    static bool IsBlankFATDirEntry(fat::Bytes entry);
    // ".       " / "..      " with a blank extension and the folder bit.
    static bool IsCurDirFileName(fat::Bytes entry);
    static bool IsParentDirFileName(fat::Bytes entry);

private:
    void Reject();

    std::uint32_t m_type = NotFolder;
    std::uint32_t m_count = 0;
    std::uint32_t m_dotCluster = 0;
    std::uint32_t m_dotDotCluster = 0;
    std::uint32_t m_maxCluster = 0;
    std::uint32_t m_sectorSize;
};

class CFATTableAnalyser {
public:
    // 2 <= cluster <= 0x0FFFFFEF.
    static bool IsUsedCluster(std::uint64_t cluster) { return cluster >= 2 && cluster <= 0x0FFFFFEF; }
    // The FAT32 header (kind FS_FAT32) or the FAT16 header (FS_FAT16) at the
    // start of the sector; a FAT12 header is not recognised.
    static bool IsValidFATTableFirstSector(fat::Bytes sector, unsigned sectorSize, enumFILE_SYSTEM_TYPE& kind);
};

namespace fat {
// The header tests of a FAT copy's first bytes.
bool IsFat12Header(Bytes b);
bool IsFat16Header(Bytes b);
bool IsFat32Header(Bytes b);
} // namespace fat
