#include "engine/fat/FatBuildChildren.h"

#include "engine/common/FormatTable.h"
#include "engine/fat/FatBuildDataRun.h"
#include "engine/fat/FatDirEntry.h"
#include "engine/fat/FatFileNode.h"
#include "engine/fat/FatFileProperties.h"
#include "engine/fat/FatFolderAnalyser.h"
#include "engine/fat/FatTable.h"
#include "engine/fat/IniFile.h"
#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/FileUtils.h"
#include "engine/utility/SectorReads.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <strings.h>

using namespace fat;

namespace {
constexpr std::uint64_t kHighWindow = 0x10000;       // one value of the high word
constexpr std::uint64_t kLowMask = 0xFFFF;
constexpr std::uint64_t kDeepPreRead = 0x310000;     // a hint this high steers deleted folders too
constexpr unsigned kFileTries = 10, kFileWideTries = 35, kFileClaimTries = 40, kFolderTries = 50;
constexpr int kClaimPasses = 10;

std::uint64_t High(std::uint64_t c) { return c & ~kLowMask; }

// The switch of the revision; a missing file, section or key turns it on.
bool ReadReviseSwitch() {
    const char* work = GetAppWorkPath();
    CIniFile ini;
    std::string value;
    if (!work || ini.Init(std::string(work) + "/UIConfig.ini") != 0) return true;
    if (ini.ReadItem("UserExperience", "bRevise", value) != 0) return true;
    return value != "0";
}
} // namespace

CFATBuildChildren::CFATBuildChildren(IDirecotryTreeBuilder* treeBuilder, IProgress* progress,
                                     CSearchedPartitionInfo* partition, IStorageDevice* device,
                                     FatVisitedClusters& visited, FatFolderMap& folders, IFATTable* fat,
                                     const FatBuildGeometry& geometry)
    : m_builder(treeBuilder), m_progress(progress), m_partition(partition), m_device(device), m_visited(visited),
      m_folders(folders), m_fat(fat), m_geo(geometry) {
    if (m_geo.sectorSize < 512) m_geo.sectorSize = 512;
    if (m_geo.sectorsPerCluster == 0) m_geo.sectorsPerCluster = 1;
    if (m_geo.kind == FS_FAT32) m_revise = ReadReviseSwitch();
}

void FatLiveChainWatch::Mark(IDataRunList& runs) {
    if (clusters.empty()) return;
    // A copy walks the runs: the node's own list keeps its position.
    Owned<IDataRunList> copy(runs.Clone());
    if (!copy) return;
    held.resize(clusters.size(), 0);
    for (DataRun* r = copy->GetFirst(); r; r = copy->GetNext()) {
        if (r->start < 0 || r->length < 1) continue;
        const std::uint64_t lo = static_cast<std::uint64_t>(r->start) + 2;
        const std::uint64_t hi = lo + static_cast<std::uint64_t>(r->length); // exclusive
        for (auto it = std::lower_bound(clusters.begin(), clusters.end(), lo);
             it != clusters.end() && *it < hi; ++it)
            held[static_cast<std::size_t>(it - clusters.begin())] = 1;
    }
}

bool FatLiveChainWatch::Held(std::uint32_t cluster) const {
    const auto it = std::lower_bound(clusters.begin(), clusters.end(), cluster);
    if (it == clusters.end() || *it != cluster) return false;
    const auto i = static_cast<std::size_t>(it - clusters.begin());
    return i < held.size() && held[i];
}

std::uint64_t CFATBuildChildren::ConvertClusterNumToSector(std::uint64_t cluster) const {
    if (cluster < 2) return 0;
    return (cluster - 2) * m_geo.sectorsPerCluster + m_geo.firstDataSector;
}

IDataRunList* CFATBuildChildren::BuildDataRunList(std::uint64_t firstCluster, std::uint64_t size, bool deleted) {
    CFATBuildDataRun runs(m_fat, m_geo.sectorSize, m_geo.sectorsPerCluster, m_geo.clusterCount);
    return runs.BuildDataRunList(firstCluster, size, deleted);
}

