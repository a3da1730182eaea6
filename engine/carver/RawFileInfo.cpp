#include "engine/carver/RawFileInfo.h"

#include "engine/carver/RawUtility.h"

#include <algorithm>
#include <cstring>

CRawWindow::CRawWindow(const std::uint8_t* begin, const std::uint8_t* end, const std::uint8_t* sector,
                       std::uint64_t bytesToDeviceEnd)
    : m_deviceBytes(bytesToDeviceEnd) {
    const auto b = reinterpret_cast<std::uintptr_t>(begin);
    const auto e = reinterpret_cast<std::uintptr_t>(end);
    const auto s = reinterpret_cast<std::uintptr_t>(sector);
    if (begin && sector && b <= s && s <= e) {
        m_begin = begin;
        m_size = e - b;
        m_sector = sector;
    }
}

bool CRawWindow::Holds(const std::uint8_t* sector) const {
    const auto b = reinterpret_cast<std::uintptr_t>(m_begin);
    const auto s = reinterpret_cast<std::uintptr_t>(sector);
    return m_begin && sector && b <= s && s - b < m_size;
}

bytes::Bytes CRawWindow::From(long long offset) const {
    if (!m_sector) return {};
    const std::size_t at = static_cast<std::size_t>(m_sector - m_begin);
    std::size_t pos;
    if (offset < 0) {
        const std::uint64_t back = static_cast<std::uint64_t>(-(offset + 1)) + 1;
        if (back > at) return {};
        pos = at - static_cast<std::size_t>(back);
    } else {
        if (static_cast<std::uint64_t>(offset) > m_size - at) return {};
        pos = at + static_cast<std::size_t>(offset);
    }
    return bytes::Bytes(m_begin + pos, m_size - pos);
}

bytes::Bytes CRawWindow::At(long long offset, std::size_t n) const {
    const bytes::Bytes rest = From(offset);
    if (rest.size() < n || (n > 0 && rest.empty())) return {};
    return rest.first(n);
}

CRawFileInfo::SearchContext CRawFileInfo::SearchContext::For(const std::uint8_t* sector, std::size_t bytes,
                                                             long long windowStart, long long windowEnd,
                                                             const CRawWindow* window) {
    SearchContext c;
    c.m_llWindowStart = windowStart;
    c.m_llWindowEnd = windowEnd;
    c.m_Window = window ? *window : CRawWindow::Sector(sector, bytes);
    if (bytes >= 4 && sector[0] == 0 && sector[1] == 0 && sector[2] == 0 && sector[3] == 0) c.m_nLeadingZero = 4;
    for (std::size_t end = bytes; end >= 4 && c.m_nTrailingZero < 32; end -= 4) {
        const std::uint8_t* w = sector + end - 4;
        if (w[0] | w[1] | w[2] | w[3]) break;
        c.m_nTrailingZero += 4;
    }
    return c;
}

std::string CRawFileInfo::GetRawFileName() {
    m_strFileName = ApiStrFilterBadFileName(m_strFileName);
    return m_strFileName;
}

void CRawFileInfo::SetRawFileName(const std::string& name) { m_strFileName = ApiStrFilterBadFileName(name); }

void CRawFileInfo::GetRawFileTagAndValue(RAW_FILE_TAG& tag, std::string& value) const {
    tag = m_eTag;
    value = ApiStrFilterBadFileName(m_strTagValue);
}

void CRawFileInfo::SetRawFileTagAndValue(RAW_FILE_TAG tag, const std::string& value) {
    m_eTag = tag;
    m_strTagValue = ApiStrFilterBadFileName(value);
}

CRawWindow CRawFileInfo::WindowAt(const unsigned char* sector) const {
    if (m_Window.SectorPtr() == sector) return m_Window;
    return CRawWindow::Sector(sector, 512);
}

void CZeroEndRawFileInfo::SetEndMark(const void* mark, std::size_t length) {
    m_nEndMarkLen = static_cast<unsigned short>(std::min(length, kEndMarkBytes));
    std::memset(m_szEndMark, 0, sizeof m_szEndMark);
    if (mark) std::memcpy(m_szEndMark, mark, m_nEndMarkLen);
}

bool CZeroEndRawFileInfo::Grow(std::uint64_t n) {
    // Checked before adding, so a cap near 2^64 cannot wrap the size.
    if (m_ullFileSize > m_ullMaxSize || n > m_ullMaxSize - m_ullFileSize) {
        m_ullFileSize = m_ullMaxSize;
        return true;
    }
    m_ullFileSize += n;
    return false;
}

int CZeroEndRawFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long, SearchContext& context) {
    if (!sector || sectorBytes <= 0) return 2;
    const std::size_t bytes = static_cast<std::size_t>(sectorBytes);
    // The cap holds while counting too: a file that never reaches a zero
    // tail ends at its cap rather than growing with the device.
    if (m_ullFileSize < m_ullNextCheck || context.m_nTrailingZero == 0) return Grow(bytes) ? 1 : 2;
    std::size_t data;
    if (context.m_nTrailingZero < 32) {
        data = bytes - std::min<std::size_t>(context.m_nTrailingZero, bytes);
    } else {
        // Zero words may sit inside the data too, so no bisection: the data
        // ends at the last non-zero byte.
        data = bytes;
        while (data > 0 && sector[data - 1] == 0) --data;
    }
    if (Grow(data)) return 1;
    if (m_nEndMarkLen == 0) return 1;
    return CheckEndMark(sector, bytes);
}

int CZeroEndRawFileInfo::CheckEndMark(const unsigned char* sector, std::size_t sectorBytes) {
    const std::size_t len = std::min<std::size_t>(m_nEndMarkLen, kEndMarkBytes);
    const std::size_t p = static_cast<std::size_t>(m_ullFileSize % sectorBytes);
    const std::size_t from = p > len ? p - len : 0;
    const std::size_t to = std::min(p + len, sectorBytes);
    for (std::size_t j = from; j < to && j + len <= sectorBytes; ++j) {
        if (std::memcmp(sector + j, m_szEndMark, len) == 0) {
            // A marker running into the zero tail may pass the cap: the cap wins.
            m_ullFileSize = std::min<std::uint64_t>(m_ullFileSize - p + j + len, m_ullMaxSize);
            return 1;
        }
    }
    // Go on from this sector's end: the size and the next check both move
    // there, so the following sector is examined, not just counted.
    const std::uint64_t sectorEnd = m_ullFileSize - p + sectorBytes;
    m_ullFileSize = std::min<std::uint64_t>(sectorEnd, m_ullMaxSize);
    m_ullNextCheck = m_ullFileSize;
    return m_ullFileSize == m_ullMaxSize ? 1 : 2;
}
