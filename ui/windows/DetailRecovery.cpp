// Recovery of the ticked files from the results window: the folder chooser
// as a sheet, the checks on the chosen folder (write permission, not on the
// scanned device, enough free space), the start through the facade, the
// modal progress dialog fed from "DoRecovery", and the end dialogs.
#include "ui/windows/DetailWindow.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/ResultSelection.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>

#include <algorithm>
#include <QScreen>

#include <unistd.h>

#include <chrono>

namespace salvor::windows {

using platform::localizedString;

namespace {

// Centres window over the screen it is on.
void centre(QWidget* window) {
    const QScreen* screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect r = window->frameGeometry();
    r.moveCenter(screen->availableGeometry().center());
    window->move(r.topLeft());
}

kit::Frame frameOf(const QWidget* w) {
    const QRect g = w->geometry();
    return {double(g.x()), double(g.y()), double(g.width()), double(g.height())};
}

} // namespace

void VXDeletailWindowController::recovrtyButtonClick() {
    recovertyButton->setButtonEnabled(false);
    isRecoveryEndSHowWindow = 1;

    auto* chooser = new QFileDialog(window());
    chooser->setObjectName(QStringLiteral("recoveryFolderPanel"));
    chooser->setOption(QFileDialog::DontUseNativeDialog);
    chooser->setOption(QFileDialog::ShowDirsOnly);
    chooser->setOption(QFileDialog::DontResolveSymlinks, false);
    chooser->setFileMode(QFileDialog::Directory);
    chooser->setWindowTitle(localizedString("PAGE_FOUR_RECOVERY_NODE"));
    chooser->setLabelText(QFileDialog::Accept, localizedString("PAGE_FOUR_RECOVERY_WINDOW_SAVE_BUTTON"));
    // A loaded result offers no folder of its own: the chooser starts at home.
    chooser->setDirectory(QDir::homePath());
    if (panel) panel->deleteLater();
    panel = chooser;

    // First use: the results window's frame less 75 in height; afterwards the
    // frame the last chooser had.
    if (rectNew.width == 0 && rectNew.height == 0) {
        rectNew = frameOf(window());
        rectNew.height -= 75;
    }
    const int decoration = chooser->frameGeometry().height() - chooser->geometry().height();
    rectNew.height += decoration;
    chooser->setGeometry(int(rectNew.x), int(rectNew.y), int(rectNew.width), int(rectNew.height));

    chooser->setWindowModality(Qt::WindowModal);
    connect(chooser, &QDialog::finished, this, [this](int r) { recoveryPanelEnded(r); });
    chooser->open();
}

void VXDeletailWindowController::recoveryPanelEnded(int response) {
    auto* chooser = qobject_cast<QFileDialog*>(panel);
    if (!chooser) return;
    chooser->hide();
    rectNew = frameOf(chooser);
    recovertyButton->setButtonEnabled(true);
    const QStringList chosen = chooser->selectedFiles();
    // We are inside the chooser's own signal: it goes once that has returned.
    chooser->deleteLater();
    panel = nullptr;
    if (response != QDialog::Accepted || chosen.isEmpty()) return;

    VXUIController& facade = VXUIController::shared();
    if (isImport) {
        int count = 0;
        std::uint64_t size = 0;
        facade.GetSelectedFilesAmout(&count, &size);
    }
    QString path = chosen.first();
    while (path.size() > 1 && path.endsWith(QLatin1Char('/'))) path.chop(1);
    recoverySavePathStr = path;

    // Each of these sheets writes only on its alternate answer ("Recover
    // Anyway"); Escape and closing give the default, which writes nothing.
    const auto sheet = [this](const char* key, bool alternate, std::function<void(int)> didEnd) {
        const QString k = QString::fromLatin1(key);
        kit::Alert alert(localizedString(k + QStringLiteral("_TITLE")), localizedString(k + QStringLiteral("_YES_BUTTON")),
                         alternate ? localizedString(k + QStringLiteral("_NO_BUTTON")) : QString(), {},
                         localizedString(k + QStringLiteral("_NODE")));
        alert.setIcon(QStringLiteral("warning_b"));
        alert.setSafeAnswer(kit::kAlertDefaultReturn);
        alert.beginSheetModalForWindow(window(), std::move(didEnd), this);
    };

    if (::access(path.toLocal8Bit().constData(), W_OK) != 0) {
        sheet("PAGE_FOUR_RECOVERY_NO_COMPETENCE", false, [](int) {});
        return;
    }
    if (facade.IsRecoveryToSameDevice(path)) {
        sheet("PAGE_FOUR_SAVE_SAME_PATH", true, [this](int code) {
            if (code == kit::kAlertDefaultReturn)
                platform::performAfterDelay(std::chrono::milliseconds(500), [this] { recovrtyButtonClick(); }, this);
            else if (code == kit::kAlertAlternateReturn)
                startRecovery(); // the space check is not repeated
        });
        return;
    }
    // Free space as an ordinary user may use it; unknown counts as none.
    const std::uint64_t free = queryFreeSpace(path).value_or(0);
    if (!hasSpaceFor(free, selectedFileSize)) {
        sheet("PAGE_FOUR_RECOVERY_NO_SPACE", true, [this](int code) {
            if (code == kit::kAlertAlternateReturn) startRecovery();
        });
        return;
    }
    startRecovery();
}

void VXDeletailWindowController::startRecovery() {
    isFinishRecovery = 0;
    isBeginRecovery = 1;
    recoveryStopping = 0;
    const OpNodeList* roots = rootArray(selectTypeCount);
    if (!roots) return;
    VXUIController::shared().DoRecovery(roots, recoverySavePathStr, "DoRecovery", this);
}

void VXDeletailWindowController::closeRecoveryProgress() {
    if (!recoveryProgressWindow) return;
    QWidget* w = recoveryProgressWindow->window();
    kit::stopModalFor(w);
    recoveryProgressWindow->close();
    // Its modal run may still be on the stack: released once it has returned.
    kit::releaseObject(recoveryProgressWindow);
    recoveryProgressWindow = nullptr;
}

void VXDeletailWindowController::recoveryAction() {
    VXUIController& facade = VXUIController::shared();
    if (!recoveryProgressWindow && !recoveryStopping && !isFinishRecovery && facade.IsRecoveryRunning()) {
        recoveryProgressWindow = new VXShowScanProgressWindowController;
        recoveryProgressWindow->setParent(this);
        recoveryProgressWindow->setDelegate(this);
        centre(recoveryProgressWindow->window());
    }
    std::uint64_t total = 0, current = 0, code = 0;
    const QString name = facade.GetRecoveryProgressTotal(&total, &current, &code);
    if (static_cast<std::int64_t>(code) > 0) {
        if (recoveryProgressWindow) recoveryProgressWindow->setNoMemeryViewHidden();
    } else if (recoveryProgressWindow) {
        const double percent = current != 0 && total > 0 ? double(current) * 100.0 / double(total) : 0.0;
        recoveryProgressWindow->changeProgressValue(percent, name);
    }
    // The end is handled whatever the last code was: a recovery that has
    // ended never leaves its dialog standing. A stopped one is told only once
    // its worker has ended, so the counts are final and the next Recover starts.
    if (!facade.IsRecoveryRunning()) {
        if (isFinishRecovery) return;
        isFinishRecovery = 1;
        closeRecoveryProgress();
        // Quitting: no end dialog comes up on the way out.
        if (VXAppDelegate* app = VXAppDelegate::current(); app && app->isEnding()) return;
        // A recovery whose device went away did not finish either, and one
        // that could not copy every file whole is not said to be complete.
        if (recoveryStopping || facade.IsRecoverySourceGone() || facade.GetRecoveryFailedFiles() > 0) {
            showRecoveryNotEndWindow();
        } else if (isRecoveryEndSHowWindow == 1) {
            showRecoveryEndWindow();
        }
        return;
    }
    if (isBeginRecovery && recoveryProgressWindow && !recoveryStopping) {
        isBeginRecovery = 0;
        kit::runModal(recoveryProgressWindow->window());
        if (window()) window()->activateWindow();
    }
}

void VXDeletailWindowController::stopButtonAction(int n) {
    VXUIController& facade = VXUIController::shared();
    if (n == 1) {
        facade.PauseOrResumeRecovery();
        return;
    }
    if (recoveryStopping || isFinishRecovery) return;
    recoveryStopping = 1;
    // Called from the dialog's own button: released later.
    closeRecoveryProgress();
    facade.StopRecvoery();
    // A recovery that had ended already sends no more news: look now.
    platform::performAfterDelay(std::chrono::milliseconds(0), [this] { recoveryAction(); }, this);
}

void VXDeletailWindowController::showRecoveryEndWindow() {
    if (scanEndSaveWC) kit::releaseObject(scanEndSaveWC);
    scanEndSaveWC = new VXScanEndSaveWindowController;
    scanEndSaveWC->setParent(this);
    scanEndSaveWC->setSavePathStr(recoverySavePathStr);
    centre(scanEndSaveWC->window());
    kit::runModal(scanEndSaveWC->window());
    if (window()) window()->activateWindow();
}

void VXDeletailWindowController::showRecoveryNotEndWindow() {
    if (scanNotEndSaceWC) kit::releaseObject(scanNotEndSaceWC);
    scanNotEndSaceWC = new VXScanNotEndSaveWindowController;
    scanNotEndSaceWC->setParent(this);
    centre(scanNotEndSaceWC->window());
    VXUIController& facade = VXUIController::shared();
    const bool ranToEnd = !recoveryStopping && !facade.IsRecoverySourceGone();
    recoveryStopping = 0;
    const std::uint64_t recovered = facade.GetRecoveridedFiles();
    const std::uint64_t ticked = selectedFileCnt > 0 ? std::uint64_t(selectedFileCnt) : 0;
    // At least the files the recovery itself counted failed.
    const std::uint64_t left = std::max(ticked > recovered ? ticked - recovered : 0, facade.GetRecoveryFailedFiles());
    services::writeLog("recovery stopped: %llu files recovered, %llu not\n", static_cast<unsigned long long>(recovered),
                       static_cast<unsigned long long>(left));
    scanNotEndSaceWC->changeRecoveryFilesPoint(double(recovered), recoverySavePathStr, double(left),
                                               facade.IsRecoverySourceGone(), ranToEnd);
    kit::runModal(scanNotEndSaceWC->window());
    if (window()) window()->activateWindow();
}

} // namespace salvor::windows
