#include "engine/ntfs/NtfsLogFileAnalyzer.h"

#include "engine/ntfs/NtfsLogRecord.h"

#include <cstring>

CLogFileAnalyzer::CLogFileAnalyzer(CNTFSPartitionInfoBuilder& builder, unsigned sectorsPerRecord)
    : m_builder(builder), m_spr(sectorsPerRecord ? sectorsPerRecord : 1), m_ss(builder.GetSectorSize()),
      m_perPage(m_ss >= kPageBytes ? 1 : static_cast<long long>(kPageBytes / (m_ss ? m_ss : 512))) {}

bool CLogFileAnalyzer::IsValidRSTRRecord(ntfs::Bytes w) {
    if (w.size() < kPageBytes || bytes::Le32(w, 0) != 0x52545352) return false;
    static constexpr std::uint8_t kNtfs[] = {'N', 0, 'T', 0, 'F', 0, 'S', 0};
    if (std::memcmp(w.data() + 144, kNtfs, sizeof kNtfs) != 0) return false;
    const std::uint16_t usn = bytes::Le16(w, 30);
    for (std::size_t end = 510; end < kPageBytes; end += 512)
        if (bytes::Le16(w, end) != usn) return false;
    return true;
}

NtfsCandidate CLogFileAnalyzer::Build(const CLogFileInfo& find, long long x, std::uint32_t flag) const {
    return m_builder.BuildPartitionInfoAccordingtoFileRecord(x, find.GetFirstClusterNO(), find.GetSectorsPerCluster(),
                                                             flag);
}

void CLogFileAnalyzer::Reading(const CLogFileInfo& find, long long x, std::uint32_t flag) {
    m_builder.AddOrInsert(Build(find, x, flag));
}

void CLogFileAnalyzer::AnalyzeRSTRRecord(long long r) {
    if (m_restarts.size() >= ntfs::kMaxFinds) return;
    const bool pair = !m_restarts.empty() && m_restarts.back() == r - m_perPage;
    for (const auto& f : m_finds) {
        if (f->GetFirstClusterNO() < 0 || f->GetSectorsPerCluster() == 0) continue;
        if (!pair) {
            Reading(*f, r, ntfs::kFromFirstRestart);
            if (r - m_perPage > 0) Reading(*f, r - m_perPage, ntfs::kFromSecondRestart);
            continue;
        }
        // The page is the second of the log: the first one's start gets its
        // second flag, and the first-page reading of this one is no reading,
        // nor the second-page reading of the first one.
        if (NtfsCandidate c = Build(*f, r - m_perPage, ntfs::kFromSecondRestart))
            m_builder.AdjustPartitionBuildFromFlag(*c, ntfs::kFromSecondRestart, 0);
        if (NtfsCandidate c = Build(*f, r, ntfs::kFromFirstRestart))
            m_builder.AdjustPartitionBuildFromFlag(*c, 0, ntfs::kFromFirstRestart);
        if (r - 2 * m_perPage > 0)
            if (NtfsCandidate c = Build(*f, r - 2 * m_perPage, ntfs::kFromSecondRestart))
                m_builder.AdjustPartitionBuildFromFlag(*c, 0, ntfs::kFromSecondRestart);
    }
    m_restarts.push_back(r);
}

void CLogFileAnalyzer::AnalyzeLogFileFileRecord(long long sector, const CNTFSFileRecord& record) {
    if (m_finds.size() >= ntfs::kMaxFinds) return;
    auto find = std::make_unique<CLogFileInfo>();
    if (!find->InitFromBuffer(record, sector, m_ss)) return;
    if (find->GetSectorsPerCluster() != 0 && find->GetFirstClusterNO() >= 0) {
        for (std::size_t i = 0; i < m_restarts.size(); ++i) {
            const long long r = m_restarts[i];
            if (i + 1 < m_restarts.size() && m_restarts[i + 1] == r + m_perPage) {
                Reading(*find, r, ntfs::kFromFirstRestart | ntfs::kFromSecondRestart);
                ++i;
                continue;
            }
            Reading(*find, r, ntfs::kFromFirstRestart);
            if (r - m_perPage > 0) Reading(*find, r - m_perPage, ntfs::kFromSecondRestart);
        }
    }
    m_finds.push_back(std::move(find));
}

void CLogFileAnalyzer::AnalyzeOneRCRDRecord(const std::uint8_t* page, long long sector) {
    if (!CRCRDRecord::IsValid(ntfs::Bytes(page, kPageBytes))) return;
    for (long long i = 0; i < m_perPage; ++i) m_pages.CombineSectorOfRange(sector + i);
}

void CLogFileAnalyzer::AnalyzeRCRDRecord(const std::uint8_t* block, long long first, long long count) {
    if (!block || count <= 0 || m_ss == 0) return;
    long long at = 0; // sectors of the block used
    if (m_cutFirst >= 0 && m_cutFirst + m_cutSectors == first && count >= m_perPage - m_cutSectors) {
        const long long missing = m_perPage - m_cutSectors;
        std::memcpy(m_cut.data() + m_cutSectors * m_ss, block, static_cast<std::size_t>(missing) * m_ss);
        const long long page = m_cutFirst;
        m_cutFirst = -1;
        m_cutSectors = 0;
        AnalyzeOneRCRDRecord(m_cut.data(), page);
        at = missing;
    }
    while (at < count) {
        const std::uint8_t* s = block + at * m_ss;
        if (!CRCRDRecord::IsValidRCRDRecordFirstSector(ntfs::Bytes(s, m_ss))) {
            ++at;
            continue;
        }
        if (count - at < m_perPage) {
            // Kept until the next block completes it.
            m_cutSectors = count - at;
            m_cutFirst = first + at;
            std::memcpy(m_cut.data(), s, static_cast<std::size_t>(m_cutSectors) * m_ss);
            return;
        }
        AnalyzeOneRCRDRecord(s, first + at);
        at += m_perPage;
    }
}

void CLogFileAnalyzer::CalcLogFileMatch(CSearchedNTFSPartitionInfo& c) const {
    const CLogFileInfo* find = nullptr;
    if (c.m_mftSector >= 0) {
        const long long want = c.m_mftSector + 2LL * m_spr;
        for (const auto& f : m_finds) {
            if (f->GetSectorAddress() == want) find = f.get();
            if (f->GetSectorAddress() >= want) break;
        }
    }
    if (!find) {
        const long long end = c.m_clusterOrigin + static_cast<long long>(c.GetTotalSectors());
        for (const auto& f : m_finds)
            if (f->GetSectorAddress() >= c.m_clusterOrigin && f->GetSectorAddress() < end) {
                find = f.get();
                break;
            }
    }
    c.m_logFileMatches =
        find ? m_pages.GetMatchCount(find->GetDataRunList(), c.m_clusterOrigin, c.m_sectorsPerCluster) : 0;
}
