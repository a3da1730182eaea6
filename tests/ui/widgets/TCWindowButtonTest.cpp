// Window buttons and their rollover groups.
#include "platform/NotificationCenter.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

#include <QApplication>
#include <QEnterEvent>
#include <QScopeGuard>
#include <QtTest>

using namespace salvor;
using namespace salvor::widgets;

namespace {

QPixmap solid(QColor c) {
    QPixmap p(16, 16);
    p.fill(c);
    return p;
}

// A button with distinct images per state, so what shows can be told apart.
TCWindowButton* button(const char* group, QWidget* parent = nullptr) {
    auto* b = new TCWindowButton(QSize(16, 16), group, parent);
    b->setActiveImage(solid(Qt::green));
    b->setActiveNotKeyWindowImage(solid(Qt::gray));
    b->setInactiveImage(solid(Qt::black));
    b->setRolloverImage(solid(Qt::yellow));
    b->setPressedImage(solid(Qt::red));
    b->updateImage();
    return b;
}

QColor shown(const TCWindowButton* b) {
    return b->image().isNull() ? QColor() : b->image().toImage().pixelColor(0, 0);
}

void enter(QWidget* w) {
    QEnterEvent e(QPointF(2, 2), QPointF(2, 2), QPointF(w->mapToGlobal(QPoint(2, 2))));
    QApplication::sendEvent(w, &e);
}

void leave(QWidget* w) {
    QEvent e(QEvent::Leave);
    QApplication::sendEvent(w, &e);
}

int captures(const TCWindowButton* b) { return b->group()->numberOfCaptures(); }

} // namespace

