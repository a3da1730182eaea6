#include "services/UIScan.h"

#include <cstdio>
#include <ctime>

VXUIScan& VXUIScan::instance() {
    static VXUIScan* const scan = new VXUIScan;
    return *scan;
}

void VXUIScan::UpdateProgress(_PROGRESS_INFO* info) {
    if (info) SetProgressInfo(*info);
    SetEndTime(std::time(nullptr));
    if (info && info->state == PROGRESS_FINISHED) {
        std::printf("=====Scan Progress finished!=====\n");
        FinishOperation();
    } else {
        SetNeedUIUpdate(1);
    }
}

int VXUIScan::IsOpTreeFinished() {
    auto lock = Lock();
    return m_treeFinished;
}

void VXUIScan::SetOpTreeFinished(int finished) {
    auto lock = Lock();
    m_treeFinished = finished;
}

IStorageDevice* VXUIScan::GetSavedStorage() const {
    auto lock = Lock();
    return m_savedStorage;
}

void VXUIScan::SaveScanSorage(IStorageDevice* device) {
    auto lock = Lock();
    m_savedStorage = device;
}
