// Scan control from the results window: pause and resume, stop, back home
// to a new start window, and a deep scan of the same device in this window.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/EndSignals.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/ViewAnimation.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RootWindow.h"

#include <QApplication>
#include <QDateTime>
#include <QLabel>

#include <chrono>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;

namespace {

constexpr double kSlideSeconds = 0.4;

QPointer<VXRootWindowController>& shownRoot() {
    static QPointer<VXRootWindowController> root;
    return root;
}

// Deleted once no modal run is on the stack: a run entered from one of the
// object's handlers (the export's progress window) may return into it.
void releaseWhenIdle(QObject* object) {
    QPointer<QObject> guard(object);
    if (kit::modalDepth() == 0) {
        object->deleteLater();
        return;
    }
    platform::performAfterDelay(std::chrono::milliseconds(100), [guard] {
        if (guard) releaseWhenIdle(guard);
    });
}

QRectF asRect(const kit::Frame& f) { return {f.x, f.y, f.width, f.height}; }
kit::Frame asFrame(const QRectF& r) { return {r.x(), r.y(), r.width(), r.height()}; }

kit::Alert sheetAlert(const char* title, const char* yes, const char* no, const char* informative) {
    kit::Alert alert(localizedString(title), localizedString(yes), localizedString(no), {}, localizedString(informative));
    alert.setIcon(QStringLiteral("warning_b"));
    // Dismissed, the question changes nothing: the scan goes on, the results stay.
    alert.setSafeAnswer(kit::kAlertAlternateReturn);
    return alert;
}

} // namespace

VXRootWindowController* VXDeletailWindowController::lastShownRootWindow() { return shownRoot(); }

void VXDeletailWindowController::pauseButtonClick() {
    VXUIController& facade = VXUIController::shared();
    facade.PauseOrResumeScan();
    if (!facade.IsScanRunning()) {
        isPause = 0;
        facade.StopScan(1);
        isCanClick = 0;
        getScanProgress();
        return;
    }
    searchClearButtonClick();
    stopImageLoading();
    stopGridImageLoading();
    isPause = isPause ? 0 : 1;
    isDeepScan = facade.IsDeepScan();
    if (isDeepScan && !isPause) {
        segment->setEnabled(false);
        segment->setSelectedSegment(0);
        segmentSelect(0);
    } else {
        segment->setEnabled(true);
    }
    if (!isPause) {
        untickAllRoots();
        pauseButton->show();
        continueScanButton->hide();
        search->setEnabled(false);
        if (recovertyButton->isVisible()) hideRecoveryButtonAnimated(110);
        selectFilesLabel->hide();
        findFilesLabel->show();
        remainTimeLabel->show();
        platform::performAfterDelay(std::chrono::milliseconds(500), [this] { refashDetailPageData(); }, this);
    } else {
        isCanClick = 1;
        pauseButton->hide();
        continueScanButton->show();
        search->setEnabled(true);
    }
}

void VXDeletailWindowController::stopButtonClick() {
    if (isCloseWindow) return;
    stopButton->setImageFromFileNormalName(QStringLiteral("del_normal"), QStringLiteral("del_press"),
                                           QStringLiteral("del_normal"), QStringLiteral("del_normal"));
    if (!isPause) VXUIController::shared().PauseOrResumeScan();
    sheetAlert("PAGE_FOUR_SCAN_STOP_TITLE", "PAGE_FOUR_SCAN_STOP_YES_BUTTON", "PAGE_FOUR_SCAN_STOP_NO_BUTTON",
               "PAGE_FOUR_SCAN_STOP_NODE")
        .beginSheetModalForWindow(window(), [this](int code) { alertEndedStop(code); }, this);
}

void VXDeletailWindowController::alertEndedStop(int code) {
    if (code == kit::kAlertAlternateReturn) {
        if (isPause) return;
        VXUIController::shared().PauseOrResumeScan();
        isCanClick = 1;
        return;
    }
    untickAllRoots();
    if (recovertyButton->isVisible() && isPause) hideRecoveryButtonAnimated(100);
    isPause = 0;
    search->setEnabled(false);
    recovertyButton->hide();
    for (widgets::TCImageButton* b : {pauseButton, continueScanButton, stopButton, backHomeButton})
        b->setButtonEnabled(false);
    platform::performAfterDelay(std::chrono::milliseconds(500), [this] { stopAction(); }, this);
}

void VXDeletailWindowController::stopAction() {
    VXUIController::shared().StopScan(0);
    getScanProgress();
    isCanClick = 0;
    continueScanButton->setButtonEnabled(false);
}

void VXDeletailWindowController::backButtonAction() {
    if (isCloseWindow) return;
    VXUIController& facade = VXUIController::shared();
    if (facade.IsScanRunning()) {
        if (!facade.IsPause()) facade.PauseOrResumeScan();
        sheetAlert("PAGE_FOUR_SCAN_BACKHOME_TITLE", "PAGE_FOUR_SCAN_BACKHOME_YES_BUTTON",
                   "PAGE_FOUR_SCAN_BACKHOME_NO_BUTTON", "PAGE_FOUR_SCAN_BACKHOME_NODE")
            .beginSheetModalForWindow(window(), [this](int code) { alertEndedBackHome(code); }, this);
        return;
    }
    tPageEnd = QDateTime::currentSecsSinceEpoch();
    doBackHomeAction(1);
}

