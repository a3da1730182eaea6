// Cell geometry, the click latch, stripes, progress widths, search fields and
// overlay scrollers.
#include "ui/kit/Geometry.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/OverlayScroller.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/SearchFields.h"

#include <QElapsedTimer>
#include <QLabel>
#include <QPainter>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

namespace {
struct Clicks : NewButtonDelegate {
    int count = 0;
    void clickButtonAction(NewButton*) override { ++count; }
};
struct Keys : NewSearchTextFiledDelegate {
    QList<std::optional<QString>> keys;
    void doSearchWithKey(const std::optional<QString>& key) override { keys << key; }
};
QPixmap solid(int w, int h, QColor c) {
    QPixmap p(w, h);
    p.fill(c);
    return p;
}
} // namespace

class CellsTest : public QObject {
    Q_OBJECT
private slots:
    void newButtonGeometry_data() {
        QTest::addColumn<double>("height");
        QTest::addColumn<bool>("icon");
        QTest::addColumn<QRectF>("check");
        QTest::addColumn<QRectF>("iconRect");
        QTest::addColumn<QRectF>("label");
        // Box, icon and label 6 apart, none covering another.
        QTest::newRow("300x30") << 30.0 << true << QRectF(5, 8, 14, 14) << QRectF(25, 5, 20, 20)
                                << QRectF(51, 7, 800, 16);
        QTest::newRow("no icon") << 30.0 << false << QRectF(5, 8, 14, 14) << QRectF() << QRectF(25, 7, 800, 16);
        QTest::newRow("row 17") << 17.0 << true << QRectF(5, 2, 14, 14) << QRectF(25, -1, 20, 20)
                                << QRectF(51, 1, 800, 16);
    }
    void newButtonGeometry() {
        QFETCH(double, height);
        QFETCH(bool, icon);
        NewButton b;
        b.checkBoxImage = solid(14, 14, Qt::red);
        b.hasIconCell = icon;
        const QRectF bounds(0, 0, 300, height);
        QTEST(b.imageFrameRectForBounds(bounds), "check");
        QTEST(b.iconImageRectForBounds(bounds), "iconRect");
        QTEST(b.imageRectForBounds(bounds), "label");
    }

    void newButtonHitAreaAndLatch() {
        kit::setAnimationDurationScale(0.1);
        NewButton::changeValue();
        Clicks d;
        NewButton a, other;
        a.delegate = other.delegate = &d;
        const QRectF cell(0, 0, 300, 30);
        QVERIFY(!a.hitTest(QPointF(20, 10), cell)); // 15 wide
        QVERIFY(a.hitTest(QPointF(10, 10), cell));
        QVERIFY(!other.hitTest(QPointF(10, 10), cell)); // shared latch
        QCOMPARE(d.count, 1);
        QTRY_VERIFY_WITH_TIMEOUT(!NewButton::latchClosed(), 1000);
        QVERIFY(a.hitTest(QPointF(1, 29), cell));
        QCOMPARE(d.count, 2);
        NewButton::changeValue();
        kit::setAnimationDurationScale(1);
    }

    void imageAndTextCell() {
        ImageAndTextCell c;
        QCOMPARE(c.cellSize(QSizeF(100, 17)), QSizeF(103, 17));
        QCOMPARE(c.editingRect(QRectF(10, 0, 100, 17)).left(), 13.0);
        c.image = solid(32, 32, Qt::red);
        QCOMPARE(c.cellSize(QSizeF(100, 17)), QSizeF(135, 17));
        QCOMPARE(c.editingRect(QRectF(0, 0, 100, 17)).left(), 35.0);
        QImage img(200, 39, QImage::Format_ARGB32);
        img.fill(Qt::black);
        {
            QPainter p(&img);
            c.draw(p, QRectF(0, 0, 200, 39));
        }
        const QRectF icon = c.iconRect(QRectF(0, 0, 19, 39));
        QCOMPARE(icon.size(), QSizeF(16, 16)); // drawn 16 x 16 whatever its size
        QCOMPARE(img.pixelColor(icon.center().toPoint()), QColor(Qt::red));
        QCOMPARE(img.pixelColor(20, int(icon.center().y())), QColor(Qt::black));
    }

    void stripesAndHeader() {
        QCOMPARE(stripeBandCount(30), 1);
        QCOMPARE(stripeBandCount(80), 3);
        CustomHeaderCell h("Name");
        QImage plain(100, 25, QImage::Format_ARGB32), lit(100, 25, QImage::Format_ARGB32);
        for (auto [img, hi] : {std::pair{&plain, false}, std::pair{&lit, true}}) {
            img->fill(Qt::transparent);
            QPainter p(img);
            h.draw(p, QRectF(0, 0, 100, 25), hi);
        }
        QCOMPARE(plain, lit);
        h.priority = 0;
        QCOMPARE(h.sortIndicator(QRectF(0, 0, 100, 25)),
                 QPolygonF({QPointF(88, 15), QPointF(92, 8), QPointF(96, 15)}));
    }

