#include "platform/Localization.h"

#include "platform/Paths.h"
#include "platform/UserDefaults.h"

#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QStringDecoder>

#include <mutex>

namespace salvor::platform {

// ---- StringTable ----------------------------------------------------------

namespace {

class StringsParser {
public:
    explicit StringsParser(const QString& text) : s_(text) {}

    bool run(QHash<QString, QString>& out, QString* error) {
        for (;;) {
            if (!skipSpaceAndComments()) return fail(error, QStringLiteral("unterminated comment"));
            if (atEnd()) return true;
            QString key, value;
            if (!readToken(key)) return fail(error, QStringLiteral("expected a key"));
            if (!skipSpaceAndComments()) return fail(error, QStringLiteral("unterminated comment"));
            if (peek() == QLatin1Char(';')) {
                // "KEY"; stands for "KEY" = "KEY";
                ++i_;
                out.insert(key, key);
                continue;
            }
            if (peek() != QLatin1Char('=')) return fail(error, QStringLiteral("expected '='"));
            ++i_;
            if (!skipSpaceAndComments()) return fail(error, QStringLiteral("unterminated comment"));
            if (!readToken(value)) return fail(error, QStringLiteral("expected a value"));
            if (!skipSpaceAndComments()) return fail(error, QStringLiteral("unterminated comment"));
            if (peek() != QLatin1Char(';')) return fail(error, QStringLiteral("expected ';'"));
            ++i_;
            out.insert(key, value);
        }
    }

private:
    bool atEnd() const { return i_ >= s_.size(); }
    QChar peek() const { return atEnd() ? QChar() : s_.at(i_); }

    bool fail(QString* error, const QString& what) const {
        if (error) {
            const qsizetype line = s_.left(i_).count(QLatin1Char('\n')) + 1;
            *error = QStringLiteral("line %1: %2").arg(line).arg(what);
        }
        return false;
    }

    bool skipSpaceAndComments() {
        while (!atEnd()) {
            const QChar c = s_.at(i_);
            if (c.isSpace()) {
                ++i_;
            } else if (c == QLatin1Char('/') && i_ + 1 < s_.size() && s_.at(i_ + 1) == QLatin1Char('*')) {
                const qsizetype end = s_.indexOf(QStringLiteral("*/"), i_ + 2);
                if (end < 0) return false;
                i_ = end + 2;
            } else if (c == QLatin1Char('/') && i_ + 1 < s_.size() && s_.at(i_ + 1) == QLatin1Char('/')) {
                const qsizetype end = s_.indexOf(QLatin1Char('\n'), i_);
                i_ = end < 0 ? s_.size() : end + 1;
            } else {
                break;
            }
        }
        return true;
    }

    static bool isBareChar(QChar c) {
        return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('.') || c == QLatin1Char('-') ||
               c == QLatin1Char('$') || c == QLatin1Char(':') || c == QLatin1Char('/');
    }

    static int hexValue(QChar c) {
        const ushort u = c.unicode();
        if (u >= '0' && u <= '9') return u - '0';
        if (u >= 'a' && u <= 'f') return u - 'a' + 10;
        if (u >= 'A' && u <= 'F') return u - 'A' + 10;
        return -1;
    }

    bool readToken(QString& out) {
        out.clear();
        if (atEnd()) return false;
        if (peek() != QLatin1Char('"')) {
            while (!atEnd() && isBareChar(peek())) out += s_.at(i_++);
            return !out.isEmpty();
        }
        ++i_;
        while (!atEnd()) {
            const QChar c = s_.at(i_++);
            if (c == QLatin1Char('"')) return true;
            if (c != QLatin1Char('\\')) {
                out += c;
                continue;
            }
            if (atEnd()) return false;
            const QChar e = s_.at(i_++);
            switch (e.unicode()) {
            case 'n': out += QLatin1Char('\n'); break;
            case 't': out += QLatin1Char('\t'); break;
            case 'r': out += QLatin1Char('\r'); break;
            case 'U':
            case 'u': {
                int v = 0, digits = 0;
                while (digits < 4 && !atEnd() && hexValue(peek()) >= 0) {
                    v = v * 16 + hexValue(s_.at(i_++));
                    ++digits;
                }
                if (digits == 0) {
                    out += e;
                } else {
                    // Surrogate halves arrive as two escapes and pair up here.
                    out += QChar(static_cast<char16_t>(v));
                }
                break;
            }
            default: out += e; break; // \" \\ \' and anything else stand for themselves
            }
        }
        return false;
    }

