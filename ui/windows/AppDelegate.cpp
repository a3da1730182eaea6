#include "ui/windows/AppDelegate.h"

#include "platform/Localization.h"
#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "platform/SingleInstance.h"
#include "platform/UserDefaults.h"
#include "services/EndSignals.h"
#include "services/Log.h"
#include "services/Preview.h"
#include "services/UIController.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/PreviewImages.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/LinkUrl.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RootWindow.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

namespace salvor::windows {

using platform::localizedString;
using platform::NotificationCenter;

namespace {
VXAppDelegate* gCurrent = nullptr;
constexpr const char* kSupportCenterUrl = "https://example.org/salvor/support";
constexpr const char* kOnlineHelpUrl = "https://example.org/salvor/help";

widgets::TCImageWindow* activeImageWindow() {
    QWidget* w = QApplication::activeWindow();
    if (!w) w = kit::modalWindow();
    return qobject_cast<widgets::TCImageWindow*>(w);
}
} // namespace

VXAppDelegate::VXAppDelegate(LaunchClock& clock, VersionListFetcher& fetcher) : clock_(clock), fetcher_(fetcher) {
    gCurrent = this;
    buildMenu();
    if (qApp) qApp->installEventFilter(this);
}

VXAppDelegate::~VXAppDelegate() {
    NotificationCenter::defaultCenter().removeObserver(this);
    if (qApp) qApp->removeEventFilter(this);
    delete rootWindowCon;
    delete checkUpdateWindow;
    delete menu_;
    if (gCurrent == this) gCurrent = nullptr;
}

VXAppDelegate* VXAppDelegate::current() { return gCurrent; }

void VXAppDelegate::buildMenu() {
    menu_ = new QMenu;
    auto add = [this](QMenu* m, const char* key, const QString& title, std::function<void()> fn) {
        QAction* a = m->addAction(title);
        a->setObjectName(QString::fromLatin1(key));
        connect(a, &QAction::triggered, this, std::move(fn));
    };
    QMenu* window = menu_->addMenu(localizedString("MENU_WINDOW"));
    add(window, "MENU_MINIMIZE", localizedString("MENU_MINIMIZE"), [] {
        if (auto* w = activeImageWindow()) w->performMiniaturize();
    });
    add(window, "MENU_MAXIMIZE", localizedString("MENU_MAXIMIZE"), [] {
        if (auto* w = activeImageWindow()) w->performZoom();
    });
    QMenu* help = menu_->addMenu(localizedString("MENU_HELP"));
    add(help, "MENU_ABOUT_NAME", localizedString("MENU_ABOUT_NAME").replace(QStringLiteral("%@"), localizedString("WINDOW_TOP_TITLE")),
        [this] { aboutAction(); });
    add(help, "MENU_CHECK_UPDTE", localizedString("MENU_CHECK_UPDTE"), [this] { CheckUpAction(); });
    add(help, "MENU_ONLINE_HELP", localizedString("MENU_ONLINE_HELP"), [this] { onlineHelp(); });
    add(help, "MENU_SUPPORT_CENTER", localizedString("MENU_SUPPORT_CENTER"), [this] { supportCenterAction(); });
    menu_->addSeparator();
    // Linux has no application hiding: hiding minimises the windows, showing restores them.
    add(menu_, "MENU_HIDEN_SELF", localizedString("MENU_HIDEN_SELF"), [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isVisible()) w->showMinimized();
    });
    add(menu_, "MENU_HIDEN_OTHER", localizedString("MENU_HIDEN_OTHER"), [] {});
    add(menu_, "MENU_SHOW_ALL", localizedString("MENU_SHOW_ALL"), [] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (w->isMinimized()) w->showNormal();
    });
    menu_->addSeparator();
    add(menu_, "MENU_EXIT", localizedString("MENU_EXIT") + QStringLiteral("\tCtrl+Q"), [this] { terminate(); });
}

QAction* VXAppDelegate::action(const char* key) const { return menu_->findChild<QAction*>(QString::fromLatin1(key)); }

bool VXAppDelegate::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() != Qt::ControlModifier) return false;
    if (key->key() == Qt::Key_Q) {
        terminate();
        return true;
    }
    if (key->key() == Qt::Key_M) {
        if (auto* w = activeImageWindow()) w->performMiniaturize();
        return true;
    }
    return false;
}

