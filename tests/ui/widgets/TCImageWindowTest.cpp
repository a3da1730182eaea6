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
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <cmath>

using namespace salvor;
using namespace salvor::widgets;
using Kind = TCImageWindow::ButtonKind;

namespace {

// global: where local was on the screen when the gesture began.
void sendMouse(QWidget* bar, QEvent::Type type, QPoint local, QPoint global, QPoint delta = {}) {
    const auto held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::LeftButton;
    QMouseEvent e(type, QPointF(local + delta), QPointF(global + delta),
                  type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held, Qt::NoModifier);
    QApplication::sendEvent(bar, &e);
}

// Press at (200, 10) of the bar, move by each step, release.
void drag(QWidget* bar, std::initializer_list<QPoint> steps) {
    const QPoint p(200, 10), g = bar->mapToGlobal(p);
    sendMouse(bar, QEvent::MouseButtonPress, p, g);
    for (QPoint s : steps) sendMouse(bar, QEvent::MouseMove, p, g, s);
    sendMouse(bar, QEvent::MouseButtonRelease, p, g, *(steps.end() - 1));
}

class Refuser : public kit::WindowDelegate {
public:
    int asked = 0;
    bool windowShouldClose(QWidget*) override { return ++asked, false; }
    QRect willPositionSheet(QWidget*, const QRect&) override { return QRect(0, 999, 1, 1); }
};

} // namespace

class TCImageWindowTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        QVERIFY(config_.isValid());
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        kit::setAnimationDurationScale(0);
    }
    void init() {
        TCImageWindow::setPlatformMetrics({});
        TCImageWindow::resetMeasuredDefaults();
    }

    void newWindowHasTheDefaults();
    void sameHeightDoesNotLayOutAndMoveUpWaits();
    void fortyPointBarCentresSixteenPointButtons();
    void sideBySideWithoutCentringAndStacked();
    void secondWindowReusesTheFirstMeasuredDefaults();
    void barControlsFollowTheMainState();
    void doubleClickMinimisesOnlyWhenTheUserSaysSo();
    void draggingTheBarMovesTheWindow();
    void sheetsAttachBelowTheBarAndTheDelegateIsForwarded();
    void replacementButtonsTakeTheStandardPlace();
    void fullScreenCollapsesOnlyThisWindowsBar();
    void barIsDrawnWithRoundedTopCornersAndTheTitle();
    void applicationMenuOpensFromTheBar();

private:
    QTemporaryDir config_;
};

