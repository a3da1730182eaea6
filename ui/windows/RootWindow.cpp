#include "ui/windows/RootWindow.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/OpenPanel.h"
#include "ui/windows/ProgressWindow.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QScreen>

#include <chrono>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;

void centerWindow(QWidget* window) {
    QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    const QRect area = screen->availableGeometry();
    window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
}

VXRootWindowController::VXRootWindowController() : kit::WindowController(QStringLiteral("VXRootWindowController")) {
    setFadesOnClose(true);
}

VXRootWindowController::~VXRootWindowController() {
    NotificationCenter::defaultCenter().removeObserver(this);
    platform::cancelPerforms(this);
    delete comeInVC;
    delete selectTypeVC;
    delete selectDiskVC;
    delete deletailWC;
}

widgets::TCImageWindow* VXRootWindowController::imageWindow() { return static_cast<widgets::TCImageWindow*>(window()); }

QWidget* VXRootWindowController::loadWindow() {
    auto* w = new widgets::TCImageWindow(QSize(kPageWidth, kPageHeight));
    w->setWindowTitle(localizedString("WINDOW_TOP_TITLE"));
    return w;
}

void VXRootWindowController::windowDidLoad() {
    VXUIController& facade = VXUIController::shared();
    if (facade.IsAppRunning()) facade.CloseApp(); // another one runs: leave before any window shows
    facade.initFileType();
    NotificationCenter::defaultCenter().addObserver(this, "ShowDetailWindow",
                                                    [this](const platform::Notification&) { showDetailWindow(); });
    widgets::TCImageWindow* w = imageWindow();
    w->setTitleBarHeight(22);
    w->setTrafficLightButtonsLeftMargin(8);
    w->setTopButtonMoveUp(1);
    w->setFixedSize(kPageWidth, kPageHeight + 22); // not resizable
    centerWindow(w);
    QWidget* bar = w->titleBarView();
    titleLabel = widgets::makeLabel(QStringLiteral("%1 %2").arg(localizedString("WINDOW_TOP_TITLE"), QString()), 13, 2);
    titleLabel->setParent(bar);
    QPalette pal = titleLabel->palette();
    pal.setColor(QPalette::WindowText, widgets::windowTitleColor());
    titleLabel->setPalette(pal);
    kit::setFrame(titleLabel, kit::Frame{0, 3, double(bar->width()), 17}, kit::kViewWidthSizable);
    importButton = new widgets::TCImageButton(bar);
    importButton->setObjectName(QStringLiteral("importButton"));
    importButton->setImageFromFileNormalName(QStringLiteral("import_normal"), QStringLiteral("import_press"),
                                             QStringLiteral("import_hover"), QStringLiteral("import_disable"));
    importButton->setToolTip(localizedString("PAGE_TWO_IMPORT_BUTTON_TIP"));
    kit::setFrame(importButton, kit::Frame{966, 2, 16, 16});
    importButton->hide();
    connect(importButton, &QAbstractButton::clicked, this, [this] { importButtonClick(); });
    InfoButtonClick();
    pointCloseButton(w, this, [this] { closeWindow(); });
    w->activateWindow();
    facade.ReleaseDataRecovery();
}

void VXRootWindowController::setPageDefaults(bool devicePage) {
    // One default button per window: Return starts on the file-type page
    // and scans on the device page.
    if (selectTypeVC) selectTypeVC->startScanButton->setDefaultButton(!devicePage);
    if (selectDiskVC) selectDiskVC->scanButton->setDefaultButton(devicePage);
}

void VXRootWindowController::InfoButtonClick() {
    if (!selectTypeVC) {
        selectTypeVC = new VXSelectTypeViewController;
        selectTypeVC->delegate = this;
        selectTypeVC->view()->setParent(imageWindow()->contentView());
        kit::setFrame(selectTypeVC->view(), kit::Frame{0, 0, double(kPageWidth), double(kPageHeight)});
        selectTypeVC->view()->show();
    }
    selectTypeVC->selectAllCount = 0;
    selectTypeVC->allTypesButtonClick();
    whichPage = 2;
    importButton->hide();
    setPageDefaults(false);
}

