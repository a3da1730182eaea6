#include "engine/exfat/ExfatPartitionBuilder.h"

#include "engine/exfat/ExfatBoot.h"
#include "engine/exfat/ExfatFileNode.h"

#include <algorithm>
#include <deque>
#include <unordered_set>

namespace {
// Fragments paired with one another in a tree step: this many before, this many after.
constexpr std::size_t kPairBefore = 31, kPairAfter = 128;
constexpr std::size_t kWaitingLimit = 2176;
constexpr std::int64_t kFarBeyond = 0x2000000;
constexpr std::size_t kMaxTreeNodes = 1 << 20;

template <typename F>
void ForChain(CFileSet* f, F&& fn) {
    // Links come from checksummed joins, but a loop must still end.
    std::unordered_set<CFileSet*> seen;
    for (CFileSet* x = f; x && seen.insert(x).second; x = x->next) fn(x);
}
} // namespace

void CPartitionBuilder::PrepareBuild(unsigned sectorSize, std::uint64_t totalSectors) {
    Clear();
    m_sectorSize = sectorSize ? sectorSize : 512;
    m_totalSectors = totalSectors;
}

void CPartitionBuilder::Clear() {
    m_list.clear();
    m_candidates.clear();
    m_removed.clear();
    m_claimed.clear();
    m_bySector.clear();
    m_fragments.clear();
    m_nextFragment = 0;
    m_reach = 0;
    m_upcase.clear();
    m_fats.clear();
}

std::vector<const CExFatPartitionEx*> CPartitionBuilder::Candidates() const {
    return {m_list.begin(), m_list.end()};
}

CFileSet* CPartitionBuilder::FragmentAt(std::int64_t sector) const {
    auto it = m_bySector.find(sector);
    return it == m_bySector.end() ? nullptr : it->second;
}

bool CPartitionBuilder::OnDevice(std::int64_t h, std::int64_t s, std::uint32_t cluster) const {
    if (cluster < 2) return true;
    const std::int64_t sector = h + static_cast<std::int64_t>(cluster - 2) * s;
    return sector >= 0 && static_cast<std::uint64_t>(sector) < m_totalSectors;
}

CExFatPartitionEx* CPartitionBuilder::Find(std::int64_t h, std::int64_t s) {
    auto it = m_candidates.find({h, s});
    return it == m_candidates.end() ? nullptr : it->second.get();
}

CExFatPartitionEx* CPartitionBuilder::Make(std::int64_t h, std::int64_t s, std::uint32_t flags) {
    if (h < 0 || s <= 0 || static_cast<std::uint64_t>(h) >= m_totalSectors) return nullptr;
    if (CExFatPartitionEx* p = Find(h, s)) {
        p->flags |= flags;
        return p;
    }
    SpillPartition();
    auto p = std::make_unique<CExFatPartitionEx>();
    p->SetGeometry(m_sectorSize, static_cast<unsigned>(s), 0, 0xFFFFFFFFu, h);
    p->m_startSector = h;
    p->m_totalSectors = m_totalSectors - static_cast<std::uint64_t>(h);
    p->flags = flags;
    CExFatPartitionEx* raw = p.get();
    m_candidates.emplace(Key{h, s}, std::move(p));
    m_list.push_back(raw);
    return raw;
}

void CPartitionBuilder::Remove(CExFatPartitionEx* p, bool remember) {
    if (!p) return;
    const Key key = p->Key();
    m_list.erase(std::remove(m_list.begin(), m_list.end(), p), m_list.end());
    if (remember) m_removed.insert(key);
    m_candidates.erase(key); // frees p last, after the list no longer names it
}

void CPartitionBuilder::SortList() {
    std::stable_sort(m_list.begin(), m_list.end(), [](const CExFatPartitionEx* a, const CExFatPartitionEx* b) {
        if (a->flags != b->flags) return a->flags > b->flags;
        return a->matched.size() > b->matched.size();
    });
}