class TCWindowButtonTest : public QObject {
    Q_OBJECT
private slots:
    void groupsAreSharedByIdentifierAndCountsNeverGoNegative() {
        TCWindowButtonGroup* def = TCWindowButtonGroup::groupWithIdentifier();
        QCOMPARE(def, TCWindowButtonGroup::groupWithIdentifier(kTCWindowButtonGroupDefault));
        QCOMPARE(TCWindowButtonGroup::groupWithIdentifier("g1"), TCWindowButtonGroup::groupWithIdentifier("g1"));
        QVERIFY(TCWindowButtonGroup::groupWithIdentifier("g1") != TCWindowButtonGroup::groupWithIdentifier("g2"));
        QCOMPARE(TCWindowButton(QSize(16, 16), QString()).group(), def);

        // Counting: never negative, and a repeated state posts nothing.
        TCWindowButtonGroup* g = TCWindowButtonGroup::groupWithIdentifier("counting");
        int posts = 0;
        platform::NotificationCenter::defaultCenter().addObserver(
            this, TCWindowButtonGroupDidUpdateRolloverStateNotification,
            [&](const platform::Notification& n) { posts += n.value("identifier") == "counting"; });
        const auto forget =
            qScopeGuard([this] { platform::NotificationCenter::defaultCenter().removeObserver(this); });
        g->didReleaseMousePointer();
        g->setNumberOfCaptures(-3);
        QVERIFY(g->numberOfCaptures() == 0 && posts == 0);
        g->didCaptureMousePointer();
        QVERIFY(posts == 1 && g->shouldDisplayRollOver());
        g->setNumberOfCaptures(1);
        QCOMPARE(posts, 1);
        g->resetMouseCaptures();
        QVERIFY(posts == 2 && !g->shouldDisplayRollOver());
    }
    void groupRollsOverTogetherButNotWhenDisabled() {
        QWidget window;
        TCWindowButton* b[3];
        for (int i = 0; i < 3; ++i) (b[i] = button("trio", &window))->move(20 + 20 * i, 20);
        b[2]->setEnabled(false);
        window.setGeometry(300, 300, 120, 60); // away from the pointer
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        auto looks = [&] { return QList<QColor>{shown(b[0]), shown(b[1]), shown(b[2])}; };
        const QColor green(Qt::green), yellow(Qt::yellow), black(Qt::black);
        QTRY_COMPARE(looks(), (QList<QColor>{green, green, black}));
        enter(b[1]);
        QCOMPARE(captures(b[0]), 1);
        QCOMPARE(looks(), (QList<QColor>{yellow, yellow, black})); // disabled: no rollover
        leave(b[1]);
        QCOMPARE(captures(b[0]), 0);
        QCOMPARE(looks(), (QList<QColor>{green, green, black}));
        // Moving from one to another: the count goes 1, 2, 1 and stays rolled over.
        enter(b[0]);
        enter(b[1]);
        leave(b[0]);
        QCOMPARE(captures(b[0]), 1);
        QCOMPARE(shown(b[0]), yellow);
        leave(b[1]);
        leave(b[1]); // a second leave changes nothing
        QCOMPARE(captures(b[0]), 0);
        // A disabled button still counts for the group, and shows its image once enabled.
        enter(b[2]);
        QCOMPARE(captures(b[2]), 1);
        b[2]->updateRollOverImage();
        QCOMPARE(shown(b[2]), black);
        leave(b[2]);
        b[2]->setEnabled(true);
        QCOMPARE(shown(b[2]), green);
        // Not key: the not-key image.
        QWidget other;
        other.setGeometry(600, 300, 50, 50);
        other.show();
        other.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&other));
        QTRY_COMPARE(shown(b[0]), QColor(Qt::gray));
    }
    // New images show only after an update; the pressed one while pressed.
    void imagesShowAfterAnUpdateAndWhilePressed() {
        std::unique_ptr<TCWindowButton> b(button("images"));
        b->setEnabled(false);
        b->setEnabled(true);
        QCOMPARE(shown(b.get()), QColor(Qt::green));
        b->setActiveImage(solid(Qt::blue));
        QCOMPARE(shown(b.get()), QColor(Qt::green));
        b->setEnabled(false);
        b->setEnabled(true);
        QCOMPARE(shown(b.get()), QColor(Qt::blue));
        b->setDown(true);
        QCOMPARE(b->displayedImage().toImage().pixelColor(0, 0), QColor(Qt::red));
        b->setDown(false);
        QCOMPARE(b->displayedImage().toImage().pixelColor(0, 0), QColor(Qt::blue));
    }
    void fullScreenHidesAndResets() {
        QWidget window;
        auto* b = button("full", &window);
        window.show();
        enter(b);
        QCOMPARE(captures(b), 1);
        window.showFullScreen();
        QTRY_VERIFY(b->isHidden());
        QCOMPARE(captures(b), 0);
        window.showNormal();
        QTRY_VERIFY(!b->isHidden());
        // The capture it held went with the reset: a late leave changes nothing.
        enter(b);
        leave(b);
        leave(b);
        QCOMPARE(captures(b), 0);
    }
    void buttonGoingWhileHoveredReleasesItsCapture() {
        QWidget window;
        auto* stays = button("going", &window);
        auto* goes = button("going", &window);
        window.show();
        enter(goes);
        QCOMPARE(shown(stays), QColor(Qt::yellow));
        delete goes;
        QCOMPARE(captures(stays), 0);
        QVERIFY(shown(stays) != QColor(Qt::yellow));
        auto* hidden = button("going", &window);
        hidden->show();
        enter(hidden);
        QCOMPARE(captures(stays), 1);
        hidden->hide();
        QCOMPARE(captures(stays), 0);
    }
    void standardButtonsUseTheNamedImagesAndTheirWindowsGroup() {
        TCImageWindow w, other;
        auto* close = qobject_cast<TCWindowButton*>(w.standardWindowButton(TCImageWindow::CloseButton));
        QCOMPARE(close->rolloverImage().toImage(), kit::namedImage("window_close_hover"));
        QCOMPARE(close->pressedImage().toImage(), kit::namedImage("window_close_press"));
        auto* zoom = qobject_cast<TCWindowButton*>(w.standardWindowButton(TCImageWindow::ZoomButton));
        auto* otherClose = qobject_cast<TCWindowButton*>(other.standardWindowButton(TCImageWindow::CloseButton));
        QCOMPARE(zoom->group(), close->group());
        QVERIFY(otherClose->group() != close->group());
    }
};

QTEST_MAIN(TCWindowButtonTest)
#include "TCWindowButtonTest.moc"
