#include "ui/windows/ProgressWindow.h"

#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "services/Log.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/DeviceWaitLine.h"
#include "ui/windows/RootWindow.h"

#include <QLabel>
#include <QProgressBar>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;

namespace {
// "Stop the save?" is up; the user answered it with Stop (the save that
// then ends unfinished was not failed by anything but that answer).
bool gLeaveAsked = false, gStopAnswered = false;
} // namespace

VXProgressWindow::VXProgressWindow() : FadingDialog(QStringLiteral("VXProgressWindow"), QSize(400, 130)) {}

VXProgressWindow::~VXProgressWindow() { NotificationCenter::defaultCenter().removeObserver(this); }

void VXProgressWindow::awakeFromNib() {
    QWidget* content = imageWindow()->contentView();
    if (bSave_ && showing_ == Showing::Operation) gStopAnswered = false; // a new save: no stop answered for it yet
    title = widgets::makeLabel(localizedString(bSave_ ? "SAVE_SCAN_RESULT" : "LOAD_SCAN_RESULT"), 14, 0);
    const char* description = showing_ == Showing::SaveEnd      ? "SAVE_STOPPING_WAIT"
                              : showing_ == Showing::EarlierEnd ? "APP_EARLIER_ENDING_WAIT"
                              : bSave_                          ? "SAVE_RESULT_WAIT"
                                                                : "LOAD_RESULT_WAIT";
    title->setParent(content);
    kit::setFrame(title, kit::Frame{20, 90, 360, 20});
    Description = widgets::makeLabel(localizedString(description), 12, 0);
    Description->setWordWrap(true);
    Description->setParent(content);
    kit::setFrame(Description, showing_ == Showing::Operation ? kit::Frame{20, 60, 360, 20} : kit::Frame{20, 50, 360, 36});
    progress = new QProgressBar(content);
    progress->setRange(0, 100);
    progress->setValue(0);
    progress->setTextVisible(false);
    widgets::styleProgressBar(progress);
    kit::setFrame(progress, kit::Frame{20, 30, 360, 14});
    // Under the bar, while the save or load waits for its device.
    if (showing_ == Showing::Operation) {
        deviceWaitLabel = widgets::makeLabel(QString(), 12, 0);
        deviceWaitLabel->setParent(content);
        kit::setFrame(deviceWaitLabel, kit::Frame{20, 8, 360, 18});
        sayWhileDeviceIsWaitedFor(deviceWaitLabel);
    }
    fadeIn();
}

void VXProgressWindow::windowDidLoad() {
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    nc.addObserver(this, strPostName_.toStdString(), [this](const platform::Notification&) { changeProgressValue(); });
    nc.addObserver(this, "QueryProgressFinish", [this](const platform::Notification&) { ProgressFinish(); });
    bar = widgets::installDialogTitleBar(imageWindow());
    pointCloseButton(imageWindow(), this, [this] {
        // The end of a stopped save is not left; a start that waits may be.
        if (showing_ == Showing::EarlierEnd) VXUIController::shared().CloseApp();
        if (showing_ == Showing::Operation) closeWindow();
    });
}

double VXProgressWindow::progressValue() const { return value_; }

void VXProgressWindow::changeProgressValue() {
    std::uint64_t total = 0, current = 0, error = 0;
    VXUIController::shared().GetSaveorRestoreProgress(&total, &current, &error, bSave_);
    const double value = std::clamp(double(current) * 100.0 / double(total ? total : 1), 0.0, 100.0);
    if (value <= value_) return; // never back
    value_ = value;
    progress->setValue(int(value));
}

void VXProgressWindow::ProgressFinish() {
    services::writeLog("---------------Progress finish----------------\n");
    std::uint64_t total = 0, current = 0, error = 0;
    VXUIController::shared().GetSaveorRestoreProgress(&total, &current, &error, bSave_);
    bFinish_ = true;
    bSucess_ = error == 0;
    if (timer_) return;
    timer_ = new QTimer(this);
    connect(timer_, &QTimer::timeout, this, [this] { onTimer(); });
    timer_->start(500);
}

