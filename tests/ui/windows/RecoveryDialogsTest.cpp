// The recovery dialogs over the fake facade: the progress dialog's panels and
// what its delegate hears, the end dialogs' folder link, closing and keys,
// and the dormant thumbnail collection item.
#include "engine/common/FileNode.h"
#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "tests/support/TestFileNode.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowDelegate.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/ProgressWindow.h"
#include "ui/windows/RecoveryDialogs.h"
#include "ui/windows/ThumbnailItem.h"

#include <QDesktopServices>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QUrl>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::FakeFacade;
using salvor::test::TestFileNode;

// Stands in for the file browser: records the folders opened.
class Workspace : public QObject {
    Q_OBJECT
public:
    QStringList opened;
public slots:
    void open(const QUrl& url) { opened << url.toLocalFile(); }
};

struct Delegate : VXShowScanProgressWindowControllerDelegate {
    std::vector<int> heard;
    void stopButtonAction(int action) override { heard.push_back(action); }
};

struct Prototypes : BVPrototypeDelegate {
    std::uint64_t loaded = 1;
    int reloads = 0;
    void reLoadCollectionViewData() override { ++reloads; }
    std::uint64_t viewLoadCnt() override { return loaded; }
};

class RecoveryDialogsTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    FakeFacade* fake_ = nullptr;
    Workspace workspace_;

    static bool shows(QWidget* panel) { return !panel->isHidden(); }

