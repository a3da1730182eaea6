// Escape on the results window's warnings, pressed on the alert as a user
// presses it, over a scripted scan: the answer that keeps the scan and
// writes nothing.
#include "engine/tree/FilesystemNode.h"
#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "tests/support/ScriptedScan.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/RootWindow.h"
#include "ui/windows/SavePanel.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::ScriptedScan;

class SafeAnswersTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    ScriptedScan* scan_ = nullptr;
    QPointer<VXDeletailWindowController> wc_;
    int terminations_ = 0;

    // A quick scan of a volume, running with one file found.
    void running() {
        scan_->disks = {{"Disk", 4000000000ULL, {{"Vol", 2000000000ULL}}}};
        std::vector<DiskVolumeNodeRef> items;
        scan_->GetDeviceInfoToArray(items);
        wc_ = new VXDeletailWindowController;
        wc_->setSelectDiskVolumeData(items[0]->children()[0]);
        wc_->showWindow();
        QApplication::setActiveWindow(wc_->window());
        wc_->getData();
        scan_->file(scan_->root("Vol"), "a.jpg", 5000);
        update(40);
    }
    void update(double percent) {
        scan_->update(percent);
        QCoreApplication::processEvents();
        QCoreApplication::processEvents();
    }
    // Presses Escape on the next alert once it is on screen; its text is
    // kept in title.
    void escapeNextAlert(QString& title) {
        auto* timer = new QTimer;
        connect(timer, &QTimer::timeout, [timer, &title] {
            if (kit::Alert::openAlerts().isEmpty()) return;
            timer->stop();
            timer->deleteLater();
            QMessageBox* box = kit::Alert::openAlerts().front();
            title = box->text();
            QApplication::setActiveWindow(box);
            QTest::keyClick(box, Qt::Key_Escape);
        });
        timer->start(10);
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

    // "Stop the scan?" on the window's close: Escape keeps the window, its
    // scan running (paused while asked, then resumed) and the process.
    void escapeOnCloseKeepsTheWindowAndItsScan() {
        running();
        QCOMPARE(scan_->scanStatus, 2);
        QString title;
        escapeNextAlert(title);
        QTest::mouseClick(static_cast<widgets::TCImageWindow*>(wc_->window())
                              ->standardWindowButton(widgets::TCImageWindow::CloseButton),
                          Qt::LeftButton);
        QTRY_COMPARE(title, platform::localizedString("PAGE_FOUR_SCAN_STOP_TITLE"));
        QTRY_VERIFY(kit::Alert::openAlerts().isEmpty());
        QTRY_COMPARE(scan_->scanStatus, 2);
        QVERIFY(scan_->stops.empty());
        QCOMPARE(wc_->isCloseWindow, 0);
        QVERIFY(wc_->window()->isVisible());
        // The scan goes on into the window.
        scan_->file(scan_->root("Vol"), "b.jpg", 5000);
        update(60);
        QVERIFY2(wc_->findFilesLabel->text().endsWith(QLatin1String(" 2")), qPrintable(wc_->findFilesLabel->text()));
        QTest::qWait(50);
        QCOMPARE(terminations_, 0);
    }

    // Saving the result into a folder on the scanned volume warns: Escape
    // saves nothing there and asks for no other place.
    void escapeOnSavingOntoTheScannedVolumeSavesNothing() {
        running();
        scan_->endScan();
        QCoreApplication::processEvents();
        QTemporaryDir volume;
        scan_->scannedFolder = volume.path();
        SavePanel::queueAnswer(volume.filePath(QStringLiteral("result.rsf")));
        const int runs = SavePanel::runCount();
        // A save that starts shows its progress window: it is ended at once.
        bool progress = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, [&] {
            QWidget* w = kit::modalWindow();
            if (progress || !w || w->objectName() != QLatin1String("VXProgressWindow")) return;
            progress = true;
            scan_->finishSaveOrLoad(0);
        });
        watch.start(10);
        QString title;
        escapeNextAlert(title);
        wc_->exportButtonAction();
        QCOMPARE(title, platform::localizedString("SAVE_SAME_DISK_WARNING"));
        QCOMPARE(SavePanel::runCount(), runs + 1);
        QTest::qWait(50);
        QVERIFY(!progress);
        QVERIFY(scan_->lastRestorePath.isEmpty());
        QCOMPARE(wc_->bSave, 0);
        QVERIFY(QDir(volume.path()).isEmpty());
        QVERIFY(wc_->window()->isVisible());
    }
};

QTEST_MAIN(SafeAnswersTest)
#include "SafeAnswersTest.moc"
