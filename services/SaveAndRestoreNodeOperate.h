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
    // Continued() answers 0 once StopOperation was called: the save ends
    // then and removes its file (the program quits meanwhile).

protected:
    VXSaveAndRestoreNodeOperate() = default;
};
