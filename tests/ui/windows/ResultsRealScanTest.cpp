// The results window over the real facade and engine, driven as a user
// drives it: fixture images listed as attached disk images through a device
// list of their own, the volume chosen on the device page, the quick scan's
// trees and lists compared with The Sleuth Kit's listing; a deep scan from
// the window (the found files freed under the sanitizer while no view keeps
// one); the result exported into a scan-result file and loaded back from the
// start window; a second load after a refused one while the devices are
// listed again; a load beside a card made alike; a 1 GiB deep scan watched
// mid-scan; and, as root, a loop device cut off while it is scanned.
#include "engine/controller/RecoveryControllers.h"
#include "engine/device/StorageDevices.h"
#include "engine/enumeration/EnumDevice.h"
#include "engine/exfat/ExfatRegistration.h"
#include "engine/fat/FatRegistration.h"
#include "engine/include/FileNode.h"
#include "engine/include/RecoveryController.h"
#include "engine/include/StorageDevice.h"
#include "platform/Localization.h"
#include "platform/MediaEvents.h"
#include "platform/NotificationCenter.h"
#include "services/DeviceData.h"
#include "services/PublicUtilities.h"
#include "services/UIController.h"
#include "services/UIScan.h"
#include "services/USBMonitorNotifier.h"
#include "tests/support/FailingFile.h"
#include "tests/support/GoneAtTheEnd.h"
#include "tests/support/ImageFileFacts.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/kit/Alert.h"
#include "ui/widgets/ImageButtons.h"
#include "ui/widgets/ProgressViews.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/windows/DetailWindow.h"
#include "ui/windows/OpenPanel.h"
#include "ui/windows/RootWindow.h"
#include "ui/windows/SavePanel.h"
#include "ui/windows/StartPages.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProcess>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <unistd.h>

#include <QElapsedTimer>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>

using namespace salvor;
using namespace salvor::windows;

namespace {

QString run(const QString& command, int* status = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), command});
    p.waitForFinished(600000);
    if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll()).trimmed();
}

// Builds (or reuses) a fixture; "" with the script's message on failure.
QString fixture(const QString& name, QString* message) {
    int status = 0;
    *message = run(QStringLiteral("'" SALVOR_SOURCE_DIR "/tests/fixtures/make-fixture' %1 '" SALVOR_FIXTURE_OUT "'")
                       .arg(name),
                   &status);
    return status == 0 ? QStringLiteral(SALVOR_FIXTURE_OUT "/%1").arg(name) : QString();
}

// One found file as both sides name it: the path below the root without
// regard to ASCII case, the erased first byte of a deleted name as "_",
// the size and the deleted flag.
using FileKey = std::tuple<QString, long long, bool>;
FileKey key(QString path, long long size, bool deleted) {
    path = path.toLower();
    if (deleted) path[path.lastIndexOf(QLatin1Char('/')) + 1] = QLatin1Char('_');
    return {path, size, deleted};
}

// The regular files of an istat manifest ("r/r inode L|D size …<TAB>path").
std::set<FileKey> manifestFiles(const QString& file) {
    std::set<FileKey> out;
    QFile f(file);
    if (!f.open(QIODevice::ReadOnly)) return out;
    QTextStream in(&f);
    while (!in.atEnd()) {
        const QString line = in.readLine();
        const int tab = line.indexOf(QLatin1Char('\t'));
        if (tab < 0 || !line.startsWith(QLatin1String("r/r"))) continue;
        const QString path = line.mid(tab + 1);
        if (path.contains(QLatin1Char('$')) || path.contains(QLatin1String("(Volume Label"))) continue;
        const QStringList head = line.left(tab).split(QLatin1Char(' '), Qt::SkipEmptyParts);
        out.insert(key(path, head.value(3).toLongLong(), head.value(2) == QLatin1String("D")));
    }
    return out;
}

// A found file with its path below its root.
FileKey keyOf(IFileNode* n) {
    QString path = QString::fromUtf8(n->GetFileName());
    for (IFileNode* p = n->GetParent(); p && p->GetParent(); p = p->GetParent())
        path = QString::fromUtf8(p->GetFileName()) + QLatin1Char('/') + path;
    return key(path, n->GetFileSize(), n->IsDeleted());
}

// The files the window lists, with their paths below the root.
void addListed(const OpNodeList& list, std::set<FileKey>& out) {
    for (const OpNodeEntry& e : list)
        if (IFileNode* n = e.file()) out.insert(keyOf(n));
}

// How many times each file shown is filed (by type).
std::multiset<FileKey> filedShown() {
    std::multiset<FileKey> out;
    for (const auto& [category, list] : VXUIScan::instance().GetTypeMap())
        for (IFileNode* n : list)
            if (n->IsNodeShow()) out.insert(keyOf(n));
    return out;
}

// Every file the path tree lists: from the first root (chosen when a scan or
// load ends) each folder chosen in turn, one Down key after another.
std::set<FileKey> listedByPathTree(VXDeletailWindowController* wc) {
    wc->outlineView->expandAll();
    QCoreApplication::processEvents();
    std::set<FileKey> listed;
    addListed(wc->arrList, listed);
    for (int row = 1; wc->outlineView->itemAtRow(row); ++row) {
        QTest::keyClick(wc->outlineView, Qt::Key_Down);
        addListed(wc->arrList, listed);
    }
    return listed;
}

int foundCount(VXDeletailWindowController* wc) {
    static const QRegularExpression number(QStringLiteral("(\\d+)\\s*$"));
    return number.match(wc->findFilesLabel->text()).captured(1).toInt();
}

// The test's own device list goes: the scan lets go of its results and of
// the device it remembers (a list refresh does the same in the program).
void forgetDevices() {
    VXUIScan::instance().ReleaseResults();
    VXUIScan::instance().SaveScanSorage(nullptr);
    VXUIDeviceData::install(nullptr);
}

// Images listed as attached disk images for the scope of a test.
struct ListedImages {
    explicit ListedImages(std::vector<std::string> images) : facts(std::move(images)), enumerator(facts), list(&enumerator) {
        listed = list.InitDeviceInfo();
        VXUIDeviceData::install(&list);
    }
    ~ListedImages() { forgetDevices(); }
    test::ImageFileFacts facts;
    CEnumDeviceEx enumerator;
    VXUIDeviceData list;
    bool listed = false;
};

