#pragma once
// A scan driver: quick (deleted files), complete (deep scan of a volume) or
// partition (deep scan of a disk).
#include "engine/include/EngineTypes.h"
#include "engine/include/ResultCode.h"

class IRecoveryFilter;
class IStorageDevice;
class IProgress;
class IDrirectoryTree;
class IDataRecovery;

class IRecoveryController {
public:
    virtual ~IRecoveryController() = default;
    virtual _RECOVERY_CONTROLLER_TYPE thisType() = 0;
    virtual int Initialize(IRecoveryFilter* filter) = 0;
    virtual ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) = 0;
    // A new writer for the nodes of one searcher type; the caller releases it.
    virtual IDataRecovery* GetDataRecovery(_tagSearcherType type) const = 0;
    virtual void Release() = 0;
};

IRecoveryController* CreateRecoveryController(_RECOVERY_CONTROLLER_TYPE type);
