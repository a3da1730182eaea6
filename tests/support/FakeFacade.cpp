#include "tests/support/FakeFacade.h"

#include "platform/NotificationCenter.h"
#include "services/DeviceData.h"

#include <list>

namespace salvor::test {

using platform::NotificationCenter;

void FakeFacade::NotifiyDeviceInfoAfterInit(const std::string& key) {
    ++calls["NotifiyDeviceInfoAfterInit"];
    NotificationCenter::defaultCenter().postOnMainThread(key);
}

void FakeFacade::GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) {
    std::list<_DiskVolumeData> records;
    for (const Disk& d : disks) {
        _DiskVolumeData& r = records.emplace_back();
        r.name = d.name.c_str(), r.size = d.size, r.isDmg = d.isDmg, r.isUsb = d.isUsb;
        r.diskIndex = int(records.size()) - 1;
        r.identity = d.name; // a disk of this test is known by its name
        for (const Volume& v : d.volumes) {
            _DiskVolumeData& c = r.children.emplace_back();
            c.name = v.name.c_str(), c.size = v.size, c.fileSystem = std::uint32_t(v.fileSystem), c.canOpen = v.canOpen;
            c.diskIndex = r.diskIndex, c.volumeIndex = int(r.children.size()) - 1;
            c.identity = r.identity + "/" + v.name;
        }
    }
    for (DiskVolumeNodeRef& item : DiskVolumeNodeData::itemsFromRecords(records)) out.push_back(std::move(item));
}

void FakeFacade::RefreshDeviceInfoInBackground(const std::string& key) {
    ++calls["RefreshDeviceInfoInBackground"];
    NotificationCenter::defaultCenter().postOnMainThread(key);
}

bool FakeFacade::DoScanWithData(const DiskVolumeNodeRef& item, const std::string& key) {
    ++calls["DoScanWithData"];
    if (!item || IsScanRunning()) return false;
    scanned = item, scanKey = key, scanStatus = 2;
    return true;
}

void FakeFacade::postScanUpdate() const {
    if (!scanKey.empty()) NotificationCenter::defaultCenter().postOnMainThread(scanKey);
}

bool FakeFacade::beginSaveOrRestoreNode(bool save, const QString& path) {
    lastSaveFlag = save, lastRestorePath = path;
    progressTotal = progressCurrent = progressError = 0;
    return true;
}

void FakeFacade::postProgress(std::uint64_t current, std::uint64_t total) {
    progressCurrent = current, progressTotal = total;
    NotificationCenter::defaultCenter().post(restoreKey);
}

void FakeFacade::finishSaveOrLoad(std::uint64_t code) {
    progressError = code, progressCurrent = progressTotal;
    NotificationCenter::defaultCenter().post("QueryProgressFinish");
}

std::uint64_t FakeFacade::DoRecovery(const OpNodeList* items, const QString& path, const std::string& key, void*) {
    ++calls["DoRecovery"];
    if (!items || path.isNull()) return 0x102055700000001ULL;
    recoveryItems = items, recoveryPath = path, recoveryKey = key;
    recoveryStatus = recoveryEndsAtOnce ? 0 : 2;
    postRecovery();
    return 0;
}

void FakeFacade::postRecovery() const {
    if (!recoveryKey.empty()) NotificationCenter::defaultCenter().postOnMainThread(recoveryKey);
}

} // namespace salvor::test
