#include "ui/windows/ResultSelection.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <limits>

namespace salvor::windows {

QString GetSearchText(const QString& text) {
    QString s = text;
    static const QString run = QStringLiteral("\u00C2  ");
    while (s.contains(run)) s.replace(run, QStringLiteral(" "));
    if (!s.isEmpty() && s.front() == QLatin1Char(' ')) s.remove(0, 1);
    if (!s.isEmpty() && s.back() == QLatin1Char(' ')) s.chop(1);
    return s;
}

std::optional<QString> searchRequest(const QString& fieldText, const QString& currentKey) {
    if (fieldText == QLatin1String(" ") || fieldText == QLatin1String("  ")) return std::nullopt;
    QString key = GetSearchText(fieldText);
    if (key == currentKey) return std::nullopt;
    return key;
}

int tickStateOf(std::uint64_t sum, std::uint64_t count) {
    if (sum == 0) return 0;
    return sum == 2 * count ? 2 : 1;
}

namespace {

// Adds one entry's state; folders are skipped.
void countEntry(const OpNodeEntry& e, std::uint64_t& sum, std::uint64_t& n) {
    if (e.isItem()) {
        const OpNodeRef& item = e.item();
        if (IFileNode* f = item->fileNode()) {
            if (OpNodeData::isFileNodeDirect(f)) return;
        }
        sum += std::uint64_t(std::max(item->state(), 0));
        ++n;
        return;
    }
    if (OpNodeData::isFileNodeDirect(e.file())) return;
    sum += std::uint64_t(std::max(OpNodeData::fileNodeState(e.file()), 0));
    ++n;
}

} // namespace

int listTickState(const OpNodeList& entries) {
    std::uint64_t sum = 0, n = 0;
    for (const OpNodeEntry& e : entries) countEntry(e, sum, n);
    return tickStateOf(sum, n);
}

int cellNodeState(const OpNodeData* item, const OpNodeList& files) {
    if (item && item->isFadeNode() && !item->parent()) {
        std::uint64_t sum = 0, n = 0;
        if (const OpNodeList* children = item->children()) {
            for (const OpNodeEntry& e : *children) {
                if (e.isItem()) sum += std::uint64_t(std::max(e.item()->state(), 0)), ++n;
                else countEntry(e, sum, n);
            }
        }
        return tickStateOf(sum, n);
    }
    return listTickState(files);
}

int setAllTicks(const OpNodeList& files, int currentState) {
    const int state = currentState == 2 ? 0 : 2;
    for (const OpNodeEntry& e : files) {
        IFileNode* f = e.isItem() ? e.item()->fileNode() : e.file();
        if (!f || OpNodeData::isFileNodeDirect(f)) continue;
        OpNodeData::setFileNode(f, state);
    }
    return state;
}

QString checkboxImageForState(int state) {
    switch (state) {
    case 0: return QStringLiteral("checkbox_no");
    case 2: return QStringLiteral("checkbox_yes");
    default: return QStringLiteral("checkbox_election");
    }
}

std::pair<std::int64_t, std::int64_t> stripLoadRange(std::int64_t count, std::int64_t selected) {
    if (count < 11) return {0, std::max<std::int64_t>(count, 0)};
    const std::int64_t first = selected < 100 ? 0 : std::min(selected - 100, count);
    const std::int64_t end = selected > count - 100 ? count : std::max<std::int64_t>(selected + 100, 0);
    return {first, std::max(first, end)};
}

std::uint64_t spaceNeededFor(std::uint64_t size) {
    const unsigned __int128 need = static_cast<unsigned __int128>(size) * 105u / 100u;
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    return need > top ? top : static_cast<std::uint64_t>(need);
}

std::optional<std::uint64_t> freeSpaceForPath(const QString& path) {
    struct statvfs fs {};
    if (path.isEmpty() || ::statvfs(path.toLocal8Bit().constData(), &fs) != 0) return std::nullopt;
    const unsigned __int128 bytes = static_cast<unsigned __int128>(fs.f_bavail) * fs.f_frsize;
    constexpr std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    return bytes > top ? top : static_cast<std::uint64_t>(bytes);
}

namespace {
FreeSpaceQuery& freeSpaceQuery() {
    static FreeSpaceQuery query;
    return query;
}
} // namespace

void setFreeSpaceQuery(FreeSpaceQuery query) { freeSpaceQuery() = std::move(query); }

std::optional<std::uint64_t> queryFreeSpace(const QString& path) {
    return freeSpaceQuery() ? freeSpaceQuery()(path) : freeSpaceForPath(path);
}

bool hasSpaceFor(std::uint64_t freeBytes, std::uint64_t size) { return freeBytes > spaceNeededFor(size); }

} // namespace salvor::windows
