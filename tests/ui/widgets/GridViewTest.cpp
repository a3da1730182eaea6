// The thumbnail grid: geometry, item life cycle and pooling, insert/remove,
// the items' drawing rectangles, tick box and thumbnails, hover, selection,
// clicks, the context menu and the rubber band.
#include "platform/NotificationCenter.h"
#include "ui/kit/ViewAnimation.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/GridView.h"

#include <QScrollBar>
#include <QtTest>

#include <memory>
#include <thread>

using namespace salvor;
using namespace salvor::widgets;

namespace {

void settle() {
    for (int i = 0; i < 4; ++i) QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

struct Source : CNGridViewDataSource {
    std::uint64_t count = 0;
    std::vector<std::int64_t> asked;
    std::uint64_t numberOfItemsInSection(CNGridView*, std::int64_t) override { return count; }
    CNGridViewItemBase* itemAtIndex(CNGridView* grid, std::int64_t i, std::int64_t) override {
        asked.push_back(i);
        CNGridViewItemBase* item = grid->dequeueReusableItemWithIdentifier(kCNDefaultItemIdentifier);
        return item ? item : new CNGridViewItem(nullptr, kCNDefaultItemIdentifier);
    }
};

// A grid in a scroll view of size (no scroll bar: the viewport is the size).
struct Grid {
    CNGridScrollView view;
    Source source;
    Grid(QSize size, std::uint64_t count, bool centre = false) {
        view.setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        grid()->setUseCenterAlignment(centre);
        view.resize(size);
        view.show();
        source.count = count;
        grid()->setDataSource(&source);
        grid()->reloadData();
        settle();
    }
    CNGridView* grid() { return view.gridView(); }
    void scrollTo(double y) {
        view.scrollToY(y);
        settle();
    }
    int itemWidgets() { return grid()->findChildren<CNGridViewItemBase*>().size(); }
};

// Every grid notification as "name index-or-payload".
struct Log {
    QStringList lines;
    Log() {
        for (const char* name :
             {CNGridViewWillHoverItemNotification, CNGridViewWillUnhoverItemNotification,
              CNGridViewWillSelectItemNotification, CNGridViewDidSelectItemNotification,
              CNGridViewWillDeselectAllItemsNotification, CNGridViewDeSelectAllItemsNotification,
              CNGridViewDidDeselectAllItemsNotification, CNGridViewDidClickItemNotification,
              CNGridViewDidDoubleClickItemNotification, CNGridViewRightMouseButtonClickedOnItemNotification})
            platform::NotificationCenter::defaultCenter().addObserver(this, name, [this](const platform::Notification& n) {
                std::string v = n.value(CNGridViewItemIndexKey) + n.value(CNGridViewItemsIndexSetKey) +
                                n.value(CNGridViewSelectedItemsKey);
                if (v == std::to_string(NSNotFound)) v = "none";
                lines << QString::fromStdString(n.name.substr(10) + (v.empty() ? "" : " " + v));
            });
    }
    ~Log() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    QStringList take() { return std::exchange(lines, {}); }
};

void send(QWidget* w, QEvent::Type type, QPointF at, Qt::MouseButton button = Qt::NoButton,
          Qt::MouseButtons buttons = Qt::NoButton, Qt::KeyboardModifiers mods = {}) {
    QMouseEvent e(type, at, w->mapToGlobal(at), button, buttons, mods);
    QApplication::sendEvent(w, &e);
}

QImage image(int w, int h) {
    QImage i(w, h, QImage::Format_ARGB32);
    i.fill(Qt::red);
    return i;
}

struct Ticks : CNGridViewItemDelegate {
    std::vector<std::int64_t> indexes;
    void doSelectItem(std::int64_t i) override { indexes.push_back(i); }
};

} // namespace

class GridViewTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { kit::setAnimationDurationScale(0); }

