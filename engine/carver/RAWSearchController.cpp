#include "engine/carver/RAWSearchController.h"

#include "engine/carver/NotifyCenter.h"
#include "engine/carver/RawFileAnalyserList.h"
#include "engine/common/Bitmap.h"
#include "engine/common/FormatTable.h"
#include "engine/include/BlockView.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace {

bool Continue() { return CNotifyCenter::Instance().isContinue(); }

using Clock = std::chrono::steady_clock;

// Adds the time since `from` to `seconds`; answers now.
Clock::time_point Lap(Clock::time_point from, double& seconds) {
    const Clock::time_point now = Clock::now();
    seconds += std::chrono::duration<double>(now - from).count();
    return now;
}

// The analyser's test of a sector found through a key.
bool Accepts(IRawFileAnalyser* a, unsigned char* sector, CRawFileInfo& blank, unsigned ss, long long s,
             long long windowStart, long long windowEnd) {
    if (!a) return false;
    if (ISpecialRawFileAnalyser* special = a->GetSpecialRawFile())
        return special->AnalyseBufferEx(sector, blank, ss, s, windowStart, windowEnd) != 0;
    return a->AnalyseBuffer(sector, blank) == 1;
}

} // namespace

CRAWSearchController::CRAWSearchController() = default;

CRAWSearchController::~CRAWSearchController() {
    DropAll();
    // The stop relay must not keep a sink that may go with this scan.
    CNotifyCenter& center = CNotifyCenter::Instance();
    if (m_pProgress && center.GetProgress() == m_pProgress) center.Reset();
}

void CRAWSearchController::DropAll() {
    m_waiting.clear();
    m_starts.clear();
    m_llScanned = 0;
    std::fill(std::begin(m_ullKept), std::end(m_ullKept), 0ull);
    m_ullDropped = 0;
    m_active.clear();
    m_listPending.clear();
    m_listDeferred.clear();
}

void CRAWSearchController::SetIProgressSink(IProgress* progress) {
    m_pProgress = progress;
    CNotifyCenter::Instance().SetProgress(progress);
}

int CRAWSearchController::GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int count) {
    if (records && count >= 1) {
        const unsigned ss = m_pDevice ? m_pDevice->GetSectorSize() : 512;
        auto* record = new CSearchedPartitionInfo(ss ? ss : 512);
        record->m_sectorsPerCluster = 1;
        record->m_startSector = 0;
        record->m_clusterOrigin = 0;
        record->m_score = 1.0;
        if (m_pDevice) record->SetTotalSectors(m_pDevice->GetTotalSectors());
        records[0] = record;
    }
    return 1;
}

int CRAWSearchController::PreparetoSearch() {
    // A carve starts from nothing: held records (before the analysers that
    // made them go), fresh analysers, ids, counters and trees.
    DropAll();
    NoteCarveNotKept(0);
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    if (m_pTreeBuilder) registry->ReinitAnalyzeList();
    BuildLookup();
    ResetCarveGuards();
    m_mapFileManager.clear();
    m_state = CRawCarveState{};
    m_labels = std::make_unique<CLABELRAWTreeBuilder>(m_state);
    if (m_pProgress) CNotifyCenter::Instance().SetProgress(m_pProgress);

    const unsigned ss = m_pDevice ? m_pDevice->GetSectorSize() : 0;
    m_nSectorSize = ss ? ss : 512;
    m_state.sectorSize = m_nSectorSize;
    m_llTotalSectors = m_pDevice ? m_pDevice->GetTotalSectors() : 0;
    m_ullMaxKept = std::max(kMinKeptFiles, m_llTotalSectors * m_nSectorSize / kBytesPerKeptFile);
    // The ring also holds the block being analysed and the one before it;
    // without it nothing is carved.
    m_bCarving = m_nSectorsPerBlock > 0 &&
                 m_BufferDevice.InitBufferDevice(m_pDevice, 0, m_nSectorSize, m_nSectorsPerBlock, kRingBlocks, kMarginBytes);
    m_FileTypeManager.Initialize();
    if (m_pTreeBuilder) {
        m_pTreeBuilder->AddSearcherInfo(SEARCHER_RAW, 1);
        m_pTreeBuilder->AddSearcherInfo(SEARCHER_RAW_LABEL, CLABELRAWTreeBuilder::kRootId);
    }
    m_bPreviousHeld = false;
    m_llFilledAhead = -1;
    return 1;
}

CRAWFileManager* CRAWSearchController::GetFileManager(unsigned type) {
    if (type >= kFormatTableRows) return nullptr;
    const int category = m_FileTypeManager.GetFileTypeID(FormatExtension(type));
    auto& manager = m_mapFileManager[category];
    if (!manager) manager = std::make_unique<CRAWFileManager>(1, category, m_pTreeBuilder, m_state, *m_labels);
    return manager.get();
}

