#include "tests/support/FakeFacade.h"

#include "platform/NotificationCenter.h"
#include "services/DeviceData.h"

#include <list>

namespace salvor::test {

using platform::NotificationCenter;

FakeFacade::FakeFacade() { VXUIController::install(this); }

FakeFacade::~FakeFacade() { VXUIController::install(nullptr); }

int FakeFacade::count(const std::string& name) const {
    auto it = calls.find(name);
    return it == calls.end() ? 0 : it->second;
}

void FakeFacade::NotifiyDeviceInfoAfterInit(const std::string& key) {
    ++calls["NotifiyDeviceInfoAfterInit"];
    NotificationCenter::defaultCenter().postOnMainThread(key);
}

void FakeFacade::GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) {
    ++calls["GetDeviceInfoToArray"];
    std::list<_DiskVolumeData> records;
    int diskIndex = 0;
    for (const Disk& d : disks) {
        _DiskVolumeData& r = records.emplace_back();
        r.name = d.name.c_str();
        r.size = d.size;
        r.diskIndex = diskIndex;
        r.isDmg = d.isDmg;
        r.isUsb = d.isUsb;
        int volumeIndex = 0;
        for (const Volume& v : d.volumes) {
            _DiskVolumeData& c = r.children.emplace_back();
            c.name = v.name.c_str();
            c.size = v.size;
            c.diskIndex = diskIndex;
            c.volumeIndex = volumeIndex++;
            c.fileSystem = std::uint32_t(v.fileSystem);
            c.canOpen = v.canOpen;
        }
        ++diskIndex;
    }
    for (DiskVolumeNodeRef& item : DiskVolumeNodeData::itemsFromRecords(records)) out.push_back(std::move(item));
}

void FakeFacade::CloseApp() {
    ++calls["CloseApp"];
    throw CloseAppCalled{};
}

bool FakeFacade::SavePathToPList(const QString& path) {
    ++calls["SavePathToPList"];
    savePath = path;
    return true;
}

bool FakeFacade::writeUpDataTimeStr(const QString& text) {
    updateTime = text;
    updateTimeWritten = true;
    return true;
}

bool FakeFacade::isCanBeUseNetWork() {
    ++calls["isCanBeUseNetWork"];
    return network;
}

void FakeFacade::SetRecoveryType(unsigned mask) {
    ++calls["SetRecoveryType"];
    recoveryMask = mask;
}

bool FakeFacade::DoScanWithData(const DiskVolumeNodeRef& item, const std::string& key) {
    ++calls["DoScanWithData"];
    if (!item || IsScanRunning()) return false;
    scanned = item;
    scanKey = key;
    scanStatus = 2;
    return true;
}

void FakeFacade::PauseOrResumeScan() {
    ++calls["PauseOrResumeScan"];
    if (scanStatus == 2)
        scanStatus = 3;
    else if (scanStatus == 3)
        scanStatus = 2;
}

void FakeFacade::StopScan(int) {
    ++calls["StopScan"];
    if (scanStatus != 0) endScan();
}

void FakeFacade::postScanUpdate() const {
    if (!scanKey.empty()) NotificationCenter::defaultCenter().postOnMainThread(scanKey);
}

void FakeFacade::endScan() {
    scanStatus = 0;
    postScanUpdate();
}

bool FakeFacade::beginSaveOrRestoreNode(bool save, const QString& path) {
    ++calls["beginSaveOrRestoreNode"];
    lastSaveFlag = save;
    lastRestorePath = path;
    progressTotal = progressCurrent = progressError = 0;
    return true;
}

void FakeFacade::RestorPostUIUpdate(const std::string& key, bool) {
    ++calls["RestorPostUIUpdate"];
    restoreKey = key;
}

void FakeFacade::postProgress(std::uint64_t current, std::uint64_t total) {
    progressCurrent = current;
    progressTotal = total;
    NotificationCenter::defaultCenter().post(restoreKey);
}

void FakeFacade::finishSaveOrLoad(std::uint64_t code) {
    progressError = code;
    progressCurrent = progressTotal;
    NotificationCenter::defaultCenter().post("QueryProgressFinish");
}

void FakeFacade::GetSaveorRestoreProgress(std::uint64_t* total, std::uint64_t* current, std::uint64_t* error, bool) {
    *total = progressTotal;
    *current = progressCurrent;
    *error = progressError;
}

} // namespace salvor::test
