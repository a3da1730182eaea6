#include "engine/writer/FileReader.h"

#include "engine/common/FileNode.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"
#include "engine/writer/WriterLog.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace {
// Larger clusters than this exist on no supported file system; a record that
// claims one is damaged.
constexpr std::int64_t kMaxClusterSize = std::int64_t{1} << 30;
} // namespace

CFileReader::CFileReader(const CFileReader& other)
    : IFileReader(other), m_runs(other.m_runs ? other.m_runs->Clone() : nullptr), m_device(other.m_device),
      m_node(other.m_node), m_clusterSize(other.m_clusterSize),
      m_sectorsPerCluster(other.m_sectorsPerCluster), m_dataSize(other.m_dataSize),
      m_clusterOrigin(other.m_clusterOrigin), m_initializedSize(other.m_initializedSize), m_spans(other.m_spans) {}

int CFileReader::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
    if (!device || !node || !partition) {
        WriterLogSite("Open", 38);
        return 0;
    }
    const std::int64_t clusterSize =
        static_cast<std::int64_t>(partition->m_sectorsPerCluster) * partition->GetSectorSize();
    if (clusterSize <= 0 || clusterSize > kMaxClusterSize) {
        WriterLogSite("Open", 54);
        return 0;
    }
    const long long dataSize = node->GetFileSize();
    if (dataSize <= 0) {
        WriterLogSite("Open", 59);
        return 0;
    }
    IDataRunList* runs = node->GetDataRunList();
    if (!runs) {
        WriterLogSite("Open", 65);
        return 0;
    }
    // Our own copy: the node's list has one cursor, and a preview may read
    // the same node while a recovery does.
    Owned<IDataRunList> copy(runs->Clone());
    if (!copy) {
        WriterLogSite("Open", 65);
        return 0;
    }
    m_runs = std::move(copy);
    m_device = device;
    m_node = node;
    m_clusterSize = clusterSize;
    m_sectorsPerCluster = partition->m_sectorsPerCluster;
    m_dataSize = dataSize;
    m_clusterOrigin = partition->m_clusterOrigin;
    m_initializedSize = std::clamp<long long>(node->GetInitializedSize(), 0, dataSize);
    m_spans.clear();
    return 1;
}

void CFileReader::Close() {
    m_node = nullptr;
    m_device = nullptr;
}

IFileReader* CFileReader::Clone() {
    return new CFileReader(*this);
}

long long CFileReader::GetDataSize() const {
    return m_node ? m_dataSize : 0;
}

int CFileReader::IsCompressFile() {
    return m_node ? m_node->IsCompressed() : 0;
}

unsigned CFileReader::ReadData(long long offset, char* buffer, unsigned size, int* error) {
    int read = 0;
    const int length = size > static_cast<unsigned>(INT_MAX) ? INT_MAX : static_cast<int>(size);
    if (!Read(offset, reinterpret_cast<unsigned char*>(buffer), length, read, error)) return 0;
    return static_cast<unsigned>(read);
}

