#pragma once
// $LogFile evidence of the deep scan: restart pages met anywhere, with the
// $LogFile FILE records that say at which cluster the log begins, place
// candidate partitions; record pages are remembered so that a candidate's
// log can be counted inside its own $LogFile runs.
#include "engine/ntfs/NtfsMetaFileMatch.h"

#include <array>
#include <cstdint>
#include <memory>
#include <vector>

class CLogFileAnalyzer {
public:
    static constexpr std::size_t kPageBytes = 4096;

    CLogFileAnalyzer(CNTFSPartitionInfoBuilder& builder, unsigned sectorsPerRecord = 2);
    // A restart page: "RSTR", the first client named "NTFS", and the
    // sequence number at the end of every 512 bytes of its 4,096.
    static bool IsValidRSTRRecord(ntfs::Bytes window);
    void AnalyzeRSTRRecord(long long sector);
    void AnalyzeLogFileFileRecord(long long sector, const CNTFSFileRecord& record);
    // The record pages of one block (a page cut by the block's end is
    // completed from the next block when it follows at once).
    void AnalyzeRCRDRecord(const std::uint8_t* block, long long firstSector, long long sectorCount);
    void CalcLogFileMatch(CSearchedNTFSPartitionInfo& c) const;
    bool IsaMetaFileRecordNotNeedtoCount(const CNTFSFileRecord&) const {
        return m_finds.size() >= ntfs::kMaxFinds;
    }

    const std::vector<std::unique_ptr<CLogFileInfo>>& Finds() const { return m_finds; }
    const std::vector<long long>& Restarts() const { return m_restarts; }
    const CMetaFileAnalyzer& Pages() const { return m_pages; }

private:
    // The candidate a restart page at x implies for a find, its flag added.
    void Reading(const CLogFileInfo& find, long long x, std::uint32_t flag);
    NtfsCandidate Build(const CLogFileInfo& find, long long x, std::uint32_t flag) const;
    void AnalyzeOneRCRDRecord(const std::uint8_t* page, long long sector);

    CNTFSPartitionInfoBuilder& m_builder;
    unsigned m_spr;       // device sectors per FILE record
    unsigned m_ss;        // device sector size
    long long m_perPage;  // device sectors per 4,096-byte page
    std::vector<std::unique_ptr<CLogFileInfo>> m_finds;
    std::vector<long long> m_restarts;
    CMetaFileAnalyzer m_pages;
    // The head of a page cut by a block's end.
    std::array<std::uint8_t, kPageBytes> m_cut{};
    long long m_cutSectors = 0;
    long long m_cutFirst = -1;
};