int CFATBuildChildren::BuildRoot(FatFolderQueue& queue, int show, int doRoot) {
    if (!doRoot) return 0;
    if (m_geo.kind == FS_FAT32) {
        // A root cluster outside the partition (0, 1, an end or bad mark) lists
        // nothing: the root is lost, not empty.
        if (!IsLimitCluster(m_geo.rootCluster)) return 0;
        return BuildChildren(nullptr, m_geo.rootCluster, queue, 1, show);
    }
    if (!m_device || m_geo.rootSectors == 0) return 0;
    std::vector<std::uint8_t> root(std::size_t{m_geo.rootSectors} * m_geo.sectorSize);
    std::vector<bool> bad;
    if (salvor::ReadAroundBadSectors(m_device, root.data(), static_cast<long long>(m_geo.rootStart),
                                     m_geo.rootSectors, &bad) == 0)
        return 0;
    bool highKept = false;
    return ParseAround(root.data(), 0, m_geo.rootSectors, bad, nullptr, queue, 0, highKept) == kStopFolder ? 0 : 1;
}

std::uint32_t CFATBuildChildren::ParseAround(std::uint8_t* buffer, std::size_t carry, std::size_t sectors,
                                             const std::vector<bool>& bad, IFileNode* parent, FatFolderQueue& queue,
                                             int stopOnInvalid, bool& highKept) {
    const std::size_t ss = m_geo.sectorSize;
    const auto length = static_cast<std::uint32_t>(carry + sectors * ss);
    if (bad.empty()) return ParseEntries(buffer, length, parent, queue, stopOnInvalid, highKept);
    std::uint32_t r = 0;
    for (std::size_t s = 0; s < sectors;) {
        if (bad[s]) {
            r = length; // nothing is carried past an unreadable sector
            ++s;
            continue;
        }
        std::size_t e = s;
        while (e < sectors && !bad[e]) ++e;
        // Bytes carried from the previous read belong only to the stretch that follows them.
        const std::size_t from = s == 0 ? 0 : carry + s * ss;
        const auto to = static_cast<std::uint32_t>(carry + e * ss);
        const std::uint32_t got =
            ParseEntries(buffer + from, to - static_cast<std::uint32_t>(from), parent, queue, stopOnInvalid, highKept);
        if (got == kStopFolder) return kStopFolder;
        r = static_cast<std::uint32_t>(from) + got;
        s = e;
    }
    return r;
}

int CFATBuildChildren::BuildChildren(IFileNode* parent, std::uint32_t firstCluster, FatFolderQueue& queue,
                                     int isRoot, int /*show*/) {
    if (!m_device || !m_fat) return 0;
    const unsigned ss = m_geo.sectorSize, spc = m_geo.sectorsPerCluster;
    std::vector<std::uint8_t> buffer(std::size_t{kFolderReadSectors} * ss + kMaxCarryBytes + 1);
    std::size_t carry = 0;
    bool firstRun = true;
    bool highKept = false;
    std::uint32_t c = firstCluster;
    while (c != 0 && c < kEndOfChain && IsLimitCluster(c)) {
        // A run of contiguous clusters, read at once.
        std::uint32_t n = 1, last = c, next = m_fat->GetNextCluster(c);
        while (next == last + 1 && n * spc < kFolderReadSectors && IsLimitCluster(next)) {
            ++n;
            last = next;
            next = m_fat->GetNextCluster(last);
        }
        // A chain loop, or a folder already listed.
        if (m_visited.count(c)) return 0;
        const std::size_t bytes = std::size_t{n} * spc * ss;
        // A failed read leaves zeros, never the previous run's entries again;
        // a failed sector costs only itself.
        std::vector<bool> bad;
        salvor::ReadAroundBadSectors(m_device, buffer.data() + carry,
                                     static_cast<long long>(ConvertClusterNumToSector(c)),
                                     static_cast<long long>(n) * spc, &bad);
        if (firstRun) {
            // A sub-folder opens with "." then "..", a root with neither (an
            // unreadable first sector cannot tell).
            const bool d1 = CFATFolderAnalyser::IsCurDirFileName(Bytes(buffer.data(), 32));
            const bool d2 = CFATFolderAnalyser::IsParentDirFileName(Bytes(buffer.data() + 32, 32));
            if (bad.empty() || !bad[0])
                if (static_cast<int>(d1) == isRoot || static_cast<int>(d2) == isRoot) return 0;
            firstRun = false;
        }
        // Claimed only once accepted: a rejected start must not hide the
        // clusters from the folder that really owns them.
        for (std::uint32_t i = 0; i < n; ++i) m_visited.insert(c + i);
        const auto length = static_cast<std::uint32_t>(carry + bytes);
        const std::uint32_t r = ParseAround(buffer.data(), carry, std::size_t{n} * spc, bad, parent, queue, 0, highKept);
        if (r == kStopFolder) break;
        const std::size_t rest = length - std::min(r, length);
        if (rest == 0 || rest > kMaxCarryBytes) {
            carry = 0;
        } else {
            std::memmove(buffer.data(), buffer.data() + r, rest);
            carry = rest;
        }
        c = next;
    }
    return 1;
}

