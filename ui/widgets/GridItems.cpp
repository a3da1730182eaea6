#include "ui/widgets/GridItems.h"

#include "platform/MainThread.h"
#include "platform/NotificationCenter.h"
#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"
#include "ui/widgets/ImageButtons.h"

#include <QPainter>
#include <QPainterPath>

namespace salvor::widgets {

QColor itemBackgroundColor() { return QColor::fromRgbF(0, 0, 0, 0.05f); }
QColor itemBackgroundHoverColor() { return QColor::fromRgbF(0, 0, 0, 0.3f); }
QColor itemBackgroundSelectionColor() { return QColor::fromRgbF(0, 0, 0, 0.25f); }
QColor itemSelectionRingColor() { return QColor::fromRgbF(0.346f, 0.531f, 0.792f, 1.0f); }
QColor itemTitleColor() { return QColor::fromRgbF(0.196f, 0.2f, 0.2f, 1.0f); }
QColor itemTitleShadowColor() { return QColor::fromRgbF(1, 1, 1, 0.8f); }
QColor selectionFrameColor() { return QColor::fromRgbF(0.5f, 0.5f, 0.5f, 1.0f); }
QColor controlColor() { return QColor(236, 236, 236); }

namespace {
// The file name, cut at its end with an ellipsis when it does not fit.
class TitleLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.fillRect(rect(), palette().color(QPalette::Window));
        p.setPen(palette().color(QPalette::WindowText));
        p.setFont(font());
        p.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideRight, width()));
    }
};
} // namespace

CNGridViewItemBase::CNGridViewItemBase(QWidget* parent) : QWidget(parent) {
    auto& nc = platform::NotificationCenter::defaultCenter();
    nc.addObserver(static_cast<QObject*>(this), CNGridViewSelectAllItemsNotification,
                   [this](const platform::Notification&) { setSelected(true); });
    nc.addObserver(static_cast<QObject*>(this), CNGridViewDeSelectAllItemsNotification,
                   [this](const platform::Notification&) { setSelected(false); });
}

CNGridViewItemBase::~CNGridViewItemBase() {
    platform::NotificationCenter::defaultCenter().removeObserver(static_cast<const void*>(this));
}

void CNGridViewItemBase::prepareForReuse() {
    index_ = NSNotFound;
    selected_ = false;
    selectable_ = true;
    hovered_ = false;
}

CNGridViewItemLayout CNGridViewItemLayout::defaultLayout() {
    CNGridViewItemLayout l;
    l.titleFont = kit::fontNamed(QStringLiteral("Helvetica"), 12);
    return l;
}

void GridTickBox::setImageName(const QString& name) {
    imageName_ = name;
    update();
}

void GridTickBox::paintEvent(QPaintEvent*) {
    if (imageName_.isEmpty()) return;
    QPainter p(this);
    p.drawPixmap(rect(), kit::namedPixmap(imageName_));
    if (hasFocus()) {
        // The keyboard's box: a ring round it, as on the other controls.
        p.setRenderHint(QPainter::Antialiasing, true);
        p.setPen(QPen(focusRingColor(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 3, 3);
    }
}

void ThumbnailTarget::updateImageViewWithImage(const QImage& image, const OpNodeRef& node) const {
    platform::postToMainThread([item = item_, image, node] {
        if (item && item->node() == node) item->refImageWithImage(image);
    });
}

CNGridViewItem::CNGridViewItem(QWidget* parent) : CNGridViewItemBase(parent) { initProperties(); }

CNGridViewItem::CNGridViewItem(const CNGridViewItemLayout*, const QString& reuseIdentifier, QWidget* parent)
    : CNGridViewItemBase(parent) {
    initProperties();
    setReuseIdentifier(reuseIdentifier);
}

void CNGridViewItem::initProperties() {
    resize(150, 150);
    itemButton_ = new GridTickBox(this);
    itemButton_->setGeometry(16, 121, 13, 13);
    itemButton_->setCheckable(true);
    connect(itemButton_, &QAbstractButton::clicked, this, [this] { setItemSelectBoxClickAction(); });
    titleLabel_ = new TitleLabel(this);
    titleLabel_->setGeometry(30, 120, 120, 25);
    titleLabel_->setFont(kit::systemFont(11));
    titleLabel_->setAutoFillBackground(true);
    QPalette pal = titleLabel_->palette();
    pal.setColor(QPalette::Window, controlColor());
    pal.setColor(QPalette::WindowText, Qt::black);
    titleLabel_->setPalette(pal);
}

void CNGridViewItem::prepareForReuse() {
    CNGridViewItemBase::prepareForReuse();
    itemImage_ = QImage();
    itemTitle_.clear();
}

void CNGridViewItem::setHovered(bool yes) {
    CNGridViewItemBase::setHovered(yes);
    update();
}

void CNGridViewItem::setItemSelectBoxClickAction() {
    if (ticksLocked_) return;
    itemButton_->setImageName(node_ && node_->state() > 0 ? QStringLiteral("checkbox_no")
                                                           : QStringLiteral("checkbox_yes"));
    if (delegate_) delegate_->doSelectItem(index());
}

void CNGridViewItem::refImageWithImage(const QImage& image) {
    if (image.width() <= 0 || image.height() <= 0) return;
    itemImage_ = image;
    update();
}

QRectF CNGridViewItem::tileRect(const QRectF& b) { return {b.x() + 5, b.y() + 5, b.width() - 5, b.height() - 5}; }

QRectF CNGridViewItem::imageRectForSize(const QSizeF& size, const QRectF& bounds) {
    const QRectF t = tileRect(bounds);
    const double w = std::min(size.width(), 90.0), h = std::min(size.height(), 90.0);
    return {(t.width() - w) / 2 + 5, (t.height() - h) / 2 - 5, w, h};
}

void CNGridViewItem::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF b = rect();
    QPainterPath path;
    path.addRoundedRect(tileRect(b), 10, 10);
    p.fillPath(path, hovered() ? itemBackgroundHoverColor() : itemBackgroundColor());
    if (selected()) {
        // Without a layout: the thinnest line in the current pen's colour.
        QPen pen(currentLayout_ ? currentLayout_->selectionRingColor : QColor(Qt::black),
                 currentLayout_ ? currentLayout_->selectionRingLineWidth : 0.0);
        p.strokePath(path, pen);
    }
    if (!itemImage_.isNull())
        p.drawImage(imageRectForSize(itemImage_.size(), b), itemImage_, QRectF(QPointF(), itemImage_.size()));
}

bool containsSubView(const QWidget* view, const QWidget* v) {
    return view && v && v->parentWidget() == view && !v->isWindow();
}

bool isSubviewOfView(const QWidget* view, const QWidget* v) { return containsSubView(v, view); }

} // namespace salvor::widgets
