#include "ui/widgets/AttachedWindow.h"

#include <QEvent>
#include <QPainter>

#include <cmath>

namespace salvor::widgets {

namespace {
bool onRight(int s) { return s == 0 || s == 4 || s == 5; }
bool onTop(int s) { return s == 1 || s == 10 || s == 11; }
bool onLeft(int s) { return s == 2 || s == 6 || s == 7; }
bool onBottom(int s) { return s == 3 || s == 8 || s == 9; }

// The arc of appendBezierPathWithArcFromPoint:toPoint:radius: for a right-angled
// corner: tangent to the line into corner and to the line towards next.
void arcFrom(QPainterPath& path, const QPointF& corner, const QPointF& next, double r) {
    const QPointF from = path.currentPosition();
    auto unit = [](QPointF v) { return v / std::hypot(v.x(), v.y()); };
    const QPointF d1 = unit(corner - from), d2 = unit(next - corner);
    const QPointF t1 = corner - d1 * r, t2 = corner + d2 * r, c = t1 + d2 * r;
    auto angle = [c](QPointF p) { return std::atan2(-(p.y() - c.y()), p.x() - c.x()) * 180.0 / M_PI; };
    double sweep = angle(t2) - angle(t1);
    if (sweep > 180) sweep -= 360;
    if (sweep <= -180) sweep += 360;
    path.arcTo(QRectF(c.x() - r, c.y() - r, 2 * r, 2 * r), angle(t1), sweep);
}

void appendArrow(QPainterPath& path, int side, const AttachedMetrics& m, double s) {
    if (!m.hasArrow) return;
    const QPointF c = path.currentPosition();
    const float aw = static_cast<float>(m.arrowBaseWidth * s), ah = static_cast<float>(m.arrowHeight * s);
    const float half = aw / 2;
    if (onRight(side)) {
        path.lineTo(c.x() + ah, c.y() - half);
        path.lineTo(c.x(), c.y() - aw);
    } else if (onTop(side)) {
        path.lineTo(c.x() + half, c.y() + ah);
        path.lineTo(c.x() + aw, c.y());
    } else if (onLeft(side)) {
        path.lineTo(c.x() - ah, c.y() + half);
        path.lineTo(c.x(), c.y() + aw);
    } else if (onBottom(side)) {
        path.lineTo(c.x() - half, c.y() - ah);
        path.lineTo(c.x() - aw, c.y());
    }
}
} // namespace

float attachedArrowInset(const AttachedMetrics& m, double scale) {
    return static_cast<float>(((m.drawsRoundCornerBesideArrow ? m.cornerRadius : 0.0f) + m.arrowBaseWidth / 2) * scale);
}

AttachedGeometry attachedGeometry(const QSizeF& view, const QPointF& p, int side, float distance,
                                  const AttachedMetrics& m, double scale) {
    const double margin = m.viewMargin * scale;
    QRectF vf(margin, margin, view.width(), view.height());
    double w = view.width() + 2 * margin, h = view.height() + 2 * margin;
    const float a = static_cast<float>(m.arrowHeight * scale);
    const bool known = side >= 0 && side <= 11;
    if (known) {
        if (onRight(side)) w += a;
        if (onTop(side)) h += a;
        if (onLeft(side)) vf.moveLeft(vf.x() + a), w += a;
        if (onBottom(side)) vf.moveTop(vf.y() + a), h += a;
    }
    double x = p.x(), y = p.y();
    if (known) {
        const float i = attachedArrowInset(m, scale), hw = static_cast<float>(w / 2), hh = static_cast<float>(h / 2);
        const double xs[12] = {x - w, x - hw, x, x - hw, x - w, x - w, x, x, x - (w - i), x - i, x - (w - i), x - i};
        const double ys[12] = {y - hh, y - h, y - hh, y, y - i, y - (h - i), y - i, y - (h - i), y, y, y - h, y - h};
        x = xs[side], y = ys[side];
        if (onRight(side)) x -= distance;
        if (onTop(side)) y -= distance;
        if (onLeft(side)) x += distance;
        if (onBottom(side)) y += distance;
    }
    return {QRectF(x, y, w, h), vf};
}

int bestSideForAutomaticPosition(const QSizeF& view, const QPointF& p, float distance, const AttachedMetrics& m,
                                 const QRectF& screen, const QRectF& ref, double scale) {
    const double w = view.width() + 2 * m.viewMargin * scale, h = view.height() + 2 * m.viewMargin * scale;
    const float d = static_cast<float>(m.arrowHeight * scale + distance);
    const double sMinX = screen.x(), sMaxX = screen.x() + screen.width();
    const double sMinY = screen.y(), sMaxY = screen.y() + screen.height();
    int side = MASideBottom;
    if (sMinY <= p.y() - h - d)
        side = MASideBottom;
    else if (p.x() + w + d < sMaxX)
        side = MASideRight;
    else if (p.x() - w - d >= sMinX)
        side = MASideLeft;
    else if (sMaxY > p.y() + h + d)
        side = MASideTop;
    const float i = attachedArrowInset(m, scale), hw = static_cast<float>(w / 2), hh = static_cast<float>(h / 2);
    if (side == MASideLeft || side == MASideRight) {
        if (ref.y() > p.y() - hh) {
            if (sMaxY > p.y() + h - i) side = side == MASideLeft ? MASideLeftTop : MASideRightTop;
        } else if (p.y() + hh >= ref.y() + ref.height()) {
            if (p.y() - h + i >= sMinY) side = side == MASideLeft ? MASideLeftBottom : MASideRightBottom;
        }
    } else {
        if (ref.x() > p.x() - hw) {
            if (sMaxX > p.x() + w - i) side = side == MASideBottom ? MASideBottomRight : MASideTopRight;
        } else if (p.x() + hw >= ref.x() + ref.width()) {
            if (p.x() - w + i >= sMinX) side = side == MASideBottom ? MASideBottomLeft : MASideTopLeft;
        }
    }
    return side;
}

QPainterPath attachedBackgroundPath(const QRectF& vf, int side, const AttachedMetrics& m, double s) {
    const float r = static_cast<float>(m.cornerRadius * s), aw = static_cast<float>(m.arrowBaseWidth * s);
    const float haw = aw / 2;
    const QRectF area = vf.adjusted(-m.viewMargin * s, -m.viewMargin * s, m.viewMargin * s, m.viewMargin * s);
    const double minX = std::ceil(area.x() * s + 0.5), midX = area.center().x() * s,
                 maxX = std::floor((area.x() + area.width()) * s - 0.5);
    const double minY = std::ceil(area.y() * s + 0.5), midY = area.center().y() * s,
                 maxY = std::floor((area.y() + area.height()) * s - 0.5);
    auto rounded = [&](int a, int b) { return r > 0 && (m.drawsRoundCornerBesideArrow || (side != a && side != b)); };
    const bool tl = rounded(11, 7), tr = rounded(10, 5), brr = rounded(8, 4), bl = rounded(9, 6);
    QPainterPath path;
    path.moveTo(minX + (tl ? r : 0), maxY);
    // Top edge, rightward.
    QPointF end(maxX - (tr ? r : 0), maxY);
    if (side == 11) appendArrow(path, side, m, s);
    if (side == 1) path.lineTo(midX - haw, maxY), appendArrow(path, side, m, s);
    if (side == 10) path.lineTo(end.x() - aw, maxY), appendArrow(path, side, m, s);
    path.lineTo(end);
    if (tr) arcFrom(path, {maxX, maxY}, {maxX, maxY - r}, r);
    // Right edge, downward.
    end = QPointF(maxX, minY + (brr ? r : 0));
    if (side == 5) appendArrow(path, side, m, s);
    if (side == 0) path.lineTo(maxX, midY + haw), appendArrow(path, side, m, s);
    if (side == 4) path.lineTo(maxX, end.y() + aw), appendArrow(path, side, m, s);
    path.lineTo(end);
    if (brr) arcFrom(path, {maxX, minY}, {maxX - r, minY}, r);
    // Bottom edge, leftward.
    end = QPointF(minX + (bl ? r : 0), minY);
    if (side == 8) appendArrow(path, side, m, s);
    if (side == 3) path.lineTo(midX + haw, minY), appendArrow(path, side, m, s);
    if (side == 9) path.lineTo(end.x() + aw, minY), appendArrow(path, side, m, s);
    path.lineTo(end);
    if (bl) arcFrom(path, {minX, minY}, {minX, minY + r}, r);
    // Left edge, upward.
    end = QPointF(minX, maxY - (tl ? r : 0));
    if (side == 6) appendArrow(path, side, m, s);
    if (side == 2) path.lineTo(minX, midY - haw), appendArrow(path, side, m, s);
    if (side == 7) path.lineTo(minX, end.y() - aw), appendArrow(path, side, m, s);
    path.lineTo(end);
    if (tl) arcFrom(path, {minX, maxY}, {minX + r, maxY}, r);
    path.closeSubpath();
    return path;
}

// ---- the overlay ---------------------------------------------------------

MAAttachedWindow* MAAttachedWindow::initWithView(QWidget* view, const QPointF& point, QWidget* window, int side,
                                                 float distance) {
    if (!view || !window) return nullptr;
    return new MAAttachedWindow(view, point, window, side, distance);
}

MAAttachedWindow::MAAttachedWindow(QWidget* view, const QPointF& point, QWidget* window, int side, float distance)
    : QWidget(window), view_(view), point_(point), side_(side), distance_(distance) {
    setAttribute(Qt::WA_TranslucentBackground);
    if (side_ == MASideAutomatic) {
        const QRectF area(0, 0, window->width(), window->height());
        side_ = bestSideForAutomaticPosition(view->size(), point, distance, m_, area, area);
    }
    view->setParent(this);
    window->installEventFilter(this);
    updateGeometry_();
    view->show();
    raise();
}

void MAAttachedWindow::updateGeometry_() {
    const AttachedGeometry g = attachedGeometry(view_ ? QSizeF(view_->size()) : QSizeF(), point_, side_, distance_, m_);
    frame_ = g.frame;
    viewFrame_ = g.viewFrame;
    const double parentHeight = parentWidget() ? parentWidget()->height() : 0;
    setGeometry(QRectF(frame_.x(), parentHeight - frame_.y() - frame_.height(), frame_.width(), frame_.height())
                    .toRect());
    if (view_)
        view_->setGeometry(QRectF(viewFrame_.x(), frame_.height() - viewFrame_.y() - viewFrame_.height(),
                                  viewFrame_.width(), viewFrame_.height())
                               .toRect());
    update();
}

void MAAttachedWindow::redisplay() { updateGeometry_(); }

bool MAAttachedWindow::eventFilter(QObject* watched, QEvent* event) {
    // Lower-left coordinates: a taller or shorter window moves the bubble's Qt position.
    if (watched == parentWidget() && event->type() == QEvent::Resize) updateGeometry_();
    return false;
}

void MAAttachedWindow::setPoint(const QPointF& point, int side) {
    point_ = point;
    side_ = side;
    updateGeometry_();
}

void MAAttachedWindow::setBackgroundColor(const QColor& c) {
    background_ = c;
    update();
}

void MAAttachedWindow::setBorderColor(const QColor& c) {
    border_ = c;
    update();
}

void MAAttachedWindow::setBorderWidth(float w) {
    if (w == m_.borderWidth) return;
    m_.borderWidth = std::min(w, m_.viewMargin);
    update();
}

void MAAttachedWindow::setViewMargin(float margin) {
    if (margin == m_.viewMargin) return;
    m_.viewMargin = std::max(0.0f, margin);
    setCornerRadius(m_.cornerRadius);
}

void MAAttachedWindow::setArrowBaseWidth(float w) {
    float limit = static_cast<float>(std::min(viewFrame_.width(), viewFrame_.height()) + 2 * m_.viewMargin) -
                  m_.cornerRadius;
    if (m_.drawsRoundCornerBesideArrow) limit -= m_.cornerRadius;
    m_.arrowBaseWidth = w <= limit ? w : limit;
    redisplay();
}

void MAAttachedWindow::setArrowHeight(float h) {
    if (h == m_.arrowHeight) return;
    m_.arrowHeight = h;
    redisplay();
}

void MAAttachedWindow::setHasArrow(float yes) {
    if (yes == hasArrow()) return;
    m_.hasArrow = static_cast<int>(yes) != 0;
    update();
}

void MAAttachedWindow::setCornerRadius(float r) {
    const float limit = static_cast<float>(
        (std::min(viewFrame_.width(), viewFrame_.height()) + 2 * m_.viewMargin - m_.arrowBaseWidth) / 2);
    m_.cornerRadius = std::max(0.0f, std::min(r, limit));
    setArrowBaseWidth(m_.arrowBaseWidth);
}

void MAAttachedWindow::setDrawsRoundCornerBesideArrow(float yes) {
    if (yes == drawsRoundCornerBesideArrow()) return;
    m_.drawsRoundCornerBesideArrow = static_cast<int>(yes) != 0;
    redisplay();
}

void MAAttachedWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    // Window coordinates are lower-left; Qt paints top-left.
    p.setTransform(QTransform(1, 0, 0, -1, 0, height()));
    const QPainterPath path = attachedBackgroundPath(viewFrame_, side_, m_);
    p.setClipPath(path);
    p.fillPath(path, background_);
    if (m_.borderWidth > 0) p.strokePath(path, QPen(border_, m_.borderWidth * 2.0));
}

} // namespace salvor::widgets
