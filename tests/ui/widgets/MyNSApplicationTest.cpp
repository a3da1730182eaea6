// Editing shortcuts through the application event filter, and the zoom window.
#include "ui/kit/WindowFade.h"
#include "ui/widgets/MyNSApplication.h"
#include "ui/widgets/ZoomWindow.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

using namespace salvor;
using namespace salvor::widgets;

// A focusable view that answers the editing actions and records stray keys.
class EditingView : public QWidget {
    Q_OBJECT
public:
    EditingView() { setFocusPolicy(Qt::StrongFocus); }
    QStringList actions;
    int keyPresses = 0;

public slots:
    void copy() { actions << "copy"; }
    void redo() { actions << "redo"; }

protected:
    void keyPressEvent(QKeyEvent* e) override {
        // Modifier keys arrive as presses of their own.
        if (e->key() != Qt::Key_Control && e->key() != Qt::Key_Shift && e->key() != Qt::Key_Alt) ++keyPresses;
        e->accept();
    }
};

// Focusable, answers nothing.
class PlainView : public QWidget {
public:
    PlainView() { setFocusPolicy(Qt::StrongFocus); }
    int keyPresses = 0;

protected:
    void keyPressEvent(QKeyEvent* e) override {
        // Modifier keys arrive as presses of their own.
        if (e->key() != Qt::Key_Control && e->key() != Qt::Key_Shift && e->key() != Qt::Key_Alt) ++keyPresses;
        e->accept();
    }
};

class MyNSApplicationTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        kit::setAnimationDurationScale(0);
        QVERIFY(MyNSApplication::install());
        QCOMPARE(MyNSApplication::install(), MyNSApplication::install());
    }

    void keysMapToActions();
    void redoAndCopyInALineEdit();
    void shortcutsWinOverMenuKeysAndReachOwnViews();
    void otherModifiersPassThrough();
    void noReceiverGoesToTheNormalDispatch();

    void resizeTimeSlowsWithShift();
    void zoomWindowShowsASnapshot();
    void fadeInAndZoomIn();

private:
    template <class W>
    void focusIn(QWidget& window, W* w) {
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        w->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), static_cast<QWidget*>(w));
    }
};

void MyNSApplicationTest::keysMapToActions() {
    auto action = [](int key, Qt::KeyboardModifiers mods) {
        QKeyEvent e(QEvent::KeyPress, key, mods);
        const char* a = MyNSApplication::actionForKey(e);
        return a ? QString::fromLatin1(a) : QString();
    };
    QCOMPARE(action(Qt::Key_X, Qt::ControlModifier), QStringLiteral("cut"));
    QCOMPARE(action(Qt::Key_C, Qt::ControlModifier), QStringLiteral("copy"));
    QCOMPARE(action(Qt::Key_V, Qt::ControlModifier), QStringLiteral("paste"));
    QCOMPARE(action(Qt::Key_Z, Qt::ControlModifier), QStringLiteral("undo"));
    QCOMPARE(action(Qt::Key_A, Qt::ControlModifier), QStringLiteral("selectAll"));
    QCOMPARE(action(Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier), QStringLiteral("redo"));
    QCOMPARE(action(Qt::Key_C, Qt::ControlModifier | Qt::KeypadModifier), QStringLiteral("copy"));
    QCOMPARE(action(Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier), QString());
    QCOMPARE(action(Qt::Key_C, Qt::ControlModifier | Qt::AltModifier), QString());
    QCOMPARE(action(Qt::Key_Z, Qt::ShiftModifier), QString());
    QCOMPARE(action(Qt::Key_Q, Qt::ControlModifier), QString());
}

void MyNSApplicationTest::redoAndCopyInALineEdit() {
    QWidget window;
    auto* edit = new QLineEdit(&window);
    focusIn(window, edit);
    QTest::keyClicks(edit, "abc");
    QCOMPARE(edit->text(), QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(edit->text(), QString());
    QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(edit->text(), QStringLiteral("abc"));

    QApplication::clipboard()->setText("before");
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QCOMPARE(edit->selectedText(), QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("abc"));
    QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(edit->text(), QString());
    QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
    QCOMPARE(edit->text(), QStringLiteral("abc"));

    // Shift+Z alone is typed.
    QTest::keyClick(edit, 'Z', Qt::ShiftModifier);
    QCOMPARE(edit->text(), QStringLiteral("abcZ"));
}

void MyNSApplicationTest::shortcutsWinOverMenuKeysAndReachOwnViews() {
    QWidget window;
    auto* view = new EditingView;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(view);
    // A menu item bound to the same keys does not get them.
    int menuCopies = 0;
    auto* menuCopy = new QAction(&window);
    menuCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    window.addAction(menuCopy);
    connect(menuCopy, &QAction::triggered, [&] { ++menuCopies; });
    focusIn(window, view);

    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
    QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
    QCOMPARE(view->actions, (QStringList{"copy", "redo"}));
    QCOMPARE(menuCopies, 0);
    QCOMPARE(view->keyPresses, 0); // consumed
}

void MyNSApplicationTest::otherModifiersPassThrough() {
    QWidget window;
    auto* view = new EditingView;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(view);
    focusIn(window, view);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::AltModifier);
    QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
    QTest::keyClick(view, Qt::Key_C);
    QVERIFY(view->actions.isEmpty());
    QCOMPARE(view->keyPresses, 3);
}

void MyNSApplicationTest::noReceiverGoesToTheNormalDispatch() {
    QWidget window;
    auto* view = new PlainView;
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(view);
    focusIn(window, view);
    QTest::keyClick(view, Qt::Key_X, Qt::ControlModifier);
    QCOMPARE(view->keyPresses, 1);
    QVERIFY(!MyNSApplication::sendAction("cut"));
}

void MyNSApplicationTest::resizeTimeSlowsWithShift() {
    ZoomWindow z(QRect(0, 0, 10, 10));
    QCOMPARE(z.animationTimeMultiplier(), 1.0);
    z.setAnimationTimeMultiplier(0.3);
    const double plain = z.animationResizeTime(QRect(), Qt::NoModifier);
    const double slow = z.animationResizeTime(QRect(), Qt::ShiftModifier);
    QVERIFY(qFuzzyCompare(plain, kPlatformResizeTime * double(0.3f)));
    QVERIFY(qFuzzyCompare(slow, 3.0 * kPlatformResizeTime));
}

void MyNSApplicationTest::zoomWindowShowsASnapshot() {
    QWidget w;
    w.resize(80, 60);
    w.setAutoFillBackground(true);
    QPalette pal = w.palette();
    pal.setColor(QPalette::Window, Qt::blue);
    w.setPalette(pal);
    std::unique_ptr<ZoomWindow> z(createZoomWindowWithRect(&w, QRect(10, 10, 40, 30)));
    QVERIFY(z);
    QCOMPARE(z->geometry(), QRect(10, 10, 40, 30));
    QCOMPARE(z->animationTimeMultiplier(), 0.3);
    QVERIFY(z->windowFlags() & Qt::FramelessWindowHint);
    const QImage shot = z->grab().toImage();
    QCOMPARE(shot.pixelColor(20, 15), QColor(Qt::blue));
}

void MyNSApplicationTest::fadeInAndZoomIn() {
    QWidget w;
    fadeIn(&w);
    QVERIFY(w.isVisible());
    QTRY_COMPARE(kit::alphaValue(&w), 1.0);
    zoomInWithOvershot(&w, true, true, true);
    QCOMPARE(kit::alphaValue(&w), 0.0);
}

QTEST_MAIN(MyNSApplicationTest)
#include "MyNSApplicationTest.moc"
