// The application delegate over the fake facade, a hand-moved clock and a
// hand-answered fetcher: when the weekly check runs and what it opens, the
// first window when the list never comes, the menu, quitting during a scan,
// and the progress window of loads and saves.
#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/UserDefaults.h"
#include "services/DeviceData.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowDelegate.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/AppDelegate.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RootWindow.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QScrollArea>
#include <QToolButton>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::FakeClock;
using salvor::test::FakeFacade;
using salvor::test::FakeFetcher;

class LaunchTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    FakeFacade* fake_ = nullptr;
    FakeClock clock_;
    FakeFetcher fetcher_;
    VXAppDelegate* delegate_ = nullptr;
    int terminated_ = 0;

    void makeDelegate(windows::VersionListFetcher& fetcher) {
        delegate_ = new VXAppDelegate(clock_, fetcher);
        delegate_->setTerminateHook([this] { ++terminated_; });
    }
    // A window on the screen shows the text of key.
    static bool shows(const char* key) {
        const QString text = platform::localizedString(key);
        for (QWidget* top : QApplication::topLevelWidgets())
            if (top->isVisible())
                for (QLabel* label : top->findChildren<QLabel*>())
                    if (label->isVisible() && label->text() == text) return true;
        return false;
    }
    QString daysAgo(qint64 seconds) const {
        return clock_.current.addSecs(-seconds).toString(QString::fromLatin1(kCheckTimeFormat));
    }

