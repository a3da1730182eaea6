#include "engine/carver/RawFileBuffer.h"

#include "engine/carver/NotifyCenter.h"
#include "engine/carver/RawFileInfo.h"

#include <algorithm>
#include <limits>

RawFileBuffer::RawFileBuffer(IStorageDevice* device, unsigned long long startSector)
    : m_pDevice(device), m_llStartSector(startSector) {
    const unsigned size = device ? device->GetSectorSize() : 0;
    m_nSectorSize = size ? size : 512;
    m_nPageBytes = device ? kPageSectors * m_nSectorSize : 65536;
    m_nPageSize = std::size_t{m_nPageBytes} + m_nSectorSize;
    m_page.reset(new unsigned char[m_nPageSize]);
}

bool RawFileBuffer::Load(unsigned long long sector) {
    m_llPageSector = kNone;
    m_nHeldBytes = 0;
    if (!m_pDevice) return false;
    const unsigned long long total = m_pDevice->GetTotalSectors();
    if (sector >= total || m_llStartSector >= total - sector) return false;
    const unsigned long long first = m_llStartSector + sector;
    if (first > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) return false;
    const unsigned long long whole = kPageSectors + 1;
    // Near the device's end the full page cannot be read: read what remains.
    const unsigned long long rest = std::min(whole, total - first);
    unsigned long long got = 0;
    // Each candidate sized loads a page: it is filled by the read, and
    // zeroed only past what a short read leaves.
    if (m_pDevice->ReadSector(m_page.get(), static_cast<long long>(first), static_cast<long long>(whole)))
        got = whole;
    else if (rest < whole &&
             (std::fill(m_page.get(), m_page.get() + m_nPageSize, 0),
              m_pDevice->ReadSector(m_page.get(), static_cast<long long>(first), static_cast<long long>(rest))))
        got = rest;
    if (got == 0) {
        // A bad sector costs what lies from it on: the page holds the
        // sectors before the first that fails, found by halving.
        unsigned long long good = 0, bad = rest; // [0, good) reads, [0, bad) does not
        while (bad - good > 1) {
            const unsigned long long mid = good + (bad - good) / 2;
            if (m_pDevice->ReadSector(m_page.get(), static_cast<long long>(first), static_cast<long long>(mid)))
                good = mid;
            else
                bad = mid;
        }
        std::fill(m_page.get(), m_page.get() + m_nPageSize, 0);
        if (good > 0 && m_pDevice->ReadSector(m_page.get(), static_cast<long long>(first), static_cast<long long>(good)))
            got = good;
    }
    if (got == 0) {
        std::fill(m_page.get(), m_page.get() + m_nPageSize, 0);
        return false;
    }
    m_llPageSector = sector;
    m_nHeldBytes = static_cast<std::size_t>(got * m_nSectorSize);
    std::fill(m_page.get() + m_nHeldBytes, m_page.get() + m_nPageSize, 0);
    return true;
}

const unsigned char* RawFileBuffer::GetRawFileBuffer(unsigned long long offset) {
    if (!CNotifyCenter::Instance().isContinue()) return nullptr;
    const unsigned long long pageSector = offset / m_nPageBytes * kPageSectors;
    if (pageSector != m_llPageSector && !Load(pageSector)) return nullptr;
    // A short last page ends at the device's end.
    if (offset % m_nPageBytes >= m_nHeldBytes) return nullptr;
    return m_page.get() + offset % m_nPageBytes;
}

const unsigned char* RawFileBuffer::Fetch(unsigned long long offset, std::size_t n) {
    if (!CNotifyCenter::Instance().isContinue()) return nullptr;
    if (n > m_nPageSize - m_nSectorSize) return nullptr;
    const auto covers = [&] {
        if (m_llPageSector == kNone) return false;
        const unsigned long long base = m_llPageSector * m_nSectorSize;
        return offset >= base && offset - base <= m_nHeldBytes && m_nHeldBytes - (offset - base) >= n;
    };
    if (!covers() && (!Load(offset / m_nSectorSize) || !covers())) return nullptr;
    return m_page.get() + (offset - m_llPageSector * m_nSectorSize);
}

std::optional<RawFileRoom> RoomOf(IStorageDevice* device, long long startSector, unsigned minSector) {
    if (!device || startSector < 0) return std::nullopt;
    RawFileRoom r;
    r.start = static_cast<unsigned long long>(startSector);
    r.sectorSize = device->GetSectorSize();
    const unsigned long long total = device->GetTotalSectors();
    if (r.sectorSize == 0 || r.sectorSize < minSector || total <= r.start) return std::nullopt;
    r.room = (total - r.start) * r.sectorSize;
    return r;
}

std::optional<RawFileRoom> RoomOf(const CRawFileInfo& record, IStorageDevice* device, unsigned minSector) {
    return RoomOf(device, record.m_llStartSector, minSector);
}