std::uint32_t CFATBuildChildren::BuildChildrenFromBuffer(std::uint8_t* buffer, std::uint32_t length,
                                                         IFileNode* parent, FatFolderQueue& queue, int stopOnInvalid,
                                                         int /*show*/) {
    bool highKept = false;
    return ParseEntries(buffer, length, parent, queue, stopOnInvalid, highKept);
}

std::uint32_t CFATBuildChildren::ParseEntries(std::uint8_t* buffer, std::uint32_t length, IFileNode* parent,
                                              FatFolderQueue& queue, int stopOnInvalid, bool& highKept) {
    if (!buffer) return kStopFolder;
    std::uint64_t P = 0;
    bool parentDeleted = false;
    Carry carry;
    if (parent) {
        auto* node = dynamic_cast<CFATFileNode*>(parent);
        if (!node || !node->GetFileProperties()) return kStopFolder;
        const CFATFileProperties& pp = *node->GetFileProperties();
        P = static_cast<std::uint64_t>(pp.GetFirstClusterNum());
        const std::uint8_t state = static_cast<std::uint8_t>(node->GetFileProperties()->GetState());
        parentDeleted = state & CFATFileProperties::kStateDeleted;
        carry.R = carry.H = P;
        if ((state & CFATFileProperties::kStateDeleted) && (state & CFATFileProperties::kStateLostFolder)) {
            carry.R = carry.H = 0;
            carry.lostParent = true;
        }
    }
    const std::uint16_t partitionIndex = m_partition ? m_partition->m_partitionIndex : 0;
    long long s = -1; // start of a pending long-name run
    unsigned dots = 0;
    for (std::uint32_t i = 0; i + dirent::kSize <= length; i += dirent::kSize) {
        std::uint8_t* raw = buffer + i;
        CTempFATDirEntry entry(raw);
        if (!entry.IsValidListedEntry()) {
            s = -1;
            if (stopOnInvalid) return length;
            continue;
        }
        if (entry.IsLongFileNameEntry()) {
            if (s < 0) s = i;
            continue;
        }
        if (entry.IsVolumeLabel()) {
            s = -1;
            continue;
        }
        if (raw[0] == '.') {
            s = -1;
            if (++dots <= 2) continue;
            return kStopFolder;
        }
        const std::uint32_t fc = entry.GetFirstClusterNO();
        if (fc >= 2 && !IsLimitCluster(fc)) {
            s = -1;
            if (stopOnInvalid) return length;
            continue;
        }
        if (fc == P && P != 0) {
            s = -1;
            continue;
        }
        const std::size_t from = s >= 0 ? static_cast<std::size_t>(s) : i;
        s = -1;
        std::unique_ptr<CFATFileProperties> props(
            CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(Bytes(buffer + from, i + 32 - from)));
        if (!props) continue;
        if (parentDeleted) props->SetState(props->GetState() | CFATFileProperties::kStateDeleted);
        props->SetParentFirstClusterNum(static_cast<long long>(P));
        props->SetMetaDataSector(static_cast<long long>(ConvertClusterNumToSector(P)));
        if (m_geo.kind == FS_FAT32) {
            ReverseDelFileFirstNum(entry, carry, *props, highKept);
            // A deleted entry that still names a cluster above 0x10000 shows
            // that this folder's deleter keeps high words.
            if (entry.IsErased() && fc >= kHighWindow) highKept = true;
        }
        if (entry.GetFirstClusterNO() == P) {
            entry.SetFirstClusterNO(fc);
            props->SetFirstClusterNum(fc);
        }

        const bool isFolder = (props->GetAttribute() & dirent::kAttrDirectory) != 0;
        const std::uint32_t first = entry.GetFirstClusterNO();
        IDataRunList* runs = nullptr;
        if (!isFolder && props->GetFileSize() < 1) {
            props->SetFirstClusterNum(
                static_cast<long long>(GetEmptyFileVirtualClusterNumObject()->GetVirtualClusterNum()));
        } else {
            props->SetFirstClusterNum(first);
            const bool deleted = (props->GetState() & CFATFileProperties::kStateDeleted) != 0;
            if (!isFolder)
                runs = BuildDataRunList(first, static_cast<std::uint64_t>(props->GetFileSize()), deleted);
            // Only a live file's runs follow its chain; a deleted one's are a guess.
            if (runs && !deleted && m_liveChains) m_liveChains->Mark(*runs);
        }
        auto* node = new CFATFileNode();
        node->SetFileProperties(props.release());
        node->SetDataRunList(runs);
        node->SetBelongedPartition(partitionIndex);
        if (isFolder && m_deferred && node->IsDeleted()) {
            m_deferred->push_back(node);
            continue;
        }
        if (!m_builder || !m_builder->AddNode(node, SEARCHER_FAT)) {
            node->Release();
            continue;
        }
        ++m_added;
        if (isFolder) {
            m_folders.emplace(first, node);
            queue.push_back(node);
        }
    }
    return s >= 0 ? static_cast<std::uint32_t>(s) : length;
}

