#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionAnalyzers.h"
#include "engine/volume/VolumeAnalyzeController.h"

#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <tuple>
#include <vector>

using namespace partition_codes;
using bytes::Bytes;

namespace {
constexpr std::size_t kTableOffset = 446;
constexpr std::size_t kEntrySize = 16;
// A chain longer than this is damaged, whatever its links say.
constexpr std::size_t kMaxEbrLinks = 4096;
} // namespace

bool HasBootSignature(Bytes s) { return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA; }

bool BootIndicatorsValid(Bytes s) {
    for (std::size_t i = 0; i < 4; ++i) {
        const std::size_t off = kTableOffset + kEntrySize * i;
        if (!bytes::Has(s, off, 1))
            return false;
        if (s[off] != 0x00 && s[off] != 0x80)
            return false;
    }
    return true;
}

void CPartitionTableEntry::InitFromBuffer(Bytes sector, std::size_t offset) {
    for (std::size_t i = 0; i < sizeof m_raw; ++i)
        m_raw[i] = bytes::Has(sector, offset + i, 1) ? sector[offset + i] : 0;
}

std::uint32_t CPartitionTableEntry::GetLeadSectors() const { return bytes::Le32(Bytes(m_raw), 8); }
std::uint32_t CPartitionTableEntry::GetTotalSectors() const { return bytes::Le32(Bytes(m_raw), 12); }

bool CPartitionTableEntry::IsValidPartitionTableEntry() const {
    return std::any_of(std::begin(m_raw), std::end(m_raw), [](std::uint8_t b) { return b != 0; });
}

std::optional<std::uint64_t> RecognisedVolumeSectors(IStorageDevice* disk, std::uint64_t startSector) {
    if (!disk)
        return std::nullopt;
    std::unique_ptr<IVolumeAnalyzeController> controller(CreateVolumeAnalyzeController(disk, startSector));
    IVolumeAnalyze* volume = controller ? controller->GetVolumeAnzlyzer() : nullptr;
    if (!volume)
        return std::nullopt;
    return volume->GetTotalSector();
}

bool HoldsRecognisedVolume(IStorageDevice* disk, std::uint64_t startSector) {
    return RecognisedVolumeSectors(disk, startSector).has_value();
}

namespace {
// An entry at a volume the chain does not describe (at an extended entry's
// first sector, or at an EBR a link names) spans that volume alone: the
// entry's count covers the logical partitions after it too. A count the boot
// sector does not give (0) or that runs past the entry leaves the entry's.
PartitionEntry AtOwnExtent(PartitionEntry p, const VolumeAt& v) {
    if (v.extent > 0)
        p.sectorCount = std::min(p.sectorCount, v.extent);
    return p;
}

// The end of the first `sectors` of an entry (all of it by default).
std::uint64_t EntryEnd(const PartitionEntry& p, std::uint64_t sectors = UINT64_MAX) {
    return p.startSector + std::min({sectors, p.sectorCount, UINT64_MAX - p.startSector});
}

// Of two entries starting at a volume of `volume` sectors (0: size not
// known), whether `a` fits it better than `b`: one holding the volume before
// one that cuts it, the closer of two that hold it, the longer of two that
// cut it.
bool FitsBetter(const PartitionEntry& a, const PartitionEntry& b, std::uint64_t volume) {
    const std::uint64_t need = volume ? volume : UINT64_MAX;
    const bool aHolds = a.sectorCount >= need, bHolds = b.sectorCount >= need;
    if (aHolds != bHolds)
        return aHolds;
    return aHolds ? a.sectorCount < b.sectorCount : a.sectorCount > b.sectorCount;
}
} // namespace

