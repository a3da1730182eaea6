#include "services/TimeMgr.h"

#include "engine/include/FileNode.h"
#include "services/CPPPublic.h"
#include "services/ResultIndex.h"

VXTimeMgr& VXTimeMgr::share() {
    static VXTimeMgr* const manager = new VXTimeMgr;
    return *manager;
}

std::map<int, OpNodeRef>* VXTimeMgr::YearGroups(int view) {
    return view == 2 ? &m_createYear : view == 3 ? &m_modifyYear : nullptr;
}

std::map<const OpNodeData*, VXTimeMgr::MonthGroups>* VXTimeMgr::MonthDict(int view) {
    return view == 2 ? &m_createMonth : view == 3 ? &m_modifyMonth : nullptr;
}

std::map<int, std::size_t>* VXTimeMgr::Positions(int view) {
    switch (view) {
    case 2: return &m_createPos;
    case 3: return &m_modifyPos;
    case 4: return &m_accessPos;
    default: return nullptr;
    }
}

std::size_t VXTimeMgr::getIndex(int year, int month, int view) const {
    const auto* positions = const_cast<VXTimeMgr*>(this)->Positions(view);
    if (!positions) return 0;
    const auto it = positions->find(year * 100 + month);
    return it == positions->end() ? 0 : it->second;
}

void VXTimeMgr::setIndex(std::size_t index, int year, int month, int view) {
    if (auto* positions = Positions(view)) (*positions)[year * 100 + month] = index;
}

void VXTimeMgr::refreshTimeTree(const OpNodeRef& root, int view, const ResultIndex& results) {
    auto* positions = Positions(view);
    if (!positions || !root) return;
    for (const auto& [year, months] : results.DatesSince(view, *positions)) {
        for (const auto& [month, files] : months) {
            std::size_t& position = (*positions)[year * 100 + month];
            // The scan filed these files under this year and month by the
            // same local-time rule: the group is looked up once per list.
            OpNodeRef group;
            for (IFileNode* node : files) {
                ++position; // a node passed over is not looked at again
                // The scan files no folder and no file without the time.
                if (!node || !node->IsNodeShow()) continue;
                if (!group) group = MonthGroup(year, month, root, view);
                if (!group) break;
                group->addChildObject(node);
            }
        }
    }
}

OpNodeRef VXTimeMgr::MonthGroup(int year, int month, const OpNodeRef& root, int view) {
    auto* years = YearGroups(view);
    if (!years || year < 1 || month < 1) return nullptr;
    const auto y = years->find(year);
    if (y == years->end()) return insertMonth(month, year, insertYear(year, root, view), view);
    MonthGroups& months = (*MonthDict(view))[y->second.get()];
    const auto m = months.find(month);
    return m == months.end() ? insertMonth(month, year, y->second, view) : m->second;
}

void VXTimeMgr::AddFileNode(IFileNode* node, const OpNodeRef& root, int view) {
    auto* years = YearGroups(view);
    if (!node || !root || !years) return;
    int year = 0, month = 0;
    VXCPPPublic::instance().GetYearMonthByFileTime(&year, &month,
                                                   view == 3 ? node->GetModificationTime() : node->GetCreationTime());
    if (OpNodeRef group = MonthGroup(year, month, root, view)) group->addChildObject(node);
}

namespace {
OpNodeRef MakeDateGroup(int view, const QString& name, bool expandable, const OpNodeRef& parent) {
    TreeNodeData data;
    data.isDirectory = 1;
    data.isDeleted = 1;
    OpNodeRef group = OpNodeData::initWithNodeData(data);
    group->setType(view);
    group->setFadeName(name);
    group->setExpandAble(expandable ? 1 : 0);
    if (expandable) group->ensureChildren();
    group->setParent(parent);
    return group;
}

void InsertSorted(const OpNodeRef& parent, const OpNodeRef& group) {
    OpNodeList& children = parent->ensureChildren();
    const int at = VXTimeMgr::GetDateInsertIndex(group->fadeName(), children);
    if (at < 0)
        children.emplace_back(group);
    else
        children.insert(children.begin() + at, OpNodeEntry(group));
}
} // namespace

OpNodeRef VXTimeMgr::insertYear(int year, const OpNodeRef& root, int view) {
    OpNodeRef group = MakeDateGroup(view, QString::asprintf("%04d", year), true, root);
    InsertSorted(root, group);
    if (auto* years = YearGroups(view)) (*years)[year] = group;
    return group;
}

OpNodeRef VXTimeMgr::insertMonth(int month, int year, const OpNodeRef& yearGroup, int view) {
    OpNodeRef group = MakeDateGroup(view, QString::asprintf("%02d", month), false, yearGroup);
    const std::time_t t = MonthTime(year, month);
    if (view == 3) {
        group->setModifyTime(t);
        yearGroup->setModifyTime(t);
    } else {
        group->setCreateTime(t);
        yearGroup->setCreateTime(t);
    }
    InsertSorted(yearGroup, group);
    if (auto* dict = MonthDict(view)) (*dict)[yearGroup.get()][month] = group;
    return group;
}

std::time_t VXTimeMgr::MonthTime(int year, int month) {
    std::tm local{};
    local.tm_year = year - 1900;
    local.tm_mon = month - 1;
    local.tm_mday = 15;
    local.tm_hour = 12;
    local.tm_isdst = -1;
    return std::mktime(&local);
}

int VXTimeMgr::GetDateInsertIndex(const QString& text, const OpNodeList& items) {
    bool textIsNumber = false;
    const long long value = text.toLongLong(&textIsNumber);
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].isItem()) continue;
        const QString name = items[i].item()->name();
        bool nameIsNumber = false;
        const long long other = name.toLongLong(&nameIsNumber);
        const bool greater = textIsNumber && nameIsNumber ? other > value
                                                          : name.compare(text, Qt::CaseInsensitive) > 0;
        if (greater) return static_cast<int>(i);
    }
    return -1;
}

void VXTimeMgr::initMap() {
    m_createPos.clear();
    m_modifyPos.clear();
    m_accessPos.clear();
}

void VXTimeMgr::clear() {
    initMap();
    m_createYear.clear();
    m_modifyYear.clear();
    m_createMonth.clear();
    m_modifyMonth.clear();
}

void VXTimeMgr::setSearch(bool) { clear(); }