void VXProgressWindow::onTimer() {
    if (!bFinish_) return;
    services::writeLog("----------call onTimer begin-------------\n");
    timer_->stop();
    NotificationCenter::defaultCenter().removeObserver(this);
    // Quitting, or the user's Stop, stops a save: no failure is told then.
    const VXAppDelegate* app = VXAppDelegate::current();
    // (The window of a stopped save's end leaves that answer to the save's own.)
    const bool stopped = bSave_ && showing_ == Showing::Operation && std::exchange(gStopAnswered, false);
    if (!bSucess_ && !(app && app->isEnding()) && !stopped && showing_ == Showing::Operation) {
        kit::Alert alert(QString(), localizedString("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"), {}, {}, failureText());
        alert.runModal();
    } else if (bSave_ && bSucess_ && !(app && app->isEnding()) && showing_ == Showing::Operation) {
        // Saved, but files the device did not answer for have no mark: a
        // load cannot check them, and the user is told so.
        if (const std::uint64_t unmarked = VXUIController::shared().GetSaveUnmarkedFiles(nullptr)) {
            kit::Alert alert(localizedString("SAVE_RSF_UNMARKED_TITLE"),
                             localizedString("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"), {}, {},
                             platform::localizedFormat("SAVE_RSF_UNMARKED_NODE", static_cast<long long>(unmarked)));
            alert.setIcon(QStringLiteral("warning_b"));
            alert.runModal();
        }
    }
    services::writeLog("----------close ProgressWindow-------------\n");
    closeWindow();
    if (!bSave_ && bSucess_) NotificationCenter::defaultCenter().post("ShowDetailWindow");
    services::writeLog("----------call onTimer finish-------------\n");
    told_ = true;
    if (releaseWhenTold_) deleteLater();
}

QString VXProgressWindow::failureText() const {
    VXUIController& facade = VXUIController::shared();
    std::uint64_t total = 0, current = 0, error = 0;
    facade.GetSaveorRestoreProgress(&total, &current, &error, bSave_);
    // A save that could not keep the earlier one aside wrote nothing over it.
    if (bSave_ && error == VXUIController::kSaveOldNotKept) return localizedString("SAVE_RSF_OLD_NOT_KEPT");
    // A save cut short whose earlier save stays kept aside: why it did not
    // come back, and where its bytes are, so that nothing seems lost.
    if (!bSave_ && error == VXUIController::kLoadOldNotBack) {
        using Left = VXUIController::OldSaveLeft;
        QString record;
        const char* why = "LOAD_RSF_OLD_NOT_WRITTEN_BACK";
        switch (facade.GetRestoreOldSaveLeft(&record)) {
        case Left::NotTrusted: why = "LOAD_RSF_OLD_NOT_TRUSTED"; break;
        case Left::BytesMissing: why = "LOAD_RSF_OLD_BYTES_MISSING"; break;
        case Left::Held: why = "LOAD_RSF_OLD_HELD"; break;
        case Left::Damaged: why = "LOAD_RSF_OLD_DAMAGED"; break;
        case Left::OtherFile: why = "LOAD_RSF_OLD_OTHER_FILE"; break;
        case Left::Length: why = "LOAD_RSF_OLD_LENGTH"; break;
        case Left::NotWritable: why = "LOAD_RSF_OLD_NOT_WRITABLE"; break;
        case Left::None:
        case Left::NotPutBack: break;
        }
        return platform::localizedFormat("LOAD_RSF_OLD_NOT_BACK", localizedString(why), record);
    }
    if (bSave_ || error != VXUIController::kLoadDeviceMissing) return localizedString("READ_RSF_FAILED");
    // A file whose device is not attached is not damaged: the user is told
    // which device to attach, named as the device list names it.
    bool alike = false;
    const DiskVolumeNodeRef device = facade.GetRestoreDevice(&alike);
    return platform::localizedFormat(alike ? "LOAD_RSF_DEVICE_ALIKE" : "LOAD_RSF_DEVICE_MISSING",
                                     device ? device->name() : QString(), device ? device->sizeText() : QString(),
                                     device ? device->kindText() : QString());
}

void VXProgressWindow::releaseWhenTold() {
    if (told_) {
        kit::releaseObject(this);
        return;
    }
    releaseWhenTold_ = true;
}

namespace {
// How far the running save is, in whole percent.
int savedPercent() {
    std::uint64_t total = 0, current = 0, error = 0;
    VXUIController::shared().GetSaveorRestoreProgress(&total, &current, &error, true);
    return int(std::clamp(double(current) * 100.0 / double(total ? total : 1), 0.0, 100.0));
}
} // namespace