void VXAppDelegate::applicationDidFinishLaunching() {
    QPointer<VXAppDelegate> self(this);
    platform::SingleInstance::shared().setRaiseHandler([self] {
        if (self) self->raiseWindows();
        return self && self->isEnding();
    });
    VXUIController& facade = VXUIController::shared();
    // A second instance leaves before any window, an update window included;
    // while the first one still ends (a save being stopped, its windows
    // gone) this one says so and starts once it has.
    if (facade.IsAppRunning()) {
        if (!facade.IsAppEnding()) facade.CloseApp();
        waitForEarlierInstance();
        return;
    }
    launch();
}

void VXAppDelegate::waitForEarlierInstance() {
    services::writeLog("an earlier start is still ending its save: waiting for it\n");
    QPointer<VXProgressWindow> waiting = VXProgressWindow::makeWaitForEndingWindow();
    centerWindow(waiting->window());
    waiting->window()->show();
    waitingWindow_ = waiting;
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll, waiting] {
        if (VXUIController::shared().IsAppRunning()) return;
        poll->stop();
        poll->deleteLater();
        services::writeLog("the earlier start has ended: this one starts\n");
        if (waiting) {
            waiting->closeWindow();
            waiting->deleteLater();
        }
        launch();
    });
    poll->start(250);
}

void VXAppDelegate::launch() {
    NotificationCenter& nc = NotificationCenter::defaultCenter();
    nc.addObserver(this, "appWillTerminate", [this](const platform::Notification&) { applicationWillTerminate(); });
    nc.addObserver(this, "SetLangauageMemu", [](const platform::Notification&) {});
    VXUIController& facade = VXUIController::shared();
    // Previews are tested with the pictures' own decoder; media events start.
    VXUIPreview::SetDecoder(kit::decodedPreviewSize);
    facade.USBNotifier_init();
    const QString stored = facade.getUpDataTimeStr();
    if (stored.trimmed().isEmpty()) platform::UserDefaults::setParticipate(true);
    const QDateTime now = clock_.now();
    if (!isUpdateCheckDue(stored, now)) {
        runRootWindow();
        return;
    }
    // Stored before any network access: a failed check waits a week too.
    facade.writeUpDataTimeStr(now.toString(QString::fromLatin1(kCheckTimeFormat)));
    fetchVersionList(fetcher_, clock_, VXLinkUrl::GetUrl(QStringLiteral("IniURL")), this,
                     [this](const QVariantMap& remote) {
                         // Out of the fetch's own handler before any modal run.
                         QPointer<VXAppDelegate> self(this);
                         platform::postToMainThread([self, remote] {
                             if (self) self->versionListArrived(remote);
                         });
                     });
}

void VXAppDelegate::versionListArrived(const QVariantMap& remote) {
    if (versionCheckOf(remote) <= localVersionCheck() || !VXUIController::shared().isCanBeUseNetWork()) {
        runRootWindow();
        return;
    }
    if (!checkUpdateWindow) checkUpdateWindow = new VXCheckUpdateWindowController;
    checkUpdateWindow->setDelegate(this);
    checkUpdateWindow->setFetchedList(remote);
    checkUpdateWindow->window()->setWindowFlag(Qt::WindowStaysOnTopHint); // above other windows, as a status window
    centerWindow(checkUpdateWindow->window());
    kit::runModal(checkUpdateWindow->window());
    if (rootWindowCon && rootWindowCon->window()) rootWindowCon->window()->activateWindow();
}

void VXAppDelegate::runRootWindow() {
    if (rootWindowCon) return;
    rootWindowCon = new VXRootWindowController;
    rootWindowCon->imageWindow()->setApplicationMenu(menu_);
    rootWindowCon->showWindow();
    centerWindow(rootWindowCon->window());
}

