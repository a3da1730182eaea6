// The progress box while a scan runs, the result summary when it ends, the
// deep-scan suggestion that points at the deep-scan button, and resizes.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "services/PublicUtilities.h"
#include "services/UIController.h"
#include "ui/widgets/AttachedWindow.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"

#include <QApplication>
#include <QDateTime>
#include <QPointer>
#include <QTimer>
#include <QLabel>
#include <QSplitter>

#include <chrono>
#include <functional>

namespace salvor::windows {

using platform::localizedFormat;

namespace {
constexpr double kPopupSeconds = 8.0;
constexpr int kMinLeftPane = 223;
constexpr int kMaxLeftPane = 400;
} // namespace

void VXDeletailWindowController::getScanProgress() {
    VXUIController& facade = VXUIController::shared();
    isDeepScan = facade.IsDeepScan();
    segment->setEnabled(!isDeepScan || isPause);
    double percent = 0;
    std::uint64_t count = 0;
    const QString remaining = facade.GetScanProgress(&percent, &count);
    const std::int64_t now = clock->now().toSecsSinceEpoch();
    if (lastUpdateTime == 0 || now - lastUpdateTime >= 1) {
        remainTimeLabel->setText(localizedFormat("PAGE_FOUR_REMAININGTIME", remaining));
        lastUpdateTime = now;
    }
    findFilesLabel->setText(localizedFormat("PAGE_FOUR_FILESFOUND", QString::number(count)));
    if (percent < 1) percent = 0;
    progressView->changeProgressValue(static_cast<float>(percent));

    if (facade.IsScanRunning()) toldDeviceGone = 0, toldUnreadable = 0;
    if (!facade.IsScanRunning()) {
        double goneAt = 0;
        // A device that went away cannot be scanned deeper either.
        const bool gone = facade.ScanEndedByDeviceGone(&goneAt);
        flowView->cacheManager().freeCache();
        if (selectTypeCount != 0) {
            // The path tree is complete whatever view is shown.
            facade.SetViewType(0);
            facade.RefreshData();
            outlineView->willReloadData();
            timeOutlineView->willReloadData();
            facade.GetScanTreeNodeData(&allDiskArr, false);
            facade.SetViewType(int(selectTypeCount));
            reloadOutlines();
        }
        segment->setEnabled(true);
        for (QWidget* w : std::initializer_list<QWidget*>{continueButton, deepScanLabel, progressView, loadImageView,
                                                          pauseButton, stopButton, continueScanButton})
            w->hide();
        recovertyButton->show();
        selectFilesLabel->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
        kit::setFrame(selectFilesLabel, kit::Frame{40, 40, 380, 18}, kit::autoresizingMask(selectFilesLabel));
        const double W = kit::frame(abox).width;
        kit::setFrame(recovertyButton, kit::Frame{W / 2 - 50, 10, 100, 30}, kit::kViewMinXMargin | kit::kViewMaxXMargin);
        findFilesLabel->hide();
        remainTimeLabel->hide();
        selectFilesLabel->show();
        search->setEnabled(true);
        isDeepScan = facade.IsDeepScan();
        createExportButton(isDeepScan);
        if (!isDeepScan && !isImport && !gone) {
            continueButton->show();
            deepScanLabel->show();
            if (!deepScanVC) {
                deepScanVC = new VXDeepScanViewController;
                deepScanVC->delegate = this;
                showPopoverWithViewController(deepScanVC);
            }
        }
        ExpandeRootItem();
        isCanClick = 1;
        if (isCloseWindow) {
            if (!terminatePosts) terminateApplication();
            return;
        }
        if (isSelectBackHome) {
            isSelectBackHome = 0;
            doBackHomeAction(1);
            return;
        }
        std::uint64_t size = 0, files = 0;
        facade.GetScanFileSize(&size, &files);
        selectFilesLabel->setText(localizedFormat("PAGE_FOUR_ALL_FILES_SIZE",
                                                  VXPublicUtilities::longlongConvertVolSpace(static_cast<long long>(size)),
                                                  static_cast<long long>(files)));
        if (gone && !toldDeviceGone && !toldDetach) {
            toldDeviceGone = 1;
            tellDeviceGone(goneAt, files);
        } else if (!gone && !toldUnreadable && !toldDetach && facade.GetScanUnreadableSectors() > 0) {
            // Not a clean scan: what the unreadable sectors held is not all listed.
            toldUnreadable = 1;
            tellUnreadable();
        }
    }
    for (widgets::TCImageButton* b : {backHomeButton, pauseButton, stopButton}) b->setButtonEnabled(isCanClick);
}

namespace {

// While the suggestion shows, a press anywhere in its window lets it go and
// still reaches what was pressed (the bubble takes no clicks of its own, so it
// never swallows one meant for the tabs or rows under it).
class DismissOnPress : public QObject {
public:
    DismissOnPress(QWidget* window, std::function<void()> dismiss, QObject* owner)
        : QObject(owner), window_(window), dismiss_(std::move(dismiss)) {
        qApp->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::MouseButtonPress || !window_ || done_) return false;
        auto* w = qobject_cast<QWidget*>(watched);
        if (!w || w->window() != window_->window()) return false;
        done_ = true;
        // Not inside the press: the bubble goes once it has been delivered.
        QTimer::singleShot(0, this, [this] { dismiss_(); });
        return false;
    }

private:
    QPointer<QWidget> window_;
    std::function<void()> dismiss_;
    bool done_ = false;
};

void letClicksThrough(QWidget* bubble, QWidget* window, std::function<void()> dismiss) {
    if (!bubble) return;
    bubble->setAttribute(Qt::WA_TransparentForMouseEvents);
    new DismissOnPress(window, std::move(dismiss), bubble);
}

// The centre of a control in its window, lower-left origin.
QPointF centreInWindow(QWidget* control, QWidget* window) {
    const QPoint c = control->mapTo(window, control->rect().center());
    return {double(c.x()), double(window->height() - c.y())};
}
} // namespace