namespace {

// The kind a start is of, for ending files at the next start of their own
// kind: ISO boxes, RIFF, AIFF, AU and TIFF by family; otherwise the analyser's
// own type, or for analysers that serve several formats the format found.
// 0: a format the carver cannot tell apart.
unsigned Family(unsigned analyserType, unsigned rawType) {
    switch (analyserType) {
    case 2: case 42: case 44: case 45: case 46: case 138: return 44;
    case 4: case 10: case 13: case 59: case 67: return 59;
    case 9: case 64: case 80: return analyserType;
    case 0: case 0xFFFFFFFF: return rawType ? 0x1000 + rawType : 0;
    default: return analyserType;
    }
}

// Formats that never hold another carved file, whose ends their analysers
// find only by a zero tail or a limit: on old data one ends where the next
// file of any kind begins. Text (EPS, RTF, web page, SVG, GPX, property
// list) and some binary formats (FreeHand, key store, password safe,
// Sibelius, StuffIt X, APE, and mail folders whose messages sit 16 bytes
// into their blocks).
bool Leaf(unsigned type) {
    switch (type) {
    case 21: case 27: case 29: case 33: case 60: case 81: case 91: case 93: case 130: case 131: case 134: case 135: case 136:
        return true;
    default: return false;
    }
}

// Formats in which every start of their kind inside a file is one of its
// parts: a mail folder, whose messages each begin with a "From " line.
bool Gathers(unsigned type) { return type == 126; }

// Kinds whose analysers walk their files' own structure, which may hold
// starts of their kind on a sector border that are theirs (an archive's
// members or a stored archive, a stream's frames, packs or pages, a mail
// folder's messages, a compound file's embedded files, a photo's further
// pictures): such a start ends one only where the file found there claims
// to end beyond it. Every other kind's size is what its header claims, and
// the next start of its kind ends it. CAB, gzip, LZH, RAR, tar, ZIP,
// StuffIt, disk images and packages; JPEG; MP3, ADTS, MIDI, Ogg, FLV, ASF,
// MPEG programme and transport streams; mail folders; OLE.
bool Walked(unsigned family) {
    switch (family >= 0x1000 ? family - 0x1000 : family) {
    case 6: case 7: case 8: case 12: case 31: case 35: case 36: case 38: case 43: case 45: case 48: case 58: case 63:
    case 72: case 82: case 90: case 92: case 93: case 109: case 113: case 119: case 126: case 129:
        return true;
    default: return false;
    }
}

// Archives: a start of their kind inside one that ends where it ends is one
// of its members (a stored archive inside it ends before it). CAB, gzip,
// LZH, RAR, tar, ZIP, StuffIt, disk images and packages.
bool Archive(unsigned family) {
    switch (family >= 0x1000 ? family - 0x1000 : family) {
    case 12: case 31: case 36: case 58: case 63: case 72: case 92: case 93: case 113: case 119: return true;
    default: return false;
    }
}

} // namespace

bool CRAWSearchController::MemberOfActive(const Start& start, bytes::Bytes head, CRawFileInfo::Part* holder) const {
    *holder = {};
    for (const HeldList::iterator& it : m_active) {
        const CRawFileInfo& a = *it->record;
        if (a.m_llStartSector >= start.sector) continue;
        const Start* own = StartAt(a.m_llStartSector);
        if (!own || own->family != start.family) continue;
        const CRawFileInfo::Part part =
            a.PartAt(static_cast<unsigned long long>(start.sector - a.m_llStartSector) * m_nSectorSize, head);
        if (part.part) return true;
        if (part.holderEnd) {
            const unsigned long long end =
                static_cast<unsigned long long>(a.m_llStartSector) * m_nSectorSize + part.holderEnd;
            if (holder->holderEnd == 0 || end < holder->holderEnd) *holder = {false, end, part.atStart};
        }
    }
    return false;
}

const CRAWSearchController::Start* CRAWSearchController::StartAt(long long sector) const {
    const auto at = std::lower_bound(m_starts.begin(), m_starts.end(), sector,
                                     [](const Start& a, long long s) { return a.sector < s; });
    return at != m_starts.end() && at->sector == sector ? &*at : nullptr;
}

