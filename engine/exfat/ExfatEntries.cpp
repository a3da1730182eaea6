#include "engine/exfat/ExfatEntries.h"

#include "engine/common/Bytes.h"
#include "engine/common/TextConvert.h"

#include <algorithm>
#include <array>
#include <ctime>

namespace {
constexpr std::array<std::uint8_t, 256> MakeNameTable() {
    std::array<std::uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = 1;
    for (int i = 0; i < 0x1A; ++i) t[i] = 0;
    for (unsigned char c : {'*', '/', ':', '<', '>', '?', '\\', '|', '"'}) t[c] = 0;
    t[0xFF] = 0;
    return t;
}
constexpr std::array<std::uint8_t, 256> kNameTable = MakeNameTable();

bool ZeroRange(exfat::Bytes e, std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i)
        if (bytes::U8(e, i) != 0) return false;
    return true;
}
} // namespace

const std::uint8_t g_u8FileNameCheckTable[256] = {
#define ROW(i) kNameTable[i], kNameTable[i + 1], kNameTable[i + 2], kNameTable[i + 3], \
               kNameTable[i + 4], kNameTable[i + 5], kNameTable[i + 6], kNameTable[i + 7]
    ROW(0),   ROW(8),   ROW(16),  ROW(24),  ROW(32),  ROW(40),  ROW(48),  ROW(56),
    ROW(64),  ROW(72),  ROW(80),  ROW(88),  ROW(96),  ROW(104), ROW(112), ROW(120),
    ROW(128), ROW(136), ROW(144), ROW(152), ROW(160), ROW(168), ROW(176), ROW(184),
    ROW(192), ROW(200), ROW(208), ROW(216), ROW(224), ROW(232), ROW(240), ROW(248),
#undef ROW
};

namespace exfat {

using bytes::Le16;
using bytes::Le32;
using bytes::Le64;
using bytes::U8;

void DecodeFileEntry(Bytes e, std::int64_t sector, _tagFileBaseInfo& out) {
    out.inUse = (U8(e, 0) & kInUse) ? 1 : 0;
    out.attributes = Le16(e, 4);
    out.creation = Le32(e, 8);
    out.modification = Le32(e, 12);
    out.access = Le32(e, 16);
    out.metadataSector = sector;
}

void DecodeStreamEntry(Bytes e, _tagFileBaseInfo& out) {
    out.contiguous = (U8(e, 1) & 2) ? 1 : 0;
    out.nameLength = U8(e, 3);
    out.firstCluster = Le32(e, 20);
    out.dataLength = static_cast<std::int64_t>(Le64(e, 24) & 0x7FFFFFFFFFFFFFFFULL);
    out.validLength = static_cast<std::int64_t>(Le64(e, 8) & 0x7FFFFFFFFFFFFFFFULL);
}

void AppendNameUnits(Bytes e, std::u16string& units) {
    for (std::size_t c = 0; c < 15; ++c) units += static_cast<char16_t>(Le16(e, 2 + 2 * c));
}

std::string DecodeSetName(const std::u16string& units, std::uint8_t nameLength) {
    std::u16string name = nameLength ? units.substr(0, nameLength) : units;
    // The fill after a name is NUL units, and no name holds one: converted,
    // it would end the name early in every C string that carries it on.
    name.resize(std::min(name.size(), name.find(u'\0')));
    // Converted once as a whole, so surrogate pairs split across two name
    // entries survive.
    return TruncateUtf8(Utf16LeToUtf8(name), kMaxNameBytes);
}

bool IsValidTimestamp(std::uint32_t t) {
    const unsigned sec2 = t & 0x1F, min = (t >> 5) & 0x3F, hour = (t >> 11) & 0x1F, day = (t >> 16) & 0x1F,
                   month = (t >> 21) & 0xF;
    return day >= 1 && month >= 1 && month <= 12 && hour < 24 && min < 60 && sec2 < 30;
}

bool IsValidFileEntry(Bytes e) {
    if (!bytes::Has(e, 0, kEntrySize)) return false;
    const unsigned secondary = U8(e, 1);
    if (secondary < 2 || secondary > 18) return false;
    for (std::size_t off : {8u, 12u, 16u})
        if (!IsValidTimestamp(Le32(e, off))) return false;
    if (U8(e, 20) > 199 || U8(e, 21) > 199) return false;
    return ZeroRange(e, 6, 8) && ZeroRange(e, 25, 32);
}

bool IsValidStreamEntry(Bytes e, std::uint64_t totalSectors, unsigned sectorShift, unsigned clusterShift) {
    if (!bytes::Has(e, 0, kEntrySize)) return false;
    if (U8(e, 2) != 0 || !ZeroRange(e, 6, 8) || !ZeroRange(e, 16, 20)) return false;
    return IsPlausibleStreamExtent(e, totalSectors, sectorShift, clusterShift);
}

bool IsPlausibleStreamExtent(Bytes e, std::uint64_t totalSectors, unsigned sectorShift, unsigned clusterShift) {
    if (!bytes::Has(e, 0, kEntrySize) || sectorShift > 63 || clusterShift > 63) return false;
    const std::uint32_t first = Le32(e, 20);
    if (first == 1 || first > 0xFFFFFFF6u) return false;
    const std::uint64_t valid = Le64(e, 8), length = Le64(e, 24);
    if ((valid >> sectorShift) >= totalSectors || (length >> sectorShift) >= totalSectors) return false;
    if (first != 0 && (U8(e, 1) & 2) != 0) {
        for (std::uint64_t len : {valid, length})
            if (first + (len >> clusterShift) >= kClusterMarks) return false;
    }
    return true;
}

bool IsValidNameEntry(Bytes e) {
    if (!bytes::Has(e, 0, kEntrySize) || U8(e, 1) != 0) return false;
    if (Le16(e, 2) == 0) return false;
    for (std::size_t i = 0; i < 15; ++i) {
        const std::uint16_t c = Le16(e, 2 + 2 * i);
        if (c == 0) break;
        // Only characters below U+0100 are tested against the byte table; every
        // other character (U+0100, U+0300, U+1100, surrogates …) is allowed.
        if (c < 0x100 && !g_u8FileNameCheckTable[c]) return false;
    }
    return true;
}

bool IsValidLabelEntry(Bytes e) {
    if (!bytes::Has(e, 0, kEntrySize)) return false;
    const unsigned count = U8(e, 1);
    if (count > 11) return false;
    for (unsigned i = 0; i < 11; ++i) {
        const std::uint16_t c = Le16(e, 2 + 2 * i);
        if (i < count) {
            if (c < 0x100 && !g_u8FileNameCheckTable[c]) return false;
        } else if (c != 0) {
            return false;
        }
    }
    return ZeroRange(e, 24, 32);
}

std::uint16_t EntrySetChecksum(Bytes set) {
    std::uint16_t sum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        if (i == 2 || i == 3) continue;
        sum = static_cast<std::uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + set[i]);
    }
    return sum;
}