    void geometry_data() {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("centre");
        QTest::addColumn<double>("clipY");
        QTest::addColumn<int>("columns");
        QTest::addColumn<double>("height");
        QTest::addColumn<int>("rangeStart");
        QTest::newRow("449 wide") << QSize(449, 300) << 7 << false << 0.0 << 2 << 600.0 << 0;
        QTest::newRow("449 centred") << QSize(449, 300) << 7 << true << 0.0 << 2 << 600.0 + 2 * 74 << 0;
        QTest::newRow("150 wide") << QSize(150, 300) << 3 << false << 0.0 << 1 << 450.0 << 0;
        QTest::newRow("40 wide") << QSize(40, 300) << 3 << false << 0.0 << 1 << 450.0 << 0;
        QTest::newRow("clip 300") << QSize(600, 300) << 100 << false << 300.0 << 4 << 3750.0 << 4;
        QTest::newRow("clip 150") << QSize(600, 300) << 100 << false << 150.0 << 4 << 3750.0 << 0;
        QTest::newRow("clip 151") << QSize(600, 300) << 100 << false << 151.0 << 4 << 3750.0 << 4;
    }
    void geometry() {
        QFETCH(QSize, size);
        QFETCH(int, count);
        QFETCH(bool, centre);
        QFETCH(double, clipY);
        Grid g(size, count, centre);
        g.scrollTo(clipY);
        QCOMPARE(g.grid()->clippedRect().y(), clipY);
        QTEST(int(g.grid()->columnsInGridView()), "columns");
        QTEST(g.grid()->frame().height(), "height");
        QTEST(int(g.grid()->visibleItemRange().first), "rangeStart");
    }

    // Title and header are only kept; a header that goes away is forgotten,
    // and the redisplay a resize schedules never outlives the grid.
    void titleHeaderAndDelayedRefresh() {
        auto g = std::make_unique<Grid>(QSize(300, 300), 4);
        QCOMPARE(g->grid()->gridViewTitle(), QString());
        g->grid()->setGridViewTitle(QStringLiteral("Photos"));
        QCOMPARE(g->grid()->gridViewTitle(), QStringLiteral("Photos"));
        auto* header = new QWidget;
        g->grid()->setHeaderView(header);
        QCOMPARE(g->grid()->headerView(), header);
        delete header;
        QCOMPARE(g->grid()->headerView(), nullptr);
        g->grid()->setFrame(QRectF(0, 0, 450, 300));
        g.reset();
        QTest::qWait(400);
    }

    void hitsAndLocations() {
        Grid g(QSize(600, 450), 10); // 4 columns, last row 8 and 9
        CNGridView* v = g.grid();
        const struct {
            QPointF at;
            std::int64_t index;
        } hits[] = {{{75, 75}, 0}, {{599, 10}, 3}, {{600, 10}, NSNotFound}, {{610, 10}, NSNotFound},
                    {{375, 375}, NSNotFound}, {{225, 375}, 9}};
        for (const auto& h : hits) QCOMPARE(v->indexForItemAtLocation(h.at), h.index);
        QCOMPARE(v->locationForItemAtIndex(0), CNMakeItemPoint(1, 1));
        QCOMPARE(v->locationForItemAtIndex(5), CNMakeItemPoint(2, 2));
    }

