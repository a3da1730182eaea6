#pragma once
// The delegate of a window: asked before a close through the window's close
// path, told when the window closes, and asked where a sheet attaches.
//
// A window gets its delegate through setWindowDelegate(). A window class that
// keeps its own delegate (a proxy that answers some questions itself) derives
// from WindowDelegateHost; setWindowDelegate() then hands the delegate to it.
#include <QRect>

class QWidget;

namespace salvor::kit {

class WindowDelegate {
public:
    WindowDelegate() = default;
    WindowDelegate(const WindowDelegate&) = delete;
    WindowDelegate& operator=(const WindowDelegate&) = delete;
    // Detaches itself from every window it is the delegate of.
    virtual ~WindowDelegate();

    // A close through the window's close path (close button, performClose)
    // goes ahead only when this answers true.
    virtual bool windowShouldClose(QWidget* window);
    // The window is about to close (after the answer above, or closeWindow()).
    virtual void windowWillClose(QWidget* window);
    // Where a sheet of the window attaches: proposed is the window's top edge
    // in window coordinates (y 0, full width); the answer's y is used.
    virtual QRect willPositionSheet(QWidget* window, const QRect& proposed);
};

// A window that keeps its own delegate (e.g. behind a proxy).
class WindowDelegateHost {
public:
    virtual ~WindowDelegateHost() = default;
    virtual void setDelegate(WindowDelegate* delegate) = 0;
    virtual WindowDelegate* delegate() const = 0;
};

// Sets the delegate of window (not owned; none removes it).
void setWindowDelegate(QWidget* window, WindowDelegate* delegate);
// The delegate the window's user set, or none.
WindowDelegate* windowDelegate(const QWidget* window);

// The object that the window consults itself: the delegate, or the host's
// proxy. Used by window classes that keep their delegate behind a proxy.
void installDelegateHook(QWidget* window, WindowDelegate* consulted);
WindowDelegate* consultedDelegate(const QWidget* window);

// Close through the close path: asks the delegate first. Answers whether the
// window closed.
bool performClose(QWidget* window);
// Closes without asking (the end of a fade-out, a controller's close).
void closeWindow(QWidget* window);

// The top of a sheet for window, in window coordinates.
int sheetTop(QWidget* window);

} // namespace salvor::kit
