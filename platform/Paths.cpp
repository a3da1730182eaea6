#include "platform/Paths.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace salvor::platform {

namespace {

QString envDir(const char* name) {
    const QByteArray v = qgetenv(name);
    // The XDG rules ignore relative paths.
    if (v.isEmpty() || v.at(0) != '/') return {};
    return QDir::cleanPath(QString::fromLocal8Bit(v));
}

QString homeDir() {
    QString home = envDir("HOME");
    return home.isEmpty() ? QDir::homePath() : home;
}

} // namespace

QString executableDir() {
    if (QCoreApplication::instance()) return QCoreApplication::applicationDirPath();
    const QFileInfo exe(QStringLiteral("/proc/self/exe"));
    return exe.symLinkTarget().isEmpty() ? QDir::currentPath() : QFileInfo(exe.symLinkTarget()).absolutePath();
}

QString resourceDir() {
    const QString forced = envDir("SALVOR_RESOURCE_DIR");
    if (!forced.isEmpty()) return forced;
    const QString exe = executableDir();
    for (const QString& candidate : {exe + QStringLiteral("/resources"), exe + QStringLiteral("/../share/salvor")}) {
        if (QFileInfo(candidate).isDir()) return QDir::cleanPath(candidate);
    }
    return {};
}

QString resourcePath(const QString& relative) {
    const QString dir = resourceDir();
    return dir.isEmpty() ? QString() : dir + QLatin1Char('/') + relative;
}

QString configDir() {
    QString base = envDir("XDG_CONFIG_HOME");
    if (base.isEmpty()) base = homeDir() + QStringLiteral("/.config");
    return base + QStringLiteral("/salvor");
}

QString stateDir() {
    QString base = envDir("XDG_STATE_HOME");
    if (base.isEmpty()) base = homeDir() + QStringLiteral("/.local/state");
    return base + QStringLiteral("/salvor");
}

QString workDir() {
    const QString exe = executableDir();
    if (access(QFile::encodeName(exe).constData(), W_OK) == 0) return exe;
    const QString state = stateDir();
    QDir().mkpath(state);
    return state;
}

} // namespace salvor::platform
