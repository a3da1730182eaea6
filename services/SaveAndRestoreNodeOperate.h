#pragma once
// The save operation and the way to the saved-scan code. The save operation
// is the progress sink of a save; loads report to the scan service. The
// saved-scan library sits beside the services, so it hands its two entry
// points over at start-up (RegisterSavedScan) instead of being called by name.
#include "services/UIOperation.h"

#include <functional>

class VXSaveAndRestoreNodeOperate : public VXUIOperation {
public:
    // Never destroyed: a save thread may still report at exit.
    static VXSaveAndRestoreNodeOperate& instance();

    // Keeps the record; a finished record ends the operation.
    void UpdateProgress(_PROGRESS_INFO* info) override;
    // A save cannot be stopped.
    int Continued() override { return 1; }

protected:
    VXSaveAndRestoreNodeOperate() = default;
};

// Starts a save (of the scan service's results into path) or a load (of path
// into the scan service) on a thread of its own: 0 when started, -1 for a
// missing path or sink, -2 when no thread could be started.
using SavedScanEntry = std::function<int(const char* path, IProgress* sink)>;

struct SavedScanEntries {
    SavedScanEntry save;
    SavedScanEntry restore;
};

// Made once at start-up, before the first window.
void RegisterSavedScanEntries(SavedScanEntries entries);
// The registered entries (empty functions before registration).
SavedScanEntries GetSavedScanEntries();
