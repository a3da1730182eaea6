// A dialog with the dialogs' title bar: its picture offscreen, and its close
// button fading it out, closing it and ending its modal run.
#include "DemoDialog.h"

#include "platform/MainThread.h"
#include "platform/Paths.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowFade.h"

#include <QLabel>
#include <QMenu>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

namespace {
// Where a picture is kept for review: $SALVOR_SHOT_DIR, else beside the test.
QString shotPath(const QString& name) {
    const QString dir = QString::fromLocal8Bit(qgetenv("SALVOR_SHOT_DIR"));
    return (dir.isEmpty() ? platform::executableDir() : dir) + "/" + name;
}
} // namespace

class DialogTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        kit::installApplicationFonts();
        kit::setAnimationDurationScale(0);
    }

    void titleBarAsTheDialogsHaveIt() {
        testing::DemoDialogController c;
        TCImageWindow* w = c.dialog();
        QCOMPARE(w->titleBarHeight(), 22.0);
        QCOMPARE(c.bar.background->geometry(), QRect(0, 0, w->width(), 22));
        QVERIFY(c.bar.background->hasScaledContents());
        // Lower-left frame (0, 3, width, 17) in a 22-point bar: Qt top 2.
        QCOMPARE(c.bar.title->geometry(), QRect(0, 2, w->width(), 17));
        QCOMPARE(c.bar.title->text(), QStringLiteral("Salvor")); // the English "WINDOW_TOP_TITLE"
        QVERIFY(c.bar.title->alignment() & Qt::AlignHCenter);
        QCOMPARE(c.bar.title->palette().color(QPalette::WindowText), QColor(80, 84, 102));
        QCOMPARE(c.bar.title->font().pixelSize(), 13);
        // Buttons above the header image, centred: round(11 - 8) from the bar's lower edge.
        QAbstractButton* close = w->standardWindowButton(TCImageWindow::CloseButton);
        QCOMPARE(close->pos(), QPoint(13, 3));
        // The bar follows the window's width.
        c.showWindow();
        w->resize(500, w->height());
        QTRY_COMPARE(c.bar.background->width(), 500);
        QCOMPARE(c.bar.title->width(), 500);
        QCOMPARE(close->x(), 13);
    }

    void pictureShowsTheBar() {
        testing::DemoDialogController c;
        TCImageWindow* w = c.dialog();
        const QImage picture = w->grab().toImage();
        QVERIFY(picture.save(shotPath("dialog_offscreen.png")));
        const QString mismatch = testing::checkProbes(picture, QPoint(0, 0), testing::dialogProbes(w));
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        // The title's ink is in the label's rows, centred.
        bool ink = false;
        for (int x = w->width() / 2 - 30; x < w->width() / 2 + 30 && !ink; ++x)
            for (int y = 4; y < 18 && !ink; ++y) ink = picture.pixelColor(x, y).red() < 170 && picture.pixelColor(x, y).blue() < 190;
        QVERIFY(ink);
    }

    // A results-style window: a 60-point dark bar with its title and menu button.
    void darkBarPicture() {
        TCImageWindow w(QSize(360, 120));
        w.setWindowTitle("Results");
        w.setShowsTitle(true);
        w.setTitleBarHeight(60);
        w.setTopButtonMoveUp(1);
        QMenu menu;
        menu.addAction("Quit");
        w.setApplicationMenu(&menu);
        const QImage picture = w.grab().toImage();
        QVERIFY(picture.save(shotPath("window_offscreen.png")));
        QCOMPARE(picture.pixelColor(180, 50), titleBarColor());
        QCOMPARE(picture.pixelColor(100, 30), titleBarColor());
    }

    void closeButtonFadesClosesAndEndsTheRun() {
        testing::DemoDialogController c;
        TCImageWindow* w = c.dialog();
        double alphaShown = -1;
        platform::postToMainThread([&] {
            alphaShown = kit::alphaValue(w);
            w->standardWindowButton(TCImageWindow::CloseButton)->click();
            QVERIFY(w->isVisible()); // refused for now: the fade runs first
        });
        QCOMPARE(kit::runModal(w), kit::kModalResponseStop);
        QCOMPARE(alphaShown, 1.0);
        QCOMPARE(kit::alphaValue(w), 0.0);
        QVERIFY(!w->isVisible());
        QCOMPARE(kit::modalDepth(), 0);
    }
};

QTEST_MAIN(DialogTest)
#include "DialogTest.moc"