void VXRootWindowController::changeContinueButtonState(const QStringList& selected) {
    selectValues = 0;
    for (const QString& s : selected) selectValues |= s.toInt();
    services::writeLog("selectValues = %d\n", selectValues);
}

void VXRootWindowController::changeSelectDiskViewContinueButtonEnabled(const DiskVolumeNodeRef& item) {
    if (item) selectVolumeData = item;
}

void VXRootWindowController::getDiskData() {
    // In the log, so that a report (and a test driving the window) tells a
    // start that was taken from one that was not.
    services::writeLog("device list asked for\n");
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    nc.removeObserver(this);
    VXUIController::shared().NotifiyDeviceInfoAfterInit("aInitFinished");
    nc.addObserver(this, "aInitFinished", [this](const platform::Notification&) { InitFinished(); });
}

void VXRootWindowController::selectTypesContinouButtonClick() {
    if (whichPage == 2) {
        getDiskData();
        return;
    }
    if (selectVolumeData && selectVolumeData->beCanOpen()) {
        if (VXProgressWindow::refusedWhileSaving()) return; // the scan would free what the save reads
        if (selectDiskVC) {
            selectDiskVC->removeNotification();
            selectDiskVC->disableRefreshDevice();
        }
        const QPoint origin = window()->pos();
        close();
        releaseDetailWindow();
        importButton->hide();
        deletailWC = new VXDeletailWindowController;
        deletailWC->setSelectDiskVolumeData(selectVolumeData);
        deletailWC->window()->move(origin + QPoint(0, 50)); // 50 points lower
        deletailWC->showWindow();
        platform::performAfterDelay(std::chrono::milliseconds(300), [this] { getDataForDeletailPage(); }, this);
        NotificationCenter::defaultCenter().removeObserver(this);
        return;
    }
    ++apfsNoticeCount;
    // A device is refused only when opening it was not permitted.
    APFSScanWindowController notice(selectVolumeData && !selectVolumeData->beCanOpen());
    centerWindow(notice.window());
    kit::runModal(notice.window());
    window()->activateWindow();
}

void VXRootWindowController::getDataForDeletailPage() {
    if (deletailWC) deletailWC->getData();
}

void VXRootWindowController::InitFinished() {
    std::vector<DiskVolumeNodeRef> disks;
    VXUIController::shared().GetDeviceInfoToArray(disks);
    int count = 0;
    DiskVolumeNodeRef first, last;
    for (const DiskVolumeNodeRef& disk : disks) {
        std::uint64_t volumeSize = 0;
        for (const DiskVolumeNodeRef& volume : disk->children()) {
            ++count;
            volumeSize = volume->capacity();
            last = volume;
            if (count == 1) first = volume;
        }
        // A disk much larger than its only volume is a second choice.
        if (count == 1 && disk->capacity() >= volumeSize && disk->capacity() - volumeSize >= 100000) ++count;
    }
    importButton->show();
    whichPage = 3;
    VXUIController::shared().SetRecoveryType(unsigned(selectValues));
    if (count < 2 && !disks.empty()) {
        selectVolumeData = last;
        selectTypesContinouButtonClick();
    } else {
        if (selectDiskVC) {
            // The old page leaves the window now; its controller may still be on the stack.
            QWidget* old = selectDiskVC->view();
            selectDiskVC->removeNotification();
            old->hide();
            old->setParent(nullptr);
            kit::releaseObject(selectDiskVC);
            selectDiskVC = nullptr;
        }
        selectDiskVC = new VXSelectDiskViewController;
        selectDiskVC->delegate = this;
        QWidget* page = selectDiskVC->view();
        page->setParent(imageWindow()->contentView());
        kit::setFrame(page, kit::Frame{916, -30, double(kPageWidth), double(kPageHeight)});
        page->show();
        // Forward at once (an animation of no duration).
        kit::setFrame(selectTypeVC->view(), kit::Frame{-1000, 0, double(kPageWidth), double(kPageHeight)});
        kit::setFrame(page, kit::Frame{0, 0, double(kPageWidth), double(kPageHeight)});
        selectDiskVC->setSelectDiskVolume(first);
        selectDiskVC->setAllDiskArr(disks);
        selectDiskVC->InitFinished();
        setPageDefaults(true);
    }
    NotificationCenter::defaultCenter().removeObserver(this);
}