bool CheckDirEntry(Bytes set, std::size_t length, std::uint16_t stored) {
    if (length < 2 * kEntrySize || !bytes::Has(set, 0, length)) return false;
    Bytes whole = set.first(length);
    if (EntrySetChecksum(whole) == stored) return true;
    if (set[0] != kFileDeleted) return false;
    // A deleted set keeps the checksum it was given while in use.
    std::vector<std::uint8_t> inUse(whole.begin(), whole.end());
    for (std::size_t off = 0; off < length; off += kEntrySize)
        inUse[off] = off == 0 ? kFile : off == kEntrySize ? kStream : kName;
    return EntrySetChecksum(inUse) == stored;
}

_FILETIME DosTime2FileTime(std::uint32_t t) {
    std::tm tm{};
    tm.tm_sec = static_cast<int>(2 * (t & 0x1F));
    tm.tm_min = static_cast<int>((t >> 5) & 0x3F);
    tm.tm_hour = static_cast<int>((t >> 11) & 0x1F);
    tm.tm_mday = static_cast<int>((t >> 16) & 0x1F);
    tm.tm_mon = static_cast<int>((t >> 21) & 0xF) - 1;
    tm.tm_year = static_cast<int>(80 + (t >> 25));
    tm.tm_isdst = -1;
    const std::time_t secs = std::mktime(&tm);
    if (secs == static_cast<std::time_t>(-1)) return {};
    const long long v = static_cast<long long>(secs) * 10000000LL + 116444736000000000LL;
    return v < 0 ? _FILETIME{} : _FILETIME::From(static_cast<std::uint64_t>(v));
}

} // namespace exfat

namespace {
// Every name entry of a set passes the name test.
bool NamesPassTheNameTest(exfat::Bytes set) {
    for (std::size_t k = 2; k * exfat::kEntrySize < set.size(); ++k) {
        const exfat::Bytes e = set.subspan(k * exfat::kEntrySize, exfat::kEntrySize);
        if ((e[0] == exfat::kName || e[0] == exfat::kNameDeleted) && !exfat::IsValidNameEntry(e)) return false;
    }
    return true;
}
} // namespace