    void itemsLifeCycle() {
        Grid g(QSize(600, 450), 20); // 4 columns x (3 + 1) rows
        CNGridView* v = g.grid();
        QCOMPARE(v->numberOfVisibleItems(), 16u);
        QCOMPARE(kit::viewAlpha(v->visibleItem(5)), 1.0);
        QCOMPARE(v->visibleItem(5)->geometry(), QRect(150, 150, 150, 150));
        // setItemSize: cells stay 150 x 150, the refresh is a fade-in.
        v->setItemSize(QSizeF(50, 50));
        QVERIFY(v->isInitialCall());
        settle();
        QCOMPARE(v->visibleItem(5)->size(), QSize(150, 150));
        // Insert at 3: 3..15 become 4..16 before the new 3 is asked for.
        CNGridViewItemBase* third = v->visibleItem(3);
        CNGridViewItemBase* last = v->visibleItem(15);
        g.source.asked.clear();
        v->insertItemAtIndex(3, false);
        QVERIFY(!v->visibleItem(3));
        QCOMPARE(v->visibleItem(4), third);
        QCOMPARE(third->index(), 4);
        QCOMPARE(v->visibleItem(16), last);
        QCOMPARE(third->gridFrame(), v->rectForItemAtIndex(4));
        QVERIFY(g.source.asked.empty());
        settle();
        QCOMPARE(g.source.asked, std::vector<std::int64_t>{3});
        QCOMPARE(v->numberOfItems(), 21);
        // Removing indexes without visible items lowers the count only; past
        // the count it stops at 0.
        v->removeItemsAtIndexes({18, 19, 20}, false);
        QCOMPARE(v->numberOfItems(), 18);
        QCOMPARE(v->visibleItem(4), third);
        IndexSet many;
        for (int i = 100; i < 200; ++i) many.insert(i);
        v->removeItemsAtIndexes(many, false);
        QCOMPARE(v->numberOfItems(), 0);
        settle();
        QCOMPARE(v->numberOfVisibleItems(), 0u);
        // A reload lets the old items go, selected ones too: the selection
        // forgets them (ASan would catch a later use).
        g.source.count = 20;
        v->reloadData();
        settle();
        v->selectItem(v->visibleItem(2));
        v->reloadData();
        settle();
        QVERIFY(v->selectedIndexes().empty());
        v->deselectAllItems();
    }

    void scrollingPoolsItems() {
        Grid g(QSize(600, 450), 100000);
        CNGridView* v = g.grid();
        const int bound = int((v->visibleRowsInGridView() + 1) * v->columnsInGridView());
        const int max = g.view.verticalScrollBar()->maximum();
        QCOMPARE(max, 25000 * 150 - 450);
        int most = 0;
        for (int step = 0; step <= 400; ++step) {
            g.scrollTo(step <= 200 ? double(max) * step / 200 : double(max) * (400 - step) / 200);
            most = std::max(most, g.itemWidgets());
        }
        QVERIFY2(most <= bound, qPrintable(QString::number(most)));
        for (std::int64_t i : g.source.asked) QVERIFY(i >= 0 && i < 100000);
        QVERIFY(std::count(g.source.asked.begin(), g.source.asked.end(), 99999) > 0);
        QCOMPARE(v->visibleItem(0)->geometry().topLeft(), QPoint(0, 0));
    }

    // Images wider or taller than 90 are capped side by side; smaller ones keep
    // their size, centred across and 10 above the tile's centre.
    void itemImageRect() {
        const QRectF bounds(0, 0, 150, 150);
        QCOMPARE(CNGridViewItem::imageRectForSize({300, 100}, bounds), QRectF(32.5, 22.5, 90, 90));
        QCOMPARE(CNGridViewItem::imageRectForSize({90, 90}, bounds), QRectF(32.5, 22.5, 90, 90));
        const QRectF small = CNGridViewItem::imageRectForSize({40, 60}, bounds);
        QCOMPARE(small, QRectF(57.5, 37.5, 40, 60));
        QCOMPARE(small.center(), CNGridViewItem::tileRect(bounds).center() - QPointF(0, 10));
    }

