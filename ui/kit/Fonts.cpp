#include "ui/kit/Fonts.h"

#include <QApplication>
#include <QDir>
#include <QFontDatabase>

#include <cmath>

namespace salvor::kit {

namespace {

QFont make(double points, QFont::Weight weight) {
    QFont f(QString::fromLatin1(kFontFamily));
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(points))));
    f.setWeight(weight);
    f.setStyleHint(QFont::SansSerif);
    // Hinting off: glyph advances then depend on the font file only.
    f.setHintingPreference(QFont::PreferNoHinting);
    return f;
}

} // namespace

QFont systemFont(double points) { return make(points, QFont::Normal); }

QFont boldSystemFont(double points) { return make(points, QFont::Bold); }

QFont fontNamed(const QString& name, double points) {
    const QString n = name.toLower();
    QFont::Weight w = QFont::Normal;
    if (n.contains(QLatin1String("bold")))
        w = QFont::Bold;
    else if (n.contains(QLatin1String("light")) || n.contains(QLatin1String("thin")))
        w = QFont::Light;
    return make(points, w);
}

bool installApplicationFonts() {
    const QString family = QString::fromLatin1(kFontFamily);
    if (!QFontDatabase::hasFamily(family)) {
        const QDir dir(QStringLiteral("/usr/share/fonts/truetype/dejavu"));
        for (const QString& file : {QStringLiteral("DejaVuSans.ttf"), QStringLiteral("DejaVuSans-Bold.ttf")})
            QFontDatabase::addApplicationFont(dir.filePath(file));
    }
    const bool ok = QFontDatabase::hasFamily(family);
    if (ok && qobject_cast<QApplication*>(QCoreApplication::instance())) QApplication::setFont(systemFont(13));
    return ok;
}

} // namespace salvor::kit