// A copy of an image, named name, attached read-only as a loop device and
// listed by the system's own device list (installed); the loop device is
// detached when this goes. error says why it could not be had. With bad
// ranges the copy is served by a FailingFile: those ranges fail, and every
// read fails while the file `silent` exists.
struct AttachedCopy {
    AttachedCopy(const QString& image, const QString& name, const std::vector<test::FailingFile::Range>* bad = nullptr) {
        copy = dir.filePath(bad ? QStringLiteral("backing.img") : name);
        int status = 0;
        error = run(QStringLiteral("cp --sparse=always '%1' '%2'").arg(image, copy), &status);
        if (status != 0) return;
        if (bad) {
            silent = dir.filePath(QStringLiteral("silent"));
            const QString served = dir.filePath(name);
            QFile(served).open(QIODevice::WriteOnly);
            failing.emplace(served.toStdString(), copy.toStdString(), *bad, silent.toStdString());
            if (!failing->ready()) {
                error = QString::fromStdString(failing->why());
                return;
            }
            copy = served;
        }
        const QString device = run(QStringLiteral("losetup -r -f --show '%1'").arg(copy), &status);
        if (status != 0 || !device.startsWith(QStringLiteral("/dev/loop"))) {
            error = device;
            return;
        }
        loop = device;
        system = std::make_unique<VXUIDeviceData>(CreateEnumDeviceEx());
        if (!system->InitDeviceInfo()) {
            error = QStringLiteral("no device is listed");
            return;
        }
        VXUIDeviceData::install(system.get());
        std::vector<DiskVolumeNodeRef> disks;
        VXUIController::shared().GetDeviceInfoToArray(disks);
        for (const DiskVolumeNodeRef& d : disks)
            if (d->name() == name) disk = d;
        error = disk ? QString() : QStringLiteral("the loop device is not listed");
    }
    ~AttachedCopy() {
        if (!loop.isEmpty()) run(QStringLiteral("losetup -d %1 2>/dev/null").arg(loop));
    }
    QTemporaryDir dir;
    std::optional<test::FailingFile> failing; // goes after the loop device
    QString copy, loop, error, silent;
    std::unique_ptr<VXUIDeviceData> system;
    DiskVolumeNodeRef disk;
};

// Reads that hang while held: the device a controller is handed is read
// through this one, whose reads wait (as a read of a device that stopped
// answering waits in the kernel) until let go.
struct ReadHold {
    std::mutex m;
    std::condition_variable cv;
    bool held = true;
    std::atomic<int> waiting{0}, reads{0};
    void release() {
        {
            std::lock_guard lock(m);
            held = false;
        }
        cv.notify_all();
    }
};

class HangingReads final : public IStorageDevice {
public:
    HangingReads(IStorageDevice* inner, std::shared_ptr<ReadHold> hold) : inner_(inner), hold_(std::move(hold)) {}
    int Open(char* path) override { return inner_->Open(path); }
    int Close() override { return inner_->Close(); }
    int ReadSector(void* buffer, long long first, long long count) override {
        ++hold_->reads;
        {
            std::unique_lock lock(hold_->m);
            ++hold_->waiting;
            hold_->cv.wait(lock, [&] { return !hold_->held; });
            --hold_->waiting;
        }
        return inner_->ReadSector(buffer, first, count);
    }
    unsigned GetSectorSize() override { return inner_->GetSectorSize(); }
    unsigned long long GetTotalSectors() override { return inner_->GetTotalSectors(); }
    ResultCode IOCtl(unsigned long long code, void* arg) override { return inner_->IOCtl(code, arg); }
    IStorageDeviceData* GetPrivateData() override { return inner_->GetPrivateData(); }
    void SetPrivateData(IStorageDeviceData* data) override { inner_->SetPrivateData(data); }
    int GetType() override { return inner_->GetType(); }
    ResultCode GetLastError() override { return inner_->GetLastError(); }

private:
    IStorageDevice* inner_;
    std::shared_ptr<ReadHold> hold_;
};

// A quick scan's controller that reads its volume through HangingReads.
class HangingController final : public IRecoveryController {
public:
    HangingController(IRecoveryController* inner, std::shared_ptr<ReadHold> hold) : inner_(inner), hold_(std::move(hold)) {}
    _RECOVERY_CONTROLLER_TYPE thisType() override { return inner_->thisType(); }
    int Initialize(IRecoveryFilter* filter) override { return inner_->Initialize(filter); }
    ResultCode StartDataRecovery(IStorageDevice* device, IProgress* sink, IDrirectoryTree* tree) override {
        device_ = std::make_unique<HangingReads>(device, hold_);
        return inner_->StartDataRecovery(device_.get(), sink, tree);
    }
    IDataRecovery* GetDataRecovery(_tagSearcherType type) const override { return inner_->GetDataRecovery(type); }
    void Release() override {
        inner_->Release();
        delete this;
    }

private:
    IRecoveryController* inner_;
    std::shared_ptr<ReadHold> hold_;
    std::unique_ptr<HangingReads> device_;
};

} // namespace

class ResultsRealScanTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_;
    QPointer<VXRootWindowController> root_;
    QPointer<VXDeletailWindowController> detail_;

    // The start window: file types, then the device page when there is one.
    VXDeletailWindowController* scanFromStartWindow() {
        root_ = new VXRootWindowController;
        root_->showWindow();
        QApplication::setActiveWindow(root_->window());
        QTest::keyClick(root_->window(), Qt::Key_Return);
        if (!QTest::qWaitFor([&] { return root_->selectDiskVC || root_->deletailWC; }, 20000)) return nullptr;
        if (!root_->deletailWC) QTest::keyClick(root_->window(), Qt::Key_Return); // the first volume is chosen
        if (!QTest::qWaitFor([&] { return root_->deletailWC != nullptr; }, 5000)) return nullptr;
        detail_ = root_->deletailWC;
        QApplication::setActiveWindow(detail_->window());
        return detail_;
    }
    static bool waitEnd(VXDeletailWindowController* wc, int ms) {
        return QTest::qWaitFor([&] { return !VXUIController::shared().IsScanRunning() && wc->recovertyButton->isVisible(); },
                               ms);
    }
    // Exports the results into out/NAME.rsf (the panel's answer), then goes
    // home: the new start window.
    static VXRootWindowController* exportAndGoHome(VXDeletailWindowController* wc, const QTemporaryDir& out,
                                                   const QString& name) {
        VXUIController& facade = VXUIController::shared();
        SavePanel::queueAnswer(out.filePath(name));
        if (facade.IsRecoveryToSameDevice(out.path())) kit::Alert::queueAnswer(kit::kAlertOtherReturn);
        QTest::mouseClick(wc->exportButton, Qt::LeftButton);
        if (QFileInfo(out.filePath(name + QStringLiteral(".rsf"))).size() <= 0) return nullptr;
        QApplication::setActiveWindow(wc->window());
        QTest::mouseClick(wc->backHomeButton, Qt::LeftButton);
        if (!QTest::qWaitFor([] { return VXDeletailWindowController::lastShownRootWindow() != nullptr; }, 40000))
            return nullptr;
        return VXDeletailWindowController::lastShownRootWindow();
    }

    // Ticks every root, recovers into dest through the folder chooser and
    // answers the end dialog: its note (not finished) or its title (finished).
    static QString recoverAll(VXDeletailWindowController* wc, const QString& dest) {
        for (const OpNodeEntry& r : wc->allDiskArr) r.item()->setNodeState(2);
        QString told;
        auto* timer = new QTimer;
        QObject::connect(timer, &QTimer::timeout, [timer, &told] {
            QWidget* w = kit::modalWindow();
            if (!w || !w->isVisible()) return;
            if (w->objectName() == QStringLiteral("VXScanNotEndSaveWindowController"))
                told = w->findChild<QLabel*>(QStringLiteral("showRecoveryNoteLabel"))->text();
            else if (w->objectName() == QStringLiteral("VXScanEndSaveWindowController"))
                told = w->findChild<QLabel*>(QStringLiteral("recoveryEndTitle"))->text();
            else
                return;
            timer->stop();
            timer->deleteLater();
            QApplication::setActiveWindow(w);
            QTest::keyClick(w, Qt::Key_Return);
        });
        timer->start(10);
        wc->recovrtyButtonClick();
        auto* chooser = qobject_cast<QFileDialog*>(wc->panel);
        auto* edit = chooser ? chooser->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")) : nullptr;
        if (edit) {
            edit->setText(dest);
            QTest::keyClick(edit, Qt::Key_Return);
            (void)QTest::qWaitFor([&] { return !told.isEmpty(); }, 120000);
        }
        if (told.isEmpty()) delete timer;
        return told;
    }
    // The bytes of the copy named name (any case) under dir, or a null array.
    static QByteArray copied(const QString& dir, const QString& name) {
        QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile f(it.next());
            if (it.fileName().compare(name, Qt::CaseInsensitive) == 0 && f.open(QIODevice::ReadOnly)) return f.readAll();
        }
        return {};
    }