    void progressWidths_data() {
        QTest::addColumn<float>("percent");
        QTest::addColumn<double>("width");
        QTest::newRow("50") << 50.f << 184.0;
        QTest::newRow("99.8 snaps") << 99.8f << 368.0;
        QTest::newRow("99.7 stays") << 99.7f << double(366.896f);
        QTest::newRow("150") << 150.f << 368.0;
        QTest::newRow("-5 empty") << -5.f << 0.0;
    }
    void progressWidths() {
        QFETCH(float, percent);
        QFETCH(double, width);
        VXProgressView v;
        v.changeProgressValue(percent);
        QCOMPARE(float(kit::frame(v.bar()).width), float(width));
    }
    void progressTrackOf348View() {
        VXProgressView v(QSize(348, 6));
        QCOMPARE(v.track()->width(), 368);
        v.resize(400, 6);
        kit::layoutFramedChildren(&v); // a hidden view gets its resize event when shown
        QCOMPARE(v.track()->width(), 420);
        v.changeProgressValue(100);
        QCOMPARE(v.bar()->width(), 400);
    }

    void searchField() {
        QCOMPARE(THSearchField::cornerRadius(QSizeF(200, 22)), 5.5);
        NewSearchTextFiled f;
        Keys k;
        f.setSearchDelegate(&k);
        QTest::keyClicks(f.textField(), "ab");
        QVERIFY(k.keys.isEmpty());
        QVERIFY(!f.clearButton()->isHidden());
        QTest::keyClick(f.textField(), Qt::Key_Backspace);
        QTest::keyClick(f.textField(), Qt::Key_Backspace);
        QCOMPARE(k.keys, QList<std::optional<QString>>{std::nullopt}); // once, when the last character goes
        QVERIFY(f.clearButton()->isHidden());
        QTest::keyClick(f.textField(), Qt::Key_Return);
        QCOMPARE(k.keys.last(), std::optional<QString>(QString()));
        k.keys.clear();
        f.clearTextFieldAction(); // already empty: nothing
        QTest::keyClicks(f.textField(), "x");
        f.setTitleWithMnemonic("ignored");
        QVERIFY(k.keys.isEmpty());
        QVERIFY(f.textField()->text().isEmpty());
    }

    void overlayKnobsAndFrames() {
        QCOMPARE(overlayKnobRect(QRectF(2, 40, 11, 80)), QRectF(7, 40, 5, 80));
        QCOMPARE(overlayKnobRect(QRectF(40, 2, 80, 11)), QRectF(40, 5, 80, 5));
        QCOMPARE(overlayKnobRect(QRectF(0, 0, 20, 30)), QRectF(0, 0, 20, 30));
        const OverlayFrames f = overlayScrollerFrames(QSize(300, 200), 17);
        QCOMPARE(f.vertical, QRect(285, 17, 15, 183));
        QCOMPARE(f.horizontal, QRect(0, 188, 285, 12));
        QCOMPARE(overlayScrollerFrames(QSize(300, 200), 0).vertical, QRect(285, 0, 15, 200));
    }

    void overlayKnobDragAndPage() {
        RFOverlayScroller s(Qt::Vertical);
        s.resize(15, 200);
        s.setRange(0, 100);
        s.setPageStep(100); // knob 100 long
        QCOMPARE(s.drawnKnob(), QRectF(5, 0, 5, 100));
        QTest::mousePress(&s, Qt::LeftButton, {}, QPoint(7, 10));
        QTest::mouseMove(&s, QPoint(7, 60));
        QTest::mouseRelease(&s, Qt::LeftButton, {}, QPoint(7, 60));
        QCOMPARE(s.value(), 50);
        QTest::mouseClick(&s, Qt::LeftButton, {}, QPoint(7, 20)); // above the knob: a page up
        QCOMPARE(s.value(), 0);
    }

    void overlayFadeOnce() {
        kit::setAnimationDurationScale(0.2); // 1.5 s -> 300 ms
        RFOverlayScroller s(Qt::Vertical);
        s.setRange(0, 100);
        QElapsedTimer clock;
        qint64 fadedAt = -1;
        connect(&s, &RFOverlayScroller::fadedOut, &s, [&] { fadedAt = clock.elapsed(); });
        s.setValue(10);
        QTest::qWait(200); // "1 s" scaled
        clock.start();
        s.setValue(20);
        QTRY_VERIFY_WITH_TIMEOUT(fadedAt >= 0, 3000);
        QVERIFY2(fadedAt >= 290, qPrintable(QString::number(fadedAt)));
        QTest::qWait(400);
        QCOMPARE(s.fadeOutCount(), 1);
        QCOMPARE(s.alphaValue(), 1.0);
        kit::setAnimationDurationScale(1);
    }
};

QTEST_MAIN(CellsTest)
#include "CellsTest.moc"
