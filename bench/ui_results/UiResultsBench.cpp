// bench_ui_results [BIG] [FOLDERS] [PER_FOLDER]
// The results window over the window tests' scripted scan with 1,000,000
// found files: FOLDERS (1,000) folders of PER_FOLDER (800) files and one
// folder of BIG (200,000). Times in ms, best of 3: from the last scan update
// to a painted window, showing the big folder's list, scrolling it to the
// end, one page of scrolling (mean of 100 page-downs), and a sort by size.
// Runs offscreen unless QT_QPA_PLATFORM says otherwise.
#include "engine/tree/FilesystemNode.h"
#include "services/UIScan.h"
#include "tests/support/ScriptedScan.h"
#include "tests/support/TestFileNode.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/WindowFade.h"
#include "ui/windows/DetailWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>

using namespace salvor;
using namespace salvor::windows;

namespace {

double best(const std::function<double()>& run) {
    double b = 1e300;
    for (int i = 0; i < 3; ++i) b = std::min(b, run());
    return b;
}

double timed(const std::function<void()>& fn) {
    QElapsedTimer t;
    t.start();
    fn();
    return double(t.nsecsElapsed()) / 1e6;
}

void paint(QWidget* w) {
    w->repaint();
    QCoreApplication::processEvents();
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("XDG_CONFIG_HOME", home.path().toUtf8());
    qputenv("XDG_STATE_HOME", home.path().toUtf8());
    QApplication app(argc, argv);
    kit::setAnimationDurationScale(0);
    kit::installApplicationFonts();
    const int big = argc > 1 ? std::atoi(argv[1]) : 200000;
    const int folders = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int perFolder = argc > 3 ? std::atoi(argv[3]) : 800;

    test::ScriptedScan scan;
    scan.disks = {{"Disk", 4000000000ULL, {{"Vol", 2000000000ULL}}}};
    std::vector<DiskVolumeNodeRef> items;
    scan.GetDeviceInfoToArray(items);
    CFilesystemNode* root = scan.root("Vol");
    QElapsedTimer made;
    made.start();
    test::TestFileNode* bigFolder = scan.folder(root, "big");
    for (int i = 0; i < big; ++i)
        scan.file(bigFolder, "file" + std::to_string(i) + ".jpg", (i * 7919LL) % 100000000, 1600000000 + i % 5000);
    for (int f = 0; f < folders; ++f) {
        test::TestFileNode* folder = scan.folder(root, "folder" + std::to_string(f));
        for (int i = 0; i < perFolder; ++i)
            scan.file(folder, "doc" + std::to_string(i) + ".txt", i * 13 + f, 1600000000 + i);
    }
    scan.publish();
    std::printf("made %d found files in %.0f ms\n", big + folders * perFolder, double(made.nsecsElapsed()) / 1e6);

    auto* wc = new VXDeletailWindowController;
    wc->setSelectDiskVolumeData(items[0]->children()[0]);
    wc->showWindow();
    QCoreApplication::processEvents();
    wc->getData();
    scan.update(50);
    QCoreApplication::processEvents();
    OpNodeData* bigItem = nullptr;

    const double lastUpdate = best([&] {
        scan.scanStatus = 0; // this update is the last
        return timed([&] {
            scan.postScanUpdate();
            QCoreApplication::processEvents();
            paint(wc->window());
        });
    });
    for (const OpNodeEntry& e : *wc->allDiskArr[0].item()->children())
        if (e.isItem() && e.item()->name() == QLatin1String("big")) bigItem = e.item().get();
    if (!bigItem) return std::fprintf(stderr, "no big folder\n"), 1;
    const double show = best([&] {
        return timed([&] {
            wc->shouldSelectItem(wc->outlineView, bigItem);
            paint(wc->tableView);
        });
    });
    const double toEnd = best([&] {
        wc->tableView->scrollToTop();
        paint(wc->tableView);
        return timed([&] {
            wc->tableView->scrollToBottom();
            paint(wc->tableView);
        });
    });
    const double page = best([&] {
        wc->tableView->scrollToTop();
        paint(wc->tableView);
        wc->tableView->setFocus();
        return timed([&] {
                   for (int i = 0; i < 100; ++i) {
                       QKeyEvent down(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
                       QApplication::sendEvent(wc->tableView, &down);
                       paint(wc->tableView);
                   }
               }) / 100;
    });
    widgets::TableColumn* size = wc->tableView->tableColumnWithIdentifier("Size");
    const double sort = best([&] {
        return timed([&] {
            wc->didClickTableColumn(wc->tableView, size);
            paint(wc->tableView);
        });
    });
    std::printf("rows in the big list: %zu\n", wc->arrList.size());
    std::printf("last update to painted window: %.1f ms\n", lastUpdate);
    std::printf("show the big folder's list:    %.1f ms\n", show);
    std::printf("scroll it to the end:          %.1f ms\n", toEnd);
    std::printf("one page of scrolling:         %.2f ms\n", page);
    std::printf("sort it by size:               %.1f ms\n", sort);
    delete wc;
    return 0;
}
