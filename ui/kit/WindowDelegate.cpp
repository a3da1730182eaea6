#include "ui/kit/WindowDelegate.h"

#include <QCloseEvent>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace salvor::kit {

namespace {

// Routes the window's close events to the consulted delegate. A child of the
// window, so it goes with it.
class DelegateHook : public QObject {
public:
    explicit DelegateHook(QWidget* window) : QObject(window), window_(window) {
        setObjectName(QStringLiteral("salvorWindowDelegateHook"));
        window->installEventFilter(this);
        hooks().push_back(this);
    }
    ~DelegateHook() override { std::erase(hooks(), this); }

    static std::vector<DelegateHook*>& hooks() {
        static std::vector<DelegateHook*> list;
        return list;
    }

    WindowDelegate* consulted = nullptr; // not owned
    WindowDelegate* userDelegate = nullptr;
    bool closingWithoutAsking = false;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched != window_ || event->type() != QEvent::Close) return false;
        if (!closingWithoutAsking && consulted && !consulted->windowShouldClose(window_)) {
            event->ignore();
            return true;
        }
        if (consulted) consulted->windowWillClose(window_);
        return false;
    }

private:
    QWidget* window_;
};

DelegateHook* hookOf(const QWidget* window, bool create) {
    if (!window) return nullptr;
    auto* hook = window->findChild<DelegateHook*>(QStringLiteral("salvorWindowDelegateHook"),
                                                  Qt::FindDirectChildrenOnly);
    if (!hook && create) hook = new DelegateHook(const_cast<QWidget*>(window));
    return hook;
}

} // namespace

WindowDelegate::~WindowDelegate() {
    for (DelegateHook* hook : DelegateHook::hooks()) {
        if (hook->consulted == this) hook->consulted = nullptr;
        if (hook->userDelegate == this) hook->userDelegate = nullptr;
    }
}

bool WindowDelegate::windowShouldClose(QWidget*) { return true; }

void WindowDelegate::windowWillClose(QWidget*) {}

QRect WindowDelegate::willPositionSheet(QWidget*, const QRect& proposed) { return proposed; }

void setWindowDelegate(QWidget* window, WindowDelegate* delegate) {
    if (!window) return;
    if (auto* host = dynamic_cast<WindowDelegateHost*>(window)) {
        host->setDelegate(delegate);
        return;
    }
    DelegateHook* hook = hookOf(window, true);
    hook->userDelegate = delegate;
    hook->consulted = delegate;
}

WindowDelegate* windowDelegate(const QWidget* window) {
    if (auto* host = dynamic_cast<const WindowDelegateHost*>(window)) return host->delegate();
    DelegateHook* hook = hookOf(window, false);
    return hook ? hook->userDelegate : nullptr;
}

void installDelegateHook(QWidget* window, WindowDelegate* consulted) {
    if (DelegateHook* hook = hookOf(window, true)) hook->consulted = consulted;
}

WindowDelegate* consultedDelegate(const QWidget* window) {
    DelegateHook* hook = hookOf(window, false);
    return hook ? hook->consulted : nullptr;
}

bool performClose(QWidget* window) { return window && window->close(); }

void closeWindow(QWidget* window) {
    if (!window) return;
    QPointer<DelegateHook> hook = hookOf(window, false);
    if (hook) hook->closingWithoutAsking = true;
    window->close();
    if (hook) hook->closingWithoutAsking = false;
}

int sheetTop(QWidget* window) {
    if (!window) return 0;
    const QRect proposed(0, 0, window->width(), 0);
    WindowDelegate* d = consultedDelegate(window);
    return d ? d->willPositionSheet(window, proposed).y() : 0;
}

} // namespace salvor::kit
