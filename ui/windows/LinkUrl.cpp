#include "ui/windows/LinkUrl.h"

#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"

#include <QDesktopServices>
#include <QUrl>

QString VXLinkUrl::GetUrl(const QString& key) {
    const QVariantMap table = salvor::platform::loadPropertyList(QStringLiteral("LocalVersionMessage.plist"));
    const QVariant en = table.value(QStringLiteral("en")).toMap().value(key);
    const QString fallback = en.isValid() ? en.toString() : QString();
    const QString language = salvor::platform::UserDefaults::appleLanguages().value(0);
    if (language.isEmpty()) return fallback;
    const QString own = table.value(language).toMap().value(key).toString();
    return own.isEmpty() ? fallback : own;
}

void VXLinkUrl::open(const QString& url) {
    if (!url.isEmpty()) QDesktopServices::openUrl(QUrl(url));
}
