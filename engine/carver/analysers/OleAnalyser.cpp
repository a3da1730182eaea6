#include "engine/carver/analysers/OleAnalyser.h"

#include "engine/carver/RawFileBuffer.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

constexpr unsigned char kMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// Sector numbers from here up mark free, end-of-chain, FAT and DIFAT sectors.
constexpr std::uint32_t kLastRegular = 0xFFFFFFF9;
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;

// Byte of compound sector n from the file's start (the header takes sector -1's place).
unsigned long long SectorByte(std::uint32_t n, unsigned s) { return (std::uint64_t{n} + 1) * s; }

// The directory entry's name, up to its NUL (at most 32 UTF-16 units).
std::u16string EntryName(const unsigned char* entry) {
    std::u16string name;
    for (std::size_t i = 0; i < 32; ++i) {
        const char16_t c = static_cast<char16_t>(entry[2 * i] | entry[2 * i + 1] << 8);
        if (c == 0) break;
        name.push_back(c);
    }
    return name;
}

} // namespace

bool FileOLEAnalyser::CheckStorageHeader(bytes::Bytes head, Header& out) {
    out = Header{};
    if (!bytes::Has(head, 0, 512) || std::memcmp(head.data(), kMagic, 8) != 0) return false;
    out.sectorBytes = bytes::Le16(head, 0x1A) == 4 && bytes::Le16(head, 0x1E) == 12 ? 4096 : 512;
    for (std::size_t i = 0; i < 109; ++i) {
        const std::uint32_t n = bytes::Le32(head, 0x4C + 4 * i);
        if (n <= kLastRegular) out.fat.push_back(n);
    }
    out.difat = bytes::Le32(head, 0x44);
    out.directory = bytes::Le32(head, 0x30);
    return true;
}

std::uint32_t FileOLEAnalyser::CheckSectDifStart(bytes::Bytes sector, std::vector<std::uint32_t>& fat) {
    const std::size_t entries = sector.size() / 4;
    if (entries < 2) return kEndOfChain;
    for (std::size_t i = 0; i + 1 < entries; ++i) {
        const std::uint32_t n = bytes::Le32(sector, 4 * i);
        if (n <= kLastRegular) fat.push_back(n);
    }
    const std::uint32_t next = bytes::Le32(sector, 4 * (entries - 1));
    return next <= kLastRegular ? next : kEndOfChain;
}

unsigned FileOLEAnalyser::UsedEntries(bytes::Bytes fatSector) {
    for (std::size_t i = fatSector.size() / 4; i > 0; --i)
        if (bytes::Le32(fatSector, 4 * (i - 1)) != 0xFFFFFFFF) return static_cast<unsigned>(i);
    return 0;
}

unsigned long long FileOLEAnalyser::SizeFromFat(std::size_t fatCount, unsigned used, unsigned sectorBytes) {
    if (fatCount == 0) return 0;
    const std::uint64_t s = sectorBytes;
    return ((fatCount - 1) * (s / 4) + used + 1) * s;
}

int FileOLEAnalyser::AnalyseBuffer(unsigned char* sector, CRawFileInfo& info) {
    if (!sector) return 0;
    if (std::memcmp(sector + 4, kMagic + 4, 4) != 0) return 0;
    info.m_eRawFileType = kOle;
    return 1;
}