bool CRAWSearchController::Cuts(const CRawFileInfo& r, const Start* own, const Start& n) const {
    const unsigned long long ss = m_nSectorSize;
    const unsigned long long start = static_cast<unsigned long long>(r.m_llStartSector);
    if (n.sector <= r.m_llStartSector) return false;
    // One of the parts of a file of its kind (an archive's member, a tar in
    // a tar's member) never ends one, even one that runs to the device's end.
    if ((n.fate == Fate::Member || n.fate == Fate::Nested) && own && own->family && n.family == own->family)
        return false;
    const unsigned long long at = static_cast<unsigned long long>(n.sector - r.m_llStartSector) * ss;
    if (at >= r.m_ullFileSize) return false;
    const unsigned long long room = start < m_llTotalSectors ? (m_llTotalSectors - start) * ss : 0;
    // A mail folder that runs to the device's end found text up to there:
    // what starts inside it (its own messages, a web page in one of them)
    // does not end it.
    if ((r.m_ullFileSize >= room && !Gathers(r.m_eRawFileType)) || Leaf(r.m_eRawFileType)) return true;
    if (!own || !own->family || n.family != own->family) return false;
    if (!Walked(own->family)) return true;
    // What the file claimed, not what is left of it after an earlier cut.
    const unsigned long long claimed = own->end ? own->end : start * ss + r.m_ullFileSize;
    return (n.fate == Fate::Claimed || n.fate == Fate::Listed || n.fate == Fate::Refused) && n.end > claimed;
}

unsigned long long CRAWSearchController::Bound(const CRawFileInfo& r, const Start* next, bool* open) const {
    const unsigned long long ss = m_nSectorSize;
    const unsigned long long start = static_cast<unsigned long long>(r.m_llStartSector);
    const unsigned long long room = start < m_llTotalSectors ? (m_llTotalSectors - start) * ss : 0;
    const unsigned long long size = std::min(r.m_ullFileSize, room);
    const Start* own = StartAt(r.m_llStartSector);
    const Start* end = m_starts.data() + m_starts.size();
    for (const Start* n = next; n && n != end; ++n) {
        const unsigned long long at = static_cast<unsigned long long>(n->sector - r.m_llStartSector) * ss;
        if (at >= size) break;
        if (Cuts(r, own, *n)) return at;
        // One of its kind not sized yet: what follows it cannot settle the record.
        if (open && own && own->family && n->family == own->family &&
            (n->fate == Fate::Open || n->fate == Fate::Nested)) {
            *open = true;
            return size;
        }
    }
    return size;
}

CRAWSearchController::Within CRAWSearchController::Inside(const CRawFileInfo& r, bool sameEnd,
                                                           unsigned long long* held) const {
    const Start* own = StartAt(r.m_llStartSector);
    if (!own || !own->family || own == m_starts.data()) return Within::No;
    const unsigned long long ss = m_nSectorSize;
    const unsigned long long from = static_cast<unsigned long long>(r.m_llStartSector) * ss;
    const unsigned long long to = from + r.m_ullFileSize;
    // Files of one kind that are listed never overlap (the later one either
    // ends inside the earlier, or cuts it): the nearest listed one before it
    // tells. Those still unsettled before it may yet hold it.
    int looked = 0;
    for (const Start* n = own; n != m_starts.data() && looked < kLookBack;) {
        --n;
        if (n->family != own->family) continue;
        ++looked;
        switch (n->fate) {
        case Fate::Listed:
        case Fate::Member:
            // A member tells the end of the file that holds it.
            if (n->kept >= to && n->kept > from && (!sameEnd || n->end == own->end)) {
                if (held) *held = n->kept;
                return Within::Yes;
            }
            if (n->fate == Fate::Listed) return Within::No;
            break;
        case Fate::Open:
        case Fate::Nested: return Within::NotYet;
        case Fate::Claimed:
            if (n->end > from) return Within::NotYet;
            break;
        default: break;
        }
    }
    return Within::No;
}

void CRAWSearchController::SetFate(long long sector, Fate fate) {
    if (Start* own = StartOf(sector)) own->fate = fate;
}

bool CRAWSearchController::TrySettle(CRawFileInfo& r, bool force) {
    const Start* own = StartAt(r.m_llStartSector);
    const bool archive = own && Archive(own->family);
    const bool gathered = archive || Gathers(r.m_eRawFileType);
    const bool wait = !force && m_bCarving;
    // Files of its kind before it that are not settled may yet hold it.
    if (wait && gathered && Inside(r, false) == Within::NotYet) return false;
    const auto next = std::upper_bound(m_starts.begin(), m_starts.end(), r.m_llStartSector,
                                       [](long long s, const Start& a) { return s < a.sector; });
    bool open = false;
    r.m_ullFileSize = Bound(r, m_starts.data() + (next - m_starts.begin()), wait ? &open : nullptr);
    const unsigned long long ss = m_nSectorSize;
    const unsigned long long start = static_cast<unsigned long long>(r.m_llStartSector);
    const unsigned long long lastSector = start + (r.m_ullFileSize + ss - 1) / ss;
    const bool toEnd = start < m_llTotalSectors && r.m_ullFileSize >= (m_llTotalSectors - start) * ss;
    // Ahead of the scan and cuttable: it waits for the starts still to come;
    // and for what the files of its kind inside it, or around it, claim.
    if (wait) {
        if (lastSector > static_cast<unsigned long long>(m_llScanned) &&
            ((own && own->family) || Leaf(r.m_eRawFileType) || toEnd))
            return false;
        if (open) return false;
    }
    unsigned long long held = 0;
    const Within within = gathered ? Inside(r, archive, &held) : Within::No;
    if (within == Within::NotYet && wait) return false;
    if (within == Within::Yes) {
        // One of the members of a file of its kind listed whole.
        if (Start* member = StartOf(r.m_llStartSector)) {
            member->fate = Fate::Member;
            member->kept = held;
        }
        return true;
    }
    FileNow(r);
    return true;
}