// ---- FAT32 first-cluster revision ------------------------------------------
// Windows clears the high word of a deleted entry's first cluster. The lost
// high part is sought from where the folder's previous entries ended (R) and
// from the folder itself (H), checked against the content at each candidate.

void CFATBuildChildren::ReverseDelFileFirstNum(CTempFATDirEntry& entry, Carry& carry, CFATFileProperties& props,
                                               bool highKept) {
    const std::uint64_t c = entry.GetFirstClusterNO();
    const std::uint64_t clusterBytes = std::uint64_t{m_geo.sectorSize} * m_geo.sectorsPerCluster;
    const std::uint64_t size = entry.GetSize();
    const std::uint64_t k = size / clusterBytes + (size % clusterBytes != 0);
    const bool isFolder = entry.IsDirectory();
    const std::string name = props.GetFileName();
    bool found = false;

    if (!isFolder && entry.IsErased() && c < kHighWindow) {
        const auto dot = name.rfind('.');
        if (name.size() > 1 && dot != std::string::npos) m_extension = name.substr(dot + 1);
        std::uint64_t result = c;
        if (carry.H == 0 || High(carry.R) != High(carry.H) || carry.lostParent) {
            result = TryGetRealFirstNum(High(carry.R) | c, found, kFileTries, false);
            if (!found) result = TryGetRealFirstNum(c, found, kFileWideTries, false);
            if (!found) {
                result = c;
                if (carry.R > kHighWindow && IsLimitCluster(result + High(carry.R)))
                    result += High(carry.R);
                else if (carry.H > kHighWindow && !carry.lostParent && IsLimitCluster(result + High(carry.H)))
                    result += High(carry.H);
                result = KeepFreeLowWord(c, result, highKept);
            }
        } else {
            // The file lies where its folder lies: same high part.
            const std::uint64_t withHigh = c + High(carry.H);
            if (IsLimitCluster(withHigh)) result = withHigh;
            if (withHigh < kHighWindow) {
                bool f = false;
                std::uint64_t cand = TryGetRealFirstNum(withHigh, f, kFileWideTries, false);
                if (f && High(cand) != High(carry.H)) {
                    bInDelFileOrDIRMap(cand, entry, props, found, false);
                    if (found) result = cand;
                }
            }
            if (!found) result = KeepFreeLowWord(c, result, highKept);
        }
        entry.SetFirstClusterNO(static_cast<std::uint32_t>(result));
    } else if (isFolder) {
        if (!entry.IsErased()) {
            m_folderNames[c] = name;
        } else if (bEffectiveDIRFDT(c)) {
            std::uint64_t cand = c;
            bInDelFileOrDIRMap(cand, entry, props, found, true);
        } else if (c < kHighWindow) {
            // Only a start that may have lost its high word is sought elsewhere;
            // a full one that no longer holds a folder stays as it is.
            bool f = false;
            std::uint64_t cand = TryGetRealFirstNum(c, f, kFolderTries, true);
            if (f) {
                bInDelFileOrDIRMap(cand, entry, props, found, true);
            } else if (m_preRead > kDeepPreRead) {
                cand = TryGetRealFirstNum(c + High(m_preRead), f, kFolderTries, true);
                if (f) {
                    entry.SetFirstClusterNO(static_cast<std::uint32_t>(cand));
                    m_preRead = cand;
                }
            }
        }
    }

    const std::uint64_t result = entry.GetFirstClusterNO();
    carry.R = result + k;
    if (!isFolder && (found || result > kHighWindow)) m_preRead = carry.R;
    if (carry.R < carry.H) carry.R = carry.H;
    props.SetFirstClusterNum(static_cast<long long>(result));
}

