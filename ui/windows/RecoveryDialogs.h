#pragma once
// The dialogs of a recovery: the modal progress dialog (bar, name of the file
// being written, stop with confirmation, out-of-space panel) and the two end
// dialogs (finished, stopped) with the destination as a link. None of them
// calls the facade: the results window pushes the values in and hears the
// user's decisions through the progress dialog's delegate.
#include "ui/windows/Dialogs.h"

class QLabel;
class QProgressBar;
class QPushButton;

namespace salvor::widgets {
class TCImageButton;
}

namespace salvor::windows {

class VXShowScanProgressWindowControllerDelegate {
public:
    virtual ~VXShowScanProgressWindowControllerDelegate() = default;
    // 1: pause a running recovery or resume a paused one; anything else: stop.
    virtual void stopButtonAction(int action) = 0;
};

class VXShowScanProgressWindowController : public FadingDialog, public QuitResponder {
    Q_OBJECT
public:
    VXShowScanProgressWindowController();

    void setDelegate(VXShowScanProgressWindowControllerDelegate* d) { delegate_ = d; }
    VXShowScanProgressWindowControllerDelegate* delegate() const { return delegate_; }

    // percent 0 to 100; a null name leaves the name shown before.
    void changeProgressValue(double percent, const QString& name);
    // Shows the out-of-space panel in place of the others.
    void setNoMemeryViewHidden();

    void stopProgressButtonAction();
    void noButtonAction();
    void yesButtonAction();
    void continueButtonAction();
    void cancelButtonAction() { yesButtonAction(); }
    // Escape and the window's close: never a recovery left paused behind a
    // closed dialog. Escape on the progress asks as Stop does; on a question,
    // and the window's close anywhere, stop.
    void closeWindow() override;
    bool windowShouldClose(QWidget* window) override;
    // A quit while the recovery runs asks "Stop the recovery?" (the question
    // on screen already serves): stopping then quits once the recovery has
    // ended; going on, Escape included, keeps recovering and does not quit.
    bool applicationShouldTerminate() override;
    bool quitAsked() const { return quitAsked_; }

    QLabel *scaningFileName = nullptr, *titleLabel = nullptr;
    QLabel* deviceWaitLabel = nullptr; // while the device is not answering
    QProgressBar* progressBar = nullptr;
    QPushButton* stopButton = nullptr;
    QWidget *recoveryProgressView = nullptr, *noMemeryView = nullptr, *warningView = nullptr;
    QLabel *warningTitle = nullptr, *warningNode = nullptr;
    widgets::TCImageButton *noButton = nullptr, *yesButton = nullptr;
    QLabel *noMemeryTitle = nullptr, *noMemeryNode = nullptr;
    widgets::TCImageButton *noMemeryContinueButton = nullptr, *noMemeryCancelButton = nullptr;
    widgets::DialogTitleBar bar;

protected:
    void awakeFromNib() override;
    void windowDidLoad() override;

private:
    void tell(int action);
    // Shows one of the three panels and hides the other two.
    void showPanel(QWidget* panel);
    VXShowScanProgressWindowControllerDelegate* delegate_ = nullptr; // not owned
    bool quitAsked_ = false;
};

class VXScanEndSaveWindowController : public FadingDialog {
    Q_OBJECT
public:
    VXScanEndSaveWindowController();

    // Before the window is first asked for: the link is built as it loads.
    void setSavePathStr(const QString& path) { savePathStr_ = path; }
    const QString& savePathStr() const { return savePathStr_; }

    // Opens the folder the link shows; nothing when it shows none.
    void jumpToSavePath();
    // Closes at once (no fade), then ends the modal run.
    void okButtonAction();
    void facebookButtonAction();
    void twitterButtonAction();
    void googleAddButtonAction();

    QLabel *savePathLabel = nullptr, *recoveryEndTitle = nullptr, *recoveryEndNode = nullptr;
    QPushButton* okButton = nullptr;
    QPushButton *facebookButton = nullptr, *twitterButton = nullptr, *googleButton = nullptr;
    widgets::DialogTitleBar bar;

protected:
    void awakeFromNib() override;
    void windowDidLoad() override;

private:
    QString savePathStr_;
};

class VXScanNotEndSaveWindowController : public FadingDialog {
    Q_OBJECT
public:
    VXScanNotEndSaveWindowController();

    // After the window has loaded: the note with the files recovered and
    // those ticked but not recovered, and the folder link.
    // sourceGone: the recovery stopped because the scanned device stopped answering.
    // ranToEnd: the copy went through every file, some of them not whole.
    void changeRecoveryFilesPoint(double count, const QString& path, double notRecovered = 0, bool sourceGone = false,
                                  bool ranToEnd = false);
    // Opens the stored folder; nothing when there is none.
    void jumpToSavePath();
    // Ends the modal run, then closes at once (no fade).
    void okButtonAction();

    QLabel* showRecoveryNoteLabel = nullptr;
    QPushButton* okButton = nullptr;
    QLabel* savePathLabel = nullptr;
    widgets::DialogTitleBar bar;
    const QString& savePtahStr() const { return savePtahStr_; }

protected:
    void awakeFromNib() override;
    void windowDidLoad() override;

private:
    QString savePtahStr_;
};

// Sets path on label as a link (link colour, underlined, system font 12) with
// path as its tool tip. An empty path leaves the label's text as it is and
// clears the tool tip.
void setFolderLink(QLabel* label, const QString& path);
// The folder a link label shows ("" for none).
QString folderLinkPath(const QLabel* label);
// Opens a folder in the file browser; nothing for "".
void openFolder(const QString& path);

} // namespace salvor::windows