void TCImageWindowTest::newWindowHasTheDefaults() {
    TCImageWindow w(QSize(300, 200));
    QCOMPARE(w.size(), QSize(300, 222));
    QCOMPARE(w.titleBarHeight(), 22.0);
    QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
    QVERIFY(!w.standardWindowButton(Kind::FullScreenButton));
    QCOMPARE(w.contentView()->geometry(), QRect(0, 22, 300, 200));
    QCOMPARE(w.titleBarView()->geometry(), QRect(0, 0, 300, 22));
    // Buttons 16 high, centred in the 22-point bar: y = round(200 + 11 - 8) = 203.
    QCOMPARE(w.buttonFrame(Kind::CloseButton), (kit::Frame{8, 203, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton), (kit::Frame{30, 203, 16, 16}));
    QCOMPARE(w.buttonFrame(Kind::ZoomButton), (kit::Frame{52, 203, 16, 16}));
}

void TCImageWindowTest::sameHeightDoesNotLayOutAndMoveUpWaits() {
    TCImageWindow w;
    const int passes = w.layoutPassCount();
    w.setTitleBarHeight(22);
    QCOMPARE(w.layoutPassCount(), passes);
    w.setTitleBarHeight(90);
    QCOMPARE(w.layoutPassCount(), passes + 1);
    QCOMPARE(w.titleBarContainer()->height(), 90);
    QCOMPARE(w.titleBarView()->height(), 90);
    QCOMPARE(w.contentView()->geometry(), QRect(0, 90, 400, 322 - 90)); // ends where the bar begins

    // A move-up waits for the next layout.
    const kit::Frame before = w.buttonFrame(Kind::CloseButton);
    w.setTopButtonMoveUp(1);
    QCOMPARE(w.layoutPassCount(), passes + 1);
    QCOMPARE(w.buttonFrame(Kind::CloseButton), before);
    w.show();
    w.resize(420, 322);
    QTRY_COMPARE(w.buttonFrame(Kind::CloseButton).y, before.y + 1);
    QCOMPARE(w.buttonFrame(Kind::ZoomButton).y, before.y + 1);
}

void TCImageWindowTest::fortyPointBarCentresSixteenPointButtons() {
    TCImageWindow w(QSize(400, 300));
    w.setTopButtonMoveUp(2);
    w.setTitleBarHeight(40);
    const double y = std::round(w.height() - 40 + 20 - 8) + 2;
    for (Kind k : {Kind::CloseButton, Kind::MinimizeButton, Kind::ZoomButton}) QCOMPARE(w.buttonFrame(k).y, y);
    // Qt's top-left geometry: 40 - 12 - 16 - 2 = 10 from the top.
    QCOMPARE(w.standardWindowButton(Kind::CloseButton)->geometry().top(), 10);
}

void TCImageWindowTest::sideBySideWithoutCentringAndStacked() {
    TCImageWindow w(QSize(400, 300));
    w.setTitleBarHeight(60);
    w.setTopButtonMoveUp(1);
    w.setCenterTrafficLightButtons(false);
    QCOMPARE(w.buttonFrame(Kind::CloseButton).y, w.height() - 16 - 3 + 1.0);
    w.setTrafficLightButtonsLeftMargin(20);
    w.setTrafficLightSeparation(10);
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton).x, 20.0 + 16 + 10);
    QCOMPARE(w.buttonFrame(Kind::ZoomButton).x, 20.0 + 2 * (16 + 10));

    // Stacked: zoom lowest, close on top, gaps of separation - 2; no move-up.
    w.setCenterTrafficLightButtons(true);
    w.setVerticalTrafficLightButtons(true);
    const double bottom = std::round(w.height() - 30 - (3 * 16 + 2 * 8) / 2.0);
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
    QCOMPARE(second.buttonFrame(Kind::CloseButton).x, 8.0);
    QCOMPARE(second.buttonFrame(Kind::MinimizeButton).x, 30.0);
    // Measured afresh only after a reset.
    TCImageWindow::resetMeasuredDefaults();
    TCImageWindow third;
    QCOMPARE(third.titleBarHeight(), 30.0);
    QCOMPARE(third.buttonFrame(Kind::CloseButton).x, 12.0);
    QCOMPARE(third.buttonFrame(Kind::MinimizeButton).x, 12.0 + 16 + 9);
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
    for (TCImageWindow* w : {&a, &b, &a}) {
        w->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(w));
        QTRY_COMPARE(push->isEnabled(), w == &a);
        QCOMPARE(a.isDrawnAsMain(), w == &a);
        QCOMPARE(b.isDrawnAsMain(), w == &b);
    }
    // A control its owner disabled is not enabled by the bar.
    QVERIFY(!ownerDisabled->isEnabled());
}

void TCImageWindowTest::doubleClickMinimisesOnlyWhenTheUserSaysSo() {
    TCImageWindow w;
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QWidget* bar = w.titleBarView();
    const char* key = "AppleMiniaturizeOnDoubleClick";
    for (int setting : {-1, 0, 1}) {
        if (setting < 0) platform::UserDefaults::remove(key);
        else platform::UserDefaults::setValue(key, setting == 1);
        for (auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease, QEvent::MouseButtonDblClick,
                          QEvent::MouseButtonRelease})
            sendMouse(bar, type, QPoint(200, 10), bar->mapToGlobal(QPoint(200, 10)));
        if (setting == 1) QTRY_VERIFY(w.isMinimized());
        else QVERIFY(!w.isMinimized());
    }
    platform::UserDefaults::remove(key);
}

