#include "ui/widgets/TCImageWindow.h"

#include "platform/UserDefaults.h"
#include "ui/kit/Fonts.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/widgets/WindowEdges.h"

#include <QAbstractButton>
#include <QAbstractSlider>
#include <QAbstractSpinBox>
#include <QChildEvent>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>
#include <QWindow>

#include <algorithm>
#include <cmath>

namespace salvor::widgets {

namespace {

constexpr double kCornerClipRadius = 4.0; // WYCornerClipRadius
constexpr double kTitleFontSize = 13.0;
constexpr const char* kBarDisabledProperty = "salvorDisabledByTitleBar";

TCImageWindow::PlatformMetrics gMetrics;
// Measured once per process, while still 0.
double gMinimumTitlebarHeight = 0;
double gDefaultLeftMargin = 0;
double gDefaultSeparation = 0;
int gWindowSerial = 0;

double roundHalfAway(double v) { return std::round(v); }

bool isControl(const QWidget* w) {
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QAbstractSlider*>(w) ||
           qobject_cast<const QAbstractSpinBox*>(w) || qobject_cast<const QComboBox*>(w) ||
           qobject_cast<const QLineEdit*>(w) || w->property("salvorControl").toBool();
}

// Three short bars, light on the dark title bar.
QIcon menuIcon(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(200, 204, 212), 1.6, Qt::SolidLine, Qt::RoundCap));
    for (int i = 0; i < 3; ++i) {
        const double y = size * (0.3 + 0.2 * i);
        p.drawLine(QPointF(size * 0.2, y), QPointF(size * 0.8, y));
    }
    return QIcon(pm);
}

int slotOf(TCImageWindow::ButtonKind kind) { return kind == TCImageWindow::FullScreenButton ? 3 : int(kind); }

} // namespace

QColor titleBarColor() { return QColor(38, 41, 45); }

QPainterPath createClippingPathWithRectAndRadius(const QRectF& rect, double radius) {
    const double r = std::max(0.0, std::min({radius, rect.width() / 2, rect.height()}));
    QPainterPath path;
    path.moveTo(rect.left(), rect.bottom());
    path.lineTo(rect.left(), rect.top() + r);
    path.arcTo(QRectF(rect.left(), rect.top(), 2 * r, 2 * r), 180.0, -90.0);
    path.lineTo(rect.right() - r, rect.top());
    path.arcTo(QRectF(rect.right() - 2 * r, rect.top(), 2 * r, 2 * r), 90.0, -90.0);
    path.lineTo(rect.right(), rect.bottom());
    path.closeSubpath();
    return path;
}

QLinearGradient createGradientWithColors(const QColor& start, const QColor& end) {
    QLinearGradient g;
    g.setColorAt(0.0, start.toRgb());
    g.setColorAt(1.0, end.toRgb());
    return g;
}

// ---- delegate proxy ------------------------------------------------------------

bool TCImageWindowDelegateProxy::windowShouldClose(QWidget* window) {
    return secondary_ ? secondary_->windowShouldClose(window) : true;
}

void TCImageWindowDelegateProxy::windowWillClose(QWidget* window) {
    if (secondary_) secondary_->windowWillClose(window);
}

QRect TCImageWindowDelegateProxy::willPositionSheet(QWidget*, const QRect& proposed) {
    // Sheets come out of the bar's lower edge; answered here, not passed on.
    QRect r = proposed;
    r.moveTop(static_cast<int>(std::lround(window_->titleBarHeight())));
    return r;
}

// ---- bar views -------------------------------------------------------------------

WYTitlebarContainer::WYTitlebarContainer(TCImageWindow* window) : QWidget(window), window_(window) {}

void WYTitlebarContainer::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || window_->isFullScreen()) {
        event->ignore();
        return;
    }
    event->accept();
    // The window manager moves the window where it can; otherwise the window
    // follows the pointer until the button is released.
    if (QWindow* handle = window_->windowHandle(); handle && handle->startSystemMove()) return;
    dragging_ = true;
    previous_ = event->globalPosition();
    origin_ = window_->pos();
}

