#pragma once
// The application delegate: the menu on the windows' menu buttons, the
// launch (update check, then the first window), quitting (asking a running
// scan or recovery first), and the menu commands. Ctrl+Q quits and Ctrl+M minimises in
// every window, modal ones included.
#include "ui/windows/Dialogs.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/UpdateCheck.h"

#include <QObject>
#include <QPointer>

#include <functional>

class QAction;
class QMenu;

namespace salvor::windows {

class VXRootWindowController;

class VXAppDelegate : public QObject, public VXCheckUpdateWindowDelegate {
    Q_OBJECT
public:
    explicit VXAppDelegate(LaunchClock& clock = LaunchClock::system(),
                           VersionListFetcher& fetcher = VersionListFetcher::network());
    ~VXAppDelegate() override;
    // The delegate of the running application (the last one made).
    static VXAppDelegate* current();

    void applicationDidFinishLaunching();
    // The window of a start that waits for an earlier instance to end (tests).
    QWidget* waitingWindow() const { return waitingWindow_ ? waitingWindow_->window() : nullptr; }
    // Whether the application may quit now; with a scan running: pauses it,
    // opens the confirmation sheet and answers false; with a recovery or a
    // save running: asks whether to stop it and answers false.
    bool applicationShouldTerminate();
    void alertEnded(int code);
    // Stops observing, takes the windows out of sight and ends the process
    // once no recovery or save writes any more.
    void applicationWillTerminate();
    // Runs end once no recovery or save writes: a running recovery is stopped
    // as its Stop does, so the file being written is finished under its name
    // or removed, with no temporary file left; a save is stopped and its
    // unfinished file removed. The event loop goes on meanwhile.
    void endAfterRecovery(std::function<void()> end);
    // The process is on its way out: the windows show no more dialogs.
    bool isEnding() const { return ending_; }
    // The quit command: the controller of the topmost modal window is asked
    // first, then this delegate.
    void terminate();

    void runRootWindow() override;
    // A later start of the program asked this one to come to the front:
    // its windows are restored and raised, the modal one on top.
    void raiseWindows();
    void aboutAction();
    void CheckUpAction();
    void supportCenterAction();
    void onlineHelp();

    QMenu* menu() const { return menu_; }
    QAction* action(const char* key) const;
    VXRootWindowController* rootWindowCon = nullptr;
    VXCheckUpdateWindowController* checkUpdateWindow = nullptr;

    // Tests: what ends the process (the facade's CloseApp by default).
    void setTerminateHook(std::function<void()> hook) { terminateHook_ = std::move(hook); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    // After the check for another instance: the first window (or the update check).
    void launch();
    void waitForEarlierInstance();
    void versionListArrived(const QVariantMap& remote);
    LaunchClock& clock_;
    VersionListFetcher& fetcher_;
    QMenu* menu_ = nullptr;
    std::function<void()> terminateHook_;
    bool sheetOpen_ = false, pausedForQuit_ = false, ending_ = false;
    QPointer<VXProgressWindow> waitingWindow_;
};

} // namespace salvor::windows
