// As root, over the real facade: a copy of the fat_32 fixture attached
// read-only as a loop device is a "Disk Image" row named after the file,
// with its FAT32 volume, on the device page (checked on a picture of it).
#include "services/UIController.h"
#include "tests/ui/windows/WindowTestSupport.h"
#include "ui/windows/StartPages.h"

#include <QProcess>

#include <unistd.h>

using namespace salvor;
using namespace salvor::windows;

namespace {
QString run(const QString& program, const QStringList& args, int* status = nullptr) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    p.waitForFinished(120000);
    if (status) *status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromUtf8(p.readAll()).trimmed();
}
} // namespace

class LoopDeviceRowTest : public QObject {
    Q_OBJECT
    QTemporaryDir config_, copy_;
    QString device_;

private slots:
    void initTestCase() { test::setUpWindowTests(config_); }
    void cleanupTestCase() {
        if (!device_.isEmpty()) run(QStringLiteral("losetup"), {QStringLiteral("-d"), device_});
    }

    void diskImageRow() {
        if (::geteuid() != 0) QSKIP("needs root: attaches a loop device with losetup");
        int status = 0;
        const QString made = run(QStringLiteral(SALVOR_SOURCE_DIR "/tests/fixtures/make-fixture"),
                                 {QStringLiteral("fat_32"), QStringLiteral(SALVOR_FIXTURE_OUT)}, &status);
        QVERIFY2(status == 0, qPrintable(made));
        // A name of this run's own: other runs attach images meanwhile.
        const QString name = QStringLiteral("startwin_fat32_%1.img").arg(::getpid());
        const QString image = copy_.filePath(name);
        QVERIFY(QFile::copy(QStringLiteral(SALVOR_FIXTURE_OUT "/fat_32/fat_32.img"), image));
        device_ = run(QStringLiteral("losetup"), {QStringLiteral("-r"), QStringLiteral("-f"), QStringLiteral("--show"), image},
                      &status);
        QVERIFY2(status == 0 && device_.startsWith(QStringLiteral("/dev/loop")), qPrintable(device_));

        VXUIController& facade = VXUIController::shared();
        facade.RefreshDeviceInfo(); // lists the devices on this thread
        std::vector<DiskVolumeNodeRef> disks;
        facade.GetDeviceInfoToArray(disks);
        VXSelectDiskViewController page;
        page.setAllDiskArr(disks);
        page.view()->show();
        page.InitFinished();
        QAbstractItemModel* model = page.outlineView->model();
        int row = 0;
        QModelIndex disk;
        for (int i = 0; i < model->rowCount() && !disk.isValid(); ++i, ++row) {
            const QModelIndex d = model->index(i, 0);
            if (d.data().toString() == name) disk = d;
            else row += model->rowCount(d);
        }
        QVERIFY2(disk.isValid(), "no row named after the image file");
        QCOMPARE(disk.siblingAtColumn(2).data().toString(), QStringLiteral("Disk Image"));
        QCOMPARE(model->rowCount(disk), 1);
        QCOMPARE(model->index(0, 2, disk).data().toString(), QStringLiteral("FAT32"));
        // The picture: the disk image's icon at the start of its row.
        page.outlineView->scrollTo(disk);
        const QRect r = page.outlineView->visualRect(disk);
        const QImage shot = page.outlineView->viewport()->grab().toImage();
        shot.save(QStringLiteral(SALVOR_FIXTURE_OUT "/startwin_device_page.png"));
        QVERIFY(shot.pixelColor(r.left() + 8, r.center().y()) != shot.pixelColor(r.left() + 400, r.center().y()));
    }
};

QTEST_MAIN(LoopDeviceRowTest)
#include "LoopDeviceRowTest.moc"
