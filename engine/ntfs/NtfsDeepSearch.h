#pragma once
// The NTFS deep searcher: from whatever NTFS structures lie anywhere on the
// device (boot sectors, FILE records, INDX records, $LogFile pages, $AttrDef
// and $UpCase contents) it infers candidate partitions, scores them, drops
// the weak ones and has a tree built for each one kept.
#include "engine/include/SearchInterfaces.h"
#include "engine/ntfs/NtfsLogFileAnalyzer.h"
#include "engine/ntfs/NtfsMetaFileMatch.h"

#include <array>
#include <cstdint>
#include <memory>
#include <set>
#include <vector>

// An INDX record found on the device.
struct CIndexRecordInfo {
    long long sector = -1;
    long long vcn = 0;
    std::uint64_t lsn = 0;
    long long owner = -1; // the MFT record number of the folder it belongs to
};

class CNTFSSearchController : public ICompleteFileSystemSearchController {
public:
    CNTFSSearchController();
    ~CNTFSSearchController() override;
    void SetDirecotryTreeBuilder(IDirecotryTreeBuilder* builder) override { m_builder = builder; }
    int GetSearchedPartitionInfo(CSearchedPartitionInfo** array, int n) override;
    void SetDevice(IStorageDevice* device) override;
    void SetBlockSize(int sectors) override {
        if (sectors > 0) m_sectorsPerBlock = sectors;
    }
    int PreparetoSearch() override;
    void EndSearch(int build) override;
    // Refuses (0) a call without a device, a block size or room for the block.
    int AnalyzeBlock(long long firstSector, long long sectorCount) override;

    // Tests.
    const NtfsCandidateSet& Candidates() const { return m_candidates; }
    const NtfsMetaFileLists& MetaFiles() const { return m_lists; }
    const FileRecordPositionList& Positions() const { return m_positions; }
    const CLogFileAnalyzer* LogFiles() const { return m_log.get(); }
    const CAttrDefFileAnalyzer* AttrDefs() const { return m_attrDef.get(); }

private:
    void AnalyzeNTFSDBRSector(long long s, const std::uint8_t* sector);
    void AnalyzeIndexRecord(long long s, const std::uint8_t* window, std::size_t size);
    void AnalyzeOneIndexRecord(long long s, ntfs::Bytes record);
    void AnalyzeNTFSFileRecordSector(long long s, const std::uint8_t* window, std::size_t size);
    void AnalyzeOneFileRecord(long long s, ntfs::Bytes record);
    void AnalyzeFolderFileRecordHavingIndexAllocation(long long s, ntfs::Bytes record);
    void AnalyzeNormalFileRecord(long long s, const CNTFSFileRecord& record);
    void IndexConfirms(long long sector, long long vcn, const CFolderIndexAllocationInfo& folder);
    // Candidates of one start and cluster size become one.
    void MergeEqualCandidates();
    // Groups read as the $MFTMirr copy of a volume whose boot sector came
    // after them join that volume.
    void PlaceMirrorGroupsMetBeforeTheirBootSector();
    // Candidates that are another reading of a kept volume (the same volume
    // found again at a wrong offset or cluster size) are dropped.
    void DropShadowCandidates();
    // Positions and sort keys of the kept candidates.
    void NumberCandidates();
    void SetSearchedNTFSPartitionBelongCtrl();

    IDirecotryTreeBuilder* m_builder = nullptr;
    IStorageDevice* m_device = nullptr;
    int m_sectorsPerBlock = 0;
    unsigned m_ss = 512;
    unsigned m_spr = 2;
    long long m_total = 0;
    std::vector<std::uint8_t> m_block;

    NtfsCandidateSet m_candidates;
    CNTFSPartitionInfoBuilder m_partitionBuilder{m_candidates};
    std::multimap<long long, CIndexRecordInfo> m_indexRecords;                      // by owning folder
    std::multimap<long long, std::unique_ptr<CFolderIndexAllocationInfo>> m_folders; // by folder number
    NtfsMetaFileLists m_lists;
    FileRecordPositionList m_positions;
    std::unique_ptr<CMetaFileRecordGroupinMFTAnalyzer> m_group;
    std::unique_ptr<CAttrDefFileAnalyzer> m_attrDef;
    std::unique_ptr<CUpCaseFileAnalyzer> m_upCase;
    std::unique_ptr<CLogFileAnalyzer> m_log;
    // Records cut by a block's end, joined with the next block's head.
    std::vector<std::uint8_t> m_pendingFile;
    long long m_pendingFileSector = -1;
    std::vector<std::uint8_t> m_pendingIndex;
    long long m_pendingIndexSector = -1;
    long long m_pendingIndexSectors = 0;
    std::vector<std::uint8_t> m_pendingRestart;
    long long m_pendingRestartSector = -1;
    // The kept partitions, in order, once the search has ended.
    std::vector<NtfsCandidate> m_kept;
};

namespace ntfs {
ICompleteFileSystemSearchController* CreateNTFSSearcher();
}
