// A dialog as the windows make them (a TCImageWindow with the dialogs' title
// bar, fading in and out, built by its controller): its bar, its picture, and
// its close button fading it out, closing it and ending its modal run. Run a
// second time under Xvfb (screenUnderX11), where the screen is captured with
// ImageMagick's "import -window root" and checked at the same pixels.
#include "platform/MainThread.h"
#include "platform/Paths.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/NamedImages.h"
#include "ui/kit/WindowController.h"
#include "ui/kit/WindowFade.h"
#include "ui/widgets/DialogTitleBar.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

#include <QLabel>
#include <QMenu>
#include <QProcess>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

namespace {

class DemoDialog : public kit::WindowController {
public:
    DemoDialog() : kit::WindowController(QStringLiteral("DemoDialog")) { setFadesOnClose(true); }
    TCImageWindow* dialog() { return static_cast<TCImageWindow*>(window()); }
    DialogTitleBar bar;

protected:
    QWidget* loadWindow() override {
        auto* w = new TCImageWindow(QSize(360, 140));
        (new QLabel(QStringLiteral("Body"), w->contentView()))->setGeometry(20, 20, 200, 20);
        return w;
    }
    void awakeFromNib() override { fadeIn(); }
    void windowDidLoad() override { bar = installDialogTitleBar(dialog()); }
};

// "" when the dialog's pixels in picture (from origin) show the header image
// at the bar's right end and beside the title, and the close button's image
// (red when key, grey otherwise) at its centre, each within 6 per channel.
QString checkBar(TCImageWindow* w, const QImage& picture, QPoint origin = {}) {
    // The header image is a vertical gradient: its stretched copy shows the same colours row by row.
    const QImage header = kit::namedImage(QStringLiteral("pop_header_bg"));
    QList<std::pair<QPoint, QColor>> probes;
    for (int row : {2, 11, 19}) probes.append({QPoint(w->width() - 6, row), header.pixelColor(100, row)});
    probes.append({QPoint(w->width() / 2 + 60, 8), header.pixelColor(100, 8)});
    auto* close = static_cast<TCWindowButton*>(w->standardWindowButton(TCImageWindow::CloseButton));
    const QImage image = close->displayedImage().toImage();
    probes.append({close->geometry().center(), image.pixelColor(image.width() / 2, image.height() / 2)});
    for (const auto& [at, expected] : probes) {
        const QColor got = picture.rect().contains(origin + at) ? picture.pixelColor(origin + at) : QColor();
        if (!got.isValid() || qAbs(got.red() - expected.red()) > 6 || qAbs(got.green() - expected.green()) > 6 ||
            qAbs(got.blue() - expected.blue()) > 6)
            return QStringLiteral("at (%1, %2): got %3, expected %4")
                .arg(at.x())
                .arg(at.y())
                .arg(got.isValid() ? got.name() : QStringLiteral("nothing"), expected.name());
    }
    return QString();
}

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
        DemoDialog c;
        TCImageWindow* w = c.dialog();
        QCOMPARE(c.bar.background->geometry(), QRect(0, 0, w->width(), 22));
        // Lower-left frame (0, 3, width, 17) in a 22-point bar: Qt top 2.
        QCOMPARE(c.bar.title->geometry(), QRect(0, 2, w->width(), 17));
        QCOMPARE(c.bar.title->text(), QStringLiteral("Salvor")); // the English "WINDOW_TOP_TITLE"
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
        DemoDialog c;
        TCImageWindow* w = c.dialog();
        const QImage picture = w->grab().toImage();
        QVERIFY(picture.save(shotPath("dialog_offscreen.png")));
        const QString mismatch = checkBar(w, picture);
        QVERIFY2(mismatch.isEmpty(), qPrintable(mismatch));
        // The title's ink is in the label's rows, centred.
        bool ink = false;
        for (int x = w->width() / 2 - 30; x < w->width() / 2 + 30; ++x)
            for (int y = 4; y < 18; ++y)
                ink |= picture.pixelColor(x, y).red() < 170 && picture.pixelColor(x, y).blue() < 190;
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
    // The fade-in's end does not close it; the fade-out's does.
    void closeButtonFadesClosesAndEndsTheRun() {
        DemoDialog c;
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
    }
    void screenUnderX11() {
        if (QGuiApplication::platformName() != QLatin1String("xcb")) {
            QVERIFY2(qEnvironmentVariableIsEmpty("SALVOR_REQUIRE_X11"), "no X server: the platform is not xcb");
            QSKIP("needs an X server: the test ui_widgets_dialog_xvfb runs this under xvfb-run");
        }
        DemoDialog c;
        TCImageWindow* w = c.dialog();
        w->move(40, 30);
        c.showWindow();
        QVERIFY(QTest::qWaitForWindowExposed(w));
        QTest::qWait(500); // painted and settled
        const QImage grabbed = w->grab().toImage();
        grabbed.save(shotPath("dialog_xvfb_grab.png"));
        QString mismatch = checkBar(w, grabbed);
        QVERIFY2(mismatch.isEmpty(), qPrintable("grab " + mismatch));
        QProcess import;
        import.start("import", {"-window", "root", shotPath("dialog_xvfb_root.png")});
        QVERIFY2(import.waitForFinished(20000) && import.exitCode() == 0,
                 qPrintable("import -window root failed (package imagemagick): " + import.readAllStandardError()));
        mismatch = checkBar(w, QImage(shotPath("dialog_xvfb_root.png")), w->mapToGlobal(QPoint(0, 0)));
        QVERIFY2(mismatch.isEmpty(), qPrintable("screen " + mismatch));
    }
};

QTEST_MAIN(DialogTest)
#include "DialogTest.moc"