void FileOLEAnalyser::CheckSectDirData(const unsigned char* dir, int bytes, CRawFileInfo* info) {
    if (!info) return;
    info->m_eRawFileType = kMof;
    if (!dir || bytes < 128) return;
    std::vector<std::u16string> names;
    for (int at = 0; at + 128 <= bytes; at += 128) names.push_back(EntryName(dir + at));
    auto any = [&](std::initializer_list<std::u16string_view> wanted) {
        for (const std::u16string& n : names)
            for (std::u16string_view w : wanted)
                if (n == w) return true;
        return false;
    };
    auto at = [&](std::size_t i, std::u16string_view w) { return i < names.size() && names[i] == w; };
    unsigned& kind = info->m_eRawFileType;
    // The common kinds by their streams wherever the writer put them; a later
    // row wins (a Visio stream beats everything before it).
    if (any({u"WordDocument", u"ObjectPool"})) kind = kDoc;
    if (any({u"Workbook", u"Book"})) kind = kXls;
    if (any({u"PP40", u"Pictures", u"PowerPoint Document"})) kind = kPpt;
    if (any({u"Scene"})) kind = kMax;
    if (any({u"VisioDocument"})) kind = kVsd;
    if (at(1, u"PerfectOffice_MAIN") && at(2, u"PerfectOffice_OBJECTS")) {
        bool clsid = false;
        for (int i = 0; i < 16; ++i) clsid = clsid || dir[0x50 + i] != 0;
        kind = at(3, u"\x0005SummaryInformation") ? kShw : clsid ? kWpd : kWpg;
    }
    if (at(1, u"RSeStorage") && (at(2, u"RSeEmbeddings") || at(3, u"RSeEmbeddings"))) kind = kIpt;
    if (at(1, u"Objects") && at(2, u"Quill") && (at(3, u"Escher") || at(3, u"QuillSub"))) kind = kPub;
    if (at(1, u"NativeContent_MAIN")) kind = kQpw;
    if (at(1, u"properties")) kind = kAaf;
    if (at(1, u"\x0001" "CompObj") &&
        ((at(2, u"   19") && at(3, u"   29")) || (at(2, u"   112") && at(3, u"   212"))))
        kind = kMpp;
    if ((at(1, u"PropData") && at(2, u"Forms") && at(3, u"Reports")) ||
        (at(1, u"VBA") && at(2, u"VBAProject") && at(3, u"VBA")))
        kind = kAdp;
}

// ---- streaming ----

void FileOLEAnalyser::OleRawFileInfo::LookForSummary(const CRawWindow& window, std::size_t sectorBytes) {
    if (m_bSummary) return;
    // A property set begins on a compound sector, or on a 64-byte unit of the
    // mini stream where small streams (the usual summary) are kept.
    for (std::size_t off = 0; off + 48 <= sectorBytes; off += 64) {
        const bytes::Bytes set = window.At(static_cast<long long>(off), 48);
        if (set.empty() || bytes::Le32(set, 0) != 0x0000FFFE) continue;
        bytes::Bytes rest = window.From(static_cast<long long>(off));
        rest = rest.subspan(0, std::min<std::size_t>(rest.size(), 64 * 1024));
        FileProperty found;
        if (m_Summary.GetFileInformation(rest.data(), found, static_cast<int>(rest.size()))) {
            m_Info = found;
            m_bSummary = true;
            return;
        }
    }
}

bool FileOLEAnalyser::OleRawFileInfo::Examine(const CRawWindow& window, unsigned long long from,
                                              unsigned long long n) {
    const unsigned s = m_nSectorBytes;
    const unsigned long long to = from + n;
    auto read = [&](unsigned long long at, std::size_t len) { return window.At(static_cast<long long>(at - from), len); };
    // The DIFAT chain, one sector after another, as far as this sector reaches.
    while (m_ullDifatAt && m_ullDifatAt < to) {
        if (m_ullDifatAt < from) return false; // passed: only the device can tell
        const bytes::Bytes d = read(m_ullDifatAt, s);
        if (d.empty()) return false;
        const std::uint32_t next = CheckSectDifStart(d, m_Fat);
        if (m_Fat.size() > kMaxFatSectors) return false;
        if (next == kEndOfChain) {
            m_ullDifatAt = 0;
            m_bDifatDone = true;
        } else {
            if (!m_Visited.insert(next).second) return false; // a loop
            m_ullDifatAt = SectorByte(next, s);
        }
    }
    if (m_ullDirAt && m_ullDirAt < to) {
        if (m_ullDirAt < from) return false;
        bytes::Bytes d = read(m_ullDirAt, 1024);
        if (d.empty()) d = read(m_ullDirAt, 512);
        if (d.empty()) return false;
        CheckSectDirData(d.data(), static_cast<int>(d.size()), this);
        m_ullDirAt = 0;
    }
    if (m_bDifatDone && !m_ullSize) {
        const unsigned long long last = SectorByte(m_Fat.back(), s);
        // The chain completed after its last FAT sector went by.
        if (last < from) return false;
        if (last < to) {
            const bytes::Bytes f = read(last, s);
            if (f.empty()) return false;
            m_ullSize = SizeFromFat(m_Fat.size(), UsedEntries(f), s);
            if (m_ullSize > m_ullCap) return false;
        }
    }
    return true;
}

