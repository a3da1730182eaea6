// Frameless windows: the rollover area of the window buttons and resizing by
// a corner (our own drag: the offscreen platform has no window manager).
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"
#include "ui/widgets/WindowEdges.h"

// Mouse events reach the window first, as real ones do.
#define QTEST_QPA_MOUSE_HANDLING
#include <QSignalSpy>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

class WindowEdgesTest : public QObject {
    Q_OBJECT
private slots:
    void rolloverAreaGrownBy4_data() {
        QTest::addColumn<int>("outside");
        QTest::addColumn<bool>("rolled");
        QTest::newRow("3 px") << 3 << true;
        QTest::newRow("4 px") << 4 << true;
        QTest::newRow("5 px") << 5 << false;
    }
    void rolloverAreaGrownBy4() {
        QFETCH(int, outside);
        TCImageWindow w(QSize(300, 200));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* close = static_cast<TCWindowButton*>(w.layoutButton(TCImageWindow::CloseButton));
        const QRect r = close->geometry();
        QTest::mouseMove(&w, r.center());
        QCOMPARE(close->group()->numberOfCaptures(), 1);
        // Below the button, outside pixels beyond its last row.
        QTest::mouseMove(&w, QPoint(r.center().x(), r.bottom() + outside));
        QTEST(close->group()->shouldDisplayRollOver(), "rolled");
        QTest::mouseMove(&w, QPoint(150, 150));
        QCOMPARE(close->group()->numberOfCaptures(), 0);
    }

    void cornerDragResizesAndEndsLiveResize() {
        TCImageWindow w(QSize(300, 200));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* close = static_cast<TCWindowButton*>(w.layoutButton(TCImageWindow::CloseButton));
        close->group()->didCaptureMousePointer();
        const QSize before = w.size();
        const QPoint corner(before.width() - 1, before.height() - 1);
        QTest::mousePress(&w, Qt::LeftButton, {}, corner);
        QVERIFY(w.edgeTracker()->isResizing());
        QTest::mouseMove(&w, corner + QPoint(40, 30));
        QCOMPARE(w.size(), before + QSize(40, 30));
        QCOMPARE(close->group()->numberOfCaptures(), 1);
        QTest::mouseRelease(&w, Qt::LeftButton, {}, corner + QPoint(40, 30));
        QVERIFY(!w.edgeTracker()->isResizing());
        QCOMPARE(close->group()->numberOfCaptures(), 0);
        // A button holding its capture through a reset rolls over again.
        QTest::mouseMove(&w, close->geometry().center());
        QCOMPARE(close->group()->numberOfCaptures(), 1);
        w.viewDidEndLiveResize();
        QCOMPARE(close->group()->numberOfCaptures(), 0);
        QTest::mouseMove(&w, close->geometry().center() + QPoint(1, 0));
        QVERIFY(close->group()->shouldDisplayRollOver());
    }

    void buttonAtTheEdgeKeepsItsClick() {
        TCImageWindow w(QSize(300, 200));
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QAbstractButton* close = w.layoutButton(TCImageWindow::CloseButton);
        QVERIFY(close->geometry().top() < kResizeMargin); // within the top edge's band
        QSignalSpy clicks(close, &QAbstractButton::clicked);
        QTest::mouseClick(&w, Qt::LeftButton, {}, QPoint(close->geometry().center().x(), close->geometry().top()));
        QCOMPARE(clicks.count(), 1);
        QVERIFY(!w.edgeTracker()->isResizing());
    }

    void edgesAndGeometry() {
        const QSize s(100, 80);
        QCOMPARE(edgesAt(QPoint(50, 40), s), Qt::Edges());
        QCOMPARE(edgesAt(QPoint(0, 0), s), Qt::TopEdge | Qt::LeftEdge);
        QCOMPARE(edgesAt(QPoint(99, 40), s), Qt::Edges(Qt::RightEdge));
        QCOMPARE(edgesAt(QPoint(50, 76), s), Qt::Edges(Qt::BottomEdge));
        const QRect start(10, 10, 100, 80);
        QCOMPARE(resizedGeometry(start, Qt::LeftEdge | Qt::TopEdge, QPoint(-5, 7), {}), QRect(5, 17, 105, 73));
        QCOMPARE(resizedGeometry(start, Qt::RightEdge, QPoint(-500, 0), QSize(40, 40)), QRect(10, 10, 40, 80));
    }
};

QTEST_MAIN(WindowEdgesTest)
#include "WindowEdgesTest.moc"
