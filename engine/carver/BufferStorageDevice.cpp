#include "engine/carver/BufferStorageDevice.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

bool CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, unsigned long long firstSector,
                                            unsigned sectorSize, unsigned sectorsPerBlock, unsigned blocks) {
    Close();
    m_ullHits = 0;
    m_pDevice = device;
    m_nSectorSize = sectorSize ? sectorSize : 512;
    m_llFirstSector = firstSector;
    const std::uint64_t capacity = std::uint64_t{sectorsPerBlock} * blocks;
    if (capacity == 0 || capacity > std::numeric_limits<unsigned>::max() ||
        capacity > (std::uint64_t{1} << 40) / m_nSectorSize)
        return false;
    try {
        m_pRing.assign(capacity * m_nSectorSize, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_nBlockSectors = sectorsPerBlock;
    m_nBlocks = blocks;
    m_unreadable.assign(blocks, false);
    m_nCapacity = static_cast<unsigned>(capacity);
    m_bInit = 1;
    return true;
}

int CBufferStorageDevice::Close() {
    m_pRing = {};
    m_llHeldSectors = 0;
    m_nHead = 0;
    m_nCapacity = 0;
    m_bInit = 0;
    return 1;
}

void CBufferStorageDevice::AddBlockToBuffer(const char* block, bool readable) {
    if (!m_bInit || (!block && readable)) return;
    unsigned char* at = m_pRing.data() + std::size_t{m_nHead} * m_nSectorSize;
    const std::size_t bytes = std::size_t{m_nBlockSectors} * m_nSectorSize;
    if (readable)
        std::memcpy(at, block, bytes);
    else
        std::memset(at, 0, bytes);
    m_unreadable[m_nHead / m_nBlockSectors] = !readable;
    m_nHead = static_cast<unsigned>((std::uint64_t{m_nHead} + m_nBlockSectors) % m_nCapacity);
    if (m_llHeldSectors < m_nCapacity)
        m_llHeldSectors += m_nBlockSectors;
    else
        m_llFirstSector += m_nBlockSectors;
}

unsigned long long CBufferStorageDevice::GetTotalSectors() {
    return m_pDevice ? m_pDevice->GetTotalSectors() : m_llFirstSector + m_llHeldSectors;
}

int CBufferStorageDevice::ReadSector(void* buffer, long long firstSector, long long count) {
    if (!m_bInit) return 0;
    const bool inside = buffer && firstSector >= 0 && count > 0 &&
                        static_cast<unsigned long long>(firstSector) >= m_llFirstSector &&
                        static_cast<unsigned long long>(count) <= m_llHeldSectors &&
                        static_cast<unsigned long long>(firstSector) - m_llFirstSector <=
                            m_llHeldSectors - static_cast<unsigned long long>(count);
    // Until the ring is full its oldest sector sits at position 0; after, at the head.
    const std::uint64_t oldest = m_llHeldSectors == m_nCapacity ? m_nHead : 0;
    const std::uint64_t pos =
        inside ? (static_cast<std::uint64_t>(firstSector) - m_llFirstSector + oldest) % m_nCapacity : 0;
    if (!inside || TouchesUnreadable(pos, static_cast<std::uint64_t>(count)))
        return m_pDevice ? m_pDevice->ReadSector(buffer, firstSector, count) : 0;
    const std::uint64_t first = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m_nCapacity - pos);
    ++m_ullHits;
    auto* out = static_cast<unsigned char*>(buffer);
    std::memcpy(out, m_pRing.data() + pos * m_nSectorSize, first * m_nSectorSize);
    std::memcpy(out + first * m_nSectorSize, m_pRing.data(),
                (static_cast<std::uint64_t>(count) - first) * m_nSectorSize);
    return 1;
}

bool CBufferStorageDevice::TouchesUnreadable(std::uint64_t pos, std::uint64_t count) const {
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t p = (pos + done) % m_nCapacity;
        if (m_unreadable[p / m_nBlockSectors]) return true;
        done += m_nBlockSectors - p % m_nBlockSectors; // on to the next block
    }
    return false;
}
