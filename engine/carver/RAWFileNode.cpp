#include "engine/carver/RAWFileNode.h"

#include "engine/common/DataRunList.h"
#include "engine/common/FormatTable.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace {

constexpr std::uint64_t kEpochOffset = 116444736000000000ull; // 1601 to 1970 in 100 ns

// Bytes of the UTF-8 character led by c, 0 when c cannot lead one.
std::size_t Utf8Length(unsigned char c) {
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return 2;
    if (c >= 0xE0 && c <= 0xEF) return 3;
    if (c >= 0xF0 && c <= 0xF4) return 4;
    return 0;
}

bool IsUtf8(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const std::size_t n = Utf8Length(static_cast<unsigned char>(s[i]));
        if (n == 0 || s.size() - i < n) return false;
        for (std::size_t k = 1; k < n; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

} // namespace

_FILETIME RawTimeTextToFileTime(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') ++i;
    if (text.size() - i < 2) return {};
    long long v[6] = {};
    int pieces = 0;
    std::string piece;
    auto flush = [&] {
        if (piece.empty()) return true;
        if (pieces >= 6) return ++pieces, piece.clear(), true; // only the first six are read
        // Digits only, and short enough not to overflow.
        if (piece.size() > 6) return false;
        for (char c : piece)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        v[pieces] = std::stoll(piece);
        ++pieces;
        piece.clear();
        return true;
    };
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c == ' ' || c == '-' || c == ':') {
            if (!flush()) return {};
        } else {
            piece += c;
        }
    }
    if (!flush() || pieces < 6) return {};
    // A blank date ("0000:00:00 00:00:00") or one out of range names no time.
    if (v[0] < 1601 || v[0] > 9999 || v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > 31 || v[3] > 23 || v[4] > 59 ||
        v[5] > 60)
        return {};
    std::tm tm{};
    tm.tm_year = static_cast<int>(v[0] - 1900);
    tm.tm_mon = static_cast<int>(v[1] - 1);
    tm.tm_mday = static_cast<int>(v[2]);
    tm.tm_hour = static_cast<int>(v[3]);
    tm.tm_min = static_cast<int>(v[4]);
    tm.tm_sec = static_cast<int>(v[5]);
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == static_cast<std::time_t>(-1)) return {};
    const long long ticks = static_cast<long long>(t) * 10000000LL + static_cast<long long>(kEpochOffset);
    return ticks > 0 ? _FILETIME::From(static_cast<std::uint64_t>(ticks)) : _FILETIME{};
}

// ---- properties -------------------------------------------------------------

CRAWFileProperties::~CRAWFileProperties() {
    if (m_pRuns) m_pRuns->Release();
}

int CRAWFileProperties::InitRawFileProperties(CRawFileInfo& record, unsigned sectorSize) {
    const unsigned ss = sectorSize ? sectorSize : 512;
    m_ullSize = record.m_ullFileSize;
    m_strTime = record.m_strFileTime;
    if (m_pRuns) m_pRuns->Release();
    m_pRuns = CreateDataRunList();
    if (m_ullSize > 0) {
        DataRun run;
        run.start = record.m_llStartSector;
        run.length = static_cast<long long>(m_ullSize / ss + (m_ullSize % ss ? 1 : 0));
        m_pRuns->AddDataRun(&run);
    }
    return 1;
}

void CRAWFileProperties::SetRawFileName(const std::string& name) {
    m_strName = name;
    m_bHasName = true;
}

// ---- node -------------------------------------------------------------------

CRAWFileNode::~CRAWFileNode() { delete m_pProperties; }

std::string CRAWFileNode::UsableName(const std::string& name) {
    std::string stem = CFileNode::FilterFileNameByDot(name);
    if (!IsUtf8(stem)) return {};
    if (stem.size() > kMaxNameBytes) {
        std::size_t cut = kMaxNameBytes;
        while (cut > 0 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80) --cut;
        stem.resize(cut);
    }
    return stem;
}

std::string CRAWFileNode::BuildFileName(unsigned type, const std::string& metadataName, CRawCarveState& state) {
    const std::string stem = UsableName(metadataName);
    int& counter = state.countPerType[type < state.countPerType.size() ? type : 0];
    char digits[16];
    std::snprintf(digits, sizeof digits, "%03d", counter);
    ++counter;
    return (stem.empty() ? std::string("FILE") : stem) + digits + "." + FormatExtension(type);
}

bool CRAWFileNode::Initilaize(CRawFileInfo* record, unsigned attribute, long long parentId, long long id,
                              CRawCarveState& state) {
    if (!record) return false;
    auto* properties = CRAWFileProperties::Create();
    properties->InitRawFileProperties(*record, state.sectorSize);
    properties->SetAttribute(static_cast<unsigned short>(attribute));
    const std::string name = (attribute & kFolder) ? record->GetRawFileName()
                                                   : BuildFileName(record->m_eRawFileType, record->GetRawFileName(), state);
    properties->SetRawFileName(name);
    delete m_pProperties;
    m_pProperties = properties;
    m_strName = name;
    m_time = RawTimeTextToFileTime(record->m_strFileTime);
    // The node's own copy: the tree may replace a node's runs.
    SetDataRunList(properties->GetDataRunList()->Clone());
    SetNodeID(id);
    SetParentNodeID(parentId);
    return true;
}
