#include "engine/fat/FatFolderAnalyser.h"

#include <algorithm>
#include <cstring>

using namespace fat;
using namespace fat::dirent;

namespace fat {
bool IsFat12Header(Bytes b) { return Has(b, 0, 4) && (Le32(b, 0) & 0x00FFFFF0u) == 0x00FFFFF0u; }
bool IsFat16Header(Bytes b) { return Has(b, 0, 4) && (Le32(b, 0) & 0x7FFFFFF8u) == 0x7FFFFFF8u; }
bool IsFat32Header(Bytes b) {
    return Has(b, 0, 8) && (Le32(b, 0) & 0x0FFFFFF0u) == 0x0FFFFFF0u && (Le32(b, 4) & 0x07FFFFF8u) == 0x07FFFFF8u;
}
} // namespace fat

bool CFATFolderAnalyser::IsBlankFATDirEntry(Bytes entry) {
    return Has(entry, 0, kSize) && std::all_of(entry.begin(), entry.begin() + kSize, [](auto b) { return b == 0; });
}

bool CFATFolderAnalyser::IsCurDirFileName(Bytes entry) {
    return Has(entry, 0, kSize) && std::memcmp(entry.data(), ".          ", 11) == 0 &&
           (entry[kAttribute] & kAttrDirectory) != 0;
}

bool CFATFolderAnalyser::IsParentDirFileName(Bytes entry) {
    return Has(entry, 0, kSize) && std::memcmp(entry.data(), "..         ", 11) == 0 &&
           (entry[kAttribute] & kAttrDirectory) != 0;
}

void CFATFolderAnalyser::Reject() {
    m_type = NotFolder;
    m_count = 0;
    m_dotCluster = 0;
    m_dotDotCluster = 0;
}

bool CFATFolderAnalyser::AnalyseSector(Bytes sector, CFatFolderAnalyzeCB* observer, void* context) {
    m_type = NotFolder;
    m_count = m_dotCluster = m_dotDotCluster = m_maxCluster = 0;
    if (m_sectorSize == 0 || sector.size() < m_sectorSize) return false;

    bool dot = false, dotDot = false, duplicate = false, ended = false;
    bool havePrevious = false;
    std::uint32_t previousCluster = 0;
    Bytes failing;
    const unsigned entries = m_sectorSize / kSize;
    for (unsigned index = 0; index < entries; ++index) {
        const Bytes raw = sector.subspan(std::size_t{index} * kSize, kSize);
        const CTempFATDirEntry entry(raw);
        if (!entry.IsValidFATDirEntry(true)) {
            failing = raw;
            ended = true;
            break;
        }
        if (entry.IsLongFileNameEntry()) continue;
        const std::uint32_t cluster = entry.GetFirstClusterNO();
        m_maxCluster = std::max(m_maxCluster, cluster);
        if (index == 0 && IsCurDirFileName(raw)) {
            dot = true;
            m_dotCluster = cluster;
            continue;
        }
        if (index == 1 && IsParentDirFileName(raw)) {
            dotDot = true;
            m_dotDotCluster = cluster;
            continue;
        }
        if (observer) observer->OnEntry(*this, entry, 0xFFFFFFFFu, index, dot && dotDot, context);
        ++m_count;
        if (!entry.IsErased()) {
            // Two live entries in a row sharing a first cluster: not a real folder.
            if (havePrevious && previousCluster == cluster) {
                duplicate = true;
                ended = true;
                break;
            }
            havePrevious = true;
            previousCluster = cluster;
        }
    }

    if (dot && dotDot) {
        m_type = FolderFirstSector;
        return true;
    }
    m_dotCluster = m_dotDotCluster = 0;
    if (m_count == 0 || duplicate || (ended && !IsBlankFATDirEntry(failing))) {
        Reject();
        return false;
    }
    m_type = FolderSector;
    return true;
}

bool CFATTableAnalyser::IsValidFATTableFirstSector(Bytes sector, unsigned /*sectorSize*/,
                                                   enumFILE_SYSTEM_TYPE& kind) {
    if (IsFat32Header(sector)) {
        kind = FS_FAT32;
        return true;
    }
    if (IsFat16Header(sector)) {
        kind = FS_FAT16;
        return true;
    }
    return false;
}
