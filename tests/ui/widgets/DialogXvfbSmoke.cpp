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
using namespace std::chrono_literals;

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2 || QGuiApplication::platformName() != QLatin1String("xcb")) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR, under an X server (xvfb-run); the platform is %s\n", argv[0],
                     qPrintable(QGuiApplication::platformName()));
        return argc < 2 ? 2 : 1;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    kit::installApplicationFonts();
    kit::setAnimationDurationScale(0);
    testing::DemoDialogController c;
    widgets::TCImageWindow* w = c.dialog();
    w->move(40, 30);
    c.showWindow();
    if (!platform::runUntil([w] { return w->windowHandle() && w->windowHandle()->isExposed(); }, 5000ms)) {
        std::fprintf(stderr, "the dialog was never exposed\n");
        return 1;
    }
    platform::runUntil([] { return false; }, 500ms); // painted and settled

    const auto probes = testing::dialogProbes(w);
    const QString grabPath = dir + "/dialog_xvfb_grab.png", rootPath = dir + "/dialog_xvfb_root.png";
    const QImage grabbed = w->grab().toImage();
    grabbed.save(grabPath);
    QProcess import;
    import.start("import", {"-window", "root", rootPath});
    if (!import.waitForFinished(20000) || import.exitCode() != 0) {
        std::fprintf(stderr, "import -window root failed (package imagemagick): %s\n",
                     qPrintable(QString::fromLocal8Bit(import.readAllStandardError())));
        return 1;
    }
    const QPoint origin = w->mapToGlobal(QPoint(0, 0));
    int failures = 0;
    for (const auto& [what, picture, at] : {std::tuple("grab", grabbed, QPoint(0, 0)),
                                            std::tuple("screen", QImage(rootPath), origin)})
        if (const QString m = testing::checkProbes(picture, at, probes); !m.isEmpty()) {
            std::fprintf(stderr, "%s: %s\n", what, qPrintable(m));
            ++failures;
        }
    std::printf("grab %s\nscreen %s (dialog at %d, %d)\n", qPrintable(grabPath), qPrintable(rootPath), origin.x(),
                origin.y());
    return failures ? 1 : 0;
}
