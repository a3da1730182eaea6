// The results window's title bar: back home and deep scan on the left, the
// progress box in the middle, the search field and the export button on the
// right; and the export of the scan result into a scan-result file.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DeviceWaitLine.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RootWindow.h"
#include "ui/windows/SavePanel.h"

#include <QApplication>
#include <QFileInfo>
#include <QLabel>
#include <QTimer>

namespace salvor::windows {

using platform::localizedString;

namespace {

const QColor kCaptionColor(160, 170, 211, 255);
const QColor kCounterColor(172, 182, 220, 255);

QLabel* barLabel(QWidget* parent, const QString& text, const kit::Frame& frame, double points, int alignment,
                 const QColor& color, int mask = kit::kViewNotSizable) {
    QLabel* l = widgets::makeLabel(text, points, alignment);
    l->setParent(parent);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, color);
    l->setPalette(pal);
    kit::setFrame(l, frame, mask);
    return l;
}

widgets::TCImageButton* barButton(QWidget* parent, const char* objectName, const QString& stem, const kit::Frame& frame,
                                  int mask = kit::kViewNotSizable) {
    auto* b = new widgets::TCImageButton(parent);
    b->setObjectName(QLatin1String(objectName));
    b->setImageFromFileNormalName(kit::stateImageName(stem, kit::ImageState::Normal),
                                  kit::stateImageName(stem, kit::ImageState::Press),
                                  kit::stateImageName(stem, kit::ImageState::Hover),
                                  kit::stateImageName(stem, kit::ImageState::Disable));
    kit::setFrame(b, frame, mask);
    return b;
}

} // namespace

void VXDeletailWindowController::buildDetailViewWindowTitleBar() {
    QWidget* bar = titleBarView;
    const double T = bar->width();
    if (!backHomeButton) {
        backHomeButton = barButton(bar, "backHomeButton", QStringLiteral("home"), kit::Frame{28, 30, 32, 32});
        backHomeButton->setButtonEnabled(false);
        connect(backHomeButton, &QAbstractButton::clicked, this, [this] { backButtonAction(); });
        homeLabel = barLabel(bar, localizedString("PAGE_FOUR_BACKHOME_BUTTON"), kit::Frame{15, 13, 50, 18}, 13, 2,
                             kCaptionColor);
    }
    if (!continueButton) {
        continueButton = barButton(bar, "continueButton", QStringLiteral("deepscan"), kit::Frame{110, 30, 32, 32});
        continueButton->hide();
        connect(continueButton, &QAbstractButton::clicked, this, [this] { deepSrcanButtonAction(); });
        deepScanLabel = barLabel(bar, localizedString("PAGE_FOUR_DEEPSCAN_BUTTON"), kit::Frame{90, 13, 80, 18}, 13, 2,
                                 kCaptionColor);
        deepScanLabel->hide();
        pointButton = continueButton;
    }
    if (!abox) {
        abox = new QWidget;
        abox->setObjectName(QStringLiteral("abox"));
        abox->resize(450, 65);
        auto* background = new QLabel(abox);
        background->setPixmap(kit::namedPixmap(QStringLiteral("schedule_bg")));
        background->setScaledContents(true);
        kit::setFrame(background, kit::Frame{0, 0, 450, 65}, kit::kViewWidthSizable);
        subBox = new QWidget(abox);
        subBox->setObjectName(QStringLiteral("subBox"));
        kit::setFrame(subBox, kit::Frame{0, 0, 450, 65}, kit::kViewWidthSizable);

        loadImageView = new QLabel(subBox);
        loadImageView->setObjectName(QStringLiteral("loadImageView"));
        const QList<QImage> frames = kit::namedImageFrames(QStringLiteral("loading.gif"));
        loadImageView->setPixmap(QPixmap::fromImage(frames.value(0)));
        if (frames.size() > 1) {
            // The spinner turns through its frames.
            auto* turn = new QTimer(loadImageView);
            connect(turn, &QTimer::timeout, loadImageView, [l = loadImageView, frames, i = 0]() mutable {
                i = (i + 1) % int(frames.size());
                l->setPixmap(QPixmap::fromImage(frames.at(i)));
            });
            turn->start(80);
        }
        kit::setFrame(loadImageView, kit::Frame{14, 24, 16, 16});

        progressView = new widgets::VXProgressView(QSize(348, 6), subBox);
        progressView->setObjectName(QStringLiteral("progressView"));
        progressView->changeProgressValue(0);
        kit::setFrame(progressView, kit::Frame{40, 19, 348, 6}, kit::kViewWidthSizable);

        pauseButton = barButton(subBox, "pauseButton", QStringLiteral("pause"), kit::Frame{398, 20, 16, 16},
                                kit::kViewMinXMargin);
        pauseButton->setButtonEnabled(false);
        connect(pauseButton, &QAbstractButton::clicked, this, [this] { pauseButtonClick(); });
        continueScanButton = barButton(subBox, "continueScanButton", QStringLiteral("play"), kit::Frame{398, 20, 16, 16},
                                       kit::kViewMinXMargin);
        continueScanButton->hide();
        continueScanButton->setButtonEnabled(true);
        connect(continueScanButton, &QAbstractButton::clicked, this, [this] { pauseButtonClick(); });
        stopButton = barButton(subBox, "stopButton", QStringLiteral("stop"), kit::Frame{424, 20, 16, 16},
                               kit::kViewMinXMargin);
        stopButton->setButtonEnabled(false);
        connect(stopButton, &QAbstractButton::clicked, this, [this] { stopButtonClick(); });

        selectFilesLabel = barLabel(subBox,
                                    platform::localizedFormat("PAGE_FOUR_SELECT_FILES", QStringLiteral("0 byte"), 0),
                                    kit::Frame{40, 35, 380, 18}, 14, 0, kCounterColor, kit::kViewWidthSizable);
        selectFilesLabel->setObjectName(QStringLiteral("selectFilesLabel"));
        selectFilesLabel->hide();
        changeSelectCountLabelPos();

        recovertyButton = barButton(abox, "recovertyButton", QStringLiteral("botton_recover"),
                                    kit::Frame{175, 12, 100, 30}, kit::kViewMinXMargin);
        recovertyButton->setTextWithName(localizedString("PAGE_FOUR_RECOVERY_BUTTON"), QRect(0, 0, 100, 30));
        recovertyButton->hide();
        recovertyButton->setButtonEnabled(false);
        connect(recovertyButton, &QAbstractButton::clicked, this, [this] { recovrtyButtonClick(); });

        findFilesLabel = barLabel(subBox, platform::localizedFormat("PAGE_FOUR_FILESFOUND", QStringLiteral("0")),
                                  kit::Frame{40, 30, 180, 17}, 12, 0, kCounterColor);
        findFilesLabel->setObjectName(QStringLiteral("findFilesLabel"));
        remainTimeLabel = barLabel(subBox, platform::localizedFormat("PAGE_FOUR_REMAININGTIME", QStringLiteral("-:-:-")),
                                   kit::Frame{220, 30, 168, 17}, 12, 1, kCounterColor, kit::kViewMinXMargin);
        remainTimeLabel->setObjectName(QStringLiteral("remainTimeLabel"));
        // Under the bar, while a scan waits for its device.
        deviceWaitLabel = barLabel(subBox, QString(), kit::Frame{40, 1, 348, 16}, 11, 0, kCounterColor,
                                   kit::kViewWidthSizable);
        sayWhileDeviceIsWaitedFor(deviceWaitLabel, [] { return VXUIController::shared().IsScanRunning(); });

        abox->setParent(bar);
        kit::setFrame(abox, kit::Frame{250, 13, 450, 65}, kit::kViewWidthSizable);
        abox->show();
    }
    if (!search) {
        search = new widgets::NewSearchTextFiled(bar);
        search->setObjectName(QStringLiteral("search"));
        kit::setFrame(search, kit::Frame{T - 220, 30, 200, 30}, kit::kViewMinXMargin);
        search->setSearchDelegate(this);
    }
    resetCounters();
}

