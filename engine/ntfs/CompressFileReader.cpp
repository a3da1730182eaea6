#include "engine/ntfs/CompressFileReader.h"

#include "engine/include/Owned.h"
#include "engine/include/StorageDevice.h"
#include "engine/writer/DestinationFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>

namespace {
// A unit of the file: its pieces and its kind.
struct Unit {
    std::uint32_t type = NONECOMPRESSED_UNIT;
    long long clusters = 0;
    std::vector<tagCompressDataRun> pieces;
};

std::vector<Unit> Units(const std::vector<tagCompressDataRun>& pieces) {
    std::vector<Unit> units;
    long long filled = CCompressFileReader::kUnitClusters;
    for (const tagCompressDataRun& p : pieces) {
        if (filled == CCompressFileReader::kUnitClusters) {
            units.emplace_back();
            units.back().type = p.type;
            filled = 0;
        }
        units.back().pieces.push_back(p);
        units.back().clusters += p.length;
        filled += p.length;
        // A trailing unit's pieces are typed one by one: it is compressed
        // only when it is a whole one.
        if (p.type != units.back().type) units.back().type = NONECOMPRESSED_UNIT;
    }
    return units;
}
} // namespace

void CCompressFileReader::ReGroupCompressDataRunList(IDataRunList* runs, std::vector<tagCompressDataRun>& units) {
    units.clear();
    if (!runs) return;
    Owned<IDataRunList> walk(runs->Clone());
    if (!walk) return;
    std::vector<tagCompressDataRun> pending;
    long long remaining = kUnitClusters;
    for (DataRun* r = walk->GetFirst(); r; r = walk->GetNext()) {
        if (r->length <= 0) continue;
        const bool sparse = r->start < 0;
        long long rest = r->length;
        auto at = [&] { return sparse ? -1 : r->start + (r->length - rest); };
        while (rest >= remaining) {
            const std::uint32_t type =
                !sparse ? NONECOMPRESSED_UNIT : (pending.empty() ? SPARSE_UNIT : COMPRESSED_UNIT);
            for (tagCompressDataRun& p : pending) {
                p.type = type;
                units.push_back(p);
            }
            pending.clear();
            units.push_back({at(), remaining, type});
            rest -= remaining;
            remaining = kUnitClusters;
        }
        if (rest > 0) {
            pending.push_back({at(), rest, NONECOMPRESSED_UNIT});
            remaining -= rest;
        }
    }
    for (tagCompressDataRun& p : pending) {
        p.type = p.lcn < 0 ? COMPRESSED_UNIT : NONECOMPRESSED_UNIT;
        units.push_back(p);
    }
}

int CCompressFileReader::DecompressBlock(unsigned char* out, int capacity, const unsigned char* chunk,
                                         std::size_t available) {
    if (capacity < 1 || !out || !chunk || available < 2) return 0;
    const unsigned header = chunk[0] | (chunk[1] << 8);
    if (!(header & 0x8000)) {
        const std::size_t n =
            std::min<std::size_t>({(header & 0xFFFu) + 1, available - 2, static_cast<std::size_t>(capacity)});
        std::memcpy(out, chunk + 2, n);
        return static_cast<int>(n);
    }
    const std::size_t end = std::min<std::size_t>((header & 0xFFFu) + 3, available);
    std::size_t p = 2;
    int pos = 0;
    while (p < end && pos < capacity) {
        const unsigned flags = chunk[p++];
        for (int bit = 0; bit < 8 && p < end && pos < capacity; ++bit) {
            if (!((flags >> bit) & 1)) {
                out[pos++] = chunk[p++];
                continue;
            }
            if (p + 2 > end) return pos;
            const unsigned token = chunk[p] | (chunk[p + 1] << 8);
            p += 2;
            // The split between displacement and length widens the
            // displacement as the chunk's output grows.
            int k = 0;
            while (((pos - 1) >> k) >= 16)
                ++k;
            const int length = static_cast<int>(token & (0xFFFu >> k)) + 3;
            const int displacement = static_cast<int>(token >> (12 - k)) + 1;
            for (int i = 0; i < length && pos < capacity; ++i, ++pos) {
                const int from = pos - displacement;
                out[pos] = from >= 0 ? out[from] : 0;
            }
        }
    }
    return pos;
}

