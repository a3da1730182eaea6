#include "services/SaveAndRestoreNodeOperate.h"

#include <cstdio>

VXSaveAndRestoreNodeOperate& VXSaveAndRestoreNodeOperate::instance() {
    static VXSaveAndRestoreNodeOperate* const op = new VXSaveAndRestoreNodeOperate;
    return *op;
}

void VXSaveAndRestoreNodeOperate::UpdateProgress(_PROGRESS_INFO* info) {
    if (!info) return;
    SetProgressInfo(*info);
    if (info->state == PROGRESS_FINISHED) {
        std::printf("=====Scan Progress finished!=====\n");
        FinishOperation();
        return;
    }
    SetNeedUIUpdate(1);
}
