#pragma once
// A deep scan cut short once it had read every file: the real controller of
// the type runs, and its end record says the device went at 90 %. Made
// silent, its device then fails every read and is gone, until asked whether
// it answers again (a card that came back after a long silence).
#include "engine/controller/RecoveryControllers.h"
#include "engine/include/DeviceAgain.h"
#include "engine/include/Owned.h"
#include "engine/include/Progress.h"
#include "engine/include/RecoveryController.h"

#include <atomic>
#include <memory>

namespace salvor::test {

class SilentUntilAsked final : public IStorageDevice, public IDeviceGone, public IDeviceAgain {
public:
    explicit SilentUntilAsked(IStorageDevice* inner) : m_inner(inner) {}
    int Open(char* path) override { return m_inner->Open(path); }
    int Close() override { return m_inner->Close(); }
    int ReadSector(void* buffer, long long first, long long count) override {
        ++m_asked;
        return m_silent || m_waited || m_failing ? 0 : m_inner->ReadSector(buffer, first, count);
    }
    // Reads asked of it, answered or not.
    unsigned long long Asked() const { return m_asked.load(); }
    unsigned GetSectorSize() override { return m_inner->GetSectorSize(); }
    unsigned long long GetTotalSectors() override { return m_inner->GetTotalSectors(); }
    ResultCode IOCtl(unsigned long long code, void* arg) override { return m_inner->IOCtl(code, arg); }
    IStorageDeviceData* GetPrivateData() override { return m_inner->GetPrivateData(); }
    void SetPrivateData(IStorageDeviceData* data) override { m_inner->SetPrivateData(data); }
    int GetType() override { return m_inner->GetType(); }
    ResultCode GetLastError() override { return m_inner->GetLastError(); }
    bool IsGone() override { return m_silent; }
    bool AnswersAgain() override { return !(m_silent = false); }
    void Silence() { m_silent = true; }
    // Not answering for now, waited for (not gone): its reads fail meanwhile.
    bool IsSilent() override { return m_waited; }
    void WaitFor(bool waited) { m_waited = waited; }
    // Answering, every read failing (its sectors bad).
    void FailReads(bool failing) { m_failing = failing; }

private:
    IStorageDevice* m_inner;
    std::atomic<bool> m_silent{false};
    std::atomic<bool> m_waited{false};
    std::atomic<bool> m_failing{false};
    std::atomic<unsigned long long> m_asked{0};
};

class GoneAtTheEnd final : public IRecoveryController, IProgress {
public:
    explicit GoneAtTheEnd(_RECOVERY_CONTROLLER_TYPE type, bool silent = false)
        : m_real(CreateRecoveryController(type)), m_silent(silent) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return m_real->thisType(); }
    int Initialize(IRecoveryFilter* filter) override { return m_real->Initialize(filter); }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override {
        m_sink = sink;
        if (m_silent) device = (m_device = std::make_unique<SilentUntilAsked>(device)).get();
        m_real->StartDataRecovery(device, this, tree);
        if (m_device) m_device->Silence();
        return ControllerResult::DeviceGone;
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return m_real->GetDataRecovery(type); }
    // The device the scan read, when made silent.
    SilentUntilAsked* Device() const { return m_device.get(); }
    void Release() override { delete this; }
    void UpdateProgress(_PROGRESS_INFO* info) override {
        _PROGRESS_INFO record = *info;
        if (record.state == PROGRESS_FINISHED) record = MakeProgress(PROGRESS_FINISHED, 10, 9, ControllerResult::DeviceGone);
        m_sink->UpdateProgress(&record);
    }
    int Continued() override { return m_sink->Continued(); }
    int shouldBuild() override { return m_sink->shouldBuild(); }

private:
    std::unique_ptr<SilentUntilAsked> m_device; // goes after the controller that reads it
    Owned<IRecoveryController> m_real;
    bool m_silent;
    IProgress* m_sink = nullptr;
};

} // namespace salvor::test
