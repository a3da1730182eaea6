// bench_ui_table [ROWS] [FOLDERS]
// Times, in ms, for a table of ROWS rows (1,000,000) and an outline of FOLDERS
// folders (1,000) of 10 files each, all expanded: construction to the first
// painted picture, scrolling to the end, and 100 page-downs (each painted).
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "ui/kit/Fonts.h"
#include "ui/widgets/TableViews.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScrollBar>
#include <QWindow>

#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace salvor::widgets;

namespace {

long gAsked = 0; // object values asked for, to show that the paints happened

struct Rows : TableViewDataSource {
    int rows;
    explicit Rows(int n) : rows(n) {}
    int numberOfRowsInTableView(CustomTableView*) override { return rows; }
    QVariant objectValueForTableColumn(CustomTableView*, TableColumn*, int row) override {
        ++gAsked;
        return row;
    }
};

struct Folders : OutlineViewDataSource {
    // An item is the address of a slot: folders first, then their files.
    std::vector<char> places;
    int folders;
    explicit Folders(int n) : places(static_cast<size_t>(n) * 11), folders(n) {}
    long at(OutlineItem i) const { return static_cast<const char*>(i) - places.data(); }
    int numberOfChildrenOfItem(OutlineView*, OutlineItem i) override { return i ? (at(i) < folders ? 10 : 0) : folders; }
    OutlineItem child(OutlineView*, int n, OutlineItem i) override {
        return i ? &places[static_cast<size_t>(folders + at(i) * 10 + n)] : &places[static_cast<size_t>(n)];
    }
    bool isItemExpandable(OutlineView*, OutlineItem i) override { return !i || at(i) < folders; }
    QVariant objectValueForTableColumn(OutlineView*, TableColumn*, OutlineItem i) override {
        ++gAsked;
        return QStringLiteral("item %1").arg(at(i));
    }
};

template <class View, class Source>
void run(const char* name, View& view, Source& source, int rows) {
    QElapsedTimer t;
    t.start();
    view.addTableColumn("CheckBox", "", 30, std::make_unique<ButtonCell>());
    view.addTableColumn("Name", "Name", 300, nullptr);
    view.addTableColumn("Size", "Size", 120, nullptr);
    view.setDataSource(&source);
    view.resize(900, 700);
    view.reloadData();
    if constexpr (std::is_same_v<View, CustemOutlineView>) view.expandAll();
    view.show();
    while (!view.windowHandle() || !view.windowHandle()->isExposed()) QApplication::processEvents();
    view.viewport()->repaint();
    const double first = t.nsecsElapsed() / 1e6;
    const long firstAsked = gAsked;

    t.restart();
    view.scrollToBottom();
    view.viewport()->repaint();
    const double end = t.nsecsElapsed() / 1e6;
    const long endAsked = gAsked - firstAsked;

    view.scrollToTop();
    view.setCurrentIndex(view.model()->index(0, 1));
    view.viewport()->repaint();
    t.restart();
    for (int i = 0; i < 100; ++i) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
        QApplication::sendEvent(&view, &press);
        view.viewport()->repaint();
    }
    const double pages = t.nsecsElapsed() / 1e6;
    std::printf("%-8s %9d rows  first paint %8.2f ms  scroll to end %8.2f ms  100 page-downs %8.2f ms"
                "  (cells asked: %ld, %ld, %ld; offset %d)\n",
                name, rows, first, end, pages, firstAsked, endAsked, gAsked - firstAsked - endAsked,
                view.verticalScrollBar()->value());
    gAsked = 0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    salvor::kit::installApplicationFonts();
    const int rows = argc > 1 ? std::atoi(argv[1]) : 1'000'000;
    const int folders = argc > 2 ? std::atoi(argv[2]) : 1'000;
    {
        Rows source(rows);
        CustomTableView table;
        run("table", table, source, rows);
    }
    {
        Folders source(folders);
        CustemOutlineView outline;
        run("outline", outline, source, folders * 11);
    }
    return 0;
}
