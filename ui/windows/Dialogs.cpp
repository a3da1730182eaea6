#include "ui/windows/Dialogs.h"

#include "platform/Localization.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/Geometry.h"
#include "services/UIController.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/LinkUrl.h"
#include "ui/windows/UpdateCheck.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTextDocument>

namespace salvor::windows {

using platform::localizedString;
using widgets::TCImageWindow;

namespace {

const QColor kDialogTextColor(175, 186, 219);

QLabel* addLabel(QWidget* parent, const QString& text, const kit::Frame& f, double points = 13) {
    QLabel* l = windowLabel(parent, text, f, points, 0);
    l->setWordWrap(true);
    return l;
}

QWidget* addPanel(QWidget* parent) {
    auto* panel = new QWidget(parent);
    kit::setFrame(panel, kit::Frame{0, 0, double(parent->width()), double(parent->height())});
    return panel;
}

widgets::VXHandButton* addLink(QWidget* parent, const QString& text, const kit::Frame& f) {
    auto* b = new widgets::VXHandButton(text, parent);
    widgets::setFocusRing(b, QStringLiteral("color: rgb(90, 160, 255); text-decoration: underline;"));
    kit::setFrame(b, f);
    return b;
}

} // namespace

QLabel* windowLabel(QWidget* parent, const QString& text, const kit::Frame& f, double points, int alignment) {
    QLabel* l = widgets::makeLabel(text, points, alignment);
    l->setParent(parent);
    QPalette pal = l->palette();
    pal.setColor(QPalette::WindowText, kDialogTextColor);
    l->setPalette(pal);
    kit::setFrame(l, f);
    return l;
}

void pointCloseButton(TCImageWindow* window, QObject* context, std::function<void()> fn) {
    QAbstractButton* close = window->standardWindowButton(TCImageWindow::CloseButton);
    QObject::disconnect(close, &QAbstractButton::clicked, window, nullptr);
    QObject::connect(close, &QAbstractButton::clicked, context, std::move(fn));
}

// ---- FadingDialog -----------------------------------------------------------

FadingDialog::FadingDialog(const QString& name, QSize contentSize)
    : kit::WindowController(name), contentSize_(contentSize) {
    setFadesOnClose(true);
}

TCImageWindow* FadingDialog::imageWindow() { return static_cast<TCImageWindow*>(window()); }

QWidget* FadingDialog::loadWindow() {
    auto* w = new TCImageWindow(contentSize_);
    w->setFixedSize(w->size());
    w->setWindowTitle(localizedString("WINDOW_TOP_TITLE"));
    // Dark like the start window: the texts' light blue is meant for it.
    QWidget* content = w->contentView();
    content->setAutoFillBackground(true);
    QPalette pal = content->palette();
    pal.setColor(QPalette::Window, widgets::outlineRowColor());
    // Texts without a colour of their own take the windows' light blue, not
    // the light theme's black (unreadable on this grey).
    for (QPalette::ColorGroup g : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        pal.setColor(g, QPalette::WindowText, kDialogTextColor);
    content->setPalette(pal);
    // As on every desktop: Return presses the default button (a window
    // without one closes), Escape closes.
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), w);
    connect(escape, &QShortcut::activated, this, [this] { closeWindow(); });
    auto* enter = new QShortcut(w);
    enter->setKeys({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    connect(enter, &QShortcut::activated, this, [this, w] {
        for (QPushButton* b : w->findChildren<QPushButton*>()) {
            if (b->isDefault() && b->isVisible() && b->isEnabled()) {
                b->click();
                return;
            }
        }
        closeWindow();
    });
    return w;
}

void FadingDialog::closeWindow() {
    kit::stopModalFor(window());
    close();
}

// ---- APFS notice ------------------------------------------------------------

APFSScanWindowController::APFSScanWindowController(bool permissionDenied)
    : FadingDialog(QStringLiteral("APFSScanWindowController"), QSize(460, 180)), permissionDenied_(permissionDenied) {}

void APFSScanWindowController::windowDidLoad() {
    TCImageWindow* w = imageWindow();
    w->setTitleBarHeight(22);
    w->setTrafficLightButtonsLeftMargin(13);
    QWidget* bar = w->titleBarView();
    aTitleLabel = widgets::makeLabel(localizedString("WINDOW_TOP_TITLE"), 14, 0);
    aTitleLabel->setFont(kit::fontNamed(QStringLiteral("Helvetica Light"), 14));
    QPalette titlePalette = aTitleLabel->palette();
    titlePalette.setColor(QPalette::WindowText, widgets::windowTitleColor());
    aTitleLabel->setPalette(titlePalette);
    aTitleLabel->setParent(bar);
    kit::setFrame(aTitleLabel, kit::Frame{80, 2, 300, 18});
    QWidget* content = w->contentView();
    addLabel(content, localizedString(permissionDenied_ ? "PERMISSION_NOTICE_TEXT" : "APFS_NOTICE_TEXT"),
             kit::Frame{20, 70, 420, 90});
    actuButton = addLink(content, localizedString("APFS_NOTICE_LINK"), kit::Frame{20, 20, 240, 24});
    QObject::connect(actuButton, &QPushButton::clicked, this, [this] { linkButtonAction(); });
    okButton = new QPushButton(localizedString("PAGE_FOUR_RECOVERY_NO_COMPETENCE_YES_BUTTON"), content);
    okButton->setObjectName(QStringLiteral("okButton"));
    okButton->setDefault(true);
    // A light face with a dark blue ring: the focus stands out from the face.
    widgets::setFocusRing(okButton, QStringLiteral("background: rgb(225, 231, 236); color: black;"), QColor(20, 80, 200));
    kit::setFrame(okButton, kit::Frame{360, 16, 80, 30});
    QObject::connect(okButton, &QPushButton::clicked, this, [this] { okButtonAction(); });
    pointCloseButton(w, this, [this] { closeWindow(); });
}

void APFSScanWindowController::linkButtonAction() { VXLinkUrl::open(VXLinkUrl::GetUrl(QStringLiteral("APFS_HELP_URL"))); }

// ---- about window -----------------------------------------------------------

VXAboutWindowController::VXAboutWindowController()
    : FadingDialog(QStringLiteral("VXAboutWindowController"), QSize(400, 200)) {}

void VXAboutWindowController::windowDidLoad() {
    TCImageWindow* w = imageWindow();
    bar = widgets::installDialogTitleBar(w, QStringLiteral("WINDOW_TOP_TITLE"), 8);
    w->setTopButtonMoveUp(1);
    addLabel(w->contentView(), localizedString("ABOUT_TEXT"), kit::Frame{20, 60, 360, 120});
    aboutlink = addLink(w->contentView(), localizedString("ABOUT_LINK"), kit::Frame{20, 20, 240, 24});
    QObject::connect(aboutlink, &QPushButton::clicked, this, [this] { linkButtonAction(); });
    pointCloseButton(w, this, [this] { closeWindow(); });
}

void VXAboutWindowController::linkButtonAction() { VXLinkUrl::open(VXLinkUrl::GetUrl(QStringLiteral("AboutURL"))); }

// ---- update window ----------------------------------------------------------

VXCheckUpdateWindowController::VXCheckUpdateWindowController()
    : FadingDialog(QStringLiteral("VXCheckUpdateWindowController"), QSize(420, 260)) {}

void VXCheckUpdateWindowController::windowDidLoad() {
    TCImageWindow* w = imageWindow();
    bar = widgets::installDialogTitleBar(w);
    QWidget* content = w->contentView();
    checkProgressView = addPanel(content);
    addLabel(checkProgressView, localizedString("UPDATE_CHECKING"), kit::Frame{20, 150, 380, 40});
    progressBar = new QProgressBar(checkProgressView);
    progressBar->setRange(0, 0); // busy
    kit::setFrame(progressBar, kit::Frame{20, 120, 380, 16});
    noNetworkView = addPanel(content);
    addLabel(noNetworkView, localizedString("UPDATE_NO_NETWORK"), kit::Frame{20, 120, 380, 60});
    noUpdateView = addPanel(content);
    addLabel(noUpdateView, localizedString("UPDATE_NO_UPDATE"), kit::Frame{20, 120, 380, 60});
    haveUpdateView = addPanel(content);
    versionLabel = addLabel(haveUpdateView, QString(), kit::Frame{20, 220, 380, 20});
    changeValueScrollView = new QScrollArea(haveUpdateView);
    changeValueScrollView->setFrameShape(QFrame::NoFrame);
    changeValueScrollView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    kit::setFrame(changeValueScrollView, kit::Frame{20, 60, 380, 150});
    auto* download = addLink(haveUpdateView, localizedString("UPDATE_DOWNLOAD"), kit::Frame{20, 20, 240, 24});
    QObject::connect(download, &QPushButton::clicked, this, [this] { updateClickHereAction(); });
    noNetworkView->hide();
    noUpdateView->hide();
    haveUpdateView->hide();
    pointCloseButton(w, this, [this] { closeWindow(); });
    getVersionChange();
}

void VXCheckUpdateWindowController::getVersionChange() {
    if (hasFetched_) {
        whatIsNewVersionDiff(fetched_);
        return;
    }
    if (!VXUIController::shared().isCanBeUseNetWork()) {
        checkProgressView->hide();
        noUpdateView->hide();
        haveUpdateView->hide();
        noNetworkView->show();
        return;
    }
    fetchVersionList(VersionListFetcher::network(), LaunchClock::system(), VXLinkUrl::GetUrl(QStringLiteral("IniURL")),
                     this, [this](const QVariantMap& list) { whatIsNewVersionDiff(list); });
}

double VXCheckUpdateWindowController::heightForStringDrawing(const QString& text, const QFont& font, double width) {
    QTextDocument doc;
    doc.setDocumentMargin(0);
    doc.setDefaultFont(font);
    doc.setPlainText(text);
    doc.setTextWidth(width);
    return doc.size().height();
}

void VXCheckUpdateWindowController::whatIsNewVersionDiff(const QVariantMap& remoteList) {
    checkProgressView->hide();
    noNetworkView->hide();
    noUpdateView->hide();
    haveUpdateView->hide();
    if (versionCheckOf(remoteList) <= localVersionCheck()) {
        noUpdateView->show();
        return;
    }
    haveUpdateView->show();
    QVariantMap remote = remoteList;
    versionLabel->setText(QStringLiteral("Version %1:").arg(remote.value(QStringLiteral("Version")).toString()));
    remote.remove(QStringLiteral("VersionCheck"));
    remote.remove(QStringLiteral("Version"));
    const QFont measure = kit::systemFont(10);
    float total = 0;
    for (const QVariant& v : remote) total += float(std::max(30.0, heightForStringDrawing(v.toString(), measure, 200)));
    delete showVersionScrollView;
    showVersionScrollView = new QWidget;
    showVersionScrollView->resize(380, int(total));
    double running = 0;
    for (int i = 1; i <= remote.size(); ++i) {
        // Change keys other than "1" … "N" or values that are no text are left out.
        const QVariant v = remote.value(QString::number(i));
        if (v.typeId() != QMetaType::QString) continue;
        const QString line = v.toString();
        const double h = std::max(25.0, heightForStringDrawing(line, measure, 200));
        running += h;
        QLabel* field = addLabel(showVersionScrollView, QStringLiteral("%1:%2").arg(i).arg(line),
                                 kit::Frame{0, total - running, 380, h});
        field->setObjectName(QStringLiteral("changeLine"));
        field->setToolTip(line);
    }
    changeValueScrollView->setWidget(showVersionScrollView);
    changeValueScrollView->verticalScrollBar()->setValue(0); // the top of the list
}

void VXCheckUpdateWindowController::updateClickHereAction() {
    VXLinkUrl::open(VXLinkUrl::GetUrl(QStringLiteral("UpdateURL")));
}

void VXCheckUpdateWindowController::closeWindow() {
    FadingDialog::closeWindow();
    if (delegate_) delegate_->runRootWindow();
}

void VXCheckUpdateWindowController::animationDidStop(bool finished) {
    const bool closing = finished && window() && kit::alphaValue(window()) <= 0.0;
    FadingDialog::animationDidStop(finished);
    // Closed at launch by the close path: the application still needs its
    // first window (running it again does nothing when it is open).
    if (closing && delegate_) delegate_->runRootWindow();
}

// ---- deep-scan suggestion ---------------------------------------------------

QWidget* VXDeepScanViewController::loadView() {
    auto* view = new QWidget;
    view->resize(260, 90);
    deepScanNodeLabel = addLabel(view, localizedString("PAGE_FOUR_DEEPSCAN_NODE"), kit::Frame{10, 10, 220, 70}, 12);
    closeButton = new QPushButton(QStringLiteral("×"), view);
    closeButton->setFlat(true);
    QPalette pal = closeButton->palette();
    pal.setColor(QPalette::ButtonText, kDialogTextColor);
    closeButton->setPalette(pal);
    kit::setFrame(closeButton, kit::Frame{236, 66, 18, 18});
    QObject::connect(closeButton, &QPushButton::clicked, this, [this] { closeButtonAction(); });
    return view;
}

} // namespace salvor::windows
