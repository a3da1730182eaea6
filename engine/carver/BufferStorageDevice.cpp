#include "engine/carver/BufferStorageDevice.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

bool CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, unsigned long long firstSector,
                                            unsigned sectorSize, unsigned sectorsPerBlock, unsigned blocks) {
    Close();
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

void CBufferStorageDevice::AddBlockToBuffer(const char* block) {
    if (!m_bInit || !block) return;
    std::memcpy(m_pRing.data() + std::size_t{m_nHead} * m_nSectorSize, block,
                std::size_t{m_nBlockSectors} * m_nSectorSize);
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
    if (!inside) return m_pDevice ? m_pDevice->ReadSector(buffer, firstSector, count) : 0;
    // Until the ring is full its oldest sector sits at position 0; after, at the head.
    const std::uint64_t oldest = m_llHeldSectors == m_nCapacity ? m_nHead : 0;
    const std::uint64_t pos = (static_cast<std::uint64_t>(firstSector) - m_llFirstSector + oldest) % m_nCapacity;
    const std::uint64_t first = std::min<std::uint64_t>(static_cast<std::uint64_t>(count), m_nCapacity - pos);
    auto* out = static_cast<unsigned char*>(buffer);
    std::memcpy(out, m_pRing.data() + pos * m_nSectorSize, first * m_nSectorSize);
    std::memcpy(out + first * m_nSectorSize, m_pRing.data(),
                (static_cast<std::uint64_t>(count) - first) * m_nSectorSize);
    return 1;
}
