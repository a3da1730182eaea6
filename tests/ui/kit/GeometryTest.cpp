#include "ui/kit/Geometry.h"

#include <QLabel>
#include <QWidget>
#include <QtTest>

using namespace salvor::kit;

namespace {
const QSizeF kOld(500, 300), kNew(600, 360); // +100 wide, +60 high
}

class GeometryTest : public QObject {
    Q_OBJECT
private slots:
    void eachMaskBit_data();
    void eachMaskBit();
    void combinationsInUse_data();
    void combinationsInUse();
    void allFlexibleZeroLengthsShareEqually();
    void shrinkingNeverGivesANegativeSize();
    void labelAtLowerLeftInABox();
    void roundTripOfQtRects();
    void childrenFollowTheirParent();
    void sizeChangeWhileHiddenIsCaughtUp();
    void flippedParentMeasuresFromTheTop();
    void plainWidgetFrameComesFromItsGeometry();
};

// Frame (100, 50, 200, 100) in a 500 × 300 parent: margins left 100, right 200,
// bottom 50, top 150.
void GeometryTest::eachMaskBit_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<QRectF>("expected");
    QTest::newRow("none") << 0 << QRectF(100, 50, 200, 100);
    QTest::newRow("1 left margin") << 1 << QRectF(200, 50, 200, 100);
    QTest::newRow("2 width") << 2 << QRectF(100, 50, 300, 100);
    QTest::newRow("4 right margin") << 4 << QRectF(100, 50, 200, 100);
    QTest::newRow("8 bottom margin") << 8 << QRectF(100, 110, 200, 100);
    QTest::newRow("16 height") << 16 << QRectF(100, 50, 200, 160);
    QTest::newRow("32 top margin") << 32 << QRectF(100, 50, 200, 100);
}

void GeometryTest::eachMaskBit() {
    QFETCH(int, mask);
    QFETCH(QRectF, expected);
    const Frame f = autoresizedFrame({100, 50, 200, 100}, kOld, kNew, mask);
    QCOMPARE(QRectF(f.x, f.y, f.width, f.height), expected);
}

void GeometryTest::combinationsInUse_data() {
    QTest::addColumn<int>("mask");
    QTest::addColumn<QRectF>("expected");
    // 5: both side margins share +100 as 100 : 200.
    QTest::newRow("5") << 5 << QRectF(100 + 100.0 / 3, 50, 200, 100);
    // 6: width and right margin share +100 as 200 : 200.
    QTest::newRow("6") << 6 << QRectF(100, 50, 250, 100);
    // 18: width and height take the whole change.
    QTest::newRow("18") << 18 << QRectF(100, 50, 300, 160);
    // 10: width, and the bottom margin takes the height change.
    QTest::newRow("10") << 10 << QRectF(100, 110, 300, 100);
    // 40: bottom and top margins share +60 as 50 : 150.
    QTest::newRow("40") << 40 << QRectF(100, 65, 200, 100);
    // 63: everything flexible, shared by length.
    QTest::newRow("63") << 63 << QRectF(120, 60, 240, 120);
}

void GeometryTest::combinationsInUse() {
    QFETCH(int, mask);
    QFETCH(QRectF, expected);
    const Frame f = autoresizedFrame({100, 50, 200, 100}, kOld, kNew, mask);
    QVERIFY2(qAbs(f.x - expected.x()) < 1e-9 && qAbs(f.y - expected.y()) < 1e-9 &&
                 qAbs(f.width - expected.width()) < 1e-9 && qAbs(f.height - expected.height()) < 1e-9,
             qPrintable(QStringLiteral("got %1 %2 %3 %4").arg(f.x).arg(f.y).arg(f.width).arg(f.height)));
}

void GeometryTest::allFlexibleZeroLengthsShareEqually() {
    // A zero-width view flush with the left edge: left margin and width are
    // both 0, so the change is split equally.
    const Frame f = autoresizedFrame({0, 0, 0, 10}, QSizeF(0, 10), QSizeF(100, 10), kViewMinXMargin | kViewWidthSizable);
    QCOMPARE(f.x, 50.0);
    QCOMPARE(f.width, 50.0);
}

void GeometryTest::shrinkingNeverGivesANegativeSize() {
    const Frame f = autoresizedFrame({10, 10, 20, 20}, QSizeF(40, 40), QSizeF(0, 0), kViewWidthSizable | kViewHeightSizable);
    QCOMPARE(f.width, 0.0);
    QCOMPARE(f.height, 0.0);
}