bool CRAWSearchController::File(CRawFileInfo& record) {
    if (record.m_llStartSector < 0) return FileNow(record);
    if (!GetFileManager(record.m_eRawFileType)) {
        SetFate(record.m_llStartSector, Fate::Gone);
        return false;
    }
    if (record.m_ullHolderEnd) {
        // Inside a member of a file of its kind: that member's bytes when it
        // ends where the member ends, or starts with it and both run past
        // the device's end (a stored archive cut there); else a file of its
        // own after a member that claims more than it holds.
        const unsigned long long end =
            static_cast<unsigned long long>(record.m_llStartSector) * m_nSectorSize + record.m_ullFileSize;
        const unsigned long long holderEnd = std::exchange(record.m_ullHolderEnd, 0);
        const bool cut = std::exchange(record.m_bAtHolderStart, false) && end >= m_llTotalSectors * m_nSectorSize;
        if (end <= holderEnd && (holderEnd - end < kPartSlack || cut)) {
            SetFate(record.m_llStartSector, Fate::Member);
            return true;
        }
        SetFate(record.m_llStartSector, Fate::Open);
    }
    // What it claims, for the files of its kind around it.
    if (Start* own = StartOf(record.m_llStartSector); own && own->fate == Fate::Open) {
        own->end = static_cast<unsigned long long>(record.m_llStartSector) * m_nSectorSize + record.m_ullFileSize;
        own->fate = Fate::Claimed;
        SettleWaiting(*own);
    }
    if (!TrySettle(record, false)) {
        m_waiting.push_back(record);
        // Held records stay bounded: the oldest goes as it stands.
        if (m_waiting.size() > kMaxWaiting) {
            TrySettle(m_waiting.front(), true);
            m_waiting.erase(m_waiting.begin());
        }
    }
    return true;
}

void CRAWSearchController::SettleWaiting(const Start& n) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < m_waiting.size(); ++i) {
        CRawFileInfo& r = m_waiting[i];
        // Only a cut is looked at here; what a claim frees waits for the
        // block's end.
        const bool inside = n.sector > r.m_llStartSector &&
                            static_cast<unsigned long long>(n.sector - r.m_llStartSector) * m_nSectorSize < r.m_ullFileSize;
        if (!inside || !Cuts(r, StartAt(r.m_llStartSector), n) || !TrySettle(r, false)) {
            if (kept != i) m_waiting[kept] = std::move(r);
            ++kept;
        }
    }
    m_waiting.resize(kept);
}

void CRAWSearchController::SettleWaitingPassed(bool force) {
    // In the order of their starts: a file settles before those it may hold.
    const auto byStart = [](const CRawFileInfo& a, const CRawFileInfo& b) { return a.m_llStartSector < b.m_llStartSector; };
    if (!std::is_sorted(m_waiting.begin(), m_waiting.end(), byStart))
        std::stable_sort(m_waiting.begin(), m_waiting.end(), byStart);
    std::size_t kept = 0;
    const unsigned long long ss = m_nSectorSize;
    for (std::size_t i = 0; i < m_waiting.size(); ++i) {
        CRawFileInfo& r = m_waiting[i];
        const bool passed = static_cast<unsigned long long>(r.m_llStartSector) * ss + r.m_ullFileSize <=
                            static_cast<unsigned long long>(m_llScanned) * ss;
        if (!(force || passed) || !TrySettle(r, force)) {
            if (kept != i) m_waiting[kept] = std::move(r);
            ++kept;
        }
    }
    m_waiting.resize(kept);
}

void CRAWSearchController::PruneStarts() {
    // Only the starts from the oldest record still held on are looked at,
    // with the files of their kind before them that may hold them.
    long long low = m_llScanned;
    for (const HeldList* list : {&m_listPending, &m_listDeferred})
        for (const Held& held : *list) low = std::min(low, held.record->m_llStartSector);
    for (const CRawFileInfo& r : m_waiting) low = std::min(low, r.m_llStartSector);
    auto from = std::lower_bound(m_starts.begin(), m_starts.end(), low,
                                 [](const Start& a, long long s) { return a.sector < s; });
    for (int looked = 0; from != m_starts.begin() && looked < kLookBack; ++looked) --from;
    // Records held from long ago (sized at the end) never keep more than
    // this many: their cuts then come from the newer starts only.
    if (m_starts.end() - from > static_cast<std::ptrdiff_t>(kMaxStarts)) from = m_starts.end() - kMaxStarts / 2;
    m_starts.erase(m_starts.begin(), from);
}

