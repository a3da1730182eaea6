// Alerts and sheets: answers 1 / 0 / -1 from real clicks and from queued
// answers; sheets placed below their window's top and answering from the loop.
#include "platform/MainThread.h"
#include "ui/kit/Alert.h"
#include "ui/kit/ModalSession.h"
#include "ui/kit/WindowDelegate.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPointer>
#include <QtTest>

#include <optional>

using namespace salvor::kit;
using salvor::platform::postToMainThread;

namespace {

Alert threeButtons() {
    Alert a("Title", "Yes", "No", "Other", "Informative");
    a.setIcon(QStringLiteral("warning_b"));
    return a;
}

// Clicks the button of answer in the newest open alert, from the loop.
void clickLater(int answer) {
    postToMainThread([answer] {
        const auto open = Alert::openAlerts();
        QVERIFY(!open.isEmpty());
        QAbstractButton* b = Alert::buttonForAnswer(open.last(), answer);
        QVERIFY(b);
        b->click();
    });
}

class SheetDelegate : public WindowDelegate {
public:
    QRect willPositionSheet(QWidget*, const QRect& proposed) override { return proposed.translated(0, 30); }
};

} // namespace

class AlertTest : public QObject {
    Q_OBJECT
private slots:
    void cleanup() { Alert::clearQueuedAnswers(); }

    void realClicksAnswerOneZeroMinusOne();
    void queuedAnswersReplaceTheAlert();
    void missingButtonsAreLeftOut();
    void sheetAnswersFromTheLoopAndSitsBelowTheBar();
    void sheetWithoutWindowIsApplicationModal();
    void sheetCallbackDroppedWithItsContext();
    void stopModalEndsAnAlertRun();
};

void AlertTest::realClicksAnswerOneZeroMinusOne() {
    for (int answer : {kAlertDefaultReturn, kAlertAlternateReturn, kAlertOtherReturn}) {
        clickLater(answer);
        QCOMPARE(threeButtons().runModal(), answer);
        QTRY_VERIFY(Alert::openAlerts().isEmpty());
    }
}

void AlertTest::queuedAnswersReplaceTheAlert() {
    Alert::queueAnswer(0);
    Alert::queueAnswer(-1);
    QCOMPARE(Alert::queuedAnswerCount(), 2);
    QCOMPARE(threeButtons().runModal(), 0);
    QCOMPARE(threeButtons().runModal(), -1);
    QCOMPARE(Alert::queuedAnswerCount(), 0);
    QVERIFY(Alert::openAlerts().isEmpty());

    QWidget parent;
    parent.show();
    std::optional<int> got;
    Alert::queueAnswer(1);
    threeButtons().beginSheetModalForWindow(&parent, [&](int a) { got = a; });
    QVERIFY(!got); // never inside the opening call
    QTRY_VERIFY(got);
    QCOMPARE(*got, 1);
}

void AlertTest::missingButtonsAreLeftOut() {
    Alert a("Only", QString());
    postToMainThread([] {
        const auto open = Alert::openAlerts();
        QVERIFY(!open.isEmpty());
        QMessageBox* box = open.last();
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->buttons().first()->text(), QStringLiteral("OK"));
        QVERIFY(!Alert::buttonForAnswer(box, kAlertAlternateReturn));
        QVERIFY(!Alert::buttonForAnswer(box, kAlertOtherReturn));
        box->buttons().first()->click();
    });
    QCOMPARE(a.runModal(), kAlertDefaultReturn);
}

void AlertTest::sheetAnswersFromTheLoopAndSitsBelowTheBar() {
    QWidget parent;
    parent.setGeometry(100, 100, 400, 300);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    SheetDelegate d;
    setWindowDelegate(&parent, &d);
    QCOMPARE(sheetTop(&parent), 30);

    for (int answer : {kAlertDefaultReturn, kAlertAlternateReturn, kAlertOtherReturn}) {
        std::optional<int> got;
        threeButtons().beginSheetModalForWindow(&parent, [&](int a) { got = a; });
        const auto open = Alert::openAlerts();
        QCOMPARE(open.size(), 1);
        QMessageBox* box = open.first();
        QCOMPARE(box->windowModality(), Qt::WindowModal);
        QCOMPARE(box->pos().y(), parent.mapToGlobal(QPoint(0, 30)).y());
        QCOMPARE(box->x() + box->width() / 2, parent.mapToGlobal(QPoint(200, 0)).x());
        QAbstractButton* b = Alert::buttonForAnswer(box, answer);
        QVERIFY(b);
        b->click();
        QVERIFY(!got); // queued even after a click
        QTRY_VERIFY(got);
        QCOMPARE(*got, answer);
        QTRY_VERIFY(Alert::openAlerts().isEmpty());
    }
}

void AlertTest::sheetWithoutWindowIsApplicationModal() {
    std::optional<int> got;
    threeButtons().beginSheetModalForWindow(nullptr, [&](int a) { got = a; });
    const auto open = Alert::openAlerts();
    QCOMPARE(open.size(), 1);
    QCOMPARE(open.first()->windowModality(), Qt::ApplicationModal);
    Alert::buttonForAnswer(open.first(), kAlertAlternateReturn)->click();
    QTRY_VERIFY(got);
    QCOMPARE(*got, 0);
}

void AlertTest::sheetCallbackDroppedWithItsContext() {
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
    QCOMPARE(Alert::openAlerts().size(), 1);
    delete doomed;
    QTest::qWait(20);
    QVERIFY(Alert::openAlerts().isEmpty());
    QVERIFY(!called);
}

void AlertTest::stopModalEndsAnAlertRun() {
    postToMainThread([] { stopModal(77); });
    QCOMPARE(threeButtons().runModal(), 77);
    QTRY_VERIFY(Alert::openAlerts().isEmpty());
}

QTEST_MAIN(AlertTest)
#include "AlertTest.moc"