void GeometryTest::labelAtLowerLeftInABox() {
    QCOMPARE(toQtRect({40, 40, 380, 18}, 65), QRect(40, 7, 380, 18));
    QWidget box;
    box.resize(460, 65);
    auto* label = new QLabel(QStringLiteral("files"), &box);
    setFrame(label, {40, 40, 380, 18}, kViewWidthSizable);
    QCOMPARE(label->geometry(), QRect(40, 7, 380, 18));
}

void GeometryTest::roundTripOfQtRects() {
    const QRect r(12, 30, 100, 25);
    const Frame f = fromQtRect(r, 200);
    QCOMPARE(f, (Frame{12, 145, 100, 25}));
    QCOMPARE(toQtRect(f, 200), r);
}

void GeometryTest::childrenFollowTheirParent() {
    QWidget shown;
    shown.resize(800, 600);
    shown.show();
    QWidget& window = *new QWidget(&shown); // a visible child: its resize events come at once
    window.resize(500, 300);
    auto* stuck = new QWidget(&window);   // mask 0: keeps its distance to the bottom
    auto* right = new QWidget(&window);   // mask 1: keeps its distance to the right
    auto* stretch = new QWidget(&window); // mask 18: grows with the window
    auto* top = new QWidget(&window);     // mask 8|2: keeps its distance to the top
    setFrame(stuck, {10, 10, 50, 20});
    setFrame(right, {440, 10, 50, 20}, kViewMinXMargin);
    setFrame(stretch, {10, 40, 480, 200}, kViewWidthSizable | kViewHeightSizable);
    setFrame(top, {0, 280, 500, 20}, kViewMinYMargin | kViewWidthSizable);
    window.show();
    QVERIFY(window.isVisible());
    window.resize(600, 360);
    QCOMPARE(stuck->geometry(), QRect(10, 330, 50, 20));
    QCOMPARE(right->geometry(), QRect(540, 330, 50, 20));
    QCOMPARE(stretch->geometry(), QRect(10, 60, 580, 260));
    QCOMPARE(top->geometry(), QRect(0, 0, 600, 20));
    QCOMPARE(frame(right), (Frame{540, 10, 50, 20}));
    QCOMPARE(autoresizingMask(right), int(kViewMinXMargin));
    // And back: the frames return to where they were.
    window.resize(500, 300);
    QCOMPARE(frame(stretch), (Frame{10, 40, 480, 200}));
    QCOMPARE(top->geometry(), QRect(0, 0, 500, 20));
}

void GeometryTest::sizeChangeWhileHiddenIsCaughtUp() {
    QWidget window;
    window.resize(200, 100);
    auto* a = new QWidget(&window);
    setFrame(a, {10, 10, 20, 20}, kViewMinXMargin);
    window.resize(300, 150); // hidden: Qt holds the resize event back
    auto* b = new QWidget(&window);
    setFrame(b, {0, 0, 10, 10}); // catches the siblings up first
    QCOMPARE(a->geometry(), QRect(110, 120, 20, 20));
    QCOMPARE(b->geometry(), QRect(0, 140, 10, 10));
    window.show();
    QCOMPARE(a->geometry(), QRect(110, 120, 20, 20));
}

void GeometryTest::flippedParentMeasuresFromTheTop() {
    QWidget shown;
    shown.resize(400, 400);
    shown.show();
    QWidget& table = *new QWidget(&shown);
    table.resize(300, 200);
    setFlipped(&table, true);
    auto* cell = new QWidget(&table);
    setFrame(cell, {16, 121, 13, 13}, kViewMaxYMargin);
    QCOMPARE(cell->geometry(), QRect(16, 121, 13, 13));
    table.show();
    table.resize(300, 260);
    QCOMPARE(cell->geometry(), QRect(16, 121, 13, 13));
}

void GeometryTest::plainWidgetFrameComesFromItsGeometry() {
    QWidget parent;
    parent.resize(100, 80);
    auto* w = new QWidget(&parent);
    w->setGeometry(5, 10, 20, 30);
    QCOMPARE(frame(w), (Frame{5, 40, 20, 30}));
}

QTEST_MAIN(GeometryTest)
#include "GeometryTest.moc"
