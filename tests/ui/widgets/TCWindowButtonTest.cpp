// Window buttons and their rollover groups.
#include "platform/NotificationCenter.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QtTest>

#include <memory>

using namespace salvor;
using namespace salvor::widgets;

namespace {

QPixmap solid(QColor c) {
    QPixmap p(16, 16);
    p.fill(c);
    return p;
}

// Distinct images per state, so what shows can be told apart.
void giveImages(TCWindowButton* b) {
    b->setActiveImage(solid(Qt::green));
    b->setActiveNotKeyWindowImage(solid(Qt::gray));
    b->setInactiveImage(solid(Qt::black));
    b->setRolloverImage(solid(Qt::yellow));
    b->setPressedImage(solid(Qt::red));
}

QColor shown(const TCWindowButton* b) { return b->image().isNull() ? QColor() : b->image().toImage().pixelColor(0, 0); }

void enter(QWidget* w) {
    QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(w->mapToGlobal(QPoint(2, 2))));
    QApplication::sendEvent(w, &e);
}

void leave(QWidget* w) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

// Counts the group notifications of one identifier.
struct PostCounter {
    explicit PostCounter(const QString& id) {
        platform::NotificationCenter::defaultCenter().addObserver(
            this, TCWindowButtonGroupDidUpdateRolloverStateNotification,
            [this, id = id.toStdString()](const platform::Notification& n) {
                if (n.value("identifier") == id) ++posts;
            });
    }
    ~PostCounter() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    int posts = 0;
};

} // namespace

class TCWindowButtonTest : public QObject {
    Q_OBJECT
private slots:
    void groupsAreSharedByIdentifier();
    void countNeverGoesNegativeAndRepeatsPostNothing();
    void groupRollsOverTogether();
    void disabledButtonNeverRollsOver();
    void newImagesShowOnlyAfterAnUpdate();
    void pressedImageShowsWhilePressed();
    void fullScreenHidesAndResets();
    void buttonGoingWhileHoveredReleasesItsCapture();
    void standardButtonsUseTheNamedImages();
};

void TCWindowButtonTest::groupsAreSharedByIdentifier() {
    TCWindowButtonGroup* def = TCWindowButtonGroup::groupWithIdentifier();
    QCOMPARE(def, TCWindowButtonGroup::groupWithIdentifier(kTCWindowButtonGroupDefault));
    QCOMPARE(def->identifier(), QString::fromLatin1(kTCWindowButtonGroupDefault));
    QCOMPARE(TCWindowButtonGroup::groupWithIdentifier("g1"), TCWindowButtonGroup::groupWithIdentifier("g1"));
    QVERIFY(TCWindowButtonGroup::groupWithIdentifier("g1") != TCWindowButtonGroup::groupWithIdentifier("g2"));
    TCWindowButton b(QSize(16, 16), QString());
    QCOMPARE(b.group(), def);
}

void TCWindowButtonTest::countNeverGoesNegativeAndRepeatsPostNothing() {
    TCWindowButtonGroup* g = TCWindowButtonGroup::groupWithIdentifier("counting");
    PostCounter posts("counting");
    g->didReleaseMousePointer();
    QCOMPARE(g->numberOfCaptures(), 0);
    QCOMPARE(posts.posts, 0);
    g->setNumberOfCaptures(-3);
    QCOMPARE(g->numberOfCaptures(), 0);
    QCOMPARE(posts.posts, 0);
    g->didCaptureMousePointer();
    QCOMPARE(posts.posts, 1);
    QVERIFY(g->shouldDisplayRollOver());
    g->setNumberOfCaptures(1);
    QCOMPARE(posts.posts, 1);
    g->resetMouseCaptures();
    QCOMPARE(posts.posts, 2);
    QVERIFY(!g->shouldDisplayRollOver());
}

void TCWindowButtonTest::groupRollsOverTogether() {
    QWidget window;
    TCWindowButton* b[3];
    for (int i = 0; i < 3; ++i) {
        b[i] = new TCWindowButton(QSize(16, 16), "trio", &window);
        giveImages(b[i]);
        b[i]->updateImage();
    }
    b[2]->setEnabled(false);
    window.setGeometry(300, 300, 120, 60); // away from the pointer
    for (int i = 0; i < 3; ++i) b[i]->move(20 + 20 * i, 20);
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QTRY_COMPARE(shown(b[0]), QColor(Qt::green));
    QCOMPARE(shown(b[2]), QColor(Qt::black));

    enter(b[1]);
    QCOMPARE(b[0]->group()->numberOfCaptures(), 1);
    QCOMPARE(shown(b[0]), QColor(Qt::yellow));
    QCOMPARE(shown(b[1]), QColor(Qt::yellow));
    QCOMPARE(shown(b[2]), QColor(Qt::black)); // disabled: no rollover
    leave(b[1]);
    QCOMPARE(b[0]->group()->numberOfCaptures(), 0);
    QCOMPARE(shown(b[0]), QColor(Qt::green));
    QCOMPARE(shown(b[1]), QColor(Qt::green));
    QCOMPARE(shown(b[2]), QColor(Qt::black));

    // Moving from one to another: the count goes 1, 2, 1 and stays rolled over.
    enter(b[0]);
    enter(b[1]);
    leave(b[0]);
    QCOMPARE(b[0]->group()->numberOfCaptures(), 1);
    QCOMPARE(shown(b[0]), QColor(Qt::yellow));
    leave(b[1]);
    leave(b[1]); // a second leave changes nothing
    QCOMPARE(b[0]->group()->numberOfCaptures(), 0);

    // Not key: the not-key image.
    QWidget other;
    other.setGeometry(600, 300, 50, 50);
    other.show();
    other.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&other));
    QTRY_COMPARE(shown(b[0]), QColor(Qt::gray));
}

