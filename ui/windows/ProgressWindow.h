#pragma once
// The modal window that follows a save or a load of a scan result: a bar
// that only moves forward, and at the end an alert when the operation failed.
// A successful load posts "ShowDetailWindow".
#include "ui/windows/Dialogs.h"

#include <QPointer>

#include <functional>

class QTimer;

namespace salvor::windows {

class VXProgressWindow : public FadingDialog, public QuitResponder {
    Q_OBJECT
public:
    VXProgressWindow();
    ~VXProgressWindow() override;

    // Set both before the window is first shown.
    void setStrPostName(const QString& name) { strPostName_ = name; }
    const QString& strPostName() const { return strPostName_; }
    void setBSave(bool save) { bSave_ = save; }
    bool bSave() const { return bSave_; }
    bool getResult() const { return bSucess_; }

    // The bar, 0 to 100.
    double progressValue() const;

    // Event handlers.
    void changeProgressValue();
    void ProgressFinish();
    void onTimer();
    // Fades out first; quits when the fade has ended.
    bool applicationShouldTerminate() override;

    // Releases the window once the end of its operation has been told: a
    // window the user closed before the end still shows the failure alert.
    void releaseWhenTold();

    // While a save runs (its window may have been closed) no other save,
    // load or scan starts: tells the user so, with how far the save is, and
    // answers true.
    static bool refusedWhileSaving();
    // Leaving (quitting, closing the results, going home) while a save runs
    // asks "Stop the save?" as a sheet of window (none: application-modal)
    // and answers true; going on lets the save end. Stopping stops it (the
    // file saved there before is kept) and calls leave once its thread has
    // ended. No save running: answers false and leaves it to the caller.
    static bool askedBeforeLeavingSave(QWidget* window, QObject* context, std::function<void()> leave);
    // A save stopped while the program leaves (or goes home) may still be
    // putting back the file saved there before: a window says so, with the
    // bar, until the save's thread has ended, and then closes. One at a
    // time; nothing when no save runs. What shows it, if any (tests).
    static void showWhileSaveEnds();
    static VXProgressWindow* saveEndWindow();
    // The window while it waits for an earlier instance of the program that
    // is still ending a save; closing it ends this start.
    static VXProgressWindow* makeWaitForEndingWindow();

    QLabel *title = nullptr, *Description = nullptr;
    QProgressBar* progress = nullptr;
    QLabel* deviceWaitLabel = nullptr; // while the device is not answering
    widgets::DialogTitleBar bar;

protected:
    void awakeFromNib() override;
    void windowDidLoad() override;
    void animationDidStop(bool finished) override;

private:
    // What the failure alert tells of the operation's last error code.
    QString failureText() const;

    QString strPostName_;
    bool bSave_ = false, bSucess_ = false, bFinish_ = false, shuttingDown_ = false;
    bool told_ = false, releaseWhenTold_ = false, stopAsked_ = false;
    // This window shows a stopped save's end, or a start waiting for an
    // earlier instance's: it has no close of its own and tells no failure.
    enum class Showing { Operation, SaveEnd, EarlierEnd } showing_ = Showing::Operation;
    double value_ = 0;
    QTimer* timer_ = nullptr;
};

} // namespace salvor::windows