void CPartitionBuilder::SpillPartition() {
    if (m_list.size() <= kMaxCandidates) return;
    SortList();
    while (m_list.size() > kTrimTo) Remove(m_list.back(), false);
}

void CPartitionBuilder::AddMatched(CExFatPartitionEx& p, const std::vector<CFileSet*>& frags) {
    for (CFileSet* f : frags) {
        if (!f) continue;
        p.matched.insert(f);
        p.dataSectorMap[f->firstSector] = f->sectorCount;
    }
}

// ---- what the block walk finds ------------------------------------------------

void CPartitionBuilder::Build(std::int64_t b, const CExFatDBR& boot) {
    const std::int64_t spc = boot.GetSectorsperCluster();
    const std::int64_t H = b + boot.GetDataRegionStartSector();
    // The backup of a boot sector seen 12 sectors earlier: that one is
    // confirmed, and the guess that the earlier one was itself a backup goes.
    if (CExFatPartitionEx* p = Find(H - 12, spc); p && p->m_startSector == b - 12 && (p->flags & p->kBootMain)) {
        p->flags |= CExFatPartitionEx::kBootBackup;
        if (CExFatPartitionEx* q = Find(H - 24, spc); q && q->m_startSector == b - 24) Remove(q, true);
        SortList();
        return;
    }
    std::uint32_t limit = boot.GetTotalCluster();
    const std::uint64_t fatEntries = std::uint64_t{boot.GetSectorsPerFat()} * m_sectorSize / 4;
    if (fatEntries > limit) limit = static_cast<std::uint32_t>(std::min<std::uint64_t>(fatEntries, 0xFFFFFFF5u));
    auto make = [&](std::int64_t start, std::uint32_t flag) {
        CExFatPartitionEx* p = Make(start + boot.GetDataRegionStartSector(), spc, flag);
        if (!p) return;
        p->SetGeometry(m_sectorSize, static_cast<unsigned>(spc), limit, boot.GetRootDirStartCluster(), p->Heap());
        p->m_startSector = start;
        p->m_totalSectors = boot.GetTotalSectors();
        p->fatLength = boot.GetSectorsPerFat();
        p->fatOffset = boot.GetFatStartSector();
        p->numberOfFats = boot.GetNumberOfFat();
        p->clusterCount = boot.GetTotalCluster();
    };
    make(b, CExFatPartitionEx::kBootMain);
    if (b >= 12) make(b - 12, CExFatPartitionEx::kBootBackup);
    SortList();
}

void CPartitionBuilder::RecordFAT(std::int64_t f) {
    if (m_fats.size() < (1u << 16)) m_fats.push_back(f);
    for (CExFatPartitionEx* p : m_list) {
        if (!p->HasBoot()) continue;
        const std::int64_t first = p->m_startSector + static_cast<std::int64_t>(p->fatOffset);
        if (first == f) p->flags |= CExFatPartitionEx::kFat1Seen;
        else if (p->numberOfFats == 2 && first + p->fatLength == f) p->flags |= CExFatPartitionEx::kFat2Seen;
    }
}

void CPartitionBuilder::RecordUpCaseTable(std::int64_t sector) {
    if (m_upcase.size() < (1u << 16)) m_upcase.push_back(sector);
}

void CPartitionBuilder::PushFileSet(std::unique_ptr<CFileSet> fragment, std::int64_t last, std::int64_t next) {
    if (!fragment || fragment->firstSector < 0) return;
    CFileSet* f = fragment.get();
    m_fragments.push_back(std::move(fragment));
    m_bySector.emplace(f->firstSector, f);
    m_reach = std::max(m_reach, f->End());
    if (next >= 0) f->Link(FragmentAt(next));
    if (last >= 0)
        if (CFileSet* g = FragmentAt(last); g && g != f) g->Link(f);
}

