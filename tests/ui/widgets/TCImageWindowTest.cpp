// The drawn window: bar layout, measured defaults, main state of the bar's
// controls, double click, dragging, sheets, replacement buttons, full screen.
#include "platform/UserDefaults.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowDelegate.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

#include <QApplication>
#include <QMenu>
#include <QMouseEvent>
#include <QToolButton>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <memory>

using namespace salvor;
using namespace salvor::widgets;
using Kind = TCImageWindow::ButtonKind;

namespace {

void sendMouse(QWidget* target, QEvent::Type type, const QPoint& local, const QPoint& global,
               Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(local), QPointF(global), type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton,
                  buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &e);
}

class Refuser : public kit::WindowDelegate {
public:
    int asked = 0;
    bool windowShouldClose(QWidget*) override {
        ++asked;
        return false;
    }
    QRect willPositionSheet(QWidget*, const QRect&) override { return QRect(0, 999, 1, 1); }
};

} // namespace

class TCImageWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();

    void newWindowHasTheDefaults();
    void sameHeightDoesNotLayOut();
    void moveUpWaitsForTheNextLayout();
    void fortyPointBarCentresSixteenPointButtons();
    void sideBySideWithoutCentringAndStacked();
    void secondWindowReusesTheFirstMeasuredDefaults();
    void barControlsFollowTheMainState();
    void doubleClickMinimisesOnlyWhenTheUserSaysSo();
    void draggingTheBarMovesTheWindow();
    void draggingAFullScreenWindowDoesNothing();
    void sheetsAttachBelowTheBarAndTheDelegateIsForwarded();
    void replacementButtonsTakeTheStandardPlace();
    void fullScreenCollapsesOnlyThisWindowsBar();
    void barIsDrawnWithRoundedTopCorners();
    void titleIsCentredWhenShown();
    void applicationMenuOpensFromTheBar();

private:
    QTemporaryDir config_;
};

void TCImageWindowTest::initTestCase() {
    QVERIFY(config_.isValid());
    qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
    kit::setAnimationDurationScale(0);
}

void TCImageWindowTest::init() {
    TCImageWindow::setPlatformMetrics({});
    TCImageWindow::resetMeasuredDefaults();
}