private slots:
    void initTestCase() { test::setUpWindowTests(config_); }
    void init() {
        fake_ = new FakeFacade;
        fetcher_ = FakeFetcher();
        clock_.pending.clear();
        terminated_ = 0;
        kit::Alert::clearQueuedAnswers();
        platform::UserDefaults::remove(QStringLiteral("Participate"));
    }
    void cleanup() {
        delete delegate_;
        delegate_ = nullptr;
        delete fake_;
    }

    void updateCheck_data() {
        QTest::addColumn<QString>("stored");
        QTest::addColumn<int>("remote"); // the list's "VersionCheck" (the local one is 1)
        QTest::addColumn<bool>("checked");
        QTest::addColumn<bool>("updateWindow");
        QTest::addColumn<bool>("participate");
        QTest::newRow("6 d 23 h") << daysAgo(6 * 86400 + 23 * 3600) << 2 << false << false << false;
        QTest::newRow("exactly 7 days") << daysAgo(7 * 86400) << 1 << true << false << false;
        QTest::newRow("in the future") << daysAgo(-86400) << 2 << false << false << false;
        QTest::newRow("empty") << "" << 1 << true << false << true;
        QTest::newRow("one blank") << " " << 1 << true << false << true;
        QTest::newRow("not a time") << "yesterday" << 1 << true << false << false;
        QTest::newRow("newer") << "" << 2 << true << true << true;
        QTest::newRow("newer, closed by the close path") << " " << 3 << true << true << true;
    }
    void updateCheck() {
        QFETCH(int, remote);
        QFETCH(QString, stored);
        QFETCH(bool, updateWindow);
        fake_->updateTime = stored;
        fetcher_.list = {{QStringLiteral("VersionCheck"), remote}, {QStringLiteral("Version"), "2.0"}};
        makeDelegate(fetcher_);
        if (updateWindow)
            test::whenModal(QStringLiteral("VXCheckUpdateWindowController"), [this, remote](QWidget* w) {
                QVERIFY(!delegate_->rootWindowCon);
                if (remote == 3) kit::performClose(w); // fades out, then the start window all the same
                else delegate_->checkUpdateWindow->closeWindow();
            });
        delegate_->applicationDidFinishLaunching();
        QTRY_VERIFY(delegate_->rootWindowCon);
        QTEST(fetcher_.fetches == 1, "checked");
        QCOMPARE(fake_->updateTimeWritten, fetcher_.fetches == 1);
        QCOMPARE(bool(delegate_->checkUpdateWindow), updateWindow);
        QTEST(platform::UserDefaults::participate(), "participate");
    }

    // Whichever way the last window closes, the program ends: the start
    // window by its close button or the window manager, the results window
    // likewise.
    void closingTheLastWindowEndsTheProgram_data() {
        QTest::addColumn<bool>("results");
        QTest::addColumn<bool>("button");
        QTest::newRow("start window, button") << false << true;
        QTest::newRow("start window, window manager") << false << false;
        QTest::newRow("results window, button") << true << true;
        QTest::newRow("results window, window manager") << true << false;
    }
    void closingTheLastWindowEndsTheProgram() {
        QFETCH(bool, results);
        QFETCH(bool, button);
        fake_->updateTime = clock_.current.toString(QString::fromLatin1(kCheckTimeFormat));
        fake_->disks = {{"D", 1000000, {{"V1", 999000}}}}; // one volume: straight to the results window
        makeDelegate(fetcher_);
        delegate_->applicationDidFinishLaunching();
        QVERIFY(delegate_->rootWindowCon);
        QWidget* w = delegate_->rootWindowCon->window();
        if (results) {
            delegate_->rootWindowCon->beginToStartScan();
            QTRY_VERIFY(delegate_->rootWindowCon->deletailWC);
            w = delegate_->rootWindowCon->deletailWC->window();
        }
        auto* image = static_cast<widgets::TCImageWindow*>(w);
        if (button) image->standardWindowButton(widgets::TCImageWindow::CloseButton)->click();
        else w->close();
        QTRY_COMPARE(terminated_, 1);
        QVERIFY(!w->isVisible());
    }

    void listThatNeverComes() {
        fetcher_.answers = false;
        makeDelegate(fetcher_);
        delegate_->applicationDidFinishLaunching();
        QTest::qWait(20);
        QVERIFY(!delegate_->rootWindowCon);
        clock_.advance(4999);
        QVERIFY(!delegate_->rootWindowCon);
        clock_.advance(1);
        QTRY_VERIFY(delegate_->rootWindowCon);
    }

    void fileListShowsChangeLines() {
        // A real fetch of a file:// list named by the link table.
        QTemporaryDir dir;
        const QString list = dir.filePath(QStringLiteral("version.plist"));
        QVERIFY(platform::writePropertyList(list, QVariantMap{{"VersionCheck", 5}, {"Version", "5.0"},
                                                              {"1", "Faster deep scans"},
                                                              {"2", QString(40, QChar('x')) + " a long line"}}));
        QVERIFY(platform::updatePropertyList(QStringLiteral("LocalVersionMessage.plist"), [&](QVariantMap& m) {
            QVariantMap en = m.value("en").toMap();
            en["IniURL"] = QUrl::fromLocalFile(list).toString();
            m["en"] = en;
        }));
        makeDelegate(VersionListFetcher::network());
        test::whenModal(QStringLiteral("VXCheckUpdateWindowController"), [this](QWidget*) {
            VXCheckUpdateWindowController* w = delegate_->checkUpdateWindow;
            QVERIFY(w->haveUpdateView->isVisible() && !w->checkProgressView->isVisible());
            QCOMPARE(w->versionLabel->text(), QStringLiteral("Version 5.0:"));
            QStringList lines;
            for (QLabel* l : w->showVersionScrollView->findChildren<QLabel*>(QStringLiteral("changeLine")))
                lines << l->text();
            QCOMPARE(lines.size(), 2);
            QVERIFY(lines.contains(QStringLiteral("1:Faster deep scans")));
            // The dialog's bar image at its right end.
            const QImage shot = w->window()->grab().toImage();
            QCOMPARE(shot.pixelColor(w->window()->width() - 4, 11),
                     kit::namedImage(QStringLiteral("pop_header_bg")).pixelColor(100, 11));
            w->closeWindow();
        });
        delegate_->applicationDidFinishLaunching();
        QTRY_VERIFY(delegate_->rootWindowCon);
        QVERIFY(platform::updatePropertyList(QStringLiteral("LocalVersionMessage.plist"),
                                             [](QVariantMap& m) { m.remove("en"); }));
    }

    void menuUpdateWindowOpensNothing() {
        fake_->network = false;
        makeDelegate(fetcher_);
        test::whenModal(QStringLiteral("VXCheckUpdateWindowController"), [this](QWidget*) {
            QVERIFY(delegate_->checkUpdateWindow->noNetworkView->isVisible());
            delegate_->checkUpdateWindow->closeWindow();
        });
        delegate_->action("MENU_CHECK_UPDTE")->trigger();
        QVERIFY(!delegate_->rootWindowCon);
    }

    void menuOfTheStartWindow() {
        makeDelegate(fetcher_);
        fake_->updateTime = daysAgo(0);
        delegate_->applicationDidFinishLaunching();
        auto* w = delegate_->rootWindowCon->imageWindow();
        QCOMPARE(w->applicationMenuButton()->menu(), delegate_->menu());
        QApplication::setActiveWindow(w);
        QTest::keyClick(w, Qt::Key_M, Qt::ControlModifier);
        QVERIFY(w->windowState() & Qt::WindowMinimized);
    }

    void quitting_data() {
        QTest::addColumn<int>("status"); // the fake scan: 0 none, 2 running, 3 paused by the user
        QTest::addColumn<int>("answer"); // queued, or a key pressed on the sheet: -3 Escape, -4 Return
        QTest::addColumn<int>("terminated");
        QTest::addColumn<int>("statusAfter");
        QTest::newRow("no scan") << 0 << -2 << 1 << 0;
        QTest::newRow("running, continue") << 2 << 0 << 0 << 2;
        QTest::newRow("paused by the user, continue") << 3 << 0 << 0 << 3;
        QTest::newRow("running, stop") << 2 << 1 << 1 << 3;
        QTest::newRow("running, Escape") << 2 << -3 << 0 << 2;
        QTest::newRow("running, Return") << 2 << -4 << 1 << 3;
    }
    void quitting() {
        QFETCH(int, statusAfter);
        QFETCH(int, terminated);
        QFETCH(int, status);
        QFETCH(int, answer);
        makeDelegate(fetcher_);
        fake_->updateTime = daysAgo(0);
        delegate_->applicationDidFinishLaunching();
        fake_->scanStatus = status;
        if (answer >= 0) kit::Alert::queueAnswer(answer);
        QTest::keyClick(delegate_->rootWindowCon->window(), Qt::Key_Q, Qt::ControlModifier);
        if (status != 0) QCOMPARE(fake_->scanStatus, 3); // paused while the sheet is up
        if (answer < -2) {
            QTRY_COMPARE(kit::Alert::openAlerts().size(), 1);
            QTest::keyClick(static_cast<QWidget*>(kit::Alert::openAlerts().front()), answer == -3 ? Qt::Key_Escape : Qt::Key_Return);
        }
        QTRY_COMPARE(kit::Alert::queuedAnswerCount(), 0);
        QTRY_COMPARE(terminated_, terminated);
        QTRY_COMPARE(fake_->scanStatus, statusAfter);
        QTest::qWait(10); // the sheet's answer has been delivered once
        QCOMPARE(terminated_, terminated);
    }

    // Quitting while a recovery runs before its dialog shows: asked; Escape
    // goes on; stopping quits only once the worker has ended.
    void quittingDuringRecovery() {
        makeDelegate(fetcher_);
        fake_->updateTime = daysAgo(0);
        delegate_->applicationDidFinishLaunching();
        fake_->recoveryStatus = 2;
        for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
            QTest::keyClick(delegate_->rootWindowCon->window(), Qt::Key_Q, Qt::ControlModifier);
            QTRY_COMPARE(kit::Alert::openAlerts().size(), 1);
            QTest::keyClick(static_cast<QWidget*>(kit::Alert::openAlerts().front()), key);
            QTRY_VERIFY(kit::Alert::openAlerts().empty());
            QTRY_COMPARE(fake_->recoveryStatus, key == Qt::Key_Escape ? 2 : 0);
            QTest::qWait(20); // the sheet is gone
        }
        QTRY_COMPARE(terminated_, 1);
        QCOMPARE(fake_->count("StopRecvoery"), 1);

        // Stopping already (the dialog's Stop was pressed): no question, a wait.
        delete delegate_;
        makeDelegate(fetcher_);
        delegate_->applicationDidFinishLaunching();
        fake_->recoveryStatus = 1;
        QTest::keyClick(delegate_->rootWindowCon->window(), Qt::Key_Q, Qt::ControlModifier);
        QTest::qWait(100);
        QVERIFY(kit::Alert::openAlerts().empty() && delegate_->isEnding());
        QCOMPARE(terminated_, 1);
        fake_->recoveryStatus = 0;
        QTRY_COMPARE(terminated_, 2);
    }

    // Quitting while a save writes, its window closed: Ctrl+Q asks "Stop the
    // save?" (Escape goes on); stopping, or a signal's end without a
    // question, stops the save and ends the process only once its thread has.
    void quittingDuringSave() {
        for (bool bySignal : {false, true}) {
            delete delegate_;
            terminated_ = 0;
            makeDelegate(fetcher_);
            fake_->updateTime = daysAgo(0);
            delegate_->applicationDidFinishLaunching();
            fake_->saveStatus = 2;
            const int stops = fake_->count("StopSave");
            int ended = 0;
            if (bySignal) {
                delegate_->endAfterRecovery([&ended] { ++ended; });
            } else {
                for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
                    QTest::keyClick(delegate_->rootWindowCon->window(), Qt::Key_Q, Qt::ControlModifier);
                    QTRY_COMPARE(kit::Alert::openAlerts().size(), 1);
                    QCOMPARE(kit::Alert::openAlerts().front()->text(), platform::localizedString("SAVE_STOP_TITLE"));
                    QTest::keyClick(static_cast<QWidget*>(kit::Alert::openAlerts().front()), key);
                    QTRY_VERIFY(kit::Alert::openAlerts().empty());
                    QTest::qWait(20); // the answer has been delivered
                    QCOMPARE(delegate_->isEnding(), key == Qt::Key_Return);
                    QCOMPARE(fake_->count("StopSave"), stops + (key == Qt::Key_Return));
                }
            }
            QTest::qWait(100);
            QVERIFY(kit::Alert::openAlerts().empty() && delegate_->isEnding());
            QCOMPARE(fake_->count("StopSave"), stops + 1);
            QCOMPARE(fake_->saveStatus, 1);
            QCOMPARE(terminated_ + ended, 0);
            // Meanwhile a window says that the save is still being stopped.
            QTRY_VERIFY(shows("SAVE_STOPPING_WAIT"));
            fake_->saveStatus = 0;
            QTRY_COMPARE(terminated_ + ended, 1);
            QTRY_VERIFY(!shows("SAVE_STOPPING_WAIT"));
        }
    }

    // A start while an earlier instance is still there: it leaves at once,
    // unless that one is ending (a save being stopped, its windows gone):
    // then it says so and opens its first window once that one has gone.
    void startWhileAnEarlierOneEnds() {
        for (const bool ending : {false, true}) {
            delete delegate_;
            delegate_ = nullptr;
            terminated_ = 0;
            makeDelegate(fetcher_);
            fake_->updateTime = daysAgo(0);
            fake_->appRunning = true;
            fake_->appEnding = ending;
            const int closes = fake_->count("CloseApp");
            try {
                delegate_->applicationDidFinishLaunching();
            } catch (const FakeFacade::CloseAppCalled&) {
            }
            QCOMPARE(fake_->count("CloseApp"), closes + (ending ? 0 : 1));
            if (!ending) continue;
            QVERIFY(!delegate_->rootWindowCon);
            QTRY_VERIFY(shows("APP_EARLIER_ENDING_WAIT"));
            QTest::qWait(300);
            QVERIFY(!delegate_->rootWindowCon);
            fake_->appRunning = false; // the earlier one has gone: this one holds the lock
            QTRY_VERIFY(delegate_->rootWindowCon && delegate_->rootWindowCon->window()->isVisible());
            QTRY_VERIFY(!shows("APP_EARLIER_ENDING_WAIT"));
            QCOMPARE(fake_->count("CloseApp"), closes);
        }
        fake_->appEnding = false;
    }

    void progressWindow_data() {
        QTest::addColumn<bool>("save");
        QTest::addColumn<QList<QPoint>>("reports"); // (current, total)
        QTest::addColumn<int>("bar");
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("detailPosts");
        // A load's device was not found, but devices alike were attached.
        QTest::addColumn<bool>("alike");
        // What a failure tells: a damaged file, the device to attach (named
        // as the device list names it), or a save that kept the earlier one.
        QTest::addColumn<QString>("told");
        const QString damaged = platform::localizedString("READ_RSF_FAILED");
        QTest::newRow("load, out of order") << false << QList<QPoint>{{50, 100}, {30, 100}, {70, 100}} << 70 << 0 << 1
                                            << false << QString();
        QTest::newRow("total 0 counts as 1") << false << QList<QPoint>{{0, 0}, {1, 0}, {5, 0}} << 100 << 0 << 1
                                             << false << QString();
        QTest::newRow("save") << true << QList<QPoint>{{10, 40}} << 25 << 0 << 0 << false << QString();
        QTest::newRow("failed load") << false << QList<QPoint>{{10, 20}} << 50 << 4 << 0 << false << damaged;
        QTest::newRow("failed save") << true << QList<QPoint>{} << 0 << 1 << 0 << false << damaged;
        QTest::newRow("load of a device not attached, none alike")
            << false << QList<QPoint>{} << 0 << 6 << 0 << false
            << QStringLiteral("The scan result was made of “CARD” (32.00 MB, FAT16), which is not attached now. "
                              "Attach that device and open the scan result again.");
        QTest::newRow("load of a device not attached, one made alike attached")
            << false << QList<QPoint>{} << 0 << 6 << 0 << true
            << platform::localizedFormat("LOAD_RSF_DEVICE_ALIKE", QStringLiteral("CARD"), QStringLiteral("32.00 MB"),
                                         QStringLiteral("FAT16"));
        QTest::newRow("save with no place to keep the earlier one")
            << true << QList<QPoint>{{90, 100}} << 90 << 10 << 0 << false
            << platform::localizedString("SAVE_RSF_OLD_NOT_KEPT");
        // (Its kept copy held by a save running now.)
        QTest::newRow("load of a save cut short, the earlier one not put back")
            << false << QList<QPoint>{{40, 100}} << 40 << 11 << 0 << false
            << QStringLiteral("This file is a save that was cut short, and the earlier scan result it replaced could "
                              "not be put back because a save running now, or another opening of this file, is using "
                              "its kept copy. Try again once it has ended. Nothing was deleted: the kept copy is left "
                              "as it is in “/home/u/.local/state/salvor/salvor-kept.2049.12”.");
    }
    void progressWindow() {
        QFETCH(int, bar);
        QFETCH(bool, save);
        QFETCH(QList<QPoint>, reports);
        QFETCH(int, code);
        fake_->restoreKey = save ? "QueryProgressInfo" : "NormalScranValue";
        int posts = 0;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "ShowDetailWindow", [&posts](const platform::Notification&) { ++posts; });
        _DiskVolumeData card;
        card.name = "CARD";
        card.size = 32 << 20;
        card.volumeIndex = 0;
        card.fileSystem = 1;
        fake_->restoreDevice = DiskVolumeNodeData::initWithNodeData(card);
        QFETCH(bool, alike);
        fake_->restoreAlike = alike;
        fake_->oldSaveLeft = VXUIController::OldSaveLeft::Held;
        fake_->oldSaveRecord = QStringLiteral("/home/u/.local/state/salvor/salvor-kept.2049.12");
        QString told;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            const QList<QMessageBox*> alerts = kit::Alert::openAlerts();
            if (alerts.isEmpty()) return;
            told = alerts.front()->informativeText();
            kit::Alert::buttonForAnswer(alerts.front(), kit::kAlertDefaultReturn)->click();
        });
        answer.start(20);
        VXProgressWindow progress;
        progress.setStrPostName(QString::fromStdString(fake_->restoreKey));
        progress.setBSave(save);
        QTimer::singleShot(0, [&] {
            for (const QPoint& r : reports) fake_->postProgress(r.x(), r.y());
            QCOMPARE(progress.progress->value(), bar);
            fake_->finishSaveOrLoad(code);
            fake_->postProgress(1, 100); // after the end: ignored
        });
        kit::runModal(progress.window());
        QCOMPARE(progress.getResult(), code == 0);
        QTEST(told, "told");
        QTEST(posts, "detailPosts");
        platform::NotificationCenter::defaultCenter().removeObserver(this);
    }

    void progressWindowCloseAndQuit() {
        makeDelegate(fetcher_);
        // A save's window asks first: going on keeps it up; stopping fades it
        // and quits once the save has ended.
        {
            fake_->saveStatus = 2;
            VXProgressWindow progress;
            progress.setStrPostName(QStringLiteral("QueryProgressInfo"));
            progress.setBSave(true);
            QTimer::singleShot(0, [&] {
                for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
                    QTest::keyClick(progress.window(), Qt::Key_Q, Qt::ControlModifier);
                    QTRY_COMPARE(kit::Alert::openAlerts().size(), 1);
                    QTest::keyClick(static_cast<QWidget*>(kit::Alert::openAlerts().front()), key);
                    QTRY_VERIFY(kit::Alert::openAlerts().empty());
                    if (key != Qt::Key_Escape) break;
                    QTest::qWait(20);
                    QVERIFY(progress.window()->isVisible());
                    QCOMPARE(fake_->count("StopSave"), 0);
                }
            });
            kit::runModal(progress.window());
            QTRY_COMPARE(fake_->count("StopSave"), 1);
            QTest::qWait(50);
            QCOMPARE(terminated_, 0); // the save has not ended yet
            fake_->saveStatus = 0;
            QTRY_COMPARE(terminated_, 1);
            terminated_ = 0;
            delete delegate_;
            makeDelegate(fetcher_);
        }
        for (bool quit : {false, true}) {
            VXProgressWindow progress;
            progress.setStrPostName(QStringLiteral("NormalScranValue"));
            QTimer::singleShot(0, [&] {
                if (quit)
                    QTest::keyClick(progress.window(), Qt::Key_Q, Qt::ControlModifier);
                else
                    static_cast<widgets::TCImageWindow*>(progress.window())
                        ->standardWindowButton(widgets::TCImageWindow::CloseButton)
                        ->click();
            });
            QElapsedTimer t;
            t.start();
            kit::runModal(progress.window());
            QVERIFY(t.elapsed() < 400); // without waiting for the operation
            QVERIFY(!progress.window()->isVisible());
            QTRY_COMPARE(terminated_, quit ? 1 : 0);
            if (quit) QCOMPARE(kit::alphaValue(progress.window()), 0.0); // faded first
        }
    }
};

QTEST_MAIN(LaunchTest)
#include "LaunchTest.moc"