void CPartitionBuilder::Build(std::int64_t sector) {
    while (m_nextFragment < m_fragments.size() &&
           (m_fragments.size() - m_nextFragment > kWaitingLimit || sector > m_reach + kFarBeyond))
        BuildFromTree();
}

// ---- hypotheses ----------------------------------------------------------------

int CPartitionBuilder::CheckTree(CFileSet* f, std::int64_t h, std::int64_t s, std::vector<CFileSet*>& matched,
                                 int minimum) {
    const std::size_t start = matched.size();
    std::unordered_set<std::uint32_t> seen;
    std::deque<std::pair<CFileSet*, int>> queue{{f, 1}};
    long long score = 0;
    auto fail = [&] {
        matched.resize(start);
        return 0;
    };
    while (!queue.empty()) {
        // Plain variables, not a structured binding: the lambda below uses
        // them, which clang (the fuzz build) does not allow for bindings.
        CFileSet* const folder = queue.front().first;
        const int level = queue.front().second;
        queue.pop_front();
        long long found = 0;
        bool bad = false;
        ForChain(folder, [&](CFileSet* x) {
            for (std::uint32_t c : x->subFolders) {
                if (bad) return;
                if (!seen.insert(c).second || !OnDevice(h, s, c)) {
                    bad = true;
                    return;
                }
                CFileSet* g = FragmentAt(h + static_cast<std::int64_t>(c - 2) * s);
                if (!g || g == f || std::find(matched.begin() + static_cast<std::ptrdiff_t>(start), matched.end(), g) !=
                                         matched.end())
                    continue;
                if ((g->flags & CFileSet::kMatched) || g->IsAbridged() || !OnDevice(h, s, g->highCluster) ||
                    !g->Allows(static_cast<std::uint64_t>(s))) {
                    bad = true;
                    return;
                }
                matched.push_back(g);
                ++found;
                if (!g->subFolders.empty() && matched.size() - start < kMaxTreeNodes) queue.emplace_back(g, level + 1);
            }
        });
        if (bad) return fail();
        score += found * level;
    }
    std::vector<CFileSet*> all(matched.begin() + static_cast<std::ptrdiff_t>(start), matched.end());
    all.push_back(f);
    if (score < minimum || ClustersCollide(all, h, s)) return fail();
    return static_cast<int>(std::min<long long>(score, 1 << 30));
}

bool CPartitionBuilder::ClustersCollide(const std::vector<CFileSet*>& frags, std::int64_t h, std::int64_t s) const {
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans; // first, last cluster
    const std::uint64_t clusterBytes = static_cast<std::uint64_t>(s) * m_sectorSize;
    for (CFileSet* f : frags) {
        if (f->firstSector < h) return true;
        const auto first = static_cast<std::uint64_t>((f->firstSector - h) / s + 2);
        const auto last = static_cast<std::uint64_t>((f->End() - 1 - h) / s + 2);
        spans.emplace_back(first, last);
        for (const _tagFileBaseInfo& r : f->inUse) {
            if (r.firstCluster < 2 || (r.attributes & exfat::kAttrFolder) || r.dataLength <= 0) continue;
            const std::uint64_t n = r.contiguous ? (static_cast<std::uint64_t>(r.dataLength) + clusterBytes - 1) / clusterBytes : 1;
            spans.emplace_back(r.firstCluster, r.firstCluster + n - 1);
        }
    }
    std::sort(spans.begin(), spans.end());
    for (std::size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first <= spans[i - 1].second) return true;
    return false;
}

