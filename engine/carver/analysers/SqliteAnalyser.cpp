#include "engine/carver/analysers/SqliteAnalyser.h"

#include "engine/carver/RawUtility.h"
#include "engine/carver/analysers/PictureWindow.h"
#include "engine/common/TextConvert.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using bytes::Bytes;

bool Has(Bytes b, const char* text) {
    return Apimemstr(b.data(), static_cast<long long>(b.size()), reinterpret_cast<const unsigned char*>(text),
                     static_cast<long long>(std::strlen(text))) != nullptr;
}

} // namespace

namespace BruteForce {

int CFCPEvtAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    const Bytes head = info.WindowAt(sector).At(0, 110);
    if (head.empty() || std::memcmp(head.data(), "SQLite format 3", 15) != 0) return 0;
    const unsigned pageSize = bytes::Be16(head, 16);
    if (pageSize == 0 || pageSize % 1024 != 0 || head[59] > 3) return 0;
    info.m_eRawFileType = kFcpType;
    return 1;
}

bool CFCPEvtFileInfo::PageInformation(Bytes head) {
    if (head.empty()) return false;
    m_nPageSize = bytes::Be16(head, 16);
    m_nPages = bytes::Be32(head, 28);
    m_nFreelistPages = bytes::Be32(head, 36);
    m_nFirstCell = bytes::Be16(head, 108);
    m_nCellContent = bytes::Be16(head, 105);
    return m_nPageSize != 0;
}

void CFCPEvtFileInfo::JudeMuseSuffix(const SearchContext& context, long long s, int ss) {
    const long long base = (s - m_llStartSector) * ss;
    m_bSuffixPending = false;
    const Bytes name = HeldBytes(context, s, ss, m_nFirstCell - base + 10, 34);
    if (!name.empty() && Utf16LeToUtf8(name.data(), name.size()).rfind("tableactiveactive", 0) == 0) {
        m_eRawFileType = CFCPEvtAnalyser::kMuseType;
        m_bSuffixFound = true;
        return;
    }
    const Bytes cells = HeldBytes(context, s, ss, m_nCellContent - base + 10, 200);
    if (!cells.empty() && Has(cells, "payload") && Has(cells, "metadata")) {
        m_eRawFileType = CFCPEvtAnalyser::kSketchType;
        m_bSuffixFound = true;
    }
}

void CFCPEvtFileInfo::AnalyseABCDDBFileType(Bytes page) {
    const unsigned cells = bytes::Be16(page, 3);
    int found = 0;
    for (unsigned i = 0; i < cells; ++i) {
        const std::size_t pointer = bytes::Be16(page, 8 + 2 * std::size_t{i});
        if (!bytes::Has(page, pointer, 3)) continue;
        const std::size_t from = pointer + 2 + page[pointer + 2];
        const int length = static_cast<int>(page[pointer]) - static_cast<int>(page[pointer + 2]);
        if (length > 50) return;
        if (length <= 0 || !bytes::Has(page, from, static_cast<std::size_t>(length))) continue;
        const std::string_view text(reinterpret_cast<const char*>(page.data() + from),
                                    static_cast<std::size_t>(length));
        if (text.rfind("ABCDRecord", 0) == 0 || text.rfind("ABCDPhoneNumber", 0) == 0) ++found;
        if (found == 2) {
            m_eRawFileType = CFCPEvtAnalyser::kAbcddbType;
            return;
        }
    }
}

bool CFCPEvtFileInfo::GuessCalculate(Bytes page) {
    const unsigned char kind = page[0];
    if (kind == 0x41 || kind == 1 || kind == 2 || kind == 5 || kind == 8 || kind == 10 || kind == 13) {
        m_nMisses = 0;
        return true;
    }
    if (kind != 0) return false;
    // Overflow and freelist pages: judged by how their byte 3 runs on.
    const unsigned char b3 = page[3];
    if (!m_bCounting) {
        if (b3 != 0) {
            m_bCounting = true;
            m_nMisses = 1;
            m_nLastByte3 = b3;
            return true;
        }
    } else if (b3 == static_cast<unsigned char>(m_nLastByte3 + 1)) {
        m_nLastByte3 = b3;
        m_nMisses = 0;
        return true;
    }
    m_nLastByte3 = b3;
    if (m_nMisses >= kMaxMisses) return false;
    if (page[4] == 0)
        ++m_nMisses;
    else
        m_nMisses = 0;
    return true;
}

void CFCPEvtFileInfo::EndSearch() {
    const long long page = m_nPageSize;
    const long long freelist = m_bSuffixFound ? 0 : static_cast<long long>(m_nFreelistPages) * page;
    long long size = freelist + m_llNextPage - m_nMisses * page;
    size = std::clamp<long long>(size, 0, static_cast<long long>(kLimit));
    const long long declared = static_cast<long long>(m_nPages) * page;
    if (m_eRawFileType == CFCPEvtAnalyser::kSketchType && declared > 0 &&
        std::llabs(declared - size) <= 3 * page)
        size = std::min<long long>(declared, static_cast<long long>(kLimit));
    m_ullFileSize = static_cast<unsigned long long>(size);
}

void CFCPEvtFileInfo::WillBeRemove(unsigned char*, long long) {
    if (m_bInfo && m_nPageSize != 0 && m_ullFileSize == 0) EndSearch();
}

int CFCPEvtFileInfo::CalcRawSize(unsigned char* sector, int sectorBytes, long long sectorNumber,
                                 SearchContext& context) {
    if (!sector || sectorBytes <= 0 || sectorNumber < m_llStartSector) return 2;
    const long long base = (sectorNumber - m_llStartSector) * sectorBytes;
    if (!m_bInfo) {
        m_bInfo = true;
        if (!PageInformation(context.m_Window.At(0, 110))) {
            m_ullFileSize = 0;
            return 1;
        }
        m_llNextPage = m_nPageSize;
    }
    if (m_bSuffixPending && m_nFirstCell >= base && m_nFirstCell < base + sectorBytes &&
        sectorNumber + 2 <= context.m_llWindowEnd)
        JudeMuseSuffix(context, sectorNumber, sectorBytes);
    const long long held = (context.m_llWindowEnd - sectorNumber) * sectorBytes;
    while (m_llNextPage < base + sectorBytes) {
        if (m_llNextPage >= static_cast<long long>(kLimit)) break;
        const long long rel = m_llNextPage - base;
        const Bytes page = HeldBytes(context, sectorNumber, sectorBytes, rel, 5);
        if (page.empty()) {
            if (rel + 5 > held) return 2;
            break; // never held: the database ends before it
        }
        const unsigned cells = bytes::Be16(page, 3);
        if (cells >= 26 && cells <= 34) {
            const Bytes whole = HeldBytes(context, sectorNumber, sectorBytes, rel, m_nPageSize);
            if (!whole.empty()) AnalyseABCDDBFileType(whole);
        }
        if (!GuessCalculate(page)) break;
        m_llNextPage += m_nPageSize;
    }
    if (m_llNextPage < base + sectorBytes || m_llNextPage >= static_cast<long long>(kLimit)) {
        EndSearch();
        char name[64];
        std::snprintf(name, sizeof name, "%lld-%lld_", m_llStartSector, sectorNumber);
        SetRawFileName(name);
        return 1;
    }
    return 2;
}

} // namespace BruteForce
