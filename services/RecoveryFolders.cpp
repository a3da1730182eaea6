#include "services/RecoveryFolders.h"

RecoveryFolders& RecoveryFolders::instance() {
    // Never destroyed: a worker may still make a path at exit.
    static RecoveryFolders* const folders = new RecoveryFolders;
    return *folders;
}

void RecoveryFolders::SetCreateDirIndex(_tagSearcherType type, int index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dirIndex[type] = index;
}

int RecoveryFolders::GetCreateDirIndex(_tagSearcherType type) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_dirIndex.find(type);
    return it == m_dirIndex.end() ? 0 : it->second;
}

bool RecoveryFolders::IsFolderMade(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_foldersMade.count(path) != 0;
}

void RecoveryFolders::AddFolderMade(const std::string& path) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_foldersMade.insert(path);
}

void RecoveryFolders::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_dirIndex.clear();
    m_foldersMade.clear();
}
