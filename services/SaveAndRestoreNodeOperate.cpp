#include "services/SaveAndRestoreNodeOperate.h"

#include <cstdio>
#include <mutex>

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

namespace {
std::mutex g_entriesMutex;
SavedScanEntries g_entries;
} // namespace

void RegisterSavedScanEntries(SavedScanEntries entries) {
    std::lock_guard<std::mutex> lock(g_entriesMutex);
    g_entries = std::move(entries);
}

SavedScanEntries GetSavedScanEntries() {
    std::lock_guard<std::mutex> lock(g_entriesMutex);
    return g_entries;
}
