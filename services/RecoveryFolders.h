#pragma once
// The folders a recovery has made: the number of each searcher type's
// folder under the destination and the folders below them known to exist
// (so each is made once). Emptied when a recovery starts.
#include "engine/include/EngineTypes.h"

#include <map>
#include <mutex>
#include <string>
#include <unordered_set>

class RecoveryFolders {
public:
    // The one recovery's folders (one recovery runs at a time).
    static RecoveryFolders& instance();

    void SetCreateDirIndex(_tagSearcherType type, int index);
    // 0 when none was made.
    int GetCreateDirIndex(_tagSearcherType type) const;
    bool IsFolderMade(const std::string& path) const;
    void AddFolderMade(const std::string& path);
    void Clear();

private:
    mutable std::mutex m_mutex;
    std::map<int, int> m_dirIndex;
    std::unordered_set<std::string> m_foldersMade;
};
