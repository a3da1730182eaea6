// The results window's recovery, search, selection, previews and view
// switching over a fake facade that serves one found tree of real nodes.
#include "engine/tree/FilesystemNode.h"
#include "platform/Localization.h"
#include "platform/NotificationCenter.h"
#include "platform/UserDefaults.h"
#include "services/ResultTrees.h"
#include "tests/support/TestFileNode.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/kit/Geometry.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/RecoveryDialogs.h"
#include "ui/windows/ResultSelection.h"

#include <QBuffer>
#include <QDir>
#include <QProgressBar>
#include <QDesktopServices>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSplitter>

#include <sys/stat.h>
#include <unistd.h>

using namespace salvor;
using namespace salvor::windows;
using salvor::test::FakeFacade;
using salvor::test::TestFileNode;

namespace {

// One found file system: a root holding files f0 … f(n-1) of 1000 bytes.
struct ResultsFake : FakeFacade {
    CFilesystemNode root{SEARCHER_FAT, "disk(FAT/FAT32)", "disk", 1};
    std::vector<std::unique_ptr<TestFileNode>> files;
    std::vector<QString> searches;
    bool searching = false;
    QString searchKey;
    int treeBuilds = 0;

    explicit ResultsFake(int n) {
        root.ShowNode(1);
        for (int i = 0; i < n; ++i) add(QStringLiteral("f%1.jpg").arg(i).toStdString());
    }
    TestFileNode* add(const std::string& name) {
        files.push_back(std::make_unique<TestFileNode>(10 + files.size(), 1, name, false, 1000));
        files.back()->ShowNode(1);
        root.AddChild(files.back().get());
        return files.back().get();
    }
    int GetScanTreeNodeData(OpNodeList* roots, bool) override {
        ++treeBuilds;
        if (!roots->empty()) return 1;
        TreeNodeData d;
        d.isFileSystem = 1, d.isDirectory = 1, d.node = &root;
        OpNodeRef item = OpNodeData::initWithNodeData(d);
        item->setExpandAble(1);
        roots->emplace_back(item);
        return 1;
    }
    int GetFileNodeToArray(OpNodeList& out, const OpNodeRef& item) override {
        return VXResultTrees::GetFileNodeToArray(out, item);
    }
    void GetSelectedFilesAmout(int* count, std::uint64_t* size) override {
        for (auto& f : files)
            if (f->GetCheckedStatus() == CHECK_ALL) ++*count, *size += std::uint64_t(f->GetFileSize());
    }
    void UnselectedAllNodes() override { root.SetCheck(CHECK_NONE); }
    bool DoSearchWithString(const QString& text, const std::string&) override {
        if (searching) return false;
        searches.push_back(text);
        searching = true, searchKey = text;
        return true;
    }
    QString GetSearchString() override { return searchKey; }
    void StopSearch() override { searching = false; }
};

class Workspace : public QObject {
    Q_OBJECT
public:
    QStringList opened;
public slots:
    void open(const QUrl& url) { opened << url.toLocalFile(); }
};

QByteArray pngBytes() {
    QImage image(8, 8, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    image.save(&buffer, "PNG");
    return bytes;
}

} // namespace

class ResultsRecoveryTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    Workspace workspace_;
    std::unique_ptr<ResultsFake> fake_;
    std::unique_ptr<VXDeletailWindowController> w_;

