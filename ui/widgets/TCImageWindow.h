#pragma once
// The window of every window and dialog: a frameless top-level window with its
// own drawn title bar of configurable height. The close, minimise and zoom
// buttons live in the bar (replaceable with setCloseButton() and the like);
// window controllers put their own controls and images into titleBarView().
// Dragging the bar moves the window, dragging an edge or corner resizes it
// (WindowEdgeTracker); a double click minimises it when the
// user default "AppleMiniaturizeOnDoubleClick" says so; sheets attach at the
// bar's lower edge.
//
// Frames given to the bar's layout are in points with the origin at the lower
// left of the window, as everywhere in the drawn windows.
#include "ui/kit/Geometry.h"
#include "ui/kit/WindowDelegate.h"

#include <QAbstractButton>
#include <QColor>
#include <QLinearGradient>
#include <QPainterPath>
#include <QPointF>
#include <QPointer>
#include <QWidget>

#include <functional>

class QAbstractButton;
class QMenu;
class QPainter;
class QToolButton;

namespace salvor::widgets {

class TCImageWindow;
class TCWindowButton;
class WindowEdgeTracker;

// The bar's colour, RGB (38, 41, 45).
QColor titleBarColor();

// A path over rect whose two top corners are rounded with radius (Qt
// coordinates: the top is the smaller y).
QPainterPath createClippingPathWithRectAndRadius(const QRectF& rect, double radius);
// A two-stop gradient from start to end (positions are set by the caller).
QLinearGradient createGradientWithColors(const QColor& start, const QColor& end);

// The delegate installed on the window: forwards to the delegate the window's
// user set, and answers the sheet position itself.
class TCImageWindowDelegateProxy : public kit::WindowDelegate {
public:
    explicit TCImageWindowDelegateProxy(TCImageWindow* window) : window_(window) {}
    kit::WindowDelegate* secondaryDelegate() const { return secondary_; }
    void setSecondaryDelegate(kit::WindowDelegate* d) { secondary_ = d; }

    bool windowShouldClose(QWidget* window) override;
    void windowWillClose(QWidget* window) override;
    QRect willPositionSheet(QWidget* window, const QRect& proposed) override;

private:
    TCImageWindow* window_;
    kit::WindowDelegate* secondary_ = nullptr; // not owned
};

// The holder of the bar view; dragging it moves the window.
class WYTitlebarContainer : public QWidget {
    Q_OBJECT
public:
    explicit WYTitlebarContainer(TCImageWindow* window);

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TCImageWindow* window_;
    bool dragging_ = false;
    QPointF previous_;
    QPoint origin_;
};

// The drawn bar.
class WYTitlebarView : public QWidget {
    Q_OBJECT
public:
    explicit WYTitlebarView(TCImageWindow* window);
    void drawNoiseWithOpacity(double) {}

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    TCImageWindow* window_;
    bool doubleClicked_ = false;
};

class TCImageWindow : public QWidget, public kit::WindowDelegateHost {
    Q_OBJECT
    Q_PROPERTY(double titleBarHeight READ titleBarHeight WRITE setTitleBarHeight)
public:
    // The standard button kinds, by the platform's index.
    enum ButtonKind { CloseButton = 0, MinimizeButton = 1, ZoomButton = 2, FullScreenButton = 7 };

    // What the windows' measured defaults are measured from: the height of
    // the bar the platform would reserve, and where it would put the close
    // button and the gap to the minimise button. Tests change it.
    struct PlatformMetrics {
        double titleBarHeight = 22.0;
        double closeButtonX = 8.0;
        double buttonSeparation = 6.0;
        int buttonSize = 16;
    };
    static PlatformMetrics platformMetrics();
    static void setPlatformMetrics(const PlatformMetrics& metrics);
    // The process-wide measured defaults (0 until a window measured them).
    static double measuredMinimumTitleBarHeight();
    static double measuredLeftMargin();
    static double measuredSeparation();
    static void resetMeasuredDefaults();

    // A window whose content area (below a bar of the platform's height) has
    // contentSize; the frame is that plus the bar.
    explicit TCImageWindow(const QSize& contentSize = QSize(400, 300), QWidget* parent = nullptr);
    ~TCImageWindow() override;

