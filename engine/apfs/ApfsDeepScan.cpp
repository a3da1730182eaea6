#include "engine/apfs/ApfsDeepScan.h"

#include "engine/apfs/ApfsFileNode.h"
#include "engine/common/Bytes.h"
#include "engine/include/BlockView.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace apfs {

namespace {
constexpr long long kRootFolderId = 2; // the parent of a volume's top entries

std::uint64_t SaturatingMul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r = 0;
    return __builtin_mul_overflow(a, b, &r) ? UINT64_MAX : r;
}
} // namespace

APFSDeepScan::APFSDeepScan() : m_buffer(kGroupBlocks * kBlockSize, 0) {}

// The readers release their references to the nodes; nodes the tree builder
// still holds live on until the builder goes.
APFSDeepScan::~APFSDeepScan() = default;

void APFSDeepScan::SetDevice(IStorageDevice* device) {
    m_device = device;
    const unsigned s = device ? device->GetSectorSize() : 0;
    m_sectorSize = s >= 1 ? s : 512;
}

bool APFSDeepScan::IsContinue() { return !m_sink || m_sink->Continued() != 0; }

int APFSDeepScan::AddFileNode(APFSFileNode* node) {
    if (node->Has(APFSFileNode::kDelivered)) return 0;
    node->Set(APFSFileNode::kDelivered);
    if (!m_builder) return 0;
    // The builder's own reference; a refused node is not its.
    node->AddRef();
    if (m_builder->AddNode(node, SEARCHER_APFS)) return 1;
    node->Release();
    return 0;
}

int APFSDeepScan::ReadBlocks(APFSContainerReader* reader, std::uint64_t block, int byteCount, std::uint8_t* buffer) {
    const std::uint64_t s = m_sectorSize;
    // A 4096-byte block must be whole sectors.
    if (!m_device || byteCount <= 0 || s > kBlockSize || kBlockSize % s != 0) return 0;
    const std::uint64_t start = reader ? reader->StartSector() : 0;
    std::uint64_t offset = 0, sector = 0;
    if (__builtin_mul_overflow(block, kBlockSize / s, &offset) || __builtin_add_overflow(start, offset, &sector) ||
        sector > static_cast<std::uint64_t>(INT64_MAX))
        return 0;
    const auto count = static_cast<long long>(static_cast<std::uint64_t>(byteCount) / s);
    if (count == 0) return 0;
    const std::uint64_t total = m_device->GetTotalSectors();
    if (sector >= total || total - sector < static_cast<std::uint64_t>(count)) return 0;
    return m_device->ReadSector(buffer, static_cast<long long>(sector), count);
}

std::unique_ptr<APFSContainerReader> APFSDeepScan::NewReader(std::uint32_t index, std::uint64_t startSector) {
    auto reader = std::make_unique<APFSContainerReader>(this, index, startSector);
    reader->SetSectorSize(m_sectorSize);
    if (m_containers.empty() && m_builder) m_builder->AddSearcherInfo(SEARCHER_APFS, kRootFolderId);
    return reader;
}

bool APFSDeepScan::ClaimContainer(std::uint64_t sector, Block data) {
    if (!IsContainerSuperblock(data)) return false;
    // A copy in the checkpoint area of a container already read.
    for (const auto& [key, r] : m_containers)
        if (sector - r->StartSector() < r->RangeSectors() &&
            std::memcmp(r->Uuid().data(), data.data() + nx::kUuid, r->Uuid().size()) == 0)
            return true;
    if (m_containers.count(sector)) return true;
    auto reader = NewReader(static_cast<std::uint32_t>(m_containers.size()), sector);
    APFSContainerReader* r = reader.get();
    m_containers.emplace(sector, std::move(reader));
    r->ReadContainer();
    return true;
}

bool APFSDeepScan::ClaimLoneVolume(std::uint64_t sector, Block data) {
    if (!m_containers.empty() || bytes::Le32(data, apsb::kMagic) != apsb::kMagicValue) return false;
    auto reader = NewReader(0, 0);
    APFSContainerReader* r = reader.get();
    m_containers.emplace(sector, std::move(reader));
    r->ReadLoneVolume(SaturatingMul(sector, m_sectorSize) / kBlockSize, m_device ? m_device->GetTotalSectors() : 0);
    // Whatever the scan finds for it later is older than its live tree.
    r->SetHistory();
    return true;
}