void KeepDisjointEntries(IStorageDevice* disk, PartitionList& list) {
    std::vector<const PartitionEntry*> byStart;
    for (const PartitionEntry& p : list)
        byStart.push_back(&p);
    std::stable_sort(byStart.begin(), byStart.end(), [](const PartitionEntry* a, const PartitionEntry* b) {
        return a->startSector < b->startSector;
    });
    bool overlaps = false;
    std::uint64_t reach = 0; // end of the furthest entry so far
    for (const PartitionEntry* p : byStart) {
        overlaps = overlaps || (p != byStart.front() && p->startSector < reach);
        reach = std::max(reach, EntryEnd(*p));
    }
    if (!overlaps)
        return;
    // Ask each start once: a table may repeat one partition thousands of times.
    std::map<std::uint64_t, VolumeAt> volumes;
    auto volumeAt = [&](std::uint64_t start) -> const VolumeAt& {
        auto [it, added] = volumes.try_emplace(start);
        if (added)
            it->second = ReadVolumeAt(disk, start);
        return it->second;
    };
    // Where a volume starts, the entry that fits it best stands for it.
    std::map<std::uint64_t, const PartitionEntry*> best;
    for (const PartitionEntry& p : list)
        if (const VolumeAt& v = volumeAt(p.startSector); v.known) {
            auto [it, added] = best.try_emplace(p.startSector, &p);
            if (!added && FitsBetter(p, *it->second, v.extent))
                it->second = &p;
        }
    std::set<const PartitionEntry*> dropped;
    std::vector<const PartitionEntry*> standing; // one entry per volume, in table order
    for (const PartitionEntry& p : list)
        if (volumeAt(p.startSector).known) {
            if (best[p.startSector] != &p)
                dropped.insert(&p);
            else
                standing.push_back(&p);
        }
    // What each stands on by its volume's own size: an entry too long, or
    // running to the disk's end, does not hide the volume that follows.
    auto span = [&](const PartitionEntry* p) {
        const VolumeAt& v = volumeAt(p->startSector);
        return EntryEnd(*p, v.extent ? v.extent : UINT64_MAX);
    };
    auto drop = [&](std::vector<const PartitionEntry*>& from, const std::set<const PartitionEntry*>& gone) {
        for (const PartitionEntry* p : gone)
            dropped.insert(p);
        from.erase(std::remove_if(from.begin(), from.end(), [&](const PartitionEntry* p) { return gone.count(p); }),
                   from.end());
    };
    // Standing entries by first sector, the longer first where two share one.
    auto byPlace = [&](std::vector<const PartitionEntry*> v) {
        std::stable_sort(v.begin(), v.end(), [&](const PartitionEntry* a, const PartitionEntry* b) {
            return a->startSector != b->startSector ? a->startSector < b->startSector : span(a) > span(b);
        });
        return v;
    };
    // A volume is listed once: of entries at volumes of one serial and size (a
    // copy of a boot sector, a backup boot sector) the one whose FATs or MFT lie where
    // its boot sector says stays, the others take no sectors. Two sound ones
    // apart (a partition cloned into another) are two volumes.
    {
        std::map<std::tuple<std::uint64_t, int, std::uint64_t>, std::vector<const PartitionEntry*>> alike;
        for (const PartitionEntry* p : byPlace(standing))
            if (const VolumeAt& v = volumeAt(p->startSector); v.serial != 0)
                alike[{v.serial, static_cast<int>(v.kind), v.claimed}].push_back(p);
        std::set<const PartitionEntry*> gone;
        for (const auto& [key, group] : alike) {
            const bool anySound = std::any_of(group.begin(), group.end(),
                                              [&](const PartitionEntry* p) { return volumeAt(p->startSector).sound; });
            std::uint64_t reach = 0; // end of the furthest one kept so far
            for (const PartitionEntry* p : group) {
                if ((anySound && !volumeAt(p->startSector).sound) || p->startSector < reach) {
                    gone.insert(p);
                    continue;
                }
                reach = std::max(reach, span(p));
            }
        }
        drop(standing, gone);
    }
    // A boot sector wholly inside another volume (a stray one in its free
    // space, whose FATs or MFT are not where it says) names nothing of its
    // own. A sound volume inside another (a disk image kept on it, or deleted
    // from it, and named by an entry) is a volume of its own and stays.
    {
        std::set<const PartitionEntry*> gone;
        std::uint64_t reach = 0; // end of the furthest so far
        for (const PartitionEntry* p : byPlace(standing)) {
            if (!volumeAt(p->startSector).sound && span(p) <= reach)
                gone.insert(p);
            reach = std::max(reach, span(p));
        }
        drop(standing, gone);
    }
    // Every sound volume stays, whatever it overlaps. Overlaps are asked of
    // them by first sector with the furthest end so far.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> sound; // first sector, end
    for (const PartitionEntry* p : standing)
        if (volumeAt(p->startSector).sound)
            sound.emplace_back(p->startSector, span(p));
    std::sort(sound.begin(), sound.end());
    std::vector<std::uint64_t> furthest(sound.size());
    for (std::size_t i = 0; i < sound.size(); ++i)
        furthest[i] = std::max(sound[i].second, i ? furthest[i - 1] : 0);
    auto overlapsSound = [&](std::uint64_t a, std::uint64_t end) {
        const auto n = static_cast<std::size_t>(
            std::lower_bound(sound.begin(), sound.end(), std::pair<std::uint64_t, std::uint64_t>{end, 0}) -
            sound.begin());
        return n > 0 && furthest[n - 1] > a;
    };
    std::erase_if(standing, [&](const PartitionEntry* p) { return volumeAt(p->startSector).sound; });
    // Of the others that overlap, those that overlap nothing else first,
    // whatever their slot: one stray entry does not hide every volume behind
    // it. The others an entry overlaps are all but those ending before it or
    // starting after it.
    std::vector<std::uint64_t> starts, ends;
    for (const PartitionEntry* p : standing) {
        starts.push_back(p->startSector);
        ends.push_back(span(p));
    }
    std::sort(starts.begin(), starts.end());
    std::sort(ends.begin(), ends.end());
    std::map<const PartitionEntry*, std::size_t> clashes;
    for (const PartitionEntry* p : standing) {
        const std::size_t before = static_cast<std::size_t>(
            std::upper_bound(ends.begin(), ends.end(), p->startSector) - ends.begin());
        const std::size_t reaching = static_cast<std::size_t>(
            std::lower_bound(starts.begin(), starts.end(), span(p)) - starts.begin());
        const std::size_t self = p->startSector < span(p) ? 1 : 0;
        clashes[p] = reaching >= before + self ? reaching - before - self : 0;
    }
    std::stable_sort(standing.begin(), standing.end(),
                     [&](const PartitionEntry* a, const PartitionEntry* b) { return clashes[a] < clashes[b]; });
    std::map<std::uint64_t, std::uint64_t> kept; // first sector -> end, disjoint
    auto keep = [&](const PartitionEntry& p, std::uint64_t end) {
        const std::uint64_t a = p.startSector;
        auto next = kept.lower_bound(a);
        const bool clash = overlapsSound(a, end) || (next != kept.end() && next->first < end) ||
                           (next != kept.begin() && std::prev(next)->second > a);
        if (clash)
            dropped.insert(&p);
        else
            kept.emplace(a, end);
    };
    for (const PartitionEntry* p : standing)
        keep(*p, span(p));
    // Then the entries at no volume, each taking all of it.
    for (const PartitionEntry& p : list)
        if (!volumeAt(p.startSector).known)
            keep(p, EntryEnd(p));
    list.remove_if([&](const PartitionEntry& p) { return dropped.count(&p) != 0; });
}

