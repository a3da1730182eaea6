// Names of recovered files: nothing that escapes the folder, no control
// characters, nothing longer than a Linux name may be.
#include "engine/common/TextConvert.h"

#include <gtest/gtest.h>

namespace {

std::string Repeat(const std::string& unit, int n) {
    std::string out;
    while (n-- > 0)
        out += unit;
    return out;
}

TEST(SafeName, ControlCharactersBecomeUnderscores) {
    EXPECT_EQ(MakeSafeFileName("line\nbreak.txt"), "line_break.txt");
    EXPECT_EQ(MakeSafeFileName("esc\x1b[31m"), "esc_[31m");
    EXPECT_EQ(MakeSafeFileName("\x01tab\there\x1f\x7f"), "_tab_here__");
    EXPECT_EQ(MakeSafeFileName("caf\xc3\xa9 \xe4\xb8\xad"), "caf\xc3\xa9 \xe4\xb8\xad");
}

TEST(SafeName, LongNamesAreCutAtACharacterKeepingTheExtension) {
    const std::string cjk = Repeat("\xe4\xb8\xad", 100); // 300 bytes
    struct Case {
        std::string name, wantEnd;
        size_t wantSize;
    } cases[] = {
        {cjk + ".txt", ".txt", 253},                          // 83 characters + extension
        {cjk, "\xe4\xb8\xad", 255},                           // no extension
        {Repeat("a", 300) + "." + Repeat("b", 40), "a", 255}, // an extension that long is not kept
        {Repeat("a", 255), "a", 255},                         // fits as it is
    };
    for (const Case& c : cases) {
        const std::string safe = MakeSafeFileName(c.name);
        EXPECT_EQ(safe.size(), c.wantSize) << c.name;
        EXPECT_TRUE(safe.ends_with(c.wantEnd)) << safe;
        EXPECT_EQ(safe, TruncateUtf8(safe, 255)); // whole characters only
    }
}

TEST(SafeName, NumberedNamesStayWithinTheLimit) {
    EXPECT_EQ(NumberedFileName("a.txt", 1), "a.txt");
    EXPECT_EQ(NumberedFileName("a.txt", 2), "a (2).txt");
    EXPECT_EQ(NumberedFileName(".profile", 3), ".profile (3)");
    const std::string numbered = NumberedFileName(MakeSafeFileName(Repeat("\xe4\xb8\xad", 100) + ".txt"), 12);
    EXPECT_LE(numbered.size(), 255u);
    EXPECT_TRUE(numbered.ends_with("\xe4\xb8\xad (12).txt")) << numbered;
}

} // namespace