    // ---- bar ---------------------------------------------------------------
    QWidget* titleBarView() const { return titleBarView_; }
    // Ignored for none or the installed view; the old view is deleted.
    void setTitleBarView(QWidget* view);
    WYTitlebarContainer* titleBarContainer() const { return titleBarContainer_; }
    QWidget* themeFrameView() { return this; }

    double titleBarHeight() const { return titleBarHeight_; }
    void setTitleBarHeight(double height);
    double cachedTitleBarHeight() const { return cachedTitleBarHeight_; }
    void setCachedTitleBarHeight(double height) { cachedTitleBarHeight_ = height; }

    double trafficLightButtonsLeftMargin() const { return trafficLightButtonsLeftMargin_; }
    void setTrafficLightButtonsLeftMargin(double margin);
    double trafficLightButtonsTopMargin() const { return trafficLightButtonsTopMargin_; }
    void setTrafficLightButtonsTopMargin(double margin) { trafficLightButtonsTopMargin_ = margin; }
    double trafficLightSeparation() const { return trafficLightSeparation_; }
    void setTrafficLightSeparation(double separation);
    double topButtonMoveUp() const { return topButtonMoveUp_; }
    // Takes effect at the next layout pass.
    void setTopButtonMoveUp(double moveUp) { topButtonMoveUp_ = moveUp; }
    bool centerTrafficLightButtons() const { return centerTrafficLightButtons_; }
    void setCenterTrafficLightButtons(bool yes);
    bool verticalTrafficLightButtons() const { return verticalTrafficLightButtons_; }
    void setVerticalTrafficLightButtons(bool yes);

    double fullScreenButtonTopMargin() const { return fullScreenButtonTopMargin_; }
    void setFullScreenButtonTopMargin(double margin) { fullScreenButtonTopMargin_ = margin; }
    double fullScreenButtonRightMargin() const { return fullScreenButtonRightMargin_; }
    void setFullScreenButtonRightMargin(double margin);
    bool setFullScreenButtonRightMarginFlag() const { return fullScreenButtonRightMarginSet_; }
    void setSetFullScreenButtonRightMargin(bool yes) { fullScreenButtonRightMarginSet_ = yes; }
    bool centerFullScreenButton() const { return centerFullScreenButton_; }
    void setCenterFullScreenButton(bool yes);
    bool hideTitleBarInFullScreen() const { return hideTitleBarInFullScreen_; }
    void setHideTitleBarInFullScreen(bool yes) { hideTitleBarInFullScreen_ = yes; }

    bool showsBaselineSeparator() const { return showsBaselineSeparator_; }
    void setShowsBaselineSeparator(bool yes);
    bool showsTitle() const { return showsTitle_; }
    void setShowsTitle(bool yes);
    bool showsTitleInFullscreen() const { return showsTitleInFullscreen_; }
    void setShowsTitleInFullscreen(bool yes) { showsTitleInFullscreen_ = yes; }

    // Invalid colours select the defaults.
    QColor titleTextColor, inactiveTitleTextColor;
    struct Shadow {
        QPointF offset{0, -1}; // y grows upwards
        QColor color;           // invalid: none given
    };
    Shadow titleTextShadow, inactiveTitleTextShadow;

    // Replaces the built-in bar drawing: (painter, drawn as main, bar rect, clip path).
    using DrawingBlock = std::function<void(QPainter&, bool, const QRectF&, const QPainterPath&)>;
    void setTitleBarDrawingBlock(DrawingBlock block) { drawingBlock_ = std::move(block); }
    const DrawingBlock& titleBarDrawingBlock() const { return drawingBlock_; }

    // The title's frame in the bar view (Qt coordinates) and its look.
    struct TitleAttributes {
        QFont font;
        QColor color;
        QColor shadowColor;
        QPointF shadowOffset; // Qt coordinates
    };
    void getTitleFrame(QRectF* frame, TitleAttributes* attributes) const;

