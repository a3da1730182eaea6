#include "services/ResultIndex.h"

#include "services/CPPPublic.h"

namespace {
template <class List>
List Tail(const List& list, std::size_t from) {
    return from < list.size() ? List(list.begin() + static_cast<std::ptrdiff_t>(from), list.end()) : List();
}

std::size_t PositionOf(const std::map<int, std::size_t>& from, int key) {
    const auto it = from.find(key);
    return it == from.end() ? 0 : it->second;
}
} // namespace

void ResultIndex::AddRoot(IFileNode* root) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_roots.push_back(root);
}

void ResultIndex::FileByDate(DateMap& map, IFileNode* node, _FILETIME time) {
    if (time.Value() == 0) return;
    int year = 0, month = 0;
    VXCPPPublic::instance().GetYearMonthByFileTime(&year, &month, time);
    map[year][month].push_back(node);
}

void ResultIndex::File(IFileNode* node, _FILETIME created, _FILETIME modified, const int* category) {
    std::lock_guard<std::mutex> lock(m_mutex);
    FileByDate(m_createMap, node, created);
    FileByDate(m_modifyMap, node, modified);
    if (category) m_typeMap[*category].push_back(node);
}

void ResultIndex::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_roots.clear();
    m_typeMap.clear();
    m_createMap.clear();
    m_modifyMap.clear();
    m_accessMap.clear();
    m_retired = false;
}

void ResultIndex::Append(const ResultIndex& other, const std::function<bool(IFileNode*)>& keep) {
    if (&other == this) return;
    FileList roots;
    TypeMap types;
    DateMap created, modified, accessed;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        roots = other.m_roots;
        types = other.m_typeMap;
        created = other.m_createMap;
        modified = other.m_modifyMap;
        accessed = other.m_accessMap;
    }
    // Judged outside the lock: keep may walk the nodes.
    const auto kept = [&keep](FileList& list) { std::erase_if(list, [&keep](IFileNode* n) { return !keep(n); }); };
    kept(roots);
    for (auto& [category, files] : types) kept(files);
    for (DateMap* map : {&created, &modified, &accessed})
        for (auto& [year, months] : *map)
            for (auto& [month, files] : months) kept(files);
    const auto join = [](FileList& to, const FileList& from) { to.insert(to.end(), from.begin(), from.end()); };
    const auto joinDates = [&join](DateMap& to, const DateMap& from) {
        for (const auto& [year, months] : from)
            for (const auto& [month, files] : months)
                if (!files.empty()) join(to[year][month], files);
    };
    std::lock_guard<std::mutex> lock(m_mutex);
    join(m_roots, roots);
    for (const auto& [category, files] : types)
        if (!files.empty()) join(m_typeMap[category], files);
    joinDates(m_createMap, created);
    joinDates(m_modifyMap, modified);
    joinDates(m_accessMap, accessed);
}

void ResultIndex::DropRoots(const std::set<IFileNode*>& roots) {
    if (roots.empty()) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_roots, [&roots](IFileNode* root) { return roots.count(root) != 0; });
}

void ResultIndex::Retire() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_retired = true;
}

void ResultIndex::Reinstate() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_retired = false;
}

ResultIndex::FileList ResultIndex::Roots() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_retired ? FileList{} : m_roots;
}

ResultIndex::FileList ResultIndex::HeldRoots() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_roots;
}

ResultIndex::TypeMap ResultIndex::Types() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_retired ? TypeMap{} : m_typeMap;
}

ResultIndex::DateMap ResultIndex::Dates(int view) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DateMap* map = DateMapOf(view);
    return map ? *map : DateMap{};
}

const ResultIndex::DateMap* ResultIndex::DateMapOf(int view) const {
    if (m_retired) return nullptr;
    return view == 2 ? &m_createMap : view == 3 ? &m_modifyMap : view == 4 ? &m_accessMap : nullptr;
}

ResultIndex::TypeMap ResultIndex::TypesSince(const std::map<int, std::size_t>& from) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    TypeMap out;
    if (m_retired) return out;
    for (const auto& [category, files] : m_typeMap) out[category] = Tail(files, PositionOf(from, category));
    return out;
}

ResultIndex::DateMap ResultIndex::DatesSince(int view, const std::map<int, std::size_t>& from) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    DateMap out;
    if (const DateMap* map = DateMapOf(view))
        for (const auto& [year, months] : *map)
            for (const auto& [month, files] : months)
                out[year][month] = Tail(files, PositionOf(from, year * 100 + month));
    return out;
}

ResultIndex::FileList ResultIndex::DateFiles(int view, int year, int month) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const DateMap* map = DateMapOf(view);
    if (!map) return {};
    const auto y = map->find(year);
    if (y == map->end()) return {};
    const auto m = y->second.find(month);
    return m == y->second.end() ? FileList{} : m->second;
}