    const QString& s_;
    qsizetype i_ = 0;
};

QString decodeStrings(const QByteArray& bytes) {
    // UTF-16 tables carry a byte-order mark; everything else is UTF-8.
    if (bytes.startsWith("\xFF\xFE") || bytes.startsWith("\xFE\xFF")) {
        auto decoder = QStringDecoder(QStringDecoder::Utf16);
        return decoder(bytes);
    }
    QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QChar(0xFEFF))) text.remove(0, 1);
    return text;
}

} // namespace

bool StringTable::parse(const QByteArray& bytes, QString* error) {
    const QString text = decodeStrings(bytes);
    StringsParser parser(text);
    return parser.run(entries_, error);
}

bool StringTable::load(const QString& path, QString* error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error) *error = QStringLiteral("cannot read %1: %2").arg(path, f.errorString());
        return false;
    }
    return parse(f.readAll(), error);
}

const QString* StringTable::find(const QString& key) const {
    auto it = entries_.constFind(key);
    return it == entries_.cend() ? nullptr : &it.value();
}

// ---- lookups ----------------------------------------------------------------

namespace {

struct Tables {
    std::mutex mutex;
    bool loaded = false;
    StringTable preferred;
    StringTable english;
};

Tables& tables() {
    static Tables t;
    return t;
}

QString tablePath(const QString& language) {
    return resourcePath(language + QStringLiteral(".lproj/Localizable.strings"));
}

// "zh_Hans_CN" and "zh-Hans-CN" name the same language; a region or script
// falls back to the bare language.
QStringList candidates(const QString& language) {
    QStringList out;
    auto add = [&](const QString& c) {
        if (!c.isEmpty() && !out.contains(c)) out << c;
    };
    add(language);
    add(QString(language).replace(QLatin1Char('_'), QLatin1Char('-')));
    add(QString(language).replace(QLatin1Char('-'), QLatin1Char('_')));
    qsizetype cut = 0;
    while (cut < language.size() && language.at(cut) != QLatin1Char('-') && language.at(cut) != QLatin1Char('_')) ++cut;
    if (cut > 0 && cut < language.size()) add(language.left(cut));
    return out;
}

void ensureLoaded(Tables& t) {
    if (t.loaded) return;
    t.loaded = true;
    t.preferred.clear();
    t.english.clear();
    t.english.load(tablePath(QStringLiteral("en")));
    for (const QString& c : candidates(preferredLanguage())) {
        if (c == QLatin1String("en")) break;
        const QString path = tablePath(c);
        if (!path.isEmpty() && QFileInfo::exists(path)) {
            t.preferred.load(path);
            break;
        }
    }
}

} // namespace

QString preferredLanguage() {
    const QStringList languages = UserDefaults::appleLanguages();
    if (!languages.isEmpty()) return languages.first();
    const QString system = QLocale::system().name(); // e.g. "de_DE", "C"
    return system == QLatin1String("C") || system.isEmpty() ? QStringLiteral("en") : system;
}

QString localizedString(const QString& key) {
    Tables& t = tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    ensureLoaded(t);
    if (const QString* v = t.preferred.find(key)) return *v;
    if (const QString* v = t.english.find(key)) return *v;
    return key;
}

QString localizedString(const char* key) { return localizedString(QString::fromUtf8(key ? key : "")); }

void reloadLocalization() {
    Tables& t = tables();
    std::lock_guard<std::mutex> lock(t.mutex);
    t.loaded = false;
}

