// Modal runs, window delegates, alpha fades and window controllers.
#include "platform/MainThread.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowController.h"
#include "ui/kit/WindowDelegate.h"
#include "ui/kit/WindowFade.h"

#include <QPointer>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <vector>

using namespace salvor::kit;
using salvor::platform::postToMainThread;

namespace {

// Records the order of a controller's loading steps.
class RecordingController : public WindowController {
public:
    explicit RecordingController(std::vector<QString>* log) : WindowController("RecordingController"), log_(log) {}
    int builds = 0;

protected:
    QWidget* loadWindow() override {
        ++builds;
        log_->push_back("build");
        // Asking for the window inside the build gives no second build.
        window();
        auto* w = new QWidget;
        w->resize(200, 100);
        return w;
    }
    void awakeFromNib() override { log_->push_back("awake"); }
    void windowDidLoad() override {
        log_->push_back("didLoad");
        QVERIFY(window() != nullptr);
    }

private:
    std::vector<QString>* log_;
};

class FadingController : public WindowController {
public:
    FadingController() : WindowController("FadingController") { setFadesOnClose(true); }
    int stops = 0;

protected:
    QWidget* loadWindow() override {
        auto* w = new QWidget;
        w->resize(120, 80);
        return w;
    }
    void awakeFromNib() override { fadeIn(); }
    void animationDidStop(bool finished) override {
        ++stops;
        WindowController::animationDidStop(finished);
    }
};

class CountingView : public ViewController {
public:
    CountingView() : ViewController("CountingView") {}
    int builds = 0;

protected:
    QWidget* loadView() override {
        ++builds;
        return new QWidget;
    }
};

class RefusingDelegate : public WindowDelegate {
public:
    bool allow = false;
    int asked = 0, willClose = 0;
    bool windowShouldClose(QWidget*) override {
        ++asked;
        return allow;
    }
    void windowWillClose(QWidget*) override { ++willClose; }
};

} // namespace

class ModalSessionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setAnimationDurationScale(0); }

    void runModalAnswersTheStopCode();
    void stopModalInAHandlerThatOpensASecondRunEndsTheFirstAfterwards();
    void secondStopModalBeforeUnwindingLeavesOuterRunAlone();
    void destroyingOrHidingTheWindowEndsItsRun();
    void stopModalForEndsTheRightRun();
    void releaseObjectWaitsWhileARunIsActive();

    void delegateDecidesOnCloseAndCloseWindowSkipsIt();
    void delegateGoneIsNotCalled();

    void alphaAnimationReportsFromTheLoop();
    void newAnimationCutsTheOldOneShort();

    void controllerLoadsOnceInOrder();
    void viewControllerLoadsOnce();
    void fadingControllerFadesInThenFadesOutAndEndsItsRun();
    void controllerDeletedWithItsWindowInARun();
};

void ModalSessionTest::runModalAnswersTheStopCode() {
    QWidget w;
    QCOMPARE(modalDepth(), 0);
    int depthInside = -1;
    QWidget* modalInside = nullptr;
    postToMainThread([&] {
        depthInside = modalDepth();
        modalInside = modalWindow();
        QVERIFY(isRunningModal(&w));
        stopModal(42);
    });
    QCOMPARE(runModal(&w), 42);
    QCOMPARE(depthInside, 1);
    QCOMPARE(modalInside, &w);
    QCOMPARE(modalDepth(), 0);
    QVERIFY(!isRunningModal(&w));
    QVERIFY(w.isVisible()); // the run does not close its window

    // Without a code: the stop response; with no run, nothing happens.
    stopModal(7);
    postToMainThread([] { stopModal(); });
    QCOMPARE(runModal(&w), kModalResponseStop);
}

void ModalSessionTest::stopModalInAHandlerThatOpensASecondRunEndsTheFirstAfterwards() {
    QWidget first, second;
    int secondCode = 0;
    bool firstStillRunningAfterSecond = false;
    postToMainThread([&] {
        stopModal(1); // ends the first run ...
        postToMainThread([&] { stopModal(2); });
        secondCode = runModal(&second); // ... but only after this one returned
        firstStillRunningAfterSecond = modalDepth() == 1;
    });
    QCOMPARE(runModal(&first), 1);
    QCOMPARE(secondCode, 2);
    QVERIFY(firstStillRunningAfterSecond);
    QCOMPARE(modalDepth(), 0);
}