void InsertMbrEntry(std::uint64_t diskSectors, const CPartitionTableEntry& entry, std::uint64_t base,
                    std::int32_t number, PartitionList& out) {
    const std::uint64_t start = base + entry.GetLeadSectors();
    // Past the end of a truncated disk "the rest of the disk" would wrap round.
    if (start >= diskSectors)
        return;
    std::uint64_t count = entry.GetTotalSectors();
    if (count == 0 || count > diskSectors - start)
        count = diskSectors - start;
    PartitionEntry p;
    p.number = number;
    p.startSector = start;
    p.sectorCount = count;
    out.push_back(p);
}

ResultCode CPartitionTableChainAnalyzer::AnalyzePartitionTableChain(IStorageDevice* device, PartitionList& out) {
    out.clear();
    if (!device)
        return kMbrNullDevice;
    return AnalyzeMBR(device, out);
}

ResultCode CPartitionTableChainAnalyzer::AnalyzeMBR(IStorageDevice* device, PartitionList& out) {
    std::vector<std::uint8_t> sector;
    if (ResultCode rc = ReadDiskSectors(device, 0, 1, sector); IsFailure(rc))
        return rc;
    if (!HasBootSignature(sector))
        return kMbrNoSignature;
    // A boot flag other than 0x00 or 0x80 is one damaged byte, not a reason
    // to drop the entry: whether sector 0 is a table at all is decided before
    // (IsMbrTableSector).
    const std::uint64_t total = device->GetTotalSectors();
    PartitionList primaries;
    CPartitionTableEntry entries[4];
    for (std::int32_t slot = 1; slot <= 4; ++slot) {
        CPartitionTableEntry& e = entries[slot - 1];
        e.InitFromBuffer(sector, kTableOffset + kEntrySize * (slot - 1));
        if (e.IsValidPartitionTableEntry())
            InsertMbrEntry(total, e, 0, slot, primaries);
    }
    ResultCode result = 0;
    for (const PartitionEntry& p : primaries) {
        const CPartitionTableEntry& e = entries[p.number - 1];
        if (!e.IsExtenedPartition()) {
            out.push_back(p);
            continue;
        }
        // Every chain is walked, that of an extended partition another entry
        // overlaps too: its logical partitions are weighed with the rest
        // below. A broken chain keeps what it listed and hides no later
        // primary; where another entry overlaps the extended one, a chain
        // that cannot be read is that entry's damage (a mistyped start leads
        // to no EBR), not the table's.
        const ResultCode walk =
            AnalyzeEMBR(device, e.GetLeadSectors(), e.GetEndSector(), e.GetLeadSectors(), 4, out);
        // A sound volume at the extended partition's start (written there by
        // a tool, or behind a wrong type byte) is listed beside the chain that
        // its boot code may also hold, at its own size.
        if (const VolumeAt v = ReadVolumeAt(device, p.startSector); v.known && v.sound)
            out.push_back(AtOwnExtent(p, v));
        const bool overlapped = std::any_of(primaries.begin(), primaries.end(), [&](const PartitionEntry& q) {
            return &q != &p && q.startSector < EntryEnd(p) && p.startSector < EntryEnd(q);
        });
        if (!IsFailure(result) && !overlapped)
            result = walk;
    }
    if (!weighOverlaps)
        return result;
    // The volume at sector 0 (a card whose boot code holds the entries, an
    // old volume under a new table) is listed beside the table's partitions;
    // of entries that overlap, those holding no volume of their own go.
    // Logical partitions are not bounded by their extended one.
    AddSectorZeroVolume(device, out);
    KeepDisjointEntries(device, out);
    return result;
}

