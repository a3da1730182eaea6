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

void activate(QWidget* w) {
    w->show();
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w));
}

QList<QPointF> buttonOrigins(const TCImageWindow& w) {
    QList<QPointF> origins;
    for (Kind k : {Kind::CloseButton, Kind::MinimizeButton, Kind::ZoomButton})
        origins << QPointF(w.buttonFrame(k).x, w.buttonFrame(k).y);
    return origins;
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
    QTemporaryDir config_;

private slots:
    void initTestCase() {
        qputenv("XDG_CONFIG_HOME", config_.path().toUtf8());
        kit::setAnimationDurationScale(0);
    }
    void init() {
        TCImageWindow::setPlatformMetrics({});
        TCImageWindow::resetMeasuredDefaults();
    }
    // Buttons of a 400 × 322 window, 16 × 16 at lower-left origins: centred on
    // the bar (y = round(322 - bar / 2 - 8) + move-up), side by side, or stacked
    // (zoom lowest, gaps of separation - 2, no move-up).
    void buttonFrames_data() {
        QTest::addColumn<QList<int>>("setup"); // bar, move-up, centred, vertical, left margin, separation
        QTest::addColumn<QList<QPointF>>("origins"); // close, minimise, zoom
        QTest::newRow("22") << QList{22, 0, 1, 0, 8, 6} << QList<QPointF>{{8, 303}, {30, 303}, {52, 303}};
        QTest::newRow("40, up 2") << QList{40, 2, 1, 0, 8, 6} << QList<QPointF>{{8, 296}, {30, 296}, {52, 296}};
        QTest::newRow("60, top") << QList{60, 1, 0, 0, 20, 10} << QList<QPointF>{{20, 304}, {46, 304}, {72, 304}};
        QTest::newRow("60, stacked") << QList{60, 1, 1, 1, 20, 10} << QList<QPointF>{{20, 308}, {20, 284}, {20, 260}};
    }
    void buttonFrames() {
        QFETCH(QList<int>, setup);
        QFETCH(QList<QPointF>, origins);
        TCImageWindow w(QSize(400, 300));
        w.setTopButtonMoveUp(setup[1]);
        w.setCenterTrafficLightButtons(setup[2]);
        w.setVerticalTrafficLightButtons(setup[3]);
        w.setTrafficLightButtonsLeftMargin(setup[4]);
        w.setTrafficLightSeparation(setup[5]);
        w.setTitleBarHeight(setup[0]);
        QCOMPARE(buttonOrigins(w), origins);
        QCOMPARE(w.standardWindowButton(Kind::CloseButton)->geometry().top(), 322 - int(origins[0].y()) - 16);
    }
    void defaultsAndALayoutOnlyForANewHeight() {
        TCImageWindow w;
        QCOMPARE(w.size(), QSize(400, 322));
        QCOMPARE(w.contentView()->geometry(), QRect(0, 22, 400, 300));
        QCOMPARE(w.titleBarView()->geometry(), QRect(0, 0, 400, 22));
        const int passes = w.layoutPassCount();
        w.setTitleBarHeight(22);
        QCOMPARE(w.layoutPassCount(), passes);
        w.setTitleBarHeight(90);
        QCOMPARE(w.layoutPassCount(), passes + 1);
        QCOMPARE(w.titleBarContainer()->height(), 90);
        QCOMPARE(w.contentView()->geometry(), QRect(0, 90, 400, 322 - 90)); // ends where the bar begins
        // A move-up waits for the next layout.
        const QList<QPointF> before = buttonOrigins(w);
        w.setTopButtonMoveUp(1);
        QCOMPARE(w.layoutPassCount(), passes + 1);
        QCOMPARE(buttonOrigins(w), before);
        w.show();
        w.resize(420, 322);
        QTRY_COMPARE(buttonOrigins(w)[0].y(), before[0].y() + 1);
        QCOMPARE(buttonOrigins(w)[2].y(), before[2].y() + 1);
    }
    void secondWindowReusesTheFirstMeasuredDefaults() {
        TCImageWindow first;
        QCOMPARE(TCImageWindow::measuredMinimumTitleBarHeight(), 22.0);
        // The platform now answers differently; the process keeps what it measured.
        TCImageWindow::setPlatformMetrics({30.0, 12.0, 9.0, 16});
        TCImageWindow second;
        QCOMPARE(second.titleBarHeight(), 22.0);
        QCOMPARE(buttonOrigins(second)[1].x(), 30.0);
        // Measured afresh only after a reset.
        TCImageWindow::resetMeasuredDefaults();
        TCImageWindow third;
        QCOMPARE(third.titleBarHeight(), 30.0);
        QCOMPARE(buttonOrigins(third)[1].x(), 12.0 + 16 + 9);
    }
    void barControlsFollowTheMainState() {
        TCImageWindow a, b;
        b.move(500, 0);
        auto* push = new QPushButton("x", a.titleBarView());
        auto* ownerDisabled = new QPushButton("y", a.titleBarView());
        ownerDisabled->setEnabled(false);
        for (TCImageWindow* w : {&a, &b, &a}) {
            activate(w);
            QTRY_COMPARE(push->isEnabled(), w == &a);
            QCOMPARE(a.isDrawnAsMain(), w == &a);
            QCOMPARE(b.isDrawnAsMain(), w == &b);
        }
        QVERIFY(!ownerDisabled->isEnabled()); // a control its owner disabled is not enabled by the bar
    }
    void doubleClickMinimisesOnlyWhenTheUserSaysSo() {
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
    void draggingTheBarMovesTheWindow() {
        TCImageWindow w;
        w.move(100, 100);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QPoint start = w.pos(), p(200, 10);
        drag(w.titleBarView(), {QPoint(10, -5), QPoint(30, -20)});
        QTRY_COMPARE(w.pos(), start + QPoint(30, -20));
        // After the release, moves do nothing (no drag waits for a lost mouse-up).
        sendMouse(w.titleBarView(), QEvent::MouseMove, p, w.titleBarView()->mapToGlobal(p), QPoint(90, 90));
        QCOMPARE(w.pos(), start + QPoint(30, -20));
        // A full-screen window does not move.
        TCImageWindow full;
        full.showFullScreen();
        QTRY_VERIFY(full.isFullScreen());
        const QPoint at = full.pos();
        drag(full.titleBarView(), {QPoint(30, 20)});
        QCOMPARE(full.pos(), at);
    }
    void sheetsAttachBelowTheBarAndTheDelegateIsForwarded() {
        TCImageWindow w;
        QCOMPARE(kit::sheetTop(&w), 22);
        w.setTitleBarHeight(90);
        Refuser r;
        kit::setWindowDelegate(&w, &r);
        QCOMPARE(kit::sheetTop(&w), 90); // the proxy answers the sheet position itself
        w.show();
        w.standardWindowButton(Kind::CloseButton)->click();
        QCOMPARE(r.asked, 1);
        QVERIFY(w.isVisible());
        w.setDelegate(nullptr);
        w.standardWindowButton(Kind::CloseButton)->click();
        QVERIFY(!w.isVisible());
    }
    void replacementButtonsTakeTheStandardPlace() {
        TCImageWindow w;
        w.show();
        QAbstractButton* standard = w.standardWindowButton(Kind::CloseButton);
        auto* mine = new TCWindowButton(QSize(16, 16), "replacement");
        w.setCloseButton(mine);
        QCOMPARE(mine->pos(), standard->pos());
        w.setTrafficLightButtonsLeftMargin(30);
        QVERIFY(standard->isHidden());
        QCOMPARE(mine->x(), 30);
        QCOMPARE(buttonOrigins(w)[1].x(), 30.0 + 16 + 6);
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
        w.resize(500, w.height());
        QTRY_COMPARE(fs->x(), 500 - 16 - 34);
        QCOMPARE(w.buttonFrame(Kind::FullScreenButton).y, w.height() - 16 - 3.0);
    }
    void fullScreenCollapsesOnlyThisWindowsBar() {
        TCImageWindow w, other;
        w.setHideTitleBarInFullScreen(true);
        other.setHideTitleBarInFullScreen(true);
        w.setTitleBarHeight(40);
        other.show();
        w.showFullScreen();
        QTRY_COMPARE(w.titleBarHeight(), 0.0);
        QVERIFY(w.titleBarView()->isHidden() && w.standardWindowButton(Kind::CloseButton)->isHidden());
        QCOMPARE(other.titleBarHeight(), 22.0);
        w.showNormal();
        QTRY_COMPARE(w.titleBarHeight(), 40.0);
        QVERIFY(!w.titleBarView()->isHidden() && !w.standardWindowButton(Kind::CloseButton)->isHidden());
    }
    void barIsDrawnWithRoundedTopCornersAndTheTitle() {
        TCImageWindow w(QSize(200, 100));
        w.setTitleBarHeight(40);
        const QImage bar = w.titleBarView()->grab().toImage();
        for (QPoint p : {QPoint(100, 20), QPoint(100, 39), QPoint(0, 39)}) // bottom corners square
            QCOMPARE(bar.pixelColor(p), titleBarColor());
        QVERIFY(bar.pixelColor(0, 0) != titleBarColor()); // top corners round
        QVERIFY(bar.pixelColor(199, 0) != titleBarColor());
        // The title, centred, drawn only when asked for, nothing around it.
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
        w.setTitleBarDrawingBlock(
            [](QPainter& p, bool, const QRectF& r, const QPainterPath&) { p.fillRect(r, Qt::red); });
        QCOMPARE(w.titleBarView()->grab().toImage().pixelColor(100, 20), QColor(Qt::red));
    }
    void applicationMenuOpensFromTheBar() {
        TCImageWindow w(QSize(300, 100));
        QMenu menu;
        int quits = 0;
        QAction* quit = menu.addAction("Quit", [&] { ++quits; });
        quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
        w.setApplicationMenu(&menu);
        QToolButton* button = w.applicationMenuButton();
        QCOMPARE(button->geometry(), QRect(300 - 8 - 16, 3, 16, 16)); // right end, centred like the buttons
        activate(&w);
        QTest::keyClick(&w, Qt::Key_Q, Qt::ControlModifier);
        QCOMPARE(quits, 1);
        w.resize(400, w.height());
        QTRY_COMPARE(button->x(), 400 - 8 - 16);
        // A control of the bar where the button would go: the button keeps a gap left of it.
        auto* import = new QPushButton(w.titleBarView());
        import->setGeometry(400 - 34, 3, 16, 16);
        import->show();
        w.resize(401, w.height());
        QTRY_VERIFY(button->geometry().right() + 6 < import->mapTo(&w, QPoint(0, 0)).x());
        w.setApplicationMenu(nullptr);
        QVERIFY(!w.applicationMenuButton() && !w.actions().contains(quit));
    }
};

QTEST_MAIN(TCImageWindowTest)
#include "TCImageWindowTest.moc"