void ModalSessionTest::secondStopModalBeforeUnwindingLeavesOuterRunAlone() {
    QWidget outer, inner;
    int innerCode = 0;
    postToMainThread([&] {
        postToMainThread([&] {
            stopModal(5);
            stopModal(6); // the innermost is already ending: no effect on the outer run
            postToMainThread([&] { stopModal(9); });
        });
        innerCode = runModal(&inner);
    });
    QCOMPARE(runModal(&outer), 9);
    QCOMPARE(innerCode, 5);
}

void ModalSessionTest::destroyingOrHidingTheWindowEndsItsRun() {
    auto* w = new QWidget;
    QPointer<QWidget> guard(w);
    postToMainThread([w] { delete w; });
    QCOMPARE(runModal(w), kModalResponseAbort);
    QVERIFY(!guard);
    QCOMPARE(modalDepth(), 0);

    QWidget hidden;
    postToMainThread([&] { hidden.hide(); });
    QCOMPARE(runModal(&hidden), kModalResponseAbort);

    // Minimising is not a close: the run goes on.
    QWidget minimised;
    postToMainThread([&] {
        minimised.showMinimized();
        postToMainThread([&] { stopModal(3); });
    });
    QCOMPARE(runModal(&minimised), 3);
}

void ModalSessionTest::stopModalForEndsTheRightRun() {
    QWidget outer, inner;
    int innerCode = 0;
    bool stoppedOuter = false, stoppedNone = true;
    postToMainThread([&] {
        postToMainThread([&] {
            stoppedOuter = stopModalFor(&outer, 11);
            QWidget stranger;
            stoppedNone = stopModalFor(&stranger, 1);
            stopModal(12); // still the inner one
        });
        innerCode = runModal(&inner);
    });
    QCOMPARE(runModal(&outer), 11);
    QVERIFY(stoppedOuter);
    QVERIFY(!stoppedNone);
    QCOMPARE(innerCode, 12);
}

void ModalSessionTest::releaseObjectWaitsWhileARunIsActive() {
    QPointer<QObject> now = new QObject;
    releaseObject(now);
    QVERIFY(!now);

    QWidget w;
    QPointer<QObject> later = new QObject;
    bool aliveRightAfter = false;
    postToMainThread([&] {
        releaseObject(later);
        aliveRightAfter = !later.isNull();
        stopModal(0);
    });
    runModal(&w);
    QVERIFY(aliveRightAfter);
    QTRY_VERIFY(!later);
}

void ModalSessionTest::delegateDecidesOnCloseAndCloseWindowSkipsIt() {
    QWidget w;
    w.show();
    RefusingDelegate d;
    setWindowDelegate(&w, &d);
    QCOMPARE(windowDelegate(&w), &d);
    QVERIFY(!performClose(&w));
    QVERIFY(w.isVisible());
    QCOMPARE(d.asked, 1);
    QCOMPARE(d.willClose, 0);

    d.allow = true;
    QVERIFY(performClose(&w));
    QVERIFY(!w.isVisible());
    QCOMPARE(d.willClose, 1);

    w.show();
    d.allow = false;
    closeWindow(&w);
    QVERIFY(!w.isVisible());
    QCOMPARE(d.asked, 2);
    QCOMPARE(d.willClose, 2);

    // A plain window's sheets attach at its top.
    QCOMPARE(sheetTop(&w), 0);
}

void ModalSessionTest::delegateGoneIsNotCalled() {
    QWidget w;
    w.show();
    {
        RefusingDelegate d;
        setWindowDelegate(&w, &d);
    }
    QCOMPARE(windowDelegate(&w), nullptr);
    QVERIFY(performClose(&w));
}

