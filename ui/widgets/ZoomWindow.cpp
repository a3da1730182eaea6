#include "ui/widgets/ZoomWindow.h"

#include "ui/kit/WindowFade.h"

#include <QLabel>
#include <QPixmap>

namespace salvor::widgets {

ZoomWindow::ZoomWindow(const QRect& contentRect)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowDoesNotAcceptFocus) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setGeometry(contentRect);
}

double ZoomWindow::animationResizeTime(const QRect&, Qt::KeyboardModifiers modifiers) const {
    float m = static_cast<float>(multiplier_);
    if (modifiers & Qt::ShiftModifier) m *= 10.0f;
    return kPlatformResizeTime * m;
}

ZoomWindow* createZoomWindowWithRect(QWidget* window, const QRect& rect) {
    if (!window) return nullptr;
    // grab() renders the widget tree itself, so a window never shown yet
    // needs no drawing surface first.
    const QPixmap snapshot = window->grab(QRect(QPoint(0, 0), window->size()));
    auto* zoom = new ZoomWindow(rect);
    zoom->setAnimationTimeMultiplier(0.3);
    if (window->windowFlags() & Qt::WindowStaysOnTopHint) zoom->setWindowFlag(Qt::WindowStaysOnTopHint);
    auto* view = new QLabel(zoom);
    view->setPixmap(snapshot);
    view->setScaledContents(true);
    view->setGeometry(zoom->rect());
    return zoom;
}

void fadeIn(QWidget* window) {
    if (!window) return;
    kit::setAlphaValue(window, 0.0);
    window->show();
    window->raise();
    kit::animateAlpha(window, 1.0, 0.3);
}

void zoomInWithOvershot(QWidget* window, bool, bool, bool) { kit::setAlphaValue(window, 0.0); }

} // namespace salvor::widgets