void TCImageWindowTest::draggingTheBarMovesTheWindow() {
    TCImageWindow w;
    w.move(100, 100);
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    const QPoint start = w.pos();
    drag(w.titleBarView(), {QPoint(10, -5), QPoint(30, -20)});
    QTRY_COMPARE(w.pos(), start + QPoint(30, -20));
    // After the release, moves do nothing (no drag waits for a lost mouse-up).
    sendMouse(w.titleBarView(), QEvent::MouseMove, QPoint(200, 10), w.titleBarView()->mapToGlobal(QPoint(200, 10)),
              QPoint(90, 90));
    QCOMPARE(w.pos(), start + QPoint(30, -20));

    // A full-screen window does not move.
    TCImageWindow full;
    full.showFullScreen();
    QTRY_VERIFY(full.isFullScreen());
    const QPoint at = full.pos();
    drag(full.titleBarView(), {QPoint(30, 20)});
    QCOMPARE(full.pos(), at);
}

void TCImageWindowTest::sheetsAttachBelowTheBarAndTheDelegateIsForwarded() {
    TCImageWindow w;
    QCOMPARE(kit::sheetTop(&w), 22);
    w.setTitleBarHeight(90);
    Refuser r;
    kit::setWindowDelegate(&w, &r);
    QCOMPARE(w.delegate(), &r);
    QCOMPARE(kit::sheetTop(&w), 90); // the proxy answers the sheet position itself
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
    QCOMPARE(mine->parentWidget(), &w);
    QCOMPARE(mine->pos(), standard->pos());
    w.setTrafficLightButtonsLeftMargin(30);
    QVERIFY(standard->isHidden());
    QCOMPARE(mine->x(), 30);
    QCOMPARE(w.buttonFrame(Kind::MinimizeButton).x, 30.0 + 16 + 6);
    mine->click(); // through the window's close path
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
    QVERIFY(w.standardWindowButton(Kind::CloseButton)->isHidden());
    QCOMPARE(other.titleBarHeight(), 22.0);
    w.showNormal();
    QTRY_COMPARE(w.titleBarHeight(), 40.0);
    QVERIFY(!w.titleBarView()->isHidden());
    QVERIFY(!w.standardWindowButton(Kind::CloseButton)->isHidden());
}

void TCImageWindowTest::barIsDrawnWithRoundedTopCornersAndTheTitle() {
    TCImageWindow w(QSize(200, 100));
    w.setTitleBarHeight(40);
    const QImage bar = w.titleBarView()->grab().toImage();
    QCOMPARE(bar.size(), QSize(200, 40));
    for (QPoint p : {QPoint(100, 20), QPoint(100, 39), QPoint(0, 39)}) QCOMPARE(bar.pixelColor(p), titleBarColor());
    QVERIFY(bar.pixelColor(0, 0) != titleBarColor()); // top corners round
    QVERIFY(bar.pixelColor(199, 0) != titleBarColor());

    // The title, centred, drawn only when asked for, nothing else around it.
    w.setWindowTitle("Results");
    QRectF frame;
    TCImageWindow::TitleAttributes a;
    w.getTitleFrame(&frame, &a);
    QCOMPARE(frame.center().x(), 100.0);
    QCOMPARE(frame.top(), 2.0);
    QCOMPARE(a.color, QColor(56, 56, 56, 128)); // not main
    QCOMPARE(w.titleBarView()->grab().toImage(), bar);
    w.setShowsTitle(true);
    const QImage with = w.titleBarView()->grab().toImage();
    QVERIFY(with != bar);
    QCOMPARE(with.pixelColor(20, 11), titleBarColor());

    // A drawing block replaces the built-in drawing.
    w.setTitleBarDrawingBlock([](QPainter& p, bool, const QRectF& r, const QPainterPath&) { p.fillRect(r, Qt::red); });
    QCOMPARE(w.titleBarView()->grab().toImage().pixelColor(100, 20), QColor(Qt::red));
}

void TCImageWindowTest::applicationMenuOpensFromTheBar() {
    TCImageWindow w(QSize(300, 100));
    QMenu menu;
    int quits = 0;
    QAction* quit = menu.addAction("Quit", [&] { ++quits; });
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    w.setApplicationMenu(&menu);
    QToolButton* button = w.applicationMenuButton();
    QCOMPARE(button->menu(), &menu);
    QCOMPARE(button->geometry(), QRect(300 - 8 - 16, 3, 16, 16)); // right end, centred like the buttons
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
