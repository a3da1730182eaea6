#include "app/KeepAwake.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QTimer>

KeepAwake::KeepAwake() : timer_(new QTimer(this)) {
    connect(timer_, &QTimer::timeout, this, &KeepAwake::fire);
    timer_->start(kIntervalMs);
    QTimer::singleShot(0, this, &KeepAwake::fire); // the first firing is now
}

KeepAwake::~KeepAwake() { timer_->stop(); }

void KeepAwake::fire() {
    ++firings_;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return;
    bus.asyncCall(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.ScreenSaver"),
                                                 QStringLiteral("/ScreenSaver"),
                                                 QStringLiteral("org.freedesktop.ScreenSaver"),
                                                 QStringLiteral("SimulateUserActivity")));
}
