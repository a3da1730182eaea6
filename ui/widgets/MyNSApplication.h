#pragma once
// The standard editing shortcuts, whatever the menus hold: Ctrl+X, C, V, Z, A
// and Ctrl+Shift+Z become cut, copy, paste, undo, select all and redo, sent
// along the responder chain (the focus widget, then its parents) to the first
// widget that has that slot. An application event filter; a shortcut that
// finds no receiver goes on to the normal dispatch.
#include <QObject>

class QKeyEvent;
class QWidget;

namespace salvor::widgets {

class MyNSApplication : public QObject {
    Q_OBJECT
public:
    // Installs one filter on the application (again: nothing).
    static MyNSApplication* install();
    static void uninstall();

    // The action a key press stands for ("copy", "redo" …), or null.
    static const char* actionForKey(const QKeyEvent& event);
    // Sends action ("copy") along the responder chain from the focus widget;
    // answers whether a receiver took it.
    static bool sendAction(const char* action);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    MyNSApplication() = default;
};

} // namespace salvor::widgets
