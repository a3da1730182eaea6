#include "engine/fat/FatFileProperties.h"

#include "engine/common/TextConvert.h"
#include "engine/fat/FatDirEntry.h"

#include <algorithm>
#include <ctime>

using namespace fat;
using namespace fat::dirent;

_FILETIME DosDateTimeToFileTime(std::uint16_t date, std::uint16_t time) {
    if (date == 0) return {};
    std::tm tm{};
    tm.tm_sec = (time & 31) * 2;
    tm.tm_min = (time >> 5) & 63;
    tm.tm_hour = time >> 11;
    tm.tm_mday = date & 31;
    tm.tm_mon = ((date >> 5) & 15) - 1;
    tm.tm_year = (date >> 9) + 80;
    tm.tm_isdst = -1;
    const std::time_t seconds = std::mktime(&tm);
    if (seconds == static_cast<std::time_t>(-1)) return {};
    constexpr std::int64_t kEpochDelta = 116444736000000000LL; // 1601-01-01 to 1970-01-01 in 100 ns
    const std::int64_t value = static_cast<std::int64_t>(seconds) * 10000000LL + kEpochDelta;
    return value > 0 ? _FILETIME::From(static_cast<std::uint64_t>(value)) : _FILETIME{};
}

CFATFileProperties::~CFATFileProperties() {
    if (m_runs) m_runs->Release();
}

CFATFileProperties& CFATFileProperties::operator=(const CFATFileProperties& other) {
    if (this == &other) return *this;
    if (other.m_s.hasName)
        SetFileName(other.m_s.name.c_str());
    else
        SetFileName(nullptr);
    m_s.state = other.m_s.state;
    m_s.attribute = other.m_s.attribute;
    m_s.firstCluster = other.m_s.firstCluster;
    m_s.parentFirstCluster = other.m_s.parentFirstCluster;
    m_s.creationTime = other.m_s.creationTime;
    m_s.modificationTime = other.m_s.modificationTime;
    m_s.lastAccessTime = other.m_s.lastAccessTime;
    m_s.size = other.m_s.size;
    return *this;
}

void CFATFileProperties::SetFileName(const char* name) {
    m_s.hasName = name != nullptr;
    m_s.name = name ? name : "";
    m_s.nameLength = static_cast<std::uint16_t>(std::min<std::size_t>(m_s.name.size(), 0xFFFF));
}

void CFATFileProperties::SetDataRunList(IDataRunList* runs) {
    if (m_runs && m_runs != runs) m_runs->Release();
    m_runs = runs;
}

IFileProperties* CFATFileProperties::Clone() {
    auto* copy = new CFATFileProperties();
    copy->m_s = m_s;
    copy->m_runs = m_runs ? m_runs->Clone() : nullptr;
    return copy;
}

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntry(const std::string& name,
                                                                                Bytes entry) {
    if (name.empty() || !Has(entry, 0, kSize)) return nullptr;
    auto* p = new CFATFileProperties();
    p->SetFileName(name.c_str());
    p->SetFileSize(Le32(entry, kFileSize));
    p->SetAttribute(entry[kAttribute]);
    p->SetCreationTime(Le16(entry, kCreateDate), Le16(entry, kCreateTime));
    p->SetModificationTime(Le16(entry, kModifyDate), Le16(entry, kModifyTime));
    p->SetLastAccessTime(Le16(entry, kAccessDate), 0);
    const CTempFATDirEntry view(entry);
    p->SetFirstClusterNum(view.GetFirstClusterNO());
    if (entry[kName] == kErased) p->SetState(CFATFileProperties::kStateDeleted);
    return p;
}

CFATFileProperties* CFATFilePropertiesBuilder::BuildFATFilePropertyFromDirEntryBuffer(Bytes entries) {
    // Pieces are stored last piece first: each one read goes in front.
    std::u16string composed;
    for (std::size_t off = 0; Has(entries, off, kSize); off += kSize) {
        const Bytes raw = entries.subspan(off, kSize);
        const CTempFATDirEntry entry(raw);
        if (entry.IsLongFileNameEntry()) {
            const std::u16string piece = entry.GetLongNameUnits();
            // A short piece is a name's last one: it starts a new name.
            if (piece.size() < kLfnUnits && !composed.empty()) composed.clear();
            if ((composed.size() + piece.size()) * 2 >= kMaxLongNameBytes) return nullptr;
            composed.insert(0, piece);
            continue;
        }
        std::string name = Utf16LeToUtf8(composed);
        if (!CTempFATDirEntry::IsValidLongFileName(name)) entry.GetShortName(name, false);
        return BuildFATFilePropertyFromDirEntry(name, raw);
    }
    return nullptr;
}
