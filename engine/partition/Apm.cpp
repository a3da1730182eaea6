#include "engine/include/StorageDevice.h"
#include "engine/partition/PartitionAnalyzers.h"

#include <cstring>

using namespace partition_codes;
using bytes::Bytes;

namespace {
constexpr std::uint32_t kMaxMapEntries = 31;
}

bool ParseApmEntry(Bytes b, ApmMapEntry& e) {
    if (!bytes::Has(b, 0, 80))
        return false;
    const std::uint16_t sig = bytes::Be16(b, 0);
    if (sig != 0x504D && sig != 0x5453) // "PM", "TS"
        return false;
    e.mapEntries = bytes::Be32(b, 4);
    e.startBlock = bytes::Be32(b, 8);
    e.blockCount = bytes::Be32(b, 12);
    std::memcpy(e.typeName, b.data() + 48, sizeof e.typeName);
    return true;
}

ResultCode CAPMAnaly::AnalyzePartition(IStorageDevice* device, PartitionList& out) {
    out.clear();
    if (!device)
        return kApmNullDevice;
    m_device = device;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize % 512 != 0 || sectorSize > INT32_MAX)
        return kApmBadSectorSize;
    m_sectorSize = static_cast<std::int32_t>(sectorSize);
    if (ResultCode rc = GetSectorsPerBlock(); IsFailure(rc))
        return rc;
    if (ResultCode rc = GetPartCount(); IsFailure(rc))
        return rc;
    return AnalyzePartitionTable(out);
}

ResultCode CAPMAnaly::GetSectorsPerBlock() {
    if (ResultCode rc = ReadDiskSectors(m_device, 0, 1, m_sector); IsFailure(rc))
        return rc;
    if (m_sector[0] != 'E' || m_sector[1] != 'R')
        return kApmNoDriverMap;
    m_sectorsPerBlock = bytes::Be16(m_sector, 2) / m_sectorSize;
    // Blocks smaller than a sector would put every entry at sector 0.
    return m_sectorsPerBlock > 0 ? 0 : kApmBlockTooSmall;
}

ResultCode CAPMAnaly::GetPartCount() {
    if (ResultCode rc = ReadDiskSectors(m_device, static_cast<std::uint64_t>(m_sectorsPerBlock), 1, m_sector);
        IsFailure(rc))
        return rc;
    ApmMapEntry e;
    if (!ParseApmEntry(m_sector, e))
        return kApmNoFirstEntry;
    if (e.mapEntries > kMaxMapEntries)
        return kApmTooManyEntries;
    m_entryCount = static_cast<std::int32_t>(e.mapEntries);
    return 0;
}

ResultCode CAPMAnaly::AnalyzePartitionTable(PartitionList& out) {
    const std::uint64_t total = m_device->GetTotalSectors();
    const std::uint64_t spb = static_cast<std::uint64_t>(m_sectorsPerBlock);
    for (std::int32_t i = 1; i <= m_entryCount; ++i) {
        if (ResultCode rc = ReadDiskSectors(m_device, static_cast<std::uint64_t>(i) * spb, 1, m_sector);
            IsFailure(rc))
            return rc;
        ApmMapEntry e;
        if (!ParseApmEntry(m_sector, e))
            continue;
        const std::uint64_t start = std::uint64_t{e.startBlock} * spb;
        // An entry past the end of the device is left out and one that runs past it is cut,
        // so no window reaches beyond the disk.
        if (start >= total)
            continue;
        std::uint64_t count = std::uint64_t{e.blockCount} * spb;
        if (count > total - start)
            count = total - start;
        PartitionEntry p;
        p.number = i;
        p.startSector = start;
        p.sectorCount = count;
        std::memcpy(p.typeName, e.typeName, sizeof p.typeName);
        out.push_back(p);
    }
    // A map naming one partition again lists it once, as an MBR and a GPT do.
    KeepDisjointEntries(m_device, out);
    return 0;
}