void TCWindowButtonTest::disabledButtonNeverRollsOver() {
    TCWindowButton b(QSize(16, 16), "lonely");
    giveImages(&b);
    b.setEnabled(false);
    QCOMPARE(shown(&b), QColor(Qt::black));
    enter(&b);
    QCOMPARE(b.group()->numberOfCaptures(), 1); // it still counts for the group
    QCOMPARE(shown(&b), QColor(Qt::black));
    b.updateRollOverImage();
    QCOMPARE(shown(&b), QColor(Qt::black));
    leave(&b);
    b.setEnabled(true);
    QCOMPARE(shown(&b), QColor(Qt::green));
}

void TCWindowButtonTest::newImagesShowOnlyAfterAnUpdate() {
    TCWindowButton b(QSize(16, 16), "images");
    giveImages(&b);
    b.setEnabled(false);
    b.setEnabled(true);
    QCOMPARE(shown(&b), QColor(Qt::green));
    b.setActiveImage(solid(Qt::blue));
    QCOMPARE(shown(&b), QColor(Qt::green));
    b.setEnabled(false);
    b.setEnabled(true);
    QCOMPARE(shown(&b), QColor(Qt::blue));
}

void TCWindowButtonTest::pressedImageShowsWhilePressed() {
    TCWindowButton b(QSize(16, 16), "press");
    giveImages(&b);
    b.setEnabled(false);
    b.setEnabled(true);
    b.setDown(true);
    QCOMPARE(b.displayedImage().toImage().pixelColor(0, 0), QColor(Qt::red));
    b.setDown(false);
    QCOMPARE(b.displayedImage().toImage().pixelColor(0, 0), QColor(Qt::green));
}

void TCWindowButtonTest::fullScreenHidesAndResets() {
    QWidget window;
    auto* b = new TCWindowButton(QSize(16, 16), "full", &window);
    giveImages(b);
    window.show();
    enter(b);
    QCOMPARE(b->group()->numberOfCaptures(), 1);
    window.showFullScreen();
    QTRY_VERIFY(b->isHidden());
    QCOMPARE(b->group()->numberOfCaptures(), 0);
    window.showNormal();
    QTRY_VERIFY(!b->isHidden());
    QCOMPARE(b->group()->numberOfCaptures(), 0);
    // The capture it held went with the reset: a late leave changes nothing.
    enter(b);
    leave(b);
    QCOMPARE(b->group()->numberOfCaptures(), 0);
}

void TCWindowButtonTest::buttonGoingWhileHoveredReleasesItsCapture() {
    QWidget window;
    auto* stays = new TCWindowButton(QSize(16, 16), "going", &window);
    auto* goes = new TCWindowButton(QSize(16, 16), "going", &window);
    giveImages(stays);
    window.show();
    enter(goes);
    QCOMPARE(shown(stays), QColor(Qt::yellow));
    delete goes;
    QCOMPARE(stays->group()->numberOfCaptures(), 0);
    QVERIFY(shown(stays) != QColor(Qt::yellow));

    auto* hidden = new TCWindowButton(QSize(16, 16), "going", &window);
    hidden->show();
    enter(hidden);
    QCOMPARE(stays->group()->numberOfCaptures(), 1);
    hidden->hide();
    QCOMPARE(stays->group()->numberOfCaptures(), 0);
}

void TCWindowButtonTest::standardButtonsUseTheNamedImages() {
    TCImageWindow w;
    auto* close = qobject_cast<TCWindowButton*>(w.standardWindowButton(TCImageWindow::CloseButton));
    QVERIFY(close);
    QCOMPARE(close->size(), QSize(16, 16));
    QCOMPARE(close->rolloverImage().toImage(), kit::namedImage("window_close_hover"));
    QCOMPARE(close->pressedImage().toImage(), kit::namedImage("window_close_press"));
    // The three buttons of a window roll over together, and only those.
    TCImageWindow other;
    auto* zoom = qobject_cast<TCWindowButton*>(w.standardWindowButton(TCImageWindow::ZoomButton));
    auto* otherClose = qobject_cast<TCWindowButton*>(other.standardWindowButton(TCImageWindow::CloseButton));
    QCOMPARE(zoom->group(), close->group());
    QVERIFY(otherClose->group() != close->group());
}

QTEST_MAIN(TCWindowButtonTest)
#include "TCWindowButtonTest.moc"