void VXDeletailWindowController::showPopoverWithViewController(VXDeepScanViewController* vc) {
    if (!attachedWindow) {
        popView = vc->view();
        attachedWindow = widgets::MAAttachedWindow::initWithView(popView, centreInWindow(pointButton, aWindow), aWindow,
                                                                 widgets::MASideBottomRight, 10);
        letClicksThrough(attachedWindow, aWindow, [this] { popupViewHidden(); });
        if (attachedWindow) attachedWindow->show();
    }
    platform::performAfterDelay(std::chrono::milliseconds(std::lround(kPopupSeconds * 1000)),
                                [this] { popupViewHidden(); }, this);
}

void VXDeletailWindowController::popupViewHidden() {
    if (attachedWindow) {
        // The view stays with its controller; only the bubble goes.
        if (popView) {
            popView->hide();
            popView->setParent(nullptr);
        }
        attachedWindow->hide();
        attachedWindow->deleteLater();
        attachedWindow = nullptr;
    }
    isClodePopView = 1;
}

void VXDeletailWindowController::windowDidResize() {
    if (!aWindow) return;
    if (titleImage) kit::setFrame(titleImage, kit::Frame{titleBarView->width() / 2.0 - 118, 81, 15, 15});
    double percent = 0;
    std::uint64_t count = 0;
    VXUIController::shared().GetScanProgress(&percent, &count);
    progressView->changeProgressValue(static_cast<float>(percent));
    const int left = splistLeftView->width();
    if (left < kMinLeftPane || left > kMaxLeftPane) {
        const int width = left < kMinLeftPane ? kMinLeftPane : kMaxLeftPane;
        splistView->setSizes({width, std::max(1, splistView->width() - width - splistView->handleWidth())});
    }
    splistView->update();
    if (attachedWindow && !isClodePopView && popView) {
        popView->setParent(nullptr);
        attachedWindow->hide();
        attachedWindow->deleteLater();
        attachedWindow = widgets::MAAttachedWindow::initWithView(popView, centreInWindow(pointButton, aWindow), aWindow,
                                                                 widgets::MASideBottomRight, 10);
        letClicksThrough(attachedWindow, aWindow, [this] { popupViewHidden(); });
        if (attachedWindow) attachedWindow->show();
    }
}

} // namespace salvor::windows