ResultCode CPartitionTableChainAnalyzer::AnalyzeEMBR(IStorageDevice* device, std::uint64_t extendedStart,
                                                     std::uint64_t /*extendedEnd*/, std::uint64_t ebrSector,
                                                     std::int32_t lastNumber, PartitionList& out) {
    const std::uint64_t total = device->GetTotalSectors();
    std::set<std::uint64_t> visited;
    std::set<std::uint64_t> listed; // first sectors of the entries listed so far
    for (const PartitionEntry& p : out)
        listed.insert(p.startSector);
    std::vector<std::uint8_t> sector;
    std::int32_t number = lastNumber;
    // Links to EBRs that hold a volume, listed after the logical partitions so
    // that these keep the numbers Linux gives them.
    PartitionList atLinks;
    auto done = [&](ResultCode rc) {
        for (PartitionEntry& p : atLinks) {
            p.number = ++number;
            out.push_back(p);
        }
        return rc;
    };
    std::optional<CPartitionTableEntry> link; // the link that named this EBR
    // Iterative, so a long or looping chain costs neither stack nor time without end.
    while (visited.insert(ebrSector).second && visited.size() <= kMaxEbrLinks) {
        if (ResultCode rc = ReadDiskSectors(device, ebrSector, 1, sector); IsFailure(rc))
            return done(rc);
        // A plain EBR holds nothing before its table; a volume's boot sector
        // does (its boot code may hold the table), and a volume without one
        // (HFS+) has no signature there.
        const bool sign = HasBootSignature(sector);
        const bool code = std::any_of(sector.begin(), sector.begin() + std::min(sector.size(), kTableOffset),
                                      [](std::uint8_t b) { return b != 0; });
        if (link && (!sign || code))
            if (const VolumeAt v = ReadVolumeAt(device, ebrSector); v.known && v.sound) {
                PartitionList one;
                InsertMbrEntry(total, *link, extendedStart, 0, one);
                for (const PartitionEntry& p : one)
                    atLinks.push_back(AtOwnExtent(p, v));
            }
        // As in the MBR, a damaged boot flag does not drop the EBR's entries.
        if (!sign)
            return done(kEbrNoSignature);
        std::uint64_t next = 0;
        bool linked = false;
        for (std::size_t i = 0; i < 4; ++i) {
            CPartitionTableEntry e;
            e.InitFromBuffer(sector, kTableOffset + kEntrySize * i);
            if (!e.IsValidPartitionTableEntry())
                continue;
            const std::uint64_t at = ebrSector + e.GetLeadSectors();
            if (listed.count(at))
                break; // the table loops back on itself
            if (e.IsExtenedPartition()) {
                if (linked)
                    return done(kEbrTwoExtended);
                linked = true;
                next = extendedStart + e.GetLeadSectors(); // links count from the extended partition
                link = e;
            } else {
                const std::size_t before = out.size();
                InsertMbrEntry(total, e, ebrSector, ++number, out);
                if (out.size() != before)
                    listed.insert(at);
            }
        }
        if (next == 0)
            return done(0);
        ebrSector = next;
    }
    return done(0);
}