bool CFileReader::Read(long long offset, unsigned char* buffer, int length, int& read, int* error) {
    read = 0;
    if (!buffer || length < 0 || offset < 0) return false;
    if (offset >= m_dataSize) {
        WriterLogSite("Read", 93);
        return false;
    }
    const long long wanted = std::min<long long>(length, m_dataSize - offset);
    if (!m_runs) {
        WriterLogSite("Read", 106);
        return false;
    }
    if (m_runs->IsResident()) return ReadResidentData(offset, buffer, static_cast<int>(wanted), read);
    if (!m_device || m_clusterSize <= 0) return false;

    unsigned sectorSize = m_device->GetSectorSize();
    if (sectorSize == 0) sectorSize = 512;

    // Past the initialized size the file holds zeros, whatever its clusters hold.
    const long long fromRuns = std::clamp<long long>(m_initializedSize - offset, 0, wanted);
    long long remaining = fromRuns;
    long long runStart = 0; // file offset of the current run
    long long pos = offset;
    for (DataRun* run = m_runs->GetFirst(); run && remaining > 0; run = m_runs->GetNext()) {
        if (run->length <= 0) continue;
        long long runBytes = 0, runEnd = 0;
        // Runs come from disk: an overflowing run ends the file here.
        if (__builtin_mul_overflow(run->length, m_clusterSize, &runBytes) ||
            __builtin_add_overflow(runStart, runBytes, &runEnd))
            break;
        if (pos < runEnd) {
            const long long rel = pos - runStart;
            const long long n = std::min(runEnd - pos, remaining);
            if (run->start < 0) {
                // Sparse: the file has no clusters here.
                std::memset(buffer, 0, static_cast<size_t>(n));
            } else {
                long long first = 0;
                const bool bad =
                    __builtin_mul_overflow(run->start, static_cast<long long>(m_sectorsPerCluster), &first) ||
                    __builtin_add_overflow(first, m_clusterOrigin, &first);
                if (bad || !ReadRunBytes(first, rel, buffer, n, sectorSize)) {
                    WriterLogSite("Read", 187);
                    if (error) *error = -1;
                    return false;
                }
            }
            read += static_cast<int>(n);
            buffer += n;
            remaining -= n;
            pos += n;
        }
        runStart = runEnd;
    }
    if (remaining == 0 && wanted > fromRuns) {
        std::memset(buffer, 0, static_cast<size_t>(wanted - fromRuns));
        read += static_cast<int>(wanted - fromRuns);
    }
    return true;
}

const std::vector<std::pair<SpanKind, long long>>& CFileReader::Spans() {
    if (!m_spans.empty() || !m_runs) return m_spans;
    auto add = [this](SpanKind kind, long long end) {
        if (!m_spans.empty() && m_spans.back().first == kind)
            m_spans.back().second = end;
        else
            m_spans.emplace_back(kind, end);
    };
    if (m_runs->IsResident() || !m_device || m_clusterSize <= 0) {
        add(SpanKind::Data, m_dataSize);
        return m_spans;
    }
    unsigned sectorSize = m_device->GetSectorSize();
    if (sectorSize == 0) sectorSize = 512;
    // Bytes at or past the device's end can never be read.
    long long deviceBytes = 0;
    if (__builtin_mul_overflow(static_cast<long long>(std::min<unsigned long long>(m_device->GetTotalSectors(), LLONG_MAX)),
                               static_cast<long long>(sectorSize), &deviceBytes))
        deviceBytes = LLONG_MAX;
    long long runStart = 0;
    Owned<IDataRunList> runs(m_runs->Clone());
    for (DataRun* run = runs ? runs->GetFirst() : nullptr; run && runStart < m_initializedSize; run = runs->GetNext()) {
        if (run->length <= 0) continue;
        long long runBytes = 0, runEnd = 0, first = 0, at = 0;
        if (__builtin_mul_overflow(run->length, m_clusterSize, &runBytes) ||
            __builtin_add_overflow(runStart, runBytes, &runEnd))
            break;
        runEnd = std::min<long long>(runEnd, m_initializedSize);
        if (run->start < 0) {
            add(SpanKind::Hole, runEnd);
        } else if (__builtin_mul_overflow(run->start, static_cast<long long>(m_sectorsPerCluster), &first) ||
                   __builtin_add_overflow(first, m_clusterOrigin, &first) || first < 0 ||
                   __builtin_mul_overflow(first, static_cast<long long>(sectorSize), &at) || at >= deviceBytes) {
            add(SpanKind::Missing, runEnd);
        } else {
            // A run that crosses the device's end is data up to it.
            const long long readable = deviceBytes - at;
            if (runEnd - runStart > readable) {
                add(SpanKind::Data, runStart + readable);
                add(SpanKind::Missing, runEnd);
            } else {
                add(SpanKind::Data, runEnd);
            }
        }
        runStart = runEnd;
    }
    // Runs that end early leave nothing; the initialized size on, zeros.
    if (runStart < m_initializedSize) add(SpanKind::Missing, m_initializedSize);
    if (m_initializedSize < m_dataSize) add(SpanKind::Hole, m_dataSize);
    return m_spans;
}