void WYTitlebarContainer::mouseMoveEvent(QMouseEvent* event) {
    if (!dragging_) {
        event->ignore();
        return;
    }
    const QPointF now = event->globalPosition();
    const QPointF delta = now - previous_;
    origin_ += QPoint(static_cast<int>(std::lround(delta.x())), static_cast<int>(std::lround(delta.y())));
    window_->move(origin_);
    previous_ = now;
    event->accept();
}

void WYTitlebarContainer::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) dragging_ = false;
    event->accept();
}

WYTitlebarView::WYTitlebarView(TCImageWindow* window) : QWidget(window), window_(window) {}

void WYTitlebarView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = rect();
    const bool main = window_->isDrawnAsMain();
    const bool full = window_->isFullScreen();
    if (const auto& block = window_->titleBarDrawingBlock()) {
        block(p, main, r, createClippingPathWithRectAndRadius(r, kCornerClipRadius));
    } else {
        if (full) p.fillRect(r, Qt::black);
        p.setClipPath(createClippingPathWithRectAndRadius(r, kCornerClipRadius));
        QLinearGradient g = createGradientWithColors(titleBarColor(), titleBarColor());
        g.setStart(r.center().x(), r.bottom());
        g.setFinalStop(r.center().x(), r.top());
        p.fillRect(r, g);
        if (window_->showsBaselineSeparator()) {
            // The bottom line, twice (the second one point higher).
            p.fillRect(QRectF(0, r.bottom() - 1.0, r.width(), 1.0), titleBarColor());
            p.fillRect(QRectF(0, r.bottom() - 2.0, r.width(), 1.0), titleBarColor());
        }
        if (main) {
            QRectF inner = r.adjusted(1, 1, -1, -1);
            if (!window_->showsBaselineSeparator()) inner.setBottom(inner.bottom() + 1.0);
            p.setClipPath(createClippingPathWithRectAndRadius(inner, kCornerClipRadius), Qt::IntersectClip);
            drawNoiseWithOpacity(0.1);
        }
    }
    if (window_->showsTitle() && (!full || window_->showsTitleInFullscreen())) {
        QRectF frame;
        TCImageWindow::TitleAttributes a;
        window_->getTitleFrame(&frame, &a);
        p.setFont(a.font);
        if (a.shadowColor.isValid() && a.shadowColor.alpha() > 0) {
            p.setPen(a.shadowColor);
            p.drawText(frame.translated(a.shadowOffset), Qt::AlignLeft | Qt::AlignTop, window_->windowTitle());
        }
        p.setPen(a.color);
        p.drawText(frame, Qt::AlignLeft | Qt::AlignTop, window_->windowTitle());
    }
}

void WYTitlebarView::mousePressEvent(QMouseEvent* event) { event->ignore(); } // the container drags

void WYTitlebarView::mouseDoubleClickEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        event->ignore();
        return;
    }
    doubleClicked_ = true;
    event->accept();
}

void WYTitlebarView::mouseReleaseEvent(QMouseEvent* event) {
    if (!doubleClicked_) {
        event->ignore();
        return;
    }
    doubleClicked_ = false;
    event->accept();
    // A missing key counts as no.
    if (platform::UserDefaults::value(QStringLiteral("AppleMiniaturizeOnDoubleClick"), false).toBool())
        window_->performMiniaturize();
}

// ---- the window ------------------------------------------------------------------

TCImageWindow::PlatformMetrics TCImageWindow::platformMetrics() { return gMetrics; }

void TCImageWindow::setPlatformMetrics(const PlatformMetrics& metrics) { gMetrics = metrics; }

double TCImageWindow::measuredMinimumTitleBarHeight() { return gMinimumTitlebarHeight; }
double TCImageWindow::measuredLeftMargin() { return gDefaultLeftMargin; }
double TCImageWindow::measuredSeparation() { return gDefaultSeparation; }

void TCImageWindow::resetMeasuredDefaults() {
    gMinimumTitlebarHeight = 0;
    gDefaultLeftMargin = 0;
    gDefaultSeparation = 0;
}

