#pragma once
// Metafile evidence of the deep scan: device sectors holding the standard
// contents of $AttrDef and $UpCase (counted later inside the runs of the
// candidate's own $AttrDef or $UpCase record), and the first records of an
// MFT ($MFT, $MFTMirr, $Bitmap) turned into candidate partitions.
#include "engine/ntfs/NtfsCandidates.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

class IStorageDevice;

// Ranges of device sectors (first, count) in the order they were opened.
class CMetaFileAnalyzer {
public:
    // Grows the range that ends right before s, or opens (s, 1).
    void CombineSectorOfRange(long long s);
    // Sectors of [a, b] (inclusive) held by the ranges.
    long long GetSectorRangeCount(long long a, long long b) const;
    // Sectors of the runs' clusters (from `start`) held by the ranges.
    long long GetMatchCount(const CNTFSDataRunList& runs, long long start, unsigned spc) const;
    static bool CompareSectorBuffer(const std::uint8_t* a, const std::uint8_t* b);
    const std::vector<std::pair<long long, long long>>& Ranges() const { return m_ranges; }

private:
    std::vector<std::pair<long long, long long>> m_ranges;
    std::unordered_map<long long, std::size_t> m_byEnd; // first sector past a range -> its index
};

// Content sectors and FILE records of one metafile with a standard content.
template <typename Info>
class CStandardContentAnalyzer {
public:
    // recordOffset: where the metafile's record lies after record 0 of an
    // MFT, in device sectors.
    explicit CStandardContentAnalyzer(long long recordOffset) : m_recordOffset(recordOffset) {}
    void AnalyzeRecord(long long sector, const CNTFSFileRecord& record);
    // The candidate's record: the one at its MFT sector + the offset, else
    // the first inside it.
    const Info* FindFileInfo(const CSearchedNTFSPartitionInfo& c) const;
    // Content sectors inside the runs of the candidate's record (0 without one).
    long long CalcMatch(const CSearchedNTFSPartitionInfo& c) const;
    const std::vector<std::unique_ptr<Info>>& Finds() const { return m_finds; }
    const CMetaFileAnalyzer& Sectors() const { return m_sectors; }

protected:
    long long m_recordOffset;
    std::vector<std::unique_ptr<Info>> m_finds;
    CMetaFileAnalyzer m_sectors;
};

class CAttrDefFileAnalyzer : public CStandardContentAnalyzer<CAttrDefFileInfo> {
public:
    explicit CAttrDefFileAnalyzer(unsigned sectorsPerRecord = 2)
        : CStandardContentAnalyzer(4LL * sectorsPerRecord) {}
    // 1 when the 512 bytes are one of the five sectors of the standard content.
    int AnalyzeSectorBuffer(long long sector, const std::uint8_t* buffer);
    void AnalyzeAttrDefFileRecord(long long sector, const CNTFSFileRecord& r) { AnalyzeRecord(sector, r); }
    const CAttrDefFileInfo* FindAttrDefFile(const CSearchedNTFSPartitionInfo& c) const { return FindFileInfo(c); }
    void CalcAttrDefMatch(CSearchedNTFSPartitionInfo& c) const { c.m_attrDefMatches = CalcMatch(c); }
    // The 2,560 bytes the formatter writes: 15 definitions and an empty one.
    static const std::uint8_t* StandardContent();
};

class CUpCaseFileAnalyzer : public CStandardContentAnalyzer<CUpCaseFileInfo> {
public:
    explicit CUpCaseFileAnalyzer(unsigned sectorsPerRecord = 2)
        : CStandardContentAnalyzer(10LL * sectorsPerRecord) {}
    // 1 when the 512 bytes equal a page of either table.
    int AnalyzeSectorBuffer(long long sector, const std::uint8_t* buffer);
    void AnalyzeUpCaseFileRecord(long long sector, const CNTFSFileRecord& r) { AnalyzeRecord(sector, r); }
    const CUpCaseFileInfo* FindUpCaseFileInfo(const CSearchedNTFSPartitionInfo& c) const { return FindFileInfo(c); }
    void CalcUpcaseMatch(CSearchedNTFSPartitionInfo& c) const { c.m_upCaseMatches = CalcMatch(c); }
    // 65,536 UTF-16LE entries, entry c the upper case of c: the table of
    // Windows Vista and later, mkntfs and ntfs3 (973 entries not their own
    // value), and the one of Windows NT 4, 2000 and XP (636).
    static const std::uint8_t* StandardContent();
    static const std::uint8_t* WindowsXpContent();
};

// One $MFT find with the $MFTMirr find of the same record group.
struct CMFTFilesPair {
    CMFTInfo* mft = nullptr;      // owned by the $MFT list
    CMFTMirrInfo* mirr = nullptr; // owned by the $MFTMirr list
};

// The lists the group matcher fills; the deep searcher owns them.
struct NtfsMetaFileLists {
    MFTInfoList mft;
    std::vector<std::unique_ptr<CMFTMirrInfo>> mftMirr;
    std::vector<CMFTFilesPair> pairs;
    MFTAndLogList mftAndLog;
};

class CMetaFileRecordGroupinMFTAnalyzer {
public:
    // sectorsPerRecord: device sectors of one FILE record (2 for 512-byte
    // sectors, 1 for 4096-byte ones).
    CMetaFileRecordGroupinMFTAnalyzer(CNTFSPartitionInfoBuilder& builder, NtfsMetaFileLists& lists,
                                      unsigned sectorsPerRecord);
    // Every FILE-record position of the scan, valid or not. 1 when the record
    // was taken into the group.
    int AnalyzeNTFSMetaFileRecord(long long sector, const CNTFSFileRecord& record);
    // Closes the open group (at the end of the scan).
    void Finish();
    bool IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord& record) const;

private:
    void CloseGroup();
    void AnalyzeSingleMFT(const CMFTInfo& mft);
    void AnalyzeMFTFilesPair(const CMFTFilesPair& pair);
    void AdjustPartitionSizeandMFTSector(CSearchedNTFSPartitionInfo& c) const;
    void AdjustEqual(const CSearchedNTFSPartitionInfo& c);

    CNTFSPartitionInfoBuilder& m_builder;
    NtfsMetaFileLists& m_lists;
    unsigned m_spr;
    CMFTInfo* m_mft = nullptr;
    CMFTMirrInfo* m_mirr = nullptr;
    long long m_first = -1;
    long long m_bitmapClusters = -1;
};
