#include "ui/widgets/Cells.h"

#include "ui/kit/Fonts.h"
#include "ui/kit/WindowFade.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QTimer>

#include <algorithm>
#include <cmath>

namespace salvor::widgets {

namespace {
QColor rgb(int r, int g, int b, double a = 1.0) { return QColor::fromRgbF(r / 255.f, g / 255.f, b / 255.f, float(a)); }
int gLatch = 0; // shared by every NewButton: open at 0
} // namespace

QColor chosenRowColor() { return rgb(9, 40, 76); }
QColor outlineRowColor() { return rgb(32, 36, 39); }
QColor stripeColor(int band) { return band % 2 == 0 ? rgb(39, 43, 47) : rgb(37, 41, 45); }
QColor headerBackgroundColor() { return rgb(32, 36, 39, 0.98); }
QColor headerTitleColor() { return rgb(200, 208, 236); }
QColor emptyNoteColor() { return rgb(178, 188, 224); }
QColor typePageHeaderColor() { return rgb(37, 41, 45); }

int stripeBandCount(double height) { return height < 0 ? 0 : static_cast<int>(height / kStripeHeight) + 1; }

void paintStripes(QPainter& p, int width, int yOffset, int visibleHeight, int contentHeight) {
    // Only the bands that meet the visible part: a million-row table has
    // tens of thousands of bands.
    const int count = stripeBandCount(std::max(contentHeight, visibleHeight + yOffset));
    const int first = std::max(0, yOffset / kStripeHeight);
    const int last = std::min(count - 1, (yOffset + visibleHeight) / kStripeHeight);
    for (int k = first; k <= last; ++k)
        p.fillRect(QRect(0, k * kStripeHeight - yOffset, width, kStripeHeight), stripeColor(k));
}

// ---- ImageAndTextCell ------------------------------------------------------

ImageAndTextCell::ImageAndTextCell() : font(kit::systemFont(13)) {}

QSizeF ImageAndTextCell::cellSize(const QSizeF& base) const { return {base.width() + reserved(), base.height()}; }

QRectF ImageAndTextCell::editingRect(const QRectF& frame) const {
    return frame.adjusted(std::min(reserved(), frame.width()), 0, 0, 0);
}

QRectF ImageAndTextCell::iconRect(const QRectF& frame) const {
    // Flipped views: the icon sits 17 above the middle of text height + 16.
    const double y = frame.y() - 17 + std::ceil((frame.height() + 16) / 2);
    return {frame.x() + 3, y, 16, 16};
}

QRectF ImageAndTextCell::titleRectForBounds(const QRectF& bounds) const {
    const double textHeight = QFontMetricsF(font).height();
    return {bounds.x() + 5, bounds.y() - 0.5 + (bounds.height() - textHeight) / 2, bounds.width(), bounds.height()};
}

void ImageAndTextCell::draw(QPainter& p, const QRectF& frame) const {
    QRectF text = frame;
    if (!image.isNull()) {
        const QRectF strip(frame.x(), frame.y(), std::min(19.0, frame.width()), frame.height());
        text.setLeft(strip.right());
        if (drawsBackground) p.fillRect(strip, backgroundColor);
        p.drawPixmap(iconRect(strip), image, QRectF(image.rect()));
    }
    p.save();
    p.setFont(font);
    p.setPen(textColor);
    p.setClipRect(frame, Qt::IntersectClip);
    p.drawText(titleRectForBounds(text), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
               objectValue.toString());
    p.restore();
}

// ---- NewButton -------------------------------------------------------------

NewButton::NewButton() : font(kit::systemFont(13)) {}

namespace {
QRectF checkRect(const QRectF& b) { return {b.x() + 5, b.y() + std::ceil((b.height() - 14) / 2), 14, 14}; }
} // namespace

QRectF NewButton::imageFrameRectForBounds(const QRectF& b) const {
    return checkBoxImage.isNull() ? QRectF() : checkRect(b);
}

// Check box, icon and label side by side, 6 apart: the icon never covers
// the box a user ticks, nor the label's first letters.
QRectF NewButton::iconImageRectForBounds(const QRectF& b) const {
    if (!hasIconCell) return {};
    return {b.x() + 25, b.y() + std::ceil((b.height() - 20) / 2), 20, 20};
}

QRectF NewButton::imageRectForBounds(const QRectF& b) const {
    if (!hasLabel) return {};
    return {b.x() + (hasIconCell ? 51 : 25), b.y() + std::ceil((b.height() - 16) / 2), 800, 16};
}

void NewButton::draw(QPainter& p, const QRectF& frame) const {
    p.save();
    p.setClipRect(frame, Qt::IntersectClip);
    // The state picture comes as the cell's image; a check-box image wins.
    const QPixmap& box = checkBoxImage.isNull() ? image : checkBoxImage;
    if (!box.isNull()) p.drawPixmap(checkRect(frame), box, QRectF(box.rect()));
    if (hasIconCell && !icon.isNull()) {
        const QRectF r = iconImageRectForBounds(frame);
        const QSizeF s = icon.deviceIndependentSize().scaled(r.size(), Qt::KeepAspectRatio).boundedTo(
            icon.deviceIndependentSize());
        p.drawPixmap(QRectF(r.center() - QPointF(s.width() / 2, s.height() / 2), s), icon, QRectF(icon.rect()));
    }
    if (hasLabel) {
        p.setFont(font);
        p.setPen(labelColor);
        p.drawText(imageRectForBounds(frame), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                   label.isEmpty() ? objectValue.toString() : label);
    }
    p.restore();
}

bool NewButton::hitTest(const QPointF& pos, const QRectF& cellFrame) {
    const QRectF area(cellFrame.x(), cellFrame.y(), 15, 30);
    if (!area.contains(pos) || gLatch != 0) return false;
    if (delegate) delegate->clickButtonAction(this);
    ++gLatch;
    QTimer::singleShot(static_cast<int>(std::lround(200 * kit::animationDurationScale())), [] { changeValue(); });
    return true;
}

void NewButton::changeValue() { gLatch = 0; }
bool NewButton::latchClosed() { return gLatch != 0; }

bool NewButton::clickCheckBox(const QRectF& frame) {
    return hitTest(QPointF(frame.x() + 5, frame.y() + std::min(frame.height(), 30.0) / 2), frame);
}

// ---- ButtonCell ------------------------------------------------------------

QRectF ButtonCell::imageRect(const QRectF& frame) const {
    const QSizeF s = image.deviceIndependentSize();
    return {frame.center() - QPointF(s.width() / 2, s.height() / 2), s};
}

void ButtonCell::draw(QPainter& p, const QRectF& frame) const {
    if (!image.isNull()) p.drawPixmap(imageRect(frame).topLeft(), image);
}

bool ButtonCell::click(const QPointF& pos, const QRectF& frame) {
    if (!frame.contains(pos)) return false;
    return clickCheckBox(frame);
}

bool ButtonCell::clickCheckBox(const QRectF&) {
    if (action) action(*this);
    return true;
}

// ---- header cells ----------------------------------------------------------

// A light face thins the strokes below a readable contrast on screen.
CustomHeaderCell::CustomHeaderCell(const QString& t) : font(kit::boldSystemFont(12)) {
    title = t;
}

QRectF CustomHeaderCell::titleRect(const QRectF& frame) const {
    QRectF r = frame;
    if (priority == 0) r.setWidth(r.width() - 8);
    return r.translated(5, 5);
}

QPolygonF CustomHeaderCell::sortIndicator(const QRectF& f) const {
    const double left = f.x() + f.width() - 12;
    const double y = ascending ? f.y() + f.height() - 10 : f.y() + 10;
    const double apex = ascending ? y - 7 : y + 7;
    return QPolygonF({QPointF(left, y), QPointF(left + 4, apex), QPointF(left + 8, y)});
}

void CustomHeaderCell::draw(QPainter& p, const QRectF& frame, bool) const {
    // Highlighted or not, the header looks the same.
    p.save();
    p.fillRect(frame, headerBackgroundColor());
    p.setFont(font);
    p.setPen(headerTitleColor());
    p.drawText(titleRect(frame), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, title);
    if (priority == 0) {
        QPainterPath path;
        path.addPolygon(sortIndicator(frame));
        path.closeSubpath();
        p.fillPath(path, Qt::white);
    }
    p.restore();
}

void CustomTableHeaderView::draw(QPainter& p, const QRectF& frame, bool highlighted) const {
    p.save();
    const QRectF b = body(frame);
    // Dark like the rows below it, with the results lists' header text colour.
    p.fillRect(b, typePageHeaderColor());
    if (highlighted) p.fillRect(b, QColor(255, 255, 255, 20));
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath path;
    path.moveTo(b.topRight());
    path.lineTo(b.bottomRight());
    path.moveTo(frame.bottomLeft());
    path.lineTo(frame.bottomRight());
    path.moveTo(b.topLeft());
    path.lineTo(b.topRight());
    p.setPen(QPen(Qt::black, 0.3));
    p.drawPath(path);
    p.setFont(font);
    p.setPen(headerTitleColor());
    p.drawText(b.adjusted(3, 0, -3, 0), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, title);
    p.restore();
}

} // namespace salvor::widgets
