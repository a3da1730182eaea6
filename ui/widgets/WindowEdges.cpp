#include "ui/widgets/WindowEdges.h"

#include "ui/widgets/TCImageWindow.h"
#include "ui/widgets/TCWindowButton.h"

#include <QAbstractButton>
#include <QMouseEvent>
#include <QWindow>

#include <algorithm>

namespace salvor::widgets {

Qt::Edges edgesAt(const QPoint& pos, const QSize& size, int margin) {
    Qt::Edges e;
    if (pos.x() < 0 || pos.y() < 0 || pos.x() >= size.width() || pos.y() >= size.height()) return e;
    if (pos.x() < margin) e |= Qt::LeftEdge;
    if (pos.x() >= size.width() - margin) e |= Qt::RightEdge;
    if (pos.y() < margin) e |= Qt::TopEdge;
    if (pos.y() >= size.height() - margin) e |= Qt::BottomEdge;
    return e;
}

QRect resizedGeometry(const QRect& start, Qt::Edges edges, const QPoint& d, const QSize& minimum) {
    QRect r = start;
    const int minW = std::max(1, minimum.width()), minH = std::max(1, minimum.height());
    if (edges & Qt::LeftEdge) r.setLeft(std::min(start.left() + d.x(), start.right() + 1 - minW));
    if (edges & Qt::RightEdge) r.setRight(std::max(start.right() + d.x(), start.left() + minW - 1));
    if (edges & Qt::TopEdge) r.setTop(std::min(start.top() + d.y(), start.bottom() + 1 - minH));
    if (edges & Qt::BottomEdge) r.setBottom(std::max(start.bottom() + d.y(), start.top() + minH - 1));
    return r;
}

WindowEdgeTracker::WindowEdgeTracker(TCImageWindow* window) : QObject(window), window_(window) {
    systemEnd_.setSingleShot(true);
    systemEnd_.setInterval(300);
    connect(&systemEnd_, &QTimer::timeout, this, &WindowEdgeTracker::endResize);
    window->installEventFilter(this);
    attach();
}

void WindowEdgeTracker::attach() {
    QWindow* h = window_->windowHandle();
    if (!h || h == handle_) return;
    if (handle_) handle_->removeEventFilter(this);
    handle_ = h;
    h->installEventFilter(this);
}

void WindowEdgeTracker::endResize() {
    const bool was = isResizing();
    dragging_ = systemResize_ = false;
    systemEnd_.stop();
    if (was) window_->viewDidEndLiveResize();
}

bool WindowEdgeTracker::mousePress(QMouseEvent* e) {
    if (e->button() != Qt::LeftButton || window_->isFullScreen() || window_->isMaximized()) return false;
    const Qt::Edges edges = edgesAt(e->position().toPoint(), window_->size());
    // A button near the edge (the bar's buttons sit 3 from the top) keeps its clicks.
    if (!edges || qobject_cast<QAbstractButton*>(window_->childAt(e->position().toPoint()))) return false;
    edges_ = edges;
    if (handle_ && handle_->startSystemResize(edges)) {
        systemResize_ = true;
        systemEnd_.start();
        return true;
    }
    dragging_ = true;
    pressGlobal_ = e->globalPosition().toPoint();
    startGeometry_ = window_->geometry();
    return true;
}

void WindowEdgeTracker::trackRollover(const QPoint& pos, bool inside) {
    for (TCWindowButton* b : window_->findChildren<TCWindowButton*>()) {
        if (!b->isVisible()) continue;
        const QRect area = b->rect().adjusted(-kRolloverGrowth, -kRolloverGrowth, kRolloverGrowth, kRolloverGrowth);
        b->setPointerNear(inside && area.contains(b->mapFrom(window_, pos)));
    }
}

bool WindowEdgeTracker::eventFilter(QObject* watched, QEvent* event) {
    if (watched == window_) {
        if (event->type() == QEvent::Show || event->type() == QEvent::WinIdChange) attach();
        if (event->type() == QEvent::Resize && systemResize_) systemEnd_.start();
        return false;
    }
    if (watched != handle_) return false;
    switch (event->type()) {
    case QEvent::MouseButtonPress: return mousePress(static_cast<QMouseEvent*>(event));
    case QEvent::MouseMove: {
        auto* e = static_cast<QMouseEvent*>(event);
        if (dragging_) {
            window_->setGeometry(resizedGeometry(startGeometry_, edges_, e->globalPosition().toPoint() - pressGlobal_,
                                                 window_->minimumSize()));
            return true;
        }
        if (systemResize_ && e->buttons() == Qt::NoButton) endResize();
        const Qt::Edges edges = edgesAt(e->position().toPoint(), window_->size());
        const bool diagonal = (edges & (Qt::LeftEdge | Qt::RightEdge)) && (edges & (Qt::TopEdge | Qt::BottomEdge));
        if (!edges)
            window_->unsetCursor();
        else if (diagonal)
            window_->setCursor(edges == (Qt::LeftEdge | Qt::TopEdge) || edges == (Qt::RightEdge | Qt::BottomEdge)
                                   ? Qt::SizeFDiagCursor
                                   : Qt::SizeBDiagCursor);
        else
            window_->setCursor(edges & (Qt::LeftEdge | Qt::RightEdge) ? Qt::SizeHorCursor : Qt::SizeVerCursor);
        trackRollover(e->position().toPoint(), true);
        return false;
    }
    case QEvent::MouseButtonRelease:
        if (!isResizing()) return false;
        endResize();
        return true;
    case QEvent::Leave: trackRollover({}, false); return false;
    default: return false;
    }
}

} // namespace salvor::widgets