bool CRAWSearchController::FileNow(CRawFileInfo& record) {
    CRAWFileManager* manager = GetFileManager(record.m_eRawFileType);
    Start* own = record.m_llStartSector >= 0 ? StartOf(record.m_llStartSector) : nullptr;
    if (own) own->fate = Fate::Gone;
    if (!manager) return false;
    // A carved file never reads past the device's end.
    if (record.m_llStartSector < 0 || static_cast<unsigned long long>(record.m_llStartSector) >= m_llTotalSectors)
        return true;
    const unsigned long long room =
        (m_llTotalSectors - static_cast<unsigned long long>(record.m_llStartSector)) * m_nSectorSize;
    record.m_ullFileSize = std::min(record.m_ullFileSize, room);
    if (record.m_ullFileSize == 0) return true;
    // Each size class has its own share, so a run of small files found
    // first never crowds out the larger ones found after it: a class below
    // its share always keeps its files; past it, a class keeps them while it
    // is not full and all classes together, with the shares the others have
    // not used yet, hold less than half as many again, which bounds the
    // trees' memory.
    const unsigned long long size = record.m_ullFileSize;
    const std::size_t cls = size < (4u << 10) ? 0 : size < (64u << 10) ? 1 : size < (1u << 20) ? 2 : 3;
    const unsigned long long share = m_ullMaxKept / 8;
    unsigned long long held = 0;
    for (std::size_t c = 0; c < std::size(m_ullKept); ++c)
        held += c == cls ? m_ullKept[c] : std::max(m_ullKept[c], share);
    unsigned long long& kept = m_ullKept[cls];
    if (kept >= share && (kept >= m_ullMaxKept || held >= m_ullMaxKept + m_ullMaxKept / 2)) {
        // Not kept: nor is its start in the sector map.
        ++m_ullDropped;
        if (own) own->fate = Fate::Refused;
        if (m_pFileSectorMap) m_pFileSectorMap->erase(record.m_llStartSector);
        return true;
    }
    ++kept;
    if (own) {
        own->fate = Fate::Listed;
        own->kept = static_cast<unsigned long long>(record.m_llStartSector) * m_nSectorSize + record.m_ullFileSize;
    }
    manager->AddRawFileInfo(&record);
    return true;
}

void CRAWSearchController::BuildLookup() {
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    std::vector<std::vector<Keyed>> byKey(0x10000);
    for (const auto& [key, a] : registry->GetAnalyserMap(0))
        if (a) byKey[key & 0xFFFF].push_back({key, true, a});
    for (const auto& [key, a] : registry->GetAnalyserMultimap(0))
        if (a) byKey[key].push_back({key, false, a});
    m_lookupStart.assign(0x10001, 0);
    m_lookup.clear();
    for (std::size_t k = 0; k < byKey.size(); ++k) {
        m_lookupStart[k] = static_cast<std::uint32_t>(m_lookup.size());
        m_lookup.insert(m_lookup.end(), byKey[k].begin(), byKey[k].end());
    }
    m_lookupStart[0x10000] = static_cast<std::uint32_t>(m_lookup.size());
    m_keyless.clear();
    for (IRawFileAnalyser* a : registry->GetAnalyserList(0))
        if (a) m_keyless.push_back(a);
}

IRawFileAnalyser* CRAWSearchController::FindAnalyser(unsigned char* sector, std::optional<CRawFileInfo>& blank,
                                                     const CRawWindow& window, long long s, long long windowStart,
                                                     long long windowEnd) {
    // Each analyser asked gets a blank record of its own; most sectors ask none.
    auto fresh = [&]() -> CRawFileInfo& {
        blank.emplace();
        blank->m_Window = window;
        return *blank;
    };
    const unsigned k4 = bytes::Le32(bytes::Bytes(sector, 4), 0);
    // A sector starting with four zero bytes is offered to the keyless
    // analysers only. Otherwise the analyser of the whole four-byte key is
    // asked first (keys are distinct: at most one), then those of the first
    // two bytes in their order, as the registry's map and multimap would.
    if (k4 != 0 && !m_lookupStart.empty()) {
        const Keyed* begin = m_lookup.data() + m_lookupStart[k4 & 0xFFFF];
        const Keyed* end = m_lookup.data() + m_lookupStart[(k4 & 0xFFFF) + 1];
        for (const Keyed* e = begin; e != end; ++e)
            if (e->whole && e->key == k4) {
                if (Accepts(e->analyser, sector, fresh(), m_nSectorSize, s, windowStart, windowEnd))
                    return e->analyser;
                break;
            }
        for (const Keyed* e = begin; e != end; ++e)
            if (!e->whole && Accepts(e->analyser, sector, fresh(), m_nSectorSize, s, windowStart, windowEnd))
                return e->analyser;
    }
    for (IRawFileAnalyser* a : m_keyless)
        if (a->CouldStart(sector, m_nSectorSize) && a->AnalyseBuffer(sector, fresh()) != 0) return a;
    return nullptr;
}

