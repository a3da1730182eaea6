#include "platform/Localization.h"
#include "platform/Paths.h"
#include "platform/UserDefaults.h"
#include "tests/platform/TestEnv.h"
#include "tests/support/Fixture.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace salvor::platform;
using salvor::test::ScopedEnv;
using salvor::test::TempDir;

namespace {

// A resource folder of its own with the tables a test gives.
class Tables {
public:
    explicit Tables(std::initializer_list<std::pair<const char*, const char*>> tables)
        : config_("XDG_CONFIG_HOME", dir_.file("config")), res_("SALVOR_RESOURCE_DIR", dir_.file("res")) {
        for (const auto& [lang, text] : tables) {
            const QString folder =
                QString::fromStdString(dir_.file("res/")) + QString::fromUtf8(lang) + ".lproj";
            QDir().mkpath(folder);
            QFile f(folder + "/Localizable.strings");
            EXPECT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(text);
        }
        reloadLocalization();
    }
    ~Tables() { reloadLocalization(); }

private:
    TempDir dir_;
    ScopedEnv config_, res_;
};

std::string L(const char* key) {
    return localizedString(key).toStdString();
}

TEST(StringTable, ParsesEntriesEscapesAndComments) {
    StringTable t;
    QString error;
    ASSERT_TRUE(t.parse("\xEF\xBB\xBF/* header */\n"
                        "\"A\" = \"one\\ntwo\";  // trailing\n"
                        "\"B\"=\"say \\\"hi\\\" \\\\ done\";\n"
                        "bare_key = \"x\";\n"
                        "\"U\" = \"\\u00e9t\\U00E9 \xC3\xBC\";\n"
                        "\"SELF\";\n"
                        "\"EMPTY\" = \"\";\n",
                        &error))
        << error.toStdString();
    EXPECT_EQ(t.size(), 6);
    EXPECT_EQ(t.find("A")->toStdString(), "one\ntwo");
    EXPECT_EQ(t.find("B")->toStdString(), "say \"hi\" \\ done");
    EXPECT_EQ(t.find("bare_key")->toStdString(), "x");
    EXPECT_EQ(*t.find("U"), QStringLiteral("\u00e9t\u00e9 \u00fc"));
    EXPECT_EQ(t.find("SELF")->toStdString(), "SELF");
    EXPECT_EQ(t.find("EMPTY")->toStdString(), "");
    EXPECT_EQ(t.find("missing"), nullptr);
    const QString text = QStringLiteral("\"K\" = \"V\u00e4\";"); // UTF-16 with a byte-order mark
    QByteArray bytes("\xFF\xFE", 2);
    bytes.append(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    ASSERT_TRUE(t.parse(bytes));
    EXPECT_EQ(*t.find("K"), QStringLiteral("V\u00e4"));
}

TEST(StringTable, SyntaxErrorsKeepWhatCameBeforeAndNameTheLine) {
    for (const char* bad :
         {"\"A\" = \"1\";\n\"B\" = \"2\" \"C\" = \"3\";", "\"A\" = \"1\";\n\"B\" = \"unterminated",
          "\"A\" = \"1\";\n/* open comment", "\"A\" = \"1\";\n= \"x\";", "\"A\" = \"1\";\n\"B\" \"x\";",
          "\"A\" = \"1\";\n\"B\" = \"\\"}) {
        StringTable t;
        QString error;
        EXPECT_FALSE(t.parse(bad, &error)) << bad;
        EXPECT_TRUE(error.startsWith(QStringLiteral("line 2"))) << error.toStdString();
        ASSERT_NE(t.find("A"), nullptr);
    }
}

TEST(Localization, MissingKeysLanguagesAndTypedFormats) {
    Tables tables(
        {{"en", "\"HELLO\" = \"Hello\"; \"ONLY_EN\" = \"English\"; \"COUNT\" = \"%@ has %d files\"; "
                "\"BAD\" = \"%d of %s and %f\";"},
         {"fr", "\"HELLO\" = \"Bonjour\";"}});
    EXPECT_EQ(L("HELLO"), "Hello");
    EXPECT_EQ(L("NO_SUCH_KEY"), "NO_SUCH_KEY");
    UserDefaults::setAppleLanguages({QStringLiteral("de")}); // no table: English
    EXPECT_EQ(L("HELLO"), "Hello");
    for (const char* french : {"fr", "fr-CA"}) {
        UserDefaults::setAppleLanguages({QString::fromUtf8(french)});
        EXPECT_EQ(L("HELLO"), "Bonjour") << french;
        EXPECT_EQ(L("ONLY_EN"), "English") << french;
    }
    EXPECT_EQ(localizedFormat("COUNT", "x", 3).toStdString(), "x has 3 files");
    EXPECT_EQ(localizedFormat("BAD", "a", 2).toStdString(),
              "a of 2 and %f"); // a translator's wrong specifier
    EXPECT_EQ(localizedFormat("MISSING %d", 5).toStdString(), "MISSING 5");
}

TEST(Localization, ShippedEnglishTableHoldsEveryKey) {
    reloadLocalization();
    StringTable english;
    QString error;
    ASSERT_TRUE(english.load(resourcePath(QStringLiteral("en.lproj/Localizable.strings")), &error))
        << error.toStdString();
    EXPECT_GE(localizationKeys().size(), 80);
    for (const QString& key : localizationKeys()) {
        const QString* text = english.find(key);
        ASSERT_NE(text, nullptr) << key.toStdString();
        EXPECT_FALSE(text->isEmpty()) << key.toStdString();
    }
    EXPECT_EQ(english.size(), localizationKeys().size());
    ScopedEnv cfg("XDG_CONFIG_HOME", "/nonexistent-salvor-test");
    reloadLocalization();
    EXPECT_EQ(localizedFormat("MENU_ABOUT_NAME", localizedString("WINDOW_TOP_TITLE")).toStdString(),
              "About Salvor");
    EXPECT_EQ(localizedFormat("PAGE_FOUR_RECOVER_NOTEND_NODE", 12.0).toStdString().find("12 files") !=
                  std::string::npos,
              true);
    reloadLocalization();
}

} // namespace