int FileOLEAnalyser::OleRawFileInfo::CalcRawSize(unsigned char* sector, int sectorSize, long long s,
                                                 SearchContext& context) {
    if (!sector || sectorSize <= 0) return 2;
    const unsigned long long ss = static_cast<unsigned>(sectorSize);
    const unsigned long long rel = static_cast<unsigned long long>(s - m_llStartSector) * ss;
    const CRawWindow& window = context.m_Window;
    if (s == m_llStartSector) {
        Header h;
        if (!CheckStorageHeader(window.At(0, 512), h) || h.fat.empty() || h.directory > kLastRegular) {
            m_ullFileSize = 0;
            return 1;
        }
        m_nSectorBytes = h.sectorBytes;
        m_Fat = std::move(h.fat);
        m_ullDirAt = SectorByte(h.directory, m_nSectorBytes);
        if (h.difat <= kLastRegular) {
            m_ullDifatAt = SectorByte(h.difat, m_nSectorBytes);
            m_Visited.insert(h.difat);
        } else {
            m_bDifatDone = true;
        }
    }
    LookForSummary(window, static_cast<std::size_t>(ss));
    if (!Examine(window, rel, ss) || rel > m_ullCap) {
        m_ullFileSize = 0; // the classic sizer reads it from the device
        return 1;
    }
    // Sized and typed: the file is followed to its end, where any sector of
    // it may have given the summary.
    if (m_ullSize && !m_ullDirAt && rel + ss >= m_ullSize) {
        Finish(ss);
        return 1;
    }
    return 2;
}

void FileOLEAnalyser::OleRawFileInfo::Finish(unsigned long long deviceSectorBytes) {
    m_ullFileSize = m_ullSize;
    m_bSized = true;
    SetRawFileName(std::to_string(m_llStartSector) + "-" +
                   std::to_string(m_llStartSector + static_cast<long long>(m_ullSize / deviceSectorBytes)) + " ");
    if (m_bSummary) SetFileName(m_Info);
}

void FileOLEAnalyser::OleRawFileInfo::WillBeRemove(unsigned char*, long long) {
    // Named now when the kind is known; else the classic sizer names it once
    // the directory has told the kind (the label depends on it).
    if (m_bSummary && m_eRawFileType != kOle) SetFileName(m_Info);
    m_ullFileSize = 0;
}

void FileOLEAnalyser::OleRawFileInfo::SetFileName(const FileProperty& info) {
    if (m_bNamed) return;
    m_bNamed = true;
    const std::string& t = !info.m_strModified.empty() ? info.m_strModified : info.m_strCreated;
    std::string name;
    if (!t.empty()) {
        for (const std::string* f : {&info.m_strTitle, &info.m_strLastAuthor, &info.m_strAuthor})
            if (!f->empty()) {
                name = *f + "_" + t + " ";
                break;
            }
        if (name.empty()) name = t + " ";
    } else {
        for (const std::string* f : {&info.m_strTitle, &info.m_strLastAuthor, &info.m_strAuthor})
            if (!f->empty()) name = *f + " ";
    }
    if (!name.empty()) m_strFileName = name;
    if (!info.m_strCreated.empty()) m_strFileTime = info.m_strCreated;
    if (!info.m_strModified.empty()) m_strFileTime = info.m_strModified;
    const std::string value = !info.m_strLastAuthor.empty() ? info.m_strLastAuthor
                              : !info.m_strAuthor.empty()   ? info.m_strAuthor
                              : (!info.m_strCreated.empty() || !info.m_strTitle.empty() || !info.m_strModified.empty())
                                  ? std::string("unKnown")
                                  : std::string();
    if (!value.empty()) SetFileTag(value);
}

