#include "ui/kit/Geometry.h"

#include <QLabel>
#include <QWidget>
#include <QtTest>

using namespace salvor::kit;

class GeometryTest : public QObject {
    Q_OBJECT
private slots:
    void autoresized_data() {
        QTest::addColumn<QRectF>("frame");
        QTest::addColumn<QSizeF>("from");
        QTest::addColumn<QSizeF>("to");
        QTest::addColumn<int>("mask");
        QTest::addColumn<QRectF>("expected");
        // Frame (100, 50, 200, 100) in a 500 × 300 parent grown to 600 × 360:
        // margins left 100, right 200, bottom 50, top 150.
        const QRectF f(100, 50, 200, 100);
        const QSizeF a(500, 300), b(600, 360);
        QTest::newRow("0") << f << a << b << 0 << f;
        QTest::newRow("1 left margin") << f << a << b << 1 << QRectF(200, 50, 200, 100);
        QTest::newRow("2 width") << f << a << b << 2 << QRectF(100, 50, 300, 100);
        QTest::newRow("4 right margin") << f << a << b << 4 << f;
        QTest::newRow("8 bottom margin") << f << a << b << 8 << QRectF(100, 110, 200, 100);
        QTest::newRow("16 height") << f << a << b << 16 << QRectF(100, 50, 200, 160);
        QTest::newRow("32 top margin") << f << a << b << 32 << f;
        QTest::newRow("5 margins 100:200") << f << a << b << 5 << QRectF(100 + 100.0 / 3, 50, 200, 100);
        QTest::newRow("6 width, right 200:200") << f << a << b << 6 << QRectF(100, 50, 250, 100);
        QTest::newRow("18 width and height") << f << a << b << 18 << QRectF(100, 50, 300, 160);
        QTest::newRow("10 width, bottom") << f << a << b << 10 << QRectF(100, 110, 300, 100);
        QTest::newRow("40 bottom, top 50:150") << f << a << b << 40 << QRectF(100, 65, 200, 100);
        QTest::newRow("63 all by length") << f << a << b << 63 << QRectF(120, 60, 240, 120);
        // Flexible parts all 0 long share equally; shrinking never goes negative.
        QTest::newRow("zero lengths") << QRectF(0, 0, 0, 10) << QSizeF(0, 10) << QSizeF(100, 10) << 3
                                      << QRectF(50, 0, 50, 10);
        QTest::newRow("shrink") << QRectF(10, 10, 20, 20) << QSizeF(40, 40) << QSizeF(0, 0) << 18
                                << QRectF(10, 10, 0, 0);
    }
    void autoresized() {
        QFETCH(QRectF, frame);
        QFETCH(QSizeF, from);
        QFETCH(QSizeF, to);
        QFETCH(int, mask);
        QFETCH(QRectF, expected);
        const Frame f = autoresizedFrame({frame.x(), frame.y(), frame.width(), frame.height()}, from, to, mask);
        QVERIFY2(qAbs(f.x - expected.x()) < 1e-9 && qAbs(f.y - expected.y()) < 1e-9 &&
                     qAbs(f.width - expected.width()) < 1e-9 && qAbs(f.height - expected.height()) < 1e-9,
                 qPrintable(QStringLiteral("got %1 %2 %3 %4").arg(f.x).arg(f.y).arg(f.width).arg(f.height)));
    }
    // The (40, 40, 380, 18) label in a 65-high box sits at Qt y 7; a widget never
    // framed answers its frame from its geometry.
    void lowerLeftFramesInQt() {
        QCOMPARE(toQtRect({40, 40, 380, 18}, 65), QRect(40, 7, 380, 18));
        QCOMPARE(fromQtRect(QRect(12, 30, 100, 25), 200), (Frame{12, 145, 100, 25}));
        QWidget box;
        box.resize(460, 65);
        auto* label = new QLabel(QStringLiteral("files"), &box);
        setFrame(label, {40, 40, 380, 18}, kViewWidthSizable);
        QCOMPARE(label->geometry(), QRect(40, 7, 380, 18));
        auto* plain = new QWidget(&box);
        plain->setGeometry(5, 10, 20, 30);
        QCOMPARE(frame(plain), (Frame{5, 25, 20, 30}));
    }
    void childrenFollowTheirParent() {
        QWidget shown;
        shown.resize(800, 600);
        shown.show();
        QWidget& window = *new QWidget(&shown); // a visible child: its resize events come at once
        window.resize(500, 300);
        auto* stuck = new QWidget(&window);
        auto* right = new QWidget(&window);
        auto* stretch = new QWidget(&window);
        auto* top = new QWidget(&window);
        setFrame(stuck, {10, 10, 50, 20});
        setFrame(right, {440, 10, 50, 20}, kViewMinXMargin);
        setFrame(stretch, {10, 40, 480, 200}, kViewWidthSizable | kViewHeightSizable);
        setFrame(top, {0, 280, 500, 20}, kViewMinYMargin | kViewWidthSizable);
        window.show();
        window.resize(600, 360);
        QCOMPARE(stuck->geometry(), QRect(10, 330, 50, 20));
        QCOMPARE(right->geometry(), QRect(540, 330, 50, 20));
        QCOMPARE(stretch->geometry(), QRect(10, 60, 580, 260));
        QCOMPARE(top->geometry(), QRect(0, 0, 600, 20));
        QCOMPARE(frame(right), (Frame{540, 10, 50, 20}));
        // And back: the frames return to where they were.
        window.resize(500, 300);
        QCOMPARE(frame(stretch), (Frame{10, 40, 480, 200}));
        QCOMPARE(top->geometry(), QRect(0, 0, 500, 20));
    }
    void sizeChangeWhileHiddenIsCaughtUp() {
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
    void flippedParentMeasuresFromTheTop() {
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
};

QTEST_MAIN(GeometryTest)
#include "GeometryTest.moc"