void TCImageWindowTest::newWindowHasTheDefaults() {
    TCImageWindow w(QSize(300, 200));
    QCOMPARE(w.size(), QSize(300, 222));
    QCOMPARE(w.titleBarHeight(), 22.0);
    QCOMPARE(w.cachedTitleBarHeight(), 22.0);
    QCOMPARE(w.trafficLightButtonsLeftMargin(), 8.0);
    QCOMPARE(w.trafficLightSeparation(), 6.0);
    QCOMPARE(w.trafficLightButtonsTopMargin(), 3.0);
    QVERIFY(!w.showsTitle());
    QVERIFY(w.showsBaselineSeparator());
    QVERIFY(w.centerTrafficLightButtons());
    QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!w.standardWindowButton(Kind::FullScreenButton));
    QCOMPARE(w.contentView()->geometry(), QRect(0, 22, 300, 200));
    QCOMPARE(w.titleBarContainer()->geometry(), QRect(0, 0, 300, 22));
    QCOMPARE(w.titleBarView()->geometry(), QRect(0, 0, 300, 22));
    // Buttons 16 high, centred in the 22-point bar: y = round(200 + 11 - 8) = 203.
    QCOMPARE(w.buttonFrame(Kind::CloseButton), (kit::Frame{8, 203, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton), (kit::Frame{30, 203, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::ZoomButton), (kit::Frame{52, 203, 16, 16}));
}

void TCImageWindowTest::sameHeightDoesNotLayOut() {
    TCImageWindow w;
    const int passes = w.layoutPassCount();
    w.setTitleBarHeight(22);
    QCOMPARE(w.layoutPassCount(), passes);
    w.setTitleBarHeight(90);
    QCOMPARE(w.layoutPassCount(), passes + 1);
    QCOMPARE(w.cachedTitleBarHeight(), 90.0);
    QCOMPARE(w.titleBarContainer()->height(), 90);
    QCOMPARE(w.titleBarView()->height(), 90);
    // The content ends where the bar begins.
    QCOMPARE(w.contentView()->geometry(), QRect(0, 90, 400, 322 - 90));
}

void TCImageWindowTest::moveUpWaitsForTheNextLayout() {
    TCImageWindow w;
    const kit::Frame before = w.buttonFrame(Kind::CloseButton);
    const int passes = w.layoutPassCount();
    w.setTopButtonMoveUp(1);
    QCOMPARE(w.layoutPassCount(), passes);
    QCOMPARE(w.buttonFrame(Kind::CloseButton), before);
    w.show();
    w.resize(420, 322); // a resize lays out
    QTRY_COMPARE(w.buttonFrame(Kind::CloseButton).y, before.y + 1);
    QCOMPARE(w.buttonFrame(Kind::ZoomButton).y, before.y + 1);
}

void TCImageWindowTest::fortyPointBarCentresSixteenPointButtons() {
    TCImageWindow w(QSize(400, 300));
    w.setTopButtonMoveUp(2);
    w.setTitleBarHeight(40);
    const double H = w.height();
    const double minY = H - 40;
    const double y = std::round(minY + 20 - 8) + 2;
    for (Kind k : {Kind::CloseButton, Kind::MinimizeButton, Kind::ZoomButton}) QCOMPARE(w.buttonFrame(k).y, y);
    // Qt's top-left geometry: 40 - 12 - 16 - 2 = 10 from the top.
    QCOMPARE(w.standardWindowButton(Kind::CloseButton)->geometry().top(), 10);
}

void TCImageWindowTest::sideBySideWithoutCentringAndStacked() {
    TCImageWindow w(QSize(400, 300));
    w.setTitleBarHeight(60);
    w.setTopButtonMoveUp(1);
    w.setCenterTrafficLightButtons(false);
    const double maxY = w.height();
    QCOMPARE(w.buttonFrame(Kind::CloseButton).y, maxY - 16 - 3 + 1);

    w.setTrafficLightButtonsLeftMargin(20);
    w.setTrafficLightSeparation(10);
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton).x, 20.0 + 16 + 10);
    QCOMPARE(w.buttonFrame(Kind::ZoomButton).x, 20.0 + 2 * (16 + 10));

    // Stacked: zoom lowest, close on top, gaps of separation - 2; no move-up.
    w.setCenterTrafficLightButtons(true);
    w.setVerticalTrafficLightButtons(true);
    const double midY = w.height() - 30;
    const double G = 3 * 16 + 2 * 8;
    const double bottom = std::round(midY - G / 2);
    QCOMPARE(w.buttonFrame(Kind::ZoomButton), (kit::Frame{20, bottom, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton), (kit::Frame{20, bottom + 24, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::CloseButton), (kit::Frame{20, bottom + 48, 16, 16}));
}

void TCImageWindowTest::secondWindowReusesTheFirstMeasuredDefaults() {
    TCImageWindow first;
    QCOMPARE(TCImageWindow::measuredMinimumTitleBarHeight(), 22.0);
    // The platform now answers differently; the process keeps what it measured.
    TCImageWindow::setPlatformMetrics({30.0, 12.0, 9.0, 16});
    TCImageWindow second;
    QCOMPARE(second.titleBarHeight(), 22.0);
    QCOMPARE(second.trafficLightButtonsLeftMargin(), 8.0);
    QCOMPARE(second.trafficLightSeparation(), 6.0);
    QCOMPARE(second.buttonFrame(Kind::CloseButton).x, 8.0);

    // Measured afresh only after a reset.
    TCImageWindow::resetMeasuredDefaults();
    TCImageWindow third;
    QCOMPARE(third.titleBarHeight(), 30.0);
    QCOMPARE(third.trafficLightButtonsLeftMargin(), 12.0);
    QCOMPARE(third.trafficLightSeparation(), 9.0);
}

void TCImageWindowTest::barControlsFollowTheMainState() {
    TCImageWindow a, b;
    a.move(0, 0);
    b.move(500, 0);
    auto* push = new QPushButton("x", a.titleBarView());
    auto* ownerDisabled = new QPushButton("y", a.titleBarView());
    ownerDisabled->setEnabled(false);
    a.show();
    b.show();
    a.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&a));
    QTRY_VERIFY(a.isDrawnAsMain());
    QVERIFY(push->isEnabled());

    b.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&b));
    QTRY_VERIFY(!push->isEnabled());
    QVERIFY(!a.isDrawnAsMain());
    QVERIFY(b.isDrawnAsMain());

    a.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&a));
    QTRY_VERIFY(push->isEnabled());
    // A control its owner disabled is not enabled by the bar.
    QVERIFY(!ownerDisabled->isEnabled());
}