bool CPartitionBuilder::BuildPartionByRoot(CFileSet* f, std::int64_t h, std::int64_t s, std::uint32_t r,
                                           std::vector<Key>& made, CExFatPartitionEx*& confirmed) {
    const Key key{h, s};
    if (m_removed.count(key) || std::find(made.begin(), made.end(), key) != made.end()) return true;
    if (CExFatPartitionEx* p = Find(h, s)) {
        if (p->Root() != r) return true;
        p->flags |= CExFatPartitionEx::kFromRoot;
        for (const Key& k : made) Remove(Find(k.first, k.second), false);
        made.clear();
        confirmed = p;
        return false;
    }
    CExFatPartitionEx* p = Make(h, s, CExFatPartitionEx::kFromRoot);
    if (!p) return true;
    std::uint64_t total = static_cast<std::uint64_t>(s) * f->totalClusters;
    if (total == 0 || total >= m_totalSectors - static_cast<std::uint64_t>(h)) total = m_totalSectors - static_cast<std::uint64_t>(h);
    p->SetGeometry(m_sectorSize, static_cast<unsigned>(s), f->totalClusters, r, h);
    p->m_totalSectors = total;
    made.push_back(key);
    return true;
}

bool CPartitionBuilder::BuildFromUpcaseTable(CFileSet* f, std::vector<Key>& made, CExFatPartitionEx*& confirmed) {
    const std::uint64_t u = f->upcaseCluster;
    const std::int64_t length = static_cast<std::int64_t>((f->upcaseLength + m_sectorSize - 1) / m_sectorSize);
    for (std::int64_t U : m_upcase) {
        const std::int64_t d = f->firstSector - U;
        if (d < length || d <= 0) continue;
        const std::int64_t maxPow = d & -d;
        for (std::int64_t s = static_cast<std::int64_t>(f->lowBound);
             s >= 1 && s <= std::min<std::int64_t>(static_cast<std::int64_t>(f->highBound), maxPow); s *= 2) {
            const std::int64_t h = U - static_cast<std::int64_t>(u - 2) * s;
            if (h < 0 || h > f->firstSector) continue;
            const std::uint64_t r = static_cast<std::uint64_t>((f->firstSector - h) / s + 2);
            if (r >= f->lowCluster) continue;
            if (!BuildPartionByRoot(f, h, s, static_cast<std::uint32_t>(r), made, confirmed)) return true;
        }
    }
    return false;
}

void CPartitionBuilder::BuildFromRoot(CFileSet* f, std::vector<Key>& made, CExFatPartitionEx*& confirmed) {
    for (std::uint64_t r = f->lowestRootCluster; r < f->lowCluster && made.empty() && !confirmed &&
                                                r < std::uint64_t{f->lowestRootCluster} + 4096;
         ++r) {
        for (std::int64_t s = static_cast<std::int64_t>(f->lowBound); s >= 1 && s <= static_cast<std::int64_t>(f->highBound);
             s *= 2) {
            const std::int64_t h = f->firstSector - static_cast<std::int64_t>(r - 2) * s;
            if (h < 0) continue;
            if (!BuildPartionByRoot(f, h, s, static_cast<std::uint32_t>(r), made, confirmed)) return;
        }
    }
}

void CPartitionBuilder::UpdatePartitionList(CFileSet* f, const std::vector<Key>& made) {
    for (const Key& k : made) {
        CExFatPartitionEx* p = Find(k.first, k.second);
        if (!p) continue; // trimmed meanwhile
        std::vector<CFileSet*> tree{f};
        CheckTree(f, p->Heap(), p->Spc(), tree, 1);
        AddMatched(*p, tree);
    }
    SortList();
}

