#include "engine/fat/IniFile.h"
#include "tests/support/Fixture.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {
class IniFileTest : public ::testing::Test {
protected:
    std::string Write(const std::string& text) {
        const std::string path = tmp.file("UIConfig.ini");
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    salvor::test::TempDir tmp;
};
} // namespace

TEST_F(IniFileTest, ReadsItemsExactly) {
    CIniFile ini;
    ASSERT_EQ(ini.Init(Write("[UserExperience]\nbRevise=0\nspaced = 1\nempty=\nlast=7")), 0);
    std::string v;
    EXPECT_EQ(ini.ReadItem("UserExperience", "bRevise", v), 0);
    EXPECT_EQ(v, "0");
    EXPECT_EQ(ini.ReadItem("UserExperience", "spaced", v), -1);
    EXPECT_EQ(ini.ReadItem("UserExperience", "spaced ", v), 0);
    EXPECT_EQ(v, " 1");
    EXPECT_EQ(ini.ReadItem("UserExperience", "empty", v), -1);
    EXPECT_EQ(ini.ReadItem("UserExperience", "absent", v), -1);
    EXPECT_EQ(ini.ReadItem("Other", "bRevise", v), -1);
    // A last line without a line feed keeps its last character.
    EXPECT_EQ(ini.ReadItem("UserExperience", "last", v), 0);
    EXPECT_EQ(v, "7");
}

TEST_F(IniFileTest, CarriageReturnsAndLongLinesStay) {
    const std::string longValue(3000, 'x');
    CIniFile ini;
    ASSERT_EQ(ini.Init(Write("[S]\r\nk=v\r\nlong=" + longValue + "\n")), 0);
    std::string v;
    EXPECT_EQ(ini.ReadItem("S", "k", v), 0);
    EXPECT_EQ(v, "v\r");
    EXPECT_EQ(ini.ReadItem("S", "long", v), 0);
    EXPECT_EQ(v, longValue);
}

TEST_F(IniFileTest, RefusedFiles) {
    CIniFile before;
    EXPECT_EQ(before.Init(Write("k=v\n[S]\n")), -1);
    std::string v;
    EXPECT_EQ(before.ReadItem("S", "k", v), -1);
    CIniFile emptySection;
    EXPECT_EQ(emptySection.Init(Write("[]\nk=v\n")), -1);
    CIniFile unclosed;
    EXPECT_EQ(unclosed.Init(Write("[S]\na=1\n[T\nb=2\n")), -1);
    EXPECT_EQ(unclosed.ReadItem("S", "a", v), 0); // what was read before stays
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
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "[A]\nk=w\n\n[B]\na=2\nz=1\n\n");
    std::string t = "  \tx y\t ";
    EXPECT_EQ(CIniFile::TrimString(t), 0);
    EXPECT_EQ(t, "x y");
    std::string blank = " \t ";
    EXPECT_EQ(CIniFile::TrimString(blank), -1);
}
