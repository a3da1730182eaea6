#include "tests/engine/fat/FatTestUtil.h"
#include "tests/support/ByteWriter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <sstream>

namespace fattest {

void Put16(std::vector<std::uint8_t>& b, std::size_t off, unsigned v) {
    salvor::test::PutLe16(b, off, static_cast<std::uint16_t>(v));
}

std::vector<std::uint8_t> ShortEntry(const char* name11, std::uint8_t attr, std::uint32_t cluster,
                                     std::uint32_t size) {
    std::vector<std::uint8_t> e(32, 0);
    std::memcpy(e.data(), name11, 11);
    e[11] = attr;
    Put16(e, 20, cluster >> 16);
    Put16(e, 26, cluster & 0xFFFF);
    salvor::test::PutLe32(e, 28, size);
    return e;
}

std::vector<std::uint8_t> LfnEntry(const std::u16string& units) {
    std::vector<std::uint8_t> e(32, 0);
    e[0] = 0x41;
    e[11] = 0x0F;
    const std::size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (std::size_t i = 0; i < 13; ++i)
        Put16(e, at[i], i < units.size() ? units[i] : (i == units.size() ? 0 : 0xFFFF));
    return e;
}

namespace {
// Calls fn(head, path) for every "head<TAB>path" line of text.
template <typename Fn> void ForEachTabLine(const std::string& text, Fn fn) {
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (const auto tab = line.find('\t'); tab != std::string::npos)
            fn(line.substr(0, tab), line.substr(tab + 1));
}

std::vector<std::string> Split(const std::string& path) {
    std::vector<std::string> out;
    std::istringstream in(path);
    for (std::string part; std::getline(in, part, '/');)
        out.push_back(part);
    return out;
}

// The stored form of a component fls may show through the lower-case flags.
std::string Stored(std::string name) {
    const auto dot = name.find('.');
    const std::size_t base = dot == std::string::npos ? name.size() : dot;
    const std::size_t ext = dot == std::string::npos ? 0 : name.size() - dot - 1;
    if (base < 1 || base > 8 || ext > 3 || (dot != std::string::npos && ext == 0) ||
        name.find('.', base + 1) != std::string::npos)
        return name;
    for (auto [from, to] : {std::pair{std::size_t{0}, base}, std::pair{base + 1, name.size()}}) {
        bool lower = false, upper = false;
        for (std::size_t i = from; i < to; ++i) {
            const char c = name[i];
            if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("_-~!#$%&'(){}^@`", c))
                return name;
            lower |= c >= 'a' && c <= 'z';
            upper |= c >= 'A' && c <= 'Z';
        }
        if (lower && upper) return name;
    }
    for (char& c : name)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return name;
}

std::string Erased(std::string name) {
    if (!name.empty() && name[0] == '#') name[0] = '_';
    return name;
}
} // namespace

std::vector<OracleEntry> ReadIstatManifest(const std::string& file) {
    std::vector<OracleEntry> out;
    ForEachTabLine(ReadText(file), [&](const std::string& headText, const std::string& path) {
        OracleEntry e;
        e.path = path;
        std::istringstream head(headText);
        std::string type, inode, flag;
        head >> type >> inode >> flag >> e.size;
        e.dir = !type.empty() && type[0] == 'd';
        e.deleted = flag == "D";
        for (unsigned long long s; head >> s;)
            e.sectors.push_back(s);
        out.push_back(std::move(e));
    });
    return out;
}

std::vector<OracleEntry> ParseFls(const std::string& text) {
    std::vector<OracleEntry> out;
    ForEachTabLine(text, [&](const std::string& head, const std::string& path) {
        if (path.find('$') != std::string::npos || path.find("(Volume Label Entry)") != std::string::npos)
            return;
        out.push_back({!head.empty() && head[0] == 'd', head.find('*') != std::string::npos, -1, {}, path});
    });
    return out;
}

std::vector<OracleEntry> FlsOf(const std::string& image) {
    std::string out;
    if (salvor::test::RunCommand("fls -r -p '" + image + "'", &out) != 0)
        ADD_FAILURE() << "fls failed (install the Debian package 'sleuthkit'): " << out;
    return ParseFls(out);
}

std::string FatKey(const std::string& path) {
    std::string out;
    for (const auto& part : Split(path)) {
        if (!out.empty()) out += '/';
        out += Stored(Erased(part));
    }
    return out;
}

bool SameFatName(const std::string& ours, const std::string& fls) {
    const auto a = Split(ours), b = Split(fls);
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (Erased(a[i]) != b[i] && Erased(a[i]) != Stored(b[i])) return false;
    return true;
}

std::map<std::string, OracleEntry> Expected(const std::vector<OracleEntry>& fls) {
    std::map<std::string, OracleEntry> out;
    for (const auto& e : fls) {
        if (e.dir) continue;
        out[FatKey(e.path)] = e;
        for (auto cut = e.path.rfind('/'); cut != std::string::npos && cut > 0;
             cut = e.path.rfind('/', cut - 1))
            for (const auto& f : fls)
                if (f.dir && f.path == e.path.substr(0, cut)) out[FatKey(f.path) + "/"] = f;
    }
    return out;
}

std::map<std::string, std::pair<std::string, IFileNode*>> Listing(const FsScan& scan) {
    std::map<std::string, std::pair<std::string, IFileNode*>> out;
    for (const auto& [path, n] : scan.Nodes("(FAT/FAT32)"))
        out[FatKey(path) + (n->IsDirectory() ? "/" : "")] = {path, n};
    return out;
}

int ExpectListing(const FsScan& scan, const std::map<std::string, OracleEntry>& want,
                  const std::string& extrasBelow) {
    const auto got = Listing(scan);
    for (const auto& [key, e] : want) {
        const auto it = got.find(key);
        if (it == got.end()) {
            ADD_FAILURE() << "missing " << e.path;
            continue;
        }
        const auto& [path, node] = it->second;
        EXPECT_TRUE(SameFatName(path, e.path)) << path << " shown for " << e.path;
        EXPECT_EQ(node->IsDeleted() != 0, e.deleted) << e.path;
        EXPECT_EQ(e.dir || e.size < 0 ? e.size : node->GetFileSize(), e.size) << e.path;
    }
    int extras = 0;
    for (const auto& [key, shown] : got) {
        if (want.count(key)) continue;
        if (!extrasBelow.empty() && (shown.first + "/").starts_with(extrasBelow) && shown.second->IsDeleted())
            ++extras;
        else
            ADD_FAILURE() << "unexpected " << shown.first << (shown.second->IsDeleted() ? " *" : "");
    }
    return extras;
}

int ExpectRecovered(FsScan& scan, const std::string& manifest, const std::vector<std::string>& skip) {
    auto loose = [](std::string key) {
        for (std::size_t i = 0; i < key.size(); ++i)
            if (i == 0 || key[i - 1] == '/') key[i] = '_';
        return key;
    };
    std::map<std::string, IFileNode*> listed;
    for (const auto& [key, shown] : Listing(scan))
        listed[loose(key)] = shown.second;
    int written = 0;
    for (const auto& [path, sha] : salvor::test::Sha256Manifest(manifest)) {
        if (std::find(skip.begin(), skip.end(), path.substr(path.rfind('/') + 1)) != skip.end()) continue;
        const auto it = listed.find(loose(FatKey(path)));
        if (it == listed.end()) {
            ADD_FAILURE() << "not listed " << path;
            continue;
        }
        EXPECT_EQ(scan.Recover(it->second, SEARCHER_FAT), sha) << path;
        ++written;
    }
    return written;
}

} // namespace fattest
