#pragma once
// Shared set-up of the window tests: a private configuration folder,
// animations of no duration, the fixed font; a clock and a version-list
// fetcher moved and answered by hand.
#include "tests/support/FakeFacade.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowFade.h"
#include "ui/windows/UpdateCheck.h"

#include <QObject>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <vector>

namespace salvor::test {

inline void setUpWindowTests(QTemporaryDir& config) {
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    qputenv("XDG_STATE_HOME", config.path().toUtf8());
    kit::setAnimationDurationScale(0);
    kit::installApplicationFonts();
}

// Calls fn with the innermost modal window once one named name runs
// (checked every 10 ms, never waiting inside the check).
inline void whenModal(const QString& name, std::function<void(QWidget*)> fn) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, name, fn] {
        QWidget* w = kit::modalWindow();
        if (!w || w->objectName() != name || !w->isVisible()) return;
        timer->stop();
        timer->deleteLater();
        fn(w);
    });
    timer->start(10);
}

class FakeClock : public windows::LaunchClock {
public:
    QDateTime current = QDateTime(QDate(2026, 6, 1), QTime(12, 0, 0));
    struct Pending {
        qint64 at;
        QPointer<QObject> context;
        std::function<void()> fn;
    };
    std::vector<Pending> pending;
    qint64 elapsedMs = 0;
    QDateTime now() const override { return current; }
    void after(std::chrono::milliseconds delay, QObject* context, std::function<void()> fn) override {
        pending.push_back({elapsedMs + delay.count(), context, std::move(fn)});
    }
    // Moves time on, running what falls due.
    void advance(qint64 ms) {
        elapsedMs += ms;
        current = current.addMSecs(ms);
        auto due = std::move(pending);
        pending.clear();
        for (auto& p : due) {
            if (p.at > elapsedMs) pending.push_back(std::move(p));
            else if (p.context) p.fn();
        }
    }
};

class FakeFetcher : public windows::VersionListFetcher {
public:
    int fetches = 0;
    bool answers = true;
    QVariantMap list;
    void fetch(const QString&, std::function<void(const QVariantMap&)> done) override {
        ++fetches;
        if (answers) QTimer::singleShot(0, [done, l = list] { done(l); });
    }
};

} // namespace salvor::test