void CEFDTAnalyze::PrepareAnayze(unsigned sectorShift, unsigned clusterShift, std::uint64_t totalSectors) {
    m_sectorShift = sectorShift;
    m_clusterShift = clusterShift;
    m_totalSectors = totalSectors;
    m_records.clear();
    m_bitmapCluster = 0;
    m_bitmapLength = 0;
    DropSet();
}

void CEFDTAnalyze::BeginFolder() { DropSet(); }

bool CEFDTAnalyze::AnalyzeAround(exfat::Bytes cluster, std::int64_t sector, const std::vector<bool>& bad) {
    if (bad.empty() || cluster.size() % bad.size() != 0) return Analyze(cluster, sector);
    const std::size_t ss = cluster.size() / bad.size();
    for (std::size_t s = 0; s < bad.size();) {
        if (bad[s]) {
            DropSet();
            ++s;
            continue;
        }
        std::size_t e = s + 1;
        while (e < bad.size() && !bad[e]) ++e;
        if (!Analyze(cluster.subspan(s * ss, (e - s) * ss), sector)) return false;
        s = e;
    }
    return true;
}

bool CEFDTAnalyze::Analyze(exfat::Bytes cluster, std::int64_t sector) {
    using namespace exfat;
    if (cluster.size() < kEntrySize) return true;
    const std::size_t count = cluster.size() / kEntrySize;
    for (std::size_t i = 0; i < count; ++i) {
        Bytes e = cluster.subspan(i * kEntrySize, kEntrySize);
        const std::uint8_t type = e[0];
        const std::uint8_t inUse = type & kInUse;
        switch (type) {
        case kFile:
        case kFileDeleted: {
            // A file entry whose set checksum holds is genuine even when
            // Windows has put something in a reserved field (EFS does) or the
            // set is longer than a plain name needs; failing it would end the
            // folder and lose the rest of the listing. Its stream and name
            // entries still pass their own tests.
            const std::size_t setBytes = (std::size_t{e[1]} + 1) * kEntrySize;
            const bool verified = e[1] >= 2 && bytes::Has(cluster, i * kEntrySize, setBytes) &&
                                  CheckDirEntry(cluster.subspan(i * kEntrySize), setBytes, bytes::Le16(e, 2));
            if (!IsValidFileEntry(e) && !verified) return false;
            if (verified && !NamesPassTheNameTest(cluster.subspan(i * kEntrySize, setBytes))) {
                // The checksum vouches for the set's extent: a name the name
                // test refuses (control characters) drops this set only, not
                // the rest of the folder.
                DropSet();
                i += e[1];
                break;
            }
            m_verified = verified;
            m_set = _tagFileBaseInfo{};
            m_units.clear();
            m_state = 1;
            m_remaining = e[1];
            m_index = 0;
            DecodeFileEntry(e, sector, m_set);
            break;
        }
        case kStream:
        case kStreamDeleted:
            ++m_index;
            // Windows EFS writes into the reserved bytes of a stream entry:
            // inside a set whose checksum holds only its extent is tested.
            if (!(InVerifiedSet() ? IsPlausibleStreamExtent(e, m_totalSectors, m_sectorShift, m_clusterShift)
                                  : IsValidStreamEntry(e, m_totalSectors, m_sectorShift, m_clusterShift)))
                return false;
            if (m_state == 1 && m_index == 1 && (inUse != 0) == (m_set.inUse != 0)) {
                m_state = 2;
                --m_remaining;
                DecodeStreamEntry(e, m_set);
            } else {
                DropSet();
            }
            break;
        case kName:
        case kNameDeleted:
            ++m_index;
            if (!IsValidNameEntry(e)) return false;
            if (m_state >= 2 && m_state == m_index && (inUse != 0) == (m_set.inUse != 0)) {
                AppendNameUnits(e, m_units);
                ++m_state;
                if (--m_remaining <= 0) {
                    m_set.name = DecodeSetName(m_units, m_set.nameLength);
                    m_records.push_back(std::move(m_set));
                    m_set = _tagFileBaseInfo{};
                    DropSet();
                }
            } else {
                DropSet();
            }
            break;
        case kLabel:
        case kLabelDeleted:
            // The label is not kept, and a malformed one (some formatters
            // write more than 11 characters) must not hide the whole root:
            // it is passed over like the bitmap and up-case entries.
            break;
        case kBitmap:
            // The first bitmap (bit 0 of the flags clear) is the one in use.
            if (m_bitmapCluster == 0 && (e[1] & 1) == 0) {
                m_bitmapCluster = bytes::Le32(e, 20);
                m_bitmapLength = bytes::Le64(e, 24);
            }
            break;
        case kUpcase:
            break;
        default:
            return false;
        }
    }
    return true;
}
