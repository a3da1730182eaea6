#pragma once
// Shared services of the application side: the file-system root and searcher
// type above a found node, year and month of a time, the category titles and
// the single-instance test.
#include "engine/include/EngineTypes.h"

#include <ctime>
#include <string>

class IFileNode;
class IFilesystemNode;

class VXCPPPublic {
public:
    // Never destroyed: workers may call in while the process exits.
    static VXCPPPublic& instance();
    virtual ~VXCPPPublic() = default;

    // The top of the node's parent chain when it is a file-system node; null
    // for a null node and for a chain that does not end within
    // kMaxNodeDepth steps (a loop).
    IFilesystemNode* GetFileSystemNode(IFileNode* node) const;
    // The searcher type of that root; SEARCHER_NONE without one.
    _tagSearcherType GetNodeSearcheType(IFileNode* node) const;

    // Local calendar year and month (1-12); a null pointer is skipped.
    void GetYearMonthByTimeT(int* year, int* month, std::time_t t) const;
    void GetYearMonthByFileTime(int* year, int* month, _FILETIME t) const;

    // The localised title of a category (UTF-8); "" for anything else.
    std::string FilterTypeToString(_FILTER_TYPE type) const;
    // The first category (1, 2, 4, 8, 16, 32) whose title is text; 32
    // (other) for none and for null.
    _FILTER_TYPE StringToFilterType(const char* text) const;
    bool IsTypeString(const char* text, _FILTER_TYPE type) const;
    // The name search's test (VXUIPublic::IsStringInFileNode).
    bool IsStringInFileNode(const char* key, IFileNode* node) const;

    // True when another instance of this program runs for this user (it
    // holds the instance lock, and has been asked to raise its window). The
    // first call of the instance that answers false takes the lock.
    bool IsAppRunning() const;

protected:
    VXCPPPublic() = default;
};

// True for non-null text that is valid UTF-8.
bool isValidString(const char* text);

// The localisation key of a category's title, or null for anything else.
const char* FilterTypeTitleKey(_FILTER_TYPE type);
