// Modal runs, window delegates, alpha fades and window controllers.
#include "platform/MainThread.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowController.h"
#include "ui/kit/WindowDelegate.h"
#include "ui/kit/WindowFade.h"

#include <QPointer>
#include <QtTest>

#include <vector>

using namespace salvor::kit;
using salvor::platform::postToMainThread;

namespace {

// Records the order of its loading steps; asks for its window while building it.
class RecordingController : public WindowController {
public:
    RecordingController() : WindowController("RecordingController") {}
    std::vector<QString> log;

protected:
    QWidget* loadWindow() override {
        log.push_back(window() ? "again" : "build");
        return new QWidget;
    }
    void awakeFromNib() override { log.push_back("awake"); }
    void windowDidLoad() override { log.push_back(window() ? "didLoad" : "none"); }
};

class CountingView : public ViewController {
public:
    CountingView() : ViewController("CountingView") {}
    int builds = 0;

protected:
    QWidget* loadView() override { return ++builds, new QWidget; }
};

class RefusingDelegate : public WindowDelegate {
public:
    bool allow = false;
    int asked = 0, willClose = 0;
    bool windowShouldClose(QWidget*) override { return ++asked, allow; }
    void windowWillClose(QWidget*) override { ++willClose; }
};

} // namespace

class ModalSessionTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { setAnimationDurationScale(0); }
    void runModalAnswersTheStopCode() {
        QWidget w;
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
        // With no run a stop does nothing; without a code, the stop response.
        stopModal(7);
        postToMainThread([] { stopModal(); });
        QCOMPARE(runModal(&w), kModalResponseStop);
    }
    void stopInAHandlerThatOpensASecondRunEndsTheFirstAfterwards() {
        QWidget first, second;
        int secondCode = 0;
        bool firstStillRunning = false;
        postToMainThread([&] {
            stopModal(1); // ends the first run ...
            postToMainThread([&] { stopModal(2); });
            secondCode = runModal(&second); // ... but only after this one returned
            firstStillRunning = modalDepth() == 1;
        });
        QCOMPARE(runModal(&first), 1);
        QCOMPARE(secondCode, 2);
        QVERIFY(firstStillRunning);
    }
    // A second stop while the innermost run is ending leaves the outer run alone;
    // stopModalFor ends the run of its window, innermost or not.
    void stopsEndTheRightRun() {
        QWidget outer, inner;
        int innerCode = 0;
        postToMainThread([&] {
            postToMainThread([&] {
                stopModal(5);
                stopModal(6);
                postToMainThread([&] { stopModal(9); });
            });
            innerCode = runModal(&inner);
        });
        QCOMPARE(runModal(&outer), 9);
        QCOMPARE(innerCode, 5);
        bool stoppedOuter = false, stoppedStranger = true;
        postToMainThread([&] {
            postToMainThread([&] {
                stoppedOuter = stopModalFor(&outer, 11);
                QWidget stranger;
                stoppedStranger = stopModalFor(&stranger, 1);
                stopModal(12); // still the inner one
            });
            innerCode = runModal(&inner);
        });
        QCOMPARE(runModal(&outer), 11);
        QVERIFY(stoppedOuter && !stoppedStranger);
        QCOMPARE(innerCode, 12);
    }
    void destroyingOrHidingTheWindowEndsItsRun() {
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
    void releaseObjectWaitsWhileARunIsActive() {
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
    void delegateDecidesOnCloseAndCloseWindowSkipsIt() {
        QWidget w;
        w.show();
        RefusingDelegate d;
        setWindowDelegate(&w, &d);
        QVERIFY(!performClose(&w));
        QVERIFY(w.isVisible());
        QVERIFY(d.asked == 1 && d.willClose == 0);
        d.allow = true;
        QVERIFY(performClose(&w));
        QVERIFY(!w.isVisible());
        QCOMPARE(d.willClose, 1);
        w.show();
        d.allow = false;
        closeWindow(&w);
        QVERIFY(!w.isVisible());
        QVERIFY(d.asked == 2 && d.willClose == 2);
        QCOMPARE(sheetTop(&w), 0); // a plain window's sheets attach at its top
        // A delegate that is gone is not called.
        w.show();
        {
            RefusingDelegate gone;
            setWindowDelegate(&w, &gone);
        }
        QVERIFY(performClose(&w));
    }
    void alphaAnimationReportsFromTheLoop() {
        QWidget w;
        std::vector<std::pair<int, bool>> reports;
        auto report = [&](int which) { return [&reports, which](bool f) { reports.push_back({which, f}); }; };
        animateAlpha(&w, 0.0, 0.25, report(0));
        QCOMPARE(alphaValue(&w), 0.0); // zero duration: the end value at once ...
        QVERIFY(reports.empty());      // ... the report only from the loop
        QTRY_COMPARE(reports.size(), size_t(1));
        // A real duration reaches its end; a new animation cuts the old one short.
        setAnimationDurationScale(1);
        animateAlpha(&w, 1.0, 0.05, report(1));
        QVERIFY(isAnimatingAlpha(&w));
        QTRY_COMPARE(reports.size(), size_t(2));
        QCOMPARE(alphaValue(&w), 1.0);
        animateAlpha(&w, 0.0, 10.0, report(2));
        animateAlpha(&w, 0.5, 0.02, report(3));
        QTRY_COMPARE(reports.size(), size_t(4));
        setAnimationDurationScale(0);
        QCOMPARE(reports, (std::vector<std::pair<int, bool>>{{0, true}, {1, true}, {2, false}, {3, true}}));
        QCOMPARE(alphaValue(&w), 0.5);
        // The report is dropped when the window goes first.
        auto* gone = new QWidget;
        animateAlpha(gone, 0.0, 0.25, report(4));
        delete gone;
        QTest::qWait(20);
        QCOMPARE(reports.size(), size_t(4));
    }
    void controllersLoadOnceInOrder() {
        RecordingController c;
        QWidget* w = c.window();
        QCOMPARE(c.window(), w);
        QCOMPARE(c.log, (std::vector<QString>{"build", "awake", "didLoad"}));
        QCOMPARE(windowDelegate(w), static_cast<WindowDelegate*>(&c));
        c.showWindow(); // without fading, the close path simply closes
        QVERIFY(performClose(w));
        CountingView v;
        QWidget* view = v.view();
        QCOMPARE(v.view(), view);
        QCOMPARE(v.builds, 1);
    }
    // Releasing a controller in its window's run deletes the window and ends the run.
    void controllerReleasedInItsRun() {
        auto* doomed = new RecordingController;
        QPointer<QWidget> gone = doomed->window();
        postToMainThread([doomed] { releaseObject(doomed); });
        QCOMPARE(runModal(gone), kModalResponseAbort);
        QTRY_VERIFY(!gone);
    }
};

QTEST_MAIN(ModalSessionTest)
#include "ModalSessionTest.moc"
