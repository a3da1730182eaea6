// The attached pop-up: its geometry, outline, clamped settings and automatic
// side as pure functions, and the overlay that moves with its window.
#include "ui/widgets/AttachedWindow.h"

#include <QtTest>

using namespace salvor::widgets;

namespace {
// The path's corner and end points in order (curve control points left out).
QList<QPointF> points(const QPainterPath& path) {
    QList<QPointF> out;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        if (e.type == QPainterPath::CurveToElement) continue;
        if (e.type == QPainterPath::CurveToDataElement && i + 1 < path.elementCount() &&
            path.elementAt(i + 1).type == QPainterPath::CurveToDataElement)
            continue;
        const QPointF p(std::round(e.x * 1000) / 1000, std::round(e.y * 1000) / 1000);
        if (out.isEmpty() || out.last() != p) out << p;
    }
    return out;
}
const QSizeF kView(100, 50);
const QPointF kPoint(500, 500);
// An 800 x 600 window with a 100 x 50 view in a bubble at (500, 500).
struct Host {
    QWidget window;
    QWidget* view = new QWidget;
    MAAttachedWindow* bubble;
    explicit Host(int side) {
        window.resize(800, 600);
        view->resize(100, 50);
        bubble = MAAttachedWindow::initWithView(view, kPoint, &window, side);
    }
};
} // namespace

class AttachedWindowTest : public QObject {
    Q_OBJECT
private slots:
    void geometryAndPath_data() {
        QTest::addColumn<int>("side");
        QTest::addColumn<QRectF>("frame");
        QTest::addColumn<QRectF>("viewFrame");
        QTest::addColumn<QList<QPointF>>("path"); // its first points; the tip's index is tipAt
        QTest::addColumn<int>("tipAt");
        QTest::addColumn<QPointF>("tip"); // on the screen
        QTest::newRow("below") << 1 << QRectF(448, 436, 104, 64) << QRectF(2, 2, 100, 50)
                               << QList<QPointF>{{9, 53}, {44.5, 53}, {52, 63}, {59.5, 53}, {95, 53}, {103, 45}} << 2
                               << QPointF(500, 499);
        QTest::newRow("right") << 2 << QRectF(500, 473, 114, 54) << QRectF(12, 2, 100, 50) << QList<QPointF>{}
                               << -1 << QPointF();
        QTest::newRow("below right") << 11 << QRectF(484.5, 436, 104, 64) << QRectF(2, 2, 100, 50)
                                     << QList<QPointF>{{9, 53}, {16.5, 63}, {24, 53}, {95, 53}, {103, 45}} << 1
                                     << QPointF(501, 499);
    }
    void geometryAndPath() {
        QFETCH(int, side);
        QFETCH(QList<QPointF>, path);
        QFETCH(int, tipAt);
        const AttachedMetrics m;
        const AttachedGeometry g = attachedGeometry(kView, kPoint, side, 0, m);
        QTEST(g.frame, "frame");
        QTEST(g.viewFrame, "viewFrame");
        const QList<QPointF> drawn = points(attachedBackgroundPath(g.viewFrame, side, m));
        QCOMPARE(drawn.mid(0, path.size()), path);
        if (tipAt >= 0) QTEST(g.frame.topLeft() + drawn[tipAt], "tip");
    }

    void settingsAreClamped() {
        Host h(MASideBottomRight);
        MAAttachedWindow* w = h.bubble;
        QVERIFY(!MAAttachedWindow::initWithView(nullptr, kPoint, &h.window));
        w->setBorderWidth(5);
        QCOMPARE(w->borderWidth(), 2.0f);
        const QRect before = w->geometry();
        w->setHasArrow(0.5f);
        QCOMPARE(w->hasArrow(), 0.0f);
        QCOMPARE(w->geometry(), before); // the arrow's room stays
        QCOMPARE(points(attachedBackgroundPath(w->viewFrame(), w->side(), w->metrics()))[1], QPointF(95, 53));
        w->setHasArrow(1);
        // A square corner beside the arrow; the others stay round.
        w->setDrawsRoundCornerBesideArrow(0);
        const QList<QPointF> square = points(attachedBackgroundPath(w->viewFrame(), w->side(), w->metrics()));
        QCOMPARE(square.mid(0, 3), (QList<QPointF>{{1, 53}, {8.5, 63}, {16, 53}}));
        QVERIFY(square.contains(QPointF(103, 45)));
        w->setViewMargin(-3);
        QCOMPARE(w->viewMargin(), 0.0f);
    }

    void automaticSide_data() {
        QTest::addColumn<QPointF>("point");
        QTest::addColumn<QRectF>("screen");
        QTest::addColumn<QRectF>("reference");
        QTest::addColumn<int>("side");
        const QRectF screen(0, 0, 1000, 800);
        QTest::newRow("bottom edge, centred panel crosses") << QPointF(500, 20) << screen << screen << 6;
        QTest::newRow("bottom edge, centred panel fits") << QPointF(500, 20) << screen << QRectF(0, -50, 1000, 900)
                                                         << 2;
        QTest::newRow("room below") << QPointF(500, 500) << screen << screen << 1;
        QTest::newRow("nothing fits") << QPointF(60, 30) << QRectF(0, 0, 120, 60) << QRectF(0, 0, 120, 60) << 1;
    }
    void automaticSide() {
        QFETCH(QPointF, point);
        QFETCH(QRectF, screen);
        QFETCH(QRectF, reference);
        QTEST(bestSideForAutomaticPosition(kView, point, 0, AttachedMetrics(), screen, reference), "side");
    }

    void overlayMovesWithItsWindow() {
        Host h(MASideBottom);
        MAAttachedWindow* w = h.bubble;
        h.window.show();
        QCOMPARE(w->geometry(), QRect(448, 600 - 436 - 64, 104, 64));
        QCOMPARE(h.view->geometry(), QRect(2, 12, 100, 50));
        const QPoint global = w->mapToGlobal(QPoint());
        h.window.move(h.window.pos() + QPoint(40, 25));
        QCOMPARE(w->geometry(), QRect(448, 100, 104, 64));
        QCOMPARE(w->mapToGlobal(QPoint()), global + QPoint(40, 25));
    }
};

QTEST_MAIN(AttachedWindowTest)
#include "AttachedWindowTest.moc"
