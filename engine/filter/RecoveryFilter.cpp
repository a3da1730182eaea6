#include "engine/filter/RecoveryFilter.h"

#include "engine/include/FileNode.h"

#include <cstring>

CRecoveryFilter::CRecoveryFilter() { m_types.Initialize(); }

FILE_TYPE_ID CRecoveryFilter::GetNodeType(IFileNode* node) const {
    if (!node) return FILE_TYPE_OTHER;
    const char* name = node->GetFileName();
    if (!name) return FILE_TYPE_OTHER;
    const char* dot = std::strrchr(name, '.');
    if (!dot) return FILE_TYPE_OTHER;
    return m_types.GetFileTypeID(dot + 1);
}

int CRecoveryFilter::IsFileNodeValid(IFileNode* node) {
    if (!node) return 0;
    if (m_wanted.empty() || node->IsDirectory()) return 1;
    return m_wanted.count(GetNodeType(node)) ? 1 : 0;
}

void CRecoveryFilter::SetFilterTypes(unsigned mask) {
    m_mask = mask;
    m_wanted.clear();
    if (mask == FILTER_ALL) return;
    if (mask & FILTER_PICTURE) m_wanted.insert(FILE_TYPE_PICTURE);
    if (mask & FILTER_MUSIC) m_wanted.insert(FILE_TYPE_MUSIC);
    if (mask & FILTER_MOVIE) m_wanted.insert(FILE_TYPE_MOVIE);
    if (mask & FILTER_ARCHIVE) m_wanted.insert(FILE_TYPE_ARCHIVE);
    if (mask & FILTER_DOCUMENT) m_wanted.insert(FILE_TYPE_DOCUMENT);
    if (mask & FILTER_OTHER) m_wanted.insert(FILE_TYPE_OTHER);
}

_FILTER_TYPE CRecoveryFilter::GetNodeFileType(IFileNode* node) {
    switch (GetNodeType(node)) {
    case FILE_TYPE_PICTURE: return FILTER_PICTURE;
    case FILE_TYPE_MUSIC: return FILTER_MUSIC;
    case FILE_TYPE_MOVIE: return FILTER_MOVIE;
    case FILE_TYPE_ARCHIVE: return FILTER_ARCHIVE;
    case FILE_TYPE_DOCUMENT: return FILTER_DOCUMENT;
    default: return FILTER_OTHER;
    }
}

IRecoveryFilter* CreateFilter() {
    static CRecoveryFilter filter;
    return &filter;
}
