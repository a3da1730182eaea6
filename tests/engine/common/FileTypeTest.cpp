// File-type manager, its hash table, the format table, text conversion and partition records.
#include "engine/common/FileTypeManager.h"
#include "engine/common/FormatTable.h"
#include "engine/common/KeHashTable.h"
#include "engine/common/TextConvert.h"
#include "engine/include/SearchedPartitionInfo.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// An independent reading of the hash: a plain LCG crypt table and the
// two-accumulator loop, written from the description rather than the code.
struct ReferenceHash {
    unsigned long long table[1280];
    ReferenceHash() {
        unsigned long long seed = 0x00100001;
        for (int i = 0; i < 256; ++i)
            for (int r = 0; r < 5; ++r) {
                unsigned long long a = (seed * 125 + 3) % 0x2AAAAB;
                seed = (a * 125 + 3) % 0x2AAAAB;
                table[r * 256 + i] = ((a & 0xFFFF) << 16) | (seed & 0xFFFF);
            }
    }
    unsigned long long operator()(const std::string& key, int type) const {
        unsigned long long s1 = 0x7FED7FED, s2 = 0xEEEEEEEE;
        for (unsigned char c : key) {
            if (c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
            s1 = ((s1 + s2) ^ table[type * 256 + c]) & 0xFFFFFFFF;
            s2 = (s2 * 97 + c + s1) & 0xFFFFFFFF;
        }
        return s1;
    }
};

TEST(KeHash, MatchesAnIndependentImplementationAndFillsUp) {
    ReferenceHash ref;
    for (const std::string key : {"", "jpg", "JPG", "docx", "tar.gz", "\xc3\xa9t\xc3\xa9", "\xff\xfe\x80"})
        for (int t = 0; t < 3; ++t) EXPECT_EQ(kehash::HashString(key.c_str(), t), ref(key, t)) << key << " " << t;

    CKeHashTable<int, 16> table;
    EXPECT_EQ(table.GetHashTablePos(nullptr), -1);
    EXPECT_EQ(table.GetHashTablePos("a"), -1);
    for (int i = 0; i < 16; ++i) ASSERT_TRUE(table.Insert(std::string("k").append(std::to_string(i)).c_str(), i));
    EXPECT_FALSE(table.Insert("overflow", 99));
    for (int i = 0; i < 16; ++i) {
        int v = -1;
        ASSERT_TRUE(table.Find(std::string("K").append(std::to_string(i)).c_str(), &v));
        EXPECT_EQ(v, i);
    }
    EXPECT_EQ(table.GetHashTablePos("absent"), -1) << "a full turn ends the search";
}

TEST(FileTypeManager, CategoriesIgnoreCaseAndFollowTheApplicationsLists) {
    CFileTypeManager m;
    ASSERT_EQ(m.Initialize(), 1);
    const std::pair<const char*, int> cases[] = {
        {"jpg", FILE_TYPE_PICTURE}, {"JPG", FILE_TYPE_PICTURE},  {"Mp3", FILE_TYPE_MUSIC},
        {"mov", FILE_TYPE_MOVIE},   {"zip", FILE_TYPE_ARCHIVE},  {"docx", FILE_TYPE_DOCUMENT},
        {"nope", FILE_TYPE_OTHER},  {"", FILE_TYPE_OTHER},       {nullptr, FILE_TYPE_OTHER},
        {"\xc3\xa9\xff", FILE_TYPE_OTHER}};
    for (auto [ext, type] : cases) EXPECT_EQ(m.GetFileTypeID(ext), type) << (ext ? ext : "null");

    const std::string saved = strPics;
    strPics = ";heic;;webp;";
    CFileTypeManager set;
    set.Initialize();
    strPics = saved;
    EXPECT_EQ(set.GetFileTypeID("HEIC"), FILE_TYPE_PICTURE);
    EXPECT_EQ(set.GetFileTypeID("webp"), FILE_TYPE_PICTURE);
    EXPECT_EQ(set.GetFileTypeID("jpg"), FILE_TYPE_OTHER);

    // Every row of the format table has an extension; past it there are none.
    for (unsigned i = 0; i < kFormatCount; ++i) EXPECT_GT(std::strlen(FormatExtension(i)), 0u) << i;
    for (unsigned i : {kFormatCount, 200u, 1999u, 2000u}) EXPECT_STREQ(FormatExtension(i), "") << i;
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(35)), FILE_TYPE_PICTURE);
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(43)), FILE_TYPE_MUSIC);
    EXPECT_EQ(m.GetFileTypeID(FormatExtension(23)), FILE_TYPE_DOCUMENT);
}