private slots:
    void initTestCase() {
        test::setUpWindowTests(config_);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &workspace_, "open");
    }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    void init() {
        fake_ = new FakeFacade;
        workspace_.opened.clear();
    }
    void cleanup() { delete fake_; }

    void progressPanels() {
        VXShowScanProgressWindowController dialog;
        Delegate d;
        dialog.setDelegate(&d);
        dialog.window();
        QVERIFY(shows(dialog.recoveryProgressView) && !shows(dialog.warningView) && !shows(dialog.noMemeryView));
        QCOMPARE(dialog.progressBar->maximum(), 100);

        dialog.changeProgressValue(40, QStringLiteral("a.jpg"));
        dialog.changeProgressValue(55, QString()); // a null name updates only the bar
        QCOMPARE(dialog.progressBar->value(), 55);
        QCOMPARE(dialog.scaningFileName->text(), QStringLiteral("a.jpg"));

        // Out of space: only the panels switch; the stop panel keeps its note.
        dialog.setNoMemeryViewHidden();
        QVERIFY(shows(dialog.noMemeryView) && !shows(dialog.recoveryProgressView) && !shows(dialog.warningView));
        dialog.noMemeryContinueButton->click();
        QVERIFY(shows(dialog.recoveryProgressView) && !shows(dialog.noMemeryView));
        dialog.stopButton->click();
        QVERIFY(shows(dialog.warningNode) && !dialog.warningNode->text().isEmpty());
        QCOMPARE(d.heard, (std::vector<int>{1, 1}));

        // Without a delegate the panels still switch and nothing is told.
        dialog.setDelegate(nullptr);
        dialog.noButton->click();
        QVERIFY(shows(dialog.recoveryProgressView));
        // The button that stops carries the YES text.
        QCOMPARE(dialog.noMemeryCancelButton->text(), platform::localizedString("PAGE_FOUR_RECOVERY_NO_SPACE_YES_BUTTON"));
    }

    // While the device does not answer, the recovery's and the save's
    // progress say so under their bars (the bar and the file name stand
    // still); the line goes once it answers again.
    void deviceNotAnsweringIsSaid() {
        VXShowScanProgressWindowController recovery;
        recovery.showWindow();
        VXProgressWindow save;
        save.setBSave(true);
        save.showWindow();
        for (QLabel* line : {recovery.deviceWaitLabel, save.deviceWaitLabel}) {
            QVERIFY(line && !line->isVisible());
            QCOMPARE(line->text(), platform::localizedString("DEVICE_NOT_ANSWERING_WAITING"));
            QVERIFY(line->fontMetrics().horizontalAdvance(line->text()) <= line->width());
        }
        fake_->deviceNotAnswering = true;
        QTRY_VERIFY(recovery.deviceWaitLabel->isVisible() && save.deviceWaitLabel->isVisible());
        fake_->deviceNotAnswering = false;
        QTRY_VERIFY(!recovery.deviceWaitLabel->isVisible() && !save.deviceWaitLabel->isVisible());
    }

    // Yes and cancel end the modal run before the delegate hears 2.
    void progressStopEndsModalRunFirst() {
        for (bool cancel : {false, true}) {
            VXShowScanProgressWindowController dialog;
            struct : VXShowScanProgressWindowControllerDelegate {
                QWidget* w = nullptr;
                bool runEndedFirst = false;
                void stopButtonAction(int action) override {
                    if (action == 2) runEndedFirst = !kit::isRunningModal(w) || kit::modalDepth() == 1;
                }
            } d;
            dialog.setDelegate(&d);
            d.w = dialog.window();
            dialog.setNoMemeryViewHidden();
            QTimer::singleShot(0, [&] { (cancel ? dialog.noMemeryCancelButton : dialog.yesButton)->click(); });
            QCOMPARE(kit::runModal(dialog.window()), kit::kModalResponseStop);
            QVERIFY(d.runEndedFirst);
        }
    }

    // A quit asks "Stop the recovery?" (pausing); Escape goes on and does not
    // quit; stopping on the question quits; the out-of-space panel's own
    // question serves, paused as it is.
    void progressQuit() {
        int quits = 0;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, "appWillTerminate", [&quits](const platform::Notification&) { ++quits; });
        VXShowScanProgressWindowController dialog;
        Delegate d;
        dialog.setDelegate(&d);
        dialog.window();
        QVERIFY(!dialog.applicationShouldTerminate());
        QVERIFY(shows(dialog.warningView) && dialog.quitAsked());
        dialog.closeWindow(); // Escape
        QVERIFY(shows(dialog.recoveryProgressView) && !dialog.quitAsked());
        dialog.stopButton->click();
        QVERIFY(!dialog.applicationShouldTerminate()); // the question on screen: no second pause
        dialog.yesButton->click();
        QCOMPARE(d.heard, (std::vector<int>{1, 1, 1, 2}));
        QCOMPARE(quits, 1);

        dialog.setNoMemeryViewHidden();
        QVERIFY(!dialog.applicationShouldTerminate());
        dialog.closeWindow();
        QVERIFY(shows(dialog.noMemeryView) && !dialog.quitAsked());
        QVERIFY(!dialog.applicationShouldTerminate());
        dialog.noMemeryCancelButton->click();
        QCOMPARE(d.heard, (std::vector<int>{1, 1, 1, 2, 2}));
        QCOMPARE(quits, 2);
        platform::NotificationCenter::defaultCenter().removeObserver(this);
    }

    void finishedDialog() {
        VXScanEndSaveWindowController dialog;
        dialog.setSavePathStr(QStringLiteral("/tmp/out dir"));
        dialog.window();
        QCOMPARE(dialog.savePathLabel->toolTip(), QStringLiteral("/tmp/out dir"));
        QVERIFY(dialog.savePathLabel->text().contains(QStringLiteral("underline")));
        dialog.jumpToSavePath();
        QCOMPARE(workspace_.opened, QStringList{QStringLiteral("/tmp/out dir")});

        // Return takes the OK button: closed at once, no fade, the run ends.
        test::whenModal(dialog.windowName(), [](QWidget* w) {
            QApplication::setActiveWindow(w);
            QTest::keyClick(w, Qt::Key_Return);
        });
        QCOMPARE(kit::runModal(dialog.window()), kit::kModalResponseAbort);
        QVERIFY(!dialog.window()->isVisible());
        QCOMPARE(kit::alphaValue(dialog.window()), 1.0);
    }

    // No folder string: the label shows what it had, nothing raised, the link opens nothing.
    void finishedDialogWithoutFolder() {
        VXScanEndSaveWindowController dialog;
        dialog.window();
        QCOMPARE(dialog.savePathLabel->text(), QString());
        QCOMPARE(dialog.savePathLabel->toolTip(), QString());
        dialog.jumpToSavePath();
        QVERIFY(workspace_.opened.isEmpty());
    }

    void notFinishedDialog() {
        VXScanNotEndSaveWindowController dialog;
        dialog.window();
        // What it says of the files copied, stopped by the user or by the
        // device, is so: with none copied, none is said to be in the folder.
        const QString copied = QStringLiteral("They were copied");
        for (const bool gone : {false, true}) {
            dialog.changeRecoveryFilesPoint(0, QStringLiteral("/tmp/dest"), 0, gone);
            const QString none = dialog.showRecoveryNoteLabel->text();
            QVERIFY2(!none.contains(copied) && !none.contains(QLatin1String(" 0 files")), qPrintable(none));
            QCOMPARE(none.startsWith(QLatin1String("The device stopped answering")), gone);
            dialog.changeRecoveryFilesPoint(7, QStringLiteral("/tmp/dest"), 0, gone);
            QCOMPARE(dialog.showRecoveryNoteLabel->text(),
                     platform::localizedFormat(gone ? "PAGE_FOUR_RECOVER_DEVICE_GONE_NODE" : "PAGE_FOUR_RECOVER_NOTEND_NODE",
                                               7.0));
            QVERIFY(dialog.showRecoveryNoteLabel->text().contains(copied));
        }
        dialog.jumpToSavePath();
        QCOMPARE(workspace_.opened, QStringList{QStringLiteral("/tmp/dest")});

        // The close button fades out first, then the run ends.
        dialog.window()->show();
        QTimer::singleShot(0, [&] { kit::performClose(dialog.window()); });
        QCOMPARE(kit::runModal(dialog.window()), kit::kModalResponseStop);
        QCOMPARE(kit::alphaValue(dialog.window()), 0.0);
        QVERIFY(!dialog.window()->isVisible());

        VXScanNotEndSaveWindowController empty;
        empty.window();
        empty.changeRecoveryFilesPoint(3, QString());
        empty.jumpToSavePath();
        QVERIFY(workspace_.opened.size() == 1);
    }

    void thumbnailItem() {
        TestFileNode root(1, 0, "root", true), file(2, 1, "pic.jpg", false, 10), other(3, 1, "b.jpg", false, 10);
        root.ShowNode(1), file.ShowNode(1), other.ShowNode(1);
        root.AddChild(&file), root.AddChild(&other);
        root.SetCheck(CHECK_ALL);
        file.SetCheck(CHECK_NONE); // the parent is partly ticked now
        Prototypes d;
        BVPrototype item;
        item.setDelegate(&d);
        item.setRepresentedNode(&root);
        BVView* cell = item.cell();
        QCOMPARE(cell->buttonImage, QStringLiteral("checkbox_no"));
        QCOMPARE(cell->titleLabel->text(), QStringLiteral("root"));
        QCOMPARE(cell->imageView->pixmap().toImage().convertToFormat(QImage::Format_ARGB32),
                 kit::namedImage(QStringLiteral("logo")).convertToFormat(QImage::Format_ARGB32));

        fake_->scanStatus = 2; // no change while a scan runs
        cell->button->click();
        QCOMPARE(OpNodeData::fileNodeState(&root), 1);
        QCOMPARE(d.reloads, 0);
        fake_->scanStatus = 0;
        cell->button->click(); // partly ticked becomes unticked
        QCOMPARE(OpNodeData::fileNodeState(&root), 0);
        QCOMPARE(cell->buttonImage, QStringLiteral("checkbox_no"));
        QCOMPARE(d.reloads, 1);
        cell->button->click();
        QCOMPARE(cell->buttonImage, QStringLiteral("checkbox_yes"));

        // With no views loaded every item shares one hidden cell.
        d.loaded = 0;
        BVPrototype a, b;
        a.setDelegate(&d), b.setDelegate(&d);
        a.setRepresentedNode(&file), b.setRepresentedNode(&other);
        QCOMPARE(a.cell(), b.cell());
        QVERIFY(a.cell()->isHidden() && a.cell()->listData() == nullptr);
    }
};

QTEST_MAIN(RecoveryDialogsTest)
#include "RecoveryDialogsTest.moc"
