#include "services/UIController.h"

#include "engine/utility/CatchExeception.h"
#include "engine/utility/FileUtils.h"
#include "services/CPPPublic.h"
#include "services/DeviceData.h"
#include "services/PublicUtilities.h"
#include "services/UIScan.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <list>

namespace {

class CUIController final : public VXUIController {
public:
    void NotifiyDeviceInfoAfterInit(const std::string& key) override {
        VXUIDeviceData::instance().NotifyAfterInit(key);
    }

    void GetDeviceInfoToArray(std::vector<DiskVolumeNodeRef>& out) override {
        std::list<_DiskVolumeData> disks;
        VXUIDeviceData::instance().GetAllDeviceInfo(disks);
        for (DiskVolumeNodeRef& item : DiskVolumeNodeData::itemsFromRecords(disks)) out.push_back(std::move(item));
    }

    void RefreshDeviceInfo() override {
        VXUIScan& scan = VXUIScan::instance();
        if (VXUIDeviceData::instance().RefreshDeviceInfo(scan)) scan.SaveScanSorage(nullptr);
    }

    bool IsAppRunning() override { return VXCPPPublic::instance().IsAppRunning(); }

    [[noreturn]] void CloseApp() override {
        CatchExeception::WriteLog("CloseApp\n");
        std::fflush(nullptr);
        // Workers may still be inside the engine: no destructors, no atexit.
        ::_exit(0);
    }

    QString GetSavePath() override { return VXPublicUtilities::getSavePath(); }
    bool SavePathToPList(const QString& path) override { return VXPublicUtilities::writeSavePath(path); }

    QString GetDefaultSavePath() override {
        const QString path = QString::fromUtf8(GetAppWorkPath()) + QStringLiteral("/SaveScan");
        const QByteArray native = path.toUtf8();
        if (::mkdir(native.constData(), 0755) != 0 && errno != EEXIST)
            CatchExeception::WriteLog("cannot make %s\n", native.constData());
        return path;
    }

    QString getUpDataTimeStr() override { return VXPublicUtilities::getUpDataTimeStr(); }
    bool writeUpDataTimeStr(const QString& text) override { return VXPublicUtilities::writeUpDataTimeStr(text); }
    bool isCanBeUseNetWork() override { return VXPublicUtilities::isCanBeUseNetWork(); }
};

CUIController& RealController() {
    static CUIController* const controller = new CUIController;
    return *controller;
}

std::atomic<VXUIController*> g_installed{nullptr};

} // namespace

VXUIController& VXUIController::shared() {
    VXUIController* installed = g_installed.load();
    return installed ? *installed : RealController();
}

void VXUIController::install(VXUIController* replacement) { g_installed.store(replacement); }
