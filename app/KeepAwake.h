#pragma once
// Keeps the machine from idling to sleep while the program runs: a timer
// that fires at once and then every 30 seconds, in every loop (modal runs
// included), reporting user activity to the session's screen saver over
// D-Bus where a session bus exists; without one it does nothing.
#include <QObject>

class QTimer;

class KeepAwake : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 30000;
    // PreventSleep.
    KeepAwake();
    // ReleasePreventObj.
    ~KeepAwake() override;
    int firings() const { return firings_; }

private:
    void fire();
    QTimer* timer_;
    int firings_ = 0;
};
