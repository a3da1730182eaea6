#include "tests/engine/exfat/ExfatTestSupport.h"

#include "engine/common/Bytes.h"
#include "engine/exfat/ExfatEntries.h"

#include <gtest/gtest.h>

#include <sstream>

namespace exfat_test {

std::string Missing(const Entries& a, const Entries& b) {
    std::ostringstream out;
    int n = 0;
    for (const auto& e : a)
        if (!b.count(e) && ++n <= 40) out << "  " << e.kind << (e.deleted ? " * " : "   ") << e.path << "\n";
    return out.str();
}

void ExpectSame(const Entries& found, const Entries& expected) {
    EXPECT_TRUE(found == expected) << "found, not expected:\n"
                                   << Missing(found, expected) << "expected, not found:\n"
                                   << Missing(expected, found);
}

Entries Deleted(const Entries& all) {
    Entries out;
    for (const auto& e : all)
        if (e.deleted) out.insert(e);
    return out;
}

std::size_t CountUnder(const Entries& all, const std::string& folder) {
    std::size_t n = 0;
    for (const auto& e : all)
        n += e.path.starts_with(folder + "/");
    return n;
}

Entries ParseFls(const std::string& text) {
    Entries out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.size() < 4 || line[0] == 'v' || line[0] == 'V' || line[0] == '-')
            continue;
        const std::string head = line.substr(0, tab), path = line.substr(tab + 1);
        if (path.find("(Volume Label Entry)") != std::string::npos || path == "$ALLOC_BITMAP" ||
            path == "$UPCASE_TABLE" || path.starts_with("$OrphanFiles"))
            continue;
        out.insert({head[0] == 'd' ? 'd' : 'r', head.find(" * ") != std::string::npos, path});
    }
    return out;
}

Entries FlsOf(const std::string& image, const std::string& extra) {
    std::string out;
    if (salvor::test::RunCommand("fls -r -p " + extra + " '" + image + "' 2>/dev/null", &out) != 0)
        ADD_FAILURE() << "fls failed (package sleuthkit): " << out;
    return ParseFls(out);
}

std::size_t FindEntrySet(const std::vector<std::uint8_t>& folder, const std::u16string& name) {
    for (std::size_t off = 0; off + 3 * exfat::kEntrySize <= folder.size(); off += exfat::kEntrySize) {
        if (folder[off] != exfat::kFile && folder[off] != exfat::kFileDeleted) continue;
        std::u16string units;
        for (std::size_t c = 0; c < name.size() && c < 15; ++c)
            units += static_cast<char16_t>(bytes::Le16(folder, off + 2 * exfat::kEntrySize + 2 + 2 * c));
        if (units == name) return off;
    }
    return std::string::npos;
}

void ResealEntrySet(std::vector<std::uint8_t>& folder, std::size_t off) {
    const std::size_t len = (std::size_t{folder.at(off + 1)} + 1) * exfat::kEntrySize;
    const std::uint16_t sum = exfat::EntrySetChecksum(exfat::Bytes(folder).subspan(off, len));
    salvor::test::PutLe16(folder, off + 2, sum);
}

} // namespace exfat_test
