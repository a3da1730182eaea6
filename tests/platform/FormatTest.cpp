#include "platform/Format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

using salvor::platform::format;

namespace {

std::string f(const QString& s) { return s.toStdString(); }

TEST(Format, TheSpecifiersTheTablesUse) {
    EXPECT_EQ(f(format("%@ has %d files", "x", 3)), "x has 3 files");
    EXPECT_EQ(f(format("%lld", 1234567890123LL)), "1234567890123");
    EXPECT_EQ(f(format("%f", 1.5)), "1.500000");
    EXPECT_EQ(f(format("%.0f byte", 1023.0f)), "1023 byte");
    EXPECT_EQ(f(format("%0.2f KB", 1.0)), "1.00 KB");
    EXPECT_EQ(f(format("%02d:%02d:%02d ", 7, 5, 30)), "07:05:30 ");
    EXPECT_EQ(f(format("%@_%04d%@", QStringLiteral("photo"), 1, ".jpg")), "photo_0001.jpg");
    EXPECT_EQ(f(format("100%% of %u", 5u)), "100% of 5");
    EXPECT_EQ(f(format("%s:%d started!", std::string("DoScan"), 42)), "DoScan:42 started!");
    EXPECT_EQ(f(format("%x %X %o", 255, 255u, 8)), "ff FF 10");
    EXPECT_EQ(f(format("[%-4d|%4s]", 7, "ab")), "[7   |  ab]");
    EXPECT_EQ(f(format("%c", 0x41)), "A");
    EXPECT_EQ(f(format("%2$@ before %1$@", "a", "b")), "b before a");
}

TEST(Format, MismatchedSpecifiersStillGiveText) {
    // Each of these would be undefined behaviour handed to printf.
    EXPECT_EQ(f(format("%d files", "many")), "many files");
    EXPECT_EQ(f(format("%@ files", 3)), "3 files");
    EXPECT_EQ(f(format("%f", "x")), "x");
    EXPECT_EQ(f(format("%d", 2.9)), "2");
    EXPECT_EQ(f(format("%.0f files", 12)), "12 files");
    EXPECT_EQ(f(format("%lld", 1.0e300)), std::to_string(std::numeric_limits<long long>::max()));
    EXPECT_EQ(f(format("%d", std::nan(""))), "0");
    EXPECT_EQ(f(format("%u", -1)), "18446744073709551615");
    EXPECT_EQ(f(format("%s and %s", "one")), "one and %s");
    EXPECT_EQ(f(format("%@ %d")), "%@ %d");
    EXPECT_EQ(f(format("%9$@", "a")), "%9$@");
    EXPECT_EQ(f(format("%k %y 50%", 1)), "%k %y 50%");
    EXPECT_EQ(f(format("%#d", 5)), "5");
    EXPECT_EQ(f(format("%c", -5)), "");
    EXPECT_EQ(f(format("trailing %")), "trailing %");
    EXPECT_EQ(f(format("%.*f|%*d", 2, 3.14159, -3, 7)), "3.14|7  ");
}

TEST(Format, HugeFieldsAreBounded) {
    const QString s = format("%999999999999d|%.999999999f", 1, 1.0);
    EXPECT_LT(s.size(), 2000);
    EXPECT_TRUE(s.contains(QLatin1Char('|')));
}

} // namespace
