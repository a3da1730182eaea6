#include "engine/exfat/ExfatFileSet.h"

#include "engine/common/Bytes.h"

#include <algorithm>
#include <bit>

using namespace exfat;
using bytes::Le16;
using bytes::Le32;
using bytes::Le64;

namespace {
bool IsStreamType(std::uint8_t t) { return t == kStream || t == kStreamDeleted; }
bool IsNameType(std::uint8_t t) { return t == kName || t == kNameDeleted; }

bool ZeroBytes(Bytes e, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (e[i] != 0) return false;
    return true;
}

// Bitmap and up-case entries: a cluster in the heap and a length that fits
// in the device and in the cluster numbers of the largest cluster size.
bool IsValidTableEntry(Bytes e, std::uint64_t totalSectors, unsigned sectorShift, unsigned clusterShift) {
    const std::uint32_t first = Le32(e, 20);
    const std::uint64_t length = Le64(e, 24);
    if (first < 2 || first > 0xFFFFFFF5u) return false;
    if ((length >> sectorShift) >= totalSectors) return false;
    return std::uint64_t{first} + (length >> clusterShift) <= 0xFFFFFFF5u;
}
} // namespace

void CFileSet::UpdateFileList(_tagFileBaseInfo r) {
    const bool folder = (r.attributes & kAttrFolder) != 0;
    if (folder) {
        // A folder's length is whole clusters: the cluster size divides it.
        const std::uint64_t len = static_cast<std::uint64_t>(r.dataLength);
        if (len > 0 && len % 512 == 0) highBound = std::min<std::uint64_t>(highBound, len & (~len + 1));
    }
    if (r.firstCluster >= 2 && r.firstCluster <= 0xFFFFFFF5u) {
        lowCluster = std::min(lowCluster, r.firstCluster);
        highCluster = std::max(highCluster, r.firstCluster);
    }
    if (!r.inUse) {
        deleted.push_back(std::move(r));
        return;
    }
    if (folder && r.firstCluster >= 2)
        subFolders.insert(std::upper_bound(subFolders.begin(), subFolders.end(), r.firstCluster), r.firstCluster);
    auto at = std::upper_bound(inUse.begin(), inUse.end(), r.firstCluster,
                               [](std::uint32_t c, const _tagFileBaseInfo& x) { return c < x.firstCluster; });
    inUse.insert(at, std::move(r));
}

void CFileSet::CalculateClusterSize(unsigned sectorShift) {
    for (std::size_t i = 0; i + 1 < inUse.size(); ++i) {
        const _tagFileBaseInfo& a = inUse[i];
        const std::uint32_t d = inUse[i + 1].firstCluster - a.firstCluster;
        if (!a.contiguous || a.firstCluster < 2 || d == 0 || a.dataLength <= 0) continue;
        // The file's clusters end before its successor's first one.
        const std::uint64_t need = (static_cast<std::uint64_t>(a.dataLength) + d - 1) / d;
        lowBound = std::max<std::uint64_t>(lowBound, std::bit_ceil(need));
    }
    lowBound = std::max<std::uint64_t>(1, lowBound >> sectorShift);
    highBound >>= sectorShift;
}

void CFileSet::Link(CFileSet* following) {
    if (!following || following == this) return;
    next = following;
    following->prev = this;
    const std::uint64_t lo = std::max(lowBound, following->lowBound), hi = std::min(highBound, following->highBound);
    lowBound = following->lowBound = lo;
    highBound = following->highBound = hi;
}

void CFDTPreAnaylze::PrepareAnayze(unsigned sectorShift, unsigned clusterShift, std::uint64_t totalSectors) {
    FinisAnayze();
    m_sectorShift = std::clamp(sectorShift, 9u, 16u);
    m_sectorSize = 1u << m_sectorShift;
    m_clusterShift = clusterShift;
    m_totalSectors = totalSectors;
}

