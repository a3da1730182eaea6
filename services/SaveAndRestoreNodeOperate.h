#pragma once
// The save operation: the progress sink of a save (loads report to the scan
// service).
#include "services/UIOperation.h"

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
