// The SummaryInformation property-set reader on hand-made streams.
#include "engine/carver/metadata/SummaryInformation.h"
#include "tests/support/ByteWriter.h"

#include <algorithm>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

void Put32(Bytes& b, std::size_t at, std::uint32_t v) { salvor::test::PutLe32(b, at, v); }

struct Value {
    std::uint32_t id;
    Bytes typed; // type and value
};

// Appended with resize and copy: GCC 12 at -O3 misreads insert into a vector
// just sized (-Warray-bounds).
void Append(Bytes& b, const Bytes& more) {
    const std::size_t at = b.size();
    b.resize(at + more.size());
    std::copy(more.begin(), more.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
}

Bytes Typed(std::uint32_t type, const Bytes& rest) {
    Bytes b(4);
    Put32(b, 0, type);
    Append(b, rest);
    while (b.size() % 4) b.push_back(0);
    return b;
}
Bytes Text8(const std::string& s) {
    Bytes b(4);
    Put32(b, 0, static_cast<std::uint32_t>(s.size() + 1));
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
    return Typed(30, b);
}
Bytes FileTime(unsigned long long ft) {
    Bytes b(8);
    for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(ft >> (8 * i));
    return Typed(64, b);
}

// A property-set stream of one section holding `values`, padded to 512 bytes.
Bytes Stream(const std::vector<Value>& values, bool summary = true) {
    static const unsigned char fmtid[16] = {0xE0, 0x85, 0x9F, 0xF2, 0xF9, 0x4F, 0x68, 0x10,
                                            0xAB, 0x91, 0x08, 0x00, 0x2B, 0x27, 0xB3, 0xD9};
    Bytes b(48, 0);
    b[0] = 0xFE, b[1] = 0xFF;
    Put32(b, 24, 1);
    std::memcpy(b.data() + 28, fmtid, 16);
    if (!summary) b[28] = 0x02; // DocumentSummaryInformation: D5CDD502-...
    Put32(b, 44, 48);
    Bytes section(8 + 8 * values.size());
    Put32(section, 4, static_cast<std::uint32_t>(values.size()));
    for (std::size_t i = 0; i < values.size(); ++i) {
        Put32(section, 8 + 8 * i, values[i].id);
        Put32(section, 12 + 8 * i, static_cast<std::uint32_t>(section.size()));
        section.insert(section.end(), values[i].typed.begin(), values[i].typed.end());
    }
    Put32(section, 0, static_cast<std::uint32_t>(section.size()));
    b.insert(b.end(), section.begin(), section.end());
    b.resize(std::max<std::size_t>(b.size(), 512), 0);
    return b;
}

FileProperty Read(const Bytes& s, bool* ok = nullptr) {
    FileProperty p;
    const bool r = CSummaryInFormation().GetFileInformation(s.data(), p, static_cast<int>(s.size()));
    if (ok) *ok = r;
    return p;
}

} // namespace

TEST(CarverSummary, PropertiesReadAndCut) {
    setenv("TZ", "UTC", 1);
    tzset();
    Bytes codepage = Typed(2, {0xE4, 0x04, 0, 0}); // 1252
    Bytes author(4);
    Put32(author, 0, 3);
    for (char c : std::string("Ann")) Append(author, {static_cast<unsigned char>(c), 0});
    const FileProperty p = Read(Stream({{1, codepage},
                                        {2, Text8("Caf\xE9 plan")},
                                        {4, Typed(31, author)},
                                        {8, Text8("   Bob")},
                                        {12, FileTime(132275376000000000ull)}, // 2020-03-01 12:00 UTC
                                        {13, FileTime(0)}}));
    EXPECT_EQ(p.m_strTitle, "Caf\xC3\xA9 plan"); // the set's codepage, not GBK
    EXPECT_EQ(p.m_strAuthor, "Ann");
    EXPECT_EQ(p.m_strLastAuthor, "Bob");
    EXPECT_EQ(p.m_strCreated, "2020-03-01-12-00-00");
    EXPECT_EQ(p.m_strModified, "");
    // 24 bytes at most, never half a character.
    EXPECT_EQ(Read(Stream({{2, Text8(std::string(30, 'a'))}})).m_strTitle, std::string(24, 'a'));
    EXPECT_EQ(Read(Stream({{2, Text8(std::string(23, 'a') + "\xC3\xA9xx")}})).m_strTitle, std::string(23, 'a'));
}

TEST(CarverSummary, StreamsRefused) {
    bool ok = true;
    // DocumentSummaryInformation uses id 2 for its category.
    EXPECT_EQ(Read(Stream({{2, Text8("Category")}}, false), &ok).m_strTitle, "");
    EXPECT_FALSE(ok);
    // 32 pairs: false, though the title read stays.
    std::vector<Value> many{{2, Text8("Plan")}};
    for (int i = 0; i < 31; ++i) many.push_back({100u + i, Typed(3, {0, 0, 0, 0})});
    EXPECT_EQ(Read(Stream(many), &ok).m_strTitle, "Plan");
    EXPECT_FALSE(ok);
    // A value offset outside the buffer, and a cut buffer.
    Bytes s = Stream({{2, Text8("Plan")}});
    Put32(s, 48 + 12, 0x7FFFFFF0);
    EXPECT_EQ(Read(s, &ok).m_strTitle, "");
    FileProperty p;
    EXPECT_FALSE(CSummaryInFormation().GetFileInformation(s.data(), p, 40));
    EXPECT_FALSE(CSummaryInFormation().GetFileInformation(nullptr, p, 512));
}