private slots:
    void initTestCase() {
        test::setUpWindowTests(config_);
        RegisterFatLibrary();
        RegisterExfatLibrary();
    }
    void cleanup() {
        delete VXDeletailWindowController::lastShownRootWindow();
        delete root_.data(); // and its results window
        QTest::qWait(50);
        QVERIFY(QTest::qWaitFor([] { return !VXUIController::shared().IsScanRunning(); }, 30000));
        VXUIScan::instance().ReleaseResults();
    }

    // Quick scan of the fat_32 volume chosen on the device page: the path
    // tree's lists hold what fls lists; then a deep scan in the same window.
    void quickScanEqualsFlsThenDeepScan() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message), fat16 = fixture(QStringLiteral("fat_16"), &message);
        QVERIFY2(!fat32.isEmpty() && !fat16.isEmpty(), qPrintable(message));
        ListedImages images({(fat32 + QStringLiteral("/fat_32.img")).toStdString(),
                             (fat16 + QStringLiteral("/fat_16.img")).toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(root_->selectDiskVC); // two volumes: the device page came
        QVERIFY(waitEnd(wc, 60000));
        QCOMPARE(wc->allDiskArr.size(), std::size_t(1));

        // Every folder of the path tree, one Down key after another.
        wc->outlineView->expandAll();
        QCoreApplication::processEvents();
        std::set<FileKey> listed;
        addListed(wc->arrList, listed); // the first root, chosen at the end
        QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(wc->outlineView));
        for (int row = 1; wc->outlineView->itemAtRow(row); ++row) {
            QTest::keyClick(wc->outlineView, Qt::Key_Down);
            QCOMPARE(wc->opDataFile.get(), static_cast<OpNodeData*>(wc->outlineView->itemAtRow(row)));
            addListed(wc->arrList, listed);
            for (int r = 0; r < wc->tableView->model()->rowCount(); ++r)
                QVERIFY(!wc->objectValueForTableColumn(wc->tableView, wc->tableView->tableColumnWithIdentifier("Name"), r)
                             .toString()
                             .isEmpty());
        }
        const std::set<FileKey> want = manifestFiles(fat32 + QStringLiteral("/fat_32.istat"));
        QVERIFY(!want.empty());
        QVERIFY2(listed == want, qPrintable(QStringLiteral("%1 listed, %2 by fls").arg(listed.size()).arg(want.size())));

        // The deep scan frees those files; the window has let go of them first.
        QTest::mouseClick(wc->continueButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return VXUIController::shared().IsDeepScan(); }, 5000));
        wc->window()->grab();
        QVERIFY(waitEnd(wc, 120000));
        QVERIFY(!wc->allDiskArr.empty());
        wc->window()->grab();
        // Home: a new start window over the same device list.
        QTest::mouseClick(wc->backHomeButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(VXDeletailWindowController::lastShownRootWindow(), 40000);
    }

    // A deep scan after a quick one whose device goes: the path tree holds
    // the quick scan's root beside the deep scan's, and the sheet counts
    // every file listed.
    void deepScanCutShortKeepsTheQuickListing() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        ListedImages images({(fat32 + QStringLiteral("/fat_32.img")).toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        VXUIController& facade = VXUIController::shared();
        std::uint64_t size = 0, quickFiles = 0, files = 0;
        facade.GetScanFileSize(&size, &quickFiles);
        VXUIScan::instance().SetControllerFactory([](_RECOVERY_CONTROLLER_TYPE type) -> IRecoveryController* {
            return type == RECOVERY_DELETED ? CreateRecoveryController(type) : new test::GoneAtTheEnd(type);
        });
        struct Reset {
            ~Reset() { VXUIScan::instance().SetControllerFactory({}); }
        } reset;
        QTest::mouseClick(wc->continueButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return facade.IsDeepScan(); }, 5000));
        QVERIFY(waitEnd(wc, 120000));
        // Each file both scans found is listed and counted once.
        facade.GetScanFileSize(&size, &files);
        const std::multiset<FileKey> filed = filedShown();
        QCOMPARE(std::size_t(files), filed.size());
        const std::set<FileKey> want = manifestFiles(fat32 + QStringLiteral("/fat_32.istat"));
        QVERIFY(!want.empty());
        for (const FileKey& file : want) QCOMPARE(filed.count(file), std::size_t(1));
        QCOMPARE(files, quickFiles);
        QTRY_COMPARE_WITH_TIMEOUT(kit::Alert::openAlerts().size(), 1, 5000);
        QMessageBox* sheet = kit::Alert::openAlerts()[0];
        QCOMPARE(sheet->informativeText(),
                 QStringLiteral("The scan ended at 90% of the device. The %1 files found until then are listed.").arg(files));
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheet, kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(kit::Alert::openAlerts().isEmpty(), 5000);
    }

    // A deep scan after a quick one, stopped on the sheet: the files found so
    // far, by either scan, stay listed, each once.
    void stoppedDeepScanKeepsTheQuickListing() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        ListedImages images({(fat32 + QStringLiteral("/fat_32.img")).toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        VXUIController& facade = VXUIController::shared();
        std::uint64_t size = 0, quickSize = 0, quickFiles = 0, files = 0;
        facade.GetScanFileSize(&quickSize, &quickFiles);
        QVERIFY(quickFiles > 0);
        // The deep scan's reads wait until the stop is asked.
        auto hold = std::make_shared<ReadHold>();
        VXUIScan::instance().SetControllerFactory([hold](_RECOVERY_CONTROLLER_TYPE type) -> IRecoveryController* {
            IRecoveryController* real = CreateRecoveryController(type);
            return type != RECOVERY_DELETED && real ? new HangingController(real, hold) : real;
        });
        struct Reset {
            std::shared_ptr<ReadHold> hold;
            ~Reset() {
                hold->release();
                VXUIScan::instance().SetControllerFactory({});
            }
        } reset{hold};
        QTest::mouseClick(wc->continueButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return hold->waiting.load() > 0; }, 20000));
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        wc->stopButtonClick();
        QVERIFY(QTest::qWaitFor([] { return VXUIScan::instance().GetStatus() == OP_STOP_REQUESTED; }, 5000));
        hold->release();
        QVERIFY(waitEnd(wc, 60000));
        facade.GetScanFileSize(&size, &files);
        QCOMPARE(std::pair(files, size), std::pair(quickFiles, quickSize));
        const std::multiset<FileKey> filed = filedShown();
        for (const FileKey& file : manifestFiles(fat32 + QStringLiteral("/fat_32.istat")))
            QCOMPARE(filed.count(file), std::size_t(1));
        QVERIFY2(wc->selectFilesLabel->text().contains(QStringLiteral(" %1 files").arg(quickFiles)),
                 qPrintable(wc->selectFilesLabel->text()));
    }

    // Export after a quick scan: the panel's answer (a folder of its own) gets
    // the file, the progress window runs, "SavePath" holds the full path; the
    // file loaded back from the start window gives the same path tree.
    void exportLoadsBackTheSameTree() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        ListedImages images({(fat32 + QStringLiteral("/fat_32.img")).toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        const std::set<FileKey> scanned = listedByPathTree(wc);
        QCOMPARE(scanned, manifestFiles(fat32 + QStringLiteral("/fat_32.istat")));

        QTemporaryDir out;
        const QString file = out.filePath(QStringLiteral("fat scan.rsf"));
        VXUIController& facade = VXUIController::shared();
        SavePanel::queueAnswer(out.filePath(QStringLiteral("fat scan")));
        // The fixture may lie on the same disk as the folder: saved there all the same.
        if (facade.IsRecoveryToSameDevice(out.path())) kit::Alert::queueAnswer(kit::kAlertOtherReturn);
        bool progressShown = false;
        test::whenModal(QStringLiteral("VXProgressWindow"), [&](QWidget*) { progressShown = true; });
        QTest::mouseClick(wc->exportButton, Qt::LeftButton);
        QVERIFY(progressShown);
        // The volume's name and the day (the time of day moves on).
        QCOMPARE(SavePanel::lastProposedName().section(QStringLiteral(" at "), 0, 0),
                 facade.GetSaveFileName().section(QStringLiteral(" at "), 0, 0));
        QVERIFY(SavePanel::lastProposedName().startsWith(QStringLiteral("SALVOR32_")));
        QCOMPARE(wc->bSave, 1);
        QVERIFY(QFileInfo(file).size() > 0);
        QCOMPARE(facade.GetSavePath(), file);
        QCOMPARE(kit::Alert::queuedAnswerCount(), 0);

        // Home, then the file through the start window's import.
        QApplication::setActiveWindow(wc->window()); // the offscreen platform does not hand activation back
        QTest::mouseClick(wc->backHomeButton, Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(VXDeletailWindowController::lastShownRootWindow(), 40000);
        VXRootWindowController* home = VXDeletailWindowController::lastShownRootWindow();
        // A cut copy first: it cannot be read, and the next open loads.
        QFile whole(file), cut(out.filePath(QStringLiteral("cut.rsf")));
        QVERIFY(whole.open(QIODevice::ReadOnly) && cut.open(QIODevice::WriteOnly));
        cut.write(whole.read(600));
        cut.close();
        OpenPanel::queueAnswer(cut.fileName());
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        home->importButtonClick();
        QCOMPARE(kit::Alert::queuedAnswerCount(), 0); // told it could not be read
        QVERIFY(!home->deletailWC && home->window()->isVisible());
        OpenPanel::queueAnswer(file);
        home->importButtonClick();
        QCOMPARE(OpenPanel::lastDirectory(), out.path());
        QVERIFY(home->deletailWC);
        detail_ = home->deletailWC;
        QVERIFY(QTest::qWaitFor([&] { return !detail_->allDiskArr.empty() && detail_->opDataFile; }, 30000));
        QCOMPARE(detail_->isImport, 1);
        QCOMPARE(listedByPathTree(detail_), scanned);
    }

    // A result saved from a scan whose device stopped answering at 37 %
    // opens saying so: the sheet tells how far the scan got and that what it
    // found until then is listed, as the scan's own end told it.
    void unfinishedSaveOpensSayingSo() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        ListedImages images({(fat32 + QStringLiteral("/fat_32.img")).toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        // The scan's last record, as a scan whose device went at 37 % ends.
        _PROGRESS_INFO gone = MakeProgress(PROGRESS_FINISHED, 1000, 370, ControllerResult::DeviceGone);
        VXUIScan::instance().UpdateProgress(&gone);
        std::uint64_t size = 0, files = 0;
        VXUIController::shared().GetScanFileSize(&size, &files);
        QVERIFY(files > 0);
        QTemporaryDir out;
        VXRootWindowController* home = exportAndGoHome(wc, out, QStringLiteral("cut scan"));
        QVERIFY(home);
        OpenPanel::queueAnswer(out.filePath(QStringLiteral("cut scan.rsf")));
        home->importButtonClick();
        QVERIFY(home->deletailWC);
        detail_ = home->deletailWC;
        QVERIFY(QTest::qWaitFor([&] { return !detail_->allDiskArr.empty() && detail_->opDataFile; }, 30000));
        QTRY_COMPARE_WITH_TIMEOUT(kit::Alert::openAlerts().size(), 1, 5000);
        QMessageBox* sheet = kit::Alert::openAlerts()[0];
        // Its device answers now: the sheet speaks of the scan.
        QCOMPARE(sheet->text(), QStringLiteral("This scan result is not complete"));
        QCOMPARE(sheet->informativeText(),
                 QStringLiteral("The scan ended at 37% of the device. The %1 files found until then are listed.").arg(files));
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheet, kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(kit::Alert::openAlerts().isEmpty(), 5000);
        QCOMPARE(detail_->selectFilesLabel->text(),
                 platform::localizedFormat("PAGE_FOUR_ALL_FILES_SIZE",
                                           VXPublicUtilities::longlongConvertVolSpace(static_cast<long long>(size)),
                                           static_cast<long long>(files)));
    }

    // A second "Open Scan Result" after a refused one, the devices listed
    // again in between (a medium went): the results window made for it asks
    // about the scan's device as it opens, before the windows have heard of
    // the new list; nothing it reaches is a device the new list let go.
    void secondLoadAfterARefusedOneWhileDevicesComeAndGo() {
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message), fat16 = fixture(QStringLiteral("fat_16"), &message);
        QVERIFY2(!fat32.isEmpty() && !fat16.isEmpty(), qPrintable(message));
        QTemporaryDir dir;
        const QString image = dir.filePath(QStringLiteral("fat_32.img")), other = dir.filePath(QStringLiteral("fat_16.img"));
        QVERIFY(QFile::copy(fat32 + QStringLiteral("/fat_32.img"), image));
        QVERIFY(QFile::copy(fat16 + QStringLiteral("/fat_16.img"), other));
        ListedImages images({image.toStdString(), other.toStdString()});
        QVERIFY(images.listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        QTemporaryDir out;
        const QString file = out.filePath(QStringLiteral("fat scan.rsf"));
        VXUIController& facade = VXUIController::shared();
        VXRootWindowController* home = exportAndGoHome(wc, out, QStringLiteral("fat scan"));
        QVERIFY(home);
        QApplication::setActiveWindow(home->window());
        QTest::keyClick(home->window(), Qt::Key_Return);
        QTRY_VERIFY(home->selectDiskVC);

        // Another card of that size and name in the scanned one's place: its
        // volume serial differs, and the load of the save is refused.
        QFile card(image);
        QVERIFY(card.open(QIODevice::ReadWrite));
        QVERIFY(card.seek(0x43));
        QByteArray serial = card.read(4);
        for (char& c : serial) c = char(~c);
        QVERIFY(card.seek(0x43) && card.write(serial) == 4);
        card.close();
        VXUIController::shared().RefreshDeviceInfo();
        OpenPanel::queueAnswer(file);
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        home->importButtonClick();
        QCOMPARE(kit::Alert::queuedAnswerCount(), 0); // told it could not be read
        QVERIFY(!home->deletailWC);

        // A medium goes: the devices are listed again; the windows are told
        // once the main loop runs again.
        QVERIFY(QFile::rename(other, other + QStringLiteral(".gone")));
        facade.RefreshDeviceInfoInBackground("secondLoadListed");
        for (int i = 0; i < 3000 && VXUIDeviceData::instance().IsListing(); ++i) QThread::msleep(10);
        QVERIFY(!VXUIDeviceData::instance().IsListing());
        // Open Scan Result again meanwhile: refused as before, and nothing freed is read.
        OpenPanel::queueAnswer(file);
        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        home->importButtonClick();
        QCOMPARE(kit::Alert::queuedAnswerCount(), 0);
        QVERIFY(!home->deletailWC);
        platform::NotificationCenter::defaultCenter().post("RefreshDetachDevice");
        QTRY_COMPARE(home->selectDiskVC->allDiskArr.size(), std::size_t(1)); // the page shows the new list

        // The scanned card back: the save loads.
        QVERIFY(card.open(QIODevice::ReadWrite));
        for (char& c : serial) c = char(~c);
        QVERIFY(card.seek(0x43) && card.write(serial) == 4);
        card.close();
        facade.RefreshDeviceInfo();
        OpenPanel::queueAnswer(file);
        home->importButtonClick();
        QVERIFY(home->deletailWC);
        detail_ = home->deletailWC;
        QVERIFY(QTest::qWaitFor([&] { return !detail_->allDiskArr.empty() && detail_->opDataFile; }, 30000));
        QCOMPARE(detail_->isImport, 1);
    }

    // A card's quick or deep save opened with another card made alike (same
    // label, size and image name) attached and listed first: the alike card
    // is tried and refused first, and nothing of it reaches the results
    // window; the card's own files are listed.
    // With only a card of another label (same size and kind) attached, it
    // is tried and refused, and the refusal says the card is not attached:
    // none attached goes by that name.
    void loadBesideACardMadeAlike_data() {
        QTest::addColumn<bool>("deep");
        QTest::addColumn<bool>("otherNameOnly");
        QTest::newRow("quick") << false << false;
        QTest::newRow("deep") << true << false;
        QTest::newRow("quick, only a card of another name") << false << true;
    }
    void loadBesideACardMadeAlike() {
        QFETCH(bool, deep);
        QFETCH(bool, otherNameOnly);
        QString message;
        const QString cards = fixture(QStringLiteral("cards_alike"), &message);
        QVERIFY2(!cards.isEmpty(), qPrintable(message));
        const std::string one = (cards + QStringLiteral("/one/card.img")).toStdString(),
                          two = (cards + QStringLiteral("/two/card.img")).toStdString();
        auto images = std::make_unique<ListedImages>(std::vector<std::string>{one});
        QVERIFY(images->listed);
        VXDeletailWindowController* wc = scanFromStartWindow();
        QVERIFY(wc);
        QVERIFY(waitEnd(wc, 60000));
        if (deep) {
            QTest::mouseClick(wc->continueButton, Qt::LeftButton);
            QVERIFY(QTest::qWaitFor([&] { return VXUIController::shared().IsDeepScan(); }, 5000));
            QVERIFY(waitEnd(wc, 120000));
        }
        const std::set<FileKey> scanned = listedByPathTree(wc);
        QCOMPARE(int(scanned.size()), 10);
        QTemporaryDir out;
        const QString file = out.filePath(QStringLiteral("card.rsf"));
        VXRootWindowController* home = exportAndGoHome(wc, out, QStringLiteral("card"));
        QVERIFY(home);

        if (otherNameOnly) {
            QTemporaryDir other;
            const QString relabelled = other.filePath(QStringLiteral("card.img"));
            QVERIFY(QFile::copy(QString::fromStdString(two), relabelled));
            int status = 0;
            const QString said = run(QStringLiteral("mlabel -i '%1' ::OTHER").arg(relabelled), &status);
            QVERIFY2(status == 0, qPrintable(QStringLiteral("mlabel (package mtools): ") + said));
            images.reset();
            images = std::make_unique<ListedImages>(std::vector<std::string>{relabelled.toStdString()});
            QVERIFY(images->listed);
            QString told;
            QTimer answer;
            connect(&answer, &QTimer::timeout, this, [&] {
                const QList<QMessageBox*> alerts = kit::Alert::openAlerts();
                if (alerts.isEmpty()) return;
                told = alerts.front()->informativeText();
                kit::Alert::buttonForAnswer(alerts.front(), kit::kAlertDefaultReturn)->click();
            });
            answer.start(20);
            OpenPanel::queueAnswer(file);
            home->importButtonClick();
            QTRY_VERIFY_WITH_TIMEOUT(!told.isEmpty(), 30000);
            answer.stop();
            QVERIFY(!home->deletailWC);
            QVERIFY2(told.startsWith(QStringLiteral("The scan result was made of “CARD”")), qPrintable(told));
            QVERIFY2(!told.contains(QStringLiteral("made alike")), qPrintable(told));
            QVERIFY2(told.endsWith(QStringLiteral("which is not attached now. Attach that device and open the scan result again.")),
                     qPrintable(told));
            return;
        }
        // Now the alike card first, the scanned one second (at other indexes).
        images.reset();
        images = std::make_unique<ListedImages>(std::vector<std::string>{two, one});
        QVERIFY(images->listed);
        // Whatever the results window pulls while the file is read is the
        // scanned card's.
        std::set<long long> pulledSizes;
        platform::NotificationCenter::defaultCenter().addObserver(this, "NormalScranValue", [&](const platform::Notification&) {
            for (const auto& [category, files] : VXUIScan::instance().GetTypeMap())
                for (IFileNode* n : files) pulledSizes.insert(n->GetFileSize());
        });
        OpenPanel::queueAnswer(file);
        home->importButtonClick();
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        QVERIFY(home->deletailWC);
        detail_ = home->deletailWC;
        QVERIFY(QTest::qWaitFor([&] { return !detail_->allDiskArr.empty() && detail_->opDataFile; }, 30000));
        QCOMPARE(detail_->isImport, 1);
        QCOMPARE(listedByPathTree(detail_), scanned);
        std::set<long long> scannedSizes;
        for (const FileKey& k : scanned) scannedSizes.insert(std::get<1>(k));
        for (long long size : pulledSizes) QVERIFY2(scannedSizes.count(size), "a file of the alike card was shown");
    }

    // A whole disk scanned quick whose second volume's reads hang: Stop ends
    // the scan at once (the read in flight goes on), what the first volume
    // listed stays listed, and when the read returns, later, nothing changes.
    void stopWhileReadsHang() {
        QString message;
        const QString mbr = fixture(QStringLiteral("mbr_fat_exfat"), &message);
        QVERIFY2(!mbr.isEmpty(), qPrintable(message));
        ListedImages images({(mbr + QStringLiteral("/disk_intact.img")).toStdString()});
        QVERIFY(images.listed);
        std::vector<DiskVolumeNodeRef> disks;
        VXUIController& facade = VXUIController::shared();
        facade.GetDeviceInfoToArray(disks);
        QCOMPARE(disks.size(), std::size_t(1));
        QCOMPARE(disks[0]->children().size(), std::size_t(2));
        auto hold = std::make_shared<ReadHold>();
        int made = 0;
        VXUIScan::instance().SetControllerFactory([&made, hold](_RECOVERY_CONTROLLER_TYPE type) -> IRecoveryController* {
            IRecoveryController* real = CreateRecoveryController(type);
            return ++made == 2 && real ? new HangingController(real, hold) : real;
        });
        struct Reset {
            std::shared_ptr<ReadHold> hold;
            ~Reset() {
                hold->release();
                if (!QTest::qWaitFor([] { return VXUIScan::instance().LiveWorkers() == 0; }, 30000))
                    qWarning("the scan's worker did not end");
                VXUIScan::instance().SetControllerFactory({});
            }
        } reset{hold};
        root_ = new VXRootWindowController;
        detail_ = root_->deletailWC = new VXDeletailWindowController;
        detail_->setSelectDiskVolumeData(disks[0]);
        detail_->showWindow();
        detail_->getData();
        QVERIFY(QTest::qWaitFor([&] { return hold->waiting.load() > 0; }, 60000)); // the second volume's first read hangs
        QVERIFY(facade.IsScanRunning());
        QTRY_VERIFY_WITH_TIMEOUT(foundCount(detail_) > 0, 10000); // the first volume's files
        std::uint64_t size = 0, files = 0;
        facade.GetScanFileSize(&size, &files);
        QVERIFY(files > 0);

        kit::Alert::queueAnswer(kit::kAlertDefaultReturn);
        QElapsedTimer clock;
        clock.start();
        detail_->stopButtonClick();
        // The stop itself is made 0.5 s after the answer; then the scan ends at once.
        const bool ended = waitEnd(detail_, 8000);
        const qint64 took = clock.elapsed();
        qInfo("Stop with a read hanging: the scan ended %lld ms after the answer", static_cast<long long>(took));
        QVERIFY2(ended && took < 3000, qPrintable(QStringLiteral("the scan ended %1 ms after Stop").arg(took)));
        QCOMPARE(hold->waiting.load(), 1); // the read is still in flight
        std::uint64_t sizeAtEnd = 0, filesAtEnd = 0;
        facade.GetScanFileSize(&sizeAtEnd, &filesAtEnd);
        QCOMPARE(filesAtEnd, files);
        QVERIFY(!detail_->allDiskArr.empty());
        QVERIFY(!listedByPathTree(detail_).empty());
        const auto filed = [] {
            std::set<std::pair<std::string, long long>> out;
            for (const auto& [category, list] : VXUIScan::instance().GetTypeMap())
                for (IFileNode* n : list) out.insert({n->GetFileName(), n->GetFileSize()});
            return out;
        };
        const auto listed = filed();
        QCOMPARE(listed.size(), std::size_t(files));

        // The read returns: the worker winds down into nothing the window shows.
        hold->release();
        QVERIFY(QTest::qWaitFor([] { return VXUIScan::instance().LiveWorkers() == 0; }, 30000));
        QTest::qWait(300);
        QVERIFY(!facade.IsScanRunning());
        facade.GetScanFileSize(&sizeAtEnd, &filesAtEnd);
        QCOMPARE(filesAtEnd, files);
        QCOMPARE(filed(), listed);
        QCOMPARE(detail_->allDiskArr.size(), std::size_t(1));
        delete root_.data();
    }

    // A 1 GiB image (the deep-scan benchmark's) scanned deep from the window:
    // the bar rises while it runs (a picture midway), files are found.
    // The 1 GiB image: the mbr_fat_exfat disk followed by random bytes; ""
    // with the reason in message when it cannot be made.
    static QString gibibyteImage(QString* message) {
        const QString mbr = fixture(QStringLiteral("mbr_fat_exfat"), message);
        if (mbr.isEmpty()) return {};
        const QString image = QStringLiteral(SALVOR_FIXTURE_OUT "/results_1gib.img");
        if (QFileInfo(image).size() != (1LL << 30)) {
            int status = 0;
            *message = run(QStringLiteral("set -e; cp '%1/disk_mbr_zeroed.img' '%2.tmp'; size=$(stat -c %s '%2.tmp'); "
                                          "openssl enc -aes-128-ctr -nosalt -pass pass:fatdeep -pbkdf2 -in /dev/zero 2>/dev/null"
                                          " | head -c $((1073741824 - size)) >> '%2.tmp'; mv '%2.tmp' '%2'")
                               .arg(mbr, image),
                           &status);
            if (status != 0) {
                *message = QStringLiteral("openssl (package openssl): ") + *message;
                return {};
            }
        }
        return image;
    }

    void deepScanOfAGibibyteRises() {
        QString message;
        const QString image = gibibyteImage(&message);
        QVERIFY2(!image.isEmpty(), qPrintable(message));
        ListedImages images({image.toStdString()});
        QVERIFY(images.listed);
        std::vector<DiskVolumeNodeRef> disks;
        VXUIController::shared().GetDeviceInfoToArray(disks);
        QCOMPARE(disks.size(), std::size_t(1));
        root_ = new VXRootWindowController; // owns the results window below
        detail_ = root_->deletailWC = new VXDeletailWindowController;
        detail_->setSelectDiskVolumeData(disks[0]);
        detail_->showWindow();
        detail_->getData();
        QVERIFY(waitEnd(detail_, 60000));
        QTest::mouseClick(detail_->continueButton, Qt::LeftButton);
        auto running = [] { return VXUIController::shared().IsScanRunning(); };
        QVERIFY(QTest::qWaitFor([&] { return running() && detail_->progressView->bar()->width() > 0; }, 120000));
        const int count = foundCount(detail_);
        const int bar = detail_->progressView->bar()->width();
        QVERIFY(QTest::qWaitFor([&] { return !running() || detail_->progressView->bar()->width() > bar + 20; }, 120000));
        QVERIFY2(running(), "the scan ended before a second look");
        QVERIFY(foundCount(detail_) >= count);
        const QImage shot = detail_->window()->grab().toImage();
        shot.save(QStringLiteral(SALVOR_FIXTURE_OUT "/results_deep_scan_midway.png"));
        // The bar's orange shows at its start; the counters and the pause button are up.
        const QPoint barAt = detail_->progressView->bar()->mapTo(detail_->window(), QPoint(1, 3));
        const QColor c = shot.pixelColor(barAt);
        QVERIFY2(c.red() > c.blue() + 60, qPrintable(c.name()));
        QVERIFY(detail_->findFilesLabel->isVisible() && detail_->pauseButton->isVisible());
        QVERIFY(waitEnd(detail_, 300000));
        QVERIFY(foundCount(detail_) > count || !detail_->allDiskArr.empty());
    }

    // As root: a deep scan of a loop device over a copy of the 1 GiB image,
    // held paused midway while the copy is cut to nothing and the device's
    // size read again (a card reader that lost its card: the node stays, no
    // detach comes). Resumed, the scan ends by itself, what it found stays
    // listed, no deeper scan is offered, and one sheet says the device
    // stopped answering and how far the scan got. (Before the media watcher
    // starts below: a size read as 0 is a detach to it, told by its own sheet.)
    void loopDeviceStopsAnsweringMidScan() {
        if (::geteuid() != 0) QSKIP("needs root: attaches a loop device with losetup");
        QString message;
        const QString image = gibibyteImage(&message);
        QVERIFY2(!image.isEmpty(), qPrintable(message));
        const QString name = QStringLiteral("results_gone-%1.img").arg(::getpid());
        AttachedCopy attached(image, name);
        QVERIFY2(attached.error.isEmpty(), qPrintable(attached.error));
        const QString &copy = attached.copy, &loop = attached.loop;
        VXUIController& facade = VXUIController::shared();
        int status = 0;

        root_ = new VXRootWindowController;
        detail_ = root_->deletailWC = new VXDeletailWindowController;
        detail_->setSelectDiskVolumeData(attached.disk);
        detail_->showWindow();
        detail_->getData();
        QVERIFY(waitEnd(detail_, 60000));
        QVERIFY(kit::Alert::openAlerts().isEmpty()); // a device that answers is told nothing
        QTest::mouseClick(detail_->continueButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([&] { return facade.IsScanRunning() && detail_->progressView->bar()->width() > 0; },
                                120000));
        facade.PauseOrResumeScan();
        QVERIFY2(facade.IsPause(), "the deep scan ended before it could be held");
        run(QStringLiteral("truncate -s 0 '%1'; losetup -c %2").arg(copy, loop), &status);
        QCOMPARE(status, 0);
        facade.PauseOrResumeScan();
        QVERIFY(waitEnd(detail_, 120000));
        QTRY_COMPARE_WITH_TIMEOUT(kit::Alert::openAlerts().size(), 1, 5000);
        QMessageBox* sheet = kit::Alert::openAlerts()[0];
        detail_->window()->grab().save(QStringLiteral(SALVOR_FIXTURE_OUT "/results_device_gone.png"));
        QCOMPARE(sheet->text(), QStringLiteral("The device stopped answering"));
        static const QRegularExpression words(
            QStringLiteral("^The scan ended at (\\d+)% of the device\\. The (\\d+) files found until then are listed\\.$"));
        const QRegularExpressionMatch m = words.match(sheet->informativeText());
        QVERIFY2(m.hasMatch(), qPrintable(sheet->informativeText()));
        const int percent = m.captured(1).toInt();
        QVERIFY2(percent >= 1 && percent < 100, qPrintable(sheet->informativeText()));
        QCOMPARE(m.captured(2).toInt(), foundCount(detail_));
        QVERIFY(!detail_->continueButton->isVisible());
        QVERIFY(detail_->recovertyButton->isVisible());
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheet, kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(kit::Alert::openAlerts().isEmpty(), 5000);
        delete root_.data();
        forgetDevices();
        attached.system->Clear();
    }

    // As root: a card whose disk fails a page inside frag.bin, and later
    // answers nowhere for a while. Recovered, frag.bin keeps every byte the
    // disk gives, zeros only where its sectors fail, and the end dialog says a
    // file was not copied whole, never "Recovery complete". A deep scan in the
    // silence ends saying the device stopped answering; its listing saved
    // while the card is still silent opens on the card once it answers, and
    // recovers the same bytes.
    void failingCardKeepsWhatItReadsAndIsReadAgain() {
        if (::geteuid() != 0) QSKIP("needs root: a FUSE file attached with losetup");
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        // frag.bin's sectors as istat lists them (one sector a cluster).
        QStringList sectors;
        long long size = 0;
        QFile manifest(fat32 + QStringLiteral("/fat_32.istat")), image(fat32 + QStringLiteral("/fat_32.img"));
        QVERIFY(manifest.open(QIODevice::ReadOnly) && image.open(QIODevice::ReadOnly));
        for (const QByteArray& line : manifest.readAll().split('\n'))
            if (line.endsWith("\tfrag.bin")) {
                const QStringList head = QString::fromUtf8(line.left(line.indexOf('\t'))).split(QLatin1Char(' '), Qt::SkipEmptyParts);
                size = head.value(3).toLongLong();
                sectors = head.mid(4);
            }
        QVERIFY2(size > 32 * 512 && sectors.size() * 512LL >= size, "frag.bin is not in the manifest");
        // The 4 KiB page after the first fragment: a block device is read by pages.
        int page = 16;
        while (page + 8 < sectors.size() && (sectors[page].toLongLong() % 8 != 0 ||
                                             sectors[page + 7].toLongLong() != sectors[page].toLongLong() + 7))
            ++page;
        QVERIFY(page + 8 < sectors.size());
        QByteArray want;
        std::vector<test::FailingFile::Range> bad;
        for (int i = 0; i < sectors.size(); ++i) {
            const qint64 at = sectors[i].toLongLong() * 512;
            QVERIFY(image.seek(at));
            QByteArray sector = image.read(512);
            if (i >= page && i < page + 8) {
                bad.push_back({static_cast<std::uint64_t>(at), 512});
                sector.fill('\0');
            }
            want += sector;
        }
        want.truncate(size);
        AttachedCopy attached(image.fileName(), QStringLiteral("results_failing-%1.img").arg(::getpid()), &bad);
        QVERIFY2(attached.error.isEmpty(), qPrintable(attached.error));
        // The card answers again however the row ends.
        struct Limit {
            QString silent;
            ~Limit() {
                QFile::remove(silent);
                CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(0));
            }
        } limit{attached.silent};
        CDescriptorDevice::SetSilenceLimit(std::chrono::milliseconds(2000));
        root_ = new VXRootWindowController;
        detail_ = root_->deletailWC = new VXDeletailWindowController;
        detail_->setSelectDiskVolumeData(attached.disk);
        detail_->showWindow();
        detail_->getData();
        QVERIFY(waitEnd(detail_, 60000));
        QTemporaryDir first;
        QString told = recoverAll(detail_, first.path());
        QVERIFY2(told.startsWith(platform::localizedFormat("PAGE_FOUR_RECOVER_NOTEND_LEFT", 1.0)) &&
                     told.contains(QStringLiteral("The recovery ended: ")),
                 qPrintable(told));
        QVERIFY(copied(first.path(), QStringLiteral("frag.bin")) == want);

        // Silent: the deep scan ends saying so, and is saved in the silence.
        QFile(attached.silent).open(QIODevice::WriteOnly);
        QTRY_VERIFY_WITH_TIMEOUT(!kit::modalWindow() && detail_->continueButton->isVisible(), 5000);
        QApplication::setActiveWindow(detail_->window());
        QTest::mouseClick(detail_->continueButton, Qt::LeftButton);
        QVERIFY(QTest::qWaitFor([] { return VXUIController::shared().IsScanRunning(); }, 10000));
        QVERIFY(waitEnd(detail_, 120000));
        QTRY_COMPARE_WITH_TIMEOUT(kit::Alert::openAlerts().size(), 1, 10000);
        QMessageBox* sheet = kit::Alert::openAlerts()[0];
        QCOMPARE(sheet->text(), QStringLiteral("The device stopped answering"));
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheet, kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(kit::Alert::openAlerts().isEmpty(), 5000);
        QTemporaryDir out;
        QApplication::setActiveWindow(detail_->window());
        // Saved in the silence, its files have no marks: the save's end says so.
        QString unmarked;
        QTimer saidUnmarked;
        connect(&saidUnmarked, &QTimer::timeout, this, [&] {
            const QList<QMessageBox*> alerts = kit::Alert::openAlerts();
            if (alerts.isEmpty() || alerts.front()->text() != platform::localizedString("SAVE_RSF_UNMARKED_TITLE")) return;
            unmarked = alerts.front()->informativeText();
            kit::Alert::buttonForAnswer(alerts.front(), kit::kAlertDefaultReturn)->click();
        });
        saidUnmarked.start(50);
        VXRootWindowController* home = exportAndGoHome(detail_, out, QStringLiteral("silent card"));
        saidUnmarked.stop();
        QVERIFY(home);
        QVERIFY2(unmarked.startsWith(QStringLiteral("The device did not answer while the scan result was saved")),
                 qPrintable(unmarked));

        // The card answers again: the save opens on it, never as another made alike.
        QVERIFY(QFile::remove(attached.silent));
        // A refusal is answered, and what it said shown; the loaded result's
        // own sheet is left to the row.
        const QString unfinished = QStringLiteral("This scan result is not complete");
        QString refused;
        QTimer answer;
        connect(&answer, &QTimer::timeout, this, [&] {
            const QList<QMessageBox*> alerts = kit::Alert::openAlerts();
            if (alerts.isEmpty() || alerts.front()->text() == unfinished) return;
            refused = alerts.front()->informativeText();
            kit::Alert::buttonForAnswer(alerts.front(), kit::kAlertDefaultReturn)->click();
        });
        answer.start(20);
        OpenPanel::queueAnswer(out.filePath(QStringLiteral("silent card.rsf")));
        home->importButtonClick();
        answer.stop();
        QVERIFY2(home->deletailWC && refused.isEmpty(), qPrintable(refused));
        detail_ = home->deletailWC;
        QVERIFY(QTest::qWaitFor([&] { return !detail_->allDiskArr.empty() && detail_->opDataFile; }, 30000));
        QTRY_COMPARE_WITH_TIMEOUT(kit::Alert::openAlerts().size(), 1, 5000);
        sheet = kit::Alert::openAlerts()[0];
        QCOMPARE(sheet->text(), unfinished);
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheet, kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(kit::Alert::openAlerts().isEmpty(), 5000);
        QTemporaryDir second;
        told = recoverAll(detail_, second.path());
        QVERIFY2(told.contains(QStringLiteral("The recovery ended: ")), qPrintable(told));
        QVERIFY(copied(second.path(), QStringLiteral("frag.bin")) == want);

        delete VXDeletailWindowController::lastShownRootWindow();
        delete root_.data();
        forgetDevices();
        attached.system->Clear();
    }

    // As root: a read-only loop device over a copy of fat_32, cut off while
    // it is scanned; the program's own media watcher reports the device gone
    // from the kernel's events: the scan is stopped without building (StopScan
    // 1), it ends, and the detach sheet comes once.
    void loopDeviceCutOffMidScan() {
        if (::geteuid() != 0) QSKIP("needs root: attaches and detaches a loop device with losetup");
        QString message;
        const QString fat32 = fixture(QStringLiteral("fat_32"), &message);
        QVERIFY2(!fat32.isEmpty(), qPrintable(message));
        // A name of this process's own: other programs' devices (this test
        // run elsewhere on the machine among them) have other names.
        const QString name = QStringLiteral("results_loop-%1.img").arg(::getpid());
        AttachedCopy attached(fat32 + QStringLiteral("/fat_32.img"), name);
        QVERIFY2(attached.error.isEmpty(), qPrintable(attached.error));
        const QString &copy = attached.copy, &loop = attached.loop;
        const DiskVolumeNodeRef disk = attached.disk;
        const std::unique_ptr<VXUIDeviceData>& system = attached.system;
        VXUIController& facade = VXUIController::shared();

        // The watcher starts once per process, after the device is there (it
        // learns the names of the devices present when it starts).
        platform::NotificationCenter& nc = platform::NotificationCenter::defaultCenter();
        struct Reports {
            int count = 0;
            ~Reports() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
        } reports;
        nc.addObserver(&reports, "RefreshDetachDevice", [&](const platform::Notification& n) {
            reports.count += n.value("USBPath") == name.toStdString();
        });
        const bool watching = platform::createSystemMediaEventSource()->start([](const platform::MediaEvent&) {});
        if (watching) facade.USBNotifier_init();
        else qInfo("no kernel event source can be opened: the detach notification is posted by hand");

        root_ = new VXRootWindowController;
        detail_ = root_->deletailWC = new VXDeletailWindowController;
        detail_->setSelectDiskVolumeData(disk);
        detail_->showWindow();
        detail_->getData();
        // Held paused from its start while the device goes: the backing file
        // emptied, the device's size re-read (the kernel reports the change to
        // size 0), then the device detached.
        const bool held = facade.IsScanRunning() && (facade.PauseOrResumeScan(), facade.IsPause());
        if (!held) qInfo("the scan ended before the device went");
        run(QStringLiteral("truncate -s 0 '%1'; losetup -c %2; losetup -d %2").arg(copy, loop));
        // Once detached, the number may be another run's device: never detached twice.
        attached.loop.clear();
        if (!watching) nc.post("RefreshDetachDevice", {{"USBPath", name.toStdString()}});
        QVERIFY2(QTest::qWaitFor([&] { return reports.count > 0; }, 10000), "the media watcher reported nothing");
        // Stopped without building the trees while it was paused: only the
        // detach does that, and the scan ends without being resumed.
        if (held) QCOMPARE(VXUIScan::instance().shouldBuild(), 0);
        QVERIFY(waitEnd(detail_, 60000));
        detail_->window()->grab();
        QTest::qWait(CMediaNotifier::kSettle.count() * 2); // a second report would come meanwhile
        QCOMPARE(reports.count, 1);
        const QList<QMessageBox*> sheets = kit::Alert::openAlerts();
        QCOMPARE(sheets.size(), 1);
        QTest::mouseClick(kit::Alert::buttonForAnswer(sheets[0], kit::kAlertDefaultReturn), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(VXDeletailWindowController::lastShownRootWindow(), 40000);
        delete VXDeletailWindowController::lastShownRootWindow();
        delete root_.data();
        forgetDevices();
        system->Clear();
    }
};

QTEST_MAIN(ResultsRealScanTest)
#include "ResultsRealScanTest.moc"