void VXDeletailWindowController::resetCounters() {
    remainTimeLabel->setText(platform::localizedFormat("PAGE_FOUR_REMAININGTIME", QStringLiteral("-:-:-")));
    findFilesLabel->setText(platform::localizedFormat("PAGE_FOUR_FILESFOUND", QStringLiteral("0")));
    progressView->changeProgressValue(0);
}

void VXDeletailWindowController::createExportButton(int deep) {
    if (isImport) return;
    if (!exportButton) {
        exportButton = barButton(titleBarView, "exportButton", QStringLiteral("export"), kit::Frame{966, 70, 16, 16},
                                 kit::kViewMinXMargin);
        if (!deep) exportButton->setToolTip(localizedString("PAGE_FOUR_SAVE_BUTTON_TIP"));
        connect(exportButton, &QAbstractButton::clicked, this, [this] { exportButtonAction(); });
        exportButton->show();
    }
    if (deep) exportButton->show();
}

void VXDeletailWindowController::exportButtonAction() {
    VXUIController& facade = VXUIController::shared();
    if (VXProgressWindow::refusedWhileSaving()) return;
    QString path;
    // The chooser opens where the last result was saved, while that folder is there.
    const QString last = facade.GetSavePath();
    QString folder = last.isEmpty() ? QString() : QFileInfo(last).absolutePath();
    if (folder.isEmpty() || !QFileInfo(folder).isDir()) folder = facade.GetDefaultSavePath();
    for (;;) {
        path = SavePanel::run(folder, facade.GetSaveFileName(), QStringLiteral("rsf"));
        if (path.isEmpty()) return;
        facade.SpyIDIncreateTable1(4133);
        facade.SpyIDIncreateTable1(isDeepScan ? 4134 : 4135);
        if (!facade.IsRecoveryToSameDevice(QFileInfo(path).absolutePath())) break;
        kit::Alert alert(localizedString("SAVE_SAME_DISK_WARNING"), localizedString("CHANG_DESTINATION"),
                         localizedString("PAGE_FOUR_SCAN_STOP_NO_BUTTON"),
                         localizedString("PAGE_FOUR_SCAN_STOP_YES_BUTTON"), localizedString("SAVE_SAME_DISK_PROMPT"));
        alert.setIcon(QStringLiteral("warning_b"));
        alert.setSafeAnswer(kit::kAlertAlternateReturn); // saves nothing
        const int answer = alert.runModal();
        if (answer == kit::kAlertDefaultReturn) continue; // choose another place
        if (answer == kit::kAlertOtherReturn) break;      // save there all the same
        return;
    }
    services::writeLog("Call Logic code save file %s\n", path.toUtf8().constData());
    facade.RestorPostUIUpdate("QueryProgressInfo", true);
    facade.beginSaveOrRestoreNode(true, path);
    auto* progress = new VXProgressWindow;
    progress->setStrPostName(QStringLiteral("QueryProgressInfo"));
    progress->setBSave(true);
    centerWindow(progress->window());
    kit::runModal(progress->window());
    if (window()) window()->activateWindow();
    if (progress->getResult()) {
        bSave = 1;
        facade.SavePathToPList(path);
    }
    progress->releaseWhenTold();
}

} // namespace salvor::windows
