#include "engine/volume/VolumeAnalyzeController.h"

#include "engine/include/FactoryRegistry.h"
#include "engine/include/StorageDevice.h"
#include "engine/utility/CatchExeception.h"

#include <algorithm>
#include <vector>

CVolumeAnalyzeController::CVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    // Every recogniser is asked, in the table's order, which decides a volume
    // two of them know: the earlier wins.
    for (const FileSystemEntry& entry : FileSystems().Entries())
        if (entry.recognise)
            if (IVolumeAnalyze* analyzer = entry.recognise(device, startSector)) m_analyzers.emplace_back(analyzer);
    for (auto& analyzer : m_analyzers) {
        const enumFILE_SYSTEM_TYPE kind = analyzer->GetFileSystemType();
        if (kind == FS_UNKNOWN) continue;
        if (!m_winner) {
            m_winner = analyzer.get();
            continue;
        }
        CatchExeception::WriteLog("volume at sector %llu: file system %d also claims it; %d comes first and wins\n",
                                  startSector, static_cast<int>(kind), static_cast<int>(m_winner->GetFileSystemType()));
    }
}

IVolumeAnalyze* CVolumeAnalyzeController::GetVolumeAnzlyzer() { return m_winner; }

IVolumeAnalyzeController* CreateVolumeAnalyzeController(IStorageDevice* device, unsigned long long startSector) {
    return new CVolumeAnalyzeController(device, startSector);
}

namespace {

constexpr unsigned kIdentityLookBytes = 1u << 20;

// FNV-1a, 64 bits.
class CIdentityHash {
public:
    explicit CIdentityHash(std::uint64_t seed) { Add(seed, 8); }
    void Add(std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i) Byte(static_cast<std::uint8_t>(value >> (8 * i)));
    }
    void Byte(std::uint8_t b) {
        m_hash ^= b;
        m_hash *= 0x100000001B3ULL;
    }
    std::uint64_t Value() const { return m_hash; }

private:
    std::uint64_t m_hash = 0xCBF29CE484222325ULL;
};

} // namespace

bool VolumeIdentity(IStorageDevice* device, unsigned long long startSector, std::uint64_t& identity) {
    if (!device) return false;
    const unsigned sectorSize = device->GetSectorSize();
    if (sectorSize == 0 || sectorSize > (1u << 16)) return false;
    std::vector<std::uint8_t> sector(sectorSize);
    if (device->ReadSector(sector.data(), static_cast<long long>(startSector), 1) == 0) return false;
    CVolumeAnalyzeController analysis(device, startSector);
    if (IVolumeAnalyze* known = analysis.GetVolumeAnzlyzer()) {
        CIdentityHash hash(1);
        hash.Add(static_cast<std::uint64_t>(known->GetFileSystemType()), 4);
        hash.Add(known->GetTotalSector(), 8);
        hash.Add(known->GetVolumeSerial(), 8);
        identity = hash.Value();
        return true;
    }
    // No file system: the first sector from startSector that holds more than
    // one byte value (an erased or zeroed one is on every device alike),
    // within the first MiB, and where it lies.
    const auto uniform = [&sector] {
        return std::all_of(sector.begin(), sector.end(), [&](std::uint8_t b) { return b == sector.front(); });
    };
    const unsigned long long look = std::max(1u, kIdentityLookBytes / sectorSize);
    unsigned long long at = 0;
    while (uniform()) {
        if (++at >= look ||
            device->ReadSector(sector.data(), static_cast<long long>(startSector + at), 1) == 0)
            return false;
    }
    CIdentityHash hash(2);
    hash.Add(at, 8);
    for (const std::uint8_t b : sector) hash.Byte(b);
    identity = hash.Value();
    return true;
}