TCImageWindow::TCImageWindow(const QSize& contentSize, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint), proxy_(this) {
    const PlatformMetrics m = gMetrics;
    resize(contentSize.width(), contentSize.height() + static_cast<int>(std::lround(m.titleBarHeight)));

    contentView_ = new QWidget(this);
    contentView_->setObjectName(QStringLiteral("contentView"));
    contentView_->setGeometry(0, height() - contentSize.height(), width(), contentSize.height());

    // The window's own buttons, where the platform would put them, in one
    // rollover group per window.
    const QString group =
        QStringLiteral("%1.window%2").arg(QString::fromLatin1(kTCWindowButtonGroupDefault)).arg(++gWindowSerial);
    static const char* const kStems[3] = {"window_close", "window_minimize", "window_zoom"};
    const double platformBar = m.titleBarHeight;
    for (int i = 0; i < 3; ++i) {
        auto* b = TCWindowButton::windowButtonWithSize(QSize(m.buttonSize, m.buttonSize), group, this);
        b->setObjectName(QString::fromLatin1(kStems[i]));
        b->setImagesFromStem(QString::fromLatin1(kStems[i]));
        b->updateImage();
        const kit::Frame f{m.closeButtonX + i * (m.buttonSize + m.buttonSeparation),
                           height() - platformBar + std::round((platformBar - m.buttonSize) / 2.0),
                           double(m.buttonSize), double(m.buttonSize)};
        placeButton(b, f);
        standard_[i] = b;
    }
    connect(standard_[0], &QAbstractButton::clicked, this, &TCImageWindow::performClose);
    connect(standard_[1], &QAbstractButton::clicked, this, &TCImageWindow::performMiniaturize);
    connect(standard_[2], &QAbstractButton::clicked, this, &TCImageWindow::performZoom);

    // Set-up, in order.
    showsBaselineSeparator_ = true;
    centerTrafficLightButtons_ = true;
    titleBarHeight_ = minimumTitlebarHeight();
    cachedTitleBarHeight_ = titleBarHeight_;
    trafficLightButtonsLeftMargin_ = defaultTrafficLightLeftMargin();
    trafficLightButtonsTopMargin_ = fullScreenButtonTopMargin_ = 3.0;
    trafficLightSeparation_ = defaultTrafficLightSeparation();
    kit::installDelegateHook(this, &proxy_);
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this] { updateTitlebarView(); });

    // The bar: a container below the buttons, holding the drawn view.
    titleBarContainer_ = new WYTitlebarContainer(this);
    titleBarContainer_->setObjectName(QStringLiteral("titleBarContainer"));
    titleBarContainer_->lower();
    contentView_->lower();
    setTitleBarView(new WYTitlebarView(this));
    settingUp_ = false;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
    edges_ = new WindowEdgeTracker(this);
}

void TCImageWindow::viewDidEndLiveResize() { setupTrafficLightsTrackingArea(); }

TCImageWindow::~TCImageWindow() = default;

double TCImageWindow::minimumTitlebarHeight() {
    // Frame height minus the content rectangle the platform derives from it.
    if (gMinimumTitlebarHeight == 0) gMinimumTitlebarHeight = gMetrics.titleBarHeight;
    return gMinimumTitlebarHeight;
}

double TCImageWindow::defaultTrafficLightLeftMargin() {
    if (gDefaultLeftMargin == 0)
        if (layoutButton(CloseButton)) gDefaultLeftMargin = buttonFrame(CloseButton).x;
    return gDefaultLeftMargin;
}

double TCImageWindow::defaultTrafficLightSeparation() {
    if (gDefaultSeparation == 0 && layoutButton(CloseButton) && layoutButton(MinimizeButton)) {
        const kit::Frame c = buttonFrame(CloseButton);
        gDefaultSeparation = buttonFrame(MinimizeButton).x - (c.x + c.width);
    }
    return gDefaultSeparation;
}

void TCImageWindow::setTitleBarView(QWidget* view) {
    if (!view || view == titleBarView_) return;
    delete titleBarView_.data();
    titleBarView_ = view;
    view->setParent(titleBarContainer_);
    kit::setFrame(view, kit::Frame{0, 0, double(titleBarContainer_->width()), double(titleBarContainer_->height())},
                  kit::kViewWidthSizable | kit::kViewHeightSizable);
    view->show();
}

