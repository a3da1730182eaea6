#include "engine/carver/BufferStorageDevice.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

bool CBufferStorageDevice::InitBufferDevice(IStorageDevice* device, unsigned long long firstSector,
                                            unsigned sectorSize, unsigned sectorsPerBlock, unsigned blocks,
                                            std::size_t marginBytes) {
    Close();
    m_ullHits = 0;
    m_pDevice = device;
    m_nSectorSize = sectorSize ? sectorSize : 512;
    m_llBaseSector = m_llFirstSector = firstSector;
    const std::uint64_t capacity = std::uint64_t{sectorsPerBlock} * blocks;
    if (capacity == 0 || capacity > std::numeric_limits<unsigned>::max() - sectorsPerBlock ||
        capacity > (std::uint64_t{1} << 40) / m_nSectorSize || marginBytes > (std::size_t{1} << 30))
        return false;
    m_nBlockSectors = sectorsPerBlock;
    // The newest block's copy, one slot per block held, the free one and the
    // one after it, the margin.
    const std::size_t bytes = BlockBytes() * (std::size_t{blocks} + 3) + marginBytes;
    void* area = nullptr;
    if (posix_memalign(&area, 4096, bytes) != 0) return false;
    m_area.reset(static_cast<unsigned char*>(area));
    // Only the margin is cleared here: the slots and the newest block's copy
    // are always written before they are read, and their pages are mapped as
    // they are first written. (Huge pages, and mapping the whole area ahead
    // on a thread of its own, made cold scans slower where memory handed back
    // to a virtual machine's host must be fetched again: a huge page always
    // came from that memory, small pages seldom did.)
    std::memset(static_cast<unsigned char*>(area) + bytes - marginBytes, 0, marginBytes);
    try {
        m_hidden.assign(std::min(marginBytes, BlockBytes()), 0);
    } catch (const std::bad_alloc&) {
        m_area.reset();
        return false;
    }
    m_nBlocks = blocks;
    m_nMarginBytes = marginBytes;
    m_unreadable.assign(Slots(), false);
    m_nCapacity = static_cast<unsigned>(capacity);
    m_bInit = 1;
    return true;
}

CBufferStorageDevice::~CBufferStorageDevice() { Close(); }

int CBufferStorageDevice::Close() {
    m_area.reset();
    m_hidden = {};
    m_hiddenSlot = -1;
    m_llHeldSectors = 0;
    m_ullCommitted = 0;
    m_nCapacity = 0;
    m_bInit = 0;
    return 1;
}

unsigned char* CBufferStorageDevice::PrepareFreeSlot(bool newestBefore) {
    if (!m_bInit) return nullptr;
    const std::uint64_t slots = Slots();
    const std::uint64_t free = m_ullCommitted % slots;
    unsigned char* at = Slot(free);
    // The slots wrapped around: the newest block, in the last slot, is copied
    // before the first.
    if (newestBefore && free == 0 && m_ullCommitted > 0) std::memcpy(m_area.get(), Slot(slots - 1), BlockBytes());
    RestoreAfterFreeSlot();
    if (free + 1 < slots && !m_hidden.empty()) {
        unsigned char* after = Slot(free + 1);
        std::memcpy(m_hidden.data(), after, m_hidden.size());
        std::memset(after, 0, m_hidden.size());
        m_hiddenSlot = static_cast<long long>(free + 1);
    }
    return at;
}

unsigned char* CBufferStorageDevice::NextFreeSlot() {
    return m_bInit ? Slot((m_ullCommitted + 1) % Slots()) : nullptr;
}

void CBufferStorageDevice::RestoreAfterFreeSlot() {
    if (m_hiddenSlot < 0) return;
    std::memcpy(Slot(static_cast<std::uint64_t>(m_hiddenSlot)), m_hidden.data(), m_hidden.size());
    m_hiddenSlot = -1;
}

void CBufferStorageDevice::CommitFreeSlot(bool readable) {
    if (!m_bInit) return;
    RestoreAfterFreeSlot();
    const std::uint64_t free = m_ullCommitted % Slots();
    if (!readable) std::memset(Slot(free), 0, BlockBytes());
    m_unreadable[free] = !readable;
    ++m_ullCommitted;
    if (m_llHeldSectors < m_nCapacity)
        m_llHeldSectors += m_nBlockSectors;
    else
        m_llFirstSector += m_nBlockSectors;
}

void CBufferStorageDevice::AddBlockToBuffer(const char* block, bool readable) {
    if (!m_bInit || (!block && readable)) return;
    unsigned char* at = PrepareFreeSlot(false);
    if (readable) std::memcpy(at, block, BlockBytes());
    CommitFreeSlot(readable);
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
    bool held = inside;
    for (unsigned long long s = inside ? static_cast<unsigned long long>(firstSector) : 0;
         held && s < static_cast<unsigned long long>(firstSector + count);
         s += m_nBlockSectors - (s - m_llBaseSector) % m_nBlockSectors) {
        const std::uint64_t slot = SlotOf(s);
        held = !m_unreadable[slot] && static_cast<long long>(slot) != m_hiddenSlot;
    }
    if (!held) return m_pDevice ? m_pDevice->ReadSector(buffer, firstSector, count) : 0;
    ++m_ullHits;
    auto* out = static_cast<unsigned char*>(buffer);
    for (unsigned long long s = static_cast<unsigned long long>(firstSector),
                            end = static_cast<unsigned long long>(firstSector + count);
         s < end;) {
        const unsigned long long within = (s - m_llBaseSector) % m_nBlockSectors;
        const unsigned long long n = std::min<unsigned long long>(m_nBlockSectors - within, end - s);
        std::memcpy(out, Slot(SlotOf(s)) + within * m_nSectorSize, n * m_nSectorSize);
        out += n * m_nSectorSize;
        s += n;
    }
    return 1;
}
