#pragma once
// The candidate NTFS partitions of a deep scan: the set they are kept in
// (by cluster origin, then cluster size; equal candidates may coexist), the
// builder that adds evidence to them, and their reliability score.
#include "engine/ntfs/NtfsSearchRecords.h"

#include <cstdint>
#include <memory>
#include <set>
#include <vector>

class CNTFSDBR;

namespace ntfs {
// What the evidence says: the candidate was found from...
enum BuildFrom : std::uint32_t {
    kFromBootSector = 1,    // a boot sector at its first sector
    kFromBackupBoot = 2,    // its last sector (the backup boot sector)
    kFromMftPair = 4,       // an $MFT group and its $MFTMirr group
    kFromMft = 8,           // an $MFT record
    kFromMftMirr = 16,      // an $MFTMirr record
    kFromIndexRecord = 32,  // an INDX record and its folder's FILE record
    kFromFirstRestart = 64, // a $LogFile restart page as the first one
    kFromSecondRestart = 128,
};
// The lists the analyzers keep stop growing here.
inline constexpr std::size_t kMaxFinds = 500000;
// Cluster sizes (in sectors) tried when the evidence does not tell one.
inline constexpr unsigned kSupportedSectorsPerCluster[] = {1, 2, 4, 8, 16, 32, 64, 128};
} // namespace ntfs

using NtfsCandidate = std::unique_ptr<CSearchedNTFSPartitionInfo>;

struct NtfsCandidateKey {
    long long start;
    unsigned spc;
};

struct CSearchedNTFSPartitionInfoLessThan {
    using is_transparent = void;
    static NtfsCandidateKey Key(const NtfsCandidate& c) { return {c->m_clusterOrigin, c->m_sectorsPerCluster}; }
    static NtfsCandidateKey Key(const CSearchedNTFSPartitionInfo& c) {
        return {c.m_clusterOrigin, c.m_sectorsPerCluster};
    }
    static NtfsCandidateKey Key(const NtfsCandidateKey& k) { return k; }
    template <typename A, typename B>
    bool operator()(const A& a, const B& b) const {
        const NtfsCandidateKey x = Key(a), y = Key(b);
        return x.start < y.start || (x.start == y.start && x.spc < y.spc);
    }
};
using NtfsCandidateSet = std::multiset<NtfsCandidate, CSearchedNTFSPartitionInfoLessThan>;

class CNTFSPartitionInfoBuilder {
public:
    explicit CNTFSPartitionInfoBuilder(NtfsCandidateSet& set) : m_set(set) {}
    void SetDevice(long long totalSectors, unsigned sectorSize) {
        m_total = totalSectors;
        m_sectorSize = sectorSize;
    }
    long long GetDeviceTotalSectors() const { return m_total; }
    unsigned GetSectorSize() const { return m_sectorSize; }
    NtfsCandidateSet& Candidates() { return m_set; }

    // Every existing candidate equal to c: bits of mask are cleared, `add` is
    // ored in; one left with nothing (nothing added, no bit outside the mask
    // before) is removed. 1 when an equal candidate existed.
    int AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo& c, std::uint32_t add, std::uint32_t mask);
    // Adds c's flags to the equal candidates, or inserts c when there is none.
    // True when c was inserted.
    bool AddOrInsert(NtfsCandidate c);

    // A candidate whose first sector is `start`, sized by the boot sector and
    // the device: none before sector 0, under 8 sectors, or with a cluster
    // smaller than a device sector.
    NtfsCandidate BuildPartitionInfoFromDBR(const CNTFSDBR& boot, long long start, std::uint32_t flags) const;
    // A candidate placed by evidence at `sector` that lies in `cluster`: none
    // unless it starts at sector 0 or later and 8 sectors or more before the
    // evidence. Sized to the device's end.
    NtfsCandidate BuildPartitionInfoAccordingtoFileRecord(long long sector, long long cluster, unsigned spc,
                                                          std::uint32_t flags) const;
    // One candidate per supported cluster size.
    void BuildPartitionInfoAccordingtoFileRecord(long long sector, long long cluster, std::uint32_t flags,
                                                 std::vector<NtfsCandidate>& out) const;

private:
    NtfsCandidateSet& m_set;
    long long m_total = 0;
    unsigned m_sectorSize = 512;
};

// The flag weights plus 10 each for enough $UpCase, $LogFile and $AttrDef
// sectors found where the candidate's records put them.
long long CalcFileSystemReliabilityScore(const CSearchedNTFSPartitionInfo& c);