std::vector<std::pair<long long, long long>> CFileReader::DeviceSectors() {
    std::vector<std::pair<long long, long long>> sectors;
    if (!m_runs || m_runs->IsResident() || !m_device || m_clusterSize <= 0 || m_sectorsPerCluster == 0)
        return sectors;
    unsigned sectorSize = m_device->GetSectorSize();
    if (sectorSize == 0) sectorSize = 512;
    const auto total = static_cast<long long>(std::min<unsigned long long>(m_device->GetTotalSectors(), LLONG_MAX));
    long long runStart = 0;
    Owned<IDataRunList> runs(m_runs->Clone());
    for (DataRun* run = runs ? runs->GetFirst() : nullptr; run && runStart < m_initializedSize; run = runs->GetNext()) {
        if (run->length <= 0) continue;
        long long runBytes = 0, runEnd = 0, first = 0;
        if (__builtin_mul_overflow(run->length, m_clusterSize, &runBytes) ||
            __builtin_add_overflow(runStart, runBytes, &runEnd))
            break;
        runEnd = std::min<long long>(runEnd, m_initializedSize);
        if (run->start >= 0 && !__builtin_mul_overflow(run->start, static_cast<long long>(m_sectorsPerCluster), &first) &&
            !__builtin_add_overflow(first, m_clusterOrigin, &first) && first >= 0 && first < total) {
            const long long count = (runEnd - runStart + sectorSize - 1) / sectorSize;
            const long long end = count > total - first ? total : first + count;
            if (!sectors.empty() && sectors.back().second == first)
                sectors.back().second = end;
            else
                sectors.emplace_back(first, end);
        }
        runStart = runEnd;
    }
    return sectors;
}

DataSpan CFileReader::SpanAt(long long offset) {
    const auto& spans = Spans();
    const auto it = std::upper_bound(spans.begin(), spans.end(), offset,
                                     [](long long o, const std::pair<SpanKind, long long>& s) { return o < s.second; });
    if (it == spans.end()) return {SpanKind::Missing, std::max<long long>(m_dataSize, offset + 1)};
    return {it->first, it->second};
}

bool CFileReader::ReadRunBytes(long long firstSector, long long rel, unsigned char* buffer, long long n,
                               unsigned sectorSize) {
    long long sector = 0;
    if (firstSector < 0 || __builtin_add_overflow(firstSector, rel / sectorSize, &sector)) return false;
    const long long skip = rel % sectorSize;
    std::vector<unsigned char> edge;
    // A partial first sector.
    if (skip != 0) {
        edge.resize(sectorSize);
        if (!m_device->ReadSector(edge.data(), sector, 1)) return false;
        const long long take = std::min<long long>(sectorSize - skip, n);
        std::memcpy(buffer, edge.data() + skip, static_cast<size_t>(take));
        buffer += take;
        n -= take;
        ++sector;
    }
    // Whole sectors straight into the caller's buffer.
    if (n >= sectorSize) {
        const long long count = n / sectorSize;
        if (!m_device->ReadSector(buffer, sector, count)) return false;
        buffer += count * sectorSize;
        n -= count * sectorSize;
        sector += count;
    }
    // A partial last sector.
    if (n > 0) {
        edge.resize(sectorSize);
        if (!m_device->ReadSector(edge.data(), sector, 1)) return false;
        std::memcpy(buffer, edge.data(), static_cast<size_t>(n));
    }
    return true;
}

bool CFileReader::ReadResidentData(long long offset, unsigned char* buffer, int length, int& read) {
    unsigned held = 0;
    if (m_node && m_node->ReadHeldData(offset, reinterpret_cast<char*>(buffer), static_cast<unsigned>(length), held)) {
        if (held == 0) return false;
        read = static_cast<int>(std::min<unsigned>(held, static_cast<unsigned>(length)));
        return true;
    }
    if (!HasResidentReader() || !m_node) return false;
    const unsigned got = ::ReadResidentData(m_device, m_node, offset, reinterpret_cast<char*>(buffer),
                                            static_cast<unsigned>(length));
    if (got == 0) return false;
    read = static_cast<int>(std::min<unsigned>(got, static_cast<unsigned>(length)));
    return true;
}