void TCImageWindow::setTitleBarHeight(double height) {
    if (height == titleBarHeight_) return;
    cachedTitleBarHeight_ = titleBarHeight_ = height;
    layoutTrafficLightsAndContent();
    displayTitlebar();
}

void TCImageWindow::setTrafficLightButtonsLeftMargin(double margin) {
    if (margin == trafficLightButtonsLeftMargin_) return;
    trafficLightButtonsLeftMargin_ = margin;
    layoutTrafficLightsAndContent();
    displayTitlebar();
    setupTrafficLightsTrackingArea();
}

void TCImageWindow::setTrafficLightSeparation(double separation) {
    if (separation == trafficLightSeparation_) return;
    trafficLightSeparation_ = separation;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

void TCImageWindow::setCenterTrafficLightButtons(bool yes) {
    if (yes == centerTrafficLightButtons_) return;
    centerTrafficLightButtons_ = yes;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

void TCImageWindow::setVerticalTrafficLightButtons(bool yes) {
    if (yes == verticalTrafficLightButtons_) return;
    verticalTrafficLightButtons_ = yes;
    layoutTrafficLightsAndContent();
    setupTrafficLightsTrackingArea();
}

void TCImageWindow::setFullScreenButtonRightMargin(double margin) {
    if (margin == fullScreenButtonRightMargin_) return;
    fullScreenButtonRightMarginSet_ = true;
    fullScreenButtonRightMargin_ = margin;
    layoutTrafficLightsAndContent();
    displayTitlebar();
}

void TCImageWindow::setCenterFullScreenButton(bool yes) {
    if (yes == centerFullScreenButton_) return;
    centerFullScreenButton_ = yes;
    layoutTrafficLightsAndContent();
}

void TCImageWindow::setShowsBaselineSeparator(bool yes) {
    if (yes == showsBaselineSeparator_) return;
    showsBaselineSeparator_ = yes;
    displayTitlebar();
}

void TCImageWindow::setShowsTitle(bool yes) {
    if (yes == showsTitle_) return;
    showsTitle_ = yes;
    displayTitlebar();
}

QAbstractButton* TCImageWindow::standardWindowButton(ButtonKind kind) const {
    return kind == FullScreenButton ? nullptr : standard_[int(kind)];
}

QAbstractButton* TCImageWindow::layoutButton(ButtonKind kind) const {
    if (QAbstractButton* r = replacement_[slotOf(kind)]) return r;
    return standardWindowButton(kind);
}

kit::Frame TCImageWindow::buttonFrame(ButtonKind kind) const {
    const QAbstractButton* b = layoutButton(kind);
    return b ? kit::fromQtRect(b->geometry(), height()) : kit::Frame{};
}

void TCImageWindow::placeButton(QAbstractButton* button, const kit::Frame& frame) {
    button->setGeometry(kit::toQtRect(frame, height()));
}

void TCImageWindow::setReplacement(ButtonKind kind, QAbstractButton* button) {
    QPointer<QAbstractButton>& slot = replacement_[slotOf(kind)];
    if (button == slot) return;
    if (QAbstractButton* old = slot) {
        old->hide();
        old->setParent(nullptr);
        old->deleteLater();
    }
    slot = button;
    if (!button) return;
    switch (kind) {
    case CloseButton: connect(button, &QAbstractButton::clicked, this, &TCImageWindow::performClose); break;
    case MinimizeButton: connect(button, &QAbstractButton::clicked, this, &TCImageWindow::performMiniaturize); break;
    case ZoomButton: connect(button, &QAbstractButton::clicked, this, &TCImageWindow::performZoom); break;
    case FullScreenButton: connect(button, &QAbstractButton::clicked, this, &TCImageWindow::toggleFullScreen); break;
    }
    const QPoint origin = standardWindowButton(kind) ? standardWindowButton(kind)->pos() : button->pos();
    button->setParent(this);
    button->move(origin);
    button->show();
    button->raise();
}

void TCImageWindow::setApplicationMenu(QMenu* menu) {
    if (menu == menu_ && (menu != nullptr) == (menuButton_ != nullptr)) return;
    if (menu_) {
        for (QAction* a : menu_->actions()) removeAction(a);
    }
    menu_ = menu;
    if (!menu) {
        delete menuButton_;
        menuButton_ = nullptr;
        return;
    }
    if (!menuButton_) {
        menuButton_ = new QToolButton(this);
        menuButton_->setObjectName(QStringLiteral("applicationMenuButton"));
        menuButton_->setAutoRaise(true);
        menuButton_->setFocusPolicy(Qt::NoFocus);
        menuButton_->setPopupMode(QToolButton::InstantPopup);
        menuButton_->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"
                                                  "QToolButton::menu-indicator { image: none; }"));
        const int size = gMetrics.buttonSize;
        menuButton_->setIconSize(QSize(size, size));
        menuButton_->setIcon(menuIcon(size));
        menuButton_->resize(size, size);
        menuButton_->show();
        watchTitleBarControls(titleBarContainer_);
    }
    menuButton_->setMenu(menu);
    // The menu's shortcuts, in this window.
    addActions(menu->actions());
    layoutTrafficLightsAndContent();
}