bool VXAppDelegate::applicationShouldTerminate() {
    VXUIController& facade = VXUIController::shared();
    if (ending_) return false;
    if (!facade.IsScanRunning() && facade.IsRecoveryRunning()) {
        // The progress dialog asks itself when it runs; this is the moment
        // before it shows. Not answering keeps the recovery going.
        if (sheetOpen_) return false;
        kit::Alert alert(localizedString("PAGE_FOUR_RECOVERY_STOP_TITLE"),
                         localizedString("PAGE_FOUR_RECOVERY_STOP_YES_BUTTON"),
                         localizedString("PAGE_FOUR_RECOVERY_STOP_NO_BUTTON"), {},
                         localizedString("PAGE_FOUR_RECOVERY_STOP_NODE"));
        alert.setIcon(QStringLiteral("warning_b"));
        alert.setSafeAnswer(kit::kAlertAlternateReturn);
        sheetOpen_ = true;
        alert.beginSheetModalForWindow(nullptr, [this](int code) {
            sheetOpen_ = false;
            if (code != 0) applicationWillTerminate();
        }, this);
        return false;
    }
    // A save whose window was closed asks as a recovery does; stopping it
    // keeps the file saved there before.
    if (!facade.IsScanRunning() &&
        VXProgressWindow::askedBeforeLeavingSave(nullptr, this, [this] { applicationWillTerminate(); }))
        return false;
    if (!facade.IsScanRunning()) return true;
    if (sheetOpen_) return false;
    pausedForQuit_ = !facade.IsPause();
    if (pausedForQuit_) facade.PauseOrResumeScan();
    kit::Alert alert(localizedString("PAGE_FOUR_SCAN_STOP_TITLE"), localizedString("PAGE_FOUR_SCAN_STOP_YES_BUTTON"),
                     localizedString("PAGE_FOUR_SCAN_STOP_NO_BUTTON"), {}, localizedString("PAGE_FOUR_SCAN_STOP_NODE"));
    alert.setIcon(QStringLiteral("warning_b"));
    alert.setSafeAnswer(kit::kAlertAlternateReturn); // no quit: the results stay
    sheetOpen_ = true;
    alert.beginSheetModalForWindow(nullptr, [this](int code) { alertEnded(code); }, this);
    return false;
}

void VXAppDelegate::alertEnded(int code) {
    sheetOpen_ = false;
    if (code != 0) {
        applicationWillTerminate();
        return;
    }
    // Resumed only when the quit paused it: a scan the user paused stays paused.
    VXUIController& facade = VXUIController::shared();
    if (pausedForQuit_ && facade.IsPause()) facade.PauseOrResumeScan();
    pausedForQuit_ = false;
}

void VXAppDelegate::terminate() {
    if (QWidget* modal = kit::modalWindow()) {
        auto* responder = dynamic_cast<QuitResponder*>(kit::windowDelegate(modal));
        if (responder && !responder->applicationShouldTerminate()) return;
    }
    if (applicationShouldTerminate()) applicationWillTerminate();
}

void VXAppDelegate::applicationWillTerminate() {
    NotificationCenter::defaultCenter().removeObserver(this);
    if (QWidget* main = QApplication::activeWindow()) main->hide();
    endAfterRecovery([this] {
        if (terminateHook_) {
            terminateHook_();
            return;
        }
        VXUIController::shared().CloseApp();
    });
}

void VXAppDelegate::endAfterRecovery(std::function<void()> end) {
    if (ending_) return; // already on its way
    if (!services::isWriting()) {
        end();
        return;
    }
    ending_ = true;
    services::writeLog("quitting: the recovery or save is stopped first\n");
    // Out of sight at once, while the recovery or save ends.
    for (QWidget* w : QApplication::topLevelWidgets())
        if (w->isVisible()) w->hide();
    // The process ends after: a writer whose read hangs is not waited for.
    services::endAfterWriting(
        this,
        [end = std::move(end)] {
            services::writeLog("quitting: the recovery or save has ended\n");
            end();
        },
        true);
    // A stopped save may take a while to put back the file saved there
    // before: its window says so meanwhile.
    VXProgressWindow::showWhileSaveEnds();
}

void VXAppDelegate::raiseWindows() {
    services::writeLog("raise requested by another start\n");
    QWidget* front = kit::modalWindow();
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (!w->isVisible() || !qobject_cast<widgets::TCImageWindow*>(w)) continue;
        if (w->isMinimized()) w->showNormal();
        w->raise();
        if (!front) front = w;
    }
    if (!front) return;
    front->raise();
    front->activateWindow();
}

void VXAppDelegate::aboutAction() {
    VXAboutWindowController about;
    centerWindow(about.window());
    kit::runModal(about.window());
}

void VXAppDelegate::CheckUpAction() {
    if (!checkUpdateWindow) checkUpdateWindow = new VXCheckUpdateWindowController;
    centerWindow(checkUpdateWindow->window());
    kit::runModal(checkUpdateWindow->window());
}

void VXAppDelegate::supportCenterAction() { VXLinkUrl::open(QString::fromLatin1(kSupportCenterUrl)); }
void VXAppDelegate::onlineHelp() { VXLinkUrl::open(QString::fromLatin1(kOnlineHelpUrl)); }

} // namespace salvor::windows
