// The LZVN decoder against streams of the test encoder (every instruction
// class, 200 random sources) and against malformed streams.
#include "engine/hfsplus/Lzvn.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

using namespace hfsplus;
using namespace salvor::test;

namespace {

using Bytes = std::vector<unsigned char>;

unsigned long Decode(const Bytes& in, Bytes& out) { return lzvn_decode(out.data(), out.size(), in.data(), in.size()); }

TEST(Lzvn, EncoderStreamsDecodeToTheirSources) {
    const std::string dir = Fixture("lzvn_streams");
    ASSERT_FALSE(dir.empty());
    int cases = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        if (e.path().extension() != ".src") continue;
        const std::string name = e.path().stem();
        const std::string src = ReadWholeFile(dir + "/" + name + ".src");
        const std::string z = ReadWholeFile(dir + "/" + name + ".lzvn");
        // Exactly sized, then with room to spare (the end-of-stream instruction stops it).
        for (std::size_t room : {src.size(), src.size() + 100}) {
            std::string out(room, '\0');
            ASSERT_EQ(lzvn_decode(out.data(), out.size(), z.data(), z.size()), src.size()) << name;
            EXPECT_EQ(out.substr(0, src.size()), src) << name;
        }
        ++cases;
    }
    EXPECT_EQ(cases, 206);
}

TEST(Lzvn, HandWrittenStreams) {
    struct Case {
        const char* what;
        Bytes stream;
        std::size_t capacity;
        std::string expected;  // "" with ok false: fails
        bool ok;
    };
    const Case cases[] = {
        {"small literal, end", {0xE3, 'a', 'b', 'c', 0x06}, 10, "abc", true},
        {"under 16 bytes out", {0xE1, 'x', 0x06}, 1, "x", true},
        {"small distance, overlapping", {0x40, 0x01, 'z', 0x06}, 10, "zzzz", true},
        {"small match after it", {0x40, 0x01, 'z', 0xF2, 0x06}, 10, "zzzzzz", true},
        {"previous distance", {0x40, 0x01, 'z', 0x46, 'y', 0x06}, 20, "zzzzyyyy", true},
        {"medium distance", {0xA8, 0x04, 0x00, 'q', 0x06}, 10, "qqqq", true},
        {"large distance", {0x47, 0x01, 0x00, 'r', 0x06}, 10, "rrrr", true},
        {"nops", {0x0E, 0x16, 0xE1, 'n', 0x06}, 10, "n", true},
        {"full destination stops it", {0xE3, 'a', 'b', 'c'}, 2, "ab", true},
        {"match past the destination's end stops there", {0x40, 0x01, 'z', 0x06}, 2, "zz", true},
        {"distance before the start", {0xE1, 'a', 0x00, 0x02, 0x06}, 10, "", false},
        {"distance zero", {0xE1, 'a', 0x00, 0x00, 0x06}, 10, "", false},
        {"previous distance unset", {0x46, 'a', 0x06}, 10, "", false},
        {"match without distance", {0xE1, 'a', 0xF3, 0x06}, 10, "", false},
        {"undefined opcode", {0xE1, 'a', 0x1E}, 10, "", false},
        {"undefined opcode 0x70", {0x70}, 10, "", false},
        {"undefined opcode 0xD5", {0xD5}, 10, "", false},
        {"no end of stream", {0xE2, 'a', 'b'}, 10, "", false},
        {"truncated literals", {0xE5, 'a', 'b'}, 10, "", false},
        {"truncated large literal", {0xE0}, 10, "", false},
        {"truncated large distance", {0x07, 0x01}, 10, "", false},
        {"truncated medium distance", {0xA0, 0x01}, 10, "", false},
        {"empty source", {}, 10, "", false},
    };
    for (const Case& c : cases) {
        Bytes out(c.capacity, 0xAA);
        const unsigned long n = Decode(c.stream, out);
        if (!c.ok) {
            EXPECT_EQ(n, 0u) << c.what;
            continue;
        }
        EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<long>(n)), c.expected) << c.what;
    }
}

}  // namespace
