#pragma once
// The small windows: the APFS notice, the about window, the update window and
// the deep-scan suggestion's view. The dialogs fade in when first shown and
// fade out when closed through the window's close path; their close buttons
// end their modal runs at once.
#include "ui/kit/Geometry.h"
#include "ui/kit/WindowController.h"
#include "ui/widgets/DialogTitleBar.h"

#include <QVariantMap>

#include <functional>

class QLabel;
class QProgressBar;
class QScrollArea;
class QPushButton;

namespace salvor::widgets {
class TCImageWindow;
class VXHandButton;
} // namespace salvor::widgets

namespace salvor::windows {

// A label in the windows' light blue text colour (alignment 0 left, 1
// right, 2 centred) at frame in parent.
QLabel* windowLabel(QWidget* parent, const QString& text, const kit::Frame& frame, double points, int alignment);

// Points the window's close button at fn instead of the close path.
void pointCloseButton(widgets::TCImageWindow* window, QObject* context, std::function<void()> fn);

// A controller asked before the application quits while its window runs
// modally; answers whether the quit may go ahead now.
class QuitResponder {
public:
    virtual ~QuitResponder() = default;
    virtual bool applicationShouldTerminate() = 0;
};

// The base of the dialogs: a drawn window of contentSize that fades.
class FadingDialog : public kit::WindowController {
    Q_OBJECT
public:
    FadingDialog(const QString& name, QSize contentSize);
    widgets::TCImageWindow* imageWindow();
    // Ends the modal run and closes the window at once.
    virtual void closeWindow();

protected:
    QWidget* loadWindow() override;
    void awakeFromNib() override { fadeIn(); }
    QSize contentSize_;
};

class APFSScanWindowController : public FadingDialog {
    Q_OBJECT
public:
    // permissionDenied: the device could not be opened for want of the
    // permission to read disks (told as such); otherwise a volume that cannot
    // be read, perhaps APFS.
    explicit APFSScanWindowController(bool permissionDenied = false);
    void okButtonAction() { closeWindow(); }
    void linkButtonAction();
    QLabel* aTitleLabel = nullptr;
    QPushButton* okButton = nullptr;
    widgets::VXHandButton* actuButton = nullptr;

protected:
    void windowDidLoad() override;

private:
    bool permissionDenied_ = false;
};

class VXAboutWindowController : public FadingDialog {
    Q_OBJECT
public:
    VXAboutWindowController();
    void linkButtonAction();
    widgets::DialogTitleBar bar;
    widgets::VXHandButton* aboutlink = nullptr;

protected:
    void windowDidLoad() override;
};

class VXCheckUpdateWindowDelegate {
public:
    virtual ~VXCheckUpdateWindowDelegate() = default;
    virtual void runRootWindow() = 0;
};

class VXCheckUpdateWindowController : public FadingDialog {
    Q_OBJECT
public:
    VXCheckUpdateWindowController();
    void setDelegate(VXCheckUpdateWindowDelegate* d) { delegate_ = d; }
    VXCheckUpdateWindowDelegate* delegate() const { return delegate_; }
    // A list fetched already (at launch): shown without fetching again.
    void setFetchedList(const QVariantMap& list) { fetched_ = list, hasFetched_ = true; }

    // Runs the check: the no-network panel, or a fetch of the list (bounded
    // like every fetch of it) and then whatIsNewVersionDiff().
    void getVersionChange();
    void whatIsNewVersionDiff(const QVariantMap& remote);
    static double heightForStringDrawing(const QString& text, const QFont& font, double width);
    void updateClickHereAction();
    // Ends the modal run, closes, and asks the delegate for the start window.
    void closeWindow() override;

    QWidget *checkProgressView = nullptr, *noNetworkView = nullptr, *noUpdateView = nullptr,
            *haveUpdateView = nullptr;
    QLabel* versionLabel = nullptr;
    QScrollArea* changeValueScrollView = nullptr;
    QWidget* showVersionScrollView = nullptr;
    QProgressBar* progressBar = nullptr;
    widgets::DialogTitleBar bar;

protected:
    void windowDidLoad() override;
    void animationDidStop(bool finished) override;

private:
    VXCheckUpdateWindowDelegate* delegate_ = nullptr;
    QVariantMap fetched_;
    bool hasFetched_ = false;
};

class VXDeepScanViewControllerDelegate {
public:
    virtual ~VXDeepScanViewControllerDelegate() = default;
    virtual void popupViewHidden() {}
};

class VXDeepScanViewController : public kit::ViewController {
    Q_OBJECT
public:
    VXDeepScanViewController() : kit::ViewController(QStringLiteral("VXDeepScanViewController")) {}
    void closeButtonAction() {
        if (delegate) delegate->popupViewHidden();
    }
    QLabel* deepScanNodeLabel = nullptr;
    QPushButton* closeButton = nullptr;
    VXDeepScanViewControllerDelegate* delegate = nullptr;

protected:
    QWidget* loadView() override;
};

} // namespace salvor::windows
