#include "engine/carver/SearchSignFileAnalyser.h"

#include "engine/carver/RawFileBuffer.h"
#include "engine/carver/RawUtility.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string>

namespace {

bool TailZero(const unsigned char* p, std::size_t size, std::size_t n) {
    return std::all_of(p + size - std::min(n, size), p + size, [](unsigned char c) { return c == 0; });
}

// Offset just past the first match of any marker in [p, p + n), or -1.
long long Find(const unsigned char* p, std::size_t n, const std::string* marks, int count) {
    for (int i = 0; i < count; ++i) {
        const auto* m = reinterpret_cast<const unsigned char*>(marks[i].data());
        if (const unsigned char* hit = Apimemstr(p, static_cast<long long>(n), m, static_cast<long long>(marks[i].size())))
            return (hit - p) + static_cast<long long>(marks[i].size());
    }
    return -1;
}

} // namespace

int SearchSignFileAnalyser::SearchEndSignCode(CRawFileInfo& record, IStorageDevice* device,
                                              const SearchSignCodeInfo& sign, int caseSensitive) {
    if (!device) return 0;
    // The caller's marker is never changed: the case forms are copies.
    const std::size_t len = std::min<std::size_t>(sign.m_nSignLen, sizeof sign.m_szSign);
    std::string marks[2] = {std::string(reinterpret_cast<const char*>(sign.m_szSign), len), {}};
    int count = 1;
    if (!caseSensitive) {
        marks[1] = marks[0];
        for (char& c : marks[0]) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        for (char& c : marks[1]) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        count = 2;
    }
    const unsigned long long limit = sign.m_ullMaxSize ? sign.m_ullMaxSize : kDefaultLimit;
    RawFileBuffer reader(device, static_cast<unsigned long long>(std::max(0LL, record.m_llStartSector)));
    // Each device is read with its own sector size.
    const std::size_t size = reader.GetSectorSize();
    unsigned long long o = 0;
    for (; o <= limit; o += size) {
        const unsigned char* sector = reader.Fetch(o, size);
        if (!sector) break;
        if (!TailZero(sector, size, 2)) continue;
        if (len == 0) {
            record.m_ullFileSize = o;
            return 1;
        }
        const long long in = Find(sector, size, marks, count);
        if (in >= 0) {
            record.m_ullFileSize = o + static_cast<unsigned long long>(in);
            return 1;
        }
        const bool ends = caseSensitive && TailZero(sector, size, 8);
        // A marker cut by the sector boundary: look at the bytes around it,
        // fetched by offset since they may lie on the previous page.
        const unsigned long long from = o >= len ? o - len : 0;
        const unsigned char* around = reader.Fetch(from, 2 * len);
        const long long across = around ? Find(around, 2 * len, marks, count) : -1;
        if (across >= 0) {
            record.m_ullFileSize = from + static_cast<unsigned long long>(across);
            return 1;
        }
        if (ends) {
            record.m_ullFileSize = o;
            return 1;
        }
    }
    record.m_ullFileSize = o;
    return 1;
}