void TCImageWindowTest::doubleClickMinimisesOnlyWhenTheUserSaysSo() {
    TCImageWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* bar = w.titleBarView();
    const QPoint p(200, 10);
    auto doubleClick = [&] {
        sendMouse(bar, QEvent::MouseButtonPress, p, bar->mapToGlobal(p), Qt::LeftButton);
        sendMouse(bar, QEvent::MouseButtonRelease, p, bar->mapToGlobal(p), Qt::NoButton);
        sendMouse(bar, QEvent::MouseButtonDblClick, p, bar->mapToGlobal(p), Qt::LeftButton);
        sendMouse(bar, QEvent::MouseButtonRelease, p, bar->mapToGlobal(p), Qt::NoButton);
    };
    platform::UserDefaults::remove("AppleMiniaturizeOnDoubleClick");
    doubleClick();
    QVERIFY(!w.isMinimized());
    platform::UserDefaults::setValue("AppleMiniaturizeOnDoubleClick", false);
    doubleClick();
    QVERIFY(!w.isMinimized());
    platform::UserDefaults::setValue("AppleMiniaturizeOnDoubleClick", true);
    doubleClick();
    QTRY_VERIFY(w.isMinimized());
    platform::UserDefaults::remove("AppleMiniaturizeOnDoubleClick");
}

void TCImageWindowTest::draggingTheBarMovesTheWindow() {
    TCImageWindow w;
    w.move(100, 100);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();
    QWidget* bar = w.titleBarView();
    const QPoint local(200, 10);
    const QPoint global = bar->mapToGlobal(local);
    sendMouse(bar, QEvent::MouseButtonPress, local, global, Qt::LeftButton);
    sendMouse(bar, QEvent::MouseMove, local + QPoint(10, -5), global + QPoint(10, -5), Qt::LeftButton);
    sendMouse(bar, QEvent::MouseMove, local + QPoint(30, -20), global + QPoint(30, -20), Qt::LeftButton);
    sendMouse(bar, QEvent::MouseButtonRelease, local + QPoint(30, -20), global + QPoint(30, -20), Qt::NoButton);
    QTRY_COMPARE(w.pos(), start + QPoint(30, -20));
    // After the release, moves do nothing.
    sendMouse(bar, QEvent::MouseMove, local, global + QPoint(90, 90), Qt::NoButton);
    QCOMPARE(w.pos(), start + QPoint(30, -20));
}

void TCImageWindowTest::draggingAFullScreenWindowDoesNothing() {
    TCImageWindow w;
    w.showFullScreen();
    QTRY_VERIFY(w.isFullScreen());
    const QPoint start = w.pos();
    QWidget* bar = w.titleBarView();
    const QPoint local(200, 10), global = bar->mapToGlobal(local);
    sendMouse(bar, QEvent::MouseButtonPress, local, global, Qt::LeftButton);
    sendMouse(bar, QEvent::MouseMove, local + QPoint(30, 20), global + QPoint(30, 20), Qt::LeftButton);
    sendMouse(bar, QEvent::MouseButtonRelease, local, global, Qt::NoButton);
    QCOMPARE(w.pos(), start);
}

void TCImageWindowTest::sheetsAttachBelowTheBarAndTheDelegateIsForwarded() {
    TCImageWindow w;
    QCOMPARE(kit::sheetTop(&w), 22);
    w.setTitleBarHeight(90);
    QCOMPARE(kit::sheetTop(&w), 90);

    Refuser r;
    kit::setWindowDelegate(&w, &r);
    QCOMPARE(kit::windowDelegate(&w), &r);
    QCOMPARE(w.delegate(), &r);
    // The proxy answers the sheet position itself.
    QCOMPARE(kit::sheetTop(&w), 90);
    w.show();
    w.standardWindowButton(Kind::CloseButton)->click();
    QCOMPARE(r.asked, 1);
    QVERIFY(w.isVisible());
    w.setDelegate(nullptr);
    w.standardWindowButton(Kind::CloseButton)->click();
    QVERIFY(!w.isVisible());
}

void TCImageWindowTest::replacementButtonsTakeTheStandardPlace() {
    TCImageWindow w;
    w.show();
    QAbstractButton* standard = w.standardWindowButton(Kind::CloseButton);
    auto* mine = new TCWindowButton(QSize(16, 16), "replacement");
    w.setCloseButton(mine);
    QCOMPARE(w.closeButton(), mine);
    QCOMPARE(mine->parentWidget(), &w);
    QCOMPARE(mine->pos(), standard->pos());
    w.setTrafficLightButtonsLeftMargin(30);
    QVERIFY(standard->isHidden());
    QCOMPARE(w.buttonFrame(Kind::CloseButton).x, 30.0);
    QCOMPARE(mine->x(), 30);
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton).x, 30.0 + 16 + 6);

    // Its click goes through the window's close path.
    mine->click();
    QVERIFY(!w.isVisible());
    w.show();

    // Removing the replacement brings the standard button back.
    QPointer<TCWindowButton> gone(mine);
    w.setCloseButton(nullptr);
    w.setTrafficLightButtonsLeftMargin(8);
    QVERIFY(!standard->isHidden());
    QTRY_VERIFY(!gone);

    // A full-screen button keeps the right margin it was first found at.
    auto* fs = new TCWindowButton(QSize(16, 16), "replacement");
    fs->move(350, 0);
    w.setFullScreenButton(fs);
    w.setTitleBarHeight(30);
    QVERIFY(w.setFullScreenButtonRightMarginFlag());
    QCOMPARE(w.fullScreenButtonRightMargin(), 400.0 - 366);
    w.resize(500, w.height());
    QTRY_COMPARE(fs->x(), 500 - 16 - 34);
    QCOMPARE(w.buttonFrame(Kind::FullScreenButton).y, w.height() - 16 - 3.0);
}