void FileOLEAnalyser::OleRawFileInfo::SetFileTag(const std::string& value) {
    if (m_eRawFileType != kDoc && m_eRawFileType != kPpt && m_eRawFileType != kXls) return;
    SetRawFileTagAndValue(RAW_TAG_OFFICE, value);
    if (!m_strFileName.empty()) m_strFileName = value + "_" + m_strFileName;
}

// ---- classic ----

int FileOLEAnalyser::Simulate512ReadSector(void* out, long long start, long long unit, long long count,
                                           IStorageDevice* device) {
    if (!out || !device || start < 0 || unit < 0 || count <= 0) return 0;
    const unsigned long long d = device->GetSectorSize();
    if (d < 512 || d % 512) return 0;
    const unsigned long long byte = static_cast<unsigned long long>(unit) * m_nCompoundBytes;
    const unsigned long long first = static_cast<unsigned long long>(start) + byte / d;
    const unsigned long long span = (byte % d + static_cast<unsigned long long>(count) * 512 + d - 1) / d;
    if (first + span > device->GetTotalSectors()) return 0;
    std::vector<unsigned char> buf(span * d);
    const int r = device->ReadSector(buf.data(), static_cast<long long>(first), static_cast<long long>(span));
    if (r <= 0) return 0;
    std::memcpy(out, buf.data() + byte % d, static_cast<std::size_t>(count) * 512);
    return r;
}

int FileOLEAnalyser::GetRawFileSize(CRawFileInfo& info, IStorageDevice* device) {
    const std::optional<RawFileRoom> room = RoomOf(info, device, 512);
    if (!room) return 0;
    RawFileBuffer file(device, room->start);
    const unsigned char* head = file.Fetch(0, 512);
    Header h;
    if (!head || !CheckStorageHeader(bytes::Bytes(head, 512), h) || h.fat.empty()) return 0;
    const unsigned s = h.sectorBytes;
    m_nCompoundBytes = s;
    m_nSectorRatio = s > room->sectorSize ? s / room->sectorSize : 1;
    std::vector<std::uint32_t> fat = std::move(h.fat);
    // Any link is followed, forwards or back, until the chain ends, repeats
    // or lists more FAT sectors than a file under the cap can have.
    std::set<std::uint32_t> visited;
    for (std::uint32_t d = h.difat; d <= kLastRegular;) {
        if (!visited.insert(d).second || fat.size() > kMaxFatSectors) return 0;
        const unsigned char* p = file.Fetch(SectorByte(d, s), s);
        if (!p) return 0;
        d = CheckSectDifStart(bytes::Bytes(p, s), fat);
    }
    const unsigned char* last = file.Fetch(SectorByte(fat.back(), s), s);
    if (!last) return 0;
    unsigned long long size = SizeFromFat(fat.size(), UsedEntries(bytes::Bytes(last, s)), s);
    if (size > kSizeCap) return 0;
    unsigned char dir[1024];
    if (h.directory <= kLastRegular &&
        Simulate512ReadSector(dir, static_cast<long long>(room->start), std::int64_t{h.directory} + 1, 2, device)) {
        CheckSectDirData(dir, sizeof dir, &info);
    } else {
        if (size > 0xA00000) return 0;
        info.m_eRawFileType = kMof;
    }
    // A file running past the device keeps what the device holds.
    info.m_ullFileSize = std::min(size, room->room);
    // A candidate the stream gave up keeps the summary it had read.
    if (auto* streamed = dynamic_cast<OleRawFileInfo*>(&info); streamed && streamed->m_bSummary)
        streamed->SetFileName(streamed->m_Info);
    return 1;
}
