#include "ui/widgets/ProgressViews.h"

#include "ui/kit/Geometry.h"
#include "ui/kit/NamedImages.h"

#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>

#include <cmath>

namespace salvor::widgets {

void NSProgressBar::paintEvent(QPaintEvent*) {
    const QRectF r = QRectF(rect()).adjusted(1, 1, -1, -1);
    if (r.width() <= 0 || r.height() <= 0) return;
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing, true);
    QPainterPath glow;
    glow.addRoundedRect(r.adjusted(-1, -1, 1, 1), 2, 2);
    p.fillPath(glow, QColor(59, 153, 252, 140));
    QPainterPath path;
    path.addRoundedRect(r, 1, 1);
    p.fillPath(path, QColor(249, 171, 0));
}

double progressBarWidth(float percent, double viewWidth) {
    const float W = static_cast<float>(viewWidth);
    float w = static_cast<float>(percent / 100.0 * W);
    if (!(w > 0)) return 0; // negative or NaN: an empty bar, never a negative width
    if (w > W - 1) w = W;
    return w;
}

void styleProgressBar(QProgressBar* bar) {
    bar->setStyleSheet(QStringLiteral("QProgressBar { background: rgb(52, 57, 66); border: 1px solid rgb(124, 132, 150); border-radius: 3px; }"
                                      "QProgressBar::chunk { background: rgb(100, 168, 255); border-radius: 3px; }"));
}

VXProgressView::VXProgressView(const QSize& size, QWidget* parent) : QWidget(parent) {
    resize(size);
    track_ = new QLabel(this);
    bar_ = new NSProgressBar(this);
    track_->setPixmap(kit::namedPixmap(QStringLiteral("progress_bar_bg")));
    track_->setScaledContents(true);
    kit::setFrame(track_, {0, 0, 368, 6}, kit::kViewWidthSizable);
    kit::setFrame(bar_, {0, 0, 0, 6}, kit::kViewWidthSizable | kit::kViewMaxXMargin);
    bar_->raise();
}

void VXProgressView::changeProgressValue(float percent) {
    kit::setFrame(bar_, {0, 0, progressBarWidth(percent, width()), 6});
    bar_->update();
    update();
}

} // namespace salvor::widgets
