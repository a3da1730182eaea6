#include "ui/widgets/ImageFlowView.h"

#include "ui/kit/Fonts.h"

#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>

namespace salvor::widgets {

namespace {
constexpr double kGap = 14;
constexpr double kTitleHeight = 34;
} // namespace

ImageFlowView::ImageFlowView(QWidget* parent) : QWidget(parent) { setFocusPolicy(Qt::StrongFocus); }

void ImageFlowView::setSelectedIndex(std::int64_t i) {
    selected_ = std::max<std::int64_t>(0, i);
    update();
}

void ImageFlowView::reloadData() {
    count_ = dataSource_ ? std::max<std::int64_t>(0, dataSource_->numberOfItemsInImageFlow(this)) : 0;
    cache_.freeCache();
    update();
}

void ImageFlowView::reloadCellDataAtIndex(std::int64_t i) {
    cache_.images_.erase(i);
    update(cellArea(i));
}

void ImageFlowView::setBackgroundColor(const QColor& c) {
    background_ = c;
    update();
}

QRectF ImageFlowView::rectForIndex(std::int64_t i) const {
    const double big = std::max(20.0, std::min(height() - kTitleHeight - 20.0, width() * 0.4));
    const double small = big * 0.55;
    const double cx = width() / 2.0, bottom = (height() - kTitleHeight + big) / 2.0;
    const std::int64_t k = i - selected_;
    if (k == 0) return {cx - big / 2, bottom - big, big, big};
    const double along = big / 2 + kGap + small / 2 + static_cast<double>(std::llabs(k) - 1) * (small + kGap);
    const double x = cx + (k > 0 ? along : -along);
    return {x - small / 2, bottom - small, small, small};
}

QRect ImageFlowView::cellArea(std::int64_t i) const {
    const QRectF r = rectForIndex(i);
    // Inside its half of the gaps, so that neighbours' areas never touch.
    return QRectF(r.x() - kGap / 2 + 1, r.y(), r.width() + kGap - 2, r.height() + kTitleHeight).toAlignedRect();
}

std::int64_t ImageFlowView::indexAt(const QPointF& p) const {
    for (std::int64_t i = 0; i < count_; ++i) {
        const QRectF r = rectForIndex(i);
        if (r.x() > width()) break;
        if (r.contains(p)) return i;
    }
    return -1;
}

void ImageFlowView::paintEvent(QPaintEvent* event) {
    QPainter p(this);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    p.fillRect(event->rect(), background_);
    lastPainted_.clear();
    if (!dataSource_ || count_ == 0) return;
    const double big = rectForIndex(selected_).width(), small = big * 0.55;
    const auto reach = static_cast<std::int64_t>(std::ceil((width() / 2.0) / (small + kGap))) + 1;
    const std::int64_t from = std::max<std::int64_t>(0, selected_ - reach);
    const std::int64_t to = std::min(count_ - 1, selected_ + reach);
    for (std::int64_t i = from; i <= to; ++i) {
        if (!cellArea(i).intersects(event->rect())) continue;
        const ImageFlowItem* item = dataSource_->itemAtIndex(this, i);
        if (!item) continue;
        lastPainted_.insert(i);
        const QRectF r = rectForIndex(i);
        auto cached = cache_.images_.find(i);
        if (cached == cache_.images_.end()) {
            const QImage image = item->imageRepresentation();
            QPixmap pixmap;
            if (!image.isNull())
                pixmap = QPixmap::fromImage(image.scaled(QSize(int(big), int(big)), Qt::KeepAspectRatio,
                                                         Qt::SmoothTransformation));
            cached = cache_.images_.emplace(i, pixmap).first;
        }
        if (cached->second.isNull()) {
            // A placeholder: an empty frame.
            p.setPen(QPen(QColor(90, 90, 90), 1));
            p.setBrush(QColor(40, 40, 40));
            p.drawRoundedRect(r.adjusted(0.5, 0.5, -0.5, -0.5), 6, 6);
        } else {
            const QSizeF s = QSizeF(cached->second.size()).scaled(r.size(), Qt::KeepAspectRatio);
            p.drawPixmap(QRectF(r.center().x() - s.width() / 2, r.bottom() - s.height(), s.width(), s.height()),
                         cached->second, QRectF(cached->second.rect()));
        }
        p.setFont(kit::systemFont(i == selected_ ? 13 : 10));
        p.setPen(i == selected_ ? QColor(Qt::white) : QColor(160, 160, 160));
        const QRectF title(r.x() - kGap / 2 + 1, r.bottom() + 4, r.width() + kGap - 2, kTitleHeight - 6);
        p.drawText(title, Qt::AlignHCenter | Qt::AlignTop,
                   p.fontMetrics().elidedText(item->imageTitle(), Qt::ElideMiddle, int(title.width())));
    }
}

void ImageFlowView::userSelect(std::int64_t i) {
    if (i < 0 || i >= count_ || i == selected_) return;
    setSelectedIndex(i);
    if (delegate_) delegate_->didSelectItemAtIndex(this, i);
}

void ImageFlowView::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) userSelect(indexAt(event->position()));
}

void ImageFlowView::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Left)
        userSelect(selected_ - 1);
    else if (event->key() == Qt::Key_Right)
        userSelect(selected_ + 1);
    else
        QWidget::keyPressEvent(event);
}

} // namespace salvor::widgets
