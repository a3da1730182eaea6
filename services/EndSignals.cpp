#include "services/EndSignals.h"

#include "engine/utility/EndSignals.h"
#include "services/UIController.h"
#include "services/SaveAndRestoreNodeOperate.h"
#include "services/UIRecovery.h"
#include "engine/utility/CatchExeception.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

#include <chrono>
#include <memory>
#include <utility>

namespace salvor::services {

void routeEndSignals(QObject* context, std::function<void(int)> handler) {
    CatchEndSignals();
    const int fd = EndSignalsReadFd();
    if (fd < 0) return;
    auto* notifier = new QSocketNotifier(fd, QSocketNotifier::Read, context);
    QObject::connect(notifier, &QSocketNotifier::activated, context, [fd, handler = std::move(handler)] {
        unsigned char bytes[16];
        ssize_t n = 0;
        while ((n = ::read(fd, bytes, sizeof bytes)) > 0)
            for (ssize_t i = 0; i < n; ++i) handler(bytes[i]);
    });
}

bool isWriting() {
    VXUIController& facade = VXUIController::shared();
    return facade.IsRecoveryWorking() || facade.IsSaveWorking();
}

namespace {
// Changes whenever the recovery or the save reports progress.
std::pair<std::uint64_t, std::uint64_t> WritersProgress() {
    return {VXUIRecovery::instance().GetProgressInfo().current,
            VXSaveAndRestoreNodeOperate::instance().GetProgressInfo().current};
}
} // namespace

void endAfterWriting(QObject* context, std::function<void()> end, bool leaving) {
    if (!isWriting()) {
        end();
        return;
    }
    VXUIController& facade = VXUIController::shared();
    if (facade.IsRecoveryRunning()) facade.StopRecvoery();
    if (facade.IsSaveWorking()) facade.StopSave();
    auto* poll = new QTimer(context);
    auto last = std::make_shared<std::pair<decltype(WritersProgress()), std::chrono::steady_clock::time_point>>(
        WritersProgress(), std::chrono::steady_clock::now());
    QObject::connect(poll, &QTimer::timeout, context, [poll, leaving, last, end = std::move(end)] {
        if (isWriting()) {
            if (!leaving) return;
            const auto now = std::chrono::steady_clock::now();
            if (const auto progress = WritersProgress(); progress != last->first) *last = {progress, now};
            if (now - last->second < kSilentWriterLeftAfter) return;
            CatchExeception::WriteLog("ending: a recovery or save silent since the stop (a read in flight) is left\n");
        }
        poll->stop();
        poll->deleteLater();
        end();
    });
    poll->start(20);
}

void endBySignal(int number) {
    VXUIRecovery::RemoveUnfinishedFiles(); // a preview's, say
    EndBySignal(number);
}

} // namespace salvor::services
