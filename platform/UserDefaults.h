#pragma once
// User defaults, kept with QSettings in configDir()/defaults.conf.
// "AppleLanguages" is the interface language list (its first entry wins);
// "Participate" is set at the first update check.
#include <QString>
#include <QStringList>
#include <QVariant>

namespace salvor::platform {

class UserDefaults {
public:
    static QString settingsPath();

    static QVariant value(const QString& key, const QVariant& fallback = {});
    static void setValue(const QString& key, const QVariant& value);
    static void remove(const QString& key);
    static bool contains(const QString& key);

    // "AppleLanguages": the preferred languages, first first. Setting them
    // reloads the string tables.
    static QStringList appleLanguages();
    static void setAppleLanguages(const QStringList& languages);

    // "Participate": false until set.
    static bool participate();
    static void setParticipate(bool yes);
};

} // namespace salvor::platform
