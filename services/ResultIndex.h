#pragma once
// What a scan found, filed for the windows: the file-system roots in the
// order they came, every found file by category and by date, and readers that
// copy under the index's own lock (the scan adds while the windows read).
// The nodes are borrowed: they belong to the scan's controllers.
#include "engine/include/EngineTypes.h"

#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

class IFileNode;

class ResultIndex {
public:
    using FileList = std::vector<IFileNode*>;
    using TypeMap = std::map<int, FileList>;                 // category bit → files
    using DateMap = std::map<int, std::map<int, FileList>>; // year → month → files

    void AddRoot(IFileNode* root);
    // Files node under its creation and modification dates (a zero time
    // files nothing) and, with a category, under it.
    void File(IFileNode* node, _FILETIME created, _FILETIME modified, const int* category);
    void Clear();
    // Adds other's roots and files for which keep answers true after this
    // index's own, also while other is retired.
    void Append(const ResultIndex& other, const std::function<bool(IFileNode*)>& keep);
    // Takes the given roots out of the roots listed (their files stay filed).
    void DropRoots(const std::set<IFileNode*>& roots);
    // From now on the readers answer no results (a new scan or a failed
    // load is about to replace them).
    void Retire();
    // The readers answer again (a load has taken what its replay filed).
    void Reinstate();

    FileList Roots() const;
    // The roots also while retired: a load judges what its replay filed
    // before the readers see any of it.
    FileList HeldRoots() const;
    TypeMap Types() const;
    // view 2 creation, 3 modification, 4 access.
    DateMap Dates(int view) const;
    // Each list only from the given position on: what a tree pass has not
    // seen yet (types: keyed by category; dates: by year × 100 + month).
    TypeMap TypesSince(const std::map<int, std::size_t>& from) const;
    DateMap DatesSince(int view, const std::map<int, std::size_t>& from) const;
    FileList DateFiles(int view, int year, int month) const;

private:
    const DateMap* DateMapOf(int view) const; // with the lock held
    static void FileByDate(DateMap& map, IFileNode* node, _FILETIME time);

    mutable std::mutex m_mutex;
    bool m_retired = false;
    FileList m_roots;
    TypeMap m_typeMap;
    DateMap m_createMap, m_modifyMap, m_accessMap;
};