void TCImageWindow::setContentView(QWidget* view) {
    if (!view || view == contentView_) return;
    delete contentView_;
    contentView_ = view;
    view->setParent(this);
    view->setGeometry(0, 0, width(), height());
    view->lower();
    view->show();
    repositionContentView();
}

void TCImageWindow::layoutTrafficLightsAndContent() {
    if (settingUp_) return;
    ++layoutPasses_;
    const double W = width(), H = height();
    const kit::Frame T{0, H - titleBarHeight_, W, titleBarHeight_};
    titleBarContainer_->setGeometry(kit::toQtRect(T, H));
    // A hidden window gets its resize events only when shown; the bar's
    // framed views follow now.
    kit::layoutFramedChildren(titleBarContainer_);
    if (titleBarView_) kit::layoutFramedChildren(titleBarView_);
    const double midY = T.y + T.height / 2, maxY = T.y + T.height;

    QAbstractButton* buttons[3];
    kit::Frame f[3];
    for (int i = 0; i < 3; ++i) {
        const auto kind = ButtonKind(i);
        buttons[i] = layoutButton(kind);
        if (replacement_[i])
            standard_[i]->hide();
        else if (standard_[i]->isHidden() && !isFullScreen())
            standard_[i]->show(); // back when its replacement was removed
        f[i] = kit::fromQtRect(buttons[i]->geometry(), H);
    }
    kit::Frame &c = f[0], &m = f[1], &z = f[2];
    if (!verticalTrafficLightButtons_) {
        const double rowY = centerTrafficLightButtons_ ? roundHalfAway(midY - c.height * 0.5)
                                                       : maxY - c.height - trafficLightButtonsTopMargin_;
        for (kit::Frame& fr : f) fr.y = rowY + topButtonMoveUp_;
        c.x = trafficLightButtonsLeftMargin_;
        m.x = c.x + c.width + trafficLightSeparation_;
        z.x = m.x + m.width + trafficLightSeparation_;
    } else {
        const double gap = trafficLightSeparation_ - 2;
        const double G = c.height + m.height + z.height + 2 * gap;
        const double bottom =
            centerTrafficLightButtons_ ? roundHalfAway(midY - G / 2) : maxY - G - trafficLightButtonsTopMargin_;
        for (kit::Frame& fr : f) fr.x = trafficLightButtonsLeftMargin_;
        z.y = bottom;
        m.y = z.y + z.height + gap;
        c.y = m.y + m.height + gap;
    }
    for (int i = 0; i < 3; ++i) placeButton(buttons[i], f[i]);

    if (QAbstractButton* fs = layoutButton(FullScreenButton)) {
        kit::Frame s = kit::fromQtRect(fs->geometry(), H);
        // The first layout measures the right margin from where the button is.
        if (!fullScreenButtonRightMarginSet_) setFullScreenButtonRightMargin(T.width - (s.x + s.width));
        s.x = T.width - s.width - fullScreenButtonRightMargin_;
        s.y = centerFullScreenButton_ ? roundHalfAway(midY - s.height * 0.5)
                                      : maxY - s.height - fullScreenButtonTopMargin_;
        placeButton(fs, s);
    }
    placeMenuButton();
    repositionContentView();
}

