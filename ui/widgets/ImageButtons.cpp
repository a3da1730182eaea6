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

// A label inside a button would take the button's text role (ButtonText)
// and ignore the colour set here: it is told to draw with WindowText.
QLabel* buttonLabel(QWidget* button) {
    auto* label = new QLabel(button);
    label->setForegroundRole(QPalette::WindowText);
    label->setAttribute(Qt::WA_TransparentForMouseEvents);
    return label;
}

void setTextColor(QLabel* label, const QColor& c) {
    if (!label || label->palette().color(QPalette::WindowText) == c) return;
    QPalette pal = label->palette();
    pal.setColor(QPalette::WindowText, c);
    label->setPalette(pal);
}

QColor typeTitleColor() { return QColor(141, 150, 185); }
// Lighter under the pointer, so that the hover look stays readable on the dark page.
QColor typeHoverColor() { return QColor::fromRgbF(175 / 255.f, 186 / 255.f, 219 / 255.f, 0.8f); }
} // namespace

QColor focusRingColor() { return QColor(90, 160, 255); }

void setFocusRing(QPushButton* button, const QString& style, const QColor& ring) {
    button->setFlat(false); // a flat button's frame is never drawn, the ring with it
    button->setStyleSheet(QStringLiteral("QPushButton { background: transparent; border: 2px solid transparent;"
                                         " border-radius: 4px; %1 } QPushButton:focus { border-color: %2; }")
                              .arg(style, ring.name()));
}

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
    if (hasFocus()) {
        // The keyboard's place: a ring around the whole button, clear on the dark pages.
        p.save();
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(focusRingColor(), 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(rect()).adjusted(1, 1, -1, -1), 6, 6);
        p.restore();
    }
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
    if (!textField_) textField_ = buttonLabel(this);
    textField_->setGeometry(0, (height() - 18) / 2, width(), 18);
    textField_->setFont(kit::systemFont(14));
    textField_->setAlignment(Qt::AlignCenter);
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
    if (!textField_) textField_ = buttonLabel(this);
    textField_->setGeometry(0, 51, 90, 17);
    textField_->setFont(kit::systemFont(14));
    textField_->setAlignment(Qt::AlignCenter);
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
    case Look::Hover: return typeHoverColor();
    case Look::Disabled: return Qt::gray;
    default: return typeTitleColor();
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