void CFDTPreAnaylze::FinisAnayze() {
    m_cur.reset();
    m_done.clear();
    m_heads.clear();
    m_tails.clear();
    m_joins.clear();
    m_skipSector = -1;
    m_skip = 0;
}

CFileSet& CFDTPreAnaylze::Current(std::int64_t sector) {
    if (!m_cur) {
        m_cur = std::make_unique<CFileSet>();
        m_cur->firstSector = sector;
    }
    return *m_cur;
}

void CFDTPreAnaylze::Close() {
    if (!m_cur) return;
    std::unique_ptr<CFileSet> f = std::move(m_cur);
    if (f->sectorCount == 0 || !(f->HasFiles() || f->IsRoot())) return;
    f->CalculateClusterSize(m_sectorShift);
    m_done.push_back(std::move(f));
}

bool CFDTPreAnaylze::GetFileSet(std::unique_ptr<CFileSet>& out) {
    Close();
    if (m_done.empty()) return false;
    out = std::move(m_done.front());
    m_done.pop_front();
    return true;
}

std::int64_t CFDTPreAnaylze::GetNext(std::int64_t sector) const {
    auto it = m_joins.find(sector);
    return it == m_joins.end() ? -1 : it->second;
}

std::int64_t CFDTPreAnaylze::GetLast(std::int64_t sector) const {
    for (const auto& [head, tail] : m_joins)
        if (tail == sector) return head;
    return -1;
}

bool CFDTPreAnaylze::IsValidStray(Bytes e) const {
    if (IsStreamType(e[0])) return IsValidStreamEntry(e, m_totalSectors, m_sectorShift, m_clusterShift);
    return IsNameType(e[0]) && IsValidNameEntry(e);
}

CFDTPreAnaylze::SetResult CFDTPreAnaylze::ReadSet(Bytes set, std::int64_t sector) {
    const std::size_t n = set.size() / kEntrySize;
    if (n < 3) return SetResult::Dropped;
    // Entries found anywhere on a device are taken only with their checksum.
    if (!CheckDirEntry(set, set.size(), Le16(set, 2))) return SetResult::Dropped;
    const std::uint8_t inUse = set[0] & kInUse;
    Bytes stream = set.subspan(kEntrySize, kEntrySize);
    if (!IsStreamType(stream[0]) || (stream[0] & kInUse) != inUse) return SetResult::Dropped;
    // Windows EFS writes into a stream entry's reserved bytes: with the
    // checksum holding, only its extent is tested.
    if (!IsPlausibleStreamExtent(stream, m_totalSectors, m_sectorShift, m_clusterShift)) return SetResult::Dropped;
    std::u16string units;
    for (std::size_t k = 2; k < n; ++k) {
        Bytes e = set.subspan(k * kEntrySize, kEntrySize);
        if (!IsNameType(e[0]) || (e[0] & kInUse) != inUse) return SetResult::Dropped;
        // The checksum vouches for the set's extent: a name the name test
        // refuses (control characters, an empty first unit) is not listed, but
        // the set is passed over whole and the sets after it are still read.
        if (!IsValidNameEntry(e)) return SetResult::Nameless;
        AppendNameUnits(e, units);
    }
    _tagFileBaseInfo r;
    DecodeFileEntry(set.subspan(0, kEntrySize), sector, r);
    DecodeStreamEntry(stream, r);
    r.name = DecodeSetName(units, r.nameLength);
    // A name that starts with a NUL unit is empty.
    if (r.name.empty()) return SetResult::Nameless;
    Current(sector).UpdateFileList(std::move(r));
    return SetResult::Taken;
}

