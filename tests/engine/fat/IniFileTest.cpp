#include "engine/fat/IniFile.h"
#include "tests/support/fs_Scan.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {
class IniFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& text) {
        std::ofstream(tmp.file("UIConfig.ini"), std::ios::binary) << text;
        return tmp.file("UIConfig.ini");
    }
    salvor::test::TempDir tmp;
};
} // namespace

TEST_F(IniFileTest, ReadsItemsExactly) {
    const std::string longValue(3000, 'x');
    CIniFile ini;
    // A last line without a line feed keeps its last character; carriage returns and long lines stay.
    ASSERT_EQ(ini.Init(Write("[UserExperience]\nbRevise=0\nspaced = 1\nempty=\n[S]\r\nk=v\r\nlong=" + longValue + "\nlast=7")), 0);
    const struct {
        const char *section, *key;
        int rc;
        std::string value;
    } rows[] = {{"UserExperience", "bRevise", 0, "0"}, {"UserExperience", "spaced", -1, ""},
                {"UserExperience", "spaced ", 0, " 1"}, {"UserExperience", "empty", -1, ""},
                {"UserExperience", "absent", -1, ""},   {"Other", "bRevise", -1, ""},
                {"S", "k", 0, "v\r"},                   {"S", "long", 0, longValue},
                {"S", "last", 0, "7"}};
    for (const auto& r : rows) {
        std::string v;
        EXPECT_EQ(ini.ReadItem(r.section, r.key, v), r.rc) << r.section << "/" << r.key;
        if (r.rc == 0) EXPECT_EQ(v, r.value) << r.section << "/" << r.key;
    }
}

TEST_F(IniFileTest, RefusedFiles) {
    std::string v;
    for (const char* text : {"k=v\n[S]\n", "[]\nk=v\n", "[S]\na=1\n[T\nb=2\n"}) {
        CIniFile ini;
        EXPECT_EQ(ini.Init(Write(text)), -1) << text;
        EXPECT_EQ(ini.ReadItem("S", "k", v), -1) << text;
        EXPECT_EQ(ini.ReadItem("S", "a", v), text[1] == 'S' ? 0 : -1) << "what was read before stays";
    }
    CIniFile missing;
    EXPECT_EQ(missing.Init(tmp.file("none.ini")), -1);
    EXPECT_EQ(missing.ReadItem("UserExperience", "bRevise", v), -1);
}

TEST_F(IniFileTest, WriteItemRewritesInNameOrder) {
    const std::string path = Write("[B]\nz=1\na=2\n[A]\nk=v\n");
    CIniFile ini(path);
    ASSERT_EQ(ini.Init(), 0);
    EXPECT_EQ(ini.WriteItem("A", "absent", "x"), -1);
    EXPECT_EQ(ini.WriteItem("A", "k", "w"), 0);
    EXPECT_EQ(salvor::test::ReadText(path), "[A]\nk=w\n\n[B]\na=2\nz=1\n\n");
    std::string t = "  \tx y\t ", blank = " \t ";
    EXPECT_EQ(CIniFile::TrimString(t), 0);
    EXPECT_EQ(t, "x y");
    EXPECT_EQ(CIniFile::TrimString(blank), -1);
}
