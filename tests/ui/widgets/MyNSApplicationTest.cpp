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

// A focusable view that answers copy and redo (not cut) and counts other keys.
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

class MyNSApplicationTest : public QObject {
    Q_OBJECT
    static void focusIn(QWidget& window, QWidget* w) {
        window.show();
        window.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&window));
        w->setFocus();
        QTRY_COMPARE(QApplication::focusWidget(), w);
    }

private slots:
    void initTestCase() {
        kit::setAnimationDurationScale(0);
        QVERIFY(MyNSApplication::install());
        QCOMPARE(MyNSApplication::install(), MyNSApplication::install());
    }
    // Every editing shortcut through a real line edit.
    void editingKeysInALineEdit() {
        QWidget window;
        auto* edit = new QLineEdit(&window);
        focusIn(window, edit);
        QTest::keyClicks(edit, "abc");
        QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier);
        QCOMPARE(edit->text(), QString());
        QTest::keyClick(edit, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(edit->text(), QStringLiteral("abc"));
        QApplication::clipboard()->setText("before");
        QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(edit, Qt::Key_C, Qt::ControlModifier);
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("abc"));
        QTest::keyClick(edit, Qt::Key_X, Qt::ControlModifier);
        QCOMPARE(edit->text(), QString());
        QTest::keyClick(edit, Qt::Key_V, Qt::ControlModifier);
        QTest::keyClick(edit, 'Z', Qt::ShiftModifier); // Shift+Z alone is typed
        QCOMPARE(edit->text(), QStringLiteral("abcZ"));
    }
    // Shortcuts reach the view's own slots before a menu item bound to the same
    // keys; other modifiers, and shortcuts no widget answers, go the normal way.
    void shortcutsReachOwnViewsFirst() {
        QWidget window;
        auto* view = new EditingView;
        (new QVBoxLayout(&window))->addWidget(view);
        int menuCopies = 0;
        auto* menuCopy = new QAction(&window);
        menuCopy->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
        window.addAction(menuCopy);
        connect(menuCopy, &QAction::triggered, [&] { ++menuCopies; });
        focusIn(window, view);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_Z, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::KeypadModifier);
        QCOMPARE(view->actions, (QStringList{"copy", "redo", "copy"}));
        QCOMPARE(menuCopies, 0);
        QCOMPARE(view->keyPresses, 0); // consumed
        window.removeAction(menuCopy);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::AltModifier);
        QTest::keyClick(view, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QTest::keyClick(view, Qt::Key_C);
        QTest::keyClick(view, Qt::Key_Z, Qt::ShiftModifier);
        QTest::keyClick(view, Qt::Key_Q, Qt::ControlModifier);
        QTest::keyClick(view, Qt::Key_X, Qt::ControlModifier); // no cut slot
        QCOMPARE(view->actions.size(), 3);
        QCOMPARE(view->keyPresses, 6);
        QVERIFY(!MyNSApplication::sendAction("cut"));
    }
    void zoomWindow() {
        ZoomWindow plain(QRect(0, 0, 10, 10));
        plain.setAnimationTimeMultiplier(0.3);
        const double plainTime = plain.animationResizeTime(QRect(), Qt::NoModifier);
        QVERIFY(qFuzzyCompare(plainTime, kPlatformResizeTime * double(0.3f)));
        QVERIFY(qFuzzyCompare(plain.animationResizeTime(QRect(), Qt::ShiftModifier), 3.0 * kPlatformResizeTime));

        // A frameless snapshot of the window's part.
        QWidget w;
        w.resize(80, 60);
        w.setAutoFillBackground(true);
        QPalette pal = w.palette();
        pal.setColor(QPalette::Window, Qt::blue);
        w.setPalette(pal);
        std::unique_ptr<ZoomWindow> z(createZoomWindowWithRect(&w, QRect(10, 10, 40, 30)));
        QCOMPARE(z->geometry(), QRect(10, 10, 40, 30));
        QCOMPARE(z->animationTimeMultiplier(), 0.3);
        QCOMPARE(z->grab().toImage().pixelColor(20, 15), QColor(Qt::blue));

        fadeIn(&w);
        QVERIFY(w.isVisible());
        QTRY_COMPARE(kit::alphaValue(&w), 1.0);
        zoomInWithOvershot(&w, true, true, true);
        QCOMPARE(kit::alphaValue(&w), 0.0);
    }
};

QTEST_MAIN(MyNSApplicationTest)
#include "MyNSApplicationTest.moc"