std::unique_ptr<CRawFileInfo> CRAWSearchController::CreateRawFileInfo(const CRawFileInfo& blank, long long s,
                                                                       IRawFileAnalyser* analyser) {
    std::unique_ptr<CRawFileInfo> record(analyser->CreateRawFileInfo());
    if (!record) return nullptr;
    record->m_ullFileSize = blank.m_ullFileSize;
    record->m_eRawFileType = blank.m_eRawFileType;
    record->m_llStartSector = s;
    record->m_pAnalyser = analyser;
    record->m_nAnalyserType = analyser->m_nType;
    // The first entry for a sector stays.
    if (m_pFileSectorMap) m_pFileSectorMap->emplace(s, blank.m_eRawFileType);
    return record;
}

CRawFileInfo* CRAWSearchController::AddRawFileInfoToList(std::unique_ptr<CRawFileInfo> record, unsigned char* sector,
                                                         long long s) {
    CRawFileInfo* r = record.get();
    IRawFileAnalyser* creator = r->m_pAnalyser;
    if (r->m_ullFileSize == 0 && !r->WhetherImplementGuess()) {
        m_listDeferred.push_back({std::move(record), creator});
        SizeDeferredOverCap();
        return r;
    }
    m_listPending.push_back({std::move(record), creator});
    if (r->m_ullFileSize == 0) {
        // The oldest streaming record makes room; it stays pending, to be
        // sized at the end.
        if (m_active.size() >= kMaxActive) {
            if (m_pCounters) ++m_pCounters->evictions;
            const HeldList::iterator oldest = m_active.front();
            oldest->record->WillBeRemove(sector, s);
            m_active.erase(m_active.begin());
            // One with nothing reached waits for its classic sizer among the
            // deferred, whose number is bounded.
            if (oldest->record->m_ullFileSize == 0 && oldest->record->m_pAnalyser) {
                m_listDeferred.splice(m_listDeferred.end(), m_listPending, oldest);
                SizeDeferredOverCap();
            }
        }
        m_active.push_back(std::prev(m_listPending.end()));
    }
    return r;
}

void CRAWSearchController::CalcRawFileSize(unsigned char* sector, CRawFileInfo* newInfo, long long s,
                                           CRawFileInfo::SearchContext& context) {
    for (std::size_t i = 0; i < m_active.size();) {
        const HeldList::iterator it = m_active[i];
        CRawFileInfo* r = it->record.get();
        context.m_pNewInfo = r == newInfo ? nullptr : newInfo;
        const bool newStart = context.m_bNewStart;
        context.m_bNewStart = newStart && r->m_llStartSector != s;
        const int done = r->CalcRawSize(sector, static_cast<int>(m_nSectorSize), s, context);
        context.m_bNewStart = newStart;
        if (done != 1) {
            ++i;
            continue;
        }
        if (r->m_ullFileSize > 0) {
            if (File(*r)) m_listPending.erase(it);
        } else if (r->m_pAnalyser) {
            r->WillBeRemove(sector, s);
            m_listDeferred.splice(m_listDeferred.end(), m_listPending, it);
            SizeDeferredOverCap();
        }
        m_active.erase(m_active.begin() + static_cast<std::ptrdiff_t>(i));
    }
}

void CRAWSearchController::SizeOrForget(CRawFileInfo& r, IStorageDevice* device) {
    if (r.m_pAnalyser && r.m_pAnalyser->GetRawFileSize(r, device) && r.m_ullFileSize > 0) {
        File(r);
        return;
    }
    SetFate(r.m_llStartSector, Fate::Gone);
    // A start that gives no file leaves the sector map once the map holds
    // more starts than files may be kept, so a flood of headers never grows
    // it without bound.
    if (m_pFileSectorMap && m_pFileSectorMap->size() > m_ullMaxKept) m_pFileSectorMap->erase(r.m_llStartSector);
}

void CRAWSearchController::SizeDeferredOverCap() {
    while (m_listDeferred.size() > kMaxDeferred) {
        SizeOrForget(*m_listDeferred.front().record, &m_BufferDevice);
        m_listDeferred.pop_front();
        if (m_pCounters) ++m_pCounters->sizedEarly;
    }
}

