// The preview strip: data-source calls, selection by click and keys, one
// item's repaint, the cache.
#include "ui/kit/Fonts.h"
#include "ui/widgets/ImageFlowView.h"

#include <QtTest>

using namespace salvor::widgets;

namespace {
struct Photo : ImageFlowItem {
    QString id;
    QImage image;
    QString imageUID() const override { return id; }
    QString imageTitle() const override { return id; }
    QImage imageRepresentation() const override { return image; }
};
struct Strip : ImageFlowDataSource, ImageFlowDelegate {
    std::vector<Photo> photos;
    int counts = 0;
    std::vector<std::int64_t> selected;
    std::int64_t numberOfItemsInImageFlow(ImageFlowView*) override { return ++counts, std::int64_t(photos.size()); }
    const ImageFlowItem* itemAtIndex(ImageFlowView*, std::int64_t i) override {
        return i >= 0 && i < std::int64_t(photos.size()) ? &photos[size_t(i)] : nullptr;
    }
    void didSelectItemAtIndex(ImageFlowView*, std::int64_t i) override { selected.push_back(i); }
};
} // namespace

class ImageFlowViewTest : public QObject {
    Q_OBJECT
private slots:
    void strip() {
        Strip s;
        for (int i = 0; i < 20; ++i) {
            QImage image(60, 40, QImage::Format_RGB32);
            image.fill(QColor::fromHsv(i * 17, 200, 200));
            s.photos.emplace_back();
            s.photos.back().id = QStringLiteral("IMG_%1.JPG").arg(i);
            s.photos.back().image = image;
        }
        ImageFlowView v;
        v.resize(800, 300);
        v.setDataSource(&s);
        v.setDelegate(&s);
        v.reloadData();
        QCOMPARE(s.counts, 1);
        QCOMPARE(v.count(), 20);
        v.show();
        QVERIFY(QTest::qWaitForWindowExposed(&v));
        QTRY_VERIFY(v.lastPainted().count(0) && v.lastPainted().count(2));
        QVERIFY(v.cacheManager().size() >= 3);
        // Selection: a click on a neighbour, then the keys (nothing past the ends).
        QTest::mouseClick(&v, Qt::LeftButton, {}, v.rectForIndex(2).center().toPoint());
        QTest::keyClick(&v, Qt::Key_Right);
        v.setSelectedIndex(0);
        QTest::keyClick(&v, Qt::Key_Left);
        QCOMPARE(s.selected, (std::vector<std::int64_t>{2, 3}));
        QCOMPARE(v.selectedIndex(), 0);
        QTest::qWait(50);
        // One item's new image repaints that item alone.
        s.photos[1].image.fill(Qt::white);
        v.reloadCellDataAtIndex(1);
        QTRY_COMPARE(v.lastPainted(), std::set<std::int64_t>{1});
        QCOMPARE(v.grab().toImage().pixelColor(v.rectForIndex(1).center().toPoint()), QColor(Qt::white));
        v.cacheManager().freeCache();
        QCOMPARE(v.cacheManager().size(), 0u);
    }
};

QTEST_MAIN(ImageFlowViewTest)
#include "ImageFlowViewTest.moc"
