#include "ui/windows/DeviceWaitLine.h"

#include "platform/Localization.h"
#include "services/UIController.h"

#include <QTimer>

namespace salvor::windows {

void sayWhileDeviceIsWaitedFor(QLabel* label, std::function<bool()> applies) {
    if (!label) return;
    label->setText(platform::localizedString("DEVICE_NOT_ANSWERING_WAITING"));
    label->setObjectName(QStringLiteral("deviceWaitLine"));
    // Polled: while the device is silent no progress news comes to wake the
    // window, so the window looks for itself.
    auto look = [label, applies = std::move(applies)] {
        label->setVisible((!applies || applies()) && VXUIController::shared().IsDeviceNotAnswering());
    };
    look();
    auto* timer = new QTimer(label);
    QObject::connect(timer, &QTimer::timeout, label, look);
    timer->start(kDeviceWaitPollMs);
}

} // namespace salvor::windows
