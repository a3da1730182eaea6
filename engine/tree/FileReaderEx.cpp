#include "engine/tree/FileReaderEx.h"

#include "engine/common/FileNode.h"
#include "engine/include/FactoryRegistry.h"
#include "engine/include/Owned.h"
#include "engine/include/SearchedPartitionInfo.h"
#include "engine/include/StorageDevice.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace {
// No file system this reader serves has larger clusters.
constexpr long long kMaxClusterBytes = 64LL * 1024 * 1024;
} // namespace

bool CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, long long clusterOrigin,
                         unsigned sectorsPerCluster) {
    if (!device || !node) return false;
    const long long clusterBytes = static_cast<long long>(device->GetSectorSize()) * sectorsPerCluster;
    if (clusterBytes <= 0 || clusterBytes > kMaxClusterBytes) return false;
    if (node->GetFileSize() <= 0 || !node->GetDataRunList()) return false;
    m_device = device;
    m_node = node;
    m_clusterBytes = clusterBytes;
    m_sectorsPerCluster = sectorsPerCluster;
    m_fileSize = node->GetFileSize();
    m_origin = clusterOrigin;
    m_cluster.assign(static_cast<std::size_t>(clusterBytes), 0);
    return true;
}

bool CFileReaderEx::Open(IStorageDevice* device, CFileNode* node, CSearchedPartitionInfo* partition) {
    if (!partition) return false;
    return Open(device, node, partition->m_clusterOrigin, partition->m_sectorsPerCluster);
}

bool CFileReaderEx::Read(long long offset, std::uint8_t* out, unsigned size, unsigned& read) {
    read = 0;
    if (!m_node || !out || offset < 0 || offset >= m_fileSize) return false;
    size = static_cast<unsigned>(std::min<long long>(size, m_fileSize - offset));
    IDataRunList* runs = m_node->GetDataRunList();
    if (!runs) return false;
    if (runs->IsResident()) return ReadResidentData(offset, out, size, read);

    Owned<IDataRunList> walk(runs->Clone());
    if (!walk) return false;
    const unsigned long long total = m_device->GetTotalSectors();
    long long vcn = 0; // first cluster of the run in the file
    for (DataRun* r = walk->GetFirst(); r && read < size; r = walk->GetNext()) {
        if (r->length <= 0) continue;
        for (;;) {
            const long long pos = offset + read, cluster = pos / m_clusterBytes;
            if (read >= size || cluster - vcn >= r->length) break;
            if (cluster < vcn) return false; // runs out of order
            if (r->start < 0) {
                std::fill(m_cluster.begin(), m_cluster.end(), 0);
            } else {
                long long sector = 0;
                const long long spc = m_sectorsPerCluster;
                if (__builtin_add_overflow(r->start, cluster - vcn, &sector) ||
                    __builtin_mul_overflow(sector, spc, &sector) || __builtin_add_overflow(sector, m_origin, &sector) ||
                    sector < 0 || static_cast<unsigned long long>(sector) > total ||
                    total - static_cast<unsigned long long>(sector) < static_cast<unsigned long long>(spc) ||
                    !m_device->ReadSector(m_cluster.data(), sector, spc))
                    return false;
            }
            const long long within = pos % m_clusterBytes;
            const unsigned n = static_cast<unsigned>(std::min<long long>(m_clusterBytes - within, size - read));
            std::memcpy(out + read, m_cluster.data() + within, n);
            read += n;
        }
        if (__builtin_add_overflow(vcn, r->length, &vcn)) break;
    }
    return true;
}

bool CFileReaderEx::ReadResidentData(long long offset, std::uint8_t* out, unsigned size, unsigned& read) {
    read = 0;
    if (m_node && out && m_node->ReadHeldData(offset, reinterpret_cast<char*>(out), size, read)) {
        read = std::min(read, size);
        return read > 0;
    }
    if (!HasResidentReader() || !m_node || !out) return false;
    const unsigned got = ::ReadResidentData(m_device, m_node, offset, reinterpret_cast<char*>(out), size);
    if (got == 0) return false;
    read = std::min(got, size);
    return true;
}
