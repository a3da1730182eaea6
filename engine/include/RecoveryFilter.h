#pragma once
// The filter of wanted file types.
#include "engine/include/EngineTypes.h"

class IFileNode;

class IRecoveryFilter {
public:
    virtual ~IRecoveryFilter() = default;
    virtual int ShowNormalFiles() const = 0;
    virtual void SetScanType(_SCAN_TYPE type) = 0;
    virtual int IsFileNodeValid(IFileNode* node) = 0;
    virtual void SetFilterTypes(unsigned mask) = 0;
    virtual _FILTER_TYPE GetNodeFileType(IFileNode* node) = 0;
    virtual void Release() = 0;
};

// The process-wide filter, made on first use.
IRecoveryFilter* CreateFilter();