    void tickBox_data() {
        QTest::addColumn<int>("state");
        QTest::addColumn<bool>("running");
        QTest::addColumn<bool>("paused");
        QTest::addColumn<QString>("image");
        QTest::newRow("partly ticked") << 1 << false << false << "checkbox_no";
        QTest::newRow("unticked") << 0 << false << false << "checkbox_yes";
        QTest::newRow("scan running") << 2 << true << false << "";
        QTest::newRow("scan paused") << 2 << true << true << "checkbox_no";
    }
    void tickBox() {
        QFETCH(int, state);
        QFETCH(bool, running);
        QFETCH(bool, paused);
        CNGridViewItem item;
        item.setTicksLocked(running && !paused); // as the window tells it
        Ticks ticks;
        item.setDelegate(&ticks);
        item.setIndex(7);
        item.setNode(OpNodeData::initWithNodeData({}));
        item.node()->setNodeState(state);
        item.itemButton()->click();
        QTEST(item.itemButton()->imageName(), "image");
        QCOMPARE(ticks.indexes, item.itemButton()->imageName().isEmpty() ? std::vector<std::int64_t>{}
                                                                          : std::vector<std::int64_t>{7});
    }

    void notificationsReachEveryItemAndReuseClears() {
        CNGridViewItem a, pooled;
        a.setSelected(true);
        pooled.setSelected(true);
        pooled.hide();
        platform::NotificationCenter::defaultCenter().post(CNGridViewDeSelectAllItemsNotification);
        QVERIFY(!a.selected() && !pooled.selected());
        a.setIndex(4);
        a.setItemTitle("x.jpg");
        a.refImageWithImage(image(10, 10));
        a.prepareForReuse();
        QCOMPARE(a.index(), NSNotFound);
        QVERIFY(a.itemImage().isNull() && a.itemTitle().isEmpty());
    }

    // Images made on another thread reach the item showing their node, and
    // no other; an empty image is ignored. (Also run under ThreadSanitizer.)
    void thumbnailsFromAThread() {
        auto item = std::make_unique<CNGridViewItem>();
        const OpNodeRef a = OpNodeData::initWithNodeData({}), b = OpNodeData::initWithNodeData({});
        item->setNode(a);
        const ThumbnailTarget target = item->thumbnailTarget();
        std::thread([&] {
            target.updateImageViewWithImage(image(0, 5), a);
            target.updateImageViewWithImage(image(20, 10), a);
        }).join();
        settle();
        QCOMPARE(item->itemImage().size(), QSize(20, 10));
        item->prepareForReuse();
        item->setNode(b);
        std::thread worker([&] {
            for (int i = 0; i < 50; ++i) target.updateImageViewWithImage(image(30, 30), a);
        });
        for (int i = 0; i < 50; ++i) QCoreApplication::processEvents();
        worker.join();
        settle();
        QVERIFY(item->itemImage().isNull());
        std::thread late([&] { target.updateImageViewWithImage(image(30, 30), b); });
        item.reset();
        late.join();
        settle(); // dropped: the item is gone
    }

    void hover() {
        Grid g(QSize(600, 450), 10);
        Log log;
        CNGridView* v = g.grid();
        send(v, QEvent::MouseMove, {525, 75});
        QCOMPARE(log.take(), QStringList{"WillHoverItem 3"});
        QVERIFY(v->visibleItem(3)->hovered());
        send(v, QEvent::MouseMove, {450, 375});
        QCOMPARE(log.take(), (QStringList{"WillUnhoverItem 3", "WillHoverItem none"}));
        QVERIFY(!v->visibleItem(3)->hovered());
        send(v, QEvent::MouseMove, {500, 400});
        QVERIFY(log.take().isEmpty());
        QCOMPARE(v->lastHoveredIndex(), NSNotFound);
    }