void TCImageWindow::placeMenuButton() {
    if (!menuButton_) return;
    // At the right end, on the row of the window buttons.
    const double W = width(), H = height();
    const kit::Frame T{0, H - titleBarHeight_, W, titleBarHeight_};
    const double midY = T.y + T.height / 2;
    const double size = menuButton_->height();
    const double right = layoutButton(FullScreenButton) ? buttonFrame(FullScreenButton).x : T.width;
    const kit::Frame mf{right - trafficLightButtonsLeftMargin_ - menuButton_->width(), roundHalfAway(midY - size * 0.5),
                        double(menuButton_->width()), size};
    menuButton_->setGeometry(kit::toQtRect(mf, H));
    menuButton_->raise();
    keepMenuButtonApart();
}

void TCImageWindow::watchTitleBarControls(QObject* root) {
    if (!root || root == menuButton_) return;
    root->removeEventFilter(this); // once per object
    root->installEventFilter(this);
    for (QObject* child : root->children())
        if (child->isWidgetType()) watchTitleBarControls(child);
}

bool TCImageWindow::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
    case QEvent::ChildAdded:
        if (QObject* child = static_cast<QChildEvent*>(event)->child(); child && child->isWidgetType())
            watchTitleBarControls(child);
        break;
    case QEvent::Show:
    case QEvent::Hide:
    case QEvent::Move:
    case QEvent::Resize:
        if (menuButton_ && watched != menuButton_ && !settingUp_) placeMenuButton();
        break;
    default: break;
    }
    return QWidget::eventFilter(watched, event);
}

void TCImageWindow::keepMenuButtonApart() {
    if (!menuButton_) return;
    // Left of every other control on its row, a gap apart, so that it never
    // touches a title-bar button nor covers a field's clear button.
    constexpr int kGap = 6;
    QRect r = menuButton_->geometry();
    for (int pass = 0; pass < 16; ++pass) {
        bool moved = false;
        for (QWidget* w : findChildren<QWidget*>()) {
            if (w == menuButton_ || menuButton_->isAncestorOf(w) || !w->isVisibleTo(this)) continue;
            if (!qobject_cast<QAbstractButton*>(w) && !(w->focusPolicy() & Qt::ClickFocus)) continue;
            if (contentView_ && (w == contentView_ || contentView_->isAncestorOf(w))) continue;
            // A frameless field shows as the view drawn round it (a search pill).
            QWidget* shown = w;
            if (auto* field = qobject_cast<QLineEdit*>(w); field && !field->hasFrame() && w->parentWidget() &&
                                                            w->parentWidget() != titleBarView_)
                shown = w->parentWidget();
            const QRect other(shown->mapTo(this, QPoint(0, 0)), shown->size());
            if (!other.adjusted(-kGap, -kGap, kGap, kGap).intersects(r)) continue;
            r.moveRight(other.left() - kGap - 1);
            moved = true;
        }
        if (!moved) break;
    }
    if (r.left() < 0) return; // no room: left where the layout put it
    menuButton_->setGeometry(r);
}

void TCImageWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Title-bar controls added after the last layout are known by now.
    keepMenuButtonApart();
}

void TCImageWindow::repositionContentView() {
    if (!contentView_) return;
    // The content fills the window below the bar at every size: a window made
    // larger by its edges or the window manager has no band beside or below
    // its content (which once kept its old size and slid up under the bar).
    const int bar = static_cast<int>(std::lround(std::clamp(titleBarHeight_, 0.0, double(height()))));
    const QRect target(0, bar, width(), height() - bar);
    if (target != contentView_->geometry()) {
        contentView_->setGeometry(target);
        contentView_->update();
    }
}

void TCImageWindow::displayTitlebar() {
    if (titleBarView_) titleBarView_->update();
}

void TCImageWindow::setupTrafficLightsTrackingArea() {
    // Buttons that moved lose their hover state: the end of a live resize
    // resets their groups.
    for (TCWindowButton* b : findChildren<TCWindowButton*>(QString(), Qt::FindDirectChildrenOnly))
        b->viewDidEndLiveResize();
}

bool TCImageWindow::isDrawnAsMain() const {
    return isActiveWindow() && QGuiApplication::applicationState() == Qt::ApplicationActive;
}

