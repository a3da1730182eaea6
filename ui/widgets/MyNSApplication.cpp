#include "ui/widgets/MyNSApplication.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMetaMethod>
#include <QPointer>
#include <QWidget>

namespace salvor::widgets {

namespace {

QPointer<MyNSApplication> gInstance;

// The first widget from the focus widget outwards with a slot action().
QWidget* receiverFor(const char* action) {
    const QByteArray signature = QByteArray(action) + "()";
    QWidget* w = QApplication::focusWidget();
    if (!w) w = QApplication::activeWindow();
    for (; w; w = w->parentWidget()) {
        const int index = w->metaObject()->indexOfMethod(signature.constData());
        if (index >= 0 && w->metaObject()->method(index).methodType() == QMetaMethod::Slot) return w;
    }
    return nullptr;
}

} // namespace

MyNSApplication* MyNSApplication::install() {
    if (!gInstance && qApp) {
        gInstance = new MyNSApplication();
        gInstance->setParent(qApp);
        qApp->installEventFilter(gInstance);
    }
    return gInstance;
}

void MyNSApplication::uninstall() { delete gInstance.data(); }

const char* MyNSApplication::actionForKey(const QKeyEvent& event) {
    // Ctrl stands where the Command key does; keypad and Caps Lock do not count.
    const Qt::KeyboardModifiers mods = event.modifiers() & ~Qt::KeypadModifier;
    if (mods == Qt::ControlModifier) {
        switch (event.key()) {
        case Qt::Key_X: return "cut";
        case Qt::Key_C: return "copy";
        case Qt::Key_V: return "paste";
        case Qt::Key_Z: return "undo";
        case Qt::Key_A: return "selectAll";
        default: return nullptr;
        }
    }
    if (mods == (Qt::ControlModifier | Qt::ShiftModifier) && event.key() == Qt::Key_Z) return "redo";
    return nullptr;
}

bool MyNSApplication::sendAction(const char* action) {
    QWidget* target = receiverFor(action);
    if (!target) return false;
    QMetaObject::invokeMethod(target, action, Qt::DirectConnection);
    return true;
}

bool MyNSApplication::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::ShortcutOverride) return false;
    // The first delivery only: the focus widget (or the active window without one).
    if (!watched->isWidgetType()) return false;
    QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : QApplication::activeWindow();
    if (watched != first) return false;
    const char* action = actionForKey(*static_cast<QKeyEvent*>(event));
    if (!action || !receiverFor(action)) return false;
    if (type == QEvent::ShortcutOverride) {
        // Keeps menu shortcuts from taking the key before it is typed.
        event->accept();
        return true;
    }
    return sendAction(action);
}

} // namespace salvor::widgets