TEST(Utf8, ToUnicodeAndToAnsiKeepWholeCharacters) {
    wchar_t out[16];
    const unsigned char ascii[] = "abc", broken[] = {'a', 0xC3, 0x41}, cut[] = {'a', 0xE2, 0x82};
    EXPECT_EQ(UTF8ToUNICODE(ascii, 3, out, 16), 3);
    EXPECT_EQ(UTF8ToUNICODE(ascii, 0, out, 16), 0);
    EXPECT_EQ(UTF8ToUNICODE(ascii, 3, out, 0), 0);
    EXPECT_EQ(UTF8ToUNICODE(ascii, -1, out, 16), 0);
    EXPECT_EQ(UTF8ToUNICODE(broken, 3, out, 16), 0);
    EXPECT_EQ(UTF8ToUNICODE(cut, 3, out, 16), 1) << "a sequence cut at the end stops there";
    const unsigned char emoji[] = {'x', 0xF0, 0x9F, 0x98, 0x80};
    ASSERT_EQ(UTF8ToUNICODE(emoji, 5, out, 16), 3);
    EXPECT_EQ(out[1], 0xD83D);
    EXPECT_EQ(out[2], 0xDE00);
    EXPECT_EQ(UTF8ToUNICODE(emoji, 5, out, 2), 1) << "no room for the pair: stop before it";

    const std::string s = "caf\xc3\xa9 \xe6\x97\xa5";
    const auto* in = reinterpret_cast<const unsigned char*>(s.data());
    char text[64];
    EXPECT_EQ(std::string(text, UTF8ToANSI(in, s.size(), text, sizeof text)), s);
    EXPECT_EQ(std::string(text, UTF8ToANSI(in, s.size(), text, 4)), "caf");
    const unsigned char lead[] = {0x80, 'a'};
    EXPECT_EQ(UTF8ToANSI(lead, 2, text, sizeof text), 0u);
}

TEST(TextConvert, Utf16CharsetsTruncationAndSafeNames) {
    const std::uint8_t name[] = {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 'b', 0, 0, 0, 'z', 0};
    EXPECT_EQ(Utf16LeToUtf8(name, sizeof name), "a\xf0\x9f\x98\x80"
                                                 "b");
    const std::uint8_t lone[] = {0x3D, 0xD8, 'c', 0}, odd[] = {'q', 0, 'r'};
    EXPECT_EQ(Utf16LeToUtf8(lone, sizeof lone), "\xef\xbf\xbd"
                                                "c");
    EXPECT_EQ(Utf16LeToUtf8(odd, sizeof odd), "q");
    EXPECT_EQ(Utf16LeToUtf8(nullptr, 4), "");

    const std::uint8_t latin[] = {'f', 0xE9, 'e'}, badUtf8[] = {'a', 0xFF, 'b'};
    EXPECT_EQ(CharsetToUtf8("LATIN1", latin, 3), "f\xc3\xa9"
                                                  "e");
    EXPECT_EQ(CharsetToUtf8("UTF-8", badUtf8, 3), "a\xef\xbf\xbd"
                                                  "b");
    EXPECT_EQ(CharsetToUtf8("NO-SUCH-SET", latin, 3), "");
    EXPECT_EQ(TruncateUtf8("ab\xc3\xa9", 3), "ab");
    EXPECT_EQ(TruncateUtf8("ab\xc3\xa9", 4), "ab\xc3\xa9");

    const std::pair<std::string, std::string> names[] = {
        {"a/b", "a_b"}, {"..", "_.."}, {".", "_."}, {"", "_"}, {std::string("x\0y", 3), "x_y"}, {"..x", "..x"}};
    for (const auto& [raw, safe] : names) EXPECT_EQ(MakeSafeFileName(raw), safe) << raw;
}

TEST(Records, SectorSizesAndPartitionCopies) {
    for (unsigned bad : {0u, 100u, 513u}) EXPECT_EQ(CSearchedPartitionInfo(bad).GetSectorSize(), 512u) << bad;
    for (unsigned good : {1024u, 4096u}) EXPECT_EQ(CSearchedPartitionInfo(good).GetSectorSize(), good);
    CSearchedPartitionInfo info(4096);
    info.m_score = 95;
    std::unique_ptr<CSearchedPartitionInfo> copy(info.Clone());
    EXPECT_EQ(copy->m_score, 95);
    EXPECT_EQ(copy->GetSectorSize(), 4096u);
}

} // namespace
