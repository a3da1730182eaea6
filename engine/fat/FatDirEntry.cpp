#include "engine/fat/FatDirEntry.h"

#include "engine/common/TextConvert.h"

#include <cstring>

using namespace fat;
using namespace fat::dirent;

namespace {
const std::uint8_t kBlank[kSize] = {};

bool ValidDate(std::uint16_t d) {
    if (d == 0) return true;
    const unsigned month = (d >> 5) & 15, day = d & 31;
    return month >= 1 && month <= 12 && day != 0;
}

bool ValidTime(std::uint16_t t) {
    if (t == 0) return true;
    return (t & 31) < 30 && ((t >> 5) & 63) < 60 && (t >> 11) < 24;
}
} // namespace

CTempFATDirEntry::CTempFATDirEntry(Bytes entry) { Point(entry); }

CTempFATDirEntry::CTempFATDirEntry(std::uint8_t* entry) : m_entry(entry ? entry : kBlank), m_writable(entry) {}

void CTempFATDirEntry::Point(Bytes entry) {
    m_entry = entry.size() >= kSize ? entry.data() : kBlank;
    m_writable = nullptr;
}

bool CTempFATDirEntry::InitFromBuffer(Bytes entry) {
    Point(entry);
    return IsValidFATDirEntry(false);
}

bool CTempFATDirEntry::IsValidFATDirEntry(bool loose) const {
    const std::uint8_t attr = Attribute();
    if (attr == kAttrLongName) return true;
    // The attribute of the entry now viewed (also after InitFromBuffer).
    if (attr > 0x3F) return false;
    if (!loose) {
        const std::uint32_t cluster = GetFirstClusterNO();
        const std::uint32_t size = GetSize();
        if (!IsDirectory()) {
            if ((cluster == 0) != (size == 0)) return false;
        } else if (size != 0 && Le16(Span(), kClusterHigh) != 0) {
            return false;
        }
    }
    const Bytes e = Span();
    if (!ValidDate(Le16(e, kCreateDate)) || !ValidDate(Le16(e, kModifyDate)) || !ValidDate(Le16(e, kAccessDate)))
        return false;
    if (!ValidTime(Le16(e, kCreateTime)) || !ValidTime(Le16(e, kModifyTime))) return false;
    if (attr & 0x40) return false;
    if (attr & kAttrVolumeLabel) return true;
    return IsValidFileName(e);
}

bool CTempFATDirEntry::IsValidListedEntry() const {
    if (IsValidFATDirEntry(false)) return true;
    return !IsLongFileNameEntry() && !IsDirectory() && GetSize() == 0 && IsValidFATDirEntry(true);
}

std::uint32_t CTempFATDirEntry::GetFirstClusterNO() const {
    return (std::uint32_t{Le16(Span(), kClusterHigh)} << 16) | Le16(Span(), kClusterLow);
}

bool CTempFATDirEntry::SetFirstClusterNO(std::uint32_t cluster) {
    if (!m_writable) return false;
    m_writable[kClusterHigh] = static_cast<std::uint8_t>(cluster >> 16);
    m_writable[kClusterHigh + 1] = static_cast<std::uint8_t>(cluster >> 24);
    m_writable[kClusterLow] = static_cast<std::uint8_t>(cluster);
    m_writable[kClusterLow + 1] = static_cast<std::uint8_t>(cluster >> 8);
    return true;
}

bool CTempFATDirEntry::GetShortName(std::string& out, bool labelForm) const {
    // Windows and mtools store "letter.pdf" as an 8.3 name with flags that
    // say which half is shown in lower case; a label has no such flags.
    const std::uint8_t caseFlags = labelForm ? 0 : m_entry[kCaseFlags];
    auto piece = [&](std::size_t off, std::size_t len, bool first, bool lower) {
        std::size_t n = len;
        while (n > 0 && m_entry[off + n - 1] == ' ') --n;
        std::string s;
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint8_t c = m_entry[off + i];
            if (first && i == 0 && c == kErased)
                s += '#';
            else if (c >= 0x80)
                s += '_';
            else if (c == 0)
                s += '_';
            else if (lower && c >= 'A' && c <= 'Z')
                s += static_cast<char>(c - 'A' + 'a');
            else
                s += static_cast<char>(c);
        }
        return s;
    };
    const std::string name = piece(kName, 8, true, caseFlags & kLowerCaseBase);
    const std::string ext = piece(kExtension, 3, false, caseFlags & kLowerCaseExtension);
    if (ext.empty())
        out = name;
    else
        out = labelForm ? name + ext : name + "." + ext;
    return labelForm || IsValidFileName(Span());
}

std::u16string CTempFATDirEntry::GetLongNameUnits() const {
    std::u16string units;
    if (!IsLongFileNameEntry()) return units;
    const Bytes e = Span();
    const std::size_t starts[3] = {kLfnPart1, kLfnPart2, kLfnPart3};
    const unsigned counts[3] = {5, 6, 2};
    for (int p = 0; p < 3; ++p)
        for (unsigned i = 0; i < counts[p]; ++i) {
            const char16_t u = Le16(e, starts[p] + 2 * i);
            if (u == 0) return units;
            units += u;
        }
    return units;
}

std::string CTempFATDirEntry::GetLongFileName() const {
    const std::string text = Utf16LeToUtf8(GetLongNameUnits());
    return text.empty() ? std::string("_") : text;
}

bool CTempFATDirEntry::IsFilenameEqual(const char* name8, const char* ext3) const {
    return name8 && ext3 && std::memcmp(m_entry + kName, name8, 8) == 0 &&
           std::memcmp(m_entry + kExtension, ext3, 3) == 0;
}

bool CTempFATDirEntry::IsValidFileName(Bytes entry) {
    if (!Has(entry, 0, 11) || entry[0] == ' ') return false;
    for (std::size_t i = 0; i < 11; ++i) {
        const std::uint8_t c = entry[i];
        if (c >= 0x80) {
            ++i; // lead byte of a double-byte character: its trail byte is not tested
            continue;
        }
        if (c < 0x1A || std::strchr("\"*/:<>?\\|", c) != nullptr) return false;
    }
    return true;
}

bool CTempFATDirEntry::IsValidLongFileNameChar(char32_t c) {
    return !(c == '?' || c == '*' || c == '|' || c == '\\' || c == '/' || c == ':' || c == '<' || c == '>' ||
             c == '"');
}

bool CTempFATDirEntry::IsValidLongFileName(const std::string& utf8) {
    if (utf8.empty()) return false;
    for (unsigned char c : utf8)
        if (c < 0x80 && !IsValidLongFileNameChar(c)) return false;
    return true;
}
