#pragma once
// The scan operation: the one process-wide operation that scans a disk or a
// volume. Here: what the device list, the pollers and the windows' tree pulls
// need of it (the trees-built flag and the device scanned last).
#include "services/UIOperation.h"

class IStorageDevice;

class VXUIScan : public VXUIOperation {
public:
    // Never destroyed: a worker may still be inside the engine at exit.
    static VXUIScan& instance();

    // Keeps the record and stamps the end time; a finished record ends the
    // scan. Need-update is raised after the status change.
    void UpdateProgress(_PROGRESS_INFO* info) override;

    // 0 while the windows pull the result trees; the status poller drops
    // updates meanwhile.
    int IsOpTreeFinished() override;
    void SetOpTreeFinished(int finished) override;

    IStorageDevice* GetSavedStorage() const;
    void SaveScanSorage(IStorageDevice* device);

protected:
    VXUIScan() = default;

private:
    int m_treeFinished = 1;
    IStorageDevice* m_savedStorage = nullptr;
};
