#pragma once
// Which found files the tree builder takes, by category from the extension.
#include "engine/common/FileTypeManager.h"
#include "engine/include/RecoveryFilter.h"

#include <set>

class CRecoveryFilter : public IRecoveryFilter {
public:
    CRecoveryFilter();
    int ShowNormalFiles() const override { return m_scanType != SCAN_QUICK_MOUNTED; }
    void SetScanType(_SCAN_TYPE type) override { m_scanType = type; }
    int IsFileNodeValid(IFileNode* node) override;
    void SetFilterTypes(unsigned mask) override;
    _FILTER_TYPE GetNodeFileType(IFileNode* node) override;
    void Release() override {} // lives for the process

    // Fills the extension table again from the category lists (after the
    // application set them from its catalogue; the filter is made earlier).
    void ReloadFileTypes() { m_types.Initialize(); }

    // The category of a node from the text after the last "." of its name.
    FILE_TYPE_ID GetNodeType(IFileNode* node) const;
    _SCAN_TYPE GetScanType() const { return m_scanType; }
    unsigned GetFilterTypes() const { return m_mask; }

private:
    _SCAN_TYPE m_scanType = SCAN_QUICK_MOUNTED;
    unsigned m_mask = 0;
    CFileTypeManager m_types;
    std::set<FILE_TYPE_ID> m_wanted;
};