void CPartitionBuilder::BuildFromTree(CFileSet* a, CFileSet* b, int mode) {
    struct Hyp {
        std::int64_t h, s;
        std::vector<CFileSet*> matched;
    };
    std::vector<Hyp> kept;
    int best = 0;
    for (std::int64_t s = static_cast<std::int64_t>(a->lowBound); s >= 1 && s <= static_cast<std::int64_t>(a->highBound);
         s *= 2) {
        if (!b->Allows(static_cast<std::uint64_t>(s)) || (a->firstSector - b->firstSector) % s != 0) continue;
        std::vector<std::uint32_t> clusters;
        ForChain(a, [&](CFileSet* x) { clusters.insert(clusters.end(), x->subFolders.begin(), x->subFolders.end()); });
        for (std::uint32_t c : clusters) {
            if (c > b->highCluster && b->highCluster != 0) continue;
            const std::int64_t h = b->firstSector - static_cast<std::int64_t>(c - 2) * s;
            if (h < 0 || a->firstSector < h + 3 * s || m_removed.count({h, s})) continue;
            if (static_cast<std::uint64_t>((a->firstSector - h) / s + 2) > a->highCluster) continue;
            std::vector<CFileSet*> matched{a};
            const int score = CheckTree(a, h, s, matched, mode);
            if (score < 5 || score < best) continue;
            if (score > best) kept.clear();
            best = score;
            kept.push_back({h, s, std::move(matched)});
        }
    }
    for (const Hyp& k : kept) {
        CExFatPartitionEx* p = Make(k.h, k.s, CExFatPartitionEx::kFromTree);
        if (p) AddMatched(*p, k.matched);
    }
    if (!kept.empty()) SortList();
}

bool CPartitionBuilder::IsBelongExistedPartition(CFileSet* f) {
    int looked = 0;
    for (CExFatPartitionEx* p : std::vector<CExFatPartitionEx*>(m_list)) {
        if (!p->Contains(*f) || f->firstSector < p->Heap() + 2 * p->Spc()) continue;
        if (++looked > 16) break;
        if (!f->Allows(static_cast<std::uint64_t>(p->Spc())) || !p->OnBoundary(*f)) continue;
        if (p->matched.count(f)) return true;
        if (f->subFolders.empty()) continue;
        std::vector<CFileSet*> tree{f};
        const int mode = p->flags <= CExFatPartitionEx::kFromTree ? 7 : 1;
        if (CheckTree(f, p->Heap(), p->Spc(), tree, mode) > 0) {
            AddMatched(*p, tree);
            return true;
        }
    }
    return false;
}

void CPartitionBuilder::BuildFromAllocBackWard(CFileSet* f) {
    if (f->lowCluster < 3 || f->lowCluster >= exfat::kClusterMarks) return;
    std::vector<Key> keys;
    int sizes = 0;
    for (std::int64_t s = static_cast<std::int64_t>(f->lowBound);
         s >= 1 && s <= static_cast<std::int64_t>(f->highBound) && sizes < 16; s *= 2, ++sizes) {
        const std::int64_t h = f->firstSector - static_cast<std::int64_t>(f->lowCluster - 3) * s;
        if (h < 0 || !OnDevice(h, s, f->highCluster) || m_removed.count({h, s})) continue;
        if (CExFatPartitionEx* p = Find(h, s)) {
            p->flags |= CExFatPartitionEx::kFromAllocation;
            AddMatched(*p, {f});
            return;
        }
        keys.push_back({h, s});
    }
    for (const Key& k : keys)
        if (CExFatPartitionEx* p = Make(k.first, k.second, CExFatPartitionEx::kFromAllocation)) AddMatched(*p, {f});
}

void CPartitionBuilder::BuildFromTree() {
    if (m_nextFragment >= m_fragments.size()) return;
    const std::size_t i = m_nextFragment++;
    CFileSet* f = m_fragments[i].get();
    if (f->IsRoot()) {
        std::vector<Key> made;
        CExFatPartitionEx* confirmed = nullptr;
        if (!m_upcase.empty() && f->upcaseLength >= 1 && f->upcaseCluster >= 2)
            BuildFromUpcaseTable(f, made, confirmed);
        if (!confirmed && made.empty()) BuildFromRoot(f, made, confirmed);
        if (confirmed) {
            std::vector<CFileSet*> tree{f};
            CheckTree(f, confirmed->Heap(), confirmed->Spc(), tree, 1);
            AddMatched(*confirmed, tree);
            SortList();
        } else {
            UpdatePartitionList(f, made);
        }
        return;
    }
    if (IsBelongExistedPartition(f) || f->subFolders.empty()) return;
    const std::size_t from = i > kPairBefore ? i - kPairBefore : 0;
    const std::size_t to = std::min(m_fragments.size(), i + kPairAfter + 1);
    for (std::size_t j = from; j < to; ++j) {
        CFileSet* g = m_fragments[j].get();
        if (g == f || g->IsRoot() || g->subFolders.empty() || g->IsAbridged()) continue;
        BuildFromTree(f, g, 7);
    }
}

