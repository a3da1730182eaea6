#include "ui/windows/RecoveryDialogs.h"

#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "services/UIController.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DeviceWaitLine.h"
#include "ui/windows/LinkUrl.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

#include <algorithm>

namespace salvor::windows {

using platform::localizedString;

namespace {

constexpr double kWidth = 460;
constexpr const char* kLinkPath = "folderLinkPath";

QWidget* addPanel(QWidget* parent, const char* name) {
    auto* panel = new QWidget(parent);
    panel->setObjectName(QLatin1String(name));
    kit::setFrame(panel, kit::Frame{0, 0, double(parent->width()), double(parent->height())});
    return panel;
}

QLabel* addText(QWidget* parent, const char* name, const kit::Frame& f, double points, bool wrap = false) {
    QLabel* l = widgets::makeLabel(QString(), points, 0);
    l->setParent(parent);
    kit::setFrame(l, f);
    l->setObjectName(QLatin1String(name));
    l->setWordWrap(wrap);
    return l;
}

QPushButton* addPushButton(QWidget* parent, const char* name, const QString& title, const kit::Frame& f) {
    auto* b = new QPushButton(title, parent);
    b->setObjectName(QLatin1String(name));
    b->setFocusPolicy(Qt::StrongFocus);
    kit::setFrame(b, f);
    return b;
}

// A confirmation button as read from a window description: usable once enabled.
widgets::TCImageButton* addImageButton(QWidget* parent, const char* name, const kit::Frame& f) {
    widgets::TCImageButton* b = widgets::TCImageButton::fromDescription(parent);
    b->setObjectName(QLatin1String(name));
    kit::setFrame(b, f);
    return b;
}

// Return and Enter press the window's default button (the dialog's own
// shortcut finds it; a second shortcut for the same keys would make both
// ambiguous, and neither would fire).
void bindReturn(QWidget* /*window*/, QPushButton* button) { button->setDefault(true); }

// The title bar of the recovery dialogs: the window's title and one blank.
widgets::DialogTitleBar installBar(widgets::TCImageWindow* w) {
    widgets::DialogTitleBar bar = widgets::installDialogTitleBar(w);
    if (bar.title) bar.title->setText(localizedString("WINDOW_TOP_TITLE") + QLatin1Char(' '));
    return bar;
}

} // namespace

void setFolderLink(QLabel* label, const QString& path) {
    if (!label) return;
    label->setToolTip(path);
    // No folder: the label keeps what it showed and links nowhere.
    if (path.isEmpty()) return;
    label->setProperty(kLinkPath, path);
    label->setTextFormat(Qt::RichText);
    label->setFont(kit::systemFont(12));
    label->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
    label->setText(QStringLiteral("<a href=\"folder\" style=\"color: rgb(90, 160, 255); text-decoration: underline;\">%1</a>")
                       .arg(path.toHtmlEscaped()));
}

QString folderLinkPath(const QLabel* label) { return label ? label->property(kLinkPath).toString() : QString(); }

void openFolder(const QString& path) {
    if (!path.isEmpty()) QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

// ---- progress dialog ----------------------------------------------------------

VXShowScanProgressWindowController::VXShowScanProgressWindowController()
    : FadingDialog(QStringLiteral("VXShowScanProgressWindowController"), QSize(int(kWidth), 170)) {}

void VXShowScanProgressWindowController::awakeFromNib() {
    QWidget* content = imageWindow()->contentView();

    recoveryProgressView = addPanel(content, "recoveryProgressView");
    titleLabel = addText(recoveryProgressView, "titleLabel", {20, 128, 420, 20}, 14);
    scaningFileName = addText(recoveryProgressView, "scaningFileName", {20, 98, 420, 18}, 12);
    progressBar = new QProgressBar(recoveryProgressView);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(false);
    widgets::styleProgressBar(progressBar);
    kit::setFrame(progressBar, kit::Frame{20, 70, 420, 14});
    // Under the bar, while the recovery waits for its device.
    deviceWaitLabel = addText(recoveryProgressView, "deviceWaitLine", {20, 50, 420, 17}, 12);
    sayWhileDeviceIsWaitedFor(deviceWaitLabel);
    stopButton = addPushButton(recoveryProgressView, "stopButton", localizedString("PAGE_FOUR_RECOVERY_STOP_YES_BUTTON"),
                               {340, 18, 100, 30});
    connect(stopButton, &QPushButton::clicked, this, [this] { stopProgressButtonAction(); });

    warningView = addPanel(content, "warningView");
    warningTitle = addText(warningView, "warningTitle", {20, 128, 420, 20}, 14);
    warningNode = addText(warningView, "warningNode", {20, 64, 420, 56}, 12, true);
    noButton = addImageButton(warningView, "noButton", {230, 18, 100, 30});
    yesButton = addImageButton(warningView, "yesButton", {340, 18, 100, 30});
    connect(noButton, &QAbstractButton::clicked, this, [this] { noButtonAction(); });
    connect(yesButton, &QAbstractButton::clicked, this, [this] { yesButtonAction(); });

    noMemeryView = addPanel(content, "noMemeryView");
    noMemeryTitle = addText(noMemeryView, "noMemeryTitle", {20, 128, 420, 20}, 14);
    noMemeryNode = addText(noMemeryView, "noMemeryNode", {20, 64, 420, 56}, 12, true);
    noMemeryContinueButton = addImageButton(noMemeryView, "noMemeryContinueButton", {200, 18, 130, 30});
    noMemeryCancelButton = addImageButton(noMemeryView, "noMemeryCancelButton", {340, 18, 100, 30});
    connect(noMemeryContinueButton, &QAbstractButton::clicked, this, [this] { continueButtonAction(); });
    connect(noMemeryCancelButton, &QAbstractButton::clicked, this, [this] { cancelButtonAction(); });

    titleLabel->setText(localizedString("PAGE_FOUR_RECOVER_PROGRESS_TITLE"));
    warningTitle->setText(localizedString("PAGE_FOUR_RECOVERY_STOP_TITLE"));
    warningNode->setText(localizedString("PAGE_FOUR_RECOVERY_STOP_NODE"));
    yesButton->setText(localizedString("PAGE_FOUR_RECOVERY_STOP_YES_BUTTON"));
    noButton->setText(localizedString("PAGE_FOUR_RECOVERY_STOP_NO_BUTTON"));
    noMemeryTitle->setText(localizedString("PAGE_FOUR_RECOVERY_NO_SPACE_TITLE"));
    noMemeryNode->setText(localizedString("PAGE_FOUR_RECOVERY_NO_SPACE_NODE"));
    // The button that goes on carries the NO text, the one that stops the YES text.
    noMemeryContinueButton->setText(localizedString("PAGE_FOUR_RECOVERY_NO_SPACE_NO_BUTTON"));
    noMemeryCancelButton->setText(localizedString("PAGE_FOUR_RECOVERY_NO_SPACE_YES_BUTTON"));

    showPanel(recoveryProgressView);
    fadeIn();
}

void VXShowScanProgressWindowController::windowDidLoad() {
    bar = installBar(imageWindow());
    for (widgets::TCImageButton* b : {yesButton, noButton, noMemeryContinueButton, noMemeryCancelButton})
        b->setButtonEnabled(true);
}

void VXShowScanProgressWindowController::showPanel(QWidget* panel) {
    for (QWidget* p : {recoveryProgressView, warningView, noMemeryView}) p->setVisible(p == panel);
}

void VXShowScanProgressWindowController::changeProgressValue(double percent, const QString& name) {
    window();
    progressBar->setValue(int(std::clamp(percent, 0.0, 100.0)));
    if (!name.isNull()) scaningFileName->setText(name);
}

void VXShowScanProgressWindowController::setNoMemeryViewHidden() {
    window();
    showPanel(noMemeryView);
}

void VXShowScanProgressWindowController::tell(int action) {
    if (delegate_) delegate_->stopButtonAction(action);
}

void VXShowScanProgressWindowController::stopProgressButtonAction() {
    showPanel(warningView);
    tell(1);
}

void VXShowScanProgressWindowController::noButtonAction() {
    quitAsked_ = false;
    showPanel(recoveryProgressView);
    tell(1);
}

void VXShowScanProgressWindowController::yesButtonAction() {
    const bool quit = quitAsked_;
    quitAsked_ = false;
    kit::stopModalFor(window());
    tell(2);
    // The delegate has stopped the recovery; the application ends once it has.
    if (quit) platform::NotificationCenter::defaultCenter().post("appWillTerminate");
}

void VXShowScanProgressWindowController::closeWindow() {
    if (quitAsked_) {
        // Escape on the quit's question: no quit, the recovery goes on.
        quitAsked_ = false;
        if (!warningView->isHidden()) noButtonAction();
        return;
    }
    if (recoveryProgressView && recoveryProgressView->isVisible())
        stopProgressButtonAction();
    else
        yesButtonAction();
}

bool VXShowScanProgressWindowController::applicationShouldTerminate() {
    window();
    quitAsked_ = true;
    if (!recoveryProgressView->isHidden()) stopProgressButtonAction();
    QWidget* w = window();
    w->raise();
    w->activateWindow();
    return false;
}

bool VXShowScanProgressWindowController::windowShouldClose(QWidget*) {
    yesButtonAction();
    return false;
}

void VXShowScanProgressWindowController::continueButtonAction() {
    quitAsked_ = false;
    showPanel(recoveryProgressView);
    tell(1);
}

// ---- finished dialog --------------------------------------------------------

VXScanEndSaveWindowController::VXScanEndSaveWindowController()
    : FadingDialog(QStringLiteral("VXScanEndSaveWindowController"), QSize(int(kWidth), 200)) {}

void VXScanEndSaveWindowController::awakeFromNib() {
    QWidget* content = imageWindow()->contentView();
    recoveryEndTitle = addText(content, "recoveryEndTitle", {20, 158, 420, 20}, 14);
    recoveryEndNode = addText(content, "recoveryEndNode", {20, 128, 420, 20}, 12);
    savePathLabel = addText(content, "savePathLabel", {20, 96, 420, 22}, 12);
    connect(savePathLabel, &QLabel::linkActivated, this, [this] { jumpToSavePath(); });
    facebookButton = addPushButton(content, "facebookButton", QStringLiteral("Facebook"), {20, 18, 90, 30});
    twitterButton = addPushButton(content, "twitterButton", QStringLiteral("Twitter"), {116, 18, 90, 30});
    googleButton = addPushButton(content, "googleButton", QStringLiteral("Google"), {212, 18, 90, 30});
    connect(facebookButton, &QPushButton::clicked, this, [this] { facebookButtonAction(); });
    connect(twitterButton, &QPushButton::clicked, this, [this] { twitterButtonAction(); });
    connect(googleButton, &QPushButton::clicked, this, [this] { googleAddButtonAction(); });
    okButton = addPushButton(content, "okButton", QString(), {360, 18, 80, 30});
    connect(okButton, &QPushButton::clicked, this, [this] { okButtonAction(); });
    bindReturn(imageWindow(), okButton);

    recoveryEndTitle->setText(localizedString("PAGE_FOUR_RECOVER_END_TITLE"));
    recoveryEndNode->setText(localizedString("PAGE_FOUR_RECOVER_END_NODE"));
    okButton->setText(localizedString("PAGE_FOUR_RECOVERY_STOP_BUTTON"));
    fadeIn();
}

void VXScanEndSaveWindowController::windowDidLoad() {
    bar = installBar(imageWindow());
    setFolderLink(savePathLabel, savePathStr_);
    okButton->setFocus();
}

void VXScanEndSaveWindowController::jumpToSavePath() { openFolder(folderLinkPath(savePathLabel)); }

void VXScanEndSaveWindowController::okButtonAction() {
    QWidget* w = window();
    close();
    kit::stopModalFor(w);
}

void VXScanEndSaveWindowController::facebookButtonAction() {
    VXUIController::shared().SpyIDStringTable2(4132, QStringLiteral("1"));
    VXLinkUrl::open(VXLinkUrl::GetUrl(QStringLiteral("FaceBookURL")));
}

void VXScanEndSaveWindowController::twitterButtonAction() {
    VXUIController::shared().SpyIDStringTable2(4131, QStringLiteral("1"));
    const QString url = VXLinkUrl::GetUrl(QStringLiteral("Twitter"));
    VXLinkUrl::open(QString::fromLatin1(QUrl::toPercentEncoding(url, ":/?&=#%+")));
}

void VXScanEndSaveWindowController::googleAddButtonAction() {
    VXUIController::shared().SpyIDStringTable2(4130, QStringLiteral("1"));
    VXLinkUrl::open(VXLinkUrl::GetUrl(QStringLiteral("GoogleURL")));
}

// ---- not-finished dialog ------------------------------------------------------

VXScanNotEndSaveWindowController::VXScanNotEndSaveWindowController()
    : FadingDialog(QStringLiteral("VXScanNotEndSaveWindowController"), QSize(int(kWidth), 170)) {}

void VXScanNotEndSaveWindowController::awakeFromNib() {
    QWidget* content = imageWindow()->contentView();
    showRecoveryNoteLabel = addText(content, "showRecoveryNoteLabel", {20, 96, 420, 52}, 12, true);
    savePathLabel = addText(content, "savePathLabel", {20, 64, 420, 22}, 12);
    connect(savePathLabel, &QLabel::linkActivated, this, [this] { jumpToSavePath(); });
    okButton = addPushButton(content, "okButton", localizedString("PAGE_FOUR_RECOVERY_STOP_BUTTON"), {360, 18, 80, 30});
    connect(okButton, &QPushButton::clicked, this, [this] { okButtonAction(); });
    bindReturn(imageWindow(), okButton);
    fadeIn();
}

void VXScanNotEndSaveWindowController::windowDidLoad() {
    bar = installBar(imageWindow());
    okButton->setFocus();
}

void VXScanNotEndSaveWindowController::changeRecoveryFilesPoint(double count, const QString& path,
                                                                 double notRecovered, bool sourceGone, bool ranToEnd) {
    window();
    setFolderLink(savePathLabel, path);
    // With nothing copied, no file is said to be in the folder.
    const char* none = sourceGone ? "PAGE_FOUR_RECOVER_DEVICE_GONE_NONE"
                       : ranToEnd ? "PAGE_FOUR_RECOVER_FAILED_NONE"
                                  : "PAGE_FOUR_RECOVER_NOTEND_NONE";
    const char* some = sourceGone ? "PAGE_FOUR_RECOVER_DEVICE_GONE_NODE"
                       : ranToEnd ? "PAGE_FOUR_RECOVER_FAILED_NODE"
                                  : "PAGE_FOUR_RECOVER_NOTEND_NODE";
    QString note = count < 1 ? localizedString(none) : platform::localizedFormat(some, count);
    if (notRecovered > 0)
        note = platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_LEFT", notRecovered) + QLatin1Char(' ') + note;
    showRecoveryNoteLabel->setText(note);
    savePtahStr_ = path;
}

void VXScanNotEndSaveWindowController::jumpToSavePath() { openFolder(savePtahStr_); }

void VXScanNotEndSaveWindowController::okButtonAction() {
    QWidget* w = window();
    kit::stopModalFor(w);
    close();
}

} // namespace salvor::windows