    // ---- buttons -----------------------------------------------------------
    QAbstractButton* closeButton() const { return replacement_[0]; }
    QAbstractButton* minimizeButton() const { return replacement_[1]; }
    QAbstractButton* zoomButton() const { return replacement_[2]; }
    QAbstractButton* fullScreenButton() const { return replacement_[3]; }
    void setCloseButton(QAbstractButton* button) { setReplacement(CloseButton, button); }
    void setMinimizeButton(QAbstractButton* button) { setReplacement(MinimizeButton, button); }
    void setZoomButton(QAbstractButton* button) { setReplacement(ZoomButton, button); }
    void setFullScreenButton(QAbstractButton* button) { setReplacement(FullScreenButton, button); }
    // The window's own button of kind (none for full screen: there is none).
    QAbstractButton* standardWindowButton(ButtonKind kind) const;
    // The button the layout places for kind: the replacement, else the standard one.
    QAbstractButton* layoutButton(ButtonKind kind) const;
    // A button's frame in the window, lower-left origin.
    kit::Frame buttonFrame(ButtonKind kind) const;

    // The application menu: Linux has no global menu bar, so the menu opens
    // from a button at the bar's right end, and its actions' shortcuts work in
    // this window. The window does not own the menu; none removes the button.
    void setApplicationMenu(QMenu* menu);
    QToolButton* applicationMenuButton() const { return menuButton_; }

    // ---- content -----------------------------------------------------------
    QWidget* contentView() const { return contentView_; }
    // Replaces the content view (the old one is deleted) and fits it below the bar.
    void setContentView(QWidget* view);

    void setTitle(const QString& title) { setWindowTitle(title); }

    // ---- state and actions ------------------------------------------------
    // Main window of an active application.
    bool isDrawnAsMain() const;
    void performClose();
    void performMiniaturize();
    void performZoom();
    void toggleFullScreen();

    void setDelegate(kit::WindowDelegate* delegate) override;
    kit::WindowDelegate* delegate() const override { return proxy_.secondaryDelegate(); }
    TCImageWindowDelegateProxy* delegateProxy() { return &proxy_; }

    // Lays out the bar, the buttons and the content view now.
    void layoutTrafficLightsAndContent();
    // Redraws the bar and enables or disables its controls by the main state.
    void updateTitlebarView();
    // The end of a live resize (a drag of an edge or corner): the window
    // buttons' groups forget their captures.
    void viewDidEndLiveResize();
    WindowEdgeTracker* edgeTracker() const { return edges_; }
    // Number of layout passes so far (tests).
    int layoutPassCount() const { return layoutPasses_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void changeEvent(QEvent* event) override;
    // Title-bar controls shown, hidden, moved or added later move the menu button too.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void setReplacement(ButtonKind kind, QAbstractButton* button);
    void placeButton(QAbstractButton* button, const kit::Frame& frame);
    void repositionContentView();
    // Moves the menu button left of any title-bar control it would touch.
    void keepMenuButtonApart();
    // The menu button at its place at the right end of the bar, then kept apart.
    void placeMenuButton();
    void watchTitleBarControls(QObject* root);
    void displayTitlebar();
    void setupTrafficLightsTrackingArea();
    void windowWillEnterFullScreen();
    void windowWillExitFullScreen();
    double minimumTitlebarHeight();
    double defaultTrafficLightLeftMargin();
    double defaultTrafficLightSeparation();

    TCImageWindowDelegateProxy proxy_;
    WYTitlebarContainer* titleBarContainer_ = nullptr;
    QPointer<QWidget> titleBarView_;
    QWidget* contentView_ = nullptr;
    TCWindowButton* standard_[3] = {};
    QPointer<QAbstractButton> replacement_[4];
    QToolButton* menuButton_ = nullptr;
    WindowEdgeTracker* edges_ = nullptr;
    QPointer<QMenu> menu_;

    double titleBarHeight_ = 0, cachedTitleBarHeight_ = 0;
    double trafficLightButtonsLeftMargin_ = 0, trafficLightButtonsTopMargin_ = 3.0;
    double trafficLightSeparation_ = 0, topButtonMoveUp_ = 0;
    double fullScreenButtonTopMargin_ = 3.0, fullScreenButtonRightMargin_ = 0;
    bool fullScreenButtonRightMarginSet_ = false;
    bool showsBaselineSeparator_ = true, centerTrafficLightButtons_ = true;
    bool verticalTrafficLightButtons_ = false, centerFullScreenButton_ = false;
    bool hideTitleBarInFullScreen_ = false, showsTitle_ = false, showsTitleInFullscreen_ = false;
    bool inFullScreen_ = false;
    DrawingBlock drawingBlock_;
    int layoutPasses_ = 0;
    bool settingUp_ = true;
};

} // namespace salvor::widgets