void TCImageWindowTest::fullScreenCollapsesOnlyThisWindowsBar() {
    TCImageWindow w, other;
    w.setHideTitleBarInFullScreen(true);
    other.setHideTitleBarInFullScreen(true);
    w.setTitleBarHeight(40);
    other.show();
    w.showFullScreen();
    QTRY_COMPARE(w.titleBarHeight(), 0.0);
    QCOMPARE(w.cachedTitleBarHeight(), 40.0);
    QVERIFY(w.titleBarView()->isHidden());
    QCOMPARE(other.titleBarHeight(), 22.0);
    // The window's own buttons hide in full screen.
    QVERIFY(w.standardWindowButton(Kind::CloseButton)->isHidden());
    w.showNormal();
    QTRY_COMPARE(w.titleBarHeight(), 40.0);
    QVERIFY(!w.titleBarView()->isHidden());
    QVERIFY(!w.standardWindowButton(Kind::CloseButton)->isHidden());
}

void TCImageWindowTest::barIsDrawnWithRoundedTopCorners() {
    TCImageWindow w(QSize(200, 100));
    w.setTitleBarHeight(40);
    const QImage bar = w.titleBarView()->grab().toImage();
    QCOMPARE(bar.size(), QSize(200, 40));
    QCOMPARE(bar.pixelColor(100, 20), titleBarColor());
    QCOMPARE(bar.pixelColor(100, 39), titleBarColor()); // the baseline
    QCOMPARE(bar.pixelColor(0, 39), titleBarColor());   // bottom corners square
    QVERIFY(bar.pixelColor(0, 0) != titleBarColor());   // top corners round
    QVERIFY(bar.pixelColor(199, 0) != titleBarColor());

    // A drawing block replaces the built-in drawing.
    bool called = false;
    w.setTitleBarDrawingBlock([&](QPainter& p, bool, const QRectF& r, const QPainterPath&) {
        called = true;
        p.fillRect(r, Qt::red);
    });
    const QImage red = w.titleBarView()->grab().toImage();
    QVERIFY(called);
    QCOMPARE(red.pixelColor(100, 20), QColor(Qt::red));
}

void TCImageWindowTest::titleIsCentredWhenShown() {
    TCImageWindow w(QSize(300, 100));
    w.setWindowTitle("Results");
    QRectF frame;
    TCImageWindow::TitleAttributes a;
    w.getTitleFrame(&frame, &a);
    QCOMPARE(frame.center().x(), 150.0);
    QCOMPARE(frame.top(), 2.0);
    QCOMPARE(a.color, QColor(56, 56, 56, 128)); // not main
    const QImage without = w.titleBarView()->grab().toImage();
    w.setShowsTitle(true);
    const QImage with = w.titleBarView()->grab().toImage();
    QVERIFY(with != without);
    // Nothing drawn outside the title's frame but the bar.
    QCOMPARE(with.pixelColor(20, 11), titleBarColor());
}

void TCImageWindowTest::applicationMenuOpensFromTheBar() {
    TCImageWindow w(QSize(300, 100));
    QMenu menu;
    int quits = 0;
    QAction* quit = menu.addAction("Quit", [&] { ++quits; });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    w.setApplicationMenu(&menu);
    QToolButton* button = w.applicationMenuButton();
    QVERIFY(button);
    QCOMPARE(button->menu(), &menu);
    // Right end, centred on the bar like the window buttons.
    QCOMPARE(button->geometry(), QRect(300 - 8 - 16, 3, 16, 16));
    QVERIFY(w.actions().contains(quit));
    w.show();
    w.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&w));
    QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
    QCOMPARE(quits, 1);
    w.resize(400, w.height());
    QTRY_COMPARE(button->x(), 400 - 8 - 16);
    w.setApplicationMenu(nullptr);
    QVERIFY(!w.applicationMenuButton());
    QVERIFY(!w.actions().contains(quit));
}

QTEST_MAIN(TCImageWindowTest)
#include "TCImageWindowTest.moc"
