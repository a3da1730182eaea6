#include "ui/kit/ModalSession.h"

#include <QEvent>
#include <QEventLoop>
#include <QPointer>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace salvor::kit {

namespace {

struct Run {
    QPointer<QWidget> window;
    QEventLoop* loop = nullptr;
    bool stopped = false;
    int code = kModalResponseStop;
};

std::vector<Run*>& stack() {
    static std::vector<Run*> runs;
    return runs;
}

void end(Run* run, int code) {
    if (run->stopped) return;
    run->stopped = true;
    run->code = code;
    // exit() only marks the loop; when a nested loop turns above it, the mark
    // is seen once that one has returned.
    run->loop->exit(code);
}

// Ends the run when its window is hidden by code (not by minimising) or destroyed.
class RunWatcher : public QObject {
public:
    RunWatcher(Run* run) : run_(run) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == run_->window && event->type() == QEvent::Hide && !event->spontaneous())
            end(run_, kModalResponseAbort);
        return false;
    }

private:
    Run* run_;
};

} // namespace

int runModal(QWidget* window) {
    if (!window) return kModalResponseAbort;
    // Modality takes effect when the window is shown, so a window already on
    // screen is shown again.
    const Qt::WindowModality oldModality = window->windowModality();
    if (oldModality != Qt::ApplicationModal) {
        if (window->isVisible()) window->hide();
        window->setWindowModality(Qt::ApplicationModal);
    }

    QEventLoop loop;
    Run run;
    run.window = window;
    run.loop = &loop;
    RunWatcher watcher(&run);
    window->installEventFilter(&watcher);
    QObject::connect(window, &QObject::destroyed, &loop, [&run] { end(&run, kModalResponseAbort); });
    stack().push_back(&run);
    window->show();
    window->raise();
    window->activateWindow();

    if (!run.stopped) loop.exec();
    const int code = run.code;

    std::erase(stack(), &run);
    if (run.window) {
        run.window->removeEventFilter(&watcher);
        if (!run.window->isVisible()) run.window->setWindowModality(oldModality);
    }
    return code;
}

void stopModal(int code) {
    auto& runs = stack();
    // Only the innermost run: a second call before it unwinds changes nothing.
    if (!runs.empty()) end(runs.back(), code);
}

bool stopModalFor(QWidget* window, int code) {
    for (Run* run : stack()) {
        if (run->window == window && !run->stopped) {
            end(run, code);
            return true;
        }
    }
    return false;
}

int modalDepth() { return static_cast<int>(stack().size()); }

QWidget* modalWindow() { return stack().empty() ? nullptr : stack().back()->window.data(); }

bool isRunningModal(const QWidget* window) {
    return std::any_of(stack().begin(), stack().end(),
                       [window](const Run* r) { return r->window == window && !r->stopped; });
}

void releaseObject(QObject* object) {
    if (!object) return;
    if (stack().empty())
        delete object;
    else
        object->deleteLater();
}

} // namespace salvor::kit
