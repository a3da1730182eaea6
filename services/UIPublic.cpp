#include "services/UIPublic.h"

#include "engine/include/FileNode.h"
#include "platform/NotificationCenter.h"
#include "platform/Threads.h"
#include "services/NodeWalk.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

#include <vector>

bool VXUIPublic::NotifyMainThread(const std::string& key) {
    return salvor::platform::NotificationCenter::defaultCenter().postOnMainThread(key);
}

bool VXUIPublic::NotifyMainThreadByPostKey(const std::string& key, std::function<void()> task) {
    return salvor::platform::startDetachedThread(
        [key, task = std::move(task)] {
            struct PostAtEnd {
                const std::string& key;
                ~PostAtEnd() { NotifyMainThread(key); }
            } post{key};
            if (task) task();
        },
        0, "salvor-queue");
}

long long VXUIPublic::convertWindowsTimeToUnixTime(_FILETIME time) {
    return static_cast<long long>(time.Value() / 10000000ULL) - 11644473600LL;
}

QString VXUIPublic::FormatFileTimeToString(_FILETIME time) {
    const QDateTime local = QDateTime::fromSecsSinceEpoch(convertWindowsTimeToUnixTime(time));
    const QLocale locale;
    return locale.toString(local.date(), QLocale::LongFormat) + QLatin1Char(' ') +
           locale.toString(local.time(), QLocale::ShortFormat);
}

QString VXUIPublic::GetFileSystemStrByType(int searcherType) {
    switch (searcherType) {
    case SEARCHER_HFSPLUS: return QStringLiteral("HFS+_");
    case SEARCHER_FAT: return QStringLiteral("Fat_");
    case SEARCHER_EXFAT: return QStringLiteral("ExFat_");
    case SEARCHER_RAW: return QStringLiteral("RAW_");
    default: return QString();
    }
}

QString VXUIPublic::GetPathByFileNode(IFileNode* node) {
    std::vector<IFileNode*> chain;
    for (IFileNode* n = node; n; n = n->GetParent()) {
        if (chain.size() > static_cast<std::size_t>(kMaxNodeDepth)) return QString();
        chain.push_back(n);
    }
    QString path;
    for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
        IFileNode* n = *it;
        const char* text = n->GetParent() ? n->GetFileName() : n->GetVolumeName();
        path += QLatin1Char('/') + QString::fromUtf8(text ? text : "");
    }
    return path;
}
