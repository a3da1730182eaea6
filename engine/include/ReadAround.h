#pragma once
// A read of many sectors that fails is read again in 4 KiB pieces, and a piece
// that fails sector by sector, so a bad sector costs only itself: what could
// not be read is zeros, never what an earlier read left in the buffer.
#include "engine/include/DeviceGone.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

// Reads `count` sectors from `first` into `out` (count x sector size bytes);
// answers how many of them could not be read, and adds their indexes (from 0)
// to `failed` when given. A device found gone is not asked again: the rest is
// zeros, counted.
inline long long ReadSectorsAround(IStorageDevice* device, void* out, long long first, long long count,
                                   std::vector<long long>* failedAt = nullptr) {
    if (!device || count <= 0) return 0;
    if (device->ReadSector(out, first, count) != 0) return 0;
    const unsigned ss = device->GetSectorSize();
    if (ss == 0) return count;
    auto* bytes = static_cast<std::uint8_t*>(out);
    const auto at = [&](long long i) { return bytes + static_cast<std::size_t>(i) * ss; };
    const long long piece = std::max<long long>(1, 4096 / ss);
    long long failed = 0;
    for (long long p = 0; p < count; p += piece) {
        const long long n = std::min(piece, count - p);
        if (count > n && !DeviceGone(device) && device->ReadSector(at(p), first + p, n) != 0) continue;
        for (long long i = p; i < p + n; ++i) {
            if (n > 1 && !DeviceGone(device) && device->ReadSector(at(i), first + i, 1) != 0) continue;
            std::memset(at(i), 0, ss);
            ++failed;
            if (failedAt) failedAt->push_back(i);
        }
    }
    return failed;
}
