#include "platform/UserDefaults.h"

#include "platform/Localization.h"
#include "platform/Paths.h"

#include <QSettings>

namespace salvor::platform {

namespace {
const QString kAppleLanguages = QStringLiteral("AppleLanguages");
const QString kParticipate = QStringLiteral("Participate");
} // namespace

QString UserDefaults::settingsPath() { return configDir() + QStringLiteral("/defaults.conf"); }

// A QSettings per call: the path follows the environment, and QSettings
// objects are not to be shared between threads.
QVariant UserDefaults::value(const QString& key, const QVariant& fallback) {
    QSettings s(settingsPath(), QSettings::IniFormat);
    return s.value(key, fallback);
}

void UserDefaults::setValue(const QString& key, const QVariant& value) {
    QSettings s(settingsPath(), QSettings::IniFormat);
    s.setValue(key, value);
    s.sync();
}

void UserDefaults::remove(const QString& key) {
    QSettings s(settingsPath(), QSettings::IniFormat);
    s.remove(key);
    s.sync();
}

bool UserDefaults::contains(const QString& key) {
    QSettings s(settingsPath(), QSettings::IniFormat);
    return s.contains(key);
}

QStringList UserDefaults::appleLanguages() {
    const QVariant v = value(kAppleLanguages);
    // The INI format gives a one-entry list back as a plain string.
    QStringList list = v.typeId() == QMetaType::QString ? QStringList{v.toString()} : v.toStringList();
    list.removeAll(QString());
    return list;
}

void UserDefaults::setAppleLanguages(const QStringList& languages) {
    setValue(kAppleLanguages, languages);
    reloadLocalization();
}

bool UserDefaults::participate() { return value(kParticipate, false).toBool(); }

void UserDefaults::setParticipate(bool yes) { setValue(kParticipate, yes); }

} // namespace salvor::platform