void CCompressFileReader::DecompressUnit(const unsigned char* in, std::size_t inLength, unsigned char* out,
                                         std::size_t outLength) {
    std::size_t p = 0, produced = 0;
    while (p + 2 <= inLength && produced < outLength) {
        const unsigned header = in[p] | (in[p + 1] << 8);
        if (header == 0) break;
        const std::size_t stored = (header & 0xFFFu) + 3;
        if (stored > inLength - p) break;
        const std::size_t room = std::min<std::size_t>(kChunkBytes, outLength - produced);
        DecompressBlock(out + produced, static_cast<int>(room), in + p, stored);
        // A chunk that expands to less leaves zeros: the next one still
        // starts at its own place.
        produced += kChunkBytes;
        p += stored;
    }
}

bool CCompressFileReader::ReadClusters(long long lcn, long long count, unsigned char* out) {
    long long sector = 0, sectors = 0, end = 0;
    if (lcn < 0 || count <= 0 || __builtin_mul_overflow(lcn, static_cast<long long>(m_sectorsPerCluster), &sector) ||
        __builtin_add_overflow(sector, m_clusterOrigin, &sector) || sector < 0 ||
        __builtin_mul_overflow(count, static_cast<long long>(m_sectorsPerCluster), &sectors) ||
        __builtin_add_overflow(sector, sectors, &end))
        return false;
    // A device answers zeros past its end (an image whose copy stopped
    // early): those are not the file's clusters.
    if (static_cast<unsigned long long>(end) > m_device->GetTotalSectors()) return false;
    return m_device->ReadSector(out, sector, sectors);
}

bool CCompressFileReader::Expand(long long from, long long to, const Emit& emit) {
    if (!m_runs || !m_device || m_runs->IsResident()) return false;
    // Units never hold more than 16 clusters of 4 KiB; larger clusters are
    // not compressed, and a record that says so is damaged.
    if (m_clusterSize <= 0 || m_clusterSize > kMaxClusterBytes || m_sectorsPerCluster == 0 ||
        m_device->GetSectorSize() == 0 || m_clusterSize % m_device->GetSectorSize() != 0 ||
        m_clusterSize / m_device->GetSectorSize() != m_sectorsPerCluster)
        return false;
    std::vector<tagCompressDataRun> pieces;
    ReGroupCompressDataRunList(m_runs.get(), pieces);
    const std::vector<Unit> units = Units(pieces);
    const std::size_t unitBytes = static_cast<std::size_t>(kUnitClusters * m_clusterSize);
    std::vector<unsigned char> in(unitBytes), out(unitBytes);

    to = std::min<long long>(to, m_dataSize);
    m_unreadable = 0;
    // The file's bytes [a, b) could not be had: they stay zeros and are counted.
    auto lost = [&](long long a, long long b) {
        a = std::max(a, from);
        b = std::min(b, to);
        if (b > a) m_unreadable += b - a;
    };
    long long start = 0; // file offset of the unit
    for (const Unit& u : units) {
        if (start >= to) break;
        const std::size_t length = static_cast<std::size_t>(std::min<long long>(u.clusters * m_clusterSize, to - start));
        const long long end = start + static_cast<long long>(u.clusters * m_clusterSize);
        if (end <= from) {
            start = end;
            continue;
        }
        std::fill(out.begin(), out.end(), 0);
        if (u.type == COMPRESSED_UNIT) {
            // The stored clusters, one after another; an unreadable unit
            // stays zeros.
            std::size_t got = 0;
            bool ok = true;
            for (const tagCompressDataRun& p : u.pieces) {
                if (p.lcn < 0) continue;
                ok = ok && ReadClusters(p.lcn, p.length, in.data() + got);
                got += static_cast<std::size_t>(p.length * m_clusterSize);
            }
            if (ok)
                DecompressUnit(in.data(), got, out.data(), unitBytes);
            else
                lost(start, end);
        } else if (u.type == NONECOMPRESSED_UNIT) {
            std::size_t at = 0;
            for (const tagCompressDataRun& p : u.pieces) {
                const std::size_t n = static_cast<std::size_t>(p.length * m_clusterSize);
                if (p.lcn >= 0 && !ReadClusters(p.lcn, p.length, out.data() + at)) {
                    std::fill(out.begin() + static_cast<long>(at), out.begin() + static_cast<long>(at + n), 0);
                    lost(start + static_cast<long long>(at), start + static_cast<long long>(at + n));
                }
                at += n;
            }
        }
        const long long skip = std::max<long long>(from - start, 0);
        if (!emit(start + skip, out.data() + skip, length - static_cast<std::size_t>(skip))) return false;
        start = end;
    }
    // Runs that end before the size leave zeros (the callers' buffers and
    // files start out zero), bytes the file had but that cannot be read.
    lost(start, to);
    return true;
}