    // A results window whose scan has ended with the fake's tree.
    void open(int files) {
        fake_ = std::make_unique<ResultsFake>(files);
        w_ = std::make_unique<VXDeletailWindowController>();
        w_->window()->show();
        w_->getData();
        fake_->scanKey = "NormalScranValue";
        fake_->postScanUpdate();
        QVERIFY(QTest::qWaitFor([&] { return w_->arrList.size() == std::size_t(files); }));
    }
    void tickAll() { w_->listViewSelectAllButton->click(); }
    QFileDialog* chooser() { return qobject_cast<QFileDialog*>(w_->panel); }
    // Types path into the open chooser and presses Return.
    void choose(const QString& path) {
        QFileDialog* fd = chooser();
        QVERIFY(fd && fd->isVisible());
        auto* edit = fd->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
        QVERIFY(edit);
        edit->setText(path);
        QTest::keyClick(edit, Qt::Key_Return);
    }
    // The alert on screen (its title), answered with answer.
    QString answerAlert(int answer) {
        QString title;
        [&] { QVERIFY(QTest::qWaitFor([] { return !kit::Alert::openAlerts().isEmpty(); })); }();
        if (kit::Alert::openAlerts().isEmpty()) return {};
        QMessageBox* box = kit::Alert::openAlerts().front();
        title = box->text();
        kit::Alert::buttonForAnswer(box, answer)->click();
        QTest::qWait(1);
        return title;
    }
    static QString key(const char* k) { return platform::localizedString(k); }
    // Saves a picture of widget beside the test program and answers it.
    static QImage screenshot(QWidget* widget, const char* name) {
        const QImage image = widget->grab().toImage();
        QDir().mkpath(QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots"));
        image.save(QCoreApplication::applicationDirPath() + QStringLiteral("/screenshots/%1.png").arg(QLatin1String(name)));
        return image;
    }

private slots:
    void initTestCase() {
        test::setUpWindowTests(config_);
        QDesktopServices::setUrlHandler(QStringLiteral("file"), &workspace_, "open");
    }
    void cleanupTestCase() { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }
    void cleanup() {
        w_.reset();
        fake_.reset();
        setFreeSpaceQuery({});
        workspace_.opened.clear();
    }

    void selectionAndLabel() {
        open(4);
        const auto box = [&] { return static_cast<widgets::GridTickBox*>(w_->listViewSelectAllButton)->imageName(); };
        QCOMPARE(box(), QStringLiteral("checkbox_no"));
        QVERIFY(!w_->recovertyButton->isUsable());
        tickAll();
        QCOMPARE(box(), QStringLiteral("checkbox_yes"));
        QVERIFY(w_->recovertyButton->isUsable() && w_->recovertyButton->isVisible());
        QCOMPARE(w_->selectFilesLabel->text(), platform::localizedFormat("PAGE_FOUR_SELECT_FILES", QStringLiteral("3.91 KB"), 4));
        tickAll(); // fully ticked: unticked
        QCOMPARE(box(), QStringLiteral("checkbox_no"));
        QVERIFY(!w_->recovertyButton->isUsable());
        QVERIFY(w_->selectFilesLabel->text().contains(QStringLiteral("0 byte")));
        fake_->files[1]->SetCheck(CHECK_ALL);
        w_->changeSelectAllButtonState();
        QCOMPARE(box(), QStringLiteral("checkbox_election"));
        tickAll(); // partly: all ticked
        QCOMPARE(w_->selectedFileCnt, 4);
        // Refused while a scan runs unpaused.
        fake_->scanStatus = 2;
        tickAll();
        QCOMPARE(fake_->files[0]->GetCheckedStatus(), CHECK_ALL);
    }

    void recoveryChecks() {
        open(3);
        tickAll();
        QTemporaryDir dest;
        // Not writable: a read-only mount as root, mode 0555 otherwise.
        QTemporaryDir locked;
        const bool root = ::geteuid() == 0;
        if (root) QCOMPARE(QProcess::execute("mount", {"-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", locked.path()}), 0);
        else ::chmod(locked.path().toLocal8Bit().constData(), 0555);
        w_->recovertyButton->click();
        QVERIFY(!w_->recovertyButton->isUsable());
        choose(locked.path());
        QCOMPARE(answerAlert(1), key("PAGE_FOUR_RECOVERY_NO_COMPETENCE_TITLE"));
        if (root) QProcess::execute("umount", {locked.path()});
        QCOMPARE(fake_->count("DoRecovery"), 0);
        QVERIFY(w_->recovertyButton->isUsable());

        // Free space: exactly 105 % refuses, one byte more starts.
        std::uint64_t free = 3150;
        setFreeSpaceQuery([&](const QString&) { return std::optional<std::uint64_t>(free); });
        w_->recovertyButton->click();
        choose(dest.path());
        QCOMPARE(answerAlert(1), key("PAGE_FOUR_RECOVERY_NO_SPACE_TITLE"));
        QCOMPARE(fake_->count("DoRecovery"), 0);
        free = 3151;
        fake_->recoveryEndsAtOnce = true;
        test::whenModal(QStringLiteral("VXScanEndSaveWindowController"), [](QWidget* w) {
            QTest::keyClick(w->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::Key_Space);
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return fake_->count("DoRecovery") == 1; }));
        QCOMPARE(fake_->recoveryPath, dest.path());
        QCOMPARE(fake_->recoveryItems, &w_->allDiskArr);

        // The same device: the default reopens the chooser half a second later;
        // the alternate starts without the space check.
        fake_->sameDevice = true;
        free = 0;
        w_->recovertyButton->click();
        choose(dest.path());
        QCOMPARE(answerAlert(1), key("PAGE_FOUR_SAVE_SAME_PATH_TITLE"));
        QVERIFY(!chooser());
        QVERIFY(QTest::qWaitFor([&] { return chooser() && chooser()->isVisible(); }, 2000));
        test::whenModal(QStringLiteral("VXScanEndSaveWindowController"), [](QWidget* w) {
            QTest::keyClick(w->findChild<QPushButton*>(QStringLiteral("okButton")), Qt::Key_Space);
        });
        choose(dest.path());
        QCOMPARE(answerAlert(0), key("PAGE_FOUR_SAVE_SAME_PATH_TITLE"));
        QVERIFY(QTest::qWaitFor([&] { return fake_->count("DoRecovery") == 2; }));

        // Cancel: nothing starts, the button is usable, the frame is kept.
        fake_->sameDevice = false;
        w_->recovertyButton->click();
        chooser()->setGeometry(100, 80, 640, 420);
        QTest::keyClick(chooser(), Qt::Key_Escape);
        QVERIFY(w_->recovertyButton->isUsable());
        QCOMPARE(w_->rectNew, (kit::Frame{100, 80, 640, 420}));
        w_->recovertyButton->click();
        QCOMPARE(chooser()->geometry(), QRect(100, 80, 640, 420));
        QTest::keyClick(chooser(), Qt::Key_Escape);

        // Nothing ticked and nothing free still asks.
        tickAll();
        QCOMPARE(w_->selectedFileSize, 0u);
        w_->recovrtyButtonClick();
        choose(dest.path());
        QCOMPARE(answerAlert(1), key("PAGE_FOUR_RECOVERY_NO_SPACE_TITLE"));
        QCOMPARE(fake_->count("DoRecovery"), 2);
    }