void VXRootWindowController::backHome() {
    kit::setFrame(selectTypeVC->view(), kit::Frame{0, 0, double(kPageWidth), double(kPageHeight)});
    if (selectDiskVC) kit::setFrame(selectDiskVC->view(), kit::Frame{1000, 0, double(kPageWidth), double(kPageHeight)});
    whichPage = 2;
    importButton->hide();
    setPageDefaults(false);
    selectTypeVC->startScanButton->setFocus();
}

void VXRootWindowController::releaseDetailWindow() {
    if (!deletailWC) return;
    kit::releaseObject(deletailWC);
    deletailWC = nullptr;
}

void VXRootWindowController::importButtonClick() {
    if (VXProgressWindow::refusedWhileSaving()) return;
    // The stored path is the last scan-result file: the panel opens in its folder.
    const QString saved = VXUIController::shared().GetSavePath();
    QString folder;
    if (!saved.isEmpty()) folder = QFileInfo(saved).isDir() ? saved : QFileInfo(saved).absolutePath();
    const QString path = OpenPanel::run(folder, QStringLiteral("rsf"));
    if (path.isEmpty()) return;
    VXUIController::shared().SetRecoveryType(0x7F);
    importFilePath = path;
    releaseDetailWindow();
    importButton->hide();
    deletailWC = new VXDeletailWindowController;
    deletailWC->window()->move(window()->pos() + QPoint(0, 50));
    deletailWC->window()->hide();
    if (whichPage == 3)
        NotificationCenter::defaultCenter().addObserver(this, "ShowDetailWindow",
                                                        [this](const platform::Notification&) { showDetailWindow(); });
    auto* progress = new VXProgressWindow;
    progress->setStrPostName(QStringLiteral("NormalScranValue"));
    progress->setBSave(false);
    centerWindow(progress->window());
    getImportDataForDetialPage();
    kit::runModal(progress->window());
    window()->activateWindow();
    NotificationCenter::defaultCenter().removeObserver(this);
    const bool loaded = progress->getResult();
    kit::releaseObject(progress);
    if (loaded) {
        if (selectDiskVC) selectDiskVC->view()->hide();
        close();
        deletailWC->showWindow();
    } else {
        if (deletailWC) {
            deletailWC->clearImportData();
            deletailWC->close();
            releaseDetailWindow();
        }
        // Nothing was opened: the page stays as it was, ready for another try.
        if (whichPage == 3) {
            importButton->show();
            if (selectDiskVC) selectDiskVC->enableRefreshDevice();
        }
    }
}

void VXRootWindowController::getImportDataForDetialPage() {
    if (selectDiskVC) selectDiskVC->disableRefreshDevice();
    VXUIController::shared().beginSaveOrRestoreNode(false, importFilePath);
    deletailWC->getImportData(importFilePath);
}

void VXRootWindowController::showDetailWindow() {
    if (deletailWC) deletailWC->showWindow();
}

void VXRootWindowController::closeWindow() {
    if (window()) window()->hide();
    NotificationCenter::defaultCenter().post("appWillTerminate");
}

bool VXRootWindowController::windowShouldClose(QWidget*) {
    closeWindow();
    return false;
}

} // namespace salvor::windows