void APFSDeepScan::AnalyzeOne(std::uint64_t block, Block data) {
    if (!PassesObjectHeader(data)) return;
    const std::uint64_t sector = SaturatingMul(block, kBlockSize) / m_sectorSize;
    if (ClaimContainer(sector, data) || ClaimLoneVolume(sector, data)) return;
    for (auto& [key, reader] : m_containers) {
        if (!IsContinue()) return;
        reader->AnalyzeStaleNode(sector, block, data);
    }
}

int APFSDeepScan::AnalyzeBlock(long long firstSector, long long sectorCount) {
    if (!m_device || firstSector < 0 || sectorCount <= 0) return 1;
    const unsigned __int128 s = m_sectorSize;
    const auto first = static_cast<std::uint64_t>(firstSector * s / kBlockSize);
    auto end = static_cast<std::uint64_t>((static_cast<unsigned __int128>(firstSector) + sectorCount) * s / kBlockSize);
    // Only blocks that exist are read: a group reaching past the device end
    // would fail whole and leave its first blocks untested.
    end = std::min<std::uint64_t>(end, SaturatingMul(m_device->GetTotalSectors(), m_sectorSize) / kBlockSize);
    if (IsContinue() && first < end) {
        for (std::uint64_t b = first; b < end; b += kGroupBlocks) {
            const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(kGroupBlocks, end - b));
            // Blocks are examined in place where the device lends them.
            const bool whole = m_sectorSize > 0 && m_sectorSize <= kBlockSize && kBlockSize % m_sectorSize == 0;
            const std::uint8_t* data =
                whole ? ViewSectors(m_device, static_cast<long long>(b * (kBlockSize / m_sectorSize)),
                                    static_cast<long long>(n * (kBlockSize / m_sectorSize)))
                      : nullptr;
            if (!data && !ReadBlocks(nullptr, b, static_cast<int>(n * kBlockSize), m_buffer.data())) continue;
            if (!IsContinue()) continue;
            if (!data) data = m_buffer.data();
            for (std::size_t i = 0; i < n; ++i) {
                AnalyzeOne(b + i, Block(data + i * kBlockSize, kBlockSize));
                if (!IsContinue()) break;
            }
            if (!IsContinue()) break;
        }
    }
    for (auto& [key, reader] : m_containers) {
        if (!IsContinue()) break;
        reader->FlushPendingNodes(static_cast<long long>(std::min<std::uint64_t>(end, INT64_MAX)));
    }
    return 1;
}

void APFSDeepScan::EndSearch(int build) {
    if (build == 0 || m_containers.empty() || !m_builder) return;
    for (auto& [key, reader] : m_containers) reader->FlushPendingNodes(-1);
    m_builder->SetPartitonDevice(nullptr, m_device);
    m_builder->FlashBuild(SEARCHER_APFS);
}

int APFSDeepScan::GetSearchedPartitionInfo(CSearchedPartitionInfo** records, int n) {
    // The number of containers, whatever the array holds: a caller with too
    // small an array asks again for them all.
    const int count = static_cast<int>(std::min<std::size_t>(m_containers.size(), INT32_MAX));
    if (!records || n < count) return count;
    int filled = 0;
    for (const auto& [key, reader] : m_containers) {
        auto* p = new CSearchedPartitionInfo(m_sectorSize);
        p->m_partitionIndex = static_cast<std::uint16_t>(filled);
        p->m_fileSystemType = FS_APFS;
        p->m_sectorsPerCluster = 1;
        p->m_clusterOrigin = static_cast<std::int64_t>(reader->StartSector());
        p->m_startSector = static_cast<std::int64_t>(reader->StartSector());
        p->SetTotalSectors(reader->RangeSectors());
        records[filled++] = p;
    }
    return filled;
}

ICompleteFileSystemSearchController* CreateAPFSDeepSearcher() { return new APFSDeepScan; }

IQuickFileSystemSearchController* CreateAPFSQuickSearcher() { return nullptr; }

} // namespace apfs
