#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionAnalyzers.h"

#include <algorithm>
#include <cstring>
#include <map>

using namespace partition_codes;
using bytes::Bytes;

namespace {
constexpr std::uint32_t kMaxEntries = 4096;
constexpr std::uint32_t kMaxEntrySize = 4096;

_GUID LoadGuid(Bytes b, std::size_t off) {
    _GUID g;
    g.Data1 = bytes::Le32(b, off);
    g.Data2 = bytes::Le16(b, off + 4);
    g.Data3 = bytes::Le16(b, off + 6);
    for (std::size_t i = 0; i < 8; ++i)
        g.Data4[i] = bytes::Has(b, off + 8 + i, 1) ? b[off + 8 + i] : 0;
    return g;
}
} // namespace

GptLayout GptLayoutFromHeader(Bytes h, std::uint64_t diskSectors) {
    GptLayout layout;
    if (!bytes::Has(h, 0, 92) || std::memcmp(h.data(), "EFI PART", 8) != 0)
        return layout;
    const std::uint64_t lba = bytes::Le64(h, 72);
    const std::uint32_t count = bytes::Le32(h, 80);
    const std::uint32_t size = bytes::Le32(h, 84);
    if (lba < 2 || lba >= diskSectors || count == 0 || count > kMaxEntries || size < 128 ||
        size > kMaxEntrySize || size % 8 != 0)
        return layout;
    layout.entryLba = lba;
    layout.entryCount = count;
    layout.entrySize = size;
    return layout;
}

bool HoldsGptHeader(IStorageDevice* device) {
    std::vector<std::uint8_t> buf;
    const std::uint64_t total = device ? device->GetTotalSectors() : 0;
    if (total < 2 || IsFailure(ReadDiskSectors(device, 1, 1, buf)) || !bytes::Has(buf, 0, 8) ||
        std::memcmp(buf.data(), "EFI PART", 8) != 0)
        return false;
    // Sound where it places the entry array: the default layout is not taken for one.
    const GptLayout layout = GptLayoutFromHeader(buf, total);
    return layout.entryLba == bytes::Le64(buf, 72) && layout.entryCount == bytes::Le32(buf, 80) &&
           layout.entrySize == bytes::Le32(buf, 84);
}

void ParseGptEntries(Bytes entries, std::uint32_t entryCount, std::uint32_t entrySize, std::uint64_t diskSectors,
                     std::uint32_t sectorSize, std::uint64_t minBytes, PartitionList& out) {
    if (entrySize < 128 || sectorSize == 0)
        return;
    for (std::uint32_t i = 0; i < entryCount; ++i) {
        const std::size_t off = std::size_t{i} * entrySize;
        if (!bytes::Has(entries, off, 128))
            break;
        const _GUID type = LoadGuid(entries, off);
        if (type == _GUID{})
            continue;
        const std::uint64_t first = bytes::Le64(entries, off + 32);
        const std::uint64_t last = bytes::Le64(entries, off + 40);
        // An entry beyond a truncated disk has nothing left to list.
        if (first >= diskSectors)
            continue;
        std::uint64_t count;
        if (last >= first && last < diskSectors)
            count = last - first + 1;
        else
            count = diskSectors - first; // cut at the disk's end
        // The limit is in bytes: measure with the device's own sector size.
        if (count <= minBytes / sectorSize)
            continue;
        PartitionEntry p;
        p.number = static_cast<std::int32_t>(i + 1);
        p.startSector = first;
        p.sectorCount = count;
        p.typeGuid = type;
        p.uniqueGuid = LoadGuid(entries, off + 16);
        out.push_back(p);
    }
}

ResultCode CBaseGPTAnalyzer::AnalyzeBaseGPT(IStorageDevice* device, PartitionList& out) {
    out.clear();
    if (!device)
        return kGptNullDevice;
    const std::uint64_t total = device->GetTotalSectors();
    const std::uint32_t sectorSize = device->GetSectorSize();
    GptLayout layout;
    std::vector<std::uint8_t> buf;
    if (total > 1 && IsSuccess(ReadDiskSectors(device, 1, 1, buf)))
        layout = GptLayoutFromHeader(buf, total);
    if (sectorSize == 0 || layout.entryLba >= total)
        return 0;
    const std::uint64_t bytes = std::uint64_t{layout.entryCount} * layout.entrySize;
    std::uint64_t sectors = (bytes + sectorSize - 1) / sectorSize;
    sectors = std::min(sectors, total - layout.entryLba); // a truncated disk holds fewer
    if (ResultCode rc = ReadDiskSectors(device, layout.entryLba, sectors, buf); IsFailure(rc))
        return rc;
    PartitionList all;
    ParseGptEntries(buf, layout.entryCount, layout.entrySize, total, sectorSize, 0, all);
    std::map<std::uint64_t, bool> holds; // each start asked once, however often it is named
    for (const PartitionEntry& p : all) {
        // Small partitions (BIOS boot, reserved) hold no files, unless a
        // small volume (a card's, a 6 MiB image's) was put in one.
        bool listed = p.sectorCount > kGptMinListedBytes / sectorSize;
        if (!listed) {
            auto [it, added] = holds.try_emplace(p.startSector, false);
            if (added)
                it->second = HoldsRecognisedVolume(device, p.startSector);
            listed = it->second;
        }
        if (listed)
            out.push_back(p);
    }
    // A volume left at sector 0 under the protective MBR (a stick converted
    // by a partitioning tool) is listed beside the partitions; entries naming
    // one partition again, or part of it, list it once.
    AddSectorZeroVolume(device, out);
    KeepDisjointEntries(device, out);
    return 0;
}
