// bench_ui_grid [ITEMS]
// A grid of ITEMS (1,000,000) thumbnails in a 1200 x 800 scroll view: time to
// the first painted picture, to scroll to the end page by page (each page
// painted) and in one jump, and the item widgets alive at the end; then the
// same walk back with one item selected (pooling stops while any item is).
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "ui/kit/Fonts.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/GridView.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QScrollBar>
#include <QWindow>

#include <cstdio>
#include <cstdlib>

using namespace salvor::widgets;

namespace {

long gAsked = 0;

struct Source : CNGridViewDataSource {
    std::uint64_t count;
    QImage thumb{90, 60, QImage::Format_RGB32};
    explicit Source(std::uint64_t n) : count(n) { thumb.fill(Qt::darkCyan); }
    std::uint64_t numberOfItemsInSection(CNGridView*, std::int64_t) override { return count; }
    CNGridViewItemBase* itemAtIndex(CNGridView* grid, std::int64_t i, std::int64_t) override {
        ++gAsked;
        auto* item = static_cast<CNGridViewItem*>(grid->dequeueReusableItemWithIdentifier(kCNDefaultItemIdentifier));
        if (!item) item = new CNGridViewItem(nullptr, kCNDefaultItemIdentifier);
        item->refImageWithImage(thumb);
        item->titleLabel()->setText(QStringLiteral("IMG_%1.JPG").arg(i));
        return item;
    }
};

void settle(CNGridScrollView& view) {
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    view.viewport()->repaint();
}

int liveItems(CNGridScrollView& view) { return view.gridView()->findChildren<CNGridViewItemBase*>().size(); }

// Pages down from the top to the end; answers ms.
double walk(CNGridScrollView& view, int pages) {
    QElapsedTimer t;
    t.start();
    QScrollBar* bar = view.verticalScrollBar();
    for (int i = 1; i <= pages; ++i) {
        bar->setValue(int(double(bar->maximum()) * i / pages));
        settle(view);
    }
    return t.nsecsElapsed() / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    salvor::kit::installApplicationFonts();
    salvor::kit::setAnimationDurationScale(0);
    const std::uint64_t items = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1'000'000;
    Source source(items);

    QElapsedTimer t;
    t.start();
    CNGridScrollView view;
    view.resize(1200, 800);
    view.gridView()->setDataSource(&source);
    view.gridView()->reloadData();
    view.show();
    while (!view.windowHandle() || !view.windowHandle()->isExposed()) QApplication::processEvents();
    settle(view);
    const double shown = t.nsecsElapsed() / 1e6;
    CNGridView* grid = view.gridView();
    std::printf("%llu items, %llu columns, %llu visible rows, grid height %.0f points\n",
                static_cast<unsigned long long>(items), static_cast<unsigned long long>(grid->columnsInGridView()),
                static_cast<unsigned long long>(grid->visibleRowsInGridView()), grid->frame().height());
    std::printf("show (first painted picture)       %9.2f ms  items asked %ld  live item widgets %d\n", shown, gAsked,
                liveItems(view));

    gAsked = 0;
    const int pages = 2000;
    const double paged = walk(view, pages);
    std::printf("scroll to end in %d steps         %9.2f ms  items asked %ld  live item widgets %d\n", pages, paged,
                gAsked, liveItems(view));

    view.verticalScrollBar()->setValue(0);
    settle(view);
    gAsked = 0;
    t.restart();
    view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
    settle(view);
    std::printf("jump to end                         %9.2f ms  items asked %ld  live item widgets %d\n",
                t.nsecsElapsed() / 1e6, gAsked, liveItems(view));

    // With an item selected nothing is pooled: every page adds widgets.
    view.verticalScrollBar()->setValue(0);
    settle(view);
    grid->selectItem(grid->visibleItem(0));
    gAsked = 0;
    const double selectedWalk = walk(view, 200);
    std::printf("scroll to end in 200 steps, 1 selected %6.2f ms  items asked %ld  live item widgets %d\n",
                selectedWalk, gAsked, liveItems(view));
    return 0;
}