// ---- the end of the scan --------------------------------------------------------

void CPartitionBuilder::WinnowPartition(std::vector<CExFatPartitionEx*>& kept) {
    SortList();
    for (CExFatPartitionEx* p : std::vector<CExFatPartitionEx*>(m_list)) {
        if (std::find(kept.begin(), kept.end(), p) != kept.end()) continue;
        bool drop = p->matched.size() > m_fragments.size();
        for (CFileSet* f : p->matched)
            if (m_claimed.count(f)) drop = true;
        if (drop) {
            Remove(p, false);
            continue;
        }
        p->matched.clear();
        p->dataSectorMap.clear();
        p->onBoundary.clear();
        p->offBoundary.clear();
        p->rootFragment = nullptr;
        const std::int64_t s = p->Spc();
        for (const auto& [sector, f] : m_bySector) {
            if (!p->Contains(*f) || !f->Allows(static_cast<std::uint64_t>(s))) continue;
            if (!p->OnBoundary(*f)) {
                p->offBoundary.push_back(sector);
                continue;
            }
            p->onBoundary.push_back(sector);
            if (f->IsRoot() && !p->rootFragment) {
                const std::uint32_t r = p->ClusterOf(sector);
                if (p->Root() == 0xFFFFFFFFu || p->Root() == r) {
                    p->rootFragment = f;
                    p->SetRoot(r);
                    p->bitmapCluster = f->bitmapCluster;
                    p->bitmapLength = f->bitmapLength;
                    if (p->ClusterLimit() == 0 && f->totalClusters)
                        p->SetGeometry(m_sectorSize, static_cast<unsigned>(s), f->totalClusters, r, p->Heap());
                }
            }
            if (f->IsAbridged() || m_claimed.count(f) || p->matched.count(f)) continue;
            std::vector<CFileSet*> tree{f};
            if (CheckTree(f, p->Heap(), s, tree, 1) > 0 ||
                (p->ClusterOf(sector) + 1 == f->lowCluster && !ClustersCollide({f}, p->Heap(), s))) {
                tree.erase(std::remove_if(tree.begin(), tree.end(), [&](CFileSet* x) { return m_claimed.count(x) > 0; }),
                           tree.end());
                AddMatched(*p, tree);
            }
        }
        if (p->onBoundary.empty() || p->matched.empty()) {
            Remove(p, false);
            continue;
        }
        for (CFileSet* f : p->matched) {
            f->flags |= CFileSet::kMatched;
            m_claimed.insert(f);
        }
        // Every fragment on the kept partition's clusters is its own (its
        // file tree reads them all), so later guesses cannot be built on them.
        for (std::int64_t sector : p->onBoundary) m_claimed.insert(FragmentAt(sector));
        kept.push_back(p);
    }
}

void CPartitionBuilder::SimpleBuild() {
    for (std::size_t i = 0; i < m_fragments.size(); ++i) {
        CFileSet* f = m_fragments[i].get();
        if (m_claimed.count(f) || f->IsAbridged()) continue;
        BuildFromAllocBackWard(f);
        if (f->subFolders.empty()) continue;
        const std::size_t from = i > 8 ? i - 8 : 0, to = std::min(m_fragments.size(), i + 8);
        for (std::size_t j = from; j < to; ++j) {
            CFileSet* g = m_fragments[j].get();
            if (g != f && !g->IsAbridged() && !m_claimed.count(g)) BuildFromTree(f, g, 3);
        }
    }
}