void CRAWSearchController::SizeDeferredFromRing() {
    const unsigned long long oldestLast = m_BufferDevice.GetDeviceStartSector() + m_nSectorsPerBlock - 1;
    while (!m_listDeferred.empty()) {
        if (!Continue()) return;
        CRawFileInfo& r = *m_listDeferred.front().record;
        if (r.m_llStartSector >= 0 && static_cast<unsigned long long>(r.m_llStartSector) > oldestLast) return;
        SizeOrForget(r, &m_BufferDevice);
        m_listDeferred.pop_front();
    }
}

int CRAWSearchController::AnalyzeBlock(long long first, long long sectorCount) {
    if (m_lookup.empty() && m_keyless.empty()) return 1;
    if (!m_bCarving || !m_pDevice || m_nSectorsPerBlock == 0 || first < 0 || sectorCount <= 0) return 1;
    // Never more than a block: a slot holds one.
    const long long count = std::min<long long>(sectorCount, m_nSectorsPerBlock);
    const std::size_t ss = m_nSectorSize;
    const std::size_t half = std::size_t{m_nSectorsPerBlock} * ss;
    // The previous block lies right before the slot, zeros right after it.
    const bool previous = m_bPreviousHeld && first != 0;
    unsigned char* current = m_BufferDevice.PrepareFreeSlot(previous);
    if (!current) return 1;
    const unsigned char* lent = ViewSectors(m_pDevice, first, count);
    const bool readable = lent || m_pDevice->ReadSector(current, first, count) != 0;
    if (lent) {
        // Filled ahead while the block before was analysed, all but its start.
        const std::size_t bytes = static_cast<std::size_t>(count) * ss;
        const bool ahead = m_llFilledAhead == first && m_llFilledAheadCount == count;
        std::memcpy(current, lent, ahead ? std::min(bytes, m_BufferDevice.HiddenBytes()) : bytes);
    }
    FillAhead(first + count);
    // A short last block, or one that could not be read, is zeros past its data.
    std::memset(current + (readable ? static_cast<std::size_t>(count) * ss : 0), 0,
                half - (readable ? static_cast<std::size_t>(count) * ss : 0));
    const unsigned char* bufferEnd = current + half + kMarginBytes;

    const bool skip = m_pBitmap && m_pBitmap->GetBitmapData();
    const unsigned unit = skip && m_pBitmap->GetUnit() ? m_pBitmap->GetUnit() : 1;
    const unsigned char* begin = previous ? current - half : current;
    const long long windowStart = previous ? first - m_nSectorsPerBlock : first;
    const long long windowEnd = first + sectorCount;
    for (long long i = 0; readable && i < count; ++i) {
        const long long s = first + i;
        unsigned char* p = current + static_cast<std::size_t>(i) * ss;
        const CRawWindow window(begin, bufferEnd, p,
                                (m_llTotalSectors > static_cast<unsigned long long>(s)
                                     ? m_llTotalSectors - static_cast<unsigned long long>(s)
                                     : 0) * ss);
        // Files already known are not searched again, but the records being
        // followed still see every sector.
        const bool used = skip && m_pBitmap->GetBit(s / unit);
        // The stop request takes the operation's lock: it is asked at a
        // block's first sector and every few sectors after.
        if (!used && i % kStopCheckSectors == 0 && !Continue()) break;
        const bool counting = m_pCounters != nullptr;
        Clock::time_point at = counting ? Clock::now() : Clock::time_point{};
        std::optional<CRawFileInfo> blank;
        IRawFileAnalyser* analyser = used ? nullptr : FindAnalyser(p, blank, window, s, windowStart, windowEnd);
        std::unique_ptr<CRawFileInfo> record = analyser ? CreateRawFileInfo(*blank, s, analyser) : nullptr;
        CRawFileInfo* created = nullptr;
        const bool started = record != nullptr;
        m_llScanned = s + 1;
        if (record) {
            Start start;
            start.sector = s;
            start.family = Family(record->m_nAnalyserType, record->m_eRawFileType);
            // A record of a file of its kind being followed starts here: one
            // of its members, not a file of its own. One inside a member's
            // data waits to be sized: it is one only if it ends where that
            // member ends (see File).
            CRawFileInfo::Part holder;
            if (start.family && MemberOfActive(start, window.From(0), &holder)) {
                start.fate = Fate::Member;
                if (m_pFileSectorMap && m_pFileSectorMap->size() > m_ullMaxKept) m_pFileSectorMap->erase(s);
            } else if (holder.holderEnd) {
                start.fate = Fate::Nested;
                record->m_ullHolderEnd = holder.holderEnd;
                record->m_bAtHolderStart = holder.atStart;
            }
            // A mail folder's messages tell nothing about what holds what:
            // not kept, so a folder of any size costs no memory per message.
            if (!(start.fate == Fate::Member && Gathers(record->m_eRawFileType))) m_starts.push_back(start);
            if (!m_waiting.empty()) SettleWaiting(start);
            if (start.fate == Fate::Member && !record->m_ullHolderEnd) record.reset();
        }
        if (record && record->m_ullFileSize > 0 && record->m_eRawFileType < kFormatTableRows) {
            File(*record);
        } else if (record) {
            created = AddRawFileInfoToList(std::move(record), p, s);
        }
        if (counting) {
            at = Lap(at, m_pCounters->lookupSeconds);
            ++m_pCounters->sectors;
            m_pCounters->activeSum += m_active.size();
            m_pCounters->activeMax = std::max<unsigned long long>(m_pCounters->activeMax, m_active.size());
        }
        if (m_active.empty()) continue;
        auto context = CRawFileInfo::SearchContext::For(p, ss, windowStart, windowEnd, &window);
        context.m_bNewStart = started;
        CalcRawFileSize(p, created, s, context);
        if (counting) Lap(at, m_pCounters->activeSeconds);
    }

    m_copier.Wait();
    m_llScanned = first + count;
    // Waiting records the scan has passed are filed.
    if (!m_waiting.empty()) SettleWaitingPassed(false);
    PruneStarts();
    m_bPreviousHeld = readable;
    m_BufferDevice.RestoreAfterFreeSlot();
    if (m_BufferDevice.IsFullBuffer()) SizeDeferredFromRing();
    m_BufferDevice.CommitFreeSlot(readable);
    return 1;
}