bool CFDTPreAnaylze::Joint(const Head& head, Bytes tail, std::int64_t sector) {
    const unsigned n = static_cast<unsigned>(head.bytes.size() / kEntrySize);
    const unsigned k = head.present;
    if (k == 0 || k >= n) return false;
    const std::size_t headBytes = std::size_t{k} * kEntrySize, tailBytes = std::size_t{n - k} * kEntrySize;
    if (tail.size() < tailBytes) return false;
    std::vector<std::uint8_t> joined(head.bytes.begin(), head.bytes.begin() + static_cast<std::ptrdiff_t>(headBytes));
    joined.insert(joined.end(), tail.begin(), tail.begin() + static_cast<std::ptrdiff_t>(tailBytes));
    if (!IsValidFileEntry(Bytes(joined).first(kEntrySize))) return false;
    return ReadSet(joined, sector) == SetResult::Taken;
}

void CFDTPreAnaylze::CheckAndRecordNotEnd(std::int64_t sector, Bytes bytes, std::size_t i, unsigned setEntries) {
    CFileSet& f = Current(sector);
    f.flags |= CFileSet::kNotEnded;
    const unsigned entries = m_sectorSize / kEntrySize;
    Head head;
    head.present = static_cast<unsigned>(entries - i);
    const std::size_t off = i * kEntrySize, len = std::size_t{setEntries} * kEntrySize;
    if (!bytes::Has(bytes, off, len)) return;
    head.bytes.assign(bytes.begin() + static_cast<std::ptrdiff_t>(off),
                      bytes.begin() + static_cast<std::ptrdiff_t>(off + len));
    for (auto it = m_tails.begin(); it != m_tails.end(); ++it) {
        if (Joint(head, it->second, f.firstSector)) {
            m_joins[f.firstSector] = it->first;
            m_tails.erase(it);
            return;
        }
    }
    if (m_heads.size() >= kMaxSaved) m_heads.erase(m_heads.begin());
    m_heads[f.firstSector] = std::move(head);
}

void CFDTPreAnaylze::RecordAbrige(std::int64_t sector, Bytes bytes) {
    const Bytes tail = bytes.first(std::min<std::size_t>(bytes.size(), 19 * kEntrySize));
    for (auto it = m_heads.begin(); it != m_heads.end(); ++it) {
        if (Joint(it->second, tail, sector)) {
            m_joins[it->first] = sector;
            m_heads.erase(it);
            return;
        }
    }
    if (m_tails.size() >= kMaxSaved) m_tails.erase(m_tails.begin());
    m_tails[sector].assign(tail.begin(), tail.end());
}

