// The start window over the fake facade: the file-type page, the choice of
// device (skip, device page, APFS notice), the device page by mouse and
// keyboard, device changes, and importing a saved scan result.
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/widgets/Cells.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/Dialogs.h"
#include "ui/windows/OpenPanel.h"
#include "ui/windows/RootWindow.h"
#include "platform/NotificationCenter.h"
#include "tests/ui/windows/WindowTestSupport.h"

#include <QHeaderView>
#include <QLabel>
#include <QPushButton>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::FakeFacade;

// Declared before the data columns use it; an optimised build instantiates
// the type's meta-type at its first use.
Q_DECLARE_METATYPE(std::vector<FakeFacade::Disk>)

namespace {
using Disk = FakeFacade::Disk;
using Volume = FakeFacade::Volume;

int maskOf(const QStringList& list) {
    int m = 0;
    for (const QString& s : list) m |= s.toInt();
    return m;
}

// The device page's row is drawn in the chosen colour (between the name and size texts).
bool rowDrawnChosen(VXSelectDiskViewController* page, int row) {
    const QImage shot = page->outlineView->viewport()->grab().toImage();
    const int height = page->outlineView->rowHeight();
    const QColor got = shot.pixelColor(300, row * height + height / 2), want = widgets::chosenRowColor();
    return qAbs(got.red() - want.red()) + qAbs(got.green() - want.green()) + qAbs(got.blue() - want.blue()) < 24;
}
} // namespace

class StartWindowTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    FakeFacade* fake_ = nullptr;
    VXRootWindowController* root_ = nullptr;

    VXRootWindowController* open() {
        root_ = new VXRootWindowController;
        root_->showWindow();
        QApplication::setActiveWindow(root_->window());
        return root_;
    }
    // Start on the file-type page; the device list comes on the next pass.
    void start() { QTest::keyClick(root_->window(), Qt::Key_Return); }
    void openDevicePage(std::vector<Disk> disks) {
        fake_->disks = std::move(disks);
        open();
        start();
        QTRY_VERIFY(root_->selectDiskVC);
    }