bool CPartitionBuilder::IsCover(const CExFatPartitionEx& a, const CExFatPartitionEx& b) const {
    if (b.dataSectorMap.size() > a.dataSectorMap.size()) return false;
    for (const auto& [sector, count] : b.dataSectorMap) {
        auto it = a.dataSectorMap.find(sector);
        if (it == a.dataSectorMap.end() || count > it->second) return false;
    }
    return true;
}

void CPartitionBuilder::FindFat(CExFatPartitionEx& p) const {
    if (p.flags & CExFatPartitionEx::kFat1Seen) {
        p.fatStart = p.m_startSector + static_cast<std::int64_t>(p.fatOffset);
        return;
    }
    if (p.flags & CExFatPartitionEx::kFat2Seen) {
        p.fatStart = p.m_startSector + static_cast<std::int64_t>(p.fatOffset) + p.fatLength;
        return;
    }
    // Without a boot sector: the nearest FAT start before the heap that has
    // room for an entry per cluster. The caller checks it against the root.
    const std::uint64_t clusters = p.ClusterLimit() ? p.ClusterLimit() : p.m_totalSectors / static_cast<std::uint64_t>(p.Spc());
    const std::int64_t need = static_cast<std::int64_t>(((clusters + 2) * 4 + m_sectorSize - 1) / m_sectorSize);
    std::int64_t best = -1;
    for (std::int64_t f : m_fats)
        if (f < p.Heap() && f + need <= p.Heap() && f > best) best = f;
    if (best < 0) return;
    p.fatStart = best;
    if (p.fatLength == 0) p.fatLength = static_cast<std::uint32_t>(std::min<std::int64_t>(need, p.Heap() - best));
    if (p.clusterCount == 0) p.clusterCount = static_cast<std::uint32_t>(std::min<std::uint64_t>(clusters, 0xFFFFFFF5u));
}

void CPartitionBuilder::CalcPartitionParam(CExFatPartitionEx& p) const {
    p.SetGeometry(m_sectorSize, p.SectorsPerCluster(), p.ClusterLimit(), p.Root(), p.Heap());
    std::sort(p.onBoundary.begin(), p.onBoundary.end());
    // A fragment that starts inside a cluster is the rest of a folder cluster
    // whose first sectors were overwritten: its sets still belong to the folder
    // that cluster is part of, so its first sector is read like a cluster's.
    // Without a boot sector the partition's extent is only known up to its
    // last folder cluster.
    const std::int64_t end = p.HasBoot() ? p.EndSector()
                             : p.onBoundary.empty() ? p.Heap()
                                                    : p.onBoundary.back();
    for (std::int64_t sector : p.offBoundary) {
        // A fragment another kept partition reads as its own stays there.
        if (sector >= end || m_claimed.count(FragmentAt(sector))) continue;
        p.onBoundary.push_back(sector);
    }
    std::sort(p.onBoundary.begin(), p.onBoundary.end());
    p.onBoundary.erase(std::unique(p.onBoundary.begin(), p.onBoundary.end()), p.onBoundary.end());
}

void CPartitionBuilder::FinishBuid(std::vector<std::unique_ptr<CExFatPartitionEx>>& out) {
    out.clear();
    while (m_nextFragment < m_fragments.size()) BuildFromTree();
    std::vector<CExFatPartitionEx*> kept;
    WinnowPartition(kept);
    SimpleBuild();
    WinnowPartition(kept);

    std::stable_sort(kept.begin(), kept.end(), [](const CExFatPartitionEx* a, const CExFatPartitionEx* b) {
        if (a->flags != b->flags) return a->flags > b->flags;
        return a->matched.size() > b->matched.size();
    });
    while (!kept.empty()) {
        CExFatPartitionEx* p = kept.front();
        kept.erase(kept.begin());
        for (CExFatPartitionEx* q : std::vector<CExFatPartitionEx*>(kept)) {
            if (IsCover(*p, *q)) {
                kept.erase(std::find(kept.begin(), kept.end(), q));
                Remove(q, false);
            }
        }
        CalcPartitionParam(*p);
        FindFat(*p);
        auto it = m_candidates.find(p->Key());
        m_list.erase(std::remove(m_list.begin(), m_list.end(), p), m_list.end());
        out.push_back(std::move(it->second));
        m_candidates.erase(it);
    }
}