bool CFDTPreAnaylze::Analyze(std::int64_t sector, Bytes bytes) {
    const std::size_t entries = m_sectorSize / kEntrySize;
    if (bytes.size() < m_sectorSize) return false;
    // A gap since the last sector ends the fragment.
    if (m_cur && m_cur->End() != sector) Close();
    std::size_t i = 0;
    if (m_skipSector == sector) i = m_skip;
    m_skipSector = -1;
    m_skip = 0;
    // No set may run on into a sector that another fragment's end left.
    if (i > 0 && !m_cur) i = 0;

    bool contributed = i > 0, ended = false, abridgedStart = false;
    bool sawLabel = false, sawBitmap = false, sawUpcase = false;
    while (i < entries && !ended) {
        Bytes e = bytes.subspan(i * kEntrySize, kEntrySize);
        const std::uint8_t type = e[0];
        switch (type) {
        case kFile:
        case kFileDeleted: {
            const unsigned setEntries = unsigned{e[1]} + 1;
            if (!IsValidFileEntry(e)) {
                // A set whose checksum holds is genuine despite odd reserved fields.
                const std::size_t len = std::size_t{setEntries} * kEntrySize;
                if (e[1] < 2 || !bytes::Has(bytes, i * kEntrySize, len) ||
                    !CheckDirEntry(bytes.subspan(i * kEntrySize), len, Le16(e, 2))) {
                    ended = true;
                    break;
                }
            }
            contributed = true;
            if (i + setEntries <= entries) {
                i += ReadSet(bytes.subspan(i * kEntrySize, std::size_t{setEntries} * kEntrySize), sector) ==
                             SetResult::Dropped
                         ? 1
                         : setEntries;
                continue;
            }
            // The set runs past this sector: into the next one when the
            // fragment may still grow there and the checksum says so.
            const std::size_t len = std::size_t{setEntries} * kEntrySize;
            const bool room = !m_cur || (std::uint64_t{m_cur->sectorCount} + 1) * m_sectorSize < m_cur->highBound;
            if (room && bytes::Has(bytes, i * kEntrySize, len) &&
                ReadSet(bytes.subspan(i * kEntrySize, len), sector) != SetResult::Dropped) {
                m_skipSector = sector + 1;
                m_skip = static_cast<unsigned>(i + setEntries - entries);
                i = entries;
                continue;
            }
            CheckAndRecordNotEnd(sector, bytes, i, setEntries);
            ended = true;
            break;
        }
        case kStream:
        case kStreamDeleted:
        case kName:
        case kNameDeleted:
            if (!IsValidStray(e)) {
                ended = true;
                break;
            }
            // Secondary entries before any set: the tail of a set whose head
            // lies in another cluster.
            if (i == 0 && (!m_cur || !m_cur->HasFiles())) abridgedStart = true;
            contributed = true;
            ++i;
            continue;
        case kLabel:
        case kLabelDeleted:
            if (sawLabel || !IsValidLabelEntry(e)) {
                ended = true;
                break;
            }
            sawLabel = contributed = true;
            if (type == kLabel) {
                CFileSet& f = Current(sector);
                f.flags |= CFileSet::kLabel;
                f.label.clear();
                for (unsigned c = 0; c < e[1]; ++c) f.label += static_cast<char16_t>(Le16(e, 2 + 2 * c));
            }
            ++i;
            continue;
        case kBitmap:
            // The second FAT's bitmap (flag bit 0) may follow the first one.
            if ((sawBitmap && !(e[1] & 1)) || !ZeroBytes(e, 2, 20) ||
                !IsValidTableEntry(e, m_totalSectors, m_sectorShift, m_clusterShift)) {
                ended = true;
                break;
            }
            contributed = true;
            if (!sawBitmap) {
                sawBitmap = true;
                CFileSet& f = Current(sector);
                f.flags |= CFileSet::kBitmap;
                f.bitmapCluster = Le32(e, 20);
                f.bitmapLength = Le64(e, 24);
                f.totalClusters = static_cast<std::uint32_t>(std::min<std::uint64_t>(f.bitmapLength * 8, 0xFFFFFFF5u));
                f.lowestRootCluster = std::max(f.lowestRootCluster, f.bitmapCluster + 1);
            }
            ++i;
            continue;
        case kUpcase:
            if (sawUpcase || !ZeroBytes(e, 1, 4) || !ZeroBytes(e, 8, 20) ||
                !IsValidTableEntry(e, m_totalSectors, m_sectorShift, m_clusterShift)) {
                ended = true;
                break;
            }
            sawUpcase = contributed = true;
            {
                CFileSet& f = Current(sector);
                f.flags |= CFileSet::kUpcase;
                f.upcaseCluster = Le32(e, 20);
                f.upcaseLength = Le64(e, 24);
                f.lowestRootCluster = std::max(f.lowestRootCluster, f.upcaseCluster + 1);
            }
            ++i;
            continue;
        default: // end of folder, or an entry the deep search does not read
            ended = true;
            break;
        }
    }

    if (!contributed) {
        Close();
        return !m_done.empty();
    }
    CFileSet& f = Current(sector);
    ++f.sectorCount;
    if (abridgedStart && f.sectorCount == 1) {
        f.flags |= CFileSet::kAbridged;
        RecordAbrige(sector, bytes);
    }
    if (ended || std::uint64_t{f.sectorCount} * m_sectorSize >= f.highBound) Close();
    return !m_done.empty();
}