    // A run: progress shows the name, stop pauses, no resumes, yes stops and
    // shows the count; a natural end shows the finished dialog and its link.
    void recoveryProgress() {
        open(3);
        tickAll();
        QTemporaryDir dest;
        fake_->recoveryName = QStringLiteral("f1.jpg");
        fake_->recoveryTotal = 3000, fake_->recoveryCurrent = 1500;
        fake_->recoveredFiles = 2;
        QString noteShown, nameShown;
        int pausedStatus = -1, resumedStatus = -1;
        QColor barFill;
        test::whenModal(QStringLiteral("VXShowScanProgressWindowController"), [&](QWidget* w) {
            nameShown = w->findChild<QLabel*>(QStringLiteral("scaningFileName"))->text();
            auto* bar = w->findChild<QProgressBar*>(QStringLiteral("progressBar"));
            const QImage shot = screenshot(w, "recovery_progress");
            const QPoint filled = bar->mapTo(w, QPoint(bar->width() / 4, bar->height() / 2));
            const QPoint empty = bar->mapTo(w, QPoint(bar->width() * 3 / 4, bar->height() / 2));
            if (shot.pixelColor(filled) != shot.pixelColor(empty)) barFill = shot.pixelColor(filled);
            w->findChild<QPushButton*>(QStringLiteral("stopButton"))->click();
            pausedStatus = fake_->recoveryStatus;
            w->findChild<QAbstractButton*>(QStringLiteral("noButton"))->click();
            resumedStatus = fake_->recoveryStatus;
            test::whenModal(QStringLiteral("VXScanNotEndSaveWindowController"), [&](QWidget* d) {
                noteShown = d->findChild<QLabel*>(QStringLiteral("showRecoveryNoteLabel"))->text();
                QApplication::setActiveWindow(d);
                QTest::keyClick(d, Qt::Key_Return);
            });
            w->findChild<QPushButton*>(QStringLiteral("stopButton"))->click();
            w->findChild<QAbstractButton*>(QStringLiteral("yesButton"))->click();
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return !noteShown.isEmpty(); }));
        QCOMPARE(nameShown, QStringLiteral("f1.jpg"));
        QVERIFY(barFill.isValid()); // half done: the bar's first quarter differs from its last
        QCOMPARE(pausedStatus, 3);
        QCOMPARE(resumedStatus, 2);
        // Recovered and not recovered (of the three ticked).
        QVERIFY(noteShown.endsWith(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_NODE", 2.0)));
        QVERIFY(noteShown.startsWith(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_LEFT", 1.0)));
        QCOMPARE(fake_->count("StopRecvoery"), 1);
        QTRY_VERIFY(!w_->recoveryProgressWindow && kit::modalDepth() == 0);

        // Natural end: the finished dialog; its link opens the folder.
        QString linked;
        test::whenModal(QStringLiteral("VXShowScanProgressWindowController"), [&](QWidget*) {
            fake_->recoveryError = 0x0100000000000001ULL; // an error: the out-of-space panel
            fake_->postRecovery();
            test::whenModal(QStringLiteral("VXScanEndSaveWindowController"), [&](QWidget* d) {
                w_->scanEndSaveWC->jumpToSavePath();
                linked = workspace_.opened.value(0);
                d->findChild<QPushButton*>(QStringLiteral("okButton"))->click();
            });
            QTimer::singleShot(50, [&] {
                QVERIFY(!w_->recoveryProgressWindow->noMemeryView->isHidden());
                fake_->endRecovery();
            });
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return !linked.isEmpty(); }));
        QCOMPARE(linked, dest.path());
        QTRY_COMPARE(kit::modalDepth(), 0);
        QVERIFY(!w_->recoveryProgressWindow);

        // An end because the scanned device stopped answering: the
        // not-finished dialog says why, never the finished one.
        // (The finished dialog would stand unanswered: no note would come.)
        QString goneNote;
        fake_->recoveryError = 0;
        fake_->recoveredFiles = 2;
        test::whenModal(QStringLiteral("VXShowScanProgressWindowController"), [&](QWidget*) {
            test::whenModal(QStringLiteral("VXScanNotEndSaveWindowController"), [&](QWidget* d) {
                goneNote = d->findChild<QLabel*>(QStringLiteral("showRecoveryNoteLabel"))->text();
                QApplication::setActiveWindow(d);
                QTest::keyClick(d, Qt::Key_Return);
            });
            fake_->recoverySourceGone = true;
            fake_->endRecovery();
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return !goneNote.isEmpty(); }));
        QVERIFY2(goneNote.endsWith(QStringLiteral(
                     "The device stopped answering, so the recovery stopped after 2 files. They were copied whole into this folder:")),
                 qPrintable(goneNote));
        QTRY_COMPARE(kit::modalDepth(), 0);
        fake_->recoverySourceGone = false;

        // An end with a file not copied whole (unreadable sectors): never
        // "Recovery complete"; what was and was not copied whole is said.
        QString failedNote;
        fake_->failedFiles = 1;
        test::whenModal(QStringLiteral("VXShowScanProgressWindowController"), [&](QWidget*) {
            test::whenModal(QStringLiteral("VXScanNotEndSaveWindowController"), [&](QWidget* d) {
                failedNote = d->findChild<QLabel*>(QStringLiteral("showRecoveryNoteLabel"))->text();
                QApplication::setActiveWindow(d);
                QTest::keyClick(d, Qt::Key_Return);
            });
            fake_->endRecovery();
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return !failedNote.isEmpty(); }));
        QVERIFY2(failedNote.startsWith(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_LEFT", 1.0)) &&
                     failedNote.contains(QStringLiteral("The recovery ended: 2 files were copied whole")),
                 qPrintable(failedNote));
        QTRY_COMPARE(kit::modalDepth(), 0);
        fake_->failedFiles = 0;
    }

    // Escape on the same-device and free-space sheets starts nothing (the
    // first's safe answer is to choose again, the second's to cancel).
    void sheetsDismissedWriteNothing() {
        open(3);
        tickAll();
        QTemporaryDir dest;
        const auto escapeAlert = [&] {
            [&] { QVERIFY(QTest::qWaitFor([] { return !kit::Alert::openAlerts().isEmpty(); })); }();
            if (kit::Alert::openAlerts().isEmpty()) return QString();
            QMessageBox* box = kit::Alert::openAlerts().front();
            const QString title = box->text();
            QTest::keyClick(box, Qt::Key_Escape);
            return title;
        };
        fake_->sameDevice = true;
        w_->recovertyButton->click();
        choose(dest.path());
        QCOMPARE(escapeAlert(), key("PAGE_FOUR_SAVE_SAME_PATH_TITLE"));
        QVERIFY(QTest::qWaitFor([&] { return chooser() && chooser()->isVisible(); }, 2000));
        QTest::keyClick(chooser(), Qt::Key_Escape);
        fake_->sameDevice = false;
        setFreeSpaceQuery([](const QString&) { return std::optional<std::uint64_t>(10); });
        w_->recovertyButton->click();
        choose(dest.path());
        QCOMPARE(escapeAlert(), key("PAGE_FOUR_RECOVERY_NO_SPACE_TITLE"));
        QTest::qWait(600); // past the chooser's half-second return
        QCOMPARE(fake_->count("DoRecovery"), 0);
        QVERIFY(!chooser() && w_->recovertyButton->isUsable());
    }

    // However a run is stopped, it ends as the Stop button ends it: the
    // stopped dialog with what was and was not recovered, and the next
    // Recover starts.
    void stopRoutes_data() {
        QTest::addColumn<int>("route");
        QTest::newRow("Stop, then Escape on the question") << 0;
        QTest::newRow("Escape on the progress, then on the question") << 1;
        QTest::newRow("Escape on the out-of-space panel") << 2;
        QTest::newRow("the window's close") << 3;
    }
    void stopRoutes() {
        QFETCH(int, route);
        open(3);
        tickAll();
        QTemporaryDir dest;
        fake_->recoveredFiles = 1;
        QString note;
        bool asked = false;
        test::whenModal(QStringLiteral("VXShowScanProgressWindowController"), [&](QWidget* w) {
            QApplication::setActiveWindow(w);
            VXShowScanProgressWindowController* dialog = w_->recoveryProgressWindow;
            switch (route) {
            case 0:
                dialog->stopButton->click();
                QTest::keyClick(w, Qt::Key_Escape);
                break;
            case 1:
                QTest::keyClick(w, Qt::Key_Escape);
                asked = dialog->warningView->isVisible() && fake_->recoveryStatus == 3;
                QTest::keyClick(w, Qt::Key_Escape);
                break;
            case 2:
                fake_->recoveryError = 0x0100000000000001ULL;
                fake_->postRecovery();
                QTimer::singleShot(50, w, [w, dialog, &asked] {
                    asked = !dialog->noMemeryView->isHidden();
                    QTest::keyClick(w, Qt::Key_Escape);
                });
                break;
            default: w->close();
            }
            test::whenModal(QStringLiteral("VXScanNotEndSaveWindowController"), [&](QWidget* d) {
                note = d->findChild<QLabel*>(QStringLiteral("showRecoveryNoteLabel"))->text();
                QApplication::setActiveWindow(d);
                QTest::keyClick(d, Qt::Key_Escape);
            });
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return !note.isEmpty(); }));
        if (route == 1 || route == 2) QVERIFY(asked);
        QCOMPARE(fake_->count("StopRecvoery"), 1);
        QVERIFY2(note.contains(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_NODE", 1.0)), qPrintable(note));
        QVERIFY2(note.contains(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_LEFT", 2.0)), qPrintable(note));
        QTRY_VERIFY(!w_->recoveryProgressWindow && kit::modalDepth() == 0);

        fake_->recoveryError = 0;
        fake_->recoveryEndsAtOnce = true;
        bool finished = false;
        test::whenModal(QStringLiteral("VXScanEndSaveWindowController"), [&](QWidget* d) {
            finished = true;
            QApplication::setActiveWindow(d);
            QTest::keyClick(d, Qt::Key_Escape);
        });
        w_->recovertyButton->click();
        choose(dest.path());
        QVERIFY(QTest::qWaitFor([&] { return finished; }));
        QCOMPARE(fake_->count("DoRecovery"), 2);
        QTRY_COMPARE(kit::modalDepth(), 0);
    }

    // The layout follows the window from its minimum up: at each size the
    // panes fill the content, the tabs stay on screen, the list reaches the
    // right edge (pictures kept beside the test program).
    void followsItsSize() {
        open(3);
        QWidget* win = w_->window();
        for (const QSize size : {QSize(1000, 700), QSize(1400, 900), QSize(1500, 950)}) {
            win->resize(size);
            QTest::qWait(50);
            const QString name = QStringLiteral("results_%1x%2").arg(size.width()).arg(size.height());
            const QImage shot = screenshot(win, name.toLatin1().constData());
            QCOMPARE(shot.size(), size * win->devicePixelRatio());
            auto* content = static_cast<widgets::TCImageWindow*>(win)->contentView();
            QCOMPARE(content->width(), size.width());
            const QRect split(w_->splistView->mapTo(win, QPoint(0, 0)), w_->splistView->size());
            QCOMPARE(split.right(), size.width() - 1);
            QCOMPARE(split.bottom(), size.height() - 1);
            for (QPushButton* tab : {w_->pathButton, w_->typeButton, w_->timeButton}) {
                const QRect r(tab->mapTo(win, QPoint(0, 0)), tab->size());
                QVERIFY2(tab->isVisible() && win->rect().contains(r) && r.top() >= split.top(),
                         qPrintable(name + QStringLiteral(": tab %1 at %2,%3").arg(tab->objectName()).arg(r.x()).arg(r.y())));
            }
            const QRect list(w_->tableView->mapTo(win, QPoint(0, 0)), w_->tableView->size());
            QVERIFY2(list.right() >= size.width() - 2, qPrintable(name + QStringLiteral(": list ends at %1").arg(list.right())));
            QVERIFY2(list.bottom() >= size.height() - 60, qPrintable(name + QStringLiteral(": list ends at %1").arg(list.bottom())));
        }
    }

    void search() {
        open(3);
        QLineEdit* field = w_->search->textField();
        const auto searchFor = [&](const QString& text) {
            field->setText(text);
            w_->doSearchWithKey(text);
        };
        searchFor(QStringLiteral(" "));
        searchFor(QStringLiteral("  "));
        QVERIFY(fake_->searches.empty());
        searchFor(QStringLiteral(" word "));
        QCOMPARE(fake_->searches, (std::vector<QString>{QStringLiteral("word")}));
        QVERIFY(w_->arrList.empty() && w_->allDiskArr.empty());
        // Typed while that search runs: refused now, searched when it posts.
        searchFor(QStringLiteral("  word"));
        QCOMPARE(fake_->searches.size(), 1u);
        platform::NotificationCenter::defaultCenter().post("DoSearchValue");
        QCOMPARE(fake_->searches.back(), QStringLiteral(" word"));
        fake_->StopSearch();
        // Clearing after a search searches "" once; clearing an empty field nothing.
        w_->searchClearButtonClick();
        QCOMPARE(fake_->searches.back(), QString());
        fake_->StopSearch();
        const std::size_t n = fake_->searches.size();
        w_->searchClearButtonClick();
        QCOMPARE(fake_->searches.size(), n);
    }

    void stripAndGrid() {
        open(10);
        const QByteArray png = pngBytes();
        std::atomic<int> asked[10] = {};
        fake_->preview = [&](IFileNode* f) {
            const std::string name = f->GetFileName();
            const int i = name[1] - '0';
            ++asked[i];
            return i == 3 ? PreviewImage{} : PreviewImage{png, QString()};
        };
        w_->segmentSelect(1);
        QVERIFY(QTest::qWaitFor([&] {
            return std::all_of(w_->photos.begin(), w_->photos.end(),
                               [](const PhotoRef& p) { return p->imageID != QStringLiteral("Loading..."); });
        }));
        QCOMPARE(w_->photos.size(), 10u);
        // Failed (f3): the placeholder image, the file name as title.
        for (std::size_t i = 0; i < w_->photos.size(); ++i) {
            const Photo& p = *w_->photos[i];
            QCOMPARE(p.imageID, OpNodeData::fileNodeName(w_->arrList[i].file()));
            QCOMPARE(bool(p.image), p.imageID != QStringLiteral("f3.jpg"));
        }
        w_->selectedCoverFlow(5); // loaded or tried: not asked again
        QTest::qWait(20);
        QCOMPARE(asked[3].load(), 1);
        w_->stopImageLoading();
        w_->stopImageLoading(); // stopped already: at once

        w_->segmentSelect(2);
        QVERIFY(!w_->gridView->isHidden() && w_->coverFlower->isHidden());
        QVERIFY(QTest::qWaitFor([&] {
            auto* item = dynamic_cast<widgets::CNGridViewItem*>(w_->gridMainView->visibleItem(0));
            return item && item->itemImage().width() == 8;
        }));
        QVERIFY(!w_->itemAtIndex(w_->gridMainView, 10, 0)); // past the end
        {
            auto* item = dynamic_cast<widgets::CNGridViewItem*>(w_->gridMainView->visibleItem(0));
            const QImage shot = screenshot(w_->window(), "results_grid");
            const QRectF at = widgets::CNGridViewItem::imageRectForSize(QSizeF(8, 8), item->rect());
            QCOMPARE(shot.pixelColor(item->mapTo(w_->window(), at.center().toPoint())), QColor(Qt::red));
        }
        // A grid tick: a partly ticked entry becomes ticked.
        TestFileNode* parent = fake_->files[2].get();
        TestFileNode child(99, parent->GetCurrentNodeID(), "inner");
        child.ShowNode(1);
        parent->AddChild(&child);
        auto sibling = std::make_unique<TestFileNode>(98, parent->GetCurrentNodeID(), "inner2");
        sibling->ShowNode(1);
        parent->AddChild(sibling.get());
        parent->SetCheck(CHECK_ALL);
        sibling->SetCheck(CHECK_NONE);
        QCOMPARE(OpNodeData::fileNodeState(parent), 1);
        const auto at = std::find_if(w_->arrList.begin(), w_->arrList.end(),
                                     [&](const OpNodeEntry& e) { return e.file() == parent; });
        w_->doSelectItem(at - w_->arrList.begin());
        QCOMPARE(OpNodeData::fileNodeState(parent), 2);
        w_->segmentSelect(0);
        w_.reset(); // before the nodes it shows
    }

    void switching() {
        open(3);
        {
            // A scan under way: the progress box in the bar, the panes below.
            fake_->scanStatus = 2;
            w_->getScanProgress();
            const QImage shot = screenshot(w_->window(), "scan_running");
            QCOMPARE(shot.pixelColor(100, 400), QColor(32, 36, 39));
            fake_->scanStatus = 0;
        }
        // The current segment or tab again changes nothing.
        w_->segmentSelect(0);
        QCOMPARE(w_->selectSegmentCount, 0);
        const int before = fake_->treeBuilds;
        w_->pathButtonClick();
        QCOMPARE(fake_->treeBuilds, before);
        // A date tab shown twice without new data is built once.
        fake_->scanStatus = 0;
        w_->timeButtonClick();
        const int builds = fake_->treeBuilds;
        w_->pathButtonClick();
        w_->timeButtonClick();
        QCOMPARE(fake_->treeBuilds, builds);
        QCOMPARE(w_->timeButton->property("tabImage").toString(), QStringLiteral("bg_tab"));
        // The date sub-tabs: no plate on either; the chosen one has the white title.
        QVERIFY(w_->modifyButton->icon().isNull() && w_->creatButton->icon().isNull());
        QCOMPARE(w_->creatButton->palette().color(QPalette::ButtonText), QColor(Qt::white));
        w_->pathButtonClick();
        // Results but an item without files: the note on all three pages.
        w_->opDataFile.reset();
        w_->refashDetailPageData();
        QVERIFY(w_->gridNoValueView && w_->gridNoValueView->isVisibleTo(w_->gridView));
        QVERIFY(w_->tableView->noValueView() && w_->coverFlowerTableView->noValueView());
        // No results at all: no note.
        w_->allDiskArr.clear();
        w_->showNoValueNote();
        QVERIFY(!w_->gridNoValueView && !w_->tableView->noValueView() && !w_->coverFlowerTableView->noValueView());
        // The split view keeps the left pane within 224 and 400.
        w_->splistView->setSizes({100, 900});
        QVERIFY(w_->splistLeftView->width() >= 224);
        w_->splistView->setSizes({700, 300});
        QVERIFY(w_->splistLeftView->width() <= 400);
        // Spanish first: the ticked-files label 550 wide at y 30.
        platform::UserDefaults::setAppleLanguages({QStringLiteral("es")});
        w_->changeSelectCountLabelPos();
        QCOMPARE(kit::frame(w_->selectFilesLabel), (kit::Frame{0, 30, 550, 15}));
        platform::UserDefaults::setAppleLanguages({});
    }

    // Tab reaches the recover button and Space fires it.
    void keyboard() {
        open(2);
        tickAll();
        QApplication::setActiveWindow(w_->window());
        w_->window()->activateWindow();
        bool reached = false;
        for (int i = 0; i < 40 && !reached; ++i) {
            QWidget* focus = QApplication::focusWidget();
            reached = focus == w_->recovertyButton;
            if (!reached) QTest::keyClick(focus ? focus : w_->window(), Qt::Key_Tab);
        }
        QVERIFY(reached);
        QTest::keyClick(w_->recovertyButton, Qt::Key_Space);
        QVERIFY(QTest::qWaitFor([&] { return chooser() && chooser()->isVisible(); }));
        QTest::keyClick(chooser(), Qt::Key_Escape);
    }
};

QTEST_MAIN(ResultsRecoveryTest)
#include "ResultsRecoveryTest.moc"
