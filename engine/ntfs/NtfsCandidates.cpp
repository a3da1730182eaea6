#include "engine/ntfs/NtfsCandidates.h"

#include "engine/ntfs/NtfsBoot.h"

#include <algorithm>

int CNTFSPartitionInfoBuilder::AdjustPartitionBuildFromFlag(const CSearchedNTFSPartitionInfo& c, std::uint32_t add,
                                                            std::uint32_t mask) {
    auto [it, end] = m_set.equal_range(CSearchedNTFSPartitionInfoLessThan::Key(c));
    const int found = it != end ? 1 : 0;
    while (it != end) {
        CSearchedNTFSPartitionInfo& e = **it;
        const std::uint32_t before = e.GetPartitionBuildFromFlags();
        std::uint32_t flags = before;
        if (flags & mask) flags &= ~mask;
        flags |= add;
        e.SetPartitionBuildFromFlag(flags);
        if (add == 0 && (before & ~mask) == 0)
            it = m_set.erase(it);
        else
            ++it;
    }
    return found;
}

bool CNTFSPartitionInfoBuilder::AddOrInsert(NtfsCandidate c) {
    if (!c || AdjustPartitionBuildFromFlag(*c, c->GetPartitionBuildFromFlags(), 0)) return false;
    m_set.insert(std::move(c));
    return true;
}

NtfsCandidate CNTFSPartitionInfoBuilder::BuildPartitionInfoFromDBR(const CNTFSDBR& boot, long long start,
                                                                   std::uint32_t flags) const {
    if (start < 0 || m_sectorSize == 0) return nullptr;
    // The boot sector counts in its own sectors, the device in its own.
    const unsigned long long bps = boot.GetBytesPerSector();
    const unsigned long long clusterBytes = bps * boot.GetSectorsperCluster();
    if (clusterBytes < m_sectorSize || clusterBytes % m_sectorSize) return nullptr;
    const auto spc = static_cast<unsigned>(clusterBytes / m_sectorSize);
    if (start >= m_total || boot.GetTotalSectors() < 0) return nullptr;
    const unsigned __int128 total = static_cast<unsigned __int128>(boot.GetTotalSectors()) * bps / m_sectorSize;
    const long long size =
        static_cast<long long>(std::min<unsigned __int128>(static_cast<unsigned long long>(m_total - start), total));
    if (size < 8) return nullptr;
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(m_sectorSize);
    c->SetPartitionBuildFromFlag(flags);
    c->m_sectorsPerCluster = spc;
    c->SetSerialNumber(boot.GetSerialNumber());
    c->m_clusterOrigin = start;
    c->m_clusterCount = size / spc;
    c->SetTotalSectors(static_cast<unsigned long long>(c->m_clusterCount) * spc);
    return c;
}

NtfsCandidate CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(long long sector, long long cluster,
                                                                                 unsigned spc,
                                                                                 std::uint32_t flags) const {
    long long offset = 0, start = 0;
    if (spc == 0 || cluster < 0 || __builtin_mul_overflow(cluster, static_cast<long long>(spc), &offset) ||
        __builtin_sub_overflow(sector, offset, &start))
        return nullptr;
    if (start < 0 || start > sector - 8 || start >= m_total) return nullptr;
    auto c = std::make_unique<CSearchedNTFSPartitionInfo>(m_sectorSize);
    c->m_clusterOrigin = start;
    c->m_sectorsPerCluster = spc;
    c->m_searcherField2 = 0;
    c->m_clusterCount = (m_total - start) / spc;
    c->SetTotalSectors(static_cast<unsigned long long>(c->m_clusterCount) * spc);
    c->SetPartitionBuildFromFlag(flags);
    return c;
}

void CNTFSPartitionInfoBuilder::BuildPartitionInfoAccordingtoFileRecord(long long sector, long long cluster,
                                                                        std::uint32_t flags,
                                                                        std::vector<NtfsCandidate>& out) const {
    for (unsigned spc : ntfs::kSupportedSectorsPerCluster)
        if (auto c = BuildPartitionInfoAccordingtoFileRecord(sector, cluster, spc, flags)) out.push_back(std::move(c));
}

long long CalcFileSystemReliabilityScore(const CSearchedNTFSPartitionInfo& c) {
    static constexpr std::pair<std::uint32_t, long long> kWeights[] = {
        {ntfs::kFromBootSector, 30}, {ntfs::kFromBackupBoot, 10},     {ntfs::kFromMftPair, 30},
        {ntfs::kFromMft, 10},        {ntfs::kFromMftMirr, 10},        {ntfs::kFromFirstRestart, 10},
        {ntfs::kFromSecondRestart, 10}};
    long long score = 0;
    for (const auto& [bit, weight] : kWeights)
        if (c.GetPartitionBuildFromFlags() & bit) score += weight;
    // Each term is 0 or 10: enough matching sectors, or not.
    const auto term = [](long long count, long long enough) { return std::min(count / enough * 10, 10LL); };
    if (c.m_upCaseMatches > 0) score += term(c.m_upCaseMatches, 256);
    if (c.m_logFileMatches > 0) score += term(c.m_logFileMatches, 10000);
    if (c.m_attrDefMatches > 0) score += term(c.m_attrDefMatches, 5);
    return score;
}