void ModalSessionTest::alphaAnimationReportsFromTheLoop() {
    QWidget w;
    std::vector<bool> reports;
    animateAlpha(&w, 0.0, 0.25, [&](bool finished) { reports.push_back(finished); });
    QCOMPARE(alphaValue(&w), 0.0); // zero duration: the end value at once
    QVERIFY(reports.empty());      // ... the report only from the loop
    QTRY_COMPARE(reports.size(), size_t(1));
    QVERIFY(reports[0]);

    // A real duration reaches its end too.
    setAnimationDurationScale(1);
    animateAlpha(&w, 1.0, 0.05, [&](bool finished) { reports.push_back(finished); });
    QVERIFY(isAnimatingAlpha(&w));
    QTRY_COMPARE(reports.size(), size_t(2));
    QVERIFY(reports[1]);
    QCOMPARE(alphaValue(&w), 1.0);
    setAnimationDurationScale(0);

    // The report is dropped when the window goes first.
    auto* gone = new QWidget;
    bool called = false;
    animateAlpha(gone, 0.0, 0.25, [&](bool) { called = true; });
    delete gone;
    QTest::qWait(20);
    QVERIFY(!called);
}

void ModalSessionTest::newAnimationCutsTheOldOneShort() {
    setAnimationDurationScale(1);
    QWidget w;
    std::vector<std::pair<int, bool>> reports;
    animateAlpha(&w, 0.0, 10.0, [&](bool f) { reports.push_back({1, f}); });
    animateAlpha(&w, 0.5, 0.02, [&](bool f) { reports.push_back({2, f}); });
    QTRY_COMPARE(reports.size(), size_t(2));
    QCOMPARE(reports[0], std::make_pair(1, false));
    QCOMPARE(reports[1], std::make_pair(2, true));
    QCOMPARE(alphaValue(&w), 0.5);
    setAnimationDurationScale(0);
}

void ModalSessionTest::controllerLoadsOnceInOrder() {
    std::vector<QString> log;
    RecordingController c(&log);
    QVERIFY(!c.isWindowLoaded());
    QWidget* w = c.window();
    QVERIFY(w);
    QCOMPARE(c.window(), w);
    QCOMPARE(c.builds, 1);
    QCOMPARE(log, (std::vector<QString>{"build", "awake", "didLoad"}));
    QCOMPARE(w->objectName(), QStringLiteral("RecordingController"));
    QCOMPARE(windowDelegate(w), static_cast<WindowDelegate*>(&c));

    // Without fading, the close path simply closes.
    c.showWindow();
    QVERIFY(w->isVisible());
    QVERIFY(performClose(w));
}

void ModalSessionTest::viewControllerLoadsOnce() {
    CountingView v;
    QWidget* view = v.view();
    QCOMPARE(v.view(), view);
    QCOMPARE(v.builds, 1);
    QCOMPARE(view->objectName(), QStringLiteral("CountingView"));
    v.setRepresentedObject(7);
    QCOMPARE(v.representedObject().toInt(), 7);
}

void ModalSessionTest::fadingControllerFadesInThenFadesOutAndEndsItsRun() {
    FadingController c;
    QWidget* w = c.window();
    QCOMPARE(alphaValue(w), 0.0); // not shown yet: waits at 0
    double alphaWhenShown = -1;
    bool refused = false;
    postToMainThread([&] {
        alphaWhenShown = alphaValue(w);
        // The close path fades instead of closing ...
        refused = !performClose(w);
    });
    const int code = runModal(w);
    QVERIFY(refused);
    QCOMPARE(alphaWhenShown, 1.0);
    // ... and the end of the fade ended the run and closed the window.
    QCOMPARE(code, kModalResponseStop);
    QCOMPARE(alphaValue(w), 0.0);
    QVERIFY(!w->isVisible());
    QCOMPARE(c.stops, 2); // the fade-in and the fade-out
}

void ModalSessionTest::controllerDeletedWithItsWindowInARun() {
    auto* c = new FadingController;
    QPointer<QWidget> w = c->window();
    postToMainThread([c] { releaseObject(c); });
    QCOMPARE(runModal(w), kModalResponseAbort);
    QTRY_VERIFY(!w);
}

QTEST_MAIN(ModalSessionTest)
#include "ModalSessionTest.moc"
