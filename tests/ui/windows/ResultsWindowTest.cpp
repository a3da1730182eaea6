// The results window over a scripted scan: the trees and the list filling
// as updates arrive, the progress box and its end, the deep-scan bubble,
// the file list's cells, ticks and sorting, scan control, closing, the
// detach notice, export and the keyboard. The found nodes are real nodes fed
// to the real result trees; a deep scan frees them, so a view that kept one
// is caught by the address sanitizer.
#include "engine/include/FileNode.h"
#include "engine/tree/FilesystemNode.h"
#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "tests/support/ScriptedScan.h"
#include "tests/support/TestFileNode.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/AttachedWindow.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/DeviceWaitLine.h"
#include "ui/windows/RootWindow.h"
#include "ui/windows/SavePanel.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QSplitter>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::ScriptedScan;
using salvor::test::TestFileNode;

namespace {

constexpr long long kNoon = 1700000000; // a fixed creation time

QColor pixelAt(QWidget* window, QWidget* w, QPoint local) {
    const QImage shot = window->grab().toImage();
    return shot.pixelColor(w->mapTo(window, local));
}

// The button's look (a named image) shows in the window where the button
// draws it: most of its visible pixels, blended over the background just
// left of the button, are what the window shows.
bool drawnAt(QWidget* window, widgets::StateImageButton* button, const QString& imageName) {
    const QImage image = kit::namedImage(imageName);
    if (button->lookImage().toImage() != image.convertToFormat(button->lookImage().toImage().format())) return false;
    const QImage shot = window->grab().toImage();
    const QPoint origin = button->mapTo(window, button->dstRect().topLeft());
    int shown = 0, same = 0;
    for (int y = 0; y < image.height(); ++y) {
        const QColor bg = shot.pixelColor(origin + QPoint(-3, y));
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.alphaF() < 0.5) continue;
            ++shown;
            const double a = c.alphaF();
            const QColor got = shot.pixelColor(origin + QPoint(x, y));
            const double d = qAbs(got.redF() - (a * c.redF() + (1 - a) * bg.redF())) +
                             qAbs(got.greenF() - (a * c.greenF() + (1 - a) * bg.greenF())) +
                             qAbs(got.blueF() - (a * c.blueF() + (1 - a) * bg.blueF()));
            same += d < 0.12;
        }
    }
    return shown > 0 && same * 10 >= shown * 6;
}

bool near(const QColor& a, const QColor& b) {
    return qAbs(a.red() - b.red()) + qAbs(a.green() - b.green()) + qAbs(a.blue() - b.blue()) < 30;
}

QStringList names(const OpNodeList& list) {
    QStringList out;
    for (const OpNodeEntry& e : list) out << (e.isItem() ? e.item()->name() : OpNodeData::fileNodeName(e.file()));
    return out;
}

} // namespace

class ResultsWindowTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    ScriptedScan* scan_ = nullptr;
    salvor::test::FakeClock clock_; // the progress box's, where a test sets it
    QPointer<VXDeletailWindowController> wc_;
    int terminations_ = 0;
    TestFileNode *docs_ = nullptr, *pics_ = nullptr, *nameless_ = nullptr;
    CFilesystemNode* root_ = nullptr;

    VXDeletailWindowController* open(bool start = true, bool wholeDisk = false) {
        scan_->disks = {{"Disk", 4000000000ULL, {{"Vol", 2000000000ULL}}}};
        std::vector<DiskVolumeNodeRef> items;
        scan_->GetDeviceInfoToArray(items);
        wc_ = new VXDeletailWindowController;
        wc_->setSelectDiskVolumeData(wholeDisk ? items[0] : items[0]->children()[0]);
        wc_->showWindow();
        QApplication::setActiveWindow(wc_->window());
        if (start) wc_->getData();
        return wc_;
    }
    // A volume with a folder of three files, a folder holding a folder, and
    // a folder without a name.
    void fill() {
        CFilesystemNode* root = root_ = scan_->root("Vol");
        docs_ = scan_->folder(root, "Docs");
        scan_->file(docs_, "a.txt", 1023, kNoon);
        scan_->file(docs_, "b.txt", 1024, kNoon);
        scan_->file(docs_, "c.doc", 1LL << 40, kNoon + 86400 * 40, true);
        pics_ = scan_->folder(root, "Pics");
        scan_->file(scan_->folder(pics_, "Sub"), "x.jpg", 5000, kNoon);
        nameless_ = scan_->folder(root, "");
        scan_->file(nameless_, "y.png", 7, kNoon);
    }
    void update(double percent) {
        scan_->update(percent);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    // A quick scan that ran and ended.
    VXDeletailWindowController* ended() {
        open();
        fill();
        update(50);
        scan_->endScan();
        QCoreApplication::processEvents();
        return wc_;
    }
    OpNodeData* item(const char* name) {
        std::function<OpNodeData*(const OpNodeList&)> find = [&](const OpNodeList& list) -> OpNodeData* {
            for (const OpNodeEntry& e : list) {
                if (!e.isItem()) continue;
                if (e.item()->name() == QLatin1String(name)) return e.item().get();
                if (e.item()->children())
                    if (OpNodeData* hit = find(*e.item()->children())) return hit;
            }
            return nullptr;
        };
        return find(*wc_->rootArray(wc_->selectTypeCount));
    }
    void showFolder(const char* name) { wc_->shouldSelectItem(wc_->outlineView, item(name)); }
    QString cell(int row, const char* column) {
        return wc_->objectValueForTableColumn(wc_->tableView, wc_->tableView->tableColumnWithIdentifier(column), row)
            .toString();
    }
    void clickHeader(const char* column) {
        QHeaderView* h = wc_->tableView->horizontalHeader();
        const int section = [&] {
            for (int i = 0; i < wc_->tableView->columnCount(); ++i)
                if (wc_->tableView->column(i)->identifier == QLatin1String(column)) return i;
            return -1;
        }();
        QTest::mouseClick(h->viewport(), Qt::LeftButton, {}, QPoint(h->sectionViewportPosition(section) + 5, 5));
    }

private slots:
    void initTestCase() {
        test::setUpWindowTests(config_);
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "appWillTerminate", [this](const platform::Notification&) { ++terminations_; });
    }
    void init() {
        scan_ = new ScriptedScan;
        terminations_ = 0;
        kit::Alert::clearQueuedAnswers();
        SavePanel::clearQueuedAnswers();
    }
    void cleanup() {
        delete wc_.data();
        delete VXDeletailWindowController::lastShownRootWindow();
        delete scan_;
        QCoreApplication::processEvents();
    }

    // Trees fill on every update and expand a second later; cells and keys.
    void treesFillAndExpand() {
        open();
        QCOMPARE(wc_->window()->size(), QSize(VXDeletailWindowController::kWidth, VXDeletailWindowController::kHeight));
        QCOMPARE(wc_->window()->minimumSize(), wc_->window()->size());
        fill();
        update(10);
        QCOMPARE(wc_->allDiskArr.size(), std::size_t(1));
        OpNodeData* top = wc_->allDiskArr[0].item().get();
        QVERIFY(!wc_->outlineView->isItemExpanded(top));
        QTRY_VERIFY_WITH_TIMEOUT(wc_->outlineView->isItemExpanded(top), 2000);
        QCOMPARE(wc_->outlineView->model()->rowCount(wc_->outlineView->indexForItem(top)), 3); // Docs, Pics, ""
        scan_->folder(root_, "More");
        update(20);
        QCOMPARE(wc_->outlineView->model()->rowCount(wc_->outlineView->indexForItem(top)), 4);
        // Files only: no triangle; a folder in it: one.
        QVERIFY(!wc_->isItemExpandable(wc_->outlineView, item("Docs")));
        QVERIFY(wc_->isItemExpandable(wc_->outlineView, item("Pics")));
        widgets::NewButton button;
        widgets::TableColumn* name = wc_->outlineView->column(0);
        wc_->willDisplayCell(wc_->outlineView, &button, name, item(""));
        QCOMPARE(button.label, QStringLiteral("Unknow"));
        QCOMPARE(button.checkBoxImage.toImage(), kit::namedImage("checkbox_no"));

        // An update in the type view fills only its roots; labels count the group.
        const OpNodeList paths = wc_->allDiskArr;
        wc_->selectTypeCount = 1;
        scan_->SetViewType(1);
        const int pulls = scan_->count("GetScanTreeNodeData");
        update(30);
        QCOMPARE(scan_->count("GetScanTreeNodeData"), pulls + 1);
        QVERIFY(wc_->allDiskArr == paths);
        QVERIFY(wc_->allCreatTimeArr.empty() && wc_->allModifyTimeArr.empty());
        QVERIFY(!wc_->allTypeArr.empty());
        OpNodeData* category = wc_->allTypeArr[0].item().get();
        wc_->willDisplayCell(wc_->outlineView, &button, name, category);
        QVERIFY2(button.label.endsWith(QStringLiteral("(%1)").arg(scan_->GetNodeChildrenCnt(category->shared_from_this()))),
                 qPrintable(button.label));
        std::size_t all = 0;
        for (const OpNodeEntry& e : wc_->allTypeArr) all += scan_->GetNodeChildrenCnt(e.item());
        QCOMPARE(all, std::size_t(5));
    }

    // Found count on every update, remaining time at most once a second (on
    // the window's clock, which the test moves), the bar.
    void progressBox() {
        open();
        fill();
        clock_ = {};
        wc_->clock = &clock_;
        scan_->remaining = QStringLiteral("00:00:05");
        wc_->lastUpdateTime = 0;
        update(0.5);
        QVERIFY(wc_->remainTimeLabel->text().contains(QLatin1String("00:00:05")));
        QVERIFY(wc_->findFilesLabel->text().endsWith(QLatin1String(" 5")));
        QCOMPARE(wc_->progressView->bar()->width(), 0);
        // Within the second: the time stays; a second on: it changes.
        for (const auto& [step, remaining, shown] : {std::tuple{999, "00:00:04", "00:00:05"},
                                                     std::tuple{1, "00:00:03", "00:00:03"}}) {
            clock_.advance(step);
            scan_->remaining = QLatin1String(remaining);
            update(0.5);
            QVERIFY2(wc_->remainTimeLabel->text().contains(QLatin1String(shown)), qPrintable(wc_->remainTimeLabel->text()));
        }
        scan_->file(docs_, "d.txt");
        update(1.0);
        QVERIFY(wc_->findFilesLabel->text().endsWith(QLatin1String(" 6")));
        QCOMPARE(wc_->progressView->bar()->width(), qRound(widgets::progressBarWidth(1.0f, wc_->progressView->width())));
        QVERIFY(wc_->progressView->bar()->width() > 0);
        // During the scan: pause and stop in the box, the bar's own colours.
        QVERIFY(wc_->pauseButton->isVisible() && wc_->stopButton->isVisible() && !wc_->recovertyButton->isVisible());
        QVERIFY(drawnAt(wc_->window(), wc_->pauseButton, kit::stateImageName("pause", kit::ImageState::Normal)));
        QVERIFY(drawnAt(wc_->window(), wc_->stopButton, kit::stateImageName("stop", kit::ImageState::Normal)));
        // A device that does not answer: said under the bar while it lasts
        // (nothing else moves meanwhile), gone when it answers again, and
        // never said once the scan has ended.
        QLabel* line = wc_->deviceWaitLabel;
        QVERIFY(!line->isVisible());
        QVERIFY(line->fontMetrics().horizontalAdvance(platform::localizedString("DEVICE_NOT_ANSWERING_WAITING")) <= line->width());
        scan_->deviceNotAnswering = true;
        QTRY_VERIFY(line->isVisible());
        QCOMPARE(line->text(), platform::localizedString("DEVICE_NOT_ANSWERING_WAITING"));
        scan_->deviceNotAnswering = false;
        QTRY_VERIFY(!line->isVisible());
        scan_->deviceNotAnswering = true;
        scan_->endScan();
        QTest::qWait(3 * kDeviceWaitPollMs);
        QVERIFY(!line->isVisible());
    }

    // The end of a quick scan: the summary, export, the bubble once, resizes.
    void scanEndSummaryAndBubble() {
        ended();
        for (QWidget* w : std::initializer_list<QWidget*>{wc_->pauseButton, wc_->stopButton, wc_->progressView,
                                                          wc_->loadImageView, wc_->findFilesLabel, wc_->remainTimeLabel})
            QVERIFY(!w->isVisible());
        QVERIFY(wc_->recovertyButton->isVisible() && wc_->selectFilesLabel->isVisible());
        const double W = kit::frame(wc_->abox).width;
        QCOMPARE(kit::frame(wc_->recovertyButton), (kit::Frame{W / 2 - 50, 10, 100, 30}));
        QVERIFY(wc_->exportButton && wc_->exportButton->isVisible());
        QVERIFY(!wc_->exportButton->toolTip().isEmpty());
        QVERIFY(wc_->continueButton->isVisible() && wc_->deepScanLabel->isVisible());
        QVERIFY(wc_->attachedWindow && wc_->attachedWindow->isVisible());
        QVERIFY(kit::Alert::openAlerts().isEmpty()); // a clean scan ends without a word
        // After the scan: the first root chosen in the trees' dark blue, the recover button drawn.
        const QRect row = wc_->outlineView->visualRect(wc_->outlineView->indexForItem(wc_->allDiskArr[0].item().get()));
        QVERIFY(near(pixelAt(wc_->window(), wc_->outlineView->viewport(), QPoint(2, row.center().y())),
                     widgets::chosenRowColor()));
        QVERIFY(drawnAt(wc_->window(), wc_->recovertyButton, kit::stateImageName("botton_recover", kit::ImageState::Disable)));
        QVERIFY(drawnAt(wc_->window(), wc_->exportButton, kit::stateImageName("export", kit::ImageState::Normal)));

        // The bubble follows a resize; the left pane stays within its limits.
        const QPointF point = wc_->attachedWindow->point();
        wc_->window()->resize(1400, 800);
        QTRY_VERIFY(wc_->attachedWindow && wc_->attachedWindow->point() != point);
        const int left = wc_->splistLeftView->width();
        QVERIFY2(left >= 223 && left <= 400, qPrintable(QString::number(left)));
        // A second end changes nothing; after 8 s the bubble closes for good.
        VXDeepScanViewController* vc = wc_->deepScanVC;
        scan_->postScanUpdate();
        QCoreApplication::processEvents();
        QCOMPARE(wc_->deepScanVC, vc);
        QTRY_VERIFY_WITH_TIMEOUT(!wc_->attachedWindow, 9000);
        QCOMPARE(wc_->isClodePopView, 1);
        wc_->window()->resize(1100, 750);
        QCoreApplication::processEvents();
        QVERIFY(!wc_->attachedWindow);
    }

    // A scan that could not read parts of the device's structures says so
    // once at its end, and what it found stays listed.
    void scanEndSaysUnreadableSectors() {
        scan_->unreadableSectors = 3;
        ended();
        QTRY_COMPARE(kit::Alert::openAlerts().size(), 1);
        QMessageBox* box = kit::Alert::openAlerts().front();
        QCOMPARE(box->informativeText(), platform::localizedString("PAGE_FOUR_UNREADABLE_NODE"));
        scan_->postScanUpdate();
        QCoreApplication::processEvents();
        QCOMPARE(kit::Alert::openAlerts().size(), 1);
        kit::Alert::buttonForAnswer(box, kit::kAlertDefaultReturn)->click();
        QTRY_VERIFY(kit::Alert::openAlerts().isEmpty());
        QVERIFY(!wc_->allDiskArr.empty() && wc_->selectFilesLabel->isVisible());
    }

    void noBubbleAfterDeepScanOrLoad() {
        scan_->deep = true;
        ended();
        QVERIFY(!wc_->deepScanVC && !wc_->attachedWindow && !wc_->continueButton->isVisible());
        QVERIFY(wc_->exportButton && wc_->exportButton->toolTip().isEmpty());
        delete wc_.data();
        scan_->deep = false;
        open(false);
        wc_->getImportData(QStringLiteral("/tmp/x.rsf"));
        QVERIFY(!wc_->remainTimeLabel->isVisible() && !wc_->pauseButton->isVisible());
        QCOMPARE(scan_->restoreKey, std::string("NormalScranValue"));
        scan_->scanKey = "NormalScranValue";
        update(100);
        QVERIFY(!wc_->deepScanVC && !wc_->exportButton && !wc_->continueButton->isVisible());
        QVERIFY(!wc_->allDiskArr.empty());
    }

    // The list: cells, sorting, ticks; refused while the scan runs unpaused.
    void fileList() {
        open();
        fill();
        update(50);
        showFolder("Docs");
        QCOMPARE(wc_->arrList.size(), std::size_t(3));
        // Sizes and the deleted mark.
        QStringList sizes;
        for (int r = 0; r < 3; ++r) sizes << cell(r, "Size");
        sizes.sort();
        QCOMPARE(sizes, (QStringList{"1.00 KB", "1.00 TB", "1023 byte"}));
        for (int r = 0; r < 3; ++r) {
            widgets::ImageAndTextCell name;
            wc_->willDisplayCell(wc_->tableView, &name, wc_->tableView->tableColumnWithIdentifier("Name"), r);
            QCOMPARE(name.image.isNull(), cell(r, "Name") != QLatin1String("c.doc"));
        }
        // Running unpaused: header and tick clicks do nothing.
        const QStringList order = names(wc_->arrList);
        clickHeader("Name");
        QCOMPARE(names(wc_->arrList), order);
        IFileNode* first = wc_->arrList[0].file();
        wc_->nsbuttonCellClick(0);
        QCOMPARE(OpNodeData::fileNodeState(first), 0);
        // Paused: "Name" twice sorts descending then ascending.
        wc_->pauseButtonClick();
        QCOMPARE(scan_->scanStatus, 3);
        clickHeader("Name");
        QCOMPARE(names(wc_->arrList), (QStringList{"c.doc", "b.txt", "a.txt"}));
        clickHeader("Name");
        QCOMPARE(names(wc_->arrList), (QStringList{"a.txt", "b.txt", "c.doc"}));
        // Equal times keep one order both ways (a and b share theirs).
        clickHeader("Created");
        QCOMPARE(names(wc_->arrList), (QStringList{"c.doc", "a.txt", "b.txt"}));
        clickHeader("Created");
        QCOMPARE(names(wc_->arrList), (QStringList{"a.txt", "b.txt", "c.doc"}));
        // A partly ticked file becomes ticked; a ticked one unticked.
        IFileNode* a = wc_->arrList[0].file();
        a->SetCheck(static_cast<_tagCheckedStatus>(1));
        wc_->nsbuttonCellClick(0);
        QCOMPARE(OpNodeData::fileNodeState(a), 2);
        QCOMPARE(cell(0, "CheckBox"), QString());
        wc_->nsbuttonCellClick(0);
        QCOMPARE(OpNodeData::fileNodeState(a), 0);
        wc_->nsbuttonCellClick(7); // outside the rows: nothing
    }

    // A preview whose read hangs (a slow or vanished device): a click in the
    // tree takes effect at once and the window goes on handling events; the
    // held file's answer, when it comes, is dropped.
    void previewStoppedWhileItsReadIsHeld() {
        struct Hold {
            std::mutex m;
            std::condition_variable cv;
            bool held = true;
            std::atomic<int> inside{0};
        };
        auto hold = std::make_shared<Hold>();
        auto release = [hold] {
            {
                std::lock_guard lock(hold->m);
                hold->held = false;
            }
            hold->cv.notify_all();
        };
        scan_->preview = [hold](IFileNode*) {
            ++hold->inside;
            std::unique_lock lock(hold->m);
            hold->cv.wait(lock, [&] { return !hold->held; });
            --hold->inside;
            return PreviewImage{};
        };
        // Let go after a while whatever happens: a window that waits shows as slow, not as a hang.
        struct Joined {
            std::thread thread;
            ~Joined() { thread.join(); }
        } rescue{std::thread([hold, release] {
            std::unique_lock lock(hold->m);
            if (!hold->cv.wait_for(lock, std::chrono::seconds(3), [&] { return !hold->held; })) {
                lock.unlock();
                release();
            }
        })};
        ended();
        showFolder("Docs");
        wc_->segmentSelect(1);
        QVERIFY(QTest::qWaitFor([&] { return hold->inside.load() == 1; }, 2000));
        QElapsedTimer clock;
        clock.start();
        showFolder("Pics");
        const qint64 took = clock.elapsed();
        qInfo("a click in the tree while a preview read is held took effect after %lld ms", static_cast<long long>(took));
        QVERIFY2(took < 300, qPrintable(QStringLiteral("the click took effect after %1 ms").arg(took)));
        const QStringList pics = names(wc_->arrList);
        QCOMPARE(wc_->opDataFile.get(), item("Pics"));
        QVERIFY(!pics.contains(QStringLiteral("a.txt")));
        bool ran = false;
        QTimer::singleShot(0, wc_, [&] { ran = true; });
        QVERIFY(QTest::qWaitFor([&] { return ran; }, 200)); // the window handles events
        release();
        QVERIFY(QTest::qWaitFor([&] { return hold->inside.load() == 0; }, 5000));
        QTest::qWait(50); // the held answer reached the main thread, and was dropped
        QCOMPARE(names(wc_->arrList), pics);
    }

    // Pause, stop, and the deep scan in the same window.
    void pauseStopAndDeepScan() {
        open();
        fill();
        update(50);
        QTest::mouseClick(wc_->pauseButton, Qt::LeftButton);
        QVERIFY(wc_->continueScanButton->isVisible() && !wc_->pauseButton->isVisible());
        QCOMPARE(wc_->isPause, 1);
        QTest::mouseClick(wc_->continueScanButton, Qt::LeftButton);
        QCOMPARE(scan_->scanStatus, 2);
        QCOMPARE(wc_->isPause, 0);
        // Stop: the sheet pauses the scan; its default stops it 0.5 s later, trees kept.
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc_->stopButtonClick();
        QCOMPARE(scan_->scanStatus, 3);
        QTRY_VERIFY(!wc_->stopButton->isUsable()); // answered; the stop itself comes 0.5 s later
        QVERIFY(scan_->stops.empty());
        QTRY_COMPARE(scan_->stops, std::vector<int>{0});
        QCoreApplication::processEvents();
        QVERIFY(!wc_->allDiskArr.empty());
        QVERIFY(wc_->recovertyButton->isVisible());

        // Deep scan: same window, nodes freed, everything reset.
        showFolder("Docs");
        QTest::mouseClick(wc_->continueButton, Qt::LeftButton);
        QTRY_COMPARE(scan_->count("DoDeepScan"), 1);
        QVERIFY(wc_->allDiskArr.empty() && wc_->arrList.empty() && !wc_->opDataFile);
        wc_->window()->grab(); // paints nothing freed
        QVERIFY(wc_->remainTimeLabel->text().contains(QLatin1String("-:-:-")));
        QVERIFY(wc_->findFilesLabel->text().endsWith(QLatin1String("0")));
        QCOMPARE(wc_->selectSegmentCount, std::int64_t(0));
        QVERIFY(!wc_->exportButton->isVisible() && !wc_->continueButton->isVisible());
        fill();
        update(5);
        QVERIFY(!wc_->segment->isEnabled());
        QVERIFY(!wc_->allDiskArr.empty());
        QVERIFY(!wc_->attachedWindow);
    }

    // Back home: a sheet while running (the alternate resumes unless the user
    // paused), the start window only once the scan stopped; straight after the end.
    void backHome() {
        open();
        fill();
        update(50);
        kit::Alert::queueAnswer(kit::kAlertAlternateReturn);
        wc_->backButtonAction();
        QCOMPARE(scan_->scanStatus, 3); // paused under the sheet
        QTRY_COMPARE(scan_->scanStatus, 2);
        wc_->pauseButtonClick();
        kit::Alert::queueAnswer(kit::kAlertAlternateReturn);
        wc_->backButtonAction();
        QTRY_COMPARE(kit::Alert::queuedAnswerCount(), 0);
        QCoreApplication::processEvents();
        QCOMPARE(scan_->scanStatus, 3); // the user's pause stays
        wc_->pauseButtonClick();

        scan_->stopLingers = true;
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc_->backButtonAction();
        QTRY_COMPARE(scan_->stops, std::vector<int>{1});
        QTest::qWait(300);
        QVERIFY(!VXDeletailWindowController::lastShownRootWindow());
        scan_->endScan();
        QTRY_VERIFY(VXDeletailWindowController::lastShownRootWindow());
        QVERIFY(wc_->allDiskArr.empty() && wc_->arrList.empty());
        QVERIFY(!wc_->window()->isVisible());
        QCOMPARE(scan_->count("RefreshDeviceInfo"), 1);
        delete VXDeletailWindowController::lastShownRootWindow();
        delete wc_.data();

        scan_->stopLingers = false;
        ended();
        wc_->backButtonAction();
        QCOMPARE(kit::Alert::openAlerts().size(), 0);
        QTRY_VERIFY(VXDeletailWindowController::lastShownRootWindow());
    }

    // Closing: a sheet while running; confirmed, the process ends after the
    // next update and further clicks are ignored; after the end at once.
    void closingAndDetach() {
        open();
        fill();
        update(50);
        scan_->stopLingers = true;
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        QTest::mouseClick(static_cast<widgets::TCImageWindow*>(wc_->window())->standardWindowButton(widgets::TCImageWindow::CloseButton), Qt::LeftButton);
        QTRY_COMPARE(wc_->isCloseWindow, 1);
        QCOMPARE(scan_->stops, std::vector<int>{1});
        QCOMPARE(terminations_, 0);
        kit::Alert::queueAnswer(kit::kAlertAlternateReturn);
        wc_->closeWindow();
        QCOMPARE(kit::Alert::queuedAnswerCount(), 1); // no second sheet
        kit::Alert::clearQueuedAnswers();
        scan_->endScan();
        QTRY_COMPARE(terminations_, 1);
        QVERIFY(!wc_->window()->isVisible());
        QVERIFY(!wc_->backHomeButton->isUsable());
        scan_->postScanUpdate();
        QCoreApplication::processEvents();
        QCOMPARE(terminations_, 1);
        delete wc_.data();

        // After the end: at once, also through the window's close path.
        scan_->stopLingers = false;
        ended();
        kit::performClose(wc_->window());
        QCOMPARE(terminations_, 2);
        delete wc_.data();

        // Detach: another disk is ignored; the scanned one stops the scan.
        open();
        fill();
        update(50);
        auto& nc = platform::NotificationCenter::defaultCenter();
        scan_->stops.clear();
        nc.post("RefreshDetachDevice", {{"USBPath", "Other"}});
        QVERIFY(scan_->stops.empty());
        QCOMPARE(nc.observerCount("RefreshDetachDevice"), std::size_t(1)); // still observed
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        nc.post("RefreshDetachDevice", {{"USBPath", "Disk"}});
        QCOMPARE(scan_->stops, std::vector<int>{1});
        QTRY_VERIFY(VXDeletailWindowController::lastShownRootWindow());
        delete wc_.data();
        // A whole disk being scanned goes by its own name.
        open(true, true);
        scan_->stops.clear();
        nc.post("RefreshDetachDevice", {{"USBPath", ""}});
        QVERIFY(scan_->stops.empty());
        nc.post("RefreshDetachDevice", {{"USBPath", "Disk"}});
        QCOMPARE(scan_->stops, std::vector<int>{1});
        kit::Alert::clearQueuedAnswers();
    }

    // Export: the panel in the default folder with the proposed name; the
    // same disk asks again; a saved result stores its full path.
    void exportResult() {
        ended();
        scan_->scannedFolder = QStringLiteral("/media/vol");
        SavePanel::queueAnswer(QStringLiteral("/media/vol/a.rsf"));
        SavePanel::queueAnswer(QStringLiteral("/tmp/out/b"));
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn); // another place
        const int runs = SavePanel::runCount();
        test::whenModal(QStringLiteral("VXProgressWindow"), [this](QWidget*) {
            scan_->postProgress(50, 100);
            scan_->finishSaveOrLoad(0);
        });
        QTest::mouseClick(wc_->exportButton, Qt::LeftButton);
        QCOMPARE(SavePanel::runCount(), runs + 2);
        QCOMPARE(SavePanel::lastDirectory(), scan_->GetDefaultSavePath());
        QCOMPARE(SavePanel::lastProposedName(), scan_->GetSaveFileName());
        QVERIFY(scan_->lastSaveFlag);
        QCOMPARE(scan_->lastRestorePath, QStringLiteral("/tmp/out/b.rsf"));
        QCOMPARE(wc_->bSave, 1);
        QCOMPARE(scan_->savePath, QStringLiteral("/tmp/out/b.rsf"));
        // Saved while the device did not answer for some files: the end says
        // how many could not be read, and the result stands saved.
        scan_->saveUnmarked = 29904, scan_->saveMarkPlanned = 30000;
        SavePanel::queueAnswer(QStringLiteral("/tmp/out/d"));
        test::whenModal(QStringLiteral("VXProgressWindow"), [this](QWidget*) { scan_->finishSaveOrLoad(0); });
        QString unmarkedTitle, unmarkedNode;
        QObject reading; // the looking ends with the row
        std::function<void()> readAlert = [&] {
            const QList<QMessageBox*> open = kit::Alert::openAlerts();
            if (open.isEmpty()) return void(QTimer::singleShot(10, &reading, readAlert));
            unmarkedTitle = open.front()->text(), unmarkedNode = open.front()->informativeText();
            kit::Alert::buttonForAnswer(open.front(), kit::kAlertDefaultReturn)->click();
        };
        QTimer::singleShot(0, &reading, readAlert);
        wc_->bSave = 0;
        wc_->exportButtonAction();
        QCOMPARE(unmarkedTitle, platform::localizedString("SAVE_RSF_UNMARKED_TITLE"));
        QVERIFY2(unmarkedNode.contains(QStringLiteral(" 29904 of its files could not be read")), qPrintable(unmarkedNode));
        QCOMPARE(wc_->bSave, 1);
        QCOMPARE(scan_->savePath, QStringLiteral("/tmp/out/d.rsf"));
        scan_->saveUnmarked = scan_->saveMarkPlanned = 0;
        // Cancelled: nothing changes.
        SavePanel::queueAnswer(QString());
        wc_->bSave = 0;
        wc_->exportButtonAction();
        QCOMPARE(wc_->bSave, 0);
        // The chooser opens in the folder last saved to while it is there
        // (/tmp/out is not: the default folder).
        QCOMPARE(SavePanel::lastDirectory(), scan_->GetDefaultSavePath());
        QTemporaryDir last;
        scan_->savePath = last.filePath(QStringLiteral("earlier.rsf"));
        SavePanel::queueAnswer(QString());
        wc_->exportButtonAction();
        QCOMPARE(SavePanel::lastDirectory(), last.path());

        // A save whose window was closed goes on: its failure is still told,
        // and another export meanwhile is refused with an alert, no chooser.
        SavePanel::queueAnswer(QStringLiteral("/tmp/out/c"));
        test::whenModal(QStringLiteral("VXProgressWindow"), [](QWidget* w) {
            static_cast<widgets::TCImageWindow*>(w)->standardWindowButton(widgets::TCImageWindow::CloseButton)->click();
        });
        wc_->exportButtonAction();
        scan_->saveStatus = 2;
        const int chosen = SavePanel::runCount();
        SavePanel::queueAnswer(QString());
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc_->exportButtonAction();
        SavePanel::clearQueuedAnswers();
        QCOMPARE(SavePanel::runCount(), chosen);
        QCOMPARE(kit::Alert::queuedAnswerCount(), 0);
        scan_->saveStatus = 0;
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        scan_->finishSaveOrLoad(7);
        QTRY_COMPARE(kit::Alert::queuedAnswerCount(), 0);
    }

    // A save whose window was closed still runs. Closing and Home ask "Stop
    // the save?": going on lets it end; stopping stops it and leaves once
    // it has ended. A deep scan meanwhile is refused by the program's own
    // alert, which tells how far the save is.
    void leavingDuringSave() {
        ended();
        SavePanel::queueAnswer(QStringLiteral("/tmp/out/h1"));
        test::whenModal(QStringLiteral("VXProgressWindow"), [](QWidget* w) {
            static_cast<widgets::TCImageWindow*>(w)->standardWindowButton(widgets::TCImageWindow::CloseButton)->click();
        });
        wc_->exportButtonAction();
        scan_->saveStatus = 2;
        scan_->progressTotal = 200, scan_->progressCurrent = 50;
        for (bool home : {false, true}) {
            kit::Alert::queueAnswer(kit::kAlertAlternateReturn); // go on
            if (home)
                wc_->backButtonAction();
            else
                wc_->closeWindow();
            QTRY_COMPARE(kit::Alert::queuedAnswerCount(), 0);
            QTest::qWait(20); // the answer has been delivered
            QCOMPARE(terminations_, 0);
            QVERIFY(!VXDeletailWindowController::lastShownRootWindow());
            QCOMPARE(scan_->count("StopSave"), 0);
        }
        QString title, message, informative;
        QColor background;
        std::function<void()> look = [&] {
            const QList<QMessageBox*> open = kit::Alert::openAlerts();
            if (open.isEmpty()) return void(QTimer::singleShot(10, look));
            QMessageBox* box = open.front();
            title = box->windowTitle(), message = box->text(), informative = box->informativeText();
            background = box->grab().toImage().pixelColor(2, box->height() - 3);
            kit::Alert::buttonForAnswer(box, kit::kAlertDefaultReturn)->click();
        };
        QTimer::singleShot(0, look);
        wc_->deepSrcanButtonAction();
        QCOMPARE(scan_->count("DoDeepScan"), 0);
        QCOMPARE(wc_->isDeepScan, 0);
        QCOMPARE(title, QStringLiteral("Salvor"));
        QCOMPARE(message, platform::localizedString("SAVE_STILL_RUNNING"));
        QCOMPARE(informative, QStringLiteral("25% of it is written."));
        QVERIFY2(background.lightness() < 60, qPrintable(background.name()));

        // Home, stopped: home only once the save has ended.
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc_->backButtonAction();
        QTRY_COMPARE(scan_->count("StopSave"), 1);
        QTest::qWait(100);
        QVERIFY(!VXDeletailWindowController::lastShownRootWindow());
        // Meanwhile a window says that the save is still being stopped; it
        // goes with the save.
        VXProgressWindow* stopping = VXProgressWindow::saveEndWindow();
        QVERIFY(stopping && stopping->window()->isVisible());
        QCOMPARE(stopping->Description->text(), platform::localizedString("SAVE_STOPPING_WAIT"));
        scan_->saveStatus = 0;
        QTRY_VERIFY(VXDeletailWindowController::lastShownRootWindow());
        QTRY_VERIFY(!VXProgressWindow::saveEndWindow());
        // The save stopped so tells no failure.
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        scan_->finishSaveOrLoad(1);
        QTest::qWait(800);
        QCOMPARE(kit::Alert::queuedAnswerCount(), 1);
        kit::Alert::clearQueuedAnswers();
        delete VXDeletailWindowController::lastShownRootWindow();
        delete wc_.data();
        // Closing, stopped: the program ends (its delegate waits for the save).
        ended();
        scan_->saveStatus = 2;
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc_->closeWindow();
        QTRY_COMPARE(terminations_, 1);
        scan_->saveStatus = 0;
    }

    // The scanned disk goes while the export's progress window runs from a
    // handler of this window: back home happens, the old start window and
    // this window are released only after the run has returned into it.
    void detachDuringExport() {
        test::FakeClock clock;
        test::FakeFetcher fetcher;
        auto* app = new VXAppDelegate(clock, fetcher);
        app->setTerminateHook([] {});
        ended();
        app->rootWindowCon = new VXRootWindowController;
        app->rootWindowCon->deletailWC = wc_;
        QPointer<VXRootWindowController> oldRoot = app->rootWindowCon;
        SavePanel::queueAnswer(QStringLiteral("/tmp/out/c.rsf"));
        test::whenModal(QStringLiteral("VXProgressWindow"), [this, oldRoot](QWidget*) {
            kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
            platform::NotificationCenter::defaultCenter().post("RefreshDetachDevice", {{"USBPath", "Disk"}});
            QVERIFY(QTest::qWaitFor([] { return VXDeletailWindowController::lastShownRootWindow() != nullptr; }, 5000));
            QTest::qWait(300);
            QVERIFY(wc_ && oldRoot); // still there while the run is on the stack
            scan_->finishSaveOrLoad(0);
        });
        wc_->exportButtonAction();
        QCOMPARE(wc_->bSave, 1);
        QTRY_VERIFY(!wc_ && !oldRoot);
        QCOMPARE(app->rootWindowCon, VXDeletailWindowController::lastShownRootWindow());
        delete app->rootWindowCon;
        app->rootWindowCon = nullptr;
        delete app;
    }

    // Keyboard: the path tree takes focus at the end, letters select nothing,
    // arrows do; Space ticks a list row (refused while running); Tab order.
    void keyboard() {
        ended();
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(wc_->outlineView));
        QCOMPARE(wc_->opDataFile.get(), wc_->allDiskArr[0].item().get());
        wc_->ExpandeRootItem();
        QTest::keyClick(wc_->outlineView, Qt::Key_D);
        QCOMPARE(wc_->opDataFile.get(), wc_->allDiskArr[0].item().get());
        QTest::keyClick(wc_->outlineView, Qt::Key_Down);
        OpNodeData* next = static_cast<OpNodeData*>(wc_->outlineView->itemAtRow(1));
        QVERIFY(next && next->parent().get() == wc_->allDiskArr[0].item().get());
        QCOMPARE(wc_->opDataFile.get(), next);
        // A click on a row fills the list once.
        const int fills = scan_->count("GetFileNodeToArray");
        const QRect docs = wc_->outlineView->visualRect(wc_->outlineView->indexForItem(item("Docs")));
        QTest::mouseClick(wc_->outlineView->viewport(), Qt::LeftButton, {}, QPoint(120, docs.center().y()));
        QCOMPARE(wc_->opDataFile.get(), item("Docs"));
        QCOMPARE(scan_->count("GetFileNodeToArray"), fills + 1);
        QCOMPARE(wc_->arrList.size(), std::size_t(3));

        wc_->tableView->setFocus();
        wc_->tableView->setCurrentIndex(wc_->tableView->model()->index(1, 1));
        IFileNode* f = wc_->arrList[1].file();
        QTest::keyClick(wc_->tableView, Qt::Key_Space);
        QCOMPARE(OpNodeData::fileNodeState(f), 2);

        QList<QWidget*> walk;
        wc_->outlineView->setFocus();
        for (int i = 0; i < 4; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walk << QApplication::focusWidget();
        }
        QCOMPARE(walk, (QList<QWidget*>{wc_->tableView, wc_->search->textField(), wc_->backHomeButton,
                                        wc_->continueButton}));
    }
};

QTEST_MAIN(ResultsWindowTest)
#include "ResultsWindowTest.moc"