    void rightClick() {
        Grid g(QSize(600, 450), 10);
        CNGridView* v = g.grid();
        QMenu menu;
        QAction* open = menu.addAction("Open");
        QVariant carried;
        v->setItemContextMenu(&menu);
        v->popUpMenu = [&](QMenu*, const QPoint&) { carried = open->data(); };
        v->selectItem(v->visibleItem(1));
        v->selectItem(v->visibleItem(2));
        Log log;
        send(v, QEvent::MouseButtonPress, {225, 225}, Qt::RightButton, Qt::RightButton); // item 5
        QCOMPARE(log.take(), (QStringList{"WillDeselectAllItems 1,2", "DeSelectAllItems", "DidDeselectAllItems",
                                          "WillSelectItem 5", "DidSelectItem 5", "RightMouseButtonClickedOnItem 5"}));
        QCOMPARE(carried.toList(), QVariantList{5});
        QVERIFY(!v->visibleItem(1)->selected() && v->visibleItem(5)->selected());
        v->selectItem(v->visibleItem(6));
        log.take();
        send(v, QEvent::MouseButtonPress, {375, 225}, Qt::RightButton, Qt::RightButton); // item 6, selected
        QCOMPARE(log.take(), QStringList{"RightMouseButtonClickedOnItem 5,6"});
        QCOMPARE(v->selectedIndexes(), (IndexSet{5, 6}));
        send(v, QEvent::MouseButtonPress, {450, 375}, Qt::RightButton, Qt::RightButton); // empty space
        QVERIFY(v->selectedIndexes().empty());
    }

    void clicks_data() {
        QTest::addColumn<QList<int>>("items");
        QTest::addColumn<QStringList>("heard");
        QTest::newRow("2 2 5") << QList<int>{2, 2, 5} << QStringList{"DidDoubleClickItem 2", "DidClickItem 5"};
        QTest::newRow("2 5 2") << QList<int>{2, 5, 2}
                               << QStringList{"DidClickItem 2", "DidClickItem 5", "DidClickItem 2"};
        QTest::newRow("2 5 5") << QList<int>{2, 5, 5} << QStringList{"DidClickItem 2", "DidDoubleClickItem 5"};
        QTest::newRow("2 2") << QList<int>{2, 2} << QStringList{"DidDoubleClickItem 2"};
    }
    void clicks() {
        QFETCH(QList<int>, items);
        Grid g(QSize(600, 450), 10);
        std::vector<QPointF> at;
        for (int i : items) at.push_back(g.grid()->rectForItemAtIndex(i).center());
        Log log;
        g.grid()->handleClicks(at);
        QTEST(log.take(), "heard");
    }

    void shiftSelectsARangeAscending() {
        Grid g(QSize(600, 450), 10);
        CNGridView* v = g.grid();
        v->setAllowsMultipleSelection(true);
        v->selectItemAtIndex(7, {});
        Log log;
        v->selectItemAtIndex(3, CNGridView::kShift);
        QStringList selects = log.take().filter("WillSelect");
        QCOMPARE(selects, (QStringList{"WillSelectItem 3", "WillSelectItem 4", "WillSelectItem 5", "WillSelectItem 6"}));
        QCOMPARE(v->selectedIndexes(), (IndexSet{3, 4, 5, 6, 7}));
    }

    void rubberBand() {
        Grid g(QSize(600, 450), 10);
        CNGridView* v = g.grid();
        v->setAllowsMultipleSelection(true);
        v->setAllowsMultipleSelectionWithDrag(true);
        send(v, QEvent::MouseMove, {10, 10}, Qt::NoButton, Qt::LeftButton);
        send(v, QEvent::MouseMove, {200, 100}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(v->selectionFrameView()->gridFrame, QRectF(10, 10, 190, 90));
        QVERIFY(v->visibleItem(0)->selected() && v->visibleItem(1)->selected() && !v->visibleItem(2)->selected());
        QVERIFY(v->selectedIndexes().empty()); // the band only draws
        // A zero-size band selects nothing and restores what left it.
        v->selectItemsCoveredBySelectionFrame(QRectF(400, 300, 0, 100), {});
        QVERIFY(!v->visibleItem(0)->selected() && !v->visibleItem(9)->selected());
        // Escape: no more band updates.
        QTest::keyClick(v, Qt::Key_Escape);
        QVERIFY(v->abortSelection());
        send(v, QEvent::MouseMove, {400, 300}, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(v->selectionFrameView()->gridFrame, QRectF(10, 10, 190, 90));
    }
};

QTEST_MAIN(GridViewTest)
#include "GridViewTest.moc"