unsigned CCompressFileReader::ReadData(long long offset, char* buffer, unsigned size, int* error) {
    if (!m_runs || m_runs->IsResident()) return CFileReader::ReadData(offset, buffer, size, error);
    if (!buffer || offset < 0 || offset >= m_dataSize || size == 0) return 0;
    const long long want = std::min<long long>(std::min<long long>(size, INT_MAX), m_dataSize - offset);
    std::memset(buffer, 0, static_cast<std::size_t>(want));
    const bool ok = Expand(offset, offset + want, [&](long long at, const unsigned char* data, std::size_t n) {
        std::memcpy(buffer + (at - offset), data, n);
        return true;
    });
    if (!ok && error) *error = -1;
    return ok ? static_cast<unsigned>(want) : 0;
}

bool CCompressFileReader::Recovery(char* buffer, int capacity, IProgress* sink) {
    if (!buffer || capacity < 1 || !m_runs) return false;
    m_mode = {Mode::kMemory, {}, buffer, capacity, sink};
    const long long want = std::min<long long>(capacity, m_dataSize);
    std::memset(buffer, 0, static_cast<std::size_t>(capacity));
    _PROGRESS_INFO record{};
    record.total = static_cast<std::uint64_t>(GetDataSize());
    return Expand(0, want, [&](long long at, const unsigned char* data, std::size_t n) {
        std::memcpy(buffer + at, data, n);
        record.current = static_cast<std::uint64_t>(at) + n;
        if (sink) sink->UpdateProgress(&record);
        return true;
    });
}

bool CCompressFileReader::Recovery(const char* path, IProgress* sink, bool& resident) {
    if (!path || !m_runs) return false;
    m_mode = {Mode::kFile, path, nullptr, 0, sink};
    if (m_runs->IsResident()) {
        resident = true;
        return true;
    }
    resident = false;
    CDestinationFile file;
    if (!file.Open(path)) return false;
    _PROGRESS_INFO record{};
    record.total = static_cast<std::uint64_t>(GetDataSize());
    constexpr long long kReportEvery = 4 * 1024 * 1024;
    long long reported = 0;
    bool stopped = false, failed = false;
    const bool expanded = Expand(0, m_dataSize, [&](long long at, const unsigned char* data, std::size_t n) {
        if (file.WriteAt(reinterpret_cast<const char*>(data), static_cast<long long>(n), at) !=
            static_cast<long long>(n)) {
            failed = true;
            return false;
        }
        record.current = static_cast<std::uint64_t>(at) + n;
        if (sink && (at + static_cast<long long>(n) - reported >= kReportEvery ||
                     at + static_cast<long long>(n) >= m_dataSize)) {
            reported = at + static_cast<long long>(n);
            sink->UpdateProgress(&record);
            stopped = !sink->Continued();
        }
        return !stopped;
    });
    if (!expanded || failed || stopped) {
        file.Discard();
        m_unreadable = 0; // nothing is left to tell damaged
        return stopped && !failed;
    }
    // A file whose runs end early keeps its size: the rest reads as zeros.
    if (m_dataSize > 0 && static_cast<long long>(record.current) < m_dataSize) {
        const char zero = 0;
        if (file.WriteAt(&zero, 1, m_dataSize - 1) != 1) {
            file.Discard();
            return false;
        }
    }
    return file.Commit();
}

bool CCompressFileReader::DeCompressFile(IDataRunList* runs, long long size) {
    if (!runs || size < 0 || m_mode.kind == Mode::kNone) return false;
    Owned<IDataRunList> copy(runs->Clone());
    if (!copy) return false;
    m_runs = std::move(copy);
    m_dataSize = size;
    // Recovery records the mode again: keep our own copy of it.
    const Mode mode = m_mode;
    if (mode.kind == Mode::kMemory) return Recovery(mode.buffer, mode.capacity, mode.sink);
    bool resident = false;
    return Recovery(mode.path.c_str(), mode.sink, resident) && !resident;
}