// ---- the file tree ------------------------------------------------------------

void CPartitionBuilder::BuildFileTree(CExFatPartitionEx& p, std::vector<CExFatFileNode*>& nodes, bool lastUse) {
    const std::int64_t s = p.Spc();
    const bool rootKnown = p.Root() != 0xFFFFFFFFu && p.IsHeapCluster(p.Root());
    const std::int64_t rootSector = rootKnown ? p.ConvertClusterNumToSector(p.Root()) : -2;
    // Where each folder's entries lie: a folder cluster's first sector -> the folder's id.
    std::map<std::int64_t, std::int64_t> places;
    auto place = [&](std::uint32_t first, std::uint64_t length, bool contiguous, std::int64_t id) {
        std::unordered_set<std::uint32_t> seen;
        const std::uint64_t clusterBytes = p.BytesPerCluster() ? p.BytesPerCluster() : 512;
        std::uint64_t left = length;
        for (std::uint32_t c = first; p.IsHeapCluster(c) && left > 0 && seen.insert(c).second;
             c = p.GetNextCluster(c, contiguous)) {
            places.emplace(p.ConvertClusterNumToSector(c), id);
            left = left > clusterBytes ? left - clusterBytes : 0;
        }
    };
    if (rootKnown)
        place(p.Root(), std::uint64_t{std::max<std::uint32_t>(p.ClusterLimit(), 1)} * p.BytesPerCluster(), false, -1);
    // First every folder's places, so that a folder lying before its parent's
    // entries on the device still finds its parent.
    for (std::int64_t sector : p.onBoundary) {
        ForChain(FragmentAt(sector), [&](CFileSet* x) {
            for (const auto* list : {&x->inUse, &x->deleted})
                for (const _tagFileBaseInfo& r : *list)
                    if ((r.attributes & exfat::kAttrFolder) && r.dataLength > 0 && r.dataLength <= 0x0FFFFFFF)
                        place(r.firstCluster, static_cast<std::uint64_t>(r.dataLength), r.contiguous != 0,
                              p.ConvertClusterNumToSector(r.firstCluster));
        });
    }
    auto parentOf = [&](CFileSet* f) -> std::int64_t {
        if (f->firstSector == rootSector) return -1;
        auto it = places.upper_bound(f->firstSector);
        if (it != places.begin()) {
            --it;
            if (f->firstSector < it->first + s) return it->second;
        }
        return f->firstSector; // a lost folder
    };
    std::unordered_set<CFileSet*> built;
    auto emit = [&](CFileSet* f, std::int64_t parent) {
        ForChain(f, [&](CFileSet* x) {
            if (!built.insert(x).second) return;
            for (const auto* list : {&x->inUse, &x->deleted})
                for (const _tagFileBaseInfo& r : *list) {
                    CExFatFileNode* node = p.BuildFile(r);
                    node->SetID(p.ConvertClusterNumToSector(r.firstCluster));
                    node->SetParentID(parent);
                    nodes.push_back(node);
                }
            if (lastUse) {
                std::vector<_tagFileBaseInfo>().swap(x->inUse);
                std::vector<_tagFileBaseInfo>().swap(x->deleted);
            }
        });
    };
    std::vector<CFileSet*> aside;
    for (std::int64_t sector : p.onBoundary) {
        CFileSet* f = FragmentAt(sector);
        if (!f) continue;
        if (f->prev) {
            aside.push_back(f);
            continue;
        }
        emit(f, parentOf(f));
    }
    for (CFileSet* f : aside)
        if (!built.count(f)) emit(f, parentOf(f));
}
