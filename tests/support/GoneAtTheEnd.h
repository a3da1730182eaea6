#pragma once
// A deep scan cut short once it had read every file: the real controller of
// the type runs, and its end record says the device went at 90 %.
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/Owned.h"
#include "engine/include/Progress.h"
#include "engine/include/RecoveryController.h"

namespace salvor::test {

class GoneAtTheEnd final : public IRecoveryController, IProgress {
public:
    explicit GoneAtTheEnd(_RECOVERY_CONTROLLER_TYPE type) : m_real(CreateRecoveryController(type)) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_real->thisType(); }
    int Initialize(IRecoveryFilter* filter) override { return m_real->Initialize(filter); }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override {
        m_sink = sink;
        m_real->StartDataRecovery(device, this, tree);
        return ControllerResult::DeviceGone;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return m_real->GetDataRecovery(type); }
    void Release() override { delete this; }
    void UpdateProgress(_PROGRESS_INFO* info) override {
        _PROGRESS_INFO record = *info;
        if (record.state == PROGRESS_FINISHED) record = MakeProgress(PROGRESS_FINISHED, 10, 9, ControllerResult::DeviceGone);
        m_sink->UpdateProgress(&record);
    }
    int Continued() override { return m_sink->Continued(); }
    int shouldBuild() override { return m_sink->shouldBuild(); }

private:
    Owned<IRecoveryController> m_real;
    IProgress* m_sink = nullptr;
};

} // namespace salvor::test
