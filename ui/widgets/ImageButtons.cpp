#include "ui/widgets/ImageButtons.h"

#include "ui/kit/Fonts.h"
#include "ui/kit/NamedImages.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QStyleOptionButton>

namespace salvor::widgets {

namespace {
QPixmap imageNamed(const QString& name) {
    return kit::hasNamedImage(name) ? kit::namedPixmap(name) : QPixmap();
}

void setTextColor(QLabel* label, const QColor& c) {
    if (!label || label->palette().color(QPalette::WindowText) == c) return;
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, c);
    label->setPalette(pal);
}

QColor typeTitleColor(double alpha) { return QColor::fromRgbF(141 / 255.f, 150 / 255.f, 185 / 255.f, float(alpha)); }
} // namespace

// ---- StateImageButton ------------------------------------------------------

StateImageButton::StateImageButton(QWidget* parent, bool usable) : QAbstractButton(parent), usable_(usable) {
    updateFocusPolicy();
}

void StateImageButton::setImageFromFileNormalName(const QString& normal, const QString& active, const QString& hover,
                                                  const QString& disable) {
    normal_ = imageNamed(normal);
    active_ = imageNamed(active);
    hover_ = imageNamed(hover);
    disable_ = imageNamed(disable);
    if (!fixedDstRect_) dstRect_ = QRect(QPoint(0, 0), normal_.deviceIndependentSize().toSize());
    update();
}

void StateImageButton::setButtonEnabled(bool usable) {
    usable_ = usable;
    updateFocusPolicy();
    repaint();
}

void StateImageButton::updateFocusPolicy() { setFocusPolicy(usable_ ? Qt::TabFocus : Qt::NoFocus); }

void StateImageButton::setDefaultButton(bool yes) {
    if (yes == isDefaultButton()) return;
    if (!yes) {
        delete shortcut_;
        shortcut_ = nullptr;
        return;
    }
    shortcut_ = new QShortcut(this);
    shortcut_->setKeys({QKeySequence(Qt::Key_Return), QKeySequence(Qt::Key_Enter)});
    shortcut_->setContext(Qt::WindowShortcut);
    connect(shortcut_, &QShortcut::activated, this, [this] {
        if (usable_ && isEnabled() && isVisible()) click();
    });
}

StateImageButton::Look StateImageButton::look() const {
    if (normal_.isNull()) return Look::Platform;
    if (!isEnabled() || !usable_) return Look::Disabled;
    if (tracking_) return Look::Pressed;
    return focus_ ? Look::Hover : Look::Normal;
}

QPixmap StateImageButton::lookImage() const {
    switch (look()) {
    case Look::Pressed: return active_;
    case Look::Hover: return hover_;
    case Look::Normal: return normal_;
    case Look::Disabled: return disable_;
    case Look::Platform: break;
    }
    return {};
}

void StateImageButton::drawLook(QPainter& p) {
    if (look() == Look::Platform) {
        QStyleOptionButton opt;
        opt.initFrom(this);
        opt.text = text();
        if (isDown()) opt.state |= QStyle::State_Sunken;
        style()->drawControl(QStyle::CE_PushButton, &opt, &p, this);
        return;
    }
    const QPixmap image = lookImage();
    if (!image.isNull()) p.drawPixmap(QRectF(dstRect_), image, QRectF(image.rect()));
}

void StateImageButton::mousePressEvent(QMouseEvent* event) {
    if (!usable_) { // ignored entirely: no highlight, no action
        event->ignore();
        return;
    }
    if (isEnabled()) {
        tracking_ = true;
        repaint();
    }
    QAbstractButton::mousePressEvent(event);
}

void StateImageButton::mouseReleaseEvent(QMouseEvent* event) {
    if (!usable_ && !tracking_) {
        event->ignore();
        return;
    }
    QAbstractButton::mouseReleaseEvent(event);
    tracking_ = false;
    repaint();
}

void StateImageButton::keyPressEvent(QKeyEvent* event) {
    if (!usable_) {
        event->ignore();
        return;
    }
    QAbstractButton::keyPressEvent(event);
}