private slots:
    void initTestCase() { test::setUpWindowTests(config_); }
    void init() {
        fake_ = new FakeFacade;
        kit::Alert::clearQueuedAnswers();
        OpenPanel::clearQueuedAnswers();
    }
    void cleanup() {
        delete root_;
        root_ = nullptr;
        delete fake_;
    }

    void fileTypePage_data() {
        QTest::addColumn<QString>("clicks"); // toggle tags, "b" the all-types box
        QTest::addColumn<QString>("box");
        QTest::addColumn<int>("mask");
        QTest::addColumn<bool>("startUsable");
        QTest::newRow("opens with all") << "" << "checkbox_yes" << 63 << true;
        QTest::newRow("one off") << "0" << "checkbox_election" << 62 << true;
        QTest::newRow("last off") << "012345" << "checkbox_no" << 0 << false;
        QTest::newRow("box on some") << "03b" << "checkbox_yes" << 63 << true;
        QTest::newRow("box on all") << "b" << "checkbox_no" << 0 << false;
        QTest::newRow("on one by one") << "b543210" << "checkbox_yes" << 63 << true;
    }
    void fileTypePage() {
        QFETCH(QString, clicks);
        open();
        VXSelectTypeViewController* page = root_->selectTypeVC;
        for (QChar c : clicks) {
            QAbstractButton* b = c == 'b' ? static_cast<QAbstractButton*>(page->alltypesButton)
                                          : page->typeButtons[c.digitValue()];
            QTest::mouseClick(b, Qt::LeftButton, {}, c == 'b' ? b->rect().center() : QPoint(45, 25));
        }
        QTEST(page->allTypesImage(), "box");
        QTEST(root_->selectValues, "mask");
        QCOMPARE(maskOf(page->selectArr), root_->selectValues);
        QTEST(page->startScanButton->isUsable(), "startUsable");
        QCOMPARE(root_->window()->size(), QSize(1000, 640));
        QCOMPARE(root_->importButton->x(), 966);
    }

    void keyboardOnFileTypePage() {
        open();
        VXSelectTypeViewController* page = root_->selectTypeVC;
        page->typeButtons[0]->setFocus();
        QList<QWidget*> walk;
        for (int i = 0; i < 7; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            walk.append(QApplication::focusWidget());
        }
        const QList<QWidget*> expected{page->typeButtons[1], page->typeButtons[2], page->typeButtons[3],
                                       page->typeButtons[4], page->typeButtons[5], page->alltypesButton,
                                       page->startScanButton};
        QCOMPARE(walk, expected);
        page->typeButtons[2]->setFocus();
        QTest::keyClick(page->typeButtons[2], Qt::Key_Space);
        QCOMPARE(root_->selectValues, 63 & ~4);
        QCOMPARE(fake_->count("NotifiyDeviceInfoAfterInit"), 0);
        start();
        QCOMPARE(fake_->count("NotifiyDeviceInfoAfterInit"), 1);
    }

    void choiceOfDevice_data() {
        QTest::addColumn<std::vector<Disk>>("disks");
        QTest::addColumn<bool>("devicePage");
        QTest::addColumn<QString>("chosen"); // the device page's or the handed-over choice
        const std::vector<Volume> one{{"V1", 900001}};
        QTest::newRow("one volume within 100000") << std::vector<Disk>{{"D", 1000000, one}} << false << "V1";
        QTest::newRow("exactly 100000 more")
            << std::vector<Disk>{{"D", 1000000, {{"V1", 900000}}}} << true << "V1";
        QTest::newRow("two volumes")
            << std::vector<Disk>{{"D", 2000000, {{"V1", 900000}, {"V2", 900000}}}} << true << "V1";
        QTest::newRow("volumes on two disks")
            << std::vector<Disk>{{"D", 900000, one}, {"E", 900000, {{"W1", 900000}}}} << true << "V1";
        QTest::newRow("no disks") << std::vector<Disk>{} << true << "";
    }
    void choiceOfDevice() {
        QFETCH(bool, devicePage);
        QFETCH(std::vector<Disk>, disks);
        QFETCH(QString, chosen);
        fake_->disks = disks;
        open();
        start();
        QTRY_COMPARE(root_->whichPage, 3);
        QCOMPARE(fake_->recoveryMask, 63u);
        QCOMPARE(root_->importButton->isHidden(), !devicePage);
        if (!devicePage) {
            QVERIFY(!root_->selectDiskVC);
            QVERIFY(root_->deletailWC);
            QCOMPARE(root_->deletailWC->selectDiskVolumeData->name(), chosen);
            QVERIFY(!root_->window()->isVisible());
            QCOMPARE(fake_->count("DoScanWithData"), 0); // 0.3 s later
            QTRY_COMPARE(fake_->count("DoScanWithData"), 1);
            QCOMPARE(fake_->count("DoScanWithData"), 1);
            return;
        }
        QVERIFY(root_->selectDiskVC && !root_->deletailWC);
        VXSelectDiskViewController* page = root_->selectDiskVC;
        QCOMPARE(page->selectDiskVolume ? page->selectDiskVolume->name() : QString(), chosen);
        QCOMPARE(root_->selectVolumeData ? root_->selectVolumeData->name() : QString(), chosen);
        QCOMPARE(page->outlineView->hasFocus(), true);
        if (!chosen.isEmpty()) QVERIFY(rowDrawnChosen(page, 1));
        QCOMPARE(page->outlineView->model()->rowCount(), int(disks.size()));
    }

    void apfsNotice_data() {
        QTest::addColumn<int>("how"); // 0 OK, 1 close button, 2 the close path (fade)
        QTest::newRow("OK") << 0;
        QTest::newRow("close button") << 1;
        QTest::newRow("fade") << 2;
    }
    void apfsNotice() {
        QFETCH(int, how);
        fake_->disks = {{"D", 1000000, {}}}; // disks, but no volume to choose
        open();
        test::whenModal(QStringLiteral("APFSScanWindowController"), [how](QWidget* modal) {
            auto* w = static_cast<widgets::TCImageWindow*>(modal);
            if (how == 0) w->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
            if (how == 1) w->standardWindowButton(widgets::TCImageWindow::CloseButton)->click();
            if (how == 2) kit::performClose(w);
        });
        start();
        QTRY_COMPARE(root_->apfsNoticeCount, 1);
        QTRY_COMPARE(kit::modalDepth(), 0);
        QVERIFY(root_->window()->isVisible());
        // Usable again: a toggle still clicks.
        QTest::mouseClick(root_->selectTypeVC->typeButtons[0], Qt::LeftButton, {}, QPoint(45, 25));
        QCOMPARE(root_->selectValues, 62);
    }

    void devicePageMouseAndKeys() {
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        widgets::VXCustomOutlineView* outline = page->outlineView;
        // Empty space: nothing chosen, scan off, the start window keeps its choice.
        QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, QPoint(20, outline->viewport()->height() - 5));
        QVERIFY(!page->selectDiskVolume);
        QVERIFY(!page->scanButton->isUsable());
        QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("A1"));
        // Arrows and type-ahead choose as clicks do.
        outline->setFocus();
        QTest::keyClick(outline, Qt::Key_Down);
        QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("A2"));
        QCOMPARE(page->selectedRow, 2LL);
        QTest::keyClicks(outline, QStringLiteral("Br"));
        QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("Bravo"));
        QCOMPARE(root_->selectVolumeData->parentName(), QStringLiteral("Bravo"));
        QVERIFY(page->scanButton->isUsable());
        // A double click on a header starts nothing.
        QHeaderView* header = outline->header();
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(10, 5));
        QTest::mouseDClick(header->viewport(), Qt::LeftButton, {}, QPoint(10, 5));
        QVERIFY(page->bClickHead);
        QVERIFY(!root_->deletailWC);
        // Return scans the chosen row.
        QTest::keyClick(root_->window(), Qt::Key_Return);
        QVERIFY(root_->deletailWC);
        QCOMPARE(root_->deletailWC->selectDiskVolumeData->name(), QStringLiteral("Bravo"));
    }

    // A burst of device events makes one listing, off the window thread;
    // the rebuilt page keeps the device chosen (by identity, wherever the
    // list now places it) while it is listed, else row 1; Return scans the
    // device chosen when it was pressed.
    void deviceChangeRebuildsInPlace_data() {
        QTest::addColumn<int>("downs"); // Down presses from row 1 before the events
        QTest::addColumn<std::vector<Disk>>("after");
        QTest::addColumn<bool>("returnFirst"); // Return before the merged events are listed
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<int>("row");
        const Disk usb{"USB", 4000000, {{"U1", 1000000}, {"U2", 1000000}}, false, true};
        const Disk alpha{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, bravo{"Bravo", 500000, {{"B1", 400000}}},
            card{"Card", 300000, {}};
        QTest::newRow("a disk comes before the volume chosen")
            << 1 << std::vector<Disk>{usb, alpha, bravo, card} << false << "A2" << 5;
        QTest::newRow("a disk before it goes: the whole disk chosen")
            << 4 << std::vector<Disk>{bravo, card} << false << "Card" << 2;
        QTest::newRow("row 1 kept as chosen") << 0 << std::vector<Disk>{usb, alpha, bravo, card} << false << "A1" << 4;
        QTest::newRow("the volume chosen goes")
            << 1 << std::vector<Disk>{usb, {"Alpha", 2000000, {{"A1", 900000}}}} << false << "U1" << 1;
        QTest::newRow("its disk goes") << 3 << std::vector<Disk>{alpha, card} << false << "A1" << 1;
        QTest::newRow("Return before the listing") << 1 << std::vector<Disk>{usb, alpha} << true << "A2" << 2;
    }
    void deviceChangeRebuildsInPlace() {
        QFETCH(int, downs);
        QFETCH(std::vector<Disk>, after);
        QFETCH(bool, returnFirst);
        QFETCH(QString, chosen);
        QFETCH(int, row);
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}},
                        {"Bravo", 500000, {{"B1", 400000}}},
                        {"Card", 300000, {}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        for (int i = 0; i < downs; ++i) QTest::keyClick(page->outlineView, Qt::Key_Down);
        fake_->disks = after;
        const long long before = page->selectedRow;
        for (const char* name : {"RefreshAttachDevice", "RefreshDetachDevice", "RefreshDetachDevice"})
            platform::NotificationCenter::defaultCenter().post(name);
        QCOMPARE(page->selectedRow, before); // nothing yet
        QCOMPARE(fake_->count("RefreshDeviceInfoInBackground"), 0); // merged after a short wait
        if (returnFirst) {
            QTest::keyClick(root_->window(), Qt::Key_Return);
            QTest::qWait(int(VXSelectDiskViewController::kRefreshDelay.count()) * 2);
            QCOMPARE(fake_->count("RefreshDeviceInfoInBackground"), 0);
        } else {
            QTRY_COMPARE(fake_->count("RefreshDeviceInfoInBackground"), 1);
            QTRY_COMPARE(page->outlineView->model()->rowCount(), int(after.size()));
            page->outlineView->grab(); // paints the rebuilt rows (ASan watches the old ones)
            QCOMPARE(page->selectDiskVolume->name(), chosen);
            QCOMPARE(root_->selectVolumeData->name(), chosen);
            QCOMPARE(page->selectedRow, (long long)row);
            QVERIFY(rowDrawnChosen(page, row));
            QCOMPARE(fake_->count("RefreshDeviceInfoInBackground"), 1);
            QCOMPARE(fake_->count("RefreshDeviceInfo"), 0); // the window thread never lists
            QTest::keyClick(root_->window(), Qt::Key_Return);
        }
        QVERIFY(root_->deletailWC);
        QCOMPARE(root_->deletailWC->selectDiskVolumeData->name(), chosen);
        QTRY_VERIFY(fake_->scanned);
        QCOMPARE(fake_->scanned->name(), chosen);
    }

    // A device event leaves the keyboard focus where the user put it: Tab to
    // the scan button, a device comes (or goes), and Space still scans. The
    // page's first listing gives the list the focus.
    void deviceChangeKeepsFocus_data() {
        QTest::addColumn<QString>("event");
        QTest::newRow("attached") << "RefreshAttachDevice";
        QTest::newRow("detached") << "RefreshDetachDevice";
    }
    void deviceChangeKeepsFocus() {
        QFETCH(QString, event);
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(page->outlineView));
        while (QApplication::focusWidget() != page->scanButton) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY(QApplication::focusWidget() != page->outlineView); // the scan button comes before the list again
        }
        fake_->disks.push_back({"USB", 4000000, {{"U1", 1000000}}, false, true});
        platform::NotificationCenter::defaultCenter().post(event.toUtf8().constData());
        QTRY_COMPARE(page->outlineView->model()->rowCount(), 3);
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(page->scanButton));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Space);
        QVERIFY(root_->deletailWC);
        QCOMPARE(root_->deletailWC->selectDiskVolumeData->name(), QStringLiteral("A1"));
    }

    // Events coming faster than the merge wait (a card reader probing, other
    // programs attaching images) do not hold the list back until they stop:
    // it is read again and redrawn while they still come, the choice kept.
    void burstOfEventsRedrawsTheList() {
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        QTest::keyClick(page->outlineView, Qt::Key_Down);
        QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
        fake_->disks.push_back({"USB", 4000000, {{"U1", 1000000}}, false, true});
        const int gap = int(VXSelectDiskViewController::kRefreshDelay.count()) / 2;
        int events = 0;
        for (; events < 12 && page->outlineView->model()->rowCount() != 3; ++events) {
            platform::NotificationCenter::defaultCenter().post("RefreshAttachDevice");
            QTest::qWait(gap);
        }
        QVERIFY2(events < 12, "the list was not redrawn while the events came");
        QVERIFY(fake_->count("RefreshDeviceInfoInBackground") >= 1);
        QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
        QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("A2"));
    }

    // Bursts keep being listed after the first: each makes one listing,
    // answered with the device chosen kept and drawn chosen, and Return
    // scans it.
    void everyBurstIsListed() {
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        QTest::keyClick(page->outlineView, Qt::Key_Down);
        QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
        const Disk later[] = {{"USB", 4000000, {{"U1", 1000000}}, false, true}, {"Card", 300000, {}}};
        for (int burst = 1; burst <= 2; ++burst) {
            fake_->disks.insert(fake_->disks.begin(), later[burst - 1]); // the chosen row moves down
            for (const char* name : {"RefreshAttachDevice", "RefreshAttachDevice", "RefreshDetachDevice"})
                platform::NotificationCenter::defaultCenter().post(name);
            QTRY_COMPARE(page->outlineView->model()->rowCount(), 2 + burst);
            QCOMPARE(fake_->count("RefreshDeviceInfoInBackground"), burst);
            QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
            QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("A2"));
            QVERIFY(page->scanButton->isUsable());
            QVERIFY(rowDrawnChosen(page, int(page->selectedRow)));
            // Idle past the merge wait before the next medium comes.
            QTest::qWait(int(VXSelectDiskViewController::kRefreshDelay.count()) * 2);
        }
        QCOMPARE(fake_->count("RefreshDeviceInfoInBackground"), 2);
        QTest::keyClick(root_->window(), Qt::Key_Return);
        QVERIFY(root_->deletailWC);
        QCOMPARE(root_->deletailWC->selectDiskVolumeData->name(), QStringLiteral("A2"));
    }

    // The choice survives a burst of events: a selection change that leaves
    // the chosen row selected (as a burst repeats one) chooses nothing else,
    // and the next listing keeps the device chosen; a click on empty space
    // still clears it.
    void choiceSurvivesRepeatedSelectionChange() {
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}, {"Bravo", 500000, {{"B1", 400000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        widgets::VXCustomOutlineView* outline = page->outlineView;
        outline->setFocus();
        QTest::keyClick(outline, Qt::Key_Down);
        QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
        for (int i = 0; i < 3; ++i) {
            page->selectionDidChange(outline);
            QVERIFY(page->selectDiskVolume);
            QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
            QVERIFY(page->scanButton->isUsable());
        }
        fake_->disks.insert(fake_->disks.begin(), {"USB", 4000000, {{"U1", 1000000}}, false, true});
        platform::NotificationCenter::defaultCenter().post("RefreshAttachDevice");
        QTRY_COMPARE(outline->model()->rowCount(), 3);
        QCOMPARE(page->selectDiskVolume->name(), QStringLiteral("A2"));
        page->selectionDidChange(outline);
        QCOMPARE(root_->selectVolumeData->name(), QStringLiteral("A2"));
        QTest::mouseClick(outline->viewport(), Qt::LeftButton, {}, QPoint(20, outline->viewport()->height() - 5));
        QVERIFY(!page->selectDiskVolume);
        QVERIFY(!page->scanButton->isUsable());
    }

    void deviceChangeThenBackAndStartAgain() {
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}});
        VXSelectDiskViewController* page = root_->selectDiskVC;
        fake_->disks = {{"USB", 4000000, {{"U1", 1000000}}, false, true}};
        platform::NotificationCenter::defaultCenter().post("RefreshAttachDevice");
        QTRY_COMPARE(page->selectDiskVolume->name(), QStringLiteral("U1"));
        // Back and start again: the page is built anew from the facade's list.
        QTest::mouseClick(page->backButton, Qt::LeftButton, {}, QPoint(45, 16));
        QCOMPARE(root_->whichPage, 2);
        QVERIFY(!root_->importButton->isVisible());
        start();
        QTRY_VERIFY(root_->selectDiskVC != page);
    }

    void import_data() {
        QTest::addColumn<QString>("answer");
        QTest::addColumn<int>("code"); // -1: cancelled; -2: a save still runs
        QTest::newRow("loaded") << "/data/scans/disk.rsf" << 0;
        QTest::newRow("failed") << "/data/scans/disk.rsf" << 3;
        QTest::newRow("cancelled") << "" << -1;
        QTest::newRow("while a save runs") << "/data/scans/disk.rsf" << -2;
    }
    void import() {
        QFETCH(QString, answer);
        QFETCH(int, code);
        openDevicePage({{"Alpha", 2000000, {{"A1", 900000}, {"A2", 900000}}}});
        fake_->savePath = QStringLiteral("/data/last/previous.rsf");
        OpenPanel::queueAnswer(answer);
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        if (code >= 0)
            QTimer::singleShot(0, [this, code] {
                fake_->postProgress(30, 100);
                fake_->finishSaveOrLoad(std::uint64_t(code));
            });
        if (code == -2) {
            // Refused with an alert before the chooser opens.
            fake_->saveStatus = 2;
            QTimer::singleShot(0, [this] { fake_->finishSaveOrLoad(0); });
            root_->importButtonClick();
            fake_->saveStatus = 0;
            OpenPanel::clearQueuedAnswers();
            QCOMPARE(kit::Alert::queuedAnswerCount(), 0);
            QVERIFY(root_->window()->isVisible() && !root_->deletailWC);
            return;
        }
        root_->importButtonClick();
        QCOMPARE(OpenPanel::lastDirectory(), QStringLiteral("/data/last"));
        if (code < 0) {
            QVERIFY(root_->window()->isVisible() && !root_->deletailWC);
            QVERIFY(root_->importButton->isVisible());
            return;
        }
        QCOMPARE(fake_->recoveryMask, 127u);
        QCOMPARE(fake_->lastRestorePath, answer);
        QCOMPARE(fake_->lastSaveFlag, false);
        QCOMPARE(fake_->restoreKey, std::string("NormalScranValue"));
        QCOMPARE(kit::Alert::queuedAnswerCount(), code == 0 ? 1 : 0); // the failure alert took its answer
        QCOMPARE(root_->window()->isVisible(), code != 0);
        // A failed load gives the device page back whole: its open icon, its
        // following of media, and the next open.
        QCOMPARE(root_->importButton->isVisible(), code != 0);
        if (code == 0) {
            QVERIFY(root_->deletailWC && root_->deletailWC->window()->isVisible());
            QVERIFY(root_->deletailWC->isImport);
            return;
        }
        QVERIFY(!root_->deletailWC);
        platform::NotificationCenter::defaultCenter().post("RefreshAttachDevice");
        QTRY_COMPARE(fake_->count("RefreshDeviceInfoInBackground"), 1);
        OpenPanel::queueAnswer(QStringLiteral("/data/scans/good.rsf"));
        QTimer::singleShot(0, [this] { fake_->finishSaveOrLoad(0); });
        root_->importButtonClick();
        QCOMPARE(fake_->lastRestorePath, QStringLiteral("/data/scans/good.rsf"));
        QVERIFY(root_->deletailWC && root_->deletailWC->window()->isVisible());
        QVERIFY(!root_->window()->isVisible());
    }
};

QTEST_MAIN(StartWindowTest)
#include "StartWindowTest.moc"