void VXDeletailWindowController::alertEndedBackHome(int code) {
    VXUIController& facade = VXUIController::shared();
    if (code == kit::kAlertAlternateReturn) {
        if (!isPause) facade.PauseOrResumeScan();
        isCanClick = 1;
        return;
    }
    untickAllRoots();
    isPause = 0;
    for (widgets::TCImageButton* b : {backHomeButton, continueScanButton, stopButton, recovertyButton})
        b->setButtonEnabled(false);
    facade.StopScan(1);
    isCanClick = 0;
    isSelectBackHome = 1;
    if (!facade.IsScanRunning()) {
        isSelectBackHome = 0;
        doBackHomeAction(1);
    }
}

void VXDeletailWindowController::doBackHomeAction(int flag) {
    if (flag && !SaveScanResult([this] {
            // Home once the save has ended; no second Home meanwhile.
            backHomeButton->setButtonEnabled(false);
            services::endAfterWriting(this, [this] { doBackHomeAction(1); });
            // Putting back the file saved there before may take a while.
            VXProgressWindow::showWhileSaveEnds();
        }))
        return;
    shuttingDown = 1;
    untickAllRoots();
    stopImageLoading();
    stopGridImageLoading();
    services::writeLog("begin back home\n");
    NotificationCenter::defaultCenter().post("SetLangauageMemu");
    stopRefreshTimer();
    clearList();
    services::writeLog("begin send data to server\n");
    VXUIController& facade = VXUIController::shared();
    facade.SpyIDIncreateTable2(4162, isDeepScan);
    facade.SpyIDSaveToServerTable();
    services::writeLog("finish send data to server\n");
    selectTypeCount = 0;
    facade.SetViewType(0);
    resetCounters();
    NotificationCenter::defaultCenter().removeObserver(this);
    // The next scan frees the found nodes: no view keeps a handle to them.
    dropFoundFiles();
    close();
    platform::performAfterDelay(std::chrono::milliseconds(200), [this] { showRootWindow(); }, this);
    services::writeLog("finish back home\n");
}

void VXDeletailWindowController::dropFoundFiles() {
    clearList();
    outlineView->willReloadData();
    timeOutlineView->willReloadData();
    opDataFile.reset();
    for (OpNodeList* roots : {&allDiskArr, &allTypeArr, &allCreatTimeArr, &allModifyTimeArr}) roots->clear();
    reloadOutlines();
    photos.clear();
    flowView->cacheManager().freeCache();
    flowView->reloadData();
}

void VXDeletailWindowController::showRootWindow() {
    auto* root = new VXRootWindowController;
    root->isNotFristLoad = 1;
    shownRoot() = root;
    if (VXAppDelegate* app = VXAppDelegate::current()) {
        // The new start window takes the old one's place; the old one, and
        // this window with it, go once the loop is back.
        VXRootWindowController* old = app->rootWindowCon;
        app->rootWindowCon = root;
        root->imageWindow()->setApplicationMenu(app->menu());
        if (old) {
            if (old->deletailWC == this) {
                old->deletailWC = nullptr;
                releaseWhenIdle(this);
            }
            releaseWhenIdle(old);
        }
    }
    root->showWindow();
    centerWindow(root->window());
    root->window()->activateWindow();
    VXUIController::shared().RefreshDeviceInfo();
}

void VXDeletailWindowController::deepSrcanButtonAction() {
    // The scan would free the nodes the save still reads.
    if (VXProgressWindow::refusedWhileSaving()) return;
    untickAllRoots();
    popupViewHidden();
    stopImageLoading();
    stopGridImageLoading();
    resetCounters();
    showNoValueNote();
    isCanClick = 1;
    isPause = 0;
    isDeepScan = 1;
    segment->setEnabled(true);
    segment->setSelectedSegment(0);
    selectSegmentCount = 0;
    for (QWidget* w : std::initializer_list<QWidget*>{tableScrollView, tableView, progressView, loadImageView,
                                                      pauseButton, stopButton, findFilesLabel, remainTimeLabel})
        w->show();
    for (QWidget* w : std::initializer_list<QWidget*>{coverFlower, gridView, selectFilesLabel, continueButton,
                                                      deepScanLabel, exportButton, recovertyButton})
        if (w) w->hide();
    continueButton->setButtonEnabled(false);
    search->setEnabled(false);
    dropFoundFiles();
    platform::performAfterDelay(std::chrono::milliseconds(200), [this] { doDeepScanAction(); }, this);
}

void VXDeletailWindowController::doDeepScanAction() {
    VXUIController& facade = VXUIController::shared();
    ClearSelectedFilesInfo();
    for (widgets::TCImageButton* b : {backHomeButton, pauseButton, stopButton}) b->setButtonEnabled(false);
    continueScanButton->setButtonEnabled(true);
    isCreateTimeTreeRebuild = 1;
    isModifyTimeTreeRebuild = 1;
    bSave = 0;
    facade.ResetShouldBuild();
    // An update that came in the meantime may have filled the views again.
    dropFoundFiles();
    facade.DoDeepScan("NormalScranValue");
}

void VXDeletailWindowController::hideRecoveryButtonAnimated(double xOffset) {
    kit::Frame box = kit::frame(subBox);
    const kit::Frame from = box;
    box.width += 100;
    kit::AnimationGroup group(kSlideSeconds);
    auto place = [](QWidget* v, const QRectF& r) { kit::setFrame(v, asFrame(r)); };
    group.animateFrame(subBox, asRect(from), asRect(box), place);
    group.animateFrame(recovertyButton, asRect(kit::frame(recovertyButton)),
                       QRectF(box.width + xOffset, 17, 100, 30), place);
    group.run([button = QPointer<widgets::TCImageButton>(recovertyButton)] {
        if (button) button->hide();
    });
}

} // namespace salvor::windows
