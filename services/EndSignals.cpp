#include "services/EndSignals.h"

#include "engine/utility/EndSignals.h"
#include "services/UIController.h"
#include "services/UIRecovery.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

#include <unistd.h>

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

void endAfterWriting(QObject* context, std::function<void()> end) {
    if (!isWriting()) {
        end();
        return;
    }
    VXUIController& facade = VXUIController::shared();
    if (facade.IsRecoveryRunning()) facade.StopRecvoery();
    if (facade.IsSaveWorking()) facade.StopSave();
    auto* poll = new QTimer(context);
    QObject::connect(poll, &QTimer::timeout, context, [poll, end = std::move(end)] {
        if (isWriting()) return;
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