void StateImageButton::keyReleaseEvent(QKeyEvent* event) {
    if (!usable_ && !isDown()) {
        event->ignore();
        return;
    }
    QAbstractButton::keyReleaseEvent(event);
}

void StateImageButton::enterEvent(QEnterEvent* event) {
    QAbstractButton::enterEvent(event);
    if (!isEnabled()) return; // a disabled button takes no hover
    focus_ = true;
    repaint();
}

void StateImageButton::leaveEvent(QEvent* event) {
    QAbstractButton::leaveEvent(event);
    focus_ = false;
    repaint();
}

void StateImageButton::changeEvent(QEvent* event) {
    QAbstractButton::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) update();
}

// ---- TCImageButton ---------------------------------------------------------

TCImageButton* TCImageButton::fromDescription(QWidget* parent) { return new TCImageButton(parent, false); }

void TCImageButton::setTextWithName(const QString& text, const QRect& frame) {
    dstRect_ = QRect(QPoint(0, 0), frame.size());
    if (!textField_) textField_ = new QLabel(this);
    textField_->setGeometry(0, (height() - 18) / 2, width(), 18);
    textField_->setFont(kit::systemFont(14));
    textField_->setAlignment(Qt::AlignCenter);
    textField_->setAttribute(Qt::WA_TransparentForMouseEvents);
    textField_->setText(text);
    setText(text);
    setTextColor(textField_, labelColor());
    textField_->show();
}

QColor TCImageButton::labelColor() const { return look() == Look::Disabled ? QColor(Qt::gray) : QColor(Qt::white); }

void TCImageButton::paintEvent(QPaintEvent*) {
    setTextColor(textField_, labelColor());
    QPainter p(this);
    drawLook(p);
}

// ---- TypeButton ------------------------------------------------------------

TypeButton::TypeButton(QWidget* parent) : TypeButton(parent, true) {}

TypeButton::TypeButton(QWidget* parent, bool usable) : StateImageButton(parent, usable) {
    dstRect_ = QRect(20, 0, 50, 50);
    fixedDstRect_ = true;
}

TypeButton* TypeButton::fromDescription(QWidget* parent) { return new TypeButton(parent, false); }

void TypeButton::setTextWithName(const QString& title) {
    select_ = true;
    if (!textField_) textField_ = new QLabel(this);
    textField_->setGeometry(0, 51, 90, 17);
    textField_->setFont(kit::systemFont(14));
    textField_->setAlignment(Qt::AlignCenter);
    textField_->setAttribute(Qt::WA_TransparentForMouseEvents);
    textField_->setText(title);
    setText(title);
    setTextColor(textField_, titleColor());
    textField_->show();
    if (!checkBox_) checkBox_ = new QLabel(this);
    checkBox_->setGeometry(37, 74, 16, 16);
    checkBox_->setAttribute(Qt::WA_TransparentForMouseEvents);
    checkBox_->setPixmap(kit::namedPixmap(QStringLiteral("checkbox_yes")));
    checkBox_->show();
}

void TypeButton::changeSelect(bool selected) {
    select_ = selected;
    if (checkBox_)
        checkBox_->setPixmap(kit::namedPixmap(selected ? QStringLiteral("checkbox_yes") : QStringLiteral("checkbox_no")));
}

QColor TypeButton::titleColor() const {
    switch (look()) {
    case Look::Hover: return typeTitleColor(0.8);
    case Look::Disabled: return Qt::gray;
    default: return typeTitleColor(1.0);
    }
}

void TypeButton::paintEvent(QPaintEvent*) {
    setTextColor(textField_, titleColor());
    QPainter p(this);
    drawLook(p);
}

// ---- VXHandButton ----------------------------------------------------------

void VXHandButton::enterEvent(QEnterEvent* event) {
    QPushButton::enterEvent(event);
    setCursor(Qt::PointingHandCursor);
}

void VXHandButton::leaveEvent(QEvent* event) {
    QPushButton::leaveEvent(event);
    setCursor(Qt::ArrowCursor);
}

} // namespace salvor::widgets