// A guessed high part that lands in a cluster the table gives to a live file
// would recover that file's bytes under this name; when the entry's own
// cluster is free, nothing shows the high word was lost, so it is kept.
// Where both are free, the guess stands (the high word was cleared), unless an
// earlier deleted entry of the folder kept its high word: that deleter keeps
// high words, so a zero one is real.
std::uint64_t CFATBuildChildren::KeepFreeLowWord(std::uint64_t low, std::uint64_t guess, bool highKept) {
    if (guess == low || InUse(low)) return guess;
    return InUse(guess) || highKept ? low : guess;
}

bool CFATBuildChildren::InUse(std::uint64_t cluster) {
    if (!IsLimitCluster(cluster)) return true;
    return m_fat && m_fat->GetNextCluster(static_cast<std::uint32_t>(cluster)) != 0;
}

std::uint64_t CFATBuildChildren::TryGetRealFirstNum(std::uint64_t candidate, bool& found, unsigned tries,
                                                    bool isFolder) {
    found = false;
    // tries - 1 values: the candidate, then one more per 0x10000 clusters.
    for (unsigned i = 0; i + 1 < tries; ++i) {
        const std::uint64_t c = candidate + std::uint64_t{i} * kHighWindow;
        // Candidates only ever grow: past the partition's clusters none is left.
        if (c >= m_geo.clusterCount + 2) break;
        if (!IsLimitCluster(c)) continue;
        const bool pass = isFolder ? bEffectiveDIRFDT(c) : !bReviseFAT32FileFirstClu(c, false);
        if (pass) {
            found = true;
            return c;
        }
    }
    return candidate;
}

void CFATBuildChildren::bInDelFileOrDIRMap(std::uint64_t& cluster, CTempFATDirEntry& entry,
                                           CFATFileProperties& props, bool& found, bool isFolder) {
    auto& names = isFolder ? m_folderNames : m_deletedNames;
    const std::string name = props.GetFileName();
    std::uint64_t c = cluster;
    bool taken = true;
    for (int pass = 0; pass < kClaimPasses; ++pass) {
        const auto it = names.find(c);
        if (it == names.end()) {
            if (taken) names[c] = name;
            break;
        }
        taken = false;
        if (it->second == name) break;
        bool f = false;
        const std::uint64_t cand = TryGetRealFirstNum(c + kHighWindow, f, isFolder ? kFolderTries : kFileClaimTries,
                                                      isFolder);
        if (f) {
            taken = true;
            c = cand;
            continue;
        }
        if (cand < m_preRead) {
            c = High(m_preRead) | (cand & kLowMask);
            continue;
        }
        break;
    }
    if (taken && IsLimitCluster(c)) {
        cluster = c;
        found = true;
        entry.SetFirstClusterNO(static_cast<std::uint32_t>(c));
    }
}

