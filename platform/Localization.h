#pragma once
// String tables: resourceDir()/<lang>.lproj/Localizable.strings, lines of
// "KEY" = "text"; in UTF-8 (UTF-16 with a byte-order mark is read too) with
// the escapes \n \t \r \" \\ \' \uXXXX, and /* */ and // comments.
// A key is looked up in the first preferred language ("AppleLanguages", else
// the system locale), then in English, else the key itself shows.
#include "platform/Format.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

namespace salvor::platform {

class StringTable {
public:
    // Parses a table; on a syntax error the entries before it are kept and
    // error (when given) names the line.
    bool parse(const QByteArray& bytes, QString* error = nullptr);
    bool load(const QString& path, QString* error = nullptr);

    const QString* find(const QString& key) const;
    qsizetype size() const { return entries_.size(); }
    QStringList keys() const { return entries_.keys(); }
    void clear() { entries_.clear(); }

private:
    QHash<QString, QString> entries_;
};

// The language whose table is asked first, e.g. "de" or "zh-Hans".
QString preferredLanguage();

// The text of key in the current language; the key itself when no table has it.
QString localizedString(const QString& key);
QString localizedString(const char* key);

// The text of key used as a format with typed arguments.
template <class... A>
QString localizedFormat(const char* key, const A&... args) {
    return format(localizedString(key), args...);
}

// Drops the loaded tables; the next lookup loads them for the language then
// preferred. Called when "AppleLanguages" changes.
void reloadLocalization();

// Every key the windows and services look up (the English table holds them all).
const QStringList& localizationKeys();

} // namespace salvor::platform
