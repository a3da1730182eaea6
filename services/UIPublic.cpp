#include "services/UIPublic.h"

#include "engine/include/FileNode.h"
#include "engine/writer/DestinationNames.h"
#include "platform/NotificationCenter.h"
#include "platform/Threads.h"
#include "services/NodeWalk.h"

#include <QDateTime>
#include <QLocale>
#include <QStringList>

#include <unordered_set>
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
    // The recovery's kind folders are named by the writer's destination namer.
    return QString::fromUtf8(RecoveryKindText(searcherType));
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

bool VXUIPublic::IsStringInString(const char* key, const char* text) {
    if (!key || !*key) return true;
    if (!text) return false;
    return QString::fromUtf8(text).contains(QString::fromUtf8(key), Qt::CaseInsensitive);
}

bool VXUIPublic::IsStringInFileNode(const char* key, IFileNode* node) {
    if (!key || !*key) return true;
    if (!node) return false;
    const QString needle = QString::fromUtf8(key);
    auto matches = [&](IFileNode* n) {
        const char* name = n->GetFileName();
        return name && QString::fromUtf8(name).contains(needle, Qt::CaseInsensitive);
    };
    if (!node->IsDirectory()) return matches(node);
    // Depth first over the folder's descendants; entered folders are
    // remembered, so a damaged link back up the tree ends the walk there.
    std::unordered_set<IFileNode*> entered{node};
    std::vector<IFileNode*> folders{node};
    while (!folders.empty()) {
        IFileNode* folder = folders.back();
        folders.pop_back();
        bool found = false;
        ForEachSibling(folder->GetFirstChild(), [&](IFileNode* child) {
            // A folder matches by what it holds, not by its own name.
            if (child->IsDirectory()) {
                if (entered.insert(child).second) folders.push_back(child);
            } else {
                found = matches(child);
            }
            return !found;
        });
        if (found) return true;
    }
    return false;
}