bool CFATBuildChildren::ReadClusterSector(std::uint64_t cluster) {
    if (!m_device || !IsLimitCluster(cluster)) return false;
    const std::uint64_t sector = ConvertClusterNumToSector(cluster);
    const std::uint64_t total = m_device->GetTotalSectors();
    if (sector == 0 || total < 10 || sector > total - 10) return false;
    m_sector.assign(std::size_t{m_geo.sectorSize} + 1, 0);
    return m_device->ReadSector(m_sector.data(), static_cast<long long>(sector), 1) != 0;
}

bool CFATBuildChildren::bEffectiveDIRFDT(std::uint64_t cluster) {
    if (!ReadClusterSector(cluster)) return false;
    return CFATFolderAnalyser::IsCurDirFileName(Bytes(m_sector.data(), 32)) &&
           CFATFolderAnalyser::IsParentDirFileName(Bytes(m_sector.data() + 32, 32));
}

void CFATBuildChildren::IniRawDllValue() {
    if (m_analysersCopied) return;
    m_analysersCopied = true;
    CRawFileAnalyserListSingle* registry = CRawFileAnalyserListSingle::CreateInstance();
    m_analyserList = registry->GetAnalyserList(1);
    m_analyserMap = registry->GetAnalyserMap(1);
    m_analyserMultimap = registry->GetAnalyserMultimap(1);
}

bool CFATBuildChildren::bReviseFAT32FileFirstClu(std::uint64_t cluster, bool acceptHigh) {
    IniRawDllValue();
    if (acceptHigh && cluster >= kHighWindow + 1) return false;
    if (!m_checkMode) {
        if (!ReadClusterSector(cluster)) return true;
        const Bytes sector(m_sector.data(), m_geo.sectorSize);
        if (m_analyserMap.count(Le32(sector, 0))) return false;
        const auto range = m_analyserMultimap.equal_range(Le16(sector, 0));
        for (auto it = range.first; it != range.second; ++it) {
            CRawFileInfo info;
            if (it->second && it->second->AnalyseBuffer(m_sector.data(), info)) return false;
        }
        for (IRawFileAnalyser* a : m_analyserList) {
            CRawFileInfo info;
            if (a && a->AnalyseBuffer(m_sector.data(), info)) return false;
        }
        return !bWindowsPEFiles(sector);
    }
    if (!m_fileSectorMap || m_fileSectorMap->empty() || !IsLimitCluster(cluster)) return true;
    const auto it = m_fileSectorMap->find(static_cast<long long>(ConvertClusterNumToSector(cluster)));
    if (it == m_fileSectorMap->end() || m_extension.empty()) return true;
    return strcasecmp(m_extension.c_str(), FormatExtension(it->second)) != 0;
}

bool CFATBuildChildren::bWindowsPEFiles(Bytes sector) {
    if (!Has(sector, 0, 0x40) || sector[0] != 'M' || sector[1] != 'Z') return false;
    const std::uint64_t o = Le32(sector, 0x3C);
    return o + 3 <= sector.size() && Has(sector, static_cast<std::size_t>(o), 2) && sector[o] == 'P' &&
           sector[o + 1] == 'E';
}

int CFATBuildChildren::bContainFileNode(FatFolderMap& map, CFATFileNode* node) {
    if (!node) return 0;
    const auto cluster = static_cast<std::uint32_t>(node->GetCurrentNodeID());
    const auto [it, added] = map.emplace(cluster, node);
    if (added) return 0;
    if (it->second && IsBeginWithDot(it->second->GetFileName()) && !IsBeginWithDot(node->GetFileName()))
        it->second = node;
    return 1;
}