const QStringList& localizationKeys() {
    static const QStringList keys{
    QStringLiteral("WINDOW_TOP_TITLE"),
    QStringLiteral("MENU_ABOUT_NAME"),
    QStringLiteral("MENU_CHECK_UPDTE"),
    QStringLiteral("MENU_HIDEN_SELF"),
    QStringLiteral("MENU_HIDEN_OTHER"),
    QStringLiteral("MENU_SHOW_ALL"),
    QStringLiteral("MENU_EXIT"),
    QStringLiteral("MENU_WINDOW"),
    QStringLiteral("MENU_MINIMIZE"),
    QStringLiteral("MENU_MAXIMIZE"),
    QStringLiteral("MENU_HELP"),
    QStringLiteral("MENU_ONLINE_HELP"),
    QStringLiteral("MENU_SUPPORT_CENTER"),
    QStringLiteral("PAGE_ONE_BLOW_TITLE"),
    QStringLiteral("PAGE_ONE_BLOW_DISCRIPTION"),
    QStringLiteral("MAIN_ICON_LINK"),
    QStringLiteral("PAGE_TWO_MIDLLE_STRING"),
    QStringLiteral("PAGE_TWO_ALLTYPES"),
    QStringLiteral("PAGE_TWO_PICTURE_TITLE"),
    QStringLiteral("PAGE_TWO_MUSIC_TITLE"),
    QStringLiteral("PAGE_TWO_MOVIE_TITLE"),
    QStringLiteral("PAGE_TWO_ARCHIVE_TITLE"),
    QStringLiteral("PAGE_TWO_DOCUMENT_TITLE"),
    QStringLiteral("PAGE_TWO_OTHER_TITLE"),
    QStringLiteral("PAGE_TWO_IMPORT_BUTTON_TIP"),
    QStringLiteral("PAGE_THREE_MIDLLE_STRING"),
    QStringLiteral("PAGE_THREE_TABLEVIEW_DRIVES"),
    QStringLiteral("PAGE_THREE_TABLEVIEW_SIZE"),
    QStringLiteral("PAGE_THREE_TABLEVIEW_FILESYSTEM"),
    QStringLiteral("DEVICE_NAME_UNTITILED"),
    QStringLiteral("USB Bus"),
    QStringLiteral("USB 2.0 Bus"),
    QStringLiteral("PAGE_FOUR_BACKHOME_BUTTON"),
    QStringLiteral("PAGE_FOUR_DEEPSCAN_BUTTON"),
    QStringLiteral("PAGE_FOUR_DEEPSCAN_NODE"),
    QStringLiteral("PAGE_FOUR_FILESFOUND"),
    QStringLiteral("PAGE_FOUR_REMAININGTIME"),
    QStringLiteral("PAGE_FOUR_ALL_FILES_SIZE"),
    QStringLiteral("PAGE_FOUR_DEVICE_GONE_TITLE"),
    QStringLiteral("PAGE_FOUR_DEVICE_GONE_NODE"),
    QStringLiteral("PAGE_FOUR_UNREADABLE_TITLE"),
    QStringLiteral("PAGE_FOUR_UNREADABLE_NODE"),
    QStringLiteral("DEVICE_NOT_ANSWERING_WAITING"),
    QStringLiteral("PAGE_FOUR_LOADED_UNFINISHED_NODE"),
    QStringLiteral("PAGE_FOUR_LOADED_UNFINISHED_TITLE"),
    QStringLiteral("PAGE_FOUR_SELECT_FILES"),
    QStringLiteral("PAGE_FOUR_SELECT_TYPE_BUTTON_PATH"),
    QStringLiteral("PAGE_FOUR_SELECT_TYPE_BUTTON_TYPE"),
    QStringLiteral("PAGE_FOUR_SELECT_TYPE_BUTTON_CREATTIME"),
    QStringLiteral("PAGE_FOUR_SELECT_TYPE_BUTTON_MODIFYTIME"),
    QStringLiteral("PAGE_FOUR_SELECT_TYPE_BUTTON_TIME"),
    QStringLiteral("PAGE_FOUR_TABLE_NAME"),
    QStringLiteral("PAGE_FOUR_TABLE_SIZE"),
    QStringLiteral("PAGE_FOUR_TABLE_PATH"),
    QStringLiteral("PAGE_FOUR_TABLE_CREATED"),
    QStringLiteral("PAGE_FOUR_SAVE_BUTTON_TIP"),
    QStringLiteral("PQX_FOUR_NO_VALUE_NOTE"),
    QStringLiteral("CREATE_TIME_ROOT_NAME"),
    QStringLiteral("MODIFY_TIME_ROOT_NAME"),
    QStringLiteral("LAST_ACCESS_TIME_ROOT_NAME"),
    QStringLiteral("PAGE_FOUR_SCAN_STOP_TITLE"),
    QStringLiteral("PAGE_FOUR_SCAN_STOP_NODE"),
    QStringLiteral("PAGE_FOUR_SCAN_STOP_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_SCAN_STOP_NO_BUTTON"),
    QStringLiteral("PAGE_FOUR_SCAN_BACKHOME_TITLE"),
    QStringLiteral("PAGE_FOUR_SCAN_BACKHOME_NODE"),
    QStringLiteral("PAGE_FOUR_SCAN_BACKHOME_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_SCAN_BACKHOME_NO_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_WINDOW_SAVE_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_COMPETENCE_TITLE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_COMPETENCE_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_SPACE_TITLE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_SPACE_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_SPACE_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_NO_SPACE_NO_BUTTON"),
    QStringLiteral("PAGE_FOUR_SAVE_SAME_PATH_TITLE"),
    QStringLiteral("PAGE_FOUR_SAVE_SAME_PATH_NODE"),
    QStringLiteral("PAGE_FOUR_SAVE_SAME_PATH_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_SAVE_SAME_PATH_NO_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVER_PROGRESS_TITLE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_STOP_TITLE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_STOP_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVERY_STOP_YES_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_STOP_NO_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVERY_STOP_BUTTON"),
    QStringLiteral("PAGE_FOUR_RECOVER_END_TITLE"),
    QStringLiteral("PAGE_FOUR_RECOVER_END_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVER_NOTEND_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVER_DEVICE_GONE_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVER_NOTEND_NONE"),
    QStringLiteral("PAGE_FOUR_RECOVER_DEVICE_GONE_NONE"),
    QStringLiteral("PAGE_FOUR_RECOVER_NOTEND_LEFT"),
    QStringLiteral("PAGE_FOUR_RECOVER_FAILED_NODE"),
    QStringLiteral("PAGE_FOUR_RECOVER_FAILED_NONE"),
    QStringLiteral("SAVE_SCAN_RESULT"),
    QStringLiteral("LOAD_SCAN_RESULT"),
    QStringLiteral("SAVE_RESULT_WAIT"),
    QStringLiteral("LOAD_RESULT_WAIT"),
    QStringLiteral("READ_RSF_FAILED"),
    QStringLiteral("LOAD_RSF_DEVICE_MISSING"),
    QStringLiteral("LOAD_RSF_DEVICE_ALIKE"),
    QStringLiteral("SAVE_RSF_UNMARKED_TITLE"),
    QStringLiteral("SAVE_RSF_UNMARKED_NODE"),
    QStringLiteral("SAVE_RSF_OLD_NOT_KEPT"),
    QStringLiteral("LOAD_RSF_OLD_NOT_BACK"),
    QStringLiteral("LOAD_RSF_OLD_NOT_TRUSTED"),
    QStringLiteral("LOAD_RSF_OLD_BYTES_MISSING"),
    QStringLiteral("LOAD_RSF_OLD_HELD"),
    QStringLiteral("LOAD_RSF_OLD_DAMAGED"),
    QStringLiteral("LOAD_RSF_OLD_OTHER_FILE"),
    QStringLiteral("LOAD_RSF_OLD_LENGTH"),
    QStringLiteral("LOAD_RSF_OLD_NOT_WRITABLE"),
    QStringLiteral("LOAD_RSF_OLD_NOT_WRITTEN_BACK"),
    QStringLiteral("SAVE_SAME_DISK_WARNING"),
    QStringLiteral("SAVE_SAME_DISK_PROMPT"),
    QStringLiteral("CHANG_DESTINATION"),
    QStringLiteral("SAVE_STILL_RUNNING"),
    QStringLiteral("SAVE_STILL_RUNNING_PROGRESS"),
    QStringLiteral("SAVE_STOP_TITLE"),
    QStringLiteral("SAVE_STOP_NODE"),
    QStringLiteral("SAVE_STOPPING_WAIT"),
    QStringLiteral("APP_EARLIER_ENDING_WAIT"),
    QStringLiteral("APFS_NOTICE_TEXT"),
    QStringLiteral("PERMISSION_NOTICE_TEXT"),
    QStringLiteral("APFS_NOTICE_LINK"),
    QStringLiteral("ABOUT_TEXT"),
    QStringLiteral("ABOUT_LINK"),
    QStringLiteral("UPDATE_CHECKING"),
    QStringLiteral("UPDATE_NO_NETWORK"),
    QStringLiteral("UPDATE_NO_UPDATE"),
    QStringLiteral("UPDATE_DOWNLOAD"),
    };
    return keys;
}

} // namespace salvor::platform
