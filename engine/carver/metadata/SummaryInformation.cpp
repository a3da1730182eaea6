#include "engine/carver/metadata/SummaryInformation.h"

#include "engine/common/Bytes.h"
#include "engine/common/TextConvert.h"

#include <cstdio>
#include <ctime>

namespace {

constexpr unsigned char kSummaryFmtid[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                             0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};

bool ValidUtf8(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n;) {
        const unsigned char c = p[i];
        const std::size_t extra = c < 0x80 ? 0 : (c >= 0xC0 && c <= 0xDF) ? 1 : (c >= 0xE0 && c <= 0xEF) ? 2 : 9;
        if (extra == 9) return false;
        // A sequence cut by the text's end is no UTF-8 (a lone Windows-1252 letter ends many titles).
        if (i + extra >= n && extra) return false;
        for (std::size_t k = 1; k <= extra; ++k)
            if ((p[i + k] & 0xC0) != 0x80) return false;
        i += 1 + extra;
    }
    return true;
}

std::string OperateString(std::string t) {
    const std::size_t first = t.find_first_not_of(' ');
    t = first == std::string::npos ? std::string() : t.substr(first);
    return t.size() >= 25 ? TruncateUtf8(t, 24) : t;
}

} // namespace

std::string CSummaryInFormation::FileTimeText(unsigned long long filetime) {
    if (filetime == 0) return {};
    const long long seconds = static_cast<long long>(filetime / 10000000ull) - 11644473600LL;
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    if (!localtime_r(&t, &tm)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%d-%02d-%02d-%02d-%02d-%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return text;
}

bool CSummaryInFormation::GetDetailInformation(const unsigned char* buf, long long offset, int& number,
                                               std::string& text) const {
    const bytes::Bytes b(buf, static_cast<std::size_t>(m_nLength));
    if (offset < 0 || !bytes::Has(b, static_cast<std::size_t>(offset), 8)) return false;
    const std::size_t at = static_cast<std::size_t>(offset);
    const std::uint32_t type = bytes::Le32(b, at), n = bytes::Le32(b, at + 4);
    switch (type) {
    case 2: number = static_cast<std::int16_t>(bytes::Le16(b, at + 4)); return true;
    case 64:
        if (!bytes::Has(b, at + 4, 8)) return false;
        text = FileTimeText(bytes::Le64(b, at + 4));
        return true;
    case 31:
        if (n > 512 || !bytes::Has(b, at + 8, 2ull * n)) return false;
        text = Utf16LeToUtf8(buf + at + 8, 2ull * n);
        return true;
    case 30: {
        if (n > 1024 || !bytes::Has(b, at + 8, n)) return false;
        const unsigned char* p = buf + at + 8;
        std::size_t len = 0;
        while (len < n && p[len]) ++len;
        if (ValidUtf8(p, len)) {
            text.assign(reinterpret_cast<const char*>(p), len);
        } else {
            // The set's own codepage names the 8-bit text; GBK only without one.
            // The codepage is an unsigned 16-bit number stored as VT_I2 (65001 reads as -535).
            const unsigned page = static_cast<std::uint16_t>(m_nCodePage);
            const std::string cp = page == 65001 ? "UTF-8" : page ? "CP" + std::to_string(page) : "GBK";
            text = CharsetToUtf8(cp.c_str(), p, len);
        }
        text = OperateString(text);
        return true;
    }
    default: return false;
    }
}

bool CSummaryInFormation::GetFileInformation(const unsigned char* buf, FileProperty& out, int length) {
    if (!buf || length < 48) return false;
    m_nLength = length;
    m_nCodePage = 0;
    const bytes::Bytes b(buf, static_cast<std::size_t>(length));
    const unsigned version = bytes::Le16(b, 2), sets = bytes::Le32(b, 24);
    if (bytes::Le16(b, 0) != 0xFFFE || version > 1 || sets < 1 || sets > 2) return false;
    // Only SummaryInformation: another set (DocumentSummaryInformation) uses the same ids for other things.
    for (std::size_t i = 0; i < 16; ++i)
        if (buf[28 + i] != kSummaryFmtid[i]) return false;
    const std::size_t section = bytes::Le32(b, 44);
    if (!bytes::Has(b, section, 8)) return false;
    const std::uint32_t count = bytes::Le32(b, section + 4);
    if (count < 1) return false;
    auto pair = [&](std::uint32_t i, std::uint32_t& id, long long& at) {
        const std::size_t p = section + 8 + 8ull * i;
        if (i > 30 || !bytes::Has(b, p, 8)) return false;
        id = bytes::Le32(b, p);
        at = static_cast<long long>(section) + bytes::Le32(b, p + 4);
        return true;
    };
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;
        long long at = 0;
        if (!pair(i, id, at)) break;
        std::string unused;
        if (id == 1) GetDetailInformation(buf, at, m_nCodePage, unused);
    }
    bool found = false;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint32_t id = 0;
        long long at = 0;
        if (!pair(i, id, at)) return false; // what was stored stays
        std::string* field = id == 2 ? &out.m_strTitle : id == 4 ? &out.m_strAuthor : id == 8 ? &out.m_strLastAuthor
                           : id == 12 ? &out.m_strCreated : id == 13 ? &out.m_strModified : nullptr;
        if (!field) continue;
        int number = 0;
        std::string text;
        if (!GetDetailInformation(buf, at, number, text)) continue;
        *field = text;
        found = found || !text.empty();
    }
    return found;
}