bool VXProgressWindow::refusedWhileSaving() {
    if (!VXUIController::shared().IsSaveWorking()) return false;
    const int percent = savedPercent();
    services::writeLog("save, load or scan refused: a save is still running (%d%%)\n", percent);
    kit::Alert alert(localizedString("SAVE_STILL_RUNNING"), localizedString("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"),
                     {}, {}, platform::localizedFormat("SAVE_STILL_RUNNING_PROGRESS", QStringLiteral("%1%").arg(percent)));
    alert.setIcon(QStringLiteral("warning_b"));
    alert.runModal();
    return true;
}

bool VXProgressWindow::askedBeforeLeavingSave(QWidget* window, QObject* context, std::function<void()> leave) {
    if (!VXUIController::shared().IsSaveWorking()) return false;
    if (gLeaveAsked) return true; // one question at a time
    gLeaveAsked = true;
    // A question that goes with its window, unanswered, no longer holds the next.
    auto* reset = new QObject(context);
    QObject::connect(reset, &QObject::destroyed, [] { gLeaveAsked = false; });
    kit::Alert alert(localizedString("SAVE_STOP_TITLE"), localizedString("PAGE_FOUR_RECOVERY_STOP_YES_BUTTON"),
                     localizedString("PAGE_FOUR_RECOVERY_STOP_NO_BUTTON"), {}, localizedString("SAVE_STOP_NODE"));
    alert.setIcon(QStringLiteral("warning_b"));
    alert.setSafeAnswer(kit::kAlertAlternateReturn); // the save goes on
    alert.beginSheetModalForWindow(window, [reset, leave = std::move(leave)](int code) {
        delete reset;
        if (code != kit::kAlertDefaultReturn) return;
        gStopAnswered = true;
        services::writeLog("leaving during a save: the save is stopped\n");
        leave();
    }, context);
    return true;
}

namespace {
QPointer<VXProgressWindow> gSaveEnd;
} // namespace

void VXProgressWindow::showWhileSaveEnds() {
    if (gSaveEnd || !VXUIController::shared().IsSaveWorking()) return;
    services::writeLog("the stopped save is ending: its window shows it\n");
    auto* shown = new VXProgressWindow;
    shown->showing_ = Showing::SaveEnd;
    shown->setStrPostName(QStringLiteral("QueryProgressInfo"));
    shown->setBSave(true);
    gSaveEnd = shown;
    centerWindow(shown->window());
    shown->window()->show();
    shown->window()->raise();
    shown->changeProgressValue();
    // Closed once the save's thread has ended, whether or not its end is posted.
    auto* poll = new QTimer(shown);
    connect(poll, &QTimer::timeout, shown, [shown, poll] {
        if (VXUIController::shared().IsSaveWorking()) return;
        poll->stop();
        NotificationCenter::defaultCenter().removeObserver(shown);
        shown->closeWindow();
        shown->deleteLater();
    });
    poll->start(100);
}

VXProgressWindow* VXProgressWindow::saveEndWindow() { return gSaveEnd.data(); }

VXProgressWindow* VXProgressWindow::makeWaitForEndingWindow() {
    auto* shown = new VXProgressWindow;
    shown->showing_ = Showing::EarlierEnd;
    shown->setBSave(true);
    shown->window();
    shown->progress->setRange(0, 0); // busy: how far the other one is, is its own
    return shown;
}

bool VXProgressWindow::applicationShouldTerminate() {
    if (shuttingDown_) return true;
    // A save asks first; a load, or a save that has ended, fades and quits.
    if (bSave_ && askedBeforeLeavingSave(window(), this, [this] {
            stopAsked_ = true;
            shuttingDown_ = true;
            fadeOut();
        }))
        return false;
    shuttingDown_ = true;
    fadeOut();
    return false;
}

void VXProgressWindow::animationDidStop(bool finished) {
    const bool closed = finished && window() && kit::alphaValue(window()) <= 0.0;
    FadingDialog::animationDidStop(finished);
    VXAppDelegate* app = VXAppDelegate::current();
    if (!closed || !shuttingDown_ || !app) return;
    // The stop of the save was answered already: not asked again.
    if (stopAsked_)
        app->applicationWillTerminate();
    else
        app->terminate();
}

} // namespace salvor::windows
