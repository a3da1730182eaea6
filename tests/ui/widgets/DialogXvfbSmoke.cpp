// Shows the demo dialog on a real X server (run under xvfb-run), captures the
// screen with ImageMagick's "import -window root" and its own picture with
// grab(), and checks both for the bar's colours at known pixels.
// Usage: salvor_dialog_xvfb_smoke OUTPUT_DIR
#include "DemoDialog.h"

#include "platform/MainThread.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/WindowFade.h"

#include <QApplication>
#include <QProcess>
#include <QWindow>

#include <chrono>
#include <cstdio>

using namespace salvor;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    if (QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "needs an X server (platform is %s): run under xvfb-run\n",
                     qPrintable(QGuiApplication::platformName()));
        return 1;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    kit::installApplicationFonts();
    kit::setAnimationDurationScale(0);

    testing::DemoDialogController c;
    widgets::TCImageWindow* w = c.dialog();
    w->move(40, 30);
    c.showWindow();
    using namespace std::chrono_literals;
    if (!platform::runUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 5000ms)) {
        std::fprintf(stderr, "the dialog was never exposed\n");
        return 1;
    }
    platform::runUntil([] { return false; }, 500ms); // painted and settled

    int failures = 0;
    const auto probes = testing::dialogProbes(w);
    const QImage grabbed = w->grab().toImage();
    const QString grabPath = dir + "/dialog_xvfb_grab.png";
    grabbed.save(grabPath);
    if (const QString m = testing::checkProbes(grabbed, QPoint(0, 0), probes); !m.isEmpty()) {
        std::fprintf(stderr, "grab: %s\n", qPrintable(m));
        ++failures;
    }

    const QString rootPath = dir + "/dialog_xvfb_root.png";
    QProcess import;
    import.start("import", {"-window", "root", rootPath});
    if (!import.waitForFinished(20000) || import.exitCode() != 0) {
        std::fprintf(stderr, "import -window root failed (package imagemagick): %s\n",
                     qPrintable(QString::fromLocal8Bit(import.readAllStandardError())));
        return 1;
    }
    const QImage root(rootPath);
    if (root.isNull()) {
        std::fprintf(stderr, "cannot read %s\n", qPrintable(rootPath));
        return 1;
    }
    const QPoint origin = w->mapToGlobal(QPoint(0, 0));
    if (const QString m = testing::checkProbes(root, origin, probes); !m.isEmpty()) {
        std::fprintf(stderr, "screen: %s\n", qPrintable(m));
        ++failures;
    }
    std::printf("grab %s\nscreen %s (dialog at %d, %d)\n", qPrintable(grabPath), qPrintable(rootPath), origin.x(),
                origin.y());
    std::fflush(stdout);
    return failures ? 1 : 0;
}