void TCImageWindow::updateTitlebarView() {
    displayTitlebar();
    if (!titleBarView_) return;
    const bool main = isDrawnAsMain();
    for (QObject* o : titleBarView_->children()) {
        auto* w = qobject_cast<QWidget*>(o);
        if (!w || !isControl(w)) continue;
        // Only what the bar disabled is enabled again, so a control its owner
        // disabled stays disabled.
        if (main) {
            if (w->property(kBarDisabledProperty).toBool()) {
                w->setProperty(kBarDisabledProperty, QVariant());
                w->setEnabled(true);
            }
        } else if (!w->testAttribute(Qt::WA_Disabled)) {
            w->setProperty(kBarDisabledProperty, true);
            w->setEnabled(false);
        }
    }
}

void TCImageWindow::getTitleFrame(QRectF* frame, TitleAttributes* attributes) const {
    const bool main = isDrawnAsMain();
    TitleAttributes a;
    a.font = kit::systemFont(kTitleFontSize);
    const Shadow& shadow = main ? titleTextShadow : inactiveTitleTextShadow;
    if (shadow.color.isValid()) {
        a.shadowColor = shadow.color;
        a.shadowOffset = QPointF(shadow.offset.x(), -shadow.offset.y());
    } else {
        a.shadowColor = QColor(255, 255, 255, 128);
        a.shadowOffset = QPointF(0, 1);
    }
    const QColor& given = main ? titleTextColor : inactiveTitleTextColor;
    a.color = given.isValid() ? given : QColor(56, 56, 56, main ? 255 : 128);
    const QSizeF ts = QFontMetricsF(a.font).size(Qt::TextSingleLine, windowTitle());
    const QRectF bounds = titleBarView_ ? QRectF(titleBarView_->rect()) : QRectF();
    // No document icon or versions button here: centred, 2 points below the top.
    const QRectF r(bounds.center().x() - ts.width() / 2, bounds.top() + 2.0, ts.width(), ts.height());
    if (frame) *frame = r;
    if (attributes) *attributes = a;
}

void TCImageWindow::performClose() { kit::performClose(this); }

void TCImageWindow::performMiniaturize() { showMinimized(); }

void TCImageWindow::performZoom() {
    if (isMaximized())
        showNormal();
    else
        showMaximized();
}

void TCImageWindow::toggleFullScreen() {
    if (isFullScreen())
        showNormal();
    else
        showFullScreen();
}

void TCImageWindow::setDelegate(kit::WindowDelegate* delegate) {
    proxy_.setSecondaryDelegate(delegate);
    kit::installDelegateHook(this, &proxy_);
}

void TCImageWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    layoutTrafficLightsAndContent();
}

void TCImageWindow::moveEvent(QMoveEvent* event) {
    QWidget::moveEvent(event);
    layoutTrafficLightsAndContent();
}

void TCImageWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    switch (event->type()) {
    case QEvent::ActivationChange:
        updateTitlebarView();
        layoutTrafficLightsAndContent();
        if (isActiveWindow()) setupTrafficLightsTrackingArea();
        break;
    case QEvent::WindowTitleChange:
        layoutTrafficLightsAndContent();
        displayTitlebar();
        break;
    case QEvent::WindowStateChange: {
        // Only this window's own full-screen changes collapse its bar.
        const bool full = isFullScreen();
        if (full != inFullScreen_) {
            inFullScreen_ = full;
            if (full)
                windowWillEnterFullScreen();
            else
                windowWillExitFullScreen();
        }
        break;
    }
    default: break;
    }
}

void TCImageWindow::windowWillEnterFullScreen() {
    if (!hideTitleBarInFullScreen_) return;
    titleBarHeight_ = 0;
    layoutTrafficLightsAndContent();
    displayTitlebar();
    if (titleBarView_) titleBarView_->hide();
}

void TCImageWindow::windowWillExitFullScreen() {
    if (!hideTitleBarInFullScreen_) return;
    titleBarHeight_ = cachedTitleBarHeight_;
    layoutTrafficLightsAndContent();
    displayTitlebar();
    if (titleBarView_) titleBarView_->show();
}

} // namespace salvor::widgets
