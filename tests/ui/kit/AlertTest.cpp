// Alerts and sheets: answers 1 / 0 / -1 from real clicks and from queued
// answers; sheets placed below their window's top and answering from the loop.
#include "platform/MainThread.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowDelegate.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QtTest>

#include <optional>

using namespace salvor::kit;
using salvor::platform::postToMainThread;

namespace {

const int kAnswers[] = {kAlertDefaultReturn, kAlertAlternateReturn, kAlertOtherReturn};

Alert threeButtons() {
    Alert a("Title", "Yes", "No", "Other", "Informative");
    a.setIcon(QStringLiteral("warning_b"));
    return a;
}

// The only open alert (checked).
QMessageBox* openAlert() {
    const auto open = Alert::openAlerts();
    return open.size() == 1 ? open.first() : nullptr;
}

class SheetDelegate : public WindowDelegate {
public:
    QRect willPositionSheet(QWidget*, const QRect& proposed) override { return proposed.translated(0, 30); }
};

} // namespace

class AlertTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() {
        Alert::clearQueuedAnswers();
        QTRY_VERIFY(Alert::openAlerts().isEmpty());
    }
    void realClicksAnswerOneZeroMinusOne() {
        for (int answer : kAnswers) {
            postToMainThread([answer] { Alert::buttonForAnswer(openAlert(), answer)->click(); });
            QCOMPARE(threeButtons().runModal(), answer);
            QTRY_VERIFY(Alert::openAlerts().isEmpty());
        }
        // stopModal ends an alert's run too.
        postToMainThread([] { stopModal(77); });
        QCOMPARE(threeButtons().runModal(), 77);
    }
    void queuedAnswersReplaceTheAlert() {
        Alert::queueAnswer(0);
        Alert::queueAnswer(-1);
        QCOMPARE(threeButtons().runModal(), 0);
        QCOMPARE(threeButtons().runModal(), -1);
        QVERIFY(Alert::openAlerts().isEmpty());

        QWidget parent;
        parent.show();
        std::optional<int> got;
        Alert::queueAnswer(1);
        threeButtons().beginSheetModalForWindow(&parent, [&](int a) { got = a; });
        QVERIFY(!got); // never inside the opening call
        QTRY_COMPARE(got.value_or(-9), 1);
    }
    void missingButtonsAreLeftOut() {
        postToMainThread([] {
            QMessageBox* box = openAlert();
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->buttons().first()->text(), QStringLiteral("OK"));
            QVERIFY(!Alert::buttonForAnswer(box, kAlertAlternateReturn));
            QVERIFY(!Alert::buttonForAnswer(box, kAlertOtherReturn));
            box->buttons().first()->click();
        });
        QCOMPARE(Alert("Only", QString()).runModal(), kAlertDefaultReturn);
    }
    void sheetAnswersFromTheLoopAndSitsBelowTheBar() {
        QWidget parent;
        parent.setGeometry(100, 100, 400, 300);
        parent.show();
        QVERIFY(QTest::qWaitForWindowExposed(&parent));
        SheetDelegate d;
        setWindowDelegate(&parent, &d);
        QCOMPARE(sheetTop(&parent), 30);
        for (int answer : kAnswers) {
            // Without a window the sheet is application-modal.
            QWidget* window = answer == kAlertOtherReturn ? nullptr : &parent;
            std::optional<int> got;
            threeButtons().beginSheetModalForWindow(window, [&](int a) { got = a; });
            QMessageBox* box = openAlert();
            QVERIFY(box);
            QCOMPARE(box->windowModality(), window ? Qt::WindowModal : Qt::ApplicationModal);
            if (window) QCOMPARE(box->pos().y(), parent.mapToGlobal(QPoint(0, 30)).y());
            if (window) QCOMPARE(box->x() + box->width() / 2, parent.mapToGlobal(QPoint(200, 0)).x());
            Alert::buttonForAnswer(box, answer)->click();
            QVERIFY(!got); // queued even after a click
            QTRY_COMPARE(got.value_or(-9), answer);
            QTRY_VERIFY(Alert::openAlerts().isEmpty());
        }
    }
    // Escape, the window's close and a queued dismissal give the safe
    // answer, whichever button that is; never the default unless named.
    void dismissalGivesTheSafeAnswer() {
        QCOMPARE(Alert("One", "OK").safeAnswer(), kAlertDefaultReturn);
        QCOMPARE(threeButtons().safeAnswer(), kAlertAlternateReturn);
        for (int safe : kAnswers) {
            for (bool escape : {true, false}) {
                Alert a = threeButtons();
                a.setSafeAnswer(safe);
                postToMainThread([escape] {
                    QMessageBox* box = openAlert();
                    if (escape) QTest::keyClick(box, Qt::Key_Escape);
                    else box->close();
                });
                QCOMPARE(a.runModal(), safe);
                QTRY_VERIFY(Alert::openAlerts().isEmpty());

                QWidget parent;
                parent.show();
                std::optional<int> got;
                a.beginSheetModalForWindow(&parent, [&](int answer) { got = answer; });
                QVERIFY(openAlert());
                if (escape) QTest::keyClick(openAlert(), Qt::Key_Escape);
                else openAlert()->close();
                QTRY_COMPARE(got.value_or(-9), safe);
            }
            Alert queued = threeButtons();
            queued.setSafeAnswer(safe);
            Alert::queueAnswer(kAlertDismissed);
            QCOMPARE(queued.runModal(), safe);
        }
        // A one-button alert closed answers its only button.
        postToMainThread([] { openAlert()->close(); });
        QCOMPARE(Alert("One", "OK").runModal(), kAlertDefaultReturn);
    }
    void sheetCallbackDroppedWithItsContext() {
        QWidget parent;
        parent.show();
        auto* context = new QObject;
        bool called = false;
        Alert::queueAnswer(1);
        threeButtons().beginSheetModalForWindow(&parent, [&](int) { called = true; }, context);
        delete context;
        QTest::qWait(20);
        QVERIFY(!called);

        // A sheet whose window goes, goes with it unanswered.
        auto* doomed = new QWidget;
        doomed->show();
        threeButtons().beginSheetModalForWindow(doomed, [&](int) { called = true; });
        QVERIFY(openAlert());
        delete doomed;
        QTest::qWait(20);
        QVERIFY(Alert::openAlerts().isEmpty());
        QVERIFY(!called);
    }
};

QTEST_MAIN(AlertTest)
#include "AlertTest.moc"
