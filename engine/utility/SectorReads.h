#pragma once
// Reads of file-system structures on a disk that fails in places: a read of
// many sectors that fails is read again sector by sector, so one bad sector
// costs only its own bytes (zeros), never the whole structure.
#include "engine/include/StorageDevice.h"

#include <atomic>
#include <cstdint>
#include <cstring>
#include <vector>

namespace salvor {
// Sectors of file-system structures that could not be read, process-wide: a
// scan takes the count before and after, and says that parts of the volume
// could not be read rather than ending as a clean scan.
inline std::atomic<long long>& UnreadableStructureSectors() {
    static std::atomic<long long> count{0};
    return count;
}

// Reads count sectors at first into buffer (count x sector size bytes).
// Sectors that cannot be read are zeros; when bad is given it gets one flag
// per sector (true: unreadable). Answers the number of sectors read.
inline long long ReadAroundBadSectors(IStorageDevice* device, void* buffer, long long first, long long count,
                                      std::vector<bool>* bad = nullptr) {
    if (bad) bad->assign(count > 0 ? static_cast<std::size_t>(count) : 0, false);
    if (!device || !buffer || first < 0 || count <= 0) return 0;
    if (device->ReadSector(buffer, first, count)) return count;
    const std::size_t ss = device->GetSectorSize() >= 512 ? device->GetSectorSize() : 512;
    auto* bytes = static_cast<unsigned char*>(buffer);
    long long read = 0;
    for (long long i = 0; i < count; ++i) {
        unsigned char* at = bytes + static_cast<std::size_t>(i) * ss;
        if (count > 1 && device->ReadSector(at, first + i, 1)) {
            ++read;
            continue;
        }
        std::memset(at, 0, ss);
        if (bad) (*bad)[static_cast<std::size_t>(i)] = true;
    }
    UnreadableStructureSectors() += count - read;
    return read;
}
} // namespace salvor
