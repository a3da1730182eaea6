// Salvor: the optional first argument is the interface language code.
#include "app/KeepAwake.h"
#include "app/Startup.h"
#include "platform/UserDefaults.h"
#include "services/EndSignals.h"
#include "services/Log.h"
#include "ui/kit/Fonts.h"
#include "ui/widgets/MyNSApplication.h"
#include "ui/windows/AppDelegate.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

namespace {
void setCurLanguage(const char* code) {
    std::printf("argv = %s\n", code);
    const QString language = QString::fromLocal8Bit(code);
    salvor::services::writeLog("set lanague to = %s\n", language.toUtf8().constData());
    // Not validated: an unknown code falls back as the string tables do.
    salvor::platform::UserDefaults::setAppleLanguages({language});
}
} // namespace

int main(int argc, char** argv) {
    if (argc > 1) setCurLanguage(argv[1]);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("salvor"));
    // The start window closes before the results window shows; the process
    // ends through the delegate, not when the last window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    salvor::kit::installApplicationFonts();
    salvor::widgets::MyNSApplication::install();
    auto* awake = new KeepAwake;
    salvor::app::startUp();
    salvor::windows::VXAppDelegate delegate;
    // A logout, shutdown or Ctrl+C ends a recovery as its Stop does, or a save, first.
    salvor::services::routeEndSignals(&delegate, [&delegate](int number) {
        salvor::services::writeLog("signal %d: ending\n", number);
        delegate.endAfterRecovery([number] { salvor::services::endBySignal(number); });
    });
    QTimer::singleShot(0, &delegate, [&delegate] { delegate.applicationDidFinishLaunching(); });
    const int status = QApplication::exec();
    delete awake;
    return status;
}
