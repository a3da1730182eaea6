#pragma once
// Resizing a frameless window by its edges and corners, and the window
// buttons' rollover area (each button grown by 4 on every side). Watches the
// window's mouse events before its widgets see them. A press within 4 of an
// edge hands the resize to the window manager (QWindow::startSystemResize)
// or, where it cannot, follows the pointer itself; the end of either is the
// end of a live resize of the window.
#include <QObject>
#include <QPointer>
#include <QRect>
#include <QTimer>

class QWindow;
class QMouseEvent;

namespace salvor::widgets {

class TCImageWindow;

inline constexpr int kResizeMargin = 4;
inline constexpr int kRolloverGrowth = 4;

// The edges of a window of size that a pointer at pos (window coordinates) grabs.
Qt::Edges edgesAt(const QPoint& pos, const QSize& size, int margin = kResizeMargin);
// The geometry after dragging edges by delta, no smaller than minimum.
QRect resizedGeometry(const QRect& start, Qt::Edges edges, const QPoint& delta, const QSize& minimum);

class WindowEdgeTracker : public QObject {
    Q_OBJECT
public:
    explicit WindowEdgeTracker(TCImageWindow* window);
    bool isResizing() const { return dragging_ || systemResize_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void attach();
    bool mousePress(QMouseEvent* e);
    void trackRollover(const QPoint& pos, bool inside);
    void endResize();

    TCImageWindow* window_;
    QPointer<QWindow> handle_;
    Qt::Edges edges_;
    QPoint pressGlobal_;
    QRect startGeometry_;
    bool dragging_ = false;
    bool systemResize_ = false;
    QTimer systemEnd_; // a window-manager resize ends when the resizes stop
};

} // namespace salvor::widgets
