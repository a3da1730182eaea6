#include "ui/widgets/OverlayScroller.h"

#include "ui/kit/WindowFade.h"

#include <QAbstractScrollArea>
#include <QEvent>
#include <QHeaderView>
#include <QMouseEvent>
#include <QPainter>
#include <QTableView>
#include <QTreeView>

#include <algorithm>
#include <cmath>

namespace salvor::widgets {

QRectF overlayKnobRect(const QRectF& knobPart) {
    QRectF r = knobPart;
    if (r.width() <= 15) {
        r.moveLeft(r.x() + 5);
        r.setWidth(5);
    }
    if (r.height() <= 15) {
        r.moveTop(5);
        r.setHeight(5);
    }
    return r;
}

QRectF knobPartRect(Qt::Orientation o, const QSize& size, int minimum, int maximum, int pageStep, int value) {
    const bool vertical = o == Qt::Vertical;
    const double length = vertical ? size.height() : size.width();
    const double range = double(maximum) - minimum;
    if (range <= 0 || length <= 0) return {};
    const double knob = std::clamp(length * pageStep / (range + pageStep), std::min(20.0, length), length);
    const double at = (double(value) - minimum) / range * (length - knob);
    return vertical ? QRectF(0, at, size.width(), knob) : QRectF(at, 0, knob, size.height());
}

OverlayFrames overlayScrollerFrames(const QSize& s, int headerOffset, int sw, int sh) {
    return {QRect(s.width() - sw, headerOffset, sw, s.height() - headerOffset),
            QRect(0, s.height() - 12, s.width() - sh, 12)};
}

// ---- RFOverlayScroller -----------------------------------------------------

RFOverlayScroller::RFOverlayScroller(Qt::Orientation o, QWidget* parent) : QScrollBar(o, parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
    fadeTimer_.setSingleShot(true);
    fadeTimer_.setTimerType(Qt::PreciseTimer); // never early
    connect(&fadeTimer_, &QTimer::timeout, this, &RFOverlayScroller::fadeOut);
    connect(this, &QScrollBar::valueChanged, this, &RFOverlayScroller::valueDidChange);
}

void RFOverlayScroller::valueDidChange() {
    // Every path keeps the scroller fully opaque; what is scheduled is the
    // fade-out 1.5 s after the last change.
    alpha_ = 1.0;
    fadeTimer_.start(static_cast<int>(std::lround(1500 * kit::animationDurationScale())));
}

void RFOverlayScroller::fadeOut() {
    fadeTimer_.stop();
    alpha_ = 1.0;
    ++fadeOuts_;
    emit fadedOut();
}

QRectF RFOverlayScroller::knobPart() const {
    return knobPartRect(orientation(), size(), minimum(), maximum(), pageStep(), value());
}

QRectF RFOverlayScroller::drawnKnob() const { return overlayKnobRect(knobPart()); }

void RFOverlayScroller::paintEvent(QPaintEvent*) {
    const QRectF knob = drawnKnob();
    if (knob.isEmpty()) return;
    QPainter p(this);
    p.setOpacity(alpha_);
    p.fillRect(knob, QColor(100, 100, 100));
}

void RFOverlayScroller::enterEvent(QEnterEvent* event) {
    QScrollBar::enterEvent(event);
    alpha_ = 1.0;
    fadeTimer_.stop();
}

void RFOverlayScroller::leaveEvent(QEvent* event) {
    QScrollBar::leaveEvent(event);
    fadeOut();
}

void RFOverlayScroller::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QScrollBar::mousePressEvent(event);
    const QRectF knob = knobPart();
    const double at = along(event->position());
    const double start = orientation() == Qt::Vertical ? knob.top() : knob.left();
    const double length = orientation() == Qt::Vertical ? knob.height() : knob.width();
    if (at >= start && at < start + length)
        grab_ = at - start;
    else
        setValue(value() + (at < start ? -pageStep() : pageStep()));
    event->accept();
}

void RFOverlayScroller::mouseMoveEvent(QMouseEvent* event) {
    alpha_ = 1.0;
    if (grab_ < 0) return QScrollBar::mouseMoveEvent(event);
    const QRectF knob = knobPart();
    const double track = (orientation() == Qt::Vertical ? height() - knob.height() : width() - knob.width());
    if (track > 0)
        setValue(minimum() + static_cast<int>(std::lround((along(event->position()) - grab_) / track *
                                                          (double(maximum()) - minimum()))));
    event->accept();
}

void RFOverlayScroller::mouseReleaseEvent(QMouseEvent* event) {
    if (grab_ < 0) return QScrollBar::mouseReleaseEvent(event);
    grab_ = -1;
    event->accept();
}

// ---- RFOverlayScrollView ---------------------------------------------------

RFOverlayScrollView::RFOverlayScrollView(QAbstractScrollArea* area)
    : QObject(area), area_(area), vertical_(new RFOverlayScroller(Qt::Vertical, area)),
      horizontal_(new RFOverlayScroller(Qt::Horizontal, area)) {
    // The area's own bars stay hidden (the content spans the whole area)
    // and keep their ranges; the overlays mirror them both ways.
    area->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    follow(area->verticalScrollBar(), vertical_);
    follow(area->horizontalScrollBar(), horizontal_);
    headerOffset_ = tableHeaderOffsetFromSuperview();
    area->installEventFilter(this);
    tile();
}

void RFOverlayScrollView::follow(QScrollBar* source, RFOverlayScroller* overlay) {
    auto sync = [this, source, overlay] {
        overlay->setPageStep(source->pageStep());
        overlay->setSingleStep(source->singleStep());
        overlay->setRange(source->minimum(), source->maximum());
        tile();
    };
    sync();
    overlay->setValue(source->value());
    connect(source, &QScrollBar::rangeChanged, overlay, sync);
    connect(source, &QScrollBar::valueChanged, overlay, &QScrollBar::setValue);
    connect(overlay, &QScrollBar::valueChanged, source, &QScrollBar::setValue);
}

int RFOverlayScrollView::tableHeaderOffsetFromSuperview() const {
    QHeaderView* h = nullptr;
    if (auto* t = qobject_cast<QTableView*>(area_)) h = t->horizontalHeader();
    if (auto* t = qobject_cast<QTreeView*>(area_)) h = t->header();
    return h && !h->isHidden() ? h->height() : 0;
}

void RFOverlayScrollView::setHeaderOffset(int offset) {
    headerOffset_ = offset;
    tile();
}

void RFOverlayScrollView::tile() {
    const OverlayFrames f = overlayScrollerFrames(area_->size(), headerOffset_);
    vertical_->setGeometry(f.vertical);
    horizontal_->setGeometry(f.horizontal);
    vertical_->setVisible(vertical_->maximum() > vertical_->minimum());
    horizontal_->setVisible(horizontal_->maximum() > horizontal_->minimum());
    vertical_->raise();
    horizontal_->raise();
}

bool RFOverlayScrollView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == area_ && (event->type() == QEvent::Resize || event->type() == QEvent::Show)) tile();
    return false;
}

} // namespace salvor::widgets