void CRAWSearchController::FillAhead(long long next) {
    m_llFilledAhead = -1;
    if (next < 0 || static_cast<unsigned long long>(next) >= m_llTotalSectors) return;
    const long long count =
        static_cast<long long>(std::min<unsigned long long>(m_nSectorsPerBlock, m_llTotalSectors - static_cast<unsigned long long>(next)));
    // Only a block the device holds in memory already, read whole.
    const unsigned char* from = ViewSectors(m_pDevice, next, count);
    unsigned char* to = m_BufferDevice.NextFreeSlot();
    const std::size_t start = m_BufferDevice.HiddenBytes();
    const std::size_t bytes = static_cast<std::size_t>(count) * m_nSectorSize;
    if (!from || !to || bytes <= start || !m_copier.Copy(to + start, from + start, bytes - start)) return;
    m_llFilledAhead = next;
    m_llFilledAheadCount = count;
}

void CRAWSearchController::EndSearch(int build) {
    // Without building nothing is filed; the held records go at once, so none
    // outlives the analysers of a carve that starts after this one.
    if (!build) return DropAll();
    const Clock::time_point started = m_pCounters ? Clock::now() : Clock::time_point{};
    // After a stop nothing more is read: what is sized is filed, the rest dropped.
    bool stopped = !Continue();
    for (HeldList::iterator it : m_active) it->record->WillBeRemove(nullptr, -1);
    m_active.clear();
    m_listPending.splice(m_listPending.end(), m_listDeferred);
    // Nothing more is scanned: what is sized now is cut against every start.
    m_llScanned = static_cast<long long>(m_llTotalSectors);
    SettleWaitingPassed(false);
    std::printf("--------------%s:%d:list size = %d--------\n", "EndSearch", 401,
                static_cast<int>(m_listPending.size()));
    for (Held& held : m_listPending) {
        CRawFileInfo& r = *held.record;
        stopped = stopped || !Continue();
        if (r.m_ullFileSize == 0) {
            if (!stopped) SizeOrForget(r, m_pDevice);
            continue;
        }
        // A streaming record handed to a classic sizer: the sizer's answer
        // wins, else the size the record reached.
        if (!stopped && r.m_pAnalyser && r.m_pAnalyser != held.creator) {
            const unsigned long long reached = r.m_ullFileSize;
            r.m_ullFileSize = 0;
            if (!r.m_pAnalyser->GetRawFileSize(r, m_pDevice) || r.m_ullFileSize == 0) r.m_ullFileSize = reached;
        }
        File(r);
    }
    m_listPending.clear();
    // Whatever still waits is settled with what is known.
    SettleWaitingPassed(true);
    if (m_pCounters) {
        Lap(started, m_pCounters->endSearchSeconds);
        m_pCounters->ringHits = m_BufferDevice.GetHits();
        m_pCounters->dropped = m_ullDropped;
    }
    NoteCarveNotKept(m_ullDropped);
    if (m_ullDropped) {
        std::printf("--------------%s: %llu files past the cap of %llu not kept--------\n", "EndSearch", m_ullDropped,
                    m_ullMaxKept);
    }
    std::printf("--------------%s:%d:--------\n", "EndSearch", 436);
    std::fflush(stdout);
    CNotifyCenter::Instance().Reset();
    // Nothing more is analysed until the next preparation.
    m_bCarving = false;
    if (m_pTreeBuilder) {
        m_pTreeBuilder->FlashBuild(SEARCHER_RAW);
        m_pTreeBuilder->FlashBuild(SEARCHER_RAW_LABEL);
    }
    m_pBitmap = nullptr;
}
